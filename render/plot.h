// A readable picture of the analysis, drawn without a window: the analysis (or the view as it is
// shown) in a plot area, framed, with the frequency scale in Hz on the left, the note scale on
// the right and the time scale below, placed by the scales' label rules (render/scales.h) and
// written in the editor's fonts; a title (a name and the analysis settings) above and a legend
// of the level scale below. The command line's `analyse --view` and the editor's picture exports
// make their pictures here, and the editor's view draws its scales with the same functions.
//
// Pictures are 32-bit pixels with the bytes red, green, blue, 0, like the frame buffer.
#pragma once

#include "render/gfx.h"
#include "render/scales.h"

#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Resources
// ---------------------------------------------------------------------------------------------

constexpr int SCALE_TEXT_COLOUR = 6; // palette entry of the scale labels (secondary text)
constexpr int TITLE_COLOUR = 0;      // palette entry of the title (primary text)

// Loads what a plot is drawn with, where the editor has not loaded it yet: the palette, the
// colour map and the fonts (from the resource folder). Returns 1 when every one is there.
int plot_resources_load();

// ---------------------------------------------------------------------------------------------
// [SECTION] Scales
// ---------------------------------------------------------------------------------------------

// Frequency labels right-anchored at column x; label p's tick row is bottom - p.
void draw_frequency_scale(FrameRef fb, const BitmapFont& font, const std::vector<ScaleLabel>& labels, int x,
                          int bottom);

// Note labels left-anchored at column x; label p's tick row is bottom - p.
void draw_note_scale(FrameRef fb, const BitmapFont& font, const std::vector<ScaleLabel>& labels, int x, int bottom);

// Time labels: a tick centred on column left + pos in row tick_y, its text one glyph height under
// it.
void draw_time_scale(FrameRef fb, const BitmapFont& font, const std::vector<ScaleLabel>& labels, int left,
                     int tick_y);

// ---------------------------------------------------------------------------------------------
// [SECTION] Plots
// ---------------------------------------------------------------------------------------------

constexpr int PLOT_MAX_W = 4096; // widest default plot: longer sounds are resampled into it
constexpr int PLOT_MAX_H = 2048; // highest default plot

// What a plot shows.
struct PlotSource {
    float** rows;            // the shown rows, highest band first, `columns` values each (null: missing); or null
    uint8_t** pic_rows;      // the source picture's matching rows (4 bytes a pixel) for picture colours, or null
    const uint32_t* pixels;  // a ready plot area (the view as shown) of the plot's size, or null
    int columns, bands;      // columns and rows shown
    int first_column;        // index of the first shown column in the whole analysis
    int total_bands;         // rows of the whole analysis
    int first_band;          // index of the first shown row
    float fmin, fmax, base;  // the analysis' frequency axis (Hz, Hz, 1 linear .. 2 logarithmic)
    float pps;               // columns per second
    int picture_colours;     // 1: the picture colours; 0: the colour map
    std::string title;       // first title line (a file name)
    std::string settings;    // second title line (the analysis settings)
};

// Where the parts of a plot picture go.
struct PlotLayout {
    int w, h;                           // the whole picture
    int plot_x, plot_y, plot_w, plot_h; // the plot area
    int legend_x, legend_y, legend_w;   // the level legend's colour bar (LEGEND_H rows)
};

constexpr int LEGEND_H = 10; // height of the legend's colour bar

// The labels of the three scales of a plot area plot_w x plot_h: frequency and note labels count
// up from its bottom edge, time labels from its left edge.
struct PlotLabels {
    std::vector<ScaleLabel> freqs, notes, times;
};

// The default plot area for columns x bands: one pixel each, at most PLOT_MAX_W x PLOT_MAX_H.
void plot_default_size(int columns, int bands, int* w, int* h);

// The labels a plot of `s` at plot_w x plot_h gets.
PlotLabels plot_labels(const PlotSource& s, int plot_w, int plot_h);

// The layout of a plot of `s` at plot_w x plot_h: margins wide enough for every label, the title
// and the legend.
PlotLayout plot_layout(const PlotSource& s, int plot_w, int plot_h);

// A picture made here: w x h pixels (malloc), null when none could be made.
struct Raster {
    uint32_t* px;
    int w, h;
};

// Draws the picture of `s` with a plot area of plot_w x plot_h (the rows resampled smoothly into
// it, or `pixels` copied) on the background grey. Null pixels when a size is not positive or
// there is nothing to show.
Raster draw_plot(const PlotSource& s, int plot_w, int plot_h);

// The settings line of a plot: "27.5 - 20000 Hz, 60 bands per octave, 100 pixels per second,
// logarithmic axis (2), 6.00 s".
std::string plot_settings(float fmin, float fmax, float bpo, float pps, float base, double seconds);

// The source of a plot of a whole analysis (`rows`, columns x bands, may be null for a source
// given `pixels` later) made with the settings `params` in the engine state's order (minimum and
// maximum frequency, pixels per second, transition, bands per octave, minimum bands per octave,
// frequency-scale base), titled with the file name of `path`, in the colour map.
PlotSource analysis_source(float** rows, int columns, int bands, const float params[7], const std::string& path);
