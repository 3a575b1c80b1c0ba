// Replay of history files and archives: a `.kbz` file is carried out line by line, calling the
// same document operations as the interactive commands, so that opening it rebuilds the
// document. Nothing reaches the history while a replay runs (slot 114).
//
// The line handler keeps its state from one line, and from one file, to the next: the current
// block kind (layer, separator, original sound or image, stroke, rectangle), the stroke
// parameters, the pending rectangle and the file's version. Every number read from a file is
// checked before it sizes anything, so that any bytes can be replayed without harm.
#pragma once

#include "core/records.h"

#include <cstddef>
#include <cstdio>

// ---------------------------------------------------------------------------------------------
// [SECTION] Limits
// ---------------------------------------------------------------------------------------------

constexpr int REPLAY_LINE_MAX = 2048;     // characters of a line before its line end; longer lines are skipped
constexpr int REPLAY_DEPTH_MAX = 4;       // archives opening archives: nested replays allowed at once
constexpr int REPLAY_SIDE_MAX = 1 << 15;  // largest width or height a file may give a plane
constexpr long long REPLAY_PIXELS_MAX = 1LL << 28; // largest plane a file may ask for, in pixels

// ---------------------------------------------------------------------------------------------
// [SECTION] Hooks: what the window does during a replay (all null headless)
// ---------------------------------------------------------------------------------------------

struct ReplayHooks {
    void (*present)(EngineState* es);        // at a refresh point: the frame buffer goes to the window, pending events are dropped
    void (*knobs_follow)(EngineState* es);   // the frequency, scale and time-resolution knobs take the engine state's values
    void (*options_checks)(EngineState* es); // the Options menu's check marks follow slots 40 and 42
    void (*progress)(long done, long total, void* ctx); // after each line: bytes read of the outermost file
    void* progress_ctx;                      // handed to `progress`
    // At the end of the outermost replay of `path` when `count` lines were refused or skipped
    // with a warning (`first` the first of them, without its line end): the editor says so on
    // its status line, since the warnings themselves only reach standard error.
    void (*warned)(const char* path, int count, const char* first);
};

extern ReplayHooks replay_hooks; // installed by the program (or a batch command); all null otherwise

// ---------------------------------------------------------------------------------------------
// [SECTION] Replay
// ---------------------------------------------------------------------------------------------

// What run_line made of a line.
enum ReplayLine : int {
    LINE_IGNORED = 0, // an empty line (a refresh point), a comment or a word that is no keyword
    LINE_COMMAND = 1, // a line of the grammar, carried out (values out of range are refused with a warning)
    LINE_QUIT = 2,    // "Quit": the replay stops here; slot 0 is set
};

// Replays the file at `path` into the document of `es`: lines of at most 2048 characters go to
// run_line (longer ones, and a last line without its line end, are skipped with a warning);
// a "Quit" line ends the replay. Then the selection is made valid, the name counter follows
// the layer count, the knobs and the layer list are refreshed, `change_state` becomes 3 and
// slot 36 is set. `title` (`title_size` bytes, may be null) receives a "Title" line; `opened`
// (may be null) is handed to open_file for "Open" lines. "Save" lines write only within the
// folder of the outermost file (relative names are taken from there, links resolved) and never
// over an existing file; others are refused with a warning naming the line. Only a regular file
// is replayed. Slot 114 stays set until the outermost replay ends. Returns the number of lines that were commands (0: the file is not a
// project or history), or -1 when the file cannot be opened or the replay would nest deeper
// than REPLAY_DEPTH_MAX (one line on stderr).
int load_archive(const char* path, EngineState* es, char* title, size_t title_size, int* opened);

// Carries out one line (without or with its line end). `stream` (null when the line does not
// come from a file) supplies the data line of a "Base85" block; `line_no` (may be null) is the
// number of the line, advanced by one for a data line read. Returns a ReplayLine.
int run_line(const char* line, EngineState* es, char* title, size_t title_size, int* opened, FILE* stream,
             int* line_no);

// A warning of the replay ("Warning: line N: ..." with its line end): written to standard error
// and counted for the `warned` hook.
void replay_warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Replays running at the moment (0 outside a replay; more than 1 while an archive opens one).
int replay_depth();

// Test hook: the line handler's state back to its start values (block kind none, version 1.2,
// units px, radii 2, strength 0.25, white spray, no pending rectangle).
void replay_reset();
