// Colouring the analysis and resampling it to a picture of any size; see resample.h.
#include "render/resample.h"

#include "core/state.h"
#include "render/gfx.h"
#include "files/picture.h"
#include "platform/util.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// ---------------------------------------------------------------------------------------------
// [SECTION] Colours
// ---------------------------------------------------------------------------------------------

static const std::vector<uint32_t> grey_ramp = [] {
    std::vector<uint32_t> g(256);
    for (int i = 0; i < 256; i++)
        g[(size_t)i] = pack_rgb(i, i, i);
    return g;
}();

ViewColours view_colours = {nullptr, 0};

int view_colours_load()
{
    int gw = 0, gh = 0;
    uint8_t* g = load_image_ph("gfx/gradient.png", &gw, &gh, 0);
    const bool ok = g && gw >= 1 && gh >= 1;
    if (ok) {
        // The first row of the gradient picture is the colour map; it lives for the whole run.
        static std::vector<uint32_t> map;
        map.assign((size_t)gw, 0);
        for (int i = 0; i < gw; i++)
            map[(size_t)i] = pack_rgb(g[4 * i], g[4 * i + 1], g[4 * i + 2]);
        view_colours.gradient = map.data();
        view_colours.gradient_len = gw;
    }
    free(g);
    return ok ? 1 : 0;
}

// Colour of a row not analysed yet: palette entry 3.
static uint32_t missing_colour()
{
    if (palette_count <= 3)
        return pack_rgb(54, 55, 61);
    const uint8_t* c = palette_colour(3);
    return pack_rgb(c[0], c[1], c[2]);
}

// The colour map in force: the loaded one, else the grey ramp.
static void colour_map(const uint32_t** map, int* len)
{
    if (view_colours.gradient && view_colours.gradient_len > 0) {
        *map = view_colours.gradient;
        *len = view_colours.gradient_len;
    } else {
        *map = grey_ramp.data();
        *len = (int)grey_ramp.size();
    }
}

