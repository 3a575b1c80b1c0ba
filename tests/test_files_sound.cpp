// Sound reading: channel rules of sound files and MP3 (bad input is the file readers' table, files
// cut short the reading tests').
#include "files/media.h"
#include "core/state.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int MP3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III; // libsndfile encodes the test MP3s

// Left 0.5 at 440 Hz, right 0.25 at 1000 Hz, interleaved.
std::vector<float> two_tones(int frames, int rate)
{
    std::vector<float> v(2 * (size_t)frames);
    for (int i = 0; i < frames; i++) {
        v[2 * i] = 0.5f * sinf(2.f * (float)M_PI * 440.f * i / rate);
        v[2 * i + 1] = 0.25f * sinf(2.f * (float)M_PI * 1000.f * i / rate);
    }
    return v;
}

double rms(const std::vector<float>& s)
{
    double e = 0;
    for (float v : s)
        e += (double)v * v;
    return std::sqrt(e / std::max<size_t>(s.size(), 1));
}

// Takes over a reader's result.
std::vector<float> take(float* s, int len)
{
    std::vector<float> v;
    if (s)
        v.assign(s, s + len);
    free(s);
    return v;
}

struct MediaSound : testing::Test {
    TempDir dir;
    void SetUp() override { state_reset(); } // no channel option set
    void TearDown() override { state_reset(); }
    std::vector<float> load(const std::string& path, int* rate = nullptr)
    {
        int len = -1, r = -1;
        float* s = load_raw_sound(path.c_str(), &len, rate ? rate : &r);
        return take(s, len);
    }
};

} // namespace

// A file keeps its own rate (the document loader resamples); right only on a mono file takes its
// one channel; wild values and NaN are silenced. (Sums and chosen channels of sound files, bit
// for bit against libsndfile, are the reading tests'.)
TEST_F(MediaSound, MonoFileKeepsItsRateAndWildValuesAreSilenced)
{
    const std::string mono = dir.file("mono.flac");
    ASSERT_TRUE(write_test_sound(mono, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 48000, {0.5f, 2e30f, -0.25f, NAN, -3e30f, INFINITY}));
    key[state_of(K_RIGHT_ONLY)] = 1;
    int rate = 0;
    EXPECT_EQ(load(mono, &rate), (std::vector<float>{0.5f, 0.f, -0.25f, 0.f, 0.f, 0.f}));
    EXPECT_EQ(rate, 48000);
}

TEST_F(MediaSound, Mp3GivesTheMeanOrTheChosenChannel)
{
    const std::string path = dir.file("Two.MP3"); // the extension is compared without regard to case
    ASSERT_TRUE(write_test_sound(path, MP3, 2, 48000, two_tones(48000, 48000)));
    std::vector<float> mode[4];
    int len[4], ch[4], rate[4];
    for (int m = 0; m < 4; m++) {
        float* s = load_full_mp3_float_select_chan(path.c_str(), &len[m], &ch[m], &rate[m], m);
        mode[m] = take(s, len[m] * ch[m]);
        ASSERT_EQ(len[m], len[0]);
        EXPECT_EQ(ch[m], m == MP3_BOTH ? 2 : 1);
        EXPECT_EQ(rate[m], 48000);
    }
    EXPECT_NEAR(len[0], 48000, 1152); // encoder delay and padding removed
    for (int i = 0; i < len[0]; i++) {
        const float l = mode[MP3_LEFT][i], r = mode[MP3_RIGHT][i];
        ASSERT_EQ(mode[MP3_MEAN][i], (l + r) / 2.f) << i; // the mean, not the sum
        ASSERT_EQ(mode[MP3_BOTH][2 * i], l);
        ASSERT_EQ(mode[MP3_BOTH][2 * i + 1], r);
    }
    EXPECT_NEAR(rms(mode[MP3_LEFT]), 0.5 / M_SQRT2, 0.02); // lossy, so only roughly
    EXPECT_NEAR(rms(mode[MP3_RIGHT]), 0.25 / M_SQRT2, 0.02);

    // The dispatcher follows slots 60 and 62; with both set, left wins as for sound files.
    EXPECT_EQ(load(path), mode[MP3_MEAN]);
    key[state_of(K_RIGHT_ONLY)] = 1;
    EXPECT_EQ(load(path), mode[MP3_RIGHT]);
    key[state_of(K_LEFT_ONLY)] = 1;
    EXPECT_EQ(load(path), mode[MP3_LEFT]);
}
