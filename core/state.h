// Program state: the command slots, the program-wide settings and the run-time globals.
//
// The whole program is steered through `key`, an array of byte-wide command slots. Every
// source of a command (keyboard, menu strip, panel, replay, a worker) only writes a slot; the
// main loop reads the slots once per frame in a fixed order, carries out each pending command
// and clears its slot. Slots are one of five kinds:
//   request  a writer stores non-zero; the main loop acts and stores 0 (setting it twice runs it once)
//   held     1 while a key or button is down
//   state    an option that stays on or off; request n toggles state n+1 (only the main loop flips it)
//   value    a small number read by its consumer
//   flag     set and cleared across threads with plain byte stores, no lock
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

// ---------------------------------------------------------------------------------------------
// [SECTION] Command slots
// ---------------------------------------------------------------------------------------------

constexpr int KEY_COUNT = 165; // slots 0..164

// The command slots, all 0 at start-up. Several slots are shared with worker threads and the
// audio callback, so each slot is an atomic byte: the plain stores and polls of the design,
// without data races.
extern std::atomic<int8_t> key[KEY_COUNT];

// Slot numbers, named after what they carry. Slots not listed carry no meaning.
enum KeySlot : int {
    K_QUIT = 0,                 // request: quit
    K_BOUNCE = 2,               // held: L, bounce looping of playback
    K_REVERSE = 3,              // held/value: B, reverse playback (1); the audio stream stores 255 on the backward leg of a bounce
    K_CTRL = 4,                 // held: Ctrl, precision drag; wheel zooms both axes
    K_SHIFT = 5,                // held: Shift, Space = Pause After Current Loop, V = View Current Group Only, wheel zooms vertically, move-tool axis lock
    K_NEW = 6,                  // request: New
    K_OPEN = 7,                 // request: Open with the file dialog
    K_RESUME = 8,               // request: Resume Last Session
    K_SAVE = 9,                 // request/value: 1 ask for a path and save, 2 a sound save waiting for synthesis
    K_CLOSE_AFTER_SAVE = 10,    // value: 1 a document change waits for the save of "Save before closing", 2 that save has ended
    K_PLAY = 12,                // request: play/pause toggle
    K_RELOAD = 13,              // request/value: 1 reload the current path, 3 reload from the native menu
    K_REDO = 14,                // request: Redo (one step forward)
    K_ERASE_MASK = 15,          // request: Erase Mask
    K_JUMP_START = 16,          // request: play position 0, view to the left end
    K_JUMP_END = 17,            // request: play position at the end, view to the right end
    K_PLAY_BACK = 18,           // held: move the play position backwards
    K_PLAY_FORWARD = 19,        // held: move the play position forwards
    K_DEFAULTS = 20,            // request: Default Values
    K_VISION_MODE = 21,         // request: toggle the view colouring (gradient or picture colours)
    K_COPY = 22,                // request: Copy the image to the clipboard
    K_UNLOCK = 23,              // held: F, knobs locked in lossless mode can be turned
    K_UNDO = 24,                // request: Undo (one step back)
    K_MAGNET = 25,              // request: toggle the magnet modifier
    K_HARMONICS = 26,           // request: toggle the harmonics modifier
    K_MASK_INVERT = 27,         // request: Mask Invert
    K_INVERT = 28,              // request: Invert
    K_HFLIP = 29,               // request: Horizontal Flip
    K_VFLIP = 30,               // request: Vertical Flip
    K_ROTATE = 31,              // value: 2 = 90 degrees clockwise, 3 = 180, 4 = 270
    K_WHEEL = 32,               // value: wheel steps since the last frame (+1 up / Page Up, -1 down / Page Down)
    K_ANALYSING = 33,           // flag: a sound is being analysed; redraws also regenerate the waveform strip
    K_PAN = 34,                 // held: End key or middle button, the view follows the mouse
    K_LOSSLESS_LAYOUT = 35,     // state: lossless panel layout in effect
    K_RELAYOUT = 36,            // request: lay the panel out again
    K_DIALOG_OPEN = 37,         // flag: a modal dialog is open
    K_LOADING = 38,             // flag: a sound is being loaded; compositing waits
    K_LONG_BLOCK = 39,          // request/state 40: Long Block Duration
    K_LOOP = 41,                // request/state 42: Loop Playback
    K_LINEAR_KNOB = 43,         // request/state 44: Linear Knob Control
    K_SUSPEND = 45,             // request/state 46: Suspend Processing
    K_CONST_TIME_RES = 47,      // request/state 48: Constant Time Resolution Analysis
    K_RHYTHM_OVERLAY = 49,      // request/state 50: 4/4 Rhythm Overlay
    K_SEMITONE_OVERLAY = 51,    // request/state 52: Semitone Overlay
    K_FAST_DISPLAY = 53,        // request/state 54: Force Fast Image Display (switches 56 off)
    K_SMOOTH_DISPLAY = 55,      // request/state 56: Force Smooth Image Display (switches 54 off)
    K_UNNORMALISED = 57,        // request/state 58: Unnormalised Output
    K_LEFT_ONLY = 59,           // request/state 60: Load Left Channel Only (switches 62 off)
    K_RIGHT_ONLY = 61,          // request/state 62: Load Right Channel Only (switches 60 off)
    K_MIX_TO_STEREO = 63,       // request: Mix Channel Files to Stereo
    K_LAYER_LIST_FIRST = 64,    // value: index of the first layer-list entry in the drawn Layers menu
    K_SELECT_LAYER = 65,        // value: layer selection request, 1-based position from the top of the list
    K_OP_FIRST = 68,            // requests 68..84: layer operations, Horizontal Average .. Group to Nearest Semitone
    K_OP_RECIPROCAL = 78,       // request: 1 / x (carried out before the other operations)
    K_OP_LAST = 84,
    K_LOSSLESS_LOGGED = 85,     // value: lossless mode as last written to the history
    K_NEW_WAVEFORM = 86,        // flag: a worker has new waveform data; redraw the whole window
    K_NEW_LAYER = 87,           // requests 87..94: New Layer, Duplicate, Add Separator, Merge Down,
    K_DUPLICATE_LAYER = 88,     //   Delete, Merge All to New Layer, Move Up, Move Down
    K_ADD_SEPARATOR = 89,
    K_MERGE_DOWN = 90,
    K_DELETE_LAYER = 91,
    K_MERGE_ALL = 92,
    K_LAYER_UP = 93,
    K_LAYER_DOWN = 94,
    K_VIEW_LAYER_ONLY = 95,     // request/state 96: View Current Layer Only
    K_VIEW_GROUP_ONLY = 97,     // request/state 98: View Current Group Only
    K_BLEND_FIRST = 99,         // requests 99..112: blending mode 0..13 of the selected layer
    K_BLEND_LAST = 112,
    K_MULTI_LAYER = 113,        // state: more than one layer, the "Layer intensity" knob is shown
    K_REPLAYING = 114,          // flag: replay in progress, commands are not written to the history
    K_HISTORY_HEADER = 115,     // flag: the next logged command first writes the archive header
    K_SAVE_SNAPSHOT = 116,      // flag: save-panel choice, 1 = archive with the current state, 0 = the history
    K_STROKE = 117,             // flag: a spray stroke is being painted
    K_PAINT_RUNNING = 118,      // flag: paint-queue worker running
    K_PAINT_FINISHED = 119,     // flag: stroke finished
    K_PAINT_STOP = 120,         // flag: stop request (the worker clears it)
    K_PAINT_STATE_PENDING = 121,// flag: document-state request pending
    K_PAINT_STATE = 122,        // flag: the requested document state
    K_WAVEFORM_PENDING = 123,   // value: pending waveform regenerations
    K_NO_STATUS_TEXT = 124,     // flag: the move tool writes no status text
    K_HISTORY_MENU = 125,       // state: History menu shown
    K_TIME_UNIT = 126,          // value: history time unit: 1 px, 2 %, 3 sec
    K_POS_UNIT = 127,           // value: history frequency-position unit: 1 px, 2 %, 4 Hz, 6 note
    K_DIM_UNIT = 128,           // value: history frequency-dimension unit: 1 px, 2 %, 5 st
    K_UNITS_CHANGED = 129,      // request: refresh the History menu checks and save the configuration
    K_RELATIVE_SELECTION = 130, // state: layer selections are logged as offsets (its entries flip it directly)
    K_PCM24 = 131,              // state: sounds are saved as 24-bit PCM
    K_LIVE_SYNTH = 132,         // request/state 133: Live Synthesis
    K_DUMP_LIVE = 134,          // request: Save Live Synthesis Output to File
    K_NOISE_INIT = 136,         // flag: noise-table initialisation in progress
    K_WAVEFORM_AGAIN = 137,     // flag: run the waveform worker once more when it ends
    K_CURSOR_DRAG = 138,        // held: the play cursor is dragged with the Cursor tool
    K_LIVE_JUMP = 139,          // request: live synthesis jumps to `current_x`
    K_SUSPEND_DUMP = 140,       // request: Suspend Output to File
    K_PAUSE_AFTER = 142,        // request/state 143: Pause After Current Loop
    K_TURN_OFF_LAYER = 144,     // request: Turn Off Layer
    K_SELECT_ALL = 145,         // request: Select All
    K_SELECT_NONE = 146,        // request: Select None
    K_SELECT_INVERT = 147,      // request: Invert Selection
    K_SELECTION_GAIN = 148,     // request: Gain on Selection (asks for the gain)
    K_SELECTION_DELETE = 149,   // request: Delete the selected region
    K_SELECTION_FEATHER = 150,  // request: Selection Feather (asks for the soft edge of new shapes)
    K_PLAY_SELECTION = 155,     // request: Play Selection (start, or stop while it plays)
    K_SAVE_SELECTION = 156,     // request: Save Selection as Sound
    K_PASTE = 157,              // request: Paste a picture from the clipboard as a new layer
};

