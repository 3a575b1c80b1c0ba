// The editor program: start-up, the frame loop and shutdown. One Editor holds what the main
// function keeps across frames (the engine state, the document, the pointer's press state, the
// redraw flags and the document-flow paths); every frame drains the window events into command
// slots, runs the pointer interaction, carries out the pending slots in a fixed order, restarts
// synthesis when the document changed, draws what changed and waits a little.
//
// The wait adapts: while anything is under way (an event, a request, a worker, a redraw, a held
// key or button) a frame follows the previous one after 1 ms; while nothing is, the wait grows
// to IDLE_WAIT_MAX_MS, so that an editor left alone does not wake a thousand times a second.
#pragma once

#include "core/records.h"
#include "core/state.h"
#include "display/view.h"

#include <atomic>
#include <cstdint>

union SDL_Event;

// ---------------------------------------------------------------------------------------------
// [SECTION] The editor record
// ---------------------------------------------------------------------------------------------

constexpr int IDLE_WAIT_MAX_MS = 15;    // longest wait between frames while nothing is pending
constexpr int PLAYING_WAIT_MAX_MS = 8;  // longest wait while playback runs (the play bar moves)

constexpr int SCALES_STATE_LEN = 13; // values that decide what the scales show

// Press states of the pointer (bit PRESS_PAN is added while the view is panned).
enum PressState : int {
    PRESS_NONE = 0,     // no button down
    PRESS_NEW = 1,      // a press being classified this frame
    PRESS_PANEL = 2,    // on a panel control
    PRESS_VIEW = 4,     // in the view with a tool
    PRESS_MENU = 8,     // on the menu strip
    PRESS_STRIP = 9,    // on the menu strip, pointer above the drawing area
    PRESS_CURSOR = 10,  // in the view with the Cursor tool (play position, live following)
    PRESS_PAN = 16,     // bit: slot 34 held, the view follows the pointer
};

// What a press of a tool in the view keeps from its first frame to the end of its release.
struct ToolDrag {
    int tool;                  // tool of the press (0 none, -1 dropped until the buttons are let go)
    int releasing;             // the buttons are up; the release waits for the painting thread
    int erase;                 // erase mode of the last pass (right button, or left with Ctrl)
    int blocks[2];             // first and last synthesis block the rectangle touches, -1 none
    int shift[2];              // the move tool's offset of the last pass (columns, rows)
};

// Everything the main function keeps across frames.
struct Editor {
    EngineState es;            // analysis, synthesis and playback
    ImageStack image;          // the document
    int argc;                  // the command line, for the file named on it
    char** argv;

    int press;                 // PressState of this frame
    int prev_press;            // press state of the previous frame (-1 after a menu redraw)
    int buttons;               // mouse buttons (bits 0, 1) seen by the previous classification
    int grabbed;               // panel control hit by the current press
    int precision;             // right button, or left button with Ctrl
    std::atomic<int32_t> image_changed; // something was drawn into sfb0 (the document's screen_dirty points here)
    int full_redraw;           // the whole window must be drawn and sent
    int rect_start[2];         // image position where a rectangle or move drag began, -1 none
    ToolDrag drag;             // the press of a tool in the view
    ViewPan pan;               // where a pan began
    RedrawThread redraw;       // continuous redraw during drags and strokes
    char status[PATH_TEXT_LEN]; // the status line's text (the panel's line 3 takes it every frame)
    char undo_said[128];        // what the last Undo or Redo did, shown on the status line for a while
    uint32_t undo_said_until;   // SDL ticks until which `undo_said` stays on the status line
    float scales_for[SCALES_STATE_LEN]; // crop, document axis and window size the scales were drawn for

    char path[DOC_DIR_LEN];      // current document path (Reload opens it again)
    char prev_path[DOC_DIR_LEN]; // path before the last Open dialog
    char save_path[DOC_DIR_LEN]; // path chosen in the Save dialog
    int open_flag;             // a document is opened or created this frame
    int launch;                // drives the opening of the file named on the command line

    int events;                // window events drained by this frame
    int wait_ms;               // wait after this frame, as editor_wait chose it
    uint32_t last_frame_ms;    // clock at the previous frame (play-position keys move by time)
    long frames;               // frames run so far
};

// ---------------------------------------------------------------------------------------------
// [SECTION] Running the editor
// ---------------------------------------------------------------------------------------------

// The editor from start to end: start-up, frames until slot 0 is set, shutdown. Returns the exit
// status (0). Without a display, or when the window cannot be opened, ends the process with
// status 1 after one line on standard error.
int editor_run(int argc, char** argv);

// Start-up, every step in order: paths, command slots, random seed, platform, configuration,
// window and frame buffers, resource pictures, fonts, panel, menus, audio device and engine
// state, document record, hooks. `ed` must be value-initialised and stay in place until
// editor_end. Returns 1 to enter the loop, 0 when slot 0 is already set.
int editor_start(Editor* ed, int argc, char** argv);

// One frame without its wait. Returns 0 once slot 0 is set (the loop ends), else 1.
int editor_frame(Editor* ed);

// Waits before the next frame: 1 ms while anything is pending, else a wait that doubles frame
// after frame up to IDLE_WAIT_MAX_MS (PLAYING_WAIT_MAX_MS while playing). Returns the wait in ms.
int editor_wait(Editor* ed);

// Shutdown: stops the workers and the audio device, closes the live output file, frees the
// window, closes the history file, shuts the platform down and writes "\nQuitting program.\n".
// Also releases the document and the engine state and takes back every hook it installed, so
// that a process may start another editor.
void editor_end(Editor* ed);

// ---------------------------------------------------------------------------------------------
// [SECTION] Pieces of a frame (tests drive them one by one)
// ---------------------------------------------------------------------------------------------

// Takes every pending window event (frame step 1); returns how many there were.
int editor_events(Editor* ed);

// One window event into the command slots and the pointer state. With Ctrl held a letter does
// only its menu equivalent (Ctrl+N New, O Open, S Save, R Reload, Z Undo, C Copy, E Erase Mask,
// D Default Values, K Suspend Processing, Q Quit) and nothing else.
void editor_event(Editor* ed, const SDL_Event* event);

// 1 while anything asks for the next frame soon: events of this frame, requests, workers,
// pending redraws, held keys or buttons, the document flows on their way.
int editor_pending(const Editor* ed);

// Sends the frame: sfb0 is copied to sfb1, the menu strip is drawn and the window flipped.
// Called from the main thread (clears the full-redraw flag) or from the analysis redraw thread.
void editor_present(Editor* ed, int main_thread);
