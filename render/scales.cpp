// The scales' labels: where the frequency, note and time labels of a plot go and what they say;
// see scales.h.
#include "render/scales.h"

#include "dsp/scale.h"
#include "render/gfx.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// [SECTION] Visible frequency range
// ---------------------------------------------------------------------------------------------

constexpr float LOWEST_SCALE_FREQ = 0.026855469f; // limits below this are raised on a curved axis

VisibleAxis rows_axis(float fmin, float fmax, float base, int h, int first_row, int rows)
{
    VisibleAxis a{0.f, 0.f, base, false};
    if (h <= 0)
        return a;
    if (base != 1.f) {
        fmin = std::max(fmin, LOWEST_SCALE_FREQ);
        fmax = std::max(fmax, LOWEST_SCALE_FREQ);
    }
    a.f_bottom = log_pos_b(1.f - (float)(first_row + rows) / (float)h, fmin, fmax, base);
    a.f_top = log_pos_b(1.f - (float)first_row / (float)h, fmin, fmax, base);
    a.ok = std::isfinite(a.f_bottom) && std::isfinite(a.f_top) && a.f_top > a.f_bottom;
    return a;
}

float visible_pos(const VisibleAxis& a, float f) { return log_pos_inv_b(f, a.f_bottom, a.f_top, a.base); }

// ---------------------------------------------------------------------------------------------
// [SECTION] Label texts
// ---------------------------------------------------------------------------------------------

void sprintf_left_scale(char* out, size_t size, float f, int precision)
{
    if (!out || size == 0)
        return;
    if (f < 100.f)
        snprintf(out, size, "%.1f Hz \x97", f);
    else if (f < 1000.f)
        snprintf(out, size, "%.0f Hz \x97", f);
    else
        snprintf(out, size, "%.*f kHz \x97", std::clamp(precision, 0, 3), f / 1000.f);
}

void sprintf_right_scale(char* out, size_t size, float v)
{
    if (!out || size == 0)
        return;
    if (!std::isfinite(v) || fabsf(v) > 1e6f) {
        out[0] = 0;
        return;
    }
    snprintf(out, size, "\x97 %s%d", NOTE_NAMES[note_in_octave((int)v)], note_octave((int)lroundf(v)));
}

