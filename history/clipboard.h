// Copy and Paste: the grey picture that Copy puts on the clipboard (the whole composite, or the
// selected region weighted by the selection mask), and a picture pasted back as a new layer.
//
// A paste is logged as one line, "Paste layer "NAME" W x H at X Y" (pixels), followed by the
// pasted pixels as a Base85 block, so that the replay carries it out without the clipboard.
#pragma once

#include "core/records.h"

#include <cstdint>
#include <cstdio>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Copy
// ---------------------------------------------------------------------------------------------

// The clipboard picture of the composite into `px` (*w x *h pixels, bytes R, G, B, A): the grey
// levels of the picture writers (grey_level) against the composite's brightest pixel. With a
// selection, only its bounds (selection_bounds), every pixel weighted by the mask. False when
// there is no document. Takes `layers_lock`.
bool clipboard_picture(ImageStack* image, std::vector<uint32_t>* px, int* w, int* h);

// ---------------------------------------------------------------------------------------------
// [SECTION] Paste
// ---------------------------------------------------------------------------------------------

// The pixels of a grey picture (w x h bytes, row 0 at the top) as intensities, the inverse of
// Copy's grey mapping against `peak` (the document's brightest pixel): peak (g / 255)^2. A new
// plane of h rows of w floats.
Plane picture_to_plane(const uint8_t* grey, int w, int h, float peak);

// The brightest pixel of the composite, 1 for a black or missing one: what pasted pictures are
// scaled to (takes `layers_lock`).
float paste_peak(ImageStack* image);

// Adds a new layer above the selected one holding `pixels` (h rows of w floats) with its top-left
// corner at column x, row y of the document; what falls outside the document is cut off. One
// Undo step; logs the Paste line and the pixels. Returns 1, or 0 after a notice (no document,
// nothing of the picture inside it, no room for another layer).
int paste_layer(EngineState* es, const float* const* pixels, int w, int h, int x, int y);

// Replays a "Paste layer" line: reads the Base85 block that follows it from `stream` (adding to
// *line_no) and pastes it as paste_layer does. A line or block that does not read is skipped with
// a warning naming the line. Returns 1 when a layer was added.
int replay_paste(const char* line, EngineState* es, FILE* stream, int* line_no);
