// Sound documents: a sound file read, brought to the program's sample rate, kept as the
// original sound and analysed into a one-layer spectrogram document.
#pragma once

#include "core/records.h"

#include <cstddef>

struct AnalysisProgress;

// ---------------------------------------------------------------------------------------------
// [SECTION] Display hooks
// ---------------------------------------------------------------------------------------------

// What the window does while a sound is analysed; both null without a window.
struct SoundDisplayHooks {
    void (*view_reset)(ImageStack* image); // gradient colour map and centred view for the new size, before the analysis
    void* (*redraw)(void* image);          // continuous redraw run on its own thread (argument: the ImageStack) until `stop_redraw`;
                                           // with it, the composite first fills with a coarse picture that the analysed rows replace
};

extern SoundDisplayHooks sound_display_hooks; // set by the program at start-up

// ---------------------------------------------------------------------------------------------
// [SECTION] Loading
// ---------------------------------------------------------------------------------------------

// What a loaded sound document holds besides its composite.
enum SoundPlanes : int {
    SOUND_FOR_EDITING = 0,  // everything the editor works with: the layer, the original sound and
                            // analysis, reference, undo, group accumulator and transposed copy
    SOUND_FOR_SAVING = 1,   // the layer, the original sound and analysis (projects, lossless synthesis)
    SOUND_FOR_NOISE = 2,    // the composite and the layer: the sound is released once the analysis has it
};

// Reads the sound at `path` as one channel (channel slots 60 and 62), resamples it to
// SOUND_SAMPLERATE, keeps it as `orig_snd`/`orig_len`/`orig_rate` and analyses it with the
// engine state's analysis settings into a new one-layer document, peak-normalised to 1.0, with
// `reference`, `undo` and `analysed` (`orig_w` x `orig_h`) as copies of the composite.
// `progress` (may be null) follows and can stop the analysis (unfinished rows stay silent);
// `threads` is handed to the analysis (0: CORE_COUNT). `keep` says which planes are made (see
// SoundPlanes). Returns 1 when the document was made.
// A sound that cannot be read, holds no samples, makes no image with the settings, or whose
// analysis needs more memory than is available writes one line naming the file, sets slot 7
// (Open again) and returns 0 with the document and the original sound left as they were.
int load_sound(const char* path, EngineState* es, AnalysisProgress* progress = nullptr, int threads = 0,
               int keep = SOUND_FOR_EDITING);

// The first half of load_sound: reads the sound at `path` and checks that the analysis settings
// make a picture of it that fits in the memory available (`threads` and `keep` as for
// load_sound), touching nothing else. Returns a new buffer of *len samples, or null after one
// line naming the file (slot 7 set).
float* sound_for_document(const char* path, const EngineState* es, int* len, int threads = 0,
                          int keep = SOUND_FOR_EDITING);

// The second half of load_sound: the sound made by sound_for_document (taken over) becomes the
// original sound and is analysed into the new document (`path` names it in warnings).
void sound_to_document(const char* path, float* signal, int len, EngineState* es,
                       AnalysisProgress* progress = nullptr, int threads = 0, int keep = SOUND_FOR_EDITING);

// Reads the sound at `path` as one channel (channel slots 60 and 62) at SOUND_SAMPLERATE.
// Returns a new buffer of *len samples, or null after one line naming the file.
float* read_sound_at_rate(const char* path, int* len);

// Why `len` samples at `rate` Hz cannot be brought to SOUND_SAMPLERATE: the result would be
// longer than a sound the program holds (the synthesised sound's chunks), or the resampling
// would need more memory than is available. Null when it can; otherwise the reason, written
// into `why` (`size` bytes).
const char* resample_fault(long long len, int rate, char* why, size_t size);

// Checks analysis settings {min Hz, max Hz, px/s, transition px/s, bpo, min bpo, scale base}
// against a sound of `len` samples at SOUND_SAMPLERATE. Returns null with the picture size in
// *w and *h, or the reason no picture can be made.
const char* analysis_geometry(int len, const float params[7], int* w, int* h);
