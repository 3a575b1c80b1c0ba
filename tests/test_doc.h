// Shared document helpers of the test suite: planes made and compared, a document of one layer,
// the resources of the source tree and the history in a temporary file.
#pragma once

#include "core/records.h"
#include "core/state.h"
#include "document/command_log.h"
#include "document/hooks.h"
#include "document/image.h"
#include "document/layers.h"
#include "document/sound.h"
#include "display/view.h"
#include "history/replay.h"
#include "platform/util.h"
#include "sound/synthesis.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

// A h x w plane with f(r, c) in every pixel.
template <class F> Plane plane_of(int w, int h, F f)
{
    Plane p = plane_alloc(h, w);
    for (int r = 0; r < h; r++)
        for (int c = 0; c < w; c++)
            p[r][c] = f(r, c);
    return p;
}

// A h x w plane with `v` in every pixel.
inline Plane plane_filled(int w, int h, float v) { return plane_of(w, h, [v](int, int) { return v; }); }

// Sets every pixel of a h x w plane to `v`.
inline void fill_plane(Plane p, int w, int h, float v)
{
    for (int r = 0; r < h; r++)
        std::fill(p[r], p[r] + w, v);
}

// The pixels of a h x w plane, row after row.
inline std::vector<float> plane_values(const float* const* p, int w, int h)
{
    std::vector<float> v((size_t)w * h);
    for (int r = 0; r < h; r++)
        memcpy(&v[(size_t)r * w], p[r], (size_t)w * sizeof(float));
    return v;
}

// The 32-bit pixel (r, g, b) as the frame buffers hold it.
inline uint32_t rgb(int r, int g, int b)
{
    const uint8_t c[4] = {(uint8_t)r, (uint8_t)g, (uint8_t)b, 0};
    uint32_t p;
    memcpy(&p, c, 4);
    return p;
}

// Resources (gfx/) taken from the source tree while the object lives.
struct ScopedResources {
    char saved[sizeof respath];
    ScopedResources()
    {
        memcpy(saved, respath, sizeof respath);
        snprintf(respath, sizeof respath, "%s/", BW_SOURCE_DIR);
    }
    ~ScopedResources() { memcpy(respath, saved, sizeof respath); }
};

// The command log written to `file` (a fresh history) while the object lives.
struct ScopedHistory {
    explicit ScopedHistory(const std::string& file)
    {
        command_log_close();
        command_log_reset();
        free(history_path);
        history_path = strdup(file.c_str());
    }
    ~ScopedHistory()
    {
        command_log_close();
        command_log_set_clock(nullptr);
        command_log_reset();
        free_null(&history_path);
    }
    // The history's text without its first line when that is the header timestamp.
    static std::string lines()
    {
        const std::string t = read_file(history_path);
        return t.rfind("Time ", 0) == 0 ? t.substr(t.find('\n') + 1) : t;
    }
    // The history's lines, all but the timestamps.
    static std::vector<std::string> command_lines()
    {
        std::vector<std::string> out;
        std::istringstream in(read_file(history_path));
        for (std::string line; std::getline(in, line);)
            if (line.rfind("Time ", 0) != 0 || !(line[5] == '+' || isdigit((unsigned char)line[5])))
                out.push_back(line);
        return out;
    }
};

// A clean program state and an empty document stack tied to an engine state, in a window of
// `SCRN_W` x `SCRN_H` = 1024 x 768 (MARGIN_Y 280) unless a test sets others; the document and
// sound display hooks emptied and the original sound released after.
struct DocTest : testing::Test {
    std::unique_ptr<ImageStack> image = std::make_unique<ImageStack>();
    std::unique_ptr<EngineState> es = std::make_unique<EngineState>();
    TempDir dir;
    std::optional<ScopedHistory> log; // set by log_history()

    void SetUp() override
    {
        state_reset();
        settings_defaults();
        SCRN_W = 1024;
        SCRN_H = 768;
        MARGIN_Y = 280;
        image_stack_init(image.get());
        es->image = image.get();
    }
    void TearDown() override
    {
        layer_steps_wait();
        document_hooks = {};
        sound_display_hooks = {};
        log.reset();
        image_stack_release(image.get());
        free_null(&orig_snd);
        state_reset();
        settings_defaults();
    }
    // The command log written to a fresh "history.kbz" in `dir` until the test ends.
    void log_history() { log.emplace(dir.file("history.kbz")); }
    // Makes the document one w x h layer with f(r, c) in every pixel, no change pending.
    template <class F> void doc(int w, int h, F f)
    {
        ASSERT_EQ(image_from_plane(image.get(), plane_of(w, h, f), w, h, "test"), 1);
        image->change_state = 0;
    }
    // The same with `v` in every pixel.
    void doc(int w, int h, float v) { doc(w, h, [v](int, int) { return v; }); }
    // The analysis parameters (lowest and highest frequency, px/s, ..., log base).
    void analysis(std::initializer_list<float> params)
    {
        int i = 0;
        for (float p : params)
            es->anal_params[i++] = p;
    }
};

