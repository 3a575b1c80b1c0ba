// The knob panel below the spectrogram view: nine rotary knobs, the Play button, the push and
// toggle buttons, the column of tool buttons down the left edge, Open, Save and Quit in the
// corners. All of them are entries of one table, `ctrl`, built once at start-up and laid out
// again whenever the window size, the lossless mode or the layer count changes.
//
// A knob is turned by moving the pointer in circles around it (or up and down with Linear Knob
// Control); its angle (0 .. 1.5 pi) is mapped to a value by a curve of its own, printed in its
// centre and read by the rest of the program (`ctrl[i].value`).
//
// The frame loop drives the panel: it hands the pointer over through panel_press, panel_drag and
// panel_release, runs the knob effects, the group logging and Default Values at their places in
// the frame, and asks the panel to draw itself into the frame buffer. Drawing works on plain
// buffers, so everything here runs headless.
#pragma once

#include "core/records.h"
#include "render/gfx.h"

// ---------------------------------------------------------------------------------------------
// [SECTION] The Controls table
// ---------------------------------------------------------------------------------------------

constexpr int CONTROL_COUNT = 35;  // entries of `ctrl`
constexpr int KNOB_FRAMES = 193;   // frames of the knob strip: frame k shows angle k / 192 * 1.5 pi
constexpr int KNOB_CAPTIONS = 10;  // seven scale labels, two caption lines, the value
constexpr int KNOB_VALUE_LINE = 9; // caption that holds a knob's printed value
constexpr int TEXT_LINES = 7;      // lines of `text`
constexpr int HIDDEN_POS = -1000;  // coordinate of a control or line that is not on screen

// What a control is.
enum ControlKind : int {
    CTRL_KNOB = 0,
    CTRL_PUSH = 1,
    CTRL_TOGGLE = 2,
    CTRL_PLAY = 3,
    CTRL_DECORATION = 4,
    CTRL_KNOB_FACE = 5,
};

// Indices of `ctrl`.
enum ControlIndex : int {
    C_KNOB_FACE = 0,        // the face drawn under every knob
    C_VOLUME = 1,           // dB
    C_MIN_FREQ = 2,         // Hz
    C_MAX_FREQ = 3,         // Hz
    C_TIME_RES = 4,         // pixels per second
    C_GAMMA = 5,            // gamma of the selected layer
    C_LAYER_INTENSITY = 6,  // dB, shown only with more than one layer
    C_FREQ_SCALE = 7,       // frequency-scale base, 1 (linear) .. 2 (logarithmic)
    C_SPRAY_WIDTH = 8,      // pixels
    C_TOOL_INTENSITY = 9,   // 0 .. 1
    C_PLAY = 10,
    C_OPEN = 11,
    C_SAVE = 12,
    C_QUIT = 13,
    C_CORNER = 14,          // resize grip, decoration
    C_TOOL_CURSOR = 15,     // tool buttons 15 .. 21: tools 0, 6, 1, 2, 3, 4, 5
    C_TOOL_MOVE = 16,
    C_TOOL_DARK = 17,
    C_TOOL_WHITE = 18,
    C_TOOL_BRIGHTEN = 19,
    C_TOOL_ERASE = 20,
    C_TOOL_RECT = 21,
    C_ROT_FIRST = 22,       // 22 .. 25: rotation buttons, never on screen
    C_ROT_LAST = 25,
    C_FLIP = 26,
    C_HELP = 27,
    C_INVERT = 28,
    C_MASK_INVERT = 29,
    C_VISION = 30,
    C_LOSSLESS = 31,
    C_HARMONICS = 32,
    C_MAGNET = 33,
    C_TOOL_SELECT = 34,     // the Select tool; pressed again while lit it takes the next mode (box, brush, lasso)
};

// One entry of the Controls table.
struct Control {
    int kind;            // ControlKind
    int x, y;            // top-left corner in the window
    int w, h;            // size of one sprite frame
    int cx, cy;          // centre, relative to the top-left corner
    int drawn_x, drawn_y;// where the control was last drawn
    int frames;          // frames in the sprite
    int frame;           // frame shown now
    int drawn_frame;     // frame last drawn; -1 at creation (never drawn)
    float angle;         // knob angle, 0 .. 1.5 pi
    float turn;          // accumulated pointer angle of the current knob drag
    int hit_radius;      // a press within this distance of the centre grabs the control
    int dead_radius;     // knob drags ignore the pointer within this distance of the centre
    Sprite sprite;       // the sprite sheet (the knobs share the knob strip)
    int owns_sprite;     // 1 when the sprite is freed with the panel
    int caption_count;   // entries of `captions`
    TextLabel* captions; // captions drawn with the control
    float value;         // knob value, or the 0/1 state of a toggle
    int changed;         // 1 while a knob drag has moved the knob
    int lossless_locked; // 1: cannot be grabbed in lossless mode unless F (slot 23) is held
    int full_redraw;     // 1: pressing and releasing the control redraws the whole window
};

