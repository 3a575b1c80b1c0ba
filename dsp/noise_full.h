// The full-band noise table of live synthesis: one noise signal per image row, each band-limited
// to its row's frequency band and kept at its true frequency and the full sample rate, stored
// sample-major so that one output sample is the sum over rows of table value x pixel value. With
// it, the RMS level of every row's noise, from which live synthesis estimates its output level.
//
// The table is built on a thread of its own (`init_noise_array_full_bw_threaded`), which splits
// the bands over CORE_COUNT sub-workers (`noise_array_loop_thread`). All random numbers are drawn
// on the builder thread, in order, before the workers start, so a fixed `wrsrand` seed gives the
// same table whatever the thread count.
//
// Engine-state fields used for the full-band build (set with `noise_full_set_params` before the
// thread is started):
//   noise_param_i[0]  block width the table length is derived from, columns (400)
//   noise_param_i[1]  rows of the table last published (written by the builder, 0 for none)
//   noise_param_f[0]  lowest frequency, Hz
//   noise_param_f[1]  highest frequency, Hz
//   noise_param_f[2]  time resolution the table length is derived from, px/s (100)
//   noise_param_f[3]  frequency-scale base (1 linear .. 2 logarithmic)
#pragma once

#include "core/records.h"

// ---------------------------------------------------------------------------------------------
// [SECTION] Parameters
// ---------------------------------------------------------------------------------------------

constexpr int NOISE_FULL_BLOCK_W = 400;   // block width the full-band table length is derived from
constexpr float NOISE_FULL_PPS = 100.f;   // time resolution the full-band table length is derived from

// Stores the parameters of the next full-band build into the engine state: the frequency range
// fmin .. fmax (Hz) and base of the moment, with the fixed block width and time resolution.
void noise_full_set_params(EngineState* es, float fmin, float fmax, float base);

// Samples per row of the full-band table: next_fast_fft_size(round((bw div 2) rate / pps))
// (90000 at 400 columns, 100 px/s, 44100 Hz). 0 when the arguments make no table.
int noise_full_len(int bw, float pps, int rate);

// Highest frequency of the band axis as a fraction of the rate, worked out the way the block
// synthesis does it: fmax / rate at base 1, else base^((H-1)/s) fmin / rate with
// s = (H-1) / (log_bf(fmax) - log_bf(fmin)). Reads LOGBASE (the caller has stored `base` there).
float noise_full_fmax(float fmin, float fmax, int H, float base, int rate);

// ---------------------------------------------------------------------------------------------
// [SECTION] Noise spectrum
// ---------------------------------------------------------------------------------------------

// Fills x (Nl floats) with Nl `dblrand` values, forward-transforms it and tilts the spectrum:
// bin k, 1 <= k < (Nl+1) div 2, is multiplied by k^(0.5 - 0.5 base) (white at base 1, pink at
// base 2). Returns 1, or 0 when Nl < 1.
int noise_full_spectrum(float* x, int Nl, float base);

// ---------------------------------------------------------------------------------------------
// [SECTION] Band workers
// ---------------------------------------------------------------------------------------------

// The work of one sub-worker: bands first .. end-1 of the table.
struct NoiseFullWork {
    int Nl, H;             // samples per row, rows
    const float* spectrum; // the tilted noise spectrum, Nl floats, halfcomplex
    float fmin, fmax;      // band axis end frequencies, fractions of the rate
    float base;            // frequency-scale base of the band axis
    float* table;          // the sample-major table, Nl * H floats: value (j, r) at j * H + r
    float* scratch;        // private scratch, NOISE_FULL_GROUP * Nl floats
    int first, end;        // band range, band i (0 = lowest) goes to row H-1-i
    float* rms;            // per-row RMS, H floats: band i's RMS at index i
};

constexpr int NOISE_FULL_GROUP = 16; // bands transformed together, so each table write fills a cache line

// Thread entry of one sub-worker (arg: a NoiseFullWork). For each band: the spectrum bins
// lo'+1 .. hi' weighted by the band window, inverse-transformed to Nl samples, written into the
// band's row of the table, and their RMS stored. Returns null.
void* noise_array_loop_thread(void* arg);

// Builds the bands of the full table from the noise spectrum X on `threads` sub-workers (0 or
// less: CORE_COUNT), worker c taking bands c H div n .. (c+1) H div n - 1. table holds Nl * H
// floats, rms H floats. The result does not depend on the thread count. Returns 1, or 0 on
// arguments that make no table.
int noise_full_bands(const float* X, int Nl, int H, float fmin, float fmax, float base, int threads, float* table,
                     float* rms);

// ---------------------------------------------------------------------------------------------
// [SECTION] Builder thread
// ---------------------------------------------------------------------------------------------

// Called by the builder after it released `volume_lock` and `stream_lock` of a published table,
// before it clears key slot 136 (live synthesis installs its level estimate here). Null: none.
extern void (*noise_full_level_hook)(EngineState* es);

// Called by the builder once key slot 136 is cleared, in every case (the waveform strip
// installs its redraw here). Null: none.
extern void (*noise_full_ready_hook)(EngineState* es);

// Thread entry (arg: the EngineState). The caller has taken the image stack's `volume_lock` and
// then `stream_lock` and set key slot 136. Builds the full-band table for the image's height with
// the parameters of `noise_full_set_params` (LOGBASE and BMSQ_LUT_SIZE are stored on the way),
// publishes it with its RMS array and length into the engine state, releases both locks and
// clears slot 136. On an image of height 0, no image, or an unusable frequency range it drops any
// previous table, still releases both locks (when there is an image) and clears slot 136.
// Returns the engine state when a table was published, null otherwise.
void* init_noise_array_full_bw_threaded(void* arg);
