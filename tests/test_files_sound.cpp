// Sound reading: channel rules of sound files and MP3, real recordings, and bad input.
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

TEST_F(MediaSound, SoundFilesGiveTheSumOrTheChosenChannel)
{
    const std::string path = dir.file("two.wav"), mono = dir.file("mono.flac");
    std::vector<float> in = two_tones(1000, 22050);
    ASSERT_TRUE(write_test_sound(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 22050, in));
    int rate = 0;
    std::vector<float> sum = load(path, &rate);
    EXPECT_EQ(rate, 22050); // the file's own rate: the document loader resamples
    key[state_of(K_LEFT_ONLY)] = 1;
    std::vector<float> left = load(path);
    key[state_of(K_LEFT_ONLY)] = 0;
    key[state_of(K_RIGHT_ONLY)] = 1;
    std::vector<float> right = load(path);
    ASSERT_EQ(sum.size(), 1000u);
    ASSERT_EQ(left.size(), 1000u);
    ASSERT_EQ(right.size(), 1000u);
    for (int i = 0; i < 1000; i++) {
        ASSERT_EQ(sum[i], in[2 * i] + in[2 * i + 1]) << i; // the sum, not the mean
        ASSERT_EQ(left[i], in[2 * i]);
        ASSERT_EQ(right[i], in[2 * i + 1]);
    }
    // Right only on a mono file takes its one channel; wild values and NaN are silenced.
    std::vector<float> m = {0.5f, 2e30f, -0.25f, NAN, -3e30f, INFINITY};
    ASSERT_TRUE(write_test_sound(mono, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 48000, m));
    EXPECT_EQ(load(mono, &rate), (std::vector<float>{0.5f, 0.f, -0.25f, 0.f, 0.f, 0.f}));
    EXPECT_EQ(rate, 48000);
}

TEST_F(MediaSound, RealRecordingsMatchLibsndfile)
{
    // Mono 16-bit WAV at 48 kHz, stereo and mono Ogg Vorbis, as shipped by Debian.
    for (const char* f : {"/usr/share/sounds/alsa/Front_Center.wav", "/usr/share/sounds/freedesktop/stereo/bell.oga",
                          "/usr/share/sounds/freedesktop/stereo/audio-channel-front-left.oga"}) {
        SCOPED_TRACE(f);
        SF_INFO info;
        const std::vector<float> frames = read_sound_file(f, &info); // alsa-utils, sound-theme-freedesktop
        ASSERT_FALSE(frames.empty());
        int rate = 0;
        std::vector<float> out = load(f, &rate);
        EXPECT_EQ(rate, info.samplerate);
        ASSERT_EQ((sf_count_t)out.size(), info.frames);
        for (size_t i = 0; i < out.size(); i++) {
            float s = 0.f;
            for (int c = 0; c < info.channels; c++)
                s += frames[i * info.channels + c];
            ASSERT_EQ(out[i], s) << i;
        }
    }
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

// Each bad input: null, length 0 and one line on standard error naming the file.
TEST_F(MediaSound, BadInputIsRefusedWithOneLine)
{
    const std::string wav_path = dir.file("good.wav"), mp3_path = dir.file("good.mp3");
    ASSERT_TRUE(write_test_sound(wav_path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 44100, std::vector<float>(1000, 0.25f)));
    ASSERT_TRUE(write_test_sound(mp3_path, MP3, 1, 44100, std::vector<float>(44100, 0.f)));
    ASSERT_TRUE(write_test_sound(dir.file("zero.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100, {}));
    const std::string wav = read_file(wav_path), mp3 = read_file(mp3_path);
    // An Ogg page holding only the Vorbis identification header (found by fuzzing: the sound
    // library leaks the codec's set-up on it, suppressed in the test binary's leak checks).
    const std::string ogg_id_only("\x4f\x67\x67\x53\x00\x02\x00\x00\x00\x00\x00\x00\x00\x00\xad\x21\x08\x5e\x00\x00\x00\x00\x72\x8d\x64\x2b\x01\x1e\x01"
                                  "\x76\x6f\x72\x62\x69\x73\x00\x00\x00\x00\x02\x40\x1f\x00\x00\x00\x00\x00\x00\x50\x46\x00\x00\x00\x00\x00\x00\x99\x01", 58);
    std::string text;
    for (int i = 0; i < 200; i++)
        text += "This is a plain text file, line " + std::to_string(i) + ", not a sound at all.\n";
    const std::pair<const char*, std::string> cases[] = {
        {"empty.wav", ""}, {"empty.mp3", ""}, {"text.wav", text}, {"text.mp3", text},
        {"cut_in_header.wav", wav.substr(0, 20)}, {"header_only.wav", wav.substr(0, 44)}, // claims 1000 frames
        {"no_frame.mp3", "ID3\x03" + std::string(6, '\0') + mp3.substr(mp3.size() / 2, 100)},
        {"cut_frame.mp3", mp3.substr(0, 300)}, {"id_header_only.ogg", ogg_id_only},
        {"zero.wav", ""}, // written above: a proper file of no frames
        {"missing.mp3", ""}, {"missing.wav", ""},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        if (!std::string(name).starts_with("zero") && !std::string(name).starts_with("missing"))
            write_file(path, bytes);
        testing::internal::CaptureStderr();
        int len = -1, rate = -1;
        float* s = load_raw_sound(path.c_str(), &len, &rate);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(len, 0);
        EXPECT_NE(err.find(path), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        free(s);
    }
}

// A file whose data ends before its header says is read as far as it goes, with one warning
// naming it and how much was read; whole files and streamed WAVs (no length stated) say nothing.
TEST_F(MediaSound, CutFilesAreReadAsFarAsTheyGoWithOneWarning)
{
    const std::vector<float> tone = sine_wave(440.f, 1000, 8000);
    ASSERT_TRUE(write_test_sound(dir.file("w.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, tone));
    ASSERT_TRUE(write_test_sound(dir.file("a.aiff"), SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, 8000,
                                 std::vector<float>(2000, 0.25f)));
    ASSERT_TRUE(write_test_sound(dir.file("f.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 8000,
                                 sine_wave(440.f, 20000, 8000)));
    const std::string wav = read_file(dir.file("w.wav")), aiff = read_file(dir.file("a.aiff")),
                      flac = read_file(dir.file("f.flac"));
    const size_t wav_data = wav.find("data") + 8, aiff_data = aiff.find("SSND") + 16;
    std::string streamed = wav;
    streamed.replace(wav_data - 4, 4, "\xff\xff\xff\xff");
    const struct {
        const char* name;
        std::string bytes;
        const char* warning; // "" when none is expected
    } cases[] = {
        {"whole.wav", wav, ""},
        {"streamed.wav", streamed, ""},
        {"cut.wav", wav.substr(0, wav_data + 2 * 500), "500 of the 1000 frames its header promises were read (50.0%)"},
        {"cut.aiff", aiff.substr(0, aiff_data + 4 * 250), "250 of the 1000 frames its header promises were read (25.0%)"},
        {"cut.flac", flac.substr(0, flac.size() / 2), "of the 20000 frames its header promises were read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        write_file(path, c.bytes);
        testing::internal::CaptureStderr();
        int rate = 0;
        const std::vector<float> got = load(path, &rate);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rate, 8000);
        ASSERT_FALSE(got.empty());
        if (!*c.warning) {
            EXPECT_EQ(err, "");
            EXPECT_EQ(got.size(), 1000u);
            continue;
        }
        EXPECT_EQ(err.rfind("Sound file '" + path + "' ends early: ", 0), 0u) << err;
        EXPECT_NE(err.find(c.warning), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}
