// Scales, cursor, overlays, the waveform strip with its worker and the progress over it, and the
// slow-mouse mode. See scales.h.
#include "display/scales.h"

#include "core/state.h"
#include "display/screen.h"
#include "display/view.h"
#include "document/operations.h"
#include "document/paint.h"
#include "dsp/analysis.h"
#include "dsp/noise_full.h"
#include "dsp/scale.h"
#include "files/picture.h"
#include "render/plot.h"
#include "platform/util.h"
#include "sound/synthesis.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Pixels and colours
// ---------------------------------------------------------------------------------------------

constexpr uint32_t MARK_LIGHT = 0xFFFFFFFFu; // contrast colour over a dark picture
constexpr uint32_t MARK_DARK = 0u;           // contrast colour over a light picture

// B + 2G + R of a pixel (bytes 0, 1, 2 are red, green, blue).
static int lightness(uint32_t p) { return channel(p, 0) + 2 * channel(p, 1) + channel(p, 2); }

// White over what is dark, black over what is light.
static uint32_t contrast(int light) { return light < 513 ? MARK_LIGHT : MARK_DARK; }

static uint32_t palette_pixel(int k)
{
    const uint8_t* c = palette_colour(k);
    return pack_rgb(c[0], c[1], c[2]);
}

static bool on_screen(int x, int y) { return x >= 0 && y >= 0 && x < SCRN_W && y < SCRN_H; }

static void put(uint32_t* fb, int x, int y, uint32_t c)
{
    if (fb && on_screen(x, y))
        fb[(size_t)y * (size_t)SCRN_W + (size_t)x] = c;
}

// The view rectangle of the image stack.
struct ViewRect {
    int x, y, w, h;
    bool contains(int px, int py) const { return px >= x && py >= y && px < x + w && py < y + h; }
};

static ViewRect view_rect(const ImageStack* image) { return {image->view_x, image->view_y, image->view_w, image->view_h}; }

// The picture under window pixel (x, y): the rendered view (`display`, view_w x view_h) inside
// the view, else the frame buffer. The caller holds `display_lock`.
static uint32_t under(const ImageStack* image, const uint32_t* fb, int x, int y)
{
    const ViewRect v = view_rect(image);
    if (image->display && v.contains(x, y)) {
        uint32_t p;
        memcpy(&p, image->display + ((size_t)(y - v.y) * (size_t)v.w + (size_t)(x - v.x)) * 4, 4);
        return p;
    }
    return fb && on_screen(x, y) ? fb[(size_t)y * (size_t)SCRN_W + (size_t)x] : 0u;
}

// Puts the rendered picture back at (x, y) when it lies in the view. Caller holds `display_lock`.
static void restore(uint32_t* fb, const ImageStack* image, int x, int y)
{
    if (image->display && view_rect(image).contains(x, y))
        put(fb, x, y, under(image, fb, x, y));
}

