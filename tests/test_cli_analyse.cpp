// Batch commands run as the real program on real files.
#include "files/npy.h"
#include "platform/util.h"
#include "test_program_run.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

// Runs `brindlewharf analyse` with a private data folder.
struct BatchTest : ProgramRun {
    RunResult analyse(std::vector<std::string> args) { return run("analyse", args, false); }
    // Writes a sound file of `frames` frames of a sine through libsndfile.
    std::string sound(const std::string& name, int format, int rate, int channels, int frames)
    {
        const std::vector<float> tone = sine_wave(440.f, frames, rate);
        std::vector<float> data((size_t)frames * channels);
        for (size_t i = 0; i < data.size(); i++)
            data[i] = tone[i / channels];
        write_test_sound(out.file(name), format, channels, rate, data);
        return out.file(name);
    }
};

// The brightest row of an analysis and its mean value.
int brightest_row(Plane rows, int w, int h)
{
    int best = 0;
    double best_sum = -1;
    for (int r = 0; r < h; r++) {
        double sum = 0;
        for (int c = 0; c < w; c++)
            sum += rows[r][c];
        if (sum > best_sum) {
            best_sum = sum;
            best = r;
        }
    }
    return best;
}

} // namespace

TEST_F(BatchTest, DemoBecomesAPeakNormalisedNpyOfTheExpectedSize)
{
    std::string npy = out.file("demo.npy");
    RunResult r = analyse({DEMO, "-o", npy, "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("600 x 571 pixels"), std::string::npos) << r.out;
    int w = 0, h = 0;
    const std::vector<float> v = ProgramRun::npy(npy, &w, &h);
    EXPECT_EQ(w, 600);
    EXPECT_EQ(h, 571);
    ASSERT_FALSE(v.empty());
    EXPECT_FLOAT_EQ(std::max(*std::max_element(v.begin(), v.end()), -*std::min_element(v.begin(), v.end())), 1.f);

    // The same analysis with one thread is the same file, byte for byte.
    std::string one = out.file("one.npy");
    ASSERT_EQ(analyse({DEMO, "-o", one, "--threads", "1", "--quiet"}).status, 0);
    EXPECT_EQ(read_file(one), read_file(npy));
}

TEST_F(BatchTest, EveryReadableFormatAndRateGivesTheToneAtItsRow)
{
    // 440 Hz at 27.5..20000 Hz, 60 bands per octave: 4 octaves above the bottom row.
    const int expected_row = 570 - 240;
    std::vector<std::string> inputs = {
        sound("tone48k.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2, 48000),
        sound("tone.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, 44100),
        sound("tone.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 22050, 1, 22050),
        sound("tone.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 2, 44100),
    };
    for (const std::string& in : inputs) {
        std::string npy = in + ".npy";
        RunResult r = analyse({in, "-o", npy, "--quiet"});
        ASSERT_EQ(r.status, 0) << in << ": " << r.err;
        int w = 0, h = 0;
        Plane rows = load_npy(npy.c_str(), &w, &h);
        ASSERT_NE(rows, nullptr) << in;
        EXPECT_EQ(h, 571);
        EXPECT_NEAR(w, 100, 5) << in; // one second at 100 columns per second
        EXPECT_NEAR(brightest_row(rows, w, h), expected_row, 1) << in;
        free2d(rows, h);
    }
    // A WAV cut to half its data is analysed as far as it goes, with a warning naming it.
    const std::string whole = read_file(inputs[0]);
    write_file(out.file("half.wav"), whole.substr(0, whole.find("data") + 8 + whole.size() / 2 - 22));
    RunResult half = analyse({out.file("half.wav"), "-o", out.file("half.npy"), "--quiet"});
    EXPECT_EQ(half.status, 0) << half.err;
    EXPECT_NE(half.err.find("half.wav' ends early: 24000 of the 48000 frames"), std::string::npos) << half.err;
    // Pictures: BMP and PNG by extension.
    ASSERT_EQ(analyse({inputs[1], "-o", out.file("t.bmp"), "--quiet"}).status, 0);
    ASSERT_EQ(analyse({inputs[1], "-o", out.file("t.png"), "--quiet"}).status, 0);
    EXPECT_EQ(read_file(out.file("t.bmp")).substr(0, 2), "BM");
    EXPECT_EQ(read_file(out.file("t.png")).substr(1, 3), "PNG");
}

TEST_F(BatchTest, BadInputIsRefusedWithOneLineAndNothingWritten)
{
    // The ways a sound file can be unreadable are the sound reader's tests; here one of them, a
    // missing file, a sound too short for a column and settings that give no picture.
    std::string wav = sound("ok.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 44100);
    write_file(out.file("text.wav"), "this is not a sound at all\n");
    std::string tiny = sound("tiny.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 100);

    struct Case {
        std::vector<std::string> args;
        std::string names; // the file the message must name
    };
    std::string target = out.file("result.npy");
    std::vector<Case> cases = {
        {{out.file("text.wav")}, "text.wav"},
        {{tiny}, "tiny.wav"},
        {{out.file("missing.wav")}, "missing.wav"},
        {{wav, "--min-frequency", "20000", "--max-frequency", "100"}, "ok.wav"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", target, "--quiet"});
        RunResult r = analyse(args);
        EXPECT_EQ(r.status, 1) << c.names << ": " << r.err;
        EXPECT_NE(r.err.find(c.names), std::string::npos) << r.err;
        EXPECT_FALSE(file_exists(target)) << c.names;
    }
    RunResult r = analyse({wav, "-o", out.file("no/such/folder/x.npy")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("x.npy"), std::string::npos);
}

TEST_F(BatchTest, BadUsageExitsWithTwo)
{
    std::string wav = sound("u.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 4410);
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {wav},                                          // no output
             {wav, "-o", out.file("x.jpg")},                 // unknown output kind
             {wav, "-o", out.file("x.npy"), "--frobnicate"}, // unknown option
             {wav, "-o", out.file("x.npy"), "--threads", "many"},
             {wav, "-o", out.file("x.npy"), "--left", "--right"},
             {wav, wav, "-o", out.file("x.npy")},                  // several inputs, one output file
             {wav, wav, "-o", out.path + "/", "--format", "jpg"}, // an unknown kind for the folder
             {wav, "-o", out.file("x.npy"), "--format", "png"},    // a kind the output file does not have
         }) {
        RunResult r = analyse(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_FALSE(r.err.empty());
    }
}

TEST_F(BatchTest, SettingsOutsideTheirRangesAreRefusedAlikeEverywhere)
{
    // Each value on the command line (exit 2, one line with the limit), in config.txt (said, the
    // default kept: the default picture size) and in a project (said, the line ignored).
    std::string wav = sound("r.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 4410);
    const std::string npy = out.file("r.npy"), config = home.appdata("config.txt");
    mkdir((home.dir.path + "/Brindlewharf").c_str(), 0700);
    const struct {
        const char *option, *config, *project, *value, *limit;
    } cases[] = {
        {"--max-frequency", "max_frequency", "Analysis frequency range 27.5 Hz - %s Hz", "1e9",
         "1e+09 Hz is above the largest supported frequency, 26000 Hz"},
        {"--min-frequency", "min_frequency", "Frequency range %s Hz - 20000 Hz", "0",
         "0 Hz is below the smallest supported frequency, 0.02 Hz"},
        {"--pixels-per-second", "pixels_per_second", "Time resolution %s px/s", "5e8",
         "5e+08 px/s is above the largest supported time resolution, 2400.02 px/s"},
        {"--transition", "max_time_res_for_min_bpo", "Analysis transition time resolution %s", "-3",
         "below the smallest supported time resolution, 0.01 px/s"},
        {"--bands-per-octave", "bands_per_octave", "Analysis pitch resolution %s", "1e5",
         "above the largest supported pitch resolution, 1000 bands per octave"},
        {"--min-bpo", "min_bpo", "Analysis minimum pitch resolution %s", "0", "smallest supported pitch resolution"},
        {"--frequency-scale", nullptr, "Frequency scale %s", "2.5", "above the largest supported frequency scale, 2"},
        {"--threads", nullptr, nullptr, "0", "below the smallest supported thread count, 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        write_file(config, "");
        remove(npy.c_str());
        RunResult r = analyse({wav, "-o", npy, c.option, c.value, "--quiet"});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.limit), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(file_exists(npy));
        if (c.config) {
            write_file(config, std::string(c.config) + " = " + c.value + "\n");
            r = analyse({wav, "-o", npy, "--quiet"});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.err.find(c.limit), std::string::npos) << r.err;
            EXPECT_NE(r.out.find("x 571 pixels"), std::string::npos) << r.out;
        }
        char line[200];
        snprintf(line, sizeof line, c.project ? c.project : "Undo", c.value);
        write_file(out.file("p.kbz"), std::string("Clear image\n") + line + "\nDimensions 10 px x 10 px\nNew layer \"a\"\n");
        r = run("replay", {out.file("p.kbz"), "-o", out.file("p.npy")});
        EXPECT_EQ(r.status, 0) << r.err;
        if (c.project) {
            EXPECT_NE(r.err.find(c.limit), std::string::npos) << r.err;
        }
    }
    // Two frequencies in range that make no range: the defaults stay.
    write_file(config, "min_frequency = 9000\nmax_frequency = 100\n");
    RunResult r = analyse({wav, "-o", npy, "--quiet"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("27.5 Hz - 20000 Hz are kept"), std::string::npos) << r.err;
}

TEST_F(BatchTest, SampleRatesBeyondSoundFilesAreRefusedAtOnce)
{
    // A 16-bit mono WAV of 50 samples whose header claims 2,000,000,000 Hz (resampled "whole
    // seconds at the higher rate", it asked for more than 20 GB).
    std::string wav = "RIFF" + std::string("\x8c\0\0\0", 4) + "WAVEfmt " + std::string("\x10\0\0\0\x01\0\x01\0", 8);
    const uint32_t fields[2] = {2000000000u, 4000000000u}; // rate, bytes per second
    wav.append(reinterpret_cast<const char*>(fields), 8);
    wav += std::string("\x02\0\x10\0", 4) + "data" + std::string("\x64\0\0\0", 4) + std::string(100, '\x10');
    write_file(out.file("fast.wav"), wav);
    RunResult r = analyse({out.file("fast.wav"), "-o", out.file("f.npy"), "--quiet"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("fast.wav': 2e+09 Hz is above the largest supported sample rate, 768000 Hz"), std::string::npos)
        << r.err;
    EXPECT_FALSE(file_exists(out.file("f.npy")));
}

TEST_F(BatchTest, AHugeSampleStillGivesAFiniteAnalysisAndSound)
{
    // One sample of 1.5e29 in a float WAV (below the 1e30 guard) made every value NaN: a black
    // picture and a silent resynthesis, with exit 0.
    std::vector<float> tone = sine_wave(440.f, 22050);
    tone[10000] = 1.5e29f;
    ASSERT_TRUE(write_test_sound(out.file("huge.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 44100, tone));
    RunResult r = analyse({out.file("huge.wav"), "-o", out.file("h.npy"), "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    int w = 0, h = 0;
    const std::vector<float> v = ProgramRun::npy(out.file("h.npy"), &w, &h);
    ASSERT_EQ(v.size(), (size_t)w * h);
    EXPECT_TRUE(std::all_of(v.begin(), v.end(), [](float x) { return std::isfinite(x); }));
    EXPECT_FLOAT_EQ(*std::max_element(v.begin(), v.end()), 1.f);

    r = run("resynth", {out.file("huge.wav"), "-o", out.file("h.wav"), "--seed", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    SF_INFO info;
    const std::vector<float> s = read_sound_file(out.file("h.wav"), &info);
    float peak = 0.f;
    for (float x : s)
        peak = std::max(peak, std::fabs(x));
    EXPECT_NEAR(peak, 1.f, 0.01f);
}

TEST_F(BatchTest, AnAnalysisBeyondTheMemoryIsRefusedBeforeItStarts)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
#endif
    // 20 s at 2400 px/s and 1000 bands per octave: a picture of 1.8 GB, under a 1 GB limit.
    std::string wav = sound("long.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 20 * 44100);
    const std::vector<std::string> fine = {"--pixels-per-second", "2400", "--bands-per-octave", "1000"};
    for (const char* command : {"analyse", "resynth"}) {
        SCOPED_TRACE(command);
        const std::string target = out.file(std::string(command) == "analyse" ? "l.npy" : "l.wav");
        std::vector<std::string> args = {wav, "-o", target};
        args.insert(args.end(), fine.begin(), fine.end());
        RunResult r = run_limited(1L << 20, command, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Cannot analyse '" + wav + "': analysing 20 s of sound into 48000 x 9507 pixels needs"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("MB of memory and"), std::string::npos) << r.err;
        EXPECT_FALSE(file_exists(target));
    }
}

// Batch commands read the configuration and never write it: settings only the editor writes
// (the tool knobs), stored toggles and lines of the user's own survive byte for byte, also
// with eight commands at once; a missing file is not created.
TEST_F(BatchTest, TheConfigurationIsReadNeverWritten)
{
    const std::string wav = sound("c.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 4410);
    const std::string config = home.appdata("config.txt");
    const std::string text = "pixels_per_second = 50\ntool_width = 33\ntool_intensity = 0.4\n"
                             "linear_knob_control = 1\n# the user's own note\n";
    std::filesystem::create_directories(home.dir.path + "/Brindlewharf");
    write_file(config, text);

    RunResult r = analyse({wav, "-o", out.file("c.npy"), "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("5 x "), std::string::npos) << r.out; // 0.1 s at the configured 50 px/s
    EXPECT_EQ(read_file(config), text);

    std::vector<std::thread> runs;
    std::vector<int> status(8, -1);
    for (int i = 0; i < 8; i++)
        runs.emplace_back([&, i] { status[i] = analyse({wav, "-o", out.file(std::to_string(i) + ".npy"), "--quiet"}).status; });
    for (std::thread& t : runs)
        t.join();
    EXPECT_EQ(status, std::vector<int>(8, 0));
    EXPECT_EQ(read_file(config), text);
    std::vector<std::string> names; // no temporary file either
    for (const auto& e : std::filesystem::directory_iterator(home.dir.path + "/Brindlewharf"))
        names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"config.txt"});

    std::filesystem::remove_all(home.dir.path + "/Brindlewharf");
    r = analyse({wav, "-o", out.file("d.npy"), "--quiet"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(std::filesystem::exists(home.dir.path + "/Brindlewharf"));
}

TEST_F(BatchTest, ManyFilesGoToAFolderPastABadOne)
{
    // Two sounds and one that is not, in folders of their own: the outputs take the base names.
    std::filesystem::create_directories(out.file("in/deep"));
    std::filesystem::create_directories(out.file("res"));
    const std::string tone = sound("in/deep/tone.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, 22050);
    const std::string demo = out.file("in/demo.wav"), bad = out.file("in/bad.wav");
    write_file(demo, read_file(DEMO));
    write_file(bad, "not a sound");
    RunResult r = analyse({demo, bad, tone, "-o", out.file("res/"), "--jobs", "2", "--format", "npy"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("2 of 3 files written"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("1 of 3 files failed:\n  Could not read sound file '" + bad), std::string::npos) << r.err;

    // Each output is what the one-file command writes.
    ASSERT_EQ(analyse({tone, "-o", out.file("alone.npy"), "--quiet"}).status, 0);
    EXPECT_EQ(read_file(out.file("res/tone.npy")), read_file(out.file("alone.npy")));
    int w = 0, h = 0;
    EXPECT_EQ(ProgramRun::npy(out.file("res/demo.npy"), &w, &h).size(), 600u * 571u);
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(out.file("res")))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"demo.npy", "tone.npy"}));

    // All good: status 0. An output that would replace its own input is refused, the input kept.
    EXPECT_EQ(run("synth", {out.file("res/demo.npy"), out.file("res/tone.npy"), "-o", out.file("res")}).status, 0);
    EXPECT_TRUE(file_exists(out.file("res/demo.wav")) && file_exists(out.file("res/tone.wav")));
    r = run("resynth", {demo, "-o", out.file("in")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("would replace it"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(demo), read_file(DEMO));
    // An output that is a folder is refused too, rather than filled by a batch of its own.
    std::filesystem::create_directories(out.file("res/tone.png"));
    r = analyse({tone, demo, "-o", out.file("res/")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("its output " + out.file("res/tone.png") + " is a folder"), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(out.file("res/tone.png")));
}
