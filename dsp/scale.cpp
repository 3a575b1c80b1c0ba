// Frequency scale and band geometry: axis mappings, notes, image and block geometry, transform
// sizes and the Blackman-square interpolation kernel.
#include "dsp/scale.h"

#include "core/state.h"
#include "platform/util.h"

#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <mutex>

// ---------------------------------------------------------------------------------------------
// [SECTION] Frequency axis
// ---------------------------------------------------------------------------------------------

static const float LN2 = 0.6931472f;

LogAxis log_axis(float fmin, float fmax, float base)
{
    LogAxis axis{};
    axis.fmin = fmin;
    axis.fmax = fmax;
    axis.base = base;
    if (base == 1.f)
        return axis;
    axis.span = logf(fmax) - logf(fmin);
    axis.top = powf(base, axis.span / LN2);
    // The inverse maps f to ln(fmin + (top fmin - fmin) (f - fmin) / (fmax - fmin)); its values
    // at both ends:
    axis.g_min = logf(fmin);
    axis.g_max = logf(fmin + (axis.top * fmin - fmin));
    return axis;
}

float log_axis_pos(const LogAxis& axis, float x)
{
    const float fmin = axis.fmin, fmax = axis.fmax;
    if (axis.base == 1.f)
        return fmin + x * (fmax - fmin);
    // fmin + (fmax - fmin) * (r^(k x) - 1) / (r^k - 1) with r = fmax / fmin, k = log2(base)
    float p = powf(axis.base, x * axis.span / LN2);
    return fmin + (fmax - fmin) * (p * fmin - fmin) / (axis.top * fmin - fmin);
}

// ln x for a positive, normal, finite x: the exponent's share plus 2 atanh((m - 1) / (m + 1)) of
// the mantissa m brought within [sqrt(1/2), sqrt(2)). Within one float step of the library's
// logf, and free of calls and branches, so that a loop over many values runs in vector registers
// (the analysis takes it for every bin of every band).
static inline float log_series(float x)
{
    const uint32_t bits = std::bit_cast<uint32_t>(x);
    int e = (int)(bits >> 23) - 127;
    float m = std::bit_cast<float>((bits & 0x7fffffu) | 0x3f800000u); // 1 <= m < 2
    const int high = m > 1.41421356f;
    m *= 1.f - 0.5f * (float)high;
    e += high;
    const float s = (m - 1.f) / (m + 1.f); // |s| <= 0.1716
    const float s2 = s * s;
    return (float)e * LN2 + s * (2.f + s2 * (2.f / 3 + s2 * (2.f / 5 + s2 * (2.f / 7 + s2 * (2.f / 9)))));
}

// ln x for any x: the series where it holds, the library's logf for the rest (0, negatives,
// infinities, NaN and numbers too small for a normal float).
static inline float log_any(float x) { return x >= FLT_MIN && x <= FLT_MAX ? log_series(x) : logf(x); }

// The logarithm's argument at frequency f (base > 1).
static inline float log_axis_arg(const LogAxis& axis, float f)
{
    return axis.fmin + (axis.top * axis.fmin - axis.fmin) * (f - axis.fmin) / (axis.fmax - axis.fmin);
}

float log_axis_inv(const LogAxis& axis, float f)
{
    const float fmin = axis.fmin, fmax = axis.fmax;
    if (axis.base <= 1.f)
        return (f - fmin) / (fmax - fmin);
    // The logarithm of the scaled frequency, normalised between its values at both ends.
    return (log_any(log_axis_arg(axis, f)) - axis.g_min) / (axis.g_max - axis.g_min);
}

void log_axis_inv_bins(const LogAxis& axis, int lo, int N, int n, float* out)
{
    if (axis.base <= 1.f) {
        for (int k = 0; k < n; k++)
            out[k] = log_axis_inv(axis, (float)(lo + k) / (float)N);
        return;
    }
    for (int k = 0; k < n; k++)
        out[k] = log_axis_arg(axis, (float)(lo + k) / (float)N);
    // The argument is linear in the frequency, so when both ends are normal numbers all the ones
    // between are.
    const auto normal_at = [out](int k) { return out[k] >= FLT_MIN && out[k] <= FLT_MAX; };
    const bool normal = n < 1 || (normal_at(0) && normal_at(n - 1));
    const float g_min = axis.g_min, g_range = axis.g_max - axis.g_min;
    if (normal)
        for (int k = 0; k < n; k++)
            out[k] = (log_series(out[k]) - g_min) / g_range;
    else
        for (int k = 0; k < n; k++)
            out[k] = (log_any(out[k]) - g_min) / g_range;
}

