// Configuration file: reading, writing and the reading rules of each line.
#include "files/config.h"
#include "core/limits.h"
#include "core/state.h"
#include "core/units.h"
#include "platform/desktop.h"
#include "platform/util.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

bool (*config_tool_knobs)(float* width, float* intensity) = nullptr;

// ---------------------------------------------------------------------------------------------
// [SECTION] Path
// ---------------------------------------------------------------------------------------------

// Path of "config.txt"; the data folder is made when `create` is set.
static const char* config_path(int create)
{
    // Recomputed on each use (it is cheap) so that a change of the data folder is followed.
    static std::string path;
    char* p = make_appdata_path(APPDATA_FOLDER, "config.txt", create);
    if (!p)
        return nullptr;
    path = p;
    free(p);
    return path.c_str();
}

const char* get_config_path() { return config_path(1); }

// ---------------------------------------------------------------------------------------------
// [SECTION] Reading
// ---------------------------------------------------------------------------------------------

// Text to integer; text that is not a number gives 0, values beyond int are clamped.
static int read_int(const char* text)
{
    long v = strtol(text, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int)v;
}

// Text to a float setting; text that is not a finite number leaves the setting as it was.
static void read_float(const char* text, float* dest)
{
    char* end;
    double v = strtod(text, &end);
    if (end == text)
        v = 0.0; // not a number: the conversion gives 0
    if (std::isfinite((float)v))
        *dest = (float)v;
}

// A byte-wide command slot set from an integer line.
static void read_slot(const char* text, int slot)
{
    key[slot] = (int8_t)read_int(text);
}

// An option stored as on/off whose state slot may differ from the file: queue its toggle
// request so that the first frame brings it into the stored state.
static void read_toggle(const char* text, int request_slot)
{
    bool want = read_int(text) != 0;
    bool have = key[state_of(request_slot)] != 0;
    key[request_slot] = want != have ? 1 : 0;
}

// A window dimension: 0 keeps the automatic size, anything else is at least `minimum`.
static int read_window_size(const char* text, int minimum)
{
    int v = read_int(text);
    return v != 0 && v < minimum ? minimum : v;
}

// Whether `value` of the line `name` lies in the range of `setting`; otherwise says so, naming
// the line and the value kept.
static bool in_range(Setting setting, double value, const char* name, double kept, int line_number)
{
    char why[160];
    if (!setting_fault(setting, value, why, sizeof why))
        return true;
    wrfprintf(stderr, "Line %d of %s: %s = %s; %g is kept\n", line_number, get_config_path(), name, why, kept);
    return false;
}

