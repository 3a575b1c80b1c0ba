// Layer operations: results on small layers, their history lines, separators, silent layers,
// values at the edges of the float range, rotations and the slot dispatch.
#include "document/operations.h"
#include "test_doc.h"

#include <cmath>
#include <numeric>
#include <thread>
#include <tuple>

namespace {

uint32_t fake_now = 1000;
uint32_t fake_clock() { return fake_now += 1; } // under 2 ms apart: no time lines between commands

std::atomic<int> invert_toggles{0};
void count_invert(EngineState*) { invert_toggles++; }

struct Operations : DocTest {
    void SetUp() override
    {
        DocTest::SetUp();
        log_history();
        command_log_set_clock(fake_clock);
        axis(27.5f, 20000.f, 1.f);
    }
    void axis(float fmin, float fmax, float base) { analysis({fmin, fmax, 0.f, 0.f, 0.f, 0.f, base}); }
    float& px(int r, int c) { return image->layers[image->sel].plane[r][c]; }
    // The selected layer's pixels, row after row.
    std::vector<float> values() { return plane_values(image->layers[image->sel].plane, image->w, image->h); }
    std::string lines() { return ScopedHistory::lines(); }
};

} // namespace

TEST(OperationHelpers, RowWeightLogBaseAndResampler)
{
    EXPECT_EQ(log_basef(5.f, 1.f), 5.f);
    EXPECT_FLOAT_EQ(log_basef(8.f, 2.f), 3.f);
    // Linear axis: all weights 1. Logarithmic 27.5..20000 Hz over 571 rows: 1 at the bottom,
    // sqrt(1 + log2(20000 / 27.5)) at the top. Degenerate axes give 1, never NaN.
    EXPECT_EQ(row_weight(0, 571, 27.5f, 20000.f, 1.f), 1.f);
    EXPECT_FLOAT_EQ(row_weight(570, 571, 27.5f, 20000.f, 2.f), 1.f);
    EXPECT_NEAR(row_weight(0, 571, 27.5f, 20000.f, 2.f), sqrtf(1.f + log2f(20000.f / 27.5f)), 1e-4f);
    for (auto [h, fmin, fmax] : {std::tuple{1, 27.5f, 20000.f}, {10, 100.f, 100.f}, {10, 0.f, 100.f}})
        EXPECT_EQ(row_weight(0, h, fmin, fmax, 2.f), 1.f) << h << " " << fmin << " " << fmax;

    // Enlarging both ways interpolates without dividing; the last output maps to
    // (in_w - 1)(out_w - 1)/out_w, not to the last input.
    float ramp[5] = {0, 1, 2, 3, 4};
    float* row = ramp;
    float out[8];
    resize_float_2Din(&row, out, 5, 1, 8, 1);
    EXPECT_EQ(std::vector<float>(out, out + 8), std::vector<float>({0, 0.5f, 1, 1.5f, 2, 2.5f, 3, 3.5f}));
    // Reducing divides by the weights: a constant stays constant.
    Plane p = plane_filled(100, 50, 2.f);
    float small[10 * 5];
    resize_float_2Din(p, small, 100, 50, 10, 5);
    EXPECT_EQ(std::vector<float>(small, small + 50), std::vector<float>(50, 2.f));
    plane_free(&p, 50);
}

TEST_F(Operations, PointWiseFunctionsStayFinite)
{
    static const float start[4] = {0.f, 1.f, 0.25f, 4.f};
    doc(4, 1, [](int, int c) { return start[c]; });
    invert_image(image.get());
    EXPECT_FLOAT_EQ(px(0, 0), 1.f);
    EXPECT_TRUE(px(0, 1) > 0.f && px(0, 1) < 1e-12f); // 1 maps to a tiny positive value, not 0
    EXPECT_FLOAT_EQ(px(0, 2), 0.25f);
    invert_image(image.get());
    EXPECT_NEAR(px(0, 1), 1.f, 1e-6f);
    EXPECT_NEAR(px(0, 2), 0.25f, 1e-6f);

    px(0, 0) = 0.f;
    px(0, 1) = 1e-45f; // its reciprocal is beyond the float range
    px(0, 2) = 4.f;
    px(0, 3) = 3e30f;
    div_invert(image.get());
    EXPECT_TRUE(px(0, 0) == 0.f && std::isfinite(px(0, 1)));
    EXPECT_FLOAT_EQ(px(0, 2), 0.25f);
    square_layer(image.get());
    EXPECT_TRUE(std::isfinite(px(0, 1)));
    EXPECT_FLOAT_EQ(px(0, 2), 0.0625f);
    px(0, 3) = -4.f;
    sqrt_layer(image.get());
    EXPECT_FLOAT_EQ(px(0, 2), 0.25f);
    EXPECT_TRUE(px(0, 3) == 0.f && image->change_state == 1);
    EXPECT_EQ(lines(), "Operation invert\n\nOperation invert\n\nOperation 1/x\n\nOperation square\n\nOperation square root\n\n");
}

