// The selection mask: a feathered box, adding and subtracting, its bounds and its weights.
#include "document/selection.h"

#include <gtest/gtest.h>

#include <array>

TEST(Selection, FeatheredBoxAddSubtractAndBounds)
{
    ImageStack doc{};
    doc.w = 40;
    doc.h = 30;
    ImageStack* im = &doc;
    int x0, y0, x1, y1;
    EXPECT_FALSE(selection_present(im));
    EXPECT_EQ(selection_weight(im, 5, 5), 1.f); // nothing selected: everything counts
    EXPECT_FALSE(selection_bounds(im, &x0, &y0, &x1, &y1));
    EXPECT_EQ(x1, 40);

    ASSERT_TRUE(selection_box(im, 20, 15, 10, 5, 3.f, SELECT_REPLACE)); // corners in any order
    EXPECT_EQ(selection_weight(im, 10, 5), 1.f);
    EXPECT_EQ(selection_weight(im, 20, 15), 1.f);
    const float edge1 = selection_weight(im, 21, 10), edge2 = selection_weight(im, 22, 10);
    EXPECT_GT(edge1, edge2); // the soft edge falls away from the box
    EXPECT_GT(edge2, 0.f);
    EXPECT_EQ(selection_weight(im, 23, 10), 0.f); // three pixels out: nothing
    EXPECT_EQ(selection_weight(im, 40, 10), 0.f); // outside the document
    ASSERT_TRUE(selection_bounds(im, &x0, &y0, &x1, &y1));
    EXPECT_EQ((std::array{x0, y0, x1, y1}), (std::array{8, 3, 23, 18}));

    ASSERT_TRUE(selection_box(im, 30, 0, 35, 2, 0.f, SELECT_ADD));
    EXPECT_EQ(selection_weight(im, 12, 12), 1.f);
    EXPECT_EQ(selection_weight(im, 33, 1), 1.f);
    ASSERT_TRUE(selection_box(im, 0, 0, 39, 29, 0.f, SELECT_SUBTRACT));
    ASSERT_FALSE(selection_bounds(im, &x0, &y0, &x1, &y1)); // all taken away
    selection_clear(im);
    EXPECT_FALSE(selection_present(im));
}
