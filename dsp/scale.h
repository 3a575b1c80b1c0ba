// Frequency scale and band geometry: how an image row maps to a frequency and back, how many
// rows an image has, how long a synthesis block is, which transform sizes are used, and the
// Blackman-square kernel with which band signals are resampled.
//
// Rows and positions: in an image of height H, row r holds band i = H-1-r (band 0 the lowest)
// at the normalised position x = i/(H-1), 0 at the bottom row and 1 at the top row. The axis
// between two end frequencies runs from linear (base 1) to logarithmic (base 2); the functions
// without an explicit base read the process-wide LOGBASE.
#pragma once

// ---------------------------------------------------------------------------------------------
// [SECTION] Frequency axis
// ---------------------------------------------------------------------------------------------

// Frequency at position x between fmin and fmax (any unit, the result is in the same unit),
// on the axis of base LOGBASE. x outside 0..1 extrapolates the axis.
float log_pos(float x, float fmin, float fmax);

// Position of frequency f between fmin and fmax on the axis of base LOGBASE (inverse of log_pos).
float log_pos_inv(float f, float fmin, float fmax);

// log_pos with an explicit base.
float log_pos_b(float x, float fmin, float fmax, float base);

// log_pos_inv with an explicit base; a base of 1 or below gives the linear axis.
float log_pos_inv_b(float f, float fmin, float fmax, float base);

// Logarithm of v to the base LOGBASE; v itself when LOGBASE is 1.
float log_bf(float v);

// The constants of one axis, worked out once for mapping many values on it.
struct LogAxis {
    float fmin, fmax; // end frequencies
    float base;       // frequency-scale base
    float span;       // ln fmax - ln fmin
    float top;        // base^(span / ln 2), the unscaled value at the top end
    float g_min;      // logarithmic measure of fmin (the inverse mapping's zero)
    float g_max;      // logarithmic measure of fmax (the inverse mapping's one)
};

// The axis between fmin and fmax with an explicit base.
LogAxis log_axis(float fmin, float fmax, float base);

// Frequency at position x on the axis (log_pos_b without recomputing the constants).
float log_axis_pos(const LogAxis& axis, float x);

// Position of frequency f on the axis (log_pos_inv_b without recomputing the constants).
float log_axis_inv(const LogAxis& axis, float f);

// log_axis_inv of the n bins lo, lo + 1, ... of a transform of N points (frequency (lo + k) / N)
// into out[k], several at a time.
void log_axis_inv_bins(const LogAxis& axis, int lo, int N, int n, float* out);

// ---------------------------------------------------------------------------------------------
// [SECTION] Notes
// ---------------------------------------------------------------------------------------------

extern const char* const NOTE_NAMES[12]; // "C", "C#", ... "B": names within an octave

// Frequency in Hz of a note number (57 = A4 = 440 Hz, 0 = C0; fractions are cents / 100).
float note_to_freq(float note);

// Note number of a frequency in Hz (the inverse of note_to_freq).
float freq_to_note(float freq);

// Index into NOTE_NAMES of a whole note number (notes below C0 wrap round as well).
int note_in_octave(int note);

// Octave number of a whole note number (note 0 is in octave 0, note -1 in octave -1).
int note_octave(int note);

// ---------------------------------------------------------------------------------------------
// [SECTION] Image and block geometry
// ---------------------------------------------------------------------------------------------

// Rows of an image covering fmin..fmax (Hz) at bpo bands per octave: octaves counted by log2
// whatever the frequency-scale base is.
int image_height(float fmin, float fmax, float bpo);

// Block length in samples (into *len) of a synthesis block of bw columns at pps columns per
// second: two half blocks of SOUND_SAMPLERATE-rate samples, raised to a 5-smooth length.
void init_block_len(int bw, int* len, float pps);

// ---------------------------------------------------------------------------------------------
// [SECTION] Transform sizes
// ---------------------------------------------------------------------------------------------

constexpr int FFT_SIZE_COUNT = 245; // entries of fft_size

extern const int fft_size[FFT_SIZE_COUNT]; // ascending transform sizes known to be fast (5-smooth)

// The first entry of fft_size that is >= n; beyond the table the smallest 5-smooth integer >= n.
int next_fast_fft_size(int n);

// Smallest integer >= n whose only prime factors are 2, 3 and 5 (1 for n <= 1; 0 when it
// would not fit in an int).
int nextlprime(int n);

// Largest prime factor of n; 2 for n < 2.
int find_largest_prime_factor(int n);

// ---------------------------------------------------------------------------------------------
// [SECTION] Blackman-square kernel
// ---------------------------------------------------------------------------------------------

extern float* lut; // the kernel table: BMSQ_LUT_SIZE + 2 floats once built, null before

// Builds `lut` the first time it is called (later calls return at once; safe from any thread).
void bmsq_lut();

// Resamples in (in_len samples) to out_len samples by adding into out (which the caller
// zeroes): every output gets the kernel-weighted sum of the input samples within 1.5 input
// samples of its position. Builds `lut` when needed.
void blackman_square_interpolation(const float* in, float* out, int in_len, int out_len);
