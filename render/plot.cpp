// A readable picture of the analysis; see plot.h.
#include "render/plot.h"

#include "render/resample.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// [SECTION] Resources
// ---------------------------------------------------------------------------------------------

int plot_resources_load()
{
    if (palette_count == 0)
        palette_load();
    if (!view_colours.gradient)
        view_colours_load();
    if (futura12.glyph_count == 0 || futura16.glyph_count == 0)
        fonts_load();
    return palette_count > 0 && view_colours.gradient && futura12.glyph_count && futura16.glyph_count;
}

static const BitmapFont& label_font() { return futura12; }
static const BitmapFont& title_font() { return futura16; }

// ---------------------------------------------------------------------------------------------
// [SECTION] Scales
// ---------------------------------------------------------------------------------------------

// Row of the top of a label's glyph cells whose tick sits on row bottom - p.
static int label_top(int bottom, int p) { return bottom - 7 - p; }

void draw_frequency_scale(FrameRef fb, const BitmapFont& font, const std::vector<ScaleLabel>& labels, int x, int bottom)
{
    char s[64];
    for (const ScaleLabel& l : labels) {
        sprintf_left_scale(s, sizeof s, (float)l.value, l.format);
        draw_text(fb, font, s, x, label_top(bottom, l.pos), l.anchor, SCALE_TEXT_COLOUR);
    }
}

void draw_note_scale(FrameRef fb, const BitmapFont& font, const std::vector<ScaleLabel>& labels, int x, int bottom)
{
    char s[64];
    for (const ScaleLabel& l : labels) {
        sprintf_right_scale(s, sizeof s, (float)l.value);
        draw_text(fb, font, s, x, label_top(bottom, l.pos), l.anchor, SCALE_TEXT_COLOUR);
    }
}