float log_pos_b(float x, float fmin, float fmax, float base) { return log_axis_pos(log_axis(fmin, fmax, base), x); }

float log_pos_inv_b(float f, float fmin, float fmax, float base)
{
    return log_axis_inv(log_axis(fmin, fmax, base), f);
}

float log_pos(float x, float fmin, float fmax) { return log_pos_b(x, fmin, fmax, LOGBASE); }

float log_pos_inv(float f, float fmin, float fmax) { return log_pos_inv_b(f, fmin, fmax, LOGBASE); }

float log_bf(float v)
{
    if (LOGBASE == 1.f)
        return v;
    return logf(v) / logf(LOGBASE);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Notes
// ---------------------------------------------------------------------------------------------

const char* const NOTE_NAMES[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};

float note_to_freq(float note) { return (float)(440.0 * pow(2.0, ((double)note - 57.0) / 12.0)); }

float freq_to_note(float freq) { return (float)(12.0 * log((double)freq / 440.0) / log(2.0) + 57.0); }

int note_in_octave(int note) { return ((note % 12) + 12) % 12; }

int note_octave(int note) { return (note - note_in_octave(note)) / 12; }

// ---------------------------------------------------------------------------------------------
// [SECTION] Image and block geometry
// ---------------------------------------------------------------------------------------------

int image_height(float fmin, float fmax, float bpo)
{
    return (int)((log2f(fmax) - log2f(fmin)) * bpo + 1.f + 0.5f);
}

void init_block_len(int bw, int* len, float pps)
{
    // Half a block in samples, rounded to the nearest (ties to even); the product is formed in
    // integers, the division in single precision.
    int half = (int)nearbyintf((float)((bw / 2) * SOUND_SAMPLERATE) / pps);
    *len = nextlprime(2 * half);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Transform sizes
// ---------------------------------------------------------------------------------------------

const int fft_size[FFT_SIZE_COUNT] = {
    60, 64, 72, 75, 80, 100, 120, 125, 128, 135, 144, 150,
    160, 180, 200, 225, 240, 256, 300, 320, 375, 400, 405, 432,
    500, 512, 540, 576, 625, 640, 648, 720, 768, 800, 810, 864,
    900, 960, 1000, 1080, 1152, 1200, 1280, 1296, 1350, 1440, 1500, 1600,
    1620, 1728, 1800, 1920, 2000, 2025, 2160, 2304, 2400, 2560, 2700, 2880,
    3000, 3200, 3375, 3600, 3840, 4000, 4050, 4320, 4500, 4800, 5120, 5184,
    5400, 5625, 6000, 6400, 6480, 6912, 7200, 7500, 8000, 8100, 8640, 8748,
    9000, 9375, 9600, 10000, 10368, 10800, 10935, 11520, 12500, 12960, 13500, 13824,
    14400, 14580, 15000, 15625, 16000, 16200, 17280, 18000, 19200, 19440, 20000, 20736,
    21600, 23040, 24000, 24300, 25920, 27000, 28800, 30000, 30375, 32000, 32400, 34560,
    36000, 38400, 40000, 40500, 43200, 45000, 46080, 48000, 50000, 50625, 51840, 54000,
    57600, 60000, 62500, 64000, 67500, 72000, 72900, 75000, 80000, 84375, 90000, 96000,
    97200, 100000, 103680, 104976, 112500, 120000, 125000, 129600, 131220, 140625, 150000, 160000,
    162000, 164025, 174960, 187500, 200000, 202500, 207360, 216000, 218700, 234375, 250000, 259200,
    270000, 273375, 291600, 312500, 324000, 337500, 345600, 360000, 364500, 390625, 405000, 421875,
    432000, 450000, 455625, 486000, 518400, 540000, 562500, 576000, 607500, 648000, 675000, 703125,
    720000, 759375, 781250, 800000, 810000, 843750, 864000, 900000, 937500, 1000000, 1012500, 1080000,
    1125000, 1171875, 1200000, 1250000, 1265625, 1280000, 1350000, 1406250, 1440000, 1500000, 1562500, 1600000,
    1687500, 1875000, 2000000, 2109375, 2250000, 2343750, 2400000, 2500000, 2531250, 2812500, 3125000, 3200000,
    3515625, 3750000, 3906250, 4000000, 4100625, 4687500, 5000000, 5062500, 5184000, 5400000, 5467500, 5859375,
    6250000, 6328125, 6480000, 6561000, 6635520
};

// True when n (>= 1) has no prime factor above 5.
static bool is_5_smooth(int64_t n)
{
    for (int p : {2, 3, 5})
        while (n % p == 0)
            n /= p;
    return n == 1;
}

int nextlprime(int n)
{
    if (n <= 1)
        return 1;
    for (int64_t m = n; m <= INT_MAX; m++)
        if (is_5_smooth(m))
            return (int)m;
    return 0;
}

int next_fast_fft_size(int n)
{
    // Binary search for the first entry >= n.
    int lo = 0, hi = FFT_SIZE_COUNT;
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        if (fft_size[mid] < n)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < FFT_SIZE_COUNT)
        return fft_size[lo];
    return nextlprime(n);
}

int find_largest_prime_factor(int n)
{
    if (n < 2)
        return 2;
    int last = 2;
    for (int d = 2; n > 1; d++) {
        if ((int64_t)d * d > n) // what is left has no divisor up to its root: it is prime
            return n;
        while (n % d == 0) {
            n /= d;
            last = d;
        }
    }
    return last;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Blackman-square kernel
// ---------------------------------------------------------------------------------------------

float* lut = nullptr;

void bmsq_lut()
{
    static std::once_flag built;
    std::call_once(built, [] {
        // Cosine series of the kernel: (harmonic, weight) pairs.
        static const int harmonic[13] = {1, 2, 4, 5, 7, 8, 10, 11, 13, 14, 16, 17, 19};
        static const float weight[13] = {-0.6595044f,     0.16017413f,    -0.0010709178f, 0.00014500936f,
                                         0.000100852805f, 6.530929e-5f,   2.9338562e-5f,  2.0535155e-5f,
                                         1.0856768e-5f,   8.154946e-6f,   4.851931e-6f,   3.8284343e-6f,
                                         2.475363e-6f};
        float* table = static_cast<float*>(wrcalloc((size_t)BMSQ_LUT_SIZE + 2, sizeof(float)));
        const float step = PI * 0.0001875f * (2.f / 3.f); // 2 pi over the 16000 table steps
        for (int k = 0; k <= BMSQ_LUT_SIZE; k++) {
            float theta = (float)k * step;
            float sum = 0.f;
            for (int m = 0; m < 13; m++)
                sum += weight[m] * (cosf((float)harmonic[m] * theta) - 1.f);
            table[k] = sum;
        }
        lut = table;
    });
}

void blackman_square_interpolation(const float* in, float* out, int in_len, int out_len)
{
    if (out_len < 1 || in_len < 1)
        return;
    bmsq_lut();
    const float s = (float)BMSQ_LUT_SIZE / 3.f;
    const float ratio = (float)in_len / (float)out_len;
    for (int i = 0; i < out_len; i++) {
        float t = (float)i * ratio;
        int j_hi = (int)(t + 1.5f);
        int j_lo = j_hi - 2 > 0 ? j_hi - 2 : 0;
        if (j_hi >= in_len)
            j_hi = in_len - 1;
        for (int j = j_lo; j <= j_hi; j++) {
            float u = ((float)j - t + 1.5f) * s;
            int idx = (int)u; // u >= 0 up to rounding; a tiny negative u truncates to 0
            float frac = fmodf(u, 1.f);
            float w = lut[idx] + (lut[idx + 1] - lut[idx]) * frac;
            out[i] += w * in[j];
        }
    }
}