// The state slot that belongs to a request slot of a toggled option.
constexpr int state_of(int request_slot) { return request_slot + 1; }

// ---------------------------------------------------------------------------------------------
// [SECTION] Tool codes (`mouse_function`)
// ---------------------------------------------------------------------------------------------

enum ToolCode : int {
    TOOL_CURSOR = 0,
    TOOL_DARK_SPRAY = 1,
    TOOL_WHITE_SPRAY = 2,
    TOOL_BRIGHTEN_SPRAY = 3,
    TOOL_SMART_ERASE = 4,
    TOOL_RECTANGLE = 5,
    TOOL_MOVE = 6,
    TOOL_CONV_CENTRE = 7, // Set Central Convolution Point
    TOOL_SELECT_BOX = 8,  // Select tool: a box in time and frequency
    TOOL_SELECT_BRUSH = 9, // Select tool: a brush of the Spray width
    TOOL_SELECT_LASSO = 10, // Select tool: a closed shape drawn freely
};

// Whether a tool is one of the Select tool's three modes.
constexpr bool is_select_tool(int tool) { return tool >= TOOL_SELECT_BOX && tool <= TOOL_SELECT_LASSO; }

// The Select tool chosen again from `tool`: the box first, then brush, lasso and the box again.
constexpr int next_select_tool(int tool)
{
    return is_select_tool(tool) && tool < TOOL_SELECT_LASSO ? tool + 1 : TOOL_SELECT_BOX;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Program identity
// ---------------------------------------------------------------------------------------------

constexpr const char* PROGRAM_TITLE = "Brindlewharf 1.9.5"; // window title and start-up banner
constexpr const char* APPDATA_FOLDER = "Brindlewharf";      // folder under the user's data directory
constexpr const char* HOME_PAGE = "https://brindlewharf.org/"; // opened by check_updates

// ---------------------------------------------------------------------------------------------
// [SECTION] Program-wide settings (written by the configuration loader, read everywhere)
// ---------------------------------------------------------------------------------------------

extern int SOUND_SAMPLERATE;   // Hz, audio device and synthesis rate (44100)
extern int SOUND_BUFFERLEN;    // sample frames per audio callback (2048)
extern float MIN_FREQ;         // Hz, lowest analysed frequency (27.5)
extern float MAX_FREQ;         // Hz, highest analysed frequency (20000)
extern float ANAL_PPS;         // pixels per second of a new analysis (100)
extern float ANAL_BPO;         // bands per octave of a new analysis (60)
extern float MIN_BPO;          // lowest bands per octave allowed at high time resolutions (24)
extern float TRANSITION_PPS;   // time resolution above which MIN_BPO applies (100)
extern int KBZ_SIZE_LIMIT;     // initial size limit of archives, megabytes (0)
extern float min_rad;          // smallest painting point, pixels (2)
extern int WAVEFORM_H;         // height of the waveform strip, pixels (55)
extern int mouse_sub_range;    // sub-pixel steps per pixel in slow-mouse mode (32)
extern int spray_harmonics;    // harmonics painted by the harmonics modifier (100)
extern float live_cursor_fps;  // refresh rate of the live-synthesis cursor (20)
extern int UNDO_MEMORY_MB;     // memory the Undo steps may hold, megabytes (512)
extern float tool_width;       // last "Spray width" knob value, -1 = not set
extern float tool_intensity;   // last "Tool intensity" knob value, -1 = not set
constexpr float SELECTION_FEATHER_DEFAULT = 3.f; // soft edge of new selection shapes, pixels
extern float selection_feather; // soft edge of new selection shapes, pixels (SELECTION_FEATHER_DEFAULT)
extern int SCRN_W, SCRN_H;     // window size, 0 = chosen from the desktop at start-up
extern int MARGIN_Y;           // panel height under the view, set by the panel layout (280 or 169)
extern int CORE_COUNT;         // worker threads for parallel work: cores - 1, at least 1
extern const float PI;         // pi in single precision, used by the knob geometry
extern float LOGBASE;          // frequency-scale base in force (1 linear .. 2 logarithmic)
extern int BMSQ_LUT_SIZE;      // size of the interpolation kernel table
extern float LOOP_SIZE_SEC;    // length of the live-synthesis noise loop, seconds

constexpr int MIN_SCRN_W = 768; // smallest window width: every menu title and every panel control fits
constexpr int MIN_SCRN_H = 420; // smallest window height

// Puts every program-wide setting back to its built-in default (the values above).
void settings_defaults();

// ---------------------------------------------------------------------------------------------
// [SECTION] Run-time globals
// ---------------------------------------------------------------------------------------------

constexpr int PATH_TEXT_LEN = 2048;    // size of the document-name and unit-text buffers
constexpr int DOC_DIR_LEN = 4096;      // size of `current_doc_directory`

extern std::atomic<uint8_t> lossless_mode; // lossless synthesis on (only while an original sound is held)
extern int harmonics, magnet;          // painting modifiers, 0 or 1
extern float* orig_snd;                // the original sound kept for lossless synthesis
extern int orig_len, orig_rate;        // its length in samples and its sample rate
extern FILE* cmd_out_file;             // the history file being written, null until the first command
extern char* history_path;             // app-data path of "history.kbz"
extern char current_doc_directory[DOC_DIR_LEN]; // folder of the current document, start folder of dialogs
extern char input_file_name[PATH_TEXT_LEN];     // current document name
extern char input_audio_name[PATH_TEXT_LEN];    // reference-audio name
extern char x_value[PATH_TEXT_LEN], y_value[PATH_TEXT_LEN]; // unit-formatted coordinates for history lines
extern int mouse_function;             // active tool (ToolCode)
extern int mouse_ax, mouse_ay;         // pointer position used by every consumer, window pixels
extern int mouse_ax_raw, mouse_ay_raw; // pointer position from the last motion event
extern int mouse_ax_sub, mouse_ay_sub; // sub-pixel offsets in slow-mouse mode
extern uint8_t mouse_b;                // bit 0 left button down, bit 1 right button down
extern uint8_t slow_mouse;             // H held: slow, sub-pixel pointer mode
extern float fb_scale;                 // window pixels per event coordinate (1.0)
extern std::atomic<float> current_x;   // image column clicked for live synthesis (the audio callback reads it)
extern int progress_crop_x;            // crop position at which the waveform strip was last made
extern int menu_opened;                // open drawn menu, -1 when none
extern int mac_redraw;                 // set by menu handlers: redraw everything next frame
extern int doc_modified;               // changes to the document since it was opened or last saved (0: nothing to lose)
extern std::atomic<int> dialogs_shown; // dialogs and alerts opened so far (input that came meanwhile is dropped)
extern float zoom_center_x, zoom_center_y, zoom_h, zoom_v; // view zoom
extern int crop_x, crop_y, crop_w, crop_h;                // view crop

// Clears all command slots and puts the run-time globals back to their start values.
void state_reset();
