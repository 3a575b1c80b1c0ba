// The spectrogram view; see view.h.
#include "display/view.h"

#include "core/state.h"
#include "display/screen.h"
#include "document/composite.h"
#include "dsp/analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

ViewHooks view_hooks = {};

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
