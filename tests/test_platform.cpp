// Platform layer: threads, locks, allocation, logging, random numbers.
#include "core/state.h"
#include "files/config.h"
#include "files/media.h"
#include "files/npy.h"
#include "history/archive.h"
#include "sound/live.h"
#include "sound/writer.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Random generator
// ---------------------------------------------------------------------------------------------

// The generator state before `st` (the multiplier is odd, so it has an inverse modulo 2^32).
static uint32_t previous_state(uint32_t st)
{
    uint32_t inv = 214013u; // Newton iteration doubles the correct low bits each step
    for (int i = 0; i < 5; i++)
        inv *= 2u - 214013u * inv;
    return (st - 2531011u) * inv;
}

// The known sequence after seed 0; a seed repeats its sequence; rand_u32 packs three values;
// dblrand stays in [-1, 1) even at its extremes.
TEST(Random, KnownSequenceRepeatsPacksAndStaysInRange)
{
    wrsrand(0);
    EXPECT_EQ(std::vector<int>({wrrand(), wrrand(), wrrand()}), std::vector<int>({38, 7719, 21238}));
    wrsrand(7);
    const uint32_t a = wrrand(), b = wrrand(), c = wrrand();
    for (int i = 0; i < 2; i++) {
        wrsrand(7);
        EXPECT_EQ(rand_u32(), (a << 30) | (b << 15) | c);
    }

    // The largest packed values (a & 3 == 3, b == 32767, c near 32767) would round up to 1.0 in
    // single precision; the smallest (a & 3 == 0, b == 0, c small) give -1 or just above, never
    // less. Build such states: pick the middle state, then step the generator back.
    for (bool top : {true, false}) {
        int tried = 0;
        for (uint32_t low = 0; low < (1u << 17); low++) {
            uint32_t s2 = (top ? 0x7fffu << 16 : 0u) | (low & 0xffffu) | ((low >> 16) << 31);
            uint32_t c = ((s2 * 214013u + 2531011u) >> 16) & 0x7fff, s1 = previous_state(s2);
            if ((top ? c < 0x7fc0 : c >= 0x40) || ((s1 >> 16) & 3) != (top ? 3u : 0u))
                continue;
            wrsrand(previous_state(s1));
            const float v = dblrand();
            EXPECT_TRUE(top ? v < 1.f && v > 0.9999f : v >= -1.f && v < -0.9999f) << v;
            tried++;
        }
        EXPECT_GT(tried, 0) << top;
    }
}

// ---------------------------------------------------------------------------------------------
// Allocation
// ---------------------------------------------------------------------------------------------

