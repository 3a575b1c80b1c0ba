// Block noise synthesis: the block noise table and the synthesis of one block from it.
#include "dsp/noise.h"

#include "core/state.h"
#include "dsp/bands.h"
#include "dsp/fftf.h"
#include "platform/util.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// [SECTION] Geometry shared by the table and the synthesis
// ---------------------------------------------------------------------------------------------

double noise_block_span(int bw, float pps, int rate)
{
    if (bw < 1 || !(pps > 0.f) || rate < 1)
        return 0.0;
    return (double)(bw / 2) * (double)rate / (double)pps;
}

// True when n has no prime factor above 7.
static bool seven_smooth(long long n)
{
    for (int p : {2, 3, 5, 7})
        while (n % p == 0)
            n /= p;
    return n == 1;
}

int noise_block_len(double span)
{
    if (!(span > 0.0) || span > 1e9)
        return 0;
    long long half = (long long)std::ceil(span) + 1;
    while (!seven_smooth(half))
        half++;
    return half * 2 > 0x7fffffffLL ? 0 : (int)(half * 2);
}

int noise_guard(int bw) { return (int)nearbyintf((float)bw * 2.3333333f); }

void noise_row_sizes(const LogAxis& axis, int N, int H, int bw, float ppsr, int* M)
{
    const int K = noise_guard(bw);
    const int cols = (int)nearbyintf(ppsr * (float)N);
    int prev = 0;
    for (int i = 0; i < H; i++) {
        BandBins bb = band_bins(axis, i, H, N);
        int L = 4 * K + 2 * bb.nb + 1;
        if (cols >= L)
            M[i] = cols;
        else if (L > prev)
            M[i] = next_fast_fft_size(L);
        else
            M[i] = prev;
        prev = M[i];
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Block noise table
// ---------------------------------------------------------------------------------------------

// Parameters that make a table: a positive geometry and a frequency range the axis can hold.
static bool noise_args_ok(int bw, int H, int rate, float fmin, float pps, float fmax, float base)
{
    return bw >= 1 && H >= 1 && rate >= 1 && pps > 0.f && fmin < fmax && fmax <= (float)rate &&
           base >= 1.f && (base == 1.f || fmin > 0.f);
}

int init_noise_array(NoiseTable* table, int bw, int H, int* N_out, int rate, float fmin, float pps, float fmax,
                     float base)
{
    *table = NoiseTable{};
    if (!noise_args_ok(bw, H, rate, fmin, pps, fmax, base))
        return 0;
    const int N = noise_block_len(noise_block_span(bw, pps, rate));
    if (N < 2)
        return 0;
    if (N_out)
        *N_out = N;
    bmsq_lut();

    // White noise repeating every half block, drawn in one fixed order on this thread.
    const int P = N / 2;
    float* X = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)N));
    for (int j = 0; j < P; j++) {
        float v = dblrand();
        X[j] = v;
        X[j + P] = v;
    }
    fftf(X, X, N, FFT_FORWARD);

    // Tilt: white at base 1, equal energy per octave at base 2.
    const float tilt = 0.5f - 0.5f * base;
    if (tilt != 0.f)
        for (int k = 1; k < (N + 1) / 2; k++) {
            float f = powf((float)k, tilt);
            X[k] *= f;
            X[N - k] *= f;
        }

    const LogAxis axis = log_axis(fmin / (float)rate, fmax / (float)rate, base);
    const float ppsr = pps / (float)rate;
    const int K = noise_guard(bw);
    int* M = static_cast<int*>(wrmalloc(sizeof(int) * (size_t)H));
    noise_row_sizes(axis, N, H, bw, ppsr, M);

    table->rows = static_cast<float**>(wrcalloc((size_t)H, sizeof(float*)));
    table->len = static_cast<int32_t*>(wrcalloc((size_t)H, sizeof(int32_t)));
    table->H = H;
    table->N = N;
    float* g = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)(N / 2 + 1)));
    for (int i = 0; i < H; i++) {
        BandBins bb = band_bins(axis, i, H, N);
        band_window(axis, bb, N, g);
        float* B = static_cast<float*>(wrcalloc((size_t)M[i], sizeof(float)));
        // The band's bins lo+1 .. hi move down to K+1 .. K+nb of the short signal.
        for (int k = 0; k < bb.nb; k++) {
            const int bin = bb.lo + 1 + k;
            B[K + 1 + k] = g[k] * X[bin];
            B[M[i] - 1 - K - k] = (2 * bin == N) ? 0.f : g[k] * X[N - bin];
        }
        fftf(B, B, M[i], FFT_INVERSE);
        table->rows[H - 1 - i] = B;
        table->len[H - 1 - i] = M[i];
    }
    free(g);
    free(M);
    free(X);
    return 1;
}

