// Layer operations: the one-step transforms of the "Operations" menu and Erase Mask, each on
// the selected layer only. Every operation does nothing (and logs nothing) when the selected
// entry is a separator or there is no layer; otherwise it changes the pixels under
// `layers_lock`, writes its "Operation ..." line to the history and marks the document as
// changed (`change_state` 1, 3 after a rotation); each is one step of the Undo history. They
// return 1 when they acted, 0 otherwise.
//
// The operations do not save the layer for Undo themselves (rotate_image by 180 degrees excepted,
// see there): their callers, layer_operations and the replay, call layer_to_undo first.
// Several operations weight rows by frequency (row_weight) so that they treat a logarithmic
// frequency axis sensibly; they read the display frequency range of the engine state
// (anal_params[0] min Hz, [1] max Hz, [6] scale base).
#pragma once

#include "core/records.h"

// ---------------------------------------------------------------------------------------------
// [SECTION] Helpers shared with the view
// ---------------------------------------------------------------------------------------------

// Logarithm of x to the base b (ln x / ln b); x itself when b is exactly 1.
float log_basef(float x, float b);

// Weight of row r (row 0 the highest band) of an image of h rows spanning fmin..fmax on the axis
// of base `base`: 1 on a linear axis (base 1); otherwise (1 + (h - 1 - r) / K)^(base/2 - 1/2)
// with K = (h - 1) / (log_base(fmax) - log_base(fmin)) rows per unit of log frequency.
// A degenerate axis (h <= 1, fmax <= fmin) gives 1.
float row_weight(int r, int h, float fmin, float fmax, float base);

// Smooth (tent-filter) resampling of in_h rows of in_w floats (`in`, missing rows skipped) into
// `out`, out_h rows of out_w floats stored row after row. The output is cleared first; output
// (X, Y) is centred on source (X (in_w - 1) / out_w, Y (in_h - 1) / out_h) with radii of at least
// one source step, and the weighted sum is divided by the weights unless both radii are 1.
void resize_float_2Din(float** in, float* out, int in_w, int in_h, int out_w, int out_h);

// ---------------------------------------------------------------------------------------------
// [SECTION] Inversions, flips and rotations
// ---------------------------------------------------------------------------------------------

// p <- (1 - sqrt p)^2, after every exact 1.0 became 0.99999988 (so that 1 maps to a tiny value).
int invert_image(ImageStack* image);

// p <- reference - p, never below 0. Nothing without a reference image.
int mask_invert_image(ImageStack* image);

// Reverses every row (time runs backwards), and the source picture's rows likewise.
int flip_image(ImageStack* image);

// Reverses the row order (frequencies upside down), and the source picture's likewise.
int vflip_image(ImageStack* image);

// Rotates by n quarter turns clockwise (n taken modulo 4; 0 does nothing) keeping the document
// size: a quarter turn resamples the layer to h columns by w rows first. The half turn reads the
// Undo copy, and takes that copy itself when it does not hold the layer (a caller that already
// saved the layer pays one comparison). `change_state` becomes 3.
int rotate_image(ImageStack* image, int n);

// ---------------------------------------------------------------------------------------------
// [SECTION] Averages and curves
// ---------------------------------------------------------------------------------------------

// Every pixel of a row becomes the mean of that row.
int horz_average(ImageStack* image);

// Every pixel of a column becomes the frequency-weighted column sum divided by h.
int vert_average(EngineState* es);

// Each row becomes a bar from the left whose length shows its sum (90 % of the width for the
// largest). A layer whose row sums are all 0 is left unchanged.
int horz_curves(ImageStack* image);

// Each column becomes a bar from the bottom whose height shows its weighted sum (90 % of the
// height for the largest), then rows are corrected for frequency on a non-linear axis.
// A layer whose weighted column sums are all 0 is left unchanged.
int vert_curves(EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Fills from maxima
// ---------------------------------------------------------------------------------------------

// Each row is filled with its chosen peak value from column 0 up to the peak, then scaled by
// min(10, layer max / peak). A layer whose largest pixel is 0 is left unchanged.
int fill_to_left(ImageStack* image);

// Each column is filled with its chosen peak value from the peak down to the bottom row, scaled
// by min(10, layer max / peak), then corrected for frequency on a non-linear axis. A layer whose
// largest pixel is 0 is left unchanged.
int fill_to_bottom(EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Normalisations
// ---------------------------------------------------------------------------------------------

// Scales the layer so that its largest pixel is 1 (unchanged when that is 0).
int layers_normalisation(ImageStack* image);

// Scales the layer so that its pixels sum to 1 (unchanged when the sum is 0).
int layers_set_sum(ImageStack* image);

// Scales each row so that its sum equals the largest row sum (rows summing to 0 become 0).
int horz_norm(ImageStack* image);

// Scales each column so that its weighted sum equals the largest plain column sum (columns whose
// weighted sum is 0 become 0).
int vert_norm(EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Point-wise functions
// ---------------------------------------------------------------------------------------------

// p <- 1/p for p > 0 (at most the largest float), else 0.
int div_invert(ImageStack* image);

// p <- p^2 (at most the largest float).
int square_layer(ImageStack* image);

// p <- sqrt p (negative values give 0).
int sqrt_layer(ImageStack* image);

// ---------------------------------------------------------------------------------------------
// [SECTION] Noise fills (each normalised as layers_normalisation does, within its own line)
// ---------------------------------------------------------------------------------------------

// Every row gets its row weight (1 on a linear axis): equal energy per hertz.
int fill_white(EngineState* es);

// Every pixel 1.0: equal energy per band.
int fill_pink(ImageStack* image);

// Every row gets (1 + (h - 1 - r) / K)^(base/2 - 3/2) (1 on a linear axis).
int fill_brown(EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Semitones and Erase Mask
// ---------------------------------------------------------------------------------------------

// Moves every row, from the top down, into the row of its nearest semitone (added to it).
int group_to_semitone(EngineState* es);

// Layer 0 returns to the reference image (nothing without one); any other layer is cleared.
int erase_mask(ImageStack* image);

// ---------------------------------------------------------------------------------------------
// [SECTION] Dispatch from the command slots
// ---------------------------------------------------------------------------------------------

// Carries out the pending operation requests of the main loop, in this order: 1 / x, Erase Mask,
// rotation, Horizontal Flip, Vertical Flip, Mask Invert, Invert, then the other operations of
// slots 68..84. Each runs on the selected layer after layer_to_undo; its slot is cleared (also
// without a document). Invert also toggles the panel's Invert control. The caller stops
// synthesis before the flips and rotations.
void layer_operations(EngineState* es);
