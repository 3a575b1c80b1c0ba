// The spectral selection: one mask of weights over the document (0 outside, 1 inside, soft
// edges between), owned by the document rather than by a layer. No selection means that every
// pixel counts as selected, so code that weights by it needs no special case.
#pragma once

#include "core/records.h"
#include "core/state.h"

#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Reading the selection
// ---------------------------------------------------------------------------------------------

// Whether a selection is present (`image->selection` holds a mask).
bool selection_present(const ImageStack* image);

// The weight 0..1 of pixel (x, y): the mask's value, or 1 everywhere when nothing is selected;
// 0 outside the document.
float selection_weight(const ImageStack* image, int x, int y);

// The smallest rectangle holding every pixel of weight above zero: columns x0..x1-1 and rows
// y0..y1-1. False (and the whole document) when nothing is selected or the mask is empty.
bool selection_bounds(const ImageStack* image, int* x0, int* y0, int* x1, int* y1);

// ---------------------------------------------------------------------------------------------
// [SECTION] Changing the selection
// ---------------------------------------------------------------------------------------------

// How a new shape combines with the selection there is. No selection counts as everything
// selected, so a shape that subtracts from none leaves everything but the shape.
enum SelectionMode { SELECT_REPLACE, SELECT_ADD, SELECT_SUBTRACT };

// Selects the box of columns x0..x1 and rows y0..y1 (inclusive, in any order, clipped to the
// document) with edges that fall from 1 to 0 over `feather` pixels outside it. False when the
// mask cannot be allocated (the selection is then left as it was).
bool selection_box(ImageStack* image, int x0, int y0, int x1, int y1, float feather, SelectionMode mode);

// Drops the selection (nothing selected, every pixel counts again).
void selection_clear(ImageStack* image);

// Selects every pixel of the document (weight 1 everywhere). False when the mask cannot be
// allocated.
bool selection_all(ImageStack* image);

// Exchanges selected and unselected: every weight w becomes 1 - w. Nothing (false) when nothing
// is selected, since then every pixel already counts.
bool selection_invert(ImageStack* image);

// One dab of the selection brush: an ellipse of half-extents (rx, ry) centred on (x, y), solid
// inside and fading over `feather` pixels outside, added (SELECT_ADD, SELECT_REPLACE) or taken
// away (SELECT_SUBTRACT). A first dab on no selection starts from an empty mask. False when the
// mask cannot be allocated or the numbers are unusable.
bool selection_dab(ImageStack* image, float x, float y, float rx, float ry, float feather, SelectionMode mode);

// Selects the closed polygon through the n points (xs[i], ys[i]) (pixels hold their centres;
// inside by the even-odd rule), with edges fading over `feather` pixels outside it. Fewer than
// three points select nothing new. False when the mask cannot be allocated.
bool selection_polygon(ImageStack* image, const float* xs, const float* ys, int n, float feather, SelectionMode mode);

// Makes the selection an empty mask (nothing selected yet; a brush stroke that replaces begins
// so). False when the mask cannot be allocated.
bool selection_empty(ImageStack* image);

// ---------------------------------------------------------------------------------------------
// [SECTION] Changes limited to the selection
// ---------------------------------------------------------------------------------------------

// Keeps a copy of plane `p` (the document's size) in `before` when a selection is present, so
// that selection_mix can limit a change to it; false (and nothing kept) without a selection.
bool selection_keep(const ImageStack* image, Plane p, std::vector<float>* before);

// After a change of `p` whose old pixels selection_keep kept: every pixel becomes
// old + w * (new - old), w its selection weight, so that the change counts only inside the
// selection and fades at its soft edges.
void selection_mix(const ImageStack* image, Plane p, const std::vector<float>& before);

// The factor of a gain in dB as Gain on Selection applies it: 10^(dB / 20), 0 at -120 dB and
// below (the region is removed).
float selection_gain_factor(float db);

// Multiplies the selected layer by the gain `db`, weighted by the selection (a pixel of weight w
// is multiplied by 1 + w (g - 1)), under `layers_lock`. False without a selection or a layer.
bool selection_gain(ImageStack* image, float db);

// ---------------------------------------------------------------------------------------------
// [SECTION] Selection commands (history lines)
// ---------------------------------------------------------------------------------------------
// Each command writes its history line and changes the document as the replay of that line does
// (positions as the line gives them back, so that a replay selects the same pixels). Making or
// dropping a selection is no Undo step of its own; Gain on Selection and Delete are. Lines:
//   Select box MODE X UX x Y UY to X UX x Y UY feather F     (UY left out for a note)
//   Select brush MODE RX px x RY px feather F, then one "Brush X UX x Y UY" line per point
//   Select lasso MODE feather F, then one "Lasso X UX x Y UY" line per corner, then "Select lasso end"
//   Select all / Select none / Select invert
//   Gain on selection G dB / Delete selection
// MODE is "replace", "add" or "subtract"; positions are in the history units.

// The history word of a mode ("replace", "add", "subtract"), and back (-1 for another word).
const char* selection_mode_word(SelectionMode mode);
int selection_mode_of(const char* word);

// Select box: columns x0..x1 and rows y0..y1 (document pixels, any order).
int select_box_command(EngineState* es, int x0, int y0, int x1, int y1, SelectionMode mode);

// Select lasso: the closed shape through n points (document pixels).
int select_lasso_command(EngineState* es, const float* xs, const float* ys, int n, SelectionMode mode);

// Select brush: the press begins a stroke with half-extents (rx, ry) (a replacing stroke empties
// the selection first); each point paints a dab and writes its line. Return 1 when they acted.
int select_brush_begin(EngineState* es, float rx, float ry, SelectionMode mode);
int select_brush_point(EngineState* es, float x, float y);

// Select all, Select none, Select invert. Return 1 when the selection changed.
int select_all_command(EngineState* es);
int select_none_command(EngineState* es);
int select_invert_command(EngineState* es);

// Gain on Selection (dB, -120 .. +24; -120 removes) and Delete (the selected region removed) on
// the selected layer: one Undo step each. Return 1 when they acted (a selection and a layer).
int selection_gain_command(EngineState* es, float db);
int selection_delete_command(EngineState* es);

// The text of a document point in the history units ("1.25 sec x 440 Hz", "... x A4+00") into
// `out`, and the pixels a replay reads back from it into (px, py).
void selection_point_text(EngineState* es, float x, float y, char* out, size_t size, float* px, float* py);

// Reads a point written by selection_point_text from `text` (pixels into px, py); returns the
// rest of the text after it, or null when it is not a point.
const char* selection_read_point(EngineState* es, const char* text, float* px, float* py);
