// Bitmap text, sprites, fills and the window: glyph placement and blending, clipping at every
// edge (nothing written outside the buffer), sprite modes, button sprites, window creation and
// resizing under the dummy video driver, and the conversion into the window's pixel order.
#include "display/screen.h"
#include "display/window.h"
#include "files/picture.h"
#include "render/gfx.h"
#include "test_doc.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

constexpr uint32_t CANARY = 0xA5C3E17Fu;
constexpr int GUARD = 64;

// A frame buffer with guard bands before and after it, filled with one pixel value.
struct GuardedFrame {
    int w, h;
    std::vector<uint32_t> all;
    GuardedFrame(int w_, int h_, uint32_t fill) : w(w_), h(h_), all((size_t)w_ * h_ + 2 * GUARD, CANARY)
    {
        std::fill(all.begin() + GUARD, all.end() - GUARD, fill);
    }
    uint32_t* px() { return all.data() + GUARD; }
    FrameRef frame() { return FrameRef{px(), w, h}; }
    uint8_t* at(int x, int y) { return reinterpret_cast<uint8_t*>(px() + (size_t)y * w + x); }
    // Whether both guard bands still hold only the canary.
    bool guards_intact() const
    {
        return std::count(all.begin(), all.begin() + GUARD, CANARY) + std::count(all.end() - GUARD, all.end(), CANARY) == 2 * GUARD;
    }
    // How many pixels of the frame differ from `fill`.
    int changed(uint32_t fill) const { return w * h - (int)std::count(all.begin() + GUARD, all.end() - GUARD, fill); }
};

// One pixel value from four bytes in frame-buffer order.
uint32_t pixel(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3)
{
    uint32_t v;
    const uint8_t b[4] = {b0, b1, b2, b3};
    memcpy(&v, b, 4);
    return v;
}


// A small font made in memory: 8 x 4 cells, spacing -2. Glyph 1 ('!') spans columns 1 to 5 of
// its limits band and has ink 0 at (2, 1), 128 at (3, 1) and 254 at (4, 2); glyph 2 ('"') has
// one faint limits mark; the space has none.
BitmapFont test_font()
{
    const int w = 8, gh = 4, h = GLYPH_COUNT * gh;
    uint8_t *glyphs = static_cast<uint8_t*>(malloc((size_t)w * h)), *limits = static_cast<uint8_t*>(malloc((size_t)w * h));
    memset(glyphs, 255, (size_t)w * h);
    memset(limits, 255, (size_t)w * h);
    for (int r = 0; r < gh; r++)
        memset(&limits[(size_t)(gh + r) * w + 1], 0, 5); // columns 1 to 5
    limits[(size_t)(2 * gh) * w + 3] = 247; // ink 8: reaches the threshold alone
    glyphs[(size_t)(gh + 1) * w + 2] = 0;
    glyphs[(size_t)(gh + 1) * w + 3] = 128;
    glyphs[(size_t)(gh + 2) * w + 4] = 254;
    return font_from_strips(glyphs, limits, w, h, -2);
}

// A label of `s` in font `f` at (x, y) drawn in `mode`.
TextLabel label_with(const BitmapFont* f, const char* s, int x, int y, int mode)
{
    TextLabel l = {};
    std::tie(l.font, l.x, l.y, l.mode) = std::tuple(f, x, y, mode);
    snprintf(l.str, sizeof l.str, "%s", s);
    return l;
}

// Resources from the source tree, the palette loaded, the test font made, the drawing area set;
// all restored after.
struct DisplayGfx : ::testing::Test {
    ScopedResources resources;
    int saved_w = SCRN_W, saved_h = SCRN_H;
    BitmapFont f = test_font();
    void SetUp() override { ASSERT_EQ(palette_load(), 1); }
    void TearDown() override
    {
        font_free(&f);
        std::tie(SCRN_W, SCRN_H) = std::pair(saved_w, saved_h);
    }
};

// Resources, the test font and the drawing area as above (no palette), a data folder of its own
// and a document stack; the stack and the window's frame buffers freed after.
struct DisplayWindow : DisplayGfx {
    ScopedDataHome home;
    ImageStack image{};
    void SetUp() override { image_stack_init(&image); }
    void TearDown() override
    {
        image_stack_release(&image);
        free_null(&sfb0);
        free_null(&sfb1);
        free_null(&menu_fb);
        DisplayGfx::TearDown();
    }
};



