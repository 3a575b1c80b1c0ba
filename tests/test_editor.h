// Shared helpers of the tests that run the real editor headless: starting it on the demo,
// driving it with events frame by frame, waiting for a condition with a bound, and quitting.
#pragma once

#include "editor/frame.h"
#include "editor/menus.h"
#include "core/state.h"
#include "display/window.h"
#include "sound/synthesis.h"
#include "test_support.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

inline const std::string demo_path = std::string(BW_SOURCE_DIR) + "/examples/demo.wav";

// The environment of a headless editor: its own data folder, the source tree's resources and the
// given audio driver.
struct EditorEnv {
    ScopedDataHome home;
    ScopedEnv resources{"BRINDLEWHARF_RESOURCES", BW_SOURCE_DIR};
    ScopedEnv audio;
    explicit EditorEnv(const char* driver = "dummy") : audio("SDL_AUDIODRIVER", driver) {}
};

// A key event of `type` (down or up) for `sym` with modifiers `mod`.
inline SDL_Event key_event(int type, SDLKey sym, int mod = KMOD_NONE)
{
    SDL_Event ev{};
    ev.type = (Uint8)type;
    ev.key.type = (Uint8)type;
    ev.key.keysym.sym = sym;
    ev.key.keysym.mod = (SDLMod)mod;
    return ev;
}

// A key pressed and let go.
inline void press(Editor* ed, SDLKey sym, int mod = KMOD_NONE)
{
    SDL_Event down = key_event(SDL_KEYDOWN, sym, mod), up = key_event(SDL_KEYUP, sym, mod);
    editor_event(ed, &down);
    editor_event(ed, &up);
}

// The pointer to drawing-area pixel (x, y) (negative y: the menu strip), the buttons as given,
// then one frame.
inline void pointer_frame(Editor* ed, int x, int y, int buttons)
{
    SDL_Event ev{};
    ev.type = ev.motion.type = SDL_MOUSEMOTION;
    ev.motion.x = (Uint16)x;
    ev.motion.y = (Uint16)(y + MENU_STRIP_H);
    editor_event(ed, &ev);
    if ((buttons & 1) != (mouse_b & 1)) {
        SDL_Event b{};
        b.type = b.button.type = (buttons & 1) ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
        b.button.button = SDL_BUTTON_LEFT;
        b.button.x = ev.motion.x;
        b.button.y = ev.motion.y;
        editor_event(ed, &b);
    }
    ASSERT_EQ(editor_frame(ed), 1);
}

// Runs frames (with their waits) until `done` holds; false when `limit_ms` passed first or the
// loop ended.
inline bool run_until(Editor* ed, const std::function<bool()>& done, int limit_ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end || !editor_frame(ed))
            return false;
        editor_wait(ed);
    }
    return true;
}

// A new editor started as "brindlewharf PATH": the file opens on its first frames.
inline std::unique_ptr<Editor> start_on(const std::string& path)
{
    static std::string arg0 = "brindlewharf", arg1; // the editor keeps argv
    static char* argv[3];
    arg1 = path;
    argv[0] = arg0.data();
    argv[1] = arg1.data();
    auto ed = std::make_unique<Editor>();
    EXPECT_EQ(editor_start(ed.get(), 2, argv), 1);
    return ed;
}

// The same on the demo.
inline std::unique_ptr<Editor> start_on_demo() { return start_on(demo_path); }

// The demo analysed and its synthesis done.
inline bool demo_synthesised(Editor* ed)
{
    EngineState* es = &ed->es;
    const ImageStack* im = &ed->image;
    return im->composite && im->change_state == 0 && es->running == 0 && es->block_count > 0 &&
           synthesis_blocks_done(es) == es->block_count;
}

// Chooses the menu entry labelled `label` as a click on the strip would, then runs frames until
// `done` holds; false when the entry is missing or greyed or `done` did not come.
inline bool choose(Editor* ed, const char* label, const std::function<bool()>& done)
{
    int mi = -1, ei = -1;
    return find_menu_entry(menu, label, &mi, &ei) && menu_dispatch(menu, mi, ei, 1) && editor_frame(ed) &&
           run_until(ed, done, 60000);
}

// Quits (without asking to save) and shuts the editor down, leaving the program state as a fresh process has it.
// Returns what the shutdown wrote on standard output.
inline std::string quit_editor(std::unique_ptr<Editor>& ed)
{
    doc_modified = 0; // no save question
    key[K_QUIT] = 1;
    EXPECT_EQ(editor_frame(ed.get()), 0);
    testing::internal::CaptureStdout();
    editor_end(ed.get());
    std::string out = testing::internal::GetCapturedStdout();
    ed.reset();
    mouse_function = TOOL_CURSOR;
    state_reset();
    return out;
}

// The real editor headless once start() ran, quit at the end of the test whatever happened.
struct EditorTest : testing::Test {
    EditorEnv env;
    std::unique_ptr<Editor> ed;
    EngineState* es = nullptr;
    ImageStack* im = nullptr;
    // Starts the editor on `path` and runs frames until `ready` holds (by default: synthesised).
    void start(std::function<bool()> ready = {}, const std::string& path = demo_path)
    {
        ed = start_on(path);
        es = &ed->es;
        im = &ed->image;
        if (!ready)
            ready = [this] { return demo_synthesised(ed.get()); };
        ASSERT_TRUE(run_until(ed.get(), ready, 100000));
    }
    void TearDown() override
    {
        if (ed)
            quit_editor(ed);
    }
};

// The row of the lower of two steady tones (the 1000 Hz one of a 1000 + 3000 Hz sound): of the
// two brightest rows far apart in the composite's middle column, the lower one.
inline int lower_tone_row(const ImageStack* im)
{
    const int c = im->w / 2;
    int best = 0, other = -1;
    for (int r = 0; r < im->h; r++)
        if (im->composite[r][c] > im->composite[best][c])
            best = r;
    for (int r = 0; r < im->h; r++)
        if (std::abs(r - best) > 20 && (other < 0 || im->composite[r][c] > im->composite[other][c]))
            other = r;
    return std::max(best, other);
}

// Frames a disk audio device has written into `raw` so far (16-bit, two channels).
inline size_t frames_captured(const std::string& raw)
{
    std::error_code err;
    const auto size = std::filesystem::file_size(raw, err);
    return err ? 0 : (size_t)size / 4;
}

// The frames a disk audio device wrote into `raw` from frame `from` on, one value each: both
// channels must be the same.
inline std::vector<int16_t> device_frames(const std::string& raw, size_t from = 0)
{
    const std::string bytes = read_file(raw);
    const size_t frames = bytes.size() / 4;
    std::vector<int16_t> both(2 * frames), s;
    memcpy(both.data(), bytes.data(), both.size() * 2);
    size_t differ = 0;
    for (size_t f = from; f < frames; f++) {
        s.push_back(both[2 * f]);
        differ += both[2 * f] != both[2 * f + 1];
    }
    EXPECT_EQ(differ, 0u);
    return s;
}

// Distinct pixel values of a w x h region of a 32-bit buffer `stride` pixels wide.
inline size_t distinct_pixels(const uint32_t* px, int stride, int x0, int y0, int w, int h)
{
    std::set<uint32_t> seen;
    for (int y = y0; y < y0 + h; y++)
        for (int x = x0; x < x0 + w; x++)
            seen.insert(px[(size_t)y * stride + x] & 0xFFFFFFu);
    return seen.size();
}
