// The real program end to end in a real X server, on a recording mixed with a 1000 Hz and a
// 3000 Hz tone: the sound is drawn into the view; the Select tool chosen with its key, a box
// dragged over the 1000 Hz band with the pointer, P pressed, and what the disk audio driver was
// given checked: the tone inside the box heard, the one outside it gone; Ctrl+S saves the sound
// (the save dialog answered by a script) once synthesis is done, and Ctrl+Q quits.
#include "files/picture.h"
#include "test_editor.h"

#include <sndfile.h>

#include <cmath>

namespace {

const char* const RECORDING = "/usr/share/sounds/alsa/Front_Center.wav";

TEST(SelectionGui, SoundDrawnSelectionHeardAloneSavedAndQuitUnderXvfb)
{
    if (!tool_exists("xvfb-run") || !tool_exists("import") || !tool_exists("xdotool"))
        GTEST_SKIP() << "xvfb-run, ImageMagick's import or xdotool is missing";
    TempDir dir;
    // 3 s: both tones throughout, the recording (its rate taken as 44100 Hz, when there is one)
    // from 0.5 s on.
    SF_INFO info{};
    const std::vector<float> voice = file_exists(RECORDING) ? read_sound_file(RECORDING, &info) : std::vector<float>{};
    ASSERT_LE(info.channels, 1);
    const int n = 3 * 44100;
    std::vector<float> mix = sine_wave(1000.f, n, 44100, 0.3f), high = sine_wave(3000.f, n, 44100, 0.3f);
    for (size_t i = 0; i < (size_t)n; i++)
        mix[i] += high[i] + (i >= 22050 && i - 22050 < voice.size() ? 0.15f * voice[i - 22050] : 0.f);
    const std::string sound = dir.file("voice-and-tones.wav");
    ASSERT_TRUE(write_test_sound(sound, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 44100, mix));

    // Where the box goes in the window: the same program headless at the same window size lays
    // out the same view; the box spans 0.5 s to 2.5 s and 8 rows either side of the 1000 Hz tone.
    int x0, y0, x1, y1;
    {
        EditorEnv env;
        auto ed = start_on(sound);
        ASSERT_TRUE(run_until(ed.get(), [&] { return demo_synthesised(ed.get()); }, 60000));
        const ImageStack* im = &ed->image;
        const int row = lower_tone_row(im);
        auto wx = [&](float seconds) { return im->view_x + (int)column_to_view_x(seconds / 3.f * im->w, im->view_w); };
        auto wy = [&](int r) { return MENU_STRIP_H + im->view_y + (int)row_to_view_y((float)r, im->view_h); };
        x0 = wx(0.5f), x1 = wx(2.5f), y0 = wy(row - 8), y1 = wy(row + 8);
        const bool inside = x0 >= im->view_x && x1 < im->view_x + im->view_w &&
                            std::min(y0, y1) >= MENU_STRIP_H + im->view_y &&
                            std::max(y0, y1) < MENU_STRIP_H + im->view_y + im->view_h;
        quit_editor(ed);
        ASSERT_TRUE(inside) << x0 << "," << y0 << " to " << x1 << "," << y1;
        ASSERT_GT(std::abs(y1 - y0), 4); // the box is more than the feather high on screen
    }

    // Waits (bounded) for the window once the open wrote the history, lets a few frames pass, takes
    // the window's picture, presses M, drags the box
    // (in steps a few frames apart) until the history's "Select box" line spans the 2 s (at most
    // four tries), presses P, lets the device take 3 s more of sound (a fast disk device), saves
    // the sound with Ctrl+S and quits with Ctrl+Q.
    const std::string script = R"SH(
"$1" "$2" >"$3/out" 2>"$3/err" & pid=$!
i=0; id=""
while [ $i -lt 300 ]; do
  if [ -s "$3/Brindlewharf/history.kbz" ]; then
    id=$(xdotool search --name "^Brindlewharf" 2>/dev/null | head -n1)
    [ -n "$id" ] && break
  fi
  kill -0 $pid 2>/dev/null || break
  sleep 0.1; i=$((i+1))
done
raw=$8
size() { stat -c %s "$raw" 2>/dev/null || echo 0; }
if [ -n "$id" ]; then
  sleep 1; import -window "$id" "$3/shot.png"
  xdotool key --window "$id" m
  # A drag whose last motions the editor took too late gives a smaller box: then it is dragged again.
  tries=0
  while [ $tries -lt 4 ]; do
    tries=$((tries+1)); before=$(grep -ac "Select box" "$3/Brindlewharf/history.kbz")
    xdotool mousemove --window "$id" $4 $5; sleep 0.2
    xdotool mousedown 1; sleep 0.2
    for q in 1 2 3 4 5 6 7 8; do
      xdotool mousemove --window "$id" $(( $4 + ($6 - $4) * q / 8 )) $(( $5 + ($7 - $5) * q / 8 )); sleep 0.1
    done
    sleep 0.2; xdotool mouseup 1
    k=0
    while [ $k -lt 50 ] && [ $(grep -ac "Select box" "$3/Brindlewharf/history.kbz") -le $before ]; do
      sleep 0.1; k=$((k+1))
    done
    box=$(grep -a "Select box" "$3/Brindlewharf/history.kbz" | tail -n1)
    echo "$box" | awk '$3 == "replace" && $10 - $4 > 1.8 { ok = 1 } END { exit !ok }' && break
  done
  mark=$(size)
  xdotool key --window "$id" p
  k=0; while [ $k -lt 100 ] && [ $(size) -lt $((mark + 4 * 3 * 44100)) ]; do sleep 0.1; k=$((k+1)); done
  xdotool key --window "$id" ctrl+s
  k=0; while [ $k -lt 240 ] && [ ! -s "$9" ]; do sleep 0.25; k=$((k+1)); done
  xdotool key --window "$id" ctrl+q
fi
j=0
while [ $j -lt 100 ] && kill -0 $pid 2>/dev/null; do sleep 0.1; j=$((j+1)); done
kill $pid 2>/dev/null
wait $pid
)SH";
    ScopedDataHome home;
    const std::string raw = dir.file("device.raw"), wav = dir.file("saved.wav"), dialogs = dir.file("dialogs.txt");
    write_file(dialogs, "save " + wav + "\n");
    RunResult r = run_program({"/usr/bin/env", "xvfb-run", "-a", "-s", "-screen 0 1024x768x24", "sh", "-c", script, "sh",
                               BW_PROGRAM, sound, home.dir.path, std::to_string(x0), std::to_string(y0),
                               std::to_string(x1), std::to_string(y1), raw, wav},
                              // Under a real display SDL loads the X, D-Bus and GL client libraries,
                              // whose own blocks and threads sanitizer builds report; the editor's
                              // leaks and races are checked headless.
                              {"XDG_DATA_HOME=" + home.dir.path, "SDL_VIDEODRIVER=x11", "SDL_AUDIODRIVER=disk",
                               "BRINDLEWHARF_DIALOG_SCRIPT=" + dialogs,
                               "SDL_DISKAUDIOFILE=" + raw, "SDL_DISKAUDIODELAY=10", "ASAN_OPTIONS=detect_leaks=0",
                               "TSAN_OPTIONS=report_bugs=0"});
    const std::string out = read_file(home.dir.file("out")), err = read_file(home.dir.file("err"));
    EXPECT_EQ(r.status, 0) << r.err << err;
    EXPECT_NE(out.find("\nQuitting program.\n"), std::string::npos) << out << err;
    const std::string history = read_file(home.appdata("history.kbz"));
    const size_t line = history.find("Select box");
    ASSERT_NE(line, std::string::npos) << history;
    SCOPED_TRACE(history.substr(line, history.find('\n', line) - line)); // the box the drag made

