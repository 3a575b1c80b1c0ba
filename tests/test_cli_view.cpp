// `analyse --view`: the readable picture, run as the real program and read back (its bad options
// are in the batch commands' refusal table, a batch of them in the workers' tests).
#include "files/picture.h"
#include "render/plot.h"
#include "test_doc.h"
#include "test_program_run.h"

#include <sndfile.h>

namespace {

// A picture read back: w x h pixels, bytes red, green, blue, 0.
struct Picture {
    std::vector<uint8_t> px;
    int w = 0, h = 0;
    const uint8_t* at(int x, int y) const { return &px[((size_t)y * w + x) * 4]; }
    int light(int x, int y) const { return at(x, y)[0] + 2 * at(x, y)[1] + at(x, y)[2]; }
    bool grey(int x, int y) const { return at(x, y)[0] == at(x, y)[1] && at(x, y)[1] == at(x, y)[2]; }
    // Whether any pixel of the box differs from the background grey (text ink).
    bool ink(int x0, int y0, int x1, int y1) const
    {
        for (int y = std::max(y0, 0); y < std::min(y1, h); y++)
            for (int x = std::max(x0, 0); x < std::min(x1, w); x++)
                if (!grey(x, y) || at(x, y)[0] != background_grey())
                    return true;
        return false;
    }
};

Picture read_picture(const std::string& path)
{
    Picture p;
    uint8_t* px = load_picture(path.c_str(), &p.w, &p.h, 0);
    if (px)
        p.px.assign(px, px + (size_t)p.w * p.h * 4);
    free(px);
    return p;
}

// The picture is the layout's size, with a plot area of w x h framed, all grey or not, inside
// margins that keep the title and the legend.
void expect_framed_plot(const Picture& pic, const PlotLayout& p, int w, int h, bool grey)
{
    ASSERT_EQ(pic.w, p.w);
    ASSERT_EQ(pic.h, p.h);
    const int frame = palette_colour(2)[0];
    for (const auto& [x, y] : {std::pair{p.plot_x - 1, p.plot_y + 5}, std::pair{p.plot_x + w, p.plot_y + 5},
                               std::pair{p.plot_x + 5, p.plot_y - 1}, std::pair{p.plot_x + 5, p.plot_y + h}})
        EXPECT_EQ(pic.at(x, y)[0], frame) << x << "," << y;
    bool all_grey = true;
    for (int y = p.plot_y; y < p.plot_y + h; y += 7)
        for (int x = p.plot_x; x < p.plot_x + w; x += 3)
            all_grey = all_grey && pic.grey(x, y);
    EXPECT_EQ(all_grey, grey);
    EXPECT_TRUE(pic.ink(8, 8, 80, 8 + futura16.glyph_h)) << "no title";
    EXPECT_TRUE(pic.ink(p.legend_x, p.legend_y, p.legend_x + p.legend_w, p.legend_y + LEGEND_H)) << "no legend";
}

struct ViewTest : ProgramRun {
    static void SetUpTestSuite()
    {
        ScopedResources resources;
        ASSERT_EQ(plot_resources_load(), 1);
    }
};

// The label of `labels` with this value; fails the test when there is none.
const ScaleLabel* label_of(const std::vector<ScaleLabel>& labels, double value)
{
    for (const ScaleLabel& l : labels)
        if (std::abs(l.value - value) < 1e-6)
            return &l;
    ADD_FAILURE() << "no label for " << value;
    return nullptr;
}

} // namespace

