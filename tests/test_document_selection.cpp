// The selection mask: a feathered box, adding and subtracting, its bounds and its weights; the
// lasso, the brush and inversion; changes limited to it (a -120 dB band leaves the rest bit for
// bit); and a session of selections and changes that its history replays bit for bit.
#include "document/selection.h"

#include "core/units.h"
#include "document/operations.h"
#include "document/paint.h"
#include "document/undo.h"
#include "files/media.h"
#include "history/archive.h"
#include "test_doc.h"

#include <array>

// Shapes on a 40 x 30 mask: a feathered box (corners in any order) with its bounds, subtracted
// from; a lasso's bounds and soft edge; a dab added, the mask inverted; a shape subtracted from no
// selection, which counts as everything. Boxes added with Shift and Select All are the editor's
// selection test.
TEST(Selection, ShapesBoundsAndWeights)
{
    ImageStack doc{};
    doc.w = 40;
    doc.h = 30;
    ImageStack* im = &doc;
    int x0, y0, x1, y1;
    auto bounds = [&] {
        return selection_bounds(im, &x0, &y0, &x1, &y1) ? std::array{x0, y0, x1, y1} : std::array{-1, -1, -1, -1};
    };
    auto weight = [&](int x, int y) { return selection_weight(im, x, y); };
    EXPECT_FALSE(selection_present(im));
    EXPECT_EQ(weight(5, 5), 1.f); // nothing selected: everything counts
    EXPECT_FALSE(selection_bounds(im, &x0, &y0, &x1, &y1));
    EXPECT_EQ(x1, 40);

    ASSERT_TRUE(selection_box(im, 20, 15, 10, 5, 3.f, SELECT_REPLACE));
    EXPECT_TRUE(weight(10, 5) == 1.f && weight(20, 15) == 1.f);
    EXPECT_TRUE(weight(21, 10) > weight(22, 10) && weight(22, 10) > 0.f); // the soft edge falls away
    EXPECT_TRUE(weight(23, 10) == 0.f && weight(40, 10) == 0.f); // three pixels out; outside the document
    EXPECT_EQ(bounds(), (std::array{8, 3, 23, 18}));
    ASSERT_TRUE(selection_box(im, 0, 0, 39, 29, 0.f, SELECT_SUBTRACT));
    EXPECT_EQ(bounds()[0], -1); // all taken away

    const float xs[] = {5, 15, 15, 5}, ys[] = {5, 5, 12, 12};
    ASSERT_TRUE(selection_polygon(im, xs, ys, 4, 0.f, SELECT_REPLACE));
    EXPECT_EQ(bounds(), (std::array{5, 5, 16, 12})); // centres inside, the bottom edge open
    ASSERT_TRUE(selection_polygon(im, xs, ys, 4, 2.f, SELECT_REPLACE));
    EXPECT_TRUE(weight(10, 8) == 1.f && weight(16, 8) > 0.f && weight(16, 8) < 1.f && weight(18, 8) == 0.f);
    EXPECT_FALSE(selection_polygon(im, xs, ys, 2, 0.f, SELECT_ADD) && weight(30, 20) > 0.f);
    ASSERT_TRUE(selection_dab(im, 30.f, 20.f, 3.f, 2.f, 1.f, SELECT_ADD));
    EXPECT_TRUE(weight(30, 20) == 1.f && weight(10, 8) == 1.f && weight(30, 25) == 0.f); // added to, not replaced
    ASSERT_TRUE(selection_invert(im));
    EXPECT_TRUE(weight(30, 20) == 0.f && weight(0, 0) == 1.f);

    selection_clear(im);
    EXPECT_FALSE(selection_present(im) || selection_invert(im)); // nothing to invert
    ASSERT_TRUE(selection_dab(im, 10.f, 10.f, 2.f, 2.f, 0.f, SELECT_SUBTRACT));
    EXPECT_TRUE(weight(10, 10) == 0.f && weight(30, 20) == 1.f);
    selection_clear(im);
}

