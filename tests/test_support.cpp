// Shared helpers of the test suite.
#include "test_support.h"
#include "dsp/fftf.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

// Sanitizer settings of the test binary: huge allocations return null (the allocation wrappers
// are tested on them) and the first race or error ends the run.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:detect_leaks=1"; }
// Leaks that are the libraries' own, not ours. The SDL 1.2 compatibility layer never frees the
// window surfaces it makes (neither on a second SDL_SetVideoMode nor in SDL_Quit); SDL is built
// without frame pointers, so the reports only show its modules. libsndfile's Ogg Vorbis reader
// leaves the codec's set-up behind on a stream with broken headers (see fuzz/lsan.supp).
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:SDL_SetVideoMode\nleak:libSDL-1.2.so\nleak:libSDL2-2.0.so\nleak:vorbis_info_init\n";
}
extern "C" const char* __tsan_default_options() { return "halt_on_error=1"; }
extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1"; }

// Neither the tests nor the programs they start may reach a real display, audio device or dialog.
static const bool quiet_environment = [] {
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    return true;
}();

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "bwtest.XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

ScopedEnv::ScopedEnv(const char* n, const char* value) : name(n)
{
    const char* v = getenv(n);
    had_old = v != nullptr;
    old = v ? v : "";
    if (value)
        setenv(n, value, 1);
    else
        unsetenv(n);
}

ScopedEnv::~ScopedEnv()
{
    if (had_old)
        setenv(name.c_str(), old.c_str(), 1);
    else
        unsetenv(name.c_str());
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

bool file_exists(const std::string& path)
{
    return std::filesystem::exists(path);
}

std::vector<float> read_sound_file(const std::string& path, SF_INFO* info)
{
    *info = SF_INFO{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, info);
    EXPECT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    if (!f)
        return {};
    std::vector<float> data((size_t)info->frames * info->channels);
    sf_readf_float(f, data.data(), info->frames);
    sf_close(f);
    return data;
}

bool write_test_sound(const std::string& path, int format, int channels, int rate, const std::vector<float>& frames)
{
    SF_INFO info{0, rate, channels, format, 0, 0};
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    if (!f)
        return false;
    const sf_count_t n = (sf_count_t)frames.size() / channels;
    const bool ok = sf_writef_float(f, frames.data(), n) == n;
    sf_close(f);
    return ok;
}

std::vector<float> sine_wave(float hz, int n, int rate, float amp)
{
    std::vector<float> v((size_t)n);
    for (int i = 0; i < n; i++)
        v[(size_t)i] = amp * sinf(2.f * 3.14159265f * hz * (float)i / (float)rate);
    return v;
}

double band_db(const std::vector<float>& x, size_t from, int n, float lo_hz, float hi_hz)
{
    std::vector<float> w((size_t)n);
    for (int i = 0; i < n; i++)
        w[(size_t)i] = x[from + (size_t)i] * (0.5f - 0.5f * cosf(2.f * 3.14159265f * (float)i / (float)n));
    fftf(w.data(), w.data(), n, FFT_FORWARD);
    double e = 1e-30;
    for (int k = std::max((int)(lo_hz * n / 44100.f), 1); k <= std::min((int)(hi_hz * n / 44100.f), (n - 1) / 2); k++)
        e += (double)w[(size_t)k] * w[(size_t)k] + (double)w[(size_t)(n - k)] * w[(size_t)(n - k)];
    return 10 * std::log10(e);
}

bool tool_exists(const char* name)
{
    const std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

RunResult run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    TempDir tmp;
    std::string out_path = tmp.file("out"), err_path = tmp.file("err");

    std::vector<std::string> envs;
    for (char** e = environ; *e; e++)
        envs.push_back(*e);
    for (const std::string& add : env) {
        std::string name = add.substr(0, add.find('='));
        std::erase_if(envs, [&](const std::string& s) { return s.compare(0, name.size() + 1, name + "=") == 0; });
        envs.push_back(add);
    }
    std::vector<char*> cargv, cenv;
    for (const std::string& a : argv)
        cargv.push_back(const_cast<char*>(a.c_str()));
    for (std::string& e : envs)
        cenv.push_back(e.data());
    cargv.push_back(nullptr);
    cenv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    int rc = posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return {127, "", std::string("spawn failed: ") + strerror(rc)};
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_file(out_path), read_file(err_path)};
}

ChildResult run_in_child(const std::function<bool()>& fn, int seconds)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn() ? 0 : 1);
    ChildResult r{false, false, 0};
    if (pid < 0)
        return r;
    int status = 0;
    struct rusage ru{};
    // Polls for the child's end, 10 ms at a time, up to the bound.
    for (long waited = 0; waited <= seconds * 1000L; waited += 10) {
        if (wait4(pid, &status, WNOHANG, &ru) == pid) {
            r.finished = true;
            break;
        }
        usleep(10000);
    }
    if (!r.finished) {
        kill(pid, SIGKILL);
        wait4(pid, &status, 0, &ru);
    }
    r.ok = r.finished && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.peak_mb = ru.ru_maxrss / 1024;
    return r;
}