// Applies one "name = value" pair of line `line_number`; unknown names are ignored, values
// outside their setting's range leave the setting as it was.
static void apply_setting(const char* name, const char* value, int line_number)
{
    struct IntSetting { const char* name; int* dest; };
    static const IntSetting ints[] = {
        {"audio_buffer_size", &SOUND_BUFFERLEN},
        {"waveform_display_height", &WAVEFORM_H},  {"cursor_slow_rate", &mouse_sub_range},
        {"spray_harmonics", &spray_harmonics},     {"initial_kbz_size_limit", &KBZ_SIZE_LIMIT},
        {"undo_memory_mb", &UNDO_MEMORY_MB},
    };
    struct FloatSetting { const char* name; float* dest; };
    static const FloatSetting floats[] = {
        {"live_cursor_fps", &live_cursor_fps}, {"tool_width", &tool_width},
        {"tool_intensity", &tool_intensity},   {"min_point_size", &min_rad},
    };
    // The analysis settings, checked against the ranges every other way in is held to.
    struct RangedSetting { const char* name; float* dest; Setting range; };
    static const RangedSetting ranged[] = {
        {"min_frequency", &MIN_FREQ, SETTING_FREQUENCY},  {"max_frequency", &MAX_FREQ, SETTING_FREQUENCY},
        {"pixels_per_second", &ANAL_PPS, SETTING_PPS},    {"bands_per_octave", &ANAL_BPO, SETTING_BPO},
        {"min_bpo", &MIN_BPO, SETTING_BPO},               {"max_time_res_for_min_bpo", &TRANSITION_PPS, SETTING_PPS},
        {"selection_feather", &selection_feather, SETTING_FEATHER},
    };
    struct SlotSetting { const char* name; int slot; };
    static const SlotSetting slots[] = {
        {"save_to_pcm_24", K_PCM24}, {"history_menu_on", K_HISTORY_MENU},
        {"history_relative_selection_index", K_RELATIVE_SELECTION},
    };
    static const SlotSetting units[] = {
        {"history_time_unit", K_TIME_UNIT}, {"history_pos_unit", K_POS_UNIT}, {"history_dim_unit", K_DIM_UNIT},
    };

    for (const IntSetting& s : ints)
        if (strcmp(name, s.name) == 0)
            *s.dest = read_int(value);
    for (const FloatSetting& s : floats)
        if (strcmp(name, s.name) == 0)
            read_float(value, s.dest);
    for (const RangedSetting& s : ranged)
        if (strcmp(name, s.name) == 0) {
            float v = *s.dest;
            read_float(value, &v);
            if (in_range(s.range, v, name, *s.dest, line_number))
                *s.dest = v;
        }
    if (strcmp(name, "audio_sample_rate") == 0) {
        const long v = strtol(value, nullptr, 10);
        if (in_range(SETTING_DEVICE_RATE, (double)v, name, SOUND_SAMPLERATE, line_number))
            SOUND_SAMPLERATE = (int)v;
    }
    for (const SlotSetting& s : slots)
        if (strcmp(name, s.name) == 0)
            read_slot(value, s.slot);
    for (const SlotSetting& s : units)
        if (strcmp(name, s.name) == 0)
            key[s.slot] = (int8_t)identify_unit(value);
    if (strcmp(name, "live_synth_on") == 0)
        read_toggle(value, K_LIVE_SYNTH);
    if (strcmp(name, "linear_knob_control") == 0)
        read_toggle(value, K_LINEAR_KNOB);
    if (strcmp(name, "window_width") == 0)
        SCRN_W = read_window_size(value, MIN_SCRN_W);
    if (strcmp(name, "window_height") == 0)
        SCRN_H = read_window_size(value, MIN_SCRN_H);
}

// Splits a line of the form `name = value` (spaces around "=" optional) into two words.
// Returns false for lines of another shape, which are ignored.
static bool split_line(char* line, char** name, char** value)
{
    char* p = line;
    while (*p == ' ' || *p == '\t')
        p++;
    *name = p;
    while (*p && *p != ' ' && *p != '\t' && *p != '=' && *p != '\n' && *p != '\r')
        p++;
    if (p == *name)
        return false;
    char* name_end = p;
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p != '=')
        return false;
    *name_end = 0;
    p++;
    while (*p == ' ' || *p == '\t')
        p++;
    *value = p;
    while (*p && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r')
        p++;
    *p = 0;
    return true;
}

bool config_read()
{
    // Only a file that is there is opened: a missing one is no error here.
    const char* path = config_path(0);
    FILE* f = path && access(path, F_OK) == 0 ? wrfopen(path, "r") : nullptr;

    settings_defaults();
    key[K_HISTORY_MENU] = 0;
    key[K_TIME_UNIT] = UNIT_SEC;
    key[K_POS_UNIT] = UNIT_HZ;
    key[K_DIM_UNIT] = UNIT_ST;
    key[K_RELATIVE_SELECTION] = 0;
    key[K_PCM24] = 0;
    const float default_min = MIN_FREQ, default_max = MAX_FREQ;

    if (f) {
        char line[2050];
        int line_number = 0;
        while (fgets(line, sizeof line, f)) {
            line_number++;
            size_t n = strlen(line);
            if (n == sizeof line - 1 && line[n - 1] != '\n') {
                // Longer than a line buffer: skip the rest of it.
                int c;
                while ((c = fgetc(f)) != EOF && c != '\n') {
                }
                wrfprintf(stderr, "Line %d of %s is too long, skipped\n", line_number, path);
                continue;
            }
            char *name, *value;
            if (split_line(line, &name, &value))
                apply_setting(name, value, line_number);
        }
        fclose(f);
        if (!(MIN_FREQ < MAX_FREQ)) {
            const float low = MIN_FREQ, high = MAX_FREQ;
            MIN_FREQ = default_min;
            MAX_FREQ = default_max;
            wrfprintf(stderr, "%s: min_frequency %g Hz is not below max_frequency %g Hz; %g Hz - %g Hz are kept\n",
                      path, low, high, MIN_FREQ, MAX_FREQ);
        }
    }
    return f != nullptr;
}

