// Layer operations: inversions, flips, rotations, averages, curves, fills from maxima,
// normalisations, point-wise functions, noise fills, semitone grouping, Erase Mask, and the
// dispatch from the command slots. See operations.h.
#include "document/operations.h"

#include "core/state.h"
#include "document/command_log.h"
#include "document/hooks.h"
#include "document/image.h"
#include "document/selection.h"
#include "document/undo.h"
#include "dsp/scale.h"
#include "platform/util.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Common steps
// ---------------------------------------------------------------------------------------------

// The selected layer's plane; null when there is no layer or the entry is a separator.
static Plane selected_plane(const ImageStack* image)
{
    if (!image || !image->layers || image->count <= 0 || image->sel < 0 || image->sel >= image->count ||
        image->w <= 0 || image->h <= 0)
        return nullptr;
    return image->layers[image->sel].plane;
}

// Closes the operation as one Undo step, logs its history line (followed by an empty line) and
// marks the document; returns 1 (the operation acted).
static int finish(ImageStack* image, const char* line, int state = 1)
{
    undo_commit(image, line);
    print_cmd(CMD_TIMED, "%s\n", line);
    image->change_state = state;
    return 1;
}

// Runs work(p, w, h) on the selected layer under layers_lock; false when there is no layer.
// With a selection the change counts only inside it, weighted by the mask.
template <class Work> static bool with_selected_layer(ImageStack* image, Work work)
{
    Plane p = selected_plane(image);
    if (!p)
        return false;
    LockGuard lock(image->layers_lock);
    std::vector<float> before;
    const bool masked = selection_keep(image, p, &before);
    work(p, image->w, image->h);
    if (masked)
        selection_mix(image, p, before);
    return true;
}

// One whole operation: work on the selected layer, then (the lock released) its history line and
// change state `state`; returns 1, or 0 when there is no layer.
template <class Work> static int layer_operation(ImageStack* image, const char* line, Work work, int state = 1)
{
    if (!with_selected_layer(image, work))
        return 0;
    return finish(image, line, state);
}

// Applies f(r, c) to every pixel of a w x h layer.
template <class F> static void for_each_pixel(int w, int h, F f)
{
    for (int r = 0; r < h; r++)
        for (int c = 0; c < w; c++)
            f(r, c);
}

// A double result stored as a pixel: limited to the float range, so that nothing finite
// overflows into infinity.
static float clamp_float(double v) { return (float)std::clamp(v, -(double)FLT_MAX, (double)FLT_MAX); }

// The display frequency axis of the engine state's document.
struct FreqAxis {
    float fmin, fmax, base;
};

static FreqAxis display_axis(const EngineState* es) { return {es->anal_params[0], es->anal_params[1], es->anal_params[6]}; }

// The weights of all h rows on the display axis.
static std::vector<float> row_weights(const EngineState* es, int h)
{
    const FreqAxis a = display_axis(es);
    std::vector<float> wt((size_t)h);
    for (int r = 0; r < h; r++)
        wt[(size_t)r] = row_weight(r, h, a.fmin, a.fmax, a.base);
    return wt;
}

