// Batch commands run as the real program on real files: formats, refusals, limits and the
// configuration.
#include "test_doc.h"
#include "test_program_run.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <thread>

namespace {

// Runs `brindlewharf analyse` with a private data folder.
struct BatchTest : ProgramRun {
    RunResult analyse(std::vector<std::string> args) { return run("analyse", args, false); }
};



using BatchReplay = ProgramRun;
using BatchSynthTest = ProgramRun;

} // namespace

// The demo and a tone in every readable format and rate, with a file that is no sound, in one
// batch to a folder: the demo's picture has its size, peak-normalised; each tone lies at its row.
// (Each output is what the one-file command writes: the workers' tests.)
TEST_F(BatchTest, EveryReadableFormatInOneBatchPastABadFile)
{
    std::filesystem::create_directories(out.file("in/deep"));
    const std::vector<std::string> tones = {
        tone_file("in/t48k.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2, 48000),
        tone_file("in/deep/flac.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, 44100),
        tone_file("in/ogg.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 22050, 1, 22050),
        tone_file("in/mp3.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 2, 44100),
    };
    const std::string whole = read_file(tones[0]), bad = out.file("in/bad.wav");
    write_file(out.file("in/half.wav"), whole.substr(0, whole.find("data") + 8 + whole.size() / 2 - 22));
    write_file(bad, "not a sound");
    std::vector<std::string> args = {DEMO, bad, out.file("in/half.wav")};
    args.insert(args.end(), tones.begin(), tones.end());
    args.insert(args.end(), {"-o", out.file("res/"), "--jobs", "2", "--format", "npy"});
    std::filesystem::create_directories(out.file("res"));
    const RunResult r = analyse(args);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("demo.npy: 600 x 571 pixels"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("6 of 7 files written"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("1 of 7 files failed:\n  Could not read sound file '" + bad), std::string::npos) << r.err;
    // A file read as far as it goes is written, and its warning reaches the batch's user.
    EXPECT_NE(r.err.find("half.wav' ends early: 24000 of the 48000 frames"), std::string::npos) << r.err;
    int w = 0, h = 0;
    const std::vector<float> demo = npy(out.file("res/demo.npy"), &w, &h);
    ASSERT_EQ(demo.size(), 600u * 571u);
    EXPECT_FLOAT_EQ(std::max(*std::max_element(demo.begin(), demo.end()), -*std::min_element(demo.begin(), demo.end())), 1.f);
    for (const char* name : {"t48k", "flac", "ogg", "mp3"}) {
        const std::vector<float> v = npy(out.file("res/") + name + ".npy", &w, &h);
        ASSERT_EQ(h, 571) << name;
        EXPECT_NEAR(w, 100, 5) << name; // one second at 100 columns per second
        // 440 Hz at 27.5..20000 Hz, 60 bands per octave: 4 octaves above the bottom row.
        EXPECT_NEAR(brightest_row(v, w, h), 570 - 240, 1) << name;
    }
    // Many pictures to sounds; single pictures by their extensions.
    EXPECT_EQ(run("synth", {out.file("res/demo.npy"), out.file("res/flac.npy"), "-o", out.file("res")}).status, 0);
    EXPECT_TRUE(file_exists(out.file("res/demo.wav")) && file_exists(out.file("res/flac.wav")));
    ASSERT_EQ(analyse({tones[1], "-o", out.file("t.bmp"), "--quiet"}).status, 0);
    ASSERT_EQ(analyse({tones[1], "-o", out.file("t.png"), "--quiet"}).status, 0);
    EXPECT_EQ(read_file(out.file("t.bmp")).substr(0, 2), "BM");
    EXPECT_EQ(read_file(out.file("t.png")).substr(1, 3), "PNG");
}

// Every batch command's refusals: 1 for a file that cannot be read or written, 2 for bad usage,
// with one line saying what (the file's name, the limit), and no output file left behind. (The
// readers' own refusals are the file readers' table; the shared range limits the next test's.)
TEST_F(BatchTest, BadInputAndUsageAreRefusedInOneLineAndWriteNothing)
{
    const std::string wav = tone_file("ok.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 44100);
    const std::string tiny = tone_file("tiny.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 100);
    write_file(out.file("text.wav"), "this is not a sound at all\n");
    write_file(out.file("text.png"), "not a picture");
    write_file(out.file("empty.kbz"), "// nothing to see\n");
    // A WAV whose header claims 2,000,000,000 Hz (resampled "whole seconds at the higher rate",
    // it asked for more than 20 GB).
    std::string fast = "RIFF" + std::string("\x8c\0\0\0", 4) + "WAVEfmt " + std::string("\x10\0\0\0\x01\0\x01\0", 8);
    const uint32_t fields[2] = {2000000000u, 4000000000u}; // rate, bytes per second
    fast.append(reinterpret_cast<const char*>(fields), 8);
    write_file(out.file("fast.wav"), fast + std::string("\x02\0\x10\0", 4) + "data" + std::string("\x64\0\0\0", 4) +
                                         std::string(100, '\x10'));
    for (const auto& [name, value] : {std::pair{"good.npy", 1.f}, {"bad.npy", NAN}}) {
        Plane p = plane_of(20, 10, [v = value](int r, int c) { return r == 3 && c > 5 && c < 15 ? v : 0.f; });
        ASSERT_EQ(save_npy(out.file(name).c_str(), p, 20, 10), 1);
        free2d(p, 10);
    }
    const std::string good = out.file("good.npy"), x_npy = out.file("x.npy"), x_png = out.file("x.png"),
                      x_wav = out.file("x.wav"), kbz = out.file("empty.kbz");
    const char* pps_limit = "above the largest supported time resolution, 2400.02 px/s";
    const struct {
        const char* command;
        std::vector<std::string> args;
        int status;
        std::string said; // a part of the message
        int lines = 1;
    } cases[] = {
        {"analyse", {out.file("text.wav"), "-o", x_npy}, 1, "text.wav"},
        {"analyse", {tiny, "-o", x_npy}, 1, "tiny.wav"},
        {"analyse", {wav, "-o", x_npy, "--min-frequency", "20000", "--max-frequency", "100"}, 1, "ok.wav"},
        {"analyse", {wav, "-o", out.file("no/such/folder/x.npy")}, 1, "x.npy"},
        {"analyse", {out.file("fast.wav"), "-o", x_npy}, 1,
         "fast.wav': 2e+09 Hz is above the largest supported sample rate, 768000 Hz"},
        {"analyse", {wav}, 2, "-o OUTPUT"},
        {"analyse", {wav, "-o", out.file("x.jpg")}, 2, "x.jpg"},
        {"analyse", {wav, "-o", x_npy, "--frobnicate"}, 2, "--frobnicate"},
        {"analyse", {wav, "-o", x_npy, "--threads", "many"}, 2, "many"},
        {"analyse", {wav, "-o", x_npy, "--left", "--right"}, 2, ""},
        {"analyse", {wav, wav, "-o", x_npy}, 2, ""},                          // several inputs, one output file
        {"analyse", {wav, wav, "-o", out.path + "/", "--format", "jpg"}, 2, "jpg"},
        {"analyse", {wav, "-o", x_npy, "--format", "png"}, 2, "png"},        // a kind the output file does not have
        {"analyse", {wav, "-o", x_npy, "--view"}, 2, ""},                    // a readable picture is no .npy
        {"analyse", {wav, "-o", x_png, "--width", "300"}, 2, "--view"},
        {"analyse", {wav, "-o", x_png, "--picture-colours"}, 2, "--view"},
        {"analyse", {wav, "-o", x_png, "--view", "--width", "0"}, 2, "width"},
        {"analyse", {wav, "-o", x_png, "--view", "--height", "tall"}, 2, "tall"},
        {"analyse", {wav, "-o", x_png, "--view", "--height", "100000"}, 2, "height"},
        {"analyse", {wav, "-o", x_png, "--view", "--width", "300.5"}, 2, "300.5"},
        {"analyse", {wav, "-o", out.file("dir/"), "--view", "--format", "npy"}, 2, ""},
        {"synth", {out.file("bad.npy"), "-o", x_wav}, 1, "bad.npy"},
        {"synth", {out.file("text.png"), "-o", x_wav}, 1, "text.png: not a PNG, JPEG, BMP, GIF, TIFF or WebP picture"},
        {"synth", {out.file("missing.npy"), "-o", x_wav}, 1, "missing.npy"},
        {"synth", {good, "-o", out.file("x.mp3")}, 2, "x.mp3"},
        {"synth", {good, "-o", x_wav, "--seed"}, 2, "--seed"},
        // A time resolution of 5e8 overflowed the noise table's set-up; 1e9 wrote an empty sound.
        {"synth", {good, "-o", x_wav, "--pixels-per-second", "5e8"}, 2, pps_limit},
        {"synth", {good, "-o", x_wav, "--pixels-per-second", "1e9"}, 2, pps_limit},
        {"synth", {good, "-o", x_wav, "--min-frequency", "0"}, 2, "0 Hz"},
        {"synth", {good, "-o", x_wav, "--seed", "1e30"}, 2, "above the largest supported seed, 4294967295"},
        {"resynth", {DEMO, "-o", out.file("no/dir/x.wav")}, 1, "x.wav"},
        {"replay", {out.file("missing.kbz"), "-o", x_png}, 1, "missing.kbz"},
        {"replay", {kbz, "-o", x_png}, 1, "empty.kbz"},
        {"replay", {kbz, "-o", out.file("no/dir/x.png")}, 1, "x.png"},
        {"replay", {kbz}, 2, "-o OUTPUT"},
        {"replay", {kbz, "-o", out.file("x.txt")}, 2, "x.txt"},
        {"replay", {kbz, "-o", x_png, "--threads", "0.5"}, 2, "0.5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + c.args.back());
        const RunResult r = run(c.command, c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.lines) << r.err;
        for (const char* name : {"x.npy", "x.png", "x.wav", "x.jpg", "x.mp3", "x.txt", "dir"})
            EXPECT_FALSE(file_exists(out.file(name))) << name;
    }
}

TEST_F(BatchTest, SettingsOutsideTheirRangesAreRefusedAlikeEverywhere)
{
    // Each value on the command line (exit 2, one line with the limit), in config.txt (said, the
    // default kept: the default picture size) and in a project (said, the line ignored).
    std::string wav = tone_file("r.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 4410);
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
    const std::vector<float> v = npy(out.file("h.npy"), &w, &h);
    ASSERT_EQ(v.size(), (size_t)w * h);
    EXPECT_TRUE(std::all_of(v.begin(), v.end(), [](float x) { return std::isfinite(x); }));
    EXPECT_FLOAT_EQ(*std::max_element(v.begin(), v.end()), 1.f);

    r = run("resynth", {out.file("huge.wav"), "-o", out.file("h.wav"), "--seed", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    SF_INFO info;
    const std::vector<float> s = read_sound_file(out.file("h.wav"), &info);
    EXPECT_NEAR(std::max(*std::max_element(s.begin(), s.end()), -*std::min_element(s.begin(), s.end())), 1.f, 0.01f);
}

// Work beyond the memory (an address-space limit, as on a machine with that much) is refused
// before it starts, saying what it needs, and writes nothing: an analysis of 20 s at 2400 px/s
// and 1000 bands per octave (1.8 GB under 1 GB); a synthesis of 2 x 100,000 pixels, whose block
// width and noise table grow with the height to far more than 8 GB. A replay of 30 layers of
// 32 MB under 768 MB refuses the layers that do not fit one by one (the out-of-memory path used
// to recurse until the stack overflowed).
TEST_F(BatchTest, WorkBeyondTheMemoryIsRefusedBeforeItStarts)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
#endif
    const std::string wav = tone_file("long.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 20 * 44100);
    Plane tall = plane_of(2, 100000, [](int r, int) { return r == 50000 ? 1.f : 0.f; });
    ASSERT_EQ(save_npy(out.file("tall.npy").c_str(), tall, 2, 100000), 1);
    free2d(tall, 100000);
    std::string text = "Clear image\nDimensions 4096 px x 2048 px\n";
    for (int i = 0; i < 30; i++)
        text += "New layer \"l\"\n";
    write_file(out.file("big.kbz"), text);
    const std::string analysing = "': analysing 20 s of sound into 48000 x 9507 pixels needs ";
    const struct {
        const char* command;
        std::vector<std::string> args;
        long kb;
        int status;
        std::string said;
    } cases[] = {
        {"analyse", {wav, "-o", out.file("l.npy"), "--pixels-per-second", "2400", "--bands-per-octave", "1000"},
         1L << 20, 1, "Cannot analyse '" + wav + analysing},
        {"resynth", {wav, "-o", out.file("l.wav"), "--pixels-per-second", "2400", "--bands-per-octave", "1000"},
         1L << 20, 1, "Cannot analyse '" + wav + analysing},
        {"synth", {out.file("tall.npy"), "-o", out.file("t.wav")}, 8L << 20, 1,
         "Cannot synthesise: synthesising 2 x 100000 pixels in blocks of 40400 columns needs "},
        {"replay", {out.file("big.kbz"), "-o", out.file("big.npy")}, 768L << 10, 0, "a layer of 4096 x 2048 pixels needs "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const RunResult r = run_limited(c.kb, c.command, c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("MB of memory"), std::string::npos) << r.err;
        EXPECT_EQ(file_exists(c.args[2]), c.status == 0);
    }
}

// Batch commands read the configuration and never write it: settings only the editor writes
// (the tool knobs), stored toggles and lines of the user's own survive byte for byte, also
// with eight commands at once; a missing file is not created.
TEST_F(BatchTest, TheConfigurationIsReadNeverWritten)
{
    const std::string wav = tone_file("c.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 4410);
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

// An output that would replace its own input, or that is a folder, is refused for that input:
// the input is kept and the folder left empty rather than filled by a batch of its own.
TEST_F(BatchTest, OutputsThatWouldReplaceTheirInputOrAreFoldersAreRefused)
{
    std::filesystem::create_directories(out.file("in"));
    std::filesystem::create_directories(out.file("res/tone.png"));
    const std::string demo = out.file("in/demo.wav"), tone = tone_file("tone.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 4410);
    write_file(demo, read_file(DEMO));
    RunResult r = run("resynth", {demo, "-o", out.file("in")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("would replace it"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(demo), read_file(DEMO));
    r = analyse({tone, demo, "-o", out.file("res/")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("its output " + out.file("res/tone.png") + " is a folder"), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(out.file("res/tone.png")));
}

// The replay and synthesis commands run as the real program: an analysed project back to its
// float image, to the same snapshot and to sound; hand-written history scripts; the rates of sound
// blocks; synth from a float image and lossless resynth. (Refusals and work beyond the memory are
// the analyse tests' tables: the batch commands share their option parsing and output writers.)

TEST_F(BatchReplay, AnalysedProjectReplaysToEveryOutput)
{
    const std::string kbz = out.file("demo.kbz"), direct = out.file("direct.npy");
    RunResult r = run("analyse", {DEMO, "-o", kbz});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(run("analyse", {DEMO, "-o", direct}).status, 0);
    EXPECT_EQ(read_file(kbz).rfind("Brindlewharf Archive v1.2\nTitle \"demo.wav\"\n", 0), 0u);

    // The snapshot holds the analysis bit for bit, and writes itself again unchanged.
    r = run("replay", {kbz, "-o", out.file("back.npy")});
    ASSERT_EQ(r.status, 0) << r.err;
    int w1 = 0, h1 = 0, w2 = 0, h2 = 0;
    const std::vector<float> a = npy(direct, &w1, &h1), b = npy(out.file("back.npy"), &w2, &h2);
    ASSERT_EQ(std::vector<int>({w1, h1, w2, h2}), std::vector<int>({600, 571, 600, 571}));
    EXPECT_EQ(memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
    ASSERT_EQ(run("replay", {kbz, "-o", out.file("again.kbz")}).status, 0);
    EXPECT_EQ(read_file(out.file("again.kbz")), read_file(kbz));

    // Noise synthesis, reproducible with a seed.
    ASSERT_EQ(run("replay", {kbz, "-o", out.file("n1.wav"), "--seed", "5"}).status, 0);
    ASSERT_EQ(run("replay", {kbz, "-o", out.file("n2.wav"), "--seed", "5", "--threads", "1"}).status, 0);
    EXPECT_EQ(read_file(out.file("n1.wav")), read_file(out.file("n2.wav")));
    SF_INFO info;
    EXPECT_NEAR((double)read_sound_file(out.file("n1.wav"), &info).size(), 6.0 * 44100, 500);

    // A sound block at 1 Hz is 3.7 days at 44100 Hz, longer than any sound the program holds (it
    // asked for a transform of 2.1e9 points); 800 kHz is beyond what sound files carry. Both are
    // said and the sound is taken as it is.
    const std::string text = read_file(kbz);
    const size_t at = text.find("Samplerate 44100 Hz\n");
    ASSERT_NE(at, std::string::npos);
    for (const auto& [line, said] : {std::pair{"Samplerate 1 Hz\n", "264600 samples at 1 Hz would be 11668860000 samples at "
                                                                  "44100 Hz, above the largest supported, 1048575999"},
                                     {"Samplerate 800000 Hz\n", "800000 Hz is above the largest supported sample rate, 768000 Hz"}}) {
        write_file(out.file("r.kbz"), std::string(text).replace(at, 20, line));
        r = run("replay", {out.file("r.kbz"), "-o", out.file("r.npy")});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
    }
}

TEST_F(BatchReplay, HandWrittenScriptsAreCarriedOut)
{
    write_file(out.file("script.kbz"), "// a script\n"
                                       "Clear image\nTime resolution 50 px/s\nDimensions 2 sec x 40 px\n"
                                       "New layer \"a\"\nOperation fill pink\nMultiply layer by 0.5\n\n"
                                       "New layer \"b\"\nDraw rectangle\nIntensity 1\n"
                                       "Rectangle start 0 px x 0 px\nRectangle end 10 px x 10 px\n\n"
                                       "Quit\nSelected layer 0\nMultiply layer by 100\n");
    RunResult r = run("replay", {out.file("script.kbz"), "-o", out.file("s.npy")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("2 layers"), std::string::npos) << r.out;
    int w = 0, h = 0;
    const std::vector<float> v = npy(out.file("s.npy"), &w, &h);
    ASSERT_TRUE(w == 101 && h == 40) << w << " x " << h; // 2 s at 50 px/s, and the last column
    EXPECT_EQ(v, std::vector<float>(101 * 40, 0.5f)); // the empty layer above adds nothing; nothing after Quit
}

TEST_F(BatchSynthTest, FloatImageBecomesAToneAtItsRowAndTime)
{
    // 571 rows at the defaults: row 330 is 440 Hz; 200 columns at 100 px/s are 2 s.
    const std::string img = out.file("tone.npy");
    Plane rows = plane_of(200, 571, [](int r, int c) { return r == 330 && c >= 50 && c < 150 ? 1.f : 0.f; });
    ASSERT_EQ(save_npy(img.c_str(), rows, 200, 571), 1);
    free2d(rows, 571);
    std::string wav = out.file("tone.wav");
    RunResult r = run("synth", {img, "-o", wav, "--seed", "7"});
    ASSERT_EQ(r.status, 0) << r.err;
    SF_INFO info;
    std::vector<float> s = read_sound_file(wav, &info);
    EXPECT_TRUE(info.samplerate == 44100 && info.channels == 1 && std::abs(info.frames - 88200) <= 100) << info.frames;
    // Silent outside columns 50..149 (0.5 s .. 1.5 s), loud inside.
    double inside = 0, outside = 0;
    for (size_t i = 0; i < s.size(); i++) {
        const bool in = i > 23000 && i < 65000, out_ = i < 19000 || i > 69000;
        if (in)
            inside = std::max(inside, (double)std::fabs(s[i]));
        if (out_)
            outside = std::max(outside, (double)std::fabs(s[i]));
    }
    EXPECT_GT(inside, 0.5);
    EXPECT_LT(outside, 0.05 * inside);
    // Its analysis puts the energy at row 330.
    std::string back = out.file("back.npy");
    ASSERT_EQ(run("analyse", {wav, "-o", back}).status, 0);
    int w = 0, h = 0;
    const std::vector<float> v = npy(back, &w, &h);
    ASSERT_EQ(v.size(), (size_t)w * h);
    EXPECT_NEAR(brightest_row(v, w, h), 330, 2);
}

TEST_F(BatchSynthTest, LosslessResynthGivesBackTheDemo)
{
    std::string wav = out.file("lossless.wav");
    RunResult r = run("resynth", {DEMO, "-o", wav, "--lossless", "--unnormalised", "--pcm24"});
    ASSERT_EQ(r.status, 0) << r.err;
    SF_INFO a, b;
    std::vector<float> original = read_sound_file(DEMO, &a), again = read_sound_file(wav, &b);
    EXPECT_EQ((b.format & SF_FORMAT_SUBMASK), SF_FORMAT_PCM_24);
    ASSERT_GE(again.size(), original.size() - 10);
    EXPECT_GT(correlation(original, again), 0.99);
}
