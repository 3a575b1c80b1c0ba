// Batch synthesis commands run as the real program: synth from pictures and float images,
// resynth losslessly (refusals and work beyond the memory are the analyse tests' tables).
#include "test_doc.h"
#include "test_program_run.h"

#include <sndfile.h>

#include <cmath>

namespace {

using BatchSynthTest = ProgramRun;

} // namespace

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
    int best = 0;
    for (int y = 0; y < h; y++)
        if (v[(size_t)y * w + w / 2] > v[(size_t)best * w + w / 2])
            best = y;
    EXPECT_NEAR(best, 330, 2);
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
