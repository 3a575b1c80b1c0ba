// The layer list: commands, Undo, resizing, gamma and intensity steps, list labels.
#include "document/layers.h"
#include "core/state.h"
#include "document/command_log.h"
#include "document/composite.h"
#include "document/hooks.h"
#include "document/image.h"
#include "document/undo.h"
#include "files/picture.h"
#include "platform/util.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// [SECTION] Helpers
// ---------------------------------------------------------------------------------------------

// The image stack of `es` when it holds a document with a valid selection, else null.
static ImageStack* document_of(EngineState* es)
{
    ImageStack* image = es ? es->image : nullptr;
    if (!image || !image->composite || !image->layers || image->count < 1 || image->sel < 0 ||
        image->sel >= image->count)
        return nullptr;
    return image;
}

// False, with one line on stderr, when the table has no room for another entry.
static bool table_has_room(const ImageStack* image)
{
    if (image->count < LAYER_CAPACITY)
        return true;
    user_notice("Too many layers (%d): no layer was added", LAYER_CAPACITY);
    return false;
}

// Index of the separator that starts the group of entry `index` (itself for a separator).
static int group_of(const ImageStack* image, int index)
{
    for (int i = index; i >= 0; i--)
        if (!image->layers[i].plane)
            return i;
    return 0;
}

// The gamma knob follows the selected layer; the panel is redrawn.
static void knob_refresh(EngineState* es) { doc_hook(&DocumentHooks::knob_refresh, es); }

// With View Current Layer Only or View Current Group Only on, the view shows the selection, so
// it is recomposited and redrawn. Called without `layers_lock`: the redraw takes it.
static void view_refresh(EngineState* es)
{
    if (key[state_of(K_VIEW_LAYER_ONLY)] || key[state_of(K_VIEW_GROUP_ONLY)]) {
        es->image->recomposite = 1;
        doc_hook(&DocumentHooks::redraw_view, es);
    }
}

// The layer list of the menu is rebuilt.
static void list_refresh(EngineState* es) { doc_hook(&DocumentHooks::list_refresh, es); }

// After the table or the selection changed: the knobs, the view and the layer list follow.
static void entries_changed(EngineState* es)
{
    knob_refresh(es);
    view_refresh(es);
    list_refresh(es);
}

// Edits the layer table under layers_lock with edit() (false: it could not act, nothing follows
// and 0 is returned) and saves the new selection for Undo; then the knobs, view and list follow,
// the document is marked and `line` is logged, followed by an empty line. Returns 1.
template <class Edit> static int edit_table(EngineState* es, ImageStack* image, const char* line, Edit edit)
{
    {
        LockGuard lock(image->layers_lock);
        if (!edit())
            return 0;
        layer_to_undo(image);
    }
    undo_commit(image, line);
    entries_changed(es);
    image->change_state = 1;
    print_cmd(CMD_TIMED, "%s\n", line);
    return 1;
}

