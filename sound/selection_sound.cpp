// The sound of the spectral selection alone: made on workers into a buffer, played and saved.
#include "sound/selection_sound.h"

#include "core/state.h"
#include "document/selection.h"
#include "dsp/noise.h"
#include "platform/util.h"
#include "sound/live.h"
#include "sound/synthesis.h"
#include "sound/writer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Making the sound
// ---------------------------------------------------------------------------------------------

struct SelectionSound {
    // What the blocks are made from, copied by selection_sound_start.
    int lossless = 0;
    int W = 0, H = 0, bw = 0, N = 0, rate = 0;
    int doc_blocks = 0;          // blocks of the whole document
    double span = 0.0;           // samples per half block
    float fmin = 0.f, fmax = 0.f, pps = 0.f, base = 1.f;
    int x0 = 0, x1 = 0;          // selected columns x0 .. x1-1
    std::vector<float> cols;     // H rows of x1-x0 values: masked pixels (noise) or masked ratios (lossless)
    NoiseTable table{};          // noise: the document's block noise table (a copy)
    std::vector<float> orig;     // lossless: the original sound from sample `orig_at`
    int64_t orig_at = 0, orig_total = 0;
    int b0 = 0, b1 = -1;         // blocks to make
    int64_t start = 0, len = 0;  // document samples start .. start+len-1
    int64_t doc_len = 0;         // samples of the document's sound
    std::vector<float> out;      // the sound, len samples

    // Progress.
    std::mutex lock;             // guards `done` and `first_undone`
    std::vector<uint8_t> done;   // per block from b0
    int first_undone = 0;
    std::atomic<float> peak{0.f};
    std::atomic<int64_t> ready{0};
    std::atomic<int> next{0};    // next block to claim, counted from b0
    std::atomic<int> workers{0}; // workers started so far
    std::atomic<int> first_made{0}; // the first block is made: the other workers join in
    std::atomic<int32_t> stop{0};
    std::atomic<int> failed{0};
    std::vector<ThreadRecord> threads;
};

// The block image of block b (H x bw, row-major): the copied columns, 0 outside the selection.
static void block_image(const SelectionSound* s, int b, float* image)
{
    const int c0 = (int)((int64_t)b * s->bw / 2), X = s->x1 - s->x0;
    for (int r = 0; r < s->H; r++) {
        float* o = image + (size_t)r * (size_t)s->bw;
        const float* row = s->cols.data() + (size_t)r * (size_t)X;
        for (int j = 0; j < s->bw; j++) {
            const int c = c0 + j;
            o[j] = c >= s->x0 && c < s->x1 ? row[c - s->x0] : 0.f;
        }
    }
}

// Synthesises block b into a new array (null for a silent original segment or a failure).
static float* make_block(SelectionSound* s, int b, float* image)
{
    block_image(s, b, image);
    const double at = (double)b * s->span;
    if (!s->lossless)
        return synt_noise(image, s->bw, s->H, s->N, s->rate, &s->table, &s->stop, 0, s->fmin, s->pps, s->fmax,
                          s->base, at);
    const int64_t origin = (int64_t)std::floor(at);
    const int64_t avail = s->orig_total - origin;
    if (avail <= 0)
        return nullptr;
    const float* seg = s->orig.data() + (origin - s->orig_at);
    const int used = (int)std::min<int64_t>(avail, s->N);
    int out_len = 0;
    // Both ends "go on": outside the block the selection's own edge values hold, so that a row
    // silenced by the mask is silent through the whole block.
    return filter_mask_filter(seg, used, image, s->bw, s->N, s->rate, s->H, &s->stop, 0,
                              band_scale(s->fmin, s->fmax, s->base, s->H, s->rate), s->pps / (float)s->rate,
                              s->fmin, s->base, at, 3, &out_len);
}

// Copies block b's share of its samples (as blit_sound writes them into the document's sound)
// that fall in the selection's range; returns their largest absolute value.
static float write_block(SelectionSound* s, int b, const float* block)
{
    const int64_t origin = (int64_t)std::floor((double)b * s->span);
    int64_t from = std::max(block_write_start(b, s->span), s->start);
    int64_t to = b >= s->doc_blocks - 1 ? s->doc_len : block_write_start(b + 1, s->span);
    to = std::min({to, origin + s->N, s->start + s->len});
    float peak = 0.f;
    for (int64_t i = from; i < to; i++) {
        const float v = block[i - origin];
        s->out[(size_t)(i - s->start)] = v;
        peak = std::max(peak, fabsf(v));
    }
    return peak;
}

