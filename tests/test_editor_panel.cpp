// The knob panel: value curves and their inverse, the circular and linear gestures, the three
// layouts at many window sizes, the buttons' actions, the knob effects on a document with their
// history lines, Default Values, and drawing that stays inside the controls.
#include "editor/panel.h"
#include "files/config.h"
#include "test_doc.h"

#include <cmath>
#include <iterator>
#include <tuple>

namespace {

std::pair<int, int> warp; // where the pointer was last put
void record_warp(int x, int y) { warp = {x, y}; }

struct Box {
    int x0, y0, x1, y1; // half-open
    bool contains(int x, int y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
};

// Where a label's ink can be: its anchored text extent with a few pixels to spare.
Box label_box(const TextLabel& l)
{
    if (!l.font || !l.str[0])
        return {0, 0, 0, 0};
    const int w = text_width(l.str, *l.font);
    int x = l.x;
    if (l.mode & TEXT_RIGHT)
        x -= w;
    else if (!(l.mode & TEXT_LEFT))
        x -= w / 2;
    return {x - 1, l.y, x + w + 1, l.y + l.font->glyph_h};
}

// A panel built from the resource pictures over a 1024 x 768 window, with an engine state and
// an empty document stack; the history goes to a temporary file.
struct Panel : EngineTest {
    std::vector<uint32_t> screen;
    ScopedResources resources;
    TempDir dir;
    std::optional<ScopedHistory> log;

    void SetUp() override
    {
        log.emplace(dir.file("history.kbz"));
        EngineTest::SetUp();
        ASSERT_EQ(palette_load(), 1);
        if (!futura12.glyph_count) {
            ASSERT_EQ(fonts_load(), 1);
        }
        control_text_init(&futura12, &futura24);
        panel_install_hooks();
        panel_warp_pointer = record_warp;
        warp = {-1, -1};
        resize(1024, 768);
        knobs_after_open(es.get()); // the synthesis range starts as the knobs show it
    }
    void TearDown() override
    {
        layer_steps_wait();
        control_text_free();
        document_hooks = {};
        input_file_name[0] = 0;
        doc_modified = 0;
        EngineTest::TearDown();
        log.reset();
    }

