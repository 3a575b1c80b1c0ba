// The full-band noise table of live synthesis and its builder thread.
#include "dsp/noise_full.h"

#include "core/state.h"
#include "dsp/bands.h"
#include "dsp/fftf.h"
#include "dsp/scale.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

void (*noise_full_level_hook)(EngineState* es) = nullptr;
void (*noise_full_ready_hook)(EngineState* es) = nullptr;

// ---------------------------------------------------------------------------------------------
// [SECTION] Parameters
// ---------------------------------------------------------------------------------------------

void noise_full_set_params(EngineState* es, float fmin, float fmax, float base)
{
    es->noise_param_i[0] = NOISE_FULL_BLOCK_W;
    es->noise_param_f[0] = fmin;
    es->noise_param_f[1] = fmax;
    es->noise_param_f[2] = NOISE_FULL_PPS;
    es->noise_param_f[3] = base;
}

int noise_full_len(int bw, float pps, int rate)
{
    if (bw < 2 || !(pps > 0.f) || rate < 1)
        return 0;
    float len = rintf((float)(bw / 2) * (float)rate / pps);
    if (!(len >= 1.f) || len > 1e9f)
        return 0;
    return next_fast_fft_size((int)len);
}

float noise_full_fmax(float fmin, float fmax, int H, float base, int rate)
{
    const float fmin_rel = fmin / (float)rate;
    if (base == 1.f)
        return fmax / (float)rate;
    const float octaves = log_bf(fmax) - log_bf(fmin);
    if (H < 2)
        return powf(base, octaves) * fmin_rel;
    const float s = (float)(H - 1) / octaves;
    return powf(base, (float)(H - 1) / s) * fmin_rel;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Noise spectrum
// ---------------------------------------------------------------------------------------------

int noise_full_spectrum(float* x, int Nl, float base)
{
    if (Nl < 1)
        return 0;
    // The draws happen here, on one thread and in sample order: this fixes the noise for a seed.
    for (int j = 0; j < Nl; j++)
        x[j] = dblrand();
    fftf(x, x, Nl, FFT_FORWARD);
    const float expo = 0.5f - 0.5f * base;
    if (expo != 0.f) {
        for (int k = 1; k < (Nl + 1) / 2; k++) {
            const float t = powf((float)k, expo);
            x[k] *= t;
            x[Nl - k] *= t;
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Band workers
// ---------------------------------------------------------------------------------------------

// Square root of the mean square of n samples.
static float row_rms(const float* x, int n)
{
    float sum = 0.f;
    for (int j = 0; j < n; j++)
        sum += x[j] * x[j];
    return sqrtf(sum / (float)n);
}

void* noise_array_loop_thread(void* arg)
{
    NoiseFullWork* w = (NoiseFullWork*)arg;
    const int Nl = w->Nl, H = w->H;
    const float* X = w->spectrum;
    const LogAxis axis = log_axis(w->fmin, w->fmax, w->base);
    std::vector<float> g((size_t)Nl / 2 + 1);

    // Bands go through in groups: each group's signals are made first, then written out
    // sample by sample, so that every write into the sample-major table fills whole cache
    // lines instead of touching one float per line.
    for (int g0 = w->first; g0 < w->end; g0 += NOISE_FULL_GROUP) {
        const int count = w->end - g0 < NOISE_FULL_GROUP ? w->end - g0 : NOISE_FULL_GROUP;
        for (int m = 0; m < count; m++) {
            const int i = g0 + m;
            float* s = w->scratch + (size_t)m * Nl;
            memset(s, 0, sizeof(float) * (size_t)Nl);
            const BandBins bb = band_bins(axis, i, H, Nl);
            band_window(axis, bb, Nl, g.data());
            for (int k = 0; k < bb.nb; k++) {
                const int re = bb.lo + 1 + k, im = Nl - 1 - bb.lo - k;
                s[re] = g[k] * X[re];
                s[im] = g[k] * X[im];
            }
            fftf(s, s, Nl, FFT_INVERSE);
            w->rms[i] = row_rms(s, Nl);
        }
        // Band g0 + m sits in row H-1-g0-m: the group covers rows H-g0-count .. H-1-g0, which
        // are written in ascending order, the highest band of the group first.
        const int row0 = H - g0 - count;
        const float* src[NOISE_FULL_GROUP];
        for (int m = 0; m < count; m++)
            src[m] = w->scratch + (size_t)(count - 1 - m) * Nl;
        for (int j = 0; j < Nl; j++) {
            float* dst = w->table + (size_t)j * H + row0;
            for (int m = 0; m < count; m++)
                dst[m] = src[m][j];
        }
    }
    return nullptr;
}

int noise_full_bands(const float* X, int Nl, int H, float fmin, float fmax, float base, int threads, float* table,
                     float* rms)
{
    if (!X || !table || !rms || Nl < 2 || H < 1 || !(fmax > fmin))
        return 0;
    int n = threads > 0 ? threads : CORE_COUNT;
    if (n < 1)
        n = 1;
    if (n > H)
        n = H;
    std::vector<NoiseFullWork> work((size_t)n);
    std::vector<ThreadRecord> rec((size_t)n);
    std::vector<float*> scratch((size_t)n);
    for (int c = 0; c < n; c++) {
        scratch[c] = (float*)wrmalloc(sizeof(float) * (size_t)NOISE_FULL_GROUP * (size_t)Nl);
        work[c] = NoiseFullWork{Nl, H, X, fmin, fmax, base, table, scratch[c],
                                (int)((long long)c * H / n), (int)((long long)(c + 1) * H / n), rms};
        rec[c] = ThreadRecord{};
    }
    // Worker 0 runs on this thread; a worker that could not be started does its bands here too.
    std::vector<int> started((size_t)n, 0);
    for (int c = 1; c < n; c++)
        started[c] = thread_spawn(&rec[c], noise_array_loop_thread, &work[c]) == 0;
    noise_array_loop_thread(&work[0]);
    for (int c = 1; c < n; c++) {
        thread_wait(&rec[c], nullptr);
        if (!started[c])
            noise_array_loop_thread(&work[c]);
    }
    for (int c = 0; c < n; c++)
        free(scratch[c]);
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Builder thread
// ---------------------------------------------------------------------------------------------

// Ends a build: releases the two table locks the main loop took (when there is an image), runs
// the level hook after a publication, clears slot 136 and runs the ready hook.
static void finish_build(EngineState* es, bool published)
{
    ImageStack* im = es->image;
    if (im) {
        mutex_to_0(im->stream_lock);
        mutex_to_0(im->volume_lock);
    }
    if (published && noise_full_level_hook)
        noise_full_level_hook(es);
    key[K_NOISE_INIT] = 0;
    if (noise_full_ready_hook)
        noise_full_ready_hook(es);
}

void* init_noise_array_full_bw_threaded(void* arg)
{
    EngineState* es = (EngineState*)arg;
    if (!es)
        return nullptr;
    key[K_NOISE_INIT] = 1;
    ImageStack* im = es->image;
    const int H = im ? im->h : 0;
    const int rate = SOUND_SAMPLERATE;
    const int bw = es->noise_param_i[0] >= 2 ? es->noise_param_i[0] : NOISE_FULL_BLOCK_W;
    const float pps = es->noise_param_f[2] > 0.f ? es->noise_param_f[2] : NOISE_FULL_PPS;
    const float fmin = es->noise_param_f[0], fmax = es->noise_param_f[1];
    float base = es->noise_param_f[3];
    base = base < 1.f ? 1.f : base > 2.f ? 2.f : base;

    const int Nl = noise_full_len(bw, pps, rate);
    LOGBASE = base;
    BMSQ_LUT_SIZE = 16000;

    // The main loop holds both table locks, so nobody reads the previous table any more: drop it
    // now rather than keep two tables alive during the build.
    free_null(&es->noise_full);
    free_null(&es->noise_rms);
    es->noise_full_len = 0;
    es->noise_param_i[1] = 0;

    const bool usable = H > 0 && Nl > 1 && fmin > 0.f && fmax > fmin && std::isfinite(fmax);
    if (!usable) {
        finish_build(es, false);
        return nullptr;
    }

    float* X = (float*)wrmalloc(sizeof(float) * (size_t)Nl);
    noise_full_spectrum(X, Nl, base);
    const float fmin_rel = fmin / (float)rate;
    const float fmax_rel = noise_full_fmax(fmin, fmax, H, base, rate);
    float* table = (float*)wrmalloc(sizeof(float) * (size_t)Nl * (size_t)H);
    float* rms = (float*)wrcalloc((size_t)H, sizeof(float));
    noise_full_bands(X, Nl, H, fmin_rel, fmax_rel, base, CORE_COUNT, table, rms);
    free(X);

    es->noise_full = table;
    es->noise_rms = rms;
    es->noise_full_len = Nl;
    if (es->noise_full_pos < 0 || es->noise_full_pos >= Nl)
        es->noise_full_pos = 0;
    es->noise_param_i[1] = H;
    finish_build(es, true);
    return es;
}
