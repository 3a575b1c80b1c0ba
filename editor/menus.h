// The menus: one model (nine menus with their entries, shortcut hints, greyed states, check
// marks and the live list of layers), presented as the menu strip drawn above the drawing area,
// and the dispatch that turns a choice into a command slot of `key`, a tool code in
// `mouse_function` or a desktop service. The main loop carries the commands out.
//
// The strip lives in its own buffer (`menu_fb`, MENU_STRIP_H rows above the drawing area, where
// `mouse_ay` < 0); an opened menu drops down over the frame and is drawn into `sfb1`. Entry
// rectangles are in drawing-area coordinates, the same as `mouse_ax`/`mouse_ay`. A menu taller
// than the drawing area scrolls: scroll rows at its ends move it while the pointer rests on
// them, and the wheel scrolls it while it is open.
//
// Everything here runs on the main thread.
#pragma once

#include "core/records.h"
#include "render/gfx.h"

#include <atomic>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Model
// ---------------------------------------------------------------------------------------------

// One entry of a menu.
struct MenuEntry {
    std::string label;    // entry label; the single character "-" makes a separator
    std::string shortcut; // shortcut hint drawn at the right of the entry, empty for none
    int greyed;           // 1: shown unavailable and does nothing
    int checked;          // 1: the entry shows a check mark
    int x, y, w, h;       // area of the entry while its menu is open (pointer hits); empty when not shown
};

// One menu of the bar.
struct Menu {
    std::string name;               // title shown in the strip; empty for a menu that is not shown
    int x;                          // left edge of the title in the strip, pixels
    int title_w;                    // text width of the title
    int width;                      // width of the opened panel, pixels
    std::vector<MenuEntry> entries; // the entries, in order
};

// The nine menus, in order.
using MenuBar = std::vector<Menu>;

// Indices of the menus in the bar.
enum MenuIndex : int {
    MENU_FILE = 0,
    MENU_EDIT = 1,
    MENU_OPTIONS = 2,
    MENU_HISTORY = 3, // shown only while slot 125 is set (at start-up)
    MENU_VIEW = 4,
    MENU_TOOLS = 5,
    MENU_OPERATIONS = 6,
    MENU_LAYERS = 7,
    MENU_HELP = 8,
    MENU_COUNT = 9,
};

constexpr int LAYER_LIST_FIRST = 30;   // index of the first layer-list entry of the Layers menu (slot 64)
constexpr int LAYER_LABEL_MAX = 256;   // bytes of a layer-list label with its terminator

extern MenuBar menu;   // the program's menus, built at start-up by menu_init
extern int menu_count; // number of menus in `menu` (9)

// Fills one entry; the label and the shortcut (null or empty: none) are copied.
void init_menu_entry(MenuEntry* entry, const char* label, const char* shortcut, int greyed, int checked, int x, int y,
                     int w, int h);

// Builds the nine menus with their initial entries and the strip layout in `font` (title
// places and panel widths); sets slot 64 to LAYER_LIST_FIRST and *count (may be null) to 9.
// The History menu gets its title only when slot 125 is set.
MenuBar menu_init(int* count, const BitmapFont& font);

// The first entry whose label is `label`, searching the menus in order and each menu's entries
// in order; null (with "Menu entry \"%s\" not found.\n" on stderr) when there is none. Writes
// `menu_index`/`entry_index` when given.
MenuEntry* find_menu_entry(MenuBar& menu, const char* label, int* menu_index = nullptr, int* entry_index = nullptr);

// Sets the check mark of the entry labelled `label` to `state` (0 or 1). `title` names the
// menu the entry belongs to (the entries are found by label alone). Returns 1 when the mark
// changed.
int menu_check(MenuBar& menu, const char* title, const char* label, int state);

// ---------------------------------------------------------------------------------------------
// [SECTION] Layer list and check marks
// ---------------------------------------------------------------------------------------------

// Rebuilds the layer list from index LAYER_LIST_FIRST: one entry per layer from the top one
// down ("%s [%s]", "(off) ..." or "(group-off) ..."), the selected one checked; "No Layer"
// (greyed) without layers. Also marks "Turn Off Layer", the blending mode and widens the Layers
// panel to its labels. Takes `layers_lock` (image may be null).
void refresh_layers_menu(MenuBar& menu, ImageStack* image, const BitmapFont& font);

// The blending entries: only the selected layer's mode is checked (none without a document).
void refresh_blend_menu_checks(MenuBar& menu, ImageStack* image);

// The History entries: the units of slots 126, 127, 128 and "Relative selection index" (130).
void refresh_history_menu_checks(MenuBar& menu);

// The Undo and Redo entries (the first two of Edit) name the step they would act on ("Undo
// Stroke", "Redo Square Root"), greyed "Undo" or "Redo" when there is none; the Edit panel widens
// to them. Returns the number of entries that changed.
int refresh_undo_menu(MenuBar& menu, const ImageStack* image, const BitmapFont& font);

// Every other check mark from the state it shows: the options of Options and View (their state
// slots), "View Current Layer Only" / "View Current Group Only", the magnet and harmonics
// modifiers, the tool entries (the current tool; "Set Central Convolution Point" for tool 7).
// Returns the number of marks that changed.
int menu_sync_checks(MenuBar& menu);

// ---------------------------------------------------------------------------------------------
// [SECTION] Dispatch
// ---------------------------------------------------------------------------------------------

