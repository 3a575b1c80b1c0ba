// Spectral analysis: turns a mono sound into the spectrogram image, one row per frequency band,
// one column per time step, each pixel the amplitude envelope of the sound inside that band.
//
// The whole sound is transformed once; every band then cuts its window out of that spectrum,
// shifts it down to zero frequency, turns it back into an analytic band signal whose magnitude
// is the envelope, and brings it to the column rate. Also here: the envelope of a whole signal,
// the Blackman downsampler, peak normalisation and the transform resampler that brings loaded
// sounds to the internal sample rate.
#pragma once

#include "core/records.h"

#include <atomic>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// [SECTION] Progress of an analysis
// ---------------------------------------------------------------------------------------------

// Shared between `anal` and its caller: how far the analysis is, and a way to stop it.
struct AnalysisProgress {
    std::atomic<int32_t> rows_done{0}; // rows finished so far (written by the analysis)
    std::atomic<int32_t> stop{0};      // set to 1 by the caller: bands not yet started are skipped
    void (*tick)(AnalysisProgress* progress, void* ctx) = nullptr; // called on anal's own thread as rows finish (progress bar, event draining)
    void* ctx = nullptr;               // handed to `tick`
};

// ---------------------------------------------------------------------------------------------
// [SECTION] Analysis
// ---------------------------------------------------------------------------------------------

// Analyses n samples (taken at `rate` Hz) into H rows. `rows` is an array of H row pointers
// owned by the caller, null on entry or holding the rows of `anal_coarse` (which are the
// caller's to free, never freed here); each row (w floats, allocated with wrmalloc) is stored
// once it is complete, with a release store, lowest band (row H-1) first, so a reader using
// `filled_row` may draw while the image fills. fmin, fmax are fractions of `rate`,
// ppsr is columns per sample, bpo bands per octave, min_bpo and transition (px/s) limit the
// filter widths, base is the frequency-scale base (stored into LOGBASE). "Constant Time
// Resolution Analysis" (key slot 48) lifts the min_bpo limit. H = 1 gives the envelope of the
// whole sound. The bands are spread over `threads` threads (0 or less: CORE_COUNT); the result
// does not depend on the thread count. The width goes to *out_w. Returns 1 when every row was made, 0 on arguments
// that make no image (rows stay null) or when stopped through `progress` (finished rows stay).
// With `release` (the caller's pointer to the buffer `samples` points into, allocated with
// wrmalloc) the buffer is freed and the pointer set to null as soon as the analysis has its
// own copy of the sound, so that a long sound is not held twice.
int anal(Plane rows, const float* samples, int n, int rate, int* out_w, int H, float fmax, float ppsr,
         float fmin, float bpo, float min_bpo, float transition, float base, int threads = 0,
         AnalysisProgress* progress = nullptr, float** release = nullptr);

// A coarse first picture of the sound for the editor to show while `anal` makes the real one:
// the same H x w rows (same arguments as `anal`), each band's level taken from short transforms
// of at most 1024 frames spread over the sound, each column showing the frame it falls in.
// Every row is allocated with wrmalloc and stored with a release store (all null on entry),
// lowest band first, so a reader may draw them as they come; the levels are those `anal`
// gives, roughly, so that the picture does not change brightness as the real rows replace
// these. The frames take a few tens of milliseconds whatever the sound's length, the rows
// about as long again for a 5-minute sound. Returns 1, or 0 (rows left null) where `anal`
// makes no image or the one-row image (H < 2).
int anal_coarse(Plane rows, const float* samples, int n, int rate, int H, float fmax, float ppsr, float fmin,
                float bpo, float min_bpo, float transition, float base, int threads = 0);

// Bytes `anal` allocates for n samples into H rows (fmin, fmax fractions of the rate, ppsr
// columns per sample) on `threads` threads: the rows, the padded whole-sound spectrum with the
// transform's working and planning buffers, and each thread's band buffers. The sound itself is
// not counted.
double anal_memory(int n, int H, float fmin, float fmax, float ppsr, float base, int threads);

// Row r of a plane an analysis may still be filling: null until that row is complete.
float* filled_row(Plane rows, int r);

// The transform size of the whole sound used by `anal`: n samples followed by `pad` samples of
// zero extension, grown until its prime factors are at most 17 and those of its column count
// round(N * ppsr) at most 7.
int anal_transform_size(int n, int pad, float ppsr);

// ---------------------------------------------------------------------------------------------
// [SECTION] Envelope, downsampling, normalisation
// ---------------------------------------------------------------------------------------------

// Magnitude of the analytic signal of x (n samples). With ratio exactly 1 the envelope replaces
// x and x is returned; otherwise x is left as it was and a new array of round(n * ratio)
// values (the envelope, Blackman-downsampled) is returned and *n is set to that length.
float* envelope(float* x, int* n, float ratio);

// A new array of out_len values: every output the Blackman-weighted mean of the inputs within
// in_len/out_len samples either side of its position (a constant input stays constant).
float* blackman_downsampling(const float* in, int in_len, int out_len);

// Counts the values of the rows that are not finite numbers (null rows are skipped); with
// `zero` they are set to 0 as well.
long long plane_nonfinite(Plane rows, int width, int height, bool zero);

// Scales every value of the rows so that the largest absolute value becomes `target`
// (all zero when the image is silent). Null rows are skipped.
void normi(Plane rows, int width, int height, float target);

// ---------------------------------------------------------------------------------------------
// [SECTION] Transform resampling
// ---------------------------------------------------------------------------------------------

// Resamples *n samples from rate_in to rate_out through one forward and one inverse transform.
// Takes over `buffer` (allocated with wrmalloc, freed here) and returns a new one of
// round(rate_out * n / rate_in) samples, stored into *n. The transforms span the sound padded to
// a whole multiple of rate_in / gcd(rate_in, rate_out) samples when that is at most 4096, else
// the sound alone, so the memory follows the sound's length, not the rates. The level is
// multiplied by sqrt(Nin / Nout), about sqrt(rate_in / rate_out), the ratio of the two transform
// lengths. Null, with `buffer` still the caller's, for bad arguments or a sound too long to
// transform.
float* resample_fft(float* buffer, int* n, int rate_in, int rate_out);
