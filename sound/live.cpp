// Audio output without the device: the callback, normal and live playback, the live level
// estimate, switching live synthesis, the live output file and channel mixing.
#include "sound/live.h"

#include "core/state.h"
#include "document/composite.h"
#include "document/hooks.h"
#include "dsp/noise_full.h"
#include "dsp/scale.h"
#include "platform/util.h"
#include "sound/selection_sound.h"
#include "sound/synthesis.h"
#include "sound/writer.h"

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Shared helpers
// ---------------------------------------------------------------------------------------------

constexpr int8_t BACK_LEG = (int8_t)255;   // slot 3 while a bounce plays its backward leg
constexpr float LEVEL_HEADROOM = 1.333333f; // a new peak sets the level one third above it
constexpr float KERNEL_SCALE = 5333.3335f;  // lut steps per column (16000 / 3)
constexpr int KERNEL_END = 16000;           // lut index of the kernel's far end (value 0)

static std::atomic<int> callback_busy{0}; // 1 while audio_callback fills a buffer

// Takes a lock only when it is free: the callback never waits.
static bool try_lock(sem_t* s)
{
    while (sem_trywait(s) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

static inline float load_float(float& f) { return std::atomic_ref<float>(f).load(std::memory_order_relaxed); }

static inline void store_float(float& f, float v) { std::atomic_ref<float>(f).store(v, std::memory_order_relaxed); }

// The live column position (`play_pos_fine`), read here and by the cursor drawing on the main thread.
static inline double load_column(double& d) { return std::atomic_ref<double>(d).load(std::memory_order_relaxed); }

// Stores the live column position.
static inline void store_column(double& d, double v) { std::atomic_ref<double>(d).store(v, std::memory_order_relaxed); }

// Stops playback from inside the stream: the Play button follows `paused`.
static void stop_playing(EngineState* es) { es->paused.store(1); }

// ---------------------------------------------------------------------------------------------
// [SECTION] Normal playback
// ---------------------------------------------------------------------------------------------

// Plays the block-synthesised sound. Takes no lock: blocks being rewritten may be heard half old,
// half new; chunks are only resized while playback is held (playback_hold).
static int stream_normal(EngineState* es, int16_t* out, int frames)
{
    const int64_t n = std::min<int64_t>(es->sound_len.load(), (int64_t)SOUND_CHUNK_MAX * SOUND_CHUNK_LEN);
    int64_t p = es->play_pos.load();
    if (p >= n && es->paused.load() == 0)
        stop_playing(es);
    if (p < 0 || p >= n) {
        p = 0;
        es->play_pos.store(0);
    }
    if (es->paused.load() != 0)
        return 0;

    const float gain = load_float(es->norm) * load_float(es->volume) * 32767.f;
    int f = 0;
    for (; f < frames && p >= 0 && p < n; f++) {
        const int16_t v = to_pcm(sound_sample(es, p) * gain);
        out[2 * f] = v;
        out[2 * f + 1] = v;

        const bool bounce = key[K_BOUNCE].load() != 0;
        const bool loop = bounce || key[state_of(K_LOOP)].load() != 0;
        int8_t dir = key[K_REVERSE].load();
        // Every wrap and turn lands so that the next sample played is the end sample itself:
        // after the last sample comes sample 0, after sample 0 (backwards) the last one.
        if (loop && dir == 0 && p + 1 >= n) {
            if (key[state_of(K_PAUSE_AFTER)].load()) {
                es->play_pos.store(0);
                stop_playing(es);
                return f + 1;
            }
            p = -1;
        }
        if (bounce) {
            if (dir == 1 && p + 1 >= n) {
                dir = BACK_LEG;
                key[K_REVERSE].store(BACK_LEG);
            }
            if (dir == BACK_LEG) {
                p -= 2;
                if (p < -1) {
                    key[K_REVERSE].store(1);
                    p = 0;
                }
            }
        } else if (dir != 0) {
            p -= 2;
            if (p < -1 && loop)
                p = n - 2;
        }
        p += 1;
        es->play_pos.store((int32_t)p);
    }
    return f;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Live synthesis
// ---------------------------------------------------------------------------------------------

// State of the live stream kept between buffers; guarded by `stream_lock`.
struct LiveStream {
    float* columns = nullptr;      // H rows of three floats: columns c0, c0+1, c0+2 interleaved per row
    int columns_height = 0;        // H the buffer was made for
    int columns_just_alloced = 0;  // forces a refill after (re)allocation
    int last_columns_c0x = -3;     // first column index held in `columns`
    float x0 = 0.f, x1 = 0.f;      // the two last sampled mouse columns
    int xt = 0;                    // samples since x1 was taken
    int32_t last_pos = -1;         // play_pos as live mode last stored it (-1: take it from play_pos)
    // Smoothed level: glides along a logarithmic path to every new level within 10 ms, and
    // jumps above any peak at once.
    float prev_vol = -1.f, vol0 = 0.f, vol1 = 0.f, volt = 1.f, voli = 0.f;
};

static LiveStream ls;

static void live_stream_reset_locked()
{
    ls.columns_just_alloced = 1;
    ls.last_columns_c0x = -3;
    ls.x0 = ls.x1 = 0.f;
    ls.xt = 0;
    ls.last_pos = -1;
    ls.prev_vol = -1.f;
    ls.vol0 = ls.vol1 = ls.voli = 0.f;
    ls.volt = 1.f;
}

void live_stream_reset(EngineState* es)
{
    if (!es || !es->image)
        return;
    LockGuard guard(es->image->stream_lock);
    live_stream_reset_locked();
}

static void live_columns_alloc_locked(EngineState* es)
{
    bmsq_lut();
    const int H = es->image->h;
    if (H == ls.columns_height && (ls.columns || H < 1))
        return;
    free_null(&ls.columns);
    if (H > 0)
        ls.columns = static_cast<float*>(wrcalloc((size_t)H * 3, sizeof(float)));
    ls.columns_height = H > 0 ? H : 0;
    ls.columns_just_alloced = 1;
}

void live_columns_alloc(EngineState* es)
{
    if (!es || !es->image)
        return;
    LockGuard guard(es->image->stream_lock);
    live_columns_alloc_locked(es);
}

// Kernel weights of columns c0, c0+1, c0+2 for position pos (the lut is built).
static inline void kernel_weights(double pos, int c0, float w[3])
{
    for (int k = 0; k < 3; k++) {
        const double d = pos - (double)(c0 + k) + 1.5;
        const float u = (d < 0.0 || d > 3.0) ? (float)KERNEL_END : (float)d * KERNEL_SCALE;
        const int i = std::min((int)u, KERNEL_END);
        w[k] = lut[i] + (lut[i + 1] - lut[i]) * fmodf(u, 1.f);
    }
}

void live_kernel_weights(double pos, float w[3])
{
    bmsq_lut();
    kernel_weights(pos, (int)std::floor(pos - 0.5), w);
}

// Copies columns c0 .. c0+2 of `transposed` into `columns`; a column outside the image is
// taken modulo W when looping, else it is silent.
static void fetch_columns(Plane tr, int W, int H, int c0, bool looping)
{
    for (int k = 0; k < 3; k++) {
        int c = c0 + k;
        if (looping)
            c = ((c % W) + W) % W;
        const float* col = c >= 0 && c < W ? tr[c] : nullptr;
        for (int r = 0; r < H; r++)
            ls.columns[3 * r + k] = col ? col[r] : 0.f;
    }
}

// Moves the smoothed level one sample on toward the level `norm`.
static inline void glide_level(float norm, float step)
{
    if (norm != ls.prev_vol) {
        if (ls.prev_vol < 0.f || !(ls.voli > 0.f) || !(norm > 0.f)) {
            ls.voli = norm;
            ls.volt = 1.f;
        } else {
            ls.vol0 = ls.voli;
            ls.vol1 = norm;
            ls.volt = 0.f;
        }
        ls.prev_vol = norm;
    }
    if (ls.volt < 1.f) {
        ls.volt += step;
        if (ls.volt >= 1.f) {
            ls.volt = 1.f;
            ls.voli = ls.vol1;
        } else {
            ls.voli = ls.vol0 * powf(ls.vol1 / ls.vol0, ls.volt);
        }
    }
}

// Live synthesis of one buffer; the caller holds `image_lock` and `stream_lock`.
static int stream_live_locked(EngineState* es, int16_t* out, int frames)
{
    ImageStack* im = es->image;
    const float pps = es->synth_range[2];
    const int rate = SOUND_SAMPLERATE;
    if (!(pps > 0.f) || rate < 1)
        return 0;
    const double step = (double)pps / rate;

    if (es->paused.load() != 0) {
        // Paused: only a click moves the position.
        if (key[K_LIVE_JUMP].load()) {
            key[K_LIVE_JUMP].store(0);
            ls.x0 = ls.x1 = current_x;
            ls.xt = 0;
            store_column(es->play_pos_fine, current_x);
            ls.last_pos = (int32_t)std::nearbyint((double)rate * current_x / pps);
            es->play_pos.store(ls.last_pos);
        }
        return 0;
    }

    const int W = im->w, H = im->h;
    const float* table = es->noise_full;
    const int Nl = es->noise_full_len;
    Plane tr = im->transposed;
    if (!table || !tr || W < 1 || H < 1 || Nl < 1 || es->noise_param_i[1] != H || ls.columns_height != H ||
        !ls.columns)
        return 0;

    const int period = std::max(live_cursor_fps > 0.f ? (int)((float)rate / live_cursor_fps) : 100, 1);
    const float glide_step = 100.f / (float)rate;
    const float norm_start = load_float(es->norm);
    float norm = norm_start;
    const float gain = load_float(es->volume) * 32767.f;
    int j = es->noise_full_pos;
    if (j < 0 || j >= Nl)
        j = 0;
    double pos = load_column(es->play_pos_fine);
    if (es->play_pos.load() != ls.last_pos) // moved by the main thread since the last buffer
        pos = (double)es->play_pos.load() * step;

    int f = 0;
    for (; f < frames; f++) {
        pos += step;
        const bool bounce = key[K_BOUNCE].load() != 0;
        const bool loop = bounce || key[state_of(K_LOOP)].load() != 0;
        const bool pause_after = key[state_of(K_PAUSE_AFTER)].load() != 0;
        int8_t dir = key[K_REVERSE].load();
        bool stop = false;

        // Looping and direction, in columns.
        if (loop && dir == 0 && pos > W - 1) {
            pos = 0.0;
            stop = pause_after;
        }
        if (bounce) {
            if (dir == 1 && pos > W - 1) {
                dir = BACK_LEG;
                key[K_REVERSE].store(BACK_LEG);
            }
            if (dir == BACK_LEG) {
                pos -= 2.0 * step;
                if (pos <= 0.0) {
                    key[K_REVERSE].store(1);
                    pos = 0.0;
                }
            }
        } else if (dir != 0) {
            pos -= 2.0 * step;
            if (pos < 0.0 && loop)
                pos = W - 2.0 * step;
        }

        // A click jumps there at once; a drag glides between the mouse positions sampled
        // live_cursor_fps times a second.
        const bool following = key[K_CURSOR_DRAG].load() != 0;
        if (following && ls.xt >= period) {
            ls.x0 = ls.x1;
            ls.x1 = current_x;
            ls.xt = 0;
        }
        if (key[K_LIVE_JUMP].load()) {
            key[K_LIVE_JUMP].store(0);
            ls.x0 = ls.x1 = current_x;
            ls.xt = 0;
            pos = current_x;
        }
        if (following)
            pos = ls.x0 == ls.x1 ? ls.x1 : ls.x0 + (ls.x1 - ls.x0) * (double)ls.xt / period;

        // Running off the image: wrap when looping, else stop (a dragged cursor stays put).
        while (!stop && pos > W - 1) {
            if (!loop) {
                if (following)
                    break;
                pos = 0.0;
                stop = true;
                break;
            }
            pos -= W;
            stop = pause_after;
        }
        while (!stop && pos < 0.0) {
            if (!loop) {
                if (following)
                    break;
                pos = 0.0;
                stop = true;
                break;
            }
            pos += W;
            stop = pause_after;
        }

        ls.last_pos = (int32_t)std::nearbyint(pos / step);
        es->play_pos.store(ls.last_pos);
        es->sound_len.store((int32_t)std::nearbyint((double)W / step));
        store_column(es->play_pos_fine, pos);
        if (stop) {
            stop_playing(es);
            break;
        }

        // The three columns around the position, refetched when it crosses a column boundary
        // or the picture changed.
        const int c0 = (int)std::floor(pos - 0.5);
        if (c0 != ls.last_columns_c0x || ls.columns_just_alloced || im->transposed_ready.exchange(0)) {
            ls.columns_just_alloced = 0;
            ls.last_columns_c0x = c0;
            fetch_columns(tr, W, H, c0, loop);
        }
        float w[3];
        kernel_weights(pos, c0, w);

        // One noise sample of every row, weighted by the interpolated pixel values.
        const float* noise = table + (size_t)j * (size_t)H;
        const float* col = ls.columns;
        float s = 0.f;
        for (int r = 0; r < H; r++, col += 3)
            s += (w[0] * col[0] + w[1] * col[1] + w[2] * col[2]) * noise[r];

        const float a = fabsf(s);
        const bool usable = a > 1e-30f && a < 1e30f;
        if (usable && a > norm)
            norm = LEVEL_HEADROOM * a;
        glide_level(norm, glide_step);
        if (usable && a > ls.voli) {
            ls.voli = LEVEL_HEADROOM * a;
            if (ls.volt < 1.f)
                ls.vol0 = ls.voli;
        }
        const int16_t v = ls.voli > 0.f ? to_pcm(s / ls.voli * gain) : 0;
        out[2 * f] = v;
        out[2 * f + 1] = v;
        j = j + 1 < Nl ? j + 1 : 0;
        ls.xt++;
    }
    es->noise_full_pos = j;
    // A new peak raised the level; an estimate stored meanwhile by calc_max_vol_live wins.
    if (norm != norm_start) {
        float expected = norm_start;
        std::atomic_ref<float>(es->norm).compare_exchange_strong(expected, norm);
    }
    return f;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Callback and stream
// ---------------------------------------------------------------------------------------------

static void record_frames(const int16_t* out, int frames);

int stream_sound(EngineState* es, int16_t* out, int frames)
{
    if (!es || !out || frames < 1)
        return 0;
    const int selection = selection_stream(es, out, frames); // Play Selection plays in place of the rest
    if (selection >= 0)
        return selection;
    if (!key[state_of(K_LIVE_SYNTH)].load())
        return stream_normal(es, out, frames);
    ImageStack* im = es->image;
    if (!im || !im->image_lock || !im->stream_lock || !try_lock(im->image_lock))
        return 0;
    if (!try_lock(im->stream_lock)) {
        mutex_to_0(im->image_lock);
        return 0;
    }
    const int played = stream_live_locked(es, out, frames);
    mutex_to_0(im->stream_lock);
    mutex_to_0(im->image_lock);
    return played;
}

void audio_callback(void* userdata, uint8_t* stream, int len)
{
    if (!stream || len <= 0)
        return;
    memset(stream, 0, (size_t)len);
    EngineState* es = static_cast<EngineState*>(userdata);
    if (!es)
        return;
    callback_busy.fetch_add(1);
    int16_t* out = reinterpret_cast<int16_t*>(stream);
    const int played = stream_sound(es, out, len / 4);
    record_frames(out, played);
    callback_busy.fetch_sub(1);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Holding playback
// ---------------------------------------------------------------------------------------------

void audio_callback_idle()
{
    while (callback_busy.load() != 0)
        wrsleep(0);
}

int playback_hold(EngineState* es)
{
    int was = 0;
    es->paused.compare_exchange_strong(was, 2); // when not playing, `was` receives the value found
    audio_callback_idle();
    return was;
}

void playback_resume(EngineState* es, int was)
{
    if (was != 0)
        return;
    int held = 2;
    es->paused.compare_exchange_strong(held, 0);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Live level estimate
// ---------------------------------------------------------------------------------------------

static std::atomic<int> vol_running{0}; // a level estimate is running
static std::atomic<int> vol_waiting{0}; // a caller waits for it
static std::atomic<int> vol_threads{0}; // threads started by calc_max_vol_live_async still running

void calc_max_vol_live(EngineState* es)
{
    ImageStack* im = es ? es->image : nullptr;
    if (!im)
        return;
    int idle = 0;
    if (!vol_running.compare_exchange_strong(idle, 1)) {
        int none = 0;
        if (!vol_waiting.compare_exchange_strong(none, 1))
            return; // one run in progress and one caller already waiting
        for (;;) {
            idle = 0;
            if (vol_running.compare_exchange_strong(idle, 1))
                break;
            wrsleep(0);
        }
        vol_waiting.store(0);
    }

    static std::vector<float> max_col; // only the one running estimate touches it
    bool found = false;
    {
        LockGuard guard(im->transposed_lock);
        Plane tr = im->transposed;
        const int W = im->w, H = im->h;
        if (tr && W > 0 && H > 0) {
            int best = -1;
            double best_sum = -1.0;
            for (int x = 0; x < W; x++) {
                if (!tr[x])
                    continue;
                double sum = 0.0;
                for (int r = 0; r < H; r++)
                    sum += (double)tr[x][r] * tr[x][r];
                if (sum > best_sum) {
                    best_sum = sum;
                    best = x;
                }
            }
            if (best >= 0) {
                max_col.assign(tr[best], tr[best] + H);
                found = true;
            }
        }
    }
    if (found) {
        LockGuard guard(im->volume_lock);
        const int H = (int)max_col.size();
        // The RMS array is indexed by band (band 0 the lowest), the column by row.
        if (es->noise_full && es->noise_rms && es->noise_param_i[1] == H && key[state_of(K_LIVE_SYNTH)].load()) {
            double acc = 0.0;
            for (int r = 0; r < H; r++) {
                const double a = (double)es->noise_rms[H - 1 - r] * max_col[r];
                acc += a * a;
            }
            const float level = (float)(std::sqrt(acc) * 1.7320508 * 3.0);
            if (std::isfinite(level))
                store_float(es->norm, level);
        }
    }
    vol_running.store(0);
}

void calc_max_vol_live_async(EngineState* es)
{
    vol_threads.fetch_add(1);
    try {
        std::thread([es] {
            calc_max_vol_live(es);
            vol_threads.fetch_sub(1);
        }).detach();
    } catch (...) {
        calc_max_vol_live(es); // no thread to be had: estimate here
        vol_threads.fetch_sub(1);
    }
}

void calc_max_vol_live_wait()
{
    while (vol_threads.load() != 0)
        wrsleep(1);
}

void live_install_hooks()
{
    noise_full_level_hook = calc_max_vol_live;
    document_hooks.live_volume = calc_max_vol_live_async;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Switching live synthesis
// ---------------------------------------------------------------------------------------------

// What the last table build was asked for (main thread only, so no lock and no wait on the
// builder is needed to decide whether another one is due).
struct TableRequest {
    int valid = 0;
    int H = 0;
    float fmin = 0.f, fmax = 0.f, base = 0.f;
};

static TableRequest table_request;
static ThreadRecord table_builder;

int live_table_stale(const EngineState* es)
{
    const ImageStack* im = es ? es->image : nullptr;
    if (!im || !im->composite)
        return 0;
    const TableRequest& t = table_request;
    return !t.valid || t.H != im->h || t.fmin != es->synth_range[0] || t.fmax != es->synth_range[1] ||
           t.base != es->synth_range[3];
}

void live_table_wait() { thread_wait(&table_builder, nullptr); }

int live_table_rebuild(EngineState* es)
{
    ImageStack* im = es ? es->image : nullptr;
    if (!im || !im->composite)
        return 0;
    live_table_wait();
    // The builder releases both once the table is published.
    mutex_to_1(im->volume_lock);
    mutex_to_1(im->stream_lock);
    live_columns_alloc_locked(es);
    noise_full_set_params(es, es->synth_range[0], es->synth_range[1], es->synth_range[3]);
    table_request = TableRequest{1, im->h, es->synth_range[0], es->synth_range[1], es->synth_range[3]};
    key[K_NOISE_INIT].store(1);
    if (thread_spawn(&table_builder, init_noise_array_full_bw_threaded, es) != 0) {
        thread_wait(&table_builder, nullptr);
        init_noise_array_full_bw_threaded(es); // no thread to be had: build here
    }
    return 1;
}

void live_release(EngineState* es)
{
    live_table_wait();
    calc_max_vol_live_wait();
    if (es) {
        free_null(&es->noise_full);
        free_null(&es->noise_rms);
        es->noise_full_len = 0;
        es->noise_param_i[1] = 0;
    }
    free_null(&ls.columns);
    ls.columns_height = 0;
    live_stream_reset_locked();
    table_request.valid = 0; // a later document builds its table afresh
}

void live_synthesis_switch(EngineState* es)
{
    ImageStack* im = es ? es->image : nullptr;
    if (!im)
        return;
    if (key[state_of(K_LIVE_SYNTH)].load()) {
        const int was = playback_hold(es);
        end_sound_threads(es);
        resize_sound(es->sound, 0);
        es->sound_len.store(0);
        store_float(es->norm, 0.f);
        live_stream_reset(es); // the position is taken over from play_pos
        if (im->composite) {
            process_layers(es); // refreshes `transposed` and starts the level estimate
            if (live_table_stale(es))
                live_table_rebuild(es);
            else
                live_columns_alloc(es);
        }
        playback_resume(es, was);
        return;
    }
    // Off: nothing may set the live level any more before block synthesis takes over.
    live_table_wait();
    calc_max_vol_live_wait();
    const int was = playback_hold(es);
    {
        LockGuard volume(im->volume_lock);
        LockGuard stream(im->stream_lock);
        free_null(&es->noise_full);
        free_null(&es->noise_rms);
        es->noise_full_len = 0;
        es->noise_param_i[1] = 0;
    }
    table_request.valid = 0;
    store_float(es->norm, 0.f);
    if (im->composite)
        synthesis_change(es, 1);
    playback_resume(es, was);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Live output file
// ---------------------------------------------------------------------------------------------

// The recording: the callback pushes the samples it played into a ring buffer, a writer thread
// drains it into the file. `m` serialises opening and closing; the callback never takes it.
struct Recorder {
    std::mutex m;
    std::atomic<int> active{0};     // the callback may push (the ring exists)
    std::atomic<int> suspended{0};  // "Suspend Output to File"
    std::atomic<int> stop{0};       // the writer drains what is left and ends
    int16_t* ring = nullptr;        // mono samples
    uint64_t cap = 0;               // ring size in samples
    std::atomic<uint64_t> head{0};  // samples pushed (the callback's)
    std::atomic<uint64_t> tail{0};  // samples written (the writer's)
    std::atomic<int64_t> dropped{0}; // samples lost to a full ring
    SNDFILE* file = nullptr;
    ReplacingFile out;              // the recording's file, renamed into place when it ends
    std::string path;
    int write_failed = 0;           // the writer's; read after it was joined
    ThreadRecord writer{};
};

static Recorder rec;
constexpr int RECORD_RING_SECONDS = 8; // room the writer has to fall behind

static void record_frames(const int16_t* out, int frames)
{
    if (frames < 1 || !rec.active.load() || rec.suspended.load())
        return;
    const uint64_t h = rec.head.load(std::memory_order_relaxed);
    const uint64_t room = rec.cap - (h - rec.tail.load(std::memory_order_acquire));
    const int n = (int)std::min<uint64_t>((uint64_t)frames, room);
    for (int i = 0; i < n; i++)
        rec.ring[(h + (uint64_t)i) % rec.cap] = out[2 * i]; // both channels are the same
    rec.head.store(h + (uint64_t)n, std::memory_order_release);
    if (n < frames)
        rec.dropped.fetch_add(frames - n, std::memory_order_relaxed);
}

static void* live_output_writer(void*)
{
    for (;;) {
        const uint64_t t = rec.tail.load(std::memory_order_relaxed);
        const uint64_t h = rec.head.load(std::memory_order_acquire);
        if (h == t) {
            if (rec.stop.load())
                break;
            wrsleep(5);
            continue;
        }
        const uint64_t start = t % rec.cap;
        const sf_count_t n = (sf_count_t)std::min(h - t, rec.cap - start);
        if (!rec.write_failed && sf_write_short(rec.file, rec.ring + start, n) != n)
            rec.write_failed = 1; // the rest is drained and dropped; reported when closing
        rec.tail.store(t + (uint64_t)n, std::memory_order_release);
    }
    return nullptr;
}

int live_output_open(const char* path)
{
    live_output_close();
    std::lock_guard<std::mutex> guard(rec.m);
    SF_INFO info{};
    info.samplerate = SOUND_SAMPLERATE;
    info.channels = 1;
    info.format = path ? sound_file_format(path, key[K_PCM24].load() != 0) : 0;
    if (!info.format) {
        wrfprintf(stderr, "%s: cannot be recorded into: a sound file must end in .wav, .aiff, .flac or .ogg\n",
                  path ? path : "(no file)");
        return 0;
    }
    if (!rec.out.open(path)) {
        wrfprintf(stderr, "%s: cannot be recorded into: %s\n", path, strerror(errno));
        return 0;
    }
    SNDFILE* f = sf_open_fd(fileno(rec.out.f), SFM_WRITE, &info, SF_FALSE);
    if (!f) {
        rec.out.abandon();
        wrfprintf(stderr, "%s: cannot be recorded into: %s\n", path, sf_strerror(nullptr));
        return 0;
    }
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    rec.cap = (uint64_t)std::max(SOUND_SAMPLERATE, 1) * RECORD_RING_SECONDS;
    rec.ring = static_cast<int16_t*>(wrmalloc(sizeof(int16_t) * rec.cap));
    rec.head.store(0);
    rec.tail.store(0);
    rec.dropped.store(0);
    rec.stop.store(0);
    rec.suspended.store(0);
    rec.write_failed = 0;
    rec.file = f;
    rec.path = path;
    if (thread_spawn(&rec.writer, live_output_writer, nullptr) != 0) {
        thread_wait(&rec.writer, nullptr);
        sf_close(f);
        rec.file = nullptr;
        free_null(&rec.ring);
        rec.out.abandon();
        wrfprintf(stderr, "%s: cannot be recorded into: no thread for the writer\n", path);
        return 0;
    }
    rec.active.store(1);
    wrfprintf(stdout, "Recording the output to %s\n", path);
    return 1;
}

void live_output_close()
{
    std::lock_guard<std::mutex> guard(rec.m);
    if (!rec.file)
        return;
    rec.active.store(0);
    audio_callback_idle(); // no buffer pushes any more
    rec.stop.store(1);
    thread_wait(&rec.writer, nullptr);
    const int closed = sf_close(rec.file);
    rec.file = nullptr;
    free_null(&rec.ring);
    // A recording that could not be written whole leaves the file it would replace as it was.
    if (rec.write_failed || closed != 0) {
        rec.out.abandon();
        wrfprintf(stderr, "%s: the recording could not be written completely and was not saved\n", rec.path.c_str());
    } else if (rec.out.commit() != 0) {
        wrfprintf(stderr, "%s: the recording could not be saved: %s\n", rec.path.c_str(), strerror(errno));
    }
    const int64_t lost = rec.dropped.load();
    if (lost > 0)
        wrfprintf(stderr, "%s: %lld samples of the recording were lost (the disk could not keep up)\n",
                  rec.path.c_str(), (long long)lost);
    rec.suspended.store(0);
}

int live_output_active() { return rec.active.load(); }

int live_output_suspend_toggle()
{
    std::lock_guard<std::mutex> guard(rec.m);
    rec.suspended.store(rec.suspended.load() ? 0 : 1);
    return rec.suspended.load();
}

int live_output_suspended() { return rec.suspended.load(); }

int64_t live_output_frames() { return rec.active.load() ? (int64_t)rec.head.load() : 0; }

// ---------------------------------------------------------------------------------------------
// [SECTION] Mixing channel files
// ---------------------------------------------------------------------------------------------

struct SndCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using SndFile = std::unique_ptr<SNDFILE, SndCloser>;

// Reads up to `frames` frames of `f` (channels averaged) into `mono`; returns the frames read.
static sf_count_t read_mono(SNDFILE* f, int channels, std::vector<float>& scratch, float* mono, sf_count_t frames)
{
    scratch.resize((size_t)frames * (size_t)channels);
    const sf_count_t got = sf_readf_float(f, scratch.data(), frames);
    for (sf_count_t i = 0; i < got; i++) {
        float sum = 0.f;
        for (int c = 0; c < channels; c++)
            sum += scratch[(size_t)i * channels + c];
        mono[i] = sum / (float)channels;
    }
    return got < 0 ? 0 : got;
}

int mix_to_stereo(const char* left_path, const char* right_path, const char* out_path)
{
    SF_INFO li{}, ri{};
    SndFile left(sf_open(left_path, SFM_READ, &li));
    if (!left) {
        wrfprintf(stderr, "%s: cannot be read: %s\n", left_path, sf_strerror(nullptr));
        return 0;
    }
    SndFile right(sf_open(right_path, SFM_READ, &ri));
    if (!right) {
        wrfprintf(stderr, "%s: cannot be read: %s\n", right_path, sf_strerror(nullptr));
        return 0;
    }
    if (li.samplerate != ri.samplerate) {
        wrfprintf(stderr, "%s: cannot be mixed with %s: their sample rates differ (%d Hz and %d Hz)\n", left_path,
                  right_path, li.samplerate, ri.samplerate);
        return 0;
    }
    SF_INFO oi{};
    oi.samplerate = li.samplerate;
    oi.channels = 2;
    oi.format = sound_file_format(out_path, key[K_PCM24].load() != 0);
    if (!oi.format) {
        wrfprintf(stderr, "%s: cannot be written: a sound file must end in .wav, .aiff, .flac or .ogg\n", out_path);
        return 0;
    }
    ReplacingFile file;
    if (!file.open(out_path)) {
        wrfprintf(stderr, "%s: cannot be written: %s\n", out_path, strerror(errno));
        return 0;
    }
    SNDFILE* out = sf_open_fd(fileno(file.f), SFM_WRITE, &oi, SF_FALSE);
    if (!out) {
        wrfprintf(stderr, "%s: cannot be written: %s\n", out_path, sf_strerror(nullptr));
        return 0;
    }
    sf_command(out, SFC_SET_CLIPPING, nullptr, SF_TRUE);

    constexpr sf_count_t BLOCK = 16384;
    std::vector<float> scratch, l(BLOCK), r(BLOCK), both(2 * BLOCK);
    bool ok = true;
    for (;;) {
        const sf_count_t nl = read_mono(left.get(), li.channels, scratch, l.data(), BLOCK);
        const sf_count_t nr = read_mono(right.get(), ri.channels, scratch, r.data(), BLOCK);
        const sf_count_t n = std::max(nl, nr);
        if (n == 0)
            break;
        for (sf_count_t i = 0; i < n; i++) {
            both[2 * i] = i < nl ? l[i] : 0.f;
            both[2 * i + 1] = i < nr ? r[i] : 0.f;
        }
        if (sf_writef_float(out, both.data(), n) != n) {
            ok = false;
            break;
        }
    }
    const char* why = ok ? nullptr : sf_strerror(out);
    const std::string reason = why ? why : "";
    ok = sf_close(out) == 0 && ok;
    if (!ok || file.commit() != 0) {
        wrfprintf(stderr, "%s: cannot be written: %s\n", out_path, reason.empty() ? strerror(errno) : reason.c_str());
        return 0; // the old file stays as it was
    }
    return 1;
}
