// Copy and Paste: the clipboard picture of a selection (its bounds, weighted by the mask) pasted
// back as a new layer gives the region's pixels within a grey step, and its history line replays
// to the same document. (Its Undo step is the editor's copy-paste test; bad Paste lines are the
// replay's hostile input tests'.)
#include "document/composite.h"
#include "document/selection.h"
#include "document/undo.h"
#include "history/clipboard.h"
#include "test_doc.h"

#include <cmath>

namespace {

using ClipboardTest = DocTest;

// The pattern of the test document.
float pattern(int r, int c) { return (float)((r * 7 + c * 3) % 13) / 4.f; }

TEST_F(ClipboardTest, CopiedSelectionPastesBackAsALayerAndReplays)
{
    doc(60, 40, pattern);
    log_history();
    ASSERT_TRUE(selection_box(image.get(), 10, 5, 29, 19, 2.f, SELECT_REPLACE));
    int x0, y0, x1, y1;
    ASSERT_TRUE(selection_bounds(image.get(), &x0, &y0, &x1, &y1));
    std::vector<uint32_t> px;
    int w = 0, h = 0;
    ASSERT_TRUE(clipboard_picture(image.get(), &px, &w, &h));
    ASSERT_EQ(std::vector<int>({w, h}), std::vector<int>({x1 - x0, y1 - y0}));

    // What the clipboard gives back: grey levels, pasted at the region's place.
    std::vector<uint8_t> grey(px.size());
    for (size_t i = 0; i < px.size(); i++)
        grey[i] = (uint8_t)(px[i] & 0xFF);
    const float peak = paste_peak(image.get());
    EXPECT_FLOAT_EQ(peak, 3.f);
    Plane pasted = picture_to_plane(grey.data(), w, h, peak);
    ASSERT_EQ(paste_layer(es.get(), pasted, w, h, x0, y0), 1);
    plane_free(&pasted, h);
    ASSERT_EQ(image->count, 2);
    const Plane layer = image->layers[image->sel].plane;
    for (int r = 0; r < image->h; r++)
        for (int c = 0; c < image->w; c++) {
            const float want = pattern(r, c) * selection_weight(image.get(), c, r);
            // One grey step of sqrt(v / peak) around the value.
            const float step = 2.f * std::sqrt(want * peak) / 255.f + peak / 65025.f;
            ASSERT_NEAR(layer[r][c], want, step) << r << ", " << c;
        }
    EXPECT_STREQ(undo_next_label(image.get(), -1), "Paste Layer");
    const DocState after = snapshot(*image);

    // The history holds the pixels: a replay on the same document gives the same layers.
    command_log_close();
    char line[80];
    snprintf(line, sizeof line, "Paste layer \"Layer 1\" %d x %d at %d %d\n", w, h, x0, y0);
    EXPECT_NE(read_file(history_path).find(line), std::string::npos) << read_file(history_path);
    Session again;
    ASSERT_EQ(image_from_plane(&again.image, plane_of(60, 40, pattern), 60, 40, "test"), 1);
    replay_reset();
    char title[256] = "";
    ASSERT_GT(load_archive(history_path, &again.es, title, sizeof title, nullptr), 0);
    EXPECT_EQ(snapshot(again.image), after);
}

} // namespace
