// Deep Undo and Redo: the document's history of steps. A step is everything that changed between
// two step boundaries: the layer table before and after, and for every changed layer the box of
// changed pixels with their values before and after. Boundaries are explicit undo_commit calls at
// the end of each command, made by the document functions the editor and the replay share, so
// that a replayed history builds the same steps as the session that wrote it.
//
// The history keeps a shadow of every layer plane as of the last boundary (keyed by the layer's
// stable id); a commit compares each plane with its shadow row by row, so only what changed is
// copied. A layer that does not exist on one side of a step counts as all zeros there: a new
// blank layer costs nothing, a deleted one its non-zero box.
//
// Main thread only. The functions take `layers_lock` themselves: call them without it.
#pragma once

#include "core/records.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Records
// ---------------------------------------------------------------------------------------------

// One entry of the layer table as a step remembers it.
struct UndoEntry {
    int32_t id;        // stable id of the layer (Layer::id)
    int32_t has_plane; // 1 for a layer, 0 for a separator
    float gamma;       // Layer::gamma
    int32_t blend;     // Layer::blend
    int32_t conv_x;    // Layer::conv_x
    int32_t conv_y;    // Layer::conv_y
    int32_t conv_set;  // Layer::conv_set
    int32_t group;     // Layer::group
    int32_t off;       // Layer::off
    int32_t disabled;  // Layer::disabled
    std::string name;  // Layer::name
};

// The layer table as a step remembers it.
struct UndoTable {
    std::vector<UndoEntry> entries; // entries 0 .. count - 1, bottom first
    int32_t sel = 0;                // selected entry
    int32_t name_counter = 0;       // number for the next automatic layer name
};

// The changed pixels of one layer: a box and its values on both sides of the step.
struct UndoBox {
    int32_t id;                // the layer's id
    int32_t x, y, w, h;        // the box, document pixels
    std::vector<float> before; // w * h values before the step, row after row; empty: all zeros
    std::vector<float> after;  // w * h values after the step; empty: all zeros
};

// One step of the history.
struct UndoStep {
    std::string label;          // what the menu calls it ("Stroke", "Square Root")
    UndoTable before, after;    // the layer table on both sides
    std::vector<UndoBox> boxes; // the changed box of each changed layer
    int32_t table_changed;      // 1 when the table changed beyond the selection
    size_t bytes;               // memory counted against the budget
};

// The history of a document (ImageStack::history).
struct UndoHistory {
    std::vector<UndoStep> steps;              // oldest first
    size_t current = 0;                       // steps[0 .. current) can be undone, steps[current ..) redone
    size_t used = 0;                          // bytes held by the steps
    int32_t next_id = 1;                      // id for the next layer without one
    int32_t based = 0;                        // 1 once the shadows were taken for the document of w x h
    int32_t w = 0, h = 0;                     // document size the shadows belong to
    UndoTable shadow_table;                   // the table as of the last boundary
    std::unordered_map<int32_t, Plane> shadows; // each layer's plane as of the last boundary, by id
    int32_t dropped = 0;                      // steps dropped by a clear that the user was not told of yet
    char said[128] = "";                      // the last Undo or Redo, for the status line ("Undo: Stroke")
};

// ---------------------------------------------------------------------------------------------
// [SECTION] Life of a history
// ---------------------------------------------------------------------------------------------

// A new empty history (image_stack_init makes one per document stack).
UndoHistory* undo_history_new();

// Releases a history and its shadows; null does nothing.
void undo_history_free(UndoHistory* h);

// Forgets every step and shadow (a new document replaces the old one); the next commit takes the
// baseline. Steps that could still be undone or redone are counted in `dropped`.
void undo_clear(ImageStack* image);

// Forgets every step and takes the document as it is now as the baseline of a new series.
void undo_restart(ImageStack* image);

// ---------------------------------------------------------------------------------------------
// [SECTION] Steps
// ---------------------------------------------------------------------------------------------

// A step boundary: records what changed since the last one as a step named after `line` (the
// command's history line, see undo_label_of), dropping the steps that could have been redone.
// Nothing changed, or only the selection: no step. The first commit of a document (or after a
// size change) only takes the baseline. A step larger than the budget (`UNDO_MEMORY_MB`) clears
// the history with a line on stderr; older steps are dropped to make room. Returns 1 when a step
// was recorded.
int undo_commit(ImageStack* image, const char* line);

// Undo (`direction` -1) or Redo (+1) of one step: changes still pending first become a step of
// their own; then the table and the pixels of the step's other side come back, the view is
// recomposited and redrawn, the synthesis redoes the blocks the step touched, and "Undo step" or
// "Redo step" is logged. Returns 1 when it acted, 0 when there was nothing to undo or redo.
int undo_step(EngineState* es, int direction);

// A new selection made by a command that is no step ("Selected layer"): the next step's table
// before it holds it, so that undoing that step keeps the layer the user chose.
void undo_note_selection(ImageStack* image);

// The label of the step Undo (-1) or Redo (+1) would act on, null when there is none.
const char* undo_next_label(const ImageStack* image, int direction);

// Steps that can be undone (-1) or redone (+1).
int undo_available(const ImageStack* image, int direction);

// Bytes held by the steps of the history.
size_t undo_bytes(const ImageStack* image);

// The label of a history line into `out`: an operation's name, or the words of other lines up to
// their first number, sign or quote, capitalised but for "by", "to" and "of" ("Operation square
// root" -> "Square Root", "Operation rotation by 90" -> "Rotation by 90", "Draw white spray" ->
// "White Spray", "New layer \"Layer 2\"" -> "New Layer").
void undo_label_of(const char* line, char* out, size_t size);

// The status text of the last Undo or Redo, or of steps dropped by a new document, into `out` and
// cleared; returns 0 (and leaves `out` alone) when there is nothing to say.
int undo_take_message(ImageStack* image, char* out, size_t size);
