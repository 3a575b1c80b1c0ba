// Block noise synthesis: a table of narrow-band noise signals, one per image row, each kept
// shifted down near zero frequency in a short signal; a block of image columns becomes a block
// of sound by multiplying every band signal by its row's pixel values (evaluated at the exact
// time of every sample), moving each band back up to its place in the block's spectrum, summing
// and transforming back.
//
// The noise repeats every P = N/2 samples of the sound (N the block length). A block starting
// at sample S reads the noise from phase S mod P, so the noise runs on seamlessly across block
// boundaries wherever the blocks start. The table is built from random numbers drawn in one
// fixed order on the calling thread; synthesis reads it only, from any number of threads.
#pragma once

#include "dsp/scale.h"

#include <atomic>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// [SECTION] Geometry shared by the table and the synthesis
// ---------------------------------------------------------------------------------------------

// Samples per half block: (bw div 2) * rate / pps, not rounded (block b starts at b * span).
double noise_block_span(int bw, float pps, int rate);

// Block length N for a half-block span: twice the smallest integer >= span + 1 whose prime
// factors are at most 7 (so N is even, N/2 whole, and the transforms stay fast).
int noise_block_len(double span);

// Spectral guard in bins kept on each side of every band: round(bw * 2.3333333).
int noise_guard(int bw);

// Row lengths M_i (i = 0 the lowest band) into M (H ints) for block length N, block width bw,
// ppsr columns per sample, on `axis` (fractions of the rate): L_i = 4K + 2 nb_i + 1; M_i = cols
// when cols = round(ppsr N) >= L_i, else next_fast_fft_size(L_i) when L_i outgrows the previous
// band's size, else the previous size.
void noise_row_sizes(const LogAxis& axis, int N, int H, int bw, float ppsr, int* M);

// ---------------------------------------------------------------------------------------------
// [SECTION] Block noise table
// ---------------------------------------------------------------------------------------------

// The block noise table.
struct NoiseTable {
    float** rows;  // H rows, row r for band H-1-r, rows[r] of len[r] samples
    int32_t* len;  // samples per row
    int H;         // rows
    int N;         // block length the table was made for
};

// Builds the table for blocks of bw columns at pps px/s over fmin .. fmax Hz with base `base`,
// H rows, sample rate `rate`: white noise repeating every N/2 samples (dblrand, drawn in order
// on the calling thread), tilted by k^(0.5 - 0.5 base), cut into bands with band_bins /
// band_window. Writes N to *N. Returns 0 (nothing allocated) for arguments that make no table.
int init_noise_array(NoiseTable* table, int bw, int H, int* N, int rate, float fmin, float pps, float fmax,
                     float base);

// Frees the rows and lengths of a table and zeroes it.
void free_noise_array(NoiseTable* table);

// ---------------------------------------------------------------------------------------------
// [SECTION] Block synthesis
// ---------------------------------------------------------------------------------------------

// Synthesises one block: `image` holds H rows of bw values (row-major, row 0 the highest band)
// covering columns from the block's first one on; `start` is the block's exact start in
// samples (its first column / ppsr). Returns a new array of N samples (caller frees): sample t
// is the sound at sample floor(start) + t. Returns all zeros once *stop is raised (checked
// before every band); every `sleep_period`-th band sleeps 1 ms. Null when the table does not
// match the geometry (row lengths differ from noise_row_sizes).
float* synt_noise(const float* image, int bw, int H, int N, int rate, const NoiseTable* table,
                  std::atomic<int32_t>* stop, int sleep_period, float fmin, float pps, float fmax, float base,
                  double start);

// The band work of synt_noise: `rows` the H envelope rows (bw values each), fmin_r and fmax_r
// fractions of the rate, ppsr columns per sample. Same result and ownership as synt_noise.
float* filter_mask(const NoiseTable* table, const float* const* rows, int bw, int N, int H,
                   std::atomic<int32_t>* stop, int sleep_period, float fmin_r, float fmax_r, float base,
                   float ppsr, double start);

// ---------------------------------------------------------------------------------------------
// [SECTION] Envelope resampling
// ---------------------------------------------------------------------------------------------

// Kernel taps for resampling an envelope of columns onto M points spread evenly over N samples
// of a block: point m sits at block sample tau = (m N / M - shift) mod N, i.e. at column
// (tau - frac) * ppsr. Each point takes the Blackman-square kernel weights of the (up to) three
// columns within 1.5 of it; columns outside 0 .. bw-1 weigh nothing.
struct EnvelopeTaps {
    int M;          // points
    int* first;     // per point: first column of its three taps (may be out of range)
    float* w;       // per point: three weights (0 for columns outside the block)
    float* outside; // per point: the summed weights of its taps before the block's first column
    float* after;   // per point: the summed weights of its taps after the block's last column
};

// Fills taps for M points (reallocating when M grew). Points at or past `wrap_at` samples (when
// it is not negative) count from N before the block: the wrapped-round end of a padded buffer.
void envelope_taps(EnvelopeTaps* taps, int M, int N, int bw, float ppsr, double shift, double frac,
                   double wrap_at = -1.0);

// Adds a band's modulated short spectrum U (M values, halfcomplex, the band's bins at K+1 ..)
// into the block spectrum `out` (N values, halfcomplex) shifted up by lo - K bins: full bins
// max(lo - K, 1) .. min(hi + K, N div 2) (lo, hi the band's clamped bins).
void add_band_spectrum(float* out, int N, const float* U, int M, int lo, int hi, int K);

// Frees the arrays of taps and zeroes it.
void free_envelope_taps(EnvelopeTaps* taps);

// out[m] = the envelope row e (bw values) at point m, columns before the block taken as
// `before` and columns after it as `after` (taps->M values written).
void envelope_apply(const EnvelopeTaps* taps, const float* e, float* out, float before = 0.f, float after = 0.f);
