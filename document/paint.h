// The painting tools on the document side: the Gaussian brush, one dab in each of the six spray
// modes, strokes with their harmonics, the point queue that hands points from the main loop to
// the painting thread, the magnet, and the rectangle tool. The mouse side (presses, releases,
// the continuous redraw) belongs to the main loop; it calls these.
//
// Positions and radii are in document units (columns, rows) unless a name says "mouse"; mouse
// positions are window pixels with their sub-pixel part, mapped through the view's crop.
// Spray index t (called `tool` below): 0 dark, 1 white paint, 2 brighten, 3 smart erase.
#pragma once

#include "core/records.h"

// ---------------------------------------------------------------------------------------------
// [SECTION] Brush
// ---------------------------------------------------------------------------------------------

// e^(-v^2) from a 33-entry table with linear interpolation; 0 for |v| beyond 3.1 and for NaN.
float gaussianf(float v);

// The exact e^(-v^2).
float gaussianf_(float v);

// Clears the synthesis done flag of blocks first..last (clipped to the block table) under the
// engine's lock and sets its sound-changed flag; nothing without a block table.
void mark_blocks_for_synthesis(EngineState* es, int first, int last);

// One dab of spray `tool` (or erase mode) on the selected layer at (x, y) with radii (rx, ry) and
// strength; radii below `min_rad` are widened with the strength reduced in proportion. Marks the
// blocks under the dab and paints under `layers_lock`. Bad numbers paint nothing.
void paint_single_point(EngineState* es, int erase, int tool, float x, float y, float rx, float ry, float strength);

// A point of a stroke with its harmonics: a new click paints one dab (and harm_count - 1
// harmonics above it); a later point paints dabs along the line from the previous point.
void paint_point_abs(EngineState* es, int harm_count, int erase, int tool, int new_click, float x, float y,
                     float rad_x, float rad_y, float strength);

// ---------------------------------------------------------------------------------------------
// [SECTION] Point queue and painting thread
// ---------------------------------------------------------------------------------------------

constexpr int PAINT_QUEUE_SLOTS = 128;   // ring size
constexpr int PAINT_QUEUE_MAX = 125;     // points pending at most; a further point is dropped

// consume = 0 (main loop): appends the point; returns 1, or 0 when 125 points were pending and
// the point was dropped. consume = 1: paints every pending point on the calling thread (the
// point arguments are ignored), then reports the stroke finished through slots 119, 121, 122
// when no stroke is in progress; returns 0 at once when a consumer is already running.
int paint_point_queue(EngineState* es, float x, float y, float rad_x, float rad_y, float strength, int harm_count,
                      int erase, int tool, int new_click, int consume);

// Main thread: starts the painting thread on the queue unless one is running (that one will take
// the new points). Returns 1 when a consumer was started.
int paint_queue_start(EngineState* es);

// Points waiting in the queue.
int paint_queue_pending();

// Main thread: waits, sleeping 1 ms at a time, until the painting thread has finished, and joins
// it. Returns 1, or 0 when it still runs after `timeout_ms`.
int paint_queue_wait_idle(int timeout_ms);

// Main thread, before a document is replaced: asks a running painting thread to stop (slot 120),
// waits until it has (1 ms sleeps), empties the queue and joins the thread. Returns 1, or 0 when
// the thread did not stop within `timeout_ms` (slot 120 then stays set).
int paint_abort_and_wait(int timeout_ms);

// ---------------------------------------------------------------------------------------------
// [SECTION] Spray tools from the mouse
// ---------------------------------------------------------------------------------------------

extern int magnet_x, magnet_y; // the magnet's current snapped document position

// At the press of a spray: when the selected layer's convolution centre was never set, places
// it at the rounded document position of the mouse and logs it. Returns 1 when it was placed.
int paint_press_conv_centre(EngineState* es, float mouse_x, float mouse_y);

// Logs "Central convolution point ..." for the document position (cx, cy) in the user's units;
// the placed centre is one Undo step.
void print_conv_centre(EngineState* es, int cx, int cy);

// Half-extents (columns, rows) of the dab a spray of width `size` (the "Spray width" knob)
// paints at the current zoom: 1.5 `size` window pixels, never below `min_rad`. False when the
// view has no size.
bool brush_radius(const ImageStack* im, float size, float* rx, float* ry);

// The same half-extents in window pixels, which the brush cursor is drawn with.
bool brush_window_radius(const ImageStack* im, float size, float* rx, float* ry);

// One pass of a held spray: maps the mouse to the document (or takes the magnet's point), sizes
// the brush from `size` screen pixels, logs the stroke, queues the point and starts the painting
// thread. Nothing on a separator. Returns 1 when the point was queued.
int paint_point(EngineState* es, int erase, int tool, int new_click, float mouse_x, float mouse_y, float size,
                float strength);

// Snaps (magnet_x, magnet_y) to the brightest point of the reference image near the mouse,
// counting the second and third harmonic rows when Harmonics is on and `tool` (the current
// ToolCode) is not the rectangle. Unchanged inputs keep the current result.
void magnet_coordinates(EngineState* es, int tool, float mouse_x, float mouse_y, float size);

// ---------------------------------------------------------------------------------------------
// [SECTION] Rectangle tool
// ---------------------------------------------------------------------------------------------

// Multiplies the selected layer's columns min(x0, x1)..max(x0, x1) - 1 and rows likewise
// (clipped to the plane) by `factor`, under `layers_lock`. Returns 1 when the layer was changed.
int paint_rect_abs(EngineState* es, int x0, int y0, int x1, int y1, float factor);

// One pass of a held rectangle: restores the layer from `undo` and applies the rectangle from the
// start point to the mouse; reports the first and last synthesis blocks it touches. Returns 1
// when the layer was changed.
int paint_rect(EngineState* es, float mouse_x, float mouse_y, int erase, int start_col, int start_row,
               float intensity, int* first_block, int* last_block);

// Release of the rectangle: marks blocks first - 1 .. last + 1 for synthesis, sets
// `change_state` and logs the rectangle.
void paint_rect_release(EngineState* es, float mouse_x, float mouse_y, int erase, int start_col, int start_row,
                        float intensity, int first_block, int last_block);
