// Accepted ranges of the analysis and synthesis settings and of sample rates: one table, read
// by the command line, the configuration file, the replay and the document loader alike, so
// that a value refused in one place is refused in all of them. The ends are what the program's
// own controls can reach (the frequency knobs 0.02 .. 26000 Hz, the time-resolution knob 0.01 ..
// 2400 px/s, the scale knob 1 .. 2), widened only where a setting has no control.
#pragma once

#include <cstddef>

// ---------------------------------------------------------------------------------------------
// [SECTION] Settings and their ranges
// ---------------------------------------------------------------------------------------------

// The settings with a range.
enum Setting : int {
    SETTING_FREQUENCY = 0,   // a frequency of the analysis or synthesis range, Hz
    SETTING_PPS = 1,         // time resolution, pixels per second (also the transition resolution)
    SETTING_BPO = 2,         // bands per octave (also the minimum bands per octave)
    SETTING_BASE = 3,        // frequency-scale base, 1 linear .. 2 logarithmic
    SETTING_SOUND_RATE = 4,  // sample rate of a sound file or a project's sound block, Hz
    SETTING_DEVICE_RATE = 5, // the program's own sample rate (audio device and synthesis), Hz
    SETTING_THREADS = 6,     // threads of a batch command, a whole number
    SETTING_SEED = 7,        // random seed of a batch command
    SETTING_PLOT_SIZE = 8,   // width or height of a readable picture's plot area, pixels
    SETTING_FEATHER = 9,     // soft edge of new selection shapes, pixels
    SETTING_COUNT = 10,
};

// One setting's accepted range.
struct SettingRange {
    const char* what; // "frequency": names the value in messages
    double lo, hi;    // smallest and largest accepted value
    const char* unit; // " Hz", " px/s" or "": printed after the numbers
    bool whole;       // only whole numbers are accepted
};

extern const SettingRange SETTING_RANGES[SETTING_COUNT]; // indexed by Setting

constexpr int SOUND_RATE_MAX = 768000; // Hz: the fastest rate a sound file may carry
constexpr int SOUND_RATE_MIN = 1;      // Hz: the slowest

// Whether `v` lies within the range of `setting` (NaN and infinities never do).
bool setting_in_range(Setting setting, double v);

// Null when `v` lies within the range of `setting`; otherwise writes into `why` (`size`
// bytes) why it is refused, as "1e+09 Hz is above the largest supported, 26000 Hz", and
// returns `why`. NaN and infinities are refused too.
const char* setting_fault(Setting setting, double v, char* why, size_t size);
