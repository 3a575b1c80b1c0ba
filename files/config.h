// Configuration file: "config.txt" in the application-data folder. Read once at start-up,
// rewritten in full by the editor whenever a setting it stores changes; never written by the
// batch commands. The values live in the program-wide globals and command slots of
// core/state.h; this file only moves them to and from the disk.
#pragma once

// Path of "config.txt", computed on first use (null when there is no home folder).
const char* get_config_path();

// Sets the defaults and reads the file if it exists; writes nothing and makes no folder (the
// batch commands, of which many may run at once, only read). Returns whether a file was read.
bool config_read();

// The editor's start: config_read, a missing file queuing Linear Knob Control for the first
// frame, then the file written back (created when missing).
void config_load();

// Writes the whole file through a ReplacingFile (a unique temporary name in the same folder,
// fsynced and renamed). Without `force`, only once the file has been written in this run.
void config_save(int force);

// Whether the knob panel exists; the tool-width and tool-intensity lines are written only then.
// The panel sets this hook when it is built; it returns the two knob values.
extern bool (*config_tool_knobs)(float* width, float* intensity);