TEST_F(Operations, SeparatorsAndMissingDocumentsAreLeftAlone)
{
    doc(3, 2, [](int r, int c) { return 0.1f * (float)(r * 3 + c + 1); });
    Layer* sep = &image->layers[1];
    sep->name = string_assign("----");
    image->count = 2;
    image->sel = 1;
    for (int s : {15, 27, 28, 29, 30})
        key[s] = 1;
    key[K_ROTATE] = 3;
    for (int s = K_OP_FIRST; s <= K_OP_LAST; s++)
        key[s] = 1;
    document_hooks.invert_control = count_invert;
    invert_toggles = 0;
    layer_operations(es.get());
    for (int s : {15, 27, 28, 29, 30, 31})
        EXPECT_EQ(key[s], 0) << "slot " << s;
    for (int s = K_OP_FIRST; s <= K_OP_LAST; s++)
        EXPECT_EQ(key[s], 0) << "slot " << s;
    EXPECT_TRUE(image->change_state == 0 && invert_toggles == 0 && lines().empty());
    EXPECT_FLOAT_EQ(image->layers[0].plane[1][2], 0.6f);

    // Mask Invert without a reference, Erase Mask on layer 0 without one: nothing.
    image->sel = 0;
    plane_free(&image->reference, image->h);
    EXPECT_TRUE(mask_invert_image(image.get()) == 0 && erase_mask(image.get()) == 0 && lines().empty());
}

TEST_F(Operations, RotationsKeepTheDocumentSize)
{
    // A 400 x 100 horizontal ramp: after a quarter turn clockwise the values grow downwards
    // and each row is nearly constant; counter-clockwise they fall.
    doc(400, 100, [](int, int c) { return (float)c; });
    EXPECT_EQ(rotate_image(image.get(), 1), 1);
    EXPECT_TRUE(image->w == 400 && image->h == 100 && image->change_state == 3);
    for (int r = 1; r < 100; r++)
        EXPECT_GT(px(r, 200), px(r - 1, 200));
    EXPECT_NEAR(px(50, 0), px(50, 399), 5.f);
    EXPECT_NEAR(px(50, 0), 200.f, 5.f);
    undo_to_layer(image.get());
    rotate_image(image.get(), 3);
    EXPECT_GT(px(0, 200), px(99, 200));
    EXPECT_EQ(rotate_image(image.get(), 4), 0); // a whole turn: nothing, no line

    // Half turn exactly, also when the caller did not save the layer for Undo first; Undo then
    // holds the layer before the turn.
    for (int r = 0; r < 100; r++)
        for (int c = 0; c < 400; c++)
            px(r, c) = (float)(r * 400 + c);
    rotate_image(image.get(), 2);
    EXPECT_EQ(std::vector<float>({px(0, 0), px(99, 1), image->undo[0][0]}), std::vector<float>({99.f * 400 + 399, 398.f, 0.f}));
    rotate_image(image.get(), -2);
    EXPECT_EQ(px(3, 7), 3.f * 400 + 7);
    EXPECT_EQ(lines(), "Operation rotation by 90\n\nOperation rotation by 270\n\nOperation rotation by 180\n\n"
                       "Operation rotation by 180\n\n");
}

