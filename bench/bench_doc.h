// The document the synthesis benchmarks share: 571 x 6000 pixels (a minute at the defaults: 27.5 Hz
// to 20 kHz, 60 bands per octave, 100 px/s, logarithmic) with a busy picture, and a minute of
// original sound behind it.
#pragma once

#include "core/records.h"
#include "core/state.h"
#include "document/image.h"
#include "dsp/scale.h"
#include "platform/util.h"
#include "sound/synthesis.h"

#include <memory>

// A document of the default size with a busy picture, and a minute of original sound behind it.
struct BenchDoc {
    std::unique_ptr<ImageStack> image = std::make_unique<ImageStack>();
    std::unique_ptr<EngineState> es = std::make_unique<EngineState>();

    explicit BenchDoc(bool unedited = false)
    {
        image_stack_init(image.get());
        engine_state_init(es.get(), image.get());
        const int W = 6000, H = image_height(27.5f, 20000.f, 60.f);
        image->w = image->orig_w = W;
        image->h = image->orig_h = H;
        image->composite = plane_alloc(H, W);
        image->analysed = plane_alloc(H, W);
        wrsrand(5);
        for (int r = 0; r < H; r++)
            for (int x = 0; x < W; x++) {
                // Strokes and a noisy floor: no band is empty.
                const float v = 0.05f * (dblrand() + 1.f) + ((x / 37 + r / 23) % 5 == 0 ? 0.8f : 0.f);
                image->composite[r][x] = v;
                image->analysed[r][x] = 0.5f + 0.4f * dblrand();
            }
        if (unedited)
            plane_copy_into(image->composite, image->analysed, H, W);
        orig_len = W * 441;
        orig_snd = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)orig_len));
        for (int i = 0; i < orig_len; i++)
            orig_snd[i] = 0.3f * dblrand();
        const float range[4] = {27.5f, 20000.f, 100.f, 2.f};
        for (int j = 0; j < 4; j++)
            es->synth_range[j] = range[j];
    }
    ~BenchDoc()
    {
        synthesis_release(es.get());
        engine_state_release(es.get());
        image_stack_release(image.get());
        free_null(&orig_snd);
        orig_len = 0;
    }
};
