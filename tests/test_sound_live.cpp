// Audio output: normal playback (positions, loop, reverse, bounce, pause after the loop, hold),
// live synthesis (levels of known columns, kernel, jumps, mouse following, wraps, level glide),
// the level estimate and its guard, switching live synthesis, the live output file and channel
// mixing (the device itself is checked through the running editor's audio tests).
#include "dsp/noise_full.h"
#include "sound/live.h"
#include "test_doc.h"

#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <iterator>
#include <thread>

namespace {

// ---------------------------------------------------------------------------------------------
// [SECTION] Helpers
// ---------------------------------------------------------------------------------------------

struct SoundLive : EngineTest {
    void SetUp() override
    {
        EngineTest::SetUp();
        live_stream_reset(es.get());
    }
    void TearDown() override
    {
        live_output_close();
        live_table_wait();
        calc_max_vol_live_wait();
        noise_full_level_hook = nullptr;
        document_hooks = DocumentHooks{};
        free_null(&es->noise_full);
        free_null(&es->noise_rms);
        EngineTest::TearDown();
    }

    // A stored sound of n samples, sample i = (i + 1) / 1000, playing from `from`.
    void make_sound(int n, int from)
    {
        resize_sound(es->sound, n);
        for (int i = 0; i < n; i++)
            es->sound[0][i] = (float)(i + 1) / 1000.f;
        es->sound_len = n;
        es->play_pos = from;
        es->norm = 1.f;
        es->paused = 0;
    }
    // Whether playback is paused, and its position.
    std::pair<int, long> stopped() const { return {es->paused.load(), (long)es->play_pos.load()}; }
    // Runs the callback over `frames` frames; returns the left channel (the right must match).
    std::vector<int16_t> play(int frames)
    {
        std::vector<int16_t> buf(2 * (size_t)frames, 77);
        audio_callback(es.get(), reinterpret_cast<uint8_t*>(buf.data()), frames * 4);
        std::vector<int16_t> left(frames);
        for (int f = 0; f < frames; f++) {
            EXPECT_EQ(buf[2 * f], buf[2 * f + 1]);
            left[f] = buf[2 * f];
        }
        return left;
    }
    // The sample indices of make_sound that `frames` frames played (-1: silence).
    std::vector<int> played(int frames)
    {
        std::vector<int> idx;
        for (int16_t v : play(frames))
            idx.push_back(v == 0 ? -1 : (int)std::lround(v * 1000.0 / 32767.0) - 1);
        return idx;
    }

