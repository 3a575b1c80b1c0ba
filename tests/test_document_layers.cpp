// The layer list: commands through their slots with their history lines and refusals, the
// selection, Undo, the full table, resizing, the gamma and intensity steps and the labels.
#include "test_doc.h"

#include <cmath>

namespace {

int knob_layouts = 0, redraws = 0;
void count_layout(EngineState*) { knob_layouts++; }
void count_redraw(EngineState*) { redraws++; }

// A 4 x 3 one-layer document ("Layer 0", every pixel 1) with the history in a temporary file.
struct DocumentLayers : DocTest {
    static constexpr int W = 4, H = 3;

    void SetUp() override
    {
        DocTest::SetUp();
        log_history();
        doc(W, H, 1.f);
        knob_layouts = redraws = 0;
    }
    // The history's command lines, without the time lines (empty lines are kept as "").
    std::vector<std::string> history() { return ScopedHistory::command_lines(); }
    // Sets a request slot and lets the dispatcher run it.
    void run(int slot, int value = 1)
    {
        key[slot] = (int8_t)value;
        layer_commands(es.get());
        EXPECT_EQ(key[slot], 0) << "slot " << slot;
    }
    std::string name(int i) { return image->layers[i].name; }
};

using Lines = std::vector<std::string>;

} // namespace

TEST_F(DocumentLayers, AddingEntriesNamesAndLogsThem)
{
    document_hooks.knob_layout = count_layout;
    run(K_NEW_LAYER);
    EXPECT_EQ(name(1), "Layer 1");
    // count, selection, change state (an empty layer changes nothing), several layers, relayouts
    EXPECT_EQ(std::vector<int>({image->count, image->sel, image->change_state, key[K_MULTI_LAYER], knob_layouts}),
              std::vector<int>({2, 1, 0, 1, 1}));

    run(K_ADD_SEPARATOR); // on top: closes an empty group
    EXPECT_EQ(image->change_state, 0);
    image->sel = 0;
    image->layers[0].blend = 3;
    run(K_DUPLICATE_LAYER); // inserted above the selection, the rest moves up
    EXPECT_EQ(name(1) + ", " + name(2), "Layer 2, Layer 1");
    EXPECT_TRUE(image->layers[1].blend == 3 && image->layers[1].plane != image->layers[0].plane && image->change_state == 1);

    image->change_state = 0;
    image->sel = 3;
    run(K_DUPLICATE_LAYER); // a separator duplicates as a separator of the same name
    EXPECT_TRUE(image->layers[4].plane == nullptr && name(4) == "----");
    image->sel = 0;
    image->change_state = 0;
    run(K_ADD_SEPARATOR); // lower down it regroups the layers above
    EXPECT_EQ(image->change_state, 1);

    run(K_DELETE_LAYER);
    run(K_DELETE_LAYER);
    run(K_NEW_LAYER); // numbers of deleted layers are not reused
    EXPECT_EQ(name(image->sel), "Layer 3");

    image->composite[1][1] = 5.f;
    run(K_MERGE_ALL);
    EXPECT_EQ(std::pair(name(image->sel), image->layers[image->sel].plane[1][1]), std::pair(std::string("Layer 4"), 5.f));

    EXPECT_EQ(history(), (Lines{"New layer \"Layer 1\"", "", "New separator \"----\"", "", "Duplicate layer", "",
                                "Duplicate layer", "", "New separator \"----\"", "", "Delete layer", "",
                                "Delete layer", "", "New layer \"Layer 3\"", "", "Merge all to new layer", ""}));
    EXPECT_EQ(knob_layouts, 1);
}

TEST_F(DocumentLayers, MergeDeleteAndMoveRefuseQuietly)
{
    run(K_DELETE_LAYER); // the only entry stays
    run(K_MERGE_DOWN);   // layer 0
    EXPECT_EQ(image->count, 1);
    run(K_LAYER_UP);
    run(K_LAYER_DOWN);
    EXPECT_EQ(history(), Lines{});

    run(K_ADD_SEPARATOR);
    run(K_MERGE_DOWN); // a separator
    run(K_NEW_LAYER);
    run(K_MERGE_DOWN); // a layer above a separator
    EXPECT_EQ(image->count, 3);

    run(K_LAYER_DOWN); // Layer 1 below the separator
    EXPECT_EQ(image->sel, 1);
    image->layers[1].plane[0][0] = 2.f;
    image->layers[1].blend = 1;
    image->change_state = 0;
    run(K_MERGE_DOWN); // count, selection, change state; 2 x 1 and 1 x the empty new layer's 0
    EXPECT_EQ(std::tuple(image->count, image->sel, image->change_state.load(), image->layers[0].plane[0][0],
                         image->layers[0].plane[0][1]),
              std::tuple(2, 0, 1, 2.f, 0.f));

    image->sel = 1;
    run(K_DELETE_LAYER); // the topmost: the one below is selected
    EXPECT_EQ(image->sel, 0);
    EXPECT_EQ(history(), (Lines{"New separator \"----\"", "", "New layer \"Layer 1\"", "", "Move layer down", "",
                                "Merge down layer", "", "Delete layer", ""}));
}

