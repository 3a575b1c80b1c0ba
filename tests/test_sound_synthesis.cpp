// Block synthesis: noise table and block synthesis, block geometry and tiling, alignment of the
// sound with the picture, lossless round trip, workers (claiming, stopping, repainting, seeds).
#include "dsp/fftf.h"
#include "dsp/noise.h"
#include "history/open.h"
#include "sound/writer.h"
#include "test_doc.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iterator>
#include <tuple>

namespace {

// ---------------------------------------------------------------------------------------------
// [SECTION] Helpers
// ---------------------------------------------------------------------------------------------

// An image stack and engine state with a W x H composite (all zero) at the given settings.
struct SynthDoc : EngineTest {
    void make_image(int W, int H, float fmin = 27.5f, float fmax = 20000.f, float pps = 100.f, float base = 2.f)
    {
        image->w = image->src_w = W;
        image->h = image->src_h = H;
        image->composite = plane_alloc(H, W);
        std::tie(es->synth_range[0], es->synth_range[1], es->synth_range[2], es->synth_range[3]) =
            std::tuple(fmin, fmax, pps, base);
    }
    // An original sound of `len` samples f(0), f(1), ... analysed as a flat W x H picture of 1,
    // which the composite is too.
    template <class F> void flat_original(int W, int H, int len, F f)
    {
        orig_len = len;
        orig_snd = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)orig_len));
        for (int i = 0; i < orig_len; i++)
            orig_snd[i] = f(i);
        image->analysed = plane_filled(W, H, 1.f);
        std::tie(image->orig_w, image->orig_h) = std::pair(W, H);
        fill_plane(image->composite, W, H, 1.f);
    }
    // Polls (bounded) until the workers have ended by themselves, then joins them.
    bool wait_workers()
    {
        for (int k = 0; k < 60000 && es->running.load() > 0; k++)
            wrsleep(1);
        bool ended = es->running.load() == 0;
        end_sound_threads(es.get());
        return ended;
    }
};

// Sum of the squares of a, or of a - b over a's length.
static double energy(const std::vector<float>& a, const float* b = nullptr)
{
    double e = 0;
    for (size_t i = 0; i < a.size(); i++)
        e += std::pow((double)a[i] - (b ? b[i] : 0.f), 2);
    return e;
}

// Centre (in samples) of the gain bump of y relative to r between lo and hi: the centroid of the
// local gain sum(y r) / sum(r r), measured every `step` samples over +-step/2.
static double bump_centre(const std::vector<float>& y, const std::vector<float>& r, long lo, long hi, long step)
{
    double sw = 0, st = 0;
    for (long t = lo; t <= hi; t += step) {
        double yr = 0, rr = 0;
        for (long u = std::max(t - step / 2, 0L); u <= std::min(t + step / 2, (long)y.size() - 1); u++) {
            yr += (double)y[(size_t)u] * r[(size_t)u];
            rr += (double)r[(size_t)u] * r[(size_t)u];
        }
        const double g = rr > 0 ? std::max(0.0, yr / rr) : 0;
        sw += g;
        st += g * (double)t;
    }
    return sw > 0 ? st / sw : -1;
}

