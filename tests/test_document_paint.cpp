// Painting tools: the brush, the six dab modes, block marking, harmonics on logarithmic and linear
// axes, strokes, the point queue and its thread, the magnet, the rectangle and their history.
#include "core/units.h"
#include "document/move.h"
#include "document/paint.h"
#include "test_doc.h"


#include <climits>
#include <cmath>
#include <tuple>

namespace {

uint32_t fake_now = 5000;
uint32_t fake_clock() { return fake_now += 10; }

std::atomic<int> redraws{0};
void count_redraw(EngineState*) { redraws++; }

// An 845 x 200 document of 1.0 (27.5..20000 Hz, base 2, 100 px/s) in a 1024 x 768 window,
// zoomed so that one screen pixel is half a document column and half a row; 16 synthesis blocks
// of 100 columns, all done; history into a temporary file in sec / px / px.
struct PaintDoc : DocTest {
    static constexpr int W = 845, H = 200, BLOCKS = 16;

    void SetUp() override
    {
        DocTest::SetUp();
        es->lock = semaphore_new();
        analysis({27.5f, 20000.f, 100.f, 0.f, 0.f, 0.f, 2.f});
        doc(W, H, 1.f);
        crop_x = crop_y = 0;
        crop_w = 423; // (423 - 1) / 844 view columns
        crop_h = 194; // (194 - 1) / 386 view rows
        es->block_w = 100;
        es->block_count = BLOCKS;
        es->block_state = static_cast<uint8_t*>(wrcalloc(BLOCKS, 1));
        memset(es->block_state, 2, BLOCKS);
        key[K_TIME_UNIT] = UNIT_SEC;
        key[K_POS_UNIT] = key[K_DIM_UNIT] = UNIT_PX;
        log_history();
        command_log_set_clock(fake_clock);
        redraws = 0;
    }
    void TearDown() override
    {
        EXPECT_EQ(paint_abort_and_wait(5000), 1);
        DocTest::TearDown();
        semaphore_free(es->lock);
        free_null(&es->block_state);
    }

    Plane layer() { return image->layers[image->sel].plane; }
    // Adds an entry above the others (a layer of zeros, or a separator) and selects it.
    void add_entry(bool separator)
    {
        Layer* l = &image->layers[image->count];
        l->plane = separator ? nullptr : plane_alloc(H, W);
        l->name = string_assign(separator ? "----" : "Layer 1");
        image->sel = image->count++;
    }
    // Window position of a document point.
    static float mx(float col) { return 120.f + (col - (float)crop_x) * 2.f; }
    static float my(float row) { return (float)(WAVEFORM_H + 47) + (row - (float)crop_y) * 2.f; }
    int darkest_row(int col, int from, int to)
    {
        int best = from;
        for (int r = from; r <= to; r++)
            if (layer()[r][col] < layer()[best][col])
                best = r;
        return best;
    }
    std::string history() { return read_file(history_path); }
    std::vector<uint8_t> blocks() { return {es->block_state, es->block_state + BLOCKS}; }
};



// A 20 x 181 document whose pixels are all different, over 100..800 Hz on a base-2 axis
// (60 rows per octave), 100 px/s; the view shows every column and row one screen pixel each.
struct MoveDoc : DocTest {
    static constexpr int W = 20, H = 181;
    void SetUp() override
    {
        DocTest::SetUp();
        analysis({100.f, 800.f, 100.f, 100.f, 60.f, 24.f, 2.f});
        doc(W, H, [](int r, int c) { return (float)(r * 100 + c + 1); });
        crop_x = crop_y = 0;
        std::tie(crop_w, crop_h) = std::pair(image->view_w + 1, image->view_h + 1);
        key[K_TIME_UNIT] = UNIT_SEC;
        key[K_DIM_UNIT] = UNIT_ST;
        log_history();
    }
    Plane layer() { return image->layers[image->sel].plane; }
    bool layer_is_undo() { return plane_values(layer(), W, H) == plane_values(image->undo, W, H); }
};

} // namespace

TEST(PaintBrush, GaussianTableFollowsTheCurveAndEndsAt3_1)
{
    EXPECT_FLOAT_EQ(gaussianf(0.f), 1.f);
    for (float v = -3.05f; v <= 3.05f; v += 0.01f)
        EXPECT_NEAR(gaussianf(v), gaussianf_(v), 0.01f) << v;
    for (float v : {3.2f, -40.f, NAN, INFINITY})
        EXPECT_EQ(gaussianf(v), 0.f) << v;
}

