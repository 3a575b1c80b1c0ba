// The scales' labels of a plot of the analysis: which frequencies, notes and times get a label
// and where, and the label texts. The editor's view and the pictures drawn without a window
// (the command line's readable pictures, the editor's exports) place them by these same rules,
// for a plot of any size. Nothing here draws or reads the view state.
#pragma once

#include <cstddef>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Visible frequency range
// ---------------------------------------------------------------------------------------------

// Frequencies of the bottom and top edges of the rows a plot shows.
struct VisibleAxis {
    float f_bottom, f_top, base; // Hz at the bottom and top edges; the axis base (1 linear .. 2 logarithmic)
    bool ok;                     // both are finite and the top lies above the bottom
};

// The axis of rows first_row .. first_row + rows - 1 (row 0 the highest band) of an analysis of
// h rows running from fmin to fmax with base `base`; limits near 0 Hz are raised on a curved
// axis.
VisibleAxis rows_axis(float fmin, float fmax, float base, int h, int first_row, int rows);

// Position (0 bottom .. 1 top) of frequency f on the axis.
float visible_pos(const VisibleAxis& a, float f);

// ---------------------------------------------------------------------------------------------
// [SECTION] Label texts
// ---------------------------------------------------------------------------------------------

// Frequency label: "%.1f Hz" below 100 Hz, "%.0f Hz" below 1000, else kHz with `precision`
// (0..3) decimals; then a space and the tick byte 0x97.
void sprintf_left_scale(char* out, size_t size, float f, int precision);

// Note label of note number v (57 = A4): the tick byte 0x97, a space, the name of trunc(v) and
// the octave of the nearest whole note.
void sprintf_right_scale(char* out, size_t size, float v);

// Time label of t seconds: mode 0 "1:02'03\"", "1'05\"", "5\"" (hours and minutes only when
// needed); modes 1..3 the same with the milliseconds appended ("5\"250"); other modes nothing.
void sprintf_bottom_scale(char* out, size_t size, int mode, double t);

// ---------------------------------------------------------------------------------------------
// [SECTION] Label places
// ---------------------------------------------------------------------------------------------

// One label of a scale. Frequency and note labels: `pos` is the label's row counted up from the
// plot's bottom edge (0 .. plot height); time labels: the caller's column of its tick.
struct ScaleLabel {
    int pos;      // see above
    double value; // Hz, note number or seconds
    int format;   // kHz precision (frequencies) or time mode (times); 0 for notes
    int anchor;   // TEXT_LEFT or TEXT_RIGHT: the side of `pos` the text is anchored on
};

// Frequency labels of a plot H rows high showing axis `a`, for a font of glyph height
// `glyph_h`: both ends first, then round frequencies from coarse to fine steps wherever they
// keep two glyph heights clear of the labels already placed.
std::vector<ScaleLabel> frequency_labels(int glyph_h, const VisibleAxis& a, int H);

// Note labels of the same plot: every C, then every semitone, where there is room.
std::vector<ScaleLabel> note_labels(int glyph_h, const VisibleAxis& a, int H);

// Time labels of a plot VW pixels wide showing `columns` columns from column `first` at `pps`
// columns per second; `pos` counts from the plot's left edge (1 .. VW). Start and end first,
// then round times from coarse to fine steps, 48 pixels apart at least, no finer step once
// VW / 96 labels stand.
std::vector<ScaleLabel> time_labels(int columns, int first, float pps, int VW);
