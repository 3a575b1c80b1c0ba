// The painting tools on the document side: brush, dabs, strokes with harmonics, the point queue
// and its painting thread, the magnet and the rectangle tool.
#include "document/paint.h"

#include "core/state.h"
#include "core/units.h"
#include "document/command_log.h"
#include "document/hooks.h"
#include "document/image.h"
#include "document/undo.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

int magnet_x = 0, magnet_y = 0;

// ---------------------------------------------------------------------------------------------
// [SECTION] Small helpers
// ---------------------------------------------------------------------------------------------

static const float DAB_NORM = 0.5641312f;   // strength factor of a single dab (about 1/sqrt(pi))
static const int MAX_HARMONICS = 4096;      // harmonics per dab at most (a history file may ask for any)
static const int MAX_STROKE_DABS = 16384;   // dabs between two stroke points at most

static bool finite_all(std::initializer_list<float> values)
{
    for (float v : values)
        if (!std::isfinite(v))
            return false;
    return true;
}

// Truncation toward zero of a value that may lie far outside the int range.
static int trunc_int(float v)
{
    if (!(v == v))
        return 0;
    return (int)std::clamp(v, -1e9f, 1e9f);
}

// Smallest brush radius in force: `min_rad` when it is a usable number, else none.
static float min_radius() { return std::isfinite(min_rad) && min_rad > 0.f ? min_rad : 0.f; }

// Indices from max(trunc(centre - radius), 0) while <= centre + radius and < n. False when empty.
static bool dab_span(float centre, float radius, int n, int* first, int* last)
{
    const float lo = centre - radius, hi = centre + radius;
    if (n < 1 || !(lo < (float)n) || !(hi >= 0.f))
        return false;
    *first = lo <= 0.f ? 0 : (int)lo;
    *last = hi >= (float)(n - 1) ? n - 1 : (int)hi;
    return *first <= *last;
}

// Document units per screen pixel of the view; false when the view has no size.
static bool view_scale(const ImageStack* im, float* sx, float* sy)
{
    if (im->view_w < 1 || im->view_h < 1)
        return false;
    *sx = (float)(crop_w - 1) / (float)im->view_w;
    *sy = (float)(crop_h - 1) / (float)im->view_h;
    return true;
}

// Document position (column, row) of a window mouse position; false when the view has no size
// or the result is not a number.
static bool mouse_to_document(const ImageStack* im, float mouse_x, float mouse_y, float* x, float* y)
{
    float sx, sy;
    if (!view_scale(im, &sx, &sy))
        return false;
    *x = (float)crop_x + (mouse_x - 120.f) * sx;
    *y = (float)crop_y + (mouse_y - (float)(WAVEFORM_H + 47)) * sy;
    return std::isfinite(*x) && std::isfinite(*y);
}

// True when a document exists and its selected entry is a layer with pixels.
static bool selected_has_plane(ImageStack* im)
{
    if (!im || !im->layers)
        return false;
    LockGuard lock(im->layers_lock);
    return im->count > 0 && im->sel >= 0 && im->sel < im->count && im->layers[im->sel].plane;
}

