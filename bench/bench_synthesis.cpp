// Benchmarks of block synthesis: a 571 x 6000 picture (a minute at the defaults: 27.5 Hz to
// 20 kHz, 60 bands per octave, 100 px/s, logarithmic), every block, with the worker count as the
// argument. Targets: noise synthesis at most 1.0 s wall with all cores, lossless at most 3 s.
// Lossless synthesis is measured with every pixel edited (the worst case) and unedited (the
// document as analysed, where bands pass without their transforms).
#include "bench_doc.h"
#include "core/records.h"
#include "core/state.h"
#include "document/image.h"
#include "dsp/scale.h"
#include "platform/util.h"
#include "sound/synthesis.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

namespace {

void run_synthesis(benchmark::State& state, int lossless, bool unedited = false)
{
    BenchDoc doc(unedited);
    const int threads = (int)state.range(0);
    synthesise_all(doc.es.get(), lossless, threads); // transform plans exist before the timing
    for (auto _ : state) {
        if (!synthesise_all(doc.es.get(), lossless, threads))
            state.SkipWithError("synthesis failed");
        benchmark::DoNotOptimize(doc.es->norm);
    }
    state.counters["blocks"] = doc.es->block_count;
}

void BM_noise_synthesis_571x6000(benchmark::State& state) { run_synthesis(state, 0); }
void BM_lossless_synthesis_571x6000(benchmark::State& state) { run_synthesis(state, 1); }
void BM_lossless_unedited_571x6000(benchmark::State& state) { run_synthesis(state, 1, true); }

} // namespace

BENCHMARK(BM_noise_synthesis_571x6000)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_lossless_synthesis_571x6000)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_lossless_unedited_571x6000)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
