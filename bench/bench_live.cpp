// Benchmarks of live synthesis through the audio callback on a document of the default height
// (27.5 Hz to 20 kHz, 60 bands per octave: 571 rows) with the full-band noise table built:
// - the time to fill one 2048-frame buffer (target: at most 2 ms);
// - a simulated live playback (one 2048-frame buffer every 46 ms of wall time) while a painting
//   stroke runs on the painting thread and the stroke's compositing refreshes `transposed`,
//   counting the buffers that took longer than their own duration (underruns). It runs for
//   BENCH_LIVE_SECONDS seconds (60 for the full minute), 5 s when the variable is not set.
#include "core/records.h"
#include "core/state.h"
#include "document/composite.h"
#include "document/hooks.h"
#include "document/image.h"
#include "document/paint.h"
#include "dsp/noise_full.h"
#include "dsp/scale.h"
#include "platform/util.h"
#include "sound/live.h"
#include "sound/synthesis.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// [SECTION] Live document
// ---------------------------------------------------------------------------------------------

constexpr int LIVE_FRAMES = 2048; // frames per callback buffer
constexpr int LIVE_W = 1000;      // columns: 10 s at the default 100 px/s

// A document of LIVE_W columns at the default height with every row lit (random levels), live
// synthesis on and its table built, playing in a loop.
struct LiveDocument {
    std::unique_ptr<ImageStack> image = std::make_unique<ImageStack>();
    std::unique_ptr<EngineState> es = std::make_unique<EngineState>();
    bool ok = false;
    std::string why = "document not made"; // what went wrong when !ok

    LiveDocument()
    {
        state_reset();
        settings_defaults();
        image_stack_init(image.get());
        engine_state_init(es.get(), image.get());
        live_stream_reset(es.get());

        const int H = image_height(es->synth_range[0], es->synth_range[1], 60.f);
        Plane p = plane_alloc(H, LIVE_W);
        wrsrand(7);
        for (int r = 0; r < H; r++)
            for (int x = 0; x < LIVE_W; x++)
                p[r][x] = (float)(wrrand() % 1000) / 1000.f;
        if (image_from_plane(image.get(), p, LIVE_W, H, "bench") != 1)
            return;
        live_install_hooks();
        key[state_of(K_LIVE_SYNTH)] = 1;
        live_synthesis_switch(es.get());
        live_table_wait();
        calc_max_vol_live_wait();
        key[state_of(K_LOOP)] = 1;
        es->play_pos = 0;
        es->paused = 0;
        ok = es->noise_full && es->noise_param_i[1] == H && image->h == H;
        why = "table rows " + std::to_string(es->noise_param_i[1]) + ", image rows " + std::to_string(image->h) +
              ", wanted " + std::to_string(H) + (es->noise_full ? "" : ", no table");
    }
    ~LiveDocument()
    {
        paint_queue_wait_idle(10000);
        // Switching live synthesis off drops the table and forgets what it was built for, so
        // that the next document builds its own.
        key[state_of(K_LIVE_SYNTH)] = 0;
        live_synthesis_switch(es.get());
        end_sound_threads(es.get());
        noise_full_level_hook = nullptr;
        document_hooks = DocumentHooks{};
        synthesis_release(es.get());
        engine_state_release(es.get());
        image_stack_release(image.get());
        state_reset();
        settings_defaults();
    }

    // One buffer through the callback; returns its duration in seconds.
    double fill(int16_t* buf)
    {
        const auto t0 = std::chrono::steady_clock::now();
        audio_callback(es.get(), reinterpret_cast<uint8_t*>(buf), LIVE_FRAMES * 4);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
};

// The playback length: BENCH_LIVE_SECONDS when set to a positive number, else 5 s.
double live_seconds()
{
    const char* s = getenv("BENCH_LIVE_SECONDS");
    const double v = s ? atof(s) : 0.0;
    return v > 0.0 ? v : 5.0;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Benchmarks
// ---------------------------------------------------------------------------------------------

void BM_live_callback_fill(benchmark::State& state)
{
    LiveDocument doc;
    if (!doc.ok) {
        state.SkipWithError(("live document: " + doc.why).c_str());
        return;
    }
    std::vector<int16_t> buf(2 * LIVE_FRAMES);
    doc.fill(buf.data()); // the first buffer loads the column buffer
    double worst = 0.0;
    for (auto _ : state) {
        worst = std::max(worst, doc.fill(buf.data()));
        benchmark::DoNotOptimize(buf.data());
    }
    state.counters["rows"] = doc.image->h;
    state.counters["worst_ms"] = worst * 1e3;
    state.counters["buffer_ms"] = 1e3 * LIVE_FRAMES / SOUND_SAMPLERATE;
}
BENCHMARK(BM_live_callback_fill)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_live_playback_while_painting(benchmark::State& state)
{
    LiveDocument doc;
    if (!doc.ok) {
        state.SkipWithError(("live document: " + doc.why).c_str());
        return;
    }
    EngineState* es = doc.es.get();
    const double seconds = live_seconds();
    const double buffer_s = (double)LIVE_FRAMES / SOUND_SAMPLERATE;
    std::vector<int16_t> buf(2 * LIVE_FRAMES);

    for (auto _ : state) {
        std::atomic<int> stop{0};
        std::atomic<long> points{0};
        // The painting side: a stroke sweeping the document, a point every 2 ms painted by the
        // painting thread, and the stroke's compositing every 40 ms as the view redraw does it.
        key[K_STROKE] = 1;
        std::thread stroke([&] {
            auto next_composite = std::chrono::steady_clock::now();
            for (long i = 0; !stop.load(); i++) {
                const float x = (float)(i % (LIVE_W * 4)) / 4.f;
                const float y = 100.f + 80.f * std::sin((float)i * 0.01f);
                if (paint_point_queue(es, x, y, 3.f, 6.f, 0.3f, 1, 0, 0, i == 0, 0))
                    points++;
                paint_point_queue(es, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1);
                if (std::chrono::steady_clock::now() >= next_composite) {
                    process_layers(es);
                    next_composite += std::chrono::milliseconds(40);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });

        // The device side: a buffer every 46 ms, each call timed.
        std::vector<double> calls;
        const auto start = std::chrono::steady_clock::now();
        auto tick = start;
        while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < seconds) {
            calls.push_back(doc.fill(buf.data()));
            tick += std::chrono::milliseconds(46);
            std::this_thread::sleep_until(tick);
        }
        stop = 1;
        stroke.join();
        key[K_STROKE] = 0;
        calc_max_vol_live_wait();

        std::sort(calls.begin(), calls.end());
        double sum = 0.0;
        for (double c : calls)
            sum += c;
        const long underruns = std::count_if(calls.begin(), calls.end(), [&](double c) { return c > buffer_s; });
        state.counters["seconds"] = seconds;
        state.counters["calls"] = (double)calls.size();
        state.counters["underruns"] = (double)underruns;
        state.counters["mean_ms"] = calls.empty() ? 0.0 : 1e3 * sum / (double)calls.size();
        state.counters["p99_ms"] = calls.empty() ? 0.0 : 1e3 * calls[(calls.size() * 99) / 100];
        state.counters["max_ms"] = calls.empty() ? 0.0 : 1e3 * calls.back();
        state.counters["points"] = (double)points.load();
    }
}
BENCHMARK(BM_live_playback_while_painting)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
