// Sound documents: reading, resampling, analysing and installing a sound as the document.
#include "document/sound.h"
#include "core/limits.h"
#include "core/state.h"
#include "document/image.h"
#include "dsp/analysis.h"
#include "dsp/scale.h"
#include "files/media.h"
#include "platform/util.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

SoundDisplayHooks sound_display_hooks = {nullptr, nullptr};

// ---------------------------------------------------------------------------------------------
// [SECTION] Checks before anything is replaced
// ---------------------------------------------------------------------------------------------

// Why the analysis settings {min Hz, max Hz, px/s, transition px/s, bpo, min bpo, scale base}
// make no image, or null when they are usable. The text lives until the next call on this thread.
static const char* settings_fault(const float params[7])
{
    static const Setting ranges[7] = {SETTING_FREQUENCY, SETTING_FREQUENCY, SETTING_PPS, SETTING_PPS,
                                      SETTING_BPO,       SETTING_BPO,       SETTING_BASE};
    thread_local char why[200];
    for (int i = 0; i < 7; i++)
        if (setting_fault(ranges[i], params[i], why, sizeof why))
            return why;
    if (!(params[0] < params[1]))
        return "the minimum frequency must be below the maximum frequency";
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
        char why[200];
        if (resample_fault(*len, rate, why, sizeof why)) {
            wrfprintf(stderr, "Cannot analyse '%s': %s\n", path, why);
            free(signal);
            return nullptr;
        }
        signal = resample_fft(signal, len, rate, SOUND_SAMPLERATE); // takes the signal over
        const char* fault = !signal ? "the sound could not be resampled"
                            : *len < 1 ? "no samples are left after resampling" : nullptr;
        if (fault) {
            wrfprintf(stderr, "Cannot analyse '%s': %s\n", path, fault);
            free(signal);
            return nullptr;
        }
    }
    return signal;
}

const char* resample_fault(long long len, int rate, char* why, size_t size)
{
    const long long most = (long long)SOUND_CHUNK_MAX * SOUND_CHUNK_LEN - 1;
    const double out = std::nearbyint((double)SOUND_SAMPLERATE * ((double)len / (double)rate));
    if (out > (double)most) {
        snprintf(why, size, "%lld samples at %d Hz would be %.0f samples at %d Hz, above the largest supported, %lld",
                 len, rate, out, SOUND_SAMPLERATE, most);
        return why;
    }
    // The sound, its padded transform and the transform at the new rate, with the transforms'
    // working and planning buffers.
    const double bytes = sizeof(float) * ((double)len + 3.0 * ((double)len + 4096.0) + 3.0 * out);
    return memory_refused(bytes, "resampling the sound", why, size) ? why : nullptr;
}

