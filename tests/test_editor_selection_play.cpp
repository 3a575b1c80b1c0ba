// The selection heard and taken out from the real editor, headless on a sound of two known tones
// with the media layer's disk driver capturing what the device plays: without a selection the
// entries are greyed and P says so; Ctrl+C and Ctrl+V copy the selected region and paste it as a
// new layer at the view's position (through a stand-in clipboard tool); File > Save Selection as
// Sound writes the region; P plays only the selected tone, Space then plays everything again.
#include "core/state.h"
#include "document/selection.h"
#include "editor/menus.h"
#include "sound/selection_sound.h"
#include "test_editor.h"

#include <sndfile.h>

#include <cmath>

namespace {

using EditorSelectionUse = EditorTest;

TEST_F(EditorSelectionUse, CopyPasteSaveAndPlayTheSelectedRegion)
{
    TempDir dir;
    const std::string raw = dir.file("device.raw"), tones = dir.file("tones.wav");
    ScopedEnv audio{"SDL_AUDIODRIVER", "disk"}, file{"SDL_DISKAUDIOFILE", raw.c_str()};
    ScopedEnv delay{"SDL_DISKAUDIODELAY", "2"};
    // 4 s of a 1000 Hz and a 3000 Hz tone.
    const int n = 4 * 44100;
    std::vector<float> x = sine_wave(1000.f, n, 44100, 0.3f), y = sine_wave(3000.f, n, 44100, 0.3f);
    for (int i = 0; i < n; i++)
        x[(size_t)i] += y[(size_t)i];
    ASSERT_TRUE(write_test_sound(tones, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 44100, x));
    ASSERT_NO_FATAL_FAILURE(start({}, tones));

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
    ASSERT_TRUE(run_until(ed.get(), [&] { return demo_synthesised(ed.get()); }, 60000));
    const int row = lower_tone_row(im);
    ASSERT_TRUE(selection_box(im, 100, row - 6, 299, row + 6, 3.f, SELECT_REPLACE));
    ASSERT_EQ(editor_frame(ed.get()), 1);
    EXPECT_EQ(find_menu_entry(menu, "Play Selection")->greyed, 0);
    const size_t mark = frames_captured(raw);
    press(ed.get(), SDLK_p);
    ASSERT_TRUE(run_until(ed.get(), [&] { return selection_playing() && es->paused.load() == 0; }, 5000));
    ASSERT_TRUE(run_until(ed.get(), [&] { return !selection_playing(); }, 30000)); // played to its end
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
    const size_t whole = frames_captured(raw);
    press(ed.get(), SDLK_SPACE);
    ASSERT_TRUE(run_until(ed.get(), [&] { return frames_captured(raw) > whole + 3 * 44100 / 2; }, 30000));
    EXPECT_FALSE(selection_playing());
    const std::vector<int16_t> all = device_frames(raw, whole);
    const std::vector<float> t(all.begin(), all.end());
    EXPECT_LT(std::fabs(band_db(t, t.size() - 44100, 44100, 1000.f) - band_db(t, t.size() - 44100, 44100, 3000.f)), 6.0);
    quit_editor(ed); // while the device's file and the dialog script are there
}

} // namespace
