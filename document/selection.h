// The spectral selection: one mask of weights over the document (0 outside, 1 inside, soft
// edges between), owned by the document rather than by a layer. No selection means that every
// pixel counts as selected, so code that weights by it needs no special case.
#pragma once

#include "core/records.h"

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

// How a new shape combines with the selection there is.
enum SelectionMode { SELECT_REPLACE, SELECT_ADD, SELECT_SUBTRACT };

constexpr float SELECTION_FEATHER_DEFAULT = 3.f; // soft edge in pixels

// Selects the box of columns x0..x1 and rows y0..y1 (inclusive, in any order, clipped to the
// document) with edges that fall from 1 to 0 over `feather` pixels outside it. False when the
// mask cannot be allocated (the selection is then left as it was).
bool selection_box(ImageStack* image, int x0, int y0, int x1, int y1, float feather, SelectionMode mode);

// Drops the selection (nothing selected, every pixel counts again).
void selection_clear(ImageStack* image);