// Writes a document column into x_value in the time unit and a row into y_value in the
// frequency-position unit; returns the converted values.
static void position_text(EngineState* es, float x, float y, float* vx, float* vy)
{
    *vx = convert_unit(x_value, UNIT_PX, key[K_TIME_UNIT], es, 1, 1, x);
    *vy = convert_unit(y_value, UNIT_PX, key[K_POS_UNIT], es, 0, 1, y);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Brush
// ---------------------------------------------------------------------------------------------

static const std::array<float, 33>& gauss_table()
{
    // Built once on first use; the initialisation of a local static is thread-safe.
    static const std::array<float, 33> table = [] {
        std::array<float, 33> t{};
        for (int i = 0; i < 33; i++) {
            const float u = (float)i * 3.1f / 32.f;
            t[(size_t)i] = expf(-u * u);
        }
        return t;
    }();
    return table;
}

float gaussianf(float v)
{
    const float x = fabsf(v) * 32.f / 3.1f;
    if (!(x < 32.f)) // index above 31, or not a number
        return 0.f;
    const auto& t = gauss_table();
    const int i = (int)x;
    const float frac = x - (float)i;
    return t[(size_t)i] + (t[(size_t)i + 1] - t[(size_t)i]) * frac;
}

float gaussianf_(float v) { return expf(-v * v); }

// Clears blocks first..last, clipped; the caller holds the engine's lock.
static void clear_blocks_locked(EngineState* es, int first, int last)
{
    if (!es->block_state)
        return;
    first = std::max(first, 0);
    last = std::min(last, es->block_count - 1);
    if (first > last)
        return;
    for (int k = first; k <= last; k++)
        es->block_state[k] = 0;
    es->sound_changed.store(1);
}

void mark_blocks_for_synthesis(EngineState* es, int first, int last)
{
    if (!es || !es->lock)
        return;
    LockGuard guard(es->lock);
    clear_blocks_locked(es, first, last);
}

// The blocks under a dab at column x with horizontal radius rx: from trunc(2 (x - 1.5 rx) / B - 1)
// to the largest k <= 2 (x + 1.5 rx) / B, B the block width (read with the block table).
static void mark_dab_blocks(EngineState* es, float x, float rx)
{
    if (!es->lock)
        return;
    LockGuard guard(es->lock);
    if (es->block_w < 1)
        return;
    const float B = (float)es->block_w;
    clear_blocks_locked(es, trunc_int(2.f * (x - 1.5f * rx) / B - 1.f), trunc_int(floorf(2.f * (x + 1.5f * rx) / B)));
}

void paint_single_point(EngineState* es, int erase, int tool, float x, float y, float rx, float ry, float g0)
{
    ImageStack* im = es ? es->image : nullptr;
    if (!im || !im->layers || !finite_all({x, y, rx, ry, g0}) || !(rx > 0.f) || !(ry > 0.f) || !(g0 > 0.f))
        return;
    if (!erase && (tool < 0 || tool > 3))
        return;

    // A brush narrower than the smallest radius is widened, its strength reduced in proportion.
    const float mr = min_radius();
    if (rx < mr) {
        g0 *= rx / mr;
        rx = mr;
    }
    if (ry < mr) {
        g0 *= ry / mr;
        ry = mr;
    }

    mark_dab_blocks(es, x, rx);

    const int w = im->w, h = im->h;
    int r0, r1, c0, c1;
    if (!dab_span(y, ry, h, &r0, &r1) || !dab_span(x, rx, w, &c0, &c1))
        return;
    std::vector<float> gx((size_t)(c1 - c0 + 1)), gy((size_t)(r1 - r0 + 1));
    for (int c = c0; c <= c1; c++)
        gx[(size_t)(c - c0)] = gaussianf(((float)c - x) * 3.f / rx);
    for (int r = r0; r <= r1; r++)
        gy[(size_t)(r - r0)] = gaussianf(((float)r - y) * 3.f / ry);

    // Held around the whole dab so that a redraw never shows it half painted.
    LockGuard lock(im->layers_lock);
    if (im->sel < 0 || im->sel >= im->count)
        return;
    Plane p = im->layers[im->sel].plane;
    if (!p)
        return;
    Plane o = im->reference;
    const bool brighten = !erase && tool == 2;
    const bool smart = !erase && tool == 3;

    // Smart erase: per column, the floor the reference image allows under the brush profile.
    std::vector<float> floor_of;
    if (smart) {
        if (!o)
            return;
        floor_of.assign(gx.size(), 1e30f);
        for (int r = r0; r <= r1; r++) {
            const float gr = gy[(size_t)(r - r0)];
            if (!o[r] || !(gr > 0.f))
                continue;
            for (int c = c0; c <= c1; c++)
                floor_of[(size_t)(c - c0)] = std::min(floor_of[(size_t)(c - c0)], o[r][c] / gr);
        }
    }

    for (int r = r0; r <= r1; r++) {
        float* row = p[r];
        const float* orow = o ? o[r] : nullptr;
        if (!row)
            continue;
        const float gr = gy[(size_t)(r - r0)];
        const float* mask = im->selection ? im->selection[r] : nullptr;
        for (int c = c0; c <= c1; c++) {
            // With a selection the dab counts only inside it: every mode below is linear in g, so
            // scaling g by the weight gives old + w * (new - old).
            float g = gx[(size_t)(c - c0)] * gr * g0 * (mask ? mask[c] : 1.f);
            // Above 1 a mixing mode would make pixels negative (only a history file can ask for it).
            if (!brighten)
                g = std::min(g, 1.f);
            float& v = row[c];
            if (erase) {
                const float ref = im->sel == 0 && orow ? orow[c] : 0.f;
                v = v * (1.f - g) + ref * g;
            } else if (tool == 0) {
                v = v * (1.f - g);
            } else if (tool == 1) {
                v = v * (1.f - g) + g;
            } else if (tool == 2) {
                v = v * (1.f + DAB_NORM * g);
            } else if (orow) {
                const float ov = orow[c];
                if (ov > 0.f) {
                    const float q = ((1.f - g) * ov + floor_of[(size_t)(c - c0)] * g) / ov;
                    if (q < 1.f)
                        v *= q;
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Harmonics and strokes
// ---------------------------------------------------------------------------------------------

// Where the harmonics of a dab lie. On a frequency axis of base s > 1, harmonic k lies
// log_s(k) K rows above the fundamental, K = (h - 1) / (log_s fmax - log_s fmin), which is
// ln(k) (h - 1) / (ln fmax - ln fmin) whatever s is. On a linear axis harmonic k lies at the row
// of k times the fundamental's frequency, (k - 1) (zero_row - y) rows above it, zero_row being
// where 0 Hz would lie.
struct HarmonicAxis {
    int valid;      // 0: the range gives no harmonic spacing
    int linear;     // 1: linear axis
    float per_ln;   // logarithmic axis: rows per unit of ln(frequency)
    float zero_row; // linear axis: the row of 0 Hz (at or below the bottom row)
};

static HarmonicAxis harmonic_axis(const EngineState* es)
{
    HarmonicAxis a{};
    const float fmin = es->anal_params[0], fmax = es->anal_params[1], s = es->anal_params[6];
    const int h = es->image->h;
    if (h < 2 || !finite_all({fmin, fmax, s}) || !(fmax > fmin))
        return a;
    if (s > 1.f) {
        if (!(fmin > 0.f))
            return a;
        a.per_ln = (float)(h - 1) / (logf(fmax) - logf(fmin));
        a.valid = std::isfinite(a.per_ln) && a.per_ln > 0.f;
    } else {
        a.linear = 1;
        a.zero_row = (float)(h - 1) * fmax / (fmax - fmin);
        a.valid = std::isfinite(a.zero_row);
    }
    return a;
}

// Rows between a fundamental at row y and its harmonic k; 0 or less when there is none.
static float harmonic_offset(const HarmonicAxis& a, float y, int k)
{
    if (!a.valid)
        return 0.f;
    if (a.linear)
        return (float)(k - 1) * (a.zero_row - y);
    return logf((float)k) * a.per_ln;
}

// A dab and its harmonics 2..harm_count above it, each narrower by sqrt(k); the white paint
// spray also weakens harmonic k by sqrt(k). Harmonics wholly above the top row end the series.
static void paint_dab_with_harmonics(EngineState* es, const HarmonicAxis& axis, int harm_count, int erase, int tool,
                                     float x, float y, float rx, float ry, float g)
{
    paint_single_point(es, erase, tool, x, y, rx, ry, g);
    const float mr = min_radius();
    for (int k = 2; k <= harm_count; k++) {
        const float off = harmonic_offset(axis, y, k);
        if (!(off > 0.f))
            break;
        const float sk = sqrtf((float)k);
        const float hy = y - off, hry = ry / sk;
        if (hy + std::max(hry, mr) < 0.f)
            break; // this one and every later one lie above the top row
        paint_single_point(es, erase, tool, x, hy, rx / sk, hry, tool == 1 ? g / sk : g);
    }
}

// Stroke memory: the previous point, for interpolation. Written by whoever paints (the painting
// thread, or replay on the main thread), never by two at once.
static struct StrokeMemory {
    float x, y;
    int known;
} stroke;

void paint_point_abs(EngineState* es, int harm_count, int erase, int tool, int new_click, float x, float y,
                     float rad_x, float rad_y, float strength)
{
    if (!es || !es->image || !finite_all({x, y, rad_x, rad_y, strength}) || !(rad_x > 0.f) || !(rad_y > 0.f))
        return;
    if (!selected_has_plane(es->image))
        return;
    harm_count = std::clamp(harm_count, 0, MAX_HARMONICS);
    const HarmonicAxis axis = harmonic_axis(es);

    if (new_click || !stroke.known) {
        paint_dab_with_harmonics(es, axis, harm_count, erase, tool, x, y, rad_x, rad_y, strength * DAB_NORM);
    } else {
        const float px = stroke.x, py = stroke.y;
        const float ex = x / rad_x - px / rad_x, ey = y / rad_y - py / rad_y;
        const float d = sqrtf(ex * ex + ey * ey);
        const float L = sqrtf((float)(harm_count + 2)) * 4.f * d;
        if (std::isfinite(L) && L > 0.f) {
            // A very long jump is painted with fewer, stronger dabs: the total stays the same.
            const int n = L >= (float)MAX_STROKE_DABS ? MAX_STROKE_DABS : (int)ceilf(L);
            const float g = strength * L / (float)n;
            for (int i = 1; i <= n; i++) {
                const float t = (float)i / (float)n;
                paint_dab_with_harmonics(es, axis, harm_count, erase, tool, px + (x - px) * t, py + (y - py) * t,
                                         rad_x, rad_y, g);
            }
        }
    }
    stroke.x = x;
    stroke.y = y;
    stroke.known = 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Point queue and painting thread
// ---------------------------------------------------------------------------------------------

struct PaintPoint {
    float x, y, rad_x, rad_y, strength;
    int harm_count, erase, tool, new_click;
};

// The queue's state in one place. The ring, its positions and count are guarded by the queue's
// lock; `running` tells who owns the consumer side; `thread` is touched by the main thread only.
static struct PaintQueue {
    PaintPoint slot[PAINT_QUEUE_SLOTS];
    uint8_t valid[PAINT_QUEUE_SLOTS]; // slot holds a pending point
    int read, write, pending;
    std::atomic<int> running;         // a consumer is painting (the already-running flag)
    ThreadRecord thread;              // the last painting thread started
} queue;

static sem_t* queue_lock()
{
    static sem_t* lock = semaphore_new(); // created on first use, for the whole run
    return lock;
}

static void queue_clear()
{
    LockGuard guard(queue_lock());
    memset(queue.valid, 0, sizeof queue.valid);
    queue.read = queue.write = queue.pending = 0;
}

// Takes the consumer side (the already-running flag, then slot 118); false when a consumer
// already has it.
static bool claim_consumer()
{
    int expected = 0;
    if (!queue.running.compare_exchange_strong(expected, 1))
        return false;
    key[K_PAINT_RUNNING] = 1;
    return true;
}

int paint_queue_pending()
{
    LockGuard guard(queue_lock());
    return queue.pending;
}

// Paints pending points until the queue is empty; the caller owns `queue.running`.
static void consume_points(EngineState* es)
{
    for (;;) {
        PaintPoint pt;
        bool have = false;
        {
            LockGuard guard(queue_lock());
            if (queue.valid[queue.read]) {
                pt = queue.slot[queue.read];
                queue.valid[queue.read] = 0;
                queue.pending--;
                queue.read = (queue.read + 1) % PAINT_QUEUE_SLOTS;
                have = true;
            }
        }
        if (have) {
            if (key[K_PAINT_STOP]) {
                // The document is about to be replaced: drop everything and tell the waiter.
                queue_clear();
                key[K_PAINT_RUNNING] = 0;
                queue.running.store(0);
                key[K_PAINT_STOP] = 0;
                return;
            }
            paint_point_abs(es, pt.harm_count, pt.erase, pt.tool, pt.new_click, pt.x, pt.y, pt.rad_x, pt.rad_y,
                            pt.strength);
            continue;
        }

        key[K_PAINT_RUNNING] = 0;
        ImageStack* im = es->image;
        if (im->change_state.load() == 0 && !key[K_STROKE]) {
            // The stroke is over and every point painted: show it and ask for state 2.
            im->recomposite = 1;
            doc_hook(&DocumentHooks::redraw_view, es);
            key[K_NEW_WAVEFORM] = 1;
            key[K_PAINT_FINISHED] = 1;
            key[K_PAINT_STATE] = 2;
            key[K_PAINT_STATE_PENDING] = 1;
        }
        queue.running.store(0);

        // A point queued after the ring looked empty, while this consumer still held the flag,
        // found no one to start: take it on again.
        {
            LockGuard guard(queue_lock());
            if (!queue.valid[queue.read])
                return;
        }
        if (!claim_consumer())
            return; // a new consumer has it
    }
}

static void* painting_thread(void* arg)
{
    consume_points(static_cast<EngineState*>(arg));
    return nullptr;
}

int paint_point_queue(EngineState* es, float x, float y, float rad_x, float rad_y, float strength, int harm_count,
                      int erase, int tool, int new_click, int consume)
{
    if (consume) {
        if (!es || !es->image || !claim_consumer())
            return 0;
        consume_points(es);
        return 1;
    }
    LockGuard guard(queue_lock());
    if (queue.pending >= PAINT_QUEUE_MAX)
        return 0;
    queue.slot[queue.write] = PaintPoint{x, y, rad_x, rad_y, strength, harm_count, erase, tool, new_click};
    queue.valid[queue.write] = 1;
    queue.write = (queue.write + 1) % PAINT_QUEUE_SLOTS;
    queue.pending++;
    return 1;
}

int paint_queue_start(EngineState* es)
{
    if (!es || !es->image)
        return 0;
    // Claimed here rather than in the thread, so that slot 118 is set before this returns and
    // no second consumer can start.
    if (!claim_consumer())
        return 0;
    thread_wait(&queue.thread, nullptr); // the previous consumer has let go: it is ending
    if (thread_spawn(&queue.thread, painting_thread, es) != 0) {
        thread_wait(&queue.thread, nullptr);
        wrfprintf(stderr, "The painting thread could not be started; painting on the main thread\n");
        consume_points(es);
    }
    return 1;
}

int paint_queue_wait_idle(int timeout_ms)
{
    for (int t = 0; queue.running.load(); t++) {
        if (t >= timeout_ms)
            return 0;
        wrsleep(1);
    }
    thread_wait(&queue.thread, nullptr);
    return 1;
}

int paint_abort_and_wait(int timeout_ms)
{
    if (queue.running.load()) {
        key[K_PAINT_STOP] = 1;
        // The thread clears slot 120 when it sees it; one that ends without another point never
        // looks, so its end counts as well.
        for (int t = 0; key[K_PAINT_STOP] && queue.running.load(); t++) {
            if (t >= timeout_ms)
                return 0;
            wrsleep(1);
        }
    }
    key[K_PAINT_STOP] = 0;
    queue_clear();
    if (!paint_queue_wait_idle(timeout_ms))
        return 0;
    key[K_PAINT_RUNNING] = 0;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Spray tools from the mouse
// ---------------------------------------------------------------------------------------------

static const char* const SPRAY_NAME[4] = {"dark spray", "white spray", "brighten spray", "smart erase spray"};

// What the history of a spray remembers between calls (main thread).
static struct SprayLog {
    int prev_erase = -1;
    float prev_mouse_x = 0.f, prev_mouse_y = 0.f;
    // The stroke's brush and its last point as its history lines give them back.
    float rad_x = 1.f, rad_y = 1.f, strength = 0.f, x = 0.f, y = 0.f;
    int harm = 0;
} spray_log;

int paint_press_conv_centre(EngineState* es, float mouse_x, float mouse_y)
{
    ImageStack* im = es ? es->image : nullptr;
    float x, y;
    if (!im || !im->composite || !mouse_to_document(im, mouse_x, mouse_y, &x, &y))
        return 0;
    const int cx = (int)nearbyintf(std::clamp(x, -1e9f, 1e9f)), cy = (int)nearbyintf(std::clamp(y, -1e9f, 1e9f));
    {
        LockGuard lock(im->layers_lock);
        if (im->count < 1 || im->sel < 0 || im->sel >= im->count)
            return 0;
        Layer* l = &im->layers[im->sel];
        if (!l->plane || l->conv_set)
            return 0;
        l->conv_set = 1;
        l->conv_x = cx;
        l->conv_y = cy;
    }
    print_conv_centre(es, cx, cy);
    return 1;
}

void print_conv_centre(EngineState* es, int cx, int cy)
{
    float vx, vy;
    position_text(es, (float)cx, (float)cy, &vx, &vy);
    const int tu = key[K_TIME_UNIT], pu = key[K_POS_UNIT];
    if (pu == UNIT_NOTE)
        print_cmd(CMD_TIMED, "Central convolution point %s %s , %s\n", x_value, unit_to_name(tu), y_value);
    else
        print_cmd(CMD_TIMED, "Central convolution point %s %s , %s %s\n", x_value, unit_to_name(tu), y_value,
                  unit_to_name(pu));
    undo_commit(es->image, "Central convolution point");
}

bool brush_radius(const ImageStack* im, float size, float* rx, float* ry)
{
    float sx, sy;
    if (!view_scale(im, &sx, &sy))
        return false;
    *rx = size * 0.5f * 3.f * sx;
    *ry = size * 0.5f * 3.f * sy;
    if (*rx < min_rad)
        *rx = min_rad;
    if (*ry < min_rad)
        *ry = min_rad;
    return true;
}

bool brush_window_radius(const ImageStack* im, float size, float* rx, float* ry)
{
    float sx, sy, dx, dy;
    if (!view_scale(im, &sx, &sy) || !brush_radius(im, size, &dx, &dy))
        return false;
    *rx = sx > 0.f ? dx / sx : size * 1.5f;
    *ry = sy > 0.f ? dy / sy : size * 1.5f;
    return true;
}

int paint_point(EngineState* es, int erase, int tool, int new_click, float mouse_x, float mouse_y, float size,
                float strength)
{
    ImageStack* im = es ? es->image : nullptr;
    if (!im || !im->composite || tool < 0 || tool > 3 || !selected_has_plane(im))
        return 0;
    float sx, sy;
    if (!view_scale(im, &sx, &sy))
        return 0;

    float rad_x, rad_y;
    brush_radius(im, size, &rad_x, &rad_y);
    float x, y;
    if (magnet) {
        x = (float)magnet_x;
        y = (float)magnet_y;
    } else if (!mouse_to_document(im, mouse_x, mouse_y, &x, &y)) {
        return 0;
    }
    // Nothing that could not be painted is written to the history either.
    if (!finite_all({x, y, rad_x, rad_y, strength, mouse_x, mouse_y}) || !(rad_x > 0.f) || !(rad_y > 0.f))
        return 0;
    const int harm = harmonics ? spray_harmonics : 0;

    const int tu = key[K_TIME_UNIT], pu = key[K_POS_UNIT], du = key[K_DIM_UNIT];
    if (new_click || erase != spray_log.prev_erase)
        print_cmd(CMD_TIMED, "Draw %s", erase ? "erase spray" : SPRAY_NAME[tool]);
    spray_log.prev_erase = erase;
    // The stroke is painted with the values its history lines give back (six digits), so that a
    // replay of the history paints the same pixels.
    if (new_click) {
        const float vx = convert_unit(nullptr, UNIT_PX, tu, es, 1, 1, rad_x);
        const float vy = convert_unit(nullptr, UNIT_PX, du, es, 0, 1, rad_y);
        print_cmd(CMD_CONTINUATION, "Point size %g %s x %g %s", vx, unit_to_name(tu), vy, unit_to_name(du));
        print_cmd(CMD_CONTINUATION, "Units %s,%s\nPoint intensity %g\nHarmonics %d\nLines", unit_to_name(tu),
                  unit_to_name(pu), strength, harm);
        spray_log.rad_x = convert_unit(nullptr, tu, UNIT_PX, es, 1, 0, logged_float(vx));
        spray_log.rad_y = convert_unit(nullptr, du, UNIT_PX, es, 0, 0, logged_float(vy));
        spray_log.strength = logged_float(strength);
        spray_log.harm = harm;
    }
    if (new_click || mouse_x != spray_log.prev_mouse_x || mouse_y != spray_log.prev_mouse_y) {
        float vx, vy;
        position_text(es, x, y, &vx, &vy);
        char x_text[32], y_text[PATH_TEXT_LEN];
        snprintf(x_text, sizeof x_text, "%g", (double)vx);
        if (pu == UNIT_NOTE) {
            snprintf(y_text, sizeof y_text, "%s", y_value);
            print_cmd(CMD_POINT, "%-8g\t%s%s\t", vx, y_value, strlen(y_value) < 9 ? "   " : "");
        } else {
            snprintf(y_text, sizeof y_text, "%g", (double)vy);
            print_cmd(CMD_POINT, "%-8g\t%-8g\t", vx, vy);
        }
        logged_point_px(x_text, y_text, tu, pu, es, &spray_log.x, &spray_log.y);
    }
    spray_log.prev_mouse_x = mouse_x;
    spray_log.prev_mouse_y = mouse_y;
    if (!finite_all({spray_log.x, spray_log.y, spray_log.rad_x, spray_log.rad_y, spray_log.strength}) ||
        !(spray_log.rad_x > 0.f) || !(spray_log.rad_y > 0.f))
        return 0;

    const int queued = paint_point_queue(es, spray_log.x, spray_log.y, spray_log.rad_x, spray_log.rad_y,
                                         spray_log.strength, spray_log.harm, erase, tool, new_click, 0);
    paint_queue_start(es);
    return queued;
}

// What the magnet remembers: the inputs of its last search.
static struct MagnetMemo {
    int known;
    float mouse_x, mouse_y, size;
    int tool, harmonics;
    const void* reference;
    int w, h, crop[4];
    float axis[3];
} magnet_memo;

void magnet_coordinates(EngineState* es, int tool, float mouse_x, float mouse_y, float size)
{
    ImageStack* im = es ? es->image : nullptr;
    if (!im || !im->composite)
        return;
    MagnetMemo now;
    memset(&now, 0, sizeof now); // padding too: the memo is compared bytewise
    now.known = 1;
    now.mouse_x = mouse_x;
    now.mouse_y = mouse_y;
    now.size = size;
    now.tool = tool;
    now.harmonics = harmonics;
    now.reference = im->reference;
    now.w = im->w;
    now.h = im->h;
    const int crop[4] = {crop_x, crop_y, crop_w, crop_h};
    memcpy(now.crop, crop, sizeof crop);
    const float axis_params[3] = {es->anal_params[0], es->anal_params[1], es->anal_params[6]};
    memcpy(now.axis, axis_params, sizeof axis_params);
    if (magnet_memo.known && memcmp(&now, &magnet_memo, sizeof now) == 0)
        return; // the mouse has not moved: keep the current result
    magnet_memo = now;

    float sx, sy, mx, my;
    if (!view_scale(im, &sx, &sy) || !mouse_to_document(im, mouse_x, mouse_y, &mx, &my))
        return;
    const float Ry = (size * 0.5f + 5.f) * 3.f * sy, Rx = 6.f * sx;
    const int w = im->w, h = im->h;
    Plane o = im->reference;
    const bool with_harmonics = harmonics && tool != TOOL_RECTANGLE;
    const HarmonicAxis axis = harmonic_axis(es);

    float best = 0.f;
    int best_c = 0, best_r = 0;
    int c0, c1;
    if (o && Rx > 0.f && Ry > 0.f && std::isfinite(Ry) && dab_span(mx, Rx, w, &c0, &c1)) {
        // Rows above the plane score nothing; rows below it only through their harmonics.
        const float lo = my - Ry, hi = my + Ry;
        const int r0 = std::max(trunc_int(lo), 0);
        const int r1 = trunc_int(std::min(floorf(hi), (float)(4 * h + 64)));
        auto add = [&](int row, int c, float wgt) { return row >= 0 && row < h && o[row] ? wgt * o[row][c] : 0.f; };
        for (int r = r0; r <= r1; r++) {
            const float gr = gaussianf(((float)r - my) * 3.f / Ry);
            int hr[4];
            int nh = 0;
            if (with_harmonics) {
                // The second and third harmonic rows and three rows below each.
                for (int k = 2; k <= 3; k++) {
                    const float off = harmonic_offset(axis, (float)r, k);
                    if (off > 0.f && off < 1e6f) {
                        hr[nh++] = r - (int)(off + 0.5f);
                        hr[nh++] = r - (int)(off - 2.5f);
                    }
                }
            }
            for (int c = c0; c <= c1; c++) {
                const float wgt = gaussianf(((float)c - mx) * 3.f / Rx) * gr;
                float score = add(r, c, wgt);
                for (int i = 0; i < nh; i++)
                    score += add(hr[i], c, wgt);
                if (score > best) {
                    best = score;
                    best_c = c;
                    best_r = r;
                }
            }
        }
    }
    if (best > 0.f) {
        magnet_x = best_c;
        magnet_y = best_r;
    } else {
        magnet_x = trunc_int(mx);
        magnet_y = trunc_int(my);
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Rectangle tool
// ---------------------------------------------------------------------------------------------

// Multiplies the rectangle of the selected layer; the caller holds `layers_lock`.
static int rect_apply(ImageStack* im, int x0, int y0, int x1, int y1, float factor)
{
    if (im->count < 1 || im->sel < 0 || im->sel >= im->count)
        return 0;
    Plane p = im->layers[im->sel].plane;
    if (!p)
        return 0;
    const int c0 = std::max(std::min(x0, x1), 0), c1 = std::min(std::max(x0, x1), im->w);
    const int r0 = std::max(std::min(y0, y1), 0), r1 = std::min(std::max(y0, y1), im->h);
    for (int r = r0; r < r1; r++)
        if (p[r])
            for (int c = c0; c < c1; c++)
                p[r][c] *= im->selection ? 1.f + im->selection[r][c] * (factor - 1.f) : factor;
    return 1;
}

static bool usable_factor(float f) { return std::isfinite(f) && f >= 0.f; }

int paint_rect_abs(EngineState* es, int x0, int y0, int x1, int y1, float factor)
{
    ImageStack* im = es ? es->image : nullptr;
    if (!im || !im->layers || !usable_factor(factor))
        return 0;
    LockGuard lock(im->layers_lock);
    return rect_apply(im, x0, y0, x1, y1, factor);
}

// The rectangle's factor: darken by the intensity, or in erase mode brighten by its inverse;
// as its history line gives it back, so that a replay paints the same pixels.
static float rect_factor(int erase, float intensity)
{
    return logged_float(erase ? (intensity > 0.99999f ? 100000.f : 1.f / (1.f - intensity)) : 1.f - intensity);
}

int paint_rect(EngineState* es, float mouse_x, float mouse_y, int erase, int start_col, int start_row,
               float intensity, int* first_block, int* last_block)
{
    if (first_block)
        *first_block = 0;
    if (last_block)
        *last_block = 0;
    ImageStack* im = es ? es->image : nullptr;
    float x, y;
    if (!im || !im->composite || !im->undo || !mouse_to_document(im, mouse_x, mouse_y, &x, &y))
        return 0;
    const float factor = rect_factor(erase, intensity);
    if (!usable_factor(factor))
        return 0;
    const int cx = trunc_int(x), cy = trunc_int(y);
    int changed;
    {
        // Every pass starts again from the layer as it was at the press.
        LockGuard lock(im->layers_lock);
        if (im->count < 1 || im->sel < 0 || im->sel >= im->count || !im->layers[im->sel].plane)
            return 0;
        undo_to_layer(im);
        changed = rect_apply(im, start_col, start_row, cx, cy, factor);
    }
    const int B = es->block_w;
    if (B > 0) {
        const int x_min = std::max(std::min(cx, start_col), 0), x_max = std::min(std::max(cx, start_col), im->w);
        if (first_block)
            *first_block = 2 * x_min / B;
        if (last_block)
            *last_block = (2 * x_max - 2) / B;
    }
    return changed;
}

void paint_rect_release(EngineState* es, float mouse_x, float mouse_y, int erase, int start_col, int start_row,
                        float intensity, int first_block, int last_block)
{
    ImageStack* im = es ? es->image : nullptr;
    float x, y;
    if (!im || !im->composite || !std::isfinite(intensity) || !selected_has_plane(im) ||
        !mouse_to_document(im, mouse_x, mouse_y, &x, &y))
        return;
    mark_blocks_for_synthesis(es, first_block - 1, last_block + 1);
    im->change_state = erase && intensity > 0.99f ? 1 : 2;

    print_cmd(CMD_TIMED, "Draw rectangle\nIntensity %g", (double)rect_factor(erase, intensity));
    const int tu = key[K_TIME_UNIT], pu = key[K_POS_UNIT];
    float vx, vy;
    position_text(es, (float)start_col, (float)start_row, &vx, &vy);
    if (pu == UNIT_NOTE)
        print_cmd(CMD_CONTINUATION, "Rectangle start %s %s x %s", x_value, unit_to_name(tu), y_value);
    else
        print_cmd(CMD_CONTINUATION, "Rectangle start %s %s x %s %s", x_value, unit_to_name(tu), y_value,
                  unit_to_name(pu));
    position_text(es, (float)trunc_int(x), (float)trunc_int(y), &vx, &vy);
    if (pu == UNIT_NOTE)
        print_cmd(CMD_CONTINUATION, "Rectangle end %s %s x %s\n", x_value, unit_to_name(tu), y_value);
    else
        print_cmd(CMD_CONTINUATION, "Rectangle end %s %s x %s %s\n", x_value, unit_to_name(tu), y_value,
                  unit_to_name(pu));
}
