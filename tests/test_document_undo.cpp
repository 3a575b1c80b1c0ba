// Deep Undo and Redo: every kind of command is one step that Undo takes back and Redo brings
// again exactly (all layers, the table, the selection); the memory budget, the dropped redo tail,
// steps that cost what they touched, and a new document starting a new series.
#include "document/composite.h"
#include "document/move.h"
#include "document/operations.h"
#include "document/paint.h"
#include "document/undo.h"
#include "test_doc.h"

namespace {

// A 24 x 16 document of two layers, both patterned, the top one selected: the start of every case.
struct DocumentUndo : DocTest {
    static constexpr int W = 24, H = 16;

    void SetUp() override
    {
        DocTest::SetUp();
        analysis({50.f, 5000.f, 100.f, 100.f, 60.f, 24.f, 2.f});
    }
    void TearDown() override
    {
        UNDO_MEMORY_MB = 512;
        DocTest::TearDown();
    }
    void two_layers(int w = W, int h = H)
    {
        doc(w, h, [](int r, int c) { return (float)((r * 7 + c * 3) % 11) / 10.f; });
        ASSERT_EQ(new_layer(es.get()), 1);
        for (int r = 0; r < h; r++)
            for (int c = 0; c < w; c++)
                image->layers[1].plane[r][c] = (r > 2 && r < 11 && c > 5) ? (float)(c % 5) / 4.f : 0.f;
        layer_to_undo(image.get());
        undo_restart(image.get()); // the case starts from here
    }
    // Sets an operation's request slot and lets the dispatcher run it.
    void operation(int slot, int value = 1)
    {
        key[slot] = (int8_t)value;
        layer_operations(es.get());
    }
    void command(int slot)
    {
        key[slot] = 1;
        layer_commands(es.get());
    }
};

} // namespace