namespace {

// A document at start-up with its history in a temporary folder; the replay state reset around.
struct SelectionSession : SessionTest {
    void TearDown() override
    {
        SessionTest::TearDown();
        selection_feather = SELECTION_FEATHER_DEFAULT;
    }
    // A w x h document of one layer filled with brown noise, its history begun.
    void start(int w, int h)
    {
        write_file(dir.file("a.kbz"), "Clear image\nDimensions " + std::to_string(w) + " px x " + std::to_string(h) +
                                          " px\nNew layer \"L\"\nFrequency range 50 Hz - 12000 Hz\n"
                                          "Frequency scale 1.5\nTime resolution 80 px/s\n");
        ASSERT_GT(load_archive(dir.file("a.kbz").c_str(), &es, title, sizeof title, nullptr), 0);
        history_path = strdup(dir.file("history.kbz").c_str());
        key[K_HISTORY_HEADER] = 1;
        begin_history(&es, "", FILE_IMAGE);
        key[83] = 1; // brown noise
        layer_operations(&es);
    }
    std::vector<float> layer() const { return plane_values(image.layers[0].plane, image.w, image.h); }
};

} // namespace

// -120 dB on a box across the whole width removes that band; every pixel more than the feather
// away keeps its bits; an operation, a spray or a rectangle over a selection leaves the outside
// alike; Undo gives the layer back.
TEST_F(SelectionSession, RemovedBandLeavesTheRestBitForBit)
{
    constexpr int W = 60, H = 50, Y0 = 20, Y1 = 30;
    ASSERT_NO_FATAL_FAILURE(start(W, H));
    key[K_TIME_UNIT] = key[K_POS_UNIT] = UNIT_PX;
    const std::vector<float> before = layer();
    ASSERT_EQ(select_box_command(&es, 0, Y0, W - 1, Y1, SELECT_REPLACE), 1);
    const struct {
        const char* name;
        std::function<int()> run;
        bool removes;
    } changes[] = {
        {"gain -120 dB", [&] { return selection_gain_command(&es, -120.f); }, true},
        {"delete", [&] { return selection_delete_command(&es); }, true},
        {"square root", [&] { key[80] = 1; layer_operations(&es); return 1; }, false},
        {"dark spray", [&] { paint_single_point(&es, 0, 0, W / 2.f, (Y0 + Y1) / 2.f, 80.f, 80.f, 1.f);
                             return undo_commit(&image, "Stroke"); }, false},
        {"rectangle", [&] { paint_rect_abs(&es, 0, 0, W, H, 0.5f); return undo_commit(&image, "Draw rectangle"); }, false},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.run(), 1);
        const std::vector<float> after = layer();
        int outside_changed = 0, inside_left = 0, edge_changed = 0;
        for (int r = 0; r < H; r++)
            for (int col = 0; col < W; col++) {
                const size_t i = (size_t)r * W + col;
                if (r < Y0 - 3 || r > Y1 + 3)
                    outside_changed += memcmp(&after[i], &before[i], 4) != 0;
                else if (r >= Y0 && r <= Y1)
                    inside_left += c.removes ? after[i] != 0.f : after[i] == before[i];
                else
                    edge_changed += after[i] != before[i];
            }
        EXPECT_EQ(outside_changed, 0);
        EXPECT_EQ(inside_left, 0);
        EXPECT_GT(edge_changed, 0); // the soft edge fades
        ASSERT_EQ(undo_step(&es, -1), 1);
        EXPECT_TRUE(layer() == before);
    }
}

