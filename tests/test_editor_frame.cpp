// The editor's start-up, frame loop and shutdown: the event table, the real editor run headless
// on the demo sound (one session of neighbouring checks, the document flows, a saved session
// resumed), the idle wait and quitting. The real program under Xvfb is the selection Xvfb test's.
#include "editor/panel.h"
#include "display/scales.h"
#include "display/screen.h"
#include "document/composite.h"
#include "document/selection.h"
#include "files/picture.h"
#include "platform/desktop.h"
#include "render/plot.h"
#include "test_doc.h"
#include "test_editor.h"

#include <sndfile.h>

#include <array>
#include <cmath>
#include <tuple>
#include <vector>

namespace {

// Nothing under way: a document on screen, no synthesis restart pending or running, no tool
// press, painting or continuous redraw, no Undo or Redo waiting.
bool editor_idle(const Editor* ed)
{
    return ed->image.composite && ed->image.change_state == 0 && ed->es.running == 0 && ed->drag.tool == 0 &&
           !key[K_PAINT_RUNNING] && !ed->redraw.started && !key[K_UNDO] && !key[K_REDO];
}

// The real editor, headless on the demo (once start_idle() ran), quit at the end of the test.
struct DemoEditor : EditorTest {
    std::function<bool()> idle = [this] { return editor_idle(ed.get()); };
    // Starts the editor on the demo and waits until the analysis and synthesis are done.
    void start_idle() { start(idle); }
};
using FrameEditor = DemoEditor;
using FrameFlows = DemoEditor;

// Keys pushed into the window's queue while a dialog is open, as a user typing into it would.
void (*dialog_open_before)(int) = nullptr;
void type_into_dialog(int open)
{
    dialog_open_before(open);
    if (!open)
        return;
    for (SDLKey sym : {SDLK_t, SDLK_e, SDLK_v}) {
        SDL_Event down = key_event(SDL_KEYDOWN, sym), up = key_event(SDL_KEYUP, sym);
        SDL_PushEvent(&down);
        SDL_PushEvent(&up);
    }
}

// The source the editor draws the document's pictures from, for the layout they must have.
PlotSource document_source(const Editor* ed)
{
    return analysis_source(nullptr, ed->image.w, ed->image.h, ed->es.anal_params, demo_path);
}

// The values of a scale's labels, in order.
std::vector<double> values(const std::vector<ScaleLabel>& labels)
{
    std::vector<double> v;
    for (const ScaleLabel& l : labels)
        v.push_back(l.value);
    return v;
}

// A composite or layer of the document on screen, row after row.
std::vector<float> values(const ImageStack* im, Plane p) { return plane_values(p, im->w, im->h); }
std::vector<float> composite_of(const ImageStack* im) { return values(im, im->composite); }

} // namespace

// Keys reach their slots; with Ctrl held (as a modifier or as a key of its own) a letter does its
// menu command and not its plain-key command; held keys clear on release; the wheel and Page keys
// add up (pointer rows counting from below the strip is every pointer test's ground).
TEST(FrameEvents, KeysReachTheirSlotsAndCtrlLettersOnlyTheirMenuCommand)
{
    auto ed = std::make_unique<Editor>();
    menu = menu_init(&menu_count, BitmapFont{}); // the Ctrl letters go through the menus
    // key, modifiers, Ctrl pressed as a key around it, the slot and its value, a slot left clear,
    // the open flag (R alone opens the file again)
    const struct {
        SDLKey sym;
        int mod, ctrl_key, slot, value, clear, open_flag;
    } keys[] = {
        {SDLK_n, KMOD_NONE, 0, K_NEW_LAYER, 1, K_NEW, 0},   {SDLK_n, KMOD_LCTRL, 0, K_NEW, 1, K_NEW_LAYER, 0},
        {SDLK_b, KMOD_NONE, 1, K_REVERSE, 0, K_REVERSE, 0}, {SDLK_r, KMOD_NONE, 1, K_RELOAD, 3, K_NEW, 0},
        {SDLK_r, KMOD_NONE, 0, K_RELOAD, 1, K_NEW, 1},      {SDLK_v, KMOD_NONE, 0, K_VIEW_LAYER_ONLY, 1, K_VIEW_GROUP_ONLY, 0},
        {SDLK_v, KMOD_LSHIFT, 0, K_VIEW_GROUP_ONLY, 1, K_VIEW_LAYER_ONLY, 0},
        {SDLK_SPACE, KMOD_NONE, 0, K_PLAY, 1, K_PAUSE_AFTER, 0}, {SDLK_SPACE, KMOD_RSHIFT, 0, K_PAUSE_AFTER, 1, K_NEW, 0},
    };
    for (const auto& k : keys) {
        state_reset();
        ed->open_flag = 0;
        SDL_Event ctrl = key_event(SDL_KEYDOWN, SDLK_LCTRL);
        if (k.ctrl_key)
            editor_event(ed.get(), &ctrl);
        EXPECT_EQ(key[K_CTRL], k.ctrl_key);
        press(ed.get(), k.sym, k.mod);
        ctrl.type = ctrl.key.type = SDL_KEYUP;
        editor_event(ed.get(), &ctrl);
        EXPECT_EQ(std::vector<int>({key[k.slot], key[k.clear], ed->open_flag, key[K_CTRL]}),
                  std::vector<int>({k.value, k.slot == k.clear ? k.value : 0, k.open_flag, 0}))
            << (char)k.sym << " " << k.mod << " " << k.ctrl_key;
    }
    state_reset();
    SDL_Event left = key_event(SDL_KEYDOWN, SDLK_LEFT);
    editor_event(ed.get(), &left);
    EXPECT_EQ(key[K_PLAY_BACK], 1);
    left.type = left.key.type = SDL_KEYUP;
    editor_event(ed.get(), &left);
    EXPECT_EQ(key[K_PLAY_BACK], 0);
    mouse_function = TOOL_MOVE;
    press(ed.get(), SDLK_ESCAPE);
    EXPECT_EQ(mouse_function, TOOL_CURSOR);

    SDL_Event wheel{};
    wheel.type = wheel.button.type = SDL_MOUSEBUTTONDOWN;
    wheel.button.button = SDL_BUTTON_WHEELUP;
    editor_event(ed.get(), &wheel);
    editor_event(ed.get(), &wheel);
    press(ed.get(), SDLK_PAGEDOWN);
    EXPECT_EQ(key[K_WHEEL], 1);
    menu.clear();
    state_reset();
}

