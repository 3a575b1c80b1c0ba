// The editor program: start-up, the frame loop and shutdown; see frame.h.
#include "editor/frame.h"
#include "editor/export.h"
#include "editor/menus.h"
#include "editor/selection_use.h"
#include "history/open.h"
#include "editor/panel.h"
#include "files/startup.h"
#include "core/limits.h"
#include "core/units.h"
#include "render/gfx.h"
#include "display/scales.h"
#include "display/screen.h"
#include "display/view.h"
#include "display/window.h"
#include "document/command_log.h"
#include "document/composite.h"
#include "document/hooks.h"
#include "document/image.h"
#include "document/layers.h"
#include "document/move.h"
#include "document/operations.h"
#include "document/paint.h"
#include "document/sound.h"
#include "document/selection.h"
#include "document/undo.h"
#include "dsp/analysis.h"
#include "dsp/noise_full.h"
#include "files/config.h"
#include "files/media.h"
#include "history/archive.h"
#include "history/clipboard.h"
#include "history/replay.h"
#include "platform/desktop.h"
#include "platform/util.h"
#include "sound/device.h"
#include "sound/live.h"
#include "sound/selection_sound.h"
#include "sound/synthesis.h"
#include "sound/writer.h"

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

// The editor whose frames are running: the hooks the lower layers call reach it through this.
static Editor* running = nullptr;

// The panel's pointer wrap before start-up installed the frame's; shutdown puts it back.
static void (*panel_warp_before)(int, int) = nullptr;

// Longest wait of the workers the loop stops at shutdown or before a document is replaced.
static const int WORKER_STOP_MS = 10000;

// Time between two frames sent to the window while a sound is analysed.
static const int ANALYSIS_FRAME_MS = 30;

static bool has_document(const Editor* ed) { return ed->image.composite != nullptr; }

// The press state without the pan bit.
static int press_base(int press) { return press < 0 ? press : press & ~PRESS_PAN; }

// ---------------------------------------------------------------------------------------------
// [SECTION] Scales, overlays and the waveform strip
// ---------------------------------------------------------------------------------------------

// The system pointer's visibility as the overlays last asked for it (from whichever thread drew
// them); the frame applies it on the main thread, where the window's calls belong.
static std::atomic<int> pointer_wanted{1};
static int pointer_shown = -1;

static void hook_show_system_cursor(int show) { pointer_wanted = show ? 1 : 0; }

static void hook_warp_mouse(int x, int y) { SDL_WarpMouse((Uint16)std::max(x, 0), (Uint16)std::max(y + MENU_STRIP_H, 0)); }

static void apply_pointer_visibility()
{
    const int want = pointer_wanted.load();
    if (want != pointer_shown) {
        SDL_ShowCursor(want ? SDL_ENABLE : SDL_DISABLE);
        pointer_shown = want;
    }
}

// The waveform strip is made again for the current view (on its worker).
static void start_waveform(Editor* ed) { waveform_start(&ed->es); }

// What the scales were last drawn for: the crop, the document's size and axis, the window.
static void scales_state(const Editor* ed, float out[SCALES_STATE_LEN])
{
    const float* a = ed->es.anal_params;
    const float v[SCALES_STATE_LEN] = {(float)crop_x, (float)crop_y, (float)crop_w, (float)crop_h,
                                       (float)ed->image.w, (float)ed->image.h, a[0], a[1], a[2], a[6],
                                       (float)SCRN_W, (float)SCRN_H, (float)MARGIN_Y};
    memcpy(out, v, sizeof v);
}

// The frame around the view and, with a document, the frequency, note and time scales.
static void draw_scales(Editor* ed)
{
    image_rect(sfb0);
    if (!has_document(ed))
        return;
    const float* a = ed->es.anal_params;
    draw_left_scale(sfb0, futura12, a[0], a[1], a[6], ed->image.h);
    draw_right_scale(sfb0, futura12, a[0], a[1], a[6], ed->image.h);
    draw_bottom_scale(sfb0, crop_w, crop_x, futura12, std::max(a[2], 0.01f));
    scales_state(ed, ed->scales_for);
}

// 1 when the view moved or the axis changed since the scales were drawn.
static bool scales_stale(const Editor* ed)
{
    float now[SCALES_STATE_LEN];
    scales_state(ed, now);
    return memcmp(now, ed->scales_for, sizeof now) != 0;
}

static void mouse_text(Editor* ed) { mouse_freq_time_pos(ed->status, sizeof ed->status, &ed->es); }

static void slow_mouse_step(Editor*) { mouse_speed(&mouse_ax, &mouse_ay, slow_mouse); }

// ---------------------------------------------------------------------------------------------
// [SECTION] Layout
// ---------------------------------------------------------------------------------------------

// Lays the window out for SCRN_W x SCRN_H: the panel (the normal layout below 1400 pixels, else
// the wide or lossless one) with its height, the view rectangle, and the view redrawn.
static void window_layout(Editor* ed) { after_res_change(ctrl, text, &ed->es); }

