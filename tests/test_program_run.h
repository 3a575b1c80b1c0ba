// Shared helpers of the tests that run the real program's batch commands on real files.
#pragma once

#include "files/npy.h"
#include "platform/util.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

inline const std::string DEMO = std::string(BW_SOURCE_DIR) + "/examples/demo.wav";

// Runs the program's batch commands with a private data folder, writing into `out`.
struct ProgramRun : testing::Test {
    ScopedDataHome home;
    TempDir out;
    // `brindlewharf COMMAND ARGS... [--quiet]`.
    RunResult run(const char* command, std::vector<std::string> args, bool quiet = true)
    {
        args.insert(args.begin(), {BW_PROGRAM, command});
        if (quiet)
            args.push_back("--quiet");
        return run_program(args, {"XDG_DATA_HOME=" + home.dir.path});
    }
    // The same under an address-space limit of `kb` kilobytes (ulimit -v), as on a machine
    // with that much memory.
    RunResult run_limited(long kb, const char* command, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"/bin/sh", "-c", "ulimit -v " + std::to_string(kb) + " && exec \"$@\"", "sh",
                                   BW_PROGRAM, command});
        args.push_back("--quiet");
        return run_program(args, {"XDG_DATA_HOME=" + home.dir.path});
    }
    // Writes `name` in `out`: `frames` frames of 440 Hz in every channel, through libsndfile.
    std::string tone_file(const std::string& name, int format, int rate, int channels, int frames)
    {
        const std::vector<float> tone = sine_wave(440.f, frames, rate);
        std::vector<float> data((size_t)frames * channels);
        for (size_t i = 0; i < data.size(); i++)
            data[i] = tone[i / channels];
        write_test_sound(out.file(name), format, channels, rate, data);
        return out.file(name);
    }
    // The float image of a .npy file, row after row; empty when it cannot be read.
    static std::vector<float> npy(const std::string& path, int* w, int* h)
    {
        Plane rows = load_npy(path.c_str(), w, h);
        std::vector<float> v;
        if (!rows)
            return v;
        for (int r = 0; r < *h; r++)
            v.insert(v.end(), rows[r], rows[r] + *w);
        free2d(rows, *h);
        return v;
    }
};

// The row of a .npy analysis with the largest sum.
inline int brightest_row(const std::vector<float>& v, int w, int h)
{
    std::vector<double> sums((size_t)h);
    for (int r = 0; r < h; r++)
        for (int c = 0; c < w; c++)
            sums[(size_t)r] += v[(size_t)r * w + c];
    return (int)(std::max_element(sums.begin(), sums.end()) - sums.begin());
}
