// The menus: dispatch of every entry, greyed entries, check marks, the layer list (labels, long
// stacks beyond what slot 65 carries), pointer handling through synthetic coordinates, drawing
// into a tiny window, and the Ctrl key equivalents.
#include "editor/menus.h"
#include "display/window.h"
#include "document/composite.h"
#include "test_doc.h"

#include <iterator>

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

    // Index of the entry labelled `label` in menu m, or -1.
    int index_of(int m, const char* label)
    {
        const auto& v = bar[m].entries;
        const auto it = std::find_if(v.begin(), v.end(), [&](const MenuEntry& e) { return e.label == label; });
        return it == v.end() ? -1 : (int)(it - v.begin());
    }
    MenuEntry& entry(int m, const char* label)
    {
        const int i = index_of(m, label);
        EXPECT_GE(i, 0) << "no entry " << label;
        return bar[m].entries[std::max(i, 0)];
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
    std::vector<int> slots() { return std::vector<int>(std::begin(key), std::end(key)); }
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
// [SECTION] Dispatch
// ---------------------------------------------------------------------------------------------

// Every entry shown and not greyed does something and asks for a redraw; one entry of each kind
// of action shows what that kind does (a full copy of the label-to-slot table would only restate
// the menus' own table); greyed entries and separators do nothing.
TEST_F(Menus, EveryEntryDispatchesAndEachKindOfActionDoesItsPart)
{
    int entries = 0;
    for (int m = 0; m < MENU_COUNT; m++)
        for (int i = 0; i < (int)bar[m].entries.size(); i++) {
            const MenuEntry& e = bar[m].entries[i];
            if (e.label == "-" || e.greyed)
                continue;
            entries++;
            state_reset();
            mouse_function = -1;
            manuals = updates = appdatas = 0;
            const std::vector<int> before = slots();
            EXPECT_EQ(menu_dispatch(bar, m, i, 1), 1) << e.label;
            EXPECT_TRUE(slots() != before || mouse_function != -1 || manuals + updates + appdatas == 1 ||
                        export_request.exchange(0) != 0)
                << e.label;
            EXPECT_EQ(mac_redraw, 1) << e.label;
        }
    EXPECT_EQ(entries, 113);

    // label, slot and value set (the units also raise the History refresh), tool, Help service,
    // whether a choice from the strip waits a frame for the menu to go (the document commands).
    enum { NONE, MANUAL, UPDATES, APPDATA };
    const struct {
        const char* label;
        int slot, value, tool, service, deferred;
    } kinds[] = {
        {"Open...", K_OPEN, 1, -1, NONE, 1},           {"Reload", K_RELOAD, 3, -1, NONE, 1},
        {"Save...", K_SAVE, 1, -1, NONE, 0},           {"Rotate 180\xB0", K_ROTATE, 3, -1, NONE, 0},
        {"Frequency positions in notes", K_POS_UNIT, 6, -1, NONE, 0},
        {"Relative selection index", K_RELATIVE_SELECTION, 1, -1, NONE, 0},
        {"Move Tool", -1, 0, TOOL_MOVE, NONE, 0},      {"Set Central Convolution Point", -1, 0, TOOL_CONV_CENTRE, NONE, 0},
        {"Division", K_BLEND_FIRST + 2, 1, -1, NONE, 0}, {"Open Manual...", -1, 0, -1, MANUAL, 0},
        {"Check for Updates Online...", -1, 0, -1, UPDATES, 0}, {"Open Brindlewharf Files Folder", -1, 0, -1, APPDATA, 0},
    };
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.label);
        int mi = -1, ei = -1;
        ASSERT_NE(find_menu_entry(bar, k.label, &mi, &ei), nullptr);
        state_reset();
        mouse_function = -1;
        menu_deferral = 0;
        manuals = updates = appdatas = 0;
        std::vector<int> want = slots();
        if (k.slot >= 0)
            want[k.slot] = k.value;
        if (k.slot == K_POS_UNIT || k.slot == K_RELATIVE_SELECTION)
            want[K_UNITS_CHANGED] = 1;
        menu_dispatch(bar, mi, ei, 1);
        EXPECT_EQ(slots(), want);
        // tool, the three Help services, deferral
        EXPECT_EQ(std::vector<int>({mouse_function, manuals, updates, appdatas, menu_deferral}),
                  std::vector<int>({k.tool, k.service == MANUAL, k.service == UPDATES, k.service == APPDATA, k.deferred}));
    }

    // "Relative selection index" flips its state back and forth.
    state_reset();
    const int rel = index_of(MENU_HISTORY, "Relative selection index");
    menu_dispatch(bar, MENU_HISTORY, rel, 1);
    menu_dispatch(bar, MENU_HISTORY, rel, 1);
    EXPECT_EQ(key[K_RELATIVE_SELECTION], 0);
    mouse_function = TOOL_CURSOR; // no tool was left chosen above

    // Greyed entries, separators and places that hold no entry do nothing.
    state_reset();
    mac_redraw = 0;
    const std::vector<int> before = slots();
    // Close, Play Selection (nothing selected), "No Layer", a separator, no such entry, no such menu.
    for (auto [m, i] : {std::pair{(int)MENU_FILE, index_of(MENU_FILE, "Close")}, {MENU_OPTIONS, index_of(MENU_OPTIONS, "Play Selection")},
                        {MENU_LAYERS, LAYER_LIST_FIRST}, {MENU_FILE, 4}, {MENU_FILE, 99}, {42, 0}})
        EXPECT_EQ(menu_dispatch(bar, m, i, 1), 0) << m << " " << i;
    EXPECT_EQ(slots(), before);
    EXPECT_TRUE(mac_redraw == 0 && layer_select_request.load() == 0);
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

    // The convolution-centre tool: no Tools entry, the Layers entry instead.
    mouse_function = TOOL_CONV_CENTRE;
    key[state_of(K_SMOOTH_DISPLAY)] = 0;
    key[state_of(K_FAST_DISPLAY)] = 1;
    menu_sync_checks(bar);
    for (const MenuEntry& e : bar[MENU_TOOLS].entries)
        EXPECT_EQ(e.checked, e.label == "Magnet Modifier") << e.label;
    EXPECT_TRUE(entry(MENU_LAYERS, "Set Central Convolution Point").checked && entry(MENU_VIEW, "Force Fast Image Display").checked &&
                !entry(MENU_VIEW, "Force Smooth Image Display").checked);

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
    EXPECT_FALSE(entry(MENU_HISTORY, "Frequency positions in notes").checked || entry(MENU_HISTORY, "Relative selection index").checked);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Layer list
