// Spectral analysis, envelope, Blackman downsampling, normalisation and transform resampling.
#include "core/state.h"
#include "dsp/analysis.h"
#include "dsp/fftf.h"
#include "dsp/scale.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

static const int RATE = 44100;

// An analysis at 27.5..fmax Hz, 24 bands per octave (filters at most 2 bands wide), 100 px/s,
// logarithmic: 181 rows up to 5000 Hz.
struct SmallAnalysis {
    float fmax;
    int H, w = 0;
    std::vector<float*> rows = std::vector<float*>((size_t)H, nullptr);
    explicit SmallAnalysis(float top = 5000.f) : fmax(top), H(image_height(27.5f, top, 24.f)) {}
    ~SmallAnalysis()
    {
        for (float* r : rows)
            free(r);
    }
    int run(const std::vector<float>& snd, int threads, AnalysisProgress* progress = nullptr)
    {
        return anal(rows.data(), snd.data(), (int)snd.size(), RATE, &w, H, fmax / RATE, 100.f / RATE,
                    27.5f / RATE, 24.f, 12.f, 100.f, 2.f, threads, progress);
    }
};

TEST(DspAnalysis, SineAtBandCentreGivesTheBrightestFlatRow)
{
    SmallAnalysis a;
    const int band = 120, row = a.H - 1 - band;
    ASSERT_EQ(a.run(sine_wave(log_pos_b(band / (a.H - 1.f), 27.5f, 5000.f, 2.f), 3 * RATE), 1), 1);
    ASSERT_EQ(a.w, 300);
    normi(a.rows.data(), a.w, a.H, 1.f);
    for (int c = 30; c < 270; c++)
        ASSERT_NEAR(a.rows[row][c], 1.f, 0.01f) << "column " << c;
    for (int r = 0; r < a.H; r++)
        EXPECT_TRUE(r == row || a.rows[r][150] < 0.9f) << "row " << r;
}

TEST(DspAnalysis, OneRowIsTheEnvelopeAndSettingsWithoutImageAreRefused)
{
    // 1 kHz under a slow swell: the one row follows the swell, not the carrier.
    std::vector<float> snd = sine_wave(1000.f, 2 * RATE, RATE, 1.f);
    for (int j = 0; j < (int)snd.size(); j++)
        snd[j] *= 1.f + 0.5f * (float)sin(2 * M_PI * j / RATE);
    float* row = nullptr;
    int w = 0;
    auto run = [&](int n, float fmin, float ppsr, float bpo) {
        return anal(&row, snd.data(), n, RATE, &w, 1, 0.4f, ppsr, fmin, bpo, 24.f, 100.f, 2.f);
    };
    // No frequency range, width 0, a logarithmic axis from 0 Hz.
    for (auto [n, fmin] : {std::pair{RATE, 0.4f}, {400, 0.01f}, {RATE, 0.f}})
        EXPECT_EQ(run(n, fmin, 0.002f, 60.f), 0) << n << " " << fmin;
    EXPECT_EQ(row, nullptr);
    ASSERT_EQ(run((int)snd.size(), 0.01f, 100.f / RATE, 60.f), 1);
    ASSERT_EQ(w, 200);
    for (int c = 10; c < 190; c++)
        ASSERT_NEAR(row[c], 1.f + 0.5f * sin(2 * M_PI * c / 100.0), 0.02f) << c;
    free(row);
}

TEST(DspAnalysis, WholeTransformSizeRule)
{
    const float ppsr = 100.f / RATE;
    // 60 s at the defaults: 3.75e6 samples is 5-smooth but 8503 columns are not; 8640 columns are.
    EXPECT_EQ(anal_transform_size(60 * RATE, 698263, ppsr), 3810240);
    // A first size that meets the rule is kept (259200 samples, 588 = 2^2 3 7^2 columns).
    EXPECT_EQ(anal_transform_size(246960, 0, ppsr), 259200);
    // Column rates that are not the reciprocal of a whole number of samples still end.
    for (float pps : {37.f, 99.f, 33.3f}) {
        int N = anal_transform_size(200000, 100000, pps / RATE);
        EXPECT_TRUE(N >= 300000 && find_largest_prime_factor(N) <= 17 &&
                    find_largest_prime_factor((int)nearbyintf(N * (pps / RATE))) <= 7) << pps << ": " << N;
    }
}