void free_noise_array(NoiseTable* table)
{
    if (table->rows)
        free2d(table->rows, table->H);
    free(table->len);
    *table = NoiseTable{};
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Envelope resampling
// ---------------------------------------------------------------------------------------------

// Blackman-square kernel weight at distance x (|x| <= 1.5) from a column.
static inline float kernel_at(float x)
{
    const float s = (float)BMSQ_LUT_SIZE / 3.f;
    float u = (x + 1.5f) * s;
    if (!(u > 0.f))
        return lut[0];
    if (u >= (float)BMSQ_LUT_SIZE)
        return lut[BMSQ_LUT_SIZE];
    int idx = (int)u;
    float frac = u - (float)idx;
    return lut[idx] + (lut[idx + 1] - lut[idx]) * frac;
}

void envelope_taps(EnvelopeTaps* taps, int M, int N, int bw, float ppsr, double shift, double frac, double wrap_at)
{
    bmsq_lut();
    if (M > taps->M || !taps->first) {
        free(taps->first);
        free(taps->w);
        free(taps->outside);
        free(taps->after);
        taps->first = static_cast<int*>(wrmalloc(sizeof(int) * (size_t)M));
        taps->w = static_cast<float*>(wrmalloc(sizeof(float) * 3 * (size_t)M));
        taps->outside = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)M));
        taps->after = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)M));
    }
    taps->M = M;
    const double step = (double)N / (double)M;
    for (int m = 0; m < M; m++) {
        double tau = std::fmod((double)m * step - shift, (double)N);
        if (tau < 0.0)
            tau += (double)N;
        if (wrap_at >= 0.0 && tau >= wrap_at)
            tau -= (double)N; // the end of a circular buffer that holds what comes before its start
        const double col = (tau - frac) * (double)ppsr;
        const int hi = (int)std::floor(col + 1.5);
        const int first = hi - 2;
        taps->first[m] = first;
        taps->outside[m] = 0.f;
        taps->after[m] = 0.f;
        // The three weights are divided by their sum, so that a constant column value gives the
        // same constant at every sample (the kernel alone sums to about 1.5, with a ripple).
        float wq[3], total = 0.f;
        for (int q = 0; q < 3; q++) {
            const double x = (double)(first + q) - col;
            wq[q] = x > -1.5 ? kernel_at((float)x) : 0.f;
            total += wq[q];
        }
        const float scale = total > 0.f ? 1.f / total : 0.f;
        for (int q = 0; q < 3; q++) {
            const int j = first + q;
            const float w = wq[q] * scale;
            const bool inside = j >= 0 && j < bw;
            taps->w[3 * m + q] = inside ? w : 0.f;
            if (j < 0)
                taps->outside[m] += w;
            else if (j >= bw)
                taps->after[m] += w;
        }
    }
}

void free_envelope_taps(EnvelopeTaps* taps)
{
    free(taps->first);
    free(taps->w);
    free(taps->outside);
    free(taps->after);
    *taps = EnvelopeTaps{};
}

void envelope_apply(const EnvelopeTaps* taps, const float* e, float* out, float before, float after)
{
    for (int m = 0; m < taps->M; m++) {
        const int j = taps->first[m];
        const float* w = taps->w + 3 * m;
        float v = before * taps->outside[m] + after * taps->after[m];
        // Weights of columns outside the block are 0, but their indices must not be read.
        if (w[0] != 0.f)
            v += w[0] * e[j];
        if (w[1] != 0.f)
            v += w[1] * e[j + 1];
        if (w[2] != 0.f)
            v += w[2] * e[j + 2];
        out[m] = v;
    }
}

