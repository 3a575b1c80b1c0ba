// The spectrogram view; see view.h.
#include "display/view.h"

#include "core/state.h"
#include "display/gfx.h"
#include "display/screen.h"
#include "document/composite.h"
#include "dsp/analysis.h"
#include "files/picture.h"

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

ViewHooks view_hooks = {};

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

// ---------------------------------------------------------------------------------------------
// [SECTION] The visible part
// ---------------------------------------------------------------------------------------------

struct Crop {
    int x, y, w, h;
};

// The crop in force, kept inside a w x h document (the zoom state belongs to the main loop; a
// redraw thread takes one consistent copy).
static Crop current_crop(int w, int h)
{
    Crop c;
    c.w = std::clamp(crop_w, 1, w);
    c.h = std::clamp(crop_h, 1, h);
    c.x = std::clamp(crop_x, 0, w - c.w);
    c.y = std::clamp(crop_y, 0, h - c.h);
    return c;
}

// Nearest unless a smooth picture is asked for and affordable; Force Smooth wins over both.
static bool use_nearest(int nearest, int visible_w)
{
    if (key[state_of(K_SMOOTH_DISPLAY)])
        return false;
    return nearest || visible_w >= 2000 || key[state_of(K_FAST_DISPLAY)];
}

// The visible rows of `plane` (each offset by the first visible column; missing rows stay
// missing, rows still being analysed are read as they are published).
static float** visible_rows(Plane plane, const Crop& c)
{
    static thread_local std::vector<float*> rows;
    rows.resize((size_t)c.h);
    for (int r = 0; r < c.h; r++) {
        float* row = filled_row(plane, c.y + r);
        rows[(size_t)r] = row ? row + c.x : nullptr;
    }
    return rows.data();
}

uint8_t* resize_image_generic_zoom(Plane plane, const uint8_t* src_rgb, int w, int h, int view_w, int view_h,
                                   int nearest)
{
    if (!plane || w < 1 || h < 1 || view_w < 1 || view_h < 1)
        return nullptr;
    const Crop c = current_crop(w, h);
    float** rows = visible_rows(plane, c);
    uint8_t** pics = nullptr;
    static thread_local std::vector<uint8_t*> pic_rows;
    if (src_rgb) {
        pic_rows.resize((size_t)c.h);
        for (int r = 0; r < c.h; r++)
            pic_rows[(size_t)r] = const_cast<uint8_t*>(src_rgb) + ((size_t)(c.y + r) * (size_t)w + (size_t)c.x) * 4;
        pics = pic_rows.data();
    }
    return use_nearest(nearest, c.w) ? resize_image_nearest(rows, pics, c.w, c.h, view_w, view_h)
                                     : resize_image(rows, pics, c.w, c.h, view_w, view_h);
}

