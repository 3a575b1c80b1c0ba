// Colouring the analysis and resampling it to a picture of any size: the colour map (or the
// picture colours) the view draws values in, and the smooth (tent filter) and nearest
// resamplers the view, the exported pictures and the command line's readable pictures share.
//
// Pictures made here are 32-bit pixels with the bytes red, green, blue, 0 (the colour form of the
// resource pictures and the frame buffer's byte order). No SDL and no view state here.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------------------------
// [SECTION] Colours
// ---------------------------------------------------------------------------------------------

// The colour map values are drawn with. A row not analysed yet is drawn in palette entry 3
// (a dark grey until the palette is loaded).
struct ViewColours {
    const uint32_t* gradient; // colour map, darkest first; null: a built-in grey ramp of 256 steps
    int gradient_len;         // colours in `gradient` (G)
};

extern ViewColours view_colours; // the grey ramp until view_colours_load

// Loads the colour map from the first row of "gfx/gradient.png". Returns 1; 0 (colours
// unchanged) when the picture could not be decoded.
int view_colours_load();

// The colour of level q (0 .. 1, the square root of a value over the largest) as the resamplers
// draw it: through the colour map, or the grey of the picture colours without a source picture
// when `picture_colours` is set (the level scale's legend).
uint32_t level_colour(float q, int picture_colours);

// ---------------------------------------------------------------------------------------------
// [SECTION] Resamplers
// ---------------------------------------------------------------------------------------------
// `rows` are in_h row pointers to in_w values each (a null row is missing and drawn in the
// missing-row colour); `pic_rows` the matching rows of the source picture (4 bytes a pixel) or
// null for grey. Values are levelled to the largest of them: q = sqrt(v / max). Each returns a
// new picture of out_w x out_h pixels (free with free), or null when a size is not positive.

// Tent filter: output (X, Y) centred on input (X (in_w - 1) / out_w, Y (in_h - 1) / out_h), radii of
// at least one input step; the coloured input is averaged, not the values.
uint8_t* resize_image(float** rows, uint8_t** pic_rows, int in_w, int in_h, int out_w, int out_h);

// Nearest neighbour: output (X, Y) takes input (X (in_w - 1) / out_w + 0.5, Y (in_h - 1) / out_h + 0.5).
uint8_t* resize_image_nearest(float** rows, uint8_t** pic_rows, int in_w, int in_h, int out_w, int out_h);

// resize_image coloured through the colour map.
uint8_t* resize_image_gradient(float** rows, int in_w, int in_h, int out_w, int out_h);

// resize_image_nearest coloured through the colour map.
uint8_t* resize_image_gradient_nearest(float** rows, int in_w, int in_h, int out_w, int out_h);

