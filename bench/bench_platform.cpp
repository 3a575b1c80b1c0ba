// Benchmarks of the platform layer: the random generator feeds every noise table, and the
// allocation wrappers sit under every plane.
#include "platform/util.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

static void BM_dblrand(benchmark::State& state)
{
    wrsrand(1);
    float sum = 0.f;
    for (auto _ : state)
        sum += dblrand();
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_dblrand);

static void BM_alloc_enough2_growth(benchmark::State& state)
{
    for (auto _ : state) {
        float* buf = nullptr;
        int cap = 0;
        for (int n = 1; n <= state.range(0); n++)
            cap = alloc_enough2(&buf, n, cap, sizeof(float), 1.5);
        benchmark::DoNotOptimize(buf);
        free(buf);
    }
}
BENCHMARK(BM_alloc_enough2_growth)->Arg(1 << 16);

static void BM_lock_round_trip(benchmark::State& state)
{
    sem_t* s = semaphore_new();
    for (auto _ : state) {
        mutex_to_1(s);
        mutex_to_0(s);
    }
    semaphore_free(s);
}
BENCHMARK(BM_lock_round_trip);
