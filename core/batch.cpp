// Batch commands: option parsing, progress on standard error, and the commands themselves.
#include "core/batch.h"
#include "core/state.h"
#include "document/sound.h"
#include "dsp/analysis.h"
#include "files/config.h"
#include "files/media.h"
#include "files/npy.h"
#include "platform/util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Options
// ---------------------------------------------------------------------------------------------

// One option of a batch command: a flag, or a number stored into a float.
struct BatchOption {
    const char* name;  // "--min-frequency"
    float* value;      // where a number goes; null for a flag
    bool* flag;        // set when the flag is given; null for a number
};

// Parses argv[first..] into `options`, the one input and the "-o" output. Returns false with
// a usage message on stderr for unknown options, missing values or text that is not a number.
static bool parse_options(const char* command, int argc, char** argv, int first, std::vector<BatchOption>& options,
                          std::string* input, std::string* output)
{
    for (int i = first; i < argc; i++) {
        const char* arg = argv[i];
        if (strcmp(arg, "-o") == 0 || strcmp(arg, "--output") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "brindlewharf %s: %s needs a file name\n", command, arg);
                return false;
            }
            *output = argv[++i];
            continue;
        }
        if (arg[0] == '-' && arg[1] != 0) {
            BatchOption* found = nullptr;
            for (BatchOption& o : options)
                if (strcmp(arg, o.name) == 0)
                    found = &o;
            if (!found) {
                fprintf(stderr, "brindlewharf %s: unknown option %s (see brindlewharf --help)\n", command, arg);
                return false;
            }
            if (found->flag) {
                *found->flag = true;
                continue;
            }
            if (i + 1 >= argc) {
                fprintf(stderr, "brindlewharf %s: %s needs a value\n", command, arg);
                return false;
            }
            const char* text = argv[++i];
            char* end;
            double v = strtod(text, &end);
            if (end == text || *end || !std::isfinite(v)) {
                fprintf(stderr, "brindlewharf %s: %s takes a number, not \"%s\"\n", command, arg, text);
                return false;
            }
            *found->value = (float)v;
            continue;
        }
        if (!input->empty()) {
            fprintf(stderr, "brindlewharf %s: one input file only (\"%s\" and \"%s\")\n", command, input->c_str(), arg);
            return false;
        }
        *input = arg;
    }
    if (input->empty() || output->empty()) {
        fprintf(stderr, "brindlewharf %s: needs an input file and -o OUTPUT\n", command);
        return false;
    }
    return true;
}

// The lower-cased extension of a path's file name ("" when none).
static std::string extension_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return "";
    std::string ext = path.substr(dot + 1);
    for (char& c : ext)
        c = (char)tolower((unsigned char)c);
    return ext;
}