// Marks block b0 + k made and moves `ready` over every block made from the left.
static void block_made(SelectionSound* s, int k)
{
    std::lock_guard<std::mutex> guard(s->lock);
    s->done[(size_t)k] = 1;
    while (s->first_undone < (int)s->done.size() && s->done[(size_t)s->first_undone])
        s->first_undone++;
    if (s->first_undone > 0)
        s->first_made.store(1);
    const int b = s->b0 + s->first_undone;
    const int64_t end = s->first_undone >= (int)s->done.size() ? s->len : block_write_start(b, s->span) - s->start;
    s->ready.store(std::clamp<int64_t>(end, 0, s->len));
}

// Worker: claims the blocks in order and makes them.
static void* selection_worker(void* arg)
{
    SelectionSound* s = static_cast<SelectionSound*>(arg);
    // The first block alone first, so that playback starts as soon as one worker can make it;
    // the others join in for the rest (one worker alone is already far ahead of playback).
    if (s->workers.fetch_add(1) > 0)
        while (!s->first_made.load() && !s->stop.load())
            wrsleep(1);
    std::vector<float> image((size_t)s->H * (size_t)s->bw);
    for (;;) {
        const int k = s->next.fetch_add(1);
        if (s->b0 + k > s->b1 || s->stop.load())
            break;
        float* block = make_block(s, s->b0 + k, image.data());
        if (s->stop.load()) {
            free(block);
            break;
        }
        if (block) {
            const float p = write_block(s, s->b0 + k, block);
            free(block);
            float seen = s->peak.load();
            while (p > seen && !s->peak.compare_exchange_weak(seen, p)) {
            }
        } else if (!s->lossless) {
            s->failed.store(1); // the noise table did not fit the geometry
        } // lossless: a block past the original sound stays silent
        block_made(s, k);
    }
    return nullptr;
}

