// Move tool: shifted rebuilds from the undo copy, the Shift axis lock, the status text on
// logarithmic and linear axes, and the history line in the chosen units.
#include "core/units.h"
#include "document/move.h"
#include "test_doc.h"

#include <climits>
#include <tuple>

namespace {

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
