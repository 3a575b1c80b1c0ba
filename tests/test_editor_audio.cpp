// The editor's sound reaching the audio device: the real editor, headless on a sound of two known
// tones, with the media layer's disk driver capturing what the device plays. Plain playback, the
// selection, live synthesis and the live recording are compared with the synthesised sound, the
// tones, the image and the files written (the order of samples when looping, pausing after the
// loop, reversing and bouncing is checked sample by sample on the audio callback in the sound
// tests).
#include "document/selection.h"
#include "sound/live.h"
#include "sound/selection_sound.h"
#include "test_editor.h"

#include <sndfile.h>

#include <cmath>

namespace {

// The expected 16-bit value of frame i of a run.
using Want = std::function<int(size_t)>;

// A float sample at full scale 32767 as the device gets it: truncated toward zero and limited.
int pcm(float v) { return v >= 32767.f ? 32767 : v <= -32768.f ? -32768 : (int)v; }

// Index of the first frame with a sound in it, or the frame count when all are silent.
size_t first_sounding_frame(const std::vector<int16_t>& s)
{
    return (size_t)(std::find_if(s.begin(), s.end(), [](int16_t v) { return v != 0; }) - s.begin());
}

// How many frames of `s` from `o` on agree with want(0), want(1), ... within 1 LSB (at most
// `count`; counting stops at the first that does not).
size_t agree(const std::vector<int16_t>& s, size_t o, const Want& want, size_t count)
{
    size_t i = 0;
    while (i < count && o + i < s.size() && std::abs(s[o + i] - want(i)) <= 1)
        i++;
    return i;
}

// Start of the first run of `count` frames agreeing with `want`, or -1. Playback starts at the
// first frame of a buffer and its first samples may be too quiet to show, so the search starts
// one buffer before the first frame that sounds.
long find_run(const std::vector<int16_t>& s, const Want& want, size_t count)
{
    const size_t f = first_sounding_frame(s);
    for (size_t o = f > 4096 ? f - 4096 : 0; o + count <= s.size(); o++)
        if (agree(s, o, want, count) == count)
            return (long)o;
    return -1;
}

// The editor on 4 s of a 1000 Hz and a 3000 Hz tone, its device captured into `raw`.
struct FrameAudio : EditorTest {
    TempDir dir;
    const std::string raw = dir.file("device.raw"), tones = dir.file("tones.wav");
    ScopedEnv audio{"SDL_AUDIODRIVER", "disk"}, file{"SDL_DISKAUDIOFILE", raw.c_str()};
    ScopedEnv delay{"SDL_DISKAUDIODELAY", "2"}; // a buffer every 2 ms: whole passes are quick
    bool run_until(const std::function<bool()>& done, int limit_ms) { return ::run_until(ed.get(), done, limit_ms); }
    size_t frames_captured() { return ::frames_captured(raw); }
    std::vector<int16_t> played(size_t from) { return device_frames(raw, from); }
    void SetUp() override
    {
        const int n = 4 * 44100;
        std::vector<float> x = sine_wave(1000.f, n, 44100, 0.3f), y = sine_wave(3000.f, n, 44100, 0.3f);
        for (int i = 0; i < n; i++)
            x[(size_t)i] += y[(size_t)i];
        ASSERT_TRUE(write_test_sound(tones, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 44100, x));
        ASSERT_NO_FATAL_FAILURE(start({}, tones));
        ASSERT_GT(es->norm, 0.f);
    }
};

} // namespace

