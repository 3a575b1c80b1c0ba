// A batch's worker process runs many files in turn: each output must be what the one-file
// command writes in a process of its own with one thread, whatever the files before it left behind.
#include "test_program_run.h"

#include <sndfile.h>

#include <filesystem>

namespace {

struct BatchWorkers : ProgramRun {};

TEST_F(BatchWorkers, OneWorkerWritesWhatSeparateRunsWritePastABadFile)
{
    // Sounds of different lengths, rates and channels, with a file that is no sound between them.
    write_file(out.file("bad.wav"), "not a sound");
    const int pcm16 = SF_FORMAT_PCM_16;
    const std::vector<std::string> inputs = {DEMO, tone_file("short.flac", SF_FORMAT_FLAC | pcm16, 44100, 1, 11025),
                                             out.file("bad.wav"), tone_file("mid.wav", SF_FORMAT_WAV | pcm16, 48000, 2, 14400)};
    const std::vector<std::string> good = {"demo", "short", "mid"};

    struct Case {
        const char* command;
        const char* ext;
        std::vector<std::string> options;
    };
    const Case cases[] = {
        {"analyse", "npy", {}},
        {"analyse", "png", {"--bands-per-octave", "24", "--pixels-per-second", "40", "--frequency-scale", "1.5"}},
        {"analyse", "png", {"--view", "--width", "300", "--height", "200", "--constant-time-resolution"}},
        {"resynth", "wav", {"--seed", "7", "--min-frequency", "100", "--max-frequency", "8000"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " ." + c.ext);
        const std::string folder = out.file(std::string(c.command) + "-" + c.ext + "-" +
                                            std::to_string(&c - cases) + "/");
        std::vector<std::string> words = inputs;
        words.insert(words.end(), {"-o", folder, "--jobs", "1", "--format", c.ext});
        words.insert(words.end(), c.options.begin(), c.options.end());
        std::filesystem::create_directories(folder);
        RunResult r = run(c.command, words);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.out.find("3 of 4 files written"), std::string::npos) << r.out;
        EXPECT_NE(r.err.find("1 of 4 files failed:\n  Could not read sound file '" + inputs[2]), std::string::npos)
            << r.err;
        for (const std::string& name : good) {
            const std::string input = name == "demo" ? DEMO : name == "short" ? inputs[1] : inputs[3];
            const std::string alone = out.file("alone." + std::string(c.ext));
            std::vector<std::string> one = {input, "-o", alone, "--threads", "1"}; // any thread count gives the same
            one.insert(one.end(), c.options.begin(), c.options.end());
            ASSERT_EQ(run(c.command, one).status, 0) << name;
            // Each file's closing line reaches the batch's output, the later ones too.
            EXPECT_NE(r.out.find(folder + name + "." + c.ext + ": "), std::string::npos) << r.out;
            const std::string batch = read_file(folder + name + "." + c.ext);
            EXPECT_FALSE(batch.empty()) << name;
            EXPECT_TRUE(batch == read_file(alone)) << name << " differs from its separate run";
        }
    }
}

TEST_F(BatchWorkers, AKilledWorkerLosesOnlyItsFile)
{
    // The worker is killed on its first file, a long one; a new worker writes the others.
    std::vector<std::string> inputs = {tone_file("long.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 44100 * 30)};
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) {
        write_file(out.file(name), read_file(DEMO));
        inputs.push_back(out.file(name));
    }
    std::string line = "\"$0\" analyse";
    for (const std::string& in : inputs)
        line += " '" + in + "'";
    line += " -o '" + out.file("res/") + "' --jobs 1 --format npy --quiet & batch=$!; "
            "for i in $(seq 1000); do w=$(pgrep -P $batch) && break; sleep 0.01; done; "
            "kill -KILL $w; wait $batch";
    std::filesystem::create_directories(out.file("res"));
    RunResult r = run_program({"/bin/sh", "-c", line, BW_PROGRAM}, {"XDG_DATA_HOME=" + home.dir.path});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("3 of 4 files written"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("1 of 4 files failed:\n  " + inputs[0] + ": stopped with status 137"), std::string::npos)
        << r.err;
    ASSERT_EQ(run("analyse", {DEMO, "-o", out.file("alone.npy")}).status, 0);
    for (const char* name : {"a", "b", "c"})
        EXPECT_TRUE(read_file(out.file("res/") + name + ".npy") == read_file(out.file("alone.npy"))) << name;
}

} // namespace
