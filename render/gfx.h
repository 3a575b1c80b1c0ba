// Bitmap text, sprites and screen primitives: everything drawn by hand into the window's 32-bit
// frame buffers besides the spectrogram itself. Text comes from font strips under gfx/font,
// sprites are 32-bit pictures (frames stacked vertically), and the palette gives the colours.
//
// A frame buffer pixel is 4 bytes: bytes 0, 1, 2 are red, green and blue (the colour form of
// the pictures under gfx/), byte 3 is only written by the plain fills and the plain sprite copy.
// Coordinates are window pixels, x to the right, y downwards. Every primitive clips: nothing is
// ever written outside its frame buffer, whatever the position or size it is given.
//
// No SDL here: these functions work on plain buffers, so they run headless.
#pragma once

#include <cstdint>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// [SECTION] Frame buffers
// ---------------------------------------------------------------------------------------------

// A frame buffer of w x h pixels, row-major. The functions taking a bare `uint32_t*` treat it as
// SCRN_W x SCRN_H (the drawing area, `sfb0`/`sfb1`); the FrameRef overloads draw into any other
// buffer, such as the menu strip above the drawing area.
struct FrameRef {
    uint32_t* px; // pixels, null draws nothing
    int w, h;     // size in pixels
};

// `fb` as a SCRN_W x SCRN_H frame.
FrameRef screen_frame(uint32_t* fb);

// ---------------------------------------------------------------------------------------------
// [SECTION] Palette
// ---------------------------------------------------------------------------------------------

extern uint8_t* palette;  // "gfx/palette.png" in colour form: colour i is bytes 4i .. 4i + 2
extern int palette_count; // number of entries in `palette`, 0 until it is loaded

// Loads "gfx/palette.png" (a missing file ends the process with the "File not found" alert).
// Returns 1, or 0 when the picture could not be decoded.
int palette_load();

// The three colour bytes of palette entry k; an index outside the palette (or no palette)
// gives black, so a wrong index can never read past the picture.
const uint8_t* palette_colour(int k);

// The background grey level: entry 1's first byte (byte 4 of `palette`); 0 without a palette.
uint8_t background_grey();

// A pixel from its three colour bytes (fourth byte 0), in memory order.
inline uint32_t pack_rgb(int c0, int c1, int c2)
{
    const uint8_t b[4] = {(uint8_t)c0, (uint8_t)c1, (uint8_t)c2, 0};
    uint32_t p;
    memcpy(&p, b, 4);
    return p;
}

