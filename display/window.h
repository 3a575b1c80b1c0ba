// The window: creating it with its frame buffers, resizing it, sending a finished frame to it,
// and the event filter that ends the program when the window is closed. Every SDL video call of
// the program is made here.
//
// The window is SCRN_W x (MENU_STRIP_H + SCRN_H) pixels: the menu strip on top (its own buffer,
// `menu_fb`), the drawing area (`sfb0`/`sfb1`, SCRN_W x SCRN_H) below it. Pointer rows are
// counted from the top of the drawing area, so the strip is where `mouse_ay` < 0.
#pragma once

#include "core/records.h"

#include <cstdint>

struct SDL_Surface;
union SDL_Event;

// ---------------------------------------------------------------------------------------------
// [SECTION] Window state
// ---------------------------------------------------------------------------------------------

constexpr int MENU_STRIP_H = 24; // height of the menu strip above the drawing area, pixels

extern SDL_Surface* screen; // the window surface, null until graphics_full_init
extern uint32_t* menu_fb;   // the menu strip, SCRN_W x MENU_STRIP_H pixels (same form as sfb1)

// What closing the window must finish before the process ends: installed by the subsystems
// that own the files. A null entry is skipped.
struct WindowHooks {
    void (*close_live_output)(); // flush and close the live-synthesis output file
    void (*close_history)();     // flush and close the history file (default: command_log_close)
};

extern WindowHooks window_hooks;

// ---------------------------------------------------------------------------------------------
// [SECTION] Creating and resizing
// ---------------------------------------------------------------------------------------------

// Whether there is a display to open a window on: DISPLAY or WAYLAND_DISPLAY set, or
// SDL_VIDEODRIVER naming a driver.
bool display_available();

// The automatic window size for a desktop of desk_w x desk_h: the width less 40 rounded down
// to a multiple of 16, the height less 120, never below MIN_SCRN_W x MIN_SCRN_H.
void auto_window_size(int desk_w, int desk_h, int* w, int* h);

// Start-up: starts SDL (timer, audio, video), installs eventFilter, takes the automatic size
// for a dimension of SCRN_W / SCRN_H that is 0, opens the 32-bit resizable window titled
// PROGRAM_TITLE, allocates the zero-filled frame buffers into *fb0 and *fb1 (and `menu_fb`) and
// saves the configuration. Without a display, or when the window cannot be opened, writes one
// line to the standard error and ends the process with status 1.
void graphics_full_init(uint32_t** fb0, uint32_t** fb1);

// The window title for the document `name` (may be empty): PROGRAM_TITLE, then " - " and the
// name, with a leading "*" when `modified`. Sets it only when it differs from the last one set.
void window_title(const char* name, int modified);

// A window resized by the user to w x h (the whole window, strip included): the drawing area
// becomes max(w, 200) x max(h - MENU_STRIP_H, 420) and the window takes that size; then, with
// the ImageStack's layers, overlay, display and screen locks taken in that order, SCRN_W and
// SCRN_H take the new size, `sfb0`, `sfb1` and `menu_fb` are replaced by zeroed buffers of that
// size and `image->screen` follows `sfb0` (image may be null). A thread drawing under one of
// those locks never sees the new size with the old buffers. The configuration is then saved. The caller lays the panel out again, regenerates the
// waveform strip and asks for a full redraw. Returns 1, or 0 when the window could not be set
// to the new size (the buffers are replaced all the same).
int window_resize(int w, int h, ImageStack* image);

// Shutdown: closes the window and stops SDL.
void graphics_shutdown();

// ---------------------------------------------------------------------------------------------
// [SECTION] Presenting a frame
// ---------------------------------------------------------------------------------------------

// Converts w x h frame-buffer pixels (bytes red, green, blue, unused) into 32-bit pixels whose
// red, green and blue sit at bit shifts rshift, gshift and bshift, rows `dst_pitch` bytes apart.
void frame_to_window_order(uint8_t* dst, int dst_pitch, const uint32_t* src, int w, int h, int rshift, int gshift,
                           int bshift);

// Sends `menu_fb` and `sfb1` to the window in its pixel order and flips it, under the
// ImageStack's screen lock (image may be null); clears *full_redraw under the same lock when it
// is given. Returns 1, or 0 when there is no window.
int present_frame(ImageStack* image, int* full_redraw);

// ---------------------------------------------------------------------------------------------
// [SECTION] Events
// ---------------------------------------------------------------------------------------------

// SDL event filter: the quit event (the window being closed) runs the window hooks, flushes
// every open stream and ends the process at once with status 0; every other event is passed on
// (result 1).
int eventFilter(const SDL_Event* event);
