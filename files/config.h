// Configuration file: "config.txt" in the application-data folder. Read once at start-up,
// rewritten in full whenever a setting it stores changes. The values live in the program-wide
// globals and command slots of core/state.h; this file only moves them to and from the disk.
#pragma once

// Path of "config.txt", computed on first use (null when there is no home folder).
const char* get_config_path();

// Sets the defaults, reads the file if it exists (a missing file is created and queues Linear
// Knob Control for the first frame), then writes the file back.
void config_load();

// Writes the whole file. Without `force`, only once the file has been written in this run.
void config_save(int force);

// Whether the knob panel exists; the tool-width and tool-intensity lines are written only then.
// The panel sets this hook when it is built; it returns the two knob values.
extern bool (*config_tool_knobs)(float* width, float* intensity);