// One second of silence, then 440 Hz and 1000 Hz together for a second, drawn in grey at the
// asked size: each tone's row lies on its label (A4 on the note scale, 1 kHz on the Hz scale),
// and the sound starts at the 1" tick.
TEST_F(ViewTest, TonesSitOnTheirLabelsAndTheOnsetOnItsTime)
{
    const int rate = 44100;
    std::vector<float> sound((size_t)2 * rate, 0.f);
    const std::vector<float> a = sine_wave(440.f, rate, rate, 0.3f), b = sine_wave(1000.f, rate, rate, 0.3f);
    for (int i = 0; i < rate; i++)
        sound[(size_t)(rate + i)] = a[(size_t)i] + b[(size_t)i];
    ASSERT_TRUE(write_test_sound(out.file("tones.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, rate, sound));

    const int W = 400, H = 1440; // 30 pixels a semitone: every note gets its label
    RunResult r = run("analyse", {out.file("tones.wav"), "-o", out.file("tones.png"), "--view", "--min-frequency",
                                  "110", "--max-frequency", "1760", "--bands-per-octave", "24",
                                  "--pixels-per-second", "100", "--width", "400", "--height", "1440", "--picture-colours"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Picture pic = read_picture(out.file("tones.png"));
    const float params[7] = {110.f, 1760.f, 100.f, 0.f, 24.f, 0.f, 2.f};
    const PlotSource src = analysis_source(nullptr, 200, 96, params, "tones.wav");
    const PlotLayout p = plot_layout(src, W, H);
    expect_framed_plot(pic, p, W, H, true);
    const PlotLabels labels = plot_labels(src, W, H);

    // The brightest row within 25 of `row`, over the plot's second half.
    const auto peak_row = [&](int row) {
        const int y0 = std::max(row - 25, p.plot_y);
        std::vector<long> sums;
        for (int y = y0; y < std::min(row + 25, p.plot_y + H); y++) {
            sums.push_back(0);
            for (int x = p.plot_x + W / 2 + 20; x < p.plot_x + W; x++)
                sums.back() += pic.light(x, y);
        }
        return y0 + (int)(std::max_element(sums.begin(), sums.end()) - sums.begin());
    };
    const int bottom = p.plot_y + H; // a label at pos p marks row bottom - p
    char text[64];
    sprintf_right_scale(text, sizeof text, 57.f);
    EXPECT_STREQ(text, "\x97 A4");
    const ScaleLabel* a4 = label_of(labels.notes, 57.0);
    const ScaleLabel* khz = label_of(labels.freqs, 1000.0);
    ASSERT_TRUE(a4 && khz);
    const int a4_row = bottom - a4->pos, khz_row = bottom - khz->pos;
    EXPECT_NEAR(peak_row(a4_row), a4_row, 10); // a semitone is 30 rows
    EXPECT_NEAR(peak_row(khz_row), khz_row, 10);
    EXPECT_TRUE(pic.ink(p.plot_x + W + 2, a4_row - 4, p.plot_x + W + 40, a4_row + 4)) << "no A4 label";
    EXPECT_TRUE(pic.ink(p.plot_x - 50, khz_row - 4, p.plot_x - 2, khz_row + 4)) << "no 1 kHz label";

    // The time scale: the onset lies on the 1" tick, and the ticks are there, under the plot.
    const ScaleLabel* one = label_of(labels.times, 1.0);
    ASSERT_TRUE(one);
    const int tick_x = p.plot_x + one->pos;
    int peak = 0, onset = -1;
    for (int x = p.plot_x; x < p.plot_x + W; x++)
        peak = std::max(peak, pic.light(x, khz_row));
    for (int x = p.plot_x; x < p.plot_x + W && onset < 0; x++)
        if (pic.light(x, khz_row) > peak / 2)
            onset = x;
    EXPECT_NEAR(onset, tick_x, 8); // 4 columns: 40 ms
    for (const ScaleLabel& l : labels.times)
        EXPECT_TRUE(pic.ink(p.plot_x + l.pos - 2, bottom + 1, p.plot_x + l.pos + 3, bottom + 12)) << l.value;
}

// By default the plot area has one pixel per column and band, in the screen's colours (the
// tones test asks for another size in grey).
TEST_F(ViewTest, DefaultPlotSizeMarginsAndColours)
{
    RunResult r = run("analyse", {DEMO, "-o", out.file("demo.png"), "--view"});
    ASSERT_EQ(r.status, 0) << r.err;
    const float params[7] = {27.5f, 20000.f, 100.f, 0.f, 60.f, 0.f, 2.f};
    expect_framed_plot(read_picture(out.file("demo.png")), plot_layout(analysis_source(nullptr, 600, 571, params, DEMO), 600, 571),
                       600, 571, false);
}
