// The layer list: the commands that add, remove, reorder, select, switch off and blend layers,
// the Undo exchange, resizing the document, the gamma and intensity steps of the layer knobs,
// and the labels of the layer list. Commands act on the selected entry, write one history line
// each, end with a step boundary of the Undo history (undo_commit) and ask the window for
// refreshes through the document hooks.
#pragma once

#include "core/records.h"

#include <cstddef>

// ---------------------------------------------------------------------------------------------
// [SECTION] Dispatch
// ---------------------------------------------------------------------------------------------

// Runs the pending layer requests of the command slots, in this order: selection (65), New
// Layer .. Move Layer Down (87..94), blending modes (99..112), Undo (24) and Redo (14) of a
// step, View Current Layer Only (95), View Current Group Only (97), Turn Off Layer (144); clears
// each slot it read. Then slot 113 follows the layer count (1 when more than one entry), laying
// out the knob panel again when it changes. Main thread.
void layer_commands(EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Layer-list commands (each returns 1 when it acted, 0 when it did nothing)
// ---------------------------------------------------------------------------------------------

int new_layer(EngineState* es);              // an empty layer above the selected one
int duplicate_layer(EngineState* es);        // a copy of the selected entry above it
int add_separator(EngineState* es);          // a separator "----" above the selected entry
int merge_down_layer(EngineState* es);       // blends the selected layer into the one below and removes it
int delete_layer(EngineState* es);           // removes the selected entry (never the last one)
int merge_all_to_new_layer(EngineState* es); // a copy of the composite as a new topmost layer
int move_layer_up(EngineState* es);          // exchanges the selected entry with the one above
int move_layer_down(EngineState* es);        // exchanges the selected entry with the one below
int select_layer(EngineState* es, int position); // selects the entry at `position` (1 = top of the list)
int turn_off_layer(EngineState* es);         // inverts the selected entry's `off` ("Turn off layer", "Turn on layer")
int view_layer_only(EngineState* es);        // toggles View Current Layer Only (slot 96)
int view_group_only(EngineState* es);        // toggles View Current Group Only (slot 98)
int set_blending(EngineState* es, int mode); // sets the selected entry's blending mode 0..13
int undo_layer(EngineState* es);             // exchanges the selected layer with the undo plane (the "Undo" line of stored files)

// ---------------------------------------------------------------------------------------------
// [SECTION] Table primitives (no history, no hooks)
// ---------------------------------------------------------------------------------------------

// Inserts a zeroed entry directly above the selected one (at 0 in an empty table), selects it
// and returns its index; -1 with one line on stderr when the table is full. The caller holds
// `layers_lock` when other threads may composite.
int layer_insert_above(ImageStack* image);

// Releases entry `index`'s plane and name and moves the entries above it down one place. The
// selection is not changed. The caller holds `layers_lock` when other threads may composite.
void layer_remove(ImageStack* image, int index);

// Exchanges the selected entry with its neighbour (`direction` +1 above, -1 below) and keeps it
// selected; takes `layers_lock`. Returns 0 when there is no such neighbour.
int move_layer(ImageStack* image, int direction);

// ---------------------------------------------------------------------------------------------
// [SECTION] Document size
// ---------------------------------------------------------------------------------------------

// Resizes the document to width x height (with `force` 0 never smaller than now), keeping the
// top-left part of every layer; makes new zeroed composite, group accumulator, transposed,
// reference and undo planes and shows the whole document (zoom 1 x 1). Takes no lock. Returns
// 0 without changing anything when the size is not usable.
int new_dimensions(ImageStack* image, int width, int height, int force);

// ---------------------------------------------------------------------------------------------
// [SECTION] Gamma and intensity steps
// ---------------------------------------------------------------------------------------------

// Under `layers_lock`: with `restore` first `undo_to_layer`, then every pixel v of the selected
// layer becomes powf(v, exponent). Nothing on a separator. Waits for a background step first.
void gamma_layer(ImageStack* image, float exponent, int restore);

// gamma_layer on its own thread; returns 0 (and does nothing) while the previous one runs.
int gamma_layer_background(ImageStack* image, float exponent, int restore);

// Under `layers_lock`: with `restore` first `undo_to_layer`, then every pixel of the selected
// layer is multiplied by `factor`. Nothing on a separator. Waits for a background step first.
void intensitify_layer(ImageStack* image, float factor, int restore);

// intensitify_layer on its own thread; returns 0 (and does nothing) while the previous one runs.
int intensitify_layer_background(ImageStack* image, float factor, int restore);

// Waits until no background gamma or intensity step runs (before a document is released).
void layer_steps_wait();

// ---------------------------------------------------------------------------------------------
// [SECTION] Layer list labels
// ---------------------------------------------------------------------------------------------

// The layer list's label of entry `index` into `out`: "%s [%s]" with the name and the blending
// tag, prefixed "(off) " when the entry is turned off and "(group-off) " when it lies in the
// group of a separator that is turned off. Returns 0 (empty text) for an index outside the table.
int layer_label(ImageStack* image, int index, char* out, size_t size);
