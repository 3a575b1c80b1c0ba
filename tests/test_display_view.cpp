// Spectrogram view: zoom and its limits, focused zoom, mouse mappings, wheel and pan, the two
// resamplers and both colourings, normalisation to the visible part, missing rows, the copy into
// the frame buffer, and the continuous redraw thread.
#include "render/gfx.h"
#include "test_doc.h"

#include <array>
#include <cmath>
#include <thread>
#include <tuple>

namespace {

// The pixel (x, y) of a picture w wide, as one value.
uint32_t pixel(const uint8_t* pic, int w, int x, int y)
{
    uint32_t p;
    memcpy(&p, pic + ((size_t)y * w + x) * 4, 4);
    return p;
}

// The first byte of that pixel.
int byte0(const uint8_t* pic, int w, int x, int y) { return pic[((size_t)y * w + x) * 4]; }

// A W x H one-layer document filled by fill(r, x), in a 300 x 300 window (view 120 x 98 at
// (120, 102)), drawn into its own frame buffer.
struct ViewDoc : ScreenDocTest {

    static void SetUpTestSuite()
    {
        ScopedResources resources;
        ASSERT_EQ(palette_load(), 1);
        ASSERT_EQ(view_colours_load(), 1);
    }

    void SetUp() override { open_screen(300, 300, 0xdeadbeef); }
    void TearDown() override
    {
        view_hooks = {};
        image->screen = nullptr;
        image_stack_release(image.get());
    }
    template <class Fill> void make(int w, int h, Fill fill)
    {
        ScreenDocTest::make(w, h, fill);
        image->gradient_mode = 1;
    }
    uint32_t last_colour() const { return view_colours.gradient[view_colours.gradient_len - 1]; }
};

// ---------------------------------------------------------------------------------------------
// Zoom, mappings, wheel and pan
// ---------------------------------------------------------------------------------------------

// The zoom's limits and its centre kept inside; the mouse mappings round trip; a focused zoom
// keeps the point under the mouse; the wheel and a pan.
TEST_F(ViewDoc, ZoomLimitsMappingsFocusedZoomWheelAndPan)
{
    make(1000, 200, [](int, int) { return 0.f; });
    const int vw = image->view_w, vh = image->view_h;
    change_zoom(image.get(), 4.f, 2.f, 300.f, 60.f);
    // 45.5 pixels into the view (16 of 32 sub-pixels: half a pixel in slow-mouse mode), 30 down.
    std::tie(mouse_ax, mouse_ay, mouse_ax_sub, mouse_sub_range) = std::tuple(120 + 45, image->view_y + 30, 16, 32);
    const float fx = mouse_ax_to_xf(vw), fy = mouse_ay_to_yf(vh);
    EXPECT_NEAR(column_to_view_x(fx, vw), 45.5f, 1e-3f);
    EXPECT_NEAR(row_to_view_y(fy, vh), 30.f, 1e-3f);
    EXPECT_EQ(std::pair(mouse_ax_to_x(vw), mouse_ay_to_y(vh)), std::pair((int)std::lrint(fx), (int)std::lrint(fy)));
    // The crop is whole columns, so the point moves by less than a column.
    change_zoom_focused(image.get(), 2.f, 2.f, fx, fy);
    EXPECT_NEAR(mouse_ax_to_xf(vw), fx, 1.f);
    EXPECT_NEAR(mouse_ay_to_yf(vh), fy, 1.f);
    EXPECT_NEAR(zoom_h, 8.f, 0.05f);

    change_zoom(image.get(), 3.f, 1.f, 500.f, 100.f);
    EXPECT_EQ(std::vector<int>({crop_x, crop_w}), std::vector<int>({500 - 166, 333}));

    // Never fewer than 10 visible; a magnification below 1 is 1; the centre stays inside.
    change_zoom(image.get(), 1e6f, 0.2f, 5000.f, -7.f);
    EXPECT_EQ(std::vector<int>({crop_x, crop_w, crop_y, crop_h}), std::vector<int>({990, 10, 0, 200}));
    EXPECT_FLOAT_EQ(zoom_v, 1.f);
    change_zoom(image.get(), NAN, 1.f, NAN, 0.f);
    EXPECT_TRUE(crop_w == 1000 && crop_x == 0);

    // The wheel zooms the axes asked for, never out beyond the whole document.
    change_zoom(image.get(), 1.f, 1.f, 500.f, 100.f);
    dirty = mouse_ax_sub = 0;
    std::tie(mouse_ax, mouse_ay) = std::pair(120 + vw / 2, image->view_y + vh / 2);
    // Zooming out at 1 changes nothing and draws nothing.
    EXPECT_EQ(wheel_zoom(es.get(), -1, 0, 0), 0);
    EXPECT_EQ(wheel_zoom(es.get(), -2, 1, 0), 0);
    EXPECT_TRUE(dirty == 0 && crop_w == 1000);
    auto crop = [] { return std::pair(crop_w, crop_h); };

    EXPECT_EQ(wheel_zoom(es.get(), 2, 0, 0), VIEW_CHANGED | VIEW_CHANGED_H);
    EXPECT_EQ(crop(), std::pair(500, 200));
    EXPECT_TRUE(progress_crop_x == crop_x && dirty == 1);
    EXPECT_EQ(wheel_zoom(es.get(), 2, 0, 1), VIEW_CHANGED); // Shift: vertical only
    EXPECT_EQ(crop(), std::pair(500, 100));
    wheel_zoom(es.get(), -2, 1, 0); // Ctrl: both
    EXPECT_EQ(crop(), std::pair(1000, 200));

    // A drag pans the picture with the mouse.
    change_zoom(image.get(), 4.f, 1.f, 500.f, 100.f);
    const int x0 = crop_x;
    dirty = 0;
    ViewPan pan;
    pan_begin(&pan);
    mouse_ax += image->view_w / 2; // half a view to the right: the picture follows
    EXPECT_EQ(pan_drag(es.get(), &pan), VIEW_CHANGED | VIEW_CHANGED_H);
    EXPECT_NEAR(crop_x, x0 - (crop_w - 1) / 2, 1);
    pan_end(es.get());
    EXPECT_TRUE(crop_w == 250 && dirty == 1);

    // A document narrower than 11 columns shows all of them at any zoom.
    make(8, 6, [](int, int) { return 0.f; });
    change_zoom(image.get(), 50.f, 50.f, 4.f, 3.f);
    EXPECT_EQ(std::vector<int>({crop_x, crop_w, crop_h}), std::vector<int>({0, 8, 6}));
}

// ---------------------------------------------------------------------------------------------
// Resamplers and colours
// ---------------------------------------------------------------------------------------------

TEST_F(ViewDoc, ResamplersColouringsLevelsAndForcedModes)
{
    // Grey picture colours of 2 x 2 values: only the top-left one is bright (byte 255).
    float r0[2] = {1.f, 0.f}, r1[2] = {0.f, 0.f};
    float* rows[2] = {r0, r1};
    uint8_t *s = resize_image(rows, nullptr, 2, 2, 4, 4), *n = resize_image_nearest(rows, nullptr, 2, 2, 4, 4), *p;
    ASSERT_TRUE(s && n);
    // Enlarging both ways: centres at 0, .25, .5, .75 (the last column is not the last input),
    // tent weights not divided.
    // 255, 255 * .75, 255 * .5 * .75, 255 * .5 * .5, 255 * .25 * .25
    for (auto [x, y, v] : {std::tuple{0, 0, 255}, {1, 0, 191}, {2, 1, 95}, {2, 2, 63}, {3, 3, 15}})
        EXPECT_EQ(byte0(s, 4, x, y), v) << x << "," << y;
    EXPECT_EQ(pixel(s, 4, 1, 0), rgb(191, 191, 191));
    // Nearest: inputs trunc(X / 4 + .5).
    EXPECT_TRUE(pixel(n, 4, 1, 1) == rgb(255, 255, 255) && pixel(n, 4, 2, 0) == rgb(0, 0, 0));
    free(s);
    free(n);

    // Shrinking five columns (bytes 0, 60, 120, 240, 255) to two: tent windows of radius 2 on
    // columns 0 and 2, divided by their weights: (60 / 2) / 1.5 and (60 / 2 + 120 + 240 / 2) / 2.
    const auto bytes = [](int, int x) { return std::pow(std::array{0.f, 60.f, 120.f, 240.f, 255.f}[x] / 255.f, 2.f); };
    Plane five = plane_of(5, 1, bytes);
    s = resize_image(five, nullptr, 5, 1, 2, 1);
    EXPECT_EQ(std::vector<int>({byte0(s, 2, 0, 0), byte0(s, 2, 1, 0)}), std::vector<int>({20, 135}));
    free(s);
    plane_free(&five, 1);

    // On helper threads (a large picture of equal rows) every row comes out as from one row.
    const auto pattern = [](int, int x) { return (float)((x * 31) % 23) / 22.f; };
    Plane big = plane_of(700, 90, pattern), one = plane_of(700, 1, pattern);
    s = resize_image(big, nullptr, 700, 90, 300, 200);
    n = resize_image(one, nullptr, 700, 1, 300, 1);
    for (int y = 0; y < 200; y++)
        ASSERT_EQ(memcmp(s + (size_t)y * 300 * 4, n, 300 * 4), 0) << y;
    free(s);
    free(n);
    plane_free(&big, 90);
    plane_free(&one, 1);

    // A flat picture reads the same through both, exactly.
    Plane flat = plane_filled(53, 37, 0.3f);
    s = resize_image_gradient(flat, 53, 37, 11, 7);
    n = resize_image_gradient_nearest(flat, 53, 37, 11, 7);
    EXPECT_TRUE(memcmp(s, n, 11 * 7 * 4) == 0 && pixel(s, 11, 5, 5) == last_colour());
    free(s);
    free(n);
    plane_free(&flat, 37);

    // All zero is the first colour; picture colours follow the source; missing rows have their
    // own colour; levels follow the visible part; forced modes choose the resampler.
    make(50, 40, [](int, int) { return 0.f; });
    for (int nearest = 0; nearest < 2; nearest++) {
        p = resize_image_gradient_generic_zoom(image->composite, 50, 40, 30, 20, nearest);
        const uint32_t* px = reinterpret_cast<const uint32_t*>(p);
        EXPECT_EQ(std::vector<uint32_t>(px, px + 30 * 20), std::vector<uint32_t>(30 * 20, view_colours.gradient[0]));
        free(p);
        p = resize_image_generic_zoom(image->composite, nullptr, 50, 40, 30, 20, nearest);
        EXPECT_EQ(pixel(p, 30, 29, 19), rgb(0, 0, 0));
        free(p);
    }

    // Source colours (normalised to a sum of 255) scaled by 3 q: red at level 1, grey at 1/2.
    Plane pl = image->composite;
    pl[0][0] = 1.f;
    pl[0][1] = 0.25f;
    std::vector<uint8_t> src(50 * 40 * 4, 85);
    memcpy(&src[0], "\xff\x00\x00\x00", 4);
    p = resize_image_generic_zoom(pl, src.data(), 50, 40, 50, 40, 1);
    EXPECT_TRUE(pixel(p, 50, 0, 0) == rgb(255, 0, 0) && pixel(p, 50, 1, 0) == rgb(128, 128, 128)); // 85 * 1.5 + .5
    free(p);

    // Rows not analysed yet are drawn in their own colour by both resamplers.
    const uint8_t* c = palette_colour(3);
    std::vector<float> full(20, 1.f);
    float* gaps[5] = {full.data(), nullptr, nullptr, nullptr, full.data()}; // rows 1..3 missing
    for (int smooth = 0; smooth < 2; smooth++) {
        p = smooth ? resize_image_gradient(gaps, 20, 5, 20, 5) : resize_image_gradient_nearest(gaps, 20, 5, 20, 5);
        EXPECT_TRUE(pixel(p, 20, 7, 2) == rgb(c[0], c[1], c[2]) && pixel(p, 20, 7, 0) == last_colour()); // reads rows 1 and 2, or row 2
        free(p);
    }

    // Quiet left half, loud right half: zooming into the left brightens it to the top colour.
    make(400, 40, [](int, int x) { return x < 200 ? 0.01f : 1.f; });
    uint8_t* whole = resize_image_gradient_generic_zoom(image->composite, 400, 40, 100, 20, 1);
    EXPECT_TRUE(pixel(whole, 100, 10, 10) != last_colour() && pixel(whole, 100, 90, 10) == last_colour());
    change_zoom(image.get(), 4.f, 1.f, 50.f, 20.f);
    uint8_t* left = resize_image_gradient_generic_zoom(image->composite, 400, 40, 100, 20, 1);
    EXPECT_EQ(pixel(left, 100, 10, 10), last_colour());
    free(whole);
    free(left);

    // Force Fast makes a smooth request nearest; Force Smooth makes a nearest one smooth.
    make(400, 40, [](int r, int x) { return (float)((x * 7 + r * 3) % 11); });
    n = resize_image_gradient_generic_zoom(image->composite, 400, 40, 90, 30, 1);
    s = resize_image_gradient_generic_zoom(image->composite, 400, 40, 90, 30, 0);
    ASSERT_NE(memcmp(n, s, 90 * 30 * 4), 0);
    key[state_of(K_FAST_DISPLAY)] = 1;
    uint8_t* f = resize_image_gradient_generic_zoom(image->composite, 400, 40, 90, 30, 0);
    EXPECT_EQ(memcmp(n, f, 90 * 30 * 4), 0);
    key[state_of(K_FAST_DISPLAY)] = 0;
    key[state_of(K_SMOOTH_DISPLAY)] = 1;
    uint8_t* g = resize_image_gradient_generic_zoom(image->composite, 400, 40, 90, 30, 1);
    EXPECT_EQ(memcmp(s, g, 90 * 30 * 4), 0);
    for (uint8_t* b : {n, s, f, g})
        free(b);
}


// ---------------------------------------------------------------------------------------------
// Redraw into the frame buffer and the continuous redraw
// ---------------------------------------------------------------------------------------------

std::atomic<int> overlay_calls{0}, held{0}, release_held{0};

// The redraw writes the view's rectangle only, clipped to the frame buffer, and nothing when
// stopped or when its document was replaced meanwhile; the continuous redraw thread starts and
// stops cleanly while the layer changes.
TEST_F(ViewDoc, RedrawOfTheCurrentDocumentAndTheContinuousRedraw)
{
    make(500, 80, [](int r, int x) { return (float)((r + x) % 9); });
    image_redraw(es.get(), 0);
    ASSERT_TRUE(image->display && dirty == 1);
    const int vx = image->view_x, vy = image->view_y, vw = image->view_w, vh = image->view_h;
    for (int y = 0; y < SCRN_H; y++)
        for (int x = 0; x < SCRN_W; x++) {
            const uint32_t p = fb[(size_t)y * SCRN_W + x];
            if (x >= vx && x < vx + vw && y >= vy && y < vy + vh)
                ASSERT_EQ(p, pixel(image->display, vw, x - vx, y - vy)) << x << "," << y;
            else
                ASSERT_EQ(p, 0xdeadbeefu) << x << "," << y;
        }

    // A view reaching past the frame buffer is clipped; with stop_redraw raised nothing reaches it.
    fb.assign(fb.size(), 0xdeadbeef);
    std::tie(image->view_w, image->view_h) = std::pair(SCRN_W, SCRN_H);
    image_redraw(es.get(), 1);
    EXPECT_EQ(fb[(size_t)(SCRN_H - 1) * SCRN_W + SCRN_W - 1], pixel(image->display, SCRN_W, SCRN_W - 1 - vx, SCRN_H - 1 - vy));
    EXPECT_EQ(fb[(size_t)vy * SCRN_W + vx - 1], 0xdeadbeefu);
    fb.assign(fb.size(), 0xdeadbeef);
    dirty = 0;
    image->stop_redraw = 1;
    image_redraw(es.get(), 1);
    image->stop_redraw = 0;
    EXPECT_TRUE(fb[(size_t)(vy + 5) * SCRN_W + vx + 5] == 0xdeadbeefu && dirty == 0);

    // A redraw of a document that is replaced while its picture is being made (a long sound's
    // redraw when a new file opens) never reaches the frame buffer: the new document stays shown.
    make(200, 40, [](int, int x) { return (float)(x % 7); });
    fb.assign(fb.size(), 0xdeadbeef);
    view_hooks.picture_made = [](EngineState*) { // holds the redraw once its picture is made
        held = 1;
        for (int t = 0; t < 10000 && !release_held; t++)
            wrsleep(1);
    };
    held = release_held = 0;
    dirty = 0;
    std::thread old([&] { image_redraw(es.get(), 0); });
    for (int t = 0; t < 10000 && !held; t++)
        wrsleep(1);
    EXPECT_EQ(held.load(), 1);
    image->generation++; // the document is released for a new one, as free_image does
    release_held = 1;
    old.join();
    EXPECT_TRUE(!image->display && dirty == 0 && fb[(size_t)(image->view_y + 5) * SCRN_W + image->view_x + 5] == 0xdeadbeefu);

    // The current document is drawn as before.
    held = 0;
    image_redraw(es.get(), 0);
    EXPECT_TRUE(held && image->display && dirty == 1);

    // The continuous redraw starts and stops cleanly while the layer changes.
    make(300, 60, [](int, int x) { return (float)(x % 5); });
    overlay_calls = 0;
    view_hooks = {};
    view_hooks.overlays = [](EngineState*, uint32_t*) { overlay_calls++; };
    RedrawThread a{}, b{};
    ASSERT_EQ(redraw_thread_start(&a, es.get()), 1);
    EXPECT_EQ(redraw_thread_start(&a, es.get()), 0); // already running
    ASSERT_EQ(redraw_thread_start(&b, es.get()), 1); // a second loop returns at once
    // Painting meanwhile, as the painting thread does.
    for (int i = 0; i < 200 && overlay_calls < 5; i++) {
        {
            LockGuard lock(image->layers_lock);
            image->layers[0].plane[i % 60][i % 300] += 1.f;
        }
        wrsleep(2);
    }
    EXPECT_GE(overlay_calls.load(), 5);
    EXPECT_EQ(redraw_thread_stop(&b, 5000), 1);
    EXPECT_TRUE(redraw_thread_stop(&a, 5000) == 1 && image->stop_redraw.load() == 0);
    EXPECT_EQ(redraw_thread_stop(&a, 5000), 1); // nothing left to stop

    // It can be started again, and a stop that cannot finish in time says so.
    ASSERT_EQ(redraw_thread_start(&a, es.get()), 1);
    {
        LockGuard lock(image->layers_lock); // the redraw cannot get past this lock
        EXPECT_TRUE(redraw_thread_stop(&a, 0) == 0 && image->stop_redraw.load() == 1);
    }
    EXPECT_TRUE(redraw_thread_stop(&a, 5000) == 1 && image->stop_redraw.load() == 0);
}


} // namespace