// A picture read through the program's own loader (grey or colour form).
struct Picture {
    std::unique_ptr<uint8_t, decltype(&free)> px{nullptr, &free};
    int w = 0, h = 0;
    const uint8_t* at(int x, int y, int bytes) const { return px.get() + ((size_t)y * w + x) * bytes; }
};

// Reads `path`, failing the test (instead of ending the process) when it is missing.
Picture read(const std::string& path, bool grey)
{
    Picture p;
    if (!file_exists(path)) {
        ADD_FAILURE() << "missing resource " << path;
        return p;
    }
    p.px.reset(load_image_ph(path.c_str(), &p.w, &p.h, grey ? 1 : 0));
    EXPECT_TRUE(p.px) << path << " could not be decoded";
    return p;
}

// Every picture the window loads, by groups of one size: the names, width, height, grey or colour.
const std::tuple<std::vector<const char*>, int, int, bool> RESOURCES[] = {
    {{"palette.png"}, 16, 1, false}, {{"gradient.png"}, 256, 1, false}, {{"rainbow.png"}, 33, 1, false},
    {{"menu_shadow.png"}, 10, 8, false}, {{"font/font12.png", "font/font12_limits.png"}, 21, 224 * 14, true},
    {{"font/font16.png", "font/font16_limits.png"}, 30, 224 * 18, true},
    {{"font/font24.png", "font/font24_limits.png"}, 45, 224 * 26, true}, {{"knob.png"}, 100, 100, false},
    {{"knob_anim.png"}, 100, 193 * 100, false}, {{"button_big.png"}, 108, 4 * 112, false},
    {{"button_med.png"}, 54, 4 * 56, false}, {{"button_small.png"}, 36, 4 * 36, false}, {{"corner.png"}, 12, 3 * 12, false},
    {{"play.png", "pause.png"}, 112, 112, true}, {{"open.png", "save.png", "quit.png"}, 56, 56, true},
    {{"mouse.png", "move.png", "spray_black.png", "spray_white.png", "flashlight.png", "roadroller.png", "rectool.png",
      "harmonics.png", "magnet.png"}, 36, 36, true},
};

const std::string SOURCE_GFX = std::string(BW_SOURCE_DIR) + "/gfx/";

