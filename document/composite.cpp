// Compositing: blending modes, groups and the compositing pass.
#include "document/composite.h"
#include "core/state.h"
#include "document/hooks.h"
#include "platform/util.h"

#include <cmath>
#include <cstring>
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

// Index range [lo, hi) of k in 0..n-1 for which k + shift also lies in 0..n-1.
static inline void shifted_range(int n, int shift, int* lo, int* hi)
{
    *lo = shift < 0 ? -shift : 0;
    *hi = shift > 0 ? n - shift : n;
}

// Vertical propagation, column by column: each non-zero source value at row y spreads the
// column shifted by y - cy rows, scaled by the value. Only non-zero D values contribute.
static void propagate_vertical(Plane s, Plane d, int w, int h, int cy)
{
    std::vector<float> col((size_t)h), t((size_t)h);
    for (int x = 0; x < w; x++) {
        for (int r = 0; r < h; r++)
            col[(size_t)r] = d[r] ? d[r][x] : 0.f;
        std::fill(t.begin(), t.end(), 0.f);
        for (int y = 0; y < h; y++) {
            if (!s[y])
                continue;
            const float sv = s[y][x];
            if (sv == 0.f) // NaN passes: it is not zero
                continue;
            const int shift = y - cy;
            int lo, hi;
            shifted_range(h, shift, &lo, &hi);
            for (int r = lo; r < hi; r++) {
                const float dv = col[(size_t)r];
                if (dv != 0.f)
                    t[(size_t)(r + shift)] += sv * dv;
            }
        }
        for (int r = 0; r < h; r++)
            if (d[r])
                d[r][x] = t[(size_t)r];
    }
}

// Horizontal propagation, row by row: each non-zero source value at column x delays the row by
// x - cx columns, scaled by the value; `looped` wraps the columns around.
static void propagate_horizontal(Plane s, Plane d, int w, int h, int cx, bool looped)
{
    std::vector<float> t((size_t)w);
    for (int y = 0; y < h; y++) {
        if (!s[y] || !d[y])
            continue;
        const float* drow = d[y];
        std::fill(t.begin(), t.end(), 0.f);
        for (int x = 0; x < w; x++) {
            const float sv = s[y][x];
            if (sv == 0.f)
                continue;
            const int shift = x - cx;
            if (looped) {
                const int off = ((shift % w) + w) % w;
                for (int k = 0; k < w; k++) {
                    const float dv = drow[k];
                    if (dv != 0.f) {
                        int j = k + off;
                        if (j >= w)
                            j -= w;
                        t[(size_t)j] += sv * dv;
                    }
                }
            } else {
                int lo, hi;
                shifted_range(w, shift, &lo, &hi);
                for (int k = lo; k < hi; k++) {
                    const float dv = drow[k];
                    if (dv != 0.f)
                        t[(size_t)(k + shift)] += sv * dv;
                }
            }
        }
        memcpy(d[y], t.data(), (size_t)w * sizeof(float));
    }
}

// 2-D convolution: each non-zero source value at (y, x) adds the plane shifted by
// (y - cy, x - cx), scaled by the value. Rows never wrap; `looped` wraps the columns.
static void convolve(Plane s, Plane d, int w, int h, int cx, int cy, bool looped)
{
    std::vector<float> t((size_t)w * (size_t)h);
    for (int y = 0; y < h; y++) {
        if (!s[y])
            continue;
        for (int x = 0; x < w; x++) {
            const float sv = s[y][x];
            if (sv == 0.f)
                continue;
            const int shift_y = y - cy, shift_x = x - cx;
            int rlo, rhi, klo, khi;
            shifted_range(h, shift_y, &rlo, &rhi);
            shifted_range(w, shift_x, &klo, &khi);
            const int off = ((shift_x % w) + w) % w;
            for (int r = rlo; r < rhi; r++) {
                const float* drow = d[r];
                if (!drow)
                    continue;
                float* trow = t.data() + (size_t)(r + shift_y) * (size_t)w;
                if (looped) {
                    for (int k = 0; k < w; k++) {
                        const float dv = drow[k];
                        if (dv != 0.f) {
                            int j = k + off;
                            if (j >= w)
                                j -= w;
                            trow[j] += sv * dv;
                        }
                    }
                } else {
                    for (int k = klo; k < khi; k++) {
                        const float dv = drow[k];
                        if (dv != 0.f)
                            trow[k + shift_x] += sv * dv;
                    }
                }
            }
        }
    }
    for (int r = 0; r < h; r++)
        if (d[r])
            memcpy(d[r], t.data() + (size_t)r * (size_t)w, (size_t)w * sizeof(float));
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
    switch (mode) {
    case 9:
        propagate_vertical(s, d, w, h, cy);
        break;
    case 10:
    case 11:
        propagate_horizontal(s, d, w, h, cx, mode == 11);
        break;
    case 12:
    case 13:
        convolve(s, d, w, h, cx, cy, mode == 13);
        break;
    default:
        for (int y = 0; y < h; y++)
            if (s[y] && d[y])
                blend_row(s[y], d[y], w, mode);
        break;
    }
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
