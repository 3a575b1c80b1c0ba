// Sound files out: formats, bit depths, chunk boundaries, clipping, normalisation and failures.
#include "sound/writer.h"
#include "core/state.h"
#include "platform/util.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iterator>

namespace {

float ramp(int i) { return 0.4f * sinf(0.001f * (float)i); }

} // namespace

TEST(SoundWriter, ChunkedSoundReadsBackAtEveryDepthAndFormat)
{
    // Two chunks, so the boundary between them is crossed.
    const int len = SOUND_CHUNK_LEN + 1000;
    float* chunks[2] = {static_cast<float*>(wrmalloc(SOUND_CHUNK_LEN * sizeof(float))),
                        static_cast<float*>(wrmalloc(SOUND_CHUNK_LEN * sizeof(float)))};
    for (int i = 0; i < len; i++)
        chunks[i / SOUND_CHUNK_LEN][i % SOUND_CHUNK_LEN] = ramp(i);
    TempDir dir;
    struct Case { const char* name; int pcm24; int subtype; float tolerance; };
    for (const Case& c : {Case{"a.wav", 0, SF_FORMAT_PCM_16, 1.f / 32767}, Case{"b.wav", 1, SF_FORMAT_PCM_24, 1.f / 8388607},
                          Case{"c.AIFF", 0, SF_FORMAT_PCM_16, 1.f / 32767}, Case{"d.flac", 1, SF_FORMAT_PCM_24, 1.f / 8388607}}) {
        std::string path = dir.file(c.name);
        ASSERT_EQ(write_sound_file(path.c_str(), chunks, len, 1.f, c.pcm24), 1) << c.name;
        SF_INFO info;
        std::vector<float> back = read_sound_file(path, &info);
        ASSERT_EQ(std::vector<long>({info.samplerate, info.channels, (long)info.frames, info.format & SF_FORMAT_SUBMASK}),
                  std::vector<long>({SOUND_SAMPLERATE, 1, len, c.subtype})) << c.name;
        for (int i : {0, 1, SOUND_CHUNK_LEN - 1, SOUND_CHUNK_LEN, len - 1})
            EXPECT_NEAR(back[i], ramp(i), c.tolerance) << c.name << " sample " << i;
    }
    // The four files and no temporary one.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 4);
    free(chunks[0]);
    free(chunks[1]);
}

// The normalised and raw levels are the editor's save test and the batch commands'; here clipping,
// Ogg, and failures that name the file and leave nothing.
TEST(SoundWriter, ClippingOggAndFailures)
{
    std::vector<float> samples = sine_wave(440.f, 44100, 44100, 0.25f);
    float* chunk = samples.data();
    TempDir dir;
    SF_INFO info;
    std::vector<float> back;
    // Beyond full scale the samples clip instead of wrapping around.
    ASSERT_EQ(write_sound_file(dir.file("c.wav").c_str(), &chunk, 44100, 8.f, 0), 1);
    back = read_sound_file(dir.file("c.wav"), &info);
    EXPECT_TRUE(std::all_of(back.begin(), back.end(), [](float v) { return std::fabs(v) <= 1.f; }));
    EXPECT_GT(back[25], 0.99f); // 2 * sin(...) is well above full scale here

    ASSERT_EQ(write_sound_file(dir.file("v.ogg").c_str(), &chunk, 44100, 1.f, 1), 1);
    back = read_sound_file(dir.file("v.ogg"), &info);
    EXPECT_TRUE((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG && std::abs(info.frames - 44100) <= 2048) << info.frames;

    testing::internal::CaptureStderr();
    EXPECT_EQ(write_sound_file(dir.file("x.mp4").c_str(), &chunk, 1, 1.f, 0), 0);
    EXPECT_EQ(write_sound_file(dir.file("none/y.wav").c_str(), &chunk, 1, 1.f, 0), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(err.find("x.mp4: cannot be written") != std::string::npos && err.find("y.wav: cannot be written") != std::string::npos)
        << err;
    EXPECT_FALSE(file_exists(dir.file("x.mp4")));
}