// Signal-to-noise ratio (dB) of y against x after fitting one gain, measured on the spectrum bins
// between fmin and fmax (Hz): what is left of x once the best multiple of y is taken away.
static double snr_db_in_band(std::vector<float> x, std::vector<float> y, float fmin, float fmax)
{
    const int n = (int)x.size();
    fftf(x.data(), x.data(), n, FFT_FORWARD);
    fftf(y.data(), y.data(), n, FFT_FORWARD);
    double xx = 0, xy = 0, yy = 0;
    for (int k = (int)std::ceil(fmin * n / 44100.f); k <= std::min((int)(fmax * n / 44100.f), (n - 1) / 2); k++)
        for (const size_t i : {(size_t)k, (size_t)(n - k)}) {
            xx += (double)x[i] * x[i];
            xy += (double)x[i] * y[i];
            yy += (double)y[i] * y[i];
        }
    return 10 * std::log10(xx / (xx - xy * xy / yy));
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Noise table and block synthesis
// ---------------------------------------------------------------------------------------------

TEST(SynthesisNoise, ZeroBlockIsSilentAndATableOfAnotherHeightIsRefused)
{
    struct Case {
        int bw, H;
        float fmin, fmax, pps, base;
    } cases[] = {{400, 60, 27.5f, 20000.f, 100.f, 2.f}, {24, 33, 100.f, 8000.f, 5.5f, 1.f}, {148, 80, 50.f, 16000.f, 37.3f, 1.5f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bw);
        wrsrand(3);
        NoiseTable table{};
        int N = 0;
        ASSERT_EQ(init_noise_array(&table, c.bw, c.H, &N, 44100, c.fmin, c.pps, c.fmax, c.base), 1);
        EXPECT_EQ(N % 2, 0);
        EXPECT_GE(N, 2 * noise_block_span(c.bw, c.pps, 44100));
        std::vector<float> zero((size_t)c.H * c.bw, 0.f);
        float* out = synt_noise(zero.data(), c.bw, c.H, N, 44100, &table, nullptr, 0, c.fmin, c.pps, c.fmax, c.base, 1234.5);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::vector<float>(out, out + N), std::vector<float>(N, 0.f));
        free(out);

        // A table made for another height no longer matches: refused instead of misread.
        float* wrong = synt_noise(zero.data(), c.bw, c.H + 1, N, 44100, &table, nullptr, 0, c.fmin, c.pps, c.fmax,
                                  c.base, 0.0);
        EXPECT_EQ(wrong, nullptr);
        free_noise_array(&table);
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Geometry and tiling
// ---------------------------------------------------------------------------------------------

TEST(SynthesisGeometry, BlocksTileTheSoundExactlyOnceFromZeroToTheEnd)
{
    struct Case {
        int W;
        float pps;
        int bw;
        int recording; // samples of the recording analysed into the document (0: none)
        int64_t len;
    } cases[] = {{800, 100.f, 400, 0, 352800},    {1000, 100.f, 400, 0, 441000}, {517, 37.3f, 148, 0, 611252},
                 {90, 3.7f, 24, 0, 1072703},      // a recording of 142.8 columns keeps its length
                 {142, 100.f, 400, 62975, 62975}, {143, 100.f, 400, 62975, 63063}};
    float recorded = 0.f;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pps);
        orig_snd = c.recording ? &recorded : nullptr;
        orig_len = c.recording;
        const double span = noise_block_span(c.bw, c.pps, 44100);
        const int N = noise_block_len(span);
        const int B = synth_block_count(c.W, c.bw);
        const int64_t len = synth_sound_len(c.W, c.pps, 44100, 0);
        orig_snd = nullptr;
        orig_len = 0;
        EXPECT_EQ(len, c.len);
        float* chunks[SOUND_CHUNK_MAX] = {};
        ASSERT_EQ(resize_sound(chunks, len), 1);
        std::vector<float> block((size_t)N);
        // Forward then backward: a sample written by two blocks would differ between the orders.
        std::vector<float> forward((size_t)len), backward((size_t)len);
        for (int pass = 0; pass < 2; pass++) {
            clear_sound(chunks);
            for (int k = 0; k < B; k++) {
                const int b = pass == 0 ? k : B - 1 - k;
                std::fill(block.begin(), block.end(), (float)(b + 1));
                blit_sound(chunks, block.data(), len, N, span, B, b);
            }
            auto& dst = pass == 0 ? forward : backward;
            for (int64_t i = 0; i < len; i++)
                dst[(size_t)i] = chunks[i / SOUND_CHUNK_LEN][i % SOUND_CHUNK_LEN];
        }
        EXPECT_EQ(forward, backward);
        EXPECT_EQ(forward.front(), 1.f); // block 0 from sample 0
        EXPECT_EQ(std::find(forward.begin(), forward.end(), 0.f), forward.end()) << "a sample never written";
        // Each block's share is centred on its middle half.
        for (int b = 1; b < B; b++)
            EXPECT_NEAR((double)block_write_start(b, span), (b + 0.5) * span, 0.5 + 1e-9);
        resize_sound(chunks, 0);
        free_null(&chunks[0]);
    }
}

