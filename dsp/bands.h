// Band geometry of noise synthesis: which spectrum bins of a transform of length T belong to a
// band, and the window that weights them. Both the block noise table, the block synthesis and
// the full-band noise table cut their bands with these two functions, so the three agree bin for
// bin.
//
// Band i (0 = lowest) of an image of H rows sits at position i/(H-1) of the frequency axis. Its
// window is a Hann window in position space spanning from the centre of band i-1 to the centre
// of band i+1, so neighbouring bands overlap by half and their windows add up to about 1.
// Frequencies here are fractions of the sample rate (fmin', fmax'), bins are counted in a
// transform of length T.
#pragma once

#include "dsp/scale.h"

// ---------------------------------------------------------------------------------------------
// [SECTION] Band bins
// ---------------------------------------------------------------------------------------------

// The bins of one band in a transform of length T.
struct BandBins {
    int lo_raw, hi_raw; // bins of the neighbouring band centres, round(log_pos((i -+ 1)/(H-1)) T), before clamping
    int lo, hi;         // the same clamped to 1 .. T/2: lo' = max(lo_raw, 1), hi' = min(hi_raw, T div 2)
    int nb;             // bins in the band: hi - lo (0 when the band lies wholly outside 1 .. T/2)
    float a, b;         // axis positions of lo_raw / T and hi_raw / T: where the window starts and ends
};

// Bins of band i of H (H >= 1; H = 1 takes a position step of 1) for transform length T, on the
// axis `axis` (end frequencies fmin', fmax' as fractions of the rate). Reads no global state.
BandBins band_bins(const LogAxis& axis, int i, int H, int T);

// Bins of band i of H for transform length T between fmin and fmax (fractions of the rate), on
// the axis of base LOGBASE.
BandBins band_bins(int i, int H, int T, float fmin, float fmax);

// ---------------------------------------------------------------------------------------------
// [SECTION] Band window
// ---------------------------------------------------------------------------------------------

// Writes the band window g_k, k = 0 .. bb.nb-1, into g (nb floats): the Hann window
// 0.5 - 0.5 cos(2 pi t) at t = (position((lo + k) / T) - a) / (b - a). Reads no global state.
void band_window(const LogAxis& axis, const BandBins& bb, int T, float* g);

// band_window between fmin and fmax (fractions of the rate) on the axis of base LOGBASE.
void band_window(const BandBins& bb, int T, float fmin, float fmax, float* g);
