// The menus: the model and strip layout, dispatch of every entry, greyed entries, check marks,
// the layer list (labels, long stacks beyond what slot 65 carries), pointer handling through
// synthetic coordinates, the strip and panel drawing, and the Ctrl key equivalents.
#include "editor/menus.h"

#include "core/state.h"
#include "display/gfx.h"
#include "display/window.h"
#include "document/command_log.h"
#include "document/composite.h"
#include "document/hooks.h"
#include "document/image.h"
#include "document/layers.h"
#include "platform/util.h"
#include "test_doc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include <tuple>

namespace {

int manuals = 0, updates = 0, appdatas = 0;

// Real resources (palette, 16-pixel font) from the source tree, clean state, an 800 x 600
// drawing area, counting Help services; all restored after.
struct Menus : testing::Test {
    ScopedResources resources;
    int saved_w = SCRN_W, saved_h = SCRN_H;
    MenuServices saved_services = menu_services;
    BitmapFont font = {};
    MenuBar bar;

    void SetUp() override
    {
        ASSERT_EQ(palette_load(), 1);
        font = font_load("gfx/font/font16.png", "gfx/font/font16_limits.png", -7);
        ASSERT_EQ(font.glyph_count, GLYPH_COUNT);
        state_reset();
        menu_close();
        menu_deferral = 0;
        layer_select_request = 0;
        SCRN_W = 800;
        SCRN_H = 600;
        manuals = updates = appdatas = 0;
        menu_services = {[] { manuals++; }, [] { updates++; }, [] { appdatas++; }};
        bar = menu_init(nullptr, font);
    }
    void TearDown() override
    {
        menu_services = saved_services;
        menu_close();
        state_reset();
        font_free(&font);
        SCRN_W = saved_w;
        SCRN_H = saved_h;
    }

    MenuEntry& entry(int m, const char* label)
    {
        for (MenuEntry& e : bar[m].entries)
            if (e.label == label)
                return e;
        ADD_FAILURE() << "no entry " << label;
        return bar[m].entries[0];
    }
    int index_of(int m, const char* label)
    {
        for (int i = 0; i < (int)bar[m].entries.size(); i++)
            if (bar[m].entries[i].label == label)
                return i;
        return -1;
    }
    // One frame of pointer handling with the pointer at (x, y).
    int frame(int x, int y, int press, int prev)
    {
        mouse_ax = x;
        mouse_ay = y;
        return menu_pointer(bar, press, prev);
    }
    // A click (press and release) at (x, y), classified as the frame loop does.
    void click(int x, int y)
    {
        mouse_ax = x;
        mouse_ay = y;
        const int state = menu_press_state();
        frame(x, y, state, 0);
        frame(x, y, 0, state);
    }
    void click_title(int m) { click(bar[m].x + 10, -MENU_STRIP_H / 2); }
    void click_entry(int i)
    {
        const MenuEntry& e = bar[menu_opened].entries[i];
        ASSERT_GT(e.h, 0) << e.label << " is not shown";
        click(e.x + e.w / 2, e.y + e.h / 2);
    }
    std::vector<int> slots()
    {
        std::vector<int> v;
        for (auto& k : key)
            v.push_back(k);
        return v;
    }
};

// A document of `n` layers named "Layer 1" (bottom) .. "Layer n", 4 x 3 pixels each, with the
// history in a temporary file.
struct MenusDocument : Menus {
    std::unique_ptr<ImageStack> image = std::make_unique<ImageStack>();
    std::unique_ptr<EngineState> es = std::make_unique<EngineState>();
    TempDir dir;
    std::optional<ScopedHistory> log;

    void make(int n)
    {
        log.emplace(dir.file("history.kbz"));
        image_stack_init(image.get());
        es->image = image.get();
        ASSERT_EQ(image_from_plane(image.get(), plane_alloc(3, 4), 4, 3, "test"), 1);
        free(image->layers[0].name);
        image->layers[0].name = string_assign("Layer 1");
        for (int i = 2; i <= n; i++) {
            const int at = layer_insert_above(image.get());
            ASSERT_EQ(at, i - 1);
            image->layers[at].plane = plane_alloc(3, 4);
            image->layers[at].name = string_assign(("Layer " + std::to_string(i)).c_str());
        }
    }
    void TearDown() override
    {
        log.reset();
        if (image->layers)
            image_stack_release(image.get());
        Menus::TearDown();
    }
    std::vector<std::string> list()
    {
        std::vector<std::string> v;
        for (size_t i = LAYER_LIST_FIRST; i < bar[MENU_LAYERS].entries.size(); i++)
            v.push_back(bar[MENU_LAYERS].entries[i].label);
        return v;
    }
};

} // namespace

