// Every writer of a user's file replaces it whole: a write that fails part-way (here a file-size
// limit, which fails writes as a full disk does) leaves the old file as it was and nothing else
// behind; a write that succeeds replaces it and keeps its permissions.
#include "core/state.h"
#include "files/config.h"
#include "files/media.h"
#include "files/npy.h"
#include "history/archive.h"
#include "platform/util.h"
#include "sound/live.h"
#include "sound/writer.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

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
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(0.f, 1.f);
    std::vector<float> noise((size_t)W * H);
    std::generate(noise.begin(), noise.end(), [&] { return u(rng); });
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
