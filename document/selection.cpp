// The spectral selection: a mask of weights over the document.
#include "document/selection.h"

#include "document/image.h"

#include <algorithm>
#include <cmath>

// ---------------------------------------------------------------------------------------------
// [SECTION] Reading the selection
// ---------------------------------------------------------------------------------------------

bool selection_present(const ImageStack* image) { return image && image->selection && image->w > 0 && image->h > 0; }

float selection_weight(const ImageStack* image, int x, int y)
{
    if (!image || x < 0 || y < 0 || x >= image->w || y >= image->h)
        return 0.f;
    return image->selection ? image->selection[y][x] : 1.f;
}

bool selection_bounds(const ImageStack* image, int* x0, int* y0, int* x1, int* y1)
{
    *x0 = *y0 = 0;
    *x1 = image ? image->w : 0;
    *y1 = image ? image->h : 0;
    if (!selection_present(image))
        return false;
    int lx = image->w, ly = image->h, hx = -1, hy = -1;
    for (int y = 0; y < image->h; y++) {
        const float* row = image->selection[y];
        for (int x = 0; x < image->w; x++)
            if (row[x] > 0.f) {
                lx = std::min(lx, x);
                hx = std::max(hx, x);
                ly = std::min(ly, y);
                hy = y;
            }
    }
    if (hx < 0)
        return false;
    *x0 = lx;
    *y0 = ly;
    *x1 = hx + 1;
    *y1 = hy + 1;
    return true;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Changing the selection
// ---------------------------------------------------------------------------------------------

// Weight of a pixel `d` pixels outside a shape whose edge falls over `feather` pixels: a raised
// cosine from 1 at the edge to 0 at the feather's end, so that gains fade without a corner.
static float feather_weight(float d, float feather)
{
    if (d <= 0.f)
        return 1.f;
    if (feather <= 0.f || d >= feather)
        return 0.f;
    return 0.5f + 0.5f * cosf((float)M_PI * d / feather);
}

bool selection_box(ImageStack* image, int x0, int y0, int x1, int y1, float feather, SelectionMode mode)
{
    if (!image || image->w < 1 || image->h < 1)
        return false;
    if (x0 > x1)
        std::swap(x0, x1);
    if (y0 > y1)
        std::swap(y0, y1);
    const bool fresh = !image->selection;
    if (fresh) {
        image->selection = plane_alloc(image->h, image->w);
        if (!image->selection)
            return false;
    }
    feather = std::max(0.f, feather);
    for (int y = 0; y < image->h; y++) {
        float* row = image->selection[y];
        const float dy = (float)std::max({y0 - y, y - y1, 0});
        for (int x = 0; x < image->w; x++) {
            const float dx = (float)std::max({x0 - x, x - x1, 0});
            const float w = feather_weight(std::hypot(dx, dy), feather);
            const float old = fresh ? 0.f : row[x];
            row[x] = mode == SELECT_ADD ? std::max(old, w) : mode == SELECT_SUBTRACT ? std::min(old, 1.f - w) : w;
        }
    }
    return true;
}

void selection_clear(ImageStack* image)
{
    if (image)
        plane_free(&image->selection, image->h);
}
