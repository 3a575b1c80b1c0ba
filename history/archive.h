// Project archives and the life of the history file: snapshots of the document, copies of the
// history, the history's own rewrite after "Resume Last Session", appending a replayed archive
// to the history, and the header a fresh history begins with when a picture or sound is opened.
//
// Every archive write (snapshot, history copy, history rewrite) goes to a temporary file beside
// the target and replaces the target only once it is complete and on disk: a failed write
// leaves the old file as it was and removes the temporary file. Copies follow the readers' line
// rule (lines over 2048 characters are skipped with a warning) except for Base85 data lines,
// which are copied whole; a data line cut short by the end of the file is closed with "z" so
// that its reader stops there. Quoted names never break a line: a double quote, a line feed or
// a carriage return in a name is written as a space, an empty name as one space, and names are
// shortened to keep their line within 2048 characters.
#pragma once

#include "core/records.h"

// ---------------------------------------------------------------------------------------------
// [SECTION] Saving archives
// ---------------------------------------------------------------------------------------------

// Writes a snapshot of the document of `es` to `path`: settings, original sound and image, and
// every layer with its pixels, under `title`. Written whole even while a replay runs (a "Save"
// line). Takes `layers_lock` while the layers are written. Returns 0, or -1 when the file
// could not be written (the old file is left untouched).
int save_archive_status(const char* path, EngineState* es, const char* title);

// Copies the history file to `path`. The history stream is closed for the copy and reopened
// for appending if it was open. A missing history gives an empty archive. Returns 0, or -1
// when the archive could not be written (the old file is left untouched).
int save_archive_history(const char* path);

// Saves `path` as a snapshot when slot 116 is set, otherwise as a copy of the history.
int save_archive(const char* path, EngineState* es, const char* title);

// ---------------------------------------------------------------------------------------------
// [SECTION] The history file after a replay
// ---------------------------------------------------------------------------------------------

// Appends the archive at `path`, just replayed, to the history (opened, truncating, if no
// history stream is open): an empty line, the archive's lines, and a closing line end when its
// last line is not empty. When `path` is the history file itself it is rewritten instead
// (update_history_file). Returns 0, or -1 when the archive could not be read.
int copy_archive(const char* path);

// Rewrites the history file under the line rule (after the history itself was replayed) and
// reopens it for appending. A missing history does nothing and returns 0; -1 when the rewrite
// failed ("rename failed" on stderr), in which case the old history is kept and reopened.
int update_history_file();

// ---------------------------------------------------------------------------------------------
// [SECTION] The header of a fresh history
// ---------------------------------------------------------------------------------------------

// Closes the history and begins it anew with the header of the document just opened from
// `path` (`kind` FILE_IMAGE or FILE_SOUND; an empty path is the blank document): the document
// itself when it fits within KBZ_SIZE_LIMIT megabytes (always for an empty path), otherwise an
// "Open" line naming the file. A path that no line can carry (a double quote, a line break, or
// too long) is embedded whatever its size. Does nothing while a replay runs. The program and
// the batch commands install it as `open_hooks.begin_history`.
void begin_history(EngineState* es, const char* path, int kind);

// Name of the synthesis mode in force, as in "Synthesis %s": "lossless" when lossless mode is
// on, else "live" when live synthesis is on (slot 133), else "noise".
const char* synthesis_name();
