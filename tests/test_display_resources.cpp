// The resource pictures under gfx/: every file the window reads is there, in the source tree and
// beside the built program, with the size and layout its reader expects.
#include "files/picture.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

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