void draw_time_scale(FrameRef fb, const BitmapFont& font, const std::vector<ScaleLabel>& labels, int left, int tick_y)
{
    char s[64];
    for (const ScaleLabel& l : labels) {
        draw_text(fb, font, "|", left + l.pos, tick_y, 0, SCALE_TEXT_COLOUR);
        sprintf_bottom_scale(s, sizeof s, l.format, l.value);
        draw_text(fb, font, s, left + l.pos, tick_y + font.glyph_h, l.anchor, SCALE_TEXT_COLOUR);
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Layout
// ---------------------------------------------------------------------------------------------

constexpr int PAD = 8;           // space around the picture's parts
constexpr int LEGEND_MIN_W = 160; // narrowest legend bar
constexpr int LEGEND_MAX_W = 320; // widest legend bar

void plot_default_size(int columns, int bands, int* w, int* h)
{
    *w = std::clamp(columns, 1, PLOT_MAX_W);
    *h = std::clamp(bands, 1, PLOT_MAX_H);
}

PlotLabels plot_labels(const PlotSource& s, int plot_w, int plot_h)
{
    PlotLabels l;
    const int g = label_font().glyph_h;
    const VisibleAxis a = rows_axis(s.fmin, s.fmax, s.base, s.total_bands, s.first_band, s.bands);
    l.freqs = frequency_labels(g, a, plot_h);
    l.notes = note_labels(g, a, plot_h);
    l.times = time_labels(s.columns, s.first_column, std::max(s.pps, 0.01f), plot_w);
    return l;
}

// The level legend's marks: decibels under the loudest value (level q = 10^(dB / 40), as the
// level is the square root of the amplitude), placed from 0 dB down until one would crowd the
// last.
struct LegendMark {
    int x;
    char text[16];
};

static std::vector<LegendMark> legend_marks(int x0, int w)
{
    std::vector<LegendMark> out;
    int last = 1 << 30;
    for (int db = 0; db >= -90; db -= 10) {
        LegendMark m;
        m.x = x0 + (int)lrintf(powf(10.f, (float)db / 40.f) * (float)(w - 1));
        snprintf(m.text, sizeof m.text, db == 0 ? "0 dB" : "%d", db);
        const int half = text_width(m.text, label_font()) / 2 + 4;
        if (last - m.x < 2 * half)
            break;
        out.push_back(m);
        last = m.x;
    }
    return out;
}

constexpr const char* LEGEND_CAPTION = "Level";

PlotLayout plot_layout(const PlotSource& s, int plot_w, int plot_h)
{
    const PlotLabels labels = plot_labels(s, plot_w, plot_h);
    const BitmapFont& f = label_font();
    const int g = f.glyph_h, tg = title_font().glyph_h;
    char text[64];
    int left = text_width(LEGEND_CAPTION, f) + 4, right = 0;
    for (const ScaleLabel& l : labels.freqs) {
        sprintf_left_scale(text, sizeof text, (float)l.value, l.format);
        left = std::max(left, text_width(text, f));
    }
    for (const ScaleLabel& l : labels.notes) {
        sprintf_right_scale(text, sizeof text, (float)l.value);
        right = std::max(right, text_width(text, f));
    }
    // The time scale's last label ends at the plot's right edge; its first starts at the left.
    PlotLayout p;
    p.plot_x = PAD + left;
    p.plot_y = PAD + tg + g + PAD + g / 2 + 1;
    p.plot_w = plot_w;
    p.plot_h = plot_h;
    p.legend_x = p.plot_x;
    p.legend_y = p.plot_y + plot_h + 2 * g + PAD;
    p.legend_w = std::clamp(plot_w, LEGEND_MIN_W, LEGEND_MAX_W);
    const int title_w = std::max(text_width(s.title.c_str(), title_font()), text_width(s.settings.c_str(), f));
    p.w = std::max({p.plot_x + plot_w + 1 + right + PAD, PAD + title_w + PAD, p.legend_x + p.legend_w + 3 * g + PAD});
    p.h = p.legend_y + LEGEND_H + 2 + g + PAD;
    return p;
}

std::string plot_settings(float fmin, float fmax, float bpo, float pps, float base, double seconds)
{
    char s[256];
    const char* axis = base == 1.f ? "linear" : base >= 2.f ? "logarithmic" : "curved";
    snprintf(s, sizeof s, "%g - %g Hz, %g bands per octave, %g pixels per second, %s axis (%g), %.2f s", fmin, fmax,
             bpo, pps, axis, base, seconds);
    return s;
}

PlotSource analysis_source(float** rows, int columns, int bands, const float params[7], const std::string& path)
{
    PlotSource s = {};
    s.rows = rows;
    s.columns = columns;
    s.bands = s.total_bands = bands;
    s.fmin = params[0];
    s.fmax = params[1];
    s.pps = std::max(params[2], 0.01f);
    s.base = params[6];
    s.title = path.substr(path.find_last_of('/') + 1);
    s.settings = plot_settings(params[0], params[1], params[4], params[2], params[6], (double)columns / s.pps);
    return s;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Drawing
// ---------------------------------------------------------------------------------------------

// The plot area's pixels: the ready ones copied, or the rows resampled smoothly.
static uint32_t* plot_pixels(const PlotSource& s, int plot_w, int plot_h)
{
    if (s.pixels) {
        uint32_t* px = static_cast<uint32_t*>(malloc((size_t)plot_w * plot_h * 4));
        if (px)
            memcpy(px, s.pixels, (size_t)plot_w * plot_h * 4);
        return px;
    }
    if (!s.rows || s.columns < 1 || s.bands < 1)
        return nullptr;
    uint8_t* px = s.picture_colours ? resize_image(s.rows, s.pic_rows, s.columns, s.bands, plot_w, plot_h)
                                    : resize_image_gradient(s.rows, s.columns, s.bands, plot_w, plot_h);
    return reinterpret_cast<uint32_t*>(px);
}

static void draw_legend(FrameRef fb, const PlotSource& s, const PlotLayout& p)
{
    const BitmapFont& f = label_font();
    for (int x = 0; x < p.legend_w; x++) {
        const uint32_t c = level_colour((float)x / (float)std::max(p.legend_w - 1, 1), s.picture_colours);
        for (int y = 0; y < LEGEND_H; y++)
            fb.px[(size_t)(p.legend_y + y) * fb.w + p.legend_x + x] = c;
    }
    draw_text(fb, f, LEGEND_CAPTION, p.legend_x - 4, p.legend_y + (LEGEND_H - f.glyph_h) / 2, TEXT_RIGHT,
              SCALE_TEXT_COLOUR);
    for (const LegendMark& m : legend_marks(p.legend_x, p.legend_w))
        draw_text(fb, f, m.text, m.x, p.legend_y + LEGEND_H + 2, 0, SCALE_TEXT_COLOUR);
}

Raster draw_plot(const PlotSource& s, int plot_w, int plot_h)
{
    Raster r = {nullptr, 0, 0};
    if (plot_w < 1 || plot_h < 1 || s.columns < 1 || s.bands < 1 || (!s.rows && !s.pixels))
        return r;
    const PlotLayout p = plot_layout(s, plot_w, plot_h);
    uint32_t* plot = plot_pixels(s, plot_w, plot_h);
    r.px = plot ? static_cast<uint32_t*>(malloc((size_t)p.w * p.h * 4)) : nullptr;
    if (!r.px) {
        free(plot);
        return r;
    }
    r.w = p.w;
    r.h = p.h;
    const FrameRef fb = {r.px, r.w, r.h};
    screen_background(fb);
    for (int y = 0; y < plot_h; y++)
        memcpy(r.px + (size_t)(p.plot_y + y) * r.w + p.plot_x, plot + (size_t)y * plot_w, (size_t)plot_w * 4);
    free(plot);

    // The one-pixel frame around the plot, in the editor's frame grey.
    const int grey = palette_colour(2)[0];
    blit_grey_rect(fb, grey, plot_w + 2, 1, p.plot_x - 1, p.plot_y - 1);
    blit_grey_rect(fb, grey, plot_w + 2, 1, p.plot_x - 1, p.plot_y + plot_h);
    blit_grey_rect(fb, grey, 1, plot_h + 2, p.plot_x - 1, p.plot_y - 1);
    blit_grey_rect(fb, grey, 1, plot_h + 2, p.plot_x + plot_w, p.plot_y - 1);

    const PlotLabels labels = plot_labels(s, plot_w, plot_h);
    const BitmapFont& f = label_font();
    const int bottom = p.plot_y + plot_h;
    draw_frequency_scale(fb, f, labels.freqs, p.plot_x + 1, bottom);
    draw_note_scale(fb, f, labels.notes, p.plot_x + plot_w - 1, bottom);
    draw_time_scale(fb, f, labels.times, p.plot_x, bottom - 1);

    draw_text(fb, title_font(), s.title.c_str(), PAD, PAD, TEXT_LEFT, TITLE_COLOUR);
    draw_text(fb, f, s.settings.c_str(), PAD, PAD + title_font().glyph_h, TEXT_LEFT, SCALE_TEXT_COLOUR);
    draw_legend(fb, s, p);
    return r;
}