    // The device's frames (16-bit, both channels the same): silence until P, then the selection.
    const std::vector<int16_t> frames = device_frames(raw);
    const std::vector<float> s(frames.begin(), frames.end());
    const size_t first = (size_t)(std::find_if(s.begin(), s.end(), [](float v) { return v != 0.f; }) - s.begin());
    ASSERT_LT(first + 3 * 44100 / 2, s.size()) << "the selection was not heard";
    const double inside = band_db(s, first + 22050, 44100, 1000.f), outside = band_db(s, first + 22050, 44100, 3000.f);
    printf("heard through the device under Xvfb: the tone outside %.1f dB below the one inside (%.1f dB)\n",
           inside - outside, inside);
    EXPECT_GT(inside, 100.0); // the tone at 16-bit scale, far above the device's rounding
    EXPECT_GE(inside - outside, 60.0);

    // The window: the menu strip, then the drawing area with the view at x 120 .. w - 61 and from
    // y WAVEFORM_H + 47 down to the panel (280 rows at this size).
    int w = 0, h = 0;
    uint8_t* px = load_picture(home.dir.file("shot.png").c_str(), &w, &h, 0);
    ASSERT_NE(px, nullptr) << "no screenshot";
    const int top = MENU_STRIP_H + 55 + 47, bottom = h - 280;
    ASSERT_GT(bottom - top, 50);
    EXPECT_GT(distinct_pixels(reinterpret_cast<uint32_t*>(px), w, 120, top, w - 181, bottom - top), 100u);
    free(px);
    // The saved sound is the whole synthesised sound.
    const std::vector<float> saved = read_sound_file(wav, &info);
    EXPECT_EQ(info.channels, 1);
    ASSERT_EQ(saved.size(), (size_t)n);
    EXPECT_GT(*std::max_element(saved.begin(), saved.end()), 0.1f);
}

} // namespace
