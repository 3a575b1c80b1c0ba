// The replay and synthesis commands run as the real program: an analysed project back to its
// float image, to the same snapshot and to sound; hand-written history scripts; the rates of sound
// blocks; synth from a float image and lossless resynth. (Refusals and work beyond the memory are
// the analyse tests' tables: the batch commands share their option parsing and output writers.)
#include "test_doc.h"
#include "test_program_run.h"

#include <sndfile.h>

namespace {

using BatchReplay = ProgramRun;
using BatchSynthTest = ProgramRun;

} // namespace

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
