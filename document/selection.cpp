// The spectral selection: a mask of weights over the document.
#include "document/selection.h"

#include "core/state.h"
#include "core/units.h"
#include "document/command_log.h"
#include "document/image.h"
#include "document/undo.h"
#include "platform/util.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Reading the selection
// ---------------------------------------------------------------------------------------------

bool selection_present(const ImageStack* image) { return image && image->selection && image->w > 0 && image->h > 0; }

float selection_weight(const ImageStack* image, int x, int y)
{
    if (!image || x < 0 || y < 0 || x >= image->w || y >= image->h)
        return 0.f;
    return image->selection ? image->selection[y][x] : 1.f;
}

bool selection_bounds(const ImageStack* image, int* x0, int* y0, int* x1, int* y1)
{
    *x0 = *y0 = 0;
    *x1 = image ? image->w : 0;
    *y1 = image ? image->h : 0;
    if (!selection_present(image))
        return false;
    int lx = image->w, ly = image->h, hx = -1, hy = -1;
    for (int y = 0; y < image->h; y++) {
        const float* row = image->selection[y];
        for (int x = 0; x < image->w; x++)
            if (row[x] > 0.f) {
                lx = std::min(lx, x);
                hx = std::max(hx, x);
                ly = std::min(ly, y);
                hy = y;
            }
    }
    if (hx < 0)
        return false;
    *x0 = lx;
    *y0 = ly;
    *x1 = hx + 1;
    *y1 = hy + 1;
    return true;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Changing the selection
// ---------------------------------------------------------------------------------------------

// Weight of a pixel `d` pixels outside a shape whose edge falls over `feather` pixels: a raised
// cosine from 1 at the edge to 0 at the feather's end, so that gains fade without a corner.
static float feather_weight(float d, float feather)
{
    if (d <= 0.f)
        return 1.f;
    if (feather <= 0.f || d >= feather)
        return 0.f;
    return 0.5f + 0.5f * cosf((float)M_PI * d / feather);
}

bool selection_box(ImageStack* image, int x0, int y0, int x1, int y1, float feather, SelectionMode mode)
{
    if (!image || image->w < 1 || image->h < 1)
        return false;
    if (x0 > x1)
        std::swap(x0, x1);
    if (y0 > y1)
        std::swap(y0, y1);
    const bool fresh = !image->selection;
    if (fresh) {
        image->selection = plane_alloc(image->h, image->w);
        if (!image->selection)
            return false;
    }
    feather = std::max(0.f, feather);
    // Weights are 0 a whole feather or more from the box: only the box and its edge are worked
    // out; elsewhere a replacing or first shape writes what weight 0 gives, another leaves the
    // mask alone.
    const int size = std::max(image->w, image->h);
    const int reach = feather >= (float)size ? size + 1 : (int)ceilf(feather);
    const float none = mode == SELECT_SUBTRACT ? 1.f : 0.f; // the old value of a first shape: none = all
    for (int y = 0; y < image->h; y++) {
        float* row = image->selection[y];
        const int dyi = std::max({y0 - y, y - y1, 0});
        int lo = 0, hi = -1;
        if (dyi == 0 || dyi < reach) {
            lo = std::clamp(x0 - reach, 0, image->w);
            hi = std::clamp(x1 + reach, -1, image->w - 1);
        }
        if (fresh || mode == SELECT_REPLACE) {
            const float zero_weight = mode == SELECT_REPLACE ? 0.f : none;
            std::fill(row, row + lo, zero_weight);
            std::fill(row + std::max(hi + 1, lo), row + image->w, zero_weight);
        }
        const float dy = (float)dyi;
        for (int x = lo; x <= hi; x++) {
            const float dx = (float)std::max({x0 - x, x - x1, 0});
            const float w = feather_weight(std::hypot(dx, dy), feather);
            const float old = fresh ? none : row[x];
            row[x] = mode == SELECT_ADD ? std::max(old, w) : mode == SELECT_SUBTRACT ? std::min(old, 1.f - w) : w;
        }
    }
    return true;
}

void selection_clear(ImageStack* image)
{
    if (image)
        plane_free(&image->selection, image->h);
}

// Makes sure a mask exists. A new one is all zeros, or all ones for a shape that subtracts (no
// selection counts as everything selected). False when it cannot be allocated or there is no
// document.
static bool ensure_mask(ImageStack* image, SelectionMode mode = SELECT_ADD)
{
    if (!image || image->w < 1 || image->h < 1)
        return false;
    if (image->selection)
        return true;
    image->selection = plane_alloc(image->h, image->w); // cleared
    if (image->selection && mode == SELECT_SUBTRACT)
        for (int y = 0; y < image->h; y++)
            std::fill(image->selection[y], image->selection[y] + image->w, 1.f);
    return image->selection != nullptr;
}

// A float position as an index within lo..hi (NaN gives lo), without an overflowing conversion.
static int index_within(float v, int lo, int hi)
{
    if (!(v >= (float)lo))
        return lo;
    if (!(v <= (float)hi))
        return hi;
    return (int)v;
}

// A shape's weight `w` at a pixel whose mask value is `old`, combined by `mode`.
static float combine(float old, float w, SelectionMode mode)
{
    return mode == SELECT_SUBTRACT ? std::min(old, 1.f - w) : mode == SELECT_ADD ? std::max(old, w) : w;
}

// Sets every pixel of the mask (made when there is none) to `v`.
static bool fill_mask(ImageStack* image, float v)
{
    if (!ensure_mask(image))
        return false;
    for (int y = 0; y < image->h; y++)
        std::fill(image->selection[y], image->selection[y] + image->w, v);
    return true;
}

bool selection_empty(ImageStack* image) { return fill_mask(image, 0.f); }

bool selection_all(ImageStack* image) { return fill_mask(image, 1.f); }

bool selection_invert(ImageStack* image)
{
    if (!selection_present(image))
        return false;
    for (int y = 0; y < image->h; y++)
        for (int x = 0; x < image->w; x++)
            image->selection[y][x] = 1.f - image->selection[y][x];
    return true;
}

bool selection_dab(ImageStack* image, float x, float y, float rx, float ry, float feather, SelectionMode mode)
{
    if (!std::isfinite(x) || !std::isfinite(y) || !(rx > 0.f) || !(ry > 0.f) || !std::isfinite(rx) ||
        !std::isfinite(ry) || !std::isfinite(feather) || !ensure_mask(image, mode))
        return false;
    feather = std::max(0.f, feather);
    // Distance outside the ellipse, in pixels of its smaller half-extent.
    const float scale = std::min(rx, ry);
    const float reach = 1.f + feather / scale;
    const int c0 = index_within(floorf(x - rx * reach), 0, image->w - 1);
    const int c1 = index_within(ceilf(x + rx * reach), 0, image->w - 1);
    const int r0 = index_within(floorf(y - ry * reach), 0, image->h - 1);
    const int r1 = index_within(ceilf(y + ry * reach), 0, image->h - 1);
    for (int r = r0; r <= r1; r++) {
        float* row = image->selection[r];
        const float dy = ((float)r - y) / ry;
        for (int c = c0; c <= c1; c++) {
            const float dx = ((float)c - x) / rx;
            const float w = feather_weight((std::sqrt(dx * dx + dy * dy) - 1.f) * scale, feather);
            if (w > 0.f)
                row[c] = combine(row[c], w, mode == SELECT_SUBTRACT ? SELECT_SUBTRACT : SELECT_ADD);
        }
    }
    return true;
}

bool selection_polygon(ImageStack* image, const float* xs, const float* ys, int n, float feather, SelectionMode mode)
{
    if (!ensure_mask(image, mode))
        return false;
    feather = std::isfinite(feather) ? std::clamp(feather, 0.f, 64.f) : 0.f;
    const int w = image->w, h = image->h, f = (int)ceilf(feather);
    // The hard shape: pixel centres inside by the even-odd rule, found per row from the crossings.
    std::vector<uint8_t> inside((size_t)w * (size_t)h, 0);
    bool any = false;
    std::vector<float> cross;
    for (int r = 0; n >= 3 && r < h; r++) {
        cross.clear();
        const float py = (float)r;
        for (int i = 0, j = n - 1; i < n; j = i++) {
            const float yi = ys[i], yj = ys[j];
            if (!std::isfinite(yi) || !std::isfinite(yj) || !std::isfinite(xs[i]) || !std::isfinite(xs[j]))
                continue;
            const float xc = xs[i] + (py - yi) / (yj - yi) * (xs[j] - xs[i]);
            if ((yi > py) != (yj > py) && !std::isnan(xc))
                cross.push_back(xc);
        }
        std::sort(cross.begin(), cross.end());
        for (size_t k = 0; k + 1 < cross.size(); k += 2) {
            if (!(cross[k + 1] >= 0.f) || !(cross[k] <= (float)(w - 1)))
                continue; // beside the document (or not a number)
            const int a = index_within(ceilf(cross[k]), 0, w - 1), b = index_within(floorf(cross[k + 1]), 0, w - 1);
            for (int c = a; c <= b; c++) {
                inside[(size_t)r * (size_t)w + (size_t)c] = 1;
                any = true;
            }
        }
    }
    // Weights: 1 inside, the feather by the distance to the nearest inside pixel outside it
    // (looked for only within the feather of the shape's bounds).
    int lo_r = h, hi_r = -1, lo_c = w, hi_c = -1;
    for (int r = 0; any && r < h; r++)
        for (int c = 0; c < w; c++)
            if (inside[(size_t)r * (size_t)w + (size_t)c]) {
                lo_r = std::min(lo_r, r);
                hi_r = r;
                lo_c = std::min(lo_c, c);
                hi_c = std::max(hi_c, c);
            }
    for (int r = 0; r < h; r++) {
        float* row = image->selection[r];
        const bool near_r = r >= lo_r - f && r <= hi_r + f;
        for (int c = 0; c < w; c++) {
            float wt = 0.f;
            if (inside[(size_t)r * (size_t)w + (size_t)c]) {
                wt = 1.f;
            } else if (f > 0 && near_r && c >= lo_c - f && c <= hi_c + f) {
                float best = 1e30f;
                for (int y = std::max(0, r - f); y <= std::min(h - 1, r + f); y++)
                    for (int x = std::max(0, c - f); x <= std::min(w - 1, c + f); x++)
                        if (inside[(size_t)y * (size_t)w + (size_t)x])
                            best = std::min(best, std::hypot((float)(x - c), (float)(y - r)));
                wt = feather_weight(best, feather);
            }
            row[c] = combine(row[c], wt, mode);
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Changes limited to the selection
// ---------------------------------------------------------------------------------------------

bool selection_keep(const ImageStack* image, Plane p, std::vector<float>* before)
{
    if (!selection_present(image) || !p)
        return false;
    const size_t w = (size_t)image->w;
    before->resize(w * (size_t)image->h);
    for (int y = 0; y < image->h; y++)
        if (p[y])
            std::copy(p[y], p[y] + w, before->data() + (size_t)y * w);
    return true;
}

void selection_mix(const ImageStack* image, Plane p, const std::vector<float>& before)
{
    const size_t w = (size_t)image->w;
    if (!selection_present(image) || !p || before.size() != w * (size_t)image->h)
        return;
    for (int y = 0; y < image->h; y++) {
        if (!p[y])
            continue;
        const float* m = image->selection[y];
        const float* old = before.data() + (size_t)y * w;
        for (size_t x = 0; x < w; x++)
            if (m[x] < 1.f) // weight 1 keeps the new value exactly
                p[y][x] = old[x] + m[x] * (p[y][x] - old[x]);
    }
}

float selection_gain_factor(float db)
{
    if (!(db > -120.f))
        return 0.f;
    return powf(10.f, 0.05f * db);
}

bool selection_gain(ImageStack* image, float db)
{
    if (!selection_present(image) || !image->layers || image->sel < 0 || image->sel >= image->count ||
        !std::isfinite(db))
        return false;
    const float g = selection_gain_factor(db);
    LockGuard lock(image->layers_lock);
    Plane p = image->layers[image->sel].plane;
    if (!p)
        return false;
    for (int y = 0; y < image->h; y++) {
        if (!p[y])
            continue;
        const float* m = image->selection[y];
        for (int x = 0; x < image->w; x++)
            if (m[x] > 0.f)
                p[y][x] *= 1.f + m[x] * (g - 1.f);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Selection commands (history lines)
// ---------------------------------------------------------------------------------------------

static const char* const MODE_WORD[3] = {"replace", "add", "subtract"};

const char* selection_mode_word(SelectionMode mode) { return MODE_WORD[std::clamp((int)mode, 0, 2)]; }

int selection_mode_of(const char* word)
{
    for (int m = 0; m < 3; m++)
        if (strcmp(word, MODE_WORD[m]) == 0)
            return m;
    return -1;
}

// The nearest whole pixel of a value read back from the history; 0 for what is not a number.
static int whole_px(float v) { return std::isfinite(v) ? (int)nearbyintf(std::clamp(v, -16777216.f, 16777216.f)) : 0; }

void selection_point_text(EngineState* es, float x, float y, char* out, size_t size, float* px, float* py)
{
    const int tu = key[K_TIME_UNIT], pu = key[K_POS_UNIT];
    char xt[PATH_TEXT_LEN], yt[PATH_TEXT_LEN];
    convert_unit(xt, UNIT_PX, tu, es, 1, 1, x);
    convert_unit(yt, UNIT_PX, pu, es, 0, 1, y);
    if (pu == UNIT_NOTE)
        snprintf(out, size, "%s %s x %s", xt, unit_to_name(tu), yt);
    else
        snprintf(out, size, "%s %s x %s %s", xt, unit_to_name(tu), yt, unit_to_name(pu));
    *px = text_to_px(xt, tu, es, 1);
    *py = text_to_px(yt, pu, es, 0);
}

const char* selection_read_point(EngineState* es, const char* text, float* px, float* py)
{
    char xt[64], xu[16], sep[4], yt[64], yu[16];
    int n = 0;
    if (sscanf(text, " %63s %15s %3s %63s%n", xt, xu, sep, yt, &n) != 4 || strcmp(sep, "x") != 0)
        return nullptr;
    const char* rest = text + n;
    int unit_y = UNIT_NOTE;
    if (!is_note_text(yt)) {
        int m = 0;
        if (sscanf(rest, " %15s%n", yu, &m) != 1)
            return nullptr;
        unit_y = identify_unit(yu);
        rest += m;
    }
    const int unit_x = identify_unit(xu);
    if (unit_x == UNIT_NONE || unit_y == UNIT_NONE)
        return nullptr;
    *px = text_to_px(xt, unit_x, es, 1);
    *py = text_to_px(yt, unit_y, es, 0);
    return std::isfinite(*px) && std::isfinite(*py) ? rest : nullptr;
}

// The document of an engine state when it has pixels.
static ImageStack* document_of(EngineState* es)
{
    ImageStack* im = es ? es->image : nullptr;
    return im && im->composite && im->w > 0 && im->h > 0 ? im : nullptr;
}

int select_box_command(EngineState* es, int x0, int y0, int x1, int y1, SelectionMode mode)
{
    ImageStack* im = document_of(es);
    if (!im)
        return 0;
    char a[2 * PATH_TEXT_LEN], b[2 * PATH_TEXT_LEN];
    float ax, ay, bx, by;
    selection_point_text(es, (float)x0, (float)y0, a, sizeof a, &ax, &ay);
    selection_point_text(es, (float)x1, (float)y1, b, sizeof b, &bx, &by);
    const float feather = logged_float(selection_feather);
    if (!selection_box(im, whole_px(ax), whole_px(ay), whole_px(bx), whole_px(by), feather, mode))
        return 0;
    print_cmd(CMD_TIMED, "Select box %s %s to %s feather %g\n", selection_mode_word(mode), a, b, (double)feather);
    return 1;
}

int select_lasso_command(EngineState* es, const float* xs, const float* ys, int n, SelectionMode mode)
{
    ImageStack* im = document_of(es);
    if (!im || n < 3)
        return 0;
    const float feather = logged_float(selection_feather);
    std::vector<float> px((size_t)n), py((size_t)n);
    std::string lines;
    char text[2 * PATH_TEXT_LEN];
    for (int i = 0; i < n; i++) {
        selection_point_text(es, xs[i], ys[i], text, sizeof text, &px[(size_t)i], &py[(size_t)i]);
        lines += "Lasso ";
        lines += text;
        lines += "\n";
    }
    if (!selection_polygon(im, px.data(), py.data(), n, feather, mode))
        return 0;
    print_cmd(CMD_TIMED, "Select lasso %s feather %g", selection_mode_word(mode), (double)feather);
    print_cmd(CMD_CONTINUATION, "%sSelect lasso end\n", lines.c_str());
    return 1;
}

// The brush stroke in progress as its history lines give it back (main thread).
static struct BrushStroke {
    float rx = 0.f, ry = 0.f, feather = 0.f;
    SelectionMode mode = SELECT_ADD;
    bool open = false;
} brush;

int select_brush_begin(EngineState* es, float rx, float ry, SelectionMode mode)
{
    ImageStack* im = document_of(es);
    brush.open = false;
    if (!im || !(rx > 0.f) || !(ry > 0.f) || !std::isfinite(rx) || !std::isfinite(ry))
        return 0;
    if (mode == SELECT_REPLACE && !selection_empty(im))
        return 0;
    brush = {logged_float(rx), logged_float(ry), logged_float(selection_feather), mode, true};
    print_cmd(CMD_TIMED, "Select brush %s %g px x %g px feather %g", selection_mode_word(mode), (double)brush.rx,
              (double)brush.ry, (double)brush.feather);
    return 1;
}

int select_brush_point(EngineState* es, float x, float y)
{
    ImageStack* im = document_of(es);
    if (!im || !brush.open)
        return 0;
    char text[2 * PATH_TEXT_LEN];
    float px, py;
    selection_point_text(es, x, y, text, sizeof text, &px, &py);
    if (!selection_dab(im, px, py, brush.rx, brush.ry, brush.feather, brush.mode))
        return 0;
    print_cmd(CMD_CONTINUATION, "Brush %s", text);
    return 1;
}

int select_all_command(EngineState* es)
{
    ImageStack* im = document_of(es);
    if (!im || !selection_all(im))
        return 0;
    print_cmd(CMD_TIMED, "Select all\n");
    return 1;
}

int select_none_command(EngineState* es)
{
    ImageStack* im = document_of(es);
    if (!im || !selection_present(im))
        return 0;
    selection_clear(im);
    print_cmd(CMD_TIMED, "Select none\n");
    return 1;
}

int select_invert_command(EngineState* es)
{
    ImageStack* im = document_of(es);
    if (!im || !selection_invert(im))
        return 0;
    print_cmd(CMD_TIMED, "Select invert\n");
    return 1;
}

// The end of a change of the selected region: one Undo step, its history line, the document
// marked for a new synthesis.
static int region_changed(ImageStack* im, const char* line)
{
    undo_commit(im, line);
    print_cmd(CMD_TIMED, "%s\n", line);
    im->change_state = 1;
    return 1;
}

int selection_gain_command(EngineState* es, float db)
{
    ImageStack* im = document_of(es);
    if (!im || !std::isfinite(db))
        return 0;
    db = logged_float(std::clamp(db, -120.f, 24.f));
    if (!selection_gain(im, db))
        return 0;
    char line[64];
    snprintf(line, sizeof line, "Gain on selection %g dB", (double)db);
    return region_changed(im, line);
}

int selection_delete_command(EngineState* es)
{
    ImageStack* im = document_of(es);
    if (!im || !selection_gain(im, -120.f))
        return 0;
    return region_changed(im, "Delete selection");
}
