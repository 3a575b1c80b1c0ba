// Replay of history files and archives; see replay.h.
#include "history/replay.h"

#include "history/open.h"
#include "core/limits.h"
#include "core/state.h"
#include "core/units.h"
#include "document/command_log.h"
#include "document/composite.h"
#include "document/hooks.h"
#include "document/image.h"
#include "document/layers.h"
#include "document/move.h"
#include "document/operations.h"
#include "document/paint.h"
#include "document/selection.h"
#include "document/sound.h"
#include "document/undo.h"
#include "dsp/analysis.h"
#include "dsp/scale.h"
#include "files/media.h"
#include "files/picture.h"
#include "history/archive.h"
#include "history/base85.h"
#include "history/clipboard.h"
#include "platform/util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

ReplayHooks replay_hooks = {};

// ---------------------------------------------------------------------------------------------
// [SECTION] Line handler state
// ---------------------------------------------------------------------------------------------

// Block kinds: what a "Base85" line fills and which stroke lines are taken.
enum ReplayBlock : int {
    BLOCK_NONE = 0,
    BLOCK_LAYER = 2,
    BLOCK_SEPARATOR = 3,
    BLOCK_ORIG_SOUND = 4,
    BLOCK_ORIG_IMAGE = 5,
    BLOCK_STROKE = 6,
    BLOCK_RECTANGLE = 7,
};

// The handler's state, kept from one line and one file to the next.
struct ReplayState {
    int ctx = BLOCK_NONE;     // current block kind
    float doc_version = 2.f;  // minor version of the file ("1.2" gives 2)
    int unit_x = UNIT_PX;     // units of stroke points
    int unit_y = UNIT_PX;
    float rad_x = 2.f;        // stroke radii in pixels
    float rad_y = 2.f;
    float strength = 0.25f;   // stroke or rectangle intensity
    int brighten = 1;         // spray kind: 0 dark, 1 white, 2 brighten, 3 smart erase
    bool erase = false;       // restoring spray
    int harm_count = 0;       // harmonics painted per point
    bool new_click = false;   // the first point of the current stroke was painted
    int ox = 0, oy = 0;       // rectangle start, pixels
    int rx = 0, ry = 0;       // rectangle end, pixels
    bool rect_start_set = false, rect_end_set = false, rect_int_set = false;
    int samplerate = 0;       // rate of the original sound block being read, 0 unknown
    uint32_t then = 0;        // tick count of the last screen refresh
    bool stroke_open = false; // a stroke painted points: its Undo step ends at the next command
    bool snapshot = false;    // a snapshot is building the document ("Clear image" up to "Selected layer")
    int select_shape = 0;     // "Select brush" (1) or "Select lasso" (2) takes its point lines, 0 none
    int select_mode = SELECT_REPLACE; // mode of that shape
    float select_rx = 0.f, select_ry = 0.f, select_feather = 0.f; // the brush's half-extents, the shape's feather
    std::vector<float> lasso_x, lasso_y; // the lasso's corners read so far, pixels
};

static ReplayState rs;

static int warnings = 0;         // warnings of the outermost replay so far
static std::string first_warning; // the first of them, without its line end

void replay_warn(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    wrfprintf(stderr, "%s", text);
    if (warnings++ == 0) {
        first_warning = text;
        while (!first_warning.empty() && first_warning.back() == '\n')
            first_warning.pop_back();
    }
}
static int depth = 0;          // replays running (an archive may open another)
static bool quit_seen = false; // a "Quit" line ended the replay
static std::string project_folder; // real path of the outermost file's folder ("" when unknown)

int replay_depth() { return depth; }

void replay_reset() { rs = ReplayState(); }

// ---------------------------------------------------------------------------------------------
// [SECTION] Reading numbers and words
// ---------------------------------------------------------------------------------------------

constexpr float COORD_MAX = 16777216.f; // pixel coordinates read from a file are kept within +-2^24

// Nearest whole pixel of a converted value (ties to even); 0 for a value that is not a number.
static int round_px(float v)
{
    if (!std::isfinite(v))
        return 0;
    return (int)nearbyintf(std::clamp(v, -COORD_MAX, COORD_MAX));
}

// A whole number written in `text` (saturated to the range of long long); false when the text
// does not start with one.
static bool parse_count(const char* text, long long* out)
{
    char* end;
    errno = 0;
    const long long v = strtoll(text, &end, 10);
    if (end == text)
        return false;
    *out = v;
    return true;
}

// The text between the first double quote of `line` and the next one (or the line's end), into
// `out` (`size` bytes). False when the line has no double quote.
static bool quoted_text(const char* line, char* out, size_t size)
{
    const char* q = strchr(line, '"');
    if (!q || size == 0)
        return false;
    q++;
    const char* end = strchr(q, '"');
    const size_t n = std::min(end ? (size_t)(end - q) : strlen(q), size - 1);
    memcpy(out, q, n);
    out[n] = 0;
    return true;
}

