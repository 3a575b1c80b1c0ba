// Around and on the spectrogram view: the frame, the frequency, note and time scales, the mouse
// position text, the brush cursor with its harmonic and magnet marks, the playback bar, the 4/4
// beat bars and semitone lines, the waveform strip above the view (made on a worker thread) with
// the synthesis progress drawn over it, and the slow-mouse mode.
//
// Everything draws into SCRN_W x SCRN_H frame buffers (`sfb0`) and clips to them; nothing here
// calls SDL. What needs the window (warping or showing the system pointer) goes through
// `scales_hooks`.
//
// Locks: marks drawn over the picture read the view's `display` under `display_lock`; the
// strip is published and copied under `screen_lock`; the strip generator reads the composite
// under `layers_lock`. None of these functions holds two of them at once; the overlays run inside
// the caller's `overlay_lock` (taken before `display_lock`, as the view redraw does).
#pragma once

#include "core/records.h"
#include "render/gfx.h"
#include "render/scales.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Hooks and inputs
// ---------------------------------------------------------------------------------------------

// What the overlays ask of the window; a null entry does nothing (headless runs and tests).
struct ScalesHooks {
    void (*warp_mouse)(int x, int y);     // moves the system pointer to (x, y), drawing-area pixels
    void (*show_system_cursor)(int show); // shows (1) or hides (0) the system pointer
};

extern ScalesHooks scales_hooks; // installed by the program at start-up

extern float cursor_tool_width; // the "Spray width" knob value the brush cursor is drawn for; the frame keeps it current

// Installs the overlays and the analysis strip into the view's hooks and the strip refresh into
// the full-band noise builder's ready hook.
void scales_install_hooks();

// Loads the strip colours from "gfx/rainbow.png" (bands lowest first, the background last).
// Returns 1; 0 (built-in colours kept) when the picture could not be decoded.
int scales_colours_load();

// ---------------------------------------------------------------------------------------------
// [SECTION] Frame and scales
// ---------------------------------------------------------------------------------------------

// The one-pixel frame around the view, in palette entry 2's grey.
void image_rect(uint32_t* fb);

// The frequency labels draw_left_scale places (frequency_labels of the visible rows of the view),
// for a font of glyph height `glyph_h`; `pos` counts up from the view's bottom edge.
std::vector<ScaleLabel> left_scale_labels(int glyph_h, float fmin, float fmax, float base, int h);

// The note labels draw_right_scale places (note_labels of the visible rows of the view).
std::vector<ScaleLabel> right_scale_labels(int glyph_h, float fmin, float fmax, float base, int h);

// The time labels draw_bottom_scale places (time_labels of the view); `pos` is the window column.
std::vector<ScaleLabel> bottom_scale_labels(int columns, int first, float pps);

// Frequency labels left of the view for the visible rows of a document of `h` rows whose axis
// runs from fmin to fmax with base `base`: both ends, then round frequencies from coarse to fine
// steps wherever they keep two glyph heights clear of the labels already placed.
void draw_left_scale(uint32_t* fb, const BitmapFont& font, float fmin, float fmax, float base, int h);

// Note labels right of the view: every C, then every semitone, where there is room.
void draw_right_scale(uint32_t* fb, const BitmapFont& font, float fmin, float fmax, float base, int h);

// Time labels under the view for `columns` visible columns from column `first` at `pps` columns
// per second: both ends, then round times from coarse to fine steps, 48 pixels apart at least,
// no finer step once (view width) / 96 labels stand.
void draw_bottom_scale(uint32_t* fb, int columns, int first, const BitmapFont& font, float pps);

// ---------------------------------------------------------------------------------------------
// [SECTION] Texts
// ---------------------------------------------------------------------------------------------

// Note number v as text with cents. With `append` the text gets " (A4 +25)" added to what it
// holds; otherwise it becomes "A4+25", "A4-12.5" or "A4+00" (trailing zeros dropped).
void print_note(char* text, size_t size, int append, float v);