uint32_t level_colour(float q, int picture_colours)
{
    q = q > 0.f ? std::min(q, 1.f) : 0.f; // not a number gives 0
    if (picture_colours) {
        const int g = (int)std::min(255.f, 255.f * q + 0.5f);
        return pack_rgb(g, g, g);
    }
    const uint32_t* map;
    int len;
    colour_map(&map, &len);
    const float t = (float)len * q;
    return map[t < (float)len ? (int)t : len - 1];
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Helper threads
// ---------------------------------------------------------------------------------------------

constexpr long long PARALLEL_MIN = 1 << 17; // values read or pixels made worth a helper thread

using BandBody = std::function<void(int first, int last, int band)>;

struct Band {
    const BandBody* body;
    int first, last, index;
};

static void* band_worker(void* arg)
{
    const Band* b = static_cast<const Band*>(arg);
    (*b->body)(b->first, b->last, b->index);
    return nullptr;
}

// Bands for n items: one for the calling thread and, when `work` is large enough, one for each of
// CORE_COUNT helpers.
static int band_count(int n, long long work)
{
    return work >= PARALLEL_MIN ? std::clamp(CORE_COUNT + 1, 1, std::max(std::min(n, 16), 1)) : 1;
}

// Runs body(first, last, band) over 0..n-1 cut into `bands` contiguous bands, the first on the
// calling thread and the others on helpers. Bands must touch disjoint data.
static void for_bands(int n, int bands, const BandBody& body)
{
    if (n <= 0)
        return;
    bands = std::clamp(bands, 1, n);
    std::vector<Band> band((size_t)bands);
    std::vector<ThreadRecord> rec((size_t)bands);
    std::vector<char> helped((size_t)bands, 0);
    for (int b = 0; b < bands; b++)
        band[(size_t)b] = {&body, (int)((long long)n * b / bands), (int)((long long)n * (b + 1) / bands), b};
    for (int b = 1; b < bands; b++)
        helped[(size_t)b] = thread_spawn(&rec[(size_t)b], band_worker, &band[(size_t)b]) == 0;
    band_worker(&band[0]);
    for (int b = 1; b < bands; b++) {
        thread_wait(&rec[(size_t)b], nullptr);
        if (!helped[(size_t)b]) // the helper could not start: its band is done here
            band_worker(&band[(size_t)b]);
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Levels and colours of values
// ---------------------------------------------------------------------------------------------

typedef float f4 __attribute__((vector_size(16))); // four lanes: values, or three colour channels and a spare

// 1 / the largest value of the visible rows (missing rows skipped), or 0 when none is positive
// (or the largest is infinite): the brightest visible value gets level 1.
static float level_scale(float** rows, int in_w, int in_h)
{
    const int bands = band_count(in_h, (long long)in_w * in_h);
    std::vector<float> band_max((size_t)bands, 0.f);
    const BandBody body = [&](int first, int last, int band) {
        // Four lanes in two accumulators: the comparisons do not wait on one another. A value
        // that is not a number never wins a comparison.
        f4 a = {0.f, 0.f, 0.f, 0.f}, b = a;
        float m = 0.f;
        for (int r = first; r < last; r++) {
            const float* row = rows[r];
            if (!row)
                continue;
            int i = 0;
            for (; i + 8 <= in_w; i += 8) {
                f4 x, y;
                memcpy(&x, row + i, sizeof x);
                memcpy(&y, row + i + 4, sizeof y);
                a = x > a ? x : a;
                b = y > b ? y : b;
            }
            for (; i < in_w; i++)
                m = row[i] > m ? row[i] : m;
        }
        for (int c = 0; c < 4; c++)
            m = std::max(m, std::max(a[c], b[c]));
        band_max[(size_t)band] = m;
    };
    for_bands(in_h, bands, body);
    const float m = *std::max_element(band_max.begin(), band_max.end());
    return m > 0.f ? 1.f / m : 0.f;
}

// Level of value v: sqrt(v k), 0 for what is not a number or not positive.
static inline float level(float v, float k)
{
    const float x = v * k;
    return x > 0.f ? sqrtf(x) : 0.f;
}

// Colours through the colour map: index trunc(G q), limited to 0..G-1.
struct MapColour {
    const uint32_t* map;
    int len;
    float k;
    uint32_t missing;
    std::vector<f4> mapf; // the map as floats, for the smooth resampler

    explicit MapColour(float scale) : k(scale), missing(missing_colour())
    {
        colour_map(&map, &len);
        mapf.resize((size_t)len);
        for (int i = 0; i < len; i++)
            mapf[(size_t)i] = f4{(float)channel(map[i], 0), (float)channel(map[i], 1), (float)channel(map[i], 2), 0.f};
    }
    int index(float v) const
    {
        const float t = (float)len * level(v, k);
        return t < (float)len ? (int)t : len - 1;
    }
#if defined(__SSE2__)
    // index() of four values at once, with the same operations in the same order.
    void index4(__m128 v, int idx[4]) const
    {
        const __m128 x = _mm_max_ps(_mm_mul_ps(v, _mm_set1_ps(k)), _mm_setzero_ps()); // not a number gives 0
        const __m128 t = _mm_min_ps(_mm_mul_ps(_mm_set1_ps((float)len), _mm_sqrt_ps(x)), _mm_set1_ps((float)(len - 1)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(idx), _mm_cvttps_epi32(t));
    }
#endif
    // Values cols[0 .. n - 1] of a row as pixels.
    void pixel_row(const float* row, const uint8_t*, const int* cols, int n, uint32_t* out) const
    {
        int x = 0;
#if defined(__SSE2__)
        int idx[4];
        for (; x + 4 <= n; x += 4) {
            index4(_mm_setr_ps(row[cols[x]], row[cols[x + 1]], row[cols[x + 2]], row[cols[x + 3]]), idx);
            for (int c = 0; c < 4; c++)
                out[x + c] = map[idx[c]];
        }
#endif
        for (; x < n; x++)
            out[x] = map[index(row[cols[x]])];
    }
    // Values i0 .. i1 - 1 of a row as colours, into out[i0 .. i1 - 1].
    void colour_row(const float* row, const uint8_t*, int i0, int i1, f4* out) const
    {
        int i = i0;
#if defined(__SSE2__)
        int idx[4];
        for (; i + 4 <= i1; i += 4) {
            index4(_mm_loadu_ps(row + i), idx);
            for (int c = 0; c < 4; c++)
                out[i + c] = mapf[(size_t)idx[c]];
        }
#endif
        for (; i < i1; i++)
            out[i] = mapf[(size_t)index(row[i])];
    }
};

// Picture colours: each colour byte c of the source pixel becomes min(255, 3 c q + 0.5); grey
// min(255, 255 q + 0.5) without a source picture.
struct PictureColour {
    float k;
    uint32_t missing;

    explicit PictureColour(float scale) : k(scale), missing(missing_colour()) {}
    void bytes(const float* row, const uint8_t* pic, int i, int out[3]) const
    {
        const float q = level(row[i], k);
        if (pic) {
            const float f = 3.f * q;
            for (int c = 0; c < 3; c++)
                out[c] = (int)std::min(255.f, (float)pic[4 * i + c] * f + 0.5f);
        } else {
            out[0] = out[1] = out[2] = (int)std::min(255.f, 255.f * q + 0.5f);
        }
    }
    void pixel_row(const float* row, const uint8_t* pic, const int* cols, int n, uint32_t* out) const
    {
        for (int x = 0; x < n; x++) {
            int b[3];
            bytes(row, pic, cols[x], b);
            out[x] = pack_rgb(b[0], b[1], b[2]);
        }
    }
    void colour_row(const float* row, const uint8_t* pic, int i0, int i1, f4* out) const
    {
        for (int i = i0; i < i1; i++) {
            int b[3];
            bytes(row, pic, i, b);
            out[i] = f4{(float)b[0], (float)b[1], (float)b[2], 0.f};
        }
    }
};

// ---------------------------------------------------------------------------------------------
// [SECTION] Resamplers
// ---------------------------------------------------------------------------------------------

// Nearest neighbour: output (X, Y) takes input (trunc(X (in_w - 1) / out_w + 0.5),
// trunc(Y (in_h - 1) / out_h + 0.5)).
template <class Colour>
static uint8_t* nearest_resample(float** rows, uint8_t** pics, int in_w, int in_h, int out_w, int out_h,
                                 const Colour& colour)
{
    uint8_t* out = static_cast<uint8_t*>(wrmalloc((size_t)out_w * (size_t)out_h * 4));
    std::vector<int> col((size_t)out_w);
    for (int x = 0; x < out_w; x++)
        col[(size_t)x] = std::min((int)((float)x * (float)(in_w - 1) / (float)out_w + 0.5f), in_w - 1);
    const BandBody body = [&](int first, int last, int) {
        int prev = -1;
        for (int y = first; y < last; y++) {
            const int j = std::min((int)((float)y * (float)(in_h - 1) / (float)out_h + 0.5f), in_h - 1);
            uint32_t* o = reinterpret_cast<uint32_t*>(out) + (size_t)y * (size_t)out_w;
            if (j == prev) { // enlarging: the same input row as the line above
                memcpy(o, o - out_w, (size_t)out_w * 4);
                continue;
            }
            prev = j;
            const float* row = rows[j];
            const uint8_t* pic = pics ? pics[j] : nullptr;
            if (!row) {
                std::fill(o, o + out_w, colour.missing);
                continue;
            }
            colour.pixel_row(row, pic, col.data(), out_w, o);
        }
    };
    for_bands(out_h, band_count(out_h, (long long)out_w * out_h), body);
    return out;
}

// The tent filter's input positions and weights along one axis: output o is centred on input
// o (in_n - 1) / out_n and reads inputs ceil(c - r) .. ceil(c + r) - 1 within the input, each
// weighted 1 - |i - c| / r, with r at least one input step.
struct Taps {
    std::vector<int> first, count;
    std::vector<size_t> offset;
    std::vector<float> weight;
    int widest = 0;
};

static Taps tent_taps(int in_n, int out_n, float step, float radius, bool normalise)
{
    Taps t;
    t.first.resize((size_t)out_n);
    t.count.resize((size_t)out_n);
    t.offset.resize((size_t)out_n);
    for (int o = 0; o < out_n; o++) {
        const float c = (float)o * step;
        const int i0 = std::max((int)ceilf(c - radius), 0), i1 = std::min((int)ceilf(c + radius), in_n);
        t.first[(size_t)o] = i0;
        t.count[(size_t)o] = std::max(i1 - i0, 0);
        t.offset[(size_t)o] = t.weight.size();
        float sum = 0.f;
        for (int i = i0; i < i1; i++) {
            t.weight.push_back(1.f - fabsf((float)i - c) / radius);
            sum += t.weight.back();
        }
        // Dividing each axis by its own weight sum divides the product weights by their sum.
        if (normalise && sum > 0.f)
            for (int i = i0; i < i1; i++)
                t.weight[t.offset[(size_t)o] + (size_t)(i - i0)] /= sum;
        t.widest = std::max(t.widest, i1 - i0);
    }
    return t;
}

// Tent filter on the coloured input. The weights are separable, so each band of output rows
// filters the input rows it needs horizontally once (kept in a small ring as the rows move
// down) and then combines them vertically. Divides by the weight sums unless both radii are 1
// (enlarging both ways, where the tents already sum to one).
template <class Colour>
static uint8_t* smooth_resample(float** rows, uint8_t** pics, int in_w, int in_h, int out_w, int out_h,
                                const Colour& colour)
{
    const float sx = (float)(in_w - 1) / (float)out_w, sy = (float)(in_h - 1) / (float)out_h;
    const float rx = std::max(1.f, sx), ry = std::max(1.f, sy);
    const bool divide = !(rx == 1.f && ry == 1.f);
    const Taps tx = tent_taps(in_w, out_w, sx, rx, divide), ty = tent_taps(in_h, out_h, sy, ry, divide);
    const f4 missing = {(float)channel(colour.missing, 0), (float)channel(colour.missing, 1),
                        (float)channel(colour.missing, 2), 0.f};
    const int cap = std::max(ty.widest, 1);
    const int c0 = tx.first[0], c1 = tx.first[(size_t)out_w - 1] + tx.count[(size_t)out_w - 1]; // columns read
    uint8_t* out = static_cast<uint8_t*>(wrmalloc((size_t)out_w * (size_t)out_h * 4));

    const BandBody body = [&](int first, int last, int) {
        std::vector<f4> line((size_t)in_w), ring((size_t)cap * (size_t)out_w), acc((size_t)out_w);
        int next = ty.first[(size_t)first]; // first input row not filtered yet
        for (int y = first; y < last; y++) {
            const int j0 = ty.first[(size_t)y], jn = ty.count[(size_t)y];
            for (int j = std::max(next, j0); j < j0 + jn; j++) {
                const float* row = rows[j];
                const uint8_t* pic = pics ? pics[j] : nullptr;
                if (row)
                    colour.colour_row(row, pic, c0, c1, line.data());
                else
                    std::fill(line.begin() + c0, line.begin() + c1, missing);
                f4* h = ring.data() + (size_t)(j % cap) * (size_t)out_w;
                for (int x = 0; x < out_w; x++) {
                    const f4* in = line.data() + tx.first[(size_t)x];
                    const float* w = tx.weight.data() + tx.offset[(size_t)x];
                    const int n = tx.count[(size_t)x];
                    f4 a = {0.f, 0.f, 0.f, 0.f}, b = a; // two sums: the additions overlap
                    int t = 0;
                    for (; t + 2 <= n; t += 2) {
                        a += w[t] * in[t];
                        b += w[t + 1] * in[t + 1];
                    }
                    if (t < n)
                        a += w[t] * in[t];
                    h[x] = a + b;
                }
                next = j + 1;
            }
            std::fill(acc.begin(), acc.end(), f4{0.f, 0.f, 0.f, 0.f});
            for (int t = 0; t < jn; t++) {
                const float w = ty.weight[ty.offset[(size_t)y] + (size_t)t];
                const f4* h = ring.data() + (size_t)((j0 + t) % cap) * (size_t)out_w;
                for (int x = 0; x < out_w; x++)
                    acc[(size_t)x] += w * h[x];
            }
            // The weights sum to one only up to rounding: a small bias keeps a flat area its
            // exact colour instead of one step darker.
            uint8_t* o = out + (size_t)y * (size_t)out_w * 4;
            for (int x = 0; x < out_w; x++) {
                const f4 a = acc[(size_t)x];
                for (int c = 0; c < 3; c++)
                    o[4 * x + c] = (uint8_t)std::clamp((int)(a[c] + 1.f / 256.f), 0, 255);
                o[4 * x + 3] = 0;
            }
        }
    };
    const long long work = (long long)out_w * out_h * std::max(tx.widest, 1) + (long long)in_w * in_h;
    for_bands(out_h, band_count(out_h, work), body);
    return out;
}

// The sizes are usable and there is something to read.
static bool sizes_ok(float** rows, int in_w, int in_h, int out_w, int out_h)
{
    return rows && in_w > 0 && in_h > 0 && out_w > 0 && out_h > 0;
}

uint8_t* resize_image(float** rows, uint8_t** pic_rows, int in_w, int in_h, int out_w, int out_h)
{
    if (!sizes_ok(rows, in_w, in_h, out_w, out_h))
        return nullptr;
    return smooth_resample(rows, pic_rows, in_w, in_h, out_w, out_h, PictureColour(level_scale(rows, in_w, in_h)));
}

uint8_t* resize_image_nearest(float** rows, uint8_t** pic_rows, int in_w, int in_h, int out_w, int out_h)
{
    if (!sizes_ok(rows, in_w, in_h, out_w, out_h))
        return nullptr;
    return nearest_resample(rows, pic_rows, in_w, in_h, out_w, out_h, PictureColour(level_scale(rows, in_w, in_h)));
}

uint8_t* resize_image_gradient(float** rows, int in_w, int in_h, int out_w, int out_h)
{
    if (!sizes_ok(rows, in_w, in_h, out_w, out_h))
        return nullptr;
    return smooth_resample(rows, nullptr, in_w, in_h, out_w, out_h, MapColour(level_scale(rows, in_w, in_h)));
}

uint8_t* resize_image_gradient_nearest(float** rows, int in_w, int in_h, int out_w, int out_h)
{
    if (!sizes_ok(rows, in_w, in_h, out_w, out_h))
        return nullptr;
    return nearest_resample(rows, nullptr, in_w, in_h, out_w, out_h, MapColour(level_scale(rows, in_w, in_h)));
}
