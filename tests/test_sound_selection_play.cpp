// The sound of the selection alone, on a sound of two known tones: what Play Selection plays
// through the audio stream (only the selected tone, at the level the whole sound has it, over
// the selection's time range, looped from its left edge) and what Save Selection as Sound writes,
// in noise and lossless synthesis.
#include "core/state.h"
#include "document/selection.h"
#include "document/sound.h"
#include "dsp/scale.h"
#include "sound/live.h"
#include "sound/selection_sound.h"
#include "sound/synthesis.h"
#include "test_doc.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <vector>

namespace {

constexpr float INSIDE_HZ = 1000.f, OUTSIDE_HZ = 3000.f;

struct SelectionSoundTest : EngineTest {
    TempDir dir;

    // Opens 4 s of the two tones and synthesises the whole document, losslessly or with noise.
    void open_tones(int lossless)
    {
        const int n = 4 * 44100;
        std::vector<float> x = sine_wave(INSIDE_HZ, n, 44100, 0.3f), y = sine_wave(OUTSIDE_HZ, n, 44100, 0.3f);
        for (int i = 0; i < n; i++)
            x[(size_t)i] += y[(size_t)i];
        const std::string path = dir.file("tones.wav");
        ASSERT_TRUE(write_test_sound(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 44100, x));
        ASSERT_EQ(load_sound(path.c_str(), es.get(), nullptr, 2), 1);
        memcpy(es->synth_range, es->anal_params, 3 * sizeof(float));
        es->synth_range[3] = es->anal_params[6];
        lossless_mode = (uint8_t)lossless;
        ASSERT_EQ(synthesise_all(es.get(), lossless, 2), 1);
    }
    void TearDown() override
    {
        selection_play_stop();
        lossless_mode = 0;
        EngineTest::TearDown();
    }
    // The row of the brightest band of a tone: the lower tone lies on the higher row index.
    int tone_row(bool lower)
    {
        const int c = image->w / 2;
        int best = 0;
        for (int r = 0; r < image->h; r++)
            if (image->composite[r][c] > image->composite[best][c])
                best = r;
        int other = -1; // the brightest row far from the first
        for (int r = 0; r < image->h; r++)
            if (std::abs(r - best) > 20 && (other < 0 || image->composite[r][c] > image->composite[other][c]))
                other = r;
        return lower == (best > other) ? best : other;
    }
    // Plays the installed selection through the stream until it stops by itself (or `frames`
    // frames), one value per frame.
    std::vector<float> play(size_t frames = SIZE_MAX)
    {
        std::vector<float> heard;
        std::vector<int16_t> buf(2 * 1024);
        for (int k = 0; k < 100000 && heard.size() < frames && es->paused.load() == 0; k++) {
            std::fill(buf.begin(), buf.end(), 0);
            const int n = stream_sound(es.get(), buf.data(), (int)std::min<size_t>(1024, frames - heard.size()));
            for (int f = 0; f < n; f++)
                heard.push_back(buf[(size_t)2 * f]);
            if (n == 0)
                wrsleep(1); // the first blocks are still being made
        }
        return heard;
    }
};

TEST_F(SelectionSoundTest, HearsAndSavesOnlyTheSelectedToneInBothModes)
{
    for (int lossless : {0, 1}) {
        SCOPED_TRACE(lossless ? "lossless" : "noise");
        selection_play_stop();
        synthesis_release(es.get());
        open_tones(lossless);
        const int row = tone_row(true);
        ASSERT_GT(row - tone_row(false), 20);
        ASSERT_TRUE(selection_box(image.get(), 100, row - 6, 299, row + 6, 3.f, SELECT_REPLACE));
        int x0, y0, x1, y1;
        ASSERT_TRUE(selection_bounds(image.get(), &x0, &y0, &x1, &y1));
        const float pps = es->synth_range[2];

        SelectionSound* s = selection_sound_start(es.get(), 2);
        ASSERT_NE(s, nullptr);
        const int64_t start = std::llround(x0 * 44100.0 / pps), len = std::llround(x1 * 44100.0 / pps) - start;
        EXPECT_EQ(selection_sound_offset(s), start);
        EXPECT_EQ(selection_sound_length(s), len);
        selection_play(es.get(), s);
        const std::vector<float> heard = play();
        ASSERT_EQ((int64_t)heard.size(), len);
        EXPECT_EQ(es->paused.load(), 1);
        EXPECT_EQ(es->play_pos.load(), start + len);

        // One second from the middle: the selected tone at the level the whole sound has it
        // there, the other one at least 60 dB down.
        const size_t mid = (size_t)len / 2 - 22050;
        std::vector<float> whole(44100);
        for (size_t i = 0; i < whole.size(); i++)
            whole[i] = sound_sample(es.get(), start + (int64_t)(mid + i)) * es->norm * 32767.f;
        const double inside = band_db(heard, mid, 44100, INSIDE_HZ);
        EXPECT_NEAR(inside, band_db(whole, 0, 44100, INSIDE_HZ), 0.5);
        printf("%s: the tone outside the selection %.1f dB below the one inside\n", lossless ? "lossless" : "noise",
               inside - band_db(heard, mid, 44100, OUTSIDE_HZ));
        EXPECT_GE(inside - band_db(heard, mid, 44100, OUTSIDE_HZ), 60.0);
        selection_play_stop();

        // Saved: the selection's length, the same sound at its own full scale.
        const std::string path = dir.file(lossless ? "lossless.flac" : "noise.wav");
        ASSERT_EQ(save_selection_sound(path.c_str(), es.get()), 1);
        SF_INFO info{};
        const std::vector<float> saved = read_sound_file(path, &info);
        ASSERT_EQ((int64_t)saved.size(), len);
        EXPECT_EQ(info.samplerate, 44100);
        double xy = 0, xx = 0, yy = 0, peak = 0;
        for (size_t i = 0; i < saved.size(); i++) {
            xy += (double)saved[i] * heard[i];
            xx += (double)saved[i] * saved[i];
            yy += (double)heard[i] * heard[i];
            peak = std::max(peak, (double)std::fabs(saved[i]));
        }
        EXPECT_GT(xy / std::sqrt(xx * yy), 0.9999);
        EXPECT_NEAR(peak, 1.0, 0.01);
    }
}

// A box on a real recording (speech): its sound holds the box's band and nothing of the rest of
// the sound, which is loud there.
TEST_F(SelectionSoundTest, BoxOnARecordingIsHeardAlone)
{
    for (int lossless : {0, 1}) {
        SCOPED_TRACE(lossless ? "lossless" : "noise");
        selection_play_stop();
        synthesis_release(es.get());
        ASSERT_EQ(load_sound("/usr/share/sounds/alsa/Front_Center.wav", es.get(), nullptr, 2), 1);
        memcpy(es->synth_range, es->anal_params, 3 * sizeof(float));
        es->synth_range[3] = es->anal_params[6];
        lossless_mode = (uint8_t)lossless;
        ASSERT_EQ(synthesise_all(es.get(), lossless, 2), 1);
        // Rows of 300 Hz .. 1200 Hz, columns of 0.3 s .. 1.1 s.
        const float* a = es->anal_params;
        auto row = [&](float hz) {
            return (int)std::lround((1.0 - log_pos_inv_b(hz, a[0], a[1], a[6])) * (image->h - 1));
        };
        ASSERT_GE(image->w, 120);
        ASSERT_TRUE(selection_box(image.get(), 30, row(1200.f), 109, row(300.f), 3.f, SELECT_REPLACE));
        SelectionSound* s = selection_sound_start(es.get(), 2);
        ASSERT_NE(s, nullptr);
        // The sound itself, before the 16-bit output adds its own floor.
        ASSERT_EQ(selection_sound_wait(s), 1);
        const int64_t start = selection_sound_offset(s);
        std::vector<float> heard(selection_sound_samples(s), selection_sound_samples(s) + selection_sound_length(s));
        selection_sound_free(s);
        for (float& v : heard)
            v *= es->norm * 32767.f;
        ASSERT_GE(heard.size(), 32768u);
        std::vector<float> whole(heard.size());
        for (size_t i = 0; i < whole.size(); i++)
            whole[i] = sound_sample(es.get(), start + (int64_t)i) * es->norm * 32767.f;
        const int n = 32768;
        const double inside = band_db(heard, 0, n, 300.f, 1200.f);
        EXPECT_NEAR(inside, band_db(whole, 0, n, 300.f, 1200.f), 1.0);
        // Above the box (past its soft edge): loud in the whole sound, silent in the selection.
        EXPECT_GT(band_db(whole, 0, n, 2000.f, 8000.f), inside - 40.0);
        printf("%s: above the box %.1f dB below the box\n", lossless ? "lossless" : "noise",
               inside - band_db(heard, 0, n, 2000.f, 8000.f));
        EXPECT_GE(inside - band_db(heard, 0, n, 2000.f, 8000.f), 60.0);
    }
}

TEST_F(SelectionSoundTest, LoopsFromItsLeftEdgeAndNeedsASelection)
{
    open_tones(0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(selection_sound_start(es.get(), 2), nullptr);
    EXPECT_EQ(save_selection_sound(dir.file("none.wav").c_str(), es.get()), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Nothing is selected"), std::string::npos);
    EXPECT_FALSE(file_exists(dir.file("none.wav")));

    ASSERT_TRUE(selection_box(image.get(), 50, 10, 120, 200, 2.f, SELECT_REPLACE));
    key[state_of(K_LOOP)] = 1;
    SelectionSound* s = selection_sound_start(es.get(), 1);
    ASSERT_NE(s, nullptr);
    const size_t len = (size_t)selection_sound_length(s);
    selection_play(es.get(), s);
    const std::vector<float> heard = play(2 * len + 3000);
    ASSERT_GE(heard.size(), 2 * len + 3000);
    EXPECT_EQ(es->paused.load(), 0);
    EXPECT_TRUE(std::equal(heard.begin(), heard.begin() + (long)len + 3000, heard.begin() + (long)len));

    // Pause After Current Loop: the loop ends at the selection's end, ready at its left edge.
    key[state_of(K_PAUSE_AFTER)] = 1;
    const std::vector<float> rest = play();
    EXPECT_EQ(es->paused.load(), 1);
    EXPECT_EQ(rest.size(), len - 3000);
    EXPECT_EQ(es->play_pos.load(), selection_sound_offset(s));
}

} // namespace