// Each dab mode's value at the centre and the radius, a stroke's filled line, and the synthesis
// blocks a dab marks.
TEST_F(PaintDoc, DabModesStrokesAndMarkedBlocks)
{
    // Column 250, radius 10, blocks of 100: from trunc(2 * 235 / 100 - 1) = 3 to 2 * 265 / 100 -> 5.
    paint_single_point(es.get(), 0, 0, 250, 100, 10, 10, 0.5f);
    EXPECT_EQ(blocks(), std::vector<uint8_t>({2, 2, 2, 0, 0, 0, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}));
    EXPECT_EQ(es->sound_changed.load(), 1);
    mark_blocks_for_synthesis(es.get(), -5, 100); // clipped to the table
    EXPECT_EQ(blocks(), std::vector<uint8_t>(BLOCKS, 0));

    paint_single_point(es.get(), 0, 0, 100, 100, 5, 5, 0.5f); // dark
    EXPECT_FLOAT_EQ(layer()[100][100], 0.5f);
    EXPECT_TRUE(layer()[100][106] == 1.f && layer()[100][105] > 0.99f); // outside and at the radius
    paint_single_point(es.get(), 0, 2, 300, 100, 5, 5, 0.5f); // brighten
    EXPECT_FLOAT_EQ(layer()[100][300], 1.f + 0.5641312f * 0.5f);
    paint_single_point(es.get(), 1, 0, 100, 100, 5, 5, 1.f); // erase on layer 0: back to the reference
    EXPECT_FLOAT_EQ(layer()[100][100], 1.f);
    // Radius 1 is painted with the smallest radius 2 at a quarter of the strength.
    paint_single_point(es.get(), 0, 0, 500, 100, 1, 1, 1.f);
    EXPECT_FLOAT_EQ(layer()[100][500], 0.75f);
    EXPECT_LT(layer()[100][502], 1.f);
    // A stroke fills the line between its points.
    paint_point_abs(es.get(), 0, 0, 0, 1, 600, 50, 4, 4, 0.3f);
    paint_point_abs(es.get(), 0, 0, 0, 0, 700, 50, 4, 4, 0.3f);
    for (int c = 600; c <= 700; c++)
        EXPECT_LT(layer()[50][c], 0.9f) << c;
    EXPECT_TRUE(layer()[50][710] == 1.f && layer()[60][650] == 1.f);

    add_entry(false); // a layer of zeros
    paint_single_point(es.get(), 0, 2, 100, 100, 5, 5, 1.f);
    EXPECT_EQ(layer()[100][100], 0.f); // brightening zero leaves zero
    paint_single_point(es.get(), 0, 1, 100, 100, 5, 5, 0.5f);
    EXPECT_FLOAT_EQ(layer()[100][100], 0.5f); // white paint
    paint_single_point(es.get(), 1, 1, 100, 100, 5, 5, 1.f);
    EXPECT_EQ(layer()[100][100], 0.f); // erase above layer 0: toward 0
}

TEST_F(PaintDoc, SmartEraseLowersPeaksAboveTheFloorAndNeverRaises)
{
    // Reference: a floor of 0.1 with a ridge of 1.0 in row 100 and a column of 0 at 210; the layer
    // is the reference, except 0.7 where the reference is 0.
    for (int r = 0; r < H; r++)
        for (int c = 0; c < W; c++) {
            image->reference[r][c] = r == 100 ? 1.f : (c == 210 ? 0.f : 0.1f);
            layer()[r][c] = image->reference[r][c] > 0.f ? image->reference[r][c] : 0.7f;
        }
    Plane before = plane_copy(layer(), H, W);
    paint_single_point(es.get(), 0, 3, 200, 100, 12, 6, 1.f);
    for (int r = 0; r < H; r++)
        for (int c = 0; c < W; c++)
            ASSERT_LE(layer()[r][c], before[r][c]) << r << "," << c;
    EXPECT_LT(layer()[100][200], 0.2f); // the ridge comes down to about the floor
    EXPECT_EQ(layer()[98][200], 0.1f);  // the floor stays
    EXPECT_EQ(layer()[99][210], 0.7f);  // nothing changes where the reference is 0
    plane_free(&before, H);
}