// Sum of ink (255 - value) over a rectangle of a grey picture.
long ink(const Picture& p, int x0, int y0, int x1, int y1)
{
    long sum = 0;
    for (int y = y0; y < y1; y++)
        for (int x = x0; x < x1; x++)
            sum += 255 - *p.at(x, y, 1);
    return sum;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// [SECTION] Fonts and text
// ---------------------------------------------------------------------------------------------

// Glyph extents and widths from the limits strips; a bad font draws nothing; a label drawn with
// the erase flag puts back the background under its old text when moved or shortened; text is
// clipped at every edge, whatever its position and length.
TEST_F(DisplayGfx, FontExtentsTextWidthEraseAndClipping)
{
    ASSERT_EQ(f.glyph_count, GLYPH_COUNT);
    // Glyph 1 has its extent; no marks (0) or one column of extent (2): the blank glyph, 16 wide.
    for (auto [g, left, adv] : {std::tuple{1, 1, 4}, {0, 0, 16}, {2, 3, 16}})
        EXPECT_TRUE(f.left[g] == left && f.adv[g] == adv) << g << ": " << f.left[g] << ", " << f.adv[g];
    EXPECT_EQ(text_width("!\x01", f), text_width("! ", f)); // control codes count as spaces

    // Strips of different sizes or too short give an empty font that draws nothing.
    BitmapFont bad = font_from_strips(static_cast<uint8_t*>(calloc(8, 10)), static_cast<uint8_t*>(calloc(8, 10)), 8,
                                      10, -2);
    EXPECT_TRUE(bad.glyph_count == 0 && text_width("abc", bad) == 0);
    GuardedFrame fb(32, 16, 0);
    TextLabel l = label_with(&bad, "abc", 5, 5, TEXT_LEFT);
    EXPECT_TRUE(blit_text(&l, fb.frame(), 0, 0, 0) == 3 && fb.changed(0) == 0);
    font_free(&bad);

    // Drawn with the erase flag over the background grey.
    const uint8_t bgv = background_grey();
    const uint32_t bg = pixel(bgv, bgv, bgv, 0);
    GuardedFrame e(32, 16, bg);
    l = label_with(&f, "!!", 10, 5, TEXT_LEFT | TEXT_ERASE);
    blit_text(&l, e.frame(), 0, 1, 0);
    EXPECT_EQ(e.changed(bg), 6);

    // Moved and shortened: the old text is erased where it was drawn, the new one drawn.
    snprintf(l.str, sizeof l.str, "!");
    std::tie(l.x, l.y) = std::pair(0, 0);
    blit_text(&l, e.frame(), 0, 1, 0);
    EXPECT_TRUE(e.changed(bg) == 3 && e.at(1, 1)[0] != bgv);

    // Without the erase flag (or the label's erase bit) the old text stays.
    l.x = 20;
    blit_text(&l, e.frame(), 0, 0, 0);
    EXPECT_EQ(e.changed(bg), 6);

    // Text is clipped at every edge.
    const uint32_t dim = pixel(40, 40, 40, 0);
    GuardedFrame c(16, 8, dim);

    // Centred on x = 0: width 12, so the cells start at -7, -5, -3, -1; only what falls right of
    // column 0 is drawn, and nothing wraps to the end of the row above.
    TextLabel centred = label_with(&f, "!!!!", 0, 2, 0);
    blit_text(&centred, c.frame(), 0, 0, 0);
    // Ink 0 of the last glyph and ink 128 of the third drawn; nothing at the other end.
    EXPECT_TRUE(c.at(1, 3)[0] != 40 && c.at(0, 3)[0] != 40 && c.at(15, 2)[0] == 40 && c.at(15, 3)[0] == 40);
    EXPECT_EQ(c.changed(dim), 5);

    // Partly and wholly off every edge, at extreme positions, a text at most 2047 characters long.
    std::string lots(TEXT_LEN + 10, '!');
    const int spots[][2] = {{-3, -2}, {14, 6}, {-100, 3}, {5, 7}, {INT_MAX, 0}, {INT_MIN, INT_MIN}, {0, INT_MAX}};
    for (const auto& p : spots)
        for (int mode : {(int)TEXT_LEFT, (int)TEXT_RIGHT, 0}) {
            TextLabel t = label_with(&f, lots.c_str(), p[0], p[1], mode | TEXT_ERASE);
            std::tie(t.old_x, t.old_y) = std::pair(p[1], p[0]);
            memcpy(t.old_str, t.str, TEXT_LEN);
            blit_text(&t, c.frame(), 0, 1, 0);
            blit_text(&t, c.frame(), 0, 1, 1);
        }
    EXPECT_TRUE(c.guards_intact());

    // A text filling its whole buffer without an end byte is drawn to the buffer's end.
    TextLabel full = label_with(&f, "", 0, 0, TEXT_LEFT);
    memset(full.str, '!', TEXT_LEN);
    EXPECT_EQ(blit_text(&full, c.frame(), 0, 0, 0), TEXT_LEN);
    EXPECT_EQ(strlen(full.old_str), (size_t)TEXT_LEN - 1);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Sprites and fills
// ---------------------------------------------------------------------------------------------

// Copy takes the whole pixel, average lies halfway, multiply darkens (255 leaves a byte alone, 0
// makes it black, half strength darkens less): the panel's buttons and knobs are drawn so, the
// buttons' faces made with their icons; sprites, rectangles and fills clipped at every edge.
TEST_F(DisplayGfx, SpriteModesButtonSpritesAndClipping)
{
    uint32_t spr[8];
    for (int i = 0; i < 8; i++)
        spr[i] = pixel(10 * i, 10 * i + 1, 10 * i + 2, 9);
    const uint32_t bg = pixel(100, 200, 255, 0);
    GuardedFrame fb(8, 6, bg), avg(8, 6, bg), m(8, 6, bg);
    blit_sprite_ph(fb.frame(), spr, 4, 2, 4, 3, 0, 0); // centred at (4, 3): top left at (2, 2)
    EXPECT_TRUE(*reinterpret_cast<uint32_t*>(fb.at(5, 3)) == spr[7] && fb.changed(bg) == 8);
    blit_sprite_ph(avg.frame(), spr, 4, 2, 0, 0, SPRITE_TOP_LEFT, 1);
    EXPECT_EQ(*reinterpret_cast<uint32_t*>(avg.at(3, 1)), pixel(85, 135, 163, 0));
    uint32_t mul[2] = {pixel(128, 255, 0, 0), pixel(254, 1, 255, 0)};
    blit_sprite_ph(m.frame(), mul, 2, 1, 0, 0, SPRITE_TOP_LEFT | SPRITE_MULTIPLY, 0);
    blit_sprite_ph(m.frame(), mul, 2, 1, 0, 1, SPRITE_TOP_LEFT | SPRITE_MULTIPLY, 1);
    EXPECT_EQ(std::vector<int>({m.at(0, 0)[0], m.at(0, 0)[1], m.at(0, 0)[2], m.at(0, 1)[0], m.at(1, 1)[1]}),
              std::vector<int>({50, 200, 0, 74, 100})); // 100 * 128 / 256, 100 * 191 / 256, 200 * 128 / 256

    // A button's two faces get the icon stamped between the face and its ink frame two further
    // on; a base of fewer than four frames makes nothing.
    const uint8_t levels[4] = {100, 200, 0, 50}; // four 2 x 2 frames of flat greys
    uint32_t* px = static_cast<uint32_t*>(malloc(16 * 4));
    for (int i = 0; i < 16; i++)
        px[i] = pixel(levels[i / 4], levels[i / 4], levels[i / 4], 7);
    Sprite base = {px, 2, 2, 4, 1, 1}, out;
    uint8_t* icon = static_cast<uint8_t*>(malloc(4));
    memcpy(icon, "\xff\x00\x80\xff", 4);
    ASSERT_EQ(make_button_sprite(&out, icon, 2, base), 1);
    auto at = [&](int f, int i) { return reinterpret_cast<const uint8_t*>(sprite_frame(out, f) + i); };
    // 100 * 128 / 256 + 0; 0 + 50 * 255 / 256
    EXPECT_EQ(std::vector<int>({at(0, 0)[0], at(0, 1)[0], at(0, 2)[0], at(1, 1)[0], at(0, 1)[3]}),
              std::vector<int>({100, 0, 50, 49, 7}));
    sprite_free(&out);
    base.frames = 3;
    EXPECT_TRUE(make_button_sprite(&out, static_cast<uint8_t*>(malloc(4)), 2, base) == 0 && out.px == nullptr);
    free(px);

    // Sprites and rectangles are clipped at every edge, whatever their position and size.
    uint32_t steps[8];
    for (int i = 0; i < 8; i++)
        steps[i] = pixel(i + 1, i + 1, i + 1, i + 1);
    const uint32_t black = pixel(0, 0, 0, 0);

    // Half off the left edge: its right half at column 0, nothing at the end of the row above.
    GuardedFrame half(8, 6, black);
    blit_sprite_ph(half.frame(), steps, 4, 2, -2, 2, SPRITE_TOP_LEFT, 0);
    for (auto [x, y, v] : {std::tuple{0, 2, 3}, {1, 3, 8}, {7, 1, 0}, {7, 2, 0}})
        EXPECT_EQ(half.at(x, y)[0], v) << x << "," << y;
    EXPECT_EQ(half.changed(black), 4);

    // Through the screen-sized overload, the bottom-right corner.
    std::tie(SCRN_W, SCRN_H) = std::pair(8, 6);
    blit_sprite_ph(half.px(), steps, 4, 2, 6, 5, SPRITE_TOP_LEFT | SPRITE_MULTIPLY, 0);
    const uint32_t grey = pixel(100, 100, 100, 100);
    GuardedFrame corner(8, 6, grey);
    blit_sprite_ph(corner.px(), steps, 4, 2, 6, 5, SPRITE_TOP_LEFT, 1);
    EXPECT_EQ(corner.changed(grey), 2);

    // Rectangles set all four bytes and clip the same way.
    GuardedFrame r(8, 6, black);
    blit_grey_rect(r.frame(), 0x1C3, 3, 2, -1, 5);
    EXPECT_TRUE(*reinterpret_cast<uint32_t*>(r.at(0, 5)) == 0xC3C3C3C3u && *reinterpret_cast<uint32_t*>(r.at(1, 5)) == 0xC3C3C3C3u);
    EXPECT_EQ(r.changed(black), 2);

    // Anything wholly outside, of no size or at extreme positions writes nothing.
    const int spots[][2] = {{-6, 0}, {10, 0}, {0, -3}, {0, 8}, {INT_MAX, INT_MAX}, {INT_MIN, INT_MIN}, {INT_MIN, 0}};
    GuardedFrame outside(8, 6, grey);
    for (const auto& p : spots)
        for (int flags : {0, (int)SPRITE_TOP_LEFT, (int)SPRITE_MULTIPLY, SPRITE_TOP_LEFT | SPRITE_MULTIPLY}) {
            blit_sprite_ph(outside.frame(), steps, 4, 2, p[0], p[1], flags | SPRITE_TOP_LEFT, 0);
            blit_sprite_ph(outside.frame(), steps, 4, 2, p[0], p[1], flags, 1);
            blit_grey_rect(outside.frame(), 255, 4, 2, p[0], p[1]);
        }
    blit_sprite_ph(outside.frame(), steps, 0, 2, 2, 2, SPRITE_TOP_LEFT, 0);
    blit_sprite_ph(outside.frame(), steps, 4, -1, 2, 2, SPRITE_TOP_LEFT, 0);
    blit_grey_rect(outside.frame(), 255, 0, 3, 1, 1);
    blit_grey_rect(outside.frame(), 255, 3, -3, 1, 1);
    EXPECT_TRUE(outside.changed(grey) == 0 && outside.guards_intact());

    // The background fills every byte with the palette's background grey.
    GuardedFrame all(8, 6, 0);
    screen_background(all.px());
    const uint8_t g = background_grey();
    EXPECT_EQ(all.changed(pixel(g, g, g, g)), 0);
    EXPECT_TRUE(all.guards_intact() && half.guards_intact() && corner.guards_intact() && r.guards_intact());
}


// ---------------------------------------------------------------------------------------------
// [SECTION] The window
// ---------------------------------------------------------------------------------------------

// The automatic window size; the conversion into the window's pixel order; the strip goes to the
// window's top rows and the drawing area below it, in that order; a shut window presents nothing.
TEST_F(DisplayWindow, SizePixelOrderAndPresent)
{
    for (auto [sw, sh, ww, wh] : {std::tuple{1440, 900, 1392, 780}, {300, 400, MIN_SCRN_W, MIN_SCRN_H}}) {
        int w, h;
        auto_window_size(sw, sh, &w, &h);
        EXPECT_TRUE(w == ww && h == wh) << w << " x " << h;
    }

    // Bytes red, green, blue of the frame buffer land at the surface's shifts; the padding
    // beyond each row is not touched.
    const uint32_t src[4] = {pixel(1, 2, 3, 4), pixel(10, 20, 30, 40), pixel(0xff, 0, 0x80, 9), pixel(0, 0, 0, 0xff)};
    uint32_t dst[6];
    std::fill(dst, dst + 6, CANARY);
    frame_to_window_order(reinterpret_cast<uint8_t*>(dst), 12, src, 2, 2, 16, 8, 0);
    EXPECT_EQ(std::vector<uint32_t>(dst, dst + 5), std::vector<uint32_t>({0x010203u, 0x0A141Eu, CANARY, 0xFF0080u, 0u}));
    frame_to_window_order(reinterpret_cast<uint8_t*>(dst), 8, src, 1, 1, 0, 8, 16);
    EXPECT_EQ(dst[0], 0x030201u);

    std::tie(SCRN_W, SCRN_H) = std::pair(800, 480);
    graphics_full_init(&sfb0, &sfb1);
    ASSERT_TRUE(screen && sfb0 && sfb1 && menu_fb);
    image.screen = sfb0;
    sfb1[7 * 800 + 5] = pixel(10, 20, 30, 0);
    menu_fb[2 * 800 + 3] = pixel(200, 100, 50, 0);
    EXPECT_EQ(present_frame(&image, nullptr), 1);
    auto read = [](int x, int y) {
        Uint8 r, g, b;
        uint32_t v = *reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(screen->pixels) + y * screen->pitch + 4 * x);
        SDL_GetRGB(v, screen->format, &r, &g, &b);
        return std::vector<int>{r, g, b};
    };
    EXPECT_EQ(read(5, 7 + MENU_STRIP_H), (std::vector<int>{10, 20, 30}));
    EXPECT_EQ(read(3, 2), (std::vector<int>{200, 100, 50}));
    graphics_shutdown();
    EXPECT_EQ(present_frame(&image, nullptr), 0);
}

// A thread fills the whole frame under the overlay lock, as the view redraw draws, while the
// window grows and shrinks: it must always see the buffer that matches SCRN_W x SCRN_H.
TEST_F(DisplayWindow, ResizeNeverLeavesADrawingThreadWithTheWrongBuffer)
{
    window_resize(300, 500, &image);
    std::atomic<bool> done{false};
    std::thread drawer([&] {
        while (!done) {
            LockGuard lock(image.overlay_lock);
            blit_grey_rect(image.screen, 9, SCRN_W, SCRN_H, 0, 0);
        }
    });
    for (int i = 0; i < 20; i++)
        window_resize(i % 2 ? 1200 : 250, i % 2 ? 900 : 460, &image);
    done = true;
    drawer.join();
    EXPECT_EQ(SCRN_W, 1200);
    EXPECT_EQ(image.screen, sfb0);
}

TEST(DisplayWindowDeathTest, ClosingTheWindowEndsTheProgramAtOnce)
{
    SDL_Event other = {};
    other.type = SDL_KEYDOWN;
    EXPECT_EQ(eventFilter(&other), 1);

    SDL_Event quit = {};
    quit.type = SDL_QUIT;
    window_hooks = {[] { fprintf(stderr, "live output closed\n"); }, [] { fprintf(stderr, "history closed\n"); }};
    EXPECT_EXIT(eventFilter(&quit), ::testing::ExitedWithCode(0), "live output closed\nhistory closed");
    window_hooks = {nullptr, command_log_close};
}

// The resource pictures under gfx/: every file the window reads is there, in the source tree and
// beside the built program, with the size and layout its reader expects.

// Every picture is there with its size, in the source tree and beside the built program; the
// colour map runs from dark to bright; the fonts' limit strips give every glyph an advance.
TEST(GfxResources, EveryPictureWithItsSizeTheGradientAndTheFontStrips)
{
    const std::string built = std::filesystem::path(BW_PROGRAM).parent_path().string() + "/gfx/";
    for (const std::string& dir : {SOURCE_GFX, built})
        for (const auto& [names, w, h, grey] : RESOURCES)
            for (const char* name : names) {
                Picture p = read(dir + name, grey);
                EXPECT_EQ(std::pair(p.w, p.h), std::pair(w, h)) << dir << name;
            }

    Picture map = read(SOURCE_GFX + "gradient.png", false);
    ASSERT_TRUE(map.px);
    // Relative luminance must never fall along the map: a louder value is never darker.
    auto lin = [](int c) { double v = c / 255.0; return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    double last = -1;
    for (int i = 0; i < map.w; i++) {
        const uint8_t* c = map.at(i, 0, 4);
        double y = 0.2126 * lin(c[0]) + 0.7152 * lin(c[1]) + 0.0722 * lin(c[2]);
        EXPECT_GE(y, last) << "gradient entry " << i;
        last = y;
    }
    EXPECT_LT(map.at(0, 0, 4)[0] + map.at(0, 0, 4)[1] + map.at(0, 0, 4)[2], 60);
    EXPECT_GT(last, 0.85);

    // The font limit strips give every glyph an advance; the cells hold the characters they should.
    for (auto [size, cell] : {std::pair{12, 14}, {16, 18}, {24, 26}}) {
        const std::string base = SOURCE_GFX + "font/font" + std::to_string(size);
        Picture glyphs = read(base + ".png", true), limits = read(base + "_limits.png", true);
        ASSERT_TRUE(glyphs.px && limits.px && limits.h == 224 * cell) << size;
        for (int g = 0; g < 224; g++) {
            const int y0 = g * cell, y1 = y0 + cell;
            // The loader finds a glyph's extent where the running ink total reaches 8: the
            // mark starts at column 0 and ends short of the cell's right edge.
            EXPECT_GE(ink(limits, 0, y0, 1, y1), 8) << size << " glyph " << g;
            EXPECT_LT(ink(limits, limits.w - 1, y0, limits.w, y1), 8) << size << " glyph " << g;
        }
        // Cell g is character 32 + g: the space is blank and "!" is not; the long dash of the
        // scale ticks (0x97) and the degree sign (0xB0) are drawn; undefined 0x81 is blank.
        auto inked = [&](int code) { return ink(glyphs, 0, (code - 32) * cell, glyphs.w, (code - 31) * cell) > 0; };
        EXPECT_EQ(std::vector<bool>({inked(' '), inked('!'), inked(0x97), inked(0xB0), inked(0x81)}),
                  std::vector<bool>({false, true, true, true, false})) << size;
    }
}