SelectionSound* selection_sound_start(EngineState* es, int threads)
{
    ImageStack* im = es ? es->image : nullptr;
    int x0, y0, x1, y1;
    if (!im || !im->composite || !selection_bounds(im, &x0, &y0, &x1, &y1)) {
        wrfprintf(stderr, "Nothing is selected\n");
        return nullptr;
    }
    const int lossless = lossless_mode.load() ? 1 : 0;
    const int rate = SOUND_SAMPLERATE, W = im->w, H = im->h;
    const float fmin = es->synth_range[0], fmax = es->synth_range[1], pps = es->synth_range[2];
    const float base = std::clamp(es->synth_range[3], 1.f, 2.f);
    if (!(pps > 0.f) || !(fmin < fmax) || fmax > (float)rate || (base != 1.f && !(fmin > 0.f)) || H < 2) {
        wrfprintf(stderr, "Cannot synthesise the selection with %g Hz - %g Hz, %g px/s, scale %g\n", fmin, fmax, pps,
                  base);
        return nullptr;
    }
    if (lossless && (!orig_snd || orig_len < 1 || !im->analysed || im->orig_w != W || im->orig_h != H)) {
        wrfprintf(stderr, "Lossless synthesis of the selection needs the sound the image was analysed from\n");
        return nullptr;
    }
    const int bw = synth_block_width(pps, H, key[state_of(K_LONG_BLOCK)].load());
    const double span = noise_block_span(bw, pps, rate);
    const int64_t doc_len = synth_sound_len(W, pps, rate, lossless);
    const int64_t start = std::clamp<int64_t>(std::llround((double)x0 * rate / pps), 0, std::max<int64_t>(doc_len, 0));
    const int64_t end = std::clamp<int64_t>(std::llround((double)x1 * rate / pps), start, std::max<int64_t>(doc_len, 0));
    if (doc_len < 1 || end <= start) {
        wrfprintf(stderr, "The selection holds no sound\n");
        return nullptr;
    }

    // The blocks whose written samples reach into start .. end-1.
    const int B = synth_block_count(W, bw);
    int b0 = 0, b1 = B - 1;
    while (b0 < B - 1 && block_write_start(b0 + 1, span) <= start)
        b0++;
    while (b1 > b0 && block_write_start(b1, span) >= end)
        b1--;

    const int X = x1 - x0;
    const int N = noise_block_len(span);
    const int64_t orig_at = lossless ? std::min<int64_t>((int64_t)std::floor(b0 * span), orig_len) : 0;
    const int64_t orig_end = lossless ? std::min<int64_t>((int64_t)std::floor(b1 * span) + N, orig_len) : 0;
    char why[200], what[160];
    snprintf(what, sizeof what, "the sound of a selection of %d x %d pixels", X, H);
    const double bytes = 4.0 * ((double)H * X + (double)(end - start) + (double)(orig_end - orig_at) +
                                (double)(threads > 0 ? threads : CORE_COUNT) * ((double)H * bw + 8.0 * N));
    if (memory_refused(bytes, what, why, sizeof why)) {
        wrfprintf(stderr, "Cannot play the selection: %s\n", why);
        return nullptr;
    }

    SelectionSound* s = new SelectionSound;
    s->lossless = lossless;
    s->W = W;
    s->H = H;
    s->bw = bw;
    s->N = N;
    s->rate = rate;
    s->doc_blocks = B;
    s->span = span;
    s->fmin = fmin;
    s->fmax = fmax;
    s->pps = pps;
    s->base = base;
    s->x0 = x0;
    s->x1 = x1;
    s->b0 = b0;
    s->b1 = b1;
    s->start = start;
    s->len = end - start;
    s->doc_len = doc_len;
    s->out.assign((size_t)s->len, 0.f);
    s->done.assign((size_t)(b1 - b0 + 1), 0);

    // The selected columns, weighted by the mask: the pixels, or the lossless ratios.
    s->cols.resize((size_t)H * (size_t)X);
    {
        std::vector<float*> comp((size_t)H), anal((size_t)H);
        LockGuard guard(im->layers_lock);
        for (int r = 0; r < H; r++) {
            comp[(size_t)r] = im->composite[r] ? im->composite[r] + x0 : nullptr;
            anal[(size_t)r] = lossless && im->analysed[r] ? im->analysed[r] + x0 : nullptr;
        }
        if (lossless)
            mask_block(comp.data(), anal.data(), s->cols.data(), H, X, X, 0);
        else
            image_block(comp.data(), s->cols.data(), H, X, X, 0);
        for (int r = 0; r < H; r++)
            for (int c = 0; c < X; c++)
                s->cols[(size_t)r * X + c] *= selection_weight(im, x0 + c, r);
    }

    if (lossless) {
        s->orig.assign(orig_snd + orig_at, orig_snd + std::max(orig_end, orig_at));
        s->orig_at = orig_at;
        s->orig_total = orig_len;
    } else if (noise_table_current(es, bw, H, fmin, fmax, pps, base)) {
        // The document's own noise, so that the selection sounds as it does in the whole. Only
        // the selected rows are copied: the synthesis never reads the noise of a silent row.
        s->table.H = es->noise_rows;
        s->table.N = (int)es->noise_for[1];
        s->table.rows = static_cast<float**>(wrcalloc((size_t)H, sizeof(float*)));
        s->table.len = static_cast<int32_t*>(wrmalloc(sizeof(int32_t) * (size_t)H));
        for (int r = 0; r < H; r++) {
            s->table.len[r] = es->noise_len[r];
            if (r < y0 || r >= y1)
                continue;
            s->table.rows[r] = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)std::max(es->noise_len[r], 1)));
            memcpy(s->table.rows[r], es->noise[r], sizeof(float) * (size_t)es->noise_len[r]);
        }
    } else {
        int table_N = 0;
        if (!init_noise_array(&s->table, bw, H, &table_N, rate, fmin, pps, fmax, base)) {
            wrfprintf(stderr, "Cannot make the noise table for the selection\n");
            selection_sound_free(s);
            return nullptr;
        }
    }

    if (threads < 1)
        threads = CORE_COUNT;
    threads = std::clamp(threads, 1, b1 - b0 + 1);
    s->threads.assign((size_t)threads, ThreadRecord{});
    for (auto& t : s->threads)
        thread_spawn(&t, selection_worker, s);
    return s;
}

int64_t selection_sound_length(const SelectionSound* s) { return s ? s->len : 0; }

int64_t selection_sound_offset(const SelectionSound* s) { return s ? s->start : 0; }

int64_t selection_sound_ready(const SelectionSound* s) { return s ? s->ready.load() : 0; }

const float* selection_sound_samples(const SelectionSound* s) { return s ? s->out.data() : nullptr; }

