// The editor's sound reaching the audio device: the real editor, headless on the demo, with the
// media layer's disk driver capturing what the device plays.
#include "core/frame.h"
#include "core/state.h"
#include "sound/synthesis.h"
#include "test_support.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

const std::string demo_path = std::string(BW_SOURCE_DIR) + "/examples/demo.wav";

// Runs frames (with their waits) until `done` holds; false when `limit_ms` passed first or the
// loop ended.
bool run_until(Editor* ed, const std::function<bool()>& done, int limit_ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end || !editor_frame(ed))
            return false;
        editor_wait(ed);
    }
    return true;
}

// The interleaved 16-bit stereo samples the disk driver wrote so far.
std::vector<int16_t> captured(const std::string& path)
{
    const std::string bytes = read_file(path);
    std::vector<int16_t> s(bytes.size() / 2);
    memcpy(s.data(), bytes.data(), s.size() * 2);
    return s;
}

// Index of the first frame with a sound in it, or the frame count when all are silent.
size_t first_sounding_frame(const std::vector<int16_t>& s)
{
    size_t f = 0;
    while (2 * f + 1 < s.size() && s[2 * f] == 0 && s[2 * f + 1] == 0)
        f++;
    return f;
}

} // namespace

// Space starts playback and the device plays the synthesised sound from its start, scaled by
// the normalisation and the volume, on both channels.
TEST(FrameAudio, SpacePlaysTheSynthesisedSoundThroughTheDevice)
{
    ScopedDataHome home;
    TempDir dir;
    const std::string raw = dir.file("device.raw");
    ScopedEnv resources("BRINDLEWHARF_RESOURCES", BW_SOURCE_DIR);
    ScopedEnv audio("SDL_AUDIODRIVER", "disk");
    ScopedEnv file("SDL_DISKAUDIOFILE", raw.c_str());
    std::string arg0 = "brindlewharf", arg1 = demo_path;
    char* argv[] = {arg0.data(), arg1.data(), nullptr};

    auto ed = std::make_unique<Editor>();
    ASSERT_EQ(editor_start(ed.get(), 2, argv), 1);
    EngineState* es = &ed->es;
    ImageStack* im = &ed->image;
    ASSERT_TRUE(run_until(ed.get(), [&] {
        return im->composite && im->change_state == 0 && es->running == 0 && es->block_count > 0 &&
               synthesis_blocks_done(es) == es->block_count;
    }, 100000));
    ASSERT_GT(es->norm, 0.f);
    EXPECT_NE(es->paused.load(), 0);
    EXPECT_EQ(es->play_pos.load(), 0);
    for (int16_t v : captured(raw))
        ASSERT_EQ(v, 0); // nothing is heard before Space

    es->volume = std::pow(10.f, -0.3f); // the Volume knob at -6 dB, so that a lost volume shows
    SDL_Event down{}, up{};
    down.type = down.key.type = SDL_KEYDOWN;
    down.key.keysym.sym = SDLK_SPACE;
    up = down;
    up.type = up.key.type = SDL_KEYUP;
    editor_event(ed.get(), &down);
    editor_event(ed.get(), &up);

    constexpr size_t WANT = 8192; // frames compared
    std::vector<int16_t> s;
    ASSERT_TRUE(run_until(ed.get(), [&] {
        s = captured(raw);
        const size_t f = first_sounding_frame(s);
        return 2 * (f + WANT + 4096) <= s.size();
    }, 20000));
    EXPECT_EQ(es->paused.load(), 0);

    // Playback starts at the first frame of a buffer: the sound's first samples may be too quiet
    // to show, so the start is searched for at or before the first frame that sounds.
    const float gain = es->norm * es->volume * 32767.f;
    auto expected = [&](size_t i) {
        const float v = es->sound[0][i] * gain;
        return v >= 32767.f ? 32767 : v <= -32768.f ? -32768 : (int)v;
    };
    const size_t first = first_sounding_frame(s);
    long start = -1;
    for (size_t back = 0; back <= first && start < 0; back++) {
        const size_t o = first - back;
        bool match = true;
        for (size_t i = 0; i < WANT && match; i++)
            match = std::abs(s[2 * (o + i)] - expected(i)) <= 1;
        if (match)
            start = (long)o;
    }
    ASSERT_GE(start, 0) << "the sound's start was not found near frame " << first;
    int loud = 0;
    for (size_t i = 0; i < WANT; i++) {
        ASSERT_EQ(s[2 * (start + i)], s[2 * (start + i) + 1]) << i;
        loud += std::abs(s[2 * (start + i)]) > 50;
    }
    EXPECT_GT(loud, 100); // the compared stretch is not just silence

    key[K_QUIT] = 1;
    EXPECT_EQ(editor_frame(ed.get()), 0);
    testing::internal::CaptureStdout();
    editor_end(ed.get());
    testing::internal::GetCapturedStdout();
    ed.reset();
    state_reset();
}
