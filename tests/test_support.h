// Shared helpers of the test suite: temporary folders, file reading, running the program.
#pragma once

#include <cmath>
#include <functional>
#include <string>
#include <vector>

// A fresh temporary folder, removed with everything in it when the object goes away.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// Sets an environment variable for the lifetime of the object (null value unsets it).
struct ScopedEnv {
    std::string name, old;
    bool had_old;
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
};

// Points XDG_DATA_HOME at a temporary folder for the lifetime of the object and restores it.
struct ScopedDataHome {
    TempDir dir;
    ScopedEnv env{"XDG_DATA_HOME", dir.path.c_str()};
    std::string appdata(const std::string& file) const { return dir.path + "/Brindlewharf/" + file; }
};

std::string read_file(const std::string& path);             // whole file, "" when missing
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);

struct SF_INFO;

// Reads a whole sound file through libsndfile (frames interleaved); fills `info`. A file that
// cannot be read fails the current test and gives an empty vector.
std::vector<float> read_sound_file(const std::string& path, SF_INFO* info);

// Writes interleaved frames through libsndfile in `format` (SF_FORMAT_*); false (and a failure
// of the current test) when the file cannot be written.
bool write_test_sound(const std::string& path, int format, int channels, int rate, const std::vector<float>& frames);

// n samples of amp * sin(2 pi hz i / rate).
std::vector<float> sine_wave(float hz, int n, int rate = 44100, float amp = 0.5f);

// Level in dB of the band lo_hz .. hi_hz in n samples of x at 44100 Hz from `from` (Hann window).
double band_db(const std::vector<float>& x, size_t from, int n, float lo_hz, float hi_hz);

// The same for the band +-4 % around `hz`: how loud a tone is in a sound.
inline double band_db(const std::vector<float>& x, size_t from, int n, float hz)
{
    return band_db(x, from, n, 0.96f * hz, 1.04f * hz);
}

// Correlation of two sample runs over the shorter one's length.
inline double correlation(const std::vector<float>& a, const std::vector<float>& b)
{
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); i++) {
        ab += (double)a[i] * b[i];
        aa += (double)a[i] * a[i];
        bb += (double)b[i] * b[i];
    }
    return ab / std::sqrt(aa * bb + 1e-30);
}

// Whether a program of that name is on the PATH.
bool tool_exists(const char* name);

// Result of running a program to its end.
struct RunResult {
    int status;      // exit status, or 128 + signal
    std::string out; // standard output
    std::string err; // standard error
};

// Runs `argv` (argv[0] is the program path) with extra environment entries "NAME=value",
// without a shell, and waits for it.
RunResult run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// Result of running a function in a child process.
struct ChildResult {
    bool finished; // ended within the time allowed (otherwise it was killed)
    bool ok;       // ended normally and the function returned true
    long peak_mb;  // the child's peak resident memory
};

// Runs `fn` in a forked child and waits for it at most `seconds`, killing it after that: for
// inputs that could hang or take a machine's memory before a fix.
ChildResult run_in_child(const std::function<bool()>& fn, int seconds = 60);