TEST_F(DocumentLayers, SelectionBlendingOffAndViewOptions)
{
    run(K_NEW_LAYER);
    run(K_NEW_LAYER);
    run(K_SELECT_LAYER, 1); // the top of the list
    EXPECT_EQ(image->sel, 2);
    key[K_RELATIVE_SELECTION] = 1;
    run(K_SELECT_LAYER, 3);
    EXPECT_EQ(image->sel, 0);
    run(K_SELECT_LAYER, 4); // no such position
    run(K_SELECT_LAYER, -56); // a list position beyond the byte range arrives negative
    EXPECT_EQ(image->sel, 0);

    run(K_BLEND_FIRST + 13);
    run(K_TURN_OFF_LAYER);
    EXPECT_EQ(std::pair(image->layers[0].blend, image->layers[0].off), std::pair(13, 1));

    document_hooks.redraw_view = count_redraw;
    image->change_state = 0;
    run(K_VIEW_GROUP_ONLY);
    EXPECT_EQ(std::tuple((int)key[state_of(K_VIEW_GROUP_ONLY)], image->change_state.load(), redraws), std::tuple(1, 1, 1));

    // With a view option on, a selection into another group recomposites and redraws.
    image->sel = 2;
    add_separator(es.get()); // index 3
    image->change_state = 0;
    image->recomposite = 0;
    redraws = 0;
    run(K_SELECT_LAYER, 4);
    EXPECT_EQ(std::tuple(image->change_state.load(), image->recomposite.load(), redraws), std::tuple(1, 1, 1));

    EXPECT_EQ(history(), (Lines{"New layer \"Layer 1\"", "", "New layer \"Layer 2\"", "", "Selected layer 2", "",
                                "Selected layer -2", "", "Blending convolution looped", "", "Turn off layer", "",
                                "New separator \"----\"", "",
                                "Selected layer -3", ""}));
}

// The Undo exchange itself is the Undo tests' case; a full table refuses every kind of addition.
TEST_F(DocumentLayers, TheFullTableRefuses)
{
    while (image->count < LAYER_CAPACITY)
        image->layers[image->count++].name = string_assign("----");
    testing::internal::CaptureStderr();
    run(K_NEW_LAYER);
    run(K_DUPLICATE_LAYER);
    run(K_ADD_SEPARATOR);
    run(K_MERGE_ALL);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(image->count, LAYER_CAPACITY);
    EXPECT_NE(err.find("Too many layers (8192): no layer was added\n"), std::string::npos) << err;
    char notice[128] = "";
    EXPECT_EQ(take_user_notice(notice, sizeof notice), 1); // for the window's status line
    EXPECT_STREQ(notice, "Too many layers (8192): no layer was added");
    EXPECT_EQ(history(), Lines{});
}

TEST_F(DocumentLayers, GammaAndIntensityStepsRestartFromTheUndoCopy)
{
    for (int x = 0; x < W; x++)
        image->layers[0].plane[0][x] = image->undo[0][x] = 4.f;
    gamma_layer(image.get(), 0.5f, 1);
    EXPECT_FLOAT_EQ(image->layers[0].plane[0][0], 2.f);
    gamma_layer(image.get(), 0.5f, 0); // without restoring: applied on top
    EXPECT_FLOAT_EQ(image->layers[0].plane[0][0], std::sqrt(2.f));
    intensitify_layer(image.get(), 3.f, 1);
    EXPECT_FLOAT_EQ(image->layers[0].plane[0][0], 12.f);

    // A background step blocked on the layer lock: a second start is refused meanwhile.
    mutex_to_1(image->layers_lock);
    EXPECT_EQ(intensitify_layer_background(image.get(), 2.f, 1), 1);
    EXPECT_EQ(intensitify_layer_background(image.get(), 5.f, 1), 0);
    EXPECT_EQ(gamma_layer_background(image.get(), 2.f, 0), 1); // the other kind is independent
    mutex_to_0(image->layers_lock);
    layer_steps_wait();
    const float v = image->layers[0].plane[0][0];
    EXPECT_TRUE(v == 8.f || v == 64.f) << v; // either order of the two steps
    EXPECT_EQ(intensitify_layer_background(image.get(), 0.5f, 1), 1); // free again
    intensitify_layer(image.get(), 1.f, 1); // waits for the background step
    EXPECT_FLOAT_EQ(image->layers[0].plane[0][0], 4.f);
}

// A layer, a separator and a layer above: the labels show off, group-off and the tag; resizing
// keeps the top left of every layer.
TEST_F(DocumentLayers, LabelsAndResizing)
{
    add_separator(es.get());
    new_layer(es.get());
    set_blending(es.get(), 9);
    char text[64];
    auto label = [&](int i) { return layer_label(image.get(), i, text, sizeof text) ? std::string(text) : "refused: " + std::string(text); };
    EXPECT_EQ(label(2), "Layer 1 [VProp]");
    image->layers[1].off = 1;
    EXPECT_EQ(std::vector<std::string>({label(2), label(1), label(0), label(3)}),
              (std::vector<std::string>{"(group-off) Layer 1 [VProp]", "(off) ---- [Add]", "Layer 0 [Add]", "refused: "}));

    image->layers[2].plane[2][3] = 4.f;
    ASSERT_EQ(new_dimensions(image.get(), 6, 2, 0), 1); // not forced: never smaller
    EXPECT_EQ(std::vector<int>({image->w, image->h, crop_w, crop_h}), std::vector<int>({6, 3, 6, 3}));
    EXPECT_TRUE(image->layers[0].plane[2][4] == 0.f && !image->layers[1].plane && image->layers[2].plane[2][3] == 4.f);
    ASSERT_EQ(new_dimensions(image.get(), 2, 2, 1), 1); // forced: cropped
    EXPECT_TRUE(image->src_w == 2 && image->src_h == 2 && image->layers[0].plane[1][1] == 1.f && image->undo[1][1] == 0.f);
    testing::internal::CaptureStderr();
    EXPECT_EQ(new_dimensions(image.get(), 0, 2, 1), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(image->w, 2);
}