// Bad numbers and separators paint nothing; enormous values stay inside the plane.
TEST_F(PaintDoc, BadNumbersAndSeparatorsPaintNothingAndStayInsideThePlane)
{
    Plane before = plane_copy(layer(), H, W);
    // x, y, radius, strength out of bounds or not numbers; the last: no such spray (mode 7).
    for (auto [x, y, rx, strength, mode] : {std::tuple{NAN, 10.f, 5.f, 1.f, 0}, {10.f, 10.f, NAN, 1.f, 0},
                                            {10.f, 10.f, 0.f, 1.f, 0}, {10.f, 10.f, -3.f, 1.f, 0},
                                            {10.f, 10.f, 5.f, INFINITY, 0}, {10.f, 10.f, 5.f, -1.f, 0},
                                            {1e30f, -1e30f, 5.f, 1.f, 0}, {10.f, 10.f, 5.f, 1.f, 7}})
        paint_single_point(es.get(), 0, mode, x, y, rx, 5, strength);
    paint_point_abs(es.get(), 5, 0, 0, 1, 10, 10, 0, 0, 1.f);
    paint_point_abs(es.get(), 5, 0, 0, 0, NAN, 10, 5, 5, 1.f);
    EXPECT_EQ(paint_rect_abs(es.get(), 0, 0, W, H, NAN), 0);
    EXPECT_EQ(paint_rect_abs(es.get(), 0, 0, W, H, -2.f), 0);
    ASSERT_EQ(plane_values(layer(), W, H), plane_values(before, W, H));
    // Enormous values reach the edges and no further (the address sanitizer watches).
    paint_single_point(es.get(), 0, 0, 0, 0, 1e30f, 1e30f, 0.5f);
    paint_rect_abs(es.get(), -2000000000, -2000000000, 2000000000, 2000000000, 0.5f);
    paint_point_abs(es.get(), 1 << 30, 0, 0, 1, 400, 199, 3, 3, 1.f);
    EXPECT_FLOAT_EQ(layer()[H - 1][W - 1], 0.25f);
    plane_free(&before, H);

    // A separator is neither painted nor logged.
    image->change_state = 0;
    add_entry(true);
    EXPECT_EQ(paint_point(es.get(), 0, 0, 1, mx(100), my(50), 10, 0.5f), 0);
    EXPECT_EQ(paint_press_conv_centre(es.get(), mx(100), my(50)), 0);
    paint_point_abs(es.get(), 0, 0, 0, 1, 100, 50, 5, 5, 1.f);
    paint_rect_release(es.get(), mx(200), my(60), 0, 100, 50, 0.5f, 1, 2);
    EXPECT_FALSE(file_exists(history_path));
    EXPECT_TRUE(image->change_state.load() == 0 && paint_queue_pending() == 0);
}

// Harmonic k lands on the row of k times the fundamental's frequency; none at 0 Hz, none above the
// top row. The spacing on a logarithmic axis (20.9 and 33.2 rows here) is the magnet test's, which
// goes through the same harmonic placement.
TEST_F(PaintDoc, HarmonicsLandOnTheRowsOfTheirFrequencies)
{
    // 100 Hz per row: 2000 Hz at row 179, its harmonics at rows 159 and 139, no fourth at 119.
    analysis({0.f, 19900.f, 100.f, 0.f, 0.f, 0.f, 1.f});
    paint_point_abs(es.get(), 3, 0, 0, 1, 400, 179, 3, 3, 1.f);
    EXPECT_EQ(std::vector<int>({darkest_row(400, 170, 190), darkest_row(400, 150, 168), darkest_row(400, 130, 148)}),
              std::vector<int>({179, 159, 139}));
    EXPECT_EQ(layer()[119][400], 1.f);
    paint_point_abs(es.get(), 100, 0, 0, 1, 600, 199, 3, 3, 1.f);
    for (int r = 0; r < 190; r++)
        EXPECT_EQ(layer()[r][600], 1.f) << r;
    paint_point_abs(es.get(), 100, 0, 0, 1, 700, 20, 3, 3, 1.f);
    EXPECT_LT(layer()[20][700], 1.f);
    for (int r = 0; r < 15; r++)
        EXPECT_EQ(layer()[r][700], 1.f) << r;
}

