// The window; see window.h.
#include "display/window.h"
#include "core/state.h"
#include "display/screen.h"
#include "document/command_log.h"
#include "files/config.h"
#include "platform/util.h"

#include <SDL.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The title last given to the window.
static std::string title_shown;

SDL_Surface* screen = nullptr;
uint32_t* menu_fb = nullptr;
WindowHooks window_hooks = {nullptr, command_log_close};

// 32 bits per pixel, double-buffered where the driver can, resizable by the user.
static const Uint32 VIDEO_FLAGS = SDL_SWSURFACE | SDL_DOUBLEBUF | SDL_RESIZABLE;

// ---------------------------------------------------------------------------------------------
// [SECTION] Creating and resizing
// ---------------------------------------------------------------------------------------------

static bool env_set(const char* name)
{
    const char* v = getenv(name);
    return v && *v;
}

bool display_available()
{
    return env_set("DISPLAY") || env_set("WAYLAND_DISPLAY") || env_set("SDL_VIDEODRIVER");
}

void auto_window_size(int desk_w, int desk_h, int* w, int* h)
{
    *w = std::max((desk_w - 40) / 16 * 16, MIN_SCRN_W);
    *h = std::max(desk_h - 120, MIN_SCRN_H);
}

// Opens (or resizes) the window for a drawing area of w x h.
static SDL_Surface* set_video_mode(int w, int h)
{
    return SDL_SetVideoMode(w, h + MENU_STRIP_H, 32, VIDEO_FLAGS);
}

// Fresh zero-filled buffers for the current size, replacing the old ones.
static void replace_buffers(uint32_t** fb0, uint32_t** fb1)
{
    const size_t area = (size_t)SCRN_W * SCRN_H, strip = (size_t)SCRN_W * MENU_STRIP_H;
    free(*fb0);
    free(*fb1);
    free(menu_fb);
    *fb0 = static_cast<uint32_t*>(wrcalloc(area, 4));
    *fb1 = static_cast<uint32_t*>(wrcalloc(area, 4));
    menu_fb = static_cast<uint32_t*>(wrcalloc(strip, 4));
}

[[noreturn]] static void window_failed()
{
    wrfprintf(stderr, "SDL_SetVideoMode() failed\nExiting with error.\n");
    exit(1);
}

void graphics_full_init(uint32_t** fb0, uint32_t** fb1)
{
    if (!display_available()) {
        wrfprintf(stderr, "No display to open the editor window on (neither DISPLAY nor WAYLAND_DISPLAY is set): "
                          "run it under xvfb-run, or use the batch commands (brindlewharf --help).\n");
        exit(1);
    }
    if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_VIDEO) < 0) {
        // Without a working sound system the window can still open; the audio device reports
        // its own failure when it is opened.
        wrfprintf(stderr, "Could not start audio and video together (%s); starting video alone\n", SDL_GetError());
        if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_VIDEO) < 0) {
            wrfprintf(stderr, "SDL_Init() failed: %s\n", SDL_GetError());
            window_failed();
        }
    }
    SDL_SetEventFilter(eventFilter);

    // A dimension left at 0 by the configuration is taken from the desktop.
    if (SCRN_W <= 0 || SCRN_H <= 0) {
        const SDL_VideoInfo* info = SDL_GetVideoInfo();
        int w = MIN_SCRN_W, h = MIN_SCRN_H;
        if (info)
            auto_window_size(info->current_w, info->current_h, &w, &h);
        if (SCRN_W <= 0)
            SCRN_W = w;
        if (SCRN_H <= 0)
            SCRN_H = h;
    }
    SCRN_W = std::max(SCRN_W, MIN_SCRN_W);
    SCRN_H = std::max(SCRN_H, MIN_SCRN_H);

    screen = set_video_mode(SCRN_W, SCRN_H);
    if (!screen)
        window_failed();
    SDL_WM_SetCaption(PROGRAM_TITLE, PROGRAM_TITLE);
    title_shown = PROGRAM_TITLE;

    replace_buffers(fb0, fb1);
    config_save(0);
}

void window_title(const char* name, int modified)
{
    std::string title = PROGRAM_TITLE;
    if (name && name[0])
        title += std::string(" - ") + (modified ? "*" : "") + name;
    if (title == title_shown)
        return;
    title_shown = title;
    SDL_WM_SetCaption(title.c_str(), title.c_str());
}

