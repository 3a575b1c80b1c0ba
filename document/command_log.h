// The command log: every editing action is written, as it happens, as lines of text into the
// history file, with timestamps and with positions and sizes in the units the user chose.
// `print_cmd` is the one entry point; `convert_unit` converts between pixels and the units.
#pragma once

#include "core/records.h"

#include <cstdint>
#include <cstdio>

// Write modes of print_cmd.
enum CmdMode : int {
    CMD_TIMED = 0,        // a command with a time: timestamp, text, line end
    CMD_POINT = 1,        // one point of a painted stroke: text, then a "T+" timestamp
    CMD_CONTINUATION = 2, // headers, parameters, data markers: text and a line end
    CMD_HEADER = 3,       // the history header: absolute timestamp, text, line end
};

// Writes one command in `mode` to the history file (opened, truncating, on first use). Nothing
// is written while a replay runs (slot 114); when the file cannot be created nothing is
// written and the next command tries again.
void print_cmd(int mode, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes the timestamp of `mode` to `stream`: relative ("Time +%.3f s", "T+%.3fs") within five
// minutes of the previous one, absolute in UTC otherwise, nothing within 2 ms.
void printf_time(FILE* stream, int mode);

// Milliseconds on a monotonic clock, never 0 (the timestamp rules use 0 for "never").
uint32_t log_ticks();

// Test hook: the clock print_cmd reads (null restores the real one) and a reset of the
// previous-timestamp and previous-mode memory.
void command_log_set_clock(uint32_t (*clock)());
void command_log_reset();

// Closes the history file if it is open (the next command opens it again, truncating).
void command_log_close();

// Converts `value` (or the number or note in `text` when it is not null) from unit `from` to
// unit `to` on the time axis (`horizontal` 1) or the frequency axis (0) of the document of
// `es`. From pixels with `to_text` set, the result is also printed into `text` ("%g", or a
// note name for notes). Returns the converted value; 0 for unknown units or unreadable notes.
float convert_unit(char* text, int from, int to, EngineState* es, int horizontal, int to_text, float value);

// Whether a vertical value is a note text (its first character a capital letter A to G).
bool is_note_text(const char* text);

// `text` in unit `unit` converted to pixels on the time axis (`horizontal` 1) or the frequency
// axis (0, where a note text is read as a note whatever the unit).
float text_to_px(const char* text, int unit, EngineState* es, int horizontal);

// `v` as a replay reads it back from the history, where "%g" wrote it with six digits.
float logged_float(float v);

// The column and row, in pixels, that a replay paints for a stroke point logged as `x_text` and
// `y_text` in units `unit_x` and `unit_y`. The live stroke paints these too, so that a replay
// of its history gives the same pixels.
void logged_point_px(const char* x_text, const char* y_text, int unit_x, int unit_y, EngineState* es, float* x,
                     float* y);

// The note text of a frequency: name, octave and cents, as "A4+00" (cents signed, two digits).
void note_text(char* out, size_t size, float freq);