    // A live document of W x 2 columns (pps = rate: one column per sample), column values given
    // for row 0 (row 1 silent), and a 4-sample table whose row 0 is 1 and row 1 is 0.
    void make_live(const std::vector<float>& row0, float norm = 10.f)
    {
        const int W = (int)row0.size(), H = 2;
        image->w = W;
        image->h = H;
        image->transposed = plane_alloc(W, H);
        for (int x = 0; x < W; x++)
            image->transposed[x][0] = row0[x];
        es->noise_full = static_cast<float*>(wrcalloc(4 * H, sizeof(float)));
        for (int j = 0; j < 4; j++)
            es->noise_full[j * H] = 1.f;
        es->noise_full_len = 4;
        es->noise_param_i[1] = H;
        es->synth_range[2] = (float)SOUND_SAMPLERATE;
        es->norm = norm;
        key[state_of(K_LIVE_SYNTH)] = 1;
        live_columns_alloc(es.get());
        es->paused = 0;
    }
};

int16_t pcm(float v) { return (int16_t)(int)(v * 32767.f); }

// ---------------------------------------------------------------------------------------------
// [SECTION] Normal playback
// ---------------------------------------------------------------------------------------------

TEST_F(SoundLive, NormalPlaybackEndsLoopsPausesReversesAndBounces)
{
    make_sound(10, 3);
    EXPECT_EQ(played(4), (std::vector<int>{3, 4, 5, 6}));
    EXPECT_EQ(played(5), (std::vector<int>{7, 8, 9, -1, -1}));
    EXPECT_EQ(stopped().first, 0);
    EXPECT_EQ(played(2), (std::vector<int>{-1, -1})); // the end of the sound stops playback
    EXPECT_EQ(stopped(), std::pair(1, 0L));

    // Looping goes from the last sample straight to sample 0.
    make_sound(10, 8);
    key[state_of(K_LOOP)] = 1;
    EXPECT_EQ(played(5), (std::vector<int>{8, 9, 0, 1, 2}));
    // Pause After Current Loop stops at the wrap, rewound.
    es->play_pos = 8;
    key[state_of(K_PAUSE_AFTER)] = 1;
    EXPECT_EQ(played(5), (std::vector<int>{8, 9, -1, -1, -1}));
    EXPECT_EQ(stopped(), std::pair(1, 0L));

    // Held by the main loop: silence, nothing moves, and it plays on once released.
    make_sound(10, 4);
    EXPECT_EQ(playback_hold(es.get()), 0);
    EXPECT_EQ(played(3), (std::vector<int>{-1, -1, -1}));
    playback_resume(es.get(), 0);
    EXPECT_EQ(played(1), (std::vector<int>{4}));

    // Reversed: to sample 0 and stop; with Loop Playback on from the last one.
    make_sound(10, 2);
    key[state_of(K_LOOP)] = key[state_of(K_PAUSE_AFTER)] = 0;
    key[K_REVERSE] = 1;
    EXPECT_EQ(played(4), (std::vector<int>{2, 1, 0, -1}));
    key[state_of(K_LOOP)] = 1;
    es->play_pos = 2;
    EXPECT_EQ(played(5), (std::vector<int>{2, 1, 0, 9, 8}));

    // L and B held: back and forth between the ends, turning on the end samples.
    key[state_of(K_LOOP)] = 0;
    key[K_BOUNCE] = 1;
    es->play_pos = 7;
    EXPECT_EQ(played(14), (std::vector<int>{7, 8, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2}));
    EXPECT_EQ(key[K_REVERSE].load(), 1);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Live synthesis
// ---------------------------------------------------------------------------------------------

TEST_F(SoundLive, LiveOutputOfKnownColumnsAndPositions)
{
    float w[3];
    live_kernel_weights(5.5, w); // halfway between columns 5 and 6
    for (int k = 0; k < 3; k++)
        EXPECT_NEAR(w[k], k < 2 ? 0.75f : 0.f, k < 2 ? 2e-4f : 1e-6f) << k;

    // Every column 1: each sample is 1.5 (the kernel's sum) over the level 10.
    make_live(std::vector<float>(8, 1.f));
    es->play_pos = 2;
    std::vector<int16_t> out = play(3);
    EXPECT_EQ(out, std::vector<int16_t>(3, pcm(0.15)));
    EXPECT_TRUE(es->play_pos.load() == 5 && es->play_pos_fine == 5.0 && es->sound_len.load() == 8 && es->norm == 10.f);

    // One lit column is heard with the kernel's weights as the position passes it.
    for (int x = 0; x < 8; x++)
        image->transposed[x][0] = x == 4 ? 1.f : 0.f;
    image->transposed_ready = 1;
    es->play_pos = 1;
    out = play(5); // positions 2 .. 6
    const double weight[5] = {0, 0.0908, 1.3184, 0.0908, 0}; // silent exactly where no weight reaches
    for (int i = 0; i < 5; i++)
        EXPECT_NEAR(out[i], weight[i] / 10 * 32767, weight[i] > 0 ? 8 : 0) << i;

    // A louder sample raises the level one third above it.
    image->transposed[5][0] = 20.f;
    image->transposed_ready = 1;
    es->play_pos = 4;
    play(1); // position 5: 1.3184 * 20 + 0.0908 * 1
    EXPECT_NEAR(es->norm, 1.333333f * (1.3184f * 20.f + 0.0908f), 0.02f);
}

TEST_F(SoundLive, LiveWrapsStopsAndJumps)
{
    make_live(std::vector<float>(8, 1.f));
    es->play_pos = 6;
    std::vector<int16_t> out = play(3); // the last column (nothing beyond it), then off the end
    EXPECT_NEAR(out[0], (1.3184 + 0.0908) / 10 * 32767, 8);
    EXPECT_EQ(std::vector<int16_t>(out.begin() + 1, out.end()), std::vector<int16_t>(2, 0));
    EXPECT_EQ(stopped(), std::pair(1, 0L));

    key[state_of(K_LOOP)] = 1; // looping: on from column 0
    es->paused = 0;
    es->play_pos = 6;
    play(3);
    EXPECT_EQ(es->play_pos.load(), 1);
    key[state_of(K_PAUSE_AFTER)] = 1;
    es->play_pos = 6;
    EXPECT_EQ(play(3), (std::vector<int16_t>{pcm(0.15), 0, 0})); // beyond the end: column 0
    EXPECT_EQ(es->paused.load(), 1);

    // Paused, a click moves the position; playing, it jumps at once.
    key[K_LIVE_JUMP] = 1;
    current_x = 3.25f;
    EXPECT_EQ(play(2), (std::vector<int16_t>{0, 0}));
    EXPECT_TRUE(key[K_LIVE_JUMP].load() == 0 && es->play_pos_fine == 3.25 && es->play_pos.load() == 3);
    es->paused = 0;
    play(1);
    EXPECT_DOUBLE_EQ(es->play_pos_fine, 4.25);
    key[K_LIVE_JUMP] = 1;
    current_x = 1.f;
    play(1);
    EXPECT_DOUBLE_EQ(es->play_pos_fine, 1.0);

    // Dragging: the position glides from one mouse sample to the next over a mouse period.
    live_cursor_fps = (float)SOUND_SAMPLERATE / 4.f; // a mouse sample every 4 samples
    key[K_CURSOR_DRAG] = 1;
    key[K_LIVE_JUMP] = 1;
    current_x = 0.f;
    play(1);
    current_x = 4.f;
    std::vector<double> path;
    for (int i = 0; i < 9; i++) {
        play(1);
        path.push_back(es->play_pos_fine);
    }
    EXPECT_EQ(path, (std::vector<double>{0, 0, 0, 0, 1, 2, 3, 4, 4}));
}

TEST_F(SoundLive, LiveLevelChangesGlideInsteadOfStepping)
{
    make_live(std::vector<float>(8, 0.1f), 1.f);
    key[state_of(K_LOOP)] = 1;
    EXPECT_EQ(play(4)[3], pcm(0.15));
    es->norm = 10.f; // a new estimate: ten times quieter, reached in 10 ms
    std::vector<int16_t> out = play(SOUND_SAMPLERATE / 100 + 20);
    for (size_t i = 1; i < out.size(); i++) {
        EXPECT_LE(out[i], out[i - 1]);
        EXPECT_LE(out[i - 1] - out[i], 30) << i;
    }
    EXPECT_NEAR(out[SOUND_SAMPLERATE / 200], pcm(0.15) / std::sqrt(10.0), 40);
    EXPECT_EQ(out.back(), pcm(0.015));

    // A table built for another height is never read.
    es->noise_param_i[1] = 3;
    EXPECT_EQ(play(8), std::vector<int16_t>(8, 0));
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Level estimate
// ---------------------------------------------------------------------------------------------

TEST_F(SoundLive, LevelEstimateTakesTheLoudestColumnAndLetsOneRunAndOneWait)
{
    image->w = 3;
    image->h = 2;
    image->transposed = plane_alloc(3, 2);
    image->transposed[0][0] = 1.f;
    image->transposed[1][0] = 2.f; // the loudest column: rows 2, 1
    image->transposed[1][1] = 1.f;
    es->noise_full = static_cast<float*>(wrcalloc(2, sizeof(float)));
    es->noise_rms = static_cast<float*>(wrcalloc(2, sizeof(float)));
    es->noise_rms[0] = 0.5f; // band 0: the bottom row
    es->noise_rms[1] = 2.f;  // band 1: the top row
    es->noise_param_i[1] = 2;
    key[state_of(K_LIVE_SYNTH)] = 1;
    const float expected = std::sqrt(4.f * 4.f + 0.5f * 0.5f) * 1.7320508f * 3.f;

    std::atomic<int> returned{0};
    std::vector<std::thread> callers;
    mutex_to_1(image->transposed_lock); // the first caller runs into the lock
    for (int i = 0; i < 5; i++)
        callers.emplace_back([&] {
            calc_max_vol_live(es.get());
            returned++;
        });
    for (int k = 0; k < 10000 && returned.load() < 3; k++)
        wrsleep(1);
    EXPECT_EQ(returned.load(), 3); // one runs, one waits, the others give up at once
    mutex_to_0(image->transposed_lock);
    for (std::thread& t : callers)
        t.join();
    EXPECT_NEAR(es->norm, expected, 1e-3f);

    // With live synthesis off the estimate no longer touches the level.
    es->norm = 0.5f;
    key[state_of(K_LIVE_SYNTH)] = 0;
    calc_max_vol_live(es.get());
    EXPECT_FLOAT_EQ(es->norm, 0.5f);
}

TEST_F(SoundLive, SwitchingLiveSynthesisOnAndOff)
{
    const int W = 60, H = 24;
    const Plane p = plane_of(W, H, [](int r, int x) { return (r == 10 && x > 20) ? 1.f : 0.f; });
    ASSERT_EQ(image_from_plane(image.get(), p, W, H, "test"), 1);
    live_install_hooks();
    es->play_pos = (int)(30 * SOUND_SAMPLERATE / es->synth_range[2]);
    es->paused = 0;

    key[state_of(K_LIVE_SYNTH)] = 1;
    live_synthesis_switch(es.get());
    live_table_wait();
    calc_max_vol_live_wait();
    ASSERT_NE(es->noise_full, nullptr);
    EXPECT_TRUE(key[K_NOISE_INIT].load() == 0 && es->noise_param_i[1] == H && es->norm > 0.f && !live_table_stale(es.get()));
    play(1);
    EXPECT_GT(es->play_pos_fine, 30.0); // went on from where normal playback was
    es->synth_range[1] = 15000.f;
    EXPECT_EQ(live_table_stale(es.get()), 1);
    es->synth_range[1] = 20000.f;

    key[state_of(K_LIVE_SYNTH)] = 0;
    live_synthesis_switch(es.get());
    EXPECT_EQ(es->noise_full, nullptr);
    EXPECT_EQ(stopped().first, 0);
    EXPECT_EQ(es->sound_len.load(), (int)std::lround(W * SOUND_SAMPLERATE / es->synth_range[2]));
    end_sound_threads(es.get());
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Live output file and mixing
// ---------------------------------------------------------------------------------------------

TEST_F(SoundLive, RecordingSkipsPausesAndIsCompleteAfterClose)
{
    TempDir dir;
    const std::string path = dir.file("live.wav");
    make_sound(1000, 0);
    // What the device played is what the file holds: the editor's audio test. Here: paused and
    // suspended output is not recorded, and files opened and closed while the callback runs.
    ASSERT_EQ(live_output_open(path.c_str()), 1);
    play(300);
    EXPECT_EQ(live_output_suspend_toggle(), 1);
    play(100);
    EXPECT_EQ(live_output_suspend_toggle(), 0);
    es->paused = 1;
    play(100);
    es->paused = 0;
    play(100);
    EXPECT_EQ(live_output_frames(), 400);
    live_output_close();
    EXPECT_EQ(live_output_active(), 0);
    EXPECT_EQ(live_output_open(dir.file("live.mp4").c_str()), 0);
    EXPECT_FALSE(file_exists(dir.file("live.mp4")));

    // Opened and closed again and again while the callback runs, each file is whole.
    key[state_of(K_LOOP)] = 1;
    std::atomic<int> done{0};
    std::thread cb([&] {
        std::vector<int16_t> buf(2 * 256);
        while (!done.load())
            audio_callback(es.get(), reinterpret_cast<uint8_t*>(buf.data()), (int)buf.size() * 2);
    });
    for (const char* name : {"a.flac", "b.ogg"}) {
        ASSERT_EQ(live_output_open(dir.file(name).c_str()), 1);
        for (int k = 0; k < 2000 && live_output_frames() < 4000; k++)
            wrsleep(1);
        live_output_close();
        SF_INFO fi;
        EXPECT_GE(read_sound_file(dir.file(name), &fi).size(), 4000u) << name;
    }
    done = 1;
    cb.join();
}

// Writes a mono file of n samples of value v at `rate`.
void write_mono(const std::string& path, int n, float v, int rate)
{
    write_test_sound(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, rate, std::vector<float>(n, v));
}

TEST(SoundMix, ChannelFilesBecomeOneStereoFile)
{
    TempDir dir;
    write_mono(dir.file("l.wav"), 30000, 0.5f, 44100);
    write_mono(dir.file("r.wav"), 20000, -0.25f, 44100);
    ASSERT_EQ(mix_to_stereo(dir.file("l.wav").c_str(), dir.file("r.wav").c_str(), dir.file("lr.flac").c_str()), 1);
    SF_INFO info;
    std::vector<float> s = read_sound_file(dir.file("lr.flac"), &info);
    ASSERT_TRUE(info.channels == 2 && info.frames == 30000);
    for (auto [i, v] : {std::pair{0, 0.5f}, {2 * 29999, 0.5f}, {2 * 19999 + 1, -0.25f}})
        EXPECT_NEAR(s[i], v, 1e-4f) << i;
    EXPECT_EQ(s[2 * 20000 + 1], 0.f); // the shorter file is padded with silence

    write_mono(dir.file("r22.wav"), 100, 0.1f, 22050);
    EXPECT_EQ(mix_to_stereo(dir.file("l.wav").c_str(), dir.file("r22.wav").c_str(), dir.file("x.wav").c_str()), 0);
    EXPECT_FALSE(file_exists(dir.file("x.wav")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 4); // the inputs and lr.flac only
}

} // namespace
