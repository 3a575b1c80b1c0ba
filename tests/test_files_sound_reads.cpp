// Reading sounds: long files are read in two halves at once, and no read asks the library for
// more frames than the header states are left. The samples are still those of a reading in
// order, whatever the channels, the channel taken, a header count that is missing (a writer
// streaming to a pipe) or a file cut short (read as far as it goes, with one warning naming it and
// how much was read), and whatever the length around a block; also for real recordings. Then the
// channel rules of MP3 and mono files (bad input is the file readers' table).
#include "core/state.h"
#include "files/media.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// The file's frames as one channel, read in order through libsndfile as far as it goes: channel
// `take`, or the sum of all channels (-1).
std::vector<float> read_in_order(const std::string& path, int take)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << path;
    std::vector<float> frames((size_t)info.frames * info.channels), out;
    if (f) {
        out.resize((size_t)sf_readf_float(f, frames.data(), info.frames));
        sf_close(f);
    }
    for (size_t i = 0; i < out.size(); i++)
        for (int c = 0; c < info.channels; c++)
            out[i] += take < 0 || c == take ? frames[i * (size_t)info.channels + c] : 0.f;
    return out;
}

} // namespace

TEST(FilesSoundReads, SamplesAreThoseOfAReadingInOrder)
{
    TempDir dir;
    struct Case {
        const char* name;
        int format, channels, frames;
        int key_slot; // channel key set for the reading, or -1
        int take;     // the channel it takes, -1 for the sum
        bool unsized; // the data chunk's size left at 0xffffffff, as streamed
        long cut;     // bytes cut off the file's end
        const char* said; // what the one warning says of a cut file, "" when none is expected
    } cases[] = {
        // Long enough to be read in halves.
        {"mono16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, (1 << 20) + 12345, -1, 0, false, 0, ""},
        {"stereo_float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, (1 << 20) + 1, -1, -1, false, 0, ""},
        {"left.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 2, 1 << 21, K_LEFT_ONLY, 0, false, 0, ""},
        {"right.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 1 << 21, K_RIGHT_ONLY, 1, false, 0, ""},
        {"cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 1 << 21, -1, 0, false, 2 * 100000,
         "1997152 of the 2097152 frames its header promises were read (95.2%)"},
        {"flac.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, (1 << 20) + 5000, -1, 0, false, 0, ""},
        // Read in order, around the block sizes.
        {"one.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 1, -1, 0, false, 0, ""},
        {"short.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 4097, -1, 0, false, 0, ""},
        {"block.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, (1 << 19) + 3, -1, -1, false, 0, ""},
        {"unsized.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 30000, -1, 0, true, 0, ""},
        {"short_cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 30000, -1, 0, false, 2 * 10000,
         "20000 of the 30000 frames its header promises were read (66.7%)"},
        {"cut.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, 1000, -1, -1, false, 4 * 750,
         "250 of the 1000 frames its header promises were read (25.0%)"},
        {"cut.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 20000, -1, 0, false, 20000,
         "of the 20000 frames its header promises were read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> frames((size_t)c.frames * c.channels);
        wrsrand(7);
        for (float& v : frames)
            v = 0.9f * dblrand();
        const std::string path = dir.file(c.name);
        ASSERT_TRUE(write_test_sound(path, c.format, c.channels, 44100, frames));
        std::string bytes = read_file(path);
        if (c.unsized) {
            const size_t data = bytes.find("data");
            ASSERT_NE(data, std::string::npos);
            memset(&bytes[data + 4], 0xff, 4);
        }
        write_file(path, bytes.substr(0, bytes.size() - (size_t)c.cut));
        const std::vector<float> expected = read_in_order(path, c.take);

        state_reset();
        if (c.key_slot >= 0)
            key[state_of(c.key_slot)] = 1;
        testing::internal::CaptureStderr();
        int len = 0, rate = 0;
        float* got = load_raw_sound_sndfile(path.c_str(), &len, &rate);
        const std::string err = testing::internal::GetCapturedStderr();
        state_reset();
        ASSERT_NE(got, nullptr) << err;
        EXPECT_EQ(rate, 44100);
        ASSERT_EQ((size_t)len, expected.size());
        EXPECT_EQ(memcmp(got, expected.data(), expected.size() * sizeof(float)), 0);
        if (*c.said) {
            EXPECT_EQ(err.rfind("Sound file '" + path + "' ends early: ", 0), 0u) << err;
            EXPECT_NE(err.find(c.said), std::string::npos) << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        } else {
            EXPECT_EQ(err, "");
        }
        free(got);
    }
    // Real recordings, as shipped by Debian (alsa-utils, sound-theme-freedesktop): mono 16-bit WAV
    // at 48 kHz, stereo and mono Ogg Vorbis.
    for (const char* f : {"/usr/share/sounds/alsa/Front_Center.wav", "/usr/share/sounds/freedesktop/stereo/bell.oga",
                          "/usr/share/sounds/freedesktop/stereo/audio-channel-front-left.oga"}) {
        SCOPED_TRACE(f);
        SF_INFO info{};
        ASSERT_FALSE(read_sound_file(f, &info).empty());
        const std::vector<float> expected = read_in_order(f, -1);
        int len = 0, rate = 0;
        float* got = load_raw_sound(f, &len, &rate);
        ASSERT_TRUE(got && rate == info.samplerate);
        EXPECT_TRUE(std::vector<float>(got, got + len) == expected); // a silent sample's zero may have either sign
        free(got);
    }
}

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
