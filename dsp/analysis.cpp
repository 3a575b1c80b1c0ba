// Spectral analysis of a whole sound into the spectrogram image, with the envelope, the Blackman
// downsampler, peak normalisation and the transform resampler.
#include "dsp/analysis.h"

#include "core/state.h"
#include "dsp/fftf.h"
#include "dsp/scale.h"
#include "platform/util.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Rows shared with readers
// ---------------------------------------------------------------------------------------------

// Stores a finished row so that a reader that sees the pointer also sees its values.
static void publish_row(Plane rows, int r, float* row)
{
    std::atomic_ref<float*>(rows[r]).store(row, std::memory_order_release);
}

float* filled_row(Plane rows, int r)
{
    return std::atomic_ref<float*>(rows[r]).load(std::memory_order_acquire);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Envelope, downsampling, normalisation
// ---------------------------------------------------------------------------------------------

// The first `count` outputs of downsampling in (in_len values) to out_len values, into out.
// With r = in_len / out_len, output i sits at c = i r and is the mean of the inputs j with
// c - r <= j <= c + r, weighted by the Blackman window of x = (j - c + r) / r over 0..2. In whole
// numbers x = num / in_len with num = j out_len - (i - 1) in_len, a multiple of
// g = gcd(in_len, out_len), so the weights are worked out once for every num / g and the window
// positions are exact however long the signal.
static void blackman_downsample_into(const float* in, int in_len, int out_len, float* out, int count)
{
    const int64_t g = std::gcd(in_len, out_len);
    const int64_t steps = 2 * (int64_t)in_len / g;
    const int64_t q_step = out_len / g; // num / g grows by this from one input to the next
    float* weight = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)(steps + 1)));
    for (int64_t q = 0; q <= steps; q++) {
        float x = (float)(q * g) / (float)in_len;
        weight[q] = 0.42f - 0.5f * cosf(PI * x) + 0.08f * cosf(2.f * PI * x);
    }

    for (int i = 0; i < count; i++) {
        const int64_t low = (int64_t)(i - 1) * in_len; // (c - r) * out_len
        const int64_t high = (int64_t)(i + 1) * in_len; // (c + r) * out_len
        int64_t j0 = low <= 0 ? 0 : (low + out_len - 1) / out_len;
        int64_t j1 = std::min<int64_t>(high / out_len, in_len - 1);
        int64_t q = (j0 * out_len - low) / g;
        float sum = 0.f, weights = 0.f;
        for (int64_t j = j0; j <= j1; j++, q += q_step) {
            sum += weight[q] * in[j];
            weights += weight[q];
        }
        out[i] = weights > 0.f ? sum / weights : 0.f;
    }
    free(weight);
}

float* blackman_downsampling(const float* in, int in_len, int out_len)
{
    if (!in || in_len < 1 || out_len < 1)
        return nullptr;
    float* out = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)out_len));
    blackman_downsample_into(in, in_len, out_len, out, out_len);
    return out;
}

float* envelope(float* x, int* n, float ratio)
{
    const int len = *n;
    if (!x || len < 1)
        return nullptr;

    // The quadrature signal: the spectrum times -i. Bin 0 and, for even lengths, the Nyquist bin
    // have no quadrature part, so they are left at zero.
    float* spectrum = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)len));
    float* quad = static_cast<float*>(wrcalloc((size_t)len, sizeof(float)));
    fftf(x, spectrum, len, FFT_FORWARD);
    for (int k = 1; k <= (len - 1) / 2; k++) {
        quad[k] = spectrum[len - k];
        quad[len - k] = -spectrum[k];
    }
    fftf(quad, quad, len, FFT_INVERSE);
    for (int j = 0; j < len; j++)
        quad[j] = sqrtf(x[j] * x[j] + quad[j] * quad[j]);
    free(spectrum);

    if (ratio == 1.f) {
        memcpy(x, quad, sizeof(float) * (size_t)len);
        free(quad);
        return x;
    }
    const int out_len = (int)nearbyintf((float)len * ratio);
    float* out = blackman_downsampling(quad, len, out_len);
    free(quad);
    if (out)
        *n = out_len;
    return out;
}