uint8_t* resize_image_gradient_generic_zoom(Plane plane, int w, int h, int view_w, int view_h, int nearest)
{
    if (!plane || w < 1 || h < 1 || view_w < 1 || view_h < 1)
        return nullptr;
    const Crop c = current_crop(w, h);
    float** rows = visible_rows(plane, c);
    return use_nearest(nearest, c.w) ? resize_image_gradient_nearest(rows, c.w, c.h, view_w, view_h)
                                     : resize_image_gradient(rows, c.w, c.h, view_w, view_h);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Redraw
// ---------------------------------------------------------------------------------------------

void selection_tint(uint8_t* pic, int pw, int ph, const ImageStack* image)
{
    if (!pic || pw < 1 || ph < 1 || !image || !image->selection || image->w < 1 || image->h < 1)
        return;
    // The document pixel under each view column and row, as the pointer maps them.
    std::vector<int> col((size_t)pw), row((size_t)ph);
    for (int x = 0; x < pw; x++)
        col[(size_t)x] = std::clamp(crop_x + (int)((float)x * (float)(crop_w - 1) / (float)pw), 0, image->w - 1);
    for (int y = 0; y < ph; y++)
        row[(size_t)y] = std::clamp(crop_y + (int)((float)y * (float)(crop_h - 1) / (float)ph), 0, image->h - 1);
    static const uint8_t TINT[3] = {96, 196, 255}; // a cool blue, apart from the map's warm colours
    auto inside = [&](int x, int y) { return image->selection[row[(size_t)y]][col[(size_t)x]] >= 0.5f; };
    for (int y = 0; y < ph; y++) {
        const float* m = image->selection[row[(size_t)y]];
        uint8_t* p = pic + (size_t)y * (size_t)pw * 4;
        for (int x = 0; x < pw; x++, p += 4) {
            const bool in = inside(x, y);
            // The edge: a dashed line of light and dark where the mask crosses one half.
            if ((x + 1 < pw && inside(x + 1, y) != in) || (y + 1 < ph && inside(x, y + 1) != in)) {
                const uint8_t v = ((x + y) / 4) % 2 ? 255 : 0;
                p[0] = p[1] = p[2] = v;
                continue;
            }
            // Inside, a light tint that leaves the picture readable.
            const float a = 0.25f * std::clamp(m[col[(size_t)x]], 0.f, 1.f);
            if (a > 0.f)
                for (int c = 0; c < 3; c++)
                    p[c] = (uint8_t)((float)p[c] + a * ((float)TINT[c] - (float)p[c]) + 0.5f);
        }
    }
}

static std::atomic<int> redraw_running{0};   // an image_redraw is under way
static std::atomic<int> constant_running{0}; // a constant_image_redraw loop is under way

// Copies the pw x ph picture into the frame buffer (fb_w x fb_h) at (x, y), clipped to the frame
// buffer and to a view of view_w x view_h.
static void blit_view(uint32_t* fb, int fb_w, int fb_h, const uint8_t* pic, int pw, int ph, int x, int y, int view_w,
                      int view_h)
{
    const int x0 = std::max(x, 0), x1 = std::min(x + std::min(pw, view_w), fb_w);
    const int y0 = std::max(y, 0), y1 = std::min(y + std::min(ph, view_h), fb_h);
    if (!fb || !pic || x0 >= x1 || y0 >= y1)
        return;
    for (int r = y0; r < y1; r++)
        memcpy(fb + (size_t)r * (size_t)fb_w + x0, pic + ((size_t)(r - y) * (size_t)pw + (size_t)(x0 - x)) * 4,
               (size_t)(x1 - x0) * 4);
}

void image_redraw(EngineState* es, int fast)
{
    ImageStack* image = es ? es->image : nullptr;
    if (!image || !image->composite || image->w <= 0 || image->h <= 0)
        return;
    if (redraw_running.exchange(1))
        return; // another redraw is drawing: this one is dropped
    if (image->recomposite.exchange(0))
        process_layers(es);

    uint8_t* pic = nullptr;
    int pw = 0, ph = 0;
    uint32_t generation = 0;
    {
        LockGuard lock(image->layers_lock);
        generation = image->generation.load();
        pw = image->view_w;
        ph = image->view_h;
        Plane plane = image->composite;
        const int sel = image->sel;
        if (key[state_of(K_VIEW_LAYER_ONLY)] && image->layers && sel >= 0 && sel < image->count &&
            image->layers[sel].plane)
            plane = image->layers[sel].plane;
        if (plane)
            pic = image->gradient_mode == 1
                      ? resize_image_gradient_generic_zoom(plane, image->w, image->h, pw, ph, fast)
                      : resize_image_generic_zoom(plane, image->src_rgb, image->w, image->h, pw, ph, fast);
        if (pic)
            selection_tint(pic, pw, ph, image);
    }
    if (pic && view_hooks.picture_made)
        view_hooks.picture_made(es);
    if (pic) {
        // A picture of a document that was replaced meanwhile (a new file opened while a long
        // redraw ran) is dropped: it must never be shown over the new one.
        LockGuard lock(image->display_lock);
        if (image->generation.load() != generation) {
            free(pic);
            pic = nullptr;
        } else {
            free(image->display);
            image->display = pic;
        }
    }

    if (pic && !image->stop_redraw) {
        LockGuard overlay(image->overlay_lock);
        uint32_t* fb;
        {
            // The frame buffer and the picture are replaced (window resize, a newer redraw)
            // only under this lock.
            LockGuard lock(image->display_lock);
            fb = image->screen ? image->screen : sfb0;
            if (image->display == pic && image->generation.load() == generation)
                blit_view(fb, SCRN_W, SCRN_H, pic, pw, ph, image->view_x, image->view_y, image->view_w,
                          image->view_h);
        }
        if (view_hooks.overlays)
            view_hooks.overlays(es, fb);
    }
    if (pic && !image->stop_redraw) {
        if (key[K_ANALYSING] && view_hooks.analysis_strip)
            view_hooks.analysis_strip(es, image->screen ? image->screen : sfb0);
        if (image->screen_dirty)
            *image->screen_dirty = 1;
    }
    redraw_running = 0;
}

void* constant_image_redraw(void* arg)
{
    EngineState* es = static_cast<EngineState*>(arg);
    if (!es || !es->image || constant_running.exchange(1))
        return nullptr;
    while (!es->image->stop_redraw) {
        es->image->recomposite = 1;
        image_redraw(es, 1);
        wrsleep(1); // lets the main loop's own redraws and the workers in between
    }
    constant_running = 0;
    return nullptr;
}

static void* redraw_thread_main(void* arg)
{
    RedrawThread* t = static_cast<RedrawThread*>(arg);
    constant_image_redraw(t->es);
    t->done = 1;
    return nullptr;
}

int redraw_thread_start(RedrawThread* t, EngineState* es)
{
    if (!t || !es || !es->image || t->started)
        return 0;
    t->es = es;
    t->done = 0;
    if (thread_spawn(&t->rec, redraw_thread_main, t) != 0) {
        thread_wait(&t->rec, nullptr);
        return 0;
    }
    t->started = 1;
    return 1;
}

int redraw_thread_stop(RedrawThread* t, int timeout_ms)
{
    if (!t || !t->started)
        return 1;
    ImageStack* image = t->es->image;
    image->stop_redraw = 1;
    for (int waited = 0; !t->done; waited++) {
        if (waited >= timeout_ms)
            return 0;
        wrsleep(1);
    }
    thread_wait(&t->rec, nullptr);
    t->started = 0;
    image->stop_redraw = 0;
    return 1;
}

void vision_mode_toggle(EngineState* es)
{
    if (!es || !es->image)
        return;
    {
        LockGuard lock(es->image->layers_lock); // a redraw thread reads it under this lock
        es->image->gradient_mode = es->image->gradient_mode == 1 ? 0 : 1;
    }
    es->image->recomposite = 0;
    image_redraw(es, 0);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Zoom and pan
// ---------------------------------------------------------------------------------------------

// Visible count of an axis of n at magnification z: at least 10, or all of a short axis.
static int visible_count(int n, float z)
{
    int c = (int)((float)n / z + 0.5f);
    if (c <= 9)
        c = n < 11 ? n : 10;
    return c;
}

// First visible index of an axis of n with c visible around the centre m.
static int first_visible(int n, int c, float m)
{
    const float x0 = m - (float)(c / 2);
    const int first = m + (float)(c - c / 2) >= (float)n ? n - c : (int)x0;
    return std::max(first, 0);
}

void change_zoom(ImageStack* image, float zh, float zv, float cx, float cy)
{
    zoom_h = zh;
    zoom_v = zv;
    zoom_center_x = cx;
    zoom_center_y = cy;
    const int w = image ? image->w : 0, h = image ? image->h : 0;
    if (w < 1 || h < 1) {
        crop_x = crop_y = crop_w = crop_h = 0;
        zoom_h = zoom_v = 1.f;
        return;
    }
    cx = cx >= 0.f ? (cx >= (float)w ? (float)(w - 1) : cx) : 0.f; // not a number: the left edge
    cy = cy >= 0.f ? (cy >= (float)h ? (float)(h - 1) : cy) : 0.f;
    zh = zh >= 1.f ? zh : 1.f;
    zv = zv >= 1.f ? zv : 1.f;
    crop_w = visible_count(w, zh);
    crop_h = visible_count(h, zv);
    zoom_h = (float)w / (float)crop_w;
    zoom_v = (float)h / (float)crop_h;
    crop_x = first_visible(w, crop_w, cx);
    crop_y = first_visible(h, crop_h, cy);
    zoom_center_x = (float)crop_w * 0.5f + (float)crop_x;
    zoom_center_y = (float)crop_h * 0.5f + (float)crop_y;
}

void change_zoom_focused(ImageStack* image, float fh, float fv, float fx, float fy)
{
    change_zoom(image, fh * zoom_h, fv * zoom_v, fx + (zoom_center_x - fx) / fh, fy + (zoom_center_y - fy) / fv);
}

void view_reset(ImageStack* image)
{
    change_zoom(image, 1.f, 1.f, (float)image->w * 0.5f, (float)image->h * 0.5f);
    progress_crop_x = crop_x;
}

// After a zoom or a move: the progress strip follows the crop and the view is redrawn from the
// composite as it is.
static int view_changed(EngineState* es, int old_crop_x, int old_crop_w, int fast)
{
    progress_crop_x = crop_x;
    es->image->recomposite = 0;
    image_redraw(es, fast);
    return VIEW_CHANGED | (crop_x != old_crop_x || crop_w != old_crop_w ? VIEW_CHANGED_H : 0);
}

int wheel_zoom(EngineState* es, int steps, int ctrl, int shift)
{
    ImageStack* image = es ? es->image : nullptr;
    if (!image || !image->composite || steps == 0)
        return 0;
    const float f = powf(2.f, (float)steps * 0.5f);
    const float fx = mouse_ax_to_xf(image->view_w), fy = mouse_ay_to_yf(image->view_h);
    const int old_x = crop_x, old_w = crop_w;
    if (ctrl) {
        if (steps < 0 && zoom_h <= 1.f && zoom_v <= 1.f)
            return 0;
        change_zoom_focused(image, f, f, fx, fy);
    } else if (shift) {
        if (steps < 0 && zoom_v <= 1.f)
            return 0;
        change_zoom_focused(image, 1.f, f, fx, fy);
    } else {
        if (steps < 0 && zoom_h <= 1.f)
            return 0;
        change_zoom_focused(image, f, 1.f, fx, fy);
    }
    return view_changed(es, old_x, old_w, 0);
}

void pan_begin(ViewPan* pan)
{
    pan->mouse_x = mouse_ax;
    pan->mouse_y = mouse_ay;
    pan->center_x = zoom_center_x;
    pan->center_y = zoom_center_y;
    progress_crop_x = crop_x;
}

int pan_drag(EngineState* es, const ViewPan* pan)
{
    ImageStack* image = es ? es->image : nullptr;
    if (!image || !image->composite || image->view_w < 1 || image->view_h < 1)
        return 0;
    const int old_x = crop_x, old_w = crop_w;
    const float cx = pan->center_x - (float)(mouse_ax - pan->mouse_x) * (float)(crop_w - 1) / (float)image->view_w;
    const float cy = pan->center_y - (float)(mouse_ay - pan->mouse_y) * (float)(crop_h - 1) / (float)image->view_h;
    change_zoom(image, zoom_h, zoom_v, cx, cy);
    return view_changed(es, old_x, old_w, 1);
}

void pan_end(EngineState* es)
{
    if (!es || !es->image)
        return;
    es->image->recomposite = 0;
    image_redraw(es, 0);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Window and document positions
// ---------------------------------------------------------------------------------------------

// Sub-pixel part of a slow-mouse offset.
static float sub_pixel(int sub) { return mouse_sub_range > 0 ? (float)sub / (float)mouse_sub_range : 0.f; }

float mouse_ax_to_xf(int view_w)
{
    if (view_w < 1)
        return (float)crop_x;
    return (float)crop_x + (float)(crop_w - 1) * ((float)mouse_ax + sub_pixel(mouse_ax_sub) - 120.f) / (float)view_w;
}

float mouse_ay_to_yf(int view_h)
{
    if (view_h < 1)
        return (float)crop_y;
    const float top = (float)(WAVEFORM_H + 47);
    return (float)crop_y + (float)(crop_h - 1) * ((float)mouse_ay + sub_pixel(mouse_ay_sub) - top) / (float)view_h;
}

int mouse_ax_to_x(int view_w) { return (int)lrintf(mouse_ax_to_xf(view_w)); }

int mouse_ay_to_y(int view_h) { return (int)lrintf(mouse_ay_to_yf(view_h)); }

float column_to_view_x(float x, int view_w)
{
    return crop_w > 1 ? (x - (float)crop_x) * (float)view_w / (float)(crop_w - 1) : 0.f;
}

float row_to_view_y(float y, int view_h)
{
    return crop_h > 1 ? (y - (float)crop_y) * (float)view_h / (float)(crop_h - 1) : 0.f;
}
