// Deep Undo and Redo; see undo.h.
#include "document/undo.h"

#include "core/state.h"
#include "document/command_log.h"
#include "document/hooks.h"
#include "document/image.h"
#include "document/paint.h"
#include "platform/util.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <unordered_set>

// ---------------------------------------------------------------------------------------------
// [SECTION] Tables
// ---------------------------------------------------------------------------------------------

// The layer table of `image` as a step remembers it.
static UndoTable table_of(const ImageStack* image)
{
    UndoTable t;
    t.entries.reserve((size_t)image->count);
    for (int i = 0; i < image->count; i++) {
        const Layer& l = image->layers[i];
        t.entries.push_back(UndoEntry{l.id, l.plane ? 1 : 0, l.gamma, l.blend, l.conv_x, l.conv_y, l.conv_set,
                                      l.group, l.off, l.disabled, l.name ? l.name : ""});
    }
    t.sel = image->sel;
    t.name_counter = image->name_counter;
    return t;
}

// Whether two entries are the same, bit for bit where they hold floats. `group` and `disabled`
// are worked out again by every composite: not a change of the user's.
static bool same_entry(const UndoEntry& a, const UndoEntry& b)
{
    return a.id == b.id && a.has_plane == b.has_plane && memcmp(&a.gamma, &b.gamma, sizeof a.gamma) == 0 &&
           a.blend == b.blend && a.conv_x == b.conv_x && a.conv_y == b.conv_y && a.conv_set == b.conv_set &&
           a.off == b.off && a.name == b.name;
}

// Whether two tables differ other than in their selection.
static bool table_differs(const UndoTable& a, const UndoTable& b)
{
    if (a.name_counter != b.name_counter || a.entries.size() != b.entries.size())
        return true;
    for (size_t i = 0; i < a.entries.size(); i++)
        if (!same_entry(a.entries[i], b.entries[i]))
            return true;
    return false;
}

// Bytes a table costs.
static size_t table_bytes(const UndoTable& t)
{
    size_t n = sizeof t + t.entries.size() * sizeof(UndoEntry);
    for (const UndoEntry& e : t.entries)
        n += e.name.size();
    return n;
}

