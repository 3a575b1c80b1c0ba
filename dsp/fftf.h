// The one real transform of the program: any length n >= 1, the complex half-spectrum stored in
// halfcomplex order in n floats, scaled by 1/sqrt(n) in both directions so that a forward
// transform followed by an inverse one returns the input.
//
// Halfcomplex order: index 0 the real part of bin 0; index k (1 <= k <= (n-1)/2) the real part
// of bin k; index n/2 (even n only) the real part of bin n/2; index n-k the imaginary part of
// bin k.
#pragma once

// ---------------------------------------------------------------------------------------------
// [SECTION] Transform
// ---------------------------------------------------------------------------------------------

constexpr int FFT_FORWARD = 0; // direction: time signal to halfcomplex spectrum
constexpr int FFT_INVERSE = 1; // direction: halfcomplex spectrum to time signal
constexpr int FFT_REUSED = 2;  // added to a direction: a size transformed again and again (synthesis blocks), planned for running rather than planning fast

// Transforms n values of `in` into `out` (which may be `in`; otherwise `in` is left as it was).
// Safe to call from many threads at once. Returns 1, or 0 (nothing done) for n < 1 or an
// unknown direction. Calls with the same size and direction (FFT_REUSED included) give the
// same results on every run.
int fftf(float* in, float* out, int n, int direction);

// Inverse complex transform of n >= 1 complex values in place, unscaled: z[j] becomes
// sum_k z[k] e^(+2 pi i jk / n); `z` holds 2n floats, real and imaginary parts interleaved. Safe
// to call from many threads at once. Returns 1, or 0 (nothing done) for n < 1 or a null `z`.
int fftc_inverse(float* z, int n);

// Releases every cached transform plan (at shut-down; no transform may be running).
void fftf_release();