// One command, one step: Undo gives the document before it, Redo the document after it, and
// again; the menu names the step.
TEST_F(DocumentUndo, EveryKindOfCommandIsOneStepBackAndForth)
{
    EngineState* e = es.get();
    ImageStack* im = image.get();
    const struct {
        const char* label;
        std::function<void()> run;
        int select = 0; // a layer selected before, 1-based from the top
    } cases[] = {
        {"Invert", [&] { operation(K_INVERT); }},
        {"Mask Invert", [&] { operation(K_MASK_INVERT); }},
        {"Horizontal Flip", [&] { operation(K_HFLIP); }},
        {"Vertical Flip", [&] { operation(K_VFLIP); }},
        {"Rotation by 90", [&] { operation(K_ROTATE, 2); }},
        {"Rotation by 180", [&] { operation(K_ROTATE, 3); }},
        {"Erase", [&] { operation(K_ERASE_MASK); }},
        {"Horizontal Average", [&] { operation(68); }},
        {"Vertical Curves", [&] { operation(71); }},
        {"Fill to Bottom", [&] { operation(73); }},
        {"Vertical Normalisation", [&] { operation(77); }},
        {"1/x", [&] { operation(K_OP_RECIPROCAL); }},
        {"Square Root", [&] { operation(80); }},
        {"Fill White", [&] { operation(81); }},
        {"Square", [&] { operation(79); }},
        {"New Layer", [&] { command(K_NEW_LAYER); }},
        {"Duplicate Layer", [&] { command(K_DUPLICATE_LAYER); }},
        {"New Separator", [&] { command(K_ADD_SEPARATOR); }},
        {"Merge Down Layer", [&] { command(K_MERGE_DOWN); }},
        {"Delete Layer", [&] { command(K_DELETE_LAYER); }},
        {"Delete Layer", [&] { command(K_DELETE_LAYER); }, 2}, // the bottom one
        {"Merge All to New Layer", [&] { process_layers(e), command(K_MERGE_ALL); }},
        {"Move Layer Down", [&] { command(K_LAYER_DOWN); }},
        {"Blending Maximum", [&] { command(K_BLEND_FIRST + 8); }},
        {"Turn Off Layer", [&] { command(K_TURN_OFF_LAYER); }},
        {"Stroke",
         [&] {
             paint_point_abs(e, 3, 0, 1, 1, 8.f, 12.f, 2.f, 2.f, 0.8f);
             paint_point_abs(e, 3, 0, 1, 0, 14.f, 11.f, 2.f, 2.f, 0.8f);
             undo_commit(im, "Stroke");
         }},
        {"Rectangle", [&] { paint_rect_abs(e, 2, 3, 9, 7, 0.25f), undo_commit(im, "Draw rectangle"); }},
        {"Move Layer", [&] { move_tool_layer_abs(e, 3, -2), undo_commit(im, "Move layer +3 px x +2 px"); }},
        {"Undo Exchange", [&] { im->undo[2][2] = 5.f, undo_layer(e); }},
        {"Gamma", [&] { gamma_layer(im, 0.5f, 0), im->layers[1].gamma = 0.5f, undo_commit(im, "Gamma 0.5"); }},
        {"Layer Intensity", [&] { intensitify_layer(im, 2.f, 0), undo_commit(im, "Multiply layer by 2"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_NO_FATAL_FAILURE(two_layers());
        if (c.select)
            select_layer(e, c.select);
        const DocState before = snapshot(*im);
        c.run();
        const DocState after = snapshot(*im);
        ASSERT_NE(after, before);
        ASSERT_EQ(undo_available(im, -1), 1);
        EXPECT_STREQ(undo_next_label(im, -1), c.label);
        EXPECT_EQ(undo_next_label(im, +1), nullptr);
        for (int round = 0; round < 2; round++) {
            ASSERT_EQ(undo_step(e, -1), 1);
            EXPECT_EQ(snapshot(*im), before);
            EXPECT_EQ(undo_step(e, -1), 0); // nothing older
            EXPECT_STREQ(undo_next_label(im, +1), c.label);
            ASSERT_EQ(undo_step(e, +1), 1);
            EXPECT_EQ(snapshot(*im), after);
            EXPECT_EQ(undo_step(e, +1), 0);
        }
        char said[128] = "";
        EXPECT_EQ(undo_take_message(im, said, sizeof said), 1);
        EXPECT_EQ(std::string(said), std::string("Redo: ") + c.label);
    }
}

// A series of steps walks back and forth in order; a new edit after Undos drops the redo tail;
// nothing changed (or the selection alone) is no step; edits left without a boundary become
// a step of their own before Undo.
TEST_F(DocumentUndo, SeriesRedoTailAndPendingEdits)
{
    EngineState* e = es.get();
    ImageStack* im = image.get();
    ASSERT_NO_FATAL_FAILURE(two_layers());
    std::vector<DocState> states{snapshot(*im)};
    for (int slot : {(int)K_INVERT, 80, (int)K_HFLIP, 79}) {
        operation(slot);
        states.push_back(snapshot(*im));
    }
    ASSERT_EQ(undo_available(im, -1), 4);
    for (auto [direction, i] : {std::pair{-1, 3}, {-1, 2}, {-1, 1}, {-1, 0}, {+1, 1}, {+1, 2}}) {
        ASSERT_EQ(undo_step(e, direction), 1);
        EXPECT_EQ(snapshot(*im), states[(size_t)i]) << i;
    }
    select_layer(e, 2);
    EXPECT_EQ(undo_commit(im, "Selected layer 0"), 0); // the selection alone: no step
    EXPECT_EQ(undo_available(im, +1), 2);
    operation(K_INVERT); // on the bottom layer: drops the two steps that could be redone
    EXPECT_EQ(std::pair(undo_available(im, +1), undo_available(im, -1)), std::pair(0, 3));
    EXPECT_EQ(undo_commit(im, "Operation invert"), 0); // nothing changed since

    // An edit without its boundary is a step of its own: Undo takes it back first.
    const DocState normalised = snapshot(*im);
    im->layers[0].plane[3][4] = 9.f;
    ASSERT_EQ(undo_step(e, -1), 1);
    EXPECT_EQ(snapshot(*im), normalised);
    EXPECT_STREQ(undo_next_label(im, +1), "Edit");
    ASSERT_EQ(undo_step(e, -1), 1);
    EXPECT_EQ(snapshot(*im).entries, states[2].entries);
}

// The budget: the oldest steps go first; a step larger than the whole budget clears the history
// and says so; a step costs the box it changed, a blank layer nothing; a new document drops the
// series with a message.
TEST_F(DocumentUndo, BudgetBoxesAndNewDocuments)
{
    EngineState* e = es.get();
    ImageStack* im = image.get();
    UNDO_MEMORY_MB = 1;
    ASSERT_NO_FATAL_FAILURE(two_layers(256, 256)); // 256 KiB a layer: a whole-layer step is 512 KiB
    operation(K_INVERT);
    EXPECT_GT(undo_bytes(im), (size_t)512 << 10);
    operation(K_INVERT);
    EXPECT_EQ(undo_available(im, -1), 1); // the oldest went to make room
    EXPECT_LE(undo_bytes(im), (size_t)1 << 20);

    ASSERT_NO_FATAL_FAILURE(two_layers(600, 600)); // 1.4 MiB a layer
    char said[128] = "";
    EXPECT_EQ(undo_take_message(im, said, sizeof said), 1);
    EXPECT_STREQ(said, "New document: 1 Undo step dropped");
    testing::internal::CaptureStderr();
    operation(K_INVERT);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\"Invert\" is too large to undo"), std::string::npos) << err;
    EXPECT_EQ(std::tuple(undo_available(im, -1), undo_step(e, -1), undo_take_message(im, said, sizeof said)),
              std::tuple(0, 0, 1));
    EXPECT_NE(std::string(said).find("too large to undo"), std::string::npos) << said;

    UNDO_MEMORY_MB = 512;
    ASSERT_NO_FATAL_FAILURE(two_layers(600, 600));
    const size_t before = undo_bytes(im);
    select_layer(e, 2); // the bottom layer, patterned all over
    paint_rect_abs(e, 100, 200, 130, 230, 0.5f);
    undo_commit(im, "Draw rectangle");
    const size_t rect = undo_bytes(im) - before;
    EXPECT_GE(rect, 2u * 30 * 30 * sizeof(float));
    EXPECT_LT(rect, 2u * 30 * 30 * sizeof(float) + 4096); // the box, not the plane
    select_layer(e, 1);
    command(K_NEW_LAYER);
    EXPECT_LT(undo_bytes(im) - before - rect, 4096u); // a blank layer costs its table entry
    command(K_DELETE_LAYER);
    command(K_DELETE_LAYER); // the patterned layer: its non-zero box
    const size_t deleted = undo_bytes(im) - before - rect;
    EXPECT_GT(deleted, (size_t)8 * 590 * sizeof(float));
    EXPECT_LT(deleted, (size_t)8 * 600 * sizeof(float) + 4096);
    ASSERT_EQ(undo_step(e, -1), 1);
    EXPECT_EQ(im->count, 2);
    EXPECT_EQ(im->layers[1].plane[5][599], (float)(599 % 5) / 4.f);
}