// The real editor, headless on the demo, one session from start to quit: what did not happen is
// said in the status line (no audio device, no program for the home page, a refused project line);
// the analysis fills the document and the view; the move tool shifts the layer by the columns
// dragged and Undo brings it back; the selection is made and changed with its tool and keys; a click whose press and release come within one frame opens a
// menu and a click on an entry chooses it (a press on a panel button reaching the panel is the
// Select button's, the knob gestures are the panel tests'); keys typed while a dialog was open are
// dropped when it closes; a resize keeps the minimum size; an idle
// editor does not spin; File > Export View / Whole Document as Picture; slot 0 ends it and the
// history holds what was done.
TEST_F(FrameEditor, OneSessionFromStartToQuit)
{
    ScopedEnv no_audio("SDL_AUDIODRIVER", "nosuchdriver"), opener("BRINDLEWHARF_OPENER", "false");
    TempDir dir;
    const std::string asked = dir.file("asked.txt");
    write_file(dir.file("dialogs.txt"), "number 6\nnumber -200\nnumber -6\ncancel\nsave " + dir.file("view.png") +
                                            "\nsave bmp " + dir.file("whole") + "\ncancel\n");
    ScopedEnv dialogs("BRINDLEWHARF_DIALOG_SCRIPT", dir.file("dialogs.txt").c_str());
    ScopedEnv log("BRINDLEWHARF_DIALOG_LOG", asked.c_str());
    ed = start_on_demo();
    es = &ed->es;
    im = &ed->image;
    ASSERT_EQ(editor_frame(ed.get()), 1);
    EXPECT_NE(std::string(text[3].str).find("Unable to open audio"), std::string::npos) << text[3].str;
    ASSERT_TRUE(run_until(ed.get(), [&] { return demo_synthesised(ed.get()) && idle(); }, 100000));
    EXPECT_STREQ(input_file_name, "demo.wav");
    EXPECT_EQ(im->w, 600); // 6 s at 100 px/s
    EXPECT_EQ(im->h, (int)std::floor((std::log2(20000.0) - std::log2(27.5)) * 60 + 1.5));
    EXPECT_EQ(es->sound_len, 264600);
    EXPECT_GT(es->norm, 0.f);

    // The view shows the spectrogram, the strip its titles, the panel its knobs and buttons.
    ASSERT_NE(im->display, nullptr);
    EXPECT_GT(distinct_pixels(reinterpret_cast<uint32_t*>(im->display), im->view_w, 0, 0, im->view_w, im->view_h),
              100u);
    EXPECT_GT(distinct_pixels(sfb1, SCRN_W, im->view_x, im->view_y, im->view_w, im->view_h), 100u);
    ASSERT_EQ(menu_count, MENU_COUNT);
    EXPECT_GT(distinct_pixels(menu_fb, SCRN_W, 0, 0, SCRN_W, MENU_STRIP_H), 2u);
    const int panel_top = im->view_y + im->view_h;
    EXPECT_GT(distinct_pixels(sfb1, SCRN_W, 0, panel_top, SCRN_W, SCRN_H - panel_top), 10u);
    const Control& vol = ctrl[C_VOLUME];
    EXPECT_GT(distinct_pixels(sfb1, SCRN_W, vol.x, vol.y, vol.w, vol.h), 10u);

    // The move tool: 10 columns right, the vacated columns left empty; Undo brings the layer back.
    const int w = im->w, h = im->h;
    auto layer = [&] { return values(im, im->layers[0].plane); };
    const std::vector<float> before = layer();
    const int y = im->view_y + im->view_h / 2;
    mouse_function = TOOL_MOVE;
    pointer_frame(ed.get(), im->view_x + im->view_w / 4, y, 1);
    const int xm = im->view_x + (int)std::lround(column_to_view_x((float)(mouse_ax_to_x(im->view_w) + 10), im->view_w));
    pointer_frame(ed.get(), xm, y, 1);
    pointer_frame(ed.get(), xm, y, 0);
    ASSERT_TRUE(run_until(ed.get(), idle, 60000));
    const std::vector<float> moved = layer();
    int wrong = 0;
    for (int r = 0; r < h; r++)
        for (int c = 0; c < w; c++)
            wrong += moved[(size_t)r * w + c] != (c < 10 ? 0.f : before[(size_t)r * w + c - 10]);
    EXPECT_EQ(wrong, 0);
    key[K_UNDO] = 1;
    ASSERT_TRUE(run_until(ed.get(), [&] { return !key[K_UNDO] && idle(); }, 60000));
    EXPECT_TRUE(layer() == before);
    mouse_function = TOOL_CURSOR;

    // The Select tool and the selection's keys: a box dragged across the view selects it, Shift
    // adds a second box, the lasso with Ctrl takes away and the brush with Shift adds, Delete
    // removes the selected region, I inverts, G asks for a gain, A selects all, and Escape closes
    // an open menu first and drops the selection next (all written to the history).
    {
        auto frame = [&] { ASSERT_EQ(editor_frame(ed.get()), 1); };
        // The Select button takes the box, pressed again the brush, the lasso and the box again.
        const Control& button = ctrl[C_TOOL_SELECT];
        for (int tool : {TOOL_SELECT_BOX, TOOL_SELECT_BRUSH, TOOL_SELECT_LASSO, TOOL_SELECT_BOX}) {
            pointer_frame(ed.get(), button.x + button.cx, button.y + button.cy, 1);
            pointer_frame(ed.get(), button.x + button.cx, button.y + button.cy, 0);
            EXPECT_EQ(mouse_function, tool);
        }
        EXPECT_EQ(button.frame, 1);

        // The soft edge of new shapes is asked for (Edit > Selection Feather...).
        key[K_SELECTION_FEATHER] = 1;
        frame();
        EXPECT_EQ(selection_feather, 6.f);

        // A box dragged over the middle of the view.
        const int x0 = im->view_x + im->view_w / 4, x1 = im->view_x + im->view_w / 2;
        const int y0 = im->view_y + im->view_h / 4, y1 = im->view_y + im->view_h / 2;
        pointer_frame(ed.get(), x0, y0, 1);
        const int c0 = mouse_ax_to_x(im->view_w), r0 = mouse_ay_to_y(im->view_h);
        pointer_frame(ed.get(), x1, y1, 1);
        EXPECT_NE(std::string(ed->status).find("Hz ("), std::string::npos) << ed->status; // the range while drawn
        const int c1 = mouse_ax_to_x(im->view_w), r1 = mouse_ay_to_y(im->view_h);
        pointer_frame(ed.get(), x1, y1, 0);
        ASSERT_TRUE(selection_present(im));
        EXPECT_EQ(selection_weight(im, (c0 + c1) / 2, (r0 + r1) / 2), 1.f);
        EXPECT_EQ(selection_weight(im, c1 + 10, r1 + 10), 0.f);

        // Shift adds a second box beside the first.
        key[K_SHIFT] = 1;
        pointer_frame(ed.get(), x1 + 20, y0, 1);
        pointer_frame(ed.get(), x1 + 40, y1, 1);
        pointer_frame(ed.get(), x1 + 40, y1, 0);
        key[K_SHIFT] = 0;
        EXPECT_EQ(selection_weight(im, (c0 + c1) / 2, (r0 + r1) / 2), 1.f);
        EXPECT_EQ(selection_weight(im, mouse_ax_to_x(im->view_w) - 5, (r0 + r1) / 2), 1.f);

        // The lasso with Ctrl takes a small triangle at the box's corner away; the brush with Shift
        // paints it back.
        pointer_frame(ed.get(), x1 - 4, y0 + 4, 0);
        const int tc = mouse_ax_to_x(im->view_w), tr = mouse_ay_to_y(im->view_h);
        ASSERT_EQ(selection_weight(im, tc, tr), 1.f);
        mouse_function = TOOL_SELECT_LASSO;
        key[K_CTRL] = 1;
        for (const auto& [x, y, b] : {std::array{x1 - 14, y0, 1}, {x1, y0, 1}, {x1, y0 + 14, 1}, {x1, y0 + 14, 0}})
            pointer_frame(ed.get(), x, y, b);
        key[K_CTRL] = 0;
        EXPECT_EQ(selection_weight(im, tc, tr), 0.f);
        EXPECT_EQ(selection_weight(im, (c0 + c1) / 2, (r0 + r1) / 2), 1.f);
        mouse_function = TOOL_SELECT_BRUSH;
        key[K_SHIFT] = 1;
        pointer_frame(ed.get(), x1 - 4, y0 + 4, 1);
        pointer_frame(ed.get(), x1 - 4, y0 + 4, 0);
        key[K_SHIFT] = 0;
        EXPECT_EQ(selection_weight(im, tc, tr), 1.f);

        // Delete removes the region from the layer, one Undo step.
        const int cc = (c0 + c1) / 2, rc = (r0 + r1) / 2, far_c = im->w - 2, far_r = im->h - 2;
        const float outside = im->layers[0].plane[far_r][far_c];
        ASSERT_GT(im->layers[0].plane[rc][cc], 0.f);
        press(ed.get(), SDLK_DELETE);
        frame();
        EXPECT_EQ(im->layers[0].plane[rc][cc], 0.f);
        EXPECT_EQ(im->layers[0].plane[far_r][far_c], outside);
        EXPECT_EQ(im->count, 1); // the layer stays

        // G asks for the gain: out of range changes nothing, -6 dB halves the selected pixels.
        press(ed.get(), SDLK_i); // invert: the far corner is selected now
        frame();
        EXPECT_EQ(selection_weight(im, far_c, far_r), 1.f);
        press(ed.get(), SDLK_g);
        frame();
        EXPECT_EQ(im->layers[0].plane[far_r][far_c], outside);
        press(ed.get(), SDLK_g);
        frame();
        EXPECT_NEAR(im->layers[0].plane[far_r][far_c], outside * 0.501187f, outside * 1e-5f);

        // A selects all; Escape closes an open menu first and drops the selection next.
        press(ed.get(), SDLK_a);
        frame();
        EXPECT_EQ(selection_weight(im, cc, rc), 1.f);
        const Menu& edit = menu[MENU_EDIT];
        pointer_frame(ed.get(), edit.x + 12 + edit.title_w / 2, -MENU_STRIP_H / 2, 1);
        pointer_frame(ed.get(), edit.x + 12 + edit.title_w / 2, -MENU_STRIP_H / 2, 0);
        ASSERT_EQ(menu_opened, MENU_EDIT);
        press(ed.get(), SDLK_ESCAPE);
        frame();
        EXPECT_EQ(menu_opened, -1);
        EXPECT_TRUE(selection_present(im));
        press(ed.get(), SDLK_ESCAPE);
        frame();
        EXPECT_FALSE(selection_present(im));
        EXPECT_EQ(mouse_function, TOOL_SELECT_BRUSH); // the tool stays
        mouse_function = TOOL_CURSOR;
        selection_feather = SELECTION_FEATHER_DEFAULT;
    }

    // Press and release on the Layers title within one frame open the menu; hovering "New Layer"
    // lights it, the click on it closes the menu and adds the layer the same frame.
    const Menu& layers = menu[MENU_LAYERS];
    SDL_Event ev{};
    ev.type = ev.motion.type = SDL_MOUSEMOTION;
    ev.motion.x = (Uint16)(layers.x + 12 + layers.title_w / 2);
    ev.motion.y = (Uint16)(MENU_STRIP_H / 2);
    editor_event(ed.get(), &ev);
    for (Uint8 type : {SDL_MOUSEBUTTONDOWN, SDL_MOUSEBUTTONUP}) {
        SDL_Event b{};
        b.type = b.button.type = type;
        b.button.button = SDL_BUTTON_LEFT;
        b.button.x = ev.motion.x;
        b.button.y = ev.motion.y;
        editor_event(ed.get(), &b);
    }
    ASSERT_EQ(editor_frame(ed.get()), 1);
    ASSERT_EQ(editor_frame(ed.get()), 1);
    ASSERT_EQ(menu_opened, MENU_LAYERS);
    EXPECT_EQ(mouse_b, 0);
    int mi = -1, ei = -1;
    const MenuEntry* entry = find_menu_entry(menu, "New Layer", &mi, &ei);
    ASSERT_TRUE(entry && mi == MENU_LAYERS && entry->w > 0);
    const int ex = entry->x + entry->w / 2, ey = entry->y + entry->h / 2;
    pointer_frame(ed.get(), ex, ey, 0);
    EXPECT_EQ(menu_strip.hovered, ei);
    EXPECT_GT(distinct_pixels(sfb1, SCRN_W, menu_strip.px, menu_strip.py, menu_strip.pw, menu_strip.ph), 2u);
    pointer_frame(ed.get(), ex, ey, 1);
    EXPECT_EQ(im->count, 1);
    pointer_frame(ed.get(), ex, ey, 0);
    EXPECT_EQ(menu_opened, -1);
    EXPECT_EQ(im->count, 2);
    ASSERT_TRUE(run_until(ed.get(), idle, 60000));

    // S: the save dialog (cancelled) with keys typed into it, dropped when it closes.
    dialog_open_before = desktop_context.dialog_open;
    desktop_context.dialog_open = type_into_dialog;
    press(ed.get(), SDLK_s);
    ASSERT_EQ(editor_frame(ed.get()), 1);
    desktop_context.dialog_open = dialog_open_before;
    EXPECT_EQ(editor_events(ed.get()), 0);
    for (int slot : {(int)K_TURN_OFF_LAYER, (int)K_ERASE_MASK, (int)K_VIEW_LAYER_ONLY})
        EXPECT_EQ(key[slot], 0) << slot;

    // No program opens the home page; a project line the replay refuses is said, not only on
    // standard error.
    ASSERT_TRUE(choose(ed.get(), "Check for Updates Online...", [] { return true; }));
    EXPECT_EQ(std::string(text[3].str),
              std::string("false could not open ") + HOME_PAGE + " (status 1): no program on this desktop opens it");
    write_file(dir.file("odd.kbz"), "Gain on selection loud dB\n");
    ASSERT_EQ(load_archive(dir.file("odd.kbz").c_str(), es, nullptr, 0, nullptr), 1);
    ASSERT_EQ(editor_frame(ed.get()), 1);
    EXPECT_EQ(std::string(text[3].str),
              "odd.kbz: 1 line not carried out (Warning: line 1: gain out of range; line ignored)");

    // Resizes: never below 200 x 420; the buffers, the document's screen and the view follow.
    SDL_Event resize{};
    resize.type = resize.resize.type = SDL_VIDEORESIZE;
    // asked w x h, the window and the view's width it gets
    for (auto [rw, rh, sw, sh, vw] : {std::array{100, 100, MIN_SCRN_W, MIN_SCRN_H, MIN_SCRN_W - 180},
                                      {900, 700 + MENU_STRIP_H, 900, 700, 720}}) {
        resize.resize.w = rw;
        resize.resize.h = rh;
        SDL_PushEvent(&resize);
        ASSERT_EQ(editor_frame(ed.get()), 1);
        EXPECT_EQ(std::vector<int>({SCRN_W, SCRN_H, im->view_w, im->view_h}),
                  std::vector<int>({sw, sh, vw, sh - im->view_y - MARGIN_Y}));
        EXPECT_EQ(im->screen, sfb0);
    }
    EXPECT_GT(distinct_pixels(sfb1, SCRN_W, im->view_x, im->view_y, im->view_w, im->view_h), 100u);

    // Nothing pending: the loop's wait grows to its longest instead of spinning at 1 ms; an event
    // brings the 1 ms step back at once.
    ASSERT_TRUE(run_until(ed.get(), [&] { return !editor_pending(ed.get()) && ed->wait_ms == IDLE_WAIT_MAX_MS; },
                          10000));
    ev.motion.x = ev.motion.y = 300;
    SDL_PushEvent(&ev);
    ASSERT_EQ(editor_frame(ed.get()), 1);
    EXPECT_EQ(editor_wait(ed.get()), 1);

    // The view export is the view as shown (zoomed, with the beat bars) inside the view's own
    // scales; the whole-document export has one pixel per column and band; a cancel writes nothing.
    write_file(asked, "");
    ASSERT_TRUE(choose(ed.get(), "4/4 Rhythm Overlay", [&] { return key[state_of(K_RHYTHM_OVERLAY)] == 1; }));
    change_zoom(im, 2.f, 1.5f, (float)im->w * 0.6f, (float)im->h * 0.4f);

    ASSERT_TRUE(choose(ed.get(), "Export View as Picture...", [&] { return file_exists(dir.file("view.png")); }));
    int pw = 0, ph = 0;
    uint8_t* px = load_picture(dir.file("view.png").c_str(), &pw, &ph, 0);
    ASSERT_NE(px, nullptr);
    PlotSource src = document_source(ed.get());
    std::tie(src.columns, src.first_column, src.bands, src.first_band) = std::tuple(crop_w, crop_x, crop_h, crop_y);
    const PlotLayout p = plot_layout(src, im->view_w, im->view_h);
    EXPECT_EQ(std::pair(pw, ph), std::pair(p.w, p.h));
    // The plot area is the frame buffer's view, overlays and all: not the bare picture.
    const uint32_t* fb = im->screen ? im->screen : sfb0;
    long differ_fb = 0, differ_bare = 0;
    for (int y = 0; y < im->view_h && pw == p.w && ph == p.h; y++)
        for (int x = 0; x < im->view_w; x++) {
            const uint8_t* got = px + ((size_t)(p.plot_y + y) * pw + p.plot_x + x) * 4;
            const uint32_t shown = fb[(size_t)(im->view_y + y) * SCRN_W + im->view_x + x];
            const uint8_t* bare = im->display + ((size_t)y * im->view_w + x) * 4;
            for (int c = 0; c < 3; c++) {
                differ_fb += got[c] != channel(shown, c);
                differ_bare += got[c] != bare[c];
            }
        }
    EXPECT_EQ(differ_fb, 0);
    EXPECT_GT(differ_bare, 100) << "the beat bars are missing";
    free(px);

    // Its scales are the view's own: the same labels by the same rules.
    const PlotLabels labels = plot_labels(src, im->view_w, im->view_h);
    const float* a = ed->es.anal_params;
    EXPECT_EQ(values(labels.freqs), values(left_scale_labels(futura12.glyph_h, a[0], a[1], a[6], im->h)));
    EXPECT_EQ(values(labels.notes), values(right_scale_labels(futura12.glyph_h, a[0], a[1], a[6], im->h)));
    EXPECT_EQ(values(labels.times), values(bottom_scale_labels(crop_w, crop_x, a[2])));
    EXPECT_GT(labels.notes.size(), 3u);

    ASSERT_TRUE(choose(ed.get(), "Export Whole Document as Picture...",
                       [&] { return file_exists(dir.file("whole.bmp")); }));
    free(load_picture(dir.file("whole.bmp").c_str(), &pw, &ph, 0));
    const PlotLayout whole = plot_layout(document_source(ed.get()), im->w, im->h);
    EXPECT_EQ(std::pair(pw, ph), std::pair(whole.w, whole.h));

    ASSERT_TRUE(choose(ed.get(), "Export View as Picture...", [&] { return export_request == 0; }));
    EXPECT_EQ(read_file(asked), "save dialog (picture)\nsave dialog (picture)\nsave dialog (picture)\n");

    EXPECT_NE(quit_editor(ed).find("\nQuitting program.\n"), std::string::npos);
    EXPECT_EQ(ctrl, nullptr);
    EXPECT_TRUE(menu.empty());
    const std::string history = read_file(env.home.appdata("history.kbz"));
    for (const char* line : {"Move layer", "New layer", "Select box replace", "feather 6\n", "Select lasso subtract",
                             "Select brush add", "Delete selection", "Select invert", "Gain on selection -6 dB",
                             "Select all", "Select none"})
        EXPECT_NE(history.find(line), std::string::npos) << line;
}

