// Benchmark of the full-band noise table of live synthesis at the defaults (27.5 Hz to 20 kHz,
// 60 bands per octave, logarithmic: 571 rows of 90000 samples), built by the builder thread
// with CORE_COUNT sub-workers as live synthesis builds it. Target: at most 0.6 s wall.
#include "core/records.h"
#include "core/state.h"
#include "dsp/noise_full.h"
#include "dsp/scale.h"
#include "platform/util.h"

#include <benchmark/benchmark.h>

static void BM_noise_full_defaults(benchmark::State& state)
{
    SOUND_SAMPLERATE = 44100;
    const int saved_cores = CORE_COUNT;
    CORE_COUNT = (int)state.range(0);
    ImageStack im{};
    im.h = image_height(27.5f, 20000.f, 60.f);
    im.volume_lock = semaphore_new();
    im.stream_lock = semaphore_new();
    EngineState es{};
    es.image = &im;
    noise_full_set_params(&es, 27.5f, 20000.f, 2.f);
    wrsrand(3);

    // The first build creates the transform plan; the timed builds find it ready.
    auto build = [&] {
        mutex_to_1(im.volume_lock);
        mutex_to_1(im.stream_lock);
        key[K_NOISE_INIT] = 1;
        return init_noise_array_full_bw_threaded(&es);
    };
    build();
    for (auto _ : state)
        benchmark::DoNotOptimize(build());

    state.counters["rows"] = im.h;
    state.counters["samples"] = es.noise_full_len;
    free_null(&es.noise_full);
    free_null(&es.noise_rms);
    semaphore_free(im.volume_lock);
    semaphore_free(im.stream_lock);
    CORE_COUNT = saved_cores;
}
BENCHMARK(BM_noise_full_defaults)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