TEST(DspAnalysis, EnvelopeAndDownsampling)
{
    // The envelope of whole-period sines, one at the Nyquist frequency, is their amplitude.
    for (int period : {10, 2}) {
        std::vector<float> x(4410);
        for (int j = 0; j < 4410; j++)
            x[j] = 0.7f * (float)cos(2 * M_PI * j / period);
        int n = 4410;
        EXPECT_EQ(envelope(x.data(), &n, 1.f), x.data());
        float* small = envelope(x.data(), &n, 0.01f);
        ASSERT_EQ(n, 44);
        for (int i = 0; i < n; i++)
            ASSERT_NEAR(small[i], 0.7f, 1e-4f) << period;
        free(small);
    }
    // The downsampler is a weighted mean centred on each output: a ramp stays a ramp inside.
    std::vector<float> ramp(10000);
    std::iota(ramp.begin(), ramp.end(), 0.f);
    for (int out_len : {3000, 64, 7}) {
        float* d = blackman_downsampling(ramp.data(), 10000, out_len);
        const float r = 10000.f / out_len;
        for (int i = 1; i < out_len - 1; i++)
            ASSERT_NEAR(d[i], i * r, 0.01f * r) << out_len << " " << i;
        free(d);
    }
}

static size_t largest_request;
static void* recording_malloc(size_t size)
{
    largest_request = std::max(largest_request, size);
    return malloc(size);
}

TEST(DspAnalysis, ResampleKeepsFrequencyScalesLevelForBothParitiesAndMemoryFollowsTheSound)
{
    // {rate in, rate out, samples in, samples out}: odd (11025) and even (8000) lengths up, odd
    // (11025) and even (22050) lengths down, one and a half seconds at 48000 Hz, and rates
    // without a large common divisor (the sound is then not padded).
    for (auto [rate_in, rate_out, n_in, n_out] : std::vector<std::array<int, 4>>{
             {11025, 44100, 11025, 44100}, {8000, 44100, 8000, 44100}, {44100, 11025, 44100, 11025},
             {44100, 22050, 44100, 22050}, {48000, 44100, 72000, 66150}, {44099, 44100, 30000, 30001}}) {
        float* buf = static_cast<float*>(wrmalloc(sizeof(float) * n_in));
        memcpy(buf, sine_wave(1000.f, n_in, rate_in).data(), sizeof(float) * n_in);
        int n = n_in;
        float* out = resample_fft(buf, &n, rate_in, rate_out);
        ASSERT_EQ(n, n_out) << rate_in << " -> " << rate_out;
        // Each output sample against the sine at the level the transform lengths give. Without
        // padding the time scale is n_out / n_in, within half a sample of the rates' ratio.
        const double scale = (double)n_out / n_in * rate_in;
        for (int j = n / 4; j < 3 * n / 4; j++)
            ASSERT_NEAR(out[j], 0.5f * sqrtf((float)rate_in / rate_out) * sin(2 * M_PI * 1000.0 * j / scale), 2e-3f)
                << rate_in << " -> " << rate_out << " at " << j;
        free(out);
    }
    // The input's Nyquist value (even length) becomes a real bin of half of it: the alternating
    // signal comes back at the same sample instants with the common level factor.
    float* buf = static_cast<float*>(wrmalloc(sizeof(float) * 22050));
    for (int j = 0; j < 22050; j++)
        buf[j] = j % 2 ? -0.5f : 0.5f;
    int n = 22050;
    float* out = resample_fft(buf, &n, 22050, 44100);
    for (int j = 0; j < n; j++)
        ASSERT_NEAR(out[j], 0.5f * sqrtf(0.5f) * cosf((float)M_PI * 0.5f * (j % 4)), 1e-4f) << j;
    free(out);

    // Memory follows the sound, not the rates: 300 samples between rates whose greatest common
    // divisor is 1 would take 44100 + 44099 floats in whole seconds; the padded sound takes a
    // few hundred.
    buf = static_cast<float*>(wrcalloc(300, sizeof(float)));
    n = 300;
    auto saved = wr_system_malloc;
    wr_system_malloc = recording_malloc;
    largest_request = 0;
    out = resample_fft(buf, &n, 44099, 44100);
    wr_system_malloc = saved;
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(n, 300);
    EXPECT_LT(largest_request, 4096u);
    free(out);
}