TEST_F(Operations, CurvesAndFillsFromMaxima)
{
    // Linear axis: the strongest column holds trunc(0.9 h) ones at the bottom, a half-as-strong
    // column a bar half as high (4.5: four ones and 0.5 above).
    doc(3, 10, [](int, int c) { return c == 0 ? 1.f : c == 1 ? 0.5f : 0.f; });
    vert_curves(es.get());
    EXPECT_NEAR(px(5, 1), 0.5f, 1e-5f);
    px(5, 1) = 0.5f;
    EXPECT_EQ(values(), std::vector<float>({0, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0.5f, 0, 1, 1, 0, 1, 1, 0, 1, 1, 0, 1, 1, 0}));

    // Logarithmic axis: rows are divided by their weight relative to the middle row's.
    axis(100.f, 1600.f, 2.f);
    doc(1, 9, [](int, int) { return 1.f; });
    vert_curves(es.get());
    const float wm = row_weight(4, 9, 100.f, 1600.f, 2.f);
    EXPECT_FLOAT_EQ(px(8, 0), wm / row_weight(8, 9, 100.f, 1600.f, 2.f));
    EXPECT_FLOAT_EQ(px(1, 0), wm / row_weight(1, 9, 100.f, 1600.f, 2.f));
    EXPECT_NEAR(px(0, 0), 0.1f * wm / row_weight(0, 9, 100.f, 1600.f, 2.f), 1e-5f);

    // Fill to the left from each row's peak, scaled towards the layer maximum (at most 10x);
    // a later, slightly weaker peak wins, a much weaker one does not.
    axis(27.5f, 20000.f, 1.f);
    doc(5, 3, [](int r, int c) {
        const float rows[3][5] = {{0, 1, 0, 0.5f, 0}, {0.9f, 0, 0, 0.85f, 0}, {0, 0.01f, 0, 0, 0}};
        return rows[r][c];
    });
    fill_to_left(image.get());
    const std::vector<float> want = {1, 1, 0, 0.5f, 0, 1, 1, 1, 1, 0, 0.1f, 0.1f, 0, 0, 0}, got = values();
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_NEAR(got[i], want[i], 1e-5f) << i;

    // Fill to the bottom: an upper peak is preferred over a lower one of similar strength.
    doc(2, 4, [](int r, int c) {
        const float cols[2][4] = {{0, 1, 0, 0.5f}, {0.3f, 0, 0.29f, 0}};
        return cols[c][r];
    });
    fill_to_bottom(es.get());
    for (int r = 0; r < 4; r++)
        EXPECT_TRUE(px(r, 0) == (r ? 1.f : 0.f) && std::fabs(px(r, 1) - 1.f) <= 1e-6f) << r;
    // Horizontal curves: bars from the left, 90 % of the width for the strongest row.
    doc(10, 2, [](int r, int) { return r ? 0.5f : 1.f; });
    horz_curves(image.get());
    for (auto [r, c, v] : {std::tuple{0, 8, 1.f}, {0, 9, 0.f}, {1, 3, 1.f}, {1, 4, 0.5f}, {1, 5, 0.f}})
        EXPECT_NEAR(px(r, c), v, v == 0.5f ? 1e-5f : 0.f) << r << "," << c;

    // Silent layers stay as they are, and the lines are still written.
    doc(4, 4, [](int, int) { return 0.f; });
    EXPECT_EQ(horz_curves(image.get()), 1);
    vert_curves(es.get());
    fill_to_left(image.get());
    fill_to_bottom(es.get());
    vert_norm(es.get());
    EXPECT_EQ(values(), std::vector<float>(16, 0.f));
    EXPECT_NE(lines().find("Operation horizontal curves\n\nOperation vertical curves\n\nOperation fill to left\n\n"
                           "Operation fill to bottom\n\nOperation vertical normalisation\n\n"),
              std::string::npos);
}