// Checks before long work that the output's folder exists; one line naming the file if not.
static bool output_folder_ok(const std::string& out)
{
    size_t slash = out.rfind('/');
    std::string dir = slash == std::string::npos ? "." : out.substr(0, slash ? slash : 1);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "%s: cannot be written: the folder %s does not exist\n", out.c_str(), dir.c_str());
        return false;
    }
    if (access(dir.c_str(), W_OK) != 0) {
        fprintf(stderr, "%s: cannot be written: the folder %s is not writable\n", out.c_str(), dir.c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Progress
// ---------------------------------------------------------------------------------------------

// A progress bar on standard error, drawn only on a terminal and never more than 20 times a second.
struct ProgressBar {
    const char* label;
    int total;
    bool shown;
    std::chrono::steady_clock::time_point last;
};

// Redraws the bar at `done` of `total`.
static void progress_draw(ProgressBar* bar, int done, bool final)
{
    if (!bar->shown || bar->total <= 0)
        return;
    auto now = std::chrono::steady_clock::now();
    if (!final && now - bar->last < std::chrono::milliseconds(50))
        return;
    bar->last = now;
    const int width = 40;
    int filled = (int)((long long)done * width / bar->total);
    fprintf(stderr, "\r%s [%.*s%*s] %3d%%", bar->label, filled, "########################################",
            width - filled, "", (int)((long long)done * 100 / bar->total));
    if (final)
        fprintf(stderr, "\r%*s\r", width + (int)strlen(bar->label) + 10, "");
    fflush(stderr);
}

// The analysis's tick: rows finished so far.
static void analysis_tick(AnalysisProgress* progress, void* ctx)
{
    progress_draw(static_cast<ProgressBar*>(ctx), progress->rows_done.load(), false);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] analyse
// ---------------------------------------------------------------------------------------------

static int batch_cores = 1; // processors this process may use: the default thread count

static int batch_analyse(int argc, char** argv)
{
    float min_freq = MIN_FREQ, max_freq = MAX_FREQ, bpo = ANAL_BPO, pps = ANAL_PPS, base = 2.f;
    float min_bpo = MIN_BPO, transition = TRANSITION_PPS, threads = 0.f;
    bool constant_time = false, left = false, right = false, quiet = false;
    std::vector<BatchOption> options = {
        {"--min-frequency", &min_freq, nullptr},   {"--max-frequency", &max_freq, nullptr},
        {"--bands-per-octave", &bpo, nullptr},     {"--pixels-per-second", &pps, nullptr},
        {"--frequency-scale", &base, nullptr},     {"--min-bpo", &min_bpo, nullptr},
        {"--transition", &transition, nullptr},    {"--threads", &threads, nullptr},
        {"--constant-time-resolution", nullptr, &constant_time},
        {"--left", nullptr, &left},                {"--right", nullptr, &right},
        {"--quiet", nullptr, &quiet},
    };
    std::string in, out;
    if (!parse_options("analyse", argc, argv, 2, options, &in, &out))
        return BATCH_BAD_USAGE;
    if (left && right) {
        fprintf(stderr, "brindlewharf analyse: --left and --right exclude each other\n");
        return BATCH_BAD_USAGE;
    }
    if (threads < 0.f || threads > 1024.f || threads != std::floor(threads)) {
        fprintf(stderr, "brindlewharf analyse: --threads takes a whole number from 1 to 1024\n");
        return BATCH_BAD_USAGE;
    }
    std::string ext = extension_of(out);
    if (ext != "bmp" && ext != "png" && ext != "npy") {
        fprintf(stderr, "brindlewharf analyse: %s: the output must end in .bmp, .png or .npy\n", out.c_str());
        return BATCH_BAD_USAGE;
    }
    if (!output_folder_ok(out))
        return BATCH_BAD_INPUT;

    auto t0 = std::chrono::steady_clock::now();
    key[state_of(K_CONST_TIME_RES)] = constant_time ? 1 : 0;
    key[state_of(K_LEFT_ONLY)] = left ? 1 : 0;
    key[state_of(K_RIGHT_ONLY)] = right ? 1 : 0;

    const float params[7] = {min_freq, max_freq, pps, transition, bpo, min_bpo, base};
    int len = 0;
    float* signal = read_sound_at_rate(in.c_str(), &len);
    if (!signal)
        return BATCH_BAD_INPUT;
    int w = 0, h = 0;
    if (const char* why = analysis_geometry(len, params, &w, &h)) {
        fprintf(stderr, "Cannot analyse '%s': %s\n", in.c_str(), why);
        free(signal);
        return BATCH_BAD_INPUT;
    }

    Plane rows = static_cast<Plane>(wrcalloc((size_t)h, sizeof(float*)));
    ProgressBar bar = {"Analysing", h, !quiet && isatty(2), t0};
    AnalysisProgress progress;
    progress.tick = analysis_tick;
    progress.ctx = &bar;
    const int sr = SOUND_SAMPLERATE;
    int out_w = w;
    int ok = anal(rows, signal, len, sr, &out_w, h, max_freq / (float)sr, pps / (float)sr, min_freq / (float)sr, bpo,
                  min_bpo, transition, base, threads > 0.f ? (int)threads : batch_cores, &progress);
    progress_draw(&bar, h, true);
    free(signal);
    if (!ok) {
        fprintf(stderr, "Cannot analyse '%s': the analysis failed\n", in.c_str());
        free2d(rows, h);
        return BATCH_BAD_INPUT;
    }
    normi(rows, out_w, h, 1.f);

    int written;
    if (ext == "npy")
        written = save_npy(out.c_str(), rows, out_w, h);
    else if (ext == "png")
        written = save_image_png(rows, out_w, h, out.c_str()) == 0;
    else
        written = save_image(rows, out_w, h, out.c_str()) == 0;
    free2d(rows, h);
    if (!written)
        return BATCH_BAD_INPUT;

    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    printf("%s: %d x %d pixels (%g s of sound) in %.2f s\n", out.c_str(), out_w, h, (double)len / sr, secs);
    return BATCH_OK;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Dispatch
// ---------------------------------------------------------------------------------------------

bool is_batch_command(const char* name)
{
    return strcmp(name, "analyse") == 0;
}

const char* batch_usage()
{
    return "  brindlewharf analyse IN -o OUT [options]\n"
           "                           analyse a sound into a picture: OUT ends in .bmp, .png or .npy\n"
           "                           (float32, row 0 the highest band)\n"
           "      --min-frequency HZ  --max-frequency HZ  --bands-per-octave N  --pixels-per-second N\n"
           "      --frequency-scale B (1 linear .. 2 logarithmic)  --min-bpo N  --transition PPS\n"
           "      --constant-time-resolution  --left | --right  --threads N  --quiet\n"
           "      (settings default to the configuration's values)\n";
}

int run_batch(int argc, char** argv)
{
    // The configuration gives the defaults; the log file stays the editor's.
    state_reset();
    config_load();
    find_resources(argv[0]);
    batch_cores = core_count();
    CORE_COUNT = batch_cores > 1 ? batch_cores - 1 : 1;
    if (strcmp(argv[1], "analyse") == 0)
        return batch_analyse(argc, argv);
    return BATCH_BAD_USAGE;
}