// As text_to_px with the unit given by its name.
static float word_to_px(const char* text, const char* unit_word, EngineState* es, int horizontal)
{
    const int unit = !horizontal && is_note_text(text) ? UNIT_NOTE : identify_unit(unit_word);
    return text_to_px(text, unit, es, horizontal);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Document helpers
// ---------------------------------------------------------------------------------------------

// The selected entry, or null when there is none.
static Layer* selected_layer(ImageStack* im)
{
    if (!im || !im->layers || im->sel < 0 || im->sel >= im->count)
        return nullptr;
    return &im->layers[im->sel];
}

// The end of a command that changed the document: one Undo step, as the editor makes it. While a
// snapshot builds the document there are no steps; the snapshot's end takes the baseline.
static void step_boundary(ImageStack* im, const char* line)
{
    if (!rs.snapshot)
        undo_commit(im, line);
}

// A stroke's points end with the next command: its Undo step closes there.
static void close_stroke(ImageStack* im)
{
    if (!rs.stroke_open)
        return;
    rs.stroke_open = false;
    step_boundary(im, "Stroke");
}

// The end of a snapshot: the document it built is the baseline of a new series of steps, and
// its automatic layer names go on from its entries, as they do after an opened project (the
// "New layer" lines counted each entry once more).
static void close_snapshot(ImageStack* im)
{
    if (!rs.snapshot)
        return;
    rs.snapshot = false;
    im->name_counter = std::max(im->count - 1, 0);
    undo_restart(im);
}

// Takes `transposed_lock` and `image_lock` (in that order, before `layers_lock`) unless a
// released document already holds them.
static void take_image_locks(ImageStack* im)
{
    if (im->locks_held)
        return;
    mutex_to_1(im->transposed_lock);
    mutex_to_1(im->image_lock);
    im->locks_held = 1;
}

// The whole document released: no size, no layers, the gradient colour map; with `axis` also a
// logarithmic frequency axis. The caller holds the image locks and `layers_lock`.
static void clear_document(EngineState* es, bool axis)
{
    ImageStack* im = es->image;
    free_image(im, 1);
    im->w = im->h = 0;
    im->src_w = im->src_h = 0;
    im->gradient_mode = 1;
    if (axis)
        es->anal_params[6] = 2.f;
    im->count = 0;
    im->sel = -1;
}

// The knobs follow the engine state (frequency range, scale, time resolution).
static void knobs_follow(EngineState* es)
{
    if (replay_hooks.knobs_follow)
        replay_hooks.knobs_follow(es);
}

// Synthesis block width for the time resolution in force: 4 px/s (whole), times the height in
// thousands of rows plus one above 1000 rows, 120 px/s with long blocks; at least 24.
static void block_width_rule(EngineState* es)
{
    const int pps = (int)es->anal_params[2]; // checked against its range by the callers
    int width = 4 * pps;
    if (es->image && es->image->h > 1000)
        width *= es->image->h / 1000 + 1;
    if (key[state_of(K_LONG_BLOCK)])
        width = 120 * pps;
    es->block_w = std::max(width, 24);
}

// Whether a value read from line `line_no` lies in the range of `setting`; otherwise warns
// with the reason, and the line is ignored.
static bool value_ok(Setting setting, float v, int line_no)
{
    char why[160];
    if (!setting_fault(setting, v, why, sizeof why))
        return true;
    replay_warn("Warning: line %d: %s; line ignored\n", line_no, why);
    return false;
}

static void warn_value(const char* what, int line_no)
{
    replay_warn("Warning: line %d: %s out of range; line ignored\n", line_no, what);
}

// Whether `planes` more planes of w x h pixels fit in the memory available; otherwise warns
// naming the line and what it asked for, and the line is ignored.
// A layer costs two planes: its own and the copy Undo keeps of it as of the last step.
constexpr int LAYER_PLANES = 2;

static bool room_for_planes(long long planes, long long w, long long h, const char* what, int line_no)
{
    char why[200];
    if (planes <= 0 || !memory_refused((double)planes * (double)w * (double)h * sizeof(float), what, why, sizeof why))
        return true;
    replay_warn("Warning: line %d: %s; line ignored\n", line_no, why);
    return false;
}

// Planes of the document's size its layers and working planes hold: each layer's own with the
// copy Undo keeps of it, the composite, the group accumulator, the transposed copy, undo and
// reference.
static long long document_planes(const ImageStack* im)
{
    long long planes = 5;
    for (int i = 0; i < im->count; i++)
        planes += im->layers[i].plane != nullptr ? LAYER_PLANES : 0;
    return planes;
}

static void set_frequency_range(EngineState* es, float fmin, float fmax, int line_no)
{
    if (!value_ok(SETTING_FREQUENCY, fmin, line_no) || !value_ok(SETTING_FREQUENCY, fmax, line_no))
        return;
    if (!(fmin < fmax)) {
        warn_value("frequency range", line_no);
        return;
    }
    es->anal_params[0] = fmin;
    es->anal_params[1] = fmax;
    knobs_follow(es);
}

static void set_frequency_scale(EngineState* es, float base, int line_no)
{
    if (!value_ok(SETTING_BASE, base, line_no))
        return;
    es->anal_params[6] = base;
    knobs_follow(es);
}

static void set_time_resolution(EngineState* es, float pps, int line_no)
{
    if (!value_ok(SETTING_PPS, pps, line_no))
        return;
    es->anal_params[2] = pps;
    block_width_rule(es);
    knobs_follow(es);
}

// Reads past the data line that follows a "Base85" line.
static void skip_data_line(FILE* stream, int* line_no)
{
    int c;
    do
        c = fgetc(stream);
    while (c != '\n' && c != EOF);
    ++*line_no;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Lines by keyword
// ---------------------------------------------------------------------------------------------

// The arguments every keyword handler sees.
struct LineArgs {
    const char* line;  // the line without its line end
    const char* word;  // its first word
    EngineState* es;
    ImageStack* im;
    char* title;
    size_t title_size;
    int* opened;
    FILE* stream;
    int* line_no;
};

// An empty line: the moment at which the screen may show what changed.
static void refresh_point(const LineArgs& a)
{
    if (a.im->change_state == 0)
        return;
    const uint32_t now = log_ticks();
    a.im->change_state = 0;
    if (now - rs.then <= 32)
        return; // the change waits for a later refresh
    a.im->recomposite = 1;
    doc_hook(&DocumentHooks::redraw_view, a.es);
    if (replay_hooks.present)
        replay_hooks.present(a.es);
    rs.then = now;
}

static void line_version(const LineArgs& a)
{
    char version[REPLAY_LINE_MAX];
    char major = 0;
    float minor = 0.f;
    rs.ctx = BLOCK_NONE;
    if (sscanf(a.line, "Brindlewharf Archive v%2047s", version) != 1)
        return;
    const bool read = sscanf(version, "%c.%g", &major, &minor) == 2 && std::isfinite(minor);
    if (read)
        rs.doc_version = minor;
    if (!read || minor > 2.f || major != '1')
        replay_warn("Warning: Archive version %s not supported by this version of Brindlewharf\n", version);
}

static void line_title(const LineArgs& a)
{
    rs.ctx = BLOCK_NONE;
    if (a.title && a.title_size > 0)
        quoted_text(a.line, a.title, a.title_size);
}

static void line_clear(const LineArgs& a)
{
    rs.ctx = BLOCK_NONE;
    rs.snapshot = true;
    layer_steps_wait();
    take_image_locks(a.im);
    {
        LockGuard lock(a.im->layers_lock);
        clear_document(a.es, true);
    }
    image_locks_release(a.im);
    knobs_follow(a.es);
}

// "Dimensions" and "Crop": a new document size, keeping the top-left of every layer.
static void line_dimensions(const LineArgs& a, bool crop)
{
    rs.ctx = BLOCK_NONE;
    char w_text[REPLAY_LINE_MAX], w_unit[REPLAY_LINE_MAX], h_text[REPLAY_LINE_MAX], h_unit[REPLAY_LINE_MAX] = "";
    if (sscanf(a.line, "%*s %2047s %2047s x %2047s %2047s", w_text, w_unit, h_text, h_unit) < 3)
        return;
    const int w_unit_no = identify_unit(w_unit);
    const float wf = text_to_px(w_text, w_unit_no, a.es, 1);
    const float hf = word_to_px(h_text, h_unit, a.es, 0);
    const bool reset = rs.doc_version < 1.f || !a.im->composite;
    long long w = (std::isfinite(wf) && std::fabs(wf) < COORD_MAX) ? (long long)nearbyintf(wf) : -1;
    const long long h = (std::isfinite(hf) && std::fabs(hf) < COORD_MAX) ? (long long)nearbyintf(hf) : -1;
    if (w >= 0 && w_unit_no != UNIT_PX)
        w += 1;
    // The size new_dimensions would give, checked before anything is released.
    const long long nw = reset || crop ? w : std::max<long long>(w, a.im->w);
    const long long nh = reset || crop ? h : std::max<long long>(h, a.im->h);
    if (w < 1 || h < 1 || nw > REPLAY_SIDE_MAX || nh > REPLAY_SIDE_MAX ||
        nw * nh > std::min(REPLAY_PIXELS_MAX, MAX_PICTURE_PIXELS)) {
        replay_warn("Warning: line %d: a document of %lld x %lld pixels cannot be made; line ignored\n",
                  *a.line_no, nw, nh);
        return;
    }
    const long long growth = nw * nh - (long long)a.im->w * a.im->h; // the old planes go as the new ones come
    char what[120];
    snprintf(what, sizeof what, "a document of %lld x %lld pixels", nw, nh);
    if (growth > 0 && !room_for_planes(document_planes(a.im), growth, 1, what, *a.line_no))
        return;
    layer_steps_wait();
    take_image_locks(a.im);
    {
        LockGuard lock(a.im->layers_lock);
        // A snapshot gives the frequency scale before its size: the size keeps it.
        if (reset)
            clear_document(a.es, false);
        else
            free_image(a.im, 0);
        new_dimensions(a.im, (int)w, (int)h, crop ? 1 : 0);
        if (!a.im->src_rgb)
            a.im->gradient_mode = 1; // the picture's own colours went with the working planes
    }
    image_locks_release(a.im);
}

static void line_analysis(const LineArgs& a)
{
    rs.ctx = BLOCK_NONE;
    EngineState* es = a.es;
    const int n = *a.line_no;
    float v1 = 0.f, v2 = 0.f;
    if (sscanf(a.line, "Analysis frequency range %g Hz - %g Hz", &v1, &v2) == 2) {
        set_frequency_range(es, v1, v2, n);
    } else if (sscanf(a.line, "Analysis frequency scale %g", &v1) == 1) {
        set_frequency_scale(es, v1, n);
    } else if (sscanf(a.line, "Analysis time resolution %g", &v1) == 1) {
        set_time_resolution(es, v1, n);
    } else if (sscanf(a.line, "Analysis pitch resolution %g", &v1) == 1) {
        if (value_ok(SETTING_BPO, v1, n))
            es->anal_params[4] = v1;
    } else if (sscanf(a.line, "Analysis minimum pitch resolution %g", &v1) == 1) {
        if (value_ok(SETTING_BPO, v1, n))
            es->anal_params[5] = v1;
    } else if (sscanf(a.line, "Analysis transition time resolution %g", &v1) == 1) {
        if (value_ok(SETTING_PPS, v1, n))
            es->anal_params[3] = v1;
    } else {
        char second[REPLAY_LINE_MAX];
        if (sscanf(a.line, "%*s %2047s", second) == 1) {
            if (strcmp(second, "left") == 0)
                key[state_of(K_LEFT_ONLY)] = 1;
            else if (strcmp(second, "right") == 0)
                key[state_of(K_RIGHT_ONLY)] = 1;
        }
    }
}

static void line_frequency(const LineArgs& a)
{
    rs.ctx = BLOCK_NONE;
    char t[6][REPLAY_LINE_MAX];
    const int n = sscanf(a.line, "%*s %2047s %2047s %2047s %2047s %2047s %2047s", t[0], t[1], t[2], t[3], t[4],
                         t[5]);
    if (n >= 2 && strcmp(t[0], "scale") == 0) {
        set_frequency_scale(a.es, (float)strtod(t[1], nullptr), *a.line_no);
        return;
    }
    if (n < 3 || strcmp(t[0], "range") != 0)
        return;
    // "range" LOW [UNIT] - HIGH [UNIT]: a note stands without a unit word.
    int i = 1;
    const char* low = t[i++];
    const char* low_unit = is_note_text(low) ? "note" : (i < n ? t[i++] : "");
    if (i >= n || strcmp(t[i], "-") != 0)
        return;
    i++;
    if (i >= n)
        return;
    const char* high = t[i++];
    const char* high_unit = is_note_text(high) ? "note" : (i < n ? t[i] : "");
    auto to_hz = [&](const char* text, const char* unit) {
        char buf[REPLAY_LINE_MAX + 1];
        const size_t len = strnlen(text, sizeof buf - 1);
        memcpy(buf, text, len);
        buf[len] = 0;
        return convert_unit(buf, identify_unit(unit), UNIT_HZ, a.es, 0, 0, 0.f);
    };
    set_frequency_range(a.es, to_hz(low, low_unit), to_hz(high, high_unit), *a.line_no);
}

static void line_time(const LineArgs& a)
{
    float pps = 0.f;
    if (sscanf(a.line, "Time resolution %g", &pps) == 1) {
        rs.ctx = BLOCK_NONE;
        set_time_resolution(a.es, pps, *a.line_no);
    }
}

static void line_synthesis(const LineArgs& a)
{
    rs.ctx = BLOCK_NONE;
    char mode[REPLAY_LINE_MAX];
    if (sscanf(a.line, "%*s %2047s", mode) != 1)
        return;
    const bool live_on = key[state_of(K_LIVE_SYNTH)] != 0;
    if (strcmp(mode, "noise") == 0 || strcmp(mode, "lossless") == 0) {
        lossless_mode = mode[0] == 'l' ? 1 : 0;
        if (live_on)
            key[K_LIVE_SYNTH] = 1; // the main loop turns live synthesis off
    } else if (strcmp(mode, "live") == 0) {
        lossless_mode = 0;
        if (!live_on)
            key[K_LIVE_SYNTH] = 1;
    }
}

static void line_samplerate(const LineArgs& a)
{
    char number[32];
    long long rate = 0;
    if (sscanf(a.line, "Samplerate %31[-+0-9]", number) != 1 || !parse_count(number, &rate))
        return;
    char why[160];
    if (setting_fault(SETTING_SOUND_RATE, (double)rate, why, sizeof why)) {
        replay_warn("Warning: line %d: %s; the sound is taken as it is\n", *a.line_no, why);
        rate = 0;
    }
    rs.samplerate = (int)rate;
}

// "New original sound (%d samples)": room for the samples, grown to whole synthesis blocks.
static void new_original_sound(const LineArgs& a)
{
    char number[32];
    long long n = -1;
    rs.ctx = BLOCK_NONE; // the block is skipped unless its size is usable
    if (sscanf(a.line, "New original sound (%31[-+0-9]", number) != 1 || !parse_count(number, &n) || n < 1 ||
        n > (long long)SOUND_CHUNK_MAX * SOUND_CHUNK_LEN) {
        replay_warn("Warning: line %d: an original sound of this length cannot be held; block skipped\n",
                  *a.line_no);
        return;
    }
    // The block length in samples, as synthesis will use it; the original sound is zeroed up to
    // the end of the last block.
    long long room = n;
    const int bw = a.es->block_w > 0 ? a.es->block_w : 100;
    const float pps = a.es->anal_params[2];
    const double half = (double)(bw / 2) * SOUND_SAMPLERATE / pps;
    if (setting_in_range(SETTING_PPS, pps) && (double)(bw / 2) * SOUND_SAMPLERATE < INT_MAX && half < (double)(1 << 28)) {
        int block_len = 0;
        init_block_len(bw, &block_len, pps);
        if (block_len > 1) {
            const long long blocks = 2 * n / block_len + 1;
            room = std::max(room, (long long)(block_len / 2) * (blocks + 1));
        }
    }
    free(orig_snd);
    orig_snd = static_cast<float*>(wrcalloc((size_t)room, sizeof(float)));
    orig_len = (int)n;
    orig_rate = SOUND_SAMPLERATE;
    rs.ctx = BLOCK_ORIG_SOUND;
}

// "New original image (%d x %d)": a zeroed `analysed` plane of that size.
static void new_original_image(const LineArgs& a)
{
    char wt[32], ht[32];
    long long w = -1, h = -1;
    rs.ctx = BLOCK_NONE;
    if (sscanf(a.line, "New original image (%31[-+0-9] x %31[-+0-9]", wt, ht) != 2 || !parse_count(wt, &w) ||
        !parse_count(ht, &h) || w < 1 || h < 1 || w > REPLAY_SIDE_MAX || h > REPLAY_SIDE_MAX ||
        w * h > REPLAY_PIXELS_MAX) {
        replay_warn("Warning: line %d: an original image of this size cannot be held; block skipped\n",
                  *a.line_no);
        return;
    }
    ImageStack* im = a.im;
    plane_free(&im->analysed, im->orig_h);
    im->orig_w = (int)w;
    im->orig_h = (int)h;
    im->analysed = plane_alloc(im->orig_h, im->orig_w);
    rs.ctx = BLOCK_ORIG_IMAGE;
}

// "New layer" and "New separator": an entry above the selected one with the quoted name.
// Planes a new layer costs now and later: its own and its Undo copy, and inside a snapshot also
// the Undo copies of the layers made so far, which are all taken when the snapshot ends.
static long long new_layer_planes(const ImageStack* im)
{
    long long later = 0;
    if (rs.snapshot)
        for (int i = 0; i < im->count; i++)
            later += im->layers[i].plane != nullptr;
    return LAYER_PLANES + later;
}

static void new_entry(const LineArgs& a, bool separator)
{
    ImageStack* im = a.im;
    char name[REPLAY_LINE_MAX] = "";
    quoted_text(a.line, name, sizeof name);
    rs.ctx = BLOCK_NONE;
    char what[120];
    snprintf(what, sizeof what, "a layer of %d x %d pixels", im->w, im->h);
    if (!separator && !room_for_planes(new_layer_planes(im), im->w, im->h, what, *a.line_no))
        return; // the block's data is skipped
    {
        LockGuard lock(im->layers_lock);
        const int at = layer_insert_above(im);
        if (at < 0)
            return; // the table is full (said); the block's data is skipped
        Layer* l = &im->layers[at];
        if (!separator)
            l->plane = plane_alloc(im->h, im->w);
        layer_defaults(im);
        if (!separator) // as New Layer counts, and New Separator does not
            im->name_counter += 1;
        l->name = string_assign(name);
    }
    step_boundary(im, a.line);
    doc_hook(&DocumentHooks::list_refresh, a.es);
    rs.ctx = separator ? BLOCK_SEPARATOR : BLOCK_LAYER;
}

static void line_new(const LineArgs& a)
{
    char second[REPLAY_LINE_MAX], third[REPLAY_LINE_MAX];
    const int n = sscanf(a.line, "%*s %2047s %2047s", second, third);
    if (n < 1)
        return;
    if (strcmp(second, "layer") == 0)
        new_entry(a, false);
    else if (strcmp(second, "separator") == 0)
        new_entry(a, true);
    else if (strcmp(second, "original") == 0 && n == 2 && strcmp(third, "sound") == 0)
        new_original_sound(a);
    else if (strcmp(second, "original") == 0 && n == 2 && strcmp(third, "image") == 0)
        new_original_image(a);
}

static void line_duplicate(const LineArgs& a)
{
    char what[120];
    snprintf(what, sizeof what, "a copy of a layer of %d x %d pixels", a.im->w, a.im->h);
    if (room_for_planes(new_layer_planes(a.im), a.im->w, a.im->h, what, *a.line_no))
        duplicate_layer(a.es);
}

static void line_merge(const LineArgs& a)
{
    char what[REPLAY_LINE_MAX];
    if (sscanf(a.line, "%*s %2047[^\n]", what) != 1)
        return;
    if (strcmp(what, "down layer") == 0) {
        merge_down_layer(a.es);
    } else if (strcmp(what, "all to new layer") == 0) {
        // The composite must show every line read so far, whatever the refresh timing was.
        process_layers(a.es);
        merge_all_to_new_layer(a.es);
    }
}

static void line_open(const LineArgs& a)
{
    rs.ctx = BLOCK_NONE;
    char path[PATH_TEXT_LEN];
    if (!quoted_text(a.line, path, sizeof path) || !path[0])
        return;
    int opened = 0;
    open_file(path, a.es, a.opened ? a.opened : &opened);
    key[state_of(K_LEFT_ONLY)] = 0;
    key[state_of(K_RIGHT_ONLY)] = 0;
}

// Where a replayed "Save" line may write `path`: a name relative to the project's folder, or
// an absolute one, whose folder lies (links resolved) within the project's folder. Gives the
// resolved file in `*target`, or null with the reason in `*why`.
static bool save_target(const char* path, std::string* target, std::string* why)
{
    if (project_folder.empty()) {
        *why = "has no project folder to be saved in";
        return false;
    }
    const std::string full = path[0] == '/' ? std::string(path) : project_folder + "/" + path;
    const size_t slash = full.rfind('/');
    const std::string name = full.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        *why = "names no file";
        return false;
    }
    char* real = realpath(slash == 0 ? "/" : full.substr(0, slash).c_str(), nullptr);
    if (!real) {
        *why = "is in a folder that does not exist";
        return false;
    }
    const std::string folder = real;
    free(real);
    const std::string inside = project_folder == "/" ? "/" : project_folder + "/";
    if (folder != project_folder && folder.compare(0, inside.size(), inside) != 0) {
        *why = "is outside the project's folder " + project_folder;
        return false;
    }
    *target = folder == "/" ? "/" + name : folder + "/" + name;
    struct stat st;
    if (lstat(target->c_str(), &st) == 0) {
        *why = "exists already";
        return false;
    }
    return true;
}

// "Save": a picture (.bmp, .png) or a snapshot archive (.kbz) of the document. A replayed file
// chooses its own targets, so it writes only inside the folder of the project being replayed
// (relative names are taken from there), never replaces an existing file and writes nothing
// else; a line it refuses is named in a warning.
static void line_save(const LineArgs& a)
{
    char path[PATH_TEXT_LEN];
    if (!quoted_text(a.line, path, sizeof path) || !path[0])
        return;
    char ext[PATH_TEXT_LEN] = "";
    extract_file_extension(path, ext);
    const int kind = file_type(path);
    if (kind == FILE_SOUND)
        return; // sounds are written by the main loop once synthesis is done
    const bool known = strcmp(ext, "bmp") == 0 || strcmp(ext, "png") == 0 || kind == FILE_ARCHIVE;
    std::string target, why = "is not a .bmp, .png or .kbz file";
    if (!known || !save_target(path, &target, &why)) {
        replay_warn("Warning: line %d: \"%s\" %s; not saved\n", *a.line_no, path, why.c_str());
        return;
    }
    process_layers(a.es);
    if (!a.im->composite) {
        replay_warn("Warning: line %d: no document to save to \"%s\"\n", *a.line_no, path);
        return;
    }
    wrfprintf(stdout, "Saving to file : %s\n", target.c_str());
    if (kind == FILE_ARCHIVE)
        save_archive_status(target.c_str(), a.es, a.title ? a.title : "");
    else if (strcmp(ext, "png") == 0)
        save_image_png(a.im->composite, a.im->w, a.im->h, target.c_str());
    else
        save_image(a.im->composite, a.im->w, a.im->h, target.c_str());
}

static void line_blending(const LineArgs& a)
{
    char text[REPLAY_LINE_MAX] = "";
    sscanf(a.line, "Blending %2047[^\n]", text);
    int mode = -1;
    for (int m = 0; m < BLEND_MODE_COUNT; m++)
        if (strncmp(text, blending_name[m], strlen(blending_name[m])) == 0)
            mode = m; // the last match wins: "convolution looped" over "convolution"
    Layer* l = selected_layer(a.im);
    if (!l)
        return;
    if (mode < 0) {
        if (a.stream)
            wrfprintf(stderr, "Blending mode \"%s\" unknown for layer \"%s\" (line %d)\n", text,
                      l->name ? l->name : "", *a.line_no);
        else
            wrfprintf(stderr, "Blending mode \"%s\" unknown for layer \"%s\"\n", text, l->name ? l->name : "");
        return;
    }
    {
        LockGuard lock(a.im->layers_lock);
        l->blend = mode;
    }
    step_boundary(a.im, a.line);
}

static void line_gamma(const LineArgs& a)
{
    float gamma = 0.f;
    Layer* l = selected_layer(a.im);
    if (!l || sscanf(a.line, "Gamma %g", &gamma) != 1)
        return;
    if (!std::isfinite(gamma) || !(gamma > 0.f)) {
        warn_value("gamma", *a.line_no);
        return;
    }
    const float old_gamma = l->gamma;
    l->gamma = gamma;
    layer_to_undo(a.im);
    const float ratio = gamma / old_gamma;
    if (std::isfinite(ratio) && ratio > 0.f)
        gamma_layer(a.im, ratio, 0);
    step_boundary(a.im, a.line);
}

static void line_central(const LineArgs& a)
{
    char xt[REPLAY_LINE_MAX], xu[REPLAY_LINE_MAX], yt[REPLAY_LINE_MAX], yu[REPLAY_LINE_MAX] = "";
    Layer* l = selected_layer(a.im);
    if (!l || sscanf(a.line, "Central convolution point %2047s %2047s , %2047s %2047s", xt, xu, yt, yu) < 3)
        return;
    const int x = round_px(word_to_px(xt, xu, a.es, 1));
    const int y = round_px(word_to_px(yt, yu, a.es, 0));
    {
        LockGuard lock(a.im->layers_lock);
        l->conv_x = x;
        l->conv_y = y;
        l->conv_set = 1;
    }
    step_boundary(a.im, a.line);
}

static void line_draw(const LineArgs& a)
{
    char tool[REPLAY_LINE_MAX] = "";
    sscanf(a.line, "Draw %2047[^\n]", tool);
    static const char* const sprays[] = {"dark spray", "white spray", "brighten spray", "smart erase spray"};
    if (strcmp(tool, "rectangle") == 0) {
        close_stroke(a.im);
        rs.ctx = BLOCK_RECTANGLE;
        rs.rect_start_set = rs.rect_end_set = rs.rect_int_set = false;
        return;
    }
    if (strcmp(tool, "erase spray") == 0) {
        rs.ctx = BLOCK_STROKE;
        rs.erase = true;
    }
    for (int i = 0; i < 4; i++)
        if (strcmp(tool, sprays[i]) == 0) {
            rs.ctx = BLOCK_STROKE;
            rs.erase = false;
            rs.brighten = i;
        }
    if (rs.ctx == BLOCK_STROKE)
        layer_to_undo(a.im);
}

// Paints the pending rectangle once its start, end and intensity have all been read.
static void rectangle_when_complete(const LineArgs& a)
{
    if (!rs.rect_start_set || !rs.rect_end_set || !rs.rect_int_set)
        return;
    layer_to_undo(a.im);
    paint_rect_abs(a.es, rs.rx, rs.ry, rs.ox, rs.oy, rs.strength);
    rs.rect_start_set = rs.rect_end_set = rs.rect_int_set = false;
    a.im->change_state = 1;
    step_boundary(a.im, "Draw rectangle");
}

static void line_intensity(const LineArgs& a)
{
    char text[REPLAY_LINE_MAX];
    if (sscanf(a.line, "Intensity %2047s", text) != 1)
        return;
    // Infinity is written "1.#INF" by some C libraries and "inf" by this one.
    float v = (float)strtod(text, nullptr);
    if (strcmp(text, "1.#INF") == 0 || std::isinf(v))
        v = 100000.f;
    if (!std::isfinite(v)) {
        warn_value("rectangle intensity", *a.line_no);
        return;
    }
    rs.strength = v;
    rs.rect_int_set = true;
    rectangle_when_complete(a);
}

static void line_rectangle(const LineArgs& a)
{
    char which[REPLAY_LINE_MAX], xt[REPLAY_LINE_MAX], xu[REPLAY_LINE_MAX], yt[REPLAY_LINE_MAX],
        yu[REPLAY_LINE_MAX] = "";
    if (sscanf(a.line, "%*s %2047s %2047s %2047s x %2047s %2047s", which, xt, xu, yt, yu) < 4)
        return;
    const int x = round_px(word_to_px(xt, xu, a.es, 1));
    const int y = round_px(word_to_px(yt, yu, a.es, 0));
    if (strcmp(which, "start") == 0) {
        rs.ox = x;
        rs.oy = y;
        rs.rect_start_set = true;
    } else if (strcmp(which, "end") == 0) {
        rs.rx = x;
        rs.ry = y;
        rs.rect_end_set = true;
    }
    rectangle_when_complete(a);
}

static void line_point(const LineArgs& a)
{
    float rx = 0.f, ry = 0.f, strength = 0.f;
    char ux[REPLAY_LINE_MAX], uy[REPLAY_LINE_MAX];
    if (sscanf(a.line, "Point size %g %2047s x %g %2047s", &rx, ux, &ry, uy) == 4) {
        rs.rad_x = convert_unit(nullptr, identify_unit(ux), UNIT_PX, a.es, 1, 0, rx);
        rs.rad_y = convert_unit(nullptr, identify_unit(uy), UNIT_PX, a.es, 0, 0, ry);
    } else if (sscanf(a.line, "Point intensity %g", &strength) == 1) {
        rs.strength = strength;
    }
}

static void line_units(const LineArgs& a)
{
    char ux[REPLAY_LINE_MAX], uy[REPLAY_LINE_MAX];
    if (sscanf(a.line, "Units %2047[^, ],%2047s", ux, uy) == 2) {
        rs.unit_x = identify_unit(ux);
        rs.unit_y = identify_unit(uy);
    }
}

static void line_harmonics(const LineArgs& a)
{
    char number[32];
    long long n = 0;
    if (sscanf(a.line, "Harmonics %31[-+0-9]", number) == 1 && parse_count(number, &n))
        rs.harm_count = (int)std::clamp<long long>(n, 0, 1 << 20);
}

// A point of a stroke: "x y T+t s" in the stroke's units. False when the line is not one.
static bool line_stroke_point(const LineArgs& a)
{
    char x_text[REPLAY_LINE_MAX], y_text[REPLAY_LINE_MAX];
    float x = 0.f;
    if (sscanf(a.line, "%2047s %2047s", x_text, y_text) < 2 || sscanf(x_text, "%g", &x) != 1)
        return false;
    float px = 0.f, py = 0.f;
    logged_point_px(x_text, y_text, rs.unit_x, rs.unit_y, a.es, &px, &py);
    paint_point_abs(a.es, rs.harm_count, rs.erase ? 1 : 0, rs.brighten, rs.new_click ? 0 : 1, px, py, rs.rad_x,
                    rs.rad_y, rs.strength);
    rs.new_click = true;
    rs.stroke_open = true;
    a.im->change_state = 1;
    return true;
}

// The operations of the Operations menu by their history names.
struct OperationEntry {
    const char* name;
    int (*on_image)(ImageStack*);
    int (*on_engine)(EngineState*);
};

static const OperationEntry OPERATIONS[] = {
    {"erase", erase_mask, nullptr},
    {"invert", invert_image, nullptr},
    {"mask invert", mask_invert_image, nullptr},
    {"horizontal flip", flip_image, nullptr},
    {"vertical flip", vflip_image, nullptr},
    {"horizontal average", horz_average, nullptr},
    {"vertical average", nullptr, vert_average},
    {"horizontal curves", horz_curves, nullptr},
    {"vertical curves", nullptr, vert_curves},
    {"fill to left", fill_to_left, nullptr},
    {"fill to bottom", nullptr, fill_to_bottom},
    {"normalisation", layers_normalisation, nullptr},
    {"set sum to 1", layers_set_sum, nullptr},
    {"horizontal normalisation", horz_norm, nullptr},
    {"vertical normalisation", nullptr, vert_norm},
    {"1/x", div_invert, nullptr},
    {"square", square_layer, nullptr},
    {"square root", sqrt_layer, nullptr},
    {"fill white", nullptr, fill_white},
    {"fill pink", fill_pink, nullptr},
    {"fill brown", nullptr, fill_brown},
    {"group to semitone", nullptr, group_to_semitone},
};

static void line_operation(const LineArgs& a)
{
    rs.ctx = BLOCK_LAYER;
    char name[REPLAY_LINE_MAX];
    if (sscanf(a.line, "%*s %2047[^\n]", name) != 1)
        return;
    layer_to_undo(a.im);
    // Files up to version 1.1 called the brown fill "fill pink".
    if (strcmp(name, "fill pink") == 0 && rs.doc_version <= 1.f) {
        fill_brown(a.es);
        return;
    }
    static const char* const rotations[] = {"rotation by 90", "rotation by 180", "rotation by 270"};
    for (int n = 0; n < 3; n++)
        if (strcmp(name, rotations[n]) == 0) {
            rotate_image(a.im, n + 1);
            return;
        }
    for (const OperationEntry& op : OPERATIONS)
        if (strcmp(name, op.name) == 0) {
            if (op.on_image)
                op.on_image(a.im);
            else
                op.on_engine(a.es);
            return;
        }
}

static void line_move(const LineArgs& a)
{
    rs.ctx = BLOCK_LAYER;
    char second[REPLAY_LINE_MAX], rest[REPLAY_LINE_MAX];
    if (sscanf(a.line, "%*s %2047s %2047[^\n]", second, rest) != 2 || strcmp(second, "layer") != 0)
        return;
    if (strcmp(rest, "up") == 0 || strcmp(rest, "down") == 0) {
        if (move_layer(a.im, rest[0] == 'u' ? 1 : -1)) {
            a.im->change_state = 1;
            step_boundary(a.im, a.line);
            doc_hook(&DocumentHooks::list_refresh, a.es);
        }
        return;
    }
    if (rest[0] != '-' && rest[0] != '+')
        return;
    float x = 0.f, y = 0.f;
    char ux[REPLAY_LINE_MAX], uy[REPLAY_LINE_MAX] = "";
    if (sscanf(rest, "%g %2047s x %g %2047s", &x, ux, &y, uy) < 3)
        return;
    const float dx = convert_unit(nullptr, identify_unit(ux), UNIT_PX, a.es, 1, 0, x);
    float dy = convert_unit(nullptr, identify_unit(uy), UNIT_PX, a.es, 0, 0, y);
    if (rs.doc_version > 1.f)
        dy = -dy; // written upwards positive since version 1.2
    layer_to_undo(a.im);
    // The shift was logged rounded to six digits in the user's units: the nearest whole pixel.
    move_tool_layer_abs(a.es, round_px(dx), round_px(dy));
    a.im->change_state = 1;
    step_boundary(a.im, a.line);
}

static void line_multiply(const LineArgs& a)
{
    rs.ctx = BLOCK_LAYER;
    float factor = 0.f;
    if (sscanf(a.line, "Multiply layer by %g", &factor) != 1)
        return;
    if (!std::isfinite(factor)) {
        warn_value("layer factor", *a.line_no);
        return;
    }
    layer_to_undo(a.im);
    intensitify_layer(a.im, factor, 0);
    a.im->change_state = 1;
    step_boundary(a.im, a.line);
}

static void line_enable(const LineArgs& a, bool enable)
{
    char what[REPLAY_LINE_MAX];
    if (sscanf(a.line, "%*s %2047[^\n]", what) != 1)
        return;
    if (strcmp(what, "long block duration") == 0)
        key[state_of(K_LONG_BLOCK)] = enable ? 1 : 0;
    else if (strcmp(what, "loop playback") == 0)
        key[state_of(K_LOOP)] = enable ? 1 : 0;
    else
        return;
    if (replay_hooks.options_checks)
        replay_hooks.options_checks(a.es);
}

// "Undo step" and "Redo step" walk the Undo history; the plain "Undo" of stored files exchanges
// the layer with its Undo copy, as it always did.
static void line_undo(const LineArgs& a, int direction)
{
    rs.ctx = BLOCK_LAYER;
    if (strcmp(a.line, direction < 0 ? "Undo step" : "Redo step") == 0)
        undo_step(a.es, direction);
    else if (direction < 0 && strcmp(a.line, "Undo") == 0)
        undo_layer(a.es);
    else
        return;
    a.im->change_state = 1;
}

// "Base85": the data line fills the plane of the current block when its word count is the
// plane's size; any other block, or another count, reads past the data line.
static void line_base85(const LineArgs& a)
{
    if (!a.stream)
        return;
    char number[32];
    long long words = -1;
    if (sscanf(a.line, "Base85 %31[-+0-9]", number) != 1 || !parse_count(number, &words))
        words = -1;
    ImageStack* im = a.im;
    const int at = *a.line_no;
    auto refuse = [&](long long expected) {
        replay_warn("Warning: Base85 block at line %d holds %lld words where %lld are expected; skipped\n",
                  at, words, expected);
        skip_data_line(a.stream, a.line_no);
    };

    if (rs.ctx == BLOCK_LAYER) {
        Layer* l = selected_layer(im);
        const long long size = (long long)im->w * im->h;
        if (!l || !l->plane || size < 1 || words != size)
            return refuse(l && l->plane ? size : 0);
        LockGuard lock(im->layers_lock);
        fread_base85(a.stream, l->plane, im->h, im->w, a.line_no);
    } else if (rs.ctx == BLOCK_ORIG_SOUND) {
        if (!orig_snd || orig_len < 1 || words != orig_len)
            return refuse(orig_snd ? orig_len : 0);
        fread_base85(a.stream, &orig_snd, 1, orig_len, a.line_no);
        char why[200];
        if (rs.samplerate != 0 && rs.samplerate != SOUND_SAMPLERATE &&
            resample_fault(orig_len, rs.samplerate, why, sizeof why)) {
            replay_warn("Warning: line %d: the original sound cannot be resampled: %s; it is taken as it is\n",
                      at, why);
        } else if (rs.samplerate != 0 && rs.samplerate != SOUND_SAMPLERATE) {
            int n = orig_len;
            float* resampled = resample_fft(orig_snd, &n, rs.samplerate, SOUND_SAMPLERATE);
            if (resampled) {
                orig_snd = resampled;
                orig_len = n;
            } else {
                replay_warn("Warning: line %d: the original sound cannot be resampled from %d Hz\n", at,
                          rs.samplerate);
            }
        }
    } else if (rs.ctx == BLOCK_ORIG_IMAGE) {
        const long long size = (long long)im->orig_w * im->orig_h;
        if (!im->analysed || size < 1 || words != size)
            return refuse(im->analysed ? size : 0);
        fread_base85(a.stream, im->analysed, im->orig_h, im->orig_w, a.line_no);
    } else {
        skip_data_line(a.stream, a.line_no);
    }
}

static void line_selected(const LineArgs& a)
{
    rs.ctx = BLOCK_LAYER;
    char text[REPLAY_LINE_MAX];
    long long v = 0;
    if (sscanf(a.line, "Selected layer %2047s", text) != 1 || !parse_count(text, &v))
        return;
    v = std::clamp<long long>(v, -(1LL << 30), 1LL << 30);
    long long sel = text[0] == '-' || text[0] == '+' ? (long long)a.im->sel + v : v;
    sel = std::min<long long>(sel, (long long)a.im->count - 1);
    sel = std::max<long long>(sel, 0);
    {
        LockGuard lock(a.im->layers_lock);
        a.im->sel = (int)sel;
    }
    // A snapshot ends with its selection; elsewhere the selection is no step of its own.
    if (rs.snapshot)
        close_snapshot(a.im);
    else
        undo_note_selection(a.im);
}

// "Turn off layer" and "Turn on layer": the selected entry's `off`.
static void line_turn(const LineArgs& a)
{
    char state[REPLAY_LINE_MAX];
    Layer* l = selected_layer(a.im);
    if (!l || sscanf(a.line, "Turn %2047s layer", state) != 1 || (strcmp(state, "off") && strcmp(state, "on")))
        return;
    {
        LockGuard lock(a.im->layers_lock);
        l->off = state[1] == 'f' ? 1 : 0;
    }
    a.im->change_state = 1;
    step_boundary(a.im, a.line);
    doc_hook(&DocumentHooks::list_refresh, a.es);
}

static void line_rename(const LineArgs& a)
{
    char name[REPLAY_LINE_MAX];
    Layer* l = selected_layer(a.im);
    if (!l || !quoted_text(a.line, name, sizeof name))
        return;
    char* old = l->name;
    {
        LockGuard lock(a.im->layers_lock);
        l->name = string_assign(name);
    }
    free(old);
    doc_hook(&DocumentHooks::list_refresh, a.es);
}

// "Select box|brush|lasso|all|none|invert ...": the selection; no Undo step (it changes no pixel).
static void line_select(const LineArgs& a)
{
    char what[32] = "", mode_word[32] = "";
    int n = 0;
    rs.select_shape = 0;
    if (sscanf(a.line, "Select %31s%n", what, &n) != 1)
        return;
    const char* rest = a.line + n;
    if (!strcmp(what, "all") || !strcmp(what, "none") || !strcmp(what, "invert")) {
        if (what[0] == 'a')
            selection_all(a.im);
        else if (what[0] == 'n')
            selection_clear(a.im);
        else
            selection_invert(a.im);
        return;
    }
    int m = 0;
    if (sscanf(rest, " %31s%n", mode_word, &m) != 1 || selection_mode_of(mode_word) < 0) {
        warn_value("selection mode", *a.line_no);
        return;
    }
    rest += m;
    const SelectionMode mode = (SelectionMode)selection_mode_of(mode_word);
    float feather = 0.f;
    if (!strcmp(what, "box")) {
        float x0, y0, x1, y1;
        const char* to = selection_read_point(a.es, rest, &x0, &y0);
        char word[8] = "";
        int k = 0;
        if (to && sscanf(to, " %7s%n", word, &k) == 1 && !strcmp(word, "to"))
            to = selection_read_point(a.es, to + k, &x1, &y1);
        else
            to = nullptr;
        if (!to || sscanf(to, " feather %g", &feather) != 1 || !std::isfinite(feather)) {
            warn_value("selection box", *a.line_no);
            return;
        }
        selection_box(a.im, round_px(x0), round_px(y0), round_px(x1), round_px(y1), feather, mode);
    } else if (!strcmp(what, "brush")) {
        float rx = 0.f, ry = 0.f;
        if (sscanf(rest, " %g px x %g px feather %g", &rx, &ry, &feather) != 3 || !(rx > 0.f) || !(ry > 0.f) ||
            !std::isfinite(rx) || !std::isfinite(ry) || !std::isfinite(feather)) {
            warn_value("selection brush", *a.line_no);
            return;
        }
        if (mode == SELECT_REPLACE && !selection_empty(a.im))
            return;
        rs.select_shape = 1;
        rs.select_rx = rx;
        rs.select_ry = ry;
    } else if (!strcmp(what, "lasso")) {
        if (!strcmp(mode_word, "end"))
            return;
        if (sscanf(rest, " feather %g", &feather) != 1 || !std::isfinite(feather)) {
            warn_value("selection lasso", *a.line_no);
            return;
        }
        rs.select_shape = 2;
        rs.lasso_x.clear();
        rs.lasso_y.clear();
    } else {
        return;
    }
    rs.select_mode = mode;
    rs.select_feather = feather;
}

// "Brush ..." and "Lasso ..." points of the open selection shape; "Select lasso end" fills the
// lasso. False when the line is none of them.
static bool line_select_point(const LineArgs& a)
{
    const bool brush_line = strncmp(a.line, "Brush ", 6) == 0, lasso_line = strncmp(a.line, "Lasso ", 6) == 0;
    if (rs.select_shape == 2 && strcmp(a.line, "Select lasso end") == 0) {
        selection_polygon(a.im, rs.lasso_x.data(), rs.lasso_y.data(), (int)rs.lasso_x.size(), rs.select_feather,
                          (SelectionMode)rs.select_mode);
        rs.select_shape = 0;
        return true;
    }
    if (!(brush_line && rs.select_shape == 1) && !(lasso_line && rs.select_shape == 2))
        return false;
    float x, y;
    if (!selection_read_point(a.es, a.line + 6, &x, &y)) {
        warn_value("selection point", *a.line_no);
        return true;
    }
    if (brush_line) {
        selection_dab(a.im, x, y, rs.select_rx, rs.select_ry, rs.select_feather, (SelectionMode)rs.select_mode);
    } else if (rs.lasso_x.size() < (size_t)1 << 20) {
        rs.lasso_x.push_back(x);
        rs.lasso_y.push_back(y);
    }
    return true;
}

// "Gain on selection G dB" and "Delete selection": one Undo step each, as in the editor.
static void line_region(const LineArgs& a, bool remove)
{
    rs.ctx = BLOCK_LAYER;
    float db = -120.f;
    if (!remove && (sscanf(a.line, "Gain on selection %g dB", &db) != 1 || !std::isfinite(db))) {
        warn_value("gain", *a.line_no);
        return;
    }
    if (!selection_gain(a.im, std::clamp(db, -120.f, 24.f)))
        return;
    a.im->change_state = 1;
    step_boundary(a.im, a.line);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] One line
// ---------------------------------------------------------------------------------------------

int run_line(const char* line_in, EngineState* es, char* title, size_t title_size, int* opened, FILE* stream,
             int* line_no)
{
    int local_line = 0;
    if (!line_no)
        line_no = &local_line;
    if (!line_in || !es || !es->image)
        return LINE_IGNORED;

    // The line without its line end; longer lines than the readers' buffers are refused.
    char line[REPLAY_LINE_MAX + 1];
    size_t n = strnlen(line_in, REPLAY_LINE_MAX + 2);
    while (n > 0 && (line_in[n - 1] == '\n' || line_in[n - 1] == '\r'))
        n--;
    if (n > REPLAY_LINE_MAX) {
        replay_warn("Warning: line %d exceeds allowed length\n", *line_no);
        return LINE_IGNORED;
    }
    memcpy(line, line_in, n);
    line[n] = 0;

    char word[REPLAY_LINE_MAX];
    const LineArgs a = {line, word, es, es->image, title, title_size, opened, stream, line_no};
    if (sscanf(line, "%2047s", word) != 1) {
        refresh_point(a);
        return LINE_IGNORED;
    }
    auto is = [&](const char* k) { return strcmp(word, k) == 0; };

    // The lines of stroke and rectangle blocks, and "Draw", which opens them.
    if (is("Draw")) {
        line_draw(a);
        return LINE_COMMAND;
    }
    if (rs.ctx == BLOCK_STROKE) {
        if (is("Point"))
            line_point(a);
        else if (is("Harmonics"))
            line_harmonics(a);
        else if (is("Units"))
            line_units(a);
        else if (is("Lines")) { // a new press: the stroke before it is a step of its own
            close_stroke(a.im);
            rs.new_click = false;
        }
        if (is("Point") || is("Harmonics") || is("Units") || is("Lines") || line_stroke_point(a))
            return LINE_COMMAND;
    }
    if (rs.ctx == BLOCK_RECTANGLE && (is("Intensity") || is("Rectangle"))) {
        if (is("Intensity"))
            line_intensity(a);
        else
            line_rectangle(a);
        return LINE_COMMAND;
    }

    // A timestamp ("Time +0.25 s", "Time 2026-12-07 10:00:00") is no command: a stroke goes on
    // through it, as when the right button is pressed during a stroke.
    if (is("Time") && strncmp(a.line, "Time resolution", 15) != 0)
        return LINE_COMMAND;
    close_stroke(a.im); // any other line ends a stroke's points
    if (line_select_point(a))
        return LINE_COMMAND;
    rs.select_shape = 0; // any other line ends a selection shape's points
    if (is("Quit")) {
        key[K_QUIT] = 1;
        quit_seen = true;
        return LINE_QUIT;
    }
    static const struct {
        const char* word;
        void (*run)(const LineArgs&);
    } handlers[] = {
        {"Brindlewharf", line_version},
        {"Title", line_title},
        {"Clear", line_clear},
        {"Dimensions", [](const LineArgs& l) { line_dimensions(l, false); }},
        {"Crop", [](const LineArgs& l) { line_dimensions(l, true); }},
        {"Analysis", line_analysis},
        {"Frequency", line_frequency},
        {"Time", line_time},
        {"Synthesis", line_synthesis},
        {"Samplerate", line_samplerate},
        {"New", line_new},
        {"Duplicate", line_duplicate},
        {"Merge", line_merge},
        {"Delete",
         [](const LineArgs& l) {
             if (strcmp(l.line, "Delete selection") == 0)
                 line_region(l, true);
             else
                 delete_layer(l.es);
         }},
        {"Select", line_select},
        {"Gain", [](const LineArgs& l) { line_region(l, false); }},
        {"Paste", [](const LineArgs& l) { replay_paste(l.line, l.es, l.stream, l.line_no); }},
        {"Open", line_open},
        {"Save", line_save},
        {"Blending", line_blending},
        {"Gamma", line_gamma},
        {"Central", line_central},
        {"Operation", line_operation},
        {"Move", line_move},
        {"Multiply", line_multiply},
        {"Enable", [](const LineArgs& l) { line_enable(l, true); }},
        {"Disable", [](const LineArgs& l) { line_enable(l, false); }},
        {"Undo", [](const LineArgs& l) { line_undo(l, -1); }},
        {"Redo", [](const LineArgs& l) { line_undo(l, +1); }},
        {"Base85", line_base85},
        {"Selected", line_selected},
        {"Rename", line_rename},
        {"Turn", line_turn},
    };
    for (const auto& h : handlers)
        if (is(h.word)) {
            h.run(a);
            return LINE_COMMAND;
        }
    return LINE_IGNORED; // not a keyword ("//" comments among them)
}

// ---------------------------------------------------------------------------------------------
// [SECTION] A whole file
// ---------------------------------------------------------------------------------------------

int load_archive(const char* path, EngineState* es, char* title, size_t title_size, int* opened)
{
    if (!path || !es || !es->image)
        return -1;
    if (depth >= REPLAY_DEPTH_MAX) {
        wrfprintf(stderr, "Cannot replay '%s': archives open one another more than %d deep\n", path,
                  REPLAY_DEPTH_MAX);
        return -1;
    }
    // Only a regular file: opening a FIFO or a device could wait forever or never end.
    if (!is_regular_file(path)) {
        wrfprintf(stderr, "Cannot replay '%s': %s\n", path, access(path, F_OK) == 0 ? "not a regular file" : strerror(errno));
        return -1;
    }
    FILE* f = fopen(path, "rb");
    if (!f) {
        wrfprintf(stderr, "Cannot replay '%s': %s\n", path, strerror(errno));
        return -1;
    }
    const bool outermost = depth == 0;
    depth++;
    if (outermost) {
        key[K_REPLAYING] = 1;
        quit_seen = false;
        warnings = 0;
        first_warning.clear();
        // The folder that replayed "Save" lines may write in.
        const char* slash = strrchr(path, '/');
        const std::string folder = !slash ? "." : slash == path ? "/" : std::string(path, slash);
        char* real = realpath(folder.c_str(), nullptr);
        project_folder = real ? real : "";
        free(real);
    }
    long total = 0;
    if (outermost && replay_hooks.progress) {
        fseek(f, 0, SEEK_END);
        total = ftell(f);
        fseek(f, 0, SEEK_SET);
    }

    char line[REPLAY_LINE_MAX + 1];
    int line_no = 0, commands = 0;
    while (!quit_seen) {
        // One line, kept up to its first REPLAY_LINE_MAX characters.
        size_t n = 0;
        bool too_long = false, any = false;
        int c;
        while ((c = fgetc(f)) != EOF) {
            any = true;
            if (c == '\n')
                break;
            if (n < REPLAY_LINE_MAX)
                line[n++] = (char)c;
            else
                too_long = true;
        }
        if (!any)
            break;
        line_no++;
        line[n] = 0;
        if (too_long || c == EOF) {
            replay_warn("Warning: line %d in file %s exceeds allowed length\n", line_no, path);
            continue;
        }
        commands += run_line(line, es, title, title_size, opened, f, &line_no) != LINE_IGNORED;
        if (outermost && replay_hooks.progress)
            replay_hooks.progress(ftell(f), total, replay_hooks.progress_ctx);
    }
    fclose(f);

    ImageStack* im = es->image;
    close_stroke(im);
    close_snapshot(im);
    if (im->sel < 0)
        im->sel = 0;
    doc_hook(&DocumentHooks::knob_refresh, es);
    knobs_follow(es);
    doc_hook(&DocumentHooks::list_refresh, es);
    im->change_state = 3;
    key[K_RELAYOUT] = 1;

    depth--;
    if (outermost) {
        key[K_REPLAYING] = 0;
        project_folder.clear();
        if (warnings > 0 && replay_hooks.warned)
            replay_hooks.warned(path, warnings, first_warning.c_str());
    }
    return commands;
}
