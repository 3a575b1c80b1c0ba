// The audio device on the media layer.
#include "sound/device.h"

#include "core/records.h"
#include "core/state.h"
#include "dsp/scale.h"
#include "platform/util.h"
#include "sound/live.h"

#include <SDL.h>

#include <algorithm>
#include <cstdint>

static int device_open = 0;     // a device is open
static int audio_started_here = 0; // sound_init started the media layer's audio part
static EngineState* device_es = nullptr; // the engine state sound_init set up

// The low 32 bits of a pointer, as the layout report prints it.
static uint32_t low32(const void* p) { return (uint32_t)(uintptr_t)p; }

int audio_spec_report(const SDL_AudioSpec* wanted, const SDL_AudioSpec* obtained)
{
    int differ = 0;
    auto line = [&differ](const char* field, const char* fmt, unsigned a, unsigned b) {
        if (a == b)
            return;
        differ++;
        char text[160];
        snprintf(text, sizeof text, fmt, field, a, b);
        wrfprintf(stdout, "%s", text);
    };
    const char* dec = "Error: sdlaudioformat.%s\t> wanted : %6d\tobtained : %6d\n";
    const char* hex = "Error: sdlaudioformat.%s\t> wanted : %6x\tobtained : %6x\n";
    line("freq", dec, (unsigned)wanted->freq, (unsigned)obtained->freq);
    line("format", hex, wanted->format, obtained->format);
    line("channels", dec, wanted->channels, obtained->channels);
    line("samples", dec, wanted->samples, obtained->samples);
    line("callback", hex, low32((const void*)wanted->callback), low32((const void*)obtained->callback));
    line("userdata", hex, low32(wanted->userdata), low32(obtained->userdata));
    return differ;
}

int sound_init(EngineState* es, ImageStack* image)
{
    device_es = es;
    engine_state_init(es, image);
    es->paused.store(1);
    es->norm = 0.f;
    es->volume = 1.f;
    bmsq_lut();
    live_install_hooks();

    if (!SDL_WasInit(SDL_INIT_AUDIO)) {
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0) {
            user_notice("Unable to open audio: %s (the editor goes on without sound)", SDL_GetError());
            return 0;
        }
        audio_started_here = 1;
    }
    SDL_AudioSpec wanted{};
    wanted.freq = SOUND_SAMPLERATE;
    wanted.format = AUDIO_S16LSB;
    wanted.channels = 2;
    wanted.samples = (Uint16)std::clamp(SOUND_BUFFERLEN, 16, 32768);
    wanted.callback = audio_callback;
    wanted.userdata = es;
    SDL_AudioSpec request = wanted, obtained{};
    if (SDL_OpenAudio(&wanted, &obtained) < 0) {
        user_notice("Unable to open audio: %s (the editor goes on without sound)", SDL_GetError());
        return 0;
    }
    if (audio_spec_report(&request, &obtained) &&
        (obtained.freq != request.freq || obtained.format != request.format ||
         obtained.channels != request.channels)) {
        // The stream writes the requested layout: let the media layer convert it.
        SDL_CloseAudio();
        wanted = request;
        if (SDL_OpenAudio(&wanted, nullptr) < 0) {
            user_notice("Unable to open audio: %s (the editor goes on without sound)", SDL_GetError());
            return 0;
        }
    }
    device_open = 1;
    SDL_PauseAudio(0);
    return 1;
}

void sound_start()
{
    if (device_open)
        SDL_PauseAudio(0);
}

void sound_stop()
{
    if (!device_open)
        return;
    SDL_PauseAudio(1);
    audio_callback_idle();
}

void sound_close()
{
    live_output_close();
    if (device_open) {
        SDL_CloseAudio();
        device_open = 0;
    }
    if (audio_started_here) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        audio_started_here = 0;
    }
    live_release(device_es);
    device_es = nullptr;
}

int sound_device_open() { return device_open; }
