// The document: image stack set-up, planes, blank and picture documents, release, colour
// normalisation and undo.
#include "document/image.h"
#include "document/undo.h"
#include "core/state.h"
#include "dsp/scale.h"
#include "files/picture.h"
#include "platform/util.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// [SECTION] Planes
// ---------------------------------------------------------------------------------------------

Plane plane_alloc(int rows, int cols)
{
    Plane p = static_cast<Plane>(wrcalloc(rows > 0 ? (size_t)rows : 1, sizeof(float*)));
    for (int r = 0; r < rows; r++)
        p[r] = static_cast<float*>(wrcalloc(cols > 0 ? (size_t)cols : 1, sizeof(float)));
    return p;
}

Plane plane_copy(Plane src, int rows, int cols)
{
    Plane p = plane_alloc(rows, cols);
    plane_copy_into(p, src, rows, cols);
    return p;
}

void plane_copy_into(Plane dst, Plane src, int rows, int cols)
{
    if (!dst || !src)
        return;
    for (int r = 0; r < rows; r++)
        if (dst[r] && src[r])
            memcpy(dst[r], src[r], (size_t)cols * sizeof(float));
}

void plane_free(Plane* p, int rows)
{
    if (!p || !*p)
        return;
    free2d(*p, rows);
    *p = nullptr;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Image stack
// ---------------------------------------------------------------------------------------------

void image_stack_init(ImageStack* image)
{
    image->layers = static_cast<Layer*>(wrcalloc(LAYER_CAPACITY, sizeof(Layer)));
    image->layers_lock = semaphore_new();
    image->transposed_lock = semaphore_new();
    image->image_lock = semaphore_new();
    image->overlay_lock = semaphore_new();
    image->display_lock = semaphore_new();
    image->screen_lock = semaphore_new();
    image->volume_lock = semaphore_new();
    image->stream_lock = semaphore_new();
    image->locks_held = 0;
    image->history = undo_history_new();
}

void image_locks_release(ImageStack* image)
{
    if (!image->locks_held)
        return;
    image->locks_held = 0;
    mutex_to_0(image->image_lock);
    mutex_to_0(image->transposed_lock);
}

void image_stack_release(ImageStack* image)
{
    free_image(image, 1);
    image_locks_release(image);
    plane_free(&image->analysed, image->orig_h);
    free_null(&image->layers);
    undo_history_free(image->history);
    image->history = nullptr;
    for (sem_t** s : {&image->layers_lock, &image->transposed_lock, &image->image_lock, &image->overlay_lock,
                      &image->display_lock, &image->screen_lock, &image->volume_lock, &image->stream_lock}) {
        semaphore_free(*s);
        *s = nullptr;
    }
}

void free_image(ImageStack* image, int all)
{
    // Held until the next document is built, so that live synthesis never sees a half-made one.
    // Taken only once: a document may be released twice before the next one exists.
    if (!image->locks_held) {
        mutex_to_1(image->transposed_lock);
        mutex_to_1(image->image_lock);
        image->locks_held = 1;
    }
    image->generation++; // a redraw still drawing this document must not reach the screen
    free_null(&image->src_rgb);
    free_null(&image->display);
    plane_free(&image->composite, image->h);
    plane_free(&image->group_acc, image->h);
    plane_free(&image->transposed, image->w);
    plane_free(&image->undo, image->h);
    plane_free(&image->reference, image->h);
    plane_free(&image->selection, image->h);
    if (!all)
        return;
    for (int i = 0; i < image->count; i++) {
        Layer* l = &image->layers[i];
        plane_free(&l->plane, image->h);
        free_null(&l->name);
        memset(l, 0, sizeof *l);
    }
    image->sel = 0;
    image->count = 0;
    undo_clear(image); // a new document starts a new series of steps
}

void image_view_rect(ImageStack* image)
{
    image->view_x = 120;
    image->view_y = WAVEFORM_H + 47;
    image->view_w = SCRN_W - 180;
    image->view_h = SCRN_H - image->view_y - MARGIN_Y;
}

// Whether `planes` planes of w x h pixels fit in the memory available; otherwise the reason in `why`.
static bool planes_fit(int w, int h, int planes, char* why, size_t size)
{
    char what[120];
    snprintf(what, sizeof what, "a picture of %d x %d pixels", w, h);
    return !memory_refused((double)planes * w * h * sizeof(float), what, why, size);
}

int image_from_plane(ImageStack* image, Plane plane, int w, int h, const char* what)
{
    const char* why = nullptr;
    char room[200];
    if (w < 1 || h < 1 || (long long)w * h > MAX_PICTURE_PIXELS)
        why = "the picture size is not usable";
    else if (!planes_fit(w, h, 5, room, sizeof room))
        why = room;
    for (int r = 0; r < h && !why; r++)
        for (int x = 0; x < w; x++)
            if (!std::isfinite(plane[r][x])) {
                why = "it holds values that are not finite numbers";
                break;
            }
    if (why) {
        wrfprintf(stderr, "Cannot use '%s': %s\n", what, why);
        plane_free(&plane, h);
        return 0;
    }
    free_image(image, 1);
    image->src_w = image->w = w;
    image->src_h = image->h = h;
    image->gradient_mode = 1;
    image_view_rect(image);
    image->composite = plane;
    image->group_acc = plane_alloc(h, w);
    image->transposed = plane_alloc(w, h);
    image_locks_release(image);
    make_single_layer(image);
    image->reference = plane_copy(plane, h, w);
    image->undo = plane_copy(plane, h, w);
    return 1;
}

void make_single_layer(ImageStack* image)
{
    Layer* l = &image->layers[0];
    l->plane = plane_copy(image->composite, image->h, image->w);
    l->name = string_assign("Layer 0");
    l->gamma = 1.f;
    image->sel = 0;
    image->name_counter = 0;
    image->count = 1;
    image->change_state = 3;
    undo_restart(image);
}

uint8_t* document_picture(const EngineState* es, const char* path, int* w, int* h)
{
    uint8_t* rgb = nullptr;
    if (path && path[0]) {
        if (!(rgb = load_picture(path, w, h, 0)))
            return nullptr;
    } else {
        // A blank picture one column wider than the view, as tall as the analysis range.
        *w = SCRN_W - 59 - 120;
        *h = image_height(es->anal_params[0], es->anal_params[1], es->anal_params[4]);
        if (*w < 1 || *h < 1 || (long long)*w * *h > MAX_PICTURE_PIXELS) {
            wrfprintf(stderr, "No blank picture of %d x %d pixels can be made\n", *w, *h);
            return nullptr;
        }
    }
    // The document's planes are worked out before anything of their size is allocated.
    char room[200];
    if (!planes_fit(*w, *h, 4, room, sizeof room)) {
        wrfprintf(stderr, "Cannot use '%s': %s\n", path && path[0] ? path : "a blank picture", room);
        free(rgb);
        return nullptr;
    }
    return rgb ? rgb : static_cast<uint8_t*>(wrcalloc((size_t)*w * *h, 4));
}

void image_from_picture(EngineState* es, uint8_t* rgb, int w, int h, int blank)
{
    ImageStack* image = es->image;
    free_image(image, 1);
    image->src_rgb = rgb;
    image->src_w = w;
    image->src_h = h;
    image->gradient_mode = blank ? 1 : 0; // a picture is shown in its own colours

    image->layers[0].gamma = 1.f;
    image_view_rect(image);
    image->w = image->src_w;
    image->h = image->src_h;

    // A pixel's intensity is the square of its mean brightness.
    image->composite = rgb_to_float(image->src_rgb, image->w, image->h);
    for (int r = 0; r < image->h; r++)
        for (int x = 0; x < image->w; x++)
            image->composite[r][x] *= image->composite[r][x];

    rgb_no_luminosity(image->src_rgb, image->w, image->h);
    image->group_acc = plane_alloc(image->h, image->w);
    image->transposed = plane_alloc(image->w, image->h);
    image_locks_release(image);

    make_single_layer(image);
}

int new_image(EngineState* es, const char* path)
{
    int w = 0, h = 0;
    uint8_t* rgb = document_picture(es, path, &w, &h);
    if (!rgb)
        return 0; // the document stays as it was
    image_from_picture(es, rgb, w, h, !(path && path[0]));
    return 1;
}

Plane rgb_to_float(const uint8_t* rgb, int w, int h)
{
    Plane p = plane_alloc(h, w);
    for (int r = 0; r < h; r++) {
        const uint8_t* px = rgb + (size_t)r * w * 4;
        for (int x = 0; x < w; x++, px += 4)
            p[r][x] = (float)(px[0] + px[1] + px[2]) / 765.f;
    }
    return p;
}

// Moves the excess of channel `c` above 255 half to each of the two others.
static void pass_overflow(int* c, int* o1, int* o2)
{
    if (*c >= 256) {
        int spill = (*c - 255) / 2;
        *o1 += spill;
        *o2 += spill;
        *c = 255;
    }
}

void rgb_no_luminosity(uint8_t* rgb, int w, int h)
{
    const size_t n = (size_t)w * (size_t)h;
    for (size_t i = 0; i < n; i++) {
        uint8_t* px = rgb + 4 * i;
        const int s = px[0] + px[1] + px[2];
        if (s >= 32) {
            for (int c = 0; c < 3; c++)
                px[c] = (uint8_t)(int)((float)px[c] * 255.f / (float)s + 0.5f);
            continue;
        }
        // Nearly black: the hue is unreliable, so work from the distance to white instead.
        const int d = 765 - s;
        int r = (255 - px[0]) * 510 / d, g = (255 - px[1]) * 510 / d, b = (255 - px[2]) * 510 / d;
        pass_overflow(&r, &g, &b);
        pass_overflow(&g, &r, &b);
        if (b >= 256) {
            wrfprintf(stdout, "%3d %3d %3d -> ", r, g, b);
            pass_overflow(&b, &r, &g);
            wrfprintf(stdout, "%3d %3d %3d\n", r, g, b);
        }
        const uint8_t inv[3] = {(uint8_t)(255 - r), (uint8_t)(255 - g), (uint8_t)(255 - b)};
        const int t = inv[0] + inv[1] + inv[2];
        for (int c = 0; c < 3; c++)
            px[c] = t > 0 ? (uint8_t)(int)((float)inv[c] * 255.f / (float)t + 0.5f) : 85;
    }
}

void layer_defaults(ImageStack* image)
{
    if (!image->layers)
        return;
    Layer* l = &image->layers[image->sel];
    l->gamma = 1.f;
    l->blend = 0;
    l->conv_x = (int)(image->w * 0.5);
    l->conv_y = (int)(image->h * 0.5);
    l->conv_set = 0;
    l->off = 0;
}

void layer_to_undo(ImageStack* image)
{
    if (image->layers && image->count > 0 && image->undo)
        plane_copy_into(image->undo, image->layers[image->sel].plane, image->h, image->w);
}

void undo_to_layer(ImageStack* image)
{
    if (image->layers && image->count > 0 && image->undo)
        plane_copy_into(image->layers[image->sel].plane, image->undo, image->h, image->w);
}