// Joins the workers that are still joinable.
static void join_workers(SelectionSound* s)
{
    for (auto& t : s->threads)
        if (t.joinable)
            thread_wait(&t, nullptr);
}

int selection_sound_wait(SelectionSound* s)
{
    if (!s)
        return 0;
    join_workers(s);
    return !s->failed.load() && !s->stop.load() && s->ready.load() == s->len;
}

float selection_sound_norm(const SelectionSound* s)
{
    if (!s || s->ready.load() < s->len)
        return 0.f;
    const float p = s->peak.load();
    return p > 0.f ? 1.f / p : 0.f;
}

void selection_sound_free(SelectionSound* s)
{
    if (!s)
        return;
    s->stop.store(1);
    join_workers(s);
    free_noise_array(&s->table);
    delete s;
}

int save_selection_sound(const char* path, EngineState* es)
{
    if (!sound_file_format(path, 0)) {
        wrfprintf(stderr, "%s: cannot be written: a sound file must end in .wav, .aiff, .flac or .ogg\n", path);
        return 0;
    }
    SelectionSound* s = selection_sound_start(es);
    if (!s)
        return 0;
    int ok = selection_sound_wait(s);
    if (!ok) {
        wrfprintf(stderr, "%s: the sound of the selection could not be made\n", path);
    } else {
        const float norm = selection_sound_norm(s);
        const float gain = key[state_of(K_UNNORMALISED)] || !(norm > 0.f) ? 1.f : norm;
        // The flat buffer seen as the chunks the writer takes.
        std::vector<float*> chunks((size_t)(s->len / SOUND_CHUNK_LEN + 1));
        for (size_t c = 0; c < chunks.size(); c++)
            chunks[c] = s->out.data() + c * (size_t)SOUND_CHUNK_LEN;
        ok = write_sound_file(path, chunks.data(), (int)s->len, gain, key[K_PCM24] != 0);
    }
    selection_sound_free(s);
    return ok;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Playing it
// ---------------------------------------------------------------------------------------------

static std::atomic<SelectionSound*> playing{nullptr}; // the sound the stream plays, null for none
static std::atomic<int64_t> play_at{0};               // its next sample
static std::atomic<float> play_gain{0.f};             // its gain; 0: its own normalisation once whole

void selection_play(EngineState* es, SelectionSound* s)
{
    selection_play_stop();
    if (!s)
        return;
    const bool block_norm = !key[state_of(K_LIVE_SYNTH)].load() && es->norm > 0.f && std::isfinite(es->norm);
    play_gain.store(block_norm ? es->norm : 0.f);
    play_at.store(0);
    playing.store(s);
    es->paused.store(0);
}

void selection_play_stop()
{
    SelectionSound* s = playing.exchange(nullptr);
    if (!s)
        return;
    audio_callback_idle();
    selection_sound_free(s);
}

int selection_playing() { return playing.load() != nullptr; }

int selection_stream(EngineState* es, int16_t* out, int frames)
{
    SelectionSound* s = playing.load();
    if (!s)
        return -1;
    if (es->paused.load() != 0)
        return 0;
    float gain = play_gain.load();
    if (!(gain > 0.f)) {
        if (s->ready.load() < s->len)
            return 0; // still being made
        gain = selection_sound_norm(s);
        gain = gain > 0.f ? gain : 1.f; // a silent selection plays its silence
        play_gain.store(gain);
    }
    gain *= std::atomic_ref<float>(es->volume).load(std::memory_order_relaxed) * 32767.f;
    const int64_t n = s->len, ready = s->ready.load();
    int64_t p = play_at.load();
    int f = 0;
    for (; f < frames; f++) {
        if (p >= n) {
            const bool loop = key[K_BOUNCE].load() || key[state_of(K_LOOP)].load();
            if (!loop || key[state_of(K_PAUSE_AFTER)].load()) {
                p = loop ? 0 : n;
                es->paused.store(1);
                break;
            }
            p = 0;
        }
        if (p >= ready)
            break; // not made yet: the rest of the buffer stays silent
        const int16_t v = to_pcm(s->out[(size_t)p] * gain);
        out[2 * f] = v;
        out[2 * f + 1] = v;
        p++;
    }
    play_at.store(p);
    es->play_pos.store((int32_t)std::min<int64_t>(s->start + p, INT32_MAX));
    return f;
}
