// The move tool: shifted rebuilds of the selected layer, the status text and the history line.
#include "document/move.h"

#include "core/state.h"
#include "core/units.h"
#include "document/command_log.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>


// ---------------------------------------------------------------------------------------------
// [SECTION] Axis constraint and status text
// ---------------------------------------------------------------------------------------------

// With Shift held only the axis of the longer drag on screen is kept.
static void constrain_axis(const ImageStack* im, int* dx, int* dy)
{
    if (!key[K_SHIFT])
        return;
    const float across = fabsf((float)*dx * (float)im->view_w / (float)std::max(crop_w - 1, 1));
    const float down = fabsf((float)*dy * (float)im->view_h / (float)std::max(crop_h - 1, 1));
    if (across > down)
        *dy = 0;
    else
        *dx = 0;
}

static void write_status(const EngineState* es, char* status, size_t size, int dx, int dy)
{
    const ImageStack* im = es->image;
    const float fmin = es->anal_params[0], fmax = es->anal_params[1], pps = es->anal_params[2];
    const float s = es->anal_params[6];
    const float seconds = (float)dx / pps;
    if (s > 1.f) {
        const float K = (float)(im->h - 1) / (logf(fmax) / logf(s) - logf(fmin) / logf(s));
        snprintf(status, size, "Moving by %.2f semitones, %.3f seconds", -(float)dy * 12.f / K, seconds);
    } else {
        snprintf(status, size, "Moving by %.2f Hz, %.3f seconds", -(float)dy * (fmax - fmin) / (float)(im->h - 1),
                 seconds);
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Shifting the layer
// ---------------------------------------------------------------------------------------------

// The selected layer becomes `undo` shifted by (dx, dy); what leaves the plane is lost, what is
// uncovered is 0. The caller holds `layers_lock`.
static int shift_from_undo(ImageStack* im, int dx, int dy)
{
    if (!im->layers || im->count < 1 || im->sel < 0 || im->sel >= im->count || !im->undo)
        return 0;
    Plane p = im->layers[im->sel].plane;
    if (!p)
        return 0;
    const int w = im->w, h = im->h;
    // Source columns whose target lies inside the plane, in 64 bits: offsets may be anything.
    const int64_t c0 = std::max<int64_t>(0, -(int64_t)dx), c1 = std::min<int64_t>(w, (int64_t)w - dx);
    for (int r = 0; r < h; r++)
        if (p[r])
            memset(p[r], 0, (size_t)w * sizeof(float));
    if (c0 >= c1)
        return 1;
    for (int r = 0; r < h; r++) {
        const int64_t t = (int64_t)r + dy;
        if (t < 0 || t >= h || !im->undo[r] || !p[t])
            continue;
        memcpy(p[t] + c0 + dx, im->undo[r] + c0, (size_t)(c1 - c0) * sizeof(float));
    }
    return 1;
}

int move_tool_layer(EngineState* es, char* status, size_t status_size, int dx, int dy)
{
    ImageStack* im = es ? es->image : nullptr;
    if (!im || !im->layers)
        return 0;
    LockGuard lock(im->layers_lock);
    if (im->count < 1 || im->sel < 0 || im->sel >= im->count || !im->layers[im->sel].plane)
        return 0;
    constrain_axis(im, &dx, &dy);
    if (status && status_size > 0 && !key[K_NO_STATUS_TEXT])
        write_status(es, status, status_size, dx, dy);
    return shift_from_undo(im, dx, dy);
}

int move_tool_layer_abs(EngineState* es, int dx, int dy)
{
    ImageStack* im = es ? es->image : nullptr;
    if (!im || !im->layers)
        return 0;
    LockGuard lock(im->layers_lock);
    return shift_from_undo(im, dx, dy);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] History
// ---------------------------------------------------------------------------------------------

void print_move_tool_cmd(EngineState* es, int dx, int dy)
{
    if (!es || !es->image)
        return;
    constrain_axis(es->image, &dx, &dy);
    const int tu = key[K_TIME_UNIT], du = key[K_DIM_UNIT];
    const float vx = convert_unit(nullptr, UNIT_PX, tu, es, 1, 1, (float)dx);
    const float vy = convert_unit(nullptr, UNIT_PX, du, es, 0, 1, (float)(-(int64_t)dy)); // upwards positive, no -0
    print_cmd(CMD_TIMED, "Move layer %+g %s x %+g %s", vx, unit_to_name(tu), vy, unit_to_name(du));
}
