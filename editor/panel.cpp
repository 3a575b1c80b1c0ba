// The knob panel: the Controls table, the knob curves and gestures, the layouts, the buttons'
// actions, the knob effects on the document and synthesis, and drawing the panel.
#include "editor/panel.h"

#include "core/state.h"
#include "display/view.h"
#include "display/window.h"
#include "document/command_log.h"
#include "document/hooks.h"
#include "document/image.h"
#include "document/layers.h"
#include "document/undo.h"
#include "files/config.h"
#include "files/picture.h"
#include "history/replay.h"
#include "platform/desktop.h"
#include "platform/util.h"
#include "sound/synthesis.h"

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

Control* ctrl = nullptr;
TextLabel* text = nullptr;

// ---------------------------------------------------------------------------------------------
// [SECTION] Panel state
// ---------------------------------------------------------------------------------------------

namespace {

// What the panel keeps between frames besides the Controls.
struct PanelState {
    int grabbed = -1;         // control grabbed by the current press, -1 when none
    float grab = 0.f;         // reference angle of the current knob drag
    int layer_drag = 0;       // C_GAMMA or C_LAYER_INTENSITY while its preview runs on the layer
    float preview_value = 0.f;// knob value of the last preview step started
    int preview_started = 0;  // a preview step was started during this drag
    int gamma_pending = 0;    // a released gamma change waits for the knob group's history line
    float gamma_logged = 1.f; // the gamma to write
};

PanelState ps;
RedrawThread layer_redraw;    // constant redraw while a layer preview runs
Sprite knob_strip;            // the 193 knob frames, shared by the nine knobs

const char* const STATUS_KNOB =
    "Move the mouse in circles around the knob. Hold the right mouse button for more precision.";
const char* const LOSSLESS_TITLE = "Lossless mode not turned on";
const char* const LOSSLESS_TEXT = "Error: Lossless mode requires a sound file to be loaded first\nSee the paragraph "
                                  "'Limitations' in Section II. Lossless mode of the manual";
const char* const SIZE_TITLE = "Lossless mode error: different image sizes";
const char* const SIZE_TEXT = "Error: Lossless mode is meant to work with an image of the same dimensions as the "
                              "original sound's image\nSee the Section II. Lossless mode of the manual for an "
                              "explanation of the proper use of the lossless mode";

float knob_max() { return 1.5f * PI; } // a knob's largest angle

// Tool of each tool button 15 .. 21.
constexpr int BUTTON_TOOL[7] = {TOOL_CURSOR, TOOL_MOVE, TOOL_DARK_SPRAY, TOOL_WHITE_SPRAY, TOOL_BRIGHTEN_SPRAY,
                                TOOL_SMART_ERASE, TOOL_RECTANGLE};

bool is_knob(int i) { return i >= C_VOLUME && i <= C_TOOL_INTENSITY; }

// Raises a document's change state to at least `level` (it is only ever lowered by its consumer).
void raise_change_state(ImageStack* im, int level)
{
    if (im && im->change_state.load() < level)
        im->change_state = level;
}

// The selected layer of a document, when it has pixels.
Layer* selected_layer(ImageStack* im)
{
    if (!im || !im->composite || !im->layers || im->sel < 0 || im->sel >= im->count)
        return nullptr;
    Layer* l = &im->layers[im->sel];
    return l->plane ? l : nullptr;
}

// Exponent that takes a layer from the gamma already applied to it to gamma g. A layer whose
// recorded gamma is not a positive number (a hand-edited project) is taken as it stands.
float gamma_exponent(float g, const Layer* l)
{
    return l->gamma > 0.f && std::isfinite(l->gamma) ? g / l->gamma : g;
}

void warp_default(int x, int y)
{
    if (!SDL_WasInit(SDL_INIT_VIDEO) || !SDL_GetVideoSurface())
        return;
    x = std::clamp(x, 0, std::max(SCRN_W - 1, 0));
    SDL_WarpMouse((Uint16)(x * fb_scale), (Uint16)std::max(y * fb_scale + MENU_STRIP_H, 0.f));
}

} // namespace

void (*panel_warp_pointer)(int x, int y) = warp_default;

// ---------------------------------------------------------------------------------------------
// [SECTION] Knob values
// ---------------------------------------------------------------------------------------------

double angle_to_value(int index, const EngineState* es, float angle)
{
    // t is worked out in single precision so that the quarter angles (0.75 pi of 1.5 pi) give
    // exactly 0.5 and the printed values "0.0" and "1 : 1" come out exactly.
    const double t = (double)(angle / knob_max());
    switch (index) {
    case C_VOLUME:
        return 60.0 * t - 30.0;
    case C_MIN_FREQ:
    case C_MAX_FREQ:
        // 0.02 Hz at the left end, 26000.02 Hz at the right end.
        return (pow((1.0 - 0.922924) * t + 0.922924, 100.0) - 0.0003285443221058803) * 26008.544959772767 + 0.02;
    case C_TIME_RES: {
        const double u = 6.0 * t;
        double v = (pow(2.0, 0.12 * u * u * u - 1.32 * u * u + 5.84 * u - 2.2) - 0.217637640824031) *
                       0.9923703655344638 +
                   0.01;
        // A synthesised sound holds at most 2e9 samples.
        if (es && es->image)
            v = std::max(v, (double)es->image->w * SOUND_SAMPLERATE / 2e9);
        return v;
    }
    case C_GAMMA: {
        double u = 6.0 * t;
        if (u < 1.0)
            u = u - (u - 1.0) * (u - 1.0);
        if (u > 5.0)
            u = u + (u - 5.0) * (u - 5.0);
        return 1.0 / pow(2.0, u - 3.0);
    }
    case C_LAYER_INTENSITY:
        return 120.0 * t - 60.0;
    case C_FREQ_SCALE:
        return t + 1.0;
    case C_SPRAY_WIDTH:
        return 180.0 * t * t;
    case C_TOOL_INTENSITY:
        return t * t >= 0.9999999 ? 1.0 : t * t;
    default:
        return 0.0;
    }
}

float value_to_angle(int index, float value)
{
    if (!is_knob(index) || !std::isfinite(value))
        return 0.f;
    const float top = knob_max();
    double v0 = angle_to_value(index, nullptr, 0.f), v1 = angle_to_value(index, nullptr, top);
    double target = value;
    const bool reciprocal = v0 > v1; // the gamma knob falls from 16 to 1/16
    if (reciprocal) {
        v0 = 1.0 / v0;
        v1 = 1.0 / v1;
        target = 1.0 / target;
    }
    if (target <= v0)
        return 0.f;
    if (target >= v1)
        return top;
    float low = 0.f, high = top, mid = 0.f;
    double previous = NAN;
    for (int step = 0; step < 200; step++) {
        mid = low + (high - low) / 2.f;
        double v = angle_to_value(index, nullptr, mid);
        if (reciprocal)
            v = 1.0 / v;
        if (v == target)
            return mid;
        if (v < target)
            low = mid;
        else
            high = mid;
        if (v == previous)
            break; // the angle can get no finer
        previous = v;
    }
    return mid;
}

int knob_frame(float angle)
{
    const int f = (int)std::floor((float)KNOB_FRAMES * angle / knob_max());
    return std::clamp(f, 0, KNOB_FRAMES - 1);
}