const char* analysis_geometry(int len, const float params[7], int* w, int* h)
{
    const float fmin = params[0], fmax = params[1], pps = params[2], bpo = params[4];
    if (const char* why = settings_fault(params))
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

float* sound_for_document(const char* path, const EngineState* es, int* len, int threads, int keep)
{
    const bool editing = keep == SOUND_FOR_EDITING, saving = keep != SOUND_FOR_NOISE;
    *len = 0;

    // 1. Settings that can make an image.
    const float fmin = es->anal_params[0], fmax = es->anal_params[1], pps = es->anal_params[2];
    const float base = es->anal_params[6];
    if (const char* why = settings_fault(es->anal_params)) {
        refuse(path, why, nullptr);
        return nullptr;
    }

    // 2. One channel at the program's rate.
    float* signal = read_sound_at_rate(path, len);
    if (!signal) {
        refuse(path, nullptr, nullptr);
        return nullptr;
    }
    const int sr = SOUND_SAMPLERATE;

    // 3. The picture size and the memory, checked before the current document is released.
    const float ppsr = pps / (float)sr;
    int w = 0, h = 0;
    if (const char* why = analysis_geometry(*len, es->anal_params, &w, &h)) {
        refuse(path, why, signal);
        return nullptr;
    }
    // The analysis's own memory, or the planes of the document it becomes, whichever is more
    // (the analysis has released its spectrum before the planes are copied); the sound itself
    // is held already. The document being replaced is not counted as free.
    const double plane = sizeof(float) * (double)w * h;
    // With a window, the coarse first picture is held beside the analysis until it ends.
    const double coarse = sound_display_hooks.redraw && h > 1 ? plane : 0.0;
    const double needed = std::max(anal_memory(*len, h, fmin / (float)sr, fmax / (float)sr, ppsr, base,
                                               threads > 0 ? threads : CORE_COUNT) + coarse,
                                   plane * (editing ? 7 : saving ? 3 : 2));
    char why[200], what[160];
    snprintf(what, sizeof what, "analysing %.0f s of sound into %d x %d pixels", (double)*len / sr, w, h);
    if (memory_refused(needed, what, why, sizeof why)) {
        refuse(path, why, signal);
        return nullptr;
    }
    return signal;
}

int load_sound(const char* path, EngineState* es, AnalysisProgress* progress, int threads, int keep)
{
    int len = 0;
    float* signal = sound_for_document(path, es, &len, threads, keep);
    if (!signal)
        return 0;
    sound_to_document(path, signal, len, es, progress, threads, keep);
    return 1;
}

void sound_to_document(const char* path, float* signal, int len, EngineState* es, AnalysisProgress* progress,
                       int threads, int keep)
{
    const bool editing = keep == SOUND_FOR_EDITING, saving = keep != SOUND_FOR_NOISE;
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

    // 6. Analysis into the composite, drawn as it fills when there is a window. A window is
    // shown a coarse picture of the whole sound first, its rows drawn as they come (the
    // whole-sound transform alone keeps the first analysed row of a long sound waiting for a
    // third of a second); the analysed rows replace them as they finish.
    image->composite = static_cast<Plane>(wrcalloc((size_t)h, sizeof(float*)));
    key[K_LOADING] = 1;
    key[K_ANALYSING] = 1;
    ThreadRecord redraw{};
    if (sound_display_hooks.redraw)
        thread_spawn(&redraw, sound_display_hooks.redraw, image);
    Plane coarse = nullptr; // the coarse rows, freed once nothing draws them
    if (sound_display_hooks.redraw && h > 1 &&
        anal_coarse(image->composite, signal, len, sr, h, fmax / (float)sr, ppsr, fmin / (float)sr, bpo, min_bpo,
                    transition, base, threads)) {
        coarse = static_cast<Plane>(wrmalloc(sizeof(float*) * (size_t)h));
        memcpy(coarse, image->composite, sizeof(float*) * (size_t)h);
    }
    int out_w = w;
    // Without a use for the original sound, the analysis releases it once it has its own copy.
    anal(image->composite, signal, len, sr, &out_w, h, fmax / (float)sr, ppsr, fmin / (float)sr, bpo, min_bpo,
         transition, base, threads, progress, saving ? nullptr : &orig_snd);
    if (!orig_snd)
        orig_len = 0;

    // 7. Redraw stopped; bands an interrupted analysis did not reach stay silent, coarse rows
    // included: nothing of the coarse picture stays in the document. Its rows are freed only
    // now that no redraw reads them.
    image->stop_redraw = 1;
    thread_wait(&redraw, nullptr);
    image->stop_redraw = 0;
    key[K_ANALYSING] = 0;
    for (int r = 0; r < h; r++)
        if (!filled_row(image->composite, r) || (coarse && image->composite[r] == coarse[r]))
            image->composite[r] = static_cast<float*>(wrcalloc((size_t)w, sizeof(float)));
    plane_free(&coarse, h);
    if (const long long bad = plane_nonfinite(image->composite, w, h, true))
        wrfprintf(stderr, "Warning: '%s': %lld values of the analysis were not numbers and are silent\n", path, bad);
    normi(image->composite, w, h, 1.f);

    // 8. The one-layer document and its working planes.
    image->view_w = SCRN_W - 60 - image->view_x;
    image->view_h = SCRN_H - image->view_y - MARGIN_Y;
    if (editing) {
        image->group_acc = plane_alloc(h, w);
        image->transposed = plane_alloc(w, h);
    }
    image_locks_release(image);
    make_single_layer(image);
    key[K_LOADING] = 0;

    // 9. What the erase tools, undo and lossless synthesis start from.
    if (editing) {
        image->reference = plane_copy(image->composite, h, w);
        image->undo = plane_copy(image->composite, h, w);
    }
    plane_free(&image->analysed, image->orig_h);
    image->analysed = saving ? plane_copy(image->composite, h, w) : nullptr;
    image->orig_w = saving ? w : 0;
    image->orig_h = saving ? h : 0;
}
