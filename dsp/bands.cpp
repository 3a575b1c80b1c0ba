// Band geometry of noise synthesis: band bins and band windows.
#include "dsp/bands.h"

#include "core/state.h"

#include <algorithm>
#include <climits>
#include <cmath>

// ---------------------------------------------------------------------------------------------
// [SECTION] Band bins
// ---------------------------------------------------------------------------------------------

// Axis position of bin `bin` of T. A bin below the pole of a non-linear axis (a rounded band
// edge that fell to or under 0 Hz) has no position; the unrounded position `fallback` of that
// edge stands in for it so that the window stays finite.
static float bin_position(const LogAxis& axis, int bin, int T, float fallback)
{
    float p = log_axis_inv(axis, (float)bin / (float)T);
    return std::isfinite(p) ? p : fallback;
}

// The nearest whole bin of a position times T, held within -T .. 2T (and INT_MAX; NaN gives
// -T) so that edges far outside the spectrum, as extreme axes give them, still fit an int.
static int raw_bin(float bin, int T)
{
    const float low = -(float)T, high = (float)std::min<long long>(2LL * T, INT_MAX / 2);
    if (!(bin > low))
        return -T;
    return bin < high ? (int)lrintf(bin) : (int)high;
}

BandBins band_bins(const LogAxis& axis, int i, int H, int T)
{
    BandBins bb{};
    const float step = H > 1 ? (float)(H - 1) : 1.f;
    const float x_lo = (float)(i - 1) / step, x_hi = (float)(i + 1) / step;
    bb.lo_raw = raw_bin(log_axis_pos(axis, x_lo) * (float)T, T);
    bb.hi_raw = raw_bin(log_axis_pos(axis, x_hi) * (float)T, T);
    bb.a = bin_position(axis, bb.lo_raw, T, x_lo);
    bb.b = bin_position(axis, bb.hi_raw, T, x_hi);
    bb.lo = bb.lo_raw < 1 ? 1 : bb.lo_raw;
    bb.hi = bb.hi_raw > T / 2 ? T / 2 : bb.hi_raw;
    bb.nb = bb.hi > bb.lo ? bb.hi - bb.lo : 0;
    return bb;
}

BandBins band_bins(int i, int H, int T, float fmin, float fmax)
{
    return band_bins(log_axis(fmin, fmax, LOGBASE), i, H, T);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Band window
// ---------------------------------------------------------------------------------------------

void band_window(const LogAxis& axis, const BandBins& bb, int T, float* g)
{
    const float span = bb.b - bb.a;
    const float two_pi = 6.28318530717958647692f;
    for (int k = 0; k < bb.nb; k++) {
        // A band narrower than one bin has no width to spread its window over: pass it whole.
        if (!(span > 0.f)) {
            g[k] = 1.f;
            continue;
        }
        float t = (log_axis_inv(axis, (float)(bb.lo + k) / (float)T) - bb.a) / span;
        g[k] = 0.5f - 0.5f * cosf(two_pi * t);
    }
}

void band_window(const BandBins& bb, int T, float fmin, float fmax, float* g)
{
    band_window(log_axis(fmin, fmax, LOGBASE), bb, T, g);
}