TEST(SynthesisGeometry, LosslessRatiosStayFinite)
{
    float c0[4] = {0.f, 1.f, 2.f, 0.f}, a0[4] = {0.f, 0.f, 1.f, 1e-38f};
    float* comp[1] = {c0};
    float* anal[1] = {a0};
    float out[6];
    mask_block(comp, anal, out, 1, 4, 6, 0);
    // Silent and unedited: the original passes; past the image end: 0.
    EXPECT_EQ(std::vector<float>(out, out + 6), std::vector<float>({1.f, LOSSLESS_RATIO_MAX, 2.f, 0.f, 0.f, 0.f}));
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Whole-sound synthesis: alignment, seams, refusal
// ---------------------------------------------------------------------------------------------

using SynthesisDoc = SynthDoc;

// A sound longer than the chunk table holds is refused by the storage, the geometry and the
// synthesis, which says so and keeps no sound; the table grows and shrinks chunk by chunk.
TEST_F(SynthesisDoc, TooLongASoundIsRefused)
{
    float* chunks[SOUND_CHUNK_MAX] = {};
    EXPECT_TRUE(resize_sound(chunks, (int64_t)SOUND_CHUNK_MAX * SOUND_CHUNK_LEN) == 0 && chunks[0] == nullptr);
    EXPECT_EQ(synth_sound_len(100, 0.001f, 44100, 0), -1);
    ASSERT_EQ(resize_sound(chunks, (int64_t)SOUND_CHUNK_LEN * 2), 1);
    EXPECT_TRUE(chunks[2] != nullptr && chunks[3] == nullptr);
    ASSERT_EQ(resize_sound(chunks, 10), 1);
    EXPECT_EQ(chunks[1], nullptr);
    free_null(&chunks[0]);

    make_image(100, 4, 100.f, 10000.f, 0.001f, 2.f);
    testing::internal::CaptureStderr();
    EXPECT_EQ(synthesise_all(es.get(), 0, 1), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Sound too long"), std::string::npos);
    EXPECT_EQ(es->sound[0], nullptr);
}

// One column of a flat picture doubled is heard around sample c * rate / pps and nowhere else, in
// noise synthesis for several time resolutions and in lossless synthesis of an offset, a rumble
// and noise. In noise synthesis every block of the flat picture reads the same endless noise: the
// sound repeats every half block across block boundaries. Unedited, lossless synthesis gives the
// original back; erased, the picture is silent, also what lies below and above its range (the
// edge rows carry it).
TEST_F(SynthesisDoc, ColumnEditIsHeardAtItsColumnAndErasingSilences)
{
    struct Case {
        int lossless;
        float pps;
        int W;
        float base;
        bool whole; // also unedited and erased
    } cases[] = {{0, 100.f, 2000, 2.f, 0}, {0, 37.3f, 746, 1.f, 0}, {0, 9.7f, 194, 2.f, 0}, {1, 37.3f, 746, 2.f, 0}, {1, 100.f, 300, 2.f, 1}};
    for (const auto [lossless, pps, W, base, whole] : cases) {
        SCOPED_TRACE(testing::Message() << "lossless " << lossless << " pps " << pps);
        synthesis_release(es.get());
        plane_free(&image->composite, image->h);
        plane_free(&image->analysed, image->orig_h);
        free_null(&orig_snd);
        const int H = 40;
        make_image(W, H, 200.f, 8000.f, pps, base);
        wrsrand(4);
        flat_original(W, H, (int)std::ceil(W * 44100.0 / pps), [](int i) {
            return 0.2f + 0.3f * sinf(2.f * (float)M_PI * 30.f * (float)i / 44100.f) + 0.2f * dblrand();
        });
        // The same noise table every time: only the picture changes.
        auto synthesise = [&] {
            wrsrand(11);
            return synthesise_all(es.get(), lossless, 2);
        };
        ASSERT_EQ(synthesise(), 1);
        const std::vector<float> y = sound();
        if (!lossless) {
            const size_t P = (size_t)es->block_len / 2;
            const std::vector<float> head(y.begin() + (long)(P / 2), y.end() - (long)(P + P / 2));
            EXPECT_LT(energy(head, y.data() + P + P / 2) / energy(head), 1e-4) << "not seamless";
            EXPECT_GT(es->norm, 0.f);
        }
        for (const int c : {W / 2 + 3, W - W / 6}) {
            fill_plane(image->composite, W, H, 1.f);
            for (int r = 0; r < H; r++)
                image->composite[r][c] = 2.f;
            ASSERT_EQ(synthesise(), 1);
            const std::vector<float> z = sound();
            std::vector<float> extra(z.size());
            std::transform(z.begin(), z.end(), y.begin(), extra.begin(), std::minus<float>());
            const double expect = c * 44100.0 / pps;
            const long col = (long)(44100 / pps);
            EXPECT_NEAR(bump_centre(extra, y, (long)(expect - 3 * col), (long)(expect + 3 * col), 16), expect, 4.0)
                << "column " << c;
        }
        if (!whole)
            continue;
        const double xx = energy(std::vector<float>(orig_snd, orig_snd + orig_len));
        ASSERT_EQ(y.size(), (size_t)orig_len);
        EXPECT_GT(10 * std::log10(xx / energy(y, orig_snd)), 90.0);
        fill_plane(image->composite, W, H, 0.f);
        ASSERT_EQ(synthesise(), 1);
        const double yy = energy(sound());
        printf("erased picture: %.1f dB below the original\n", 10 * std::log10(xx / std::max(yy, 1e-30)));
        EXPECT_GT(10 * std::log10(xx / std::max(yy, 1e-30)), 90.0);
    }
}

// Speech at 48 kHz and music at 22.05 kHz, brought to the program's rate on opening, come back
// from lossless synthesis at their level and 90 dB above the error in the picture's range: the
// bands add up to the original exactly, and the content outside the range follows the edge rows
// rather than being cut block by block. The block bookkeeping belongs to synthesis: the longer
// sound is opened twice with no synthesis between (opening a longer sound used to raise the
// block count over the bookkeeping synthesis had made, which the next open cleared past its end).
TEST_F(SynthesisDoc, LosslessRecordingsComeBackWhenOpenedOneAfterAnother)
{
    const char* const shorter = "/usr/share/sounds/alsa/Front_Center.wav";
    const char* const longer = "/usr/share/games/chromium-bsu/wav/music_game.wav";
    int round = 0;
    for (const char* path : {shorter, longer, longer}) {
        SCOPED_TRACE(path);
        char name[PATH_TEXT_LEN];
        snprintf(name, sizeof name, "%s", path);
        int opened = 0;
        open_file(name, es.get(), &opened);
        ASSERT_EQ(opened, 1);
        if (round++ == 1)
            continue;
        memcpy(es->synth_range, es->anal_params, 3 * sizeof(float));
        es->synth_range[3] = es->anal_params[6];
        ASSERT_EQ(synthesise_all(es.get(), 1, 2), 1);
        EXPECT_EQ(synthesis_blocks_done(es.get()), es->block_count);
        const std::vector<float> y = sound();
        ASSERT_EQ((int)y.size(), orig_len);
        ASSERT_TRUE(std::all_of(y.begin(), y.end(), [](float v) { return std::isfinite(v); }));
        const std::vector<float> x(orig_snd, orig_snd + orig_len);
        const double yy = energy(y);
        EXPECT_NEAR(std::sqrt(yy / energy(x)), 1.0, 0.03); // less what lies outside the range
        const double snr = snr_db_in_band(x, y, es->synth_range[0], es->synth_range[1]);
        printf("lossless round trip SNR (%g Hz - %g Hz): %.1f dB\n", es->synth_range[0], es->synth_range[1], snr);
        EXPECT_GE(snr, 90.0);
        if (path == longer)
            continue;
        // Unedited rows skip the band's transforms; a change far below audibility goes through
        // them and must give the same sound.
        for (int r = 0; r < image->h; r++)
            std::transform(image->analysed[r], image->analysed[r] + image->w, image->composite[r],
                           [](float v) { return v * 1.000001f; });
        ASSERT_EQ(synthesise_all(es.get(), 1, 2), 1);
        EXPECT_GT(10 * std::log10(yy / energy(sound(), y.data())), 80.0) << "edited and unedited paths differ";
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Workers
// ---------------------------------------------------------------------------------------------

using ThreadsSynthesis = SynthDoc;

TEST_F(ThreadsSynthesis, FixedSeedGivesTheSameSoundWhateverTheThreadCount)
{
    make_image(700, 50, 50.f, 15000.f, 100.f, 2.f);
    for (int r = 0; r < 50; r++)
        for (int x = 0; x < 700; x++)
            image->composite[r][x] = (float)((r * 7 + x * 3) % 11) / 10.f;
    wrsrand(42);
    ASSERT_EQ(synthesise_all(es.get(), 0, 1), 1);
    const std::vector<float> one = sound();
    const float norm_one = es->norm;
    wrsrand(42);
    ASSERT_EQ(synthesise_all(es.get(), 0, 3), 1);
    EXPECT_TRUE(sound() == one && es->norm == norm_one);
    wrsrand(43);
    ASSERT_EQ(synthesise_all(es.get(), 0, 2), 1);
    EXPECT_NE(sound(), one);
}

TEST_F(ThreadsSynthesis, RepaintRedoesOnlyTouchedBlocks)
{
    make_image(2000, 20, 100.f, 10000.f, 100.f, 2.f);
    fill_plane(image->composite, 2000, 20, 0.5f);
    wrsrand(1);
    ASSERT_EQ(synthesise_all(es.get(), 0, 2), 1);
    ASSERT_EQ(es->block_count, 10);
    // Mark the whole sound, then repaint columns 1000..1010 (blocks 4 and 5 cover them).
    const int64_t len = es->sound_len.load();
    for (int64_t i = 0; i < len; i++)
        es->sound[i / SOUND_CHUNK_LEN][i % SOUND_CHUNK_LEN] = 123.f;
    for (int r = 0; r < 20; r++)
        for (int x = 1000; x <= 1010; x++)
            image->composite[r][x] = 0.6f;
    synthesis_touch_columns(es.get(), 1000, 1010);
    EXPECT_EQ(synthesis_blocks_done(es.get()), 6);
    ASSERT_EQ(synthesis_change(es.get(), 2, 2), 1);
    ASSERT_TRUE(wait_workers());
    EXPECT_EQ(synthesis_blocks_done(es.get()), 10);
    const double span = es->block_span;
    for (int b = 0; b < 10; b++) {
        const int64_t from = block_write_start(b, span), to = b == 9 ? len : block_write_start(b + 1, span);
        const bool redone = b >= 3 && b <= 6;
        int marked = 0;
        for (int64_t i = from; i < to; i++)
            marked += sound_sample(es.get(), i) == 123.f;
        EXPECT_EQ(marked, redone ? 0 : (int)(to - from)) << "block " << b;
    }
}

// Stopped while suspended, the workers leave the sound alone; stopped while one holds a claimed
// block, that block stays to do and a restart does every block.
TEST_F(ThreadsSynthesis, StopLeavesUnfinishedBlocksToDo)
{
    make_image(800, 30, 100.f, 10000.f, 100.f, 2.f);
    fill_plane(image->composite, 800, 30, 1.f);
    key[state_of(K_SUSPEND)].store(1);
    ASSERT_EQ(synthesis_change(es.get(), 3, 2), 1);
    end_sound_threads(es.get());
    EXPECT_TRUE(es->running.load() == 0 && synthesis_blocks_done(es.get()) == 0);
    EXPECT_EQ(sound(), std::vector<float>(es->sound_len.load(), 0.f));

    // Holding layers_lock keeps a worker inside its claimed block until the stop flag is up
    // (the workers start suspended, so the restart itself can still read the picture).
    ASSERT_EQ(synthesis_change(es.get(), 3, 1), 1);
    mutex_to_1(image->layers_lock);
    key[state_of(K_SUSPEND)].store(0);
    bool claimed = false;
    for (int k = 0; k < 20000 && !claimed; k++) {
        {
            LockGuard guard(es->lock);
            for (int b = 0; b < es->block_count; b++)
                claimed = claimed || es->block_state[b] == 1;
        }
        if (!claimed)
            wrsleep(1);
    }
    es->stop.store(1);
    mutex_to_0(image->layers_lock);
    end_sound_threads(es.get());
    ASSERT_TRUE(claimed);
    EXPECT_EQ(synthesis_blocks_done(es.get()), 0);
    EXPECT_EQ(std::vector<uint8_t>(es->block_state, es->block_state + es->block_count), std::vector<uint8_t>(es->block_count, 0));
    EXPECT_EQ(sound(), std::vector<float>(es->sound_len.load(), 0.f));
    // Started again, every block gets done.
    ASSERT_EQ(synthesis_change(es.get(), 2, 1), 1);
    ASSERT_TRUE(wait_workers());
    EXPECT_EQ(synthesis_blocks_done(es.get()), es->block_count);
}

} // namespace

// Sound files out: formats, bit depths, chunk boundaries, clipping, normalisation and failures.
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
