// Copy and Paste: the clipboard picture of the composite or the selection, pasted layers and
// their history lines.
#include "history/clipboard.h"

#include "core/state.h"
#include "document/command_log.h"
#include "document/hooks.h"
#include "document/image.h"
#include "document/layers.h"
#include "document/selection.h"
#include "document/undo.h"
#include "files/media.h"
#include "files/picture.h"
#include "history/base85.h"
#include "history/replay.h"
#include "platform/util.h"

#include <algorithm>
#include <cmath>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// [SECTION] Copy
// ---------------------------------------------------------------------------------------------

// The composite's brightest pixel, 0 for none; the caller holds `layers_lock`.
static float composite_peak(const ImageStack* image) { return plane_peak(image->composite, image->w, image->h); }

bool clipboard_picture(ImageStack* image, std::vector<uint32_t>* px, int* w, int* h)
{
    if (!image || !image->composite || image->w < 1 || image->h < 1)
        return false;
    int x0, y0, x1, y1;
    const bool selected = selection_bounds(image, &x0, &y0, &x1, &y1);
    LockGuard lock(image->layers_lock);
    const float m = composite_peak(image);
    *w = x1 - x0;
    *h = y1 - y0;
    px->assign((size_t)*w * (size_t)*h, 0);
    for (int y = 0; y < *h; y++) {
        const float* row = image->composite[y0 + y];
        for (int x = 0; x < *w && row; x++) {
            const float v = row[x0 + x] * (selected ? selection_weight(image, x0 + x, y0 + y) : 1.f);
            const uint32_t g = grey_level(v, m);
            (*px)[(size_t)y * *w + x] = g | g << 8 | g << 16 | 0xFF000000u; // bytes R, G, B, A
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Paste
// ---------------------------------------------------------------------------------------------

Plane picture_to_plane(const uint8_t* grey, int w, int h, float peak)
{
    Plane p = plane_alloc(h, w);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            const float g = (float)grey[(size_t)y * w + x] / 255.f;
            p[y][x] = peak * g * g;
        }
    return p;
}

float paste_peak(ImageStack* image)
{
    if (!image || !image->composite)
        return 1.f;
    LockGuard lock(image->layers_lock);
    const float m = composite_peak(image);
    return m > 0.f && std::isfinite(m) ? m : 1.f;
}

int paste_layer(EngineState* es, const float* const* pixels, int w, int h, int x, int y)
{
    ImageStack* im = es ? es->image : nullptr;
    if (!im || !im->composite || !im->layers || im->count < 1) {
        user_notice("Nothing to paste into: open or make a document first");
        return 0;
    }
    if (!pixels || w < 1 || h < 1 || x >= im->w || y >= im->h || (long long)x + w <= 0 || (long long)y + h <= 0) {
        user_notice("The pasted picture (%d x %d at %d, %d) falls outside the document", w, h, x, y);
        return 0;
    }
    char why[200], what[120];
    snprintf(what, sizeof what, "a pasted layer of %d x %d pixels", im->w, im->h);
    if (memory_refused(4.0 * im->w * im->h, what, why, sizeof why)) {
        user_notice("Cannot paste: %s", why);
        return 0;
    }
    char name[32];
    {
        LockGuard lock(im->layers_lock);
        const int at = layer_insert_above(im);
        if (at < 0)
            return 0; // the table is full (said)
        Layer* l = &im->layers[at];
        l->plane = plane_alloc(im->h, im->w);
        const int r0 = std::max(0, -y), r1 = std::min(h, im->h - y);
        const int c0 = std::max(0, -x), c1 = std::min(w, im->w - x);
        for (int r = r0; r < r1; r++)
            for (int c = c0; c < c1; c++) {
                const float v = pixels[r][c];
                l->plane[y + r][x + c] = std::isfinite(v) && v > 0.f ? v : 0.f;
            }
        layer_defaults(im);
        snprintf(name, sizeof name, "Layer %d", ++im->name_counter);
        l->name = string_assign(name);
        layer_to_undo(im);
    }
    char line[160];
    snprintf(line, sizeof line, "Paste layer \"%s\" %d x %d at %d %d", name, w, h, x, y);
    undo_commit(im, line);
    doc_hook(&DocumentHooks::knob_refresh, es);
    doc_hook(&DocumentHooks::list_refresh, es);
    im->change_state = 1;
    print_cmd(CMD_TIMED, "%s\n", line);
    if (cmd_out_file && !key[K_REPLAYING]) {
        fprint_base85(cmd_out_file, pixels, h, w);
        fflush(cmd_out_file);
    }
    return 1;
}

int replay_paste(const char* line, EngineState* es, FILE* stream, int* line_no)
{
    int w = 0, h = 0, x = 0, y = 0;
    const char* after_name = strrchr(line, '"');
    if (!after_name || sscanf(after_name + 1, " %d x %d at %d %d", &w, &h, &x, &y) != 4 || w < 1 || h < 1 ||
        (long long)w * h > MAX_PICTURE_PIXELS) {
        replay_warn("Warning: line %d: a Paste line that does not read; skipped\n", *line_no);
        return 0;
    }
    // The pixels follow as a Base85 block of w * h words.
    char next[REPLAY_LINE_MAX + 2];
    long long words = -1;
    bool got = false; // the next line that is not empty (the history leaves one after a command)
    while (stream && !got && fgets(next, sizeof next, stream)) {
        ++*line_no;
        got = next[0] != '\n' && next[0] != '\r';
    }
    if (!got) {
        replay_warn("Warning: line %d: the pasted picture's pixels are missing; skipped\n", *line_no);
        return 0;
    }
    if (sscanf(next, "Base85 %lld words", &words) != 1 || words != (long long)w * h) {
        replay_warn("Warning: line %d: the pasted picture's pixels are not a block of %lld words; skipped\n",
                  *line_no, (long long)w * h);
        return 0;
    }
    Plane pixels = plane_alloc(h, w);
    const int ok = fread_base85(stream, pixels, h, w, line_no) &&
                   paste_layer(es, pixels, w, h, x, y);
    plane_free(&pixels, h);
    return ok;
}
