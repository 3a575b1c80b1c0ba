// Bitmap text, sprites and screen primitives; see gfx.h.
#include "render/gfx.h"
#include "core/state.h"
#include "files/picture.h"
#include "platform/util.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// [SECTION] Frame buffers and clipping
// ---------------------------------------------------------------------------------------------

FrameRef screen_frame(uint32_t* fb)
{
    return FrameRef{fb, SCRN_W, SCRN_H};
}

namespace {

// The visible part of a w x h block placed with its top-left corner at (x, y) in a frame:
// source columns [x0, x1) and rows [y0, y1). Computed in 64 bits so that no position overflows.
struct Clip {
    int x0, x1, y0, y1;
    bool empty() const { return x0 >= x1 || y0 >= y1; }
};

Clip clip_block(FrameRef fb, long long x, long long y, int w, int h)
{
    Clip c;
    c.x0 = (int)std::clamp(-x, 0LL, (long long)std::max(w, 0));
    c.x1 = (int)std::clamp((long long)fb.w - x, 0LL, (long long)std::max(w, 0));
    c.y0 = (int)std::clamp(-y, 0LL, (long long)std::max(h, 0));
    c.y1 = (int)std::clamp((long long)fb.h - y, 0LL, (long long)std::max(h, 0));
    return c;
}

bool drawable(FrameRef fb)
{
    return fb.px && fb.w > 0 && fb.h > 0;
}

// Bytes of frame pixel (x, y).
uint8_t* frame_bytes(FrameRef fb, long long x, long long y)
{
    return reinterpret_cast<uint8_t*>(fb.px + (size_t)(y * fb.w + x));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// [SECTION] Palette
// ---------------------------------------------------------------------------------------------

uint8_t* palette = nullptr;
int palette_count = 0;

int palette_load()
{
    int w = 0, h = 0;
    uint8_t* px = load_image_ph("gfx/palette.png", &w, &h, 0);
    if (!px)
        return 0;
    free(palette);
    palette = px;
    palette_count = w * h;
    return 1;
}

const uint8_t* palette_colour(int k)
{
    static const uint8_t black[4] = {0, 0, 0, 0};
    if (!palette || k < 0 || k >= palette_count)
        return black;
    return palette + 4 * (size_t)k;
}

uint8_t background_grey()
{
    return palette_colour(1)[0];
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Bitmap fonts
// ---------------------------------------------------------------------------------------------

BitmapFont futura12 = {}, futura16 = {}, futura24 = {};

// Ink (255 - value) of one column of a glyph band of a strip.
static long column_ink(const uint8_t* strip, int w, int row0, int rows, int col)
{
    long sum = 0;
    for (int r = 0; r < rows; r++)
        sum += 255 - strip[(size_t)(row0 + r) * w + col];
    return sum;
}

BitmapFont font_from_strips(uint8_t* glyphs, uint8_t* limits, int w, int h, int spacing)
{
    BitmapFont f = {};
    f.glyphs = glyphs;
    f.limits = limits;
    f.spacing = spacing;
    if (!glyphs || !limits || w <= 0 || h < GLYPH_COUNT)
        return f; // empty: draws nothing, but owns what it was given
    f.w = w;
    f.glyph_h = h / GLYPH_COUNT;
    f.glyph_count = GLYPH_COUNT;
    f.left = static_cast<uint16_t*>(wrcalloc(GLYPH_COUNT, sizeof(uint16_t)));
    f.adv = static_cast<int16_t*>(wrcalloc(GLYPH_COUNT, sizeof(int16_t)));

    // A glyph's extent starts at the first column from the left at which the running ink total
    // of its limits band reaches 8, and ends where the same total, counted from the right,
    // reaches 8. A glyph without marks (or of one column) advances 16 pixels.
    const long threshold = 8;
    for (int g = 0; g < GLYPH_COUNT; g++) {
        const int row0 = g * f.glyph_h;
        int left = -1, right = -1;
        long total = 0;
        for (int c = 0; c < w && left < 0; c++) {
            total += column_ink(limits, w, row0, f.glyph_h, c);
            if (total >= threshold)
                left = c;
        }
        total = 0;
        for (int c = w - 1; c >= 0 && right < 0; c--) {
            total += column_ink(limits, w, row0, f.glyph_h, c);
            if (total >= threshold)
                right = c;
        }
        f.left[g] = (uint16_t)std::max(left, 0);
        const int adv = right - std::max(left, 0);
        f.adv[g] = (int16_t)(left < 0 || right < 0 || adv == 0 ? 16 : adv);
    }
    return f;
}

BitmapFont font_load(const char* glyph_path, const char* limits_path, int spacing)
{
    int gw = 0, gh = 0, lw = 0, lh = 0;
    uint8_t* glyphs = load_image_ph(glyph_path, &gw, &gh, 1);
    uint8_t* limits = load_image_ph(limits_path, &lw, &lh, 1);
    if (glyphs && limits && (gw != lw || gh != lh)) {
        wrfprintf(stderr, "Font strips %s and %s differ in size\n", glyph_path, limits_path);
        gw = 0;
    }
    return font_from_strips(glyphs, limits, gw, gh, spacing);
}

void font_free(BitmapFont* f)
{
    free(f->glyphs);
    free(f->limits);
    free(f->left);
    free(f->adv);
    *f = BitmapFont{};
}

int fonts_load()
{
    futura12 = font_load("gfx/font/font12.png", "gfx/font/font12_limits.png", -5);
    futura16 = font_load("gfx/font/font16.png", "gfx/font/font16_limits.png", -7);
    futura24 = font_load("gfx/font/font24.png", "gfx/font/font24_limits.png", -11);
    return futura12.glyph_count && futura16.glyph_count && futura24.glyph_count;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Text
// ---------------------------------------------------------------------------------------------

// Glyph of a character: code 32 + g is glyph g; control codes show glyph 0 (the space).
static int glyph_of(char ch)
{
    const int c = (unsigned char)ch;
    return c < 32 ? 0 : c - 32;
}

static bool font_ready(const BitmapFont* f)
{
    return f && f->glyph_count == GLYPH_COUNT && f->glyphs && f->left && f->adv;
}

// Width of the first `len` characters of `s`.
static long text_width_n(const char* s, size_t len, const BitmapFont& f)
{
    if (!font_ready(&f))
        return 0;
    long width = f.spacing / 2 - f.left[0];
    for (size_t i = 0; i < len; i++)
        width += f.adv[glyph_of(s[i])] + f.spacing;
    return width + 3 - f.spacing;
}

int text_width(const char* s, BitmapFont f)
{
    return (int)text_width_n(s, s ? strnlen(s, TEXT_LEN) : 0, f);
}

// Walks the glyphs of `s` anchored at (x, y) by the anchor bits of `mode` and calls
// pixel(destination bytes, glyph value) for every visible glyph pixel with ink (value < 255).
template <class PixelFn>
static void walk_text(FrameRef fb, const BitmapFont& f, const char* s, size_t len, long long x, long long y,
                      int mode, PixelFn&& pixel)
{
    if (!drawable(fb) || !font_ready(&f) || len == 0)
        return;
    const long width = text_width_n(s, len, f);
    if (!(mode & (TEXT_LEFT | TEXT_RIGHT)))
        x -= width / 2;
    if (mode & TEXT_RIGHT)
        x -= width;

    long long pen = x + f.spacing / 2 - f.left[0];
    for (size_t i = 0; i < len; i++) {
        const int g = glyph_of(s[i]);
        const Clip c = clip_block(fb, pen, y, f.w, f.glyph_h);
        if (!c.empty()) {
            for (int r = c.y0; r < c.y1; r++) {
                const uint8_t* src = f.glyphs + ((size_t)g * f.glyph_h + r) * f.w;
                uint8_t* dst = frame_bytes(fb, pen, y + r);
                for (int col = c.x0; col < c.x1; col++)
                    if (src[col] < 255)
                        pixel(dst + 4 * col, src[col]);
            }
        }
        pen += f.adv[g] + f.spacing;
    }
}

void erase_text(TextLabel* label, FrameRef fb)
{
    if (!label || !label->font)
        return;
    const uint8_t bg = background_grey();
    walk_text(fb, *label->font, label->old_str, strnlen(label->old_str, TEXT_LEN), label->old_x, label->old_y,
              label->mode, [bg](uint8_t* d, int) { d[0] = d[1] = d[2] = bg; });
}

void erase_text(TextLabel* label, uint32_t* fb)
{
    erase_text(label, screen_frame(fb));
}

int blit_text(TextLabel* label, FrameRef fb, int colour, int erase, int mode)
{
    if (!label)
        return 0;
    const size_t len = strnlen(label->str, TEXT_LEN);
    if (!label->font || !drawable(fb) || (mode != 0 && mode != 1))
        return (int)len;

    if (erase && (label->mode & TEXT_ERASE))
        erase_text(label, fb);

    const uint8_t* col = palette_colour(colour);
    const int c0 = col[0], c1 = col[1], c2 = col[2];
    if (mode == 0) {
        // Full strength: the ink value p mixes the destination (weight p) with the colour.
        walk_text(fb, *label->font, label->str, len, label->x, label->y, label->mode, [=](uint8_t* d, int p) {
            const int ink = 255 - p;
            d[0] = (uint8_t)(((d[0] * p) >> 8) + ((ink * c0) >> 8));
            d[1] = (uint8_t)(((d[1] * p) >> 8) + ((ink * c1) >> 8));
            d[2] = (uint8_t)(((d[2] * p) >> 8) + ((ink * c2) >> 8));
        });
    } else {
        // Half strength: q = p XOR 254 turns the ink value into a weight, halved.
        walk_text(fb, *label->font, label->str, len, label->x, label->y, label->mode, [=](uint8_t* d, int p) {
            const int q = p ^ 254;
            if (q <= 1)
                return;
            const int a = q >> 1;
            d[0] = (uint8_t)(((d[0] * (255 - a)) >> 8) + ((a * c0) >> 8));
            d[1] = (uint8_t)(((d[1] * (255 - a)) >> 8) + ((a * c1) >> 8));
            d[2] = (uint8_t)(((d[2] * (255 - a)) >> 8) + ((a * c2) >> 8));
        });
    }

    // Remember what was drawn, for the next erase and for the caller's change test.
    const size_t kept = std::min(len, (size_t)TEXT_LEN - 1);
    memcpy(label->old_str, label->str, kept);
    label->old_str[kept] = 0;
    label->old_x = label->x;
    label->old_y = label->y;
    return (int)len;
}

int blit_text(TextLabel* label, uint32_t* fb, int colour, int erase, int mode)
{
    return blit_text(label, screen_frame(fb), colour, erase, mode);
}

void draw_text(FrameRef fb, const BitmapFont& f, const char* s, int x, int y, int mode, int colour)
{
    static thread_local TextLabel label; // two text buffers: too large for the stack of a helper thread
    label.font = &f;
    label.x = x;
    label.y = y;
    label.mode = mode;
    snprintf(label.str, sizeof label.str, "%s", s ? s : "");
    blit_text(&label, fb, colour, 0, 0);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Sprites
// ---------------------------------------------------------------------------------------------

Sprite sprite_load(const char* path, int frame_h)
{
    Sprite s = {};
    int w = 0, h = 0;
    uint8_t* px = load_image_ph(path, &w, &h, 0);
    if (!px || w <= 0 || h <= 0) {
        free(px);
        return s;
    }
    if (frame_h <= 0 || frame_h > h)
        frame_h = h;
    // The colour form is red, green, blue, 0 per pixel: the frame buffer's own byte order.
    s.px = reinterpret_cast<uint32_t*>(px);
    s.w = w;
    s.h = frame_h;
    s.frames = h / frame_h;
    s.cx = w / 2;
    s.cy = frame_h / 2;
    return s;
}

void sprite_free(Sprite* s)
{
    free(s->px);
    *s = Sprite{};
}

const uint32_t* sprite_frame(const Sprite& s, int f)
{
    if (f < 0 || f >= s.frames)
        f = 0;
    return s.px ? s.px + (size_t)f * s.w * s.h : nullptr;
}

void blit_sprite_ph(FrameRef fb, const uint32_t* px, int w, int h, int x, int y, int flags, int mode)
{
    if (!drawable(fb) || !px || w <= 0 || h <= 0 || (mode != 0 && mode != 1))
        return;
    const bool multiply = flags & SPRITE_MULTIPLY;
    if ((flags & SPRITE_SKIP) && !multiply)
        return;
    long long x0 = x, y0 = y;
    if (!(flags & SPRITE_TOP_LEFT)) {
        x0 -= w >> 1;
        y0 -= h >> 1;
    }
    const Clip c = clip_block(fb, x0, y0, w, h);
    if (c.empty())
        return;

    for (int sy = c.y0; sy < c.y1; sy++) {
        const uint32_t* srow = px + (size_t)sy * w;
        if (!multiply && mode == 0) {
            memcpy(fb.px + (size_t)((y0 + sy) * fb.w + x0 + c.x0), srow + c.x0, (size_t)(c.x1 - c.x0) * 4);
            continue;
        }
        const uint8_t* s = reinterpret_cast<const uint8_t*>(srow);
        uint8_t* d = frame_bytes(fb, x0, y0 + sy);
        for (int sx = c.x0; sx < c.x1; sx++) {
            const uint8_t* sp = s + 4 * sx;
            uint8_t* dp = d + 4 * sx;
            for (int ch = 0; ch < 3; ch++) {
                if (!multiply) {
                    dp[ch] = (uint8_t)((sp[ch] + dp[ch]) >> 1);
                } else {
                    const int t = mode == 0 ? sp[ch] : (sp[ch] + 255) >> 1;
                    if (t != 255)
                        dp[ch] = (uint8_t)((dp[ch] * t) >> 8);
                }
            }
        }
    }
}

void blit_sprite_ph(uint32_t* fb, const uint32_t* px, int w, int h, int x, int y, int flags, int mode)
{
    blit_sprite_ph(screen_frame(fb), px, w, h, x, y, flags, mode);
}

int make_button_sprite(Sprite* out, uint8_t* icon, int icon_side, Sprite base)
{
    *out = Sprite{};
    if (!base.px || base.frames < 4 || base.w <= 0 || base.h <= 0) {
        free(icon);
        return 0;
    }
    const size_t frame = (size_t)base.w * base.h;
    out->px = static_cast<uint32_t*>(wrmalloc(2 * frame * 4));
    memcpy(out->px, base.px, 2 * frame * 4);

    // Stamp the icon: where it is dark, each frame blends towards its ink frame two further on.
    const int rows = std::min(std::max(icon_side, 0), base.h), cols = std::min(std::max(icon_side, 0), base.w);
    for (int f = 0; icon && f < 2; f++) {
        const uint8_t* face = reinterpret_cast<const uint8_t*>(base.px + f * frame);
        const uint8_t* ink = reinterpret_cast<const uint8_t*>(base.px + (f + 2) * frame);
        uint8_t* dst = reinterpret_cast<uint8_t*>(out->px + f * frame);
        for (int r = 0; r < rows; r++)
            for (int c = 0; c < cols; c++) {
                const int a = icon[(size_t)r * icon_side + c];
                if (a >= 255)
                    continue;
                const size_t i = ((size_t)r * base.w + c) * 4;
                for (int ch = 0; ch < 3; ch++)
                    dst[i + ch] = (uint8_t)(((face[i + ch] * a) >> 8) + ((ink[i + ch] * (255 - a)) >> 8));
            }
    }
    free(icon);

    out->w = base.w;
    out->h = base.h;
    out->frames = 2;
    out->cx = base.cx;
    out->cy = base.cy;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Fills
// ---------------------------------------------------------------------------------------------

void blit_grey_rect(FrameRef fb, int grey, int w, int h, int x, int y)
{
    if (!drawable(fb) || w <= 0 || h <= 0)
        return;
    const Clip c = clip_block(fb, x, y, w, h);
    if (c.empty())
        return;
    for (int r = c.y0; r < c.y1; r++)
        memset(frame_bytes(fb, (long long)x + c.x0, (long long)y + r), grey & 255, (size_t)(c.x1 - c.x0) * 4);
}

void blit_grey_rect(uint32_t* fb, int grey, int w, int h, int x, int y)
{
    blit_grey_rect(screen_frame(fb), grey, w, h, x, y);
}

void screen_background(FrameRef fb)
{
    if (!drawable(fb))
        return;
    memset(fb.px, background_grey(), (size_t)fb.w * fb.h * 4);
}

void screen_background(uint32_t* fb)
{
    screen_background(screen_frame(fb));
}
