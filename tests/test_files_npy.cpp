// .npy export and import of float images.
#include "files/npy.h"
#include "test_doc.h"

#include <cmath>

namespace {

// A h x w plane whose pixel (r, c) is r * 1000 + c + 0.25.
Plane make_rows(int w, int h)
{
    return plane_of(w, h, [](int r, int c) { return r * 1000.f + c + 0.25f; });
}

// A .npy file of format `version` with the given header entries and raw data bytes, its header
// padded as numpy pads it, so that the data begins at a multiple of 64 bytes.
std::string npy_file(const std::string& descr, bool fortran, const std::string& shape, const std::string& data,
                     int version = 1)
{
    std::string header = "{'descr': '" + descr + "', 'fortran_order': " + (fortran ? "True" : "False") +
                         ", 'shape': " + shape + ", }";
    header += std::string((64 - ((version == 1 ? 11 : 13) + header.size()) % 64) % 64, ' ') + "\n";
    std::string out = std::string("\x93NUMPY") + char(version) + '\0';
    for (int i = 0; i < (version == 1 ? 2 : 4); i++)
        out += char(header.size() >> (8 * i));
    return out + header + data;
}

// The bytes of `values` as `item`-byte floats (4 or 8), big-endian when `big`.
std::string float_bytes(const std::vector<double>& values, int item, bool big)
{
    std::string out;
    for (double d : values) {
        char b[8];
        float f = (float)d;
        memcpy(b, item == 4 ? (const void*)&f : (const void*)&d, item);
        if (big)
            std::reverse(b, b + item);
        out.append(b, item);
    }
    return out;
}

} // namespace

// The file numpy itself writes for a float32 array of 2 rows of 3: its header and the rows in order.
TEST(FilesNpy, WritesNumpysHeaderAndTheRowsInOrder)
{
    TempDir dir;
    Plane rows = make_rows(3, 2);
    ASSERT_EQ(save_npy(dir.file("a.npy").c_str(), rows, 3, 2), 1);
    free2d(rows, 2);
    EXPECT_EQ(read_file(dir.file("a.npy")),
              npy_file("<f4", false, "(2, 3)", float_bytes({0.25, 1.25, 2.25, 1000.25, 1001.25, 1002.25}, 4, false)));
}

// What numpy writes by default (float64) and what other tools write (big-endian, Fortran order,
// versions 2 and 3) all read as the same 2 x 3 plane; float64 beyond the float range is infinite.
TEST(FilesNpy, ReadsFloatArraysOfEitherWidthByteOrderAndLayout)
{
    TempDir dir;
    const std::vector<double> c_order = {0.5, 1, 2, 3, 4e-3, 1e300}, f_order = {0.5, 3, 1, 4e-3, 2, 1e300};
    const struct {
        const char* descr;
        bool fortran;
        int version;
    } cases[] = {{"<f4", false, 1}, {"<f8", false, 1}, {">f4", false, 2}, {">f8", true, 3}, {"<f8", true, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.descr) + (c.fortran ? " Fortran" : " C") + " v" + std::to_string(c.version));
        const int item = c.descr[2] - '0';
        write_file(dir.file("a.npy"), npy_file(c.descr, c.fortran, "(2, 3)",
                                               float_bytes(c.fortran ? f_order : c_order, item, c.descr[0] == '>'),
                                               c.version));
        int w = 0, h = 0;
        Plane rows = load_npy(dir.file("a.npy").c_str(), &w, &h);
        ASSERT_NE(rows, nullptr);
        ASSERT_EQ(w, 3);
        ASSERT_EQ(h, 2);
        EXPECT_EQ(std::vector<float>(rows[0], rows[0] + 3), std::vector<float>({0.5f, 1.f, 2.f}));
        EXPECT_EQ(std::vector<float>(rows[1], rows[1] + 2), std::vector<float>({3.f, 4e-3f}));
        EXPECT_EQ(rows[1][2], item == 8 ? INFINITY : (float)1e300);
        free2d(rows, h);
    }
}

// Text, arrays of other shapes or types, and headers whose length field is absurd, are refused
// with a line; the length field is checked before memory is taken for the header. (Round trips
// are the batch commands' tests: every .npy they write is read back.)
TEST(FilesNpy, OtherShapesTypesAndAbsurdHeadersAreRefused)
{
    TempDir dir;
    const std::string v2_huge = std::string("\x93NUMPY\x02\0", 8) + "\x80\x4f\x75\xe8" + "{'descr'", // 3.9e9
        data = float_bytes(std::vector<double>(2 * 40 * 30, 1.0), 4, false);
    const std::pair<std::string, std::string> cases[] = {
        {npy_file("<f4", false, "(2, 40, 30)", data), "not a two-dimensional array"},
        {npy_file("<f4", false, "(2400,)", data), "not a two-dimensional array"},
        {npy_file("<f4", false, "(0, 3)", ""), "not a two-dimensional array"},
        {npy_file("<i4", false, "(40, 60)", data), "not an array of 32- or 64-bit floats"},
        {npy_file("<f4", false, "(100000, 20000)", data), "truncated data"},
        {v2_huge, "header length out of range (damaged file)"},
        {"hello\n", "not a .npy file"},
    };
    for (const auto& [bytes, message] : cases) {
        SCOPED_TRACE(message);
        write_file(dir.file("bad.npy"), bytes);
        int w = 0, h = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(load_npy(dir.file("bad.npy").c_str(), &w, &h), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), dir.file("bad.npy") + ": " + message + "\n");
    }
    const std::string path = dir.file("bad.npy"); // the 20-byte version 2 file
    write_file(path, v2_huge);
    const ChildResult child = run_in_child([&] {
        int w, h;
        return load_npy(path.c_str(), &w, &h) == nullptr;
    });
    EXPECT_TRUE(child.ok);
    EXPECT_LT(child.peak_mb, 1000);
}