// Gives every entry without an id, or with an id an entry below already has, a fresh one.
static void assign_ids(ImageStack* image, UndoHistory* h)
{
    std::unordered_set<int32_t> seen;
    for (int i = 0; i < image->count; i++) {
        Layer& l = image->layers[i];
        if (l.id <= 0 || !seen.insert(l.id).second) {
            l.id = h->next_id++;
            seen.insert(l.id);
        }
        h->next_id = std::max(h->next_id, l.id + 1);
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Planes and boxes
// ---------------------------------------------------------------------------------------------

// Row r of `p`, or the zero row when the plane or the row is missing.
static const float* row_or_zero(Plane p, int r, const std::vector<float>& zeros)
{
    return p && p[r] ? p[r] : zeros.data();
}

// The smallest box holding every pixel that differs (bit for bit) between `a` and `b` (a missing
// plane counts as zeros); false when none does.
static bool changed_box(Plane a, Plane b, int w, int h, const std::vector<float>& zeros, int box[4])
{
    int y0 = -1, y1 = -1, x0 = w, x1 = -1;
    const size_t row_bytes = (size_t)w * sizeof(float);
    for (int r = 0; r < h; r++) {
        const float* ra = row_or_zero(a, r, zeros);
        const float* rb = row_or_zero(b, r, zeros);
        if (ra == rb || memcmp(ra, rb, row_bytes) == 0)
            continue;
        if (y0 < 0)
            y0 = r;
        y1 = r;
        // Only the columns outside the box found so far need looking at.
        int c = 0;
        while (c < x0 && memcmp(&ra[c], &rb[c], sizeof(float)) == 0)
            c++;
        x0 = std::min(x0, c);
        c = w - 1;
        while (c > x1 && memcmp(&ra[c], &rb[c], sizeof(float)) == 0)
            c--;
        x1 = std::max(x1, c);
    }
    if (y0 < 0)
        return false;
    box[0] = x0;
    box[1] = y0;
    box[2] = x1 - x0 + 1;
    box[3] = y1 - y0 + 1;
    return true;
}

// The box of plane `p` (missing: nothing, the values are all zeros).
static std::vector<float> box_values(Plane p, const UndoBox& b, const std::vector<float>& zeros)
{
    std::vector<float> v;
    if (!p)
        return v;
    v.resize((size_t)b.w * (size_t)b.h);
    for (int r = 0; r < b.h; r++)
        memcpy(&v[(size_t)r * b.w], row_or_zero(p, b.y + r, zeros) + b.x, (size_t)b.w * sizeof(float));
    return v;
}

// Writes `values` (empty: zeros) into the box of plane `p`.
static void put_box(Plane p, const UndoBox& b, const std::vector<float>& values)
{
    for (int r = 0; r < b.h; r++) {
        float* row = p[b.y + r];
        if (!row)
            continue;
        if (values.empty())
            std::fill(row + b.x, row + b.x + b.w, 0.f);
        else
            memcpy(row + b.x, &values[(size_t)r * b.w], (size_t)b.w * sizeof(float));
    }
}

// Copies the box of `src` into `dst`.
static void copy_box(Plane dst, Plane src, const UndoBox& b)
{
    for (int r = 0; r < b.h; r++)
        if (dst[b.y + r] && src[b.y + r])
            memcpy(dst[b.y + r] + b.x, src[b.y + r] + b.x, (size_t)b.w * sizeof(float));
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Life of a history
// ---------------------------------------------------------------------------------------------

UndoHistory* undo_history_new() { return new UndoHistory(); }

// Releases every shadow plane.
static void free_shadows(UndoHistory* h)
{
    for (auto& [id, p] : h->shadows)
        plane_free(&p, h->h);
    h->shadows.clear();
}

// Forgets every step; those that could still be undone or redone count as dropped.
static void drop_steps(UndoHistory* h)
{
    h->dropped += (int32_t)h->steps.size();
    h->steps.clear();
    h->current = 0;
    h->used = 0;
}

void undo_history_free(UndoHistory* h)
{
    if (!h)
        return;
    free_shadows(h);
    delete h;
}

void undo_clear(ImageStack* image)
{
    UndoHistory* h = image ? image->history : nullptr;
    if (!h)
        return;
    drop_steps(h);
    free_shadows(h);
    h->shadow_table = UndoTable();
    h->based = 0;
}

// Takes every layer as the baseline of a fresh series of steps. The caller holds `layers_lock`.
static void take_baseline(ImageStack* image, UndoHistory* h)
{
    // Shadows of layers still there are refreshed in place and those of layers gone are freed
    // before new ones are made, so that the document is never held in a third copy meanwhile.
    if (h->w != image->w || h->h != image->h)
        free_shadows(h);
    h->w = image->w;
    h->h = image->h;
    std::unordered_map<int32_t, Plane> kept;
    for (int i = 0; i < image->count; i++) {
        const Layer& l = image->layers[i];
        auto it = l.plane ? h->shadows.find(l.id) : h->shadows.end();
        if (it != h->shadows.end()) {
            kept[l.id] = it->second;
            h->shadows.erase(it);
        }
    }
    free_shadows(h);
    for (int i = 0; i < image->count; i++) {
        const Layer& l = image->layers[i];
        if (!l.plane)
            continue;
        auto it = kept.find(l.id);
        if (it != kept.end())
            plane_copy_into(it->second, l.plane, image->h, image->w);
        else
            kept[l.id] = plane_copy(l.plane, image->h, image->w);
    }
    h->shadows = std::move(kept);
    h->shadow_table = table_of(image);
    h->based = 1;
}

void undo_restart(ImageStack* image)
{
    UndoHistory* h = image ? image->history : nullptr;
    if (!h || !image->layers)
        return;
    LockGuard lock(image->layers_lock);
    const int32_t dropped = h->dropped; // a new document's own clear has counted what it dropped
    drop_steps(h);
    h->dropped = dropped;
    assign_ids(image, h);
    take_baseline(image, h);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Steps
// ---------------------------------------------------------------------------------------------

void undo_label_of(const char* line, char* out, size_t size)
{
    if (size == 0)
        return;
    out[0] = 0;
    if (!line)
        return;
    static const struct {
        const char* prefix;
        const char* label;
    } named[] = {
        {"Multiply layer by", "Layer Intensity"},
        {"Central convolution point", "Convolution Centre"},
    };
    for (const auto& n : named)
        if (strncmp(line, n.prefix, strlen(n.prefix)) == 0) {
            snprintf(out, size, "%s", n.label);
            return;
        }
    if (strcmp(line, "Undo") == 0) {
        snprintf(out, size, "Undo Exchange");
        return;
    }
    // An operation's line names it whole ("rotation by 90", "1/x"); other lines end their name
    // before their values.
    const bool whole = strncmp(line, "Operation ", 10) == 0;
    for (const char* skip : {"Operation ", "Draw "})
        if (strncmp(line, skip, strlen(skip)) == 0)
            line += strlen(skip);
    size_t n = 0;
    bool word_start = true;
    for (const char* p = line; *p && *p != '\n' && n + 1 < size; p++) {
        if (word_start && !whole && (isdigit((unsigned char)*p) || *p == '+' || *p == '-' || *p == '"'))
            break;
        // Words are capitalised, but for the small ones between others.
        const bool small = n > 0 && (!strncmp(p, "by ", 3) || !strncmp(p, "to ", 3) || !strncmp(p, "of ", 3));
        out[n++] = word_start && !small ? (char)toupper((unsigned char)*p) : *p;
        word_start = *p == ' ';
    }
    while (n > 0 && out[n - 1] == ' ')
        n--;
    out[n] = 0;
}

int undo_commit(ImageStack* image, const char* line)
{
    UndoHistory* h = image ? image->history : nullptr;
    if (!h || !image->layers)
        return 0;
    LockGuard lock(image->layers_lock);
    assign_ids(image, h);
    if (!h->based || h->w != image->w || h->h != image->h) {
        // A new document or a new size: earlier steps no longer fit it.
        if (h->based && (h->w != image->w || h->h != image->h))
            drop_steps(h);
        take_baseline(image, h);
        return 0;
    }

    const int w = image->w, hh = image->h;
    const std::vector<float> zeros((size_t)std::max(w, 0), 0.f);
    UndoStep step;
    step.after = table_of(image);

    // Every layer id on either side: the present ones, then those gone since the last boundary.
    std::vector<std::pair<int32_t, Plane>> now; // id, current plane (null: gone or a separator)
    std::unordered_set<int32_t> present;
    for (int i = 0; i < image->count; i++) {
        now.push_back({image->layers[i].id, image->layers[i].plane});
        present.insert(image->layers[i].id);
    }
    for (const auto& [id, p] : h->shadows)
        if (!present.count(id))
            now.push_back({id, nullptr});
    std::sort(now.begin() + image->count, now.end()); // a fixed order for the gone ones

    size_t bytes = 0;
    for (const auto& [id, plane] : now) {
        const auto s = h->shadows.find(id);
        Plane before = s == h->shadows.end() ? nullptr : s->second;
        int box[4];
        if (!changed_box(before, plane, w, hh, zeros, box))
            continue;
        UndoBox b{id, box[0], box[1], box[2], box[3], {}, {}};
        b.before = box_values(before, b, zeros);
        b.after = box_values(plane, b, zeros);
        bytes += sizeof b + (b.before.size() + b.after.size()) * sizeof(float);
        step.boxes.push_back(std::move(b));
    }
    step.table_changed = table_differs(h->shadow_table, step.after) ? 1 : 0;
    if (step.boxes.empty() && !step.table_changed) {
        h->shadow_table = std::move(step.after); // a new selection alone is no step
        return 0;
    }

    // The shadows follow the document.
    for (const auto& [id, plane] : now) {
        auto s = h->shadows.find(id);
        if (!plane) {
            if (s != h->shadows.end()) {
                plane_free(&s->second, hh);
                h->shadows.erase(s);
            }
        } else if (s == h->shadows.end()) {
            h->shadows[id] = plane_copy(plane, hh, w);
        }
    }
    for (const UndoBox& b : step.boxes) {
        auto s = h->shadows.find(b.id);
        for (int i = 0; i < image->count && s != h->shadows.end(); i++)
            if (image->layers[i].id == b.id && image->layers[i].plane)
                copy_box(s->second, image->layers[i].plane, b);
    }
    step.before = std::move(h->shadow_table);
    h->shadow_table = step.after;

    char label[96];
    undo_label_of(line, label, sizeof label);
    step.label = label[0] ? label : "Edit";
    step.bytes = sizeof step + bytes + table_bytes(step.before) + table_bytes(step.after) + step.label.size();

    // A new step drops the steps that could have been redone.
    for (size_t i = h->current; i < h->steps.size(); i++)
        h->used -= h->steps[i].bytes;
    h->steps.resize(h->current);

    const size_t budget = (size_t)std::max(UNDO_MEMORY_MB, 0) << 20;
    if (budget == 0) { // undo_memory_mb = 0: Undo is off
        drop_steps(h);
        h->dropped = 0;
        return 0;
    }
    if (step.bytes > budget) {
        const size_t had = h->steps.size();
        drop_steps(h);
        h->dropped = 0;
        wrfprintf(stderr, "\"%s\" is too large to undo within undo_memory_mb = %d: %zu earlier steps dropped\n",
                  step.label.c_str(), UNDO_MEMORY_MB, had);
        snprintf(h->said, sizeof h->said, "\"%s\" is too large to undo (undo_memory_mb = %d)", step.label.c_str(),
                 UNDO_MEMORY_MB);
        return 0;
    }
    size_t oldest = 0;
    while (h->used + step.bytes > budget && oldest < h->steps.size())
        h->used -= h->steps[oldest++].bytes;
    h->steps.erase(h->steps.begin(), h->steps.begin() + (ptrdiff_t)oldest);
    h->used += step.bytes;
    h->steps.push_back(std::move(step));
    h->current = h->steps.size();
    return 1;
}

// Rebuilds the layer table as `t` says, reusing the planes of the ids still present (new ones
// zeroed, with zeroed shadows); the planes and shadows of the ids it does not hold go. The caller
// holds `layers_lock`.
static void rebuild_table(ImageStack* image, UndoHistory* h, const UndoTable& t)
{
    const int w = image->w, hh = image->h;
    std::unordered_map<int32_t, int> index; // id -> entry of the present table
    for (int i = 0; i < image->count; i++)
        index[image->layers[i].id] = i;
    std::vector<Layer> table(t.entries.size());
    for (size_t i = 0; i < t.entries.size(); i++) {
        const UndoEntry& e = t.entries[i];
        Layer& l = table[i];
        l = Layer{};
        const auto at = index.find(e.id);
        if (at != index.end()) {
            std::swap(l.plane, image->layers[at->second].plane);
            index.erase(at);
        }
        if (e.has_plane && !l.plane) {
            l.plane = plane_alloc(hh, w);
            Plane& shadow = h->shadows[e.id];
            plane_free(&shadow, hh);
            shadow = plane_alloc(hh, w);
        } else if (!e.has_plane && l.plane) {
            plane_free(&l.plane, hh);
        }
        l.id = e.id;
        l.gamma = e.gamma;
        l.blend = e.blend;
        l.conv_x = e.conv_x;
        l.conv_y = e.conv_y;
        l.conv_set = e.conv_set;
        l.group = e.group;
        l.off = e.off;
        l.disabled = e.disabled;
        l.name = string_assign(e.name.c_str());
    }
    for (int i = 0; i < image->count; i++) {
        Layer& old = image->layers[i];
        if (old.plane) { // an id the side does not hold
            auto s = h->shadows.find(old.id);
            if (s != h->shadows.end()) {
                plane_free(&s->second, hh);
                h->shadows.erase(s);
            }
            plane_free(&old.plane, hh);
        }
        free_null(&old.name);
        memset(&old, 0, sizeof old);
    }
    std::copy(table.begin(), table.end(), image->layers);
    image->count = (int32_t)table.size();
    image->sel = std::clamp(t.sel, 0, std::max(image->count - 1, 0));
    image->name_counter = t.name_counter;
}

// Brings back one side of `step` (`after` for Redo): the table when the step changed it (a step
// of pixels alone keeps the selection as it is), then the boxes of the layers that side holds;
// the shadows follow. The changed columns go into x0..x1 (x1 < x0: none). The caller holds
// `layers_lock`.
static void apply_side(ImageStack* image, UndoHistory* h, const UndoStep& step, bool after, int* x0, int* x1)
{
    if (step.table_changed)
        rebuild_table(image, h, after ? step.after : step.before);
    *x0 = image->w;
    *x1 = -1;
    for (const UndoBox& b : step.boxes) {
        *x0 = std::min(*x0, b.x);
        *x1 = std::max(*x1, b.x + b.w - 1);
        for (int i = 0; i < image->count; i++) {
            Layer& l = image->layers[i];
            if (l.id != b.id || !l.plane)
                continue;
            put_box(l.plane, b, after ? b.after : b.before);
            const auto s = h->shadows.find(b.id);
            if (s != h->shadows.end())
                copy_box(s->second, l.plane, b);
        }
    }
    h->shadow_table = table_of(image);
}

void undo_note_selection(ImageStack* image)
{
    UndoHistory* h = image ? image->history : nullptr;
    if (h && h->based)
        h->shadow_table.sel = image->sel;
}

int undo_step(EngineState* es, int direction)
{
    ImageStack* image = es ? es->image : nullptr;
    UndoHistory* h = image ? image->history : nullptr;
    if (!h || !image->layers || !image->composite || (direction != -1 && direction != 1))
        return 0;
    undo_commit(image, "Edit"); // changes not yet closed by a boundary become a step of their own
    if (!h->based || (direction < 0 ? h->current == 0 : h->current >= h->steps.size()))
        return 0;
    const UndoStep& step = h->steps[direction < 0 ? h->current - 1 : h->current];
    int x0, x1;
    {
        LockGuard lock(image->layers_lock);
        apply_side(image, h, step, direction > 0, &x0, &x1);
    }
    snprintf(h->said, sizeof h->said, "%s: %s", direction < 0 ? "Undo" : "Redo", step.label.c_str());
    const bool table = step.table_changed != 0;
    h->current = direction < 0 ? h->current - 1 : h->current + 1;

    // The synthesis redoes the blocks under the changed columns, or everything after a table change.
    if (table || es->block_w < 1) {
        image->change_state = 1;
    } else if (x1 >= x0) {
        mark_blocks_for_synthesis(es, 2 * x0 / es->block_w - 1, 2 * x1 / es->block_w + 1);
        if (image->change_state != 3)
            image->change_state = std::max(image->change_state.load(), 2);
    }
    image->recomposite = 1;
    doc_hook(&DocumentHooks::knob_refresh, es);
    doc_hook(&DocumentHooks::list_refresh, es);
    doc_hook(&DocumentHooks::redraw_view, es);
    print_cmd(CMD_TIMED, direction < 0 ? "Undo step" : "Redo step");
    return 1;
}

const char* undo_next_label(const ImageStack* image, int direction)
{
    const UndoHistory* h = image ? image->history : nullptr;
    if (!h || !undo_available(image, direction))
        return nullptr;
    return h->steps[direction < 0 ? h->current - 1 : h->current].label.c_str();
}

int undo_available(const ImageStack* image, int direction)
{
    const UndoHistory* h = image ? image->history : nullptr;
    if (!h)
        return 0;
    return direction < 0 ? (int)h->current : (int)(h->steps.size() - h->current);
}

size_t undo_bytes(const ImageStack* image) { return image && image->history ? image->history->used : 0; }

int undo_take_message(ImageStack* image, char* out, size_t size)
{
    UndoHistory* h = image ? image->history : nullptr;
    if (!h)
        return 0;
    if (h->dropped > 0 && !h->said[0])
        snprintf(h->said, sizeof h->said, "New document: %d Undo step%s dropped", h->dropped,
                 h->dropped == 1 ? "" : "s");
    h->dropped = 0;
    if (!h->said[0])
        return 0;
    snprintf(out, size, "%s", h->said);
    h->said[0] = 0;
    return 1;
}