// Set by a strip choice of New, Open..., Resume Last Session or Reload: the document flow waits
// one frame so that the menu is gone from the screen before a dialog shows. The flow clears it.
extern int menu_deferral;

// Layer selection beyond what slot 65 can carry (positions above 127): the 1-based position from
// the top of the list, 0 when none is pending. A choice writes either slot 65 or this request.
extern std::atomic<int> layer_select_request;

// Selects the layer of a pending `layer_select_request` (select_layer) and clears it. Returns 1
// when a selection was made. Main thread, before the layer commands of the frame.
int apply_layer_select_request(EngineState* es);

// What File > Export ... as Picture asks of the frame loop: 0 nothing, EXPORT_VIEW or
// EXPORT_DOCUMENT. The frame loop takes it (exchange with 0) and asks for the file.
enum ExportRequest : int {
    EXPORT_VIEW = 1,     // the view as shown, with its scales and overlays
    EXPORT_DOCUMENT = 2, // the whole document, one pixel per column and band, with the scales
};
extern std::atomic<int> export_request;

// The desktop services the Help entries call; replaceable (tests).
struct MenuServices {
    void (*open_manual)();   // "Open Manual..."
    void (*check_updates)(); // "Check for Updates Online..."
    void (*open_appdata)();  // "Open Brindlewharf Files Folder"
};

extern MenuServices menu_services; // the desktop's services by default

// Carries out entry `entry_index` of menu `menu_index`: its slot, tool code or desktop service
// (nothing for a greyed entry, a separator or an index out of range); a layer-list entry
// requests the selection of its layer. `from_strip` sets `menu_deferral` for the document
// commands. Sets `mac_redraw`. Returns 1 when it acted.
int menu_dispatch(MenuBar& menu, int menu_index, int entry_index, int from_strip);

// A key pressed with Ctrl held (`sym` the key's character code). The letters n, o, s, r, z, y,
// c, e, d, k, q carry out New, Open..., Save..., Reload, Undo, Redo, Copy, Erase Mask, Default
// Values, Suspend Processing and Quit (Ctrl+Shift+Z, Redo, is the window's); every other letter does nothing. Returns 1 for a letter (the
// window must not also run its plain-key command), 0 for any other key.
int menu_key_equivalent(MenuBar& menu, int sym);

// ---------------------------------------------------------------------------------------------
// [SECTION] Pointer
// ---------------------------------------------------------------------------------------------

// Pointer state of the strip.
struct MenuStrip {
    int hovered;      // entry of the open menu under the pointer, -1
    int scroll;       // first entry shown by the open menu
    int max_scroll;   // largest useful `scroll` of the open menu
    int latched;      // a click closed the menu: nothing reopens before the button is released
    int px, py, pw, ph; // the open panel, drawing-area coordinates
    int scrolling;    // 1 when the open menu is taller than the drawing area: scroll rows at its ends
    long long last_scroll_ms; // time of the last scroll step while the pointer rests on a scroll row
};

extern MenuStrip menu_strip;

// The press state a new button press belongs to: 9 on the strip (`mouse_ay` < 0), 8 anywhere
// else while a menu is open (the press chooses or closes it), 0 when the menus do not take it.
int menu_press_state();

// One frame of pointer handling; call every frame with the frame's press state and the previous
// one. Over the strip a title opens its menu (with the button held, a place between titles
// closes it; a second click on the open title closes it); with a menu open the hovered entry
// follows the pointer, the wheel (slot 32, consumed) and the scroll rows scroll it; releasing the
// button over an entry dispatches it, and the menu then stays open only while the pointer is on
// the strip. Returns 1 when the window must be redrawn in full.
int menu_pointer(MenuBar& menu, int press_state, int prev_press_state);

// Closes the open menu (menu_opened = -1, nothing hovered).
void menu_close();

// ---------------------------------------------------------------------------------------------
// [SECTION] Drawing
// ---------------------------------------------------------------------------------------------

// Draws the strip (every shown title, the open one lit) into `strip` and, when menu `open` is
// open, its panel (entries, hovered entry lit, check marks, shortcut hints, greyed labels,
// scroll rows, shadow) into `frame` at the top. `hovered` is the entry under the pointer.
void draw_menu(FrameRef strip, FrameRef frame, MenuBar& menu, int open, int hovered, const BitmapFont& font);

// Darkens the shadow bands of a panel at (x, y) of w x h with "gfx/menu_shadow.png" (loaded by
// the first call; a call with a null frame only loads it): columns x - 5 .. x - 1 over rows
// y .. y + 6, and columns x + w .. x + w + 4 over the panel's height. Clipped to the frame.
void draw_menu_shadow(FrameRef frame, int x, int y, int w, int h);

// ---------------------------------------------------------------------------------------------
// [SECTION] Program glue
// ---------------------------------------------------------------------------------------------

// For `document_hooks.list_refresh`: refresh_layers_menu on `menu` in `futura16`, then marks the
// document's screen as changed.
void menu_list_refresh_hook(EngineState* es);

// For `replay_hooks.options_checks` (and anyone who changed option states): menu_sync_checks on
// `menu`.
void menu_checks_hook(EngineState* es);

// The frame's menu drawing: draw_menu into `menu_fb` and `sfb1` with `menu`, `menu_opened`,
// the hovered entry and `futura16`.
void menu_draw_frame();
