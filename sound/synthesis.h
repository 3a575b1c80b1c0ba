// Block synthesis: the image is turned into the playable sound in the background, block by
// block, on worker threads. Blocks are bw columns wide and start every bw/2 columns; each block
// is synthesised (band noise, or the original sound filtered by the edited/analysed ratio in
// lossless mode) and only its middle half is written into the sound, so the blocks tile it.
//
// Placement: block b starts at column b*bw/2, which is sample b*span with span =
// (bw/2)*rate/pps (not rounded). Every block evaluates the picture at the exact time of each of
// its samples, so a feature at column c sounds at sample c*rate/pps whatever the block width and
// time resolution. Block b writes samples from round((b+0.5)*span) (0 for block 0) up to where
// block b+1 begins writing (the last block up to the sound's end): every sample exactly once.
//
// Threads: the main thread starts and stops the workers (`synthesis_change`, `end_sound_threads`);
// the workers claim blocks through `block_state` under the engine state's lock and copy image
// blocks out under `layers_lock`; they never hold two locks at once.
#pragma once

#include "core/records.h"

#include <cstdint>

// ---------------------------------------------------------------------------------------------
// [SECTION] Block geometry
// ---------------------------------------------------------------------------------------------

// Block width in columns for time resolution pps and image height H: 4 floor(pps), times
// (H div 1000 + 1) when H > 1000; 120 floor(pps) with long blocks; at least 24.
int synth_block_width(float pps, int H, int long_blocks);

// Number of blocks over W columns: 2W div bw, plus 1 when W mod bw is not 0.
int synth_block_count(int W, int bw);

// Samples of the synthesised sound: orig_len in lossless mode, and also when W is the column
// count the analysis of the original sound at `pps` gives (the recording keeps its length, not
// cut to whole columns); else round(W * rate / pps). -1 when that length does not fit in the
// chunk table.
int64_t synth_sound_len(int W, float pps, int rate, int lossless);

// First sample block b writes (0 for block 0) given the half-block span in samples.
int64_t block_write_start(int b, double span);

// ---------------------------------------------------------------------------------------------
// [SECTION] Sound storage
// ---------------------------------------------------------------------------------------------

// Makes the chunk table hold n samples: n div SOUND_CHUNK_LEN + 1 chunks, new ones zeroed,
// surplus ones freed; updates `snd_block_count`. Returns 1, or 0 with a one-line message on
// standard error (and nothing changed) when n needs more than SOUND_CHUNK_MAX chunks.
int resize_sound(float** chunks, int64_t n);

// Zeroes every sample of the chunks in use.
void clear_sound(float** chunks);

// Sample i of the synthesised sound.
float sound_sample(const EngineState* es, int64_t i);

// Writes block b's share of its samples into the sound (see the header comment); `block` holds
// N samples, the sound from sample floor(b * span) on. Returns the largest absolute value written.
float blit_sound(float** chunks, const float* block, int64_t len, int N, double span, int block_count, int b);

// 1 / the largest absolute sample over the first `len` samples, 0 for silence. `whole` is kept
// for the callers' sake: the whole sound is always scanned.
float norm_vol(EngineState* es, int64_t len, int whole);

// ---------------------------------------------------------------------------------------------
// [SECTION] Block images
// ---------------------------------------------------------------------------------------------

// Copies columns b*bw/2 .. b*bw/2 + bw - 1 of every row of `composite` (H x W) into out (H x bw,
// row-major); columns past the image and non-finite pixels give 0.
void image_block(Plane composite, float* out, int H, int W, int bw, int b);

// The lossless ratio image of block b: composite / analysed per pixel; past the image end the
// last column's ratio goes on.
// Every value is finite: where analysed is 0 the ratio is 1 if the composite is 0 too (an
// unedited pixel), else capped like every ratio at LOSSLESS_RATIO_MAX.
void mask_block(Plane composite, Plane analysed, float* out, int H, int W, int bw, int b);

constexpr float LOSSLESS_RATIO_MAX = 1e6f; // largest gain a lossless ratio pixel may apply

// ---------------------------------------------------------------------------------------------
// [SECTION] Lossless band filter
// ---------------------------------------------------------------------------------------------