TEST(DspAnalysis, FiltersWiderThanTheAxisStayFinite)
{
    // Constant time resolution at the fastest transition and one band per octave from 100 Hz:
    // the filters reach far beyond the spectrum on both sides (the edge bins overflowed an int,
    // and edges at 0 Hz or beyond any frequency made every value NaN).
    key[state_of(K_CONST_TIME_RES)] = 1;
    const int H = 8;
    std::vector<float*> rows((size_t)H, nullptr);
    int w = 0;
    const std::vector<float> snd = sine_wave(440.f, RATE / 2);
    const int made = anal(rows.data(), snd.data(), (int)snd.size(), RATE, &w, H, 0.45f, 100.f / RATE, 100.f / RATE, 1.f,
                          0.1f, 2400.f, 2.f, 1);
    key[state_of(K_CONST_TIME_RES)] = 0;
    ASSERT_EQ(made, 1);
    EXPECT_EQ(plane_nonfinite(rows.data(), w, H, false), 0);
    for (float* r : rows)
        free(r);
}

// Noise, three tones and two clicks: something in every band.
static std::vector<float> busy_sound()
{
    std::vector<float> snd(2 * RATE + 123);
    wrsrand(3);
    for (int j = 0; j < (int)snd.size(); j++)
        snd[j] = 0.3f * (float)sin(2 * M_PI * 440.0 * j / RATE) + 0.1f * dblrand() +
                 0.2f * (float)(sin(2 * M_PI * 3100.0 * j / RATE) + sin(2 * M_PI * 9000.0 * j / RATE));
    snd[RATE] += 1.f;
    snd[RATE + RATE / 2] += 8.f;
    return snd;
}

// Threads change nothing, and the picture stays what it was when the analysis was checked
// against an independent implementation, within 1e-3 of the peak: the busy sound on
// 27.5..16000 Hz, where the top bands are wider than the image, so both the column-rate and the
// downsampled band transforms are seen. Pixels at the tones (row 20: 9 kHz, 57: 3100 Hz,
// 122-124: 440 Hz), the clicks (columns 100, 150), the picture's ends and in between. A change
// of band transform sizes, windows or scaling moves them further.
TEST(ThreadsAnalysis, ParallelEqualsSerialRowsAppearCompleteAndThePictureIsUnchanged)
{
    // The three-thread run comes first: its threads make the transform plans of the band sizes
    // while the others transform.
    std::vector<float> snd = busy_sound();
    SmallAnalysis three(16000.f), one(16000.f), two(16000.f);
    ASSERT_EQ(three.run(snd, 3), 1);
    ASSERT_EQ(one.run(snd, 1), 1);
    // While two threads fill the rows, every row the calling thread sees is already final.
    struct Watch {
        SmallAnalysis *live, *ref;
        int early = 0;
    } watch{&two, &one};
    AnalysisProgress progress;
    progress.ctx = &watch;
    progress.tick = [](AnalysisProgress*, void* ctx) {
        Watch* wt = static_cast<Watch*>(ctx);
        for (int r = 0; r < wt->ref->H; r++) {
            float* row = filled_row(wt->live->rows.data(), r);
            wt->early += row && memcmp(row, wt->ref->rows[r], sizeof(float) * wt->ref->w) != 0;
        }
    };
    ASSERT_EQ(two.run(snd, 2, &progress), 1);
    EXPECT_EQ(watch.early, 0);
    for (int r = 0; r < one.H; r++) {
        ASSERT_EQ(memcmp(three.rows[r], one.rows[r], sizeof(float) * one.w), 0) << "3 threads, row " << r;
        ASSERT_EQ(memcmp(two.rows[r], one.rows[r], sizeof(float) * one.w), 0) << "2 threads, row " << r;
    }

    const int rows[] = {0, 20, 57, 122, 123, 124};
    const int cols[] = {0, 2, 64, 100, 150, 184, 199};
    const float want[6][7] = {{0.03501f, 0.05829f, 0.02596f, 0.06070f, 0.20650f, 0.03972f, 0.04353f},
                              {0.77271f, 0.92699f, 0.93442f, 0.90171f, 0.96963f, 0.91924f, 0.89343f},
                              {0.57934f, 0.76145f, 0.78899f, 0.79660f, 0.78450f, 0.79370f, 0.75846f},
                              {0.16530f, 0.07386f, 0.01020f, 0.00493f, 0.02317f, 0.02232f, 0.12083f},
                              {0.37170f, 0.41798f, 0.35699f, 0.34881f, 0.34481f, 0.34110f, 0.44576f},
                              {0.49987f, 0.89468f, 0.99231f, 0.97985f, 0.98268f, 0.98022f, 0.81459f}};
    ASSERT_EQ(one.H, 221);
    ASSERT_EQ(one.w, 200);
    normi(one.rows.data(), one.w, one.H, 1.f);
    for (int i = 0; i < 6; i++)
        for (int j = 0; j < 7; j++)
            EXPECT_NEAR(one.rows[rows[i]][cols[j]], want[i][j], 1e-3f) << "row " << rows[i] << " column " << cols[j];
}

