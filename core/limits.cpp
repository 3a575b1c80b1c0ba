// Accepted ranges of the settings, and the message for a value outside them.
#include "core/limits.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>

const SettingRange SETTING_RANGES[SETTING_COUNT] = {
    {"frequency", 0.02, 26000.02, " Hz", false},
    {"time resolution", 0.01, 2400.02, " px/s", false},
    {"pitch resolution", 0.1, 1000., " bands per octave", false},
    {"frequency scale", 1., 2., "", false},
    {"sample rate", SOUND_RATE_MIN, SOUND_RATE_MAX, " Hz", true},
    {"sample rate", 8000., SOUND_RATE_MAX, " Hz", true},
    {"thread count", 1., 1024., "", true},
    {"seed", 0., 4294967295., "", true},
    {"plot size", 64., 8192., " px", true},
    {"selection feather", 0., 64., " px", false},
};

// The value as the float a setting holds, held within the float range (NaN stays NaN).
static float as_float(double v)
{
    return std::isnan(v) ? (float)v : (float)std::clamp(v, -(double)FLT_MAX, (double)FLT_MAX);
}

bool setting_in_range(Setting setting, double v)
{
    // Compared as floats, the settings' own type: "0.02" read into a float is not below 0.02.
    const SettingRange& r = SETTING_RANGES[setting];
    const float f = as_float(v);
    return f >= (float)r.lo && f <= (float)r.hi && (!r.whole || v == std::floor(v));
}

const char* setting_fault(Setting setting, double v, char* why, size_t size)
{
    const SettingRange& r = SETTING_RANGES[setting];
    if (setting_in_range(setting, v))
        return nullptr;
    if (std::isnan(v))
        snprintf(why, size, "a %s that is not a number", r.what);
    else if (as_float(v) < (float)r.lo)
        snprintf(why, size, r.whole ? "%g%s is below the smallest supported %s, %.10g%s"
                                    : "%g%s is below the smallest supported %s, %g%s",
                 v, r.unit, r.what, r.lo, r.unit);
    else if (as_float(v) > (float)r.hi)
        snprintf(why, size, r.whole ? "%g%s is above the largest supported %s, %.10g%s"
                                    : "%g%s is above the largest supported %s, %g%s",
                 v, r.unit, r.what, r.hi, r.unit);
    else
        snprintf(why, size, "%g is not a whole number (a %s is one)", v, r.what);
    return why;
}
