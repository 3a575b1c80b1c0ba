// Batch synthesis commands run as the real program: synth from pictures and float images,
// resynth with noise and losslessly, and their refusals.
#include "files/npy.h"
#include "platform/util.h"
#include "test_program_run.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

struct BatchSynthTest : ProgramRun {
    // A float image with one lit row (a steady tone) between two columns.
    std::string tone_image(const std::string& name, int w, int h, int row, float value)
    {
        Plane rows = static_cast<Plane>(wrcalloc(h, sizeof(float*)));
        for (int r = 0; r < h; r++) {
            rows[r] = static_cast<float*>(wrcalloc(w, sizeof(float)));
            if (r == row)
                for (int c = w / 4; c < 3 * w / 4; c++)
                    rows[r][c] = value;
        }
        std::string path = out.file(name);
        EXPECT_EQ(save_npy(path.c_str(), rows, w, h), 1);
        free2d(rows, h);
        return path;
    }
};

} // namespace

TEST_F(BatchSynthTest, FloatImageBecomesAToneAtItsRowAndTime)
{
    // 571 rows at the defaults: row 330 is 440 Hz; 200 columns at 100 px/s are 2 s.
    std::string npy = tone_image("tone.npy", 200, 571, 330, 1.f);
    std::string wav = out.file("tone.wav");
    RunResult r = run("synth", {npy, "-o", wav, "--seed", "7"});
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
    Plane rows = load_npy(back.c_str(), &w, &h);
    ASSERT_NE(rows, nullptr);
    int best = 0;
    for (int y = 0; y < h; y++)
        if (rows[y][w / 2] > rows[best][w / 2])
            best = y;
    EXPECT_NEAR(best, 330, 2);
    free2d(rows, h);

    // The same seed gives the same file; another seed another one.
    ASSERT_EQ(run("synth", {npy, "-o", out.file("again.wav"), "--seed", "7", "--threads", "1"}).status, 0);
    EXPECT_EQ(read_file(out.file("again.wav")), read_file(wav));
    ASSERT_EQ(run("synth", {npy, "-o", out.file("other.wav"), "--seed", "8"}).status, 0);
    EXPECT_NE(read_file(out.file("other.wav")), read_file(wav));
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

    // Noise resynthesis is a different signal of the same spectrogram: valid and not silent.
    std::string noise = out.file("noise.flac");
    ASSERT_EQ(run("resynth", {DEMO, "-o", noise, "--seed", "1"}).status, 0);
    std::vector<float> n = read_sound_file(noise, &b);
    EXPECT_NEAR((double)n.size(), (double)original.size(), 500);
    EXPECT_NEAR(std::fabs(*std::max_element(n.begin(), n.end(), [](float x, float y) { return std::fabs(x) < std::fabs(y); })),
                1.f, 0.01); // normalised output
}

TEST_F(BatchSynthTest, BadInputAndUsage)
{
    std::string bad = tone_image("bad.npy", 20, 10, 3, NAN);
    std::string good = tone_image("good.npy", 20, 10, 3, 1.f);
    write_file(out.file("text.png"), "not a picture");
    std::string target = out.file("x.wav");
    for (const std::string& in : {bad, out.file("text.png"), out.file("missing.npy")}) {
        RunResult r = run("synth", {in, "-o", target});
        EXPECT_EQ(r.status, 1) << in << ": " << r.err;
        EXPECT_NE(r.err.find(in.substr(in.rfind('/') + 1)), std::string::npos) << r.err;
        EXPECT_FALSE(file_exists(target));
    }
    EXPECT_EQ(run("synth", {good, "-o", out.file("x.mp3")}).status, 2);
    EXPECT_EQ(run("synth", {good, "-o", target, "--seed"}).status, 2);
    // Settings beyond what the program reaches: one line with the limit, exit 2 (a time
    // resolution of 5e8 overflowed the noise table's set-up; 1e9 wrote an empty sound).
    for (const char* pps : {"5e8", "1e9", "1e6"}) {
        RunResult r = run("synth", {good, "-o", target, "--pixels-per-second", pps});
        EXPECT_EQ(r.status, 2) << pps;
        EXPECT_NE(r.err.find("above the largest supported time resolution, 2400.02 px/s"), std::string::npos) << r.err;
    }
    EXPECT_EQ(run("synth", {good, "-o", target, "--min-frequency", "0"}).status, 2);
    EXPECT_EQ(run("synth", {good, "-o", target, "--seed", "1e30"}).status, 2);
    EXPECT_FALSE(file_exists(target));
    EXPECT_EQ(run("resynth", {DEMO, "-o", out.file("no/dir/x.wav")}).status, 1);
}

TEST_F(BatchSynthTest, WhatAPictureNeedsIsWorkedOutBeforeItIsAllocated)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
#endif
    // 2 x 100,000 pixels: the block width grows with the height, and the noise table with it,
    // to far more than 8 GB. Refused before anything is allocated, with what it needs.
    std::string tall = tone_image("tall.npy", 2, 100000, 50000, 1.f);
    RunResult r = run_limited(8L << 20, "synth", {tall, "-o", out.file("t.wav")});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("Cannot synthesise: synthesising 2 x 100000 pixels in blocks of 40400 columns needs"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("MB of memory and"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(out.file("t.wav")));
}