void config_load()
{
    if (!config_read()) {
        wrfprintf(stderr, "Configuration file not found. Creating it.\n");
        if (!key[state_of(K_LINEAR_KNOB)])
            key[K_LINEAR_KNOB] = 1;
    }
    config_save(1);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Writing
// ---------------------------------------------------------------------------------------------

void config_save(int force)
{
    static bool init = false; // written once in this run
    if (!force && !init)
        return;
    init = true;

    const char* path = get_config_path();
    if (!path)
        return;
    // Written under a unique name beside the file and renamed over it, so that a failure
    // half-way never leaves a truncated configuration and two writers never share a file.
    ReplacingFile out;
    if (!out.open(path)) {
        wrfprintf(stderr, "%s: the settings cannot be saved: %s\n", path, strerror(errno));
        return;
    }
    FILE* f = out.f;

    fprintf(f, "audio_buffer_size = %d\n", SOUND_BUFFERLEN);
    fprintf(f, "audio_sample_rate = %d\n", SOUND_SAMPLERATE);
    fprintf(f, "waveform_display_height = %d\n", WAVEFORM_H);
    fprintf(f, "cursor_slow_rate = %d\n", mouse_sub_range);
    fprintf(f, "spray_harmonics = %d\n", spray_harmonics);
    fprintf(f, "initial_kbz_size_limit = %d\n", KBZ_SIZE_LIMIT);
    fprintf(f, "save_to_pcm_24 = %d\n", (int)key[K_PCM24]);
    fprintf(f, "live_cursor_fps = %g\n", live_cursor_fps);
    fprintf(f, "undo_memory_mb = %d\n", UNDO_MEMORY_MB);
    fprintf(f, "\n");
    fprintf(f, "min_frequency = %g\n", MIN_FREQ);
    fprintf(f, "max_frequency = %g\n", MAX_FREQ);
    fprintf(f, "pixels_per_second = %g\n", ANAL_PPS);
    fprintf(f, "bands_per_octave = %g\n", ANAL_BPO);
    fprintf(f, "min_bpo = %g\n", MIN_BPO);
    fprintf(f, "max_time_res_for_min_bpo = %g\n", TRANSITION_PPS);
    fprintf(f, "\n");
    fprintf(f, "history_menu_on = %d\n", (int)key[K_HISTORY_MENU]);
    fprintf(f, "history_time_unit = %s\n", unit_to_name(key[K_TIME_UNIT]));
    fprintf(f, "history_pos_unit = %s\n", unit_to_name(key[K_POS_UNIT]));
    fprintf(f, "history_dim_unit = %s\n", unit_to_name(key[K_DIM_UNIT]));
    fprintf(f, "history_relative_selection_index = %d\n", (int)key[K_RELATIVE_SELECTION]);
    fprintf(f, "\n");
    fprintf(f, "live_synth_on = %d\n", (int)key[state_of(K_LIVE_SYNTH)]);
    fprintf(f, "window_width = %d\n", SCRN_W);
    fprintf(f, "window_height = %d\n", SCRN_H);
    float width, intensity;
    if (config_tool_knobs && config_tool_knobs(&width, &intensity)) {
        fprintf(f, "tool_width = %g\n", width);
        fprintf(f, "tool_intensity = %g\n", intensity);
    }
    fprintf(f, "linear_knob_control = %d\n", (int)key[state_of(K_LINEAR_KNOB)]);
    fprintf(f, "selection_feather = %g\n", selection_feather);

    if (out.commit() != 0)
        wrfprintf(stderr, "%s: the settings cannot be saved: %s\n", path, strerror(errno));
}