// A fresh "Layer N" name.
static char* layer_name(int number)
{
    char text[32];
    snprintf(text, sizeof text, "Layer %d", number);
    return string_assign(text);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Table primitives
// ---------------------------------------------------------------------------------------------

int layer_insert_above(ImageStack* image)
{
    if (!table_has_room(image))
        return -1;
    const int at = image->count > 0 ? std::clamp(image->sel, 0, image->count - 1) + 1 : 0;
    memmove(&image->layers[at + 1], &image->layers[at], (size_t)(image->count - at) * sizeof(Layer));
    memset(&image->layers[at], 0, sizeof(Layer));
    image->count += 1;
    image->sel = at;
    return at;
}

void layer_remove(ImageStack* image, int index)
{
    if (index < 0 || index >= image->count)
        return;
    Layer* l = &image->layers[index];
    plane_free(&l->plane, image->h);
    free_null(&l->name);
    memmove(l, l + 1, (size_t)(image->count - index - 1) * sizeof(Layer));
    image->count -= 1;
    memset(&image->layers[image->count], 0, sizeof(Layer));
}

int move_layer(ImageStack* image, int direction)
{
    if (!image || !image->layers || (direction != 1 && direction != -1))
        return 0;
    LockGuard lock(image->layers_lock);
    const int to = image->sel + direction;
    if (image->sel < 0 || image->sel >= image->count || to < 0 || to >= image->count)
        return 0;
    std::swap(image->layers[image->sel], image->layers[to]);
    image->sel = to;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Layer-list commands
// ---------------------------------------------------------------------------------------------

int new_layer(EngineState* es)
{
    ImageStack* image = document_of(es);
    if (!image)
        return 0;
    char name[32];
    {
        LockGuard lock(image->layers_lock);
        const int at = layer_insert_above(image);
        if (at < 0)
            return 0;
        Layer* l = &image->layers[at];
        l->plane = plane_alloc(image->h, image->w);
        layer_defaults(image);
        l->name = layer_name(++image->name_counter);
        snprintf(name, sizeof name, "%s", l->name);
        layer_to_undo(image); // the selection changed
    }
    undo_commit(image, "New layer");
    entries_changed(es);
    print_cmd(CMD_TIMED, "New layer \"%s\"\n", name);
    return 1;
}

int duplicate_layer(EngineState* es)
{
    ImageStack* image = document_of(es);
    if (!image)
        return 0;
    return edit_table(es, image, "Duplicate layer", [image] {
        const int at = layer_insert_above(image);
        if (at < 0)
            return false;
        const Layer* src = &image->layers[at - 1];
        Layer* l = &image->layers[at];
        if (src->plane)
            l->plane = plane_copy(src->plane, image->h, image->w);
        l->gamma = src->gamma;
        l->blend = src->blend;
        l->conv_x = src->conv_x;
        l->conv_y = src->conv_y;
        l->conv_set = src->conv_set;
        l->off = 0;
        l->name = src->plane ? layer_name(++image->name_counter) : string_assign(src->name);
        return true;
    });
}

int add_separator(EngineState* es)
{
    ImageStack* image = document_of(es);
    if (!image)
        return 0;
    bool topmost;
    {
        LockGuard lock(image->layers_lock);
        const int at = layer_insert_above(image);
        if (at < 0)
            return 0;
        layer_defaults(image);
        image->layers[at].name = string_assign("----");
        topmost = at == image->count - 1;
    }
    undo_commit(image, "New separator");
    knob_refresh(es);
    if (key[state_of(K_VIEW_GROUP_ONLY)])
        image->change_state = 1;
    view_refresh(es);
    list_refresh(es);
    // A separator on top closes an empty group: the composite does not change.
    if (!topmost)
        image->change_state = 1;
    print_cmd(CMD_TIMED, "New separator \"%s\"\n", "----");
    return 1;
}

int merge_down_layer(EngineState* es)
{
    ImageStack* image = document_of(es);
    if (!image)
        return 0;
    return edit_table(es, image, "Merge down layer", [image] {
        if (!merge_two_layers(image))
            return false;
        layer_remove(image, image->sel);
        image->sel -= 1;
        return true;
    });
}

int delete_layer(EngineState* es)
{
    ImageStack* image = document_of(es);
    if (!image || image->count < 2)
        return 0;
    return edit_table(es, image, "Delete layer", [image] {
        const bool topmost = image->sel == image->count - 1;
        layer_remove(image, image->sel);
        if (topmost)
            image->sel -= 1;
        return true;
    });
}

int merge_all_to_new_layer(EngineState* es)
{
    ImageStack* image = document_of(es);
    if (!image || !table_has_room(image))
        return 0;
    return edit_table(es, image, "Merge all to new layer", [image] {
        const int at = image->count;
        Layer* l = &image->layers[at];
        memset(l, 0, sizeof *l);
        image->count += 1;
        image->sel = at;
        l->plane = plane_copy(image->composite, image->h, image->w);
        layer_defaults(image);
        l->name = layer_name(++image->name_counter);
        return true;
    });
}

// Moves the selected entry one place (+1 up, -1 down), marks the document, rebuilds the list and
// logs `line` and an empty line; 0 when it cannot move.
static int move_selected(EngineState* es, int direction, const char* line)
{
    ImageStack* image = document_of(es);
    if (!image || !move_layer(image, direction))
        return 0;
    undo_commit(image, line);
    image->change_state = 1;
    list_refresh(es);
    print_cmd(CMD_TIMED, "%s\n", line);
    return 1;
}

int move_layer_up(EngineState* es) { return move_selected(es, +1, "Move layer up"); }

int move_layer_down(EngineState* es) { return move_selected(es, -1, "Move layer down"); }

int select_layer(EngineState* es, int position)
{
    ImageStack* image = document_of(es);
    if (!image || position < 1 || position > image->count)
        return 0;
    const int old = image->sel, to = image->count - position;
    if (key[state_of(K_VIEW_GROUP_ONLY)] && group_of(image, to) != group_of(image, old))
        image->change_state = 1;
    {
        LockGuard lock(image->layers_lock);
        image->sel = to;
    }
    entries_changed(es);
    layer_to_undo(image);
    undo_note_selection(image);
    const bool relative = key[K_RELATIVE_SELECTION] != 0;
    print_cmd(CMD_TIMED, relative ? "Selected layer %+d\n" : "Selected layer %d\n", relative ? to - old : to);
    return 1;
}

int turn_off_layer(EngineState* es)
{
    ImageStack* image = document_of(es);
    if (!image)
        return 0;
    int off;
    {
        LockGuard lock(image->layers_lock);
        off = image->layers[image->sel].off ^= 1;
    }
    const char* line = off ? "Turn off layer" : "Turn on layer";
    undo_commit(image, line);
    list_refresh(es);
    image->change_state = 1;
    print_cmd(CMD_TIMED, "%s\n", line);
    return 1;
}

// Toggles a view option's state slot; the view is redrawn from the composite as it is, the
// menu (its check marks) and the screen are refreshed.
static int toggle_view_option(EngineState* es, int request_slot)
{
    ImageStack* image = document_of(es);
    if (!image)
        return 0;
    key[state_of(request_slot)] ^= 1;
    image->recomposite = 0;
    doc_hook(&DocumentHooks::redraw_view, es);
    list_refresh(es);
    if (image->screen_dirty)
        *image->screen_dirty = 1;
    return 1;
}

int view_layer_only(EngineState* es) { return toggle_view_option(es, K_VIEW_LAYER_ONLY); }

int view_group_only(EngineState* es)
{
    if (!toggle_view_option(es, K_VIEW_GROUP_ONLY))
        return 0;
    es->image->change_state = 1;
    return 1;
}

int set_blending(EngineState* es, int mode)
{
    ImageStack* image = document_of(es);
    if (!image || mode < 0 || mode >= BLEND_MODE_COUNT)
        return 0;
    {
        LockGuard lock(image->layers_lock);
        image->layers[image->sel].blend = mode;
    }
    char line[64];
    snprintf(line, sizeof line, "Blending %s", blending_name[mode]);
    undo_commit(image, line);
    image->change_state = 1;
    list_refresh(es);
    print_cmd(CMD_TIMED, "%s\n", line);
    return 1;
}

int undo_layer(EngineState* es)
{
    ImageStack* image = document_of(es);
    if (!image || image->w < 1 || image->h < 1 || !image->undo)
        return 0;
    {
        LockGuard lock(image->layers_lock);
        Plane p = image->layers[image->sel].plane, u = image->undo;
        if (!p)
            return 0;
        for (int y = 0; y < image->h; y++)
            if (!p[y] || !u[y])
                return 0;
        // An exchange, so that a second Undo redoes.
        for (int y = 0; y < image->h; y++)
            std::swap_ranges(p[y], p[y] + image->w, u[y]);
    }
    undo_commit(image, "Undo");
    image->change_state = 1;
    print_cmd(CMD_TIMED, "Undo\n");
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Dispatch
// ---------------------------------------------------------------------------------------------

void layer_commands(EngineState* es)
{
    const int position = key[K_SELECT_LAYER].exchange(0);
    if (position > 0)
        select_layer(es, position);

    static int (*const list_commands[])(EngineState*) = {
        new_layer, duplicate_layer, add_separator, merge_down_layer,
        delete_layer, merge_all_to_new_layer, move_layer_up, move_layer_down,
    };
    for (int i = 0; i < (int)(sizeof list_commands / sizeof list_commands[0]); i++)
        if (key[K_NEW_LAYER + i].exchange(0))
            list_commands[i](es);

    for (int m = 0; m < BLEND_MODE_COUNT; m++)
        if (key[K_BLEND_FIRST + m].exchange(0))
            set_blending(es, m);

    if (key[K_UNDO].exchange(0))
        undo_step(es, -1);
    if (key[K_REDO].exchange(0))
        undo_step(es, +1);
    if (key[K_VIEW_LAYER_ONLY].exchange(0))
        view_layer_only(es);
    if (key[K_VIEW_GROUP_ONLY].exchange(0))
        view_group_only(es);
    if (key[K_TURN_OFF_LAYER].exchange(0))
        turn_off_layer(es);

    // The "Layer intensity" knob is shown only while there is more than one entry.
    const int count = es && es->image ? es->image->count : 0;
    const int multi = count >= 2 ? 1 : 0;
    if (key[K_MULTI_LAYER] != multi) {
        key[K_MULTI_LAYER] = (int8_t)multi;
        doc_hook(&DocumentHooks::knob_layout, es);
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Document size
// ---------------------------------------------------------------------------------------------

int new_dimensions(ImageStack* image, int width, int height, int force)
{
    if (!image || !image->layers)
        return 0;
    const int nw = force || width > image->w ? width : image->w;
    const int nh = force || height > image->h ? height : image->h;
    if (nw < 1 || nh < 1 || (long long)nw * nh > MAX_PICTURE_PIXELS) {
        wrfprintf(stderr, "The document cannot be resized to %d x %d pixels\n", nw, nh);
        return 0;
    }
    const int ow = image->w, oh = image->h;
    const int cw = std::min(ow, nw), ch = std::min(oh, nh);

    for (int i = 0; i < image->count; i++) {
        Layer* l = &image->layers[i];
        if (!l->plane)
            continue;
        Plane p = plane_alloc(nh, nw);
        for (int y = 0; y < ch; y++)
            if (l->plane[y] && cw > 0)
                memcpy(p[y], l->plane[y], (size_t)cw * sizeof(float));
        plane_free(&l->plane, oh);
        l->plane = p;
    }

    // The source picture follows the size, so that colour lookups stay inside it; new pixels
    // are black, as colour normalisation leaves black.
    if (image->src_rgb) {
        uint8_t* rgb = static_cast<uint8_t*>(wrcalloc((size_t)nw * (size_t)nh, 4));
        for (size_t i = 0; i < (size_t)nw * (size_t)nh; i++)
            rgb[4 * i] = rgb[4 * i + 1] = rgb[4 * i + 2] = 85;
        const int sw = std::min(image->src_w, nw), sh = std::min(image->src_h, nh);
        for (int y = 0; y < sh && sw > 0; y++)
            memcpy(rgb + (size_t)y * nw * 4, image->src_rgb + (size_t)y * image->src_w * 4, (size_t)sw * 4);
        free(image->src_rgb);
        image->src_rgb = rgb;
    }

    plane_free(&image->composite, oh);
    plane_free(&image->group_acc, oh);
    plane_free(&image->transposed, ow);
    plane_free(&image->reference, oh);
    plane_free(&image->undo, oh);
    plane_free(&image->selection, oh); // a resize drops the selection

    image->w = image->src_w = nw;
    image->h = image->src_h = nh;
    const int view_w = SCRN_W - 60 - image->view_x, view_h = SCRN_H - image->view_y - MARGIN_Y;
    if (image->display && (view_w != image->view_w || view_h != image->view_h)) {
        // The last rendered view no longer fits the view rectangle.
        LockGuard lock(image->display_lock);
        free_null(&image->display);
    }
    image->view_w = view_w;
    image->view_h = view_h;

    // Zoom 1 x 1 centred on the middle: the whole document is visible.
    zoom_h = zoom_v = 1.f;
    crop_x = crop_y = 0;
    crop_w = nw;
    crop_h = nh;
    zoom_center_x = (float)nw * 0.5f;
    zoom_center_y = (float)nh * 0.5f;

    image->composite = plane_alloc(nh, nw);
    image->group_acc = plane_alloc(nh, nw);
    image->transposed = plane_alloc(nw, nh);
    image->reference = plane_alloc(nh, nw);
    image->undo = plane_alloc(nh, nw);
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Gamma and intensity steps
// ---------------------------------------------------------------------------------------------

// One kind of background step: at most one runs at a time in the whole process.
struct StepThread {
    std::atomic<int> running{0}; // already-running flag: set at the start, cleared by the step's last act
    ThreadRecord rec{};          // started and joined on the main thread only
};

static StepThread gamma_thread, intensity_thread;

struct StepJob {
    ImageStack* image;
    float value;
    int restore;
    bool gamma;
    StepThread* thread;
};

static void apply_step(ImageStack* image, float value, int restore, bool gamma)
{
    if (!image || !image->layers)
        return;
    LockGuard lock(image->layers_lock);
    if (image->sel < 0 || image->sel >= image->count)
        return;
    Plane p = image->layers[image->sel].plane;
    if (!p)
        return;
    if (restore)
        undo_to_layer(image);
    for (int y = 0; y < image->h; y++) {
        float* row = p[y];
        if (!row)
            continue;
        if (gamma)
            for (int x = 0; x < image->w; x++)
                row[x] = powf(row[x], value);
        else
            for (int x = 0; x < image->w; x++)
                row[x] *= value;
    }
}

static void* step_main(void* arg)
{
    const StepJob job = *static_cast<StepJob*>(arg);
    delete static_cast<StepJob*>(arg);
    apply_step(job.image, job.value, job.restore, job.gamma);
    job.thread->running = 0;
    return nullptr;
}

static int start_step(StepThread* t, const StepJob& job)
{
    int idle = 0;
    if (!t->running.compare_exchange_strong(idle, 1))
        return 0;
    thread_wait(&t->rec, nullptr); // collect the previous step, which has ended
    StepJob* arg = new StepJob(job);
    arg->thread = t;
    if (thread_spawn(&t->rec, step_main, arg) != 0) {
        delete arg;
        thread_wait(&t->rec, nullptr);
        t->running = 0;
        return 0;
    }
    return 1;
}

void layer_steps_wait()
{
    thread_wait(&gamma_thread.rec, nullptr);
    thread_wait(&intensity_thread.rec, nullptr);
}

void gamma_layer(ImageStack* image, float exponent, int restore)
{
    // A preview still running would otherwise land after this step.
    thread_wait(&gamma_thread.rec, nullptr);
    apply_step(image, exponent, restore, true);
}

int gamma_layer_background(ImageStack* image, float exponent, int restore)
{
    return start_step(&gamma_thread, StepJob{image, exponent, restore, true, nullptr});
}

void intensitify_layer(ImageStack* image, float factor, int restore)
{
    thread_wait(&intensity_thread.rec, nullptr);
    apply_step(image, factor, restore, false);
}

int intensitify_layer_background(ImageStack* image, float factor, int restore)
{
    return start_step(&intensity_thread, StepJob{image, factor, restore, false, nullptr});
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Layer list labels
// ---------------------------------------------------------------------------------------------

int layer_label(ImageStack* image, int index, char* out, size_t size)
{
    if (size > 0)
        out[0] = 0;
    if (!image || !image->layers || index < 0 || index >= image->count)
        return 0;
    const Layer* l = &image->layers[index];
    const char* prefix = "";
    if (l->off) {
        prefix = "(off) ";
    } else {
        const Layer* sep = &image->layers[group_of(image, index)];
        if (sep != l && !sep->plane && sep->off)
            prefix = "(group-off) ";
    }
    const char* tag = l->blend >= 0 && l->blend < BLEND_MODE_COUNT ? blend_tag[l->blend] : "?";
    snprintf(out, size, "%s%s [%s]", prefix, l->name ? l->name : "", tag);
    return 1;
}
