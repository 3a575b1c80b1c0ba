// The sound of the selection, in noise and lossless synthesis. On a sound of two known tones,
// Play Selection plays through the audio stream only the selected tone, at the level the whole
// sound has it, over the selection's time range, looped from its left edge, and Save Selection as
// Sound writes it. On a real recording a box is heard alone; with two tones added, Gain on
// Selection silences the tone in its band and keeps the other's level, and a stretch of time
// removed whole starts and stops without a click.
#include "core/units.h"
#include "document/composite.h"
#include "document/selection.h"
#include "sound/live.h"
#include "sound/selection_sound.h"
#include "test_doc.h"
#include "test_editor.h" // lower_tone_row

#include <sndfile.h>

#include <cmath>

namespace {

constexpr float INSIDE_HZ = 1000.f, OUTSIDE_HZ = 3000.f;
const char* const RECORDING = "/usr/share/sounds/alsa/Front_Center.wav"; // speech at 48 kHz

struct SelectionSoundTest : EngineTest {
    TempDir dir;

    void TearDown() override
    {
        selection_play_stop();
        lossless_mode = 0;
        EngineTest::TearDown();
    }
    // Opens the mono sound `x` at `rate` as the document and synthesises it, losslessly or with
    // noise (from the same seed every time).
    void open_sound(const std::vector<float>& x, int rate, int lossless)
    {
        selection_play_stop();
        synthesis_release(es.get());
        const std::string path = dir.file("open.wav");
        ASSERT_TRUE(write_test_sound(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, rate, x));
        ASSERT_EQ(load_sound(path.c_str(), es.get(), nullptr, 2), 1);
        memcpy(es->synth_range, es->anal_params, 3 * sizeof(float));
        es->synth_range[3] = es->anal_params[6];
        lossless_mode = (uint8_t)lossless;
        synthesise();
    }
    void synthesise()
    {
        process_layers(es.get());
        wrsrand(7);
        ASSERT_EQ(synthesise_all(es.get(), lossless_mode, 2), 1);
    }
    // The row of a frequency.
    int row(float hz) { return (int)convert_unit(nullptr, UNIT_HZ, UNIT_PX, es.get(), 0, 0, hz); }
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

TEST_F(SelectionSoundTest, TonesHeardSavedAndLoopedAlone)
{
    const int n = 4 * 44100;
    std::vector<float> x = sine_wave(INSIDE_HZ, n, 44100, 0.3f), y = sine_wave(OUTSIDE_HZ, n, 44100, 0.3f);
    for (int i = 0; i < n; i++)
        x[(size_t)i] += y[(size_t)i];
    for (int lossless : {0, 1}) {
        SCOPED_TRACE(lossless ? "lossless" : "noise");
        open_sound(x, 44100, lossless);
        // Nothing selected: refused with a message, no file written.
        testing::internal::CaptureStderr();
        EXPECT_EQ(selection_sound_start(es.get(), 2), nullptr);
        EXPECT_EQ(save_selection_sound(dir.file("none.wav").c_str(), es.get()), 0);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Nothing is selected"), std::string::npos);
        EXPECT_FALSE(file_exists(dir.file("none.wav")));

        const int row = lower_tone_row(image.get());
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
        const double inside = band_db(heard, mid, 44100, INSIDE_HZ);
        EXPECT_NEAR(inside, band_db(sound(start + (int64_t)mid, 44100, es->norm * 32767.f), 0, 44100, INSIDE_HZ), 0.5);
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
        EXPECT_GT(correlation(saved, heard), 0.9999);
        const auto [lo, hi] = std::minmax_element(saved.begin(), saved.end());
        EXPECT_NEAR(std::max(*hi, -*lo), 1.f, 0.01f); // at its own full scale

        // Looped: the same sound again from the left edge; Pause After Current Loop ends the loop
        // at the selection's end, ready at its left edge.
        key[state_of(K_LOOP)] = 1;
        s = selection_sound_start(es.get(), 1);
        ASSERT_NE(s, nullptr);
        selection_play(es.get(), s);
        const std::vector<float> looped = play(2 * (size_t)len + 3000);
        ASSERT_GE(looped.size(), 2 * (size_t)len + 3000);
        EXPECT_EQ(es->paused.load(), 0);
        EXPECT_TRUE(std::equal(looped.begin(), looped.begin() + len + 3000, looped.begin() + len));
        key[state_of(K_PAUSE_AFTER)] = 1;
        EXPECT_EQ(play().size(), (size_t)len - 3000);
        EXPECT_EQ(es->paused.load(), 1);
        EXPECT_EQ(es->play_pos.load(), start);
        key[state_of(K_LOOP)] = key[state_of(K_PAUSE_AFTER)] = 0;
        selection_play_stop();
    }
}

TEST_F(SelectionSoundTest, RecordingBoxHeardAloneBandRemovedAndCutWithoutClick)
{
    SF_INFO info{};
    const std::vector<float> recording = read_sound_file(RECORDING, &info);
    ASSERT_EQ(info.channels, 1);
    // The recording with a 1 kHz tone to remove and a 3 kHz tone to keep, loud enough over the
    // rest of the sound for 60 dB to be measured (a Hann window keeps the speech nearby out).
    std::vector<float> mixed(recording.size());
    for (size_t i = 0; i < mixed.size(); i++) {
        const double t = (double)i / info.samplerate;
        mixed[i] = 0.5f * recording[i] + 0.3f * (float)(std::sin(2 * M_PI * 1000 * t) + std::sin(2 * M_PI * 3000 * t));
    }
    // Energy (dB) of `x` within `f` +- 15 Hz over its middle half (away from the ends).
    auto middle_db = [](const std::vector<float>& x, float f) {
        return band_db(x, x.size() / 4, (int)(x.size() / 2), f - 15.f, f + 15.f);
    };
    for (int lossless : {0, 1}) {
        SCOPED_TRACE(lossless ? "lossless" : "noise");
        // A box of 300 Hz .. 1200 Hz over 0.3 s .. 1.1 s of the recording: its sound, before the
        // 16-bit output adds its own floor, holds the box's band at the whole sound's level and
        // nothing of the sound above the box (past its soft edge), which is loud there.
        open_sound(recording, info.samplerate, lossless);
        ASSERT_GE(image->w, 120);
        ASSERT_TRUE(selection_box(image.get(), 30, row(1200.f), 109, row(300.f), 3.f, SELECT_REPLACE));
        SelectionSound* s = selection_sound_start(es.get(), 2);
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(selection_sound_wait(s), 1);
        const int64_t start = selection_sound_offset(s);
        std::vector<float> heard(selection_sound_samples(s), selection_sound_samples(s) + selection_sound_length(s));
        selection_sound_free(s);
        for (float& v : heard)
            v *= es->norm * 32767.f;
        ASSERT_GE(heard.size(), 32768u);
        const std::vector<float> whole = sound(start, (int64_t)heard.size(), es->norm * 32767.f);
        const int n = 32768;
        const double box = band_db(heard, 0, n, 300.f, 1200.f);
        EXPECT_NEAR(box, band_db(whole, 0, n, 300.f, 1200.f), 1.0);
        EXPECT_GT(band_db(whole, 0, n, 2000.f, 8000.f), box - 40.0);
        printf("%s: above the box %.1f dB below the box\n", lossless ? "lossless" : "noise",
               box - band_db(heard, 0, n, 2000.f, 8000.f));
        EXPECT_GE(box - band_db(heard, 0, n, 2000.f, 8000.f), 60.0);

        // -120 dB on the band from 800 Hz to 1250 Hz (four semitones each side of the tone).
        open_sound(mixed, info.samplerate, lossless);
        const std::vector<float> before = sound();
        const int top = row(1250.f), bottom = row(800.f);
        ASSERT_LT(top, bottom);
        ASSERT_TRUE(selection_box(image.get(), 0, top, image->w - 1, bottom, SELECTION_FEATHER_DEFAULT, SELECT_REPLACE));
        ASSERT_TRUE(selection_gain(image.get(), -120.f));
        synthesise();
        const std::vector<float> after = sound();
        const double inside = middle_db(after, 1000) - middle_db(before, 1000);
        const double outside = middle_db(after, 3000) - middle_db(before, 3000);
        printf("%s synthesis: tone inside the removed band %.1f dB, tone outside %.2f dB\n",
               lossless ? "lossless" : "noise", inside, outside);
        EXPECT_LE(inside, -60.0);
        EXPECT_LE(std::fabs(outside), 0.5);

        // A stretch of time removed at every frequency starts and ends without a click: the
        // sample-to-sample step near its edges is no larger than the sound's own largest step.
        plane_copy_into(image->layers[0].plane, image->analysed, image->h, image->w);
        const int c0 = image->w * 3 / 10, c1 = image->w * 6 / 10;
        ASSERT_TRUE(selection_box(image.get(), c0, 0, c1, image->h - 1, SELECTION_FEATHER_DEFAULT, SELECT_REPLACE));
        ASSERT_TRUE(selection_gain(image.get(), -120.f));
        synthesise();
        const std::vector<float> cut = sound();
        auto largest_step = [](const std::vector<float>& y, size_t from, size_t to) {
            float m = 0.f;
            for (size_t i = from + 1; i < std::min(to, y.size()); i++)
                m = std::max(m, std::fabs(y[i] - y[i - 1]));
            return m;
        };
        const float own = largest_step(before, 0, before.size());
        const double per_col = 44100.0 / es->synth_range[2];
        for (int edge : {c0, c1 + 1}) {
            const size_t at = (size_t)(edge * per_col), span = (size_t)(5 * per_col);
            const float step = largest_step(cut, at > span ? at - span : 0, at + span);
            printf("%s synthesis: largest step at the edge of column %d: %g (the sound's own: %g)\n",
                   lossless ? "lossless" : "noise", edge, step, own);
            EXPECT_LE(step, own * 1.01f); // the sound beside the edge, not a click, may hold the largest step
        }
        const float quiet = largest_step(cut, (size_t)((c0 + 8) * per_col), (size_t)((c1 - 8) * per_col));
        EXPECT_LT(quiet, 1e-3f * own); // and the stretch itself is silent
    }
}

} // namespace