// ---------------------------------------------------------------------------------------------

// The layer list: labels with their tags, the marks, a choice asking for its position; any layer
// of a stack too long for the drawing area (and for slot 65) can be chosen; long names are cut;
// no document leaves the greyed "No Layer".
TEST_F(MenusDocument, LayerListLabelsMarksAndAnyLayerOfALongStack)
{
    make(200);
    image->layers[199].off = 1;
    image->sel = 198;
    image->layers[198].blend = 4;
    refresh_layers_menu(bar, image.get(), font);
    ASSERT_EQ((int)bar[MENU_LAYERS].entries.size(), LAYER_LIST_FIRST + 200);
    const std::vector<std::string> labels = list();
    EXPECT_EQ(std::vector<std::string>(labels.begin(), labels.begin() + 3),
              (std::vector<std::string>{"(off) Layer 200 [Add]", "Layer 199 [Sub]", "Layer 198 [Add]"}));
    EXPECT_EQ(labels[149], "Layer 51 [Add]");
    // Only the selected layer's entry is marked; it is on, so Turn Off is not.
    EXPECT_TRUE(!bar[MENU_LAYERS].entries[LAYER_LIST_FIRST].checked && bar[MENU_LAYERS].entries[LAYER_LIST_FIRST + 1].checked &&
                !entry(MENU_LAYERS, "Turn Off Layer").checked);
    for (int m = 0; m < BLEND_MODE_COUNT; m++)
        EXPECT_EQ(entry(MENU_LAYERS, blend_menu_label[m]).checked, m == 4) << m;
    EXPECT_GE(bar[MENU_LAYERS].width, text_width("(off) Layer 200 [Add]", font) + 40);

    // Choosing the second item asks for position 2.
    EXPECT_EQ(menu_dispatch(bar, MENU_LAYERS, LAYER_LIST_FIRST + 1, 1), 1);
    EXPECT_TRUE(key[K_SELECT_LAYER] == 2 && layer_select_request.load() == 0);
    key[K_SELECT_LAYER] = 0;

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

    // The selected entry being off marks Turn Off (the labels' own rules are the layer list's).
    image->layers[50].off = 1;
    refresh_layers_menu(bar, image.get(), font);
    EXPECT_TRUE(entry(MENU_LAYERS, "Turn Off Layer").checked);

    // A name too long for a label keeps the start of the name and the tag.
    free(image->layers[0].name);
    image->layers[0].name = string_assign(std::string(400, 'x').c_str());
    refresh_layers_menu(bar, image.get(), font);
    const std::string& long_label = bar[MENU_LAYERS].entries.back().label;
    EXPECT_LT(long_label.size(), (size_t)LAYER_LABEL_MAX);
    EXPECT_EQ(long_label.substr(0, 10) + long_label.substr(long_label.size() - 10), "xxxxxxxxxxx... [Add]");

    // No document: the greyed "No Layer" again, no blending mode marked.
    refresh_layers_menu(bar, nullptr, font);
    EXPECT_EQ(list(), (std::vector<std::string>{"No Layer"}));
    EXPECT_TRUE(bar[MENU_LAYERS].entries.back().greyed && !entry(MENU_LAYERS, "Addition").checked);
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

    // (A click on a title, the hover and a click on an entry are the running editor's test.)
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
    mouse_ay = 500;
    EXPECT_EQ(menu_press_state(), 8); // a press anywhere belongs to the open menu
    const std::vector<int> before = slots();
    click(SCRN_W - 5, 500); // outside the panel
    EXPECT_EQ(menu_opened, -1);
    EXPECT_EQ(slots(), before);
    EXPECT_EQ(mouse_function, TOOL_CURSOR);

    // The hidden History menu cannot be opened: its place belongs to View.
    click(bar[MENU_HISTORY].x + 8, strip_y);
    EXPECT_EQ(menu_opened, MENU_VIEW);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Drawing
// ---------------------------------------------------------------------------------------------

// Drawn into a tiny drawing area, the strip and an open menu write nothing outside their buffers
// (what they look like is the running editor's test); at the smallest window width every menu
// title, History included, lies on the strip.
TEST_F(Menus, DrawingStaysInsideATinyWindowAndEveryTitleFitsTheNarrowest)
{
    std::vector<uint32_t> tiny(20 * 10 + 16, 0xdeadbeefu);
    draw_menu(FrameRef{tiny.data() + 8, 20, 2}, FrameRef{tiny.data() + 48, 20, 5}, bar, MENU_LAYERS, 3, font);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(tiny[i], 0xdeadbeefu);
    for (size_t i = 48 + 100; i < tiny.size(); i++)
        EXPECT_EQ(tiny[i], 0xdeadbeefu);

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
        {'r', K_RELOAD, 3, "Reload"},     {'z', K_UNDO, 1, "Undo"},        {'y', K_REDO, 1, "Redo"},        {'c', K_COPY, 1, "Copy"},
        {'v', K_PASTE, 1, "Paste"},
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

    // Other letters are taken (the plain-key command must not run) and do nothing; keys that
    // are no letters are left to the window.
    state_reset();
    const std::vector<int> before = slots();
    for (int sym : {'b', 'p', 'j', 't', 'u', 'x'})
        EXPECT_EQ(menu_key_equivalent(bar, sym), 1) << (char)sym;
    EXPECT_EQ(slots(), before);
    EXPECT_EQ(mouse_function, TOOL_CURSOR);
    for (int sym : {(int)'1', 127, 27, (int)' ', 0x111})
        EXPECT_EQ(menu_key_equivalent(bar, sym), 0) << sym;
    EXPECT_EQ(slots(), before);
}