// alloc_enough2 grows by its factor, zeroes the new elements and keeps an absurd size out;
// wrmalloc retries, then stirs the heap.
TEST(Alloc, AllocEnoughGrowsAndWrmallocRetriesThenStirsTheHeap)
{
    int* buf = static_cast<int*>(wrmalloc(4 * sizeof(int)));
    for (int i = 0; i < 4; i++)
        buf[i] = 100 + i;
    ASSERT_EQ(alloc_enough2(&buf, 10, 4, sizeof(int), 1.5), 15);
    EXPECT_EQ(std::vector<int>(buf, buf + 15), std::vector<int>({100, 101, 102, 103, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    int* before = buf; // enough room already: nothing changes
    EXPECT_TRUE(alloc_enough2(&buf, 15, 15, sizeof(int), 1.5) == 15 && buf == before);
    free(buf);

    double* d = nullptr;
    EXPECT_EQ(alloc_enough2(&d, 3, 0, sizeof(double), 2.0), 6);
    EXPECT_EQ(std::vector<double>(d, d + 6), std::vector<double>(6, 0.0));
    double* kept = d; // a size that cannot be represented keeps the old buffer and count
    EXPECT_TRUE(alloc_enough2(&d, 2000000000, 6, sizeof(double), 4.0) == 6 && d == kept);
    free(d);

    // wrmalloc after five failures: the fifth retry succeeds; after eleven: all ten retries fail
    // and the heap is stirred.
    static int failures_left; // calls of the system allocator still to fail
    for (auto [failures, mb, said] : {std::tuple{5, 3, "succeded to allocate 3 MB after 5 extra attempts"},
                                      {11, 1, "succeded to allocate 1 MB after allocating 32 chunks then with 1 extra attempts"}}) {
        auto saved = wr_system_malloc;
        wr_system_malloc = [](size_t size) { return failures_left-- > 0 ? nullptr : malloc(size); };
        failures_left = failures;
        testing::internal::CaptureStderr();
        void* p = wrmalloc((size_t)mb << 20);
        std::string err = testing::internal::GetCapturedStderr();
        wr_system_malloc = saved;
        ASSERT_NE(p, nullptr);
        free(p);
        EXPECT_NE(err.find(said), std::string::npos) << err;
    }
}

TEST(AllocDeathTest, AbsurdSizeEndsWithOutOfMemoryAlert)
{
    // The alert is answered from a script (the death test's child makes its own copy of it)
    // and its text reaches the error stream.
    TempDir dir;
    std::string script = dir.file("answers");
    write_file(script, "ok\n");
    ScopedEnv s("BRINDLEWHARF_DIALOG_SCRIPT", script.c_str());
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(wrmalloc(SIZE_MAX / 2), testing::ExitedWithCode(1),
                "ultimately failed to allocate(.|\n)*Out of memory: Error: Brindlewharf cannot allocate more memory");
    // A machine out of memory: no block of a page or more can be had, so the heap stirring's
    // own chunks fail too. That ends the same way, never in stirring within stirring until the
    // stack is gone.
    EXPECT_EXIT(
        {
            wr_system_malloc = [](size_t size) { return size < 4096 ? malloc(size) : nullptr; };
            wrmalloc((size_t)1 << 20);
        },
        testing::ExitedWithCode(1), "ultimately failed to allocate 1 MB");
}

// ---------------------------------------------------------------------------------------------
// Threads and locks
// ---------------------------------------------------------------------------------------------

// Threads spawned and waited for return their result and clear their flag; the lock keeps their
// counts whole and holds off a second taker while it is held.
TEST(Threads, SpawnWaitReturnsResultClearsFlagAndLocksExclude)
{
    ThreadRecord never{}; // waiting on a record never started returns at once
    EXPECT_EQ(thread_wait(&never, nullptr), 0);
    sem_t* lock = semaphore_new();
    long counter = 0;
    std::pair<sem_t*, long*> shared{lock, &counter};
    ThreadRecord recs[4]{};
    const auto add_under_lock = [](void* arg) -> void* {
        auto* shared = static_cast<std::pair<sem_t*, long*>*>(arg);
        for (int i = 0; i < 20000; i++) {
            LockGuard g(shared->first);
            (*shared->second)++;
        }
        return arg;
    };
    for (auto& r : recs)
        EXPECT_TRUE(thread_spawn(&r, add_under_lock, &shared) == 0 && r.joinable == 1);
    for (auto& r : recs) {
        void* result = nullptr;
        EXPECT_TRUE(thread_wait(&r, &result) == 0 && result == &shared && r.joinable == 0);
        EXPECT_EQ(thread_wait(&r, nullptr), 0); // a second wait is harmless
    }
    EXPECT_EQ(counter, 4 * 20000);

    // A second taker waits while the lock is held.
    mutex_to_1(lock);
    std::atomic<int> got{0};
    ThreadRecord rec{};
    std::pair<sem_t*, std::atomic<int>*> other(lock, &got);
    thread_spawn(&rec, [](void* a) -> void* {
        auto* pair = static_cast<std::pair<sem_t*, std::atomic<int>*>*>(a);
        mutex_to_1(pair->first);
        pair->second->store(1);
        mutex_to_0(pair->first);
        return nullptr;
    }, &other);
    // The other thread cannot get the lock while we hold it.
    for (int i = 0; i < 20; i++) {
        wrsleep(1);
        ASSERT_EQ(got.load(), 0);
    }
    mutex_to_0(lock);
    thread_wait(&rec, nullptr); // it takes the lock now and ends
    EXPECT_EQ(got.load(), 1);
    semaphore_free(lock);
}

// ---------------------------------------------------------------------------------------------
// Logging, resource files
// ---------------------------------------------------------------------------------------------

TEST(Files, RelativePathsAreTakenUnderTheResourceFolder)
{
    TempDir res;
    write_file(res.file("thing.txt"), "x");
    ScopedEnv e("BRINDLEWHARF_RESOURCES", res.path.c_str());
    find_resources(nullptr);
    EXPECT_EQ(std::string(respath), res.path);
    for (const std::string& name : {std::string("thing.txt"), res.file("thing.txt")}) { // absolute paths stay as they are
        FILE* f = wrfopen(name.c_str(), "r");
        ASSERT_NE(f, nullptr) << name;
        fclose(f);
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(wrfopen("missing.png", "r"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "File not found: " + res.path + "/missing.png\n");
}

// Every writer of a user's file replaces it whole: a write that fails part-way (here a file-size
// limit, which fails writes as a full disk does) leaves the old file as it was and nothing else
// behind; a write that succeeds replaces it and keeps its permissions.
// The names in `folder`.
static std::set<std::string> names_in(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.insert(e.path().filename());
    return names;
}

TEST(ReplacingFile, AFailedWriteKeepsTheOldFileAndASuccessfulOneReplacesIt)
{
    ScopedDataHome home;
    TempDir dir;
    state_reset();
    settings_defaults();

    // A picture of noise (no encoder shrinks it below the limit) and its sound.
    constexpr int W = 200, H = 120;
    std::vector<float> noise((size_t)W * H);
    wrsrand(7);
    for (float& v : noise)
        v = (float)dblrand();
    std::vector<float*> plane;
    for (int r = 0; r < H; r++)
        plane.push_back(&noise[(size_t)r * W]);
    std::vector<float> samples = sine_wave(440.f, 44100);
    float* chunks[1] = {samples.data()};
    ASSERT_EQ(write_sound_file(dir.file("left.wav").c_str(), chunks, (int)samples.size(), 1.f, 0), 1);
    std::string lines = "Brindlewharf Archive v1.2\n";
    for (int i = 0; i < 2000; i++)
        lines += "Undo\n";
    write_file(dir.file("history.kbz"), lines);
    history_path = strdup(dir.file("history.kbz").c_str());
    std::filesystem::create_directories(home.dir.path + "/Brindlewharf");

    // Each file and its writer, which reports success.
    const std::vector<std::pair<std::string, std::function<bool(const char*)>>> cases = {
        {dir.file("p.bmp"), [&](const char* p) { return save_image(plane.data(), W, H, p) == 0; }},
        {dir.file("p.png"), [&](const char* p) { return save_image_png(plane.data(), W, H, p) == 0; }},
        {dir.file("p.npy"), [&](const char* p) { return save_npy(p, plane.data(), W, H) == 1; }},
        {dir.file("s.flac"), [&](const char* p) { return write_sound_file(p, chunks, (int)samples.size(), 1.f, 1) == 1; }},
        {dir.file("m.wav"), [&](const char* p) { return mix_to_stereo(dir.file("left.wav").c_str(), dir.file("left.wav").c_str(), p) == 1; }},
        {dir.file("h.kbz"), [&](const char* p) { return save_archive_history(p) == 0; }},
        {home.appdata("config.txt"), [&](const char*) {
             config_save(1);
             return read_file(home.appdata("config.txt")).find("audio_sample_rate") != std::string::npos;
         }},
    };
    for (const auto& [path, write] : cases) {
        const std::string folder = std::filesystem::path(path).parent_path();
        write_file(path, "the old file\n");
        chmod(path.c_str(), 0604);
        const std::set<std::string> before = names_in(folder);

        // In a child that may not write past 256 bytes of any file (SIGXFSZ ignored, so the
        // write fails with EFBIG as on a full disk): the writer must end normally, reporting failure.
        testing::internal::CaptureStderr();
        EXPECT_TRUE(run_in_child([&] {
                        signal(SIGXFSZ, SIG_IGN);
                        const rlimit r = {256, 256};
                        return setrlimit(RLIMIT_FSIZE, &r) == 0 && !write(path.c_str());
                    }).ok) << path;
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(read_file(path), "the old file\n") << path;
        EXPECT_EQ(names_in(folder), before) << path;

        ASSERT_TRUE(write(path.c_str())) << path;
        EXPECT_GT(read_file(path).size(), 256u) << path;
        EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0604)) << path;
        EXPECT_EQ(names_in(folder), before) << path;
    }
    free_null(&history_path);
}
