// Benchmarks of the document on a 571 x 6000 picture (a minute at the defaults: 27.5 Hz to
// 20 kHz, 60 bands per octave, 100 px/s, logarithmic). Targets:
// - compositing 8 layers of the point-wise modes through process_layers: at most 30 ms;
// - each of the propagation and convolution modes (9..13) with a dense upper layer (a kernel
//   non-zero everywhere) over a dense layer, through process_layers: at most 2 s;
// - a painting stroke of 1000 points with 100 harmonics and a 20-pixel brush at zoom 1
//   (radii 20 * 0.5 * 3 = 30 document pixels) through paint_point_abs: at most 0.5 s;
// - Undo or Redo of a stroke, with the recomposite: at most 5 ms; of a whole-layer operation:
//   at most 30 ms. The memory of 100 strokes and of 20 whole-layer operations is reported.
#include "core/records.h"
#include "core/state.h"
#include "document/composite.h"
#include "document/image.h"
#include "document/operations.h"
#include "document/paint.h"
#include "document/undo.h"
#include "dsp/scale.h"
#include "platform/util.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

namespace {

// A one-layer document of the default size with a busy picture.
struct BenchDoc {
    std::unique_ptr<ImageStack> image = std::make_unique<ImageStack>();
    std::unique_ptr<EngineState> es = std::make_unique<EngineState>();
    int W = 6000, H = 0;

