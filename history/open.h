// The open sequence: replaces the document by a picture, a sound, a blank picture (empty path)
// or a project archive, and resets everything that belongs to the old document.
#pragma once

#include "core/records.h"

// What the window does around an open; all null without a window (batch commands, tests).
struct OpenHooks {
    void (*stop_synthesis)(EngineState* es);  // stop the synthesis workers before the document goes
    void (*after_open)(EngineState* es);      // knobs, menus, view reset, redraw for the new document
    void (*begin_history)(EngineState* es, const char* path, int kind); // close the history and begin it anew
};

extern OpenHooks open_hooks; // set by the program at start-up

// Opens `path` (rewritten in place, PATH_TEXT_LEN bytes): a path that cannot be read is looked
// for again in `current_doc_directory`, and emptied when it is not there either (the blank
// picture). Sets *opened to 1 when a document was opened. A file that cannot be read as what its
// name says is refused after one line on standard error: slot 7 (Open again) is set, *opened
// stays 0, and a picture or sound leaves the document, its synthesis and playback untouched (a
// project, which replays into the document, leaves it to be synthesised again); so does
// anything but a regular file (a FIFO, a device), refused before the old document is touched.
void open_file(char* path, EngineState* es, int* opened);