// The time, frequency and note under the mouse (mouse_ax, mouse_ay) for the document of `es`:
// "1\"250 - 440.00 Hz (A4 +00)". Returns 1 when it wrote `out`; 0 (out untouched) when the mouse
// is outside the view, slot 124 is set or there is no document.
int mouse_freq_time_pos(char* out, size_t size, EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Cursor, playback bar and overlays
// ---------------------------------------------------------------------------------------------

// Playback bar at position p of a sound of L (both in samples, or both in columns): one column of
// the view in the contrast colour. Redrawn when it moved or `force` is set (the previous column
// is put back from `display` first); erased once when it leaves the view. Sets *dirty when it
// drew or erased.
void draw_bar(uint32_t* fb, ImageStack* image, std::atomic<int32_t>* dirty, int force, double p, double L);

// Puts back the previous cursor marks from `display`, draws the playback bar, then, for the
// spray and rectangle tools with the mouse in the view (or in slow-mouse mode), the brush cross
// at (mx, my), its harmonic crosses when Harmonics is on and the magnet mark when Magnet is on.
// A spray's cross spans the dab a spray of `width` paints at the current zoom (brush_window_radius,
// at most the view); the rectangle's arms are 12 pixels. Otherwise the system pointer is shown.
// Sets *dirty when the marks moved.
void draw_cursor(uint32_t* fb, EngineState* es, ImageStack* image, int mx, int my, float width, int tool,
                 std::atomic<int32_t>* dirty);

// 4/4 beat bars: 16 beats over the document width, bar lines every fourth.
void draw_beat_bars(uint32_t* fb, ImageStack* image);

// Semitone lines across the view for the display axis of `es`, thinned out (or left out) when
// semitones lie close together.
void draw_semitone_overlay(uint32_t* fb, EngineState* es);

// Cursor (with the pointer, brush size and tool the frame loop last handed over in
// overlays_frame), then the beat bars (slot 50) and the semitone lines (slot 52). The caller
// holds the image stack's `overlay_lock` (this is the view redraw's overlay hook).
void draw_overlays(EngineState* es, uint32_t* fb);

// For the frame loop (main thread): under `overlay_lock`, hands over the pointer globals
// (mouse_ax, mouse_ay, cursor_tool_width, mouse_function) to the overlays, then draws them.
void overlays_frame(EngineState* es, uint32_t* fb);

// Forgets the previous cursor marks and bar column (a new frame buffer or document); the next
// cursor draw tells the show_system_cursor hook its state again.
void overlays_reset();

// ---------------------------------------------------------------------------------------------
// [SECTION] Resamplers
// ---------------------------------------------------------------------------------------------

// Tent-filter resampling of in_w floats to out_w (out is overwritten), as the view's smooth
// resampler does along one axis.
void resize_float(const float* in, float* out, int in_w, int out_w);

// Tent-filter resampling of an in_w x in_h picture of 32-bit pixels (each byte filtered on its
// own) to out_w x out_h; an axis whose size does not change is copied as it is. Returns a new
// picture (free with free), or null when a size is not positive.
uint32_t* resize_raster(const uint32_t* in, int in_w, int in_h, int out_w, int out_h);

// ---------------------------------------------------------------------------------------------
// [SECTION] Waveform strip
// ---------------------------------------------------------------------------------------------

constexpr int STRIP_X = 120;           // left edge of the strip in the window
constexpr int STRIP_Y = 45;            // top edge of the strip in the window
constexpr int WAVEFORM_COLUMNS = 4096; // width at which the strip is first drawn

// The part of the document a strip shows.
struct WaveformView {
    int crop_x, crop_w;     // visible columns
    int width;              // strip width in pixels (the view width)
    float fmin, fmax, base; // display frequency axis (row weights)
};

// A strip picture: width x height pixels, made for `view`.
struct WaveformStrip {
    uint32_t* px; // pixels (malloc), null when none
    int w, h;
    WaveformView view;
};

// The current view: crop_x, crop_w, SCRN_W - 180 and the engine state's display axis.
WaveformView waveform_view_now(const EngineState* es);

// Builds the strip for `view`, `height` pixels high: the energy of the composite's rows in
// (R - 1) frequency bands, stacked lowest band innermost, drawn outward from the middle row in
// the band colours and mirrored. The background is the rainbow's last colour, or palette
// entry 4 while processing is suspended (slot 46, live synthesis off) or the live noise table is
// being built (slot 136 or 137, live synthesis on). Reads the composite under `layers_lock`.
// An empty strip (px null) when there is no document.
WaveformStrip waveform_gen(EngineState* es, const WaveformView& view, int height);

// Thread entry (argument: unused): makes strips for the latest requested view until none is
// pending; after each it publishes the strip, sets slot 86 and counts slot 123 down; slot 137
// makes it wait 250 ms and run once more.
void* waveform_gen_thread(void* arg);

// Asks for a new strip of the current view (main thread): starts the worker, or, while it runs,
// makes it run once more when it ends. Returns 1 when a worker was started.
int waveform_start(EngineState* es);

// waveform_start from any thread, for the last view asked for (the current one the first time).
void waveform_start_hook(EngineState* es);

// Raises the worker's stop flag and joins it (the generation under way finishes first). Returns
// once no worker runs; later requests start a new one.
void waveform_stop();

// 1 while a strip worker is running.
int waveform_running();

// During an analysis (the view's analysis hook): builds the strip of the current view on the
// calling thread, publishes it and copies it into the frame buffer.
void waveform_analysis_strip(EngineState* es, uint32_t* fb);

// Copies the published strip into the frame buffer at (STRIP_X, STRIP_Y) under `screen_lock`,
// when it was made for the current view width. Returns 1 when it drew.
int draw_waveform(uint32_t* fb, ImageStack* image);

// Synthesis progress over the strip, when forced or when a block started or finished since the
// last call (the engine state's sound-changed flag, cleared here), and only for a strip of the
// current view width: each block not done is filled with palette entry 4 (to do) or 5 (being
// synthesised), each done block shows the strip (every block does while processing is
// suspended); with live synthesis the whole strip shows. Sets *dirty when it drew.
void draw_progress(uint32_t* fb, EngineState* es, std::atomic<int32_t>* dirty, int force);

// The published strip's width and its pixel at (x, y) (tests and the frame loop); 0 when none.
int waveform_strip_width();
uint32_t waveform_strip_pixel(int x, int y);

// Frees the published strip (after waveform_stop).
void waveform_release();

// ---------------------------------------------------------------------------------------------
// [SECTION] Slow-mouse mode
// ---------------------------------------------------------------------------------------------

// One frame of the pointer (H held = `slow`): on entering, the system pointer is warped to the
// view centre; while slow, every `mouse_sub_range` pixels the raw pointer (mouse_ax_raw,
// mouse_ay_raw) moves from the centre move *x, *y by one pixel, the remainder staying in
// mouse_ax_sub / mouse_ay_sub, and the pointer is warped back to the centre; on leaving, the
// sub-pixel parts are cleared and the pointer is warped to (*x, *y).
void mouse_speed(int* x, int* y, int slow);
