// The Select tool and the selection's keys in the real editor, headless on the demo: a box
// dragged across the view selects it (and is written to the history), Shift adds a second box,
// A selects all, I inverts, Delete removes the selected region, G asks for a gain, and Escape
// closes an open menu first and drops the selection next.
#include "editor/menus.h"
#include "editor/panel.h"
#include "display/view.h"
#include "document/selection.h"
#include "test_editor.h"

#include <array>

using EditorSelection = EditorTest;

TEST_F(EditorSelection, ToolAndKeysMakeAndChangeTheSelection)
{
    TempDir dir;
    write_file(dir.file("dialogs.txt"), "number 6\nnumber -200\nnumber -6\n");
    ScopedEnv dialogs("BRINDLEWHARF_DIALOG_SCRIPT", dir.file("dialogs.txt").c_str());
    ASSERT_NO_FATAL_FAILURE(start());
    auto frame = [&] { ASSERT_EQ(editor_frame(ed.get()), 1); };

    // The Select button takes the box, pressed again the brush, the lasso and the box again.
    const Control& button = ctrl[C_TOOL_SELECT];
    for (int tool : {TOOL_SELECT_BOX, TOOL_SELECT_BRUSH, TOOL_SELECT_LASSO, TOOL_SELECT_BOX}) {
        pointer_frame(ed.get(), button.x + button.cx, button.y + button.cy, 1);
        pointer_frame(ed.get(), button.x + button.cx, button.y + button.cy, 0);
        EXPECT_EQ(mouse_function, tool);
    }
    EXPECT_EQ(button.frame, 1);

    // The soft edge of new shapes is asked for (Edit > Selection Feather...).
    key[K_SELECTION_FEATHER] = 1;
    frame();
    EXPECT_EQ(selection_feather, 6.f);

    // A box dragged over the middle of the view.
    const int x0 = im->view_x + im->view_w / 4, x1 = im->view_x + im->view_w / 2;
    const int y0 = im->view_y + im->view_h / 4, y1 = im->view_y + im->view_h / 2;
    pointer_frame(ed.get(), x0, y0, 1);
    const int c0 = mouse_ax_to_x(im->view_w), r0 = mouse_ay_to_y(im->view_h);
    pointer_frame(ed.get(), x1, y1, 1);
    EXPECT_NE(std::string(ed->status).find("Hz ("), std::string::npos) << ed->status; // the range while drawn
    const int c1 = mouse_ax_to_x(im->view_w), r1 = mouse_ay_to_y(im->view_h);
    pointer_frame(ed.get(), x1, y1, 0);
    ASSERT_TRUE(selection_present(im));
    EXPECT_EQ(selection_weight(im, (c0 + c1) / 2, (r0 + r1) / 2), 1.f);
    EXPECT_EQ(selection_weight(im, c1 + 10, r1 + 10), 0.f);

    // Shift adds a second box beside the first.
    key[K_SHIFT] = 1;
    pointer_frame(ed.get(), x1 + 20, y0, 1);
    pointer_frame(ed.get(), x1 + 40, y1, 1);
    pointer_frame(ed.get(), x1 + 40, y1, 0);
    key[K_SHIFT] = 0;
    EXPECT_EQ(selection_weight(im, (c0 + c1) / 2, (r0 + r1) / 2), 1.f);
    EXPECT_EQ(selection_weight(im, mouse_ax_to_x(im->view_w) - 5, (r0 + r1) / 2), 1.f);

    // The lasso with Ctrl takes a small triangle at the box's corner away; the brush with Shift
    // paints it back.
    pointer_frame(ed.get(), x1 - 4, y0 + 4, 0);
    const int tc = mouse_ax_to_x(im->view_w), tr = mouse_ay_to_y(im->view_h);
    ASSERT_EQ(selection_weight(im, tc, tr), 1.f);
    mouse_function = TOOL_SELECT_LASSO;
    key[K_CTRL] = 1;
    for (const auto& [x, y, b] : {std::array{x1 - 14, y0, 1}, {x1, y0, 1}, {x1, y0 + 14, 1}, {x1, y0 + 14, 0}})
        pointer_frame(ed.get(), x, y, b);
    key[K_CTRL] = 0;
    EXPECT_EQ(selection_weight(im, tc, tr), 0.f);
    EXPECT_EQ(selection_weight(im, (c0 + c1) / 2, (r0 + r1) / 2), 1.f);
    mouse_function = TOOL_SELECT_BRUSH;
    key[K_SHIFT] = 1;
    pointer_frame(ed.get(), x1 - 4, y0 + 4, 1);
    pointer_frame(ed.get(), x1 - 4, y0 + 4, 0);
    key[K_SHIFT] = 0;
    EXPECT_EQ(selection_weight(im, tc, tr), 1.f);

    // Delete removes the region from the layer, one Undo step.
    const int cc = (c0 + c1) / 2, rc = (r0 + r1) / 2, far_c = im->w - 2, far_r = im->h - 2;
    const float outside = im->layers[0].plane[far_r][far_c];
    ASSERT_GT(im->layers[0].plane[rc][cc], 0.f);
    press(ed.get(), SDLK_DELETE);
    frame();
    EXPECT_EQ(im->layers[0].plane[rc][cc], 0.f);
    EXPECT_EQ(im->layers[0].plane[far_r][far_c], outside);
    EXPECT_EQ(im->count, 1); // the layer stays

    // G asks for the gain: out of range changes nothing, -6 dB halves the selected pixels.
    press(ed.get(), SDLK_i); // invert: the far corner is selected now
    frame();
    EXPECT_EQ(selection_weight(im, far_c, far_r), 1.f);
    press(ed.get(), SDLK_g);
    frame();
    EXPECT_EQ(im->layers[0].plane[far_r][far_c], outside);
    press(ed.get(), SDLK_g);
    frame();
    EXPECT_NEAR(im->layers[0].plane[far_r][far_c], outside * 0.501187f, outside * 1e-5f);

    // A selects all; Escape closes an open menu first and drops the selection next.
    press(ed.get(), SDLK_a);
    frame();
    EXPECT_EQ(selection_weight(im, cc, rc), 1.f);
    const Menu& edit = menu[MENU_EDIT];
    pointer_frame(ed.get(), edit.x + 12 + edit.title_w / 2, -MENU_STRIP_H / 2, 1);
    pointer_frame(ed.get(), edit.x + 12 + edit.title_w / 2, -MENU_STRIP_H / 2, 0);
    ASSERT_EQ(menu_opened, MENU_EDIT);
    press(ed.get(), SDLK_ESCAPE);
    frame();
    EXPECT_EQ(menu_opened, -1);
    EXPECT_TRUE(selection_present(im));
    press(ed.get(), SDLK_ESCAPE);
    frame();
    EXPECT_FALSE(selection_present(im));
    EXPECT_EQ(mouse_function, TOOL_SELECT_BRUSH); // the tool stays
    const std::string history = read_file(env.home.appdata("history.kbz"));
    for (const char* line : {"Select box replace", "feather 6\n", "Select lasso subtract", "Select brush add",
                             "Delete selection", "Select invert", "Gain on selection -6 dB", "Select all", "Select none"})
        EXPECT_NE(history.find(line), std::string::npos) << line;
    quit_editor(ed); // while the dialog script is there
    selection_feather = SELECTION_FEATHER_DEFAULT;
}