// A session that selects with a box, a lasso and a brush in seconds and hertz, inverts, changes
// the region with an operation, a gain and Delete: its history replays to the same layer and
// mask bit for bit, and Undo walks both back to the start alike.
TEST_F(SelectionSession, SessionReplaysBitForBitAndUndoesToTheStart)
{
    ASSERT_NO_FATAL_FAILURE(start(64, 48));
    const std::vector<float> start_layer = layer();
    key[K_TIME_UNIT] = UNIT_SEC;
    key[K_POS_UNIT] = UNIT_HZ;
    selection_feather = 2.5f;
    ASSERT_EQ(select_box_command(&es, 40, 30, 8, 6, SELECT_REPLACE), 1);
    const float lx[] = {30, 60, 55, 33.5f}, ly[] = {2, 4, 40, 35};
    key[K_POS_UNIT] = UNIT_NOTE;
    ASSERT_EQ(select_lasso_command(&es, lx, ly, 4, SELECT_ADD), 1);
    ASSERT_EQ(select_brush_begin(&es, 3.f, 2.5f, SELECT_SUBTRACT), 1);
    for (int i = 0; i < 12; i++)
        ASSERT_EQ(select_brush_point(&es, 10.f + 2.5f * i, 20.f + 0.7f * i), 1);
    key[K_INVERT] = 1;
    layer_operations(&es);
    ASSERT_EQ(selection_gain_command(&es, -9.5f), 1);
    ASSERT_EQ(select_invert_command(&es), 1);
    ASSERT_EQ(selection_delete_command(&es), 1);
    ASSERT_EQ(select_none_command(&es), 1);
    ASSERT_EQ(select_all_command(&es), 1);
    ASSERT_EQ(select_box_command(&es, 50, 45, 63, 10, SELECT_SUBTRACT), 1);
    key[80] = 1; // square root
    layer_operations(&es);
    command_log_close();
    const std::string history = read_file(dir.file("history.kbz"));
    for (const char* line : {"Select box replace ", "Select lasso add feather 2.5", "Lasso ", "Select lasso end",
                             "Select brush subtract 3 px x 2.5 px feather 2.5", "Brush ", "Gain on selection -9.5 dB",
                             "Select invert", "Delete selection", "Select none", "Select all", " Hz to "})
        EXPECT_NE(history.find(line), std::string::npos) << line;

    Session again;
    replay_reset();
    ASSERT_GT(load_archive(dir.file("history.kbz").c_str(), &again.es, title, sizeof title, nullptr), 0);
    ASSERT_EQ(snapshot(again.image), snapshot(image));
    ASSERT_TRUE(image.selection && again.image.selection);
    EXPECT_EQ(plane_values(again.image.selection, 64, 48), plane_values(image.selection, 64, 48)); // weights in 0..1: equal is bit-equal
    EXPECT_FALSE(layer() == start_layer);
    // Invert, gain, Delete and the square root are one step each; the selections are none.
    int back = 0;
    while (undo_step(&es, -1)) {
        ASSERT_EQ(undo_step(&again.es, -1), 1);
        ASSERT_EQ(snapshot(again.image), snapshot(image));
        EXPECT_TRUE(++back != 4 || layer() == start_layer);
    }
    EXPECT_EQ(undo_step(&again.es, -1), 0);
    EXPECT_EQ(back, 5); // and the brown noise before them
}

// Hostile selection lines (numbers out of range or not numbers, unknown words, a lasso of
// points far outside) change nothing they cannot and never crash; a sound line after them works.
TEST_F(SelectionSession, HostileLinesAreRefusedOrKeptInside)
{
    ASSERT_NO_FATAL_FAILURE(start(30, 20));
    const std::vector<float> before = layer();
    const char* const lines[] = {
        "Select box add 1e30 px x -1e30 px to nan px x 5 px feather 1e30",
        "Select box sideways 1 px x 1 px to 2 px x 2 px feather 1",
        "Select box add 1 px x 1 px to 2 px feather 1",
        "Select lasso add feather 3\nLasso 1e38 px x 1e38 px\nLasso -1e38 px x 5 px\nLasso 3 px x nan px\n"
        "Lasso 3 px\nSelect lasso end",
        "Select brush subtract 1e30 px x 1e-30 px feather 0\nBrush 5 px x 5 px\nBrush inf px x 2 px",
        "Select brush add -1 px x 2 px feather 1\nBrush 5 px x 5 px",
        "Gain on selection nan dB",
        "Gain on selection 1e30 dB",
        "Select frob",
    };
    testing::internal::CaptureStderr();
    for (const char* text : lines) {
        SCOPED_TRACE(text);
        write_file(dir.file("hostile.kbz"), text);
        load_archive(dir.file("hostile.kbz").c_str(), &es, title, sizeof title, nullptr);
        for (int r = 0; image.selection && r < image.h; r++)
            for (int c = 0; c < image.w; c++)
                ASSERT_TRUE(image.selection[r][c] >= 0.f && image.selection[r][c] <= 1.f);
    }
    testing::internal::GetCapturedStderr();
    // The +24 dB ceiling held: nothing grew beyond 24 dB.
    const std::vector<float> after = layer();
    for (size_t i = 0; i < after.size(); i++)
        ASSERT_LE(after[i], before[i] * 15.9f);
}