TEST(DspAnalysis, RowsFillBottomUpAndAStopKeepsThem)
{
    // One thread: at every tick exactly the lowest rows_done rows exist.
    SmallAnalysis b;
    AnalysisProgress progress;
    progress.ctx = &b;
    progress.tick = [](AnalysisProgress* p, void* ctx) {
        SmallAnalysis* an = static_cast<SmallAnalysis*>(ctx);
        const int done = p->rows_done.load();
        for (int r = 0; r < an->H; r++)
            ASSERT_EQ(filled_row(an->rows.data(), r) != nullptr, r >= an->H - done) << r;
        if (done == 40)
            p->stop.store(1);
    };
    EXPECT_EQ(b.run(busy_sound(), 1, &progress), 0);
    EXPECT_EQ(progress.rows_done.load(), 40);
    for (int r = 0; r < b.H; r++)
        EXPECT_EQ(b.rows[r] != nullptr, r >= b.H - 40) << r;
}

// Frequency axis, notes, image and block geometry, transform sizes and the interpolation kernel.
TEST(DspScale, AxisEndsInversesAndShapeForEachBase)
{
    for (float base : {1.f, 1.5f, 2.f}) {
        LOGBASE = base;
        EXPECT_TRUE(std::fabs(log_pos(0.f, 27.5f, 20000.f) - 27.5f) <= 1e-3f && std::fabs(log_pos(1.f, 27.5f, 20000.f) - 20000.f) <= 0.5f)
            << base;
        float prev = -INFINITY;
        for (float x = -0.1f; x <= 1.1f; x += 0.05f) {
            float f = log_pos(x, 0.000623f, 0.4535f); // fractions of the sample rate work alike
            EXPECT_GT(f, prev) << base;
            prev = f;
            EXPECT_NEAR(log_pos_inv(f, 0.000623f, 0.4535f), x, 2e-4f) << "base " << base << " x " << x;
            EXPECT_EQ(log_pos_b(x, 0.000623f, 0.4535f, base), f);
        }
    }
    LOGBASE = 2.f;
    EXPECT_NEAR(log_pos(0.5f, 100.f, 400.f), 200.f, 1e-3f);
    EXPECT_NEAR(log_bf(1024.f), 10.f, 1e-5f);
    float mid = log_pos_b(0.5f, 100.f, 400.f, 1.5f); // between the geometric and the linear middle
    EXPECT_TRUE(mid > 200.f && mid < 250.f) << mid;
    EXPECT_NEAR(log_pos_inv_b(175.f, 100.f, 400.f, 0.5f), 0.25f, 1e-6f); // below 1: linear
}

