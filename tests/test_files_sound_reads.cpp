// Sounds read in order ask the library for no more frames than the header states are left: the
// samples are still every frame of the file, whether the header's count is exact, missing (a
// writer streaming to a pipe) or the file is cut short, and whatever the length around a block.
#include "core/state.h"
#include "files/media.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

TEST(FilesSoundReads, EveryFrameIsReadWhateverTheHeaderSays)
{
    TempDir dir;
    struct Case {
        const char* name;
        int format, channels, frames;
        bool unsized; // the data chunk's size left at 0xffffffff, as streamed
        long cut;     // bytes cut off the file's end
    } cases[] = {
        {"one.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 1, false, 0},
        {"short.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 4097, false, 0},
        {"block.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, (1 << 19) + 3, false, 0},
        {"flac.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, (1 << 20) + 5000, false, 0},
        {"unsized.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 30000, true, 0},
        {"cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 30000, false, 2 * 10000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> frames((size_t)c.frames * c.channels);
        wrsrand(11);
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
        SF_INFO info{};
        const std::vector<float> all = read_sound_file(path, &info);
        std::vector<float> expected((size_t)info.frames);
        for (size_t i = 0; i < expected.size(); i++)
            for (int ch = 0; ch < info.channels; ch++)
                expected[i] += all[i * (size_t)info.channels + (size_t)ch];
        ASSERT_EQ(expected.size(), (size_t)c.frames - (size_t)c.cut / 2);

        state_reset();
        testing::internal::CaptureStderr();
        int len = 0, rate = 0;
        float* got = load_raw_sound_sndfile(path.c_str(), &len, &rate);
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_NE(got, nullptr) << err;
        ASSERT_EQ((size_t)len, expected.size());
        EXPECT_EQ(memcmp(got, expected.data(), expected.size() * sizeof(float)), 0);
        EXPECT_EQ(err.find("ends early") != std::string::npos, c.cut != 0) << err;
        free(got);
    }
}
