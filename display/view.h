// The spectrogram view: the visible part of the document rendered into the view rectangle of the
// frame buffer, the zoom and pan state that selects that part, and the mappings between window
// positions and document positions that the tools use.
//
// Pictures made here are 32-bit pixels with the bytes red, green, blue, 0 (the colour form of the
// resource pictures and the frame buffer's byte order). Nothing here calls SDL.
#pragma once

#include "core/records.h"
#include "render/resample.h"

#include <atomic>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// [SECTION] What the window draws over the view
// ---------------------------------------------------------------------------------------------

// Drawing the redraw asks of the overlay code; a null entry draws nothing.
struct ViewHooks {
    void (*overlays)(EngineState* es, uint32_t* fb);       // cursor, beat bars, semitone lines; `overlay_lock` is held
    void (*analysis_strip)(EngineState* es, uint32_t* fb); // waveform strip regenerated and drawn while a sound is analysed
    void (*picture_made)(EngineState* es);                 // the view picture made, not yet shown (tests hold a redraw here)
};

extern ViewHooks view_hooks; // installed by the program at start-up

// ---------------------------------------------------------------------------------------------
// [SECTION] The visible part
// ---------------------------------------------------------------------------------------------
// Resampled by the renderers of render/resample.h.

// The visible part (crop) of `plane` (h rows of w values; `src_rgb` the w x h source picture or
// null) rendered to view_w x view_h in picture colours: smooth unless `nearest`, Force Fast
// (slot 54) or more than 2000 visible columns ask for nearest, which Force Smooth (slot 56)
// overrides.
uint8_t* resize_image_generic_zoom(Plane plane, const uint8_t* src_rgb, int w, int h, int view_w, int view_h,
                                   int nearest);

// The same coloured through the colour map.
uint8_t* resize_image_gradient_generic_zoom(Plane plane, int w, int h, int view_w, int view_h, int nearest);

// ---------------------------------------------------------------------------------------------
// [SECTION] Redraw
// ---------------------------------------------------------------------------------------------

// Recomposites when `recomposite` is set, renders the visible part (nearest when `fast`) into
// `display`, copies it into the view rectangle of the frame buffer (`image->screen`, else sfb0),
// draws the overlays and marks the screen for update. A redraw asked for while another runs is
// dropped at once. Nothing without a document.
void image_redraw(EngineState* es, int fast);

// Shows the selection of `image` over its view picture `pic` (pw x ph, 4 bytes a pixel, made for
// the current crop): a light blue tint weighted by the mask and a dashed light-and-dark line
// where the mask crosses one half. Nothing without a selection. The caller holds `layers_lock`.
void selection_tint(uint8_t* pic, int pw, int ph, const ImageStack* image);

// Thread entry (argument: the EngineState): redraws, recompositing each time, with the fast flag
// until the image stack's `stop_redraw` is raised. Returns at once while another one runs.
void* constant_image_redraw(void* es);

// A continuous redraw running on its own thread.
struct RedrawThread {
    ThreadRecord rec;         // the thread
    EngineState* es;          // what it redraws
    std::atomic<int> done;    // 1 once the thread has ended
    int started;              // 1 between a successful start and the join
};

// Starts constant_image_redraw on a thread. Returns 1 when started (0 when it was already running
// or could not start).
int redraw_thread_start(RedrawThread* t, EngineState* es);

// Raises `stop_redraw`, waits at most `timeout_ms` for the thread to end, joins it and clears
// `stop_redraw` again. Returns 1 when it ended (or never ran); 0 on time-out, with `stop_redraw`
// left raised and the thread still joinable by a later call.
int redraw_thread_stop(RedrawThread* t, int timeout_ms);

// Vision Mode: switches between the colour map and the source picture's colours and redraws.
void vision_mode_toggle(EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Zoom and pan
// ---------------------------------------------------------------------------------------------

// Sets the zoom (magnifications zh, zv >= 1) around the centre (cx, cy) in document columns and
// rows; fills crop_*, zoom_* and zoom_center_*. At least 10 columns and rows stay visible (all of
// them in a document smaller than 11).
void change_zoom(ImageStack* image, float zh, float zv, float cx, float cy);

// Multiplies the zoom by (fh, fv) keeping the document point (fx, fy) where it is on screen.
void change_zoom_focused(ImageStack* image, float fh, float fv, float fx, float fy);

// A new document: zoom 1 x 1 centred on the middle; the progress strip follows the crop.
void view_reset(ImageStack* image);

// What a zoom or pan changed.
enum ViewChange : int {
    VIEW_CHANGED = 1,   // the view was zoomed or moved and redrawn
    VIEW_CHANGED_H = 2, // its horizontal extent changed: the waveform strip must be made again
};

// The wheel, `steps` steps (positive zooms in), around the document point under the mouse: by
// 2^(steps/2) on both axes with `ctrl`, vertically only with `shift`, else horizontally only.
// Zooming out is ignored when every affected axis is at 1. Redraws; returns ViewChange bits.
int wheel_zoom(EngineState* es, int steps, int ctrl, int shift);

// Where a middle-button pan began.
struct ViewPan {
    int mouse_x, mouse_y;     // window mouse position at the press
    float center_x, center_y; // zoom centre at the press
};

// The press of a pan: remembers the mouse and the centre; the progress strip follows the crop.
void pan_begin(ViewPan* pan);

// While panning: the picture follows the mouse; fast redraw. Returns ViewChange bits.
int pan_drag(EngineState* es, const ViewPan* pan);

// The release of a pan: redraws at full quality.
void pan_end(EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Window and document positions
// ---------------------------------------------------------------------------------------------

// Document column under the mouse (with its slow-mouse sub-pixel part) for a view `view_w` wide.
float mouse_ax_to_xf(int view_w);

// Document row under the mouse for a view `view_h` high.
float mouse_ay_to_yf(int view_h);

// mouse_ax_to_xf rounded to the nearest integer.
int mouse_ax_to_x(int view_w);

// mouse_ay_to_yf rounded to the nearest integer.
int mouse_ay_to_y(int view_h);

// Offset from the view's left edge, in window pixels, of document column `x` (the inverse of
// mouse_ax_to_xf).
float column_to_view_x(float x, int view_w);

// Offset from the view's top edge of document row `y` (the inverse of mouse_ay_to_yf).
float row_to_view_y(float y, int view_h);
