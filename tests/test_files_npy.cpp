// .npy export and import of float images.
#include "files/npy.h"
#include "platform/util.h"
#include "test_doc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A h x w plane whose pixel (r, c) is r * 1000 + c + 0.25.
Plane make_rows(int w, int h)
{
    return plane_of(w, h, [](int r, int c) { return r * 1000.f + c + 0.25f; });
}

} // namespace

TEST(FilesNpy, HeaderIsAlignedAndDataRowMajor)
{
    TempDir dir;
    Plane rows = make_rows(3, 2);
    ASSERT_EQ(save_npy(dir.file("a.npy").c_str(), rows, 3, 2), 1);
    std::string bytes = read_file(dir.file("a.npy"));
    ASSERT_GE(bytes.size(), 10u);
    EXPECT_EQ(bytes.compare(0, 6, "\x93NUMPY"), 0);
    EXPECT_EQ(bytes[6], 1);
    EXPECT_EQ(bytes[7], 0);
    size_t hlen = (unsigned char)bytes[8] | (size_t)(unsigned char)bytes[9] << 8;
    EXPECT_EQ((10 + hlen) % 64, 0u);
    std::string header = bytes.substr(10, hlen);
    EXPECT_NE(header.find("'descr': '<f4'"), std::string::npos);
    EXPECT_NE(header.find("'shape': (2, 3)"), std::string::npos);
    EXPECT_EQ(header.back(), '\n');
    ASSERT_EQ(bytes.size(), 10 + hlen + 6 * sizeof(float));
    float data[6];
    memcpy(data, bytes.data() + 10 + hlen, sizeof data);
    EXPECT_EQ(std::vector<float>(data, data + 4), std::vector<float>({0.25f, 1.25f, 2.25f, 1000.25f})); // row after row
    free2d(rows, 2);
}

TEST(FilesNpy, RoundTripAndRefusals)
{
    TempDir dir;
    Plane rows = make_rows(17, 5);
    ASSERT_EQ(save_npy(dir.file("b.npy").c_str(), rows, 17, 5), 1);
    int w = 0, h = 0;
    Plane back = load_npy(dir.file("b.npy").c_str(), &w, &h);
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(w, 17);
    ASSERT_EQ(h, 5);
    for (int r = 0; r < 5; r++)
        EXPECT_EQ(memcmp(back[r], rows[r], 17 * sizeof(float)), 0);
    free2d(back, 5);

    // Truncated data, text, and a missing folder: refused with a line, nothing left behind.
    std::string full = read_file(dir.file("b.npy"));
    write_file(dir.file("cut.npy"), full.substr(0, full.size() - 7));
    write_file(dir.file("text.npy"), "hello\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(load_npy(dir.file("cut.npy").c_str(), &w, &h), nullptr);
    EXPECT_EQ(load_npy(dir.file("text.npy").c_str(), &w, &h), nullptr);
    EXPECT_EQ(load_npy(dir.file("none.npy").c_str(), &w, &h), nullptr);
    EXPECT_EQ(save_npy(dir.file("no/such/folder/c.npy").c_str(), rows, 17, 5), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cut.npy: truncated data"), std::string::npos) << err;
    EXPECT_NE(err.find("text.npy: not a .npy file"), std::string::npos) << err;
    EXPECT_NE(err.find("c.npy: cannot be written"), std::string::npos) << err;
    free2d(rows, 5);
}