// A whole session through the window: a layer added and its blending chosen from the menu, a
// white stroke painted on it, undone and redone, an operation; saved as a snapshot archive with
// S; then a new editor resumes the last session and, after the close prompt, opens the snapshot:
// both give the composite that was saved.
TEST_F(FrameFlows, SessionSavedAsSnapshotAndResumedGivesTheSameComposite)
{
    TempDir dir;
    const std::string project = dir.file("session.kbz"), script = dir.file("dialogs.txt");
    write_file(script, "save snapshot " + project + "\nopen " + project + "\n");
    ScopedEnv dialogs("BRINDLEWHARF_DIALOG_SCRIPT", script.c_str());
    ASSERT_NO_FATAL_FAILURE(start_idle());
    const std::vector<float> analysed = composite_of(im);
    ASSERT_TRUE(choose(ed.get(), "New Layer", [&] { return im->count == 2 && idle(); }));
    ASSERT_TRUE(choose(ed.get(), "Maximum", idle));
    ASSERT_EQ(im->sel, 1);
    EXPECT_EQ(im->layers[1].blend, 8);

    auto layer = [&] { return values(im, im->layers[1].plane); };
    const std::vector<float> empty = layer();
    mouse_function = TOOL_WHITE_SPRAY;
    const int y = im->view_y + im->view_h / 3;
    for (int x = im->view_x + 40; x <= im->view_x + 200; x += 8)
        pointer_frame(ed.get(), x, y, 1);
    pointer_frame(ed.get(), im->view_x + 200, y, 0);
    ASSERT_TRUE(run_until(ed.get(), idle, 60000));
    const std::vector<float> painted = layer();
    ASSERT_NE(painted, empty);
    // The Edit menu names the steps; Undo and Redo (their keys) walk them, the status line tells.
    const std::vector<MenuEntry>& edit = menu[MENU_EDIT].entries;
    EXPECT_EQ(std::tuple(edit[0].label, edit[1].label, edit[1].greyed), std::tuple("Undo Stroke", "Redo", 1));
    press(ed.get(), SDLK_u);
    ASSERT_TRUE(run_until(ed.get(), idle, 60000));
    EXPECT_EQ(layer(), empty);
    EXPECT_STREQ(ed->notice, "Undo: Stroke"); // on the status line for a while
    EXPECT_EQ(std::tuple(edit[0].label, edit[1].label, edit[1].greyed),
              std::tuple("Undo Convolution Centre", "Redo Stroke", 0));
    press(ed.get(), SDLK_z, KMOD_LCTRL | KMOD_LSHIFT);
    ASSERT_TRUE(run_until(ed.get(), idle, 60000));
    EXPECT_EQ(layer(), painted);
    EXPECT_STREQ(ed->notice, "Redo: Stroke");
    ASSERT_TRUE(choose(ed.get(), "Square Root", idle));
    EXPECT_NE(layer(), painted);

    press(ed.get(), SDLK_s);
    ASSERT_TRUE(run_until(ed.get(), [&] { return !key[K_SAVE] && idle(); }, 60000));
    ASSERT_TRUE(file_exists(project));
    process_layers(es);
    const std::vector<float> saved = composite_of(im);
    ASSERT_NE(saved, analysed); // the painted layer shows in the composite
    const int w = im->w, h = im->h;
    quit_editor(ed);
    const std::string history = read_file(env.home.appdata("history.kbz"));
    EXPECT_NE(history.find("// Save \"" + project + "\""), std::string::npos);

    // Resume Last Session on an empty editor replays the history (no prompt: nothing on screen).
    std::string arg0 = "brindlewharf";
    char* bare[] = {arg0.data(), nullptr};
    ed = std::make_unique<Editor>();
    ASSERT_EQ(editor_start(ed.get(), 1, bare), 1);
    es = &ed->es;
    im = &ed->image;
    key[K_RESUME] = 1;
    ASSERT_TRUE(run_until(ed.get(), [&] { return im->count == 2 && idle(); }, 100000));
    ASSERT_EQ(std::pair(im->w, im->h), std::pair(w, h));
    // The history gives stroke positions, sizes and intensities to six digits, and the live
    // stroke painted with those: the replay gives the same bits.
    EXPECT_EQ(composite_of(im), saved);

    // Open does not ask to save the resumed document (it holds nothing new), and opens the snapshot.
    key[K_OPEN] = 1;
    ASSERT_TRUE(run_until(ed.get(), [&] { return !key[K_OPEN] && im->count == 2 && idle(); }, 100000));
    EXPECT_STREQ(ed->path, project.c_str());
    EXPECT_EQ(composite_of(im), saved);
    quit_editor(ed);
}

