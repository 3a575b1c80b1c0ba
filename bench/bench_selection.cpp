// Benchmark of Play Selection: the time from the command to the first sound the audio stream
// plays, for a 10-second selection (1000 columns, 300 rows) of a 571 x 6000 document (a minute
// at the defaults), in noise and lossless synthesis, with the worker count as the argument.
// Target: 150 ms. The document's own synthesis is done first, as it is when the user selects.
// On the shared machine the wall time follows the load; all_threads_cpu_ms is the processor time
// every thread spent up to the first sound, the work itself.
#include "bench_doc.h"
#include "core/records.h"
#include "core/state.h"
#include "document/selection.h"
#include "platform/util.h"
#include "sound/live.h"
#include "sound/selection_sound.h"
#include "sound/synthesis.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <cstring>

namespace {

void run_play_selection(benchmark::State& state, int lossless)
{
    BenchDoc doc;
    EngineState* es = doc.es.get();
    ImageStack* image = doc.image.get();
    lossless_mode = (uint8_t)lossless;
    synthesise_all(es, lossless, 2);
    selection_box(image, 2500, 150, 3499, 449, SELECTION_FEATHER_DEFAULT, SELECT_REPLACE);

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
        SelectionSound* sound = selection_sound_start(es, threads);
        if (!sound) {
            state.SkipWithError("the selection could not be played");
            break;
        }
        selection_play(es, sound);
        // The device asks again and again; every millisecond here, so as not to take a core
        // from the workers.
        for (;;) {
            memset(buf, 0, sizeof buf);
            if (stream_sound(es, buf, 512) > 0)
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
}

void BM_play_selection_start_10s(benchmark::State& state) { run_play_selection(state, 0); }
void BM_play_selection_start_10s_lossless(benchmark::State& state) { run_play_selection(state, 1); }

} // namespace

BENCHMARK(BM_play_selection_start_10s)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_play_selection_start_10s_lossless)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