// A document stack with its engine state set up as the program starts them, released (after any
// layer step in progress) when the object goes away.
struct Session {
    ImageStack image{};
    EngineState es{};
    Session()
    {
        image_stack_init(&image);
        engine_state_init(&es, &image);
    }
    ~Session()
    {
        layer_steps_wait();
        image_stack_release(&image);
        engine_state_release(&es);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};

// A clean program state in a 1024 x 768 window, a document stack and engine state as the
// program starts them, no history file and no replay under way; all of it (with the original
// sound) released after.
struct SessionTest : testing::Test {
    Session session;
    ImageStack& image = session.image;
    EngineState& es = session.es;
    TempDir dir;
    char title[PATH_TEXT_LEN] = {};

    void SetUp() override
    {
        state_reset();
        settings_defaults();
        SCRN_W = 1024;
        SCRN_H = 768;
        command_log_close();
        command_log_reset();
        free_null(&history_path);
        replay_reset();
    }
    void TearDown() override
    {
        layer_steps_wait();
        free_null(&orig_snd);
        orig_len = 0;
        lossless_mode = 0;
        command_log_close();
        command_log_set_clock(nullptr);
        free_null(&history_path);
        replay_reset();
        state_reset();
    }
};

// Everything a step may change: every entry with its pixels as bits, the selection and the
// name counter.
struct DocState {
    struct Entry {
        std::string name;
        int blend, off, conv_x, conv_y, conv_set;
        uint32_t gamma_bits;
        bool plane;
        std::vector<uint32_t> bits;
        bool operator==(const Entry&) const = default;
    };
    std::vector<Entry> entries;
    int sel, name_counter;
    bool operator==(const DocState&) const = default;
};

inline DocState snapshot(const ImageStack& im)
{
    DocState d{{}, im.sel, im.name_counter};
    for (int i = 0; i < im.count; i++) {
        const Layer& l = im.layers[i];
        DocState::Entry e{l.name ? l.name : "", l.blend, l.off, l.conv_x, l.conv_y, l.conv_set, 0, l.plane != nullptr, {}};
        memcpy(&e.gamma_bits, &l.gamma, 4);
        if (l.plane) {
            e.bits.resize((size_t)im.w * im.h);
            for (int r = 0; r < im.h; r++)
                memcpy(&e.bits[(size_t)r * im.w], l.plane[r], (size_t)im.w * 4);
        }
        d.entries.push_back(std::move(e));
    }
    return d;
}

// A SCRN_W x SCRN_H window (MARGIN_Y 100) whose frame buffer `fb` starts filled with one value,
// and a document drawn into it.
struct ScreenDocTest : testing::Test {
    std::unique_ptr<ImageStack> image = std::make_unique<ImageStack>();
    std::unique_ptr<EngineState> es = std::make_unique<EngineState>();
    std::vector<uint32_t> fb;
    std::atomic<int32_t> dirty{0};

    // A clean state, a w x h window and its frame buffer filled with `background`.
    void open_screen(int w, int h, uint32_t background)
    {
        state_reset();
        settings_defaults();
        SCRN_W = w;
        SCRN_H = h;
        MARGIN_Y = 100;
        image_stack_init(image.get());
        es->image = image.get();
        fb.assign((size_t)w * h, background);
    }
    // Makes the document one w x h layer of fill(r, c), drawn into `fb`, the whole of it in view.
    template <class F> void make(int w, int h, F fill)
    {
        ASSERT_EQ(image_from_plane(image.get(), plane_of(w, h, fill), w, h, "test"), 1);
        image->screen = fb.data();
        image->screen_dirty = &dirty;
        view_reset(image.get());
    }
    uint32_t& at(int x, int y) { return fb[(size_t)y * SCRN_W + x]; }
};

// A clean state and an empty document stack with its engine state set up as the program starts
// them; synthesis, the stack and the original sound released after.
struct EngineTest : testing::Test {
    std::unique_ptr<ImageStack> image = std::make_unique<ImageStack>();
    std::unique_ptr<EngineState> es = std::make_unique<EngineState>();

    void SetUp() override
    {
        state_reset();
        settings_defaults();
        image_stack_init(image.get());
        engine_state_init(es.get(), image.get());
    }
    void TearDown() override
    {
        synthesis_release(es.get());
        engine_state_release(es.get());
        image_stack_release(image.get());
        free_null(&orig_snd);
        orig_len = orig_rate = 0;
        state_reset();
        settings_defaults();
    }
    // n samples of the synthesised sound from `from` (all when n < 0), times `scale`.
    std::vector<float> sound(int64_t from = 0, int64_t n = -1, float scale = 1.f) const
    {
        std::vector<float> s((size_t)(n < 0 ? es->sound_len.load() : n));
        for (size_t i = 0; i < s.size(); i++)
            s[i] = sound_sample(es.get(), from + (int64_t)i) * scale;
        return s;
    }
};
