// The document: creating the image stack at start-up, planes, blank and picture documents,
// releasing a document, colour normalisation and the single-level undo.
#pragma once

#include "core/records.h"

#include <cstdint>

// ---------------------------------------------------------------------------------------------
// [SECTION] Planes
// ---------------------------------------------------------------------------------------------

// A new plane of `rows` rows of `cols` zero-filled floats.
Plane plane_alloc(int rows, int cols);

// A new plane holding a copy of `src` (`rows` x `cols`); missing source rows give zero rows.
Plane plane_copy(Plane src, int rows, int cols);

// Copies `src` into the existing plane `dst` (`rows` x `cols`); missing rows are skipped.
void plane_copy_into(Plane dst, Plane src, int rows, int cols);

// Releases a plane of `rows` rows row by row, then its row array, and sets `*p` to null.
void plane_free(Plane* p, int rows);

// ---------------------------------------------------------------------------------------------
// [SECTION] Image stack
// ---------------------------------------------------------------------------------------------

// Start-up: makes the layer table (LAYER_CAPACITY zero-filled entries) and the eight locks,
// all free. The record is expected to be value-initialised before.
void image_stack_init(ImageStack* image);

// Releases the document, `analysed`, the layer table and the eight locks: the counterpart of
// image_stack_init, for processes (tests, batch runs) that make more than one stack.
void image_stack_release(ImageStack* image);

// Releases the document's planes and `src_rgb` and `display`, setting each to null, after
// taking `transposed_lock` and `image_lock`, which stay held until the next document is built
// (image_locks_release); a second call before that does not take them again. With `all`, also
// every layer's plane and name (entries cleared), `sel` = 0, `count` = 0. `analysed` stays.
void free_image(ImageStack* image, int all);

// Releases `transposed_lock` and `image_lock` if free_image holds them.
void image_locks_release(ImageStack* image);

// Replaces the document by the picture at `path` or, for an empty path, by a blank picture of
// the view's width and the height of the engine state's analysis range. Returns 1 when a
// document was made; 0, after one line naming the file and with the document left as it was,
// when the picture could not be read.
int new_image(EngineState* es, const char* path);

// The RGBA picture new_image would make for `path` (empty: the blank picture), read without
// touching the document: a new buffer of *w x *h pixels, or null after one line saying why.
uint8_t* document_picture(const EngineState* es, const char* path, int* w, int* h);

// Replaces the document by the RGBA picture `rgb` (taken over) of w x h pixels, made by
// document_picture; `blank` shows it with the gradient colour map.
void image_from_picture(EngineState* es, uint8_t* rgb, int w, int h, int blank);

// A plane of `h` rows of `w` floats, each (R + G + B) / 765 of the RGBA picture `rgb`.
Plane rgb_to_float(const uint8_t* rgb, int w, int h);

// Normalises each pixel's colour of an RGBA picture in place to R + G + B = 255 (nearly black
// pixels are treated from their distance to white); the fourth byte is unchanged.
void rgb_no_luminosity(uint8_t* rgb, int w, int h);

// Resets the selected entry's gamma, blending mode, convolution centre and off flag.
void layer_defaults(ImageStack* image);

// Copies the selected layer into `undo` (when both exist).
void layer_to_undo(ImageStack* image);

// Copies `undo` into the selected layer (when both exist).
void undo_to_layer(ImageStack* image);

// Replaces the document by `plane` (h rows of w floats, taken over), as a one-layer document
// with `reference` and `undo` copies. Returns 1; 0 without a document when the plane holds a
// value that is not finite or the size is not usable (the plane is released, a line names
// `what`).
int image_from_plane(ImageStack* image, Plane plane, int w, int h, const char* what);

// Makes the one-layer document from `composite`: layer 0 holds a copy of it, named "Layer 0",
// gamma 1.0, selected; `count` = 1, `name_counter` = 0, `change_state` = 3.
void make_single_layer(ImageStack* image);

// The view rectangle of the window in force: x = 120, y = WAVEFORM_H + 47,
// w = SCRN_W - 180, h = SCRN_H - y - MARGIN_Y.
void image_view_rect(ImageStack* image);
