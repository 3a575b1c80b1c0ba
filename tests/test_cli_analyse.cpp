// Batch commands run as the real program on real files.
#include "files/npy.h"
#include "platform/util.h"
#include "test_program_run.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
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
    // Pictures: BMP and PNG by extension.
    ASSERT_EQ(analyse({inputs[1], "-o", out.file("t.bmp"), "--quiet"}).status, 0);
    ASSERT_EQ(analyse({inputs[1], "-o", out.file("t.png"), "--quiet"}).status, 0);
    EXPECT_EQ(read_file(out.file("t.bmp")).substr(0, 2), "BM");
    EXPECT_EQ(read_file(out.file("t.png")).substr(1, 3), "PNG");
}

TEST_F(BatchTest, BadInputIsRefusedWithOneLineAndNothingWritten)
{
    std::string wav = sound("ok.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 44100);
    std::string whole = read_file(wav);
    write_file(out.file("empty.wav"), "");
    write_file(out.file("cut.wav"), whole.substr(0, 30));
    write_file(out.file("text.wav"), "this is not a sound at all\n");
    write_file(out.file("text.mp3"), "this is not a sound at all either\n");
    std::string silent = sound("zero.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 0);
    std::string tiny = sound("tiny.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 100);

    struct Case {
        std::vector<std::string> args;
        std::string names; // the file the message must name
    };
    std::string target = out.file("result.npy");
    std::vector<Case> cases = {
        {{out.file("empty.wav")}, "empty.wav"},
        {{out.file("cut.wav")}, "cut.wav"},
        {{out.file("text.wav")}, "text.wav"},
        {{out.file("text.mp3")}, "text.mp3"},
        {{silent}, "zero.wav"},
        {{tiny}, "tiny.wav"},
        {{out.file("missing.wav")}, "missing.wav"},
        {{wav, "--min-frequency", "20000", "--max-frequency", "100"}, "ok.wav"},
        {{wav, "--bands-per-octave", "0"}, "ok.wav"},
        {{wav, "--pixels-per-second", "-3"}, "ok.wav"},
        {{wav, "--frequency-scale", "2.5"}, "ok.wav"},
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
         }) {
        RunResult r = analyse(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_FALSE(r.err.empty());
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
