// Base85 blocks: the known texts of 0 and 1.0, bit-exact round trips of awkward floats, data
// that ends early, and silence during a replay.
#include "core/state.h"
#include "history/base85.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

std::string encode(std::vector<float> v)
{
    TempDir dir;
    FILE* f = fopen(dir.file("b").c_str(), "w");
    const float* row = v.data();
    fprint_base85(f, &row, 1, (int)v.size());
    fclose(f);
    return read_file(dir.file("b"));
}

TEST(Base85, KnownTextsAndBitExactRoundTrip)
{
    state_reset();
    EXPECT_EQ(encode({0.f}), "Base85 1 words\n%%%%%z\n");
    EXPECT_EQ(encode({1.f}), "Base85 1 words\n:cdG9z\n");

    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> values = {0.f, -0.f, 1.f, 1e-45f, 3.4028235e38f, -1.5f, nan, INFINITY, 0.1f};
    values.push_back(std::bit_cast<float>(0xffffffffu)); // the largest word: its digits are "yyyyy" beyond 2^32, so it wraps
    const std::string text = encode(values);
    TempDir dir;
    write_file(dir.file("in"), text.substr(text.find('\n') + 1) + "Next line\n");
    std::vector<float> row0(5, 7.f), row1(5, 7.f);
    float* rows[2] = {row0.data(), row1.data()};
    FILE* f = fopen(dir.file("in").c_str(), "r");
    int line = 10;
    EXPECT_TRUE(fread_base85(f, rows, 2, 5, &line) == 1 && line == 11);
    char rest[32] = {0};
    ASSERT_NE(fgets(rest, sizeof rest, f), nullptr);
    EXPECT_STREQ(rest, "Next line\n"); // the "z" and the line end were consumed
    fclose(f);
    row0.insert(row0.end(), row1.begin(), row1.end());
    EXPECT_EQ(memcmp(row0.data(), values.data(), 10 * sizeof(float)), 0); // bit-exact, NaN included
}

// Data that ends early keeps the rest of the row and warns; a null array is said and read or
// written as nothing; nothing is written during a replay.
TEST(Base85, EarlyEndNullArraysAndReplay)
{
    TempDir dir;
    for (const std::string data : {":cdG9z\nNext\n", ":cdG9", ":cd\nNext\n"}) {
        write_file(dir.file("in"), data);
        std::vector<float> row(3, 7.f);
        float* rows[1] = {row.data()};
        FILE* f = fopen(dir.file("in").c_str(), "r");
        int line = 4;
        testing::internal::CaptureStderr();
        EXPECT_EQ(fread_base85(f, rows, 1, 3, &line), 0);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("End of Base85 data at line 5"), std::string::npos);
        EXPECT_TRUE(row[1] == 7.f && row[2] == 7.f);
        fclose(f);
    }
    EXPECT_EQ(fread_base85(nullptr, nullptr, 1, 1, nullptr), 0); // null destination: nothing read
    state_reset();
    testing::internal::CaptureStderr();
    FILE* f = fopen(dir.file("b").c_str(), "w");
    fprint_base85(f, nullptr, 1, 1);
    fclose(f);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("array is NULL"), std::string::npos);
    EXPECT_EQ(read_file(dir.file("b")), "");
    key[K_REPLAYING] = 1;
    EXPECT_EQ(encode({1.f, 2.f}), "");
    state_reset();
}

} // namespace
