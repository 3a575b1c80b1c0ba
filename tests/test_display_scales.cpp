// Scales, cursor and overlays: label texts, label layout at known zooms (on the axis, never
// overlapping), the mouse readout, the cursor and playback bar over a known picture, the waveform
// strip of a known document, the strip worker under concurrent requests, and the slow-mouse mode.
#include "display/scales.h"
#include "dsp/scale.h"
#include "files/picture.h"
#include "test_doc.h"

#include <cmath>
#include <set>
#include <thread>
#include <tuple>

namespace {

// A 600 x 500 window (view 420 x 298 at (120, 102)) with a one-layer document made by fill(r, x).
struct Scales : ScreenDocTest {

    static void SetUpTestSuite()
    {
        ScopedResources resources;
        ASSERT_EQ(palette_load(), 1);
        if (!futura12.glyph_count) { // loaded once per run: the fonts are never freed
            ASSERT_EQ(fonts_load(), 1);
        }
        ASSERT_EQ(scales_colours_load(), 1);
    }

    void SetUp() override
    {
        open_screen(600, 500, 0x12345678u);
        es->lock = semaphore_new();
        std::tie(es->anal_params[0], es->anal_params[1], es->anal_params[2], es->anal_params[6]) =
            std::tuple(27.5f, 20000.f, 100.f, 2.f);
        overlays_reset();
        scales_hooks = {};
    }
    void TearDown() override
    {
        waveform_stop();
        waveform_release();
        scales_hooks = {};
        semaphore_free(es->lock);
        image_stack_release(image.get());
    }
    // The rendered view as one colour, copied into the frame buffer as a redraw would.
    void display_fill(uint32_t c)
    {
        const size_t n = (size_t)image->view_w * image->view_h;
        free(image->display);
        image->display = static_cast<uint8_t*>(malloc(n * 4));
        std::fill_n(reinterpret_cast<uint32_t*>(image->display), n, c);
        for (int y = 0; y < image->view_h; y++)
            std::fill_n(&at(image->view_x, image->view_y + y), image->view_w, c);
    }
    // Waits (at most 20 s) until the strip worker has ended.
    static void wait_worker()
    {
        for (int t = 0; t < 20000 && waveform_running(); t++)
            wrsleep(1);
        ASSERT_FALSE(waveform_running());
    }
    // Window pixels changed from `before`, as (x, y) pairs.
    std::vector<std::pair<int, int>> changed(const std::vector<uint32_t>& before)
    {
        std::vector<std::pair<int, int>> out;
        for (size_t i = 0; i < fb.size(); i++)
            if (fb[i] != before[i])
                out.push_back({(int)(i % SCRN_W), (int)(i / SCRN_W)});
        return out;
    }
};

// ---------------------------------------------------------------------------------------------
// Scales, cursor, bars and overlays
// ---------------------------------------------------------------------------------------------

// Over a 1000 x 571 document: frequency, note and time labels sit on their axis at their value,
// inside it and never overlapping, finer when zoomed, and each scale draws only beside its edge
// of the view; the mouse readout at known places, the cursor's marks in contrast with the
// picture and put back, the playback bar at the position's column, the beat bars, the slow
// mouse's sub-pixel steps; the label and note texts (an appended note never past its buffer).
TEST_F(Scales, LabelsTextsMouseReadoutCursorBarsAndSlowMouse)
{
    make(1000, 571, [](int, int) { return 1.f; });
    const int g = futura12.glyph_h, H = SCRN_H - MARGIN_Y - WAVEFORM_H - 47;
    const auto check = [&](const std::vector<ScaleLabel>& labels, bool notes) {
        const float fb_ = log_pos_b(1.f - (float)(crop_y + crop_h) / 571.f, 27.5f, 20000.f, 2.f);
        const float ft = log_pos_b(1.f - (float)crop_y / 571.f, 27.5f, 20000.f, 2.f);
        for (size_t i = 0; i < labels.size(); i++) {
            const ScaleLabel& l = labels[i];
            EXPECT_TRUE(l.pos >= 0 && l.pos <= H) << l.pos;
            const float f = notes ? note_to_freq((float)l.value) : (float)l.value;
            if (notes || i >= 2) { // the two ends are the range itself
                EXPECT_EQ(l.pos, (int)(log_pos_inv_b(f, fb_, ft, 2.f) * H)) << l.value;
            }
            for (size_t j = 0; j < i; j++)
                EXPECT_GE(abs(l.pos - labels[j].pos), 2 * g) << l.value << " vs " << labels[j].value;
        }
    };

    const auto full = left_scale_labels(g, 27.5f, 20000.f, 2.f, 571);
    ASSERT_GE(full.size(), 6u);
    EXPECT_TRUE(std::fabs(full[0].value - 27.5) < 0.01 && std::fabs(full[1].value - 20000.0) < 1.0);
    EXPECT_EQ(full[2].value, 10000.0); // coarse steps come first
    check(full, false);
    const auto notes = right_scale_labels(g, 27.5f, 20000.f, 2.f, 571);
    ASSERT_GE(notes.size(), 6u);
    EXPECT_EQ(fmod(notes[0].value, 12.0), 0.0); // every C before any other note
    check(notes, true);

    // Zoomed in on about an octave: finer round frequencies and every semitone appear.
    change_zoom(image.get(), 1.f, 10.f, 50.f, 285.f);
    const auto zoomed = left_scale_labels(g, 27.5f, 20000.f, 2.f, 571);
    check(zoomed, false);
    EXPECT_TRUE(std::any_of(zoomed.begin() + 2, zoomed.end(), [](const ScaleLabel& l) { return l.format >= 1; }));
    const auto znotes = right_scale_labels(g, 27.5f, 20000.f, 2.f, 571);
    check(znotes, true);
    EXPECT_TRUE(std::any_of(znotes.begin(), znotes.end(), [](const ScaleLabel& l) { return fmod(l.value, 12.0) != 0.0; }));

    const int VW = SCRN_W - 180;
    const auto check_times = [&](const std::vector<ScaleLabel>& labels, double start, double end) {
        ASSERT_GE(labels.size(), 3u);
        EXPECT_TRUE(labels[0].pos == 121 && labels[1].pos == SCRN_W - 60);
        for (size_t i = 2; i < labels.size(); i++) {
            EXPECT_TRUE(labels[i].value > start && labels[i].value < end) << labels[i].value;
            EXPECT_EQ(labels[i].pos, 121 + (int)((labels[i].value - start) / (end - start) * VW));
            EXPECT_TRUE(labels[i].pos >= 121 + 48 && labels[i].pos <= 121 + VW - 96) << labels[i].pos;
            for (size_t j = 2; j < i; j++)
                EXPECT_GE(abs(labels[i].pos - labels[j].pos), 48);
        }
    };
    // A minute at 100 px/s from the start: whole ten seconds, mode 0.
    auto all = bottom_scale_labels(6001, 0, 100.f);
    check_times(all, 0.0, 60.0);
    EXPECT_EQ(all[0].format, 0);
    for (size_t i = 2; i < all.size(); i++)
        EXPECT_EQ(fmod(all[i].value, 10.0), 0.0);

    // Two seconds from 12.3 s: tenths with milliseconds, the start in mode 3.
    auto ztimes = bottom_scale_labels(201, 1230, 100.f);
    check_times(ztimes, 12.3, 14.3);
    EXPECT_EQ(ztimes[0].format, 3);
    EXPECT_TRUE(std::any_of(ztimes.begin() + 2, ztimes.end(), [](const ScaleLabel& l) { return l.format == 1; }));

    // Drawing writes only left of the frame (left scale), right of it (note scale), under it (time).
    for (int side = 0; side < 3; side++) {
        const std::vector<uint32_t> before = fb;
        if (side < 2)
            (side == 0 ? draw_left_scale : draw_right_scale)(fb.data(), futura12, 27.5f, 20000.f, 2.f, 571);
        else
            draw_bottom_scale(fb.data(), 201, 1230, futura12, 100.f);
        const auto px = changed(before);
        ASSERT_FALSE(px.empty()) << side;
        for (auto [x, y] : px)
            ASSERT_TRUE(side == 0 ? x < 119 : side == 1 ? x > SCRN_W - 60 : y >= SCRN_H - MARGIN_Y - 1) << x << "," << y;
    }

    // The mouse readout over the whole view (the zoom put back).
    make(1000, 571, [](int, int) { return 1.f; });
    char s[128] = "unchanged";
    std::tie(mouse_ax, mouse_ay) = std::pair(10, 200); // over the left scale
    EXPECT_TRUE(mouse_freq_time_pos(s, sizeof s, es.get()) == 0 && !strcmp(s, "unchanged"));
    // Left edge of the view at its top row: time 0, the top frequency, its note.
    std::tie(mouse_ax, mouse_ay) = std::pair(120, image->view_y);
    ASSERT_EQ(mouse_freq_time_pos(s, sizeof s, es.get()), 1);
    EXPECT_STREQ(s, "20000.00 Hz (D#10 +08)");
    // Half way across: 499.5 columns at 100 px/s.
    mouse_ax = 120 + image->view_w / 2;
    ASSERT_EQ(mouse_freq_time_pos(s, sizeof s, es.get()), 1);
    EXPECT_TRUE(std::string(s).rfind("4\"995 - ", 0) == 0 && strstr(s, " Hz (D#10 +")) << s;
    key[K_NO_STATUS_TEXT] = 1;
    EXPECT_EQ(mouse_freq_time_pos(s, sizeof s, es.get()), 0);
    key[K_NO_STATUS_TEXT] = 0;

    const uint32_t dark = rgb(10, 10, 10);
    display_fill(dark);
    static int shown;
    shown = -1;
    scales_hooks.show_system_cursor = [](int s) { shown = s; };
    // A spray of width 8 paints 12 window pixels either side at this zoom: the cross spans that.
    const int mx = 300, my = 250, r = 12;
    const float size = 8.f;
    std::vector<uint32_t> before = fb;
    draw_cursor(fb.data(), es.get(), image.get(), mx, my, size, TOOL_DARK_SPRAY, &dirty);
    EXPECT_TRUE(shown == 0 && dirty == 1);
    // The marks at the radius in white, the gap around the centre and what lies beyond left dark.
    EXPECT_EQ(std::vector<uint32_t>({at(mx, my - r), at(mx + r, my), at(mx, my), at(mx, my - r - 1)}),
              std::vector<uint32_t>({0xFFFFFFFFu, 0xFFFFFFFFu, dark, dark}));
    for (auto [x, y] : changed(before))
        ASSERT_TRUE(x == mx || y == my) << x << "," << y;
    // Moving on puts the picture back; the move tool shows the system pointer and draws nothing.
    draw_cursor(fb.data(), es.get(), image.get(), mx + 50, my, size, TOOL_MOVE, &dirty);
    EXPECT_TRUE(shown == 1 && changed(before).empty());
    // Over a light picture the marks are black.
    display_fill(rgb(250, 250, 250));
    draw_cursor(fb.data(), es.get(), image.get(), mx, my, size, TOOL_RECTANGLE, &dirty);
    EXPECT_EQ(at(mx, my + r), 0u);

    // The bar stands on the column of the position (in samples of a 441000-sample sound).
    display_fill(rgb(0, 0, 0));
    const auto column = [&](double p) { return 120 + (int)(image->view_w * (p / 441.0 - crop_x) / (crop_w - 1) + 0.5); };
    draw_bar(fb.data(), image.get(), &dirty, 0, 22050.0, 441000.0);
    for (int y = 0; y < image->view_h; y++)
        ASSERT_EQ(at(column(22050.0), image->view_y + y), 0xFFFFFFFFu);
    draw_bar(fb.data(), image.get(), &dirty, 0, 220500.0, 441000.0);
    EXPECT_EQ(at(column(22050.0), image->view_y + 5), 0u); // the old column is put back
    EXPECT_EQ(at(column(220500.0), image->view_y + 5), 0xFFFFFFFFu);

    // The 16 beat bars (four bars of 4/4) stand on the document's sixteenths, and nowhere else.
    display_fill(rgb(0, 0, 0));
    before = fb;
    draw_beat_bars(fb.data(), image.get());
    std::set<int> expect, got;
    for (int i = 0; i < 16; i++)
        expect.insert(column(441.0 * image->w * i / 16));
    for (auto [x, y] : changed(before))
        got.insert(x);
    EXPECT_EQ(got, expect);

    // The slow mouse moves by sub-pixels: the pointer is held at the view's centre.
    static std::vector<std::pair<int, int>> warps;
    warps.clear();
    scales_hooks.warp_mouse = [](int x, int y) { warps.push_back({x, y}); };
    mouse_sub_range = 32;
    const int cx = (SCRN_W - 180) / 2 + 120, cy = (SCRN_H - 47 - MARGIN_Y - WAVEFORM_H) / 2 + WAVEFORM_H + 47;
    int x = 200, y = 220;

    mouse_speed(&x, &y, 1); // entering: the pointer goes to the view centre
    ASSERT_EQ(warps.size(), 1u);
    EXPECT_TRUE(warps.back() == std::make_pair(cx, cy) && x == 200);

    std::tie(mouse_ax_raw, mouse_ay_raw) = std::pair(cx + 40, cy - 10); // 40 raw pixels right, 10 up
    mouse_speed(&x, &y, 1);
    EXPECT_EQ(std::vector<int>({x, mouse_ax_sub, y, mouse_ay_sub, mouse_ax_raw}), std::vector<int>({201, 8, 219, 22, cx}));
    EXPECT_EQ(warps.back(), std::make_pair(cx, cy));

    mouse_ax_raw = cx - 10; // back past the pixel edge
    mouse_speed(&x, &y, 1);
    EXPECT_TRUE(x == 200 && mouse_ax_sub == 30);

    mouse_speed(&x, &y, 0); // leaving: whole pixels, the pointer where the cursor is
    EXPECT_TRUE(mouse_ax_sub == 0 && mouse_ay_sub == 0 && warps.back() == std::make_pair(200, 219));
    const size_t n = warps.size();
    mouse_speed(&x, &y, 0);
    EXPECT_EQ(warps.size(), n);

    // The label and note texts.
    char text_buf[64];
    for (auto [v, p, text] : {std::tuple{440.f, 3, "440 Hz \x97"}, {12345.f, 2, "12.35 kHz \x97"}, {27.5f, 0, "27.5 Hz \x97"}}) {
        sprintf_left_scale(text_buf, sizeof text_buf, v, p);
        EXPECT_STREQ(text_buf, text);
    }
    for (auto [mode, t, text] : {std::tuple{0, 65.0, "1'05\""}, {3, 3723.5, "1:02'03\"500"}, {1, 1.7, "1\"700"},
                                 {2, 59.9996, "59\"999"}, {4, 1.0, ""}}) { // ms never reach 1000
        sprintf_bottom_scale(text_buf, sizeof text_buf, mode, t);
        EXPECT_STREQ(text_buf, text) << mode;
    }
    sprintf_right_scale(text_buf, sizeof text_buf, 60.f);
    EXPECT_STREQ(text_buf, "\x97 C5");
    for (auto [append, note, text] : {std::tuple{1, 57.25f, "x (A4 +25)"}, {0, 57.f, "A4+00"}, {0, 57.125f, "A4+12.5"},
                                      {0, 59.5f, "C5-50"}}) { // C5 - 50 cents
        snprintf(text_buf, sizeof text_buf, "x");
        print_note(text_buf, sizeof text_buf, append, note);
        EXPECT_STREQ(text_buf, text);
    }
    char tiny[6] = "abcd";
    print_note(tiny, sizeof tiny, 1, 57.f); // appending never writes past the buffer
    EXPECT_EQ(strlen(tiny), 5u);
}

// ---------------------------------------------------------------------------------------------
// Waveform strip and progress
// ---------------------------------------------------------------------------------------------

// Requests from two threads while the worker runs: every one is served (the last view wins),
// slot 137 runs it once more, and stopping joins it; the progress drawn over its strip; the
// strips of two known documents in the band colours.
TEST_F(Scales, WaveformStripOfKnownDocumentsWorkerAndProgress)
{
    make(2000, 200, [](int r, int x) { return (float)((r + x) % 7); });
    std::atomic<int> go{0};
    std::thread other([&] {
        while (!go)
            wrsleep(0);
        for (int i = 0; i < 20; i++)
            waveform_start_hook(es.get());
    });
    key[K_WAVEFORM_AGAIN] = 1;
    go = 1;
    for (int i = 0; i < 20; i++) {
        key[K_WAVEFORM_PENDING] = (int8_t)std::min(i + 1, 100);
        waveform_start(es.get());
    }
    other.join();

    // Zoomed: the last request's view is the one the worker ends with.
    change_zoom(image.get(), 4.f, 1.f, 1000.f, 100.f);
    waveform_start(es.get());
    wait_worker();
    EXPECT_TRUE(key[K_WAVEFORM_AGAIN] == 0 && key[K_WAVEFORM_PENDING] == 0 && key[K_NEW_WAVEFORM] == 1);
    waveform_stop();
    EXPECT_EQ(waveform_strip_width(), SCRN_W - 180);

    // The strip shows the view of the last request.
    WaveformStrip last = waveform_gen(es.get(), waveform_view_now(es.get()), WAVEFORM_H);
    ASSERT_TRUE(last.px);
    for (int x = 0; x < last.w; x += 7)
        ASSERT_EQ(waveform_strip_pixel(x, 20), last.px[(size_t)20 * last.w + x]) << x;
    free(last.px);

    // A stopped worker starts again on the next request.
    key[K_NEW_WAVEFORM] = 0;
    EXPECT_EQ(waveform_start(es.get()), 1);
    wait_worker();
    EXPECT_EQ(key[K_NEW_WAVEFORM], 1);
    waveform_stop();

    // The progress over the strip shows a block being made and one to do in their colours, and
    // is drawn only when something changed or forced.
    make(400, 50, [](int, int) { return 1.f; }); // four blocks over 4 seconds: done, being made, to do, done
    key[K_WAVEFORM_PENDING] = 1;
    ASSERT_EQ(waveform_start(es.get()), 1); // the progress is drawn over the strip
    wait_worker();
    uint8_t states[4] = {2, 1, 0, 2};
    std::tie(es->block_state, es->block_count, es->block_span, es->sound_len) = std::tuple(states, 4, 44100.0, 176400);
    const std::vector<uint32_t> before = fb;
    const int vw = image->view_w;
    draw_progress(fb.data(), es.get(), &dirty, 0);
    EXPECT_TRUE(changed(before).empty());
    draw_progress(fb.data(), es.get(), &dirty, 1);
    const auto column = [&](int b) { return STRIP_X + (int)(vw * (400.0 * block_write_start(b, 44100.0) / 176400.0) / 399.0 + 0.5) + 2; };
    const auto colour = [](int k) { return rgb(palette_colour(k)[0], palette_colour(k)[1], palette_colour(k)[2]); };
    EXPECT_EQ(std::pair(at(column(1), STRIP_Y + 10), at(column(2), STRIP_Y + 10)), std::pair(colour(5), colour(4)));
    es->block_state = nullptr;

    // The strip of a known document: energy in the lowest 10 rows (the lowest of 32 bands) over
    // the first half of the columns, nothing in the second half.
    make(800, 320, [](int r, int x) { return r >= 310 && x < 400 ? 1.f : 0.f; });
    es->anal_params[6] = 1.f; // linear axis: every row weighs the same
    WaveformStrip s = waveform_gen(es.get(), waveform_view_now(es.get()), WAVEFORM_H);
    ASSERT_TRUE(s.px && s.w == 420 && s.h == WAVEFORM_H);
    int rw = 0, rh = 0;
    ScopedResources resources;
    uint8_t* rainbow = load_image_ph("gfx/rainbow.png", &rw, &rh, 0);
    ASSERT_TRUE(rainbow);
    const auto rb = [&](int i) { return rgb(rainbow[4 * i], rainbow[4 * i + 1], rainbow[4 * i + 2]); };
    const auto px = [&](int x, int y) { return s.px[(size_t)y * s.w + x]; };
    const int mid = WAVEFORM_H / 2;
    // Left: the lowest band's colour fills the whole height; right: the background.
    for (auto [x, y, colour] : {std::tuple{50, mid, 0}, {50, 1, 0}, {370, mid, rw - 1}, {370, 0, rw - 1}})
        EXPECT_EQ(px(x, y), rb(colour)) << x << "," << y;
    for (int y = 0; y < WAVEFORM_H; y++) // mirrored about the middle row
        ASSERT_EQ(px(100, y), px(100, 2 * mid - y < WAVEFORM_H ? 2 * mid - y : y));
    free(s.px);

    // Half the energy in the top band, half in the lowest: the top band outside, the lowest inside.
    make(800, 320, [](int r, int) { return r < 10 || r >= 310 ? 1.f : 0.f; });
    s = waveform_gen(es.get(), waveform_view_now(es.get()), WAVEFORM_H);
    EXPECT_TRUE(px(200, mid) == rb(0) && px(200, WAVEFORM_H - 2) == rb(rw - 2));
    free(s.px);
    free(rainbow);
}

} // namespace