// ---------------------------------------------------------------------------------------------
// [SECTION] Model and layout
// ---------------------------------------------------------------------------------------------

TEST_F(Menus, ModelHasTheNineMenusAndTheStripLayout)
{
    const char* names[] = {"File", "Edit", "Options", "", "View", "Tools", "Operations", "Layers", "Help"};
    const int counts[] = {9, 7, 17, 14, 5, 12, 30, 31, 5};
    ASSERT_EQ((int)bar.size(), MENU_COUNT);
    for (int i = 0; i < MENU_COUNT; i++) {
        EXPECT_EQ(bar[i].name, names[i]);
        EXPECT_EQ((int)bar[i].entries.size(), counts[i]) << names[i];
    }
    EXPECT_EQ(key[K_LAYER_LIST_FIRST], LAYER_LIST_FIRST);
    EXPECT_EQ(bar[MENU_LAYERS].entries[LAYER_LIST_FIRST].label, "No Layer");
    EXPECT_TRUE(entry(MENU_TOOLS, "Cursor").checked);
    EXPECT_TRUE(entry(MENU_LAYERS, "Addition").checked);

    // Titles follow each other at text width + 12; the hidden History menu takes no room.
    int x = 0;
    for (int i = 0; i < MENU_COUNT; i++) {
        EXPECT_EQ(bar[i].x, x) << i;
        if (i == MENU_HISTORY) {
            EXPECT_EQ(bar[i].width, 0);
            continue;
        }
        x += text_width(bar[i].name.c_str(), font) + 12;
    }
    EXPECT_EQ(bar[MENU_VIEW].x, bar[MENU_HISTORY].x);

    key[K_HISTORY_MENU] = 1;
    MenuBar shown = menu_init(nullptr, font);
    EXPECT_EQ(shown[MENU_HISTORY].name, "History");
    EXPECT_GT(shown[MENU_HISTORY].width, 0);
    EXPECT_EQ(shown[MENU_VIEW].x, shown[MENU_HISTORY].x + text_width("History", font) + 12);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Dispatch
// ---------------------------------------------------------------------------------------------

TEST_F(Menus, EveryEntryDispatchesToItsSlot)
{
    enum { SLOT, TOOL, UNIT, FLIP, HELP };
    struct Expect {
        const char* label;
        int kind, slot, value;
    };
    const std::vector<Expect> expected = {
        {"New", SLOT, 6, 1}, {"Open...", SLOT, 7, 1}, {"Resume Last Session", SLOT, 8, 1}, {"Save...", SLOT, 9, 1},
        {"Reload", SLOT, 13, 3}, {"Quit", SLOT, 0, 1},
        {"Undo", SLOT, 24, 1}, {"Copy", SLOT, 22, 1}, {"Erase Mask", SLOT, 15, 1}, {"Default Values", SLOT, 20, 1},
        {"Loop Playback", SLOT, 41, 1}, {"Pause After Current Loop", SLOT, 142, 1}, {"Live Synthesis", SLOT, 132, 1},
        {"Save Live Synthesis Output to File...", SLOT, 134, 1}, {"Suspend Output to File", SLOT, 140, 1},
        {"Unnormalised Output", SLOT, 57, 1}, {"Load Left Channel Only", SLOT, 59, 1},
        {"Load Right Channel Only", SLOT, 61, 1}, {"Mix Channel Files to Stereo...", SLOT, 63, 1},
        {"Suspend Processing", SLOT, 45, 1}, {"Long Block Duration", SLOT, 39, 1},
        {"Constant Time Resolution Analysis", SLOT, 47, 1}, {"Linear Knob Control", SLOT, 43, 1},
        {"Time in pixels", UNIT, 126, 1}, {"Time in percents", UNIT, 126, 2}, {"Time in seconds", UNIT, 126, 3},
        {"Frequency positions in pixels", UNIT, 127, 1}, {"Frequency positions in percents", UNIT, 127, 2},
        {"Frequency positions in Hertz", UNIT, 127, 4}, {"Frequency positions in notes", UNIT, 127, 6},
        {"Frequency dimensions in pixels", UNIT, 128, 1}, {"Frequency dimensions in percents", UNIT, 128, 2},
        {"Frequency dimensions in semitones", UNIT, 128, 5}, {"Relative selection index", FLIP, 130, 1},
        {"Force Fast Image Display", SLOT, 53, 1}, {"Force Smooth Image Display", SLOT, 55, 1},
        {"4/4 Rhythm Overlay", SLOT, 49, 1}, {"Semitone Overlay", SLOT, 51, 1},
        {"Cursor", TOOL, 0, 0}, {"Move Tool", TOOL, 0, 6}, {"Rectangle Tool", TOOL, 0, 5}, {"Dark Spray", TOOL, 0, 1},
        {"White Paint Spray", TOOL, 0, 2}, {"Brighten Spray", TOOL, 0, 3}, {"Smart Erase", TOOL, 0, 4},
        {"Harmonics Modifier", SLOT, 26, 1}, {"Magnet Modifier", SLOT, 25, 1},
        {"Invert", SLOT, 28, 1}, {"Mask Invert", SLOT, 27, 1}, {"Horizontal Flip", SLOT, 29, 1},
        {"Vertical Flip", SLOT, 30, 1}, {"Rotate Clockwise (90\xB0)", SLOT, 31, 2}, {"Rotate 180\xB0", SLOT, 31, 3},
        {"Rotate Counter-Clockwise (270\xB0)", SLOT, 31, 4}, {"Horizontal Average", SLOT, 68, 1},
        {"Vertical Average", SLOT, 69, 1}, {"Horizontal Curves", SLOT, 70, 1}, {"Vertical Curves", SLOT, 71, 1},
        {"Fill from Maxima to Left", SLOT, 72, 1}, {"Fill from Maxima to Bottom", SLOT, 73, 1},
        {"Normalise to 1.0", SLOT, 74, 1}, {"Set Pixel Sum to 1.0", SLOT, 75, 1},
        {"Horizontal Normalisation", SLOT, 76, 1}, {"Vertical Normalisation", SLOT, 77, 1}, {"1 / x", SLOT, 78, 1},
        {"Square", SLOT, 79, 1}, {"Square Root", SLOT, 80, 1}, {"Fill with White Noise", SLOT, 81, 1},
        {"Fill with Pink Noise", SLOT, 82, 1}, {"Fill with Brown Noise", SLOT, 83, 1},
        {"Group to Nearest Semitone", SLOT, 84, 1},
        {"New Layer", SLOT, 87, 1}, {"Duplicate Layer", SLOT, 88, 1}, {"Add Separator", SLOT, 89, 1},
        {"Merge Down", SLOT, 90, 1}, {"Delete Layer", SLOT, 91, 1}, {"Merge All to New Layer", SLOT, 92, 1},
        {"Move Layer Up", SLOT, 93, 1}, {"Move Layer Down", SLOT, 94, 1}, {"View Current Layer Only", SLOT, 95, 1},
        {"View Current Group Only", SLOT, 97, 1}, {"Set Central Convolution Point", TOOL, 0, 7},
        {"Turn Off Layer", SLOT, 144, 1},
        {"Addition", SLOT, 99, 1}, {"Multiplication", SLOT, 100, 1}, {"Division", SLOT, 101, 1},
        {"Division (Reverse Order)", SLOT, 102, 1}, {"Subtraction", SLOT, 103, 1},
        {"Subtraction (Reverse Order)", SLOT, 104, 1}, {"Difference", SLOT, 105, 1}, {"Minimum", SLOT, 106, 1},
        {"Maximum", SLOT, 107, 1}, {"Vertical Propagation", SLOT, 108, 1}, {"Horizontal Propagation", SLOT, 109, 1},
        {"Horizontal Propagation (Looped)", SLOT, 110, 1}, {"Convolution", SLOT, 111, 1},
        {"Convolution (Looped)", SLOT, 112, 1},
        {"Open Manual...", HELP, 0, 1}, {"Check for Updates Online...", HELP, 0, 2},
        {"Open Brindlewharf Files Folder", HELP, 0, 3},
    };

    int covered = 0;
    for (int m = 0; m < MENU_COUNT; m++)
        for (int i = 0; i < (int)bar[m].entries.size(); i++) {
            const MenuEntry& e = bar[m].entries[i];
            if (e.label == "-" || e.greyed)
                continue;
            const Expect* x = nullptr;
            for (const Expect& c : expected)
                if (e.label == c.label)
                    x = &c;
            ASSERT_NE(x, nullptr) << "entry without an expected action: " << e.label;
            covered++;

            state_reset();
            mouse_function = TOOL_DARK_SPRAY; // so that choosing the Cursor shows
            menu_deferral = 0;
            manuals = updates = appdatas = 0;
            std::vector<int> want = slots();
            EXPECT_EQ(menu_dispatch(bar, m, i, 1), 1) << e.label;
            switch (x->kind) {
            case SLOT: want[x->slot] = x->value; break;
            case UNIT:
            case FLIP:
                want[x->slot] = x->value;
                want[K_UNITS_CHANGED] = 1;
                break;
            }
            EXPECT_EQ(slots(), want) << e.label;
            EXPECT_EQ(mouse_function, x->kind == TOOL ? x->value : TOOL_DARK_SPRAY) << e.label;
            EXPECT_EQ(manuals, x->kind == HELP && x->value == 1) << e.label;
            EXPECT_EQ(updates, x->kind == HELP && x->value == 2) << e.label;
            EXPECT_EQ(appdatas, x->kind == HELP && x->value == 3) << e.label;
            const bool document_command = x->slot >= 6 && x->slot <= 13 && x->slot != 9 && x->kind == SLOT;
            EXPECT_EQ(menu_deferral, document_command ? 1 : 0) << e.label;
            EXPECT_EQ(mac_redraw, 1) << e.label;
        }
    EXPECT_EQ(covered, (int)expected.size());

    // "Relative selection index" flips its state back and forth.
    state_reset();
    const int rel = index_of(MENU_HISTORY, "Relative selection index");
    menu_dispatch(bar, MENU_HISTORY, rel, 1);
    menu_dispatch(bar, MENU_HISTORY, rel, 1);
    EXPECT_EQ(key[K_RELATIVE_SELECTION], 0);
}

TEST_F(Menus, GreyedEntriesAndSeparatorsDoNothing)
{
    const std::vector<int> before = slots();
    EXPECT_EQ(menu_dispatch(bar, MENU_FILE, index_of(MENU_FILE, "Close"), 1), 0);
    EXPECT_EQ(menu_dispatch(bar, MENU_EDIT, index_of(MENU_EDIT, "Paste"), 1), 0);
    EXPECT_EQ(menu_dispatch(bar, MENU_LAYERS, LAYER_LIST_FIRST, 1), 0); // "No Layer"
    EXPECT_EQ(menu_dispatch(bar, MENU_FILE, 4, 1), 0);                  // a separator
    EXPECT_EQ(menu_dispatch(bar, MENU_FILE, 99, 1), 0);
    EXPECT_EQ(menu_dispatch(bar, 42, 0, 1), 0);
    EXPECT_EQ(slots(), before);
    EXPECT_EQ(mac_redraw, 0);
    EXPECT_EQ(layer_select_request.load(), 0);

    // The same through the strip: the menu closes, nothing else happens.
    click_title(MENU_FILE);
    click_entry(index_of(MENU_FILE, "Close"));
    click_title(MENU_EDIT);
    click_entry(index_of(MENU_EDIT, "Paste"));
    EXPECT_EQ(menu_opened, -1);
    EXPECT_EQ(slots(), before);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Check marks
// ---------------------------------------------------------------------------------------------

TEST_F(Menus, CheckMarksFollowTheState)
{
    key[state_of(K_LOOP)] = 1;
    key[state_of(K_SMOOTH_DISPLAY)] = 1;
    key[state_of(K_VIEW_GROUP_ONLY)] = 1;
    magnet = 1;
    mouse_function = TOOL_RECTANGLE;
    EXPECT_GT(menu_sync_checks(bar), 0);
    const struct {
        int menu;
        const char* label;
        bool checked;
    } marks[] = {{MENU_OPTIONS, "Loop Playback", true},         {MENU_OPTIONS, "Live Synthesis", false},
                 {MENU_VIEW, "Force Smooth Image Display", true}, {MENU_VIEW, "Force Fast Image Display", false},
                 {MENU_LAYERS, "View Current Group Only", true},  {MENU_TOOLS, "Magnet Modifier", true},
                 {MENU_TOOLS, "Harmonics Modifier", false},        {MENU_TOOLS, "Rectangle Tool", true},
                 {MENU_TOOLS, "Cursor", false}};
    for (const auto& m : marks)
        EXPECT_EQ(entry(m.menu, m.label).checked, m.checked) << m.label;
    EXPECT_EQ(menu_sync_checks(bar), 0); // nothing changed since
    testing::internal::CaptureStderr();
    EXPECT_EQ(menu_check(bar, "Options", "Does Not Exist", 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Menu entry \"Does Not Exist\" not found.\n");

    // The convolution-centre tool: no Tools entry, the Layers entry instead.
    mouse_function = TOOL_CONV_CENTRE;
    key[state_of(K_SMOOTH_DISPLAY)] = 0;
    key[state_of(K_FAST_DISPLAY)] = 1;
    menu_sync_checks(bar);
    for (const MenuEntry& e : bar[MENU_TOOLS].entries)
        EXPECT_EQ(e.checked, e.label == "Magnet Modifier") << e.label;
    EXPECT_TRUE(entry(MENU_LAYERS, "Set Central Convolution Point").checked);
    EXPECT_TRUE(entry(MENU_VIEW, "Force Fast Image Display").checked);
    EXPECT_FALSE(entry(MENU_VIEW, "Force Smooth Image Display").checked);

    // History units, kept in the model even while the History menu is not shown.
    key[K_TIME_UNIT] = 2;
    key[K_POS_UNIT] = 6;
    key[K_DIM_UNIT] = 5;
    key[K_RELATIVE_SELECTION] = 1;
    refresh_history_menu_checks(bar);
    std::vector<std::string> checked;
    for (const MenuEntry& e : bar[MENU_HISTORY].entries)
        if (e.checked)
            checked.push_back(e.label);
    EXPECT_EQ(checked, (std::vector<std::string>{"Time in percents", "Frequency positions in notes",
                                                 "Frequency dimensions in semitones", "Relative selection index"}));
    key[K_POS_UNIT] = 3; // no such position unit: no position entry checked
    key[K_RELATIVE_SELECTION] = 0;
    refresh_history_menu_checks(bar);
    EXPECT_FALSE(entry(MENU_HISTORY, "Frequency positions in notes").checked);
    EXPECT_FALSE(entry(MENU_HISTORY, "Relative selection index").checked);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Layer list
// ---------------------------------------------------------------------------------------------

TEST_F(MenusDocument, LayerListLabelsMarksAndSelection)
{
    make(3);
    image->layers[2].off = 1;
    image->sel = 1;
    image->layers[1].blend = 4;
    refresh_layers_menu(bar, image.get(), font);
    EXPECT_EQ(list(), (std::vector<std::string>{"(off) Layer 3 [Add]", "Layer 2 [Sub]", "Layer 1 [Add]"}));
    EXPECT_EQ((int)bar[MENU_LAYERS].entries.size(), LAYER_LIST_FIRST + 3);
    EXPECT_FALSE(bar[MENU_LAYERS].entries[LAYER_LIST_FIRST].checked);
    EXPECT_TRUE(bar[MENU_LAYERS].entries[LAYER_LIST_FIRST + 1].checked);
    EXPECT_FALSE(entry(MENU_LAYERS, "Turn Off Layer").checked);
    for (int m = 0; m < BLEND_MODE_COUNT; m++)
        EXPECT_EQ(entry(MENU_LAYERS, blend_menu_label[m]).checked, m == 4) << m;
    EXPECT_GE(bar[MENU_LAYERS].width, text_width("(off) Layer 3 [Add]", font) + 40);

    // Choosing the second item asks for position 2.
    EXPECT_EQ(menu_dispatch(bar, MENU_LAYERS, LAYER_LIST_FIRST + 1, 1), 1);
    EXPECT_EQ(key[K_SELECT_LAYER], 2);
    EXPECT_EQ(layer_select_request.load(), 0);

    // A separator that is off turns its group off; the selected entry being off marks Turn Off.
    plane_free(&image->layers[1].plane, 3); // entry 1 becomes a separator
    image->layers[1].off = 1;
    image->layers[2].off = 0;
    image->sel = 1;
    refresh_layers_menu(bar, image.get(), font);
    EXPECT_EQ(list(), (std::vector<std::string>{"(group-off) Layer 3 [Add]", "(off) Layer 2 [Sub]", "Layer 1 [Add]"}));
    EXPECT_TRUE(entry(MENU_LAYERS, "Turn Off Layer").checked);

    // A name too long for a label keeps the start of the name and the tag.
    free(image->layers[0].name);
    image->layers[0].name = string_assign(std::string(400, 'x').c_str());
    refresh_layers_menu(bar, image.get(), font);
    const std::string& long_label = bar[MENU_LAYERS].entries.back().label;
    EXPECT_LT(long_label.size(), (size_t)LAYER_LABEL_MAX);
    EXPECT_EQ(long_label.substr(0, 10), "xxxxxxxxxx");
    EXPECT_EQ(long_label.substr(long_label.size() - 10), "x... [Add]");

    // No document: the greyed "No Layer" again, no blending mode marked.
    refresh_layers_menu(bar, nullptr, font);
    EXPECT_EQ(list(), (std::vector<std::string>{"No Layer"}));
    EXPECT_TRUE(bar[MENU_LAYERS].entries.back().greyed);
    EXPECT_FALSE(entry(MENU_LAYERS, "Addition").checked);
}

TEST_F(MenusDocument, AnyLayerOfALongStackCanBeChosen)
{
    make(200);
    image->sel = 199;
    refresh_layers_menu(bar, image.get(), font);
    ASSERT_EQ((int)bar[MENU_LAYERS].entries.size(), LAYER_LIST_FIRST + 200);
    EXPECT_EQ(bar[MENU_LAYERS].entries[LAYER_LIST_FIRST].label, "Layer 200 [Add]");
    EXPECT_EQ(bar[MENU_LAYERS].entries[LAYER_LIST_FIRST + 149].label, "Layer 51 [Add]");

    // Open the Layers menu; it is taller than the drawing area, so it scrolls with the wheel.
    SCRN_H = 420;
    click_title(MENU_LAYERS);
    ASSERT_EQ(menu_opened, MENU_LAYERS);
    EXPECT_TRUE(menu_strip.scrolling);
    const int target = LAYER_LIST_FIRST + 149;
    EXPECT_EQ(bar[MENU_LAYERS].entries[target].h, 0); // not shown yet
    for (int steps = 0; bar[MENU_LAYERS].entries[target].h == 0 && steps < 200; steps++) {
        key[K_WHEEL] = -1;
        frame(5, 300, 0, 0);
        EXPECT_EQ(key[K_WHEEL], 0); // the open menu takes the wheel
    }
    int shown = 0;
    for (const MenuEntry& e : bar[MENU_LAYERS].entries) {
        if (e.h > 0) {
            shown++;
            EXPECT_GE(e.y, 0);
            EXPECT_LE(e.y + e.h, SCRN_H);
        }
    }
    EXPECT_GT(shown, 10);
    click_entry(target);
    EXPECT_EQ(menu_opened, -1);
    EXPECT_EQ(key[K_SELECT_LAYER], 0); // position 150 does not fit the byte slot
    EXPECT_EQ(layer_select_request.load(), 150);
    EXPECT_EQ(apply_layer_select_request(es.get()), 1);
    EXPECT_EQ(image->sel, 50); // "Layer 51"
    EXPECT_EQ(layer_select_request.load(), 0);
    EXPECT_EQ(apply_layer_select_request(es.get()), 0);

    // Position 127 still goes through slot 65; a later choice replaces an earlier one.
    menu_dispatch(bar, MENU_LAYERS, LAYER_LIST_FIRST + 199, 1);
    menu_dispatch(bar, MENU_LAYERS, LAYER_LIST_FIRST + 126, 1);
    EXPECT_EQ(key[K_SELECT_LAYER], 127);
    EXPECT_EQ(layer_select_request.load(), 0);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Pointer
// ---------------------------------------------------------------------------------------------

TEST_F(Menus, PointerOpensChoosesAndCloses)
{
    const int strip_y = -MENU_STRIP_H / 2;
    EXPECT_EQ(menu_press_state(), 0);
    mouse_ay = strip_y;
    EXPECT_EQ(menu_press_state(), 9);

    // Press on a title, drag onto an entry, release: chosen and closed.
    EXPECT_EQ(frame(bar[MENU_EDIT].x + 10, strip_y, 9, 0), 1);
    EXPECT_EQ(menu_opened, MENU_EDIT);
    const MenuEntry& undo = bar[MENU_EDIT].entries[0];
    EXPECT_EQ(frame(undo.x + 5, undo.y + 5, 8, 9), 1);
    EXPECT_EQ(menu_strip.hovered, 0);
    frame(undo.x + 5, undo.y + 5, 0, 8);
    EXPECT_EQ(key[K_UNDO], 1);
    EXPECT_EQ(menu_opened, -1);

    // A click on a title leaves its menu open; the hover follows the pointer without a button;
    // a click on an entry chooses it.
    click_title(MENU_EDIT);
    EXPECT_EQ(menu_opened, MENU_EDIT);
    mouse_ay = 300;
    EXPECT_EQ(menu_press_state(), 8); // a press anywhere belongs to the open menu
    const MenuEntry& copy = entry(MENU_EDIT, "Copy");
    frame(copy.x + 3, copy.y + 1, 0, 0);
    EXPECT_EQ(menu_strip.hovered, index_of(MENU_EDIT, "Copy"));
    click_entry(index_of(MENU_EDIT, "Copy"));
    EXPECT_EQ(key[K_COPY], 1);
    EXPECT_EQ(menu_opened, -1);

    // Moving along the strip switches menus; a second click on the open title closes it, and
    // it stays closed while the button is held there.
    click_title(MENU_FILE);
    frame(bar[MENU_TOOLS].x + 10, strip_y, 0, 0);
    EXPECT_EQ(menu_opened, MENU_TOOLS);
    frame(bar[MENU_TOOLS].x + 10, strip_y, 9, 0);
    EXPECT_EQ(menu_opened, -1);
    frame(bar[MENU_TOOLS].x + 12, strip_y, 9, 9);
    EXPECT_EQ(menu_opened, -1);
    frame(bar[MENU_TOOLS].x + 12, strip_y, 0, 9);
    EXPECT_EQ(menu_opened, -1);

    // With the button held, a place between titles closes; a release off any entry closes.
    frame(bar[MENU_FILE].x + 10, strip_y, 9, 0);
    EXPECT_EQ(menu_opened, MENU_FILE);
    frame(SCRN_W - 5, strip_y, 9, 9);
    EXPECT_EQ(menu_opened, -1);
    frame(SCRN_W - 5, strip_y, 0, 9);
    click_title(MENU_TOOLS);
    const std::vector<int> before = slots();
    click(SCRN_W - 5, 500); // outside the panel
    EXPECT_EQ(menu_opened, -1);
    EXPECT_EQ(slots(), before);
    EXPECT_EQ(mouse_function, TOOL_CURSOR);

    // A document command from the strip waits a frame for the menu to go.
    click_title(MENU_FILE);
    click_entry(index_of(MENU_FILE, "Open..."));
    EXPECT_EQ(key[K_OPEN], 1);
    EXPECT_EQ(menu_deferral, 1);

    // The hidden History menu cannot be opened: its place belongs to View.
    click(bar[MENU_HISTORY].x + 8, strip_y);
    EXPECT_EQ(menu_opened, MENU_VIEW);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Drawing
// ---------------------------------------------------------------------------------------------

TEST_F(Menus, StripAndPanelAreDrawn)
{
    std::vector<uint32_t> strip((size_t)SCRN_W * MENU_STRIP_H, 0x01020304u);
    const FrameRef sf{strip.data(), SCRN_W, MENU_STRIP_H};
    const uint32_t fill = 0x00c8c8c8u; // grey 200
    std::vector<uint32_t> fb((size_t)SCRN_W * SCRN_H, fill);
    const FrameRef ff{fb.data(), SCRN_W, SCRN_H};
    auto at = [](const FrameRef& f, int x, int y) { return reinterpret_cast<const uint8_t*>(f.px + y * f.w + x); };
    auto is_colour = [&](const FrameRef& f, int x, int y, int k) {
        return memcmp(at(f, x, y), palette_colour(k), 3) == 0;
    };

    // Closed: the strip background everywhere but in the titles' boxes; ink in every box.
    draw_menu(sf, ff, bar, -1, -1, font);
    std::vector<int> ink_columns(SCRN_W, 0);
    for (int y = 0; y < MENU_STRIP_H - 1; y++)
        for (int x = 0; x < SCRN_W; x++)
            if (!is_colour(sf, x, y, 10))
                ink_columns[x] = 1;
    for (int i = 0; i < MENU_COUNT; i++) {
        const Menu& m = bar[i];
        if (m.name.empty())
            continue;
        int ink = 0;
        for (int x = m.x + 6; x < m.x + m.title_w + 18; x++)
            ink += ink_columns[x];
        EXPECT_GT(ink, m.title_w / 2) << m.name;
    }
    const Menu& last = bar[MENU_HELP];
    for (int x = last.x + last.title_w + 18; x < SCRN_W; x++)
        EXPECT_EQ(ink_columns[x], 0) << x;
    EXPECT_TRUE(std::all_of(fb.begin(), fb.end(), [&](uint32_t v) { return v == fill; }));

    // Open File with "Open..." under the pointer: its title lit, the panel under it, the hovered
    // entry lit, the shadow on both sides, nothing beyond.
    draw_menu(sf, ff, bar, MENU_FILE, 1, font);
    const Menu& file = bar[MENU_FILE];
    EXPECT_TRUE(is_colour(sf, file.x + 7, 3, 12));
    const MenuEntry& open = file.entries[1];
    ASSERT_GT(open.h, 0);
    EXPECT_EQ(open.x, file.x + 6);
    EXPECT_EQ(open.w, file.width);
    EXPECT_TRUE(is_colour(ff, open.x + 3, open.y + 1, 12));
    const MenuEntry& resume = file.entries[2];
    EXPECT_TRUE(is_colour(ff, resume.x + 3, resume.y + 1, 11));
    const int right = open.x + open.w;
    const MenuEntry& quit = file.entries.back();
    // Right band, left band's top rows, the left band ending after 7 rows, beyond the shadow,
    // below the panel.
    for (auto [x, y, shaded] : {std::tuple{right + 1, 10, true}, {open.x - 2, 2, true}, {open.x - 2, 20, false},
                                {right + 6, 10, false}, {open.x + 3, quit.y + quit.h + 10, false}})
        EXPECT_EQ(at(ff, x, y)[0] < 200, shaded) << x << "," << y;
    EXPECT_GT(std::count_if(fb.begin(), fb.end(), [&](uint32_t v) { return v != fill; }), 1000);

    // Nothing is written outside the buffers of a tiny drawing area.
    std::vector<uint32_t> tiny(20 * 10 + 16, 0xdeadbeefu);
    draw_menu(FrameRef{tiny.data() + 8, 20, 2}, FrameRef{tiny.data() + 48, 20, 5}, bar, MENU_LAYERS, 3, font);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(tiny[i], 0xdeadbeefu);
    for (size_t i = 48 + 100; i < tiny.size(); i++)
        EXPECT_EQ(tiny[i], 0xdeadbeefu);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Key equivalents
// ---------------------------------------------------------------------------------------------

// Each Ctrl letter does its entry's command and nothing else, and the entry shows it as its hint;
// no entry shows a key the window never receives.
TEST_F(Menus, CtrlKeyEquivalents)
{
    const struct {
        int sym, slot, value;
        const char* label;
    } cases[] = {
        {'n', K_NEW, 1, "New"},           {'o', K_OPEN, 1, "Open..."},     {'s', K_SAVE, 1, "Save..."},
        {'r', K_RELOAD, 3, "Reload"},     {'z', K_UNDO, 1, "Undo"},        {'c', K_COPY, 1, "Copy"},
        {'e', K_ERASE_MASK, 1, "Erase Mask"}, {'d', K_DEFAULTS, 1, "Default Values"},
        {'k', K_SUSPEND, 1, "Suspend Processing"}, {'Q', K_QUIT, 1, "Quit"},
    };
    int hints = 0;
    for (const Menu& m : bar)
        for (const MenuEntry& e : m.entries) {
            EXPECT_EQ(e.shortcut.find("Alt+"), std::string::npos) << e.label;
            hints += e.shortcut.rfind("Ctrl+", 0) == 0;
        }
    EXPECT_EQ(hints, (int)std::size(cases));
    for (const auto& c : cases) {
        int mi = -1, ei = -1;
        ASSERT_NE(find_menu_entry(bar, c.label, &mi, &ei), nullptr) << c.label;
        EXPECT_EQ(bar[mi].entries[ei].shortcut, std::string("Ctrl+") + (char)toupper(c.sym)) << c.label;
        state_reset();
        std::vector<int> want = slots();
        want[c.slot] = c.value;
        EXPECT_EQ(menu_key_equivalent(bar, c.sym), 1) << (char)c.sym;
        EXPECT_EQ(slots(), want) << (char)c.sym; // Ctrl+N is not New Layer, Ctrl+S not a plain S
        EXPECT_EQ(menu_deferral, 0);
    }

    // Other letters are taken (the plain-key command must not run) and do nothing, Paste
    // included; keys that are no letters are left to the window.
    state_reset();
    const std::vector<int> before = slots();
    for (int sym : {'b', 'v', 'j', 't', 'u', 'x'})
        EXPECT_EQ(menu_key_equivalent(bar, sym), 1) << (char)sym;
    EXPECT_EQ(slots(), before);
    EXPECT_EQ(mouse_function, TOOL_CURSOR);
    for (int sym : {(int)'1', 127, 27, (int)' ', 0x111})
        EXPECT_EQ(menu_key_equivalent(bar, sym), 0) << sym;
    EXPECT_EQ(slots(), before);
}
// At the smallest window width every menu title, History included, lies on the strip.
TEST_F(Menus, EveryTitleFitsTheNarrowestWindow)
{
    key[K_HISTORY_MENU] = 1;
    bar = menu_init(nullptr, font);
    int titles = 0;
    for (const Menu& m : bar)
        if (!m.name.empty()) {
            titles++;
            EXPECT_LE(m.x + m.title_w + 18, MIN_SCRN_W) << m.name; // the title's hit and hover area
        }
    EXPECT_EQ(titles, MENU_COUNT);
}
