// Benchmarks of the spectral analysis: a minute of sound at the default settings (27.5 Hz to
// 20 kHz, 60 bands per octave, 100 px/s, logarithmic: 571 rows x 6000 columns), with the thread
// count as the argument. Target: at most 0.4 s wall with 2 threads. Also the wait for the first
// finished rows of a 5-minute song, which the editor shows while the analysis goes on (target:
// first rows on screen within 100 ms; the editor's analysis redraw adds at most one 30 ms period
// and one view redraw to the figure measured here).
#include "core/state.h"
#include "dsp/analysis.h"
#include "dsp/fftf.h"
#include "dsp/scale.h"
#include "platform/util.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <vector>

// `seconds` of noise under two gliding tones: every band has something to analyse.
static std::vector<float> make_sound(int seconds)
{
    std::vector<float> v((size_t)seconds * 44100);
    wrsrand(11);
    double phase = 0;
    for (size_t j = 0; j < v.size(); j++) {
        double t = (double)j / 44100;
        phase += 2 * M_PI * (200 + 3000 * t / seconds) / 44100;
        v[j] = 0.05f * dblrand() + 0.3f * (float)sin(phase) + 0.2f * (float)sin(2 * M_PI * 5000 * t);
    }
    return v;
}

static const std::vector<float>& minute_of_sound()
{
    static std::vector<float> snd = make_sound(60);
    return snd;
}

static void BM_anal_minute_defaults(benchmark::State& state)
{
    const std::vector<float>& snd = minute_of_sound();
    const int threads = (int)state.range(0);
    const int H = image_height(27.5f, 20000.f, 60.f);
    std::vector<float*> rows((size_t)H, nullptr);
    int w = 0;
    // One run first, so that the transform plans already exist when the timing starts.
    anal(rows.data(), snd.data(), (int)snd.size(), 44100, &w, H, 20000.f / 44100, 100.f / 44100, 27.5f / 44100,
         60.f, 24.f, 100.f, 2.f, threads);
    for (float*& r : rows)
        free_null(&r);

    for (auto _ : state) {
        int ok = anal(rows.data(), snd.data(), (int)snd.size(), 44100, &w, H, 20000.f / 44100, 100.f / 44100,
                      27.5f / 44100, 60.f, 24.f, 100.f, 2.f, threads);
        normi(rows.data(), w, H, 1.f);
        benchmark::DoNotOptimize(ok);
        state.PauseTiming();
        for (float*& r : rows)
            free_null(&r);
        state.ResumeTiming();
    }
    state.counters["rows"] = H;
    state.counters["columns"] = w;
}
BENCHMARK(BM_anal_minute_defaults)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

// Time from the start of the analysis of a 5-minute song (571 rows x 30000 columns) to its first
// finished row, which is the earliest the editor can show anything; the analysis is stopped there.
static std::atomic<int64_t> first_row_ns{0};
static std::chrono::steady_clock::time_point anal_start;

static void note_first_row(AnalysisProgress* progress, void*)
{
    if (progress->rows_done.load() >= 1 && first_row_ns.load() == 0) {
        first_row_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - anal_start).count();
        progress->stop = 1;
    }
}

static void BM_anal_five_minutes_first_row(benchmark::State& state)
{
    static const std::vector<float> snd = make_sound(300);
    const int H = image_height(27.5f, 20000.f, 60.f);
    std::vector<float*> rows((size_t)H, nullptr);
    int w = 0;
    double total_ms = 0;
    for (auto _ : state) {
        AnalysisProgress progress;
        progress.tick = note_first_row;
        first_row_ns = 0;
        anal_start = std::chrono::steady_clock::now();
        anal(rows.data(), snd.data(), (int)snd.size(), 44100, &w, H, 20000.f / 44100, 100.f / 44100, 27.5f / 44100,
             60.f, 24.f, 100.f, 2.f, 2, &progress);
        total_ms += (double)first_row_ns.load() / 1e6;
        state.PauseTiming();
        for (float*& r : rows)
            free_null(&r);
        state.ResumeTiming();
    }
    state.counters["first_row_ms"] = benchmark::Counter(total_ms, benchmark::Counter::kAvgIterations);
    state.counters["columns"] = w;
}
BENCHMARK(BM_anal_five_minutes_first_row)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
// The same once in a fresh process (run it alone: --benchmark_filter=first_row_cold), as the
// editor meets it when it opens a song first thing: no transform is planned yet.
BENCHMARK(BM_anal_five_minutes_first_row)->Name("first_row_cold")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