// Divides every row r by (W(r) / Wm), Wm being the weight of the row h div 2 above the bottom,
// so that a bar drawn in rows of equal energy looks flat again on a non-linear axis. Nothing on
// a linear axis. The caller holds layers_lock.
static void frequency_correction(Plane p, int w, int h, const EngineState* es)
{
    const FreqAxis a = display_axis(es);
    if (!(a.base > 1.f))
        return;
    const float wm = row_weight(h - 1 - h / 2, h, a.fmin, a.fmax, a.base);
    for (int r = 0; r < h; r++) {
        const float ratio = row_weight(r, h, a.fmin, a.fmax, a.base) / wm;
        for (int c = 0; c < w; c++)
            p[r][c] /= ratio;
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Helpers shared with the view
// ---------------------------------------------------------------------------------------------

float log_basef(float x, float b)
{
    if (b == 1.f)
        return x;
    return logf(x) / logf(b);
}

// 1 + (h - 1 - r) / K of row r on a non-linear axis; 1 when the axis is degenerate.
static float row_span(int r, int h, float fmin, float fmax, float base)
{
    if (h <= 1)
        return 1.f;
    const float k = (float)(h - 1) / (log_basef(fmax, base) - log_basef(fmin, base));
    if (!(k > 0.f)) // fmax <= fmin, or a frequency that has no logarithm
        return 1.f;
    const float v = 1.f + (float)(h - 1 - r) / k;
    return std::isfinite(v) && v > 0.f ? v : 1.f;
}

float row_weight(int r, int h, float fmin, float fmax, float base)
{
    if (!(base > 1.f))
        return 1.f;
    return powf(row_span(r, h, fmin, fmax, base), base * 0.5f - 0.5f);
}

void resize_float_2Din(float** in, float* out, int in_w, int in_h, int out_w, int out_h)
{
    if (!out || out_w <= 0 || out_h <= 0)
        return;
    std::fill(out, out + (size_t)out_w * (size_t)out_h, 0.f);
    if (!in || in_w <= 0 || in_h <= 0)
        return;
    const float sx = (float)(in_w - 1) / (float)out_w, sy = (float)(in_h - 1) / (float)out_h;
    const float rx = std::max(1.f, sx), ry = std::max(1.f, sy);
    const bool divide = !(rx == 1.f && ry == 1.f); // enlarging both ways: the tents already sum to 1

    // The horizontal tent of every output column, worked out once.
    std::vector<int> first((size_t)out_w), last((size_t)out_w);
    std::vector<float> weights;
    std::vector<size_t> offset((size_t)out_w);
    for (int x = 0; x < out_w; x++) {
        const float cx = (float)x * sx;
        first[(size_t)x] = std::max((int)ceilf(cx - rx), 0);
        last[(size_t)x] = std::min((int)ceilf(cx + rx), in_w);
        offset[(size_t)x] = weights.size();
        for (int i = first[(size_t)x]; i < last[(size_t)x]; i++)
            weights.push_back(1.f - fabsf((float)i - cx) / rx);
    }

    for (int y = 0; y < out_h; y++) {
        const float cy = (float)y * sy;
        const int j0 = std::max((int)ceilf(cy - ry), 0), j1 = std::min((int)ceilf(cy + ry), in_h);
        float* o = out + (size_t)y * (size_t)out_w;
        for (int x = 0; x < out_w; x++) {
            const float* wx = weights.data() + offset[(size_t)x];
            float sum = 0.f, wsum = 0.f;
            for (int j = j0; j < j1; j++) {
                if (!in[j])
                    continue;
                const float wy = 1.f - fabsf((float)j - cy) / ry;
                for (int i = first[(size_t)x]; i < last[(size_t)x]; i++) {
                    const float wgt = wx[i - first[(size_t)x]] * wy;
                    sum += in[j][i] * wgt;
                    wsum += wgt;
                }
            }
            o[x] = !divide ? sum : wsum > 0.f ? sum / wsum : 0.f;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Inversions, flips and rotations
// ---------------------------------------------------------------------------------------------

int invert_image(ImageStack* image)
{
    return layer_operation(image, "Operation invert", [](Plane p, int w, int h) {
        // 1.0 would become exactly 0 and a second Invert could not bring it back: keep it just
        // below 1, which maps to a tiny positive value.
        const float below_one = nextafterf(nextafterf(1.f, 0.f), 0.f);
        for_each_pixel(w, h, [&](int r, int c) {
            float v = p[r][c] == 1.f ? below_one : p[r][c];
            const float d = 1.f - sqrtf(std::max(v, 0.f));
            p[r][c] = d * d;
        });
    });
}

int mask_invert_image(ImageStack* image)
{
    if (image && !image->reference) // nothing to invert against
        return 0;
    return layer_operation(image, "Operation mask invert", [image](Plane p, int w, int h) {
        // Intensities are never negative: what the layer holds beyond the reference gives 0.
        for_each_pixel(w, h, [&](int r, int c) { p[r][c] = std::max(image->reference[r][c] - p[r][c], 0.f); });
    });
}

int flip_image(ImageStack* image)
{
    return layer_operation(image, "Operation horizontal flip", [image](Plane p, int w, int h) {
        for (int r = 0; r < h; r++)
            std::reverse(p[r], p[r] + w);
        if (image->src_rgb && !selection_present(image)) // the source colours follow a whole flip only
            for (int r = 0; r < image->src_h; r++) {
                uint8_t* row = image->src_rgb + (size_t)r * (size_t)image->src_w * 4;
                for (int a = 0, b = image->src_w - 1; a < b; a++, b--)
                    std::swap_ranges(row + 4 * (size_t)a, row + 4 * (size_t)a + 4, row + 4 * (size_t)b);
            }
    });
}

int vflip_image(ImageStack* image)
{
    return layer_operation(image, "Operation vertical flip", [image](Plane p, int, int h) {
        std::reverse(p, p + h);
        if (image->src_rgb && !selection_present(image)) {
            const size_t len = (size_t)image->src_w * 4;
            for (int a = 0, b = image->src_h - 1; a < b; a++, b--)
                std::swap_ranges(image->src_rgb + (size_t)a * len, image->src_rgb + (size_t)(a + 1) * len,
                                 image->src_rgb + (size_t)b * len);
        }
    });
}

// True when `undo` holds exactly the selected layer.
static bool undo_holds_layer(const ImageStack* image, Plane p)
{
    for (int r = 0; r < image->h; r++)
        if (memcmp(image->undo[r], p[r], (size_t)image->w * sizeof(float)) != 0)
            return false;
    return true;
}

int rotate_image(ImageStack* image, int n)
{
    n = ((n % 4) + 4) % 4;
    if (n == 0)
        return 0;
    static const char* const lines[4] = {"", "Operation rotation by 90", "Operation rotation by 180",
                                         "Operation rotation by 270"};
    auto turn = [image, n](Plane p, int w, int h) {
        if (n == 2) {
            // Read from the Undo copy of the layer; a caller that did not save the layer first still
            // gets a correct turn and a working Undo.
            if (image->undo && !undo_holds_layer(image, p))
                layer_to_undo(image);
            Plane u = image->undo;
            if (u) {
                for_each_pixel(w, h, [&](int r, int c) { p[r][c] = u[h - 1 - r][w - 1 - c]; });
            } else { // no Undo plane: turn in place
                std::reverse(p, p + h);
                for (int r = 0; r < h; r++)
                    std::reverse(p[r], p[r] + w);
            }
        } else {
            // The document keeps its size: squeeze the layer to h columns by w rows, then turn it.
            std::vector<float> buf((size_t)w * (size_t)h);
            resize_float_2Din(p, buf.data(), w, h, h, w);
            for_each_pixel(w, h, [&](int r, int c) {
                p[r][c] = n == 1 ? buf[(size_t)(w - 1 - c) * (size_t)h + (size_t)r]
                                 : buf[(size_t)c * (size_t)h + (size_t)(h - 1 - r)];
            });
        }
    };
    return layer_operation(image, lines[n], turn, 3);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Averages and curves
// ---------------------------------------------------------------------------------------------

int horz_average(ImageStack* image)
{
    return layer_operation(image, "Operation horizontal average", [](Plane p, int w, int h) {
        for (int r = 0; r < h; r++) {
            double sum = 0.0;
            for (int c = 0; c < w; c++)
                sum += p[r][c];
            std::fill(p[r], p[r] + w, (float)(sum / w));
        }
    });
}

// Column sums Σ_r wt(r) p[r][c] (plain sums when `wt` is empty).
static std::vector<double> column_sums(Plane p, int w, int h, const std::vector<float>& wt)
{
    std::vector<double> s((size_t)w, 0.0);
    for_each_pixel(w, h, [&](int r, int c) { s[(size_t)c] += (wt.empty() ? 1.0 : wt[(size_t)r]) * p[r][c]; });
    return s;
}

// Row sums of the layer.
static std::vector<double> row_sums(Plane p, int w, int h)
{
    std::vector<double> s((size_t)h, 0.0);
    for_each_pixel(w, h, [&](int r, int c) { s[(size_t)r] += p[r][c]; });
    return s;
}

int vert_average(EngineState* es)
{
    return layer_operation(es->image, "Operation vertical average", [es](Plane p, int w, int h) {
        const std::vector<double> s = column_sums(p, w, h, row_weights(es, h));
        for_each_pixel(w, h, [&](int r, int c) { p[r][c] = clamp_float(s[(size_t)c] / h); });
    });
}

// Writes a bar of length x (whole cells 1.0, then the fraction, then 0) into `len` cells reached
// through cell(i), i = 0 at the bar's foot.
template <class Cell> static void draw_bar(float x, int len, Cell cell)
{
    x = std::clamp(x, 0.f, (float)len);
    const int n = (int)x;
    for (int i = 0; i < len; i++)
        cell(i) = i < n ? 1.f : i == n ? fmodf(x, 1.f) : 0.f;
}

int horz_curves(ImageStack* image)
{
    return layer_operation(image, "Operation horizontal curves", [](Plane p, int w, int h) {
        const std::vector<double> s = row_sums(p, w, h);
        const double m = *std::max_element(s.begin(), s.end());
        if (m > 0.0) // all rows silent: there is no bar length to scale to
            for (int r = 0; r < h; r++) {
                const float x = (float)w * (float)(s[(size_t)r] / m) * 0.9f;
                draw_bar(x, w, [&](int i) -> float& { return p[r][i]; });
            }
    });
}

int vert_curves(EngineState* es)
{
    return layer_operation(es->image, "Operation vertical curves", [es](Plane p, int w, int h) {
        const std::vector<double> s = column_sums(p, w, h, row_weights(es, h));
        const double m = *std::max_element(s.begin(), s.end());
        if (m > 0.0) { // all columns silent: there is no bar height to scale to
            for (int c = 0; c < w; c++) {
                const float x = (float)(s[(size_t)c] / m) * (float)h * 0.9f;
                draw_bar(x, h, [&](int i) -> float& { return p[h - 1 - i][c]; });
            }
            frequency_correction(p, w, h, es);
        }
    });
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Fills from maxima
// ---------------------------------------------------------------------------------------------

// Largest pixel of the layer (at least 0).
static float plane_max(Plane p, int w, int h)
{
    float m = 0.f;
    for_each_pixel(w, h, [&](int r, int c) { m = std::max(m, p[r][c]); });
    return m;
}

// Chooses the peak of a line of `len` cells, scanned from i = 0: a cell takes over when it is
// above a third of the current peak and either three times stronger or stronger once both are
// weighted by (lead(i))^10; lead() favours the later (or upper) cells. Returns the peak value
// and its index through *m and *b.
template <class Cell, class Lead> static void find_peak(int len, Cell cell, Lead lead, float* m, int* b)
{
    *m = 0.f;
    *b = 0;
    for (int i = 0; i < len; i++) {
        const float v = cell(i);
        // v (lead i)^10 > m (lead b)^10, as a ratio so that the powers cannot overflow.
        if (v > *m / 3.f && (v > 3.f * *m || (double)v * pow(lead(i) / lead(*b), 10.0) > (double)*m)) {
            *m = v;
            *b = i;
        }
    }
}

// The gain that lifts a line whose peak is m to the layer's maximum `top`, at most 10; 0 for a
// silent line.
static float fill_gain(float top, float m) { return m > 0.f ? std::min(10.f, top / m) : 0.f; }

int fill_to_left(ImageStack* image)
{
    return layer_operation(image, "Operation fill to left", [](Plane p, int w, int h) {
        const float top = plane_max(p, w, h);
        if (top > 0.f) // a silent layer has no maxima to fill from
            for (int r = 0; r < h; r++) {
                float m;
                int b;
                find_peak(w, [&](int c) { return p[r][c]; }, [](int c) { return c + 100.0; }, &m, &b);
                std::fill(p[r], p[r] + b, m);
                const float gain = fill_gain(top, m);
                for (int c = 0; c < w; c++)
                    p[r][c] *= gain;
            }
    });
}

int fill_to_bottom(EngineState* es)
{
    return layer_operation(es->image, "Operation fill to bottom", [es](Plane p, int w, int h) {
        const float top = plane_max(p, w, h);
        if (top > 0.f) { // a silent layer has no maxima to fill from
            for (int c = 0; c < w; c++) {
                float m;
                int b;
                find_peak(h, [&](int r) { return p[r][c]; }, [h](int r) { return h + 99.0 - r; }, &m, &b);
                const float gain = fill_gain(top, m);
                for (int r = 0; r < h; r++)
                    p[r][c] = (r >= b ? m : p[r][c]) * gain;
            }
            frequency_correction(p, w, h, es);
        }
    });
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Normalisations
// ---------------------------------------------------------------------------------------------

// Multiplies every pixel by 1/d; divides instead when 1/d is not a float (d subnormal).
static void scale_by_inverse(Plane p, int w, int h, float d)
{
    const float k = 1.f / d;
    for_each_pixel(w, h, [&](int r, int c) {
        p[r][c] = std::isfinite(k) ? p[r][c] * k : clamp_float((double)p[r][c] / d);
    });
}

// Scales a w x h plane so that its largest pixel is 1 (unchanged when that is 0).
static void normalise(Plane p, int w, int h)
{
    const float m = plane_max(p, w, h);
    if (m > 0.f)
        scale_by_inverse(p, w, h, m);
}

int layers_normalisation(ImageStack* image) { return layer_operation(image, "Operation normalisation", normalise); }

int layers_set_sum(ImageStack* image)
{
    return layer_operation(image, "Operation set sum to 1", [](Plane p, int w, int h) {
        double t = 0.0;
        for_each_pixel(w, h, [&](int r, int c) { t += p[r][c]; });
        if (t != 0.0) {
            if (std::fabs(t) <= FLT_MAX)
                scale_by_inverse(p, w, h, (float)t);
            else // a sum beyond the float range: scale in double
                for_each_pixel(w, h, [&](int r, int c) { p[r][c] = (float)(p[r][c] / t); });
        }
    });
}

int horz_norm(ImageStack* image)
{
    return layer_operation(image, "Operation horizontal normalisation", [](Plane p, int w, int h) {
        const std::vector<double> s = row_sums(p, w, h);
        const double m = *std::max_element(s.begin(), s.end());
        for (int r = 0; r < h; r++) {
            const double k = s[(size_t)r] != 0.0 ? m / s[(size_t)r] : 0.0;
            for (int c = 0; c < w; c++)
                p[r][c] = clamp_float(p[r][c] * k);
        }
    });
}

int vert_norm(EngineState* es)
{
    return layer_operation(es->image, "Operation vertical normalisation", [es](Plane p, int w, int h) {
        const std::vector<double> plain = column_sums(p, w, h, {});
        const std::vector<double> weighted = column_sums(p, w, h, row_weights(es, h));
        const double m = *std::max_element(plain.begin(), plain.end());
        for (int c = 0; c < w; c++) {
            const double k = weighted[(size_t)c] != 0.0 ? m / weighted[(size_t)c] : 0.0;
            for (int r = 0; r < h; r++)
                p[r][c] = clamp_float(p[r][c] * k);
        }
    });
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Point-wise functions
// ---------------------------------------------------------------------------------------------

// Replaces every pixel v of the selected layer by f(v) and logs `line`; 0 without a layer.
template <class F> static int map_pixels(ImageStack* image, const char* line, F f)
{
    return layer_operation(image, line, [&f](Plane p, int w, int h) {
        for_each_pixel(w, h, [&](int r, int c) { p[r][c] = f(p[r][c]); });
    });
}

int div_invert(ImageStack* image)
{
    return map_pixels(image, "Operation 1/x", [](float v) { return v > 0.f ? clamp_float(1.0 / v) : 0.f; });
}

int square_layer(ImageStack* image)
{
    return map_pixels(image, "Operation square", [](float v) { return clamp_float((double)v * v); });
}

int sqrt_layer(ImageStack* image)
{
    return map_pixels(image, "Operation square root", [](float v) { return sqrtf(std::max(v, 0.f)); });
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Noise fills
// ---------------------------------------------------------------------------------------------

// Fills every row r of the selected layer with value(r), normalises it and logs `line`: one
// command and one Undo step.
template <class Value> static int noise_fill(ImageStack* image, Value value, const char* line)
{
    return layer_operation(image, line, [&](Plane p, int w, int h) {
        for (int r = 0; r < h; r++)
            std::fill(p[r], p[r] + w, value(r));
        normalise(p, w, h);
    });
}

int fill_white(EngineState* es)
{
    const int h = es->image ? es->image->h : 0;
    const FreqAxis a = display_axis(es);
    return noise_fill(es->image, [&](int r) { return row_weight(r, h, a.fmin, a.fmax, a.base); },
                      "Operation fill white");
}

int fill_pink(ImageStack* image)
{
    return noise_fill(image, [](int) { return 1.f; }, "Operation fill pink");
}

int fill_brown(EngineState* es)
{
    const int h = es->image ? es->image->h : 0;
    const FreqAxis a = display_axis(es);
    return noise_fill(
        es->image,
        [&](int r) {
            return a.base > 1.f ? powf(row_span(r, h, a.fmin, a.fmax, a.base), a.base * 0.5f - 1.5f) : 1.f;
        },
        "Operation fill brown");
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Semitones and Erase Mask
// ---------------------------------------------------------------------------------------------

int group_to_semitone(EngineState* es)
{
    return layer_operation(es->image, "Operation group to semitone", [es](Plane p, int w, int h) {
        const FreqAxis a = display_axis(es);
        for (int y = 0; y < h && h > 1; y++) {
            const float x = (float)y / (float)(h - 1);
            const float f = log_pos_b(1.f - x, a.fmin, a.fmax, a.base);
            if (!(f > 0.f) || !std::isfinite(f)) // no note below 0 Hz
                continue;
            const float note = std::nearbyint(freq_to_note(f));
            const float pos = log_pos_inv_b(note_to_freq(note), a.fmin, a.fmax, a.base) * (float)(h - 1);
            if (!(std::fabs(pos) < 1e9f))
                continue;
            const int t = (h - 1) - (int)std::nearbyint(pos);
            if (t == y || t < 0 || t >= h)
                continue;
            for (int c = 0; c < w; c++)
                p[t][c] += p[y][c];
            std::fill(p[y], p[y] + w, 0.f);
        }
    });
}

int erase_mask(ImageStack* image)
{
    if (image && image->sel == 0 && !image->reference) // the bottom layer is reset from the reference
        return 0;
    return layer_operation(image, "Operation erase", [image](Plane p, int w, int h) {
        for (int r = 0; r < h; r++) {
            if (image->sel == 0)
                memcpy(p[r], image->reference[r], (size_t)w * sizeof(float));
            else
                std::fill(p[r], p[r] + w, 0.f);
        }
    });
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Dispatch from the command slots
// ---------------------------------------------------------------------------------------------

// Runs the operation of request slot `slot` (value `v`) on the selected layer.
static int run_operation(EngineState* es, int slot, int v)
{
    ImageStack* image = es->image;
    switch (slot) {
    case K_ERASE_MASK: return erase_mask(image);
    case K_MASK_INVERT: return mask_invert_image(image);
    case K_INVERT: return invert_image(image);
    case K_HFLIP: return flip_image(image);
    case K_VFLIP: return vflip_image(image);
    case K_ROTATE: return rotate_image(image, v - 1); // 2, 3, 4: 90, 180, 270 degrees
    case 68: return horz_average(image);
    case 69: return vert_average(es);
    case 70: return horz_curves(image);
    case 71: return vert_curves(es);
    case 72: return fill_to_left(image);
    case 73: return fill_to_bottom(es);
    case 74: return layers_normalisation(image);
    case 75: return layers_set_sum(image);
    case 76: return horz_norm(image);
    case 77: return vert_norm(es);
    case K_OP_RECIPROCAL: return div_invert(image);
    case 79: return square_layer(image);
    case 80: return sqrt_layer(image);
    case 81: return fill_white(es);
    case 82: return fill_pink(image);
    case 83: return fill_brown(es);
    case 84: return group_to_semitone(es);
    default: return 0;
    }
}

void layer_operations(EngineState* es)
{
    // Synthesis is stopped by the main loop before it calls this when a flip or a rotation is
    // pending (slots 29, 30, 31): the workers read the layers those rewrite wholesale.
    static const int order[] = {K_OP_RECIPROCAL, K_ERASE_MASK, K_ROTATE, K_HFLIP, K_VFLIP, K_MASK_INVERT, K_INVERT,
                                68, 69, 70, 71, 72, 73, 74, 75, 76, 77, 79, 80, 81, 82, 83, 84};
    ImageStack* image = es->image;
    for (int slot : order) {
        // Taken and cleared before the run: a request arriving meanwhile waits for the next frame.
        const int v = key[slot].exchange(0);
        if (!v || !image || !image->composite)
            continue;
        layer_to_undo(image);
        if (run_operation(es, slot, v) && slot == K_INVERT)
            doc_hook(&DocumentHooks::invert_control, es);
    }
}
