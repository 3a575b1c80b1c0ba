// The editor's picture exports; see export.h.
#include "editor/export.h"

#include "core/state.h"
#include "display/screen.h"
#include "display/view.h"
#include "editor/menus.h"
#include "files/media.h"
#include "platform/desktop.h"
#include "platform/util.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

// The whole document as a plot source, in the view's colours.
static PlotSource document_source(const Editor* ed)
{
    PlotSource s = analysis_source(nullptr, ed->image.w, ed->image.h, ed->es.anal_params, ed->path);
    s.picture_colours = ed->image.gradient_mode != 1;
    return s;
}

Raster export_view_picture(Editor* ed)
{
    ImageStack* im = &ed->image;
    const int x0 = im->view_x, y0 = im->view_y, w = im->view_w, h = im->view_h;
    if (!im->composite || w < 1 || h < 1 || x0 < 0 || y0 < 0 || x0 + w > SCRN_W || y0 + h > SCRN_H)
        return Raster{nullptr, 0, 0};
    im->recomposite = 0;
    image_redraw(&ed->es, 0); // the view and its overlays as they are now, in the frame buffer
    std::vector<uint32_t> px((size_t)w * h);
    {
        LockGuard lock(im->display_lock);
        const uint32_t* fb = im->screen ? im->screen : sfb0;
        for (int y = 0; y < h; y++)
            memcpy(px.data() + (size_t)y * w, fb + (size_t)(y0 + y) * SCRN_W + x0, (size_t)w * 4);
    }
    PlotSource s = document_source(ed);
    s.pixels = px.data();
    s.columns = crop_w;
    s.first_column = crop_x;
    s.bands = crop_h;
    s.first_band = crop_y;
    return draw_plot(s, w, h);
}

Raster export_document_picture(Editor* ed)
{
    ImageStack* im = &ed->image;
    PlotSource s = document_source(ed);
    char what[160], why[200];
    snprintf(what, sizeof what, "drawing a picture of %d x %d pixels", im->w, im->h);
    if (memory_refused((double)im->w * im->h * 24, what, why, sizeof why)) {
        wrfprintf(stderr, "Cannot export the document: %s\n", why);
        return Raster{nullptr, 0, 0};
    }
    LockGuard lock(im->layers_lock);
    if (!im->composite)
        return Raster{nullptr, 0, 0};
    std::vector<uint8_t*> pics;
    if (s.picture_colours && im->src_rgb) {
        for (int r = 0; r < im->h; r++)
            pics.push_back(im->src_rgb + (size_t)r * im->w * 4);
        s.pic_rows = pics.data();
    }
    s.rows = im->composite;
    return draw_plot(s, im->w, im->h);
}

void export_step(Editor* ed)
{
    const int what = export_request.exchange(0);
    if (!what)
        return;
    if (!ed->image.composite) {
        user_notice("Nothing to export: no document is open");
        return;
    }
    if (!plot_resources_load()) {
        user_notice("The picture could not be made: the fonts or colours under gfx/ could not be read");
        return;
    }
    char path[DOC_DIR_LEN] = "";
    int was = 0;
    ed->es.paused.compare_exchange_strong(was, 2); // no synthesis while the dialog is open
    if (save_picture_dialog(path, sizeof path)) {
        Raster r = what == EXPORT_VIEW ? export_view_picture(ed) : export_document_picture(ed);
        if (!r.px)
            user_notice("The picture could not be made");
        else if (save_picture(r.px, r.w, r.h, path) != 0)
            user_notice("The picture could not be written to %s", path);
        else
            wrfprintf(stdout, "Exported %s (%d x %d pixels)\n", path, r.w, r.h);
        free(r.px);
    }
    int held = 2;
    ed->es.paused.compare_exchange_strong(held, 0);
}