TEST_F(PaintDoc, QueueHoldsAtMost125PointsAndReportsTheStrokeDone)
{
    document_hooks.redraw_view = count_redraw;
    for (int i = 0; i < PAINT_QUEUE_MAX; i++)
        ASSERT_EQ(paint_point_queue(es.get(), 50, 50, 3, 3, 0.1f, 0, 0, 0, 1, 0), 1);
    EXPECT_EQ(paint_point_queue(es.get(), 300, 150, 3, 3, 1.f, 0, 0, 0, 1, 0), 0); // the 126th
    EXPECT_EQ(paint_queue_pending(), PAINT_QUEUE_MAX);
    ASSERT_EQ(paint_point_queue(es.get(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 1), 1); // consume here
    EXPECT_TRUE(layer()[150][300] == 1.f && layer()[50][50] < 0.1f);
    // pending, redraws, recomposite, finished, state pending, state, running
    EXPECT_EQ(std::vector<int>({paint_queue_pending(), redraws.load(), image->recomposite.load(), key[K_PAINT_FINISHED],
                                key[K_PAINT_STATE_PENDING], key[K_PAINT_STATE], key[K_PAINT_RUNNING]}),
              std::vector<int>({0, 1, 1, 1, 1, 2, 0}));

    // During a stroke the queue empties silently; the ring keeps working past its end.
    key[K_PAINT_FINISHED] = 0;
    key[K_STROKE] = 1;
    for (int i = 0; i < 100; i++) {
        paint_point_queue(es.get(), 400, 100, 3, 3, 0.1f, 0, 0, 0, 1, 0);
        paint_point_queue(es.get(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 1);
    }
    EXPECT_EQ(std::vector<int>({paint_queue_pending(), key[K_PAINT_FINISHED], redraws.load()}), std::vector<int>({0, 0, 1}));
}

TEST_F(PaintDoc, SprayStrokePaintsOnItsThreadAndIsLogged)
{
    key[K_STROKE] = 1;
    EXPECT_EQ(paint_press_conv_centre(es.get(), mx(100), my(50)), 1);
    EXPECT_EQ(paint_press_conv_centre(es.get(), mx(300), my(50)), 0); // already placed
    EXPECT_TRUE(image->layers[0].conv_x == 100 && image->layers[0].conv_y == 50);
    // A 10-pixel brush at half a column per pixel: radius 7.5 columns.
    EXPECT_EQ(paint_point(es.get(), 0, 0, 1, mx(100), my(50), 10, 0.5f), 1);
    EXPECT_EQ(paint_point(es.get(), 0, 0, 0, mx(110), my(50), 10, 0.5f), 1);
    EXPECT_EQ(paint_point(es.get(), 0, 0, 0, mx(110), my(50), 10, 0.5f), 1); // not moved: not logged
    EXPECT_EQ(paint_point(es.get(), 1, 0, 0, mx(120), my(50), 10, 0.5f), 1); // switches to erase
    key[K_STROKE] = 0;
    ASSERT_EQ(paint_queue_wait_idle(5000), 1);
    EXPECT_TRUE(layer()[50][105] < 0.9f && layer()[70][105] == 1.f);

    const std::string t = history();
    EXPECT_NE(t.find("Central convolution point 1 sec , 50 px\n\n"), std::string::npos) << t;
    EXPECT_NE(t.find("Draw dark spray\nPoint size 0.075 sec x 7.5 px\nUnits sec,px\nPoint intensity 0.5\n"
                     "Harmonics 0\nLines\n1       \t50      \tT+0.010s\n1.1     \t50      \tT+0.010s\n\n"
                     "Time +0.010 s\nDraw erase spray\n1.2     \t50      \tT+0.010s\n"),
              std::string::npos)
        << t;

    // Positions as notes: row 50 is 3819 Hz, 37.41 semitones above A4.
    key[K_POS_UNIT] = UNIT_NOTE;
    harmonics = 1;
    paint_point(es.get(), 0, 2, 1, mx(130), my(50), 10, 0.5f);
    ASSERT_EQ(paint_queue_wait_idle(5000), 1);
    EXPECT_NE(history().find("Harmonics 100\nLines\n1.3     \tA#7+41.39\tT+"), std::string::npos) << history();
}

TEST_F(PaintDoc, AbortEmptiesTheQueueAndStopsTheThread)
{
    key[K_STROKE] = 1;
    paint_point_queue(es.get(), 100, 100, 3, 3, 1.f, 0, 0, 0, 1, 0);
    for (int i = 1; i < PAINT_QUEUE_MAX; i++)
        paint_point_queue(es.get(), 400, 100, 3, 3, 1.f, 0, 0, 0, 1, 0);
    {
        // The thread takes the first point and waits for the lock; the stop request is seen at
        // the next point, which is then dropped with all the others.
        LockGuard hold(image->layers_lock);
        EXPECT_TRUE(paint_queue_start(es.get()) == 1 && key[K_PAINT_RUNNING] == 1);
        EXPECT_EQ(paint_queue_start(es.get()), 0); // one painting thread at a time
        for (int t = 0; paint_queue_pending() == PAINT_QUEUE_MAX && t < 5000; t++)
            wrsleep(1);
        key[K_PAINT_STOP] = 1;
    }
    ASSERT_EQ(paint_abort_and_wait(5000), 1);
    EXPECT_EQ(std::vector<int>({paint_queue_pending(), key[K_PAINT_STOP], key[K_PAINT_RUNNING]}), std::vector<int>({0, 0, 0}));
    EXPECT_TRUE(layer()[100][100] < 1.f && layer()[100][400] == 1.f);
    // Painting goes on afterwards.
    paint_point_queue(es.get(), 600, 100, 3, 3, 1.f, 0, 0, 0, 1, 0);
    paint_queue_start(es.get());
    ASSERT_EQ(paint_queue_wait_idle(5000), 1);
    EXPECT_LT(layer()[100][600], 1.f);
}

TEST_F(PaintDoc, MagnetSnapsToTheBrightestNearbyPointOfTheReference)
{
    auto snap = [&](int tool, float x, float y, int radius) {
        magnet_coordinates(es.get(), tool, mx(x), my(y), radius);
        return std::pair<int, int>(magnet_x, magnet_y);
    };
    fill_plane(image->reference, W, H, 0.f);
    EXPECT_EQ(snap(TOOL_DARK_SPRAY, 100.25f, 50.75f, 10), std::pair(100, 50)); // nothing bright: truncated
    image->reference[53][102] = 1.f;
    EXPECT_EQ(snap(TOOL_DARK_SPRAY, 100, 50, 10), std::pair(102, 53));
    image->reference[50][198] = image->reference[50][202] = 1.f; // equal at equal distances: the left one
    EXPECT_EQ(snap(TOOL_DARK_SPRAY, 200, 50, 10), std::pair(198, 50));

    // 199 rows over ln(20000 / 27.5): the second harmonic 20.9 rows up, the third 33.2. Row 60
    // with both harmonics lit beats the bright point under the mouse only with Harmonics on.
    image->reference[50][300] = 1.f;
    image->reference[60][300] = image->reference[60 - 21][300] = image->reference[60 - 33][300] = 1.f;
    EXPECT_EQ(snap(TOOL_DARK_SPRAY, 300, 50, 50), std::pair(300, 50));
    harmonics = 1;
    EXPECT_EQ(snap(TOOL_DARK_SPRAY, 300, 50, 50), std::pair(300, 60));
    EXPECT_EQ(snap(TOOL_RECTANGLE, 300, 50, 50), std::pair(300, 50));

    // With Magnet on the spray paints at the snapped point.
    magnet = 1;
    magnet_coordinates(es.get(), TOOL_DARK_SPRAY, mx(300), my(50), 50);
    paint_point(es.get(), 0, 0, 1, mx(300), my(50), 2, 1.f);
    ASSERT_EQ(paint_queue_wait_idle(5000), 1);
    EXPECT_EQ(darkest_row(300, 50, 70), 60);
}

TEST_F(PaintDoc, RectangleRestartsFromUndoEachPassAndLogsOnRelease)
{
    int first = -1, last = -1;
    ASSERT_EQ(paint_rect(es.get(), mx(200), my(100), 0, 100, 50, 0.5f, &first, &last), 1);
    EXPECT_EQ(layer()[90][180], 0.5f);
    ASSERT_EQ(paint_rect(es.get(), mx(150), my(80), 0, 100, 50, 0.5f, &first, &last), 1);
    // The first pass is gone; the new one covers rows 50..79 and columns 100..149.
    EXPECT_EQ(std::vector<float>({layer()[90][180], layer()[79][149], layer()[80][149], layer()[79][150],
                                  layer()[50][100], layer()[49][100]}),
              std::vector<float>({1.f, 0.5f, 1.f, 1.f, 0.5f, 1.f}));
    EXPECT_TRUE(first == 2 && last == 2); // 2 * 100 / 100 and (2 * 150 - 2) / 100

    paint_rect_release(es.get(), mx(150), my(80), 0, 100, 50, 0.5f, first, last);
    EXPECT_EQ(blocks(), std::vector<uint8_t>({2, 0, 0, 0, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}));
    EXPECT_EQ(image->change_state.load(), 2);
    EXPECT_NE(history().find("Draw rectangle\nIntensity 0.5\nRectangle start 1 sec x 50 px\n"
                             "Rectangle end 1.5 sec x 80 px\n\n"),
              std::string::npos)
        << history();

    // Erase mode lightens by the inverse; a full intensity is logged as 100000 and counts as an edit.
    layer_to_undo(image.get());
    paint_rect(es.get(), mx(150), my(80), 1, 100, 50, 0.5f, &first, &last);
    EXPECT_FLOAT_EQ(layer()[60][120], 1.f);
    paint_rect_release(es.get(), mx(150), my(80), 1, 100, 50, 1.f, first, last);
    EXPECT_EQ(image->change_state.load(), 1);
    EXPECT_NE(history().find("Intensity 100000\n"), std::string::npos);
}

// Move tool: shifted rebuilds from the undo copy, the Shift axis lock, the status text on
// logarithmic and linear axes, and the history line in the chosen units.

// A shift through the window and its Undo are the editor's move-tool test; here shifts beyond the
// plane, however far, leave all 0, dragging back restores the layer, and without an undo copy or on
// a separator nothing moves.
TEST_F(MoveDoc, ShiftsBeyondThePlaneDraggingBackAndWhatCannotMove)
{
    const int moves[][2] = {{W, 0}, {-W, 0}, {0, H}, {0, -H}, {INT_MAX, 0}, {0, INT_MIN}, {INT_MIN, INT_MAX}};
    for (const auto& m : moves) {
        ASSERT_EQ(move_tool_layer_abs(es.get(), m[0], m[1]), 1);
        ASSERT_EQ(plane_values(layer(), W, H), std::vector<float>(W * H, 0.f)) << m[0] << "," << m[1];
    }
    move_tool_layer_abs(es.get(), 0, 0);
    EXPECT_TRUE(layer_is_undo());

    // A missing undo copy or a separator leaves everything alone.
    plane_free(&image->undo, H);
    EXPECT_TRUE(move_tool_layer_abs(es.get(), 1, 1) == 0 && layer()[5][5] == 506.f);
    image->layers[1].name = string_assign("----");
    image->sel = image->count++;
    image->undo = plane_alloc(H, W);
    char status[64] = "untouched";
    EXPECT_TRUE(move_tool_layer(es.get(), status, sizeof status, 1, 1) == 0 && !strcmp(status, "untouched"));
}

// Shift keeps only the longer axis; the history counts upwards positive in the chosen units; the
// status tells semitones on a logarithmic axis, hertz on a linear one, and slot 124 silences it.
TEST_F(MoveDoc, ShiftHistoryAndStatus)
{
    key[K_SHIFT] = 1;
    move_tool_layer(es.get(), nullptr, 0, 10, 3); // 10 screen pixels right, 3 down: time only
    EXPECT_EQ(layer()[0][10], image->undo[0][0]);
    move_tool_layer(es.get(), nullptr, 0, 2, -3);
    EXPECT_EQ(layer()[0][0], image->undo[3][0]);
    print_move_tool_cmd(es.get(), 10, 3);
    key[K_SHIFT] = 0;
    key[K_DIM_UNIT] = UNIT_PX;
    print_move_tool_cmd(es.get(), -4, 6);
    key[K_DIM_UNIT] = UNIT_ST;
    print_move_tool_cmd(es.get(), 0, -5); // upwards positive
    const std::string t = read_file(history_path);
    for (const char* line : {"Move layer +0.1 sec x +0 st\n", "Move layer -0.04 sec x -6 px\n", "Move layer +0 sec x +1 st\n"})
        EXPECT_NE(t.find(line), std::string::npos) << t;

    char status[128] = "";
    move_tool_layer(es.get(), status, sizeof status, 10, -5); // 5 rows up at 60 rows per octave
    EXPECT_STREQ(status, "Moving by 1.00 semitones, 0.100 seconds");
    std::tie(es->anal_params[0], es->anal_params[1], es->anal_params[6]) = std::tuple(0.f, 18000.f, 1.f);
    move_tool_layer(es.get(), status, sizeof status, -25, 2); // 100 Hz per row
    EXPECT_STREQ(status, "Moving by -200.00 Hz, -0.250 seconds");
    key[124] = 1;
    move_tool_layer(es.get(), status, sizeof status, 1, 1);
    EXPECT_STREQ(status, "Moving by -200.00 Hz, -0.250 seconds");
}
