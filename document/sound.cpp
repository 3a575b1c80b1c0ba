// Sound documents: reading, resampling, analysing and installing a sound as the document.
#include "document/sound.h"
#include "core/state.h"
#include "document/image.h"
#include "dsp/analysis.h"
#include "dsp/scale.h"
#include "files/media.h"
#include "platform/util.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

SoundDisplayHooks sound_display_hooks = {nullptr, nullptr};

// ---------------------------------------------------------------------------------------------
// [SECTION] Checks before anything is replaced
// ---------------------------------------------------------------------------------------------

// Why the analysis settings make no image, or null when they are usable.
static const char* settings_fault(float fmin, float fmax, float pps, float bpo, float base)
{
    if (!(fmin > 0.f) || !(fmin < fmax))
        return "the minimum frequency must be above 0 and below the maximum frequency";
    if (!(bpo > 0.f))
        return "the bands per octave must be above 0";
    if (!(pps > 0.f))
        return "the pixels per second must be above 0";
    if (!(base >= 1.f && base <= 2.f))
        return "the frequency scale must lie between 1 and 2";
    return nullptr;
}

// Refuses a sound: one line naming the file, the Open dialog again, the signal released.
static void refuse(const char* path, const char* why, float* signal)
{
    if (why)
        wrfprintf(stderr, "Cannot analyse '%s': %s\n", path, why);
    free(signal);
    key[K_OPEN] = 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Loading
// ---------------------------------------------------------------------------------------------

float* read_sound_at_rate(const char* path, int* len)
{
    int rate = 0;
    *len = 0;
    float* signal = load_raw_sound(path, len, &rate);
    if (!signal)
        return nullptr; // the reader has said why
    if (rate > 0 && rate != SOUND_SAMPLERATE) {
        // The resampler works on whole seconds at the higher of the two rates.
        const long long seconds = ((long long)*len + rate - 1) / rate;
        const char* why = nullptr;
        if (seconds * std::max(rate, SOUND_SAMPLERATE) > INT_MAX) {
            why = "the sound is too long to be resampled";
            free(signal);
            signal = nullptr;
        } else {
            signal = resample_fft(signal, len, rate, SOUND_SAMPLERATE); // takes the signal over
            if (!signal)
                why = "the sound could not be resampled";
            else if (*len < 1)
                why = "no samples are left after resampling";
        }
        if (why) {
            wrfprintf(stderr, "Cannot analyse '%s': %s\n", path, why);
            free(signal);
            return nullptr;
        }
    }
    return signal;
}

const char* analysis_geometry(int len, const float params[7], int* w, int* h)
{
    const float fmin = params[0], fmax = params[1], pps = params[2], bpo = params[4], base = params[6];
    if (const char* why = settings_fault(fmin, fmax, pps, bpo, base))
        return why;
    *h = image_height(fmin, fmax, bpo);
    const float wf = (float)len * (pps / (float)SOUND_SAMPLERATE); // the analysis sizes its columns the same way
    if (!(wf >= 1.f))
        return "the sound is too short to make one column";
    if (*h < 1 || wf * (float)*h > (float)INT_MAX)
        return "the settings make a picture of an impossible size";
    *w = (int)wf;
    return nullptr;
}

float* sound_for_document(const char* path, const EngineState* es, int* len)
{
    // 1. Settings that can make an image.
    const float* p = es->anal_params;
    *len = 0;
    const char* why = settings_fault(p[0], p[1], p[2], p[4], p[6]);
    // 2. One channel at the program's rate.
    float* signal = why ? nullptr : read_sound_at_rate(path, len);
    // 3. The picture size, checked before the current document is released.
    int w = 0, h = 0;
    if (signal)
        why = analysis_geometry(*len, es->anal_params, &w, &h);
    if (!signal || why) {
        refuse(path, why, signal);
        return nullptr;
    }
    return signal;
}

int load_sound(const char* path, EngineState* es, AnalysisProgress* progress, int threads)
{
    int len = 0;
    float* signal = sound_for_document(path, es, &len);
    if (!signal)
        return 0;
    sound_to_document(signal, len, es, progress, threads);
    return 1;
}

void sound_to_document(float* signal, int len, EngineState* es, AnalysisProgress* progress, int threads)
{
    ImageStack* image = es->image;
    const float fmin = es->anal_params[0], fmax = es->anal_params[1], pps = es->anal_params[2];
    const float transition = es->anal_params[3], bpo = es->anal_params[4], min_bpo = es->anal_params[5];
    const float base = es->anal_params[6];
    const int sr = SOUND_SAMPLERATE;
    const float ppsr = pps / (float)sr;
    int w = 0, h = 0;
    analysis_geometry(len, es->anal_params, &w, &h); // checked by sound_for_document

    // 4. The sound becomes the original sound; the old document goes.
    free_image(image, 1);
    free(orig_snd);
    orig_snd = signal;
    orig_len = len;
    orig_rate = sr;

    // 5. The new document's geometry.
    image->src_w = image->w = w;
    image->src_h = image->h = h;
    image->gradient_mode = 1;
    image_view_rect(image);
    if (sound_display_hooks.view_reset)
        sound_display_hooks.view_reset(image);

    // 6. Analysis into the composite, drawn as it fills when there is a window.
    image->composite = static_cast<Plane>(wrcalloc((size_t)h, sizeof(float*)));
    key[K_LOADING] = 1;
    key[K_ANALYSING] = 1;
    ThreadRecord redraw{};
    if (sound_display_hooks.redraw)
        thread_spawn(&redraw, sound_display_hooks.redraw, image);
    int out_w = w;
    anal(image->composite, signal, len, sr, &out_w, h, fmax / (float)sr, ppsr, fmin / (float)sr, bpo, min_bpo,
         transition, base, threads, progress);

    // 7. Redraw stopped; bands an interrupted analysis did not reach stay silent.
    image->stop_redraw = 1;
    thread_wait(&redraw, nullptr);
    image->stop_redraw = 0;
    key[K_ANALYSING] = 0;
    for (int r = 0; r < h; r++)
        if (!filled_row(image->composite, r))
            image->composite[r] = static_cast<float*>(wrcalloc((size_t)w, sizeof(float)));
    normi(image->composite, w, h, 1.f);

    // 8. The one-layer document and its working planes.
    image->view_w = SCRN_W - 60 - image->view_x;
    image->view_h = SCRN_H - image->view_y - MARGIN_Y;
    image->group_acc = plane_alloc(h, w);
    image->transposed = plane_alloc(w, h);
    image_locks_release(image);
    make_single_layer(image);
    key[K_LOADING] = 0;

    // 9. What the erase tools, undo and lossless synthesis start from.
    image->reference = plane_copy(image->composite, h, w);
    image->undo = plane_copy(image->composite, h, w);
    plane_free(&image->analysed, image->orig_h);
    image->analysed = plane_copy(image->composite, h, w);
    image->orig_w = w;
    image->orig_h = h;
}
