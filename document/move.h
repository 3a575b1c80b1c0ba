// The move tool on the document side: shifting the selected layer in time and frequency from the
// copy taken at the press (`undo`), the status text that tells the shift, and its history line.
// Offsets are whole document columns (dx > 0 later in time) and rows (dy > 0 lower in frequency).
#pragma once

#include "core/records.h"

#include <cstddef>

// One pass of a drag: with Shift held keeps only the longer axis on screen; writes the shift into
// `status` (when not null and slot 124 is clear); rebuilds the selected layer as `undo` shifted by
// (dx, dy), under `layers_lock`. Returns 1 when the layer was rebuilt; 0 on a separator or without
// an undo copy.
int move_tool_layer(EngineState* es, char* status, size_t status_size, int dx, int dy);

// The shift alone, as replay applies it: no axis constraint and no status text.
int move_tool_layer_abs(EngineState* es, int dx, int dy);

// Logs the move "Move layer %+g %s x %+g %s" (time unit; frequency-dimension unit, upwards
// positive), after the axis constraint.
void print_move_tool_cmd(EngineState* es, int dx, int dy);