// Space starts playback and the device plays the synthesised sound from its start, scaled by
// the normalisation and the volume, on both channels. The selection: without one the entries
// are greyed and P says so; Ctrl+C and Ctrl+V copy the selected region and paste it as a new
// layer at the view's position (through a stand-in clipboard tool); File > Save Selection as
// Sound writes the region; P plays only the selected tone, Space then plays everything again.
// Then live synthesis: an edit is heard at
// once (cleared columns are exact silence while the three columns around the position are
// clear), the position moves 1/441 column a sample at 100 px/s and stops after the last column,
// and a recording opened while playing holds exactly what the device played.
TEST_F(FrameAudio, PlaybackSelectionAndLiveSynthesisReachTheDeviceAndTheFiles)
{
    EXPECT_TRUE(es->paused.load() != 0 && es->play_pos.load() == 0);
    const std::vector<int16_t> before = played(0);
    ASSERT_EQ(first_sounding_frame(before), before.size()); // nothing is heard before Space

    const float volume = es->volume;
    es->volume = std::pow(10.f, -0.3f); // the Volume knob at -6 dB, so that a lost volume shows
    press(ed.get(), SDLK_SPACE);
    constexpr size_t WANT = 8192; // frames compared
    ASSERT_TRUE(run_until([&] { return frames_captured() >= first_sounding_frame(played(0)) + WANT + 4096; }, 20000));

    const std::vector<int16_t> heard = played(0);
    const float gain = es->norm * es->volume * 32767.f;
    const long begin = find_run(heard, [&](size_t i) { return pcm(es->sound[0][i] * gain); }, WANT);
    ASSERT_GE(begin, 0) << "the sound's start was not found near frame " << first_sounding_frame(heard);
    EXPECT_GT(std::count_if(heard.begin() + begin, heard.begin() + begin + WANT,
                            [](int16_t v) { return std::abs(v) > 50; }),
              100); // the compared stretch is not just silence
    ASSERT_TRUE(run_until([&] { return es->paused.load() == 1; }, 30000)); // played to its end (a fast device)
    es->volume = volume;

    {
        // Nothing selected: the entries are greyed and P only says so.
        EXPECT_EQ(find_menu_entry(menu, "Play Selection")->greyed, 1);
        EXPECT_EQ(find_menu_entry(menu, "Save Selection as Sound...")->greyed, 1);
        press(ed.get(), SDLK_p);
        ASSERT_EQ(editor_frame(ed.get()), 1);
        ASSERT_EQ(editor_frame(ed.get()), 1); // the status line takes the notice on the next frame
        EXPECT_NE(std::string(ed->notice).find("nothing is selected"), std::string::npos) << ed->notice;
        EXPECT_EQ(es->paused.load(), 1);

        ASSERT_TRUE(selection_box(im, 40, 30, 79, 59, 2.f, SELECT_REPLACE));
        int x0, y0, x1, y1;
        ASSERT_TRUE(selection_bounds(im, &x0, &y0, &x1, &y1));
        // A stand-in clipboard tool: "-i FILE" keeps the file, "-o" gives it back.
        const std::string store = dir.file("clip.png"), tool = dir.file("clip");
        write_file(tool, "#!/bin/sh\nfor a; do last=$a; done\nif [ \"$last\" = -o ]; then cat '" + store +
                             "'; else cp \"$last\" '" + store + "'; fi\n");
        std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
        ScopedEnv clip("BRINDLEWHARF_CLIPBOARD", tool.c_str());
        const int count = im->count;
        std::vector<float> want;
        for (int r = y0; r < y1; r++)
            for (int c = x0; c < x1; c++)
                want.push_back(im->composite[r][c] * selection_weight(im, c, r));
        float peak = 0.f; // Copy's grey levels go up to the composite's brightest pixel
        for (int r = 0; r < im->h; r++)
            peak = std::max(peak, *std::max_element(im->composite[r], im->composite[r] + im->w));

        press(ed.get(), SDLK_c, KMOD_LCTRL);
        ASSERT_EQ(editor_frame(ed.get()), 1);
        ASSERT_TRUE(file_exists(store));
        press(ed.get(), SDLK_v, KMOD_LCTRL);
        ASSERT_EQ(editor_frame(ed.get()), 1);
        ASSERT_EQ(im->count, count + 1);
        const Plane layer = im->layers[im->sel].plane;
        size_t i = 0, off = 0;
        for (int r = 0; r < y1 - y0; r++)
            for (int c = 0; c < x1 - x0; c++, i++)
                off += std::fabs(layer[crop_y + r][crop_x + c] - want[i]) > 2.f * std::sqrt(want[i] * peak) / 255.f + 1e-3f * peak;
        EXPECT_EQ(off, 0u) << "pasted at " << crop_x << ", " << crop_y << "; first value " << layer[crop_y][crop_x]
                           << " for " << want[0];
        press(ed.get(), SDLK_z, KMOD_LCTRL); // one Undo step
        ASSERT_EQ(editor_frame(ed.get()), 1);
        EXPECT_EQ(im->count, count);

        // File > Save Selection as Sound... through the scripted dialog.
        const std::string out = dir.file("region.wav"), script = dir.file("dialogs.txt");
        write_file(script, "save " + out + "\n");
        ScopedEnv dialogs("BRINDLEWHARF_DIALOG_SCRIPT", script.c_str());
        int mi = 0, ei = 0;
        ASSERT_NE(find_menu_entry(menu, "Save Selection as Sound...", &mi, &ei), nullptr);
        testing::internal::CaptureStdout();
        menu_dispatch(menu, mi, ei, 0);
        ASSERT_EQ(editor_frame(ed.get()), 1);
        testing::internal::GetCapturedStdout();
        SF_INFO info{};
        const std::vector<float> saved = read_sound_file(out, &info);
        const float pps = es->synth_range[2];
        EXPECT_EQ((long long)saved.size(), std::llround(x1 * 44100.0 / pps) - std::llround(x0 * 44100.0 / pps));

        // P with the lower tone's band selected: that tone alone is heard, to the selection's end.
        ASSERT_TRUE(run_until([&] { return demo_synthesised(ed.get()); }, 60000));
        const int row = lower_tone_row(im);
        ASSERT_TRUE(selection_box(im, 100, row - 6, 299, row + 6, 3.f, SELECT_REPLACE));
        ASSERT_EQ(editor_frame(ed.get()), 1);
        EXPECT_EQ(find_menu_entry(menu, "Play Selection")->greyed, 0);
        const size_t mark = frames_captured();
        press(ed.get(), SDLK_p);
        ASSERT_TRUE(run_until([&] { return selection_playing() && es->paused.load() == 0; }, 5000));
        ASSERT_TRUE(run_until([&] { return !selection_playing(); }, 30000)); // played to its end
        EXPECT_EQ(es->paused.load(), 1);
        const std::vector<int16_t> heard = device_frames(raw, mark);
        const std::vector<float> s(heard.begin(), heard.end());
        const size_t first = (size_t)(std::find_if(s.begin(), s.end(), [](float v) { return v != 0.f; }) - s.begin());
        ASSERT_LT(first + 3 * 44100 / 2, s.size()); // two seconds of selection were heard
        const double inside = band_db(s, first + 22050, 44100, 1000.f), outside = band_db(s, first + 22050, 44100, 3000.f);
        printf("heard through the device: the tone outside %.1f dB below the one inside\n", inside - outside);
        EXPECT_GE(inside - outside, 60.0);

        // Space: the whole sound, both tones.
        es->play_pos = 0;
        const size_t whole = frames_captured();
        press(ed.get(), SDLK_SPACE);
        ASSERT_TRUE(run_until([&] { return frames_captured() > whole + 3 * 44100 / 2; }, 30000));
        EXPECT_FALSE(selection_playing());
        const std::vector<int16_t> all = device_frames(raw, whole);
        const std::vector<float> t(all.begin(), all.end());
        EXPECT_LT(std::fabs(band_db(t, t.size() - 44100, 44100, 1000.f) - band_db(t, t.size() - 44100, 44100, 3000.f)), 6.0);
        ASSERT_TRUE(run_until([&] { return es->paused.load() == 1; }, 30000)); // played to its end
        press(ed.get(), SDLK_ESCAPE); // the selection dropped
        ASSERT_EQ(editor_frame(ed.get()), 1);
        ASSERT_FALSE(selection_present(im));
    }

    key[K_LIVE_SYNTH] = 1; // the menu entry
    ASSERT_TRUE(run_until([&] {
        return key[state_of(K_LIVE_SYNTH)] && !key[K_NOISE_INIT] && es->noise_full && es->norm > 0.f;
    }, 30000));
    ASSERT_EQ(es->synth_range[2], 100.f);
    const int W = im->w;

    // Columns 300 .. 309 cleared, as a paint stroke would.
    {
        LockGuard lock(im->layers_lock);
        for (int y = 0; y < im->h; y++)
            std::fill(im->layers[im->sel].plane[y] + 300, im->layers[im->sel].plane[y] + 310, 0.f);
    }
    im->change_state = 2;
    ASSERT_TRUE(run_until([&] {
        LockGuard lock(im->transposed_lock);
        return im->change_state == 0 && std::all_of(im->transposed[305], im->transposed[305] + im->h,
                                                    [](float v) { return v == 0.f; });
    }, 10000));

    const std::string rec = dir.file("live.wav");
    es->play_pos = 270 * 441;
    // "Save Live Synthesis Output to File..." asks for the file (and is checked while it records),
    // asked before playing: a dialog holds playback, which would leave a gap in the device's
    // output that is not in the recording. The same command ends the recording.
    const std::string script = dir.file("live-dialogs.txt"); // a script of its own: answers are read once
    write_file(script, "save " + rec + "\n");
    ScopedEnv dialogs("BRINDLEWHARF_DIALOG_SCRIPT", script.c_str());
    key[K_DUMP_LIVE] = 1;
    testing::internal::CaptureStdout();
    ASSERT_EQ(editor_frame(ed.get()), 1);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(live_output_active(), 1);
    EXPECT_EQ(find_menu_entry(menu, "Save Live Synthesis Output to File...")->checked, 1);
    const size_t mark = frames_captured();
    press(ed.get(), SDLK_SPACE);
    ASSERT_TRUE(run_until([&] { return es->paused.load() == 0; }, 5000));
    ASSERT_TRUE(run_until([&] { return es->paused.load() == 1; }, 30000)); // off the last column
    key[K_DUMP_LIVE] = 1;
    ASSERT_EQ(editor_frame(ed.get()), 1);
    EXPECT_EQ(std::vector<int>({live_output_active(), find_menu_entry(menu, "Save Live Synthesis Output to File...")->checked,
                                (int)es->play_pos.load()}),
              std::vector<int>({0, 0, 0}));
    const size_t ended = frames_captured(); // the device plays on: 8192 frames more
    ASSERT_TRUE(run_until([&] { return frames_captured() >= ended + 8192; }, 60000));

    const std::vector<int16_t> s = played(mark);
    SF_INFO info;
    const std::vector<float> file = read_sound_file(rec, &info);
    std::vector<int> recorded(file.size());
    std::transform(file.begin(), file.end(), recorded.begin(), [](float v) { return (int)std::lrint(v * 32768.f); });
    ASSERT_GT(recorded.size(), 44100u);
    const long at = find_run(s, [&](size_t i) { return recorded[i]; }, recorded.size());
    ASSERT_GE(at, 0) << "the recording is not what the device played";
    const size_t start = first_sounding_frame(s), end = at + recorded.size();
    EXPECT_NEAR((double)(end - start), (W - 1 - 270) * 441.0, 2.0); // 1/441 column a sample
    EXPECT_TRUE(std::all_of(s.begin() + end, s.end(), [](int16_t v) { return v == 0; }));

    // Exact silence from position 300.5 to 308.5 (8 columns), the kernel's tails beside it
    // rounding to nothing for a little longer at most.
    size_t longest = 0, at_longest = 0;
    for (size_t f = start, run = 0; f < end; f++) {
        run = s[f] == 0 ? run + 1 : 0;
        if (run > longest) {
            longest = run;
            at_longest = f + 1 - run;
        }
    }
    EXPECT_TRUE(longest >= 8 * 441u - 1 && longest <= 10 * 441u) << longest;
    EXPECT_NEAR((double)(at_longest - start) / 441.0, 300.5 - 270, 1.0);
}