// A mark pixel at (x, y) in the contrast colour of the picture under it, inside the view only.
static void mark(uint32_t* fb, const ImageStack* image, int x, int y)
{
    if (view_rect(image).contains(x, y))
        put(fb, x, y, contrast(lightness(under(image, fb, x, y))));
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Hooks and resources
// ---------------------------------------------------------------------------------------------

ScalesHooks scales_hooks = {nullptr, nullptr};
float cursor_tool_width = 8.f;

// The pointer as the overlays draw it: the frame loop copies the pointer globals here under
// `overlay_lock`, so that the continuous redraw thread never reads them while the frame loop
// writes them.
struct OverlayPointer {
    int x, y;   // pointer position in drawing-area pixels
    float width; // "Spray width" knob value
    int tool;   // current tool
};
static OverlayPointer overlay_pointer = {-1, -1, 8.f, 0};

// Strip colours: R - 1 band colours, lowest band first, then the background.
static std::vector<uint32_t> rainbow = [] {
    std::vector<uint32_t> c;
    for (int i = 0; i < 32; i++)
        c.push_back(pack_rgb(80 + 5 * i, 80 + 5 * i, 90 + 5 * i));
    c.push_back(pack_rgb(24, 25, 28));
    return c;
}();

int scales_colours_load()
{
    int w = 0, h = 0;
    uint8_t* px = load_image_ph("gfx/rainbow.png", &w, &h, 0);
    const bool ok = px && w >= 2 && h >= 1;
    if (ok) {
        std::vector<uint32_t> c((size_t)w);
        for (int i = 0; i < w; i++)
            c[(size_t)i] = pack_rgb(px[4 * i], px[4 * i + 1], px[4 * i + 2]);
        rainbow.swap(c);
    }
    free(px);
    return ok ? 1 : 0;
}

void scales_install_hooks()
{
    view_hooks.overlays = draw_overlays;
    view_hooks.analysis_strip = waveform_analysis_strip;
    noise_full_ready_hook = waveform_start_hook;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Visible frequency range
// ---------------------------------------------------------------------------------------------

// The frequency axis of the view's visible rows of a document of h rows.
static VisibleAxis visible_axis(float fmin, float fmax, float base, int h)
{
    return rows_axis(fmin, fmax, base, h, crop_y, crop_h);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Frame and label texts
// ---------------------------------------------------------------------------------------------

void image_rect(uint32_t* fb)
{
    const int grey = palette_colour(2)[0];
    const int side_h = SCRN_H - 45 - WAVEFORM_H - MARGIN_Y;
    blit_grey_rect(fb, grey, SCRN_W - 178, 1, 119, WAVEFORM_H + 46);
    blit_grey_rect(fb, grey, SCRN_W - 178, 1, 119, SCRN_H - MARGIN_Y);
    blit_grey_rect(fb, grey, 1, side_h, 119, WAVEFORM_H + 46);
    blit_grey_rect(fb, grey, 1, side_h, SCRN_W - 60, WAVEFORM_H + 46);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Scales
// ---------------------------------------------------------------------------------------------

// Rows of the scales: H positions from the bottom of the view (0) to its top (H).
static int scale_rows() { return SCRN_H - MARGIN_Y - WAVEFORM_H - 47; }

std::vector<ScaleLabel> left_scale_labels(int glyph_h, float fmin, float fmax, float base, int h)
{
    return frequency_labels(glyph_h, visible_axis(fmin, fmax, base, h), scale_rows());
}

std::vector<ScaleLabel> right_scale_labels(int glyph_h, float fmin, float fmax, float base, int h)
{
    return note_labels(glyph_h, visible_axis(fmin, fmax, base, h), scale_rows());
}

std::vector<ScaleLabel> bottom_scale_labels(int columns, int first, float pps)
{
    std::vector<ScaleLabel> out = time_labels(columns, first, pps, SCRN_W - 180);
    for (ScaleLabel& l : out)
        l.pos += 120; // the view's left edge in the window
    return out;
}


void draw_left_scale(uint32_t* fb, const BitmapFont& font, float fmin, float fmax, float base, int h)
{
    if (fb && font.glyph_count)
        draw_frequency_scale(screen_frame(fb), font, left_scale_labels(font.glyph_h, fmin, fmax, base, h), 121,
                             SCRN_H - MARGIN_Y);
}

void draw_right_scale(uint32_t* fb, const BitmapFont& font, float fmin, float fmax, float base, int h)
{
    if (fb && font.glyph_count)
        draw_note_scale(screen_frame(fb), font, right_scale_labels(font.glyph_h, fmin, fmax, base, h), SCRN_W - 61,
                        SCRN_H - MARGIN_Y);
}

void draw_bottom_scale(uint32_t* fb, int columns, int first, const BitmapFont& font, float pps)
{
    if (fb && font.glyph_count)
        draw_time_scale(screen_frame(fb), font, bottom_scale_labels(columns, first, pps), 0, SCRN_H - MARGIN_Y - 1);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Texts
// ---------------------------------------------------------------------------------------------

void print_note(char* text, size_t size, int append, float v)
{
    if (!text || size == 0 || !std::isfinite(v) || fabsf(v) > 1e6f)
        return;
    const int n = (int)lroundf(v);
    float c = (v - (float)n) * 100.f;
    const char* name = NOTE_NAMES[note_in_octave(n)];
    const int octave = note_octave(n);
    if (append) {
        const size_t len = strnlen(text, size - 1);
        snprintf(text + len, size - len, " (%s%d %+03.0f)", name, octave, c);
        return;
    }
    if (fabsf(c) < 0.001f)
        c = 0.f;
    char buf[64];
    snprintf(buf, sizeof buf, "%s%d%+06.2f", name, octave, c);
    size_t len = strlen(buf);
    while (len > 0 && buf[len - 1] == '0')
        buf[--len] = 0;
    if (len > 0 && buf[len - 1] == '.')
        buf[--len] = 0;
    snprintf(text, size, "%s", buf);
}

int mouse_freq_time_pos(char* out, size_t size, EngineState* es)
{
    const ImageStack* image = es ? es->image : nullptr;
    if (!out || size == 0 || !image || !image->composite || image->w <= 0 || image->h <= 0 || key[K_NO_STATUS_TEXT])
        return 0;
    const ViewRect v = view_rect(image);
    const float pps = es->anal_params[2];
    if (!v.contains(mouse_ax, mouse_ay) || v.w <= 0 || v.h <= 0 || !(pps > 0.f))
        return 0;
    const float f = log_pos_b(1.f - ((float)crop_y + (float)(mouse_ay - v.y) * (float)crop_h / (float)v.h) / (float)image->h,
                              es->anal_params[0], es->anal_params[1], es->anal_params[6]);
    const double t = ((double)crop_x + (double)(mouse_ax - 120) * (crop_w - 1) / (double)(SCRN_W - 180)) / pps;
    char buf[256];
    if (t == 0.0) {
        snprintf(buf, sizeof buf, "%.2f Hz", f);
    } else {
        char time[64];
        sprintf_bottom_scale(time, sizeof time, 3, t);
        snprintf(buf, sizeof buf, "%s - %.2f Hz", time, f);
    }
    if (f > 0.f && std::isfinite(f)) // 0 Hz (a linear axis) has no note
        print_note(buf, sizeof buf, 1, freq_to_note(f));
    snprintf(out, size, "%s", buf);
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Playback bar
// ---------------------------------------------------------------------------------------------

// What the overlays drew last; guarded by the callers' `overlay_lock`.
struct Marks {
    std::vector<int> pts;           // x, y pairs of the cursor marks drawn
    int mx = -1, my = -1;           // mouse position they were drawn for
    int gx = -1, gy = -1;           // magnet position
    const uint8_t* display = nullptr; // `display` they were drawn over
    int bar_col = 0, bar_shown = 0; // playback bar column in the view
    int system_cursor = -1;         // last state given to the show_system_cursor hook
};

static Marks marks;

void overlays_reset() { marks = Marks{}; }

static void restore_column(uint32_t* fb, const ImageStack* image, int col)
{
    const ViewRect v = view_rect(image);
    if (col < 0 || col >= v.w)
        return;
    for (int y = 0; y < v.h; y++)
        restore(fb, image, v.x + col, v.y + y);
}

void draw_bar(uint32_t* fb, ImageStack* image, std::atomic<int32_t>* dirty, int force, double p, double L)
{
    if (!fb || !image)
        return;
    LockGuard lock(image->display_lock);
    const ViewRect v = view_rect(image);
    int col = -1;
    if (L > 0.0 && crop_w > 1 && image->w > 0 && v.w > 0) {
        const double c = (double)v.w * ((double)image->w * p / L - crop_x) / (double)(crop_w - 1) + 0.5;
        if (std::isfinite(c) && c > -1.0 && c < (double)v.w)
            col = (int)c;
    }
    if (col >= 0) {
        if (!force && marks.bar_shown && col == marks.bar_col)
            return;
        if (marks.bar_shown)
            restore_column(fb, image, marks.bar_col);
        for (int y = 0; y < v.h; y++)
            mark(fb, image, v.x + col, v.y + y);
        marks.bar_col = col;
        marks.bar_shown = 1;
    } else {
        if (!marks.bar_shown)
            return;
        restore_column(fb, image, marks.bar_col);
        marks.bar_shown = 0;
    }
    if (dirty)
        *dirty = 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Cursor
// ---------------------------------------------------------------------------------------------

// Pixels above the fundamental at view row y (from the view top) of its harmonic k, for a view
// of `vh` rows showing the visible range of `a`; 0 or less when there is none. On a curved axis
// harmonic k lies log_s(k) K' rows up, K' = (vh - 1) / (log_s f_top - log_s f_bottom); on a
// linear axis at the row of k times the frequency under the cursor.
static float harmonic_rise(const VisibleAxis& a, int vh, float y, int k)
{
    if (!a.ok || vh < 2)
        return 0.f;
    if (a.base > 1.f) {
        if (!(a.f_bottom > 0.f))
            return 0.f;
        return logf((float)k) * (float)(vh - 1) / (logf(a.f_top) - logf(a.f_bottom));
    }
    const float zero_y = (float)(vh - 1) * a.f_top / (a.f_top - a.f_bottom); // where 0 Hz would lie
    return (float)(k - 1) * (zero_y - y);
}

// A cross of half-lengths rv (vertical) and rh (horizontal) at (x, y) with a gap of `gap` pixels
// each side of the centre, as points appended to `pts`.
static void cross_points(std::vector<int>& pts, int x, int y, int rv, int rh, int gap)
{
    for (int d = -rv; d <= rv; d++)
        if (gap <= 0 || abs(d) > gap) {
            pts.push_back(x);
            pts.push_back(y + d);
        }
    for (int d = -rh; d <= rh; d++)
        if (d != 0 && (gap <= 0 || abs(d) > gap)) {
            pts.push_back(x + d);
            pts.push_back(y);
        }
}

void draw_cursor(uint32_t* fb, EngineState* es, ImageStack* image, int mx, int my, float width, int tool,
                 std::atomic<int32_t>* dirty)
{
    if (!fb || !image)
        return;
    const ViewRect v = view_rect(image);
    const bool doc = image->composite && image->w > 0 && image->h > 0;
    const bool custom = doc && tool >= TOOL_DARK_SPRAY && tool <= TOOL_RECTANGLE && (v.contains(mx, my) || slow_mouse);
    if (marks.system_cursor != (custom ? 0 : 1)) {
        marks.system_cursor = custom ? 0 : 1;
        if (scales_hooks.show_system_cursor)
            scales_hooks.show_system_cursor(marks.system_cursor);
    }

    // The magnet's window position.
    int gx = -1, gy = -1;
    if (doc && magnet && crop_w > 1 && crop_h > 1) {
        gx = (int)((float)(magnet_x - crop_x) * (float)v.w / (float)(crop_w - 1) + (float)v.x + 0.5f);
        gy = (int)((float)v.y + (float)(magnet_y - crop_y) * (float)v.h / (float)(crop_h - 1) + 0.5f);
    }
    const bool moved = mx != marks.mx || my != marks.my || gx != marks.gx || gy != marks.gy;

    bool fresh;
    {
        LockGuard lock(image->display_lock);
        fresh = image->display != marks.display;
        marks.display = image->display;
        for (size_t i = 0; i + 1 < marks.pts.size(); i += 2)
            restore(fb, image, marks.pts[i], marks.pts[i + 1]);
        marks.pts.clear();
    }

    if (doc && es) {
        // Live synthesis plays from a column position; the block sound from a sample position.
        if (key[state_of(K_LIVE_SYNTH)])
            draw_bar(fb, image, dirty, fresh || moved,
                     std::atomic_ref<double>(es->play_pos_fine).load(std::memory_order_relaxed), (double)image->w);
        else
            draw_bar(fb, image, dirty, fresh || moved, (double)es->play_pos.load(), (double)es->sound_len.load());
    } else {
        draw_bar(fb, image, dirty, 0, 0.0, 0.0); // erases a bar left from a previous document
    }

    if (custom) {
        std::vector<int> pts;
        // The rectangle's cross is a plain mark; a spray's spans its dab.
        int rh = 12, r = 12;
        float bx, by;
        if (tool != TOOL_RECTANGLE && brush_window_radius(image, std::max(width, 0.f), &bx, &by)) {
            rh = std::clamp((int)lroundf(bx), 2, std::max(v.w, 2));
            r = std::clamp((int)lroundf(by), 2, std::max(v.h, 2));
        }
        if (magnet && gx >= 0)
            for (const int d : {2, 3})
                for (const int sx : {-1, 1})
                    for (const int sy : {-1, 1}) {
                        pts.push_back(gx + sx * d);
                        pts.push_back(gy + sy * d);
                    }
        cross_points(pts, mx, my, r, rh, std::min(r, rh) / 5);
        if (harmonics && tool != TOOL_RECTANGLE && es) {
            const VisibleAxis a = visible_axis(es->anal_params[0], es->anal_params[1], es->anal_params[6], image->h);
            for (int k = 2; k <= 5; k++) {
                const float rise = harmonic_rise(a, v.h, (float)(my - v.y), k);
                if (!(rise > 0.f) || !std::isfinite(rise) || rise > (float)v.h)
                    continue;
                const int rk = std::max((int)((float)r / sqrtf((float)k)), 2);
                cross_points(pts, mx, my - (int)lroundf(rise), rk, rh, rk / 5);
            }
        }
        LockGuard lock(image->display_lock);
        for (size_t i = 0; i + 1 < pts.size(); i += 2)
            if (v.contains(pts[i], pts[i + 1])) {
                mark(fb, image, pts[i], pts[i + 1]);
                marks.pts.push_back(pts[i]);
                marks.pts.push_back(pts[i + 1]);
            }
    }
    if (moved && dirty)
        *dirty = 1;
    marks.mx = mx;
    marks.my = my;
    marks.gx = gx;
    marks.gy = gy;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Beat bars and semitone lines
// ---------------------------------------------------------------------------------------------

void draw_beat_bars(uint32_t* fb, ImageStack* image)
{
    if (!fb || !image || image->w <= 0 || crop_w < 2)
        return;
    LockGuard lock(image->display_lock);
    const ViewRect v = view_rect(image);
    for (int i = 0; i < 16; i++) {
        const float c = (float)v.w * ((float)image->w * (float)i / 16.f - (float)crop_x) / (float)(crop_w - 1) + 0.5f;
        if (!(c >= 0.f && c < (float)v.w))
            continue;
        const int x = v.x + (int)c;
        const bool bar = i % 4 == 0;
        const int len = bar ? 32 : 4, period = bar ? 48 : 16;
        for (int y0 = 0; y0 < v.h; y0 += period) {
            const int y1 = std::min(y0 + len, v.h);
            long sum = 0;
            for (int y = y0; y < y1; y++)
                sum += lightness(under(image, fb, x, v.y + y));
            const uint32_t colour = contrast((int)(sum / (y1 - y0)));
            for (int y = y0; y < y1; y++)
                put(fb, x, v.y + y, colour);
        }
    }
}

void draw_semitone_overlay(uint32_t* fb, EngineState* es)
{
    ImageStack* image = es ? es->image : nullptr;
    if (!fb || !image || image->h <= 0)
        return;
    const VisibleAxis a = visible_axis(es->anal_params[0], es->anal_params[1], es->anal_params[6], image->h);
    const ViewRect v = view_rect(image);
    if (!a.ok || !(a.f_top > 0.f) || v.h <= 0)
        return;
    // Density from the spacing of the lowest semitone, C0 to C#0, on the current axis.
    const float d = fabsf(visible_pos(a, 17.323914f) - visible_pos(a, 16.351599f)) * (float)v.h;
    if (!(d >= 8.f))
        return;
    const bool all = d >= 16.f;
    static const bool natural[12] = {1, 0, 1, 0, 1, 1, 0, 1, 0, 1, 0, 1};
    static const bool sparse[12] = {1, 0, 1, 0, 1, 0, 0, 1, 0, 1, 0, 0}; // C, D, E, G, A
    const int n0 = a.f_bottom > 0.f ? (int)floorf(std::max(freq_to_note(a.f_bottom), -120.f)) : -120;
    const int n1 = (int)ceilf(std::min(freq_to_note(a.f_top), 1000.f));
    LockGuard lock(image->display_lock);
    for (int n = n0; n <= n1; n++) {
        const int idx = note_in_octave(n);
        if (!all && !sparse[idx])
            continue;
        const float q = visible_pos(a, note_to_freq((float)n));
        if (!std::isfinite(q))
            continue;
        const int row = v.h - (int)(q * (float)v.h) - 1;
        if (row < 0 || row >= v.h)
            continue;
        const int len = natural[idx] ? 16 : 4, period = natural[idx] ? 32 : 16;
        for (int x = 0; x < v.w; x++)
            if (x % period < len)
                mark(fb, image, v.x + x, v.y + row);
    }
}

void draw_overlays(EngineState* es, uint32_t* fb)
{
    ImageStack* image = es ? es->image : nullptr;
    if (!image || !fb)
        return;
    const OverlayPointer p = overlay_pointer;
    draw_cursor(fb, es, image, p.x, p.y, p.width, p.tool, image->screen_dirty);
    if (!image->composite)
        return;
    if (key[state_of(K_RHYTHM_OVERLAY)])
        draw_beat_bars(fb, image);
    if (key[state_of(K_SEMITONE_OVERLAY)])
        draw_semitone_overlay(fb, es);
}

void overlays_frame(EngineState* es, uint32_t* fb)
{
    if (!es || !es->image)
        return;
    LockGuard lock(es->image->overlay_lock);
    overlay_pointer = OverlayPointer{mouse_ax, mouse_ay, cursor_tool_width, mouse_function};
    draw_overlays(es, fb);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Resamplers
// ---------------------------------------------------------------------------------------------

void resize_float(const float* in, float* out, int in_w, int out_w)
{
    float* row = const_cast<float*>(in); // read only
    resize_float_2Din(in ? &row : nullptr, out, in_w, 1, out_w, 1);
}

// The tent of each output position along one axis: first input, count, and weights (offset into
// `weight`). An axis of unchanged size maps each position to itself.
struct Tent {
    std::vector<int> first, count;
    std::vector<size_t> offset;
    std::vector<float> weight;
};

static Tent tent_axis(int in_n, int out_n, bool divide)
{
    Tent t;
    t.first.resize((size_t)out_n);
    t.count.resize((size_t)out_n);
    t.offset.resize((size_t)out_n);
    const float step = (float)(in_n - 1) / (float)out_n, radius = std::max(1.f, step);
    for (int o = 0; o < out_n; o++) {
        t.offset[(size_t)o] = t.weight.size();
        if (in_n == out_n) {
            t.first[(size_t)o] = o;
            t.count[(size_t)o] = 1;
            t.weight.push_back(1.f);
            continue;
        }
        const float c = (float)o * step;
        const int i0 = std::max((int)ceilf(c - radius), 0), i1 = std::min((int)ceilf(c + radius), in_n);
        t.first[(size_t)o] = i0;
        t.count[(size_t)o] = std::max(i1 - i0, 0);
        float sum = 0.f;
        for (int i = i0; i < i1; i++) {
            t.weight.push_back(1.f - fabsf((float)i - c) / radius);
            sum += t.weight.back();
        }
        if (divide && sum > 0.f)
            for (int i = i0; i < i1; i++)
                t.weight[t.offset[(size_t)o] + (size_t)(i - i0)] /= sum;
    }
    return t;
}

uint32_t* resize_raster(const uint32_t* in, int in_w, int in_h, int out_w, int out_h)
{
    if (!in || in_w <= 0 || in_h <= 0 || out_w <= 0 || out_h <= 0)
        return nullptr;
    const float rx = std::max(1.f, (float)(in_w - 1) / (float)out_w), ry = std::max(1.f, (float)(in_h - 1) / (float)out_h);
    const bool divide = !(rx == 1.f && ry == 1.f); // enlarging both ways: the tents sum to one already
    const Tent tx = tent_axis(in_w, out_w, divide), ty = tent_axis(in_h, out_h, divide);

    // Horizontal pass over every input row, then the vertical pass.
    std::vector<float> hor((size_t)in_h * (size_t)out_w * 4, 0.f);
    for (int j = 0; j < in_h; j++) {
        const uint8_t* row = reinterpret_cast<const uint8_t*>(in + (size_t)j * (size_t)in_w);
        float* o = hor.data() + (size_t)j * (size_t)out_w * 4;
        for (int x = 0; x < out_w; x++) {
            const float* w = tx.weight.data() + tx.offset[(size_t)x];
            for (int t = 0; t < tx.count[(size_t)x]; t++) {
                const uint8_t* p = row + (size_t)(tx.first[(size_t)x] + t) * 4;
                for (int c = 0; c < 4; c++)
                    o[4 * x + c] += w[t] * (float)p[c];
            }
        }
    }
    uint32_t* out = static_cast<uint32_t*>(wrmalloc((size_t)out_w * (size_t)out_h * 4));
    uint8_t* ob = reinterpret_cast<uint8_t*>(out);
    for (int y = 0; y < out_h; y++) {
        const float* w = ty.weight.data() + ty.offset[(size_t)y];
        for (int x = 0; x < out_w; x++) {
            float acc[4] = {0.f, 0.f, 0.f, 0.f};
            for (int t = 0; t < ty.count[(size_t)y]; t++) {
                const float* h = hor.data() + ((size_t)(ty.first[(size_t)y] + t) * (size_t)out_w + (size_t)x) * 4;
                for (int c = 0; c < 4; c++)
                    acc[c] += w[t] * h[c];
            }
            // Truncated; a weighted mean of equal bytes can land a hair below them in floats.
            for (int c = 0; c < 4; c++)
                ob[((size_t)y * (size_t)out_w + (size_t)x) * 4 + (size_t)c] =
                    (uint8_t)std::clamp((int)(acc[c] + 1e-3f), 0, 255);
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Waveform strip
// ---------------------------------------------------------------------------------------------

// The published strip; guarded by the image stack's `screen_lock`.
static WaveformStrip strip = {nullptr, 0, 0, {0, 0, 0, 0.f, 0.f, 1.f}};

WaveformView waveform_view_now(const EngineState* es)
{
    WaveformView v{crop_x, crop_w, SCRN_W - 180, 0.f, 0.f, 1.f};
    if (es) {
        v.fmin = es->anal_params[0];
        v.fmax = es->anal_params[1];
        v.base = es->anal_params[6];
    }
    return v;
}

// Usable sample: positive and finite, else 0.
static inline float energy(float v) { return v > 0.f && v <= FLT_MAX ? v : 0.f; }

// Band lines of the visible columns: bands x WAVEFORM_COLUMNS sums of the rows of each band
// (band 0 the highest rows), each row weighted by its row weight. Returns false without a
// document. Takes `layers_lock`.
static bool band_lines(ImageStack* image, const WaveformView& view, int bands, std::vector<float>& lines)
{
    constexpr int C = WAVEFORM_COLUMNS;
    lines.assign((size_t)bands * C, 0.f);
    LockGuard lock(image->layers_lock);
    const Plane p = image->composite;
    const int w = image->w, h = image->h;
    if (!p || w <= 0 || h <= 0)
        return false;
    const int cx = std::clamp(view.crop_x, 0, w - 1);
    const int cw = std::clamp(view.crop_w, 1, w - cx);
    std::vector<float> weight((size_t)h);
    for (int r = 0; r < h; r++)
        weight[(size_t)r] = row_weight(r, h, view.fmin, view.fmax, view.base);

    const bool tent = cw <= C && cw <= view.width;
    std::vector<float> sum;
    std::vector<int> src;
    if (tent) {
        sum.resize((size_t)cw);
    } else { // nearest sampling of the visible columns onto the line
        src.resize(C);
        for (int i = 0; i < C; i++)
            src[(size_t)i] = cx + std::min((int)((float)i * (float)(cw - 1) / (float)C + 0.5f), cw - 1);
    }
    for (int b = 0; b < bands; b++) {
        const int r0 = (int)((long long)b * h / bands), r1 = (int)((long long)(b + 1) * h / bands);
        float* line = lines.data() + (size_t)b * C;
        if (tent)
            std::fill(sum.begin(), sum.end(), 0.f);
        for (int r = r0; r < r1; r++) {
            const float* row = filled_row(p, r); // rows appear while an analysis fills them
            const float wt = weight[(size_t)r];
            if (!row)
                continue;
            if (tent)
                for (int c = 0; c < cw; c++)
                    sum[(size_t)c] += wt * energy(row[cx + c]);
            else
                for (int i = 0; i < C; i++)
                    line[i] += wt * energy(row[src[(size_t)i]]);
        }
        if (tent)
            resize_float(sum.data(), line, cw, C);
    }
    return true;
}

WaveformStrip waveform_gen(EngineState* es, const WaveformView& view, int height)
{
    constexpr int C = WAVEFORM_COLUMNS;
    WaveformStrip out = {nullptr, 0, 0, view};
    ImageStack* image = es ? es->image : nullptr;
    const int R = (int)rainbow.size(), bands = R - 1;
    if (!image || height <= 0 || view.width <= 0 || bands < 1)
        return out;
    std::vector<float> lines;
    if (!band_lines(image, view, bands, lines))
        return out;

    // Each band's line becomes the sum of itself and every band below it: band 0 (the top)
    // then holds the whole energy, which normalises all.
    for (int b = bands - 2; b >= 0; b--)
        for (int i = 0; i < C; i++)
            lines[(size_t)b * C + (size_t)i] += lines[(size_t)(b + 1) * C + (size_t)i];
    float m = 0.f;
    for (int i = 0; i < C; i++)
        m = std::max(m, lines[(size_t)i]);
    const float k = m > 0.f && m <= FLT_MAX ? 1.f / m : 0.f;

    const bool live = key[state_of(K_LIVE_SYNTH)];
    const bool idle = live ? key[K_NOISE_INIT] || key[K_WAVEFORM_AGAIN] : (bool)key[state_of(K_SUSPEND)];
    const uint32_t background = idle ? palette_pixel(4) : rainbow[(size_t)R - 1];

    // Lower half from the middle row down, in 1/256 pixel: pixel d covers d*256 - 128 .. d*256 + 128
    // from the middle (the middle row only its lower half). Band b spans a[b + 1] .. a[b] outward,
    // the lowest band innermost; beyond a[0] lies the background.
    const int mid = height / 2;
    const float full = ((float)mid + 0.5f) * 256.f;
    std::vector<uint32_t> wave((size_t)C * (size_t)height);
    std::vector<long> a((size_t)bands + 1);
    for (int i = 0; i < C; i++) {
        for (int b = 0; b < bands; b++)
            a[(size_t)b] = (long)(full * lines[(size_t)b * C + (size_t)i] * k);
        a[(size_t)bands] = 0;
        for (int d = 0; d <= mid; d++) {
            const long lo = d == 0 ? 0 : (long)d * 256 - 128, hi = (long)d * 256 + 128;
            long acc[3] = {0, 0, 0};
            const auto add = [&](uint32_t colour, long cover) {
                for (int c = 0; c < 3; c++)
                    acc[c] += cover * channel(colour, c);
            };
            for (int b = bands - 1; b >= 0; b--) {
                const long s0 = std::max(lo, a[(size_t)b + 1]), s1 = std::min(hi, a[(size_t)b]);
                if (a[(size_t)b + 1] >= hi)
                    break;
                if (s1 > s0)
                    add(rainbow[(size_t)(bands - 1 - b)], s1 - s0);
            }
            if (hi > std::max(lo, a[0]))
                add(background, hi - std::max(lo, a[0]));
            const long span = hi - lo;
            const uint32_t px = pack_rgb((int)(acc[0] / span), (int)(acc[1] / span), (int)(acc[2] / span));
            if (mid + d < height)
                wave[(size_t)(mid + d) * C + (size_t)i] = px;
            if (mid - d >= 0)
                wave[(size_t)(mid - d) * C + (size_t)i] = px;
        }
    }
    out.px = resize_raster(wave.data(), C, height, view.width, height);
    out.w = view.width;
    out.h = height;
    return out;
}

// Makes `s` the published strip (the previous one is freed).
// Makes `s` the strip on screen, unless the document it was made from (generation
// `generation`) has been replaced meanwhile: then it is dropped. Returns whether it was kept.
static bool publish(ImageStack* image, WaveformStrip s, uint32_t generation)
{
    bool kept = false;
    {
        LockGuard lock(image->screen_lock);
        if (image->generation.load() == generation) {
            std::swap(strip, s);
            kept = true;
        }
    }
    free(s.px);
    return kept;
}

int draw_waveform(uint32_t* fb, ImageStack* image)
{
    if (!fb || !image)
        return 0;
    LockGuard lock(image->screen_lock);
    if (!strip.px || strip.w != SCRN_W - 180)
        return 0;
    blit_sprite_ph(fb, strip.px, strip.w, std::min(strip.h, WAVEFORM_H), STRIP_X, STRIP_Y, SPRITE_TOP_LEFT, 0);
    return 1;
}

void waveform_analysis_strip(EngineState* es, uint32_t* fb)
{
    if (!es || !es->image)
        return;
    const uint32_t generation = es->image->generation.load();
    WaveformStrip s = waveform_gen(es, waveform_view_now(es), WAVEFORM_H);
    if (s.px && publish(es->image, s, generation))
        draw_waveform(fb, es->image);
}

int waveform_strip_width()
{
    return strip.px ? strip.w : 0;
}

uint32_t waveform_strip_pixel(int x, int y)
{
    if (!strip.px || x < 0 || y < 0 || x >= strip.w || y >= strip.h)
        return 0;
    return strip.px[(size_t)y * (size_t)strip.w + (size_t)x];
}

void waveform_release()
{
    free(strip.px);
    strip = WaveformStrip{nullptr, 0, 0, {0, 0, 0, 0.f, 0.f, 1.f}};
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Waveform worker
// ---------------------------------------------------------------------------------------------
// One worker at a time. A request while it runs is never dropped: it makes the worker run once
// more, for the view of the latest request, when its generation ends.

struct WaveformWorker {
    ThreadRecord rec;      // the worker thread, joined by the next start or by waveform_stop
    EngineState* es;       // document of the latest request
    WaveformView view;     // view of the latest request
    int have_view;         // 1 once a view was requested
    int running;           // 1 from the start until the worker decided to end
    int again;             // a request came while it ran
    std::atomic<int> quit; // raised by waveform_stop
};

static WaveformWorker worker = {{}, nullptr, {}, 0, 0, 0, {0}};

// Guards the worker record (not the atomics); created once, on first use.
static sem_t* worker_lock()
{
    static sem_t* s = semaphore_new();
    return s;
}

// Counts slot 123 down, never below 0.
static void pending_done()
{
    int8_t v = key[K_WAVEFORM_PENDING].load();
    while (v > 0 && !key[K_WAVEFORM_PENDING].compare_exchange_weak(v, (int8_t)(v - 1))) {
    }
}

void* waveform_gen_thread(void*)
{
    for (;;) {
        EngineState* es;
        WaveformView view;
        {
            LockGuard lock(worker_lock());
            es = worker.es;
            view = worker.view;
            worker.again = 0;
        }
        bool more = false;
        if (!worker.quit && es && es->image) {
            const uint32_t generation = es->image->generation.load();
            WaveformStrip s = waveform_gen(es, view, WAVEFORM_H);
            if (s.px && publish(es->image, s, generation))
                key[K_NEW_WAVEFORM] = 1;
            pending_done();
            if (key[K_WAVEFORM_AGAIN].exchange(0)) {
                // The live noise table was being built: once more a little later, with the
                // strip's normal background.
                for (int t = 0; t < 25 && !worker.quit; t++)
                    wrsleep(10);
                more = true;
            }
        }
        LockGuard lock(worker_lock());
        if (!(more || worker.again) || worker.quit) {
            worker.running = 0;
            if (!worker.again)
                key[K_WAVEFORM_PENDING] = 0;
            return nullptr;
        }
    }
}

static int waveform_request(EngineState* es, const WaveformView* view)
{
    LockGuard lock(worker_lock());
    worker.es = es;
    if (view) {
        worker.view = *view;
        worker.have_view = 1;
    } else if (!worker.have_view) {
        worker.view = waveform_view_now(es);
        worker.have_view = 1;
    }
    if (worker.running) {
        worker.again = 1;
        return 0;
    }
    thread_wait(&worker.rec, nullptr); // a worker that has ended
    worker.quit = 0;
    worker.again = 0;
    worker.running = 1;
    if (thread_spawn(&worker.rec, waveform_gen_thread, nullptr) != 0) {
        worker.running = 0;
        thread_wait(&worker.rec, nullptr);
        return 0;
    }
    return 1;
}

int waveform_start(EngineState* es)
{
    if (!es)
        return 0;
    const WaveformView v = waveform_view_now(es);
    return waveform_request(es, &v);
}

void waveform_start_hook(EngineState* es)
{
    if (es)
        waveform_request(es, nullptr);
}

void waveform_stop()
{
    ThreadRecord rec{};
    {
        LockGuard lock(worker_lock());
        worker.quit = 1;
        worker.again = 0;
        rec = worker.rec;
        worker.rec.joinable = 0; // joined here, not by the next start
    }
    thread_wait(&rec, nullptr);
}

int waveform_running()
{
    LockGuard lock(worker_lock());
    return worker.running;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Progress
// ---------------------------------------------------------------------------------------------

void draw_progress(uint32_t* fb, EngineState* es, std::atomic<int32_t>* dirty, int force)
{
    ImageStack* image = es ? es->image : nullptr;
    if (!fb || !image)
        return;
    {
        LockGuard lock(image->screen_lock);
        if (!strip.px || strip.w != SCRN_W - 180)
            return;
    }
    const int changed = es->sound_changed.exchange(0);
    if (!force && !changed)
        return;

    std::vector<uint8_t> state;
    double span = 0.0;
    {
        LockGuard lock(es->lock);
        if (es->block_state && es->block_count > 0)
            state.assign(es->block_state, es->block_state + es->block_count);
        span = es->block_span;
    }
    const bool live = key[state_of(K_LIVE_SYNTH)], suspended = key[state_of(K_SUSPEND)];
    const double L = (double)es->sound_len.load();
    const int w = image->w;

    LockGuard lock(image->screen_lock);
    if (!strip.px || strip.w != SCRN_W - 180)
        return;
    const int sh = std::min(strip.h, WAVEFORM_H);
    const auto copy_columns = [&](int x0, int x1) {
        for (int y = 0; y < sh; y++)
            for (int x = x0; x < x1; x++)
                put(fb, STRIP_X + x, STRIP_Y + y, strip.px[(size_t)y * (size_t)strip.w + (size_t)x]);
    };
    if (live) {
        copy_columns(0, strip.w);
    } else if (L > 0.0 && w > 0 && strip.view.crop_w > 1 && span > 0.0) {
        // Window column of sample s on the strip, as the playback bar maps it.
        const auto column = [&](double s) {
            const double c = (double)strip.w * ((double)w * s / L - strip.view.crop_x) / (double)(strip.view.crop_w - 1) + 0.5;
            return (int)std::clamp(c, 0.0, (double)strip.w);
        };
        const int n = (int)state.size();
        for (int b = 0; b < n; b++) {
            const double s0 = (double)block_write_start(b, span);
            const double s1 = b + 1 < n ? (double)block_write_start(b + 1, span) : L;
            const int x0 = column(s0), x1 = column(std::min(s1, L));
            if (x1 <= x0)
                continue;
            if (state[(size_t)b] == 2 || suspended) {
                copy_columns(x0, x1);
            } else {
                const uint32_t c = palette_pixel(4 + std::min<int>(state[(size_t)b], 1));
                for (int y = 0; y < sh; y++)
                    for (int x = x0; x < x1; x++)
                        put(fb, STRIP_X + x, STRIP_Y + y, c);
            }
        }
    } else {
        return;
    }
    if (dirty)
        *dirty = 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Slow-mouse mode
// ---------------------------------------------------------------------------------------------

// Moves *pos by whole pixels of `travel` raw pixels at `range` raw pixels a pixel, keeping the
// remainder (0 .. range - 1) in *sub; the position stays within 0 .. limit - 1.
static void slow_step(int* pos, int* sub, int travel, int range, int limit)
{
    const long long total = (long long)*sub + travel;
    long long whole = total / range, rest = total % range;
    if (rest < 0) {
        rest += range;
        whole--;
    }
    const long long p = (long long)*pos + whole;
    if (p < 0 || p > limit - 1) {
        *pos = (int)std::clamp(p, 0LL, (long long)std::max(limit - 1, 0));
        *sub = 0;
        return;
    }
    *pos = (int)p;
    *sub = (int)rest;
}

static void warp(int x, int y)
{
    if (scales_hooks.warp_mouse)
        scales_hooks.warp_mouse(x, y);
    mouse_ax_raw = x;
    mouse_ay_raw = y;
}

void mouse_speed(int* x, int* y, int slow)
{
    static int was_slow = 0;
    if (!x || !y)
        return;
    const int range = std::max(mouse_sub_range, 1);
    const int cx = (SCRN_W - 180) / 2 + 120, cy = (SCRN_H - 47 - MARGIN_Y - WAVEFORM_H) / 2 + WAVEFORM_H + 47;
    if (slow && !was_slow) {
        was_slow = 1;
        mouse_ax_sub = mouse_ay_sub = 0;
        warp(cx, cy);
        return;
    }
    if (slow) {
        const int dx = mouse_ax_raw - cx, dy = mouse_ay_raw - cy;
        if (dx == 0 && dy == 0)
            return;
        slow_step(x, &mouse_ax_sub, dx, range, SCRN_W);
        slow_step(y, &mouse_ay_sub, dy, range, SCRN_H);
        warp(cx, cy);
        return;
    }
    if (was_slow) {
        was_slow = 0;
        mouse_ax_sub = mouse_ay_sub = 0;
        warp(*x, *y);
    }
}