// A window resized to w x h: the minimum size, new frame buffers, the layout, a full redraw.
static void window_resized(Editor* ed, int w, int h)
{
    window_resize(w, h, &ed->image);
    overlays_reset();
    window_layout(ed);
    start_waveform(ed);
    ed->full_redraw = 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Hooks the lower layers call
// ---------------------------------------------------------------------------------------------

static void hook_stop_synthesis(EngineState* es) { end_sound_threads(es); }

// A new document: the whole of it in view, the knobs and menus reset, everything redrawn.
static void hook_after_open(EngineState* es)
{
    if (es->image->w > 0 && es->image->h > 0)
        view_reset(es->image);
    overlays_reset();
    knobs_after_open(es);
    menu_list_refresh_hook(es);
    if (running)
        running->full_redraw = 1;
}

static void hook_redraw_view(EngineState* es) { image_redraw(es, 0); }

static void hook_view_reset(ImageStack* image)
{
    view_reset(image);
    overlays_reset();
}

// Events that arrive while the main thread is busy (an analysis, a replay) are dropped, as the
// user cannot act meanwhile; releases and window resizes are still taken, so that no key stays
// held and the frame buffers keep the window's size.
static void drop_events(Editor* ed)
{
    SDL_Event ev;
    while (SDL_PollEvent(&ev))
        if (ev.type == SDL_KEYUP || ev.type == SDL_MOUSEBUTTONUP || ev.type == SDL_VIDEORESIZE)
            editor_event(ed, &ev);
}

// While a sound is analysed on the main thread: the partly filled picture is redrawn and sent
// to the window, so that the spectrogram fills in as the bands are made. Until a frame has
// shown the lowest row (the first to come, coarse or analysed), the next frame follows within
// a millisecond of its arrival.
static void* analysis_redraw(void* arg)
{
    ImageStack* image = static_cast<ImageStack*>(arg);
    Editor* ed = running;
    if (!ed || image != &ed->image)
        return nullptr;
    auto first_row = [image] { return image->h > 0 && filled_row(image->composite, image->h - 1) != nullptr; };
    while (!image->stop_redraw) {
        const bool shown = first_row();
        image_redraw(&ed->es, 1);
        editor_present(ed, 0);
        for (int t = 0; t < ANALYSIS_FRAME_MS && !image->stop_redraw && (shown || !first_row()); t++)
            wrsleep(1);
    }
    return nullptr;
}

// A replay that refused lines says so on the status line, with the first of them.
static void hook_replay_warned(const char* path, int count, const char* first)
{
    const char* slash = strrchr(path, '/');
    user_notice("%s: %d line%s not carried out (%s)", slash ? slash + 1 : path, count, count == 1 ? "" : "s", first);
}

// A refresh point of a replay: the frame goes to the window, pending events are dropped.
static void hook_replay_present(EngineState*)
{
    if (!running)
        return;
    editor_present(running, 1);
    drop_events(running);
}

static void install_hooks()
{
    open_hooks.stop_synthesis = hook_stop_synthesis;
    open_hooks.after_open = hook_after_open;
    open_hooks.begin_history = begin_history;
    document_hooks.list_refresh = menu_list_refresh_hook;
    document_hooks.redraw_view = hook_redraw_view;
    sound_display_hooks.view_reset = hook_view_reset;
    sound_display_hooks.redraw = analysis_redraw;
    replay_hooks.present = hook_replay_present;
    replay_hooks.options_checks = menu_checks_hook;
    replay_hooks.warned = hook_replay_warned;
    window_hooks.close_live_output = live_output_close;
    scales_hooks.warp_mouse = hook_warp_mouse;
    scales_hooks.show_system_cursor = hook_show_system_cursor;
    scales_install_hooks();
    // The gamma knob, the relayout after a layer-count change, the Invert button, the knobs
    // following a replay; the linear knob gesture's pointer wrap below the menu strip.
    panel_install_hooks();
    if (panel_warp_pointer != hook_warp_mouse)
        panel_warp_before = panel_warp_pointer;
    panel_warp_pointer = hook_warp_mouse;
}

static void remove_hooks()
{
    open_hooks = OpenHooks{nullptr, nullptr, nullptr};
    document_hooks.knob_refresh = nullptr;
    document_hooks.knob_layout = nullptr;
    document_hooks.list_refresh = nullptr;
    document_hooks.redraw_view = nullptr;
    document_hooks.invert_control = nullptr;
    sound_display_hooks = SoundDisplayHooks{nullptr, nullptr};
    replay_hooks.present = nullptr;
    replay_hooks.knobs_follow = nullptr;
    replay_hooks.options_checks = nullptr;
    replay_hooks.warned = nullptr;
    window_hooks.close_live_output = nullptr;
    scales_hooks = ScalesHooks{nullptr, nullptr};
    view_hooks = ViewHooks{nullptr, nullptr, nullptr};
    noise_full_ready_hook = nullptr;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Start-up
// ---------------------------------------------------------------------------------------------

int editor_start(Editor* ed, int argc, char** argv)
{
    running = ed;
    ed->argc = argc;
    ed->argv = argv;

    // 1. Paths of the document flows; everything is drawn on the first frame.
    ed->path[0] = ed->prev_path[0] = ed->save_path[0] = 0;
    ed->image_changed = 1;
    ed->full_redraw = 1;
    ed->rect_start[0] = ed->rect_start[1] = -1;
    ed->launch = argc;
    ed->wait_ms = 1;
    ed->dialogs_seen = dialogs_shown.load();
    pointer_wanted = 1;
    pointer_shown = -1;

    // 2-9. History path, command slots, random seed, platform and log, document folder,
    // configuration, run-time globals, worker count.
    const int doc = document_argument(argc, argv);
    program_start(argc, argv, doc ? argv[doc] : nullptr);

    // 10. Window and frame buffers (ends the process when there is no window).
    graphics_full_init(&sfb0, &sfb1);

    // 11-13. Colour pictures, menu shadow, fonts.
    palette_load();
    draw_menu_shadow(FrameRef{}, 0, 0, 0, 0);
    view_colours_load();
    scales_colours_load();
    font_free(&futura12);
    font_free(&futura16);
    font_free(&futura24);
    fonts_load();

    // 14-15. Panel and menus.
    control_text_init(&futura12, &futura24);
    menu_close();
    menu = menu_init(&menu_count, futura16);
    refresh_history_menu_checks(menu);
    menu_sync_checks(menu);

    // 16. Audio device and engine state; the panel laid out.
    install_hooks();
    sound_init(&ed->es, &ed->image);
    window_layout(ed);

    // 17. The document record: screen flag, frame buffer, layer table and locks.
    image_stack_init(&ed->image);
    ed->image.screen_dirty = &ed->image_changed;
    ed->image.screen = sfb0;

    // 18. Pointer state; the lossless mode as the history knows it; configuration saved.
    mouse_b = 0;
    slow_mouse = 0;
    mouse_ax_sub = mouse_ay_sub = 0;
    key[K_LOSSLESS_LOGGED] = (int8_t)lossless_mode.load();
    config_save(0);
    ed->last_frame_ms = SDL_GetTicks();

    // 19.
    return key[K_QUIT] ? 0 : 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Window events
// ---------------------------------------------------------------------------------------------

static void key_down(Editor* ed, const SDL_keysym& ks)
{
    const bool ctrl = (ks.mod & KMOD_CTRL) || key[K_CTRL];
    const bool shift = (ks.mod & KMOD_SHIFT) || key[K_SHIFT];
    if (ctrl && shift && ks.sym == SDLK_z) {
        key[K_REDO] = 1;
        return;
    }
    if (ctrl && ks.sym >= SDLK_a && ks.sym <= SDLK_z) {
        menu_key_equivalent(menu, ks.sym);
        return;
    }
    switch (ks.sym) {
    case SDLK_b: key[K_REVERSE] = 1; break;
    case SDLK_c: key[K_COPY] = 1; break;
    case SDLK_d: key[K_DEFAULTS] = 1; break;
    case SDLK_e: key[K_ERASE_MASK] = 1; break;
    case SDLK_f: key[K_UNLOCK] = 1; break;
    case SDLK_j: key[K_MERGE_DOWN] = 1; break;
    case SDLK_k: key[K_SUSPEND] = 1; break;
    case SDLK_l: key[K_BOUNCE] = 1; break;
    case SDLK_m: // the Select tool, or its next mode when it is on (as its button does)
        mouse_function = next_select_tool(mouse_function);
        mac_redraw = 1;
        break;
    case SDLK_n: key[K_NEW_LAYER] = 1; break;
    case SDLK_o: key[K_OPEN] = 1; break;
    case SDLK_p: key[K_PLAY_SELECTION] = 1; break;
    case SDLK_s: key[K_SAVE] = 1; break;
    case SDLK_t: key[K_TURN_OFF_LAYER] = 1; break;
    case SDLK_u: key[shift ? K_REDO : K_UNDO] = 1; break;
    case SDLK_r:
        key[K_RELOAD] = 1;
        ed->open_flag = 1;
        break;
    case SDLK_h: slow_mouse = 1; break;
    case SDLK_v: key[shift ? K_VIEW_GROUP_ONLY : K_VIEW_LAYER_ONLY] = 1; break;
    case SDLK_a: key[K_SELECT_ALL] = 1; break;
    case SDLK_g: key[K_SELECTION_GAIN] = 1; break;
    case SDLK_i: key[K_SELECT_INVERT] = 1; break;
    case SDLK_DELETE: key[selection_present(&ed->image) ? K_SELECTION_DELETE : K_DELETE_LAYER] = 1; break;
    case SDLK_ESCAPE:
        // An open menu closes; otherwise a selection goes, and without one the Cursor tool comes back.
        if (menu_opened >= 0)
            menu_close();
        else if (selection_present(&ed->image))
            key[K_SELECT_NONE] = 1;
        else
            mouse_function = TOOL_CURSOR;
        mac_redraw = 1;
        break;
    case SDLK_SPACE: key[shift ? K_PAUSE_AFTER : K_PLAY] = 1; break;
    case SDLK_UP: key[K_JUMP_END] = 1; break;
    case SDLK_DOWN: key[K_JUMP_START] = 1; break;
    case SDLK_LEFT: key[K_PLAY_BACK] = 1; break;
    case SDLK_RIGHT: key[K_PLAY_FORWARD] = 1; break;
    case SDLK_END: key[K_PAN] = 1; break;
    case SDLK_PAGEUP: key[K_WHEEL]++; break;
    case SDLK_PAGEDOWN: key[K_WHEEL]--; break;
    case SDLK_LSHIFT:
    case SDLK_RSHIFT: key[K_SHIFT] = 1; break;
    case SDLK_LCTRL:
    case SDLK_RCTRL: key[K_CTRL] = 1; break;
    default: break;
    }
}

static void key_up(SDLKey sym)
{
    switch (sym) {
    case SDLK_b: key[K_REVERSE] = 0; break;
    case SDLK_f: key[K_UNLOCK] = 0; break;
    case SDLK_l: key[K_BOUNCE] = 0; break;
    case SDLK_h: slow_mouse = 0; break;
    case SDLK_LEFT: key[K_PLAY_BACK] = 0; break;
    case SDLK_RIGHT: key[K_PLAY_FORWARD] = 0; break;
    case SDLK_END: key[K_PAN] = 0; break;
    case SDLK_LSHIFT:
    case SDLK_RSHIFT: key[K_SHIFT] = 0; break;
    case SDLK_LCTRL:
    case SDLK_RCTRL: key[K_CTRL] = 0; break;
    default: break;
    }
}

// Window coordinate to drawing-area pixels (rows counted from below the menu strip).
static int event_to_pixels(int v) { return (int)floorf((float)v / fb_scale + 0.5f); }

static void pointer_at(int x, int y)
{
    mouse_ax_raw = event_to_pixels(x);
    mouse_ay_raw = event_to_pixels(y - MENU_STRIP_H);
    if (!slow_mouse) {
        mouse_ax = mouse_ax_raw;
        mouse_ay = mouse_ay_raw;
    }
}

void editor_event(Editor* ed, const SDL_Event* ev)
{
    switch (ev->type) {
    case SDL_KEYDOWN: key_down(ed, ev->key.keysym); break;
    case SDL_KEYUP: key_up(ev->key.keysym.sym); break;
    case SDL_MOUSEMOTION: pointer_at(ev->motion.x, ev->motion.y); break;
    case SDL_MOUSEBUTTONDOWN:
        switch (ev->button.button) {
        case SDL_BUTTON_LEFT:
        case SDL_BUTTON_RIGHT: {
            const int bit = ev->button.button == SDL_BUTTON_LEFT ? 1 : 2;
            mouse_b |= (uint8_t)bit;
            ed->unseen_press |= bit;
            break;
        }
        case SDL_BUTTON_MIDDLE: key[K_PAN] = 1; break;
        case SDL_BUTTON_WHEELUP: key[K_WHEEL]++; break;
        case SDL_BUTTON_WHEELDOWN: key[K_WHEEL]--; break;
        default: break;
        }
        break;
    case SDL_MOUSEBUTTONUP:
        switch (ev->button.button) {
        case SDL_BUTTON_LEFT:
        case SDL_BUTTON_RIGHT: {
            // A press no frame has seen yet keeps its button down for one frame, so that a click
            // shorter than a frame is still a click.
            const int bit = ev->button.button == SDL_BUTTON_LEFT ? 1 : 2;
            if (ed->unseen_press & bit)
                ed->late_release |= bit;
            else
                mouse_b &= (uint8_t)~bit;
            break;
        }
        case SDL_BUTTON_MIDDLE: key[K_PAN] = 0; break;
        default: break;
        }
        break;
    case SDL_VIDEORESIZE: window_resized(ed, ev->resize.w, ev->resize.h); break;
    case SDL_VIDEOEXPOSE: ed->full_redraw = 1; break;
    default: break;
    }
}

int editor_events(Editor* ed)
{
    SDL_Event ev;
    int n = 0;
    while (SDL_PollEvent(&ev)) {
        editor_event(ed, &ev);
        n++;
    }
    return n;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Pointer
// ---------------------------------------------------------------------------------------------

static bool pointer_in_view(const ImageStack* im)
{
    return mouse_ax >= im->view_x && mouse_ax < im->view_x + im->view_w && mouse_ay >= im->view_y &&
           mouse_ay < im->view_y + im->view_h;
}

// Frame step 2: precision and the press state from the buttons and the pan key.
static void classify_pointer(Editor* ed)
{
    const int buttons = mouse_b & 3;
    ed->precision = (mouse_b & 2) || ((mouse_b & 1) && key[K_CTRL]) ? 1 : 0;
    ed->prev_press = ed->press;
    int base = press_base(ed->press);
    if (!buttons)
        base = PRESS_NONE;
    else if (!ed->buttons)
        base = (base == PRESS_MENU || base == PRESS_STRIP) ? (mouse_ay < 0 ? PRESS_STRIP : PRESS_MENU) : PRESS_NEW;
    ed->buttons = buttons;
    ed->unseen_press = 0;
    ed->press = base | (key[K_PAN] ? PRESS_PAN : 0);
    slow_mouse_step(ed);
}

// Frame step 5: what a new press is on. The menu strip and an open menu first, then the panel,
// then the view.
static void classify_press(Editor* ed)
{
    ImageStack* im = &ed->image;
    const int pan = ed->press & PRESS_PAN;
    if (int m = menu_press_state()) {
        ed->press = m | pan;
        return;
    }
    const int r = panel_press(&ed->es, mouse_ax, mouse_ay);
    if (r & PANEL_FULL_REDRAW)
        ed->full_redraw = 1;
    if (r & PANEL_TAKEN) {
        ed->grabbed = panel_grabbed();
        ed->press = PRESS_PANEL | pan;
        return;
    }
    if (has_document(ed) && pointer_in_view(im)) {
        if (mouse_function != TOOL_CURSOR) {
            ed->press = PRESS_VIEW | pan;
            return;
        }
        ed->press = PRESS_CURSOR | pan;
        if (key[state_of(K_LIVE_SYNTH)]) {
            current_x = mouse_ax_to_xf(im->view_w);
            key[K_LIVE_JUMP] = 1;
        } else if (im->w > 0 && im->view_w > 0) {
            const double col =
                (double)crop_x + (double)(mouse_ax - im->view_x) / (double)im->view_w * (double)(crop_w - 1);
            ed->es.play_pos = (int32_t)std::lrint(col * (double)ed->es.sound_len.load() / (double)im->w);
        }
        key[K_CURSOR_DRAG] = 1;
        return;
    }
    ed->press = PRESS_NONE | pan;
}

// While the Cursor tool's press lasts live synthesis follows the pointer; its end lets go.
static void cursor_follow(Editor* ed)
{
    if (press_base(ed->press) == PRESS_CURSOR)
        current_x = mouse_ax_to_xf(ed->image.view_w);
    else if (press_base(ed->prev_press) == PRESS_CURSOR)
        key[K_CURSOR_DRAG] = 0;
}

// Frame step 10: the view follows the pointer while the pan key or the middle button is held.
static void pan_step(Editor* ed)
{
    const bool now = ed->press & PRESS_PAN, before = ed->prev_press > 0 && (ed->prev_press & PRESS_PAN);
    if (!has_document(ed))
        return;
    if (now && !before)
        pan_begin(&ed->pan);
    else if (now)
        pan_drag(&ed->es, &ed->pan);
    else if (before) {
        start_waveform(ed);
        pan_end(&ed->es);
    }
}

// Frame step 4: the status line shows the program, or the help of the tool in use, or for a while
// the last user notice.
static void status_line(Editor* ed)
{
    static const char* const help[11] = {
        nullptr,
        "Dark spray tool : Press the left mouse button to darken the area, the right button to restore it",
        "White paint spray tool : Press the left mouse button paint white, the right button to erase",
        "\"Flashlight\" spray tool : Press the left mouse button to brighten the area, the right button to restore it",
        "\"Road roller\" spray tool : Press the left mouse button to level/smart erase the area, the right button to "
        "restore it",
        "Rectangle tool : Press the left mouse button to darken the area, the right button to lighten it",
        "Move tool : Hold the shift key to move the layer only horizontally or vertically",
        "Set convolution centre : Click on the image to set the layer's convolution centre",
        "Select box : Drag a box to select it; Shift adds to the selection, Ctrl or Alt takes away, Esc drops it",
        "Select brush : Paint the selection with the Spray width; Shift adds, Ctrl or Alt takes away, Esc drops it",
        "Select lasso : Drag around a region to select it; Shift adds, Ctrl or Alt takes away, Esc drops it",
    };
    const char* what = mouse_function >= 1 && mouse_function <= 10 ? help[mouse_function] : PROGRAM_TITLE;
    snprintf(ed->status, sizeof ed->status, "%s", what);
    // A notice (something asked for did not happen) stays in the line for a while.
    const uint32_t now = SDL_GetTicks();
    if (take_user_notice(ed->notice, sizeof ed->notice))
        ed->notice_until = now + NOTICE_MS;
    const int base = press_base(ed->press);
    if (ed->notice[0] && (int32_t)(ed->notice_until - now) > 0)
        snprintf(ed->status, sizeof ed->status, "%s", ed->notice);
    else if (base != PRESS_MENU && base != PRESS_STRIP)
        mouse_text(ed);
    if (text)
        snprintf(text[3].str, sizeof text[3].str, "%s", ed->status);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Commands
// ---------------------------------------------------------------------------------------------

// Flips the state of a toggled option (request slot `slot`); returns the new state. The check
// marks follow the states at the end of the frame.
static int toggle(int slot)
{
    key[slot] = 0;
    const int on = key[state_of(slot)] ? 0 : 1;
    key[state_of(slot)] = (int8_t)on;
    return on;
}

// Switches off the state slot of an option that excludes the one just switched on (the check
// marks follow at the end of the frame).
static void switch_off(int state_slot)
{
    key[state_slot] = 0;
}

// Frame step 18: the wheel (and Page Up / Page Down) zooms around the pointer.
static void wheel_step(Editor* ed)
{
    const int steps = key[K_WHEEL].exchange(0);
    if (!steps || !has_document(ed))
        return;
    const int ctrl = key[K_CTRL] ? 1 : 0, shift = key[K_SHIFT] ? 1 : 0;
    const int changed = wheel_zoom(&ed->es, steps, ctrl, shift);
    if (!changed)
        return;
    if (!ctrl && !shift)
        key[K_WAVEFORM_PENDING]++;
    if (ctrl || !shift)
        start_waveform(ed);
}

// Frame step 20: the magnet and harmonics modifiers (their buttons and check marks follow at the
// end of the frame).
static void modifiers_step()
{
    if (key[K_MAGNET].exchange(0))
        magnet ^= 1;
    if (key[K_HARMONICS].exchange(0))
        harmonics ^= 1;
}

// After Undo or Redo, or a new document that dropped steps: the status line says so for a while,
// as it does a notice.
static void undo_status(Editor* ed)
{
    if (!undo_take_message(&ed->image, ed->notice, sizeof ed->notice))
        return;
    ed->notice_until = SDL_GetTicks() + NOTICE_MS;
    snprintf(ed->status, sizeof ed->status, "%s", ed->notice);
    if (text)
        snprintf(text[3].str, sizeof text[3].str, "%s", ed->status);
    ed->full_redraw = 1;
}

// Frame steps 21 and 25: the layer operations. The workers read the layers that flips and
// rotations rewrite wholesale, so synthesis stops first.
static void operations_step(Editor* ed)
{
    if (key[K_HFLIP] || key[K_VFLIP] || key[K_ROTATE] || key[K_UNDO] || key[K_REDO]) // Undo may rewrite a whole layer
        end_sound_threads(&ed->es);
    layer_operations(&ed->es);
}

// The selection's commands (Select All, Select None, Invert Selection, Gain on Selection and
// Delete), once no press in the view is under way; the view shows the selection after each.
static void selection_step(Editor* ed)
{
    static const int slots[] = {K_SELECT_ALL,     K_SELECT_NONE,      K_SELECT_INVERT,
                                K_SELECTION_GAIN, K_SELECTION_DELETE, K_SELECTION_FEATHER};
    if (ed->drag.tool > 0)
        return; // they wait for the release
    EngineState* es = &ed->es;
    ImageStack* im = &ed->image;
    static float last_gain = -12.f; // what the gain question shows first
    for (int slot : slots) {
        if (!key[slot].exchange(0))
            continue;
        if (slot == K_SELECTION_FEATHER) { // a setting of the session: each shape's line keeps its own
            float f = selection_feather;
            if (!ask_number("Soft edge of new selections, in pixels (0 to 64):", "Selection Feather", f, &f))
                continue;
            char why[160];
            if (!setting_fault(SETTING_FEATHER, f, why, sizeof why))
                selection_feather = f;
            else
                user_notice("Selection Feather: %s; it stays %g", why, (double)selection_feather);
            continue;
        }
        if (!has_document(ed))
            continue;
        if ((slot == K_SELECTION_GAIN || slot == K_SELECTION_DELETE) && !selection_present(im)) {
            user_notice("Nothing is selected: choose Select All or draw a selection with a Select tool first");
            continue;
        }
        int changed = 0;
        if (slot == K_SELECTION_GAIN) {
            float db = last_gain;
            if (!ask_number("Gain in dB, from -120 (removes the region) to +24:", "Gain on Selection", last_gain, &db))
                continue;
            if (!(db >= -120.f && db <= 24.f)) {
                user_notice("Gain on Selection: %g dB is outside -120 .. +24 dB; nothing was changed", (double)db);
                continue;
            }
            last_gain = db;
            changed = selection_gain_command(es, db);
        } else if (slot == K_SELECTION_DELETE) {
            changed = selection_delete_command(es);
        } else {
            LockGuard lock(im->layers_lock);
            changed = slot == K_SELECT_ALL    ? select_all_command(es)
                      : slot == K_SELECT_NONE ? select_none_command(es)
                                              : select_invert_command(es);
        }
        if (changed) {
            image_redraw(es, 0);
            ed->full_redraw = 1;
        }
    }
}

// Scrolls the view so that its centre is column cx, redraws it and remakes the strip.
static void scroll_to(Editor* ed, float cx)
{
    change_zoom(&ed->image, zoom_h, zoom_v, cx, zoom_center_y);
    progress_crop_x = crop_x;
    image_redraw(&ed->es, 0);
    start_waveform(ed);
}

// Frame step 23: the play position from the arrow keys. The held arrows move it by a thousandth
// of the visible time span per millisecond, whatever the frame rate.
static void play_position_step(Editor* ed, int elapsed_ms)
{
    EngineState* es = &ed->es;
    const ImageStack* im = &ed->image;
    const bool doc = has_document(ed) && im->w > 0;
    const float pps = es->synth_range[2] > 0.f ? es->synth_range[2] : ANAL_PPS;
    const bool live = key[state_of(K_LIVE_SYNTH)];
    const int64_t len = es->sound_len.load();
    // Samples up to the last column: the stored sound's, or the image's in live mode.
    const int64_t last = live || len <= 0 ? (int64_t)std::lrint((double)(im->w - 1) * SOUND_SAMPLERATE / pps) : len - 1;

    if (key[K_JUMP_START].exchange(0) && doc) {
        es->play_pos = 0;
        scroll_to(ed, (float)crop_w * 0.5f);
    }
    if (key[K_JUMP_END].exchange(0) && doc) {
        es->play_pos = (int32_t)std::max<int64_t>(last, 0); // live playback picks it up as well
        scroll_to(ed, (float)im->w - (float)crop_w * 0.5f);
    }
    const int dir = (key[K_PLAY_FORWARD] ? 1 : 0) - (key[K_PLAY_BACK] ? 1 : 0);
    if (!dir || !doc)
        return;
    const double step = 0.001 * SOUND_SAMPLERATE * (crop_w - 1) / pps * elapsed_ms;
    const int64_t p = std::clamp<int64_t>((int64_t)es->play_pos.load() + (int64_t)std::lrint(dir * step), 0,
                                          std::max<int64_t>(last, 0));
    es->play_pos = (int32_t)p;
    const double col = last > 0 ? (double)p * (im->w - 1) / (double)last : 0.0;
    if (col >= crop_x + crop_w)
        scroll_to(ed, zoom_center_x + 0.8f * (float)crop_w);
    else if (col < crop_x)
        scroll_to(ed, zoom_center_x - 0.8f * (float)crop_w);
}

// Frame step 24: play and pause.
static void play_pause_step(Editor* ed)
{
    if (!key[K_PLAY].exchange(0))
        return;
    if (ed->es.paused.load() != 0) {
        ed->es.paused = 0;
        if (key[state_of(K_SUSPEND)])
            key[K_SUSPEND] = 1;
    } else {
        ed->es.paused = 1;
    }
}

// Frame step 28: Copy puts the composite on the clipboard as a grey picture (with a selection,
// its region weighted by the mask).
static void copy_step(Editor* ed)
{
    if (!key[K_COPY].exchange(0) || !has_document(ed))
        return;
    std::vector<uint32_t> px;
    int w = 0, h = 0;
    if (!clipboard_picture(&ed->image, &px, &w, &h) || !copy_image(px.data(), w, h))
        user_notice("The picture could not be copied to the clipboard");
}

// Slot 63: a left and a right channel file mixed into one stereo file.
static void mix_channels(Editor* ed)
{
    char left[DOC_DIR_LEN] = "", right[DOC_DIR_LEN] = "", out[DOC_DIR_LEN] = "";
    int was = 0;
    ed->es.paused.compare_exchange_strong(was, 2);
    if (open_file_dialog(left, sizeof left) && open_file_dialog(right, sizeof right) &&
        save_audio_dialog(out, sizeof out) && mix_to_stereo(left, right, out))
        wrfprintf(stdout, "Mixed %s and %s into %s\n", left, right, out);
    int held = 2;
    ed->es.paused.compare_exchange_strong(held, 0);
}

// Slot 134: what playback plays from now on is recorded into a file; while a recording runs,
// the same command ends it (the file is complete once closed).
static void dump_live_output(Editor* ed)
{
    if (live_output_active()) {
        live_output_close();
        return;
    }
    char out[DOC_DIR_LEN] = "";
    int was = 0;
    ed->es.paused.compare_exchange_strong(was, 2);
    if (save_audio_dialog(out, sizeof out))
        live_output_open(out);
    int held = 2;
    ed->es.paused.compare_exchange_strong(held, 0);
}

// Frame step 29: the options, each flipping its state and its check mark.
static void option_toggles(Editor* ed)
{
    EngineState* es = &ed->es;
    const bool doc = has_document(ed);
    if (key[K_VISION_MODE].exchange(0) && doc)
        vision_mode_toggle(es);
    if (key[K_LONG_BLOCK])
        print_cmd(CMD_TIMED, "%s long block duration\n", toggle(K_LONG_BLOCK) ? "Enable" : "Disable");
    if (key[K_LOOP])
        print_cmd(CMD_TIMED, "%s loop playback\n", toggle(K_LOOP) ? "Enable" : "Disable");
    if (key[K_PAUSE_AFTER])
        toggle(K_PAUSE_AFTER);
    if (key[K_LINEAR_KNOB]) {
        toggle(K_LINEAR_KNOB);
        config_save(0);
    }
    if (key[K_LIVE_SYNTH]) {
        toggle(K_LIVE_SYNTH);
        config_save(0);
        live_synthesis_switch(es);
    }
    if (key[K_SUSPEND]) {
        toggle(K_SUSPEND);
        start_waveform(ed);
    }
    if (key[K_CONST_TIME_RES])
        toggle(K_CONST_TIME_RES);
    bool redraw = false;
    if (key[K_RHYTHM_OVERLAY]) {
        toggle(K_RHYTHM_OVERLAY);
        redraw = true;
    }
    if (key[K_SEMITONE_OVERLAY]) {
        toggle(K_SEMITONE_OVERLAY);
        redraw = true;
    }
    if (key[K_FAST_DISPLAY]) {
        if (toggle(K_FAST_DISPLAY))
            switch_off(state_of(K_SMOOTH_DISPLAY));
        redraw = true;
    }
    if (key[K_SMOOTH_DISPLAY]) {
        if (toggle(K_SMOOTH_DISPLAY))
            switch_off(state_of(K_FAST_DISPLAY));
        redraw = true;
    }
    if (key[K_UNNORMALISED])
        toggle(K_UNNORMALISED);
    if (key[K_LEFT_ONLY] && toggle(K_LEFT_ONLY))
        switch_off(state_of(K_RIGHT_ONLY));
    if (key[K_RIGHT_ONLY] && toggle(K_RIGHT_ONLY))
        switch_off(state_of(K_LEFT_ONLY));
    if (key[K_MIX_TO_STEREO].exchange(0))
        mix_channels(ed);
    if (key[K_DUMP_LIVE].exchange(0))
        dump_live_output(ed);
    if (key[K_SUSPEND_DUMP].exchange(0) && live_output_active())
        live_output_suspend_toggle();
    if (redraw && doc)
        image_redraw(es, 0);
}

// Frame step 31: a change of lossless mode is written to the history.
static void lossless_log(Editor* ed)
{
    const int mode = lossless_mode.load();
    if (mode == key[K_LOSSLESS_LOGGED] || !has_document(ed))
        return;
    print_cmd(CMD_TIMED, "Synthesis %s\n", synthesis_name());
    key[K_LOSSLESS_LOGGED] = (int8_t)mode;
}

// Frame step 32: a changed document (or analysis knobs let go at other values) is recomposited,
// redrawn and synthesised again; playback is held while the sound is resized.
static void synthesis_step(Editor* ed)
{
    EngineState* es = &ed->es;
    ImageStack* im = &ed->image;
    // Knobs let go at new values: their history lines, the synthesis range, change state 3 (a
    // new range or time resolution needs a new noise table).
    knob_group_commit(es);
    if (!has_document(ed))
        return;
    const int level = im->change_state.exchange(0);
    if (!level)
        return;
    if (!ed->change_absorbed)
        doc_modified++;
    ed->change_absorbed = 0;
    im->recomposite = 1;
    image_redraw(es, 0);
    const int was = playback_hold(es);
    synthesis_change(es, level, 0, mouse_function == TOOL_MOVE);
    playback_resume(es, was);
    if (key[state_of(K_LIVE_SYNTH)] && live_table_stale(es) && live_table_rebuild(es))
        calc_max_vol_live_async(es);
    start_waveform(ed);
    if (level == 3)
        ed->full_redraw = 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Tools in the view
// ---------------------------------------------------------------------------------------------
// A press in the view with a tool: its first frame saves the layer for Undo and starts the
// continuous redraw, every frame while held is a pass of the tool, and the release finishes the
// stroke once the painting thread has painted every point of it (frame steps 7-9).

static bool is_spray(int tool) { return tool >= TOOL_DARK_SPRAY && tool <= TOOL_SMART_ERASE; }

// The pointer in drawing-area pixels with its slow-mouse sub-pixel part, as the tools take it.
static float pointer_xf()
{
    return (float)mouse_ax + (mouse_sub_range > 0 ? (float)mouse_ax_sub / (float)mouse_sub_range : 0.f);
}
static float pointer_yf()
{
    return (float)mouse_ay + (mouse_sub_range > 0 ? (float)mouse_ay_sub / (float)mouse_sub_range : 0.f);
}

static float knob_spray_width() { return ctrl ? ctrl[C_SPRAY_WIDTH].value : 0.f; }
static float knob_tool_intensity() { return ctrl ? ctrl[C_TOOL_INTENSITY].value : 0.f; }

// Set Central Convolution Point: the selected entry's centre goes to the document point under the
// pointer, kept inside the document. Returns 1 with the point in (cx, cy); 0 without an entry.
static int conv_centre_at_pointer(Editor* ed, int* cx, int* cy)
{
    ImageStack* im = &ed->image;
    *cx = std::clamp(mouse_ax_to_x(im->view_w), 0, std::max(im->w - 1, 0));
    *cy = std::clamp(mouse_ay_to_y(im->view_h), 0, std::max(im->h - 1, 0));
    LockGuard lock(im->layers_lock);
    if (!im->layers || im->count < 1 || im->sel < 0 || im->sel >= im->count)
        return 0;
    Layer* l = &im->layers[im->sel];
    l->conv_x = *cx;
    l->conv_y = *cy;
    l->conv_set = 1;
    return 1;
}

// The Select tool's press: its mode, the selection as it was at the press (a box or lasso is
// shown while drawn on top of it, and written once at the release), the lasso's corners, the
// brush's last point and the extent drawn (for the status line), document pixels.
static struct SelectDrag {
    SelectionMode mode = SELECT_REPLACE;
    bool had = false;          // a selection existed at the press
    std::vector<float> before; // its mask, row after row
    std::vector<float> xs, ys; // the lasso's corners
    float last_x = 0.f, last_y = 0.f, rx = 1.f, ry = 1.f;
    float lo_x = 0.f, hi_x = 0.f, lo_y = 0.f, hi_y = 0.f;
} select_drag;

// The pointer's document position, kept inside the document.
static void pointer_document(const ImageStack* im, float* x, float* y)
{
    *x = std::clamp(mouse_ax_to_xf(im->view_w), 0.f, (float)std::max(im->w - 1, 0));
    *y = std::clamp(mouse_ay_to_yf(im->view_h), 0.f, (float)std::max(im->h - 1, 0));
}

// The mode of a press from its modifiers: Shift adds, Ctrl, Alt or the right button subtract.
static SelectionMode select_mode_now()
{
    if (key[K_CTRL] || (SDL_GetModState() & KMOD_ALT) || (mouse_b & 2))
        return SELECT_SUBTRACT;
    return key[K_SHIFT] || (SDL_GetModState() & KMOD_SHIFT) ? SELECT_ADD : SELECT_REPLACE;
}

// Puts the selection back as it was at the press (the caller holds layers_lock).
static void select_restore(ImageStack* im)
{
    if (!select_drag.had) {
        selection_clear(im);
        return;
    }
    if (!im->selection && !selection_empty(im))
        return;
    const size_t w = (size_t)im->w;
    if (select_drag.before.size() == w * (size_t)im->h)
        for (int y = 0; y < im->h; y++)
            std::copy_n(select_drag.before.data() + (size_t)y * w, w, im->selection[y]);
}

// The status line while a selection is drawn: its time range, and its frequency range in hertz
// and as notes.
static void select_status(Editor* ed)
{
    EngineState* es = &ed->es;
    const SelectDrag& d = select_drag;
    char t0[PATH_TEXT_LEN], t1[PATH_TEXT_LEN], f0[PATH_TEXT_LEN], f1[PATH_TEXT_LEN], n0[PATH_TEXT_LEN],
        n1[PATH_TEXT_LEN];
    convert_unit(t0, UNIT_PX, UNIT_SEC, es, 1, 1, d.lo_x);
    convert_unit(t1, UNIT_PX, UNIT_SEC, es, 1, 1, d.hi_x + 1.f);
    // Row 0 is the highest band: the bottom row gives the lowest frequency.
    convert_unit(f0, UNIT_PX, UNIT_HZ, es, 0, 1, d.hi_y);
    convert_unit(f1, UNIT_PX, UNIT_HZ, es, 0, 1, d.lo_y);
    convert_unit(n0, UNIT_PX, UNIT_NOTE, es, 0, 1, d.hi_y);
    convert_unit(n1, UNIT_PX, UNIT_NOTE, es, 0, 1, d.lo_y);
    snprintf(ed->status, sizeof ed->status, "Selection %.40s - %.40s s, %.40s - %.40s Hz (%.40s - %.40s)", t0, t1, f0, f1, n0, n1);
    if (text)
        snprintf(text[3].str, sizeof text[3].str, "%s", ed->status);
}

// Widens the extent drawn by the point (x, y) and the half-extents (rx, ry) around it.
static void select_extent(float x, float y, float rx, float ry)
{
    SelectDrag& d = select_drag;
    d.lo_x = std::min(d.lo_x, x - rx);
    d.hi_x = std::max(d.hi_x, x + rx);
    d.lo_y = std::min(d.lo_y, y - ry);
    d.hi_y = std::max(d.hi_y, y + ry);
}

static void select_begin(Editor* ed, int tool)
{
    ImageStack* im = &ed->image;
    SelectDrag& d = select_drag;
    d.mode = select_mode_now();
    float x, y;
    pointer_document(im, &x, &y);
    d.lo_x = d.hi_x = d.last_x = x;
    d.lo_y = d.hi_y = d.last_y = y;
    d.xs.assign(1, x);
    d.ys.assign(1, y);
    ed->rect_start[0] = (int)x;
    ed->rect_start[1] = (int)y;
    LockGuard lock(im->layers_lock);
    d.had = selection_keep(im, im->selection, &d.before);
    if (tool == TOOL_SELECT_BRUSH) {
        brush_radius(im, knob_spray_width(), &d.rx, &d.ry);
        if (select_brush_begin(&ed->es, d.rx, d.ry, d.mode))
            select_brush_point(&ed->es, x, y);
    }
}

// One pass: the box or lasso drawn so far is shown over the selection of the press; the brush
// paints (and writes) a dab every half radius along the way.
static void select_pass(Editor* ed)
{
    ImageStack* im = &ed->image;
    SelectDrag& d = select_drag;
    float x, y;
    pointer_document(im, &x, &y);
    {
        LockGuard lock(im->layers_lock);
        switch (ed->drag.tool) {
        case TOOL_SELECT_BOX:
            select_restore(im);
            selection_box(im, ed->rect_start[0], ed->rect_start[1], (int)x, (int)y, selection_feather, d.mode);
            d.lo_x = (float)std::min(ed->rect_start[0], (int)x);
            d.hi_x = (float)std::max(ed->rect_start[0], (int)x);
            d.lo_y = (float)std::min(ed->rect_start[1], (int)y);
            d.hi_y = (float)std::max(ed->rect_start[1], (int)y);
            break;
        case TOOL_SELECT_LASSO:
            if (x != d.xs.back() || y != d.ys.back()) {
                d.xs.push_back(x);
                d.ys.push_back(y);
                select_extent(x, y, 0.f, 0.f);
                select_restore(im); // shown without its soft edge while drawn (quicker)
                selection_polygon(im, d.xs.data(), d.ys.data(), (int)d.xs.size(), 0.f, d.mode);
            }
            break;
        case TOOL_SELECT_BRUSH: {
            const float step = std::max(0.5f * std::min(d.rx, d.ry), 0.5f);
            const float dist = std::hypot(x - d.last_x, y - d.last_y);
            const int n = std::min((int)ceilf(dist / step), 4096);
            for (int i = 1; i <= n; i++) {
                const float t = (float)i / (float)n;
                select_brush_point(&ed->es, d.last_x + t * (x - d.last_x), d.last_y + t * (y - d.last_y));
            }
            if (n > 0) {
                d.last_x = x;
                d.last_y = y;
            }
            select_extent(x, y, d.rx, d.ry);
            break;
        }
        default: break;
        }
    }
    select_status(ed);
    image_redraw(&ed->es, 1);
}

// The release: the box or lasso is written to the history and made with its soft edge.
static void select_release(Editor* ed)
{
    ImageStack* im = &ed->image;
    SelectDrag& d = select_drag;
    float x, y;
    pointer_document(im, &x, &y);
    {
        LockGuard lock(im->layers_lock);
        if (ed->drag.tool == TOOL_SELECT_BOX) {
            select_restore(im);
            select_box_command(&ed->es, ed->rect_start[0], ed->rect_start[1], (int)x, (int)y, d.mode);
        } else if (ed->drag.tool == TOOL_SELECT_LASSO) {
            select_restore(im);
            if (!select_lasso_command(&ed->es, d.xs.data(), d.ys.data(), (int)d.xs.size(), d.mode))
                user_notice("A lasso needs at least three corners: drag around the region to select");
        }
    }
    d.before.clear();
    d.xs.clear();
    d.ys.clear();
    image_redraw(&ed->es, 0);
}

// First frame of a press: continuous redraw, synthesis stopped (it reads the layers the tool
// rewrites), the layer saved for Undo, the start point; a spray places a centre never set.
static void tool_begin(Editor* ed, int tool)
{
    EngineState* es = &ed->es;
    ImageStack* im = &ed->image;
    ed->drag = ToolDrag{tool, 0, ed->precision, {-1, -1}, {0, 0}};
    if (is_select_tool(tool)) {
        select_begin(ed, tool);
        return;
    }
    redraw_thread_start(&ed->redraw, es);
    end_sound_threads(es);
    {
        LockGuard lock(im->layers_lock);
        layer_to_undo(im);
    }
    ed->rect_start[0] = mouse_ax_to_x(im->view_w);
    ed->rect_start[1] = mouse_ay_to_y(im->view_h);
    if (is_spray(tool))
        paint_press_conv_centre(es, pointer_xf(), pointer_yf());
}

// One pass of the tool at the pointer (also the last one at the release, for the tools whose
// history line tells where they ended, so that the document matches the line).
static void tool_pass(Editor* ed, int first)
{
    EngineState* es = &ed->es;
    ImageStack* im = &ed->image;
    ToolDrag* d = &ed->drag;
    const float mx = pointer_xf(), my = pointer_yf();
    switch (d->tool) {
    case TOOL_DARK_SPRAY:
    case TOOL_WHITE_SPRAY:
    case TOOL_BRIGHTEN_SPRAY:
    case TOOL_SMART_ERASE:
        key[K_STROKE] = 1;
        paint_point(es, d->erase, d->tool - TOOL_DARK_SPRAY, first, mx, my, knob_spray_width(), knob_tool_intensity());
        break;
    case TOOL_RECTANGLE: {
        int b0 = -1, b1 = -1;
        if (paint_rect(es, mx, my, d->erase, ed->rect_start[0], ed->rect_start[1], knob_tool_intensity(), &b0, &b1)) {
            d->blocks[0] = b0;
            d->blocks[1] = b1;
        }
        break;
    }
    case TOOL_MOVE:
        d->shift[0] = mouse_ax_to_x(im->view_w) - ed->rect_start[0];
        d->shift[1] = mouse_ay_to_y(im->view_h) - ed->rect_start[1];
        if (move_tool_layer(es, ed->status, sizeof ed->status, d->shift[0], d->shift[1]) && text)
            snprintf(text[3].str, sizeof text[3].str, "%s", ed->status);
        break;
    case TOOL_CONV_CENTRE: {
        int cx, cy;
        conv_centre_at_pointer(ed, &cx, &cy);
        break;
    }
    case TOOL_SELECT_BOX:
    case TOOL_SELECT_BRUSH:
    case TOOL_SELECT_LASSO: select_pass(ed); break;
    default: break;
    }
}

// The release (frame step 9). Without `wait` it returns 0 while the painting thread still paints
// the stroke (the next frame asks again); with it, it waits for the thread. Returns 1 once done.
static int tool_release(Editor* ed, int wait)
{
    EngineState* es = &ed->es;
    ImageStack* im = &ed->image;
    ToolDrag* d = &ed->drag;
    const int tool = d->tool;
    if (is_select_tool(tool)) {
        select_release(ed);
        ed->drag = ToolDrag{};
        ed->rect_start[0] = ed->rect_start[1] = -1;
        return 1;
    }
    key[K_STROKE] = 0;
    d->releasing = 1;
    if (is_spray(tool)) {
        if (key[K_PAINT_RUNNING] && !key[K_PAINT_FINISHED] && !wait)
            return 0;
        paint_queue_wait_idle(WORKER_STOP_MS); // joins the thread (it has ended, or ends now)
    }
    redraw_thread_stop(&ed->redraw, WORKER_STOP_MS);
    if (key[state_of(K_SUSPEND)] || key[state_of(K_LIVE_SYNTH)])
        start_waveform(ed);
    key[K_PAINT_FINISHED] = 0;
    if (im->change_state != 3) // a new image's state is never lowered
        im->change_state = tool == TOOL_MOVE || tool == TOOL_CONV_CENTRE ? 1 : 2;

    switch (tool) {
    case TOOL_RECTANGLE:
        tool_pass(ed, 0);
        paint_rect_release(es, pointer_xf(), pointer_yf(), d->erase, ed->rect_start[0], ed->rect_start[1],
                           knob_tool_intensity(), d->blocks[0], d->blocks[1]);
        break;
    case TOOL_MOVE:
        tool_pass(ed, 0);
        print_move_tool_cmd(es, d->shift[0], d->shift[1]);
        break;
    case TOOL_CONV_CENTRE: {
        int cx, cy;
        if (conv_centre_at_pointer(ed, &cx, &cy))
            print_conv_centre(es, cx, cy);
        break;
    }
    default: break;
    }
    // The whole press is one step of the Undo history (the convolution centre is its own).
    if (tool != TOOL_CONV_CENTRE)
        undo_commit(im, is_spray(tool) ? "Stroke" : tool == TOOL_MOVE ? "Move layer" : "Draw rectangle");
    ed->drag = ToolDrag{};
    ed->rect_start[0] = ed->rect_start[1] = -1;
    return 1;
}

// Frame steps 7-9: the magnet, the tool's passes while a press in the view lasts, its release.
// The press is followed by the tool it began with, whatever the press state does meanwhile (a
// redraw request forgets the press state; the tool may change during a drag).
static void tool_frame(Editor* ed)
{
    ToolDrag* d = &ed->drag;
    const int base = press_base(ed->press);
    if (has_document(ed) && magnet)
        magnet_coordinates(&ed->es, mouse_function, pointer_xf(), pointer_yf(), knob_spray_width());
    // The press ended, or a new one began while the last release still waited.
    if (d->tool > 0 && (base != PRESS_VIEW || d->releasing) && !tool_release(ed, base == PRESS_VIEW))
        return;
    if (base != PRESS_VIEW || !has_document(ed)) {
        if (d->tool < 0 && base != PRESS_VIEW)
            d->tool = 0;
        return;
    }
    if (d->tool < 0)
        return;
    const int first = d->tool == 0;
    if (first) {
        if (mouse_function < TOOL_DARK_SPRAY || mouse_function > TOOL_SELECT_LASSO)
            return;
        tool_begin(ed, mouse_function);
    }
    d->erase = ed->precision;
    tool_pass(ed, first);
}

// Before a document is replaced: the painting thread is stopped and the press in the view, if
// any, is dropped without its closing work (it belonged to the old document).
static void tool_drop(Editor* ed)
{
    paint_abort_and_wait(WORKER_STOP_MS);
    redraw_thread_stop(&ed->redraw, WORKER_STOP_MS);
    key[K_STROKE] = 0;
    key[K_PAINT_FINISHED] = 0;
    key[K_PAINT_STATE_PENDING] = 0;
    ed->drag = ToolDrag{};
    ed->drag.tool = press_base(ed->press) == PRESS_VIEW ? -1 : 0;
    ed->rect_start[0] = ed->rect_start[1] = -1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Document flows
// ---------------------------------------------------------------------------------------------

// Opens (or, with an empty path, creates) the document at ed->path; flow step 10. Returns 1
// when it was opened; a refused file is named in an alert that says why.
static int open_now(Editor* ed)
{
    EngineState* es = &ed->es;
    if (ed->path[0])
        wrfprintf(stdout, "Opening file : %s\n", ed->path);
    else
        wrfprintf(stdout, "Creating new image\n");
    tool_drop(ed);
    if (ed->path[0]) {
        snprintf(current_doc_directory, sizeof current_doc_directory, "%s", ed->path);
        remove_filename(current_doc_directory);
    }
    // Constant time resolution lifts the lower bands-per-octave limit; without it the limit is
    // the program's (a limit lifted once must not stay lifted after the option is turned off).
    if (key[state_of(K_CONST_TIME_RES)])
        es->anal_params[5] = 0.f;
    else if (es->anal_params[5] <= 0.f)
        es->anal_params[5] = MIN_BPO;
    int opened = 0;
    const int pending_change = ed->image.change_state.load();
    clear_last_error_text();
    open_file(ed->path, es, &opened);
    drop_events(ed);
    if (opened) {
        // A new document: nothing to lose yet; the change state it starts with is not an edit.
        doc_modified = 0;
        ed->change_absorbed = 1;
    } else {
        // Refused: the document stays, and the user is told why before the Open dialog returns
        // (without asking again whether to save: that was answered for this change).
        if (!pending_change)
            ed->change_absorbed = ed->image.change_state.load() != 0;
        const char* name = strrchr(ed->path, '/');
        const std::string title = std::string("Could not open ") + (name ? name + 1 : ed->path);
        const std::string why = last_error_text(); // a copy: the alert writes its own line
        message_box(why.empty() ? "The file could not be read." : why.c_str(), title.c_str(), 1);
        ed->prompt_answered = key[K_OPEN] ? 1 : 0;
    }
    int x = 0, y = 0;
    SDL_GetMouseState(&x, &y);
    pointer_at(x, y);
    return opened;
}

// Frame step 27: the document flows: New, Resume Last Session, the "Save before closing"
// prompt, a file named on the command line, Open, Reload.
static void document_flows(Editor* ed)
{
    EngineState* es = &ed->es;
    if (key[K_NEW]) {
        key[K_NEW] = 0;
        key[K_RELOAD] = 1;
        ed->path[0] = 0;
        ed->open_flag = 1;
    }
    if (key[K_RESUME]) {
        key[K_RESUME] = 0;
        key[K_RELOAD] = 1;
        snprintf(ed->path, sizeof ed->path, "%s", history_path ? history_path : "");
        ed->open_flag = 1;
    }
    if (key[K_RELOAD] == 3)
        ed->open_flag = 1;

    // The document on screen is about to be replaced: offer to save it first. "Yes" runs the
    // save later in this frame and the change waits until that save has ended.
    // Only when the document holds changes since it was opened or saved.
    if (has_document(ed) && doc_modified > 0 && !ed->prompt_answered && (key[K_OPEN] || key[K_RELOAD]) &&
        key[K_CLOSE_AFTER_SAVE] == 0 && !menu_deferral) {
        int playing = 0;
        es->paused.compare_exchange_strong(playing, 2);
        if (message_box_yesno("Save the current project to file before closing it?", "Save before closing")) {
            key[K_SAVE] = 1;
            key[K_CLOSE_AFTER_SAVE] = 1;
        }
        int held = 2;
        es->paused.compare_exchange_strong(held, 0);
    }

    if ((key[K_OPEN] || key[K_RELOAD] || ed->launch < 0) && key[K_CLOSE_AFTER_SAVE] != 1) {
        if (menu_deferral) {
            // The menu leaves the screen before any dialog is shown; the flow goes on next frame.
            menu_deferral = 0;
            ed->full_redraw = 1;
        } else {
            if (ed->launch == -1 || ed->launch == -2) {
                key[K_RELOAD] = 1;
                snprintf(ed->path, sizeof ed->path, "%s", ed->argv[-ed->launch]);
                ed->open_flag = 1;
                ed->launch = 0;
            }
            if (!key[K_RELOAD])
                snprintf(ed->prev_path, sizeof ed->prev_path, "%s", ed->path);
            int playing = 0;
            es->paused.compare_exchange_strong(playing, 2);
            ed->prompt_answered = 0;
            if (!key[K_RELOAD] && key[K_CLOSE_AFTER_SAVE] != 1)
                ed->open_flag = open_file_dialog(ed->path, sizeof ed->path);
            key[K_OPEN] = 0;
            if (ed->path[0]) {
                if (FILE* f = fopen(ed->path, "rb"))
                    fclose(f);
                else
                    wrfprintf(stderr, "File %s couldn't be opened\nfopen() returns NULL\n", ed->path);
            }
            if (ed->open_flag) {
                // A refused file leaves the document on screen, and its path, as they were.
                if (!open_now(ed) && !key[K_RELOAD])
                    snprintf(ed->path, sizeof ed->path, "%s", ed->prev_path);
            } else if (!key[K_RELOAD])
                snprintf(ed->path, sizeof ed->path, "%s", ed->prev_path);
            else
                ed->prev_path[0] = 0;
            int held = 2;
            es->paused.compare_exchange_strong(held, 0);
            open_button_look(0);
            key[K_RELOAD] = 0;
            menu_deferral = 0;
            key[K_CLOSE_AFTER_SAVE] = 0;
            ed->open_flag = 0;
        }
    }

    // A file named on the command line: argv[1], or argv[2] after an option.
    if (ed->launch >= 2) {
        if (ed->argv[1][0] != '-')
            ed->launch = -1;
        else if (ed->argc > 2)
            ed->launch = -2;
    }
    if (ed->launch < 0)
        open_button_look(1);
}

// The status line's text while a sound save waits for synthesis.
static const char* const SAVE_WAIT_TEXT = "Waiting for synthesis to complete before saving sound to file...";

// 1 when the synthesised sound is complete and current: every block done, nothing edited since
// the last restart, processing not suspended and block synthesis (not live) in use. Otherwise
// asks for what is missing (resumes processing, switches live synthesis off) and returns 0.
static int sound_ready_to_save(Editor* ed)
{
    EngineState* es = &ed->es;
    int ready = has_document(ed) && ed->image.change_state == 0 && es->running == 0 && es->block_count > 0 &&
                synthesis_blocks_done(es) == es->block_count;
    if (key[state_of(K_SUSPEND)]) {
        key[K_SUSPEND] = 1;
        ready = 0;
    }
    if (key[state_of(K_LIVE_SYNTH)]) {
        key[K_LIVE_SYNTH] = 1;
        ready = 0;
    }
    return ready;
}

// Writes the document to ed->save_path by its kind: a picture of the composite, an archive, or
// the synthesised sound. Logs the save in the history first.
static void save_now(Editor* ed)
{
    EngineState* es = &ed->es;
    ImageStack* im = &ed->image;
    const char* path = ed->save_path;
    print_cmd(CMD_TIMED, "// Save \"%s\"\n", path);
    wrfprintf(stdout, "Saving to file : %s\n", path);
    const int kind = file_type(path);
    char ext[DOC_DIR_LEN] = "";
    extract_file_extension(path, ext);
    int ok;
    if (kind == FILE_SOUND) {
        ok = save_sound(path, es);
    } else if (kind == FILE_ARCHIVE) {
        ok = save_archive(path, es, text ? text[4].str : "") == 0;
    } else if (!has_document(ed)) {
        wrfprintf(stderr, "No document to save to %s\n", path);
        ok = 0;
    } else {
        if (im->recomposite)
            process_layers(es);
        LockGuard lock(im->layers_lock);
        ok = (strcasecmp(ext, "png") == 0 ? save_image_png(im->composite, im->w, im->h, path)
                                      : save_image(im->composite, im->w, im->h, path)) == 0;
    }
    if (!ok) {
        message_box(path, "The file could not be saved", 0);
        return;
    }
    // Saved: nothing to lose; a change made this frame is in the file already.
    doc_modified = 0;
    ed->change_absorbed = im->change_state.load() != 0;
}

// Frame step 30: Save. Slot 9 = 1 asks for a path and saves; a sound waits (slot 9 = 2), frame
// after frame with the waiting message, until the synthesised sound is complete. At the end of
// a save slot 10 = 2 releases a document change that waited for it.
static void flows_save(Editor* ed)
{
    EngineState* es = &ed->es;
    if (!key[K_SAVE])
        return;
    int playing = 0;
    es->paused.compare_exchange_strong(playing, 2);
    if (key[K_SAVE] == 1) {
        key[K_SAVE] = 0;
        if (save_file_dialog(ed->save_path, sizeof ed->save_path)) {
            if (file_type(ed->save_path) == FILE_SOUND && !sound_ready_to_save(ed))
                key[K_SAVE] = 2;
            else
                save_now(ed);
        }
    } else if (!has_document(ed)) {
        key[K_SAVE] = 0; // the document went away while its sound was awaited
    } else if (sound_ready_to_save(ed)) {
        key[K_SAVE] = 0;
        save_now(ed);
    }
    if (key[K_SAVE] == 2) {
        snprintf(ed->status, sizeof ed->status, "%s", SAVE_WAIT_TEXT);
        if (text)
            snprintf(text[3].str, sizeof text[3].str, "%s", SAVE_WAIT_TEXT);
        return;
    }
    int held = 2;
    es->paused.compare_exchange_strong(held, 0);
    if (key[K_CLOSE_AFTER_SAVE] == 1)
        key[K_CLOSE_AFTER_SAVE] = 2;
}

// Frame step 34: Quit with changes not saved asks first; "Yes" saves, and the program ends once
// that save has left nothing to lose (a cancelled or failed save keeps it running). A project
// replayed while it opens may quit at once: it holds nothing new.
static void quit_step(Editor* ed)
{
    if (ed->quit_after_save) {
        if (key[K_SAVE]) {
            key[K_QUIT] = 0; // the save is still under way (a sound waits for synthesis)
            return;
        }
        ed->quit_after_save = 0;
        key[K_QUIT] = doc_modified > 0 ? 0 : 1;
        return;
    }
    if (!key[K_QUIT] || doc_modified <= 0 || !has_document(ed))
        return;
    int playing = 0;
    ed->es.paused.compare_exchange_strong(playing, 2);
    if (message_box_yesno("Save the current project to file before closing it?", "Save before closing")) {
        key[K_QUIT] = 0;
        key[K_SAVE] = 1;
        ed->quit_after_save = 1;
    }
    int held = 2;
    ed->es.paused.compare_exchange_strong(held, 0);
}

// Keys and clicks that reached the window while a dialog or an alert was open were meant for
// the dialog: they are dropped (releases and resizes still count).
static void drop_dialog_input(Editor* ed)
{
    const int shown = dialogs_shown.load();
    if (shown == ed->dialogs_seen)
        return;
    ed->dialogs_seen = shown;
    drop_events(ed);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Drawing
// ---------------------------------------------------------------------------------------------

void editor_present(Editor* ed, int main_thread)
{
    ImageStack* im = &ed->image;
    if (!sfb0 || !sfb1)
        return;
    {
        // The redraw writes the view under this lock; a resize replaces the buffers under it.
        LockGuard lock(im->overlay_lock);
        memcpy(sfb1, sfb0, (size_t)SCRN_W * SCRN_H * sizeof(uint32_t));
    }
    if (main_thread)
        menu_draw_frame();
    present_frame(im, main_thread ? &ed->full_redraw : nullptr);
}

// Paints the background over the whole frame, or around the view when there is a document (the
// view keeps the picture its last redraw left there).
static void background(Editor* ed)
{
    const ImageStack* im = &ed->image;
    LockGuard lock(im->overlay_lock);
    if (!has_document(ed)) {
        screen_background(sfb0);
        return;
    }
    const int g = background_grey(), x0 = std::max(im->view_x, 0), y0 = std::max(im->view_y, 0);
    const int x1 = std::min(im->view_x + im->view_w, SCRN_W), y1 = std::min(im->view_y + im->view_h, SCRN_H);
    blit_grey_rect(sfb0, g, SCRN_W, y0, 0, 0);
    blit_grey_rect(sfb0, g, SCRN_W, SCRN_H - y1, 0, y1);
    blit_grey_rect(sfb0, g, x0, y1 - y0, 0, y0);
    blit_grey_rect(sfb0, g, SCRN_W - x1, y1 - y0, x1, y0);
}

// Frame step 33: what changed is drawn, and the frame sent when anything was.
static void draw_step(Editor* ed)
{
    EngineState* es = &ed->es;
    if (key[K_NEW_WAVEFORM].exchange(0))
        ed->full_redraw = 1;
    if (has_document(ed) && scales_stale(ed))
        ed->full_redraw = 1;
    if (ed->full_redraw) {
        background(ed);
        screen_background(FrameRef{menu_fb, SCRN_W, MENU_STRIP_H});
        draw_scales(ed);
        draw_waveform(sfb0, &ed->image);
        draw_progress(sfb0, es, &ed->image_changed, 1);
        ed->image_changed = 1;
    } else {
        draw_progress(sfb0, es, &ed->image_changed, 0);
    }
    ed->image_changed |= panel_draw_controls(es, sfb0, ed->full_redraw);
    ed->image_changed |= panel_draw_text_lines(sfb0, ed->full_redraw);
    cursor_tool_width = knob_spray_width();
    overlays_frame(es, sfb0);
    apply_pointer_visibility();
    window_title(has_document(ed) ? input_file_name : "", doc_modified > 0);
    if (ed->image_changed || ed->full_redraw) {
        editor_present(ed, 1);
        ed->image_changed = 0;
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] The frame
// ---------------------------------------------------------------------------------------------

int editor_frame(Editor* ed)
{
    EngineState* es = &ed->es;
    ImageStack* im = &ed->image;
    const uint32_t now = SDL_GetTicks();
    const int elapsed = std::clamp((int)(now - ed->last_frame_ms), 1, 50);
    ed->last_frame_ms = now;

    ed->events = editor_events(ed);                                  // 1
    classify_pointer(ed);                                            // 2
    if (key[K_RELAYOUT].exchange(0)) {                               // 3
        key[K_LOSSLESS_LAYOUT] = (int8_t)lossless_mode.load();
        window_layout(ed);
        ed->full_redraw = 1;
    }
    status_line(ed);                                                 // 4
    if (press_base(ed->press) == PRESS_NEW)                          // 5
        classify_press(ed);
    cursor_follow(ed);
    if (press_base(ed->press) == PRESS_PANEL)                        // 6
        panel_drag(es, mouse_ax, mouse_ay, ed->precision);
    tool_frame(ed);                                                  // 7-9
    pan_step(ed);                                                    // 10
    if (menu_pointer(menu, ed->press, ed->prev_press))               // 11
        ed->full_redraw = 1;
    if (key[K_UNITS_CHANGED].exchange(0)) {                          // 12
        refresh_history_menu_checks(menu);
        config_save(0);
    }
    if (mac_redraw) {                                                // 13
        mac_redraw = 0;
        ed->full_redraw = 1;
        ed->prev_press = -1;
        ed->press = PRESS_NONE;
    }
    panel_effects(es);                                               // 14
    if (press_base(ed->prev_press) == PRESS_PANEL && press_base(ed->press) == PRESS_NONE && // 15
        (panel_release(es) & PANEL_FULL_REDRAW))
        ed->full_redraw = 1;
    lossless_size_check(es);                                         // 17
    wheel_step(ed);                                                  // 18
    if (key[K_PAINT_STATE_PENDING].exchange(0))                      // 19
        im->change_state = key[K_PAINT_STATE].load();
    modifiers_step();                                              // 20
    operations_step(ed);                                             // 21, 25
    selection_step(ed);
    if (key[K_DEFAULTS].exchange(0) && default_values(es))           // 22
        ed->full_redraw = 1;
    play_position_step(ed, elapsed);                                 // 23
    selection_play_step(ed);                                         // Play Selection
    play_pause_step(ed);                                             // 24
    apply_layer_select_request(es);                                  // 26
    if (ed->drag.tool > 0)                                           // no Undo or Redo while a tool is pressed
        key[K_UNDO] = key[K_REDO] = 0;
    layer_commands(es);                                              // (and Undo, Redo, View Current Layer/Group Only, Turn Off Layer)
    document_flows(ed);                                              // 27
    undo_status(ed);
    copy_step(ed);                                                   // 28
    export_step(ed);                                                 // File > Export ... as Picture
    paste_step(ed);
    option_toggles(ed);                                              // 29
    // 16, 20, 29: the check marks follow the tool, the modifiers and the options (an open menu
    // shows them at once).
    if (menu_sync_checks(menu) + refresh_undo_menu(menu, im, futura16) + refresh_selection_menu(menu, im) > 0 &&
        menu_opened >= 0)
        ed->full_redraw = 1;
    flows_save(ed);                                                  // 30
    save_selection_step(ed);
    lossless_log(ed);                                                // 31
    synthesis_step(ed);                                              // 32
    panel_sync(es);                                                  // 16, 20, 24: tool, modifier and Play buttons
    quit_step(ed);                                                   // 34
    drop_dialog_input(ed);
    draw_step(ed);                                                   // 33
    mouse_b &= (uint8_t)~ed->late_release; // the quick clicks this frame saw end for the next one
    ed->late_release = 0;
    ed->frames++;
    return key[K_QUIT] ? 0 : 1;
}

// Requests, held keys whose work goes on every frame, and worker flags.
static const int watched_slots[] = {
    K_QUIT, K_NEW, K_OPEN, K_RESUME, K_SAVE, K_CLOSE_AFTER_SAVE, K_PLAY, K_RELOAD, K_ERASE_MASK, K_JUMP_START,
    K_JUMP_END, K_PLAY_BACK, K_PLAY_FORWARD, K_DEFAULTS, K_VISION_MODE, K_COPY, K_UNDO, K_REDO, K_MAGNET, K_HARMONICS,
    K_MASK_INVERT, K_INVERT, K_HFLIP, K_VFLIP, K_ROTATE, K_WHEEL, K_ANALYSING, K_PAN, K_RELAYOUT, K_LOADING,
    K_LONG_BLOCK, K_LOOP, K_LINEAR_KNOB, K_SUSPEND, K_CONST_TIME_RES, K_RHYTHM_OVERLAY, K_SEMITONE_OVERLAY,
    K_FAST_DISPLAY, K_SMOOTH_DISPLAY, K_UNNORMALISED, K_LEFT_ONLY, K_RIGHT_ONLY, K_MIX_TO_STEREO, K_SELECT_LAYER,
    68, 69, 70, 71, 72, 73, 74, 75, 76, 77, 78, 79, 80, 81, 82, 83, 84, K_NEW_WAVEFORM, K_NEW_LAYER,
    K_DUPLICATE_LAYER, K_ADD_SEPARATOR, K_MERGE_DOWN, K_DELETE_LAYER, K_MERGE_ALL, K_LAYER_UP, K_LAYER_DOWN,
    K_VIEW_LAYER_ONLY, K_VIEW_GROUP_ONLY, 99, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112,
    K_PAINT_RUNNING, K_PAINT_STATE_PENDING, K_UNITS_CHANGED, K_LIVE_SYNTH, K_DUMP_LIVE, K_NOISE_INIT,
    K_WAVEFORM_AGAIN, K_LIVE_JUMP, K_SUSPEND_DUMP, K_PAUSE_AFTER, K_TURN_OFF_LAYER, K_SELECT_ALL, K_SELECT_NONE,
    K_SELECT_INVERT, K_SELECTION_GAIN, K_SELECTION_DELETE, K_SELECTION_FEATHER, K_PLAY_SELECTION, K_SAVE_SELECTION,
    K_PASTE,
};

int editor_pending(const Editor* ed)
{
    if (ed->events > 0 || ed->full_redraw || ed->image_changed || mac_redraw)
        return 1;
    if (ed->press != PRESS_NONE || mouse_b || slow_mouse)
        return 1;
    if (ed->launch < 0 || ed->open_flag || ed->redraw.started || ed->drag.tool > 0)
        return 1;
    if (ed->es.running.load() > 0 || ed->image.change_state.load() != 0)
        return 1;
    for (int slot : watched_slots)
        if (key[slot])
            return 1;
    return 0;
}

int editor_wait(Editor* ed)
{
    int ms = 1;
    if (!editor_pending(ed)) {
        const int cap = ed->es.paused.load() == 0 ? PLAYING_WAIT_MAX_MS : IDLE_WAIT_MAX_MS;
        ms = std::min(std::max(ed->wait_ms, 1) * 2, cap);
    }
    ed->wait_ms = ms;
    wrsleep(ms);
    return ms;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Shutdown
// ---------------------------------------------------------------------------------------------

void editor_end(Editor* ed)
{
    EngineState* es = &ed->es;
    // Nothing may paint, draw or synthesise into what goes away below.
    paint_abort_and_wait(WORKER_STOP_MS);
    redraw_thread_stop(&ed->redraw, WORKER_STOP_MS);
    end_sound_threads(es);
    live_table_wait();
    calc_max_vol_live_wait();
    layer_steps_wait();
    waveform_stop();

    selection_play_stop();
    sound_close();        // the live-synthesis output file, then the audio device
    graphics_shutdown();  // the window
    remove_hooks();
    control_text_free();
    panel_warp_pointer = panel_warp_before;
    menu_close();
    menu.clear();
    menu_count = 0;
    waveform_release();
    overlays_reset();
    synthesis_release(es);
    image_stack_release(&ed->image);
    engine_state_release(es);
    free_null(&orig_snd);
    orig_len = orig_rate = 0;
    running = nullptr;
    program_end();        // the history file, the platform, "\nQuitting program.\n"
}

int editor_run(int argc, char** argv)
{
    Editor* ed = new Editor{};
    if (editor_start(ed, argc, argv))
        while (editor_frame(ed))
            editor_wait(ed);
    editor_end(ed);
    delete ed;
    return 0;
}