    BenchDoc()
    {
        image_stack_init(image.get());
        engine_state_init(es.get(), image.get());
        es->anal_params[0] = 27.5f;
        es->anal_params[1] = 20000.f;
        es->anal_params[2] = 100.f;
        es->anal_params[6] = 2.f;
        H = image_height(27.5f, 20000.f, 60.f);
        wrsrand(5);
        Plane p = plane_alloc(H, W);
        for (int r = 0; r < H; r++)
            for (int x = 0; x < W; x++) // strokes and a noisy floor: no pixel is zero
                p[r][x] = 0.05f * (dblrand() + 1.1f) + ((x / 37 + r / 23) % 5 == 0 ? 0.8f : 0.f);
        if (!image_from_plane(image.get(), p, W, H, "bench"))
            H = 0;
    }
    ~BenchDoc()
    {
        engine_state_release(es.get());
        image_stack_release(image.get());
    }
    // Adds a layer above the others with `mode`, its centre in the middle, filled by fill(r, x).
    template <class Fill> void add_layer(int mode, Fill fill)
    {
        Layer* l = &image->layers[image->count++];
        l->plane = plane_alloc(H, W);
        for (int r = 0; r < H; r++)
            for (int x = 0; x < W; x++)
                l->plane[r][x] = fill(r, x);
        l->name = string_assign("bench");
        l->gamma = 1.f;
        l->blend = mode;
        l->conv_x = W / 2;
        l->conv_y = H / 2;
    }
};

void BM_composite_8_pointwise_layers_571x6000(benchmark::State& state)
{
    BenchDoc doc;
    if (!doc.H) {
        state.SkipWithError("no document");
        return;
    }
    // Addition at the bottom, then multiplication, division, reverse division, subtraction,
    // reverse subtraction, difference, maximum.
    const int modes[7] = {1, 2, 3, 4, 5, 6, 8};
    for (int i = 0; i < 7; i++)
        doc.add_layer(modes[i], [i](int r, int x) { return 0.5f + 0.1f * (float)((r * 7 + x * 3 + i) % 11); });
    for (auto _ : state) {
        process_layers(doc.es.get());
        benchmark::DoNotOptimize(doc.image->composite[0][0]);
    }
}

void BM_dense_kernel_571x6000(benchmark::State& state)
{
    BenchDoc doc;
    if (!doc.H) {
        state.SkipWithError("no document");
        return;
    }
    const int mode = (int)state.range(0);
    const int W = doc.W, H = doc.H;
    doc.add_layer(mode, [W, H](int r, int x) {
        // A kernel that falls off from its centre but is non-zero everywhere.
        const float dx = (float)(x - W / 2) / (float)W, dy = (float)(r - H / 2) / (float)H;
        return 1e-3f + expf(-40.f * (dx * dx + dy * dy)) * (1.f + 0.3f * dblrand());
    });
    state.SetLabel(blending_name[mode]);
    for (auto _ : state) {
        process_layers(doc.es.get());
        benchmark::DoNotOptimize(doc.image->composite[0][0]);
    }
}

void BM_paint_stroke_1000_points_100_harmonics(benchmark::State& state)
{
    BenchDoc doc;
    if (!doc.H) {
        state.SkipWithError("no document");
        return;
    }
    // Low in the picture, where all 100 harmonics lie inside it: the most painting per point.
    const float rad = 20.f * 0.5f * 3.f;
    const float y0 = (float)doc.H - 60.f;
    for (auto _ : state) {
        for (int i = 0; i < 1000; i++) {
            const float x = 1000.f + 2.f * (float)i, y = y0 + 10.f * sinf((float)i * 0.01f);
            paint_point_abs(doc.es.get(), 100, 0, 1, i == 0, x, y, rad, rad, 0.5f);
        }
        benchmark::DoNotOptimize(doc.image->layers[0].plane[0][0]);
    }
}

// A stroke of 20 points over 40 columns with the 30-pixel brush, closed as the editor closes it.
void stroke(BenchDoc& doc, float x0, float y0)
{
    const float rad = 20.f * 0.5f * 3.f;
    for (int i = 0; i < 20; i++)
        paint_point_abs(doc.es.get(), 0, 0, 1, i == 0, x0 + 2.f * (float)i, y0 + 5.f * sinf((float)i * 0.3f), rad,
                        rad, 0.5f);
    undo_commit(doc.image.get(), "Stroke");
}

// Alternate Undo and Redo of the last step, each followed by the recomposite the view makes
// (argument 1) or alone (argument 0).
void undo_redo_loop(benchmark::State& state, BenchDoc& doc)
{
    int direction = -1;
    state.SetLabel(state.range(0) ? "with the recomposite" : "the step alone");
    for (auto _ : state) {
        if (!undo_step(doc.es.get(), direction)) {
            state.SkipWithError("no step");
            return;
        }
        if (state.range(0))
            process_layers(doc.es.get());
        benchmark::DoNotOptimize(doc.image->composite[0][0]);
        direction = -direction;
    }
}

void BM_undo_redo_stroke_571x6000(benchmark::State& state)
{
    BenchDoc doc;
    if (!doc.H) {
        state.SkipWithError("no document");
        return;
    }
    stroke(doc, 3000.f, (float)doc.H / 2);
    undo_redo_loop(state, doc);
}

void BM_undo_redo_whole_layer_operation_571x6000(benchmark::State& state)
{
    BenchDoc doc;
    if (!doc.H) {
        state.SkipWithError("no document");
        return;
    }
    key[80] = 1; // square root
    layer_operations(doc.es.get());
    undo_redo_loop(state, doc);
}

// The memory the steps hold (budget lifted): 100 strokes, or 20 whole-layer operations.
void BM_undo_memory_571x6000(benchmark::State& state)
{
    const int strokes = state.range(0) == 0;
    const int saved = UNDO_MEMORY_MB;
    UNDO_MEMORY_MB = 1 << 16;
    for (auto _ : state) {
        BenchDoc doc;
        if (!doc.H) {
            state.SkipWithError("no document");
            break;
        }
        for (int i = 0; i < (strokes ? 100 : 20); i++) {
            if (strokes) {
                stroke(doc, 100.f + 55.f * (float)i, (float)(37 * i % doc.H));
            } else {
                key[i % 2 ? 80 : K_INVERT] = 1; // square root and invert in turn
                layer_operations(doc.es.get());
            }
        }
        state.counters["steps"] = undo_available(doc.image.get(), -1);
        state.counters["MiB"] = (double)undo_bytes(doc.image.get()) / (1 << 20);
        state.counters["MiB_per_step"] = state.counters["MiB"] / state.counters["steps"];
    }
    UNDO_MEMORY_MB = saved;
    state.SetLabel(strokes ? "100 strokes" : "20 whole-layer operations");
}

} // namespace

BENCHMARK(BM_composite_8_pointwise_layers_571x6000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);
BENCHMARK(BM_dense_kernel_571x6000)->DenseRange(9, 13)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_paint_stroke_1000_points_100_harmonics)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_undo_redo_stroke_571x6000)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(40);
BENCHMARK(BM_undo_redo_whole_layer_operation_571x6000)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(20);
BENCHMARK(BM_undo_memory_571x6000)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
