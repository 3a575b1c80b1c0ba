// Benchmarks of the spectral analysis: a minute of sound at the default settings (27.5 Hz to
// 20 kHz, 60 bands per octave, 100 px/s, logarithmic: 571 rows x 6000 columns), with the thread
// count as the argument. Target: at most 0.4 s wall with 2 threads. Also the wait for the first
// finished rows of a 5-minute song, which the editor shows while the analysis goes on, and the
// editor's open of the same song to its first picture (target: first rows on screen within
// 100 ms of the open, in a fresh process).
#include "core/records.h"
#include "core/state.h"
#include "display/view.h"
#include "document/image.h"
#include "document/sound.h"
#include "dsp/analysis.h"
#include "dsp/fftf.h"
#include "dsp/scale.h"
#include "platform/util.h"
#include "sound/writer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <unistd.h>
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

// What the user of the editor waits for, from a fresh process (run it alone:
// --benchmark_filter=open_first_rows_cold): the open of a 5-minute song file, from the start of
// its reading to the first picture of it worked out for the view (the view's colour scale and
// resampling of the rows there are, as the editor's analysis redraw does before it presents
// the frame), and to the first analysed row; the analysis is stopped there. The window's
// redraw thread is stood in for by one that draws as soon as rows appear. Also the part spent
// reading and checking the file (to the view's reset), and the process's CPU time to both.
namespace {
// CPU time of the whole process so far, in ms.
double process_cpu_ms()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

struct OpenWatch {
    std::chrono::steady_clock::time_point start;
    double start_cpu_ms = 0, shown_cpu_ms = 0, read_cpu_ms = 0;
    std::atomic<int64_t> read_ns{0}, shown_ns{0}, exact_ns{0};
    int64_t since_start() const
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    }
};
OpenWatch open_watch;

void* draw_when_rows_appear(void* arg)
{
    ImageStack* image = static_cast<ImageStack*>(arg);
    while (!image->stop_redraw && open_watch.shown_ns.load() == 0) {
        bool any = false;
        for (int r = 0; r < image->h && !any; r++)
            any = filled_row(image->composite, r) != nullptr;
        if (any) {
            uint8_t* pic = resize_image_gradient_generic_zoom(image->composite, image->w, image->h, 964, 488, 1);
            free(pic);
            open_watch.shown_cpu_ms = process_cpu_ms() - open_watch.start_cpu_ms;
            open_watch.shown_ns = open_watch.since_start();
        } else {
            wrsleep(1);
        }
    }
    while (!image->stop_redraw)
        wrsleep(1);
    return nullptr;
}

// The view is reset once the sound is read and checked, just before its analysis.
void note_read(ImageStack* image)
{
    open_watch.read_cpu_ms = process_cpu_ms() - open_watch.start_cpu_ms;
    open_watch.read_ns = open_watch.since_start();
    view_reset(image);
}

void note_first_analysed_row(AnalysisProgress* progress, void*)
{
    if (progress->rows_done.load() >= 1 && open_watch.exact_ns.load() == 0) {
        open_watch.exact_ns = open_watch.since_start();
        progress->stop = 1;
    }
}
} // namespace

static void BM_open_first_rows(benchmark::State& state)
{
    // The song as a 16-bit WAV file, as the editor would be given it.
    char path[] = "/tmp/brindlewharf-bench-XXXXXX.wav";
    const int fd = mkstemps(path, 4);
    if (fd < 0) {
        state.SkipWithError("no temporary file");
        return;
    }
    close(fd);
    {
        std::vector<float> snd = make_sound(300);
        std::vector<float*> chunks;
        for (size_t at = 0; at < snd.size(); at += SOUND_CHUNK_LEN)
            chunks.push_back(snd.data() + at);
        if (!write_sound_file(path, chunks.data(), (int)snd.size(), 1.f, 0)) {
            state.SkipWithError("the song could not be written");
            return;
        }
    }
    auto image = std::make_unique<ImageStack>();
    auto es = std::make_unique<EngineState>();
    image_stack_init(image.get());
    engine_state_init(es.get(), image.get());
    const float params[7] = {27.5f, 20000.f, 100.f, 100.f, 60.f, 24.f, 2.f};
    memcpy(es->anal_params, params, sizeof params);
    sound_display_hooks = {note_read, draw_when_rows_appear};

    double read_ms = 0, shown_ms = 0, exact_ms = 0, read_cpu_ms = 0, shown_cpu_ms = 0;
    for (auto _ : state) {
        AnalysisProgress progress;
        progress.tick = note_first_analysed_row;
        open_watch.shown_ns = open_watch.exact_ns = 0;
        open_watch.start = std::chrono::steady_clock::now();
        open_watch.start_cpu_ms = process_cpu_ms();
        load_sound(path, es.get(), &progress, 0, SOUND_FOR_EDITING);
        shown_ms += (double)open_watch.shown_ns.load() / 1e6;
        shown_cpu_ms += open_watch.shown_cpu_ms;
        read_ms += (double)open_watch.read_ns.load() / 1e6;
        read_cpu_ms += open_watch.read_cpu_ms;
        exact_ms += (double)open_watch.exact_ns.load() / 1e6;
    }
    sound_display_hooks = {nullptr, nullptr};
    state.counters["shown_ms"] = benchmark::Counter(shown_ms, benchmark::Counter::kAvgIterations);
    state.counters["first_row_ms"] = benchmark::Counter(exact_ms, benchmark::Counter::kAvgIterations);
    state.counters["shown_cpu_ms"] = benchmark::Counter(shown_cpu_ms, benchmark::Counter::kAvgIterations);
    state.counters["read_ms"] = benchmark::Counter(read_ms, benchmark::Counter::kAvgIterations);
    state.counters["read_cpu_ms"] = benchmark::Counter(read_cpu_ms, benchmark::Counter::kAvgIterations);
    engine_state_release(es.get());
    image_stack_release(image.get());
    free_null(&orig_snd);
    remove(path);
}
BENCHMARK(BM_open_first_rows)->Name("open_first_rows_cold")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