void knob_value_print(int index, Control* c)
{
    if (!is_knob(index) || !c || c->caption_count <= KNOB_VALUE_LINE)
        return;
    char* out = c->captions[KNOB_VALUE_LINE].str;
    const size_t n = TEXT_LEN;
    const double v = c->value;
    switch (index) {
    case C_VOLUME:
    case C_LAYER_INTENSITY:
        if (std::fabs(v) < 0.001)
            snprintf(out, n, "0.0");
        else
            snprintf(out, n, "%s%.1f", v > 0 ? "+" : "", v);
        break;
    case C_MIN_FREQ:
    case C_MAX_FREQ:
        snprintf(out, n, v < 100 ? "%.1f" : "%.0f", v);
        break;
    case C_TIME_RES:
        snprintf(out, n, v < 10 ? "%.2f" : v < 100 ? "%.1f" : "%.0f", v);
        break;
    case C_GAMMA:
        if (v < 1)
            snprintf(out, n, "1 : %.1f", 1.0 / v);
        else if (v == 1)
            snprintf(out, n, "1 : 1");
        else
            snprintf(out, n, "%.1f : 1", v);
        break;
    case C_FREQ_SCALE:
        if (v == 1)
            snprintf(out, n, "LINEAR");
        else if (v == 2)
            snprintf(out, n, "LOG");
        else
            snprintf(out, n, "%.2f", v);
        break;
    case C_SPRAY_WIDTH:
        snprintf(out, n, v < 10 ? "%.1f" : "%.0f", v);
        break;
    case C_TOOL_INTENSITY:
        snprintf(out, n, "%.1f%%", 100.0 * v);
        break;
    default:
        break;
    }
}

void knob_set_angle(int index, float angle, const EngineState* es)
{
    if (!ctrl || !is_knob(index))
        return;
    Control& c = ctrl[index];
    c.angle = std::clamp(angle, 0.f, knob_max());
    c.value = (float)angle_to_value(index, es, c.angle);
    knob_value_print(index, &c);
    c.frame = knob_frame(c.angle);
}

void knob_set_value(int index, float value)
{
    if (!ctrl || !is_knob(index))
        return;
    Control& c = ctrl[index];
    c.value = value;
    c.angle = value_to_angle(index, value);
    knob_value_print(index, &c);
    c.frame = knob_frame(c.angle);
}

void refresh_knobs(Control* controls, int* full_redraw)
{
    if (!controls)
        return;
    for (int i = C_MIN_FREQ; i <= C_TOOL_INTENSITY; i++) {
        Control& c = controls[i];
        c.angle = value_to_angle(i, c.value);
        knob_value_print(i, &c);
        c.frame = knob_frame(c.angle);
    }
    if (full_redraw)
        *full_redraw = 1;
}

void knobs_follow(EngineState* es)
{
    if (!ctrl || !es)
        return;
    ctrl[C_MIN_FREQ].value = es->anal_params[0];
    ctrl[C_MAX_FREQ].value = es->anal_params[1];
    ctrl[C_TIME_RES].value = es->anal_params[2];
    ctrl[C_FREQ_SCALE].value = es->anal_params[6];
    refresh_knobs(ctrl, nullptr);
}

void gamma_knob_follow(EngineState* es)
{
    ImageStack* im = es ? es->image : nullptr;
    if (!ctrl || !im || !im->layers || im->sel < 0 || im->sel >= im->count)
        return;
    knob_set_value(C_GAMMA, im->layers[im->sel].gamma);
}

