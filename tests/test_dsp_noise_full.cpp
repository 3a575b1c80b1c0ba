// Band geometry of noise synthesis and the full-band noise table of live synthesis.
#include "core/state.h"
#include "dsp/bands.h"
#include "dsp/fftf.h"
#include "dsp/noise_full.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

static const float FMIN = 27.5f / 44100, FMAX = 20000.f / 44100; // default range, fractions of the rate

TEST(DspBands, NeighbourWindowsAddUpToOne)
{
    const int T = 90000;
    for (float base : {1.f, 1.5f, 2.f})
        for (int H : {60, 571}) {
            const LogAxis axis = log_axis(FMIN, FMAX, base);
            std::vector<double> sum(T / 2 + 1, 0.0);
            std::vector<float> g(T / 2 + 1);
            for (int i = 0; i < H; i++) {
                BandBins bb = band_bins(axis, i, H, T);
                band_window(axis, bb, T, g.data());
                for (int k = 0; k < bb.nb; k++)
                    sum[bb.lo + k] += g[k];
            }
            // Between the centres of the second and the last-but-one band each bin is covered about
            // once; edge rounding matters less the wider the bands, and bands under two bins apart
            // are too narrow to judge.
            for (int i = 1; i < H - 2; i++) {
                int c0 = (int)lrintf(log_axis_pos(axis, (float)i / (H - 1)) * T);
                int c1 = (int)lrintf(log_axis_pos(axis, (float)(i + 1) / (H - 1)) * T);
                for (int b = c0; b < c1 && c1 - c0 >= 2; b++)
                    ASSERT_NEAR(sum[b], 1.0, c1 - c0 >= 16 ? 0.07 : 0.6) << base << " " << H << " " << b;
            }
        }
}

TEST(DspBands, BinsClampAtOneAndHalfTheLength)
{
    // Linear axis, 0.001 to 0.5 of the rate in 10 bands: the lowest band reaches below 0 Hz, the
    // highest beyond the Nyquist frequency; the window still spans the unclamped edges.
    const LogAxis lin = log_axis(0.001f, 0.5f, 1.f);
    for (int T : {1000, 999}) {
        BandBins low = band_bins(lin, 0, 10, T), top = band_bins(lin, 9, 10, T);
        EXPECT_TRUE(low.lo_raw < 1 && low.lo == 1 && low.a < 0.f);
        EXPECT_TRUE(top.hi_raw > T / 2 && top.hi == T / 2 && top.nb == top.hi - top.lo && top.b > 1.f);
    }
    // On a bent axis an edge rounded down to 0 Hz has no position; the window stays in 0..1.
    const LogAxis bent = log_axis(0.0002f, 0.45f, 2.f);
    BandBins bb = band_bins(bent, 0, 40, 1000);
    std::vector<float> g(bb.nb + 1);
    band_window(bent, bb, 1000, g.data());
    for (int k = 0; k < bb.nb; k++)
        EXPECT_TRUE(g[k] >= 0.f && g[k] <= 1.f) << k;
}

TEST(DspNoiseFull, RowsKeepTheirEnergyInTheirBandAndRmsMatches)
{
    const int Nl = 90000, H = 30;
    for (float base : {1.f, 2.f}) {
        std::vector<float> X(Nl), table((size_t)Nl * H), rms(H), row(Nl);
        noise_full_spectrum(X.data(), Nl, base);
        ASSERT_EQ(noise_full_bands(X.data(), Nl, H, FMIN, FMAX, base, 2, table.data(), rms.data()), 1);
        for (int i = 0; i < H; i++) {
            double ms = 0, in = 0, out = 0;
            for (int j = 0; j < Nl; j++) {
                row[j] = table[(size_t)j * H + (H - 1 - i)]; // band i is row H-1-i
                ms += (double)row[j] * row[j] / Nl;
            }
            EXPECT_NEAR(rms[i], std::sqrt(ms), 1e-3 * std::sqrt(ms)) << i;
            fftf(row.data(), row.data(), Nl, FFT_FORWARD); // no energy outside bins lo'+1 .. hi'
            BandBins bb = band_bins(log_axis(FMIN, FMAX, base), i, H, Nl);
            for (int k = 0; k <= Nl / 2; k++) {
                double e = (double)row[k] * row[k] + (k > 0 && k < Nl - k ? (double)row[Nl - k] * row[Nl - k] : 0.0);
                (k > bb.lo && k <= bb.hi ? in : out) += e;
            }
            EXPECT_TRUE(in > 0.0 && out < 1e-8 * in) << "base " << base << " band " << i;
        }
    }
}

// What the builder touches, set up as the main loop leaves it: both table locks taken and slot
// 136 set. The builder then runs on a thread of its own.
struct LiveDoc {
    ImageStack im{};
    EngineState es{};
    explicit LiveDoc(int h) : im{}, es{}
    {
        std::tie(im.h, im.volume_lock, im.stream_lock, es.image) = std::tuple(h, semaphore_new(), semaphore_new(), &im);
        noise_full_set_params(&es, 27.5f, 20000.f, 2.f);
        mutex_to_1(im.volume_lock);
        mutex_to_1(im.stream_lock);
        key[K_NOISE_INIT] = 1;
        ThreadRecord rec{};
        EXPECT_EQ(thread_spawn(&rec, init_noise_array_full_bw_threaded, &es), 0);
        thread_wait(&rec, nullptr);
    }
    ~LiveDoc()
    {
        free_null(&es.noise_full);
        free_null(&es.noise_rms);
        semaphore_free(im.volume_lock);
        semaphore_free(im.stream_lock);
    }
    // Both locks free and slot 136 clear: playback may go on.
    bool released() { return key[K_NOISE_INIT] == 0 && sem_trywait(im.volume_lock) == 0 && sem_trywait(im.stream_lock) == 0; }
};

TEST(ThreadsNoiseFull, SameTableForAnyThreadCountReproducibleForASeedAndNoneForNoRows)
{
    SOUND_SAMPLERATE = 44100;
    const int saved = CORE_COUNT, H = 24;
    std::vector<std::vector<float>> tables, levels;
    for (int run = 0; run < 3; run++) {
        CORE_COUNT = run + 1;          // 1 and 2 threads with one seed, then 3 with another
        wrsrand(run == 2 ? 1234 : 99);
        LiveDoc doc(H);
        EXPECT_TRUE(doc.released());
        ASSERT_TRUE(doc.es.noise_full && doc.es.noise_full_len == 90000 && doc.es.noise_param_i[1] == H);
        tables.emplace_back(doc.es.noise_full, doc.es.noise_full + (size_t)90000 * H);
        levels.emplace_back(doc.es.noise_rms, doc.es.noise_rms + H);
    }
    CORE_COUNT = saved;
    EXPECT_TRUE(tables[0] == tables[1] && levels[0] == levels[1]);
    EXPECT_FALSE(tables[0] == tables[2]);

    // Height 0: no table, and still the locks released and the flag cleared.
    LiveDoc doc(0);
    EXPECT_TRUE(doc.released());
    EXPECT_TRUE(!doc.es.noise_full && !doc.es.noise_rms && doc.es.noise_full_len == 0);
}