void add_band_spectrum(float* out, int N, const float* U, int M, int lo, int hi, int K)
{
    const int off = lo - K;
    const int k0 = off > 1 ? off : 1;
    const int k1 = hi + K < N / 2 ? hi + K : N / 2;
    for (int k = k0; k <= k1; k++) {
        const int q = k - off;
        if (q > M / 2)
            break;
        out[k] += U[q];
        // Imaginary parts exist for bins strictly between 0 and the Nyquist bin.
        if (q >= 1 && 2 * q != M && 2 * k != N)
            out[N - k] += U[M - q];
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Block synthesis
// ---------------------------------------------------------------------------------------------

// True when all n values are 0 (the band contributes nothing).
static bool all_zero(const float* v, int n)
{
    for (int j = 0; j < n; j++)
        if (v[j] != 0.f)
            return false;
    return true;
}

float* filter_mask(const NoiseTable* table, const float* const* rows, int bw, int N, int H,
                   std::atomic<int32_t>* stop, int sleep_period, float fmin_r, float fmax_r, float base,
                   float ppsr, double start)
{
    if (!table || !table->rows || table->H != H || table->N != N || N < 2 || bw < 1)
        return nullptr;
    const LogAxis axis = log_axis(fmin_r, fmax_r, base);
    int* M = static_cast<int*>(wrmalloc(sizeof(int) * (size_t)H));
    noise_row_sizes(axis, N, H, bw, ppsr, M);
    int max_M = 0;
    for (int i = 0; i < H; i++) {
        if (M[i] != table->len[H - 1 - i]) {
            free(M);
            return nullptr;
        }
        max_M = M[i] > max_M ? M[i] : max_M;
    }

    // The block starts at sample S + frac; the noise there has phase S mod N/2.
    const double S = std::floor(start);
    const double frac = start - S;
    const double shift = std::fmod(S, (double)(N / 2));
    const int K = noise_guard(bw);

    float* out = static_cast<float*>(wrcalloc((size_t)N, sizeof(float)));
    float* U = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)max_M));
    EnvelopeTaps taps{};
    int taps_M = 0;
    for (int i = 0; i < H; i++) {
        if (stop && stop->load(std::memory_order_relaxed)) {
            memset(out, 0, sizeof(float) * (size_t)N);
            break;
        }
        if (sleep_period > 0 && i % sleep_period == 0 && i > 0)
            wrsleep(1);
        const int r = H - 1 - i;
        BandBins bb = band_bins(axis, i, H, N);
        if (bb.nb == 0 || all_zero(rows[r], bw))
            continue;
        if (M[i] != taps_M) {
            envelope_taps(&taps, M[i], N, bw, ppsr, shift, frac);
            taps_M = M[i];
        }
        envelope_apply(&taps, rows[r], U);
        const float* n = table->rows[r];
        for (int m = 0; m < M[i]; m++)
            U[m] *= n[m];
        fftf(U, U, M[i], FFT_FORWARD);
        add_band_spectrum(out, N, U, M[i], bb.lo, bb.hi, K);
    }
    free_envelope_taps(&taps);
    free(U);
    free(M);
    fftf(out, out, N, FFT_INVERSE | FFT_REUSED);

    // The bands were laid on the noise from phase 0; the block begins at phase `shift`.
    const int sh = (int)shift;
    if (sh > 0) {
        float* rolled = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)N));
        memcpy(rolled, out + sh, sizeof(float) * (size_t)(N - sh));
        memcpy(rolled + (N - sh), out, sizeof(float) * (size_t)sh);
        free(out);
        out = rolled;
    }
    return out;
}

float* synt_noise(const float* image, int bw, int H, int N, int rate, const NoiseTable* table,
                  std::atomic<int32_t>* stop, int sleep_period, float fmin, float pps, float fmax, float base,
                  double start)
{
    if (!image || !noise_args_ok(bw, H, rate, fmin, pps, fmax, base))
        return nullptr;
    const float** rows = static_cast<const float**>(wrmalloc(sizeof(float*) * (size_t)H));
    for (int r = 0; r < H; r++)
        rows[r] = image + (size_t)r * (size_t)bw;
    float* out = filter_mask(table, rows, bw, N, H, stop, sleep_period, fmin / (float)rate, fmax / (float)rate,
                             base, pps / (float)rate, start);
    free(rows);
    return out;
}
