// Benchmark of Play Selection: the time from the command to the first sound the audio stream
// plays, for a 10-second selection (1000 columns, 300 rows) of a 571 x 6000 document (a minute
// at the defaults), in noise and lossless synthesis, with the worker count as the argument.
// Target: 150 ms. The document's own synthesis is done first, as it is when the user selects.
// On the shared machine the wall time follows the load; all_threads_cpu_ms is the processor time
// every thread spent up to the first sound, the work itself.
#include "core/records.h"
#include "core/state.h"
#include "document/image.h"
#include "document/selection.h"
#include "dsp/scale.h"
#include "platform/util.h"
#include "sound/live.h"
#include "sound/selection_sound.h"
#include "sound/synthesis.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <cstring>
#include <memory>

namespace {

void run_play_selection(benchmark::State& state, int lossless)
{
    auto image = std::make_unique<ImageStack>();
    auto es = std::make_unique<EngineState>();
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
            image->composite[r][x] = 0.05f * (dblrand() + 1.f) + ((x / 37 + r / 23) % 5 == 0 ? 0.8f : 0.f);
            image->analysed[r][x] = 0.5f + 0.4f * dblrand();
        }
    orig_len = W * 441;
    orig_snd = static_cast<float*>(wrmalloc(sizeof(float) * (size_t)orig_len));
    for (int i = 0; i < orig_len; i++)
        orig_snd[i] = 0.3f * dblrand();
    const float range[4] = {27.5f, 20000.f, 100.f, 2.f};
    memcpy(es->synth_range, range, sizeof range);
    lossless_mode = (uint8_t)lossless;
    synthesise_all(es.get(), lossless, 2);
    selection_box(image.get(), 2500, 150, 3499, 449, SELECTION_FEATHER_DEFAULT, SELECT_REPLACE);

    const int threads = (int)state.range(0);
    int16_t buf[2 * 512];
    double cpu = 0.0; // seconds of processor time of every thread, up to the first sound
    auto process_cpu = [] {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
    };
    for (auto _ : state) {
        const double c0 = process_cpu();
        const auto t0 = std::chrono::steady_clock::now();
        selection_play(es.get(), selection_sound_start(es.get(), threads));
        // The device asks again and again; every millisecond here, so as not to take a core
        // from the workers.
        for (;;) {
            memset(buf, 0, sizeof buf);
            if (stream_sound(es.get(), buf, 512) > 0)
                break;
            wrsleep(1);
        }
        const auto t1 = std::chrono::steady_clock::now();
        cpu += process_cpu() - c0;
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        selection_play_stop();
    }
    state.counters["all_threads_cpu_ms"] = 1e3 * cpu / (double)state.iterations();
    lossless_mode = 0;
    synthesis_release(es.get());
    engine_state_release(es.get());
    image_stack_release(image.get());
    free_null(&orig_snd);
    orig_len = 0;
}

void BM_play_selection_start_10s(benchmark::State& state) { run_play_selection(state, 0); }
void BM_play_selection_start_10s_lossless(benchmark::State& state) { run_play_selection(state, 1); }

} // namespace

BENCHMARK(BM_play_selection_start_10s)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_play_selection_start_10s_lossless)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
