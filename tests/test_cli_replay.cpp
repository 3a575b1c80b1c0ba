// The replay command run as the real program: an analysed project back to its float image, to
// the same snapshot and to sound (pictures by extension and lossless output are the analyse and
// resynth commands' tests: the batch commands share their output writers); hand-written history
// scripts; the rates of sound blocks (refusals and layers beyond the memory are the analyse
// tests' tables).
#include "test_program_run.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

using BatchReplay = ProgramRun;

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
                                       "Quit\nMultiply layer by 100\n");
    RunResult r = run("replay", {out.file("script.kbz"), "-o", out.file("s.npy")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("2 layers"), std::string::npos) << r.out;
    int w = 0, h = 0;
    const std::vector<float> v = npy(out.file("s.npy"), &w, &h);
    ASSERT_TRUE(w == 101 && h == 40) << w << " x " << h; // 2 s at 50 px/s, and the last column
    EXPECT_EQ(v, std::vector<float>(101 * 40, 0.5f)); // the empty layer above adds nothing; nothing after Quit
}
