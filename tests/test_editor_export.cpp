// File > Export View as Picture... and Export Whole Document as Picture..., in the real editor
// run headless on the demo.
#include "display/scales.h"
#include "display/screen.h"
#include "display/view.h"
#include "editor/menus.h"
#include "files/picture.h"
#include "render/plot.h"
#include "test_editor.h"

namespace {

// The source the editor draws the document's pictures from, for the layout they must have.
PlotSource document_source(const Editor* ed)
{
    return analysis_source(nullptr, ed->image.w, ed->image.h, ed->es.anal_params, demo_path);
}

// The values of a scale's labels, in order.
std::vector<double> values(const std::vector<ScaleLabel>& labels)
{
    std::vector<double> v;
    for (const ScaleLabel& l : labels)
        v.push_back(l.value);
    return v;
}

// The editor on the demo with its dialogs answered from `dir`/dialogs and logged in `dir`/asked;
// quit at the end of the test, whatever happened.
struct EditorExport : EditorTest {
    TempDir dir;
    ScopedEnv dialogs{"BRINDLEWHARF_DIALOG_SCRIPT", dir.file("dialogs").c_str()};
    ScopedEnv log{"BRINDLEWHARF_DIALOG_LOG", dir.file("asked").c_str()};
};

} // namespace

// The view export is the view as shown (zoomed, with the beat bars) inside the view's own
// scales; the whole-document export has one pixel per column and band; a cancel writes nothing.
TEST_F(EditorExport, ViewAsShownAndWholeDocumentWithTheirScales)
{
    write_file(dir.file("dialogs"), "save " + dir.file("view.png") + "\nsave bmp " + dir.file("whole") + "\ncancel\n");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(choose(ed.get(), "4/4 Rhythm Overlay", [&] { return key[state_of(K_RHYTHM_OVERLAY)] == 1; }));
    change_zoom(im, 2.f, 1.5f, (float)im->w * 0.6f, (float)im->h * 0.4f);

    ASSERT_TRUE(choose(ed.get(), "Export View as Picture...", [&] { return file_exists(dir.file("view.png")); }));
    int w = 0, h = 0;
    uint8_t* px = load_picture(dir.file("view.png").c_str(), &w, &h, 0);
    ASSERT_NE(px, nullptr);
    PlotSource src = document_source(ed.get());
    std::tie(src.columns, src.first_column, src.bands, src.first_band) = std::tuple(crop_w, crop_x, crop_h, crop_y);
    const PlotLayout p = plot_layout(src, im->view_w, im->view_h);
    EXPECT_EQ(std::pair(w, h), std::pair(p.w, p.h));
    // The plot area is the frame buffer's view, overlays and all: not the bare picture.
    const uint32_t* fb = im->screen ? im->screen : sfb0;
    long differ_fb = 0, differ_bare = 0;
    for (int y = 0; y < im->view_h && w == p.w && h == p.h; y++)
        for (int x = 0; x < im->view_w; x++) {
            const uint8_t* got = px + ((size_t)(p.plot_y + y) * w + p.plot_x + x) * 4;
            const uint32_t shown = fb[(size_t)(im->view_y + y) * SCRN_W + im->view_x + x];
            const uint8_t* bare = im->display + ((size_t)y * im->view_w + x) * 4;
            for (int c = 0; c < 3; c++) {
                differ_fb += got[c] != channel(shown, c);
                differ_bare += got[c] != bare[c];
            }
        }
    EXPECT_EQ(differ_fb, 0);
    EXPECT_GT(differ_bare, 100) << "the beat bars are missing";
    free(px);

    // Its scales are the view's own: the same labels by the same rules.
    const PlotLabels labels = plot_labels(src, im->view_w, im->view_h);
    const float* a = ed->es.anal_params;
    EXPECT_EQ(values(labels.freqs), values(left_scale_labels(futura12.glyph_h, a[0], a[1], a[6], im->h)));
    EXPECT_EQ(values(labels.notes), values(right_scale_labels(futura12.glyph_h, a[0], a[1], a[6], im->h)));
    EXPECT_EQ(values(labels.times), values(bottom_scale_labels(crop_w, crop_x, a[2])));
    EXPECT_GT(labels.notes.size(), 3u);

    ASSERT_TRUE(choose(ed.get(), "Export Whole Document as Picture...",
                       [&] { return file_exists(dir.file("whole.bmp")); }));
    free(load_picture(dir.file("whole.bmp").c_str(), &w, &h, 0));
    const PlotLayout whole = plot_layout(document_source(ed.get()), im->w, im->h);
    EXPECT_EQ(std::pair(w, h), std::pair(whole.w, whole.h));

    ASSERT_TRUE(choose(ed.get(), "Export View as Picture...", [&] { return export_request == 0; }));
    EXPECT_EQ(read_file(dir.file("asked")), "save dialog (picture)\nsave dialog (picture)\nsave dialog (picture)\n");
}