void sprintf_bottom_scale(char* out, size_t size, int mode, double t)
{
    if (!out || size == 0)
        return;
    out[0] = 0;
    if (mode < 0 || mode > 3 || !std::isfinite(t))
        return;
    const double h = floor(t / 3600.0), m = fmod(floor(t / 60.0), 60.0), s = floor(fmod(t, 60.0));
    const double ms = std::min(999.0, (double)std::lround(fmod(1000.0 * t, 1000.0)));
    if (mode == 0) {
        if (t >= 3600.0)
            snprintf(out, size, "%.0f:%02.0f'%02.0f\"", h, m, s);
        else if (t >= 60.0)
            snprintf(out, size, "%.0f'%02.0f\"", m, s);
        else
            snprintf(out, size, "%.0f\"", s);
    } else {
        if (t >= 3600.0)
            snprintf(out, size, "%.0f:%02.0f'%02.0f\"%03.0f", h, m, s, ms);
        else if (t >= 60.0)
            snprintf(out, size, "%.0f'%02.0f\"%03.0f", m, s, ms);
        else
            snprintf(out, size, "%.0f\"%03.0f", s, ms);
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Label places
// ---------------------------------------------------------------------------------------------

// Cells of an occupancy array: a label placed at p takes `len` cells from p on.
struct Occupancy {
    std::vector<uint8_t> cell;

    explicit Occupancy(int n) : cell((size_t)std::max(n, 1), 0) {}
    bool taken(long long i) const { return i < 0 || i >= (long long)cell.size() || cell[(size_t)i]; }
    void take(long long from, long long len)
    {
        for (long long i = std::max(from, 0LL); i < from + len && i < (long long)cell.size(); i++)
            cell[(size_t)i] = 1;
    }
    // Widens every run of taken cells by `by` cells at both ends.
    void widen(int by)
    {
        std::vector<uint8_t> out(cell.size(), 0);
        const long long n = (long long)cell.size();
        for (long long i = 0; i < n; i++)
            if (cell[(size_t)i])
                for (long long j = std::max(i - by, 0LL); j <= std::min(i + by, n - 1); j++)
                    out[(size_t)j] = 1;
        cell.swap(out);
    }
};

constexpr long long MAX_SCALE_STEPS = 1000000; // multiples of one step tried at most

std::vector<ScaleLabel> frequency_labels(int glyph_h, const VisibleAxis& a, int H)
{
    std::vector<ScaleLabel> out;
    const int slot = 2 * std::max(glyph_h, 0);
    if (!a.ok || H <= 0)
        return out;
    Occupancy occ(H + slot + 1);
    const auto place = [&](float f, int precision, int p) {
        out.push_back({p, f, precision, TEXT_RIGHT});
        occ.take(p, slot);
    };
    place(a.f_bottom, 3, 0);
    place(a.f_top, 3, H);

    static const float steps[] = {10000, 5000, 2000, 1000, 500, 200, 100, 50, 20, 10, 5, 2, 1};
    static const int precision[] = {0, 0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3};
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; i++) {
        const float step = steps[i];
        const long long k0 = (long long)(a.f_bottom / step);
        if ((double)a.f_top / step - (double)k0 > (double)MAX_SCALE_STEPS)
            continue;
        for (long long k = k0; (float)k < a.f_top / step; k++) {
            const float f = (float)k * step;
            const float q = visible_pos(a, f);
            if (!(q > 0.f && q < 1.f))
                continue;
            const int p = (int)(q * (float)H);
            if (!occ.taken(p) && !occ.taken(p + slot))
                place(f, precision[i], p);
        }
        occ.widen(4);
    }
    return out;
}

std::vector<ScaleLabel> note_labels(int glyph_h, const VisibleAxis& a, int H)
{
    std::vector<ScaleLabel> out;
    const int slot = 2 * std::max(glyph_h, 0);
    if (!a.ok || H <= 0 || !(a.f_top > 0.f))
        return out;
    Occupancy occ(H + slot + 1);
    // Notes far below hearing are not labelled (a linear axis may start at 0 Hz).
    const float n_bottom = a.f_bottom > 0.f ? std::max(freq_to_note(a.f_bottom), -120.f) : -120.f;
    const float n_top = freq_to_note(a.f_top);
    for (const int step : {12, 1}) {
        for (long long k = (long long)(n_bottom / (float)step); (float)k < n_top / (float)step; k++) {
            const float n = (float)(k * step);
            const float q = visible_pos(a, note_to_freq(n));
            if (!(q > 0.f && q < 1.f))
                continue;
            const int p = (int)(q * (float)H);
            if (occ.taken(p) || occ.taken(p + slot))
                continue;
            out.push_back({p, n, 0, TEXT_LEFT});
            occ.take(p, slot);
        }
        occ.widen(8);
    }
    return out;
}

std::vector<ScaleLabel> time_labels(int columns, int first, float pps, int VW)
{
    std::vector<ScaleLabel> out;
    if (VW <= 0 || columns < 1)
        return out;
    pps = std::max(pps, 0.01f);
    const double span = (double)(columns - 1) / pps, start = (double)first / pps;
    out.push_back({1, start, first != 0 ? 3 : 0, TEXT_LEFT});
    out.push_back({VW, start + span, 3, TEXT_RIGHT});
    if (!(span > 0.0))
        return out;

    constexpr int SLOT = 48;
    Occupancy occ(VW + SLOT + 1);
    occ.take(0, SLOT);
    occ.take(VW - SLOT, SLOT);
    static const double steps[] = {60, 30, 10, 5, 1, 0.5, 0.1, 0.05, 0.01, 0.005, 0.001};
    static const int modes[] = {0, 0, 0, 0, 0, 1, 1, 2, 2, 3, 3};
    const int most = VW / 96;
    int placed = 0;
    for (size_t i = 0; i < sizeof steps / sizeof steps[0] && placed < most; i++) {
        const double step = steps[i];
        if (span / step > (double)MAX_SCALE_STEPS)
            break; // finer steps only have more multiples
        for (long long k = (long long)floor(start / step) + 1; (double)k * step < start + span; k++) {
            const double t = (double)k * step;
            if (t <= start)
                continue;
            const int x = (int)((t - start) / span * VW);
            if (x < 0 || x >= VW || occ.taken(x) || occ.taken(x + SLOT))
                continue;
            out.push_back({x + 1, t, modes[i], TEXT_LEFT});
            occ.take(x, SLOT);
            placed++;
        }
    }
    return out;
}