TEST_F(Operations, NormalisationsAndNoiseFills)
{
    doc(2, 2, [](int r, int c) { return (float)(r * 2 + c); }); // 0 1 / 2 3
    horz_norm(image.get());
    EXPECT_FLOAT_EQ(px(0, 1), 5.f); // row sums 1 and 5
    layers_set_sum(image.get());
    EXPECT_FLOAT_EQ(px(0, 1) + px(1, 0) + px(1, 1), 1.f);
    px(0, 0) = px(0, 1) = 0.f;
    vert_norm(es.get()); // the largest column sum is kept, an empty column stays 0
    EXPECT_TRUE(px(0, 0) == 0.f && std::isfinite(px(1, 0)));
    px(0, 0) = 1e-40f; // a subnormal maximum
    px(0, 1) = px(1, 0) = px(1, 1) = 0.f;
    layers_normalisation(image.get());
    EXPECT_FLOAT_EQ(px(0, 0), 1.f);
    EXPECT_EQ(px(1, 1), 0.f);
    fill_pink(image.get());
    EXPECT_TRUE(px(0, 0) + px(0, 1) == 2.f && px(1, 0) + px(1, 1) == 2.f);
    // Logarithmic axis: white noise is strongest at the top, brown noise at the bottom.
    axis(100.f, 1600.f, 2.f);
    doc(1, 5, [](int, int) { return 0.f; });
    fill_white(es.get());
    EXPECT_FLOAT_EQ(px(0, 0), 1.f);
    EXPECT_FLOAT_EQ(px(4, 0), 1.f / row_weight(0, 5, 100.f, 1600.f, 2.f));
    fill_brown(es.get());
    EXPECT_FLOAT_EQ(px(4, 0), 1.f);
    EXPECT_FLOAT_EQ(px(0, 0), 1.f / sqrtf(5.f)); // (1 + 4)^(-1/2); the bottom row is already 1
    const std::string t = lines();
    // A fill is one command: its normalisation writes no line of its own.
    EXPECT_NE(t.find("Operation normalisation\n\nOperation fill pink\n\nOperation fill white\n\nOperation fill brown\n\n"),
              std::string::npos)
        << t;
}

TEST_F(Operations, SemitonesMaskAndErase)
{
    // 110..880 Hz on a logarithmic axis with 12 rows per octave: every row is a semitone.
    axis(110.f, 880.f, 2.f);
    doc(2, 37, [](int r, int c) { return (float)(r + c); });
    group_to_semitone(es.get());
    for (int r = 0; r < 37; r++)
        EXPECT_EQ(px(r, 1), (float)(r + 1)) << r;
    // 24 rows per octave: the rows between semitones are moved into them, nothing is lost.
    doc(1, 73, [](int, int) { return 1.f; });
    group_to_semitone(es.get());
    const std::vector<float> v = values();
    EXPECT_FLOAT_EQ(std::accumulate(v.begin(), v.end(), 0.f), 73.f);
    EXPECT_EQ(std::count(v.begin(), v.end(), 0.f), 36);

    // Mask Invert works toward the reference and never goes below 0; Erase Mask brings layer 0
    // back to it and clears any other layer.
    doc(2, 1, [](int, int c) { return c ? 0.5f : 0.25f; });
    px(0, 0) = 0.75f;
    px(0, 1) = 0.125f;
    mask_invert_image(image.get());
    EXPECT_EQ(values(), std::vector<float>({0.f, 0.375f}));
    erase_mask(image.get());
    EXPECT_EQ(px(0, 0), 0.25f);
    image->layers[1] = {plane_alloc(1, 2), 1.f, 0, 0, 0, 0, string_assign("Layer 1"), 0, 0, 0, 0};
    image->layers[1].plane[0][0] = 3.f;
    image->count = 2;
    image->sel = 1;
    erase_mask(image.get());
    EXPECT_TRUE(px(0, 0) == 0.f && image->layers[0].plane[0][0] == 0.25f);
}

TEST_F(Operations, DispatchRunsInOrderSavesUndoAndHoldsTheLock)
{
    doc(4, 3, [](int r, int c) { return 0.25f * (float)(r + c + 1); });
    document_hooks.invert_control = count_invert;
    invert_toggles = 0;

    // A reader that sums the layer under layers_lock while the operations run.
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) {
            {
                LockGuard lock(image->layers_lock);
                const std::vector<float> v = plane_values(image->layers[0].plane, 4, 3);
                EXPECT_FALSE(std::isnan(std::accumulate(v.begin(), v.end(), 0.f)));
            }
            std::this_thread::yield();
        }
    });
    key[68] = 1;
    key[K_INVERT] = 1;
    key[K_ROTATE] = 3;
    key[K_OP_RECIPROCAL] = 1;
    layer_operations(es.get());
    const float before_last = image->undo[0][0];
    key[69] = 1;
    layer_operations(es.get());
    done = true;
    reader.join();

    EXPECT_EQ(lines(), "Operation 1/x\n\nOperation rotation by 180\n\nOperation invert\n\n"
                       "Operation horizontal average\n\nOperation vertical average\n\n");
    EXPECT_EQ(std::vector<int>({invert_toggles, key[68], key[K_ROTATE], image->change_state}), std::vector<int>({1, 0, 0, 1}));
    EXPECT_NE(image->undo[0][0], before_last); // saved again before Vertical Average
}
