// File > Export View as Picture... and Export Whole Document as Picture...: the view as it is
// shown (the visible part at the current zoom, with the overlays that are on) or the whole
// document at one pixel per column and band, drawn with the frequency, note and time scales, a
// title and a level legend (render/plot.h), and written to a picture the save dialog names.
#pragma once

#include "editor/frame.h"
#include "render/plot.h"

// The view as shown now, redrawn first, in a picture whose plot area is the view's size.
Raster export_view_picture(Editor* ed);

// The whole document in a picture whose plot area has one pixel per column and band, in the
// view's colours (the colour map, or the picture colours in Vision Mode).
Raster export_document_picture(Editor* ed);

// Frame step: a pending `export_request` asks for a picture name (.png or .bmp) and writes the
// picture there through a ReplacingFile; a failure is said on the status line. Without a
// document it only says so.
void export_step(Editor* ed);