    void resize(int w, int h)
    {
        SCRN_W = w;
        SCRN_H = h;
        screen.assign((size_t)w * h, 0);
        image->screen = screen.data();
        after_res_change(ctrl, text, es.get());
    }
    // A one-layer w x h document, every pixel `v`.
    void document(int w, int h, float v)
    {
        ASSERT_EQ(image_from_plane(image.get(), plane_filled(w, h, v), w, h, "test"), 1);
        image->change_state = 0;
    }
    int cx(int i) { return ctrl[i].x + ctrl[i].cx; }
    int cy(int i) { return ctrl[i].y + ctrl[i].cy; }
    // A press, one drag frame at (x1, y1), the release.
    int click(int i, int dx = 0, int dy = 0)
    {
        const int taken = panel_press(es.get(), cx(i), cy(i));
        panel_drag(es.get(), cx(i) + dx, cy(i) + dy, 0);
        panel_release(es.get());
        return taken;
    }
    // Turns knob i by `radians` clockwise with the circular gesture (pressed right of its centre).
    void turn(int i, float radians, int precision = 0, bool release = true)
    {
        ASSERT_TRUE(panel_press(es.get(), cx(i) + 20, cy(i)) & PANEL_TAKEN);
        panel_drag(es.get(), (int)lroundf(cx(i) + 1000 * cosf(radians)), (int)lroundf(cy(i) + 1000 * sinf(radians)),
                   precision);
        panel_effects(es.get());
        if (release)
            panel_release(es.get());
    }
    std::vector<std::string> history() { return ScopedHistory::command_lines(); }
    std::string value_text(int i) { return ctrl[i].captions[KNOB_VALUE_LINE].str; }
    bool on_screen(int i) { return ctrl[i].x > HIDDEN_POS / 2; }
};

const float TOP = 1.5f * 3.1415927f;

// ---------------------------------------------------------------------------------------------
// [SECTION] Curves
// ---------------------------------------------------------------------------------------------

// The value curves: their ends, the frequency knob's scale labels, the printed values, the inverse.
TEST_F(Panel, CurvesHaveTheirEndsLabelsAndPrintedValuesAndInverses)
{
    struct Ends {
        int knob;
        double lo, hi;
    } ends[] = {{1, -30, 30},   {2, 0.02, 26000.02}, {4, 0.01, 2400.013}, {5, 16, 1 / 16.0},
                {6, -60, 60},   {7, 1, 2},           {8, 0, 180},         {9, 0, 1}};
    for (const Ends& e : ends) {
        EXPECT_NEAR(angle_to_value(e.knob, nullptr, 0.f), e.lo, 1e-3 * std::fabs(e.lo) + 1e-9) << e.knob;
        EXPECT_NEAR(angle_to_value(e.knob, nullptr, TOP), e.hi, 1e-3 * std::fabs(e.hi) + 1e-9) << e.knob;
    }
    // The frequency knob passes its scale labels.
    const double labels[7] = {0, 25, 125, 500, 1800, 7000, 26000};
    for (int k = 1; k < 7; k++)
        EXPECT_NEAR(angle_to_value(2, nullptr, TOP * k / 6), labels[k], 0.12 * labels[k]) << k;
    EXPECT_EQ(angle_to_value(0, nullptr, 1.f), 0.0);
    EXPECT_EQ(angle_to_value(10, nullptr, 1.f), 0.0);

    // The time-resolution floor keeps a sound of a very wide image within 2e9 samples.
    document(8, 4, 1.f);
    image->w = 100000;
    EXPECT_NEAR(angle_to_value(4, es.get(), 0.f), 100000.0 * 44100 / 2e9, 1e-9);
    image->w = 8;

    auto printed = [&](int i, float angle) {
        knob_set_angle(i, angle, nullptr);
        return value_text(i);
    };
    const float MID = 0.75f * PI;
    for (auto [knob, angle, text] : {std::tuple{9, TOP, "100.0%"}, {9, MID, "25.0%"}, {7, 0.f, "LINEAR"},
                                     {7, TOP, "LOG"}, {7, MID, "1.50"}, {5, MID, "1 : 1"}, {5, 0.f, "16.0 : 1"},
                                     {5, TOP, "1 : 16.0"}, {1, MID, "0.0"}, {1, TOP, "+30.0"}, {6, 0.f, "-60.0"},
                                     {8, 0.5f * PI, "20"}})
        EXPECT_EQ(printed(knob, angle), text) << knob << " at " << angle;
    knob_set_value(2, 27.5f);
    EXPECT_EQ(value_text(2), "27.5");
    EXPECT_EQ(printed(2, ctrl[2].angle), "27.5"); // the angle found gives 27.5 back
    knob_set_value(4, 5.f);
    EXPECT_EQ(value_text(4), "5.00");

    // The inverse curves give the angle back, and clamp at the ends.
    for (int i = 1; i <= 9; i++)
        for (int k = 1; k < 20; k++) {
            const float a = TOP * k / 20;
            const double v = angle_to_value(i, nullptr, a);
            const float back = value_to_angle(i, (float)v);
            EXPECT_NEAR(angle_to_value(i, nullptr, back), v, 2e-6 * std::fabs(v) + 1e-6) << i << " " << k;
        }
    // Below 0.02 Hz, above the top; the gamma knob falls (16 at the left end); no knob; NaN.
    for (auto [knob, value, angle] : {std::tuple{2, 0.01f, 0.f}, {3, 30000.f, TOP}, {5, 32.f, 0.f},
                                      {5, 0.01f, TOP}, {0, 5.f, 0.f}, {2, NAN, 0.f}})
        EXPECT_EQ(value_to_angle(knob, value), angle) << knob << " " << value;
    EXPECT_NEAR(angle_to_value(5, nullptr, value_to_angle(5, 2.f)), 2.0, 1e-5);

    // The tool knobs start from the configuration's values and report them back.
    std::tie(tool_width, tool_intensity) = std::pair(45.f, 0.5f);
    control_text_init(&futura12, &futura24);
    EXPECT_TRUE(std::fabs(ctrl[8].value - 45.f) < 1e-3f && std::fabs(ctrl[9].value - 0.5f) < 1e-5f);
    float w = 0, s = 0;
    EXPECT_TRUE(config_tool_knobs && config_tool_knobs(&w, &s) && w == ctrl[8].value);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Gestures
// ---------------------------------------------------------------------------------------------

// The circular gesture turns one radian per radian within the range; the linear one follows
// vertical motion and wraps at the window's edge; in lossless mode the locked controls need F.
TEST_F(Panel, CircularAndLinearGesturesAndLockedControls)
{
    const int k = C_VOLUME;
    ASSERT_TRUE(on_screen(k));
    ASSERT_EQ(panel_press(es.get(), cx(k) + 20, cy(k)), PANEL_TAKEN);
    EXPECT_EQ(panel_grabbed(), k);
    panel_drag(es.get(), cx(k), cy(k) + 30, 0); // a quarter turn clockwise
    EXPECT_NEAR(ctrl[k].angle, 1.25f * PI, 1e-5f);
    EXPECT_TRUE(std::fabs(ctrl[k].value - 20.f) < 1e-4f && ctrl[k].changed == 1);
    panel_effects(es.get());
    EXPECT_NEAR(es->volume, 10.f, 1e-4f); // +20 dB
    panel_drag(es.get(), cx(k) - 30, cy(k), 0);  // would pass the end
    EXPECT_FLOAT_EQ(ctrl[k].angle, TOP);
    panel_drag(es.get(), cx(k), cy(k) - 30, 0);  // further clockwise: stays
    EXPECT_FLOAT_EQ(ctrl[k].angle, TOP);
    panel_drag(es.get(), cx(k) - 30, cy(k), 0);  // one step back moves at once
    EXPECT_NEAR(ctrl[k].angle, TOP - PI / 2, 1e-5f);
    panel_drag(es.get(), cx(k) - 5, cy(k), 0);   // inside the dead radius: ignored
    EXPECT_NEAR(ctrl[k].angle, TOP - PI / 2, 1e-5f);
    // Across the left (where atan2 jumps from pi to -pi) the motion is small and clockwise.
    panel_drag(es.get(), cx(k) - 30, cy(k) + 1, 0);
    const float before = ctrl[k].angle;
    panel_drag(es.get(), cx(k) - 30, cy(k) - 1, 0);
    EXPECT_NEAR(ctrl[k].angle - before, 2 * atanf(1.f / 30), 1e-4f);
    panel_release(es.get());
    EXPECT_TRUE(ctrl[k].changed == 0 && panel_grabbed() == -1);

    // Precision divides by 100; a step is at most 2 radians.
    knob_set_angle(k, 0.75f * PI, nullptr);
    turn(k, PI / 2, 1);
    EXPECT_NEAR(ctrl[k].angle, 0.75f * PI + PI / 200, 1e-5f);
    knob_set_angle(k, 0.f, nullptr);
    turn(k, 2.5f);
    EXPECT_NEAR(ctrl[k].angle, 2.f, 1e-5f);

    // The linear gesture follows vertical motion and wraps at the window's edge.
    key[state_of(K_LINEAR_KNOB)] = 1;
    const int w = C_SPRAY_WIDTH;
    const float start = ctrl[w].angle;
    ASSERT_TRUE(panel_press(es.get(), cx(w) + 20, cy(w)) & PANEL_TAKEN);
    panel_drag(es.get(), cx(w) + 20, cy(w) - 50, 0); // 50 px up
    EXPECT_NEAR(ctrl[w].angle, start + 0.8f, 1e-4f);
    panel_drag(es.get(), cx(w) + 20, cy(w) - 50, 1); // no motion, no change
    EXPECT_NEAR(ctrl[w].angle, start + 0.8f, 1e-4f);
    panel_drag(es.get(), cx(w) + 20, cy(w) - 75, 1); // 25 px with precision
    EXPECT_NEAR(ctrl[w].angle, start + 0.804f, 1e-4f);
    panel_drag(es.get(), cx(w) + 20, 0, 1); // at the top edge the pointer comes back to the middle
    EXPECT_EQ(warp, std::pair(cx(w) + 20, SCRN_H / 2));
    EXPECT_EQ(mouse_ay, SCRN_H / 2);
    const float at_edge = ctrl[w].angle;
    panel_drag(es.get(), cx(w) + 20, SCRN_H / 2 - 10, 0); // the drag goes on from the middle
    EXPECT_NEAR(ctrl[w].angle, std::min(at_edge + 0.16f, TOP), 1e-4f);
    panel_release(es.get());

    // In lossless mode the locked controls need F.
    lossless_mode = 1; // the normal layout is still in force (slot 35 clear)
    EXPECT_EQ(panel_press(es.get(), cx(C_MIN_FREQ), cy(C_MIN_FREQ)), 0);
    EXPECT_EQ(panel_press(es.get(), cx(C_FLIP), cy(C_FLIP)), 0);
    key[K_UNLOCK] = 1;
    EXPECT_EQ(panel_press(es.get(), cx(C_MIN_FREQ), cy(C_MIN_FREQ)), PANEL_TAKEN | PANEL_FULL_REDRAW);
    EXPECT_EQ(panel_release(es.get()), PANEL_FULL_REDRAW);
    EXPECT_EQ(panel_press(es.get(), 5000, 5000), 0);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Layouts
// ---------------------------------------------------------------------------------------------

// Walks window sizes from the smallest the program allows up, in the normal and the lossless
// layout, with one layer and with several: every control the layout offers is on screen, inside
// the window and off the view, and no sprite, caption, printed value, Open / Save / Quit line
// the status line or the document name overlaps a part of another control or line.
TEST_F(Panel, EveryControlIsShownReadableAndApartAtEveryWindowSize)
{
    snprintf(input_file_name, PATH_TEXT_LEN, "%s", "a long name of a field recording from the harbour.wav");
    doc_modified = 1;
    std::vector<int> widths, heights = {MIN_SCRN_H, 480, 540, 600, 660, 700, 768, 780, 800, 900, 1080};
    for (int w = MIN_SCRN_W; w <= 1936; w += 16)
        widths.push_back(w);
    for (int w : {MIN_SCRN_W + 1, 879, 1023, 1119, 1399, 1401, 1455})
        widths.push_back(w);
    int failures = 0;
    for (int lossless : {0, 1})
        for (int layers : {0, 1})
            for (int w : widths)
                for (int h : heights) {
                    if (failures > 12)
                        return; // enough to see what is wrong
                    key[K_LOSSLESS_LAYOUT] = (int8_t)lossless;
                    key[K_MULTI_LAYER] = (int8_t)layers;
                    resize(w, h);
                    panel_draw_controls(es.get(), screen.data(), 1);
                    panel_draw_text_lines(screen.data(), 1);
                    auto fail = [&](int owner, const std::string& what) {
                        ADD_FAILURE() << w << "x" << h << " lossless " << lossless << " layers " << layers << ": "
                                      << owner << " " << what;
                        failures++;
                    };
                    // Every piece that must be readable, with its owner: a control, or 100 + a line.
                    std::vector<std::pair<int, Box>> parts;
                    for (int i = 1; i < CONTROL_COUNT; i++) {
                        const bool offered = !(i >= C_ROT_FIRST && i <= C_ROT_LAST) &&
                                             !(i == C_LAYER_INTENSITY && !layers) &&
                                             !(lossless && (i == C_MIN_FREQ || i == C_MAX_FREQ || i == C_TIME_RES ||
                                                            i == C_FREQ_SCALE));
                        const Control& c = ctrl[i];
                        if (!offered || !on_screen(i)) {
                            if (offered)
                                fail(i, "is hidden");
                            continue;
                        }
                        parts.push_back({i, Box{c.x, c.y, c.x + c.w, c.y + c.h}});
                        if (c.x < 120 + image->view_w && 120 < c.x + c.w && c.y < image->view_y + image->view_h &&
                            image->view_y < c.y + c.h)
                            fail(i, "covers the view");
                        for (int k = 0; k < c.caption_count; k++)
                            if (!(i == C_LOSSLESS && k == 2)) // the OFF / ON caption shares its place
                                parts.push_back({i, label_box(c.captions[k])});
                    }
                    // Open, Save and Quit name their buttons; the document name stands alone.
                    snprintf(text[3].str, sizeof text[3].str, "%s", "Brindlewharf 1.9.5 - ready");
                    for (auto [line, owner] :
                         {std::pair{0, (int)C_OPEN}, {1, (int)C_SAVE}, {2, (int)C_QUIT}, {3, 103}, {4, 104}})
                        parts.push_back({owner, label_box(text[line])});
                    if (strlen(text[4].str) <= 8u)
                        fail(104, "cuts the document name to nothing");
                    for (size_t p = 0; p < parts.size(); p++) {
                        const Box& a = parts[p].second;
                        if (a.x1 <= a.x0)
                            continue;
                        if (a.x0 + 1 < 0 || a.y0 < 0 || a.x1 - 1 > w || a.y1 > h)
                            fail(parts[p].first, "leaves the window");
                        for (size_t q = p + 1; q < parts.size(); q++) {
                            const Box& b = parts[q].second;
                            if (parts[q].first != parts[p].first && b.x1 > b.x0 && a.x0 < b.x1 && b.x0 < a.x1 &&
                                a.y0 < b.y1 && b.y0 < a.y1)
                                fail(parts[p].first, "overlaps " + std::to_string(parts[q].first));
                        }
                    }
                }
}


// ---------------------------------------------------------------------------------------------
// [SECTION] Buttons
// ---------------------------------------------------------------------------------------------

// Buttons act only when released over them; tool buttons show the tool; Play follows the pause
// state; Lossless needs an original sound of the document's size.
TEST_F(Panel, ButtonsActOnlyWhenReleasedOverThem)
{
    EXPECT_EQ(click(C_OPEN), PANEL_TAKEN);
    EXPECT_TRUE(key[K_OPEN] == 1 && ctrl[C_OPEN].frame == 0);
    click(C_SAVE, 200, 0); // dragged away before the release
    EXPECT_EQ(key[K_SAVE], 0);
    for (int c : {C_FLIP, C_MASK_INVERT, C_VISION, C_INVERT})
        click(c);
    EXPECT_EQ(key[K_HFLIP] + key[K_MASK_INVERT] + key[K_VISION_MODE] + key[K_INVERT], 4);
    EXPECT_EQ(ctrl[C_INVERT].value, 0.f); // lit by the Invert command itself
    document_hooks.invert_control(es.get());
    EXPECT_EQ(ctrl[C_INVERT].frame, 1);

    // Tools: a toggle shows its inverted state while pressed.
    ASSERT_TRUE(panel_press(es.get(), cx(C_TOOL_MOVE), cy(C_TOOL_MOVE)));
    panel_drag(es.get(), cx(C_TOOL_MOVE), cy(C_TOOL_MOVE), 0);
    EXPECT_EQ(ctrl[C_TOOL_MOVE].frame, 1);
    panel_release(es.get());
    EXPECT_TRUE(mouse_function == TOOL_MOVE && ctrl[C_TOOL_MOVE].frame == 1 && ctrl[C_TOOL_CURSOR].frame == 0);
    mouse_function = TOOL_CONV_CENTRE; // no button for this one
    harmonics = 1;
    panel_sync(es.get());
    for (int i = C_TOOL_CURSOR; i <= C_TOOL_RECT; i++)
        EXPECT_EQ(ctrl[i].frame, 0) << i;
    EXPECT_EQ(ctrl[C_HARMONICS].frame, 1);

    // Play flips the pause state; the caption follows.
    click(C_PLAY);
    EXPECT_TRUE(es->paused == 0 && ctrl[C_PLAY].frame == 2);
    panel_draw_controls(es.get(), screen.data(), 1);
    EXPECT_STREQ(ctrl[C_PLAY].captions[0].str, "Pause");
    es->paused = 1; // playback ended by itself
    panel_sync(es.get());
    EXPECT_EQ(ctrl[C_PLAY].frame, 0);

    // Lossless needs an original sound.
    write_file(dir.file("script.txt"), "ok\nok\n");
    ScopedEnv script{"BRINDLEWHARF_DIALOG_SCRIPT", dir.file("script.txt").c_str()};
    ScopedEnv log{"BRINDLEWHARF_DIALOG_LOG", dir.file("log.txt").c_str()};
    click(C_LOSSLESS);
    EXPECT_TRUE(lossless_mode == 0 && key[K_RELAYOUT] == 1);
    EXPECT_NE(read_file(dir.file("log.txt")).find("alert: Lossless mode not turned on: Error: Lossless mode "
                                                  "requires a sound file to be loaded first"),
              std::string::npos);

    // With a sound: on, Default Values and live synthesis off requested, synthesis rebuilt.
    orig_snd = static_cast<float*>(calloc(100, sizeof(float))); // freed with the engine state
    orig_len = 100;
    key[K_RELAYOUT] = 0;
    key[state_of(K_LIVE_SYNTH)] = 1;
    click(C_LOSSLESS);
    // lossless, defaults, live synthesis off requested, relayout, change state
    EXPECT_EQ(std::vector<int>({lossless_mode, key[K_DEFAULTS], key[K_LIVE_SYNTH], key[K_RELAYOUT], image->change_state}),
              std::vector<int>({1, 1, 1, 1, 3}));
    panel_draw_controls(es.get(), screen.data(), 1);
    EXPECT_STREQ(ctrl[C_LOSSLESS].captions[2].str, "ON");

    // A document of another size than the analysed one switches it off with the second alert.
    document(6, 4, 1.f);
    std::tie(image->orig_w, image->orig_h) = std::pair(5, 4);
    EXPECT_TRUE(lossless_size_check(es.get()) == 1 && lossless_mode == 0);
    EXPECT_NE(read_file(dir.file("log.txt")).find("alert: Lossless mode error: different image sizes"),
              std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Knob effects, history and Default Values
// ---------------------------------------------------------------------------------------------

TEST_F(Panel, GammaAndIntensityKnobsEditTheLayerAndWriteTheirLines)
{
    document(4, 3, 0.5f);
    knobs_after_open(es.get());
    EXPECT_EQ(knob_group_commit(es.get()), 0);
    EXPECT_TRUE(history().empty());

    // Gamma: a quarter turn from 1 : 1 gives 1 : 4 (0.25).
    turn(C_GAMMA, PI / 2, 0, false);
    EXPECT_EQ(knob_group_commit(es.get()), 0); // nothing while the knob is held
    panel_release(es.get());
    EXPECT_NEAR(image->layers[0].plane[1][2], powf(0.5f, 0.25f), 1e-6f);
    EXPECT_FLOAT_EQ(ctrl[C_GAMMA].value, 0.25f);
    EXPECT_FLOAT_EQ(image->layers[0].gamma, 0.25f);
    EXPECT_EQ(image->change_state, 1);
    knob_group_commit(es.get());
    EXPECT_EQ(history(), (std::vector<std::string>{"Gamma 0.25", ""}));

    // The analysis group: logged, then synthesis and the next analysis take the values.
    image->change_state = 0;
    knob_set_value(C_MIN_FREQ, 50.f);
    knob_set_value(C_TIME_RES, 200.f);
    EXPECT_EQ(knob_group_commit(es.get()), 1);
    EXPECT_TRUE(image->change_state == 3 && es->synth_range[0] == 50.f && es->anal_params[2] == 200.f);
    EXPECT_EQ(knob_group_commit(es.get()), 0);
    EXPECT_EQ(history(), (std::vector<std::string>{"Gamma 0.25", "", "Frequency range 50 Hz - 20000 Hz",
                                                   "Time resolution 200 px/s", ""}));

    // Default Values undo the gamma (a line of its own) and bring the analysis knobs back.
    default_values(es.get());
    EXPECT_EQ(std::vector<float>({ctrl[C_GAMMA].value, ctrl[C_MIN_FREQ].value, ctrl[C_TIME_RES].value,
                                  ctrl[C_FREQ_SCALE].value, image->layers[0].gamma}),
              std::vector<float>({1.f, MIN_FREQ, ANAL_PPS, 2.f, 1.f}));
    EXPECT_NEAR(image->layers[0].plane[1][2], 0.5f, 1e-6f);
    knob_group_commit(es.get());
    std::vector<std::string> h = history();
    ASSERT_EQ(h.size(), 9u);
    EXPECT_EQ(h[5], "Gamma 1");
    EXPECT_EQ(h[6], "Frequency range 27.5 Hz - 20000 Hz");

    // Layer intensity, with a second layer: +40 dB multiplies the layer by 100 and the knob
    // returns to 0 dB.
    key[K_MULTI_LAYER] = 1;
    after_res_change(ctrl, text, es.get());
    ASSERT_TRUE(on_screen(C_LAYER_INTENSITY));
    turn(C_LAYER_INTENSITY, PI / 2);
    EXPECT_NEAR(image->layers[0].plane[0][0], 50.f, 1e-3f);
    EXPECT_EQ(value_text(C_LAYER_INTENSITY), "0.0");
    EXPECT_FLOAT_EQ(ctrl[C_LAYER_INTENSITY].angle, 0.75f * PI);
    h = history();
    EXPECT_EQ(std::vector<std::string>(h.begin() + 9, h.end()), (std::vector<std::string>{"Multiply layer by 100", ""}));

    // The knobs follow the document; the layer count crossing 1 and 2 asks for a relayout.
    image->layers[0].gamma = 2.f;
    document_hooks.knob_refresh(es.get());
    EXPECT_TRUE(ctrl[C_GAMMA].value == 2.f && value_text(C_GAMMA) == "2.0 : 1");
    es->anal_params[0] = 100.f;
    es->anal_params[6] = 1.f;
    knobs_follow(es.get());
    EXPECT_TRUE(ctrl[C_MIN_FREQ].value == 100.f && value_text(C_FREQ_SCALE) == "LINEAR" && ctrl[C_FREQ_SCALE].frame == 0);
    document_hooks.knob_layout(es.get());
    EXPECT_EQ(key[K_RELAYOUT], 1);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Drawing
// ---------------------------------------------------------------------------------------------

TEST_F(Panel, DrawingStaysInsideTheControlsAndRedrawsOnlyWhatChanged)
{
    key[K_MULTI_LAYER] = 1;
    resize(1024, 768);
    const uint32_t fill = 0x01020304u;
    auto reset = [&]() { std::fill(screen.begin(), screen.end(), fill); };
    auto boxes_of = [&](int i) {
        const Control& c = ctrl[i];
        std::vector<Box> b{{c.x, c.y, c.x + c.w, c.y + c.h}};
        std::transform(c.captions, c.captions + c.caption_count, std::back_inserter(b), label_box);
        return b;
    };
    auto outside = [&](const std::vector<Box>& allowed) { // drawn pixels outside every allowed box
        int n = 0;
        for (int y = 0; y < SCRN_H; y++)
            for (int x = 0; x < SCRN_W; x++)
                n += screen[(size_t)y * SCRN_W + x] != fill &&
                     std::none_of(allowed.begin(), allowed.end(), [&](const Box& b) { return b.contains(x, y); });
        return n;
    };

    reset();
    EXPECT_EQ(panel_draw_controls(es.get(), screen.data(), 1), 1);
    std::vector<Box> all;
    for (int i = 1; i < CONTROL_COUNT; i++)
        for (const Box& b : boxes_of(i))
            all.push_back(b);
    EXPECT_EQ(outside(all), 0);
    EXPECT_NE(screen[(size_t)cy(C_GAMMA) * SCRN_W + cx(C_GAMMA) + 30], fill); // the knob is there

    // A turned knob is drawn again, and only it.
    knob_set_angle(C_VOLUME, 0.2f, nullptr);
    reset();
    EXPECT_EQ(panel_draw_controls(es.get(), screen.data(), 0), 1);
    EXPECT_EQ(outside(boxes_of(C_VOLUME)), 0);
}

} // namespace
