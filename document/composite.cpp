// Compositing: blending modes, groups and the compositing pass.
#include "document/composite.h"
#include "core/state.h"
#include "document/hooks.h"
#include "dsp/fftf.h"
#include "dsp/scale.h"
#include "platform/util.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Blending modes
// ---------------------------------------------------------------------------------------------

const char* const blending_name[BLEND_MODE_COUNT] = {
    "addition", "multiplication", "division", "reverse division", "subtraction", "reverse subtraction",
    "difference", "minimum", "maximum", "vertical propagation", "horizontal propagation",
    "horizontal propagation looped", "convolution", "convolution looped",
};

const char* const blend_tag[BLEND_MODE_COUNT] = {
    "Add", "Mul", "Div", "RDiv", "Sub", "RSub", "Diff", "Min", "Max", "VProp", "HProp", "HPropL", "Conv", "ConvL",
};

const char* const blend_menu_label[BLEND_MODE_COUNT] = {
    "Addition", "Multiplication", "Division", "Division (Reverse Order)", "Subtraction",
    "Subtraction (Reverse Order)", "Difference", "Minimum", "Maximum", "Vertical Propagation",
    "Horizontal Propagation", "Horizontal Propagation (Looped)", "Convolution", "Convolution (Looped)",
};

// One row of a point-wise mode (0..8): d <- s blended into d.
static void blend_row(const float* s, float* d, int w, int mode)
{
    switch (mode) {
    case 0:
        for (int x = 0; x < w; x++)
            d[x] += s[x];
        break;
    case 1:
        for (int x = 0; x < w; x++)
            d[x] *= s[x];
        break;
    case 2:
        for (int x = 0; x < w; x++)
            d[x] = s[x] != 0.f ? d[x] / s[x] : 0.f;
        break;
    case 3:
        for (int x = 0; x < w; x++)
            d[x] = d[x] > 0.f ? s[x] / d[x] : 0.f;
        break;
    case 4:
        for (int x = 0; x < w; x++) {
            const float v = d[x] - s[x];
            d[x] = v >= 0.f ? v : 0.f;
        }
        break;
    case 5:
        for (int x = 0; x < w; x++) {
            const float v = s[x] - d[x];
            d[x] = v >= 0.f ? v : 0.f;
        }
        break;
    case 6:
        for (int x = 0; x < w; x++) {
            const float v = s[x] - d[x];
            d[x] = v >= 0.f ? v : d[x] - s[x];
        }
        break;
    case 7:
        for (int x = 0; x < w; x++)
            if (d[x] > s[x])
                d[x] = s[x];
        break;
    case 8:
        for (int x = 0; x < w; x++)
            if (s[x] > d[x])
                d[x] = s[x];
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Propagation and convolution
// ---------------------------------------------------------------------------------------------
//
// Modes 9..13 are sums of S x D products over shifted positions: along each column (9), along
// each row (10, 11) or over the plane (12, 13). Two ways give the same sums up to rounding:
// - the direct sums visit only non-zero values, (non-zero S) x (non-zero D) multiply-adds:
//   cheap for a kernel of a few painted points, hours for a dense one on a large document;
// - products of spectra (zero-padded wherever the sums must not wrap), whose cost does not
//   depend on the content.
// Each column, row or plane takes the cheaper way. Spectra are only used when every value is
// finite (an infinity or NaN would spread over the whole transform, where the direct sums carry
// it only to the positions it reaches) and on values divided by their largest magnitude, so
// that nothing finite overflows inside the transforms. Outputs of non-negative inputs are kept
// non-negative (the rounding of the transforms would otherwise leave tiny negative values).

constexpr double DIRECT_COST = 1.0;       // time of one multiply-add of the direct sums
constexpr double TRANSFORM_COST = 0.8;    // time of a transform of n values, per n * log2(n)
constexpr int64_t PARALLEL_MIN = 1 << 16; // work (pixels, or multiply-adds) worth helper threads
constexpr int TILE = 16;                  // columns gathered together: a cache line of floats
constexpr int ROW_BLOCK = 8;              // rows handed out together

// Work items 0..count-1, handed out one at a time to the calling thread and its helpers.
struct ParallelJob {
    std::atomic<int> next{0};
    int count = 0;
    const std::function<void(int)>* body = nullptr;
};

static void* parallel_worker(void* arg)
{
    ParallelJob* job = static_cast<ParallelJob*>(arg);
    for (int i = job->next.fetch_add(1); i < job->count; i = job->next.fetch_add(1))
        (*job->body)(i);
    return nullptr;
}

// Runs body(i) for every i in 0..count-1; with `share`, CORE_COUNT helper threads take items
// too (one that cannot start leaves its share to the others). Items must touch disjoint data.
static void parallel_for(int count, bool share, const std::function<void(int)>& body)
{
    ParallelJob job;
    job.count = count;
    job.body = &body;
    const int helpers = share ? std::min(CORE_COUNT, count - 1) : 0;
    std::vector<ThreadRecord> threads((size_t)std::max(helpers, 0));
    for (ThreadRecord& t : threads)
        thread_spawn(&t, parallel_worker, &job);
    parallel_worker(&job);
    for (ThreadRecord& t : threads)
        thread_wait(&t, nullptr);
}

// What the choice between the two ways needs to know about some values.
struct ValueStats {
    int64_t nonzero = 0;   // values other than zero (NaN included)
    bool finite = true;    // every value is finite
    bool negative = false; // some value is below zero
    float peak = 0.f;      // largest magnitude
};

static void add_stats(ValueStats* st, const float* v, int n)
{
    for (int i = 0; i < n; i++) {
        const float x = v[i];
        if (x == 0.f)
            continue;
        st->nonzero++;
        if (!std::isfinite(x)) {
            st->finite = false;
            continue;
        }
        st->peak = std::max(st->peak, fabsf(x));
        st->negative |= x < 0.f;
    }
}

static double transform_cost(int n)
{
    return TRANSFORM_COST * (double)n * std::log2((double)std::max(n, 2));
}

// z = x * y * scale for the halfcomplex spectra x, y of n values (z may be x or y).
static void spectrum_product(const float* x, const float* y, float* z, int n, float scale)
{
    z[0] = x[0] * y[0] * scale;
    for (int k = 1; k < n - k; k++) {
        const float xr = x[k], xi = x[n - k], yr = y[k], yi = y[n - k];
        z[k] = (xr * yr - xi * yi) * scale;
        z[n - k] = (xr * yi + xi * yr) * scale;
    }
    if (n % 2 == 0)
        z[n / 2] = x[n / 2] * y[n / 2] * scale;
}

// For complex sequences a = ar + i ai and b = br + i bi, given as the halfcomplex spectra of
// their real and imaginary parts: the spectra of the real part (into ar) and of the imaginary
// part (into ai) of their convolution, times `scale`.
static void complex_spectrum_product(float* ar, float* ai, const float* br, const float* bi, int n, float scale)
{
    auto real_bin = [&](int k) {
        const float xr = ar[k], xi = ai[k];
        ar[k] = (xr * br[k] - xi * bi[k]) * scale;
        ai[k] = (xr * bi[k] + xi * br[k]) * scale;
    };
    real_bin(0);
    for (int k = 1; k < n - k; k++) {
        // Bin k of each spectrum: (re, im) at (k, n - k).
        const float arr = ar[k], ari = ar[n - k], air = ai[k], aii = ai[n - k];
        const float brr = br[k], bri = br[n - k], bir = bi[k], bii = bi[n - k];
        ar[k] = (arr * brr - ari * bri - air * bir + aii * bii) * scale;
        ar[n - k] = (arr * bri + ari * brr - air * bii - aii * bir) * scale;
        ai[k] = (arr * bir - ari * bii + air * brr - aii * bri) * scale;
        ai[n - k] = (arr * bii + ari * bir + air * bri + aii * brr) * scale;
    }
    if (n % 2 == 0)
        real_bin(n / 2);
}

// Index m of a full convolution of two n-value lines that lands on output j = m - c: m itself,
// or m modulo n when looped; -1 when it lies outside the convolution (0 .. 2n - 2).
static inline int64_t convolution_index(int64_t m, int n, bool looped)
{
    if (looped)
        return ((m % n) + n) % n;
    return m >= 0 && m <= 2 * (int64_t)n - 2 ? m : -1;
}

// An output value of the transforms: scaled back by both peaks, kept >= 0 when `clamp`.
static inline float output_value(float v, const ValueStats& a, const ValueStats& b, bool clamp)
{
    v = v * a.peak * b.peak;
    return clamp && v < 0.f ? 0.f : v;
}

// Scratch of the line sums, reused from line to line.
struct LineScratch {
    std::vector<float> fa, fb; // transform buffers
    std::vector<int> at;       // positions of the destination's non-zero values
    std::vector<float> value;  // those values
};

// t[j] = sum over x of a[x] * b[j - x + c], visiting only non-zero values (t starts zeroed).
static void line_direct(const float* a, const float* b, float* t, int n, int64_t c, bool looped, LineScratch* sc)
{
    sc->at.clear();
    sc->value.clear();
    for (int k = 0; k < n; k++)
        if (b[k] != 0.f) {
            sc->at.push_back(k);
            sc->value.push_back(b[k]);
        }
    const int* at = sc->at.data();
    const float* value = sc->value.data();
    const int nb = (int)sc->at.size();
    for (int x = 0; x < n; x++) {
        const float av = a[x];
        if (av == 0.f) // NaN passes: it is not zero
            continue;
        const int64_t shift = (int64_t)x - c;
        if (looped) {
            const int off = (int)(((shift % n) + n) % n);
            for (int e = 0; e < nb; e++) {
                int j = at[e] + off;
                if (j >= n)
                    j -= n;
                t[j] += av * value[e];
            }
        } else if (shift > -n && shift < n) {
            const int sh = (int)shift;
            const int e0 = (int)(std::lower_bound(at, at + nb, std::max(0, -sh)) - at);
            const int e1 = (int)(std::lower_bound(at, at + nb, std::min(n, n - sh)) - at);
            for (int e = e0; e < e1; e++)
                t[at[e] + sh] += av * value[e];
        }
    }
}

// The same sums through spectra of length N (n when looped, else at least 2n).
static void line_transform(const float* a, const float* b, float* t, int n, int64_t c, bool looped, int N,
                           const ValueStats& sa, const ValueStats& sb, LineScratch* sc)
{
    sc->fa.assign((size_t)N, 0.f);
    sc->fb.assign((size_t)N, 0.f);
    float* fa = sc->fa.data();
    float* fb = sc->fb.data();
    for (int k = 0; k < n; k++) {
        fa[k] = a[k] / sa.peak;
        fb[k] = b[k] / sb.peak;
    }
    fftf(fa, fa, N, FFT_FORWARD);
    fftf(fb, fb, N, FFT_FORWARD);
    spectrum_product(fa, fb, fa, N, sqrtf((float)N));
    fftf(fa, fa, N, FFT_INVERSE);
    const bool clamp = !sa.negative && !sb.negative;
    for (int j = 0; j < n; j++) {
        const int64_t m = convolution_index((int64_t)j + c, n, looped);
        t[j] = m < 0 ? 0.f : output_value(fa[m], sa, sb, clamp);
    }
}

// t[j] = sum over x of a[x] * b[j - x + c] for j in 0..n-1; b's index wraps modulo n when
// looped, else terms outside 0..n-1 are dropped. Only non-zero values contribute.
static void line_sums(const float* a, const float* b, float* t, int n, int64_t c, bool looped, BlendSums sums,
                      LineScratch* sc)
{
    std::fill(t, t + n, 0.f);
    ValueStats sa, sb;
    add_stats(&sa, a, n);
    add_stats(&sb, b, n);
    if (!sa.nonzero || !sb.nonzero)
        return;
    const int N = looped ? n : next_fast_fft_size(2 * n);
    bool transform = sums != BLEND_SUMS_DIRECT && sa.finite && sb.finite && (looped || N >= 2 * n);
    if (transform && sums == BLEND_SUMS_CHEAPER)
        transform = DIRECT_COST * (double)sa.nonzero * (double)sb.nonzero > 3.0 * transform_cost(N);
    if (transform)
        line_transform(a, b, t, n, c, looped, N, sa, sb, sc);
    else
        line_direct(a, b, t, n, c, looped, sc);
}

// Vertical propagation, column by column: T[j] = sum over rows y of S[y][x] * D[j - y + cy][x].
// Columns are gathered TILE at a time, so that the rows are read a cache line at a time.
static void propagate_vertical(Plane s, Plane d, int w, int h, int cy, BlendSums sums)
{
    const int tiles = (w + TILE - 1) / TILE;
    parallel_for(tiles, (int64_t)w * h >= PARALLEL_MIN, [&](int tile) {
        const int x0 = tile * TILE, nx = std::min(TILE, w - x0);
        std::vector<float> a((size_t)nx * h), b((size_t)nx * h), t((size_t)h);
        LineScratch sc;
        for (int r = 0; r < h; r++) {
            const float* sr = s[r];
            const float* dr = d[r];
            for (int k = 0; k < nx; k++) {
                a[(size_t)k * h + r] = sr ? sr[x0 + k] : 0.f;
                b[(size_t)k * h + r] = dr ? dr[x0 + k] : 0.f;
            }
        }
        for (int k = 0; k < nx; k++) {
            float* bk = b.data() + (size_t)k * h;
            line_sums(a.data() + (size_t)k * h, bk, t.data(), h, cy, false, sums, &sc);
            std::copy(t.begin(), t.end(), bk);
        }
        for (int r = 0; r < h; r++)
            if (d[r])
                for (int k = 0; k < nx; k++)
                    d[r][x0 + k] = b[(size_t)k * h + r];
    });
}

// Horizontal propagation, row by row: T[j] = sum over columns x of S[y][x] * D[y][j - x + cx],
// the column index wrapping when `looped`. A row missing in either plane is left as it is.
static void propagate_horizontal(Plane s, Plane d, int w, int h, int cx, bool looped, BlendSums sums)
{
    parallel_for((h + ROW_BLOCK - 1) / ROW_BLOCK, (int64_t)w * h >= PARALLEL_MIN, [&](int block) {
        std::vector<float> t((size_t)w);
        LineScratch sc;
        for (int y = block * ROW_BLOCK; y < std::min(h, (block + 1) * ROW_BLOCK); y++) {
            if (!s[y] || !d[y])
                continue;
            line_sums(s[y], d[y], t.data(), w, cx, looped, sums, &sc);
            memcpy(d[y], t.data(), (size_t)w * sizeof(float));
        }
    });
}

// The 2-D sums directly: every non-zero S value adds the non-zero D values shifted by
// (y - cy, x - cx), scaled by it. Shared out by bands of output rows.
static void convolve_direct(Plane s, Plane d, int w, int h, int cx, int cy, bool looped, int64_t work)
{
    // D's non-zero values row by row, and the rows that hold any.
    std::vector<int> row_start((size_t)h + 1), at, rows;
    std::vector<float> value;
    for (int r = 0; r < h; r++) {
        row_start[(size_t)r] = (int)at.size();
        if (d[r])
            for (int k = 0; k < w; k++)
                if (d[r][k] != 0.f) {
                    at.push_back(k);
                    value.push_back(d[r][k]);
                }
        if ((int)at.size() > row_start[(size_t)r])
            rows.push_back(r);
    }
    row_start[(size_t)h] = (int)at.size();

    std::vector<float> t((size_t)w * (size_t)h);
    const bool share = work >= PARALLEL_MIN;
    const int bands = share ? std::min(h, 4 * (CORE_COUNT + 1)) : 1;
    parallel_for(bands, share, [&](int band) {
        const int i0 = (int)((int64_t)h * band / bands), i1 = (int)((int64_t)h * (band + 1) / bands);
        for (int y = 0; y < h; y++) {
            const int64_t sy = (int64_t)y - cy;
            // D rows r that land inside this band: i0 <= r + sy < i1.
            const int64_t rlo = std::max<int64_t>(0, i0 - sy), rhi = std::min<int64_t>(h, i1 - sy);
            if (!s[y] || rlo >= rhi)
                continue;
            const auto first_row = std::lower_bound(rows.begin(), rows.end(), (int)rlo);
            for (int x = 0; x < w; x++) {
                const float sv = s[y][x];
                if (sv == 0.f) // NaN passes: it is not zero
                    continue;
                const int64_t sx = (int64_t)x - cx;
                if (!looped && (sx <= -w || sx >= w))
                    continue;
                const int off = looped ? (int)(((sx % w) + w) % w) : (int)sx;
                for (auto it = first_row; it != rows.end() && *it < rhi; ++it) {
                    const int r = *it;
                    float* trow = t.data() + (size_t)(r + sy) * (size_t)w;
                    const int* ra = at.data() + row_start[(size_t)r];
                    const float* rv = value.data() + row_start[(size_t)r];
                    const int n = row_start[(size_t)r + 1] - row_start[(size_t)r];
                    if (looped) {
                        for (int e = 0; e < n; e++) {
                            int j = ra[e] + off;
                            if (j >= w)
                                j -= w;
                            trow[j] += sv * rv[e];
                        }
                    } else {
                        const int e0 = (int)(std::lower_bound(ra, ra + n, std::max(0, -off)) - ra);
                        const int e1 = (int)(std::lower_bound(ra, ra + n, std::min(w, w - off)) - ra);
                        for (int e = e0; e < e1; e++)
                            trow[ra[e] + off] += sv * rv[e];
                    }
                }
            }
        }
    });
    for (int r = 0; r < h; r++)
        if (d[r])
            memcpy(d[r], t.data() + (size_t)r * (size_t)w, (size_t)w * sizeof(float));
}

// `src` (w values, or null for zeros) divided by `peak` and zero-padded to n, into its spectrum.
static void row_spectrum(const float* src, float* out, int w, int n, float peak)
{
    std::fill(out, out + n, 0.f);
    if (!src)
        return;
    bool any = false;
    for (int x = 0; x < w; x++) {
        out[x] = src[x] / peak;
        any |= src[x] != 0.f;
    }
    if (any)
        fftf(out, out, n, FFT_FORWARD);
}

using FloatBuffer = std::unique_ptr<float, void (*)(void*)>;

// The 2-D sums through spectra: Nw columns (w when looped, else at least 2w) by Nh rows (at
// least 2h, rows never wrap). Rows are transformed first; then, for every column frequency,
// the complex sequences down the rows are convolved through the spectra of their real and
// imaginary parts; then the rows are transformed back. Returns false (D untouched) when the
// two working planes cannot be had.
static bool convolve_transform(Plane s, Plane d, int w, int h, int cx, int cy, bool looped, int Nw, int Nh,
                               const ValueStats& ss, const ValueStats& sd)
{
    const size_t stride = (size_t)Nw, size = stride * (size_t)h;
    FloatBuffer a_buf(static_cast<float*>(malloc(size * sizeof(float))), free);
    FloatBuffer b_buf(static_cast<float*>(malloc(size * sizeof(float))), free);
    if (!a_buf || !b_buf)
        return false;
    float* A = a_buf.get();
    float* B = b_buf.get();
    const bool share = (int64_t)w * h >= PARALLEL_MIN;
    const int row_blocks = (h + ROW_BLOCK - 1) / ROW_BLOCK;

    parallel_for(row_blocks, share, [&](int block) {
        for (int y = block * ROW_BLOCK; y < std::min(h, (block + 1) * ROW_BLOCK); y++) {
            row_spectrum(s[y], A + (size_t)y * stride, w, Nw, ss.peak);
            row_spectrum(d[y], B + (size_t)y * stride, w, Nw, sd.peak);
        }
    });

    // Column frequency k sits at k (real part) and Nw - k (imaginary part) of every row; 0 and
    // (for even Nw) Nw / 2 are real only. Each item rewrites B's columns of its own frequencies
    // with rows cy .. cy + h - 1 of their convolution down the rows.
    const int pairs = (Nw - 1) / 2;
    const int tiles = (pairs + TILE - 1) / TILE;
    const float scale = sqrtf((float)Nh) * sqrtf((float)Nw);
    parallel_for(tiles + 1, share, [&](int item) {
        const bool real_only = item == tiles;
        const int k0 = 1 + item * TILE;
        const int nk = real_only ? (Nw % 2 == 0 && Nw > 1 ? 2 : 1) : std::min(TILE, pairs - k0 + 1);
        std::vector<float> buf((size_t)4 * (size_t)nk * (size_t)Nh, 0.f);
        auto column = [&](int part, int t) { return buf.data() + ((size_t)part * (size_t)nk + (size_t)t) * Nh; };
        // Real and imaginary column of frequency number t of this item.
        auto re_col = [&](int t) { return real_only ? (t == 0 ? 0 : Nw / 2) : k0 + t; };
        auto im_col = [&](int t) { return Nw - k0 - t; };
        for (int y = 0; y < h; y++) {
            const float* ay = A + (size_t)y * stride;
            const float* by = B + (size_t)y * stride;
            for (int t = 0; t < nk; t++) {
                column(0, t)[y] = ay[re_col(t)];
                column(2, t)[y] = by[re_col(t)];
                if (!real_only) {
                    column(1, t)[y] = ay[im_col(t)];
                    column(3, t)[y] = by[im_col(t)];
                }
            }
        }
        for (int t = 0; t < nk; t++) {
            float* ar = column(0, t);
            float* ai = column(1, t);
            float* br = column(2, t);
            float* bi = column(3, t);
            fftf(ar, ar, Nh, FFT_FORWARD);
            fftf(br, br, Nh, FFT_FORWARD);
            if (real_only) {
                spectrum_product(ar, br, ar, Nh, scale);
            } else {
                fftf(ai, ai, Nh, FFT_FORWARD);
                fftf(bi, bi, Nh, FFT_FORWARD);
                complex_spectrum_product(ar, ai, br, bi, Nh, scale);
                fftf(ai, ai, Nh, FFT_INVERSE);
            }
            fftf(ar, ar, Nh, FFT_INVERSE);
        }
        for (int i = 0; i < h; i++) {
            const int64_t m = convolution_index((int64_t)i + cy, h, false);
            float* bi_row = B + (size_t)i * stride;
            for (int t = 0; t < nk; t++) {
                bi_row[re_col(t)] = m < 0 ? 0.f : column(0, t)[m];
                if (!real_only)
                    bi_row[im_col(t)] = m < 0 ? 0.f : column(1, t)[m];
            }
        }
    });

    const bool clamp = !ss.negative && !sd.negative;
    parallel_for(row_blocks, share, [&](int block) {
        for (int i = block * ROW_BLOCK; i < std::min(h, (block + 1) * ROW_BLOCK); i++) {
            if (!d[i])
                continue;
            float* row = B + (size_t)i * stride;
            fftf(row, row, Nw, FFT_INVERSE);
            for (int j = 0; j < w; j++) {
                const int64_t m = convolution_index((int64_t)j + cx, w, looped);
                d[i][j] = m < 0 ? 0.f : output_value(row[m], ss, sd, clamp);
            }
        }
    });
    return true;
}

// 2-D convolution: T[i][j] = sum over (y, x) of S[y][x] * D[i - y + cy][j - x + cx]; rows
// never wrap, columns wrap when `looped`.
static void convolve(Plane s, Plane d, int w, int h, int cx, int cy, bool looped, BlendSums sums)
{
    ValueStats ss, sd;
    int64_t d_rows = 0; // rows of D holding a non-zero value
    for (int r = 0; r < h; r++) {
        if (s[r])
            add_stats(&ss, s[r], w);
        if (d[r]) {
            const int64_t before = sd.nonzero;
            add_stats(&sd, d[r], w);
            d_rows += sd.nonzero > before;
        }
    }
    if (!ss.nonzero || !sd.nonzero) {
        for (int r = 0; r < h; r++)
            if (d[r])
                memset(d[r], 0, (size_t)w * sizeof(float));
        return;
    }
    const int64_t direct_work = ss.nonzero * (sd.nonzero + d_rows);
    const int Nh = next_fast_fft_size(2 * h), Nw = looped ? w : next_fast_fft_size(2 * w);
    bool transform = sums != BLEND_SUMS_DIRECT && ss.finite && sd.finite && Nh >= 2 * h && (looped || Nw >= 2 * w);
    if (transform && sums == BLEND_SUMS_CHEAPER)
        transform = DIRECT_COST * (double)direct_work >
                    3.0 * (double)h * transform_cost(Nw) + 3.0 * (double)Nw * transform_cost(Nh);
    if (transform && convolve_transform(s, d, w, h, cx, cy, looped, Nw, Nh, ss, sd))
        return;
    convolve_direct(s, d, w, h, cx, cy, looped, direct_work);
}

void blend_kernel_with(Plane s, Plane d, int w, int h, int cx, int cy, int mode, BlendSums sums)
{
    if (!s || !d || w < 1 || h < 1)
        return;
    switch (mode) {
    case 9:
        propagate_vertical(s, d, w, h, cy, sums);
        break;
    case 10:
    case 11:
        propagate_horizontal(s, d, w, h, cx, mode == 11, sums);
        break;
    case 12:
    case 13:
        convolve(s, d, w, h, cx, cy, mode == 13, sums);
        break;
    default:
        break;
    }
}

void blend_two_layers(Plane s, Plane d, int w, int h, int cx, int cy, int mode, int not_first)
{
    if (!s || !d || w < 1 || h < 1 || mode < 0 || mode >= BLEND_MODE_COUNT)
        return;
    if (!not_first) {
        // Into a freshly zeroed destination only these modes give something other than zero.
        if (mode == 0 || mode == 5 || mode == 6 || mode == 8)
            for (int y = 0; y < h; y++)
                if (s[y] && d[y])
                    memcpy(d[y], s[y], (size_t)w * sizeof(float));
        return;
    }
    if (mode >= 9) {
        blend_kernel_with(s, d, w, h, cx, cy, mode, BLEND_SUMS_CHEAPER);
        return;
    }
    for (int y = 0; y < h; y++)
        if (s[y] && d[y])
            blend_row(s[y], d[y], w, mode);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Groups and compositing
// ---------------------------------------------------------------------------------------------

void layer_groups(ImageStack* image)
{
    int g = 0;
    for (int i = 0; i < image->count; i++) {
        Layer* l = &image->layers[i];
        if (!l->plane)
            g = i;
        l->group = g;
    }
}

void process_layer_disabling(ImageStack* image)
{
    bool in_off_group = false;
    int off_group = 0;
    for (int i = 0; i < image->count; i++) {
        Layer* l = &image->layers[i];
        if (l->off) {
            l->disabled = 1;
            if (!l->plane) {
                off_group = l->group;
                in_off_group = true;
            }
            continue;
        }
        if (in_off_group && l->group == off_group) {
            l->disabled = 1;
            continue;
        }
        in_off_group = false;
        l->disabled = 0;
    }
}

static void zero_plane(Plane p, int rows, int cols)
{
    if (!p)
        return;
    for (int r = 0; r < rows; r++)
        if (p[r])
            memset(p[r], 0, (size_t)cols * sizeof(float));
}

// The composite from the layer table; the caller holds `layers_lock`.
static void composite_layers(ImageStack* image)
{
    const int w = image->w, h = image->h;
    Plane comp = image->composite, acc = image->group_acc;
    zero_plane(comp, h, w);
    zero_plane(acc, h, w);
    if (image->count < 1)
        return;
    layer_groups(image);
    process_layer_disabling(image);

    if (key[state_of(K_VIEW_GROUP_ONLY)]) {
        const int sel = image->sel >= 0 && image->sel < image->count ? image->sel : 0;
        const int group = image->layers[sel].group;
        int not_first = 0;
        for (int i = 0; i < image->count; i++) {
            const Layer* l = &image->layers[i];
            if (!l->plane || l->group != group || l->off)
                continue;
            blend_two_layers(l->plane, comp, w, h, l->conv_x, l->conv_y, l->blend, not_first);
            not_first = 1;
        }
        return;
    }

    if (!acc)
        return;
    int gsep = 0, gm = 0, group_not_first = 0, comp_not_first = 0;
    for (int i = 0; i <= image->count; i++) {
        const Layer* l = i < image->count ? &image->layers[i] : nullptr;
        if (l && l->plane) {
            if (!l->disabled) {
                blend_two_layers(l->plane, acc, w, h, l->conv_x, l->conv_y, l->blend, group_not_first);
                group_not_first = 1;
            }
            continue;
        }
        // A separator or the end of the table closes the current group.
        const Layer* sep = &image->layers[gsep];
        if (gsep == 0 || !sep->off) {
            blend_two_layers(acc, comp, w, h, sep->conv_x, sep->conv_y, gm, comp_not_first);
            comp_not_first = 1;
        }
        zero_plane(acc, h, w);
        gm = l ? l->blend : 0;
        group_not_first = 0;
        gsep = i;
    }
}

void process_layers(EngineState* es)
{
    ImageStack* image = es ? es->image : nullptr;
    if (!image || !image->composite || !image->layers || key[K_LOADING])
        return;
    {
        LockGuard lock(image->layers_lock);
        composite_layers(image);
    }
    if (!key[state_of(K_LIVE_SYNTH)])
        return;
    {
        LockGuard tlock(image->transposed_lock);
        LockGuard llock(image->layers_lock);
        Plane t = image->transposed, comp = image->composite;
        if (t && comp) {
            for (int y = 0; y < image->h; y++) {
                if (!comp[y])
                    continue;
                for (int x = 0; x < image->w; x++)
                    if (t[x])
                        t[x][y] = comp[y][x];
            }
            image->transposed_ready = 1;
        }
    }
    doc_hook(&DocumentHooks::live_volume, es);
}

// True when every row of `p` exists and every value is finite.
static bool plane_complete(Plane p, int w, int h)
{
    if (!p)
        return false;
    for (int y = 0; y < h; y++) {
        if (!p[y])
            return false;
        for (int x = 0; x < w; x++)
            if (!std::isfinite(p[y][x]))
                return false;
    }
    return true;
}

int merge_two_layers(ImageStack* image)
{
    if (!image || !image->layers || image->count < 2 || image->sel < 1 || image->sel >= image->count ||
        image->w < 1 || image->h < 1)
        return 0;
    const Layer* top = &image->layers[image->sel];
    const Layer* below = &image->layers[image->sel - 1];
    if (!plane_complete(top->plane, image->w, image->h) || !plane_complete(below->plane, image->w, image->h))
        return 0;
    blend_two_layers(top->plane, below->plane, image->w, image->h, top->conv_x, top->conv_y, top->blend, 1);
    return 1;
}