extern Control* ctrl;   // the panel, CONTROL_COUNT entries; null until control_text_init
extern TextLabel* text; // the window's seven fixed lines: 0 "Open", 1 "Save", 2 "Quit",
                        // 3 the status line, 4 the document name, 5 spare, 6 "Rotation"

// ---------------------------------------------------------------------------------------------
// [SECTION] Building
// ---------------------------------------------------------------------------------------------

// Start-up: loads the panel pictures, builds `ctrl` and `text` (captions in `small`, the Play
// caption and the Open/Save/Quit/document lines in `large`), sets each knob's start angle and
// derives its value, printed text and frame; installs `config_tool_knobs`. A second call
// rebuilds the panel (installed hooks stay). The controls stay off screen until after_res_change.
void control_text_init(const BitmapFont* small, const BitmapFont* large);

// Frees the panel and `text` and removes every hook that points into them.
void control_text_free();

// Makes ctrl entry `c` knob number `index`: kind knob, hit radius 28, dead radius 10, centre
// (50, 50), ten captions in `font` (the seven scale labels, caption 1, caption 2 and the value
// line, which holds caption 3 until the first print).
void knob_init(Control* c, int index, const BitmapFont* font, const char* const labels[7], const char* caption1,
               const char* caption2, const char* caption3);

// Installs what the document, the replay and the configuration call in the panel: the gamma
// knob following the selected layer, the relayout after a layer-count change, the Invert
// button's lit state, the analysis knobs following a replay.
void panel_install_hooks();

// ---------------------------------------------------------------------------------------------
// [SECTION] Knob values
// ---------------------------------------------------------------------------------------------

// Value of knob `index` (1 .. 9) at `angle`; 0 for another index. With `es`, the time
// resolution never goes below image width * SOUND_SAMPLERATE / 2e9 (so a synthesised sound
// stays within 2e9 samples).
double angle_to_value(int index, const EngineState* es, float angle);

// The angle at which knob `index` shows `value`, by bisection; 0 below the knob's range (and
// for an index outside 1 .. 9), 1.5 pi above it.
float value_to_angle(int index, float value);

// Writes knob `index`'s printed value into c's value line; nothing for an index outside 1 .. 9.
void knob_value_print(int index, Control* c);

// Frame of the knob strip for `angle`: floor(193 angle / 1.5 pi), within 0 .. 192.
int knob_frame(float angle);

// Sets knob `index` to `angle`: value from its curve (with `es` for the time-resolution floor),
// printed, frame set.
void knob_set_angle(int index, float angle, const EngineState* es);

// Sets knob `index` to `value`: angle by the inverse curve, printed, frame set.
void knob_set_value(int index, float value);

// Knobs 2 .. 9 take the angle of their value, print it and set their frame (knob 1 is left as
// it is); *full_redraw (may be null) is set.
void refresh_knobs(Control* controls, int* full_redraw);

// Knobs 2, 3, 4 and 7 take the engine state's frequency range, time resolution and scale base
// (the replay's hook, after "Frequency range", "Time resolution", "Frequency scale" lines).
void knobs_follow(EngineState* es);

// The gamma knob takes the selected layer's gamma (the document's knob-refresh hook).
void gamma_knob_follow(EngineState* es);

// After a document was opened: the gamma knob follows the selected layer, the synthesis range
// and the analysis settings take the frequency, time-resolution and scale knobs' values, and
// the knobs are refreshed.
void knobs_after_open(EngineState* es);

// Invert also flips the lit state of the INV. button (the document's invert-control hook).
void invert_control_toggle(EngineState* es);

// The Open button shows its pressed look (while a document is being opened) or its normal one.
void open_button_look(int pressed);

// ---------------------------------------------------------------------------------------------
// [SECTION] Layout
// ---------------------------------------------------------------------------------------------

