// Benchmarks of the spectrogram view: a 571 x 6000 document (a minute at the defaults) shown
// whole in the view of a 1392 x 780 window (the automatic size on a 1440 x 900 desktop) with the
// full panel below it. Targets:
// - a smooth redraw (Force Smooth, the tent filter over all 6000 columns): at most 16 ms;
// - a nearest redraw (the fast flag of the continuous redraw): at most 5 ms.
// Both go through image_redraw: render, swap `display`, copy into the frame buffer.
// - one frame of a Select box drag (the box made again over the whole document, and the nearest
//   redraw that shows it tinted): at most 16 ms.
#include "core/state.h"
#include "display/view.h"
#include "document/selection.h"
#include "document/image.h"
#include "platform/util.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

struct BenchView {
    std::unique_ptr<ImageStack> image = std::make_unique<ImageStack>();
    std::unique_ptr<EngineState> es = std::make_unique<EngineState>();
    std::vector<uint32_t> fb;
    std::atomic<int32_t> dirty{0};
    static constexpr int W = 6000, H = 571;

    BenchView()
    {
        SCRN_W = 1392;
        SCRN_H = 780;
        MARGIN_Y = 280;
        WAVEFORM_H = 55;
        CORE_COUNT = std::max(core_count() - 1, 1); // as the program sets it
        image_stack_init(image.get());
        es->image = image.get();
        wrsrand(5);
        Plane p = plane_alloc(H, W);
        for (int r = 0; r < H; r++)
            for (int x = 0; x < W; x++) // strokes over a noisy floor
                p[r][x] = 0.05f * (dblrand() + 1.1f) + ((x / 37 + r / 23) % 5 == 0 ? 0.8f : 0.f);
        image_from_plane(image.get(), p, W, H, "bench");
        image->gradient_mode = 1;
        image_view_rect(image.get());
        fb.assign((size_t)SCRN_W * SCRN_H, 0);
        image->screen = fb.data();
        image->screen_dirty = &dirty;
        view_reset(image.get());
    }
    ~BenchView()
    {
        image->screen = nullptr;
        image_stack_release(image.get());
    }
};

void BM_view_redraw_smooth(benchmark::State& state)
{
    BenchView v;
    key[state_of(K_SMOOTH_DISPLAY)] = 1;
    for (auto _ : state)
        image_redraw(v.es.get(), 0);
    key[state_of(K_SMOOTH_DISPLAY)] = 0;
    state.counters["view_w"] = v.image->view_w;
    state.counters["view_h"] = v.image->view_h;
}
BENCHMARK(BM_view_redraw_smooth)->Unit(benchmark::kMillisecond);

void BM_view_redraw_nearest(benchmark::State& state)
{
    BenchView v;
    for (auto _ : state)
        image_redraw(v.es.get(), 1);
}
BENCHMARK(BM_view_redraw_nearest)->Unit(benchmark::kMillisecond);

void BM_select_box_frame(benchmark::State& state)
{
    BenchView v;
    int k = 0;
    for (auto _ : state) {
        k = (k + 1) % 100;
        selection_box(v.image.get(), 1000, 100, 3000 + 10 * k, 300, SELECTION_FEATHER_DEFAULT, SELECT_REPLACE);
        image_redraw(v.es.get(), 1);
    }
}
BENCHMARK(BM_select_box_frame)->Unit(benchmark::kMillisecond);

} // namespace