void knobs_after_open(EngineState* es)
{
    if (!ctrl || !es)
        return;
    gamma_knob_follow(es);
    const float range[4] = {ctrl[C_MIN_FREQ].value, ctrl[C_MAX_FREQ].value, ctrl[C_TIME_RES].value,
                            ctrl[C_FREQ_SCALE].value};
    memcpy(es->synth_range, range, sizeof range);
    es->anal_params[0] = range[0];
    es->anal_params[1] = range[1];
    es->anal_params[2] = range[2];
    es->anal_params[6] = range[3];
    refresh_knobs(ctrl, nullptr);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Building
// ---------------------------------------------------------------------------------------------

namespace {

// Sizes of the sprites (used when a picture could not be decoded, so the layout still works).
constexpr int KNOB_SIDE = 100;
constexpr int SMALL_SIDE = 36;
constexpr int MED_W = 54, MED_H = 56;
constexpr int BIG_W = 108, BIG_H = 112;
constexpr int CORNER_SIDE = 12;

// Caption anchors.
constexpr int ANCHOR_CENTRE = TEXT_ERASE;            // 4
constexpr int ANCHOR_LEFT = TEXT_LEFT | TEXT_ERASE;  // 6
constexpr int ANCHOR_RIGHT = TEXT_RIGHT | TEXT_ERASE;// 20

void label_init(TextLabel* l, const BitmapFont* font, const char* s, int mode)
{
    l->font = font;
    snprintf(l->str, sizeof l->str, "%s", s ? s : "");
    l->old_str[0] = 0;
    l->mode = mode;
    l->x = l->y = HIDDEN_POS;
    l->old_x = l->old_y = HIDDEN_POS;
}

TextLabel* labels_new(int n) { return static_cast<TextLabel*>(wrcalloc((size_t)n, sizeof(TextLabel))); }

// A two-frame button sprite from a base and an optional square grey icon.
Sprite button_sprite(const Sprite& base, const char* icon_path)
{
    uint8_t* icon = nullptr;
    int iw = 0, ih = 0;
    if (icon_path) {
        icon = load_image_ph(icon_path, &iw, &ih, 1);
        if (icon && iw != ih) {
            wrfprintf(stderr, "Icon %s is not square; the button is drawn without it\n", icon_path);
            free_null(&icon);
        }
    }
    Sprite out;
    make_button_sprite(&out, icon, iw, base);
    return out;
}

// The Play button's sprite: frames 0 and 1 the Play look (normal, pressed), 2 and 3 the Pause look.
Sprite play_sprite(const Sprite& base)
{
    Sprite play = button_sprite(base, "gfx/play.png");
    Sprite pause = button_sprite(base, "gfx/pause.png");
    Sprite out = play;
    if (play.px && pause.px) {
        const size_t two = (size_t)2 * play.w * play.h;
        out.px = static_cast<uint32_t*>(wrmalloc(2 * two * sizeof(uint32_t)));
        memcpy(out.px, play.px, two * sizeof(uint32_t));
        memcpy(out.px + two, pause.px, two * sizeof(uint32_t));
        out.frames = 4;
        sprite_free(&play);
    }
    sprite_free(&pause);
    return out;
}

// A button control: its sprite (owned), size, hit radius and centre.
void button_init(Control* c, int kind, Sprite s, int w, int h, int radius, int cx, int cy)
{
    c->kind = kind;
    c->sprite = s;
    c->owns_sprite = 1;
    c->w = s.px ? s.w : w;
    c->h = s.px ? s.h : h;
    c->frames = s.px ? s.frames : 1;
    c->hit_radius = radius;
    c->cx = cx;
    c->cy = cy;
}

void small_button(Control* c, const Sprite& base, const char* icon_path, int kind)
{
    button_init(c, kind, button_sprite(base, icon_path), SMALL_SIDE, SMALL_SIDE, 16, 18, 18);
}

// Captions of a small button, all centred in the small font.
void button_captions(Control* c, const BitmapFont* font, std::initializer_list<const char*> lines)
{
    c->caption_count = (int)lines.size();
    c->captions = labels_new(c->caption_count);
    int k = 0;
    for (const char* s : lines)
        label_init(&c->captions[k++], font, s, ANCHOR_CENTRE);
}

bool tool_knobs(float* width, float* intensity)
{
    if (!ctrl)
        return false;
    *width = ctrl[C_SPRAY_WIDTH].value;
    *intensity = ctrl[C_TOOL_INTENSITY].value;
    return true;
}

} // namespace

void knob_init(Control* c, int index, const BitmapFont* font, const char* const labels[7], const char* caption1,
               const char* caption2, const char* caption3)
{
    static const int SCALE_MODES[7] = {ANCHOR_RIGHT, ANCHOR_RIGHT, ANCHOR_RIGHT, ANCHOR_CENTRE,
                                       ANCHOR_LEFT,  ANCHOR_LEFT,  ANCHOR_LEFT};
    c->kind = CTRL_KNOB;
    c->sprite = knob_strip;
    c->owns_sprite = 0;
    c->w = knob_strip.px ? knob_strip.w : KNOB_SIDE;
    c->h = knob_strip.px ? knob_strip.h : KNOB_SIDE;
    c->frames = knob_strip.px ? knob_strip.frames : KNOB_FRAMES;
    c->frame = 0;
    c->hit_radius = 28;
    c->dead_radius = 10;
    c->cx = c->cy = 50;
    c->caption_count = KNOB_CAPTIONS;
    c->captions = labels_new(KNOB_CAPTIONS);
    for (int k = 0; k < 7; k++)
        label_init(&c->captions[k], font, labels[k], SCALE_MODES[k]);
    label_init(&c->captions[7], font, caption1, ANCHOR_CENTRE);
    label_init(&c->captions[8], font, caption2, ANCHOR_CENTRE);
    label_init(&c->captions[KNOB_VALUE_LINE], font, caption3, ANCHOR_CENTRE);
    const bool analysis = index == C_MIN_FREQ || index == C_MAX_FREQ || index == C_TIME_RES || index == C_FREQ_SCALE;
    c->full_redraw = analysis;
    c->lossless_locked = analysis;
}

namespace {
void panel_memory_free();
}

void control_text_init(const BitmapFont* small, const BitmapFont* large)
{
    panel_memory_free(); // a rebuild keeps the installed hooks
    ctrl = static_cast<Control*>(wrcalloc(CONTROL_COUNT, sizeof(Control)));
    text = labels_new(TEXT_LINES);

    // Pictures.
    knob_strip = sprite_load("gfx/knob_anim.png", KNOB_SIDE);
    Sprite small_base = sprite_load("gfx/button_small.png", SMALL_SIDE);
    Sprite med_base = sprite_load("gfx/button_med.png", MED_H);
    Sprite big_base = sprite_load("gfx/button_big.png", BIG_H);

    // 0: the knob face.
    Control* c = &ctrl[C_KNOB_FACE];
    c->kind = CTRL_KNOB_FACE;
    c->sprite = sprite_load("gfx/knob.png", 0);
    c->owns_sprite = 1;
    c->w = c->sprite.px ? c->sprite.w : KNOB_SIDE;
    c->h = c->sprite.px ? c->sprite.h : KNOB_SIDE;
    c->frames = 1;

    // 1 .. 9: the knobs.
    static const char* const VOLUME[7] = {"-30", "-20", "-10", "0", "+10", "+20", "+30"};
    static const char* const FREQ[7] = {"0", "25", "125", "500", "1.8 k", "7 k", "26 k"};
    static const char* const PPS[7] = {"0", "5", "35", "100", "200", "500", "2,400"};
    static const char* const GAMMA[7] = {"16:1", "4:1", "2:1", "1:1", "1:2", "1:4", "1:16"};
    static const char* const INTENSITY[7] = {"-60", "-40", "-20", "0", "+20", "+40", "+60"};
    static const char* const SCALE[7] = {"1", "1.17", "1.33", "1.5", "1.67", "1.83", "2"};
    static const char* const WIDTH[7] = {"0", "5", "20", "45", "80", "125", "180"};
    static const char* const STRENGTH[7] = {"0", "2.8", "11", "25", "44", "69", "100"};
    knob_init(&ctrl[C_VOLUME], C_VOLUME, small, VOLUME, "dB", "Volume", "");
    knob_init(&ctrl[C_MIN_FREQ], C_MIN_FREQ, small, FREQ, "Hz", "Min. frequency", "");
    knob_init(&ctrl[C_MAX_FREQ], C_MAX_FREQ, small, FREQ, "Hz", "Max. frequency", "");
    knob_init(&ctrl[C_TIME_RES], C_TIME_RES, small, PPS, "pixels/second", "Time resolution", "");
    knob_init(&ctrl[C_GAMMA], C_GAMMA, small, GAMMA, "Gamma", "", "");
    knob_init(&ctrl[C_LAYER_INTENSITY], C_LAYER_INTENSITY, small, INTENSITY, "dB", "Layer intensity", "");
    knob_init(&ctrl[C_FREQ_SCALE], C_FREQ_SCALE, small, SCALE, "Frequency scale", "logarithmic base", "");
    knob_init(&ctrl[C_SPRAY_WIDTH], C_SPRAY_WIDTH, small, WIDTH, "pixels", "Spray width", "");
    knob_init(&ctrl[C_TOOL_INTENSITY], C_TOOL_INTENSITY, small, STRENGTH, "%", "Tool intensity", "");

    // 10: Play; 11 .. 13: Open, Save, Quit; 14: the resize grip.
    button_init(&ctrl[C_PLAY], CTRL_PLAY, play_sprite(big_base), BIG_W, BIG_H, 48, 54, 56);
    ctrl[C_PLAY].caption_count = 1;
    ctrl[C_PLAY].captions = labels_new(1);
    label_init(&ctrl[C_PLAY].captions[0], large, "Play", ANCHOR_CENTRE);
    button_init(&ctrl[C_OPEN], CTRL_PUSH, button_sprite(med_base, "gfx/open.png"), MED_W, MED_H, 25, 27, 28);
    button_init(&ctrl[C_SAVE], CTRL_PUSH, button_sprite(med_base, "gfx/save.png"), MED_W, MED_H, 25, 27, 28);
    button_init(&ctrl[C_QUIT], CTRL_PUSH, button_sprite(med_base, "gfx/quit.png"), MED_W, MED_H, 25, 27, 28);
    button_init(&ctrl[C_CORNER], CTRL_DECORATION, sprite_load("gfx/corner.png", CORNER_SIDE), CORNER_SIDE,
                CORNER_SIDE, 0, CORNER_SIDE / 2, CORNER_SIDE / 2);

    // 15 .. 21: the tools; the Cursor lit at start.
    static const char* const TOOL_ICONS[7] = {"gfx/mouse.png",      "gfx/move.png",       "gfx/spray_black.png",
                                              "gfx/spray_white.png", "gfx/flashlight.png", "gfx/roadroller.png",
                                              "gfx/rectool.png"};
    for (int k = 0; k < 7; k++)
        small_button(&ctrl[C_TOOL_CURSOR + k], small_base, TOOL_ICONS[k], CTRL_TOGGLE);
    ctrl[C_TOOL_CURSOR].value = 1.f;
    ctrl[C_TOOL_CURSOR].frame = 1;

    // 22 .. 33: the small buttons.
    static const char* const DEGREES[4] = {"0\xB0", "90\xB0", "180\xB0", "270\xB0"};
    for (int k = 0; k < 4; k++) {
        small_button(&ctrl[C_ROT_FIRST + k], small_base, nullptr, CTRL_PUSH);
        button_captions(&ctrl[C_ROT_FIRST + k], small, {DEGREES[k]});
    }
    small_button(&ctrl[C_FLIP], small_base, nullptr, CTRL_PUSH);
    button_captions(&ctrl[C_FLIP], small, {"FLIP", "Horiz. flip"});
    ctrl[C_FLIP].lossless_locked = 1;
    small_button(&ctrl[C_HELP], small_base, nullptr, CTRL_PUSH);
    button_captions(&ctrl[C_HELP], small, {"?", "Help"});
    small_button(&ctrl[C_INVERT], small_base, nullptr, CTRL_TOGGLE);
    button_captions(&ctrl[C_INVERT], small, {"INV.", "Invert"});
    small_button(&ctrl[C_MASK_INVERT], small_base, nullptr, CTRL_PUSH);
    button_captions(&ctrl[C_MASK_INVERT], small, {"M.I.", "Mask", "Invert"});
    small_button(&ctrl[C_VISION], small_base, nullptr, CTRL_PUSH);
    button_captions(&ctrl[C_VISION], small, {"V.M.", "Vision Mode"});
    small_button(&ctrl[C_LOSSLESS], small_base, nullptr, CTRL_PUSH);
    button_captions(&ctrl[C_LOSSLESS], small, {"", "Lossless", "OFF", ""});
    small_button(&ctrl[C_HARMONICS], small_base, "gfx/harmonics.png", CTRL_TOGGLE);
    small_button(&ctrl[C_MAGNET], small_base, "gfx/magnet.png", CTRL_TOGGLE);
    small_button(&ctrl[C_TOOL_SELECT], small_base, "gfx/select.png", CTRL_TOGGLE);
    sprite_free(&small_base);
    sprite_free(&med_base);
    sprite_free(&big_base);

    for (int i = 0; i < CONTROL_COUNT; i++) {
        ctrl[i].x = ctrl[i].y = HIDDEN_POS;
        ctrl[i].drawn_x = ctrl[i].drawn_y = HIDDEN_POS;
        ctrl[i].drawn_frame = -1;
    }

    // The seven window lines.
    label_init(&text[0], large, "Open", TEXT_LEFT);
    label_init(&text[1], large, "Save", TEXT_LEFT);
    label_init(&text[2], large, "Quit", TEXT_LEFT);
    label_init(&text[3], small, PROGRAM_TITLE, ANCHOR_LEFT);
    label_init(&text[4], large, PROGRAM_TITLE, 0);
    label_init(&text[5], small, "", ANCHOR_CENTRE);
    label_init(&text[6], small, "Rotation", 0);

    // Start angles, then every knob's value, text and frame from its angle.
    const float top = knob_max();
    float start[10] = {};
    start[C_VOLUME] = 0.75f * PI;
    start[C_MIN_FREQ] = value_to_angle(C_MIN_FREQ, MIN_FREQ);
    start[C_MAX_FREQ] = value_to_angle(C_MAX_FREQ, MAX_FREQ);
    start[C_TIME_RES] = value_to_angle(C_TIME_RES, ANAL_PPS);
    start[C_GAMMA] = 0.75f * PI;
    start[C_LAYER_INTENSITY] = 0.75f * PI;
    start[C_FREQ_SCALE] = top;
    start[C_SPRAY_WIDTH] = tool_width == -1.f ? 0.5f * PI : value_to_angle(C_SPRAY_WIDTH, tool_width);
    start[C_TOOL_INTENSITY] =
        tool_intensity == -1.f ? 0.75f * PI : value_to_angle(C_TOOL_INTENSITY, tool_intensity);
    for (int i = C_VOLUME; i <= C_TOOL_INTENSITY; i++)
        knob_set_angle(i, start[i], nullptr);
    // Knobs that start at a given value hold that value exactly: the value read back from the
    // bisected angle is a little off (20000.0078 Hz for 20000 Hz), and an analysis made with it
    // would differ from the batch commands' and from a replay of the session's history.
    knob_set_value(C_MIN_FREQ, MIN_FREQ);
    knob_set_value(C_MAX_FREQ, MAX_FREQ);
    knob_set_value(C_TIME_RES, ANAL_PPS);
    if (tool_width != -1.f)
        knob_set_value(C_SPRAY_WIDTH, tool_width);
    if (tool_intensity != -1.f)
        knob_set_value(C_TOOL_INTENSITY, tool_intensity);

    config_tool_knobs = tool_knobs;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Hooks
// ---------------------------------------------------------------------------------------------

namespace {

// The layer count crossed between 1 and 2: the panel is laid out again (with a full redraw)
// on the next frame.
void knob_layout_hook(EngineState*) { key[K_RELAYOUT] = 1; }

} // namespace

void invert_control_toggle(EngineState*)
{
    if (!ctrl)
        return;
    Control& c = ctrl[C_INVERT];
    c.value = c.value != 0.f ? 0.f : 1.f;
    if (ps.grabbed != C_INVERT)
        c.frame = (int)c.value;
}

void open_button_look(int pressed)
{
    if (ctrl && ps.grabbed != C_OPEN)
        ctrl[C_OPEN].frame = pressed ? 1 : 0;
}

void panel_install_hooks()
{
    if (!ctrl)
        return;
    document_hooks.knob_refresh = gamma_knob_follow;
    document_hooks.knob_layout = knob_layout_hook;
    document_hooks.invert_control = invert_control_toggle;
    replay_hooks.knobs_follow = knobs_follow;
    config_tool_knobs = tool_knobs;
}

namespace {

// Frees the Controls, their pictures and `text`; the hooks stay as they are.
void panel_memory_free()
{
    if (layer_redraw.started)
        redraw_thread_stop(&layer_redraw, 10000);
    if (ctrl) {
        for (int i = 0; i < CONTROL_COUNT; i++) {
            if (ctrl[i].owns_sprite)
                sprite_free(&ctrl[i].sprite);
            free(ctrl[i].captions);
        }
        free_null(&ctrl);
    }
    sprite_free(&knob_strip);
    free_null(&text);
    ps = PanelState{};
}

} // namespace

void control_text_free()
{
    panel_memory_free();
    if (config_tool_knobs == tool_knobs)
        config_tool_knobs = nullptr;
    if (document_hooks.knob_refresh == gamma_knob_follow)
        document_hooks.knob_refresh = nullptr;
    if (replay_hooks.knobs_follow == knobs_follow)
        replay_hooks.knobs_follow = nullptr;
    if (document_hooks.knob_layout == knob_layout_hook)
        document_hooks.knob_layout = nullptr;
    if (document_hooks.invert_control == invert_control_toggle)
        document_hooks.invert_control = nullptr;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Layout
// ---------------------------------------------------------------------------------------------

namespace {

struct Rect {
    int x, y, w, h;
};

bool overlaps(const Rect& a, const Rect& b)
{
    return a.w > 0 && a.h > 0 && b.w > 0 && b.h > 0 && a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h &&
           b.y < a.y + a.h;
}

// The room a control needs around its sprite when it has to be moved: the knobs' scale labels
// and captions, the Play caption, the captions under the small buttons, the Open, Save and
// Quit lines.
Rect footprint(const Control& c, int i, int x, int y)
{
    Rect r{x, y, c.w, c.h};
    if (c.kind == CTRL_KNOB) {
        r.x -= 14;
        r.w += 28;
        r.h += 18;
    } else if (i == C_PLAY) {
        r.h += 24;
    } else if (i == C_OPEN) {
        r.w += 80; // its line of text
    } else if (i == C_SAVE || i == C_QUIT) {
        r.x -= 52;
        r.w += 52;
    } else if (c.caption_count >= 2) {
        r.x -= 20;
        r.w += 40;
        r.h += i == C_MASK_INVERT ? 30 : 18;
    }
    return r;
}

// Order in which controls claim their places: a control that cannot have its own place takes
// the nearest free one, so the most used ones come first.
constexpr int PLACE_ORDER[] = {C_OPEN,        C_QUIT,          C_SAVE,        C_CORNER,
                               C_PLAY,        C_VOLUME,        C_SPRAY_WIDTH, C_TOOL_INTENSITY,
                               C_GAMMA,       C_MIN_FREQ,      C_MAX_FREQ,    C_TIME_RES,
                               C_FREQ_SCALE,  C_LAYER_INTENSITY, C_TOOL_CURSOR, C_TOOL_MOVE,
                               C_TOOL_RECT,   C_TOOL_DARK,     C_TOOL_WHITE,  C_TOOL_BRIGHTEN,
                               C_TOOL_ERASE,  C_HARMONICS,     C_MAGNET,      C_FLIP,
                               C_INVERT,      C_MASK_INVERT,   C_VISION,      C_LOSSLESS,
                               C_HELP,        C_TOOL_SELECT};

// The places of the three layouts, (HIDDEN_POS, HIDDEN_POS) for a control not shown.
void layout_places(const Control* cs, int W, int H, bool lossless, bool wide, bool layer_knob, int px[], int py[])
{
    for (int i = 0; i < CONTROL_COUNT; i++)
        px[i] = py[i] = HIDDEN_POS;
    const int m = W / 2;
    const int o = W >= 872 ? 30 : 466 - m;
    const int c = m + o;
    auto at = [&](int i, int x_centre, int y) {
        px[i] = x_centre - cs[i].w / 2;
        py[i] = y;
    };

    // In every layout.
    px[C_OPEN] = 2;
    py[C_OPEN] = 2;
    px[C_SAVE] = W - cs[C_SAVE].w / 2 - 40;
    py[C_SAVE] = H - cs[C_SAVE].h / 2 - 40;
    px[C_QUIT] = W - 2 - cs[C_QUIT].w;
    py[C_QUIT] = 2;
    px[C_CORNER] = W - cs[C_CORNER].w;
    py[C_CORNER] = H - cs[C_CORNER].h;
    px[C_LOSSLESS] = 8;
    py[C_LOSSLESS] = 76;
    static const int COLUMN[10] = {C_TOOL_CURSOR, C_TOOL_MOVE,     C_TOOL_RECT,  C_TOOL_DARK, C_TOOL_WHITE,
                                   C_TOOL_BRIGHTEN, C_TOOL_ERASE, C_HARMONICS, C_MAGNET,    C_HELP};
    for (int k = 0; k < 10; k++) {
        px[COLUMN[k]] = 8;
        py[COLUMN[k]] = 128 + 42 * k;
    }
    // Beside the Lossless switch, a little higher, left of the waveform: that space is free,
    // while beside the tools the button would cover the frequency scale's labels.
    px[C_TOOL_SELECT] = 60;
    py[C_TOOL_SELECT] = py[C_LOSSLESS] - 24;

    const int play_w = cs[C_PLAY].w, play_h = cs[C_PLAY].h;
    if (lossless) {
        const int y = H - 141;
        at(C_VOLUME, c + 120, y);
        at(C_SPRAY_WIDTH, c - 360, y);
        at(C_TOOL_INTENSITY, c - 240, y);
        at(C_GAMMA, c + 240, y);
        if (layer_knob)
            at(C_LAYER_INTENSITY, c + 360, y);
        at(C_FLIP, c - 150, H - 131);
        at(C_INVERT, c - 90, H - 131);
        at(C_MASK_INVERT, c - 90, H - 81);
        at(C_VISION, c - 150, H - 81);
        px[C_PLAY] = (W - play_w) / 2 + o;
        py[C_PLAY] = H - 33 - play_h;
    } else if (wide) {
        const int y = H - 141;
        at(C_MIN_FREQ, m - 412, y);
        at(C_MAX_FREQ, m - 292, y);
        at(C_FREQ_SCALE, m - 172, y);
        at(C_VOLUME, m + 68, y);
        at(C_TIME_RES, m + 188, y);
        at(C_SPRAY_WIDTH, m - 652, y);
        at(C_TOOL_INTENSITY, m - 532, y);
        at(C_GAMMA, m + 308, y);
        if (layer_knob)
            at(C_LAYER_INTENSITY, m + 548, y);
        at(C_FLIP, m + 407, H - 131);
        at(C_INVERT, m + 467, H - 131);
        at(C_MASK_INVERT, m + 467, H - 81);
        at(C_VISION, m + 407, H - 81);
        px[C_PLAY] = (W - play_w) / 2 - 52;
        py[C_PLAY] = H - 33 - play_h;
    } else {
        at(C_MIN_FREQ, c - 360, H - 252);
        at(C_MAX_FREQ, c - 240, H - 252);
        at(C_FREQ_SCALE, c - 120, H - 252);
        at(C_VOLUME, c + 120, H - 252);
        at(C_TIME_RES, c + 240, H - 252);
        at(C_SPRAY_WIDTH, c - 240, H - 132);
        at(C_TOOL_INTENSITY, c - 120, H - 132);
        at(C_GAMMA, c + 120, H - 132);
        if (layer_knob)
            at(C_LAYER_INTENSITY, c - 360, H - 132); // clear of Save in the corner
        at(C_FLIP, c - 30, H - 122);
        at(C_INVERT, c + 30, H - 122);
        at(C_MASK_INVERT, c + 30, H - 72);
        at(C_VISION, c - 30, H - 72);
        px[C_PLAY] = (W - play_w) / 2 + o;
        py[C_PLAY] = H - 144 - play_h;
    }
}

// Whether a control belongs to the panel under the view (the rest frame the window: the
// corners and the left column).
bool in_panel(int i)
{
    return i == C_PLAY || is_knob(i) || i == C_FLIP || i == C_INVERT || i == C_MASK_INVERT || i == C_VISION;
}

// Places every control. The window's frame (corners, left column) keeps each layout place that
// lies in the window and covers neither an earlier control nor the view; the panel keeps its
// layout only when all of it fits so. Whatever is left is packed, most used first, into the
// lowest, leftmost free place with room for its captions, or kept off screen when there is none
// (until the window grows).
void place_controls(Control* cs, int W, int H, const Rect& view, const int px[], const int py[])
{
    Rect sprites[CONTROL_COUNT], prints[CONTROL_COUNT];
    int n = 0;
    bool pending[CONTROL_COUNT] = {};
    for (int i = 0; i < CONTROL_COUNT; i++)
        cs[i].x = cs[i].y = HIDDEN_POS;
    const Rect status{0, H - 16, W / 2, 16}; // the status line's left half stays readable
    auto free_rect = [&](const Rect& r, const Rect* placed) {
        if (overlaps(r, view) || overlaps(r, status))
            return false;
        for (int k = 0; k < n; k++)
            if (overlaps(r, placed[k]))
                return false;
        return true;
    };
    auto take = [&](int i, int x, int y) {
        cs[i].x = x;
        cs[i].y = y;
        sprites[n] = Rect{x, y, cs[i].w, cs[i].h};
        prints[n] = footprint(cs[i], i, x, y);
        n++;
    };
    auto fits_layout = [&](int i) {
        const Rect r{px[i], py[i], cs[i].w, cs[i].h};
        return r.x >= 0 && r.y >= 0 && r.x + r.w <= W && r.y + r.h <= H && free_rect(r, sprites);
    };
    auto shown = [&](int i) { return px[i] != HIDDEN_POS || py[i] != HIDDEN_POS; };

    for (int i : PLACE_ORDER)
        if (shown(i) && !in_panel(i)) {
            if (fits_layout(i))
                take(i, px[i], py[i]);
            else
                pending[i] = true;
        }
    const int frame_count = n;
    bool panel_fits = true;
    for (int i : PLACE_ORDER)
        if (shown(i) && in_panel(i)) {
            if (!fits_layout(i)) {
                panel_fits = false;
                break;
            }
            take(i, px[i], py[i]);
        }
    if (!panel_fits) {
        for (int i : PLACE_ORDER)
            if (shown(i) && in_panel(i)) {
                cs[i].x = cs[i].y = HIDDEN_POS;
                pending[i] = true;
            }
        n = frame_count;
    }

    for (int i : PLACE_ORDER) {
        if (!pending[i])
            continue;
        const int step = 8;
        bool found = false;
        for (int y = H - 16; y >= 0 && !found; y -= step) // above the status line
            for (int x = 0; x + cs[i].w <= W && !found; x += step) {
                const Rect f = footprint(cs[i], i, x, y);
                if (f.x < 0 || f.y < 0 || f.x + f.w > W || f.y + f.h > H - 16 || !free_rect(f, prints))
                    continue;
                take(i, x, y);
                found = true;
            }
    }
}

void place_caption(TextLabel* l, int x, int y)
{
    l->x = x;
    l->y = y;
}

} // namespace

void knob_text_reposition(Control* c)
{
    if (!c || c->caption_count < KNOB_CAPTIONS)
        return;
    static const int SCALE_X[7] = {26, 20, 24, 50, 77, 81, 75}; // the outer labels clear a neighbour 120 px away
    static const int SCALE_Y[7] = {75, 45, 17, 3, 17, 45, 75};
    const int x = c->x, y = c->y;
    for (int k = 0; k < 7; k++)
        place_caption(&c->captions[k], x + SCALE_X[k], y + SCALE_Y[k]);
    place_caption(&c->captions[7], x + c->w / 2, y + c->h - 10);
    place_caption(&c->captions[8], x + c->w / 2, y + c->h + 2);
    place_caption(&c->captions[KNOB_VALUE_LINE], x + c->w / 2, y + c->h - 56);
}

void after_res_change(Control* controls, TextLabel* lines, EngineState* es)
{
    if (!controls)
        return;
    const int W = SCRN_W, H = SCRN_H, m = W / 2;
    const bool lossless = key[K_LOSSLESS_LAYOUT] != 0;
    // The wide layout's Layer intensity knob needs 56 more pixels to stay clear of Save.
    const bool wide = !lossless && W >= (key[K_MULTI_LAYER] ? 1456 : 1400);
    // The lossless layout's single row needs 880 pixels (1120 with Layer intensity); a
    // narrower lossless window takes the normal layout's two rows without the four knobs
    // lossless mode locks.
    const bool lossless_row = lossless && W >= (key[K_MULTI_LAYER] ? 1120 : 880);
    MARGIN_Y = lossless_row || wide ? 169 : 280;

    int px[CONTROL_COUNT], py[CONTROL_COUNT];
    layout_places(controls, W, H, lossless_row, wide, key[K_MULTI_LAYER] != 0, px, py);
    if (lossless && !lossless_row)
        for (int i : {C_MIN_FREQ, C_MAX_FREQ, C_TIME_RES, C_FREQ_SCALE})
            px[i] = py[i] = HIDDEN_POS;
    const int view_y = WAVEFORM_H + 47;
    const Rect view{120, view_y, W - 180, H - MARGIN_Y - view_y};
    place_controls(controls, W, H, view, px, py);
    // The rotation buttons are never shown; they sit in a row far off screen.
    for (int k = 0; k < 4; k++) {
        controls[C_ROT_FIRST + k].x = HIDDEN_POS - 50 * k;
        controls[C_ROT_FIRST + k].y = HIDDEN_POS;
    }

    // Captions follow their controls.
    for (int i = C_VOLUME; i <= C_TOOL_INTENSITY; i++)
        knob_text_reposition(&controls[i]);
    Control& play = controls[C_PLAY];
    place_caption(&play.captions[0], play.x + play.w / 2, play.y + 108);
    for (int i = C_ROT_FIRST; i <= C_VISION; i++) {
        Control& c = controls[i];
        static const int DY[3] = {13, 36, 48}; // the lower lines just clear the sprite below
        for (int k = 0; k < c.caption_count && k < 3; k++)
            place_caption(&c.captions[k], c.x + c.w / 2 + 1, c.y + DY[k]);
    }
    Control& help = controls[C_HELP];
    place_caption(&help.captions[0], help.x + help.w / 2 + 1, help.y + 8);
    Control& ll = controls[C_LOSSLESS];
    place_caption(&ll.captions[0], ll.x + ll.w / 2 + 1, ll.y + 13);
    place_caption(&ll.captions[1], ll.x + ll.w / 2, ll.y + 38);
    place_caption(&ll.captions[2], ll.x + ll.w / 2 + 1, ll.y + 13);
    if (ll.x == HIDDEN_POS)
        place_caption(&ll.captions[3], HIDDEN_POS, HIDDEN_POS);
    else
        place_caption(&ll.captions[3], m, 28);

    // The window's lines; Open, Save and Quit name their buttons.
    if (lines) {
        auto beside = [&](int line, int i, int dx) {
            const Control& c = controls[i];
            if (c.x == HIDDEN_POS)
                place_caption(&lines[line], HIDDEN_POS, HIDDEN_POS);
            else
                place_caption(&lines[line], c.x + dx, c.y + 16);
        };
        beside(0, C_OPEN, 56);
        beside(1, C_SAVE, -49);
        beside(2, C_QUIT, -50);
        place_caption(&lines[3], 2, H - 14);
        place_caption(&lines[4], m, 4);
        place_caption(&lines[5], m, H - 14);
        place_caption(&lines[6], HIDDEN_POS, HIDDEN_POS);
    }

    if (es && es->image) {
        image_view_rect(es->image);
        image_redraw(es, 0);
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Pointer
// ---------------------------------------------------------------------------------------------

int panel_grabbed() { return ps.grabbed; }

int knob_dragging(int index) { return ctrl && is_knob(index) && ps.grabbed == index; }

int panel_press(EngineState*, int x, int y)
{
    if (!ctrl)
        return 0;
    const bool locked_out = lossless_mode.load() && !key[K_UNLOCK];
    int hit = -1;
    for (int i = 0; i < CONTROL_COUNT; i++) {
        const Control& c = ctrl[i];
        if (c.kind > CTRL_PLAY || (c.lossless_locked && locked_out))
            continue;
        const long dx = x - (c.x + c.cx), dy = y - (c.y + c.cy);
        if (dx * dx + dy * dy < (long)c.hit_radius * c.hit_radius)
            hit = i;
    }
    if (hit < 0)
        return 0;
    ps.grabbed = hit;
    Control& c = ctrl[hit];
    if (c.kind == CTRL_KNOB) {
        if (key[state_of(K_LINEAR_KNOB)])
            ps.grab = -(float)y * 0.016f;
        else
            ps.grab = atan2f((float)(y - (c.y + c.cy)), (float)(x - (c.x + c.cx))) + PI / 2 - c.turn;
    }
    return PANEL_TAKEN | (c.full_redraw ? PANEL_FULL_REDRAW : 0);
}

namespace {

void knob_drag(EngineState* es, int i, int x, int y, int precision)
{
    Control& c = ctrl[i];
    const float dx = (float)(x - (c.x + c.cx)), dy = (float)(y - (c.y + c.cy));
    if (dx * dx + dy * dy <= (float)(c.dead_radius * c.dead_radius))
        return; // too near the centre for a meaningful angle
    const bool linear = key[state_of(K_LINEAR_KNOB)] != 0;
    const float two_pi = 2.f * PI, top = knob_max();

    float d = linear ? -(float)y * 0.016f - ps.grab : atan2f(dy, dx) + PI / 2 - ps.grab - c.turn;
    if (!std::isfinite(d))
        d = 0.f;
    d = std::fmod(d, two_pi);
    if (d > PI)
        d -= two_pi;
    if (d < -PI)
        d += two_pi;
    c.turn = std::fmod(c.turn + d, two_pi);

    float step = d;
    if ((d > 0.f && c.angle >= top) || (d < 0.f && c.angle <= 0.f))
        step = 0.f;
    step = std::clamp(step, -2.f, 2.f);
    if (precision)
        step /= 100.f;
    c.angle = std::clamp(c.angle + step, 0.f, top);
    c.changed = 1;
    c.value = (float)angle_to_value(i, es, c.angle);
    knob_value_print(i, &c);
    c.frame = knob_frame(c.angle);
    if (text)
        snprintf(text[3].str, sizeof text[3].str, "%s", STATUS_KNOB);

    if (linear) {
        ps.grab = -(float)y * 0.016f;
        if (y <= 0 || y >= SCRN_H - 1) {
            // Past the window's edge the pointer comes back to the middle, so the drag goes on.
            const int mid = SCRN_H / 2;
            if (panel_warp_pointer)
                panel_warp_pointer(x, mid);
            mouse_ay = mouse_ay_raw = mid;
            ps.grab = -(float)mid * 0.016f;
        }
    }
}

} // namespace

void panel_drag(EngineState* es, int x, int y, int precision)
{
    if (!ctrl || ps.grabbed < 0)
        return;
    Control& c = ctrl[ps.grabbed];
    const long dx = x - (c.x + c.cx), dy = y - (c.y + c.cy);
    const bool inside = dx * dx + dy * dy < (long)c.hit_radius * c.hit_radius;
    switch (c.kind) {
    case CTRL_KNOB:
        knob_drag(es, ps.grabbed, x, y, precision);
        break;
    case CTRL_PUSH:
        c.frame = inside ? 1 : 0;
        break;
    case CTRL_TOGGLE:
        c.frame = (c.value != 0.f) != inside ? 1 : 0;
        break;
    case CTRL_PLAY:
        c.frame = (c.frame & 2) | (inside ? 1 : 0);
        break;
    default:
        break;
    }
}

namespace {

void tool_buttons_refresh()
{
    for (int k = 0; k < 7; k++) {
        const int i = C_TOOL_CURSOR + k;
        ctrl[i].value = mouse_function == BUTTON_TOOL[k] ? 1.f : 0.f;
        if (ps.grabbed != i)
            ctrl[i].frame = (int)ctrl[i].value;
    }
    Control& select = ctrl[C_TOOL_SELECT];
    select.value = is_select_tool(mouse_function) ? 1.f : 0.f;
    if (ps.grabbed != C_TOOL_SELECT)
        select.frame = (int)select.value;
}

void show_alert(const char* text_, const char* title) { message_box(text_, title, 0); }

// The size check shared by the Lossless button and the frame loop.
bool lossless_size_differs(const ImageStack* im)
{
    return im && im->composite && (im->w != im->orig_w || im->h != im->orig_h);
}

void lossless_button(EngineState* es)
{
    ImageStack* im = es ? es->image : nullptr;
    if (!orig_snd) {
        show_alert(LOSSLESS_TEXT, LOSSLESS_TITLE);
        lossless_mode = 0;
    } else if (!lossless_mode && lossless_size_differs(im)) {
        // It could not stay on: say so now, before the knobs and live synthesis are touched.
        show_alert(SIZE_TEXT, SIZE_TITLE);
    } else {
        lossless_mode = lossless_mode ? 0 : 1;
        if (im)
            im->change_state = 3;
        if (lossless_mode) {
            key[K_DEFAULTS] = 1;
            if (key[state_of(K_LIVE_SYNTH)])
                key[K_LIVE_SYNTH] = 1;
        }
    }
    key[K_RELAYOUT] = 1;
}

void push_action(EngineState* es, int i)
{
    switch (i) {
    case C_OPEN: key[K_OPEN] = 1; break;
    case C_SAVE: key[K_SAVE] = 1; break;
    case C_QUIT: key[K_QUIT] = 1; break;
    case C_FLIP: key[K_HFLIP] = 1; break;
    case C_HELP: open_manual(); break;
    case C_MASK_INVERT: key[K_MASK_INVERT] = 1; break;
    case C_VISION: key[K_VISION_MODE] = 1; break;
    case C_LOSSLESS: lossless_button(es); break;
    default: break; // the rotation buttons do nothing
    }
}

void toggle_action(int i)
{
    if (i >= C_TOOL_CURSOR && i <= C_TOOL_RECT) {
        mouse_function = BUTTON_TOOL[i - C_TOOL_CURSOR];
        tool_buttons_refresh();
        return;
    }
    if (i == C_TOOL_SELECT) { // box first, then brush, lasso and box again
        mouse_function = next_select_tool(mouse_function);
        tool_buttons_refresh();
        return;
    }
    switch (i) {
    case C_INVERT: key[K_INVERT] = 1; break;
    case C_HARMONICS: key[K_HARMONICS] = 1; break;
    case C_MAGNET: key[K_MAGNET] = 1; break;
    default: break;
    }
}

// Ends a layer preview: the continuous redraw is joined.
void layer_preview_end()
{
    redraw_thread_stop(&layer_redraw, 10000);
    ps.layer_drag = 0;
}

void gamma_release(EngineState* es)
{
    ImageStack* im = es->image;
    layer_preview_end();
    Layer* l = selected_layer(im);
    if (!l)
        return;
    const float g = ctrl[C_GAMMA].value;
    gamma_layer(im, gamma_exponent(g, l), 1);
    raise_change_state(im, 1);
    if (g != l->gamma) {
        ps.gamma_pending = 1;
        ps.gamma_logged = g;
    }
    l->gamma = g;
    undo_commit(im, "Gamma");
}

void intensity_release(EngineState* es)
{
    ImageStack* im = es->image;
    layer_preview_end();
    if (!selected_layer(im))
        return;
    const float factor = powf(10.f, 0.05f * ctrl[C_LAYER_INTENSITY].value);
    print_cmd(CMD_TIMED, "Multiply layer by %g\n", (double)factor);
    intensitify_layer(im, factor, 1);
    raise_change_state(im, 1);
    undo_commit(im, "Multiply layer by");
}

void knob_release(EngineState* es, int i)
{
    Control& c = ctrl[i];
    const int moved = c.changed;
    c.changed = 0;
    if (i == C_SPRAY_WIDTH || i == C_TOOL_INTENSITY) {
        tool_width = ctrl[C_SPRAY_WIDTH].value;
        tool_intensity = ctrl[C_TOOL_INTENSITY].value;
        config_save(0);
    }
    if (i == C_GAMMA && ps.layer_drag == C_GAMMA)
        gamma_release(es);
    if (i == C_LAYER_INTENSITY) {
        if (ps.layer_drag == C_LAYER_INTENSITY)
            intensity_release(es);
        if (moved)
            knob_set_angle(C_LAYER_INTENSITY, 0.75f * PI, es); // back to 0 dB
    }
}

} // namespace

int panel_release(EngineState* es)
{
    if (!ctrl || ps.grabbed < 0)
        return 0;
    const int i = ps.grabbed;
    ps.grabbed = -1;
    Control& c = ctrl[i];
    switch (c.kind) {
    case CTRL_KNOB:
        knob_release(es, i);
        break;
    case CTRL_PUSH:
        if (c.frame == 1) {
            c.frame = 0;
            push_action(es, i);
        }
        c.frame = 0;
        break;
    case CTRL_TOGGLE:
        if (c.frame != (int)c.value) {
            c.frame = (int)c.value;
            toggle_action(i);
        }
        break;
    case CTRL_PLAY:
        if (c.frame & 1) {
            c.frame ^= 2;
            if (es)
                es->paused = (c.frame & 2) ? 0 : 1;
        }
        c.frame &= ~1;
        break;
    default:
        break;
    }
    return c.full_redraw ? PANEL_FULL_REDRAW : 0;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Effects and commands
// ---------------------------------------------------------------------------------------------

void panel_effects(EngineState* es)
{
    if (!ctrl || !es)
        return;
    if (ctrl[C_VOLUME].changed)
        es->volume = powf(10.f, 0.05f * ctrl[C_VOLUME].value);

    for (int i : {C_GAMMA, C_LAYER_INTENSITY}) {
        Control& c = ctrl[i];
        if (!c.changed)
            continue;
        ImageStack* im = es->image;
        Layer* l = selected_layer(im);
        if (!l)
            continue;
        if (ps.layer_drag == 0) {
            // First frame of the drag: the view follows, synthesis waits, Undo keeps the layer.
            ps.layer_drag = i;
            ps.preview_started = 0;
            redraw_thread_start(&layer_redraw, es);
            end_sound_threads(es);
            layer_to_undo(im);
        }
        if (ps.layer_drag != i || (ps.preview_started && c.value == ps.preview_value))
            continue; // the preview already shows this value
        const int started = i == C_GAMMA
                                ? gamma_layer_background(im, gamma_exponent(c.value, l), 1)
                                : intensitify_layer_background(im, powf(10.f, 0.05f * c.value), 1);
        if (started) {
            ps.preview_started = 1;
            ps.preview_value = c.value;
        }
    }
}

void panel_sync(EngineState* es)
{
    if (!ctrl)
        return;
    tool_buttons_refresh();
    const int modifiers[2][2] = {{C_HARMONICS, harmonics}, {C_MAGNET, magnet}};
    for (const auto& mdf : modifiers) {
        Control& c = ctrl[mdf[0]];
        c.value = mdf[1] ? 1.f : 0.f;
        if (ps.grabbed != mdf[0])
            c.frame = (int)c.value;
    }
    if (es && ps.grabbed != C_PLAY) {
        const int paused = es->paused.load();
        Control& play = ctrl[C_PLAY];
        if (paused == 0)
            play.frame |= 2;
        else if (paused == 1)
            play.frame &= ~2;
    }
}

int knob_group_commit(EngineState* es)
{
    if (!ctrl || !es)
        return 0;
    for (int i : {C_MIN_FREQ, C_MAX_FREQ, C_TIME_RES, C_GAMMA, C_FREQ_SCALE})
        if (ps.grabbed == i)
            return 0; // logged once released
    ImageStack* im = es->image;
    const bool document = im && im->composite;
    const float f0 = ctrl[C_MIN_FREQ].value, f1 = ctrl[C_MAX_FREQ].value;
    const float pps = ctrl[C_TIME_RES].value, base = ctrl[C_FREQ_SCALE].value;
    const bool range = f0 != es->synth_range[0] || f1 != es->synth_range[1];
    const bool time = pps != es->synth_range[2];
    const bool scale = base != es->synth_range[3];

    if (document) {
        bool logged = false;
        if (ps.gamma_pending) {
            print_cmd(CMD_TIMED, "Gamma %g", (double)ps.gamma_logged);
            logged = true;
        }
        if (range) {
            print_cmd(CMD_TIMED, "Frequency range %g Hz - %g Hz", (double)f0, (double)f1);
            logged = true;
        }
        if (time) {
            print_cmd(CMD_TIMED, "Time resolution %g px/s", (double)pps);
            logged = true;
        }
        if (scale) {
            print_cmd(CMD_TIMED, "Frequency scale %g", (double)base);
            logged = true;
        }
        if (logged)
            print_cmd(CMD_TIMED, "%s", "");
    }
    ps.gamma_pending = 0;
    if (!range && !time && !scale)
        return 0;

    // Synthesis and the next analysis use the knobs' values from now on.
    const float values[4] = {f0, f1, pps, base};
    memcpy(es->synth_range, values, sizeof values);
    es->anal_params[0] = f0;
    es->anal_params[1] = f1;
    es->anal_params[2] = pps;
    es->anal_params[6] = base;
    if (document)
        raise_change_state(im, 3);
    return 1;
}

int default_values(EngineState* es)
{
    if (!ctrl)
        return 0;
    knob_set_value(C_MIN_FREQ, MIN_FREQ);
    knob_set_value(C_MAX_FREQ, MAX_FREQ);
    knob_set_value(C_TIME_RES, ANAL_PPS);
    knob_set_angle(C_GAMMA, 0.75f * PI, nullptr);
    knob_set_angle(C_FREQ_SCALE, knob_max(), nullptr);

    // The selected layer's gamma is undone.
    ImageStack* im = es ? es->image : nullptr;
    if (Layer* l = selected_layer(im)) {
        const float g = ctrl[C_GAMMA].value;
        if (l->gamma != g) {
            gamma_layer(im, gamma_exponent(g, l), 0);
            l->gamma = g;
            raise_change_state(im, 1);
            undo_commit(im, "Gamma");
            ps.gamma_pending = 1; // written with the knob group, as a released gamma knob is
            ps.gamma_logged = g;
        }
    }
    refresh_knobs(ctrl, nullptr);
    return PANEL_FULL_REDRAW;
}

int lossless_size_check(EngineState* es)
{
    if (!lossless_mode || !es || !lossless_size_differs(es->image))
        return 0;
    show_alert(SIZE_TEXT, SIZE_TITLE);
    lossless_mode = 0;
    key[K_RELAYOUT] = 1;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Drawing
// ---------------------------------------------------------------------------------------------

namespace {

bool label_changed(const TextLabel& l)
{
    return l.x != l.old_x || l.y != l.old_y || strcmp(l.str, l.old_str) != 0;
}

// Palette colour of caption k of control i.
int caption_colour(int i, int k)
{
    if (!is_knob(i))
        return 0;
    if (k < 7)
        return 6; // scale labels: secondary text
    return k == KNOB_VALUE_LINE ? 7 : 0;
}

void draw_sprite(const Control& c, uint32_t* fb)
{
    if (c.kind == CTRL_KNOB) {
        // The face, multiplied by the frame of the knob strip for the angle.
        const Sprite& face = ctrl[C_KNOB_FACE].sprite;
        blit_sprite_ph(fb, face.px, face.w, face.h, c.x, c.y, SPRITE_TOP_LEFT, 0);
        blit_sprite_ph(fb, sprite_frame(c.sprite, c.frame), c.sprite.w, c.sprite.h, c.x, c.y,
                       SPRITE_TOP_LEFT | SPRITE_MULTIPLY, 0);
        return;
    }
    blit_sprite_ph(fb, sprite_frame(c.sprite, c.frame), c.sprite.w, c.sprite.h, c.x, c.y, SPRITE_TOP_LEFT, 0);
}

} // namespace

int panel_draw_controls(EngineState* es, uint32_t* fb, int full)
{
    if (!ctrl || !fb)
        return 0;
    // Texts that follow the program's state.
    TextLabel* play = ctrl[C_PLAY].captions;
    snprintf(play[0].str, sizeof play[0].str, "%s", es && es->paused.load() != 1 ? "Pause" : "Play");
    TextLabel* ll = ctrl[C_LOSSLESS].captions;
    snprintf(ll[2].str, sizeof ll[2].str, "%s", lossless_mode ? "ON" : "OFF");
    if (lossless_mode)
        snprintf(ll[3].str, sizeof ll[3].str, "(Reference audio : %.2000s)", input_audio_name);
    else
        ll[3].str[0] = 0;

    int drawn = 0;
    for (int i = 0; i < CONTROL_COUNT; i++) {
        Control& c = ctrl[i];
        if (c.kind == CTRL_KNOB_FACE)
            continue;
        bool need = full || c.frame != c.drawn_frame || c.x != c.drawn_x || c.y != c.drawn_y;
        for (int k = 0; k < c.caption_count && !need; k++)
            need = label_changed(c.captions[k]);
        if (!need)
            continue;
        if (!full) {
            // Clear what the control showed before: its captions, and its sprite if it moved.
            for (int k = 0; k < c.caption_count; k++)
                erase_text(&c.captions[k], fb);
            if (c.x != c.drawn_x || c.y != c.drawn_y)
                blit_grey_rect(fb, background_grey(), c.w, c.h, c.drawn_x, c.drawn_y);
        }
        draw_sprite(c, fb);
        for (int k = 0; k < c.caption_count; k++)
            blit_text(&c.captions[k], fb, caption_colour(i, k), 0, 0);
        c.drawn_frame = c.frame;
        c.drawn_x = c.x;
        c.drawn_y = c.y;
        drawn = 1;
    }
    return drawn;
}

namespace {

// Left and right ends of a label's text, from its anchor and mode.
int text_extent_left(const TextLabel& l)
{
    const int w = text_width(l.str, *l.font);
    return l.mode & TEXT_RIGHT ? l.x - w : l.mode & TEXT_LEFT ? l.x : l.x - w / 2;
}
int text_extent_right(const TextLabel& l) { return text_extent_left(l) + text_width(l.str, *l.font); }

} // namespace

int panel_draw_text_lines(uint32_t* fb, int full)
{
    if (!text || !fb)
        return 0;
    // The document's name, marked with "*" while it holds changes not saved. It is centred
    // between the Open and Quit lines; a name too long for that room loses its beginning
    // (the end, with the file type, stays) behind "...".
    const std::string mark = doc_modified > 0 && input_file_name[0] ? "*" : "";
    std::string name = mark + input_file_name;
    if (text[4].font && text[0].font && text[2].font && text[0].x != HIDDEN_POS && text[2].x != HIDDEN_POS) {
        const int left = text_extent_right(text[0]) + 8, right = text_extent_left(text[2]) - 8;
        const int room = 2 * std::min(text[4].x - left, right - text[4].x);
        for (size_t cut = 0; text_width(name.c_str(), *text[4].font) > room && cut < strlen(input_file_name); )
            name = mark + "..." + std::string(input_file_name + ++cut);
    }
    snprintf(text[4].str, sizeof text[4].str, "%s", name.c_str());
    int drawn = 0;
    for (int k = 0; k < TEXT_LINES; k++) {
        TextLabel& l = text[k];
        if (!full && !label_changed(l))
            continue;
        if (!full)
            erase_text(&l, fb); // also for the lines drawn without their own erase bit
        blit_text(&l, fb, 0, 0, 0);
        drawn = 1;
    }
    return drawn;
}