// Lays the panel out for SCRN_W x SCRN_H: the lossless layout (one row) when slot 35 is set and
// the window is 880 pixels wide (1120 with Layer intensity), the wide one from 1400 pixels on
// (1456 with Layer intensity), else the normal one (two rows; in lossless mode without the four
// locked knobs); the "Layer intensity" knob only with slot 113. A control whose place would leave the window or cover another control or the view is
// moved to the nearest free place in the window, and kept off screen when there is none. Sets
// MARGIN_Y, places the captions and the lines of `lines`, sets the view rectangle of the
// document and redraws it.
void after_res_change(Control* controls, TextLabel* lines, EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Pointer
// ---------------------------------------------------------------------------------------------

// Bits returned by the pointer functions.
enum PanelResult : int {
    PANEL_TAKEN = 1,       // the press grabbed a control: the press state becomes 2
    PANEL_FULL_REDRAW = 2, // the whole window must be redrawn
};

// A new press at (x, y): hit-tests controls 0 .. 33 (the last one hit wins; in lossless mode
// the locked ones only with F held) and grabs it; a knob records its grab angle. Returns
// PanelResult bits (0 when no control was hit).
int panel_press(EngineState* es, int x, int y);

// Every frame while the press stays on the panel (press state 2), including the frame of the
// press: turns a grabbed knob (precision: right button, or Ctrl with the left one, divides the
// motion by 100; the status line explains the gesture) or updates a button's pressed look.
void panel_drag(EngineState* es, int x, int y, int precision);

// The press ended (press state fell from 2 to 0): the grabbed control's release action (a push
// button or toggle only when released over it). Returns PanelResult bits.
int panel_release(EngineState* es);

// The control grabbed by the current press, or -1.
int panel_grabbed();

// 1 while knob `index` is being dragged.
int knob_dragging(int index);

// Moves the pointer for the linear gesture's wrap at the window edge (window pixels of the
// drawing area). Installed by default; tests may replace it.
extern void (*panel_warp_pointer)(int x, int y);

// ---------------------------------------------------------------------------------------------
// [SECTION] Effects and commands (frame loop)
// ---------------------------------------------------------------------------------------------

// The knob effects of one frame: the volume follows a dragged Volume knob; a dragged Gamma or
// Layer intensity knob starts its preview on the selected layer (constant redraw, synthesis
// stopped, layer saved for Undo on the first frame), the preview step follows the knob.
void panel_effects(EngineState* es);

// Tool buttons lit for `mouse_function` (none for tool 7), modifier buttons for `harmonics`
// and `magnet`, the Play button's look for the engine state's paused value. The grabbed
// control keeps its pressed look.
void panel_sync(EngineState* es);

// The knob group: once none of the frequency, time-resolution, scale and gamma knobs is being
// dragged, writes to the history each of "Gamma %g" (a released gamma change), "Frequency range
// %g Hz - %g Hz", "Time resolution %g px/s" and "Frequency scale %g" whose knob differs from the
// synthesis range, then an empty line when any was written (all only with a document); the
// synthesis range and the analysis settings take the knob values. Returns 1 when the range
// changed: with a document its change state is raised to 3 (synthesis and noise table rebuilt).
int knob_group_commit(EngineState* es);

// Default Values (slot 20; the caller clears the slot): frequency and time-resolution knobs
// back to MIN_FREQ, MAX_FREQ and ANAL_PPS, gamma to 1 : 1 (the selected layer's gamma undone),
// the scale to logarithmic; the knobs are refreshed. Returns PANEL_FULL_REDRAW.
int default_values(EngineState* es);

// In lossless mode with a document whose size differs from the analysed sound's image: the
// alert "Lossless mode error: different image sizes", lossless mode off, relayout requested.
// Returns 1 when it switched lossless mode off.
int lossless_size_check(EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Drawing
// ---------------------------------------------------------------------------------------------

// Draws into `fb` (SCRN_W x SCRN_H) every control whose frame, position or captions changed
// since it was last drawn, or all of them with `full` (the background already repainted). The
// Play caption follows the paused value and the Lossless captions the mode first. Writes only
// inside each control's sprite and caption boxes. Returns 1 when anything was drawn.
int panel_draw_controls(EngineState* es, uint32_t* fb, int full);

// Draws the lines of `text` whose text or position changed (all with `full`); the document
// name line takes `input_file_name` first (with a leading "*" while `doc_modified`). Returns 1
// when anything was drawn.
int panel_draw_text_lines(uint32_t* fb, int full);