TEST(DspScale, NotesHeightsBlockLengthsAndFastSizes)
{
    EXPECT_FLOAT_EQ(note_to_freq(57.f), 440.f);
    EXPECT_FLOAT_EQ(freq_to_note(880.f), 69.f);
    EXPECT_TRUE(!strcmp(NOTE_NAMES[note_in_octave(-1)], "B") && note_octave(-1) == -1);
    EXPECT_TRUE(image_height(27.5f, 20000.f, 60.f) == 571 && image_height(110.f, 220.f, 12.f) == 13);
    SOUND_SAMPLERATE = 44100;
    // 2 * 3528 = 7056 and 44100 (which has the factor 7^2) raised to 5-smooth lengths.
    for (auto [bw, want] : {std::pair{16, 7200}, {100, 45000}}) {
        int len = 0;
        init_block_len(bw, &len, 100.f);
        EXPECT_EQ(len, want) << bw;
    }

    for (int i = 0; i < FFT_SIZE_COUNT; i++) {
        EXPECT_LE(find_largest_prime_factor(fft_size[i]), 5) << fft_size[i];
        EXPECT_EQ(next_fast_fft_size(fft_size[i] - 1), fft_size[i]);
    }
    // 6718464 = 2^10 3^8 lies beyond the table.
    for (auto [n, want] : {std::pair{61, 64}, {81, 100}, {-5, 60}, {6635521, 6718464}})
        EXPECT_EQ(next_fast_fft_size(n), want) << n;
    for (auto [n, want] : {std::pair{1, 1}, {7, 8}, {2188, 2250}})
        EXPECT_EQ(nextlprime(n), want) << n;
    for (auto [n, want] : {std::pair{1, 2}, {7056, 7}, {6 * 1000003, 1000003}, {17 * 17 * 4, 17}})
        EXPECT_EQ(find_largest_prime_factor(n), want) << n;
}

TEST(DspScale, KernelValuesSumsAndInterpolation)
{
    bmsq_lut();
    const float s = BMSQ_LUT_SIZE / 3.f;
    auto kernel = [s](float d) { // at offset d, interpolated as the resampler does
        float u = (d + 1.5f) * s;
        int idx = (int)u;
        return lut[idx] + (lut[idx + 1] - lut[idx]) * fmodf(u, 1.f);
    };
    for (auto [d, want] : {std::pair{0.f, 1.3184f}, {-0.5f, 0.75f}, {1.f, 0.0908f}, {-1.5f, 0.f}})
        EXPECT_NEAR(kernel(d), want, want > 0 ? 1e-4f : 1e-6f) << d;
    for (float phase = 0.f; phase < 1.f; phase += 0.0625f) // phase + 1.5 is outside the support
        EXPECT_NEAR(kernel(phase - 1.5f) + kernel(phase - 0.5f) + kernel(phase + 0.5f), 1.5f, 2e-4f) << phase;

    std::vector<float> in(40, 1.f), out(157, 7.f);
    blackman_square_interpolation(in.data(), out.data(), 40, 0);
    EXPECT_EQ(out, std::vector<float>(157, 7.f));
    blackman_square_interpolation(in.data(), out.data(), 40, 157); // adds, never replaces
    for (int i = 8; i < 150; i++)
        ASSERT_NEAR(out[i], 8.5f, 6e-4f) << i;
    // Output i sits at input position i * in_len / out_len: at whole and half positions the
    // symmetric kernel gives a ramp back as a ramp.
    std::iota(in.begin(), in.end(), 0.f);
    std::fill(out.begin(), out.end(), 0.f);
    blackman_square_interpolation(in.data(), out.data(), 40, 80);
    for (int i = 4; i < 76; i++)
        ASSERT_NEAR(out[i], 0.75f * i, 2e-3f) << i;
}

// The real transform: halfcomplex layout, 1/sqrt(n) scaling, any length; large transforms, which
// FFTW splits over its own threads, from several threads at once.
static std::vector<float> noise(int n, uint32_t seed)
{
    wrsrand(seed);
    std::vector<float> v((size_t)n);
    for (float& x : v)
        x = dblrand();
    return v;
}