// Byte `i` (0..3) of a pixel, in memory order.
inline int channel(uint32_t p, int i)
{
    uint8_t b[4];
    memcpy(b, &p, 4);
    return b[i];
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Bitmap fonts
// ---------------------------------------------------------------------------------------------

constexpr int GLYPH_COUNT = 224; // glyph g shows character code 32 + g

// One loaded font: a strip of glyph cells stacked vertically, and the horizontal extent of each
// glyph read from its limits strip.
struct BitmapFont {
    int w;            // width of the font strip in pixels (the width of a glyph cell)
    int glyph_h;      // height of one glyph cell: the strip height div 224
    int glyph_count;  // 224, or 0 for a font that could not be loaded
    int spacing;      // pixels added after every glyph (negative tightens)
    uint8_t* glyphs;  // the glyph strip, w x 224 * glyph_h grey bytes: dark ink on white, 255 is empty
    uint8_t* limits;  // the limits strip, same size, marking each glyph's horizontal extent
    uint16_t* left;   // 224 entries: first column of each glyph's extent
    int16_t* adv;     // 224 entries: advance of each glyph before spacing
};

extern BitmapFont futura12, futura16, futura24; // the three fonts of the window, never freed

// Loads a font from its glyph strip and limits strip (grey pictures of the same size, relative
// paths under the resource folder). A strip that cannot be decoded, strips of different sizes
// or a strip lower than 224 rows give an empty font (glyph_count 0), which draws nothing.
BitmapFont font_load(const char* glyph_path, const char* limits_path, int spacing);

// Builds a font from strips already in memory (w x h grey bytes each, allocated with malloc);
// the font takes both buffers, also when it comes back empty.
BitmapFont font_from_strips(uint8_t* glyphs, uint8_t* limits, int w, int h, int spacing);

// Frees a font's buffers and clears it.
void font_free(BitmapFont* f);

// Loads `futura12`, `futura16` and `futura24` from gfx/font with spacings -5, -7 and -11.
// Returns 1, or 0 when one of them could not be loaded.
int fonts_load();

// ---------------------------------------------------------------------------------------------
// [SECTION] Text
// ---------------------------------------------------------------------------------------------

constexpr int TEXT_LEN = 2048; // size of a TextLabel's text buffers

// Bits of TextLabel::mode. Neither TEXT_LEFT nor TEXT_RIGHT: x is the centre of the text.
enum TextModeBits : int {
    TEXT_LEFT = 2,   // x is the left end
    TEXT_ERASE = 4,  // erase the old text before drawing, when the caller asks for it
    TEXT_RIGHT = 16, // x is the right end
};

// One positioned line of text. y is the top of the glyph cells.
struct TextLabel {
    const BitmapFont* font;  // the font, null draws nothing
    int x, y;                // anchor point
    char str[TEXT_LEN];      // the text to draw (8-bit characters, Windows-1252)
    char old_str[TEXT_LEN];  // the text last drawn
    int mode;                // anchor and erase bits (TextModeBits)
    int old_x, old_y;        // anchor where `old_str` was drawn
};

// Width in pixels of `s` in font `f` (characters below 32 count as a space).
int text_width(const char* s, BitmapFont f);

// Draws `label->str` in palette colour `colour`. With `erase` set and the label's TEXT_ERASE bit,
// first erases the text last drawn. Draw mode 0 blends the ink fully, 1 at half strength, any
// other mode draws nothing. Afterwards the label remembers what it drew (`old_str`, `old_x`,
// `old_y`), so that the next erase and the caller's "text changed?" test see it. Returns the
// length of the text.
int blit_text(TextLabel* label, uint32_t* fb, int colour, int erase, int mode);
int blit_text(TextLabel* label, FrameRef fb, int colour, int erase, int mode);

// Draws `s` once in font `f` and palette colour `colour` at full strength, anchored at (x, y) by
// the anchor bits of `mode` (a one-off label, with nothing to erase later).
void draw_text(FrameRef fb, const BitmapFont& f, const char* s, int x, int y, int mode, int colour);

// Paints the background grey under every inked pixel of the text last drawn (`old_str` at
// `old_x`, `old_y`, anchored by the label's mode).
void erase_text(TextLabel* label, uint32_t* fb);
void erase_text(TextLabel* label, FrameRef fb);

// ---------------------------------------------------------------------------------------------
// [SECTION] Sprites
// ---------------------------------------------------------------------------------------------

// Bits of the sprite flags.
enum SpriteFlags : int {
    SPRITE_SKIP = 1,     // without SPRITE_MULTIPLY: draw nothing
    SPRITE_TOP_LEFT = 2, // (x, y) is the top-left corner instead of the centre
    SPRITE_MULTIPLY = 8, // multiply the destination by the sprite instead of copying it
};

// A sprite sheet: `frames` frames of w x h 32-bit pixels, one after another in memory (the
// frames of a picture stacked vertically).
struct Sprite {
    uint32_t* px; // frames * w * h pixels (malloc), null when empty
    int w, h;     // size of one frame
    int frames;   // number of frames
    int cx, cy;   // centre of a frame, relative to its top-left corner
};

// Loads a colour picture (relative path under the resource folder) as a sprite with frames of
// height `frame_h` (the whole picture when frame_h <= 0); the centre is the frame's middle.
// A picture that cannot be decoded gives an empty sprite.
Sprite sprite_load(const char* path, int frame_h);

// Frees a sprite's pixels and clears it.
void sprite_free(Sprite* s);

// Pixels of frame f of a sprite (frame 0 for an index out of range).
const uint32_t* sprite_frame(const Sprite& s, int f);

// Draws w x h sprite pixels at (x, y) (the centre, or the top-left corner with SPRITE_TOP_LEFT).
// Plain (no SPRITE_SKIP, no SPRITE_MULTIPLY): mode 0 copies whole pixels, mode 1 averages the
// colour bytes. SPRITE_MULTIPLY: mode 0 multiplies the colour bytes by the sprite's (255 leaves
// them as they are), mode 1 by the sprite's at half strength. Anything else draws nothing.
void blit_sprite_ph(uint32_t* fb, const uint32_t* px, int w, int h, int x, int y, int flags, int mode);
void blit_sprite_ph(FrameRef fb, const uint32_t* px, int w, int h, int x, int y, int flags, int mode);

// Makes a two-frame button sprite from a base button (at least four frames: 0 normal, 1 lit,
// 2 and 3 the ink of an icon on frames 0 and 1) and a square grey icon of side `icon_side`
// (255 = no ink) placed at the top left of each frame: where the icon is dark, frame f blends
// towards base frame f + 2. `out` gets new pixels and the base's geometry; the icon is freed.
// Returns 1, or 0 (out empty) when the base has fewer than four frames or no pixels.
int make_button_sprite(Sprite* out, uint8_t* icon, int icon_side, Sprite base);

// ---------------------------------------------------------------------------------------------
// [SECTION] Fills
// ---------------------------------------------------------------------------------------------

// Sets every byte of the visible part of the rectangle (x, y top left, w x h) to `grey` & 255.
void blit_grey_rect(uint32_t* fb, int grey, int w, int h, int x, int y);
void blit_grey_rect(FrameRef fb, int grey, int w, int h, int x, int y);

// Fills the whole frame buffer (every byte) with the background grey.
void screen_background(uint32_t* fb);
void screen_background(FrameRef fb);
