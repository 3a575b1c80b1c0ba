// The command log: history lines with timestamps, and the unit conversions of their values.
#include "document/command_log.h"

#include "core/state.h"
#include "core/units.h"
#include "dsp/scale.h"

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

// ---------------------------------------------------------------------------------------------
// [SECTION] Clock and timestamps
// ---------------------------------------------------------------------------------------------

static int prev_inline = 0;                  // write mode of the previous command
static uint32_t then = 0;                    // tick count of the previous timestamp decision, 0 before the first
static uint32_t (*log_clock)() = log_ticks;  // where timestamps read the time

uint32_t log_ticks()
{
    using namespace std::chrono;
    static const steady_clock::time_point start = steady_clock::now();
    // Offset by one second so that the first reading is never 0 ("no previous timestamp").
    return (uint32_t)duration_cast<milliseconds>(steady_clock::now() - start).count() + 1000u;
}

void command_log_set_clock(uint32_t (*clock)()) { log_clock = clock ? clock : log_ticks; }

void command_log_reset()
{
    prev_inline = 0;
    then = 0;
}

void command_log_close()
{
    if (cmd_out_file) {
        fclose(cmd_out_file);
        cmd_out_file = nullptr;
    }
}

void printf_time(FILE* stream, int mode)
{
    const uint32_t now = log_clock();
    const uint32_t e = now - then;
    if (then != 0 && mode != CMD_HEADER && e < 300001) {
        const float sec = (float)e / 1000.f;
        if (mode == CMD_TIMED) {
            if (e >= 2)
                fprintf(stream, e <= 99 ? "Time +%.3f s\n" : "Time +%.2f s\n", sec);
        } else if (mode == CMD_POINT) {
            fprintf(stream, "T+%.3fs\n", sec);
        }
    } else if (e >= 2) {
        const time_t t = time(nullptr);
        struct tm gm;
        char time_string[32];
        gmtime_r(&t, &gm);
        strftime(time_string, sizeof time_string, "%Y-%m-%d %H:%M:%S", &gm);
        fprintf(stream, "Time %s\n", time_string);
    }
    then = now;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Writing commands
// ---------------------------------------------------------------------------------------------

static void vprint_cmd(int mode, const char* format, va_list args)
{
    if (key[K_REPLAYING])
        return;
    if (!cmd_out_file) {
        if (!history_path)
            return;
        cmd_out_file = fopen(history_path, "w");
        if (!cmd_out_file)
            return;
    }
    if (key[K_HISTORY_HEADER]) {
        key[K_HISTORY_HEADER] = 0;
        print_cmd(CMD_CONTINUATION, "%s", "Brindlewharf Archive v1.2");
        print_cmd(CMD_HEADER, "%s", "");
    }
    if (mode != CMD_POINT && prev_inline == CMD_POINT)
        fputc('\n', cmd_out_file);
    prev_inline = mode;
    switch (mode) {
    case CMD_TIMED:
        printf_time(cmd_out_file, CMD_TIMED);
        vfprintf(cmd_out_file, format, args);
        fputc('\n', cmd_out_file);
        break;
    case CMD_POINT:
        vfprintf(cmd_out_file, format, args);
        printf_time(cmd_out_file, CMD_POINT);
        break;
    case CMD_CONTINUATION:
        vfprintf(cmd_out_file, format, args);
        fputc('\n', cmd_out_file);
        break;
    default:
        printf_time(cmd_out_file, CMD_HEADER);
        vfprintf(cmd_out_file, format, args);
        fputc('\n', cmd_out_file);
        break;
    }
    fflush(cmd_out_file);
}

void print_cmd(int mode, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprint_cmd(mode, format, args);
    va_end(args);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Units
// ---------------------------------------------------------------------------------------------

void note_text(char* out, size_t size, float freq)
{
    const double note = freq_to_note(freq);
    const int whole = (int)lround(note);
    double cents = (note - whole) * 100.0;
    if (fabs(cents) < 0.001)
        cents = 0.0;
    char buf[64];
    snprintf(buf, sizeof buf, "%s%d%+06.2f", NOTE_NAMES[note_in_octave(whole)], note_octave(whole), cents);
    size_t n = strlen(buf);
    while (n > 0 && buf[n - 1] == '0')
        buf[--n] = 0;
    if (n > 0 && buf[n - 1] == '.')
        buf[--n] = 0;
    snprintf(out, size, "%s", buf);
}

// Frequency of a note text such as "A4+00" or "C#3-12.5"; 0 when it does not parse.
static float parse_note(const char* text)
{
    char name[8] = {0};
    int octave = 0;
    float cents = 0.f;
    if (!text || sscanf(text, "%7[A-G#]%d%g", name, &octave, &cents) < 2)
        return 0.f;
    for (int i = 0; i < 12; i++)
        if (strcmp(name, NOTE_NAMES[i]) == 0)
            return note_to_freq((float)i + 12.f * (float)octave + 0.01f * cents);
    return 0.f;
}

float convert_unit(char* text, int from, int to, EngineState* es, int horizontal, int to_text, float value)
{
    const ImageStack* im = es->image;
    const float W = im ? (float)im->w : 0.f, H = im ? (float)im->h : 0.f;
    const float fmin = es->anal_params[0], fmax = es->anal_params[1];
    const float pps = es->anal_params[2], b = es->anal_params[6];
    auto logb = [b](float x) { return b == 1.f ? x : logf(x) / logf(b); };
    const float R = (H - 1.f) / (logb(fmax) - logb(fmin));
    const int buf_len = PATH_TEXT_LEN; // callers pass x_value / y_value

    if (from == UNIT_PX && to_text && to != UNIT_NONE) {
        const float v = value;
        float r = 0.f;
        switch (to) {
        case UNIT_PX: r = v; break;
        case UNIT_PCT: r = v * 100.f / (horizontal ? W : H); break;
        case UNIT_SEC: r = v / pps; break;
        case UNIT_HZ: r = log_pos_b(1.f - v / (H - 1.f), fmin, fmax, b); break;
        case UNIT_ST: r = v * 12.f / R; break;
        case UNIT_NOTE: r = log_pos_b(1.f - v / (H - 1.f), fmin, fmax, b); break;
        default: return 0.f;
        }
        if (text) {
            if (to == UNIT_NOTE)
                note_text(text, buf_len, r);
            else
                snprintf(text, buf_len, "%g", r);
        }
        return r;
    }
    if (from == UNIT_HZ && to == UNIT_NOTE && to_text) {
        if (text)
            note_text(text, buf_len, value);
        return value;
    }

    const float v = text ? (float)strtod(text, nullptr) : value;
    if (from == UNIT_NONE || to == UNIT_NONE)
        return 0.f;
    if (from == to)
        return v;
    auto row_of = [&](float f) { return (H - 1.f) - (H - 1.f) * log_pos_inv_b(f, fmin, fmax, b); };
    if (from == UNIT_NOTE && to == UNIT_HZ)
        return parse_note(text);
    if (to != UNIT_PX)
        return 0.f;
    switch (from) {
    case UNIT_PCT: return v * 0.01f * (horizontal ? W : H);
    case UNIT_SEC: return v * pps;
    case UNIT_HZ: return row_of(v);
    case UNIT_ST:
        if (b > 1.f)
            return v * R / 12.f;
        [[fallthrough]];
    case UNIT_NOTE: {
        const float f = parse_note(text);
        return f > 0.f ? row_of(f) : 0.f;
    }
    default: return 0.f;
    }
}

bool is_note_text(const char* text) { return text[0] >= 'A' && text[0] <= 'G'; }

float text_to_px(const char* text, int unit, EngineState* es, int horizontal)
{
    char buf[PATH_TEXT_LEN];
    snprintf(buf, sizeof buf, "%s", text);
    if (!horizontal && is_note_text(buf))
        unit = UNIT_NOTE;
    return convert_unit(buf, unit, UNIT_PX, es, horizontal, 0, 0.f);
}

float logged_float(float v)
{
    char text[32];
    snprintf(text, sizeof text, "%g", (double)v);
    float back = v;
    sscanf(text, "%g", &back);
    return back;
}

void logged_point_px(const char* x_text, const char* y_text, int unit_x, int unit_y, EngineState* es, float* x,
                     float* y)
{
    float v = 0.f;
    sscanf(x_text, "%g", &v);
    *x = convert_unit(nullptr, unit_x, UNIT_PX, es, 1, 0, v);
    *y = text_to_px(y_text, unit_y, es, 0);
}