TEST(DspFft, RealAndComplexMatchTheDefinitionAndRoundTripAnyLength)
{
    for (int n = 1; n <= 33; n++) {
        std::vector<float> x = noise(n, n), out((size_t)n);
        ASSERT_EQ(fftf(x.data(), out.data(), n, FFT_FORWARD), 1);
        for (int k = 0; k <= n / 2; k++) {
            double re = 0, im = 0;
            for (int j = 0; j < n; j++) {
                re += x[j] * cos(2 * M_PI * j * k / n) / sqrt(n);
                im -= x[j] * sin(2 * M_PI * j * k / n) / sqrt(n);
            }
            ASSERT_NEAR(out[k], re, 1e-5) << "n=" << n << " bin " << k;
            if (k > 0 && 2 * k != n) {
                ASSERT_NEAR(out[n - k], im, 1e-5) << "n=" << n << " bin " << k;
            }
        }
    }
    for (int n : {97, 1009, 65537, 1000003, 3810240}) { // odd, prime and large
        std::vector<float> x = noise(n, 99), y((size_t)n);
        fftf(x.data(), y.data(), n, FFT_FORWARD);
        fftf(y.data(), y.data(), n, FFT_INVERSE);
        EXPECT_TRUE(std::equal(x.begin(), x.end(), y.begin(), [](float a, float b) { return std::fabs(a - b) <= 2e-5f; })) << n;
    }
    EXPECT_EQ(fftf(nullptr, nullptr, 0, FFT_FORWARD), 0);

    // The complex inverse transform against its definition, for even, odd and prime lengths.
    for (int n : {1, 2, 9, 12, 97, 1000}) {
        std::vector<float> z = noise(2 * n, n), out = z;
        ASSERT_EQ(fftc_inverse(out.data(), n), 1);
        for (int j = 0; j < n; j++) {
            double re = 0, im = 0;
            for (int k = 0; k < n; k++) {
                const double a = 2 * M_PI * (double)j * k / n;
                re += z[2 * k] * cos(a) - z[2 * k + 1] * sin(a);
                im += z[2 * k] * sin(a) + z[2 * k + 1] * cos(a);
            }
            ASSERT_NEAR(out[2 * j], re, 1e-4 * sqrt(n)) << "n=" << n << " at " << j;
            ASSERT_NEAR(out[2 * j + 1], im, 1e-4 * sqrt(n)) << "n=" << n << " at " << j;
        }
    }
    EXPECT_EQ(fftc_inverse(nullptr, 4), 0);
}

// A cosine on bin k0 of a transform large enough to be split: every caller gets the same
// spectrum, sqrt(n)/2 on bin k0 and nothing elsewhere, and the inverse gives the cosine back.
TEST(ThreadsFft, LargeTransformsFromSeveralThreadsAtOnce)
{
    const int n = 1 << 21, k0 = 12345;
    std::vector<float> x((size_t)n);
    for (int j = 0; j < n; j++)
        x[j] = (float)cos(2 * M_PI * (double)k0 * j / n);
    std::vector<std::vector<float>> out(3, std::vector<float>((size_t)n));
    std::vector<std::thread> callers;
    for (auto& o : out)
        callers.emplace_back([&x, &o, n] { fftf(x.data(), o.data(), n, FFT_FORWARD); });
    for (std::thread& t : callers)
        t.join();
    EXPECT_TRUE(out[0] == out[1] && out[0] == out[2]);
    EXPECT_NEAR(out[0][k0], sqrt(n) / 2, 1e-2);
    std::vector<float> stray = out[0];
    stray[k0] = 0.f;
    EXPECT_LT(std::fabs(*std::max_element(stray.begin(), stray.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); })),
              1e-2f);
    fftf(out[0].data(), out[0].data(), n, FFT_INVERSE);
    for (int j = 0; j < n; j += 997)
        ASSERT_NEAR(out[0][j], x[j], 1e-4f) << j;
}