// Takes a lock that may not exist yet (before the ImageStack is made, or in tests).
static void take(sem_t* s)
{
    if (s)
        mutex_to_1(s);
}

static void release(sem_t* s)
{
    if (s)
        mutex_to_0(s);
}

int window_resize(int w, int h, ImageStack* image)
{
    const int new_w = std::max(w, MIN_SCRN_W), new_h = std::max(h - MENU_STRIP_H, MIN_SCRN_H);
    if (screen) {
        screen = set_video_mode(new_w, new_h);
        if (!screen)
            wrfprintf(stderr, "The window could not be resized to %d x %d: %s\n", new_w, new_h + MENU_STRIP_H,
                      SDL_GetError());
    }

    // Every thread that draws into the frame buffers holds one of these while it does (the
    // redraw the overlay lock, the progress strip the screen lock), so none sees the new size
    // with the old buffers. The overlay lock precedes the display lock as in the redraw.
    sem_t* order[4] = {};
    if (image) {
        order[0] = image->layers_lock;
        order[1] = image->overlay_lock;
        order[2] = image->display_lock;
        order[3] = image->screen_lock;
    }
    for (sem_t* s : order)
        take(s);
    SCRN_W = new_w;
    SCRN_H = new_h;
    replace_buffers(&sfb0, &sfb1);
    if (image)
        image->screen = sfb0;
    for (int i = 3; i >= 0; i--)
        release(order[i]);

    config_save(0);
    return screen != nullptr;
}

void graphics_shutdown()
{
    if (screen) {
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        SDL_Quit();
        screen = nullptr;
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Presenting a frame
// ---------------------------------------------------------------------------------------------

void frame_to_window_order(uint8_t* dst, int dst_pitch, const uint32_t* src, int w, int h, int rshift, int gshift,
                           int bshift)
{
    for (int y = 0; y < h; y++) {
        const uint8_t* s = reinterpret_cast<const uint8_t*>(src + (size_t)y * w);
        uint32_t* d = reinterpret_cast<uint32_t*>(dst + (size_t)y * dst_pitch);
        for (int x = 0; x < w; x++, s += 4)
            d[x] = (uint32_t)s[0] << rshift | (uint32_t)s[1] << gshift | (uint32_t)s[2] << bshift;
    }
}

// Converts rows of a SCRN_W-wide buffer into the surface from surface row `row0`, as far as both
// reach.
static void convert_rows(const uint32_t* src, int rows, int row0)
{
    const SDL_PixelFormat* f = screen->format;
    const int w = std::min(SCRN_W, screen->w), h = std::min(rows, screen->h - row0);
    if (!src || w <= 0 || h <= 0)
        return;
    if (w == SCRN_W) {
        frame_to_window_order(static_cast<uint8_t*>(screen->pixels) + (size_t)row0 * screen->pitch, screen->pitch, src,
                              w, h, f->Rshift, f->Gshift, f->Bshift);
        return;
    }
    for (int y = 0; y < h; y++) // a surface narrower than the buffer: row by row
        frame_to_window_order(static_cast<uint8_t*>(screen->pixels) + (size_t)(row0 + y) * screen->pitch,
                              screen->pitch, src + (size_t)y * SCRN_W, w, 1, f->Rshift, f->Gshift, f->Bshift);
}

int present_frame(ImageStack* image, int* full_redraw)
{
    if (!screen || screen->format->BytesPerPixel != 4)
        return 0;
    sem_t* lock = image ? image->screen_lock : nullptr;
    take(lock);
    if (full_redraw)
        *full_redraw = 0;
    const bool must_lock = SDL_MUSTLOCK(screen);
    if (!must_lock || SDL_LockSurface(screen) == 0) {
        convert_rows(menu_fb, MENU_STRIP_H, 0);
        convert_rows(sfb1, SCRN_H, MENU_STRIP_H);
        if (must_lock)
            SDL_UnlockSurface(screen);
    }
    SDL_Flip(screen);
    release(lock);
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Events
// ---------------------------------------------------------------------------------------------

int eventFilter(const SDL_Event* event)
{
    if (event && event->type == SDL_QUIT) {
        if (window_hooks.close_live_output)
            window_hooks.close_live_output();
        if (window_hooks.close_history)
            window_hooks.close_history();
        fflush(nullptr);
        // End here, without running the exit handlers: workers and the audio callback may still
        // be using the program's globals.
        _exit(0);
    }
    return 1;
}
