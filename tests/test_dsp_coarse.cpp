// The coarse first picture an editor shows while a sound is analysed: its levels follow the
// analysis, and nothing of it stays in the document the open leaves behind.
#include "dsp/analysis.h"
#include "dsp/scale.h"
#include "test_doc.h"

#include <sndfile.h>

#include <cmath>
#include <numeric>

namespace {

// Two seconds of white noise, or the same with a loud 3 kHz tone over it.
std::vector<float> test_sound(bool tone)
{
    std::vector<float> v((size_t)88200);
    wrsrand(3);
    for (size_t j = 0; j < v.size(); j++)
        v[j] = 0.1f * dblrand() + (tone ? 0.5f * sinf(2.f * (float)M_PI * 3000.f * (float)j / 44100.f) : 0.f);
    return v;
}

} // namespace

// At the default settings, over the bands a 4096-point frame resolves (above 500 Hz), each
// row's mean level is within a factor 1.6 of the analysis's, for noise and for a tone (whose
// row is the brightest in both, give or take one).
TEST(DspCoarse, LevelsFollowTheAnalysis)
{
    const int H = image_height(27.5f, 20000.f, 60.f), sr = 44100;
    const int lowest = 570 - (int)lroundf(log_pos_inv_b(500.f, 27.5f, 20000.f, 2.f) * 570.f);
    for (bool tone : {false, true}) {
        SCOPED_TRACE(tone ? "tone" : "noise");
        std::vector<float> snd = test_sound(tone);
        std::vector<float*> exact((size_t)H, nullptr), coarse((size_t)H, nullptr);
        int w = 0;
        ASSERT_EQ(anal(exact.data(), snd.data(), (int)snd.size(), sr, &w, H, 20000.f / sr, 100.f / sr, 27.5f / sr,
                       60.f, 24.f, 100.f, 2.f, 2),
                  1);
        ASSERT_EQ(anal_coarse(coarse.data(), snd.data(), (int)snd.size(), sr, H, 20000.f / sr, 100.f / sr,
                              27.5f / sr, 60.f, 24.f, 100.f, 2.f, 2),
                  1);
        ASSERT_EQ(plane_nonfinite(coarse.data(), w, H, false), 0);
        int loudest[2] = {0, 0};
        double top[2] = {0, 0};
        const int tone_row = 570 - (int)lroundf(log_pos_inv_b(3000.f, 27.5f, 20000.f, 2.f) * 570.f);
        for (int r = 0; r <= lowest; r++) {
            const double e = std::accumulate(exact[(size_t)r], exact[(size_t)r] + w, 0.0) / w;
            const double c = std::accumulate(coarse[(size_t)r], coarse[(size_t)r] + w, 0.0) / w;
            // The frame's window spreads the tone over the next few bands.
            const bool flank = tone && r != tone_row && abs(r - tone_row) <= 3;
            EXPECT_TRUE(flank || (c > e / 1.6 && c < e * 1.6)) << "row " << r << ": " << c << " against " << e;
            if (e > top[0])
                top[0] = e, loudest[0] = r;
            if (c > top[1])
                top[1] = c, loudest[1] = r;
        }
        if (tone) {
            EXPECT_EQ(loudest[0], tone_row);
            EXPECT_NEAR(loudest[1], tone_row, 1);
        }
        for (float*& r : exact)
            free_null(&r);
        for (float*& r : coarse)
            free_null(&r);
    }
}

// Arguments that make no image leave the rows null, as the one-row image does.
TEST(DspCoarse, NoPictureWhereTheAnalysisMakesNone)
{
    std::vector<float> snd = test_sound(false);
    std::vector<float*> rows(8, nullptr);
    const int n = (int)snd.size();
    const float sr = 44100.f;
    EXPECT_EQ(anal_coarse(rows.data(), snd.data(), n, 44100, 1, 0.4f, 100 / sr, 0.001f, 60, 24, 100, 2), 0);
    EXPECT_EQ(anal_coarse(rows.data(), snd.data(), n, 44100, 8, 0.001f, 100 / sr, 0.4f, 60, 24, 100, 2), 0);
    EXPECT_EQ(anal_coarse(rows.data(), snd.data(), 10, 44100, 8, 0.4f, 100 / sr, 0.001f, 60, 24, 100, 2), 0);
    EXPECT_EQ(anal_coarse(nullptr, snd.data(), n, 44100, 8, 0.4f, 100 / sr, 0.001f, 60, 24, 100, 2), 0);
    for (float* r : rows)
        EXPECT_EQ(r, nullptr);
}

// A document opened with a window, where the coarse picture is shown first.
struct DspCoarseOpen : DocTest {
    static std::atomic<int> redraws, most_rows;

    void SetUp() override
    {
        DocTest::SetUp();
        analysis({27.5f, 20000.f, 100.f, 100.f, 60.f, 24.f, 2.f});
        redraws = most_rows = 0;
        ASSERT_TRUE(write_test_sound(dir.file("noise.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 44100,
                                     test_sound(false)));
    }
    // The window's redraw: notes the most rows it saw filled at once until the analysis is over.
    static void* redraw(void* arg)
    {
        ImageStack* image = static_cast<ImageStack*>(arg);
        redraws++;
        while (!image->stop_redraw) {
            int filled = 0;
            for (int r = 0; r < image->h; r++)
                filled += filled_row(image->composite, r) != nullptr;
            most_rows = std::max(most_rows.load(), filled);
            wrsleep(1);
        }
        return nullptr;
    }
    // The document's planes, composite first, each as its values.
    std::vector<std::vector<float>> planes()
    {
        std::vector<std::vector<float>> out;
        for (Plane p : {image->composite, image->layers[0].plane, image->reference, image->undo, image->analysed})
            out.push_back(plane_values(p, image->w, image->h));
        return out;
    }
};
std::atomic<int> DspCoarseOpen::redraws{0}, DspCoarseOpen::most_rows{0};

// The document opened with the coarse picture shown first is bit for bit the one opened without
// a window, in every plane the history, projects, lossless synthesis and undo start from. An
// open stopped after a few rows leaves every row it did not analyse silent: no coarse row stays,
// in the composite or in what was copied from it.
TEST_F(DspCoarseOpen, FinalPictureIsTheAnalysisAloneAndAStoppedOpenKeepsNoCoarseRow)
{
    const std::string path = dir.file("noise.wav");
    ASSERT_EQ(load_sound(path.c_str(), es.get(), nullptr, 2), 1);
    const std::vector<std::vector<float>> plain = planes();
    sound_display_hooks = {nullptr, redraw};
    ASSERT_EQ(load_sound(path.c_str(), es.get(), nullptr, 2), 1);
    EXPECT_EQ(redraws.load(), 1);
    EXPECT_TRUE(planes() == plain);

    most_rows = 0;
    AnalysisProgress progress;
    progress.tick = [](AnalysisProgress* p, void*) {
        if (p->rows_done.load() >= 5)
            p->stop = 1;
    };
    ASSERT_EQ(load_sound(path.c_str(), es.get(), &progress, 2), 1);
    const int made = progress.rows_done.load(), h = image->h, w = image->w;
    ASSERT_GE(made, 5);
    ASSERT_LT(made, h);
    EXPECT_EQ(most_rows.load(), h); // the coarse picture was shown whole
    // Bands are made from the lowest (the bottom row) up.
    for (Plane p : {image->composite, image->layers[0].plane, image->analysed})
        for (int r = 0; r < h; r++) {
            const bool silent = *std::max_element(p[r], p[r] + w) == 0.f; // the levels are not negative
            ASSERT_EQ(silent, r < h - made) << "row " << r;
        }
}