// The document flows around the close prompt, and the saves: Open asks whether to save only
// when the document holds changes since it was opened or saved (the name and the window title
// show them with "*"); files that cannot be opened (a text file named as a picture, a text file
// and an empty file named as sounds) leave the document, its sound and its changes as they were,
// each with an alert naming the file, and the Open dialog comes back without asking again; "yes"
// runs the Save dialog and the Open dialog follows it even when the save was cancelled; a
// cancelled Open keeps the document and its path. S saves a grey BMP at
// once, and a sound only once synthesis has caught up with the latest edit (with the waiting
// message meanwhile), as the synthesised sound. New empties the path and the picture. Quit with
// changes asks too: a cancelled save keeps the editor running, "no" ends it.
TEST_F(FrameFlows, ClosePromptSavesOfEachKindAndNew)
{
    TempDir dir;
    const std::string script = dir.file("dialogs.txt"), asked = dir.file("asked.txt");
    const std::string bmp = dir.file("picture.bmp"), wav = dir.file("sound.wav");
    for (const char* name : {"bad.png", "bad.wav"})
        write_file(dir.file(name), "nothing here\n");
    write_file(dir.file("empty.wav"), "");
    write_file(script, "cancel\nno\nopen " + dir.file("bad.png") + "\nok\nopen " + dir.file("bad.wav") + "\nok\nopen " +
                           dir.file("empty.wav") + "\nok\ncancel\nyes\ncancel\ncancel\nsave " + bmp + "\nsave " + wav +
                           "\nyes\ncancel\nno\n");
    ScopedEnv dialogs("BRINDLEWHARF_DIALOG_SCRIPT", script.c_str());
    ScopedEnv log("BRINDLEWHARF_DIALOG_LOG", asked.c_str());
    ASSERT_NO_FATAL_FAILURE(start_idle());
    EXPECT_EQ(read_file(asked), ""); // the file named on the command line opened without a dialog
    auto title = [] {
        char* t = nullptr;
        SDL_WM_GetCaption(&t, nullptr);
        return std::string(t ? t : "");
    };
    EXPECT_EQ(title(), std::string(PROGRAM_TITLE) + " - demo.wav");

    // Nothing changed since the open: straight to the Open dialog.
    ASSERT_TRUE(choose(ed.get(), "Open...", [&] { return !key[K_OPEN]; }));
    EXPECT_EQ(read_file(asked), "open dialog\n");
    write_file(asked, "");

    key[K_INVERT] = 1;
    ASSERT_EQ(editor_frame(ed.get()), 1);
    ASSERT_TRUE(run_until(ed.get(), [&] { return demo_synthesised(ed.get()) && idle(); }, 60000));
    EXPECT_EQ(doc_modified, 1);
    EXPECT_STREQ(text[4].str, "*demo.wav");
    EXPECT_EQ(title(), std::string(PROGRAM_TITLE) + " - *demo.wav");

    // "no", then three refused files and a cancel.
    const std::vector<float> inverted = composite_of(im);
    const float norm = es->norm;
    ASSERT_GT(norm, 0.f);
    key[K_OPEN] = 1;
    ASSERT_TRUE(run_until(ed.get(), [&] { return !key[K_OPEN] && idle(); }, 60000));
    const std::string question = "question: Save before closing: Save the current project to file before closing it?\n";
    std::string log_text = read_file(asked);
    EXPECT_EQ(log_text.rfind(question, 0), 0u) << log_text; // asked once only
    EXPECT_EQ(log_text.find(question, 1), std::string::npos) << log_text;
    EXPECT_NE(log_text.find("\nalert: Could not open bad.png: Could not open image " + dir.file("bad.png") + ": "),
              std::string::npos) << log_text;
    for (const char* name : {"bad.wav", "empty.wav"})
        EXPECT_NE(log_text.find(std::string("\nalert: Could not open ") + name + ": Could not read sound file '" +
                                dir.file(name) + "'"), std::string::npos) << log_text;
    EXPECT_EQ(std::count(log_text.begin(), log_text.end(), '\n'), 8) << log_text; // the question, 4 dialogs, 3 alerts
    EXPECT_STREQ(input_file_name, "demo.wav");
    EXPECT_EQ(doc_modified, 1);
    EXPECT_TRUE(composite_of(im) == inverted);
    ASSERT_TRUE(run_until(ed.get(), [&] { return demo_synthesised(ed.get()); }, 60000)); // the sound goes on
    EXPECT_EQ(es->norm, norm);
    write_file(asked, "");

    // "yes", the save cancelled, the Open dialog all the same, cancelled too.
    ASSERT_TRUE(choose(ed.get(), "Open...", [&] { return !key[K_OPEN] && !key[K_CLOSE_AFTER_SAVE] && !key[K_SAVE]; }));
    EXPECT_EQ(read_file(asked), question + "save dialog\nopen dialog\n");
    EXPECT_EQ(ed->path, demo_path);
    ASSERT_NE(im->composite, nullptr);
    EXPECT_EQ(es->paused.load(), 1);
    EXPECT_EQ(doc_modified, 1); // the save was cancelled

    press(ed.get(), SDLK_s);
    ASSERT_TRUE(run_until(ed.get(), [&] { return !key[K_SAVE]; }, 10000));
    int pw = 0, ph = 0;
    free(load_picture(bmp.c_str(), &pw, &ph, 0));
    EXPECT_EQ(std::pair(pw, ph), std::pair(im->w, im->h));

    // An edit, then S at once: the sound waits for the synthesis the edit restarts.
    key[K_INVERT] = 1;
    press(ed.get(), SDLK_s);
    ASSERT_TRUE(run_until(ed.get(), [&] { return key[K_SAVE] == 2; }, 10000));
    EXPECT_STREQ(text[3].str, "Waiting for synthesis to complete before saving sound to file...");
    EXPECT_FALSE(file_exists(wav));
    ASSERT_TRUE(run_until(ed.get(), [&] { return !key[K_SAVE]; }, 60000));
    ASSERT_EQ(synthesis_blocks_done(es), es->block_count);
    SF_INFO info{};
    const std::vector<float> sound = read_sound_file(wav, &info);
    ASSERT_EQ(info.channels, 1);
    ASSERT_EQ((int64_t)sound.size(), (int64_t)es->sound_len);
    float worst = 0.f, loudest = 0.f;
    for (size_t i = 0; i < sound.size(); i++) {
        const float want = std::clamp(es->sound[i / SOUND_CHUNK_LEN][i % SOUND_CHUNK_LEN] * es->norm, -1.f, 1.f);
        worst = std::max(worst, std::fabs(sound[i] - want));
        loudest = std::max(loudest, std::fabs(want));
    }
    EXPECT_LE(worst, 1.5f / 32768);
    EXPECT_GT(loudest, 0.1f);
    const std::string history = read_file(env.home.appdata("history.kbz"));
    EXPECT_NE(history.find("// Save \"" + wav + "\""), std::string::npos);

    // Saved: nothing to lose. New asks nothing: a blank one-layer picture, no path, so Reload
    // makes one again.
    EXPECT_EQ(doc_modified, 0);
    EXPECT_STREQ(text[4].str, "demo.wav");
    write_file(asked, "");
    key[K_NEW] = 1;
    ASSERT_TRUE(run_until(ed.get(), [&] { return !key[K_NEW] && !key[K_RELOAD] && idle(); }, 60000));
    EXPECT_STREQ(ed->path, "");
    EXPECT_EQ(im->count, 1);
    const std::vector<float> blank = composite_of(im);
    EXPECT_EQ(*std::max_element(blank.begin(), blank.end()), 0.f);
    EXPECT_EQ(read_file(asked), "");

    // Quit with a change: "yes" and a cancelled save keep the editor; "no" ends it.
    key[K_INVERT] = 1;
    ASSERT_EQ(editor_frame(ed.get()), 1);
    ASSERT_TRUE(run_until(ed.get(), idle, 60000));
    press(ed.get(), SDLK_q, KMOD_LCTRL);
    EXPECT_EQ(editor_frame(ed.get()), 1);
    EXPECT_EQ(ed->quit_after_save, 1);
    ASSERT_TRUE(run_until(ed.get(), [&] { return !ed->quit_after_save; }, 10000));
    EXPECT_EQ(doc_modified, 1);
    key[K_QUIT] = 1;
    EXPECT_EQ(editor_frame(ed.get()), 0);
    EXPECT_EQ(read_file(asked), question + "save dialog\n" + question);
    quit_editor(ed);
}