long long plane_nonfinite(Plane rows, int width, int height, bool zero)
{
    long long count = 0;
    for (int r = 0; rows && r < height; r++)
        if (rows[r])
            for (int c = 0; c < width; c++)
                if (!std::isfinite(rows[r][c])) {
                    count++;
                    if (zero)
                        rows[r][c] = 0.f;
                }
    return count;
}

void normi(Plane rows, int width, int height, float target)
{
    if (!rows)
        return;
    float peak = 0.f;
    for (int r = 0; r < height; r++)
        if (rows[r])
            for (int c = 0; c < width; c++)
                peak = std::max(peak, fabsf(rows[r][c]));
    const float gain = peak > 0.f ? target / peak : 0.f;
    for (int r = 0; r < height; r++)
        if (rows[r])
            for (int c = 0; c < width; c++)
                rows[r][c] *= gain;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Transform size of the whole sound
// ---------------------------------------------------------------------------------------------

// The whole-sound size rule is met: N is 17-smooth and its column count 7-smooth.
static bool whole_size_ok(int N, float ppsr)
{
    return find_largest_prime_factor((int)nearbyintf((float)N * ppsr)) <= 7 && find_largest_prime_factor(N) <= 17;
}

int anal_transform_size(int n, int pad, float ppsr)
{
    int m = n - 1 + pad;
    if (m % 2 == 1)
        m = n + pad;
    int N = next_fast_fft_size((int)nearbyintf((float)next_fast_fft_size((int)nearbyintf((float)m * ppsr)) / ppsr));
    // Tested before each pass: a first size that already meets the rule is kept. When the
    // columns per sample are not the reciprocal of a whole number, a pass can give back the same
    // size (or a smaller one) for ever; the size then moves on by one sample instead.
    while (!whole_size_ok(N, ppsr)) {
        int next = (int)nearbyintf((float)next_fast_fft_size((int)nearbyintf((float)N * ppsr)) / ppsr);
        N = next > N ? next : N + 1;
    }
    return N;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Level scale
// ---------------------------------------------------------------------------------------------

// A power of two that brings the sound's peak to 1 or below (1 for sounds already there). The
// analysis squares spectral values of the whole sound: from a peak of about 1e19 on, those
// squares overflow and every value becomes NaN. Scaling by a power of two is exact, so a
// sound within +-1 is analysed bit for bit as before and any other comes out the same but finite.
static float level_scale(const float* samples, int n)
{
    float peak = 0.f;
    for (int i = 0; i < n; i++)
        peak = std::max(peak, fabsf(samples[i])); // NaN never wins
    if (!(peak > 1.f) || !std::isfinite(peak))
        return 1.f;
    return ldexpf(1.f, -(ilogbf(peak) + 1));
}

// A copy of n samples times `scale`.
static float* scaled_copy(const float* samples, int n, float scale, size_t room)
{
    float* copy = static_cast<float*>(wrcalloc(room, sizeof(float)));
    for (int i = 0; i < n; i++)
        copy[i] = samples[i] * scale;
    return copy;
}

// Takes the level scale back out of a finished row, holding the values within the float range.
static void unscale_row(float* row, int W, float scale)
{
    if (scale == 1.f)
        return;
    for (int c = 0; c < W; c++)
        row[c] = std::min(row[c] / scale, FLT_MAX);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Band geometry
// ---------------------------------------------------------------------------------------------

// What limits the filter widths of the bands (see band_half_width).
struct BandWidths {
    float trans;        // transition in cycles per sample
    float cap;          // the widest filter in bands, bpo / min_bpo
    bool constant_time; // the cap is lifted
};

static BandWidths band_widths(int rate, float bpo, float min_bpo, float transition)
{
    return {transition / (float)rate, bpo / min_bpo,
            key[state_of(K_CONST_TIME_RES)].load(std::memory_order_relaxed) != 0};
}

// Filter half-width, in bands, of band i of H (fmin, fmax fractions of the rate, LOGBASE set):
// as wide as the transition asks, at most the cap, at least one band.
static float band_half_width(const BandWidths& widths, int i, int H, float fmin, float fmax)
{
    const float top = (float)(H - 1);
    float w = widths.trans / (log_pos((float)(i + 1) / top, fmin, fmax) - log_pos((float)(i - 1) / top, fmin, fmax));
    if (!widths.constant_time)
        w = std::min(w, widths.cap);
    return std::max(w, 1.f);
}

// Where one band sits in the whole-sound spectrum and how it is transformed.
struct BandPlan {
    int lo;  // bin below the band's first bin
    int nb;  // number of bins taken (lo + 1 .. lo + nb)
    int M;   // band transform size
    float a; // axis position of the lower edge bin
    float b; // axis position of the upper edge bin
    float w; // filter half-width in bands
};

// Everything the band workers share. Bands are claimed in ascending order, so rows appear from
// the bottom up whatever the number of threads.
struct AnalysisJob {
    Plane rows;                 // destination row array
    const float* spectrum;      // halfcomplex spectrum of the padded sound, N values
    int N;                      // whole-sound transform size
    int H, W, Wp;               // bands, image width, columns spanning the padded sound
    int max_M;                  // largest band transform size (scratch size)
    LogAxis axis;               // the frequency axis in fractions of the sample rate
    float scale;                // level scale the sound was analysed at (see level_scale)
    const BandPlan* plan;       // H band plans, band 0 first
    std::atomic<int> next_band; // next band to claim
    std::atomic<int> made;      // rows finished
    AnalysisProgress* progress; // caller's progress record, may be null
};

// Imaginary part of bin k (1 <= k <= N/2) of a halfcomplex spectrum of length N; the Nyquist
// bin of an even length has none.
static inline float bin_im(const float* s, int N, int k) { return 2 * k == N ? 0.f : s[N - k]; }

// The Hann window 0.5 - 0.5 cos(2 pi t), which is sin^2(pi t), for t in 0..1 by a polynomial
// (within 3e-7 of the library cosine): it is worked out for every bin of every band, where the
// library cosine took a tenth of an analysis.
static inline float hann_polynomial(float t)
{
    const float x = PI * (t - 0.5f); // sin(pi t) = cos(x), |x| <= pi / 2
    const float x2 = x * x;
    const float c =
        1.f + x2 * (-1.f / 2 + x2 * (1.f / 24 + x2 * (-1.f / 720 + x2 * (1.f / 40320 + x2 * (-1.f / 3628800)))));
    return c * c;
}

// The window at the n positions t[] (replacing them): by the polynomial, several at once, when
// all lie in 0..1, otherwise each by the library cosine.
static void hann_windows(float* t, int n)
{
    bool inside = true;
    for (int k = 0; k < n; k++)
        inside &= (t[k] >= 0.f) & (t[k] <= 1.f);
    if (!inside) {
        for (int k = 0; k < n; k++)
            t[k] = 0.5f - 0.5f * cosf(2.f * PI * t[k]);
        return;
    }
    for (int k = 0; k < n; k++)
        t[k] = hann_polynomial(t[k]);
}

// Analyses band i into a new row and publishes it. Z is scratch for max_M complex values and
// max_M / 2 + 1 floats more.
static void analyse_band(AnalysisJob* job, int i, float* Z)
{
    const BandPlan& band = job->plan[i];
    const int M = band.M, N = job->N;
    const float* S = job->spectrum;
    memset(Z, 0, sizeof(float) * 2 * (size_t)M);

    // Cut the band out of the spectrum and shift it down to bin 1, under a Hann window over the
    // band's span on the axis (each bin weighted by the window at the bin just below it).
    const float span = band.b - band.a;
    float* g = Z + 2 * (size_t)job->max_M; // nb <= (M - 1) / 2
    log_axis_inv_bins(job->axis, band.lo, N, band.nb, g);
    for (int k = 0; k < band.nb; k++)
        g[k] = (g[k] - band.a) / span;
    hann_windows(g, band.nb);
    for (int k = 0; k < band.nb; k++) {
        Z[2 * (k + 1)] = g[k] * S[band.lo + 1 + k];
        Z[2 * (k + 1) + 1] = g[k] * S[N - (band.lo + 1 + k)];
    }
    // The Nyquist bin of an even length has no imaginary part (S[N / 2] is its real part).
    if (N % 2 == 0 && band.lo + 1 <= N / 2 && N / 2 <= band.lo + band.nb)
        Z[2 * (N / 2 - band.lo) + 1] = 0.f;
    // The analytic band signal: the inverse transform of the positive-frequency bins alone (its
    // real part is the band signal, its imaginary part the quadrature signal, both doubled).
    fftc_inverse(Z, M);

    // Its magnitude, the envelope. 2 / sqrt(M) scales the doubled, unscaled transform as the
    // real transform scales, times the band gain sqrt(M / w).
    const float gain = 2.f / sqrtf(band.w);
    float* B = Z; // the envelope overwrites the first M values
    for (int j = 0; j < M; j++)
        B[j] = sqrtf(Z[2 * j] * Z[2 * j] + Z[2 * j + 1] * Z[2 * j + 1]) * gain;

    // The zero extension makes Wp > W; with absurd settings the columns past the padded sound
    // stay zero.
    float* row = static_cast<float*>(wrcalloc((size_t)job->W, sizeof(float)));
    if (M > job->Wp)
        blackman_downsample_into(B, M, job->Wp, row, std::min(job->W, job->Wp));
    else
        memcpy(row, B, sizeof(float) * (size_t)std::min(job->W, M));
    unscale_row(row, job->W, job->scale);
    publish_row(job->rows, job->H - 1 - i, row);
    job->made.fetch_add(1, std::memory_order_relaxed);
    if (job->progress)
        job->progress->rows_done.fetch_add(1, std::memory_order_relaxed);
}

// Claims and analyses bands until none is left or a stop is asked for. `on_row` runs after each
// row (on the calling thread only).
static void analyse_bands(AnalysisJob* job, bool on_row)
{
    float* Z = static_cast<float*>(wrmalloc(sizeof(float) * (2 * (size_t)job->max_M + (size_t)job->max_M / 2 + 1)));
    for (;;) {
        if (job->progress && job->progress->stop.load(std::memory_order_relaxed))
            break;
        int i = job->next_band.fetch_add(1, std::memory_order_relaxed);
        if (i >= job->H)
            break;
        analyse_band(job, i, Z);
        if (on_row && job->progress && job->progress->tick)
            job->progress->tick(job->progress, job->progress->ctx);
    }
    free(Z);
}

static void* band_worker(void* arg)
{
    analyse_bands(static_cast<AnalysisJob*>(arg), false);
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Analysis
// ---------------------------------------------------------------------------------------------

// The one-row image: the envelope of the whole sound at the column rate.
static int anal_single_row(Plane rows, const float* samples, int n, int W, float ppsr, AnalysisProgress* progress,
                           float** release)
{
    const float scale = level_scale(samples, n);
    float* copy = scaled_copy(samples, n, scale, (size_t)n);
    if (release)
        free_null(release);
    int len = n;
    float* env = envelope(copy, &len, ppsr);
    float* row = static_cast<float*>(wrcalloc((size_t)W, sizeof(float)));
    if (env)
        memcpy(row, env, sizeof(float) * (size_t)std::min(W, len));
    if (env != copy)
        free(env);
    free(copy);
    unscale_row(row, W, scale);
    publish_row(rows, 0, row);
    if (progress) {
        progress->rows_done.fetch_add(1, std::memory_order_relaxed);
        if (progress->tick)
            progress->tick(progress, progress->ctx);
    }
    return 1;
}

// Samples of zero extension of the whole sound: five periods of the frequency spacing just
// below the lowest band of H (fmin, fmax fractions of the rate); -1 when it could not be held.
static int anal_pad(int H, float fmin, float fmax, float base)
{
    const float top = (float)(H - 1);
    const float d = log_pos_b(0.f, fmin, fmax, base) - log_pos_b(-1.f / top, fmin, fmax, base);
    const float pad_f = nearbyintf(5.f / d);
    if (!(pad_f >= 0.f) || pad_f > (float)(INT_MAX / 4))
        return -1;
    return (int)pad_f;
}

double anal_memory(int n, int H, float fmin, float fmax, float ppsr, float base, int threads)
{
    const double W = (double)n * ppsr;
    double floats = W * H; // the rows
    if (H > 1) {
        const int pad = anal_pad(H, fmin, fmax, base);
        const double N = 1.05 * ((double)n + (pad < 0 ? INT_MAX / 4 : pad)) + 64.0; // smooth sizes lie a little above
        // The spectrum and the transform's working buffer; per thread two and a half band
        // transforms (the band and its window), at least the padded sound's columns, at most
        // the whole spectrum.
        const double M = std::min(N, std::max(N * ppsr, 8.0 * N / H));
        // The transform planner also reserves (without touching) two arrays of the same size,
        // which count against an address-space limit.
        floats += 4.0 * N + (double)std::max(threads, 1) * 2.5 * M;
    } else {
        floats += 3.0 * n; // the copy, its spectrum and quadrature
    }
    return floats * sizeof(float);
}

int anal(Plane rows, const float* samples, int n, int rate, int* out_w, int H, float fmax, float ppsr,
         float fmin, float bpo, float min_bpo, float transition, float base, int threads,
         AnalysisProgress* progress, float** release)
{
    if (!rows || !samples || !out_w || n < 1 || H < 1 || rate < 1 || !(ppsr > 0.f) || !(bpo > 0.f) ||
        !(fmin < fmax) || (base != 1.f && !(fmin > 0.f)))
        return 0;
    LOGBASE = base;
    const int W = (int)((float)n * ppsr);
    if (W < 1)
        return 0;
    *out_w = W;
    if (H == 1)
        return anal_single_row(rows, samples, n, W, ppsr, progress, release);

    const float top = (float)(H - 1);
    auto p = [top](float u) { return u / top; };
    const int pad = anal_pad(H, fmin, fmax, base);
    if (pad < 0 || n > INT_MAX / 4)
        return 0; // a spacing so fine that the padded sound could not be held

    const int N = anal_transform_size(n, pad, ppsr);
    const float scale = level_scale(samples, n);
    float* S = scaled_copy(samples, n, scale, (size_t)N);
    if (release)
        free_null(release);
    fftf(S, S, N, FFT_FORWARD);

    const int Wp = (int)nearbyintf(ppsr * (float)N);
    const BandWidths widths = band_widths(rate, bpo, min_bpo, transition);

    // First pass: every band's place in the spectrum and its transform size. Sizes only grow
    // from band to band, so they are settled in band order before the bands are spread out.
    std::vector<BandPlan> plan((size_t)H);
    int prev_M = 0, max_M = 0;
    for (int i = 0; i < H; i++) {
        BandPlan& band = plan[(size_t)i];
        const float w = band_half_width(widths, i, H, fmin, fmax);
        // The edge bins stay floats until they are brought within the spectrum: with extreme
        // settings they lie far outside any int (or are not numbers at all).
        const float lo_f = nearbyintf(log_pos(p((float)i - w), fmin, fmax) * (float)N);
        const float hi_f = nearbyintf(log_pos(p((float)i + w), fmin, fmax) * (float)N);
        band.a = log_pos_inv(lo_f / (float)N, fmin, fmax);
        band.b = log_pos_inv(hi_f / (float)N, fmin, fmax);
        // An edge at or below 0 Hz, or beyond any frequency, has no position on the axis: its
        // unrounded position stands in for it so that the window stays finite.
        if (!std::isfinite(band.a))
            band.a = p((float)i - w);
        if (!std::isfinite(band.b))
            band.b = p((float)i + w);
        const int hi = hi_f < (float)(N / 2) ? (int)std::max(hi_f, 0.f) : N / 2; // NaN gives 0
        const int lo = lo_f > 1.f ? (int)std::min(lo_f, (float)(N / 2)) : 1;
        band.lo = lo;
        band.nb = std::max(hi - lo, 0);
        band.w = w;
        const int L = 2 * band.nb + 1;
        if (Wp >= L)
            band.M = Wp;
        else if (L > prev_M)
            band.M = next_fast_fft_size(L);
        else
            band.M = prev_M;
        prev_M = band.M;
        max_M = std::max(max_M, band.M);
    }

    // Second pass: the bands, spread over the threads; the calling thread takes its share and
    // reports progress after each of its rows.
    AnalysisJob job;
    job.rows = rows;
    job.spectrum = S;
    job.N = N;
    job.H = H;
    job.W = W;
    job.Wp = Wp;
    job.max_M = max_M;
    job.axis = log_axis(fmin, fmax, base);
    job.scale = scale;
    job.plan = plan.data();
    job.next_band.store(0);
    job.made.store(0);
    job.progress = progress;

    if (threads < 1)
        threads = CORE_COUNT;
    threads = std::max(1, std::min(threads, H));
    std::vector<ThreadRecord> helpers((size_t)(threads - 1));
    for (ThreadRecord& helper : helpers)
        thread_spawn(&helper, band_worker, &job);
    analyse_bands(&job, true);
    for (ThreadRecord& helper : helpers)
        thread_wait(&helper, nullptr);
    if (progress && progress->tick)
        progress->tick(progress, progress->ctx);

    free(S);
    return job.made.load() == H ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Transform resampling
// ---------------------------------------------------------------------------------------------

float* resample_fft(float* buffer, int* n, int rate_in, int rate_out)
{
    const int len = n ? *n : 0;
    if (!buffer || len < 1 || rate_in < 1 || rate_out < 1)
        return nullptr;

    // Lengths at both rates that span the same time: the sound padded to a whole multiple of
    // p = rate_in / g input samples, which stand for q = rate_out / g output samples (g the
    // rates' greatest common divisor). When p is large (rates without a big common divisor)
    // the sound is not padded and the output length is rounded: the time scale then moves by
    // less than half an output sample over the whole sound. Either way the memory follows the
    // sound's length, never the rates.
    const int64_t g = std::gcd((int64_t)rate_in, (int64_t)rate_out);
    const int64_t p = rate_in / g, q = rate_out / g;
    int64_t nin64 = len, nout64 = std::max<int64_t>(1, std::llround((double)len * (double)q / (double)p));
    if (p <= 4096) {
        const int64_t units = ((int64_t)len + p - 1) / p;
        nin64 = units * p;
        nout64 = units * q;
    }
    if (nin64 > INT_MAX || nout64 > INT_MAX)
        return nullptr;
    const int Nin = (int)nin64, Nout = (int)nout64;

    float* X = static_cast<float*>(wrcalloc((size_t)Nin, sizeof(float)));
    memcpy(X, buffer, sizeof(float) * (size_t)len);
    free(buffer);
    fftf(X, X, Nin, FFT_FORWARD);

    // Every bin that both lengths hold keeps its place: real part at k, imaginary part at
    // length - k.
    float* Y = static_cast<float*>(wrcalloc((size_t)Nout, sizeof(float)));
    Y[0] = X[0];
    const int common = (std::min(Nin, Nout) - 1) / 2; // bins 1..common are full complex bins in both
    for (int k = 1; k <= common; k++) {
        Y[k] = X[k];
        Y[Nout - k] = X[Nin - k];
    }
    if (Nout == Nin) {
        if (Nin % 2 == 0)
            Y[Nin / 2] = X[Nin / 2];
    } else if (Nout > Nin) {
        // The input's Nyquist value stands for both the positive and the negative frequency:
        // in the longer spectrum it becomes an ordinary real bin carrying half of it.
        if (Nin % 2 == 0)
            Y[Nin / 2] = 0.5f * X[Nin / 2];
    } else {
        // Downsampling: the new Nyquist bin (even Nout) cannot hold a phase and stays zero;
        // the top of the band is tapered.
        const int h = Nout / 2;
        for (int k = (int)nearbyintf(0.46f * (float)Nout); k <= h - 1; k++) {
            float taper = 0.5f + 0.5f * cosf(((float)k / (float)Nout - 0.46f) / 0.03999999f);
            Y[k] *= taper;
            Y[Nout - k] *= taper;
        }
    }
    free(X);
    fftf(Y, Y, Nout, FFT_INVERSE);

    int out_len = (int)nearbyint((double)rate_out * ((double)len / (double)rate_in));
    out_len = std::clamp(out_len, 0, Nout);
    Y = static_cast<float*>(wrrealloc(Y, sizeof(float) * (size_t)std::max(out_len, 1)));
    *n = out_len;
    return Y;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Coarse first pass
// ---------------------------------------------------------------------------------------------

// Frame length of the coarse pass (93 ms at 44.1 kHz, 10.8 Hz between bins) and the most
// frames it transforms: about a column of the screen each when the whole sound is in view.
static const int COARSE_FRAME = 4096;
static const int COARSE_COLUMNS = 1024;

// One sample of a band's window on the frame spectrum: the power at fractional bin k + frac,
// weighted.
struct CoarseTap {
    int k;        // bin below the sample (0 .. COARSE_FRAME / 2 - 1)
    float frac;   // position between bin k and k + 1
    float weight; // squared window times the bins the sample stands for, times the band gain
};

// What the coarse workers share: frames are claimed first, then rows.
struct CoarseJob {
    Plane rows;                    // destination row array
    const float* samples;          // the sound, n samples
    int n, W, H, columns;          // sound length, image width, bands, frames
    const float* hann;             // COARSE_FRAME window values
    const CoarseTap* taps;         // every band's taps, band 0 first
    const int* first_tap;          // H + 1 offsets into taps
    float* grid;                   // columns x H band levels, frame after frame
    std::atomic<int> next_frame;   // next frame to claim
    std::atomic<int> next_row;     // next row to claim
};

// Frame c: the window centred on the frame's time, its power spectrum, each band's level.
static void coarse_frame(CoarseJob* job, int c, float* frame)
{
    const int L = COARSE_FRAME;
    const int64_t centre = ((int64_t)2 * c + 1) * job->n / (2 * (int64_t)job->columns);
    const int64_t start = centre - L / 2;
    for (int j = 0; j < L; j++) {
        const int64_t at = start + j;
        frame[j] = at >= 0 && at < job->n ? job->samples[at] * job->hann[j] : 0.f;
    }
    fftf(frame, frame, L, FFT_FORWARD);
    // Power of bins 0 .. L/2 into the second half of `frame`'s scratch.
    float* power = frame + L;
    power[0] = frame[0] * frame[0];
    for (int k = 1; k < L / 2; k++)
        power[k] = frame[k] * frame[k] + frame[L - k] * frame[L - k];
    power[L / 2] = frame[L / 2] * frame[L / 2];
    float* out = job->grid + (size_t)c * (size_t)job->H;
    for (int i = 0; i < job->H; i++) {
        double sum = 0.0;
        for (int t = job->first_tap[i]; t < job->first_tap[i + 1]; t++) {
            const CoarseTap& tap = job->taps[t];
            sum += (double)tap.weight * ((1.f - tap.frac) * power[tap.k] + tap.frac * power[tap.k + 1]);
        }
        out[i] = (float)std::min(sqrt(sum), (double)FLT_MAX);
    }
}

// Claims and works out frames until none is left.
static void* coarse_frames_worker(void* arg)
{
    CoarseJob* job = static_cast<CoarseJob*>(arg);
    float* frame = static_cast<float*>(wrmalloc(sizeof(float) * (2 * (size_t)COARSE_FRAME + 1)));
    for (int c; (c = job->next_frame.fetch_add(1, std::memory_order_relaxed)) < job->columns;)
        coarse_frame(job, c, frame);
    free(frame);
    return nullptr;
}

// Claims rows (once every frame is done) and makes each at the image's width: every column
// takes the level of the frame it falls in.
static void* coarse_rows_worker(void* arg)
{
    CoarseJob* job = static_cast<CoarseJob*>(arg);
    for (int i; (i = job->next_row.fetch_add(1, std::memory_order_relaxed)) < job->H;) {
        float* row = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)job->W));
        for (int x = 0; x < job->W; x++)
            row[x] = job->grid[(size_t)((int64_t)x * job->columns / job->W) * (size_t)job->H + (size_t)i];
        publish_row(job->rows, job->H - 1 - i, row);
    }
    return nullptr;
}

// Runs `worker` on `threads` threads, the calling one included, until it returns everywhere.
static void run_workers(void* (*worker)(void*), void* arg, int threads)
{
    std::vector<ThreadRecord> helpers((size_t)(threads - 1));
    std::vector<int> started(helpers.size(), 0);
    for (size_t t = 0; t < helpers.size(); t++)
        started[t] = thread_spawn(&helpers[t], worker, arg) == 0;
    worker(arg);
    for (size_t t = 0; t < helpers.size(); t++)
        if (started[t])
            thread_wait(&helpers[t], nullptr);
}

int anal_coarse(Plane rows, const float* samples, int n, int rate, int H, float fmax, float ppsr, float fmin,
                float bpo, float min_bpo, float transition, float base, int threads)
{
    if (!rows || !samples || n < 1 || H < 2 || rate < 1 || !(ppsr > 0.f) || !(bpo > 0.f) || !(fmin < fmax) ||
        (base != 1.f && !(fmin > 0.f)))
        return 0;
    LOGBASE = base;
    const int W = (int)((float)n * ppsr);
    const int pad = anal_pad(H, fmin, fmax, base);
    if (W < 1 || pad < 0 || n > INT_MAX / 4)
        return 0;
    const int L = COARSE_FRAME;

    // The level of a band as the exact analysis gives it: the root of its windowed power,
    // times 4 / w for the band gain, N / L for the whole-sound transform's bins (N of them
    // where a frame has L), and 8 / 3 for the frame window's mean power.
    const double N = (double)anal_transform_size(n, pad, ppsr);
    const BandWidths widths = band_widths(rate, bpo, min_bpo, transition);
    const float top = (float)(H - 1);
    std::vector<CoarseTap> taps;
    std::vector<int> first_tap((size_t)H + 1, 0);
    for (int i = 0; i < H; i++) {
        first_tap[(size_t)i] = (int)taps.size();
        const float w = band_half_width(widths, i, H, fmin, fmax);
        const float a = log_pos(((float)i - w) / top, fmin, fmax) * (float)L;
        const float b = log_pos(((float)i + w) / top, fmin, fmax) * (float)L;
        if (!std::isfinite(a) || !std::isfinite(b) || !(b > a) || a >= (float)(L / 2))
            continue; // a band the frame spectrum does not reach stays silent
        // At least three samples of the window, and one a bin where the band is wider.
        const int m = std::max(3, (int)std::min(ceilf(b - a), (float)L));
        const double power_gain = 4.0 / w * (N / L) * (8.0 / 3.0);
        for (int j = 0; j < m; j++) {
            const float t = ((float)j + 0.5f) / (float)m;
            const float f = std::clamp(a + t * (b - a), 0.f, (float)(L / 2) - 0.001f);
            const float g = 0.5f - 0.5f * cosf(2.f * PI * t);
            taps.push_back({(int)f, f - floorf(f), (float)(power_gain * g * g * (b - a) / m)});
        }
    }
    first_tap[(size_t)H] = (int)taps.size();

    std::vector<float> hann((size_t)L);
    for (int j = 0; j < L; j++)
        hann[(size_t)j] = 0.5f - 0.5f * cosf(2.f * PI * ((float)j + 0.5f) / (float)L);

    CoarseJob job;
    job.rows = rows;
    job.samples = samples;
    job.n = n;
    job.W = W;
    job.H = H;
    job.columns = std::min(W, COARSE_COLUMNS);
    job.hann = hann.data();
    job.taps = taps.data();
    job.first_tap = first_tap.data();
    std::vector<float> grid((size_t)job.columns * (size_t)H);
    job.grid = grid.data();
    job.next_frame.store(0);
    job.next_row.store(0);

    if (threads < 1)
        threads = CORE_COUNT;
    threads = std::max(1, std::min(threads, job.columns));
    run_workers(coarse_frames_worker, &job, threads);
    run_workers(coarse_rows_worker, &job, threads);
    return 1;
}
