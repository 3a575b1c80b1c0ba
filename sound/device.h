// The audio device: the one place that calls the media layer's audio functions. It pulls
// interleaved signed 16-bit stereo buffers from audio_callback (sound/live.h). Without a device
// the editor goes on silent.
#pragma once

#include "core/records.h"

struct SDL_AudioSpec;

// Initialises the engine state for `image`, builds `lut`, installs the live-synthesis hooks, then
// opens the audio device (SOUND_SAMPLERATE Hz, signed 16-bit little-endian stereo,
// SOUND_BUFFERLEN frames per callback, audio_callback with the engine state) and starts it. A
// device that grants another layout is reported field by field; one with another rate, format or
// channel count is opened again with the media layer converting. Returns 1 with a device, 0 after
// one line on standard error when there is none.
int sound_init(EngineState* es, ImageStack* image);

// Lets the device pull buffers again after sound_stop (nothing without a device).
void sound_start();

// Stops the device pulling buffers; returns once the callback has finished its buffer.
void sound_stop();

// Shutdown: closes the live output file, then the device (the callback has ended when it returns),
// then frees the live-synthesis memory of the engine state sound_init was given.
void sound_close();

// 1 while a device is open.
int sound_device_open();

// Writes to standard output one "Error: sdlaudioformat.<field>\t> wanted : ...\tobtained : ..."
// line for each field of `obtained` that differs from `wanted` (frequency, format, channels,
// samples, callback, user data; the last two as 32-bit values). Returns how many differ.
int audio_spec_report(const SDL_AudioSpec* wanted, const SDL_AudioSpec* obtained);