// Splits `avail` original samples (at most N used) into H bands with a Blackman-windowed sinc
// filter bank matching the rows, multiplies band i by row H-1-i of `ratio` (H x bw, evaluated
// at each sample's exact column), sums the bands and returns a new array of *out_len >= N
// samples (the caller frees it). `start` is the block's exact start in samples (b * span),
// `ppsr` columns per sample, fmin in Hz, base the frequency-scale base, s as for synt_noise;
// `ends` bit 1: the block begins the sound, bit 2: it ends it (the edge ratios go on there).
// Returns all zeros as soon as *stop is raised; every `sleep_period`-th band sleeps 1 ms (0: never).
float* filter_mask_filter(const float* orig, int avail, const float* ratio, int bw, int N, int rate, int H,
                          std::atomic<int32_t>* stop, int sleep_period, float s, float ppsr, float fmin,
                          float base, double start, int ends, int* out_len);

// Drops the band filter's shared plan (band bins and weights, made once per block geometry and
// shared by every block of a run); synthesis_release calls it.
void filter_mask_filter_release();

// Band-scale value of the lossless filter: (H-1) / (log_base fmax - log_base fmin), or fmax / rate
// on a linear axis.
float band_scale(float fmin, float fmax, float base, int H, int rate);

// ---------------------------------------------------------------------------------------------
// [SECTION] Workers
// ---------------------------------------------------------------------------------------------

// Noise worker (argument: the EngineState): from the block of the first visible column on,
// claims and synthesises every block still to do.
void* quor_thread(void* arg);

// Lossless worker: as quor_thread with the lossless band filter; blocks whose original samples
// are all 0 stay silent.
void* quor_thread_lossless(void* arg);

// Export worker, noise: every block in order, without the state table.
void* quor_thread_save(void* arg);

// Export worker, lossless: every block in order, silent original segments included.
void* quor_thread_lossless_save(void* arg);

// Raises the stop flag, joins every started worker, lowers the flag.
void end_sound_threads(EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Restarting synthesis
// ---------------------------------------------------------------------------------------------

// Carries out a synthesis request of the image stack's `change_state` (main thread only):
// level 1 stops the workers, clears the sound and every block state and restarts them; level 2
// restarts them without clearing (only blocks reset by `synthesis_touch_columns` are redone;
// becomes 1 when the largest composite value moved by more than 100 times from `prev_max`,
// unless `move_tool` is set); level 3 also rebuilds the block noise table. Geometry and noise
// table follow the engine state's `synth_range` and the image. With live synthesis on (slot
// 133) only the stored sound is emptied. `threads` workers (0 or less: CORE_COUNT). Returns 1,
// or 0 with a one-line message on standard error when nothing can be synthesised (no image, a
// sound too long for the chunk table, a lossless image of another size than the analysis).
int synthesis_change(EngineState* es, int level, int threads = 0, int move_tool = 0);

// After a stroke over columns x0 .. x1: puts the blocks covering them, from one block before to
// one block after, back to "to do" (under the engine state's lock).
void synthesis_touch_columns(EngineState* es, int x0, int x1);

// Whether the engine state's block noise table was made for blocks of bw columns, H rows, the
// range fmin .. fmax Hz, pps px/s and base `base`.
bool noise_table_current(const EngineState* es, int bw, int H, float fmin, float fmax, float pps, float base);

// Blocks done so far (state 2), read under the engine state's lock.
int synthesis_blocks_done(EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Whole-sound synthesis for batch commands
// ---------------------------------------------------------------------------------------------

// Called between polls while synthesise_all waits: blocks done so far and the total.
using SynthProgressFn = void (*)(int done, int total, void* ctx);

// Synthesises the whole sound of the document in es->image->composite with the settings in
// es->synth_range (min Hz, max Hz, px/s, base): noise synthesis, or lossless synthesis from
// orig_snd when `lossless` is 1 (the image must then be the analysis of orig_snd, `analysed`
// set). Builds the block noise table (random numbers drawn on the calling thread in one fixed
// order, so a fixed wrsrand seed gives the same sound whatever the thread count), runs
// `threads` workers (0 or less: CORE_COUNT) and returns once every block is done. The result is
// in es->sound (chunks), es->sound_len and es->norm (1 / peak, 0 for silence). Returns 1, or 0
// with a one-line message on standard error (see synthesis_change).
int synthesise_all(EngineState* es, int lossless, int threads, SynthProgressFn progress = nullptr,
                   void* ctx = nullptr);

// Frees the sound chunks, block tables and the block noise table of the engine state (workers
// stopped first).
void synthesis_release(EngineState* es);
