// The menus: model, layer list, check marks, dispatch, pointer handling and the strip drawing.
#include "editor/menus.h"

#include "core/state.h"
#include "display/screen.h"
#include "display/window.h"
#include "document/composite.h"
#include "document/layers.h"
#include "document/undo.h"
#include "platform/desktop.h"
#include "platform/util.h"
#include "sound/live.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// [SECTION] Globals
// ---------------------------------------------------------------------------------------------

MenuBar menu;
int menu_count = 0;
int menu_deferral = 0;
std::atomic<int> export_request{0};
std::atomic<int> layer_select_request{0};
MenuServices menu_services = {open_manual, check_updates, open_appdata};
MenuStrip menu_strip = {-1, 0, 0, 0, 0, 0, 0, 0, 0, 0};

namespace {

// Panel geometry, pixels.
constexpr int ENTRY_H = 20;      // height of an entry
constexpr int SEPARATOR_H = 7;   // height of a separator
constexpr int PANEL_PAD = 3;     // space above the first and below the last entry
constexpr int SCROLL_ROW_H = 14; // height of a scroll row of a long menu
constexpr int SCROLL_MS = 50;    // time between scroll steps while the pointer rests on a scroll row
constexpr int WHEEL_ENTRIES = 3; // entries scrolled per wheel step

// Palette entries of the menus.
constexpr int COL_TEXT = 0;
constexpr int COL_HINT = 6;
constexpr int COL_STRIP = 10;
constexpr int COL_PANEL = 11;
constexpr int COL_HOVER = 12;
constexpr int COL_LINE = 13;
constexpr int COL_GREYED = 14;

bool is_separator(const MenuEntry& e) { return e.label == "-"; }

int entry_height(const MenuEntry& e) { return is_separator(e) ? SEPARATOR_H : ENTRY_H; }

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Actions of the entries
// ---------------------------------------------------------------------------------------------

enum ActionKind : int {
    ACT_SLOT,     // key[slot] = value
    ACT_TOOL,     // mouse_function = value
    ACT_UNIT,     // key[slot] = value and the History refresh request (129)
    ACT_RELATIVE, // slot 130 flipped and the History refresh request
    ACT_MANUAL,   // menu_services.open_manual
    ACT_UPDATES,  // menu_services.check_updates
    ACT_APPDATA,  // menu_services.open_appdata
    ACT_EXPORT,   // export_request = value
};

struct MenuAction {
    const char* label;
    ActionKind kind;
    int slot;
    int value;
    int defer; // a document command: a strip choice waits a frame before its dialogs
};

// Every entry that does something, by label. The blending modes are added from
// blend_menu_label; the layer list is handled by index.
const MenuAction menu_actions[] = {
    // File
    {"New", ACT_SLOT, K_NEW, 1, 1},
    {"Open...", ACT_SLOT, K_OPEN, 1, 1},
    {"Resume Last Session", ACT_SLOT, K_RESUME, 1, 1},
    {"Save...", ACT_SLOT, K_SAVE, 1, 0},
    {"Save Selection as Sound...", ACT_SLOT, K_SAVE_SELECTION, 1, 0},
    {"Export View as Picture...", ACT_EXPORT, 0, EXPORT_VIEW, 0},
    {"Export Whole Document as Picture...", ACT_EXPORT, 0, EXPORT_DOCUMENT, 0},
    // Reload stores 3: the document flow then opens the current path itself (a 1 relies on the
    // caller also raising the flow's open flag, which only the R key does).
    {"Reload", ACT_SLOT, K_RELOAD, 3, 1},
    {"Quit", ACT_SLOT, K_QUIT, 1, 0},
    // Edit
    {"Undo", ACT_SLOT, K_UNDO, 1, 0},
    {"Redo", ACT_SLOT, K_REDO, 1, 0},
    {"Copy", ACT_SLOT, K_COPY, 1, 0},
    {"Paste", ACT_SLOT, K_PASTE, 1, 0},
    {"Erase Mask", ACT_SLOT, K_ERASE_MASK, 1, 0},
    {"Default Values", ACT_SLOT, K_DEFAULTS, 1, 0},
    {"Select All", ACT_SLOT, K_SELECT_ALL, 1, 0},
    {"Select None", ACT_SLOT, K_SELECT_NONE, 1, 0},
    {"Invert Selection", ACT_SLOT, K_SELECT_INVERT, 1, 0},
    {"Gain on Selection...", ACT_SLOT, K_SELECTION_GAIN, 1, 1},
    {"Delete Selection", ACT_SLOT, K_SELECTION_DELETE, 1, 0},
    {"Selection Feather...", ACT_SLOT, K_SELECTION_FEATHER, 1, 1},
    // Options
    {"Loop Playback", ACT_SLOT, K_LOOP, 1, 0},
    {"Pause After Current Loop", ACT_SLOT, K_PAUSE_AFTER, 1, 0},
    {"Play Selection", ACT_SLOT, K_PLAY_SELECTION, 1, 0},
    {"Live Synthesis", ACT_SLOT, K_LIVE_SYNTH, 1, 0},
    {"Save Live Synthesis Output to File...", ACT_SLOT, K_DUMP_LIVE, 1, 0},
    {"Suspend Output to File", ACT_SLOT, K_SUSPEND_DUMP, 1, 0},
    {"Unnormalised Output", ACT_SLOT, K_UNNORMALISED, 1, 0},
    {"Load Left Channel Only", ACT_SLOT, K_LEFT_ONLY, 1, 0},
    {"Load Right Channel Only", ACT_SLOT, K_RIGHT_ONLY, 1, 0},
    {"Mix Channel Files to Stereo...", ACT_SLOT, K_MIX_TO_STEREO, 1, 0},
    {"Suspend Processing", ACT_SLOT, K_SUSPEND, 1, 0},
    {"Long Block Duration", ACT_SLOT, K_LONG_BLOCK, 1, 0},
    {"Constant Time Resolution Analysis", ACT_SLOT, K_CONST_TIME_RES, 1, 0},
    {"Linear Knob Control", ACT_SLOT, K_LINEAR_KNOB, 1, 0},
    // History
    {"Time in pixels", ACT_UNIT, K_TIME_UNIT, 1, 0},
    {"Time in percents", ACT_UNIT, K_TIME_UNIT, 2, 0},
    {"Time in seconds", ACT_UNIT, K_TIME_UNIT, 3, 0},
    {"Frequency positions in pixels", ACT_UNIT, K_POS_UNIT, 1, 0},
    {"Frequency positions in percents", ACT_UNIT, K_POS_UNIT, 2, 0},
    {"Frequency positions in Hertz", ACT_UNIT, K_POS_UNIT, 4, 0},
    {"Frequency positions in notes", ACT_UNIT, K_POS_UNIT, 6, 0},
    {"Frequency dimensions in pixels", ACT_UNIT, K_DIM_UNIT, 1, 0},
    {"Frequency dimensions in percents", ACT_UNIT, K_DIM_UNIT, 2, 0},
    {"Frequency dimensions in semitones", ACT_UNIT, K_DIM_UNIT, 5, 0},
    {"Relative selection index", ACT_RELATIVE, K_RELATIVE_SELECTION, 1, 0},
    // View
    {"Force Fast Image Display", ACT_SLOT, K_FAST_DISPLAY, 1, 0},
    {"Force Smooth Image Display", ACT_SLOT, K_SMOOTH_DISPLAY, 1, 0},
    {"4/4 Rhythm Overlay", ACT_SLOT, K_RHYTHM_OVERLAY, 1, 0},
    {"Semitone Overlay", ACT_SLOT, K_SEMITONE_OVERLAY, 1, 0},
    // Tools
    {"Cursor", ACT_TOOL, 0, TOOL_CURSOR, 0},
    {"Move Tool", ACT_TOOL, 0, TOOL_MOVE, 0},
    {"Rectangle Tool", ACT_TOOL, 0, TOOL_RECTANGLE, 0},
    {"Select Box", ACT_TOOL, 0, TOOL_SELECT_BOX, 0},
    {"Select Brush", ACT_TOOL, 0, TOOL_SELECT_BRUSH, 0},
    {"Select Lasso", ACT_TOOL, 0, TOOL_SELECT_LASSO, 0},
    {"Dark Spray", ACT_TOOL, 0, TOOL_DARK_SPRAY, 0},
    {"White Paint Spray", ACT_TOOL, 0, TOOL_WHITE_SPRAY, 0},
    {"Brighten Spray", ACT_TOOL, 0, TOOL_BRIGHTEN_SPRAY, 0},
    {"Smart Erase", ACT_TOOL, 0, TOOL_SMART_ERASE, 0},
    {"Harmonics Modifier", ACT_SLOT, K_HARMONICS, 1, 0},
    {"Magnet Modifier", ACT_SLOT, K_MAGNET, 1, 0},
    // Operations
    {"Invert", ACT_SLOT, K_INVERT, 1, 0},
    {"Mask Invert", ACT_SLOT, K_MASK_INVERT, 1, 0},
    {"Horizontal Flip", ACT_SLOT, K_HFLIP, 1, 0},
    {"Vertical Flip", ACT_SLOT, K_VFLIP, 1, 0},
    {"Rotate Clockwise (90\xB0)", ACT_SLOT, K_ROTATE, 2, 0},
    {"Rotate 180\xB0", ACT_SLOT, K_ROTATE, 3, 0},
    {"Rotate Counter-Clockwise (270\xB0)", ACT_SLOT, K_ROTATE, 4, 0},
    {"Horizontal Average", ACT_SLOT, 68, 1, 0},
    {"Vertical Average", ACT_SLOT, 69, 1, 0},
    {"Horizontal Curves", ACT_SLOT, 70, 1, 0},
    {"Vertical Curves", ACT_SLOT, 71, 1, 0},
    {"Fill from Maxima to Left", ACT_SLOT, 72, 1, 0},
    {"Fill from Maxima to Bottom", ACT_SLOT, 73, 1, 0},
    {"Normalise to 1.0", ACT_SLOT, 74, 1, 0},
    {"Set Pixel Sum to 1.0", ACT_SLOT, 75, 1, 0},
    {"Horizontal Normalisation", ACT_SLOT, 76, 1, 0},
    {"Vertical Normalisation", ACT_SLOT, 77, 1, 0},
    {"1 / x", ACT_SLOT, K_OP_RECIPROCAL, 1, 0},
    {"Square", ACT_SLOT, 79, 1, 0},
    {"Square Root", ACT_SLOT, 80, 1, 0},
    {"Fill with White Noise", ACT_SLOT, 81, 1, 0},
    {"Fill with Pink Noise", ACT_SLOT, 82, 1, 0},
    {"Fill with Brown Noise", ACT_SLOT, 83, 1, 0},
    {"Group to Nearest Semitone", ACT_SLOT, K_OP_LAST, 1, 0},
    // Layers (the blending modes follow from blend_menu_label)
    {"New Layer", ACT_SLOT, K_NEW_LAYER, 1, 0},
    {"Duplicate Layer", ACT_SLOT, K_DUPLICATE_LAYER, 1, 0},
    {"Add Separator", ACT_SLOT, K_ADD_SEPARATOR, 1, 0},
    {"Merge Down", ACT_SLOT, K_MERGE_DOWN, 1, 0},
    {"Delete Layer", ACT_SLOT, K_DELETE_LAYER, 1, 0},
    {"Merge All to New Layer", ACT_SLOT, K_MERGE_ALL, 1, 0},
    {"Move Layer Up", ACT_SLOT, K_LAYER_UP, 1, 0},
    {"Move Layer Down", ACT_SLOT, K_LAYER_DOWN, 1, 0},
    {"View Current Layer Only", ACT_SLOT, K_VIEW_LAYER_ONLY, 1, 0},
    {"View Current Group Only", ACT_SLOT, K_VIEW_GROUP_ONLY, 1, 0},
    {"Set Central Convolution Point", ACT_TOOL, 0, TOOL_CONV_CENTRE, 0},
    {"Turn Off Layer", ACT_SLOT, K_TURN_OFF_LAYER, 1, 0},
    // Help
    {"Open Manual...", ACT_MANUAL, 0, 0, 0},
    {"Check for Updates Online...", ACT_UPDATES, 0, 0, 0},
    {"Open Brindlewharf Files Folder", ACT_APPDATA, 0, 0, 0},
};

void perform(const MenuAction& a, int from_strip)
{
    switch (a.kind) {
    case ACT_SLOT: key[a.slot] = (int8_t)a.value; break;
    case ACT_TOOL: mouse_function = a.value; break;
    case ACT_UNIT:
        key[a.slot] = (int8_t)a.value;
        key[K_UNITS_CHANGED] = 1;
        break;
    case ACT_RELATIVE:
        key[K_RELATIVE_SELECTION] ^= 1;
        key[K_UNITS_CHANGED] = 1;
        break;
    case ACT_MANUAL:
        if (menu_services.open_manual)
            menu_services.open_manual();
        break;
    case ACT_UPDATES:
        if (menu_services.check_updates)
            menu_services.check_updates();
        break;
    case ACT_APPDATA:
        if (menu_services.open_appdata)
            menu_services.open_appdata();
        break;
    case ACT_EXPORT: export_request = a.value; break;
    }
    if (a.defer && from_strip)
        menu_deferral = 1;
}

// Whether an entry labelled `entry` carries the command `label`: the same text, or for Undo and
// Redo also the label followed by the name of the step ("Undo Stroke").
static bool carries(const std::string& entry, const char* label)
{
    if (entry == label)
        return true;
    const bool named = !strcmp(label, "Undo") || !strcmp(label, "Redo");
    return named && entry.size() > 5 && entry.compare(0, 4, label) == 0 && entry[4] == ' ';
}

// The entry that has label `label`, searched quietly; -1 when none.
bool locate(const MenuBar& bar, const char* label, int* mi, int* ei)
{
    for (int m = 0; m < (int)bar.size(); m++)
        for (int e = 0; e < (int)bar[m].entries.size(); e++)
            if (carries(bar[m].entries[e].label, label)) {
                *mi = m;
                *ei = e;
                return true;
            }
    return false;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Building the model
// ---------------------------------------------------------------------------------------------

// The entries Ctrl+letter chooses (the letter without Ctrl may do something else, or nothing).
const struct {
    char letter;
    const char* label;
} ctrl_equivalents[] = {
    {'n', "New"},  {'o', "Open..."}, {'s', "Save..."},    {'r', "Reload"},
    {'z', "Undo"}, {'y', "Redo"},    {'c', "Copy"},       {'v', "Paste"},       {'e', "Erase Mask"}, {'d', "Default Values"},
    {'k', "Suspend Processing"},     {'q', "Quit"},
};

// One entry to add: label, shortcut hint, greyed, checked.
struct EntrySpec {
    const char* label;
    const char* shortcut;
    int greyed;
    int checked;
};

void add_entry(Menu& m, const char* label, const char* shortcut, int greyed, int checked)
{
    MenuEntry e = {};
    init_menu_entry(&e, label, shortcut, greyed, checked, 0, 0, 0, 0);
    m.entries.push_back(std::move(e));
}

Menu make_menu(const char* name, std::initializer_list<EntrySpec> specs)
{
    Menu m = {};
    m.name = name;
    m.entries.reserve(specs.size());
    for (const EntrySpec& s : specs) {
        // An entry with a Ctrl equivalent shows it, as the hint that works everywhere.
        std::string hint = s.shortcut;
        for (const auto& q : ctrl_equivalents)
            if (strcmp(q.label, s.label) == 0)
                hint = std::string("Ctrl+") + (char)(q.letter - 'a' + 'A');
        add_entry(m, s.label, hint.c_str(), s.greyed, s.checked);
    }
    return m;
}

// The panel width of a menu: its title's width, widened by every entry (label and hint with
// room between them), plus the margins.
int panel_width(const Menu& m, const BitmapFont& font)
{
    int w = text_width(m.name.c_str(), font);
    for (const MenuEntry& e : m.entries) {
        const int lw = text_width(e.label.c_str(), font);
        if (!e.shortcut.empty())
            w = std::max(w, lw + text_width(e.shortcut.c_str(), font) + 32);
        else
            w = std::max(w, lw + 16);
    }
    return w + 24;
}

// The strip layout: title places from the left, panel widths. A menu without a title takes no
// room in the strip.
void layout_strip(MenuBar& bar, const BitmapFont& font)
{
    int x = 0;
    for (Menu& m : bar) {
        m.x = x;
        if (m.name.empty()) {
            m.title_w = 0;
            m.width = 0;
            continue;
        }
        m.title_w = text_width(m.name.c_str(), font);
        m.width = panel_width(m, font);
        x += m.title_w + 12;
    }
}

// The layer list's label of entry `index`. A label that would not fit in LAYER_LABEL_MAX bytes
// keeps its prefix, the start of the name and the blending tag, with "..." where it was cut.
std::string list_label(ImageStack* image, int index)
{
    const char* name = image->layers[index].name;
    const size_t size = (name ? strlen(name) : 0) + 64;
    std::string text(size, '\0');
    layer_label(image, index, text.data(), size);
    text.resize(strlen(text.c_str()));
    if (text.size() < (size_t)LAYER_LABEL_MAX)
        return text;
    const size_t tag = text.rfind(" [");
    const std::string tail = tag == std::string::npos ? std::string() : text.substr(tag);
    const size_t keep = LAYER_LABEL_MAX - 1 - 3 - std::min(tail.size(), (size_t)LAYER_LABEL_MAX / 2);
    return text.substr(0, keep) + "..." + tail.substr(0, LAYER_LABEL_MAX / 2);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Panel layout
// ---------------------------------------------------------------------------------------------

// Places the open menu's panel at the top of a frame of frame_w x frame_h and its visible
// entries inside it (from `menu_strip.scroll` when it scrolls); hidden entries get empty
// rectangles.
void layout_panel(Menu& m, int frame_w, int frame_h)
{
    MenuStrip& s = menu_strip;
    int total = 2 * PANEL_PAD;
    for (MenuEntry& e : m.entries) {
        e.x = e.y = e.w = e.h = 0;
        total += entry_height(e);
    }
    s.pw = m.width;
    s.px = m.x + 6;
    if (s.px + s.pw > frame_w)
        s.px = std::max(0, frame_w - s.pw);
    s.py = 0;

    const int n = (int)m.entries.size();
    int y = PANEL_PAD, bottom = total - PANEL_PAD;
    s.scrolling = total > frame_h;
    if (!s.scrolling) {
        s.scroll = s.max_scroll = 0;
        s.ph = total;
    } else {
        s.ph = std::max(frame_h, 2 * PANEL_PAD + 2 * SCROLL_ROW_H + ENTRY_H);
        y = PANEL_PAD + SCROLL_ROW_H;
        bottom = s.ph - PANEL_PAD - SCROLL_ROW_H;
        // The largest first entry from which the rest of the menu fits.
        int k = n, acc = 0;
        while (k > 0 && acc + entry_height(m.entries[k - 1]) <= bottom - y) {
            acc += entry_height(m.entries[k - 1]);
            k--;
        }
        s.max_scroll = k;
        s.scroll = std::clamp(s.scroll, 0, s.max_scroll);
    }
    for (int i = s.scroll; i < n; i++) {
        MenuEntry& e = m.entries[i];
        const int h = entry_height(e);
        if (y + h > bottom)
            break;
        e.x = s.px;
        e.y = s.py + y;
        e.w = s.pw;
        e.h = h;
        y += h;
    }
}

// Which scroll row of the open panel holds the pointer: -1 the upper, +1 the lower, 0 none.
int scroll_row_at(int ax, int ay)
{
    const MenuStrip& s = menu_strip;
    if (!s.scrolling || ax < s.px || ax >= s.px + s.pw)
        return 0;
    const int up = s.py + PANEL_PAD, down = s.py + s.ph - PANEL_PAD - SCROLL_ROW_H;
    if (ay >= up && ay < up + SCROLL_ROW_H)
        return -1;
    if (ay >= down && ay < down + SCROLL_ROW_H)
        return 1;
    return 0;
}

// The shown menu whose title holds strip column ax (the last such), or -1.
int title_at(const MenuBar& bar, int ax)
{
    int found = -1;
    for (int i = 0; i < (int)bar.size(); i++) {
        const Menu& m = bar[i];
        if (!m.name.empty() && m.x + 6 <= ax && ax < m.x + m.title_w + 18)
            found = i;
    }
    return found;
}

void open_menu(int index)
{
    menu_opened = index;
    menu_strip.hovered = -1;
    menu_strip.scroll = 0;
    menu_strip.last_scroll_ms = 0;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Drawing primitives
// ---------------------------------------------------------------------------------------------

void fill_rect(FrameRef fb, int x, int y, int w, int h, int colour)
{
    if (!fb.px || fb.w <= 0 || fb.h <= 0 || w <= 0 || h <= 0)
        return;
    const long long x0 = std::max(x, 0), y0 = std::max(y, 0);
    const long long x1 = std::min((long long)x + w, (long long)fb.w), y1 = std::min((long long)y + h, (long long)fb.h);
    if (x0 >= x1 || y0 >= y1)
        return;
    const uint8_t* c = palette_colour(colour);
    const uint8_t bytes[4] = {c[0], c[1], c[2], 0};
    uint32_t v;
    memcpy(&v, bytes, 4);
    for (long long r = y0; r < y1; r++)
        std::fill(fb.px + r * fb.w + x0, fb.px + r * fb.w + x1, v);
}

void draw_text(FrameRef fb, const BitmapFont& font, const std::string& s, int x, int y, int mode, int colour)
{
    static TextLabel label; // large; the menus draw on the main thread only
    label.font = &font;
    label.x = x;
    label.y = y;
    label.mode = mode;
    snprintf(label.str, sizeof label.str, "%s", s.c_str());
    blit_text(&label, fb, colour, 0, 0);
}

// A check mark, two pixels thick, in a 10 x 8 box whose top-left corner is (x, y).
void draw_check(FrameRef fb, int x, int y, int colour)
{
    static const int tick[][2] = {{0, 4}, {1, 5}, {2, 6}, {3, 7}, {4, 6}, {5, 5}, {6, 4}, {7, 3}, {8, 2}, {9, 1}, {9, 0}};
    for (const auto& p : tick)
        fill_rect(fb, x + p[0], y + p[1], 1, 2, colour);
}

// A small triangle pointing up (dir -1) or down (+1), centred on (cx, cy).
void draw_arrow(FrameRef fb, int cx, int cy, int dir, int colour)
{
    for (int r = 0; r < 5; r++) {
        const int half = dir < 0 ? r : 4 - r;
        fill_rect(fb, cx - half, cy - 2 + r, 2 * half + 1, 1, colour);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// [SECTION] Model
// ---------------------------------------------------------------------------------------------

void init_menu_entry(MenuEntry* entry, const char* label, const char* shortcut, int greyed, int checked, int x, int y,
                     int w, int h)
{
    entry->label = label ? label : "";
    entry->shortcut = shortcut ? shortcut : "";
    entry->greyed = greyed;
    entry->checked = checked;
    entry->x = x;
    entry->y = y;
    entry->w = w;
    entry->h = h;
}

MenuBar menu_init(int* count, const BitmapFont& font)
{
    MenuBar bar;
    bar.reserve(MENU_COUNT);
    bar.push_back(make_menu("File", {{"New", "", 0, 0},
                                     {"Open...", "O", 0, 0},
                                     {"Resume Last Session", "", 0, 0},
                                     {"Close", "", 1, 0},
                                     {"-", "", 0, 0},
                                     {"Save...", "S", 0, 0},
                                     {"Save Selection as Sound...", "", 1, 0},
                                     {"Export View as Picture...", "", 0, 0},
                                     {"Export Whole Document as Picture...", "", 0, 0},
                                     {"Reload", "R", 0, 0},
                                     {"-", "", 0, 0},
                                     {"Quit", "", 0, 0}}));
    bar.push_back(make_menu("Edit", {{"Undo", "U", 0, 0},
                                     {"Redo", "Shift+U", 0, 0},
                                     {"-", "", 0, 0},
                                     {"Copy", "C", 0, 0},
                                     {"Paste", "", 0, 0},
                                     {"-", "", 0, 0},
                                     {"Erase Mask", "E", 0, 0},
                                     {"Default Values", "D", 0, 0},
                                     {"-", "", 0, 0},
                                     {"Select All", "A", 0, 0},
                                     {"Select None", "Esc", 0, 0},
                                     {"Invert Selection", "I", 0, 0},
                                     {"Gain on Selection...", "G", 0, 0},
                                     {"Delete Selection", "Delete", 0, 0},
                                     {"Selection Feather...", "", 0, 0}}));
    bar.push_back(make_menu("Options", {{"Loop Playback", "", 0, 0},
                                        {"Pause After Current Loop", "Shift+Space", 0, 0},
                                        {"Play Selection", "P", 1, 0},
                                        {"-", "", 0, 0},
                                        {"Live Synthesis", "", 0, 0},
                                        {"Save Live Synthesis Output to File...", "", 0, 0},
                                        {"Suspend Output to File", "", 0, 0},
                                        {"-", "", 0, 0},
                                        {"Unnormalised Output", "", 0, 0},
                                        {"Load Left Channel Only", "", 0, 0},
                                        {"Load Right Channel Only", "", 0, 0},
                                        {"Mix Channel Files to Stereo...", "", 0, 0},
                                        {"-", "", 0, 0},
                                        {"Suspend Processing", "K", 0, 0},
                                        {"Long Block Duration", "", 0, 0},
                                        {"Constant Time Resolution Analysis", "", 0, 0},
                                        {"-", "", 0, 0},
                                        {"Linear Knob Control", "", 0, 0}}));
    bar.push_back(make_menu(key[K_HISTORY_MENU] ? "History" : "",
                            {{"Time in pixels", "", 0, 0},
                             {"Time in percents", "", 0, 0},
                             {"Time in seconds", "", 0, 0},
                             {"-", "", 0, 0},
                             {"Frequency positions in pixels", "", 0, 0},
                             {"Frequency positions in percents", "", 0, 0},
                             {"Frequency positions in Hertz", "", 0, 0},
                             {"Frequency positions in notes", "", 0, 0},
                             {"-", "", 0, 0},
                             {"Frequency dimensions in pixels", "", 0, 0},
                             {"Frequency dimensions in percents", "", 0, 0},
                             {"Frequency dimensions in semitones", "", 0, 0},
                             {"-", "", 0, 0},
                             {"Relative selection index", "", 0, 0}}));
    bar.push_back(make_menu("View", {{"Force Fast Image Display", "", 0, 0},
                                     {"Force Smooth Image Display", "", 0, 0},
                                     {"-", "", 0, 0},
                                     {"4/4 Rhythm Overlay", "", 0, 0},
                                     {"Semitone Overlay", "", 0, 0}}));
    bar.push_back(make_menu("Tools", {{"Cursor", "", 0, 1},
                                      {"Move Tool", "", 0, 0},
                                      {"-", "", 0, 0},
                                      {"Rectangle Tool", "", 0, 0},
                                      {"-", "", 0, 0},
                                      {"Select Box", "", 0, 0},
                                      {"Select Brush", "", 0, 0},
                                      {"Select Lasso", "", 0, 0},
                                      {"-", "", 0, 0},
                                      {"Dark Spray", "", 0, 0},
                                      {"White Paint Spray", "", 0, 0},
                                      {"Brighten Spray", "", 0, 0},
                                      {"Smart Erase", "", 0, 0},
                                      {"-", "", 0, 0},
                                      {"Harmonics Modifier", "", 0, 0},
                                      {"Magnet Modifier", "", 0, 0}}));
    bar.push_back(make_menu("Operations", {{"Invert", "", 0, 0},
                                           {"Mask Invert", "", 0, 0},
                                           {"-", "", 0, 0},
                                           {"Horizontal Flip", "", 0, 0},
                                           {"Vertical Flip", "", 0, 0},
                                           {"Rotate Clockwise (90\xB0)", "", 0, 0},
                                           {"Rotate 180\xB0", "", 0, 0},
                                           {"Rotate Counter-Clockwise (270\xB0)", "", 0, 0},
                                           {"-", "", 0, 0},
                                           {"Horizontal Average", "", 0, 0},
                                           {"Vertical Average", "", 0, 0},
                                           {"Horizontal Curves", "", 0, 0},
                                           {"Vertical Curves", "", 0, 0},
                                           {"Fill from Maxima to Left", "", 0, 0},
                                           {"Fill from Maxima to Bottom", "", 0, 0},
                                           {"-", "", 0, 0},
                                           {"Normalise to 1.0", "", 0, 0},
                                           {"Set Pixel Sum to 1.0", "", 0, 0},
                                           {"Horizontal Normalisation", "", 0, 0},
                                           {"Vertical Normalisation", "", 0, 0},
                                           {"-", "", 0, 0},
                                           {"1 / x", "", 0, 0},
                                           {"Square", "", 0, 0},
                                           {"Square Root", "", 0, 0},
                                           {"-", "", 0, 0},
                                           {"Fill with White Noise", "", 0, 0},
                                           {"Fill with Pink Noise", "", 0, 0},
                                           {"Fill with Brown Noise", "", 0, 0},
                                           {"-", "", 0, 0},
                                           {"Group to Nearest Semitone", "", 0, 0}}));

    Menu layers = make_menu("Layers", {{"New Layer", "N", 0, 0},
                                       {"Duplicate Layer", "", 0, 0},
                                       {"Add Separator", "", 0, 0},
                                       {"Merge Down", "J", 0, 0},
                                       {"Delete Layer", "Del", 0, 0},
                                       {"Merge All to New Layer", "", 0, 0},
                                       {"Move Layer Up", "", 0, 0},
                                       {"Move Layer Down", "", 0, 0},
                                       {"-", "", 0, 0},
                                       {"View Current Layer Only", "V", 0, 0},
                                       {"View Current Group Only", "Shift+V", 0, 0},
                                       {"Set Central Convolution Point", "", 0, 0},
                                       {"Turn Off Layer", "T", 0, 0},
                                       {"-", "", 0, 0}});
    for (int mode = 0; mode < BLEND_MODE_COUNT; mode++) {
        if (mode == 9) // the propagation and convolution modes form their own group
            add_entry(layers, "-", "", 0, 0);
        add_entry(layers, blend_menu_label[mode], "", 0, mode == 0);
    }
    add_entry(layers, "-", "", 0, 0);
    add_entry(layers, "No Layer", "", 1, 0); // the layer list starts here (LAYER_LIST_FIRST)
    bar.push_back(std::move(layers));

    bar.push_back(make_menu("Help", {{"Open Manual...", "", 0, 0},
                                     {"-", "", 0, 0},
                                     {"Check for Updates Online...", "", 0, 0},
                                     {"-", "", 0, 0},
                                     {"Open Brindlewharf Files Folder", "", 0, 0}}));

    layout_strip(bar, font);
    key[K_LAYER_LIST_FIRST] = (int8_t)LAYER_LIST_FIRST;
    if (count)
        *count = (int)bar.size();
    return bar;
}

MenuEntry* find_menu_entry(MenuBar& bar, const char* label, int* menu_index, int* entry_index)
{
    int mi = -1, ei = -1;
    if (!label || !locate(bar, label, &mi, &ei)) {
        wrfprintf(stderr, "Menu entry \"%s\" not found.\n", label ? label : "");
        return nullptr;
    }
    if (menu_index)
        *menu_index = mi;
    if (entry_index)
        *entry_index = ei;
    return &bar[mi].entries[ei];
}

int menu_check(MenuBar& bar, const char* title, const char* label, int state)
{
    (void)title; // the strip has no second presentation to update by title
    MenuEntry* e = find_menu_entry(bar, label);
    if (!e)
        return 0;
    const int mark = state ? 1 : 0;
    if (e->checked == mark)
        return 0;
    e->checked = mark;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Layer list and check marks
// ---------------------------------------------------------------------------------------------

void refresh_layers_menu(MenuBar& bar, ImageStack* image, const BitmapFont& font)
{
    if ((int)bar.size() <= MENU_LAYERS)
        return;
    Menu& m = bar[MENU_LAYERS];
    if ((int)m.entries.size() < LAYER_LIST_FIRST)
        return; // not the Layers menu of menu_init

    std::vector<MenuEntry> list;
    int selected_off = 0;
    if (image && image->layers && image->count > 0) {
        // Groups and disabling are written by compositing too: both under the layers lock.
        if (image->layers_lock)
            mutex_to_1(image->layers_lock);
        layer_groups(image);
        process_layer_disabling(image);
        const int count = std::min((int)image->count, LAYER_CAPACITY);
        if (image->sel >= 0 && image->sel < count)
            selected_off = image->layers[image->sel].off ? 1 : 0;
        list.reserve(count);
        for (int k = 0; k < count; k++) {
            const int index = count - 1 - k;
            MenuEntry e = {};
            e.label = list_label(image, index);
            e.checked = index == image->sel;
            list.push_back(std::move(e));
        }
        if (image->layers_lock)
            mutex_to_0(image->layers_lock);
    }
    m.entries.resize(LAYER_LIST_FIRST);
    for (MenuEntry& e : list)
        m.entries.push_back(std::move(e));
    if (list.empty())
        add_entry(m, "No Layer", "", 1, 0);
    if (!m.name.empty())
        m.width = panel_width(m, font);

    menu_check(bar, "Layers", "Turn Off Layer", selected_off);
    refresh_blend_menu_checks(bar, image);

    if (menu_opened == MENU_LAYERS && menu_strip.hovered >= (int)m.entries.size())
        menu_strip.hovered = -1;
}

void refresh_blend_menu_checks(MenuBar& bar, ImageStack* image)
{
    int mode = -1;
    if (image && image->layers && image->sel >= 0 && image->sel < image->count)
        mode = image->layers[image->sel].blend;
    for (int i = 0; i < BLEND_MODE_COUNT; i++)
        menu_check(bar, "Layers", blend_menu_label[i], i == mode);
}

void refresh_history_menu_checks(MenuBar& bar)
{
    static const struct {
        const char* label;
        int slot, value;
    } units[] = {
        {"Time in pixels", K_TIME_UNIT, 1},
        {"Time in percents", K_TIME_UNIT, 2},
        {"Time in seconds", K_TIME_UNIT, 3},
        {"Frequency positions in pixels", K_POS_UNIT, 1},
        {"Frequency positions in percents", K_POS_UNIT, 2},
        {"Frequency positions in Hertz", K_POS_UNIT, 4},
        {"Frequency positions in notes", K_POS_UNIT, 6},
        {"Frequency dimensions in pixels", K_DIM_UNIT, 1},
        {"Frequency dimensions in percents", K_DIM_UNIT, 2},
        {"Frequency dimensions in semitones", K_DIM_UNIT, 5},
    };
    for (const auto& u : units)
        menu_check(bar, "History", u.label, key[u.slot] == u.value);
    menu_check(bar, "History", "Relative selection index", key[K_RELATIVE_SELECTION] != 0);
}

int refresh_undo_menu(MenuBar& bar, const ImageStack* image, const BitmapFont& font)
{
    if ((int)bar.size() <= MENU_EDIT || bar[MENU_EDIT].entries.size() < 2)
        return 0;
    Menu& m = bar[MENU_EDIT];
    int changed = 0;
    for (int i = 0; i < 2; i++) {
        const char* word = i == 0 ? "Undo" : "Redo";
        const char* step = undo_next_label(image, i == 0 ? -1 : +1);
        const std::string label = step ? std::string(word) + " " + step : word;
        MenuEntry& e = m.entries[(size_t)i];
        if (e.label == label && e.greyed == !step)
            continue;
        e.label = label;
        e.greyed = !step;
        changed++;
    }
    if (changed && !m.name.empty())
        m.width = panel_width(m, font);
    return changed;
}

int menu_sync_checks(MenuBar& bar)
{
    static const struct {
        const char* title;
        const char* label;
        int slot;
    } states[] = {
        {"Options", "Loop Playback", state_of(K_LOOP)},
        {"Options", "Pause After Current Loop", state_of(K_PAUSE_AFTER)},
        {"Options", "Live Synthesis", state_of(K_LIVE_SYNTH)},
        {"Options", "Unnormalised Output", state_of(K_UNNORMALISED)},
        {"Options", "Load Left Channel Only", state_of(K_LEFT_ONLY)},
        {"Options", "Load Right Channel Only", state_of(K_RIGHT_ONLY)},
        {"Options", "Suspend Processing", state_of(K_SUSPEND)},
        {"Options", "Long Block Duration", state_of(K_LONG_BLOCK)},
        {"Options", "Constant Time Resolution Analysis", state_of(K_CONST_TIME_RES)},
        {"Options", "Linear Knob Control", state_of(K_LINEAR_KNOB)},
        {"View", "Force Fast Image Display", state_of(K_FAST_DISPLAY)},
        {"View", "Force Smooth Image Display", state_of(K_SMOOTH_DISPLAY)},
        {"View", "4/4 Rhythm Overlay", state_of(K_RHYTHM_OVERLAY)},
        {"View", "Semitone Overlay", state_of(K_SEMITONE_OVERLAY)},
        {"Layers", "View Current Layer Only", state_of(K_VIEW_LAYER_ONLY)},
        {"Layers", "View Current Group Only", state_of(K_VIEW_GROUP_ONLY)},
    };
    static const struct {
        const char* label;
        int tool;
    } tools[] = {
        {"Cursor", TOOL_CURSOR},         {"Move Tool", TOOL_MOVE},          {"Rectangle Tool", TOOL_RECTANGLE},
        {"Dark Spray", TOOL_DARK_SPRAY}, {"White Paint Spray", TOOL_WHITE_SPRAY},
        {"Brighten Spray", TOOL_BRIGHTEN_SPRAY}, {"Smart Erase", TOOL_SMART_ERASE},
        {"Select Box", TOOL_SELECT_BOX}, {"Select Brush", TOOL_SELECT_BRUSH}, {"Select Lasso", TOOL_SELECT_LASSO},
    };
    int changed = 0;
    for (const auto& s : states)
        changed += menu_check(bar, s.title, s.label, key[s.slot] != 0);
    changed += menu_check(bar, "Options", "Save Live Synthesis Output to File...", live_output_active());
    changed += menu_check(bar, "Options", "Suspend Output to File", live_output_active() && live_output_suspended());
    changed += menu_check(bar, "Tools", "Magnet Modifier", magnet);
    changed += menu_check(bar, "Tools", "Harmonics Modifier", harmonics);
    for (const auto& t : tools)
        changed += menu_check(bar, "Tools", t.label, mouse_function == t.tool);
    changed += menu_check(bar, "Layers", "Set Central Convolution Point", mouse_function == TOOL_CONV_CENTRE);
    return changed;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Dispatch
// ---------------------------------------------------------------------------------------------

int apply_layer_select_request(EngineState* es)
{
    const int position = layer_select_request.exchange(0);
    return position > 0 ? select_layer(es, position) : 0;
}

int menu_dispatch(MenuBar& bar, int menu_index, int entry_index, int from_strip)
{
    if (menu_index < 0 || menu_index >= (int)bar.size())
        return 0;
    Menu& m = bar[menu_index];
    if (entry_index < 0 || entry_index >= (int)m.entries.size())
        return 0;
    const MenuEntry& e = m.entries[entry_index];
    if (e.greyed || is_separator(e))
        return 0;

    int acted = 0;
    if (menu_index == MENU_LAYERS && entry_index >= LAYER_LIST_FIRST) {
        // The 1-based position from the top of the list. Slot 65 is a signed byte: longer lists
        // go through the direct request. The latest choice wins.
        const int position = entry_index + 1 - LAYER_LIST_FIRST;
        if (position <= INT8_MAX) {
            layer_select_request = 0;
            key[K_SELECT_LAYER] = (int8_t)position;
        } else {
            key[K_SELECT_LAYER] = 0;
            layer_select_request = position;
        }
        acted = 1;
    } else {
        for (const MenuAction& a : menu_actions)
            if (carries(e.label, a.label)) {
                perform(a, from_strip);
                acted = 1;
            }
        for (int mode = 0; mode < BLEND_MODE_COUNT; mode++)
            if (e.label == blend_menu_label[mode]) {
                key[K_BLEND_FIRST + mode] = 1;
                acted = 1;
            }
    }
    if (acted)
        mac_redraw = 1;
    return acted;
}

int menu_key_equivalent(MenuBar& bar, int sym)
{
    if (sym >= 'A' && sym <= 'Z')
        sym += 'a' - 'A';
    if (sym < 'a' || sym > 'z')
        return 0;
    for (const auto& q : ctrl_equivalents) {
        int mi, ei;
        if (q.letter == sym && locate(bar, q.label, &mi, &ei))
            menu_dispatch(bar, mi, ei, 0);
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Pointer
// ---------------------------------------------------------------------------------------------

int menu_press_state()
{
    if (mouse_ay < 0)
        return 9;
    return menu_opened >= 0 ? 8 : 0;
}

void menu_close()
{
    menu_opened = -1;
    menu_strip.hovered = -1;
    menu_strip.scroll = 0;
    menu_strip.scrolling = 0;
}

int menu_pointer(MenuBar& bar, int press_state, int prev_press_state)
{
    MenuStrip& s = menu_strip;
    const int ps = press_state & ~16, prev = prev_press_state < 0 ? -1 : prev_press_state & ~16;
    const bool held = ps == 8 || ps == 9;
    const bool was_held = prev == 8 || prev == 9;
    const bool on_strip = mouse_ay < 0;
    int redraw = 0;

    if (menu_opened >= (int)bar.size() || (menu_opened >= 0 && bar[menu_opened].name.empty())) {
        menu_close();
        redraw = 1;
    }

    // A second click on the open menu's title closes it; it stays closed until the release.
    if (held && !was_held && on_strip && menu_opened >= 0 && s.hovered < 0 &&
        title_at(bar, mouse_ax) == menu_opened) {
        menu_close();
        s.latched = 1;
        redraw = 1;
    }

    // Over the strip the title under the pointer opens. With the button held a place between
    // titles closes the menu; without it the open menu stays until the pointer reaches another
    // title.
    if (on_strip && !s.latched && (held || menu_opened >= 0)) {
        const int t = title_at(bar, mouse_ax);
        if (t != menu_opened && (held || t >= 0)) {
            open_menu(t);
            redraw = 1;
        }
    }

    if (menu_opened >= 0) {
        Menu& m = bar[menu_opened];
        layout_panel(m, SCRN_W, SCRN_H);
        const int steps = key[K_WHEEL].exchange(0); // the wheel scrolls the menu, not the view
        int scroll = s.scroll;
        if (s.scrolling && steps)
            scroll -= steps * WHEEL_ENTRIES;
        const int row = on_strip ? 0 : scroll_row_at(mouse_ax, mouse_ay);
        if (row) {
            const long long t = now_ms();
            if (t - s.last_scroll_ms >= SCROLL_MS) {
                scroll += row;
                s.last_scroll_ms = t;
            }
        }
        scroll = std::clamp(scroll, 0, s.max_scroll);
        if (scroll != s.scroll) {
            s.scroll = scroll;
            layout_panel(m, SCRN_W, SCRN_H);
            redraw = 1;
        }
        int hovered = -1;
        if (!on_strip)
            for (int i = 0; i < (int)m.entries.size(); i++) {
                const MenuEntry& e = m.entries[i];
                if (mouse_ax >= e.x && mouse_ax < e.x + e.w && mouse_ay >= e.y && mouse_ay < e.y + e.h)
                    hovered = i;
            }
        if (hovered != s.hovered) {
            s.hovered = hovered;
            redraw = 1;
        }
    } else {
        s.hovered = -1;
    }

    // Release: the entry under the pointer is chosen; the menu stays open only on the strip (or
    // on a scroll row, which is part of the open menu).
    if (was_held && !held && menu_opened >= 0) {
        const int row = on_strip ? 0 : scroll_row_at(mouse_ax, mouse_ay);
        if (s.hovered >= 0)
            menu_dispatch(bar, menu_opened, s.hovered, 1);
        if (!on_strip && (s.hovered >= 0 || !row)) {
            menu_close();
            redraw = 1;
        }
    }
    if (!held)
        s.latched = 0;
    return redraw;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Drawing
// ---------------------------------------------------------------------------------------------

void draw_menu_shadow(FrameRef frame, int x, int y, int w, int h)
{
    static Sprite shadow = {};
    static bool loaded = false;
    if (!loaded) {
        shadow = sprite_load("gfx/menu_shadow.png", 0);
        loaded = true;
    }
    if (!frame.px || frame.w <= 0 || frame.h <= 0 || !shadow.px || shadow.w < 10 || shadow.h < 8)
        return;
    auto darken = [&](long long col, long long row, int sx, int sy) {
        if (col < 0 || col >= frame.w || row < 0 || row >= frame.h)
            return;
        uint8_t* d = reinterpret_cast<uint8_t*>(frame.px + row * frame.w + col);
        const uint8_t* f = reinterpret_cast<const uint8_t*>(shadow.px + (size_t)sy * shadow.w + sx);
        for (int c = 0; c < 3; c++)
            d[c] = (uint8_t)(d[c] * f[c] / 256);
    };
    for (int i = 0; i < 5; i++)
        for (int r = 0; r < 7; r++)
            darken((long long)x - 5 + i, (long long)y + r, i, r);
    for (int i = 0; i < 5; i++)
        for (long long r = 0; r < h && y + r < frame.h; r++)
            darken((long long)x + w + i, (long long)y + r, 5 + i, (int)std::min(r, 7LL));
}

void draw_menu(FrameRef strip, FrameRef frame, MenuBar& bar, int open, int hovered, const BitmapFont& font)
{
    // The strip: background, a line under it, the titles (the open one lit).
    fill_rect(strip, 0, 0, strip.w, strip.h, COL_STRIP);
    fill_rect(strip, 0, strip.h - 1, strip.w, 1, COL_LINE);
    const int text_y = (strip.h - font.glyph_h) / 2;
    for (int i = 0; i < (int)bar.size(); i++) {
        const Menu& m = bar[i];
        if (m.name.empty())
            continue;
        if (i == open)
            fill_rect(strip, m.x + 6, 2, m.title_w + 12, strip.h - 4, COL_HOVER);
        draw_text(strip, font, m.name, m.x + 12 + m.title_w / 2, text_y, 0, COL_TEXT);
    }

    if (open < 0 || open >= (int)bar.size() || bar[open].name.empty())
        return;
    Menu& m = bar[open];
    layout_panel(m, frame.w, frame.h);
    const MenuStrip& s = menu_strip;

    fill_rect(frame, s.px, s.py, s.pw, s.ph, COL_PANEL);
    fill_rect(frame, s.px, s.py + s.ph - 1, s.pw, 1, COL_LINE);
    fill_rect(frame, s.px, s.py, 1, s.ph, COL_LINE);
    fill_rect(frame, s.px + s.pw - 1, s.py, 1, s.ph, COL_LINE);

    const int ty = (ENTRY_H - font.glyph_h) / 2;
    for (int i = 0; i < (int)m.entries.size(); i++) {
        const MenuEntry& e = m.entries[i];
        if (e.h <= 0)
            continue;
        if (is_separator(e)) {
            fill_rect(frame, e.x + 6, e.y + e.h / 2, e.w - 12, 1, COL_LINE);
            continue;
        }
        if (i == hovered && !e.greyed)
            fill_rect(frame, e.x + 2, e.y, e.w - 4, e.h, COL_HOVER);
        const int colour = e.greyed ? COL_GREYED : COL_TEXT;
        if (e.checked)
            draw_check(frame, e.x + 4, e.y + 6, colour);
        draw_text(frame, font, e.label, e.x + 14, e.y + ty, TEXT_LEFT, colour);
        if (!e.shortcut.empty())
            draw_text(frame, font, e.shortcut, e.x + e.w - 6, e.y + ty, TEXT_RIGHT, e.greyed ? COL_GREYED : COL_HINT);
    }
    if (s.scrolling) {
        const int cx = s.px + s.pw / 2;
        draw_arrow(frame, cx, s.py + PANEL_PAD + SCROLL_ROW_H / 2, -1, s.scroll > 0 ? COL_HINT : COL_LINE);
        draw_arrow(frame, cx, s.py + s.ph - PANEL_PAD - SCROLL_ROW_H / 2, 1,
                   s.scroll < s.max_scroll ? COL_HINT : COL_LINE);
    }
    draw_menu_shadow(frame, s.px, s.py, s.pw, s.ph);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Program glue
// ---------------------------------------------------------------------------------------------

void menu_list_refresh_hook(EngineState* es)
{
    ImageStack* image = es ? es->image : nullptr;
    refresh_layers_menu(menu, image, futura16);
    if (image && image->screen_dirty)
        *image->screen_dirty = 1;
}

void menu_checks_hook(EngineState*)
{
    menu_sync_checks(menu);
}

void menu_draw_frame()
{
    draw_menu(FrameRef{menu_fb, SCRN_W, MENU_STRIP_H}, screen_frame(sfb1), menu, menu_opened, menu_strip.hovered,
              futura16);
}
