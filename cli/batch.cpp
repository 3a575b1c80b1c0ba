// Batch commands: option parsing, progress on standard error, and the commands themselves.
#include "cli/batch.h"
#include "core/limits.h"
#include "core/records.h"
#include "core/state.h"
#include "document/composite.h"
#include "document/image.h"
#include "document/sound.h"
#include "dsp/analysis.h"
#include "dsp/scale.h"
#include "files/config.h"
#include "files/media.h"
#include "files/npy.h"
#include "history/archive.h"
#include "history/replay.h"
#include "platform/picture_library.h"
#include "platform/util.h"
#include "render/plot.h"
#include "sound/synthesis.h"
#include "sound/writer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
    Setting range;     // the range a number must lie in
};

// What a batch command's words hold besides its options' values.
struct BatchArgs {
    std::vector<std::string> inputs; // the input files, in order
    std::string output;              // "-o": a file, or a folder for many inputs
    std::string format;              // "--format": the outputs' extension in a folder
    float jobs = 0.f;                // "--jobs": worker processes for many inputs, 0 for every core
    std::vector<std::string> passed; // the option words and values, as given: what each worker gets
};

// Parses argv[first..] into `options`, the inputs, "-o", "--format" and "--jobs". Returns false
// with a usage message on stderr for unknown options, missing values, text that is not a number
// or a number outside its setting's range.
static bool parse_options(const char* command, int argc, char** argv, int first, std::vector<BatchOption>& options,
                          BatchArgs* args)
{
    for (int i = first; i < argc; i++) {
        const char* arg = argv[i];
        if (strcmp(arg, "-o") == 0 || strcmp(arg, "--output") == 0 || strcmp(arg, "--format") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "brindlewharf %s: %s needs %s\n", command, arg,
                        arg[2] == 'f' ? "a file kind" : "a file name");
                return false;
            }
            (arg[2] == 'f' ? args->format : args->output) = argv[++i];
            continue;
        }
        if (arg[0] == '-' && arg[1] != 0) {
            BatchOption* found = nullptr;
            BatchOption jobs = {"--jobs", &args->jobs, nullptr, SETTING_THREADS};
            for (BatchOption& o : options)
                if (strcmp(arg, o.name) == 0)
                    found = &o;
            if (strcmp(arg, jobs.name) == 0)
                found = &jobs;
            if (!found) {
                fprintf(stderr, "brindlewharf %s: unknown option %s (see brindlewharf --help)\n", command, arg);
                return false;
            }
            if (found->flag) {
                *found->flag = true;
                args->passed.push_back(arg);
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
            char why[160];
            if (setting_fault(found->range, v, why, sizeof why)) {
                fprintf(stderr, "brindlewharf %s: %s %s\n", command, arg, why);
                return false;
            }
            *found->value = (float)v;
            if (found != &jobs)
                args->passed.insert(args->passed.end(), {arg, text});
            continue;
        }
        args->inputs.push_back(arg);
    }
    if (args->inputs.empty() || args->output.empty()) {
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

// The analysis settings shared by `analyse` and `resynth`, defaulting to the configuration.
struct AnalysisOptions {
    float min_freq = MIN_FREQ, max_freq = MAX_FREQ, bpo = ANAL_BPO, pps = ANAL_PPS, base = 2.f;
    float min_bpo = MIN_BPO, transition = TRANSITION_PPS, threads = 0.f;
    bool constant_time = false, left = false, right = false, quiet = false;

    // Adds these options to a command's option list.
    void add_to(std::vector<BatchOption>& options)
    {
        std::vector<BatchOption> mine = {
            {"--min-frequency", &min_freq, nullptr, SETTING_FREQUENCY},
            {"--max-frequency", &max_freq, nullptr, SETTING_FREQUENCY},
            {"--bands-per-octave", &bpo, nullptr, SETTING_BPO},
            {"--pixels-per-second", &pps, nullptr, SETTING_PPS},
            {"--frequency-scale", &base, nullptr, SETTING_BASE},
            {"--min-bpo", &min_bpo, nullptr, SETTING_BPO},
            {"--transition", &transition, nullptr, SETTING_PPS},
            {"--threads", &threads, nullptr, SETTING_THREADS},
            {"--constant-time-resolution", nullptr, &constant_time, SETTING_COUNT},
            {"--left", nullptr, &left, SETTING_COUNT},
            {"--right", nullptr, &right, SETTING_COUNT},
            {"--quiet", nullptr, &quiet, SETTING_COUNT},
        };
        options.insert(options.end(), mine.begin(), mine.end());
    }

    // Checks the option combinations and sets the slots they stand for; false after a usage line.
    bool apply(const char* command)
    {
        if (left && right) {
            fprintf(stderr, "brindlewharf %s: --left and --right exclude each other\n", command);
            return false;
        }
        key[state_of(K_CONST_TIME_RES)] = constant_time ? 1 : 0;
        key[state_of(K_LEFT_ONLY)] = left ? 1 : 0;
        key[state_of(K_RIGHT_ONLY)] = right ? 1 : 0;
        return true;
    }

    // The threads to use: the option, else every core.
    int thread_count() const { return threads > 0.f ? (int)threads : batch_cores; }
};

// Whether --seed stands among the command's words (from argv[2] on): without it the sound is
// seeded from the clock.
static bool seed_given(int argc, char** argv)
{
    for (int i = 2; i < argc; i++)
        if (strcmp(argv[i], "--seed") == 0)
            return true;
    return false;
}

// Seeds the random generator with --seed when it was given, else with the clock.
static void seed_random(float seed, bool seeded)
{
    wrsrand(seeded ? (uint32_t)(int64_t)seed : (uint32_t)time(nullptr));
}

// Checks the output's extension against `allowed` (null-terminated list); false after a usage line.
static bool output_kind_ok(const char* command, const std::string& out, const char* const* allowed, const char* list)
{
    std::string ext = extension_of(out);
    for (const char* const* a = allowed; *a; a++)
        if (ext == *a)
            return true;
    fprintf(stderr, "brindlewharf %s: %s: the output must end in %s\n", command, out.c_str(), list);
    return false;
}

// Seconds since `t0`.
static double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Many files
// ---------------------------------------------------------------------------------------------

// The file name of a path (the text after its last "/").
static std::string file_name_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether the command's output names a folder: it ends in "/" or is an existing folder.
static bool output_is_folder(const std::string& out)
{
    struct stat st;
    return out.back() == '/' || (stat(out.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

// One input of a batch over many files.
struct BatchTask {
    std::string input;  // as given
    std::string output; // in the output folder, named after the input
    std::string fault;  // why it failed ("" while it has not)
};

// The option word that starts this program as a batch worker: `brindlewharf COMMAND --batch-worker
// OPTIONS...` reads tasks (an input and an output, each ended by a NUL byte) from standard input,
// runs the one-file command on each, and answers one line per task on file 3: its exit status.
// The worker's standard output and error are the batch's in-memory files, read after each answer.
static const char* const WORKER_FLAG = "--batch-worker";
static const int WORKER_ANSWERS = 3; // the worker's file for its answers
// Files a worker runs before a new one takes its place: a worker keeps the transform plans of
// every sound length it met, which a corpus of thousands of lengths would pile up; a new start
// costs about 40 ms of processor time.
static const int WORKER_TASKS = 200;

// A worker process of a batch over many files, running one task at a time.
struct BatchWorker {
    pid_t pid = 0;       // 0 when none runs
    int tasks = -1;      // where its tasks are written
    int answers = -1;    // where its answers are read
    int out = -1;        // its standard output and error, in memory
    int err = -1;
    int task = -1;       // the task it runs, -1 when idle
    int runs = 0;        // the tasks it was given
    std::string pending; // an answer read in part
};

// The text written into an in-memory file so far, which is then emptied for the next task.
static std::string drain_text(int fd)
{
    std::string text;
    if (fd < 0)
        return text;
    char buf[4096];
    ssize_t got;
    while ((got = pread(fd, buf, sizeof buf, (off_t)text.size())) > 0 || (got < 0 && errno == EINTR))
        if (got > 0)
            text.append(buf, (size_t)got);
    if (ftruncate(fd, 0) == 0)
        lseek(fd, 0, SEEK_SET);
    return text;
}

// Closes a file descriptor that may be open and marks it closed.
static void close_fd(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// Ends a worker: its task pipe is closed (an idle worker then exits) and, when `kill_it`, it is
// killed; returns its exit status as a shell reports it (128 + signal when a signal ended it).
static int stop_worker(BatchWorker* w, bool kill_it)
{
    close_fd(&w->tasks);
    close_fd(&w->answers);
    close_fd(&w->out);
    close_fd(&w->err);
    w->pending.clear();
    int st = 0, status = 0;
    if (w->pid > 0) {
        if (kill_it)
            kill(w->pid, SIGKILL);
        while (waitpid(w->pid, &st, 0) < 0 && errno == EINTR) {
        }
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    w->pid = 0;
    return status;
}

// Starts this program as a worker of `command` with `options` for every task; its standard input
// and file 3 are pipes to this process, its output goes into in-memory files. Returns 0, or the
// error number when it cannot start.
static int start_worker(BatchWorker* w, const char* command, const std::vector<std::string>& options)
{
    static const char* const self = "/proc/self/exe";
    std::vector<char*> argv = {const_cast<char*>(self), const_cast<char*>(command), const_cast<char*>(WORKER_FLAG)};
    for (const std::string& o : options)
        argv.push_back(const_cast<char*>(o.c_str()));
    argv.push_back(nullptr);
    int to[2] = {-1, -1}, from[2] = {-1, -1};
    w->out = memfd_create("brindlewharf-out", MFD_CLOEXEC);
    w->err = memfd_create("brindlewharf-err", MFD_CLOEXEC);
    int err = w->out < 0 || w->err < 0 || pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0 ? errno : 0;
    if (!err) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, to[0], 0);
        posix_spawn_file_actions_adddup2(&actions, w->out, 1);
        posix_spawn_file_actions_adddup2(&actions, w->err, 2);
        posix_spawn_file_actions_adddup2(&actions, from[1], WORKER_ANSWERS);
        err = posix_spawn(&w->pid, self, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
    }
    close_fd(&to[0]);
    close_fd(&from[1]);
    w->tasks = to[1];
    w->answers = from[0];
    w->task = -1;
    w->runs = 0;
    if (err) {
        w->pid = 0;
        stop_worker(w, false);
    }
    return err;
}

// Hands task `index` to the worker, starting one when none runs; false with the task's fault set
// when no worker takes it.
static bool give_task(BatchWorker* w, std::vector<BatchTask>& tasks, int index, const char* command,
                      const std::vector<std::string>& options)
{
    BatchTask& t = tasks[(size_t)index];
    std::string words = t.input + '\0' + t.output + '\0';
    if (w->pid && w->runs >= WORKER_TASKS)
        stop_worker(w, false);
    // A worker that died while idle is replaced once.
    for (int attempt = 0; attempt < 2; attempt++) {
        if (!w->pid)
            if (int err = start_worker(w, command, options)) {
                t.fault = t.input + ": no worker could be started: " + strerror(err);
                return false;
            }
        size_t sent = 0;
        while (sent < words.size()) {
            ssize_t n = write(w->tasks, words.data() + sent, words.size() - sent);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            sent += (size_t)n;
        }
        if (sent == words.size()) {
            w->task = index;
            w->runs++;
            return true;
        }
        stop_worker(w, true);
    }
    t.fault = t.input + ": no worker took it";
    return false;
}

// Reads what the busy worker answered. Returns 1 with `status` set when its task ended, 0 when
// there is no whole answer yet, -1 when the worker ended without answering.
static int read_answer(BatchWorker* w, int* status)
{
    char buf[64];
    ssize_t got = read(w->answers, buf, sizeof buf);
    if (got < 0 && errno == EINTR)
        return 0;
    if (got <= 0)
        return -1;
    w->pending.append(buf, (size_t)got);
    size_t nl = w->pending.find('\n');
    if (nl == std::string::npos)
        return 0;
    *status = atoi(w->pending.c_str());
    w->pending.erase(0, nl + 1);
    return 1;
}

// Outputs named after the inputs in `folder` with extension `ext`. An output that would replace
// its own input, that is a folder, or that another input already gets, is a fault of that input.
static std::vector<BatchTask> plan_tasks(const std::vector<std::string>& inputs, const std::string& folder,
                                         const std::string& ext)
{
    std::vector<BatchTask> tasks(inputs.size());
    std::vector<std::string> taken;
    for (size_t i = 0; i < inputs.size(); i++) {
        BatchTask& t = tasks[i];
        t.input = inputs[i];
        // The base name only, so that no output lands outside the folder.
        std::string stem = file_name_of(inputs[i]);
        size_t dot = stem.rfind('.');
        if (dot != std::string::npos && dot > 0)
            stem.resize(dot);
        if (stem.empty()) {
            t.fault = t.input + ": names no file";
            continue;
        }
        t.output = folder + "/" + stem + "." + ext;
        if (same_file(t.input.c_str(), t.output.c_str()))
            t.fault = t.input + ": its output " + t.output + " would replace it";
        else if (output_is_folder(t.output)) // the one-file command would start a batch of its own in it
            t.fault = t.input + ": its output " + t.output + " is a folder";
        for (size_t j = 0; j < taken.size() && t.fault.empty(); j++)
            if (taken[j] == t.output)
                t.fault = t.input + ": its output " + t.output + " is already the output of " + inputs[j];
        taken.push_back(t.output);
    }
    return tasks;
}

// Runs `command` on every input, writing into the folder `args.output`, on `args.jobs` worker
// processes (the analysis keeps process-wide state, so the files are not run on threads). Each
// worker runs the one-file command on many files in turn, so that it pays the program's start
// and the transform plans once. One progress line for the whole batch on a terminal; the
// failures are reported at the end.
// Returns 0 when every file was written, 1 otherwise.
static int run_many(const char* command, const BatchArgs& args, const std::string& ext)
{
    std::string folder = args.output;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(folder.c_str(), W_OK) != 0) {
        fprintf(stderr, "%s: is not a folder that can be written\n", folder.c_str());
        return BATCH_BAD_INPUT;
    }
    auto t0 = std::chrono::steady_clock::now();
    std::vector<BatchTask> tasks = plan_tasks(args.inputs, folder, ext);
    const int count = (int)tasks.size();
    const int jobs = std::min(count, args.jobs > 0.f ? (int)args.jobs : batch_cores);

    // Each worker is quiet and, unless told otherwise, shares the cores with the others.
    std::vector<std::string> options = args.passed;
    bool quiet = false, threads = false;
    for (const std::string& w : options) {
        quiet = quiet || w == "--quiet";
        threads = threads || w == "--threads";
    }
    if (!quiet)
        options.push_back("--quiet");
    if (!threads)
        options.insert(options.end(), {"--threads", std::to_string(std::max(1, batch_cores / std::max(1, jobs)))});

    std::string label;
    ProgressBar bar = {"", count, !quiet && isatty(2) != 0, t0};
    int done = 0, failed = 0;
    int next = 0;
    auto show = [&] {
        label = std::string(command) + " " + std::to_string(done) + "/" + std::to_string(count) + " files";
        if (failed)
            label += ", " + std::to_string(failed) + " failed";
        bar.label = label.c_str();
        progress_draw(&bar, done, false);
    };
    // A worker that dies is seen as the end of its answers, never as a signal to this process.
    struct sigaction ignore = {}, old_pipe = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old_pipe);
    std::vector<BatchWorker> workers((size_t)jobs);
    show();
    while (done < count) {
        // Idle workers take the next tasks; tasks that fail before they start are done at once.
        int busy = 0;
        for (BatchWorker& w : workers) {
            while (w.task < 0 && next < count) {
                const int i = next++;
                if (tasks[(size_t)i].fault.empty() && give_task(&w, tasks, i, command, options))
                    break;
                done++;
                failed++;
            }
            busy += w.task >= 0;
        }
        if (!busy) {
            show();
            continue;
        }
        std::vector<pollfd> polls;
        for (const BatchWorker& w : workers)
            if (w.task >= 0)
                polls.push_back({w.answers, POLLIN, 0});
        if (poll(polls.data(), polls.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break; // cannot happen with valid descriptors
        }
        for (BatchWorker& w : workers) {
            if (w.task < 0)
                continue;
            bool ready = false;
            for (const pollfd& p : polls)
                ready = ready || (p.fd == w.answers && p.revents);
            int status = 0;
            const int answered = ready ? read_answer(&w, &status) : 0;
            if (!answered)
                continue;
            BatchTask& t = tasks[(size_t)w.task];
            w.task = -1;
            done++;
            // A worker that ended without answering loses only its task; another one starts for the rest.
            const std::string out = drain_text(w.out), err = drain_text(w.err);
            if (answered < 0)
                status = stop_worker(&w, true);
            if (status == BATCH_OK) {
                if (bar.shown)
                    fprintf(stderr, "\r%*s\r", (int)label.size() + 50, "");
                fputs(out.c_str(), stdout);
                fflush(stdout);
                fputs(err.c_str(), stderr); // the file's warnings (a sound that ends early) are the user's too
            } else {
                failed++;
                std::string why = err;
                while (!why.empty() && why.back() == '\n')
                    why.pop_back();
                t.fault = why.empty() ? t.input + ": stopped with status " + std::to_string(status) : why;
            }
        }
        show();
    }
    for (BatchWorker& w : workers)
        stop_worker(&w, false);
    sigaction(SIGPIPE, &old_pipe, nullptr);
    if (bar.shown)
        fprintf(stderr, "\r%*s\r", (int)label.size() + 50, "");
    printf("%s: %d of %d files written to %s in %.2f s\n", command, count - failed, count, folder.c_str(),
           seconds_since(t0));
    if (!failed)
        return BATCH_OK;
    fflush(stdout);
    fprintf(stderr, "brindlewharf %s: %d of %d files failed:\n", command, failed, count);
    for (const BatchTask& t : tasks)
        if (!t.fault.empty())
            fprintf(stderr, "  %s\n", t.fault.c_str());
    return BATCH_BAD_INPUT;
}

// Settles the command's output after its words were parsed. Many inputs, or an output folder,
// run in a batch (not for a command without `ext`, the folder's default extension): returns its
// exit status. One input with an output file returns -1, and the command goes on; a command
// line that fits neither returns 2 after a usage line.
static int run_if_many(const char* command, const BatchArgs& args, const char* const* kinds, const char* list,
                       const char* ext)
{
    const bool folder = output_is_folder(args.output);
    if (!ext && (folder || args.inputs.size() > 1 || !args.format.empty() || args.jobs > 0.f)) {
        fprintf(stderr, "brindlewharf %s: takes one input file and -o OUTPUT\n", command);
        return BATCH_BAD_USAGE;
    }
    if (!folder && args.inputs.size() > 1) {
        fprintf(stderr, "brindlewharf %s: several inputs need an output folder, -o FOLDER/\n", command);
        return BATCH_BAD_USAGE;
    }
    if (!folder) {
        if (!args.format.empty() && args.format != extension_of(args.output)) {
            fprintf(stderr, "brindlewharf %s: --format %s does not match the output %s\n", command,
                    args.format.c_str(), args.output.c_str());
            return BATCH_BAD_USAGE;
        }
        return output_kind_ok(command, args.output, kinds, list) ? -1 : BATCH_BAD_USAGE;
    }
    std::string format = args.format.empty() ? ext : args.format;
    for (char& c : format)
        c = (char)tolower((unsigned char)c);
    bool known = false;
    for (const char* const* k = kinds; *k; k++)
        known = known || format == *k;
    if (!known) {
        fprintf(stderr, "brindlewharf %s: --format %s: the outputs can be %s\n", command, args.format.c_str(), list);
        return BATCH_BAD_USAGE;
    }
    return run_many(command, args, format);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] analyse
// ---------------------------------------------------------------------------------------------

static int analyse_to_archive(AnalysisOptions& a, const std::string& in, const std::string& out);

// `analyse --view`: the readable picture's options.
struct ViewOptions {
    bool view = false, picture_colours = false;
    float width = 0.f, height = 0.f; // the plot area; 0 for the default

    void add_to(std::vector<BatchOption>& options)
    {
        options.insert(options.end(), {{"--view", nullptr, &view, SETTING_COUNT},
                                       {"--picture-colours", nullptr, &picture_colours, SETTING_COUNT},
                                       {"--width", &width, nullptr, SETTING_PLOT_SIZE},
                                       {"--height", &height, nullptr, SETTING_PLOT_SIZE}});
    }

    // Checks that the picture options come with --view and that --view writes a picture (`ext`,
    // the output's or the batch's extension); false after a usage line.
    bool check(const std::string& ext) const
    {
        if (!view && (picture_colours || width > 0.f || height > 0.f)) {
            fprintf(stderr, "brindlewharf analyse: --%s needs --view\n",
                    picture_colours ? "picture-colours" : width > 0.f ? "width" : "height");
            return false;
        }
        if (view && ext != "png" && ext != "bmp") {
            fprintf(stderr, "brindlewharf analyse: --view draws a picture: the output must end in .png or .bmp, "
                            "not \"%s\"\n", ext.c_str());
            return false;
        }
        return true;
    }
};

// Draws the readable picture of the analysis `rows` (w x h, made with `params`) of the sound `in`
// into `out`. Returns the exit status.
static int save_view(const ViewOptions& v, const float params[7], Plane rows, int w, int h, const std::string& in,
                     const std::string& out)
{
    if (!plot_resources_load()) {
        fprintf(stderr, "Cannot draw '%s': the fonts or colours under gfx/ could not be read\n", out.c_str());
        return BATCH_BAD_INPUT;
    }
    PlotSource src = analysis_source(rows, w, h, params, in);
    src.picture_colours = v.picture_colours;
    int pw, ph;
    plot_default_size(w, h, &pw, &ph);
    pw = v.width > 0.f ? (int)v.width : pw;
    ph = v.height > 0.f ? (int)v.height : ph;
    char what[160], why[200];
    const PlotLayout layout = plot_layout(src, pw, ph);
    snprintf(what, sizeof what, "drawing a %d x %d picture", layout.w, layout.h);
    if (memory_refused((long long)pw * ph * 64 + (long long)layout.w * layout.h * 8, what, why, sizeof why)) {
        fprintf(stderr, "Cannot draw '%s': %s\n", out.c_str(), why);
        return BATCH_BAD_INPUT;
    }
    Raster r = draw_plot(src, pw, ph);
    const int status = r.px && save_picture(r.px, r.w, r.h, out.c_str()) == 0 ? BATCH_OK : BATCH_BAD_INPUT;
    free(r.px);
    return status;
}

static int batch_analyse(int argc, char** argv)
{
    AnalysisOptions a;
    ViewOptions v;
    std::vector<BatchOption> options;
    a.add_to(options);
    v.add_to(options);
    BatchArgs args;
    static const char* const kinds[] = {"bmp", "png", "npy", "kbz", nullptr};
    if (!parse_options("analyse", argc, argv, 2, options, &args) || !a.apply("analyse"))
        return BATCH_BAD_USAGE;
    const bool many = args.inputs.size() > 1 || output_is_folder(args.output);
    std::string format = args.format.empty() ? "png" : args.format;
    std::transform(format.begin(), format.end(), format.begin(), [](unsigned char c) { return (char)tolower(c); });
    if (!v.check(many ? format : extension_of(args.output)))
        return BATCH_BAD_USAGE;
    if (int status = run_if_many("analyse", args, kinds, ".bmp, .png, .npy or .kbz", "png"); status >= 0)
        return status;
    const std::string in = args.inputs[0], out = args.output;
    if (!output_folder_ok(out))
        return BATCH_BAD_INPUT;
    if (extension_of(out) == "kbz")
        return analyse_to_archive(a, in, out);
    // The picture library loads on the spare core while the sound is read and analysed.
    if (extension_of(out) == "png" || (v.view && extension_of(out) == "bmp"))
        picture_library_preload();

    auto t0 = std::chrono::steady_clock::now();
    const float params[7] = {a.min_freq, a.max_freq, a.pps, a.transition, a.bpo, a.min_bpo, a.base};
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
    const int sr = SOUND_SAMPLERATE;
    char why[200], what[160];
    snprintf(what, sizeof what, "analysing %.0f s of sound into %d x %d pixels", (double)len / sr, w, h);
    if (memory_refused(anal_memory(len, h, a.min_freq / (float)sr, a.max_freq / (float)sr, a.pps / (float)sr, a.base,
                                   a.thread_count()),
                       what, why, sizeof why)) {
        fprintf(stderr, "Cannot analyse '%s': %s\n", in.c_str(), why);
        free(signal);
        return BATCH_BAD_INPUT;
    }

    Plane rows = static_cast<Plane>(wrcalloc((size_t)h, sizeof(float*)));
    ProgressBar bar = {"Analysing", h, !a.quiet && isatty(2), t0};
    AnalysisProgress progress;
    progress.tick = analysis_tick;
    progress.ctx = &bar;
    int out_w = w;
    // The analysis releases the sound once it holds its own copy.
    int ok = anal(rows, signal, len, sr, &out_w, h, a.max_freq / (float)sr, a.pps / (float)sr, a.min_freq / (float)sr,
                  a.bpo, a.min_bpo, a.transition, a.base, a.thread_count(), &progress, &signal);
    progress_draw(&bar, h, true);
    free(signal);
    const long long bad = ok ? plane_nonfinite(rows, out_w, h, false) : 0;
    if (!ok || bad > 0) {
        if (bad > 0)
            fprintf(stderr, "Cannot analyse '%s': %lld of %lld values of the analysis are not numbers\n", in.c_str(),
                    bad, (long long)out_w * h);
        else
            fprintf(stderr, "Cannot analyse '%s': the analysis failed\n", in.c_str());
        free2d(rows, h);
        return BATCH_BAD_INPUT;
    }
    normi(rows, out_w, h, 1.f);

    int written;
    std::string ext = extension_of(out);
    if (v.view)
        written = save_view(v, params, rows, out_w, h, in, out) == BATCH_OK;
    else if (ext == "npy")
        written = save_npy(out.c_str(), rows, out_w, h);
    else if (ext == "png")
        written = save_image_png(rows, out_w, h, out.c_str()) == 0;
    else
        written = save_image(rows, out_w, h, out.c_str()) == 0;
    free2d(rows, h);
    if (!written)
        return BATCH_BAD_INPUT;

    printf("%s: %d x %d pixels (%g s of sound) in %.2f s\n", out.c_str(), out_w, h, (double)len / sr, seconds_since(t0));
    return BATCH_OK;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] synth and resynth
// ---------------------------------------------------------------------------------------------

// The synthesis progress: blocks done of all blocks.
static void synthesis_tick(int done, int total, void* ctx)
{
    auto* bar = static_cast<ProgressBar*>(ctx);
    bar->total = total;
    progress_draw(bar, done, false);
}

// One document in an engine state, released with it.
struct BatchDocument {
    ImageStack image{};
    EngineState es{};
    BatchDocument()
    {
        image_stack_init(&image);
        engine_state_init(&es, &image);
    }
    ~BatchDocument()
    {
        synthesis_release(&es);
        image_stack_release(&image);
        engine_state_release(&es);
        free_null(&orig_snd);
        orig_len = orig_rate = 0;
    }
};

// Releases the planes an editor needs and synthesis does not read (the layers, the compositing
// accumulator, the transposed copy, undo and reference), so that a long sound fits in less memory.
static void drop_editing_planes(ImageStack* im)
{
    LockGuard guard(im->layers_lock);
    for (int i = 0; i < im->count; i++)
        plane_free(&im->layers[i].plane, im->h);
    plane_free(&im->group_acc, im->h);
    plane_free(&im->transposed, im->w);
    plane_free(&im->undo, im->h);
    plane_free(&im->reference, im->h);
}

// Synthesises the document and writes OUT; prints the closing line. Returns the exit status.
static int synthesise_and_save(BatchDocument& doc, bool lossless, int threads, bool quiet, const std::string& out,
                               std::chrono::steady_clock::time_point t0)
{
    drop_editing_planes(&doc.image);
    if (!lossless) {
        // Noise synthesis reads the composite only: the analysis and the sound can go.
        plane_free(&doc.image.analysed, doc.image.orig_h);
        free_null(&orig_snd);
        orig_len = 0;
    }
    ProgressBar bar = {"Synthesising", 1, !quiet && isatty(2), t0};
    if (!synthesise_all(&doc.es, lossless ? 1 : 0, threads, synthesis_tick, &bar))
        return BATCH_BAD_INPUT;
    progress_draw(&bar, bar.total, true);
    if (!save_sound(out.c_str(), &doc.es))
        return BATCH_BAD_INPUT;
    printf("%s: %.2f s of sound in %.2f s\n", out.c_str(), (double)doc.es.sound_len / SOUND_SAMPLERATE,
           seconds_since(t0));
    return BATCH_OK;
}

// Gives the document the analysis and synthesis settings of `a` and analyses the sound `in` into
// it, with a progress bar, keeping the planes `keep` says (SoundPlanes); false when the sound
// cannot be read or analysed.
static bool analyse_into(BatchDocument& doc, const AnalysisOptions& a, const std::string& in,
                         std::chrono::steady_clock::time_point t0, int keep)
{
    const float params[7] = {a.min_freq, a.max_freq, a.pps, a.transition, a.bpo, a.min_bpo, a.base};
    memcpy(doc.es.anal_params, params, sizeof params);
    const float range[4] = {a.min_freq, a.max_freq, a.pps, a.base};
    memcpy(doc.es.synth_range, range, sizeof range);

    ProgressBar bar = {"Analysing", image_height(a.min_freq, a.max_freq, a.bpo), !a.quiet && isatty(2), t0};
    AnalysisProgress progress;
    progress.tick = analysis_tick;
    progress.ctx = &bar;
    if (!load_sound(in.c_str(), &doc.es, &progress, a.thread_count(), keep))
        return false;
    progress_draw(&bar, bar.total, true);
    return true;
}

// Sets the switches shared by synth and resynth and seeds the random generator.
static void apply_synthesis_switches(bool long_blocks, bool unnormalised, bool pcm24, float seed, bool seeded)
{
    key[state_of(K_LONG_BLOCK)] = long_blocks ? 1 : 0;
    key[state_of(K_UNNORMALISED)] = unnormalised ? 1 : 0;
    key[K_PCM24] = pcm24 ? 1 : 0;
    seed_random(seed, seeded);
}

static const char* const SOUND_KINDS[] = {"wav", "aiff", "aif", "flac", "ogg", nullptr};

static int batch_synth(int argc, char** argv)
{
    float pps = ANAL_PPS, min_freq = MIN_FREQ, max_freq = MAX_FREQ, base = 2.f, threads = 0.f, seed = 0.f;
    bool long_blocks = false, unnormalised = false, pcm24 = false, quiet = false;
    std::vector<BatchOption> options = {
        {"--pixels-per-second", &pps, nullptr, SETTING_PPS},
        {"--min-frequency", &min_freq, nullptr, SETTING_FREQUENCY},
        {"--max-frequency", &max_freq, nullptr, SETTING_FREQUENCY},
        {"--frequency-scale", &base, nullptr, SETTING_BASE},
        {"--threads", &threads, nullptr, SETTING_THREADS},
        {"--seed", &seed, nullptr, SETTING_SEED},
        {"--long-blocks", nullptr, &long_blocks, SETTING_COUNT},
        {"--unnormalised", nullptr, &unnormalised, SETTING_COUNT},
        {"--pcm24", nullptr, &pcm24, SETTING_COUNT},
        {"--quiet", nullptr, &quiet, SETTING_COUNT},
    };
    BatchArgs args;
    if (!parse_options("synth", argc, argv, 2, options, &args))
        return BATCH_BAD_USAGE;
    if (int status = run_if_many("synth", args, SOUND_KINDS, ".wav, .aiff, .flac or .ogg", "wav"); status >= 0)
        return status;
    const std::string in = args.inputs[0], out = args.output;
    const bool seeded = seed_given(argc, argv);
    if (!output_folder_ok(out))
        return BATCH_BAD_INPUT;
    if (!(min_freq > 0.f && min_freq < max_freq) || !(pps > 0.f) || !(base >= 1.f && base <= 2.f)) {
        fprintf(stderr, "Cannot synthesise '%s': the frequency range, time resolution or scale makes no sound\n",
                in.c_str());
        return BATCH_BAD_INPUT;
    }

    auto t0 = std::chrono::steady_clock::now();
    apply_synthesis_switches(long_blocks, unnormalised, pcm24, seed, seeded);
    BatchDocument doc;
    const float range[4] = {min_freq, max_freq, pps, base};
    memcpy(doc.es.synth_range, range, sizeof range);
    doc.es.anal_params[0] = min_freq;
    doc.es.anal_params[1] = max_freq;
    doc.es.anal_params[2] = pps;
    doc.es.anal_params[6] = base;

    bool made;
    if (extension_of(in) == "npy") {
        int w = 0, h = 0;
        Plane plane = load_npy(in.c_str(), &w, &h);
        made = plane && image_from_plane(&doc.image, plane, w, h, in.c_str());
    } else {
        clear_last_error_text();
        made = new_image(&doc.es, in.c_str()) && doc.image.composite;
        // The reader's own line says why, when it gave one: one line for one refusal.
        if (!made && !*last_error_text())
            fprintf(stderr, "Cannot synthesise '%s': it is not a picture this program reads\n", in.c_str());
    }
    if (!made)
        return BATCH_BAD_INPUT;
    const int total = threads > 0.f ? (int)threads : batch_cores;
    return synthesise_and_save(doc, false, total, quiet, out, t0);
}

static int batch_resynth(int argc, char** argv)
{
    AnalysisOptions a;
    float seed = 0.f;
    bool lossless = false, long_blocks = false, unnormalised = false, pcm24 = false;
    std::vector<BatchOption> options = {
        {"--lossless", nullptr, &lossless, SETTING_COUNT},
        {"--seed", &seed, nullptr, SETTING_SEED},
        {"--long-blocks", nullptr, &long_blocks, SETTING_COUNT},
        {"--unnormalised", nullptr, &unnormalised, SETTING_COUNT},
        {"--pcm24", nullptr, &pcm24, SETTING_COUNT},
    };
    a.add_to(options);
    BatchArgs args;
    if (!parse_options("resynth", argc, argv, 2, options, &args) || !a.apply("resynth"))
        return BATCH_BAD_USAGE;
    if (int status = run_if_many("resynth", args, SOUND_KINDS, ".wav, .aiff, .flac or .ogg", "wav"); status >= 0)
        return status;
    const std::string in = args.inputs[0], out = args.output;
    const bool seeded = seed_given(argc, argv);
    if (!output_folder_ok(out))
        return BATCH_BAD_INPUT;

    auto t0 = std::chrono::steady_clock::now();
    apply_synthesis_switches(long_blocks, unnormalised, pcm24, seed, seeded);
    BatchDocument doc;
    if (!analyse_into(doc, a, in, t0, lossless ? SOUND_FOR_SAVING : SOUND_FOR_NOISE))
        return BATCH_BAD_INPUT;
    return synthesise_and_save(doc, lossless, a.thread_count(), a.quiet, out, t0);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Archives: analyse to a snapshot, replay
// ---------------------------------------------------------------------------------------------

// `analyse IN -o OUT.kbz`: the sound becomes a document (one layer, with its original sound and
// analysis) written as a snapshot archive that the editor and `replay` open.
static int analyse_to_archive(AnalysisOptions& a, const std::string& in, const std::string& out)
{
    auto t0 = std::chrono::steady_clock::now();
    BatchDocument doc;
    if (!analyse_into(doc, a, in, t0, SOUND_FOR_SAVING))
        return BATCH_BAD_INPUT;
    if (save_archive_status(out.c_str(), &doc.es, file_name_of(in).c_str()) != 0) {
        fprintf(stderr, "%s: cannot be written\n", out.c_str());
        return BATCH_BAD_INPUT;
    }
    printf("%s: %d x %d pixels (%g s of sound) in %.2f s\n", out.c_str(), doc.image.w, doc.image.h,
           (double)orig_len / SOUND_SAMPLERATE, seconds_since(t0));
    return BATCH_OK;
}

// The replay's progress: bytes of the archive read so far.
static void replay_tick(long done, long total, void* ctx)
{
    auto* bar = static_cast<ProgressBar*>(ctx);
    bar->total = 1000;
    progress_draw(bar, total > 0 ? (int)(1000.0 * (double)done / (double)total) : 0, false);
}

static int batch_replay(int argc, char** argv)
{
    float threads = 0.f, seed = 0.f;
    bool quiet = false;
    std::vector<BatchOption> options = {
        {"--seed", &seed, nullptr, SETTING_SEED},
        {"--threads", &threads, nullptr, SETTING_THREADS},
        {"--quiet", nullptr, &quiet, SETTING_COUNT},
    };
    static const char* const kinds[] = {"bmp", "png", "npy", "wav", "aiff", "aif", "flac", "ogg", "kbz", nullptr};
    BatchArgs args;
    if (!parse_options("replay", argc, argv, 2, options, &args))
        return BATCH_BAD_USAGE;
    if (int status = run_if_many("replay", args, kinds, ".bmp, .png, .npy, .wav, .aiff, .flac, .ogg or .kbz", nullptr);
        status >= 0)
        return status;
    const std::string in = args.inputs[0], out = args.output;
    const bool seeded = seed_given(argc, argv);
    if (!output_folder_ok(out))
        return BATCH_BAD_INPUT;

    auto t0 = std::chrono::steady_clock::now();
    if (threads > 0.f)
        CORE_COUNT = (int)threads; // analyses of sounds the archive opens use as many
    seed_random(seed, seeded);
    BatchDocument doc;

    // The archive is carried out line by line into the document.
    ProgressBar bar = {"Replaying", 1000, !quiet && isatty(2), t0};
    replay_hooks.progress = replay_tick;
    replay_hooks.progress_ctx = &bar;
    char title[PATH_TEXT_LEN];
    snprintf(title, sizeof title, "%s", file_name_of(in).c_str());
    int opened = 0;
    const int read = load_archive(in.c_str(), &doc.es, title, sizeof title, &opened);
    replay_hooks.progress = nullptr;
    replay_hooks.progress_ctx = nullptr;
    progress_draw(&bar, bar.total, true);
    key[K_QUIT] = 0; // a "Quit" line ends the replay, not the command
    if (read < 0)
        return BATCH_BAD_INPUT;
    ImageStack* im = &doc.image;
    if (!im->composite || im->w < 1 || im->h < 1) {
        fprintf(stderr, "Cannot replay '%s': it makes no picture\n", in.c_str());
        return BATCH_BAD_INPUT;
    }
    process_layers(&doc.es);

    const std::string ext = extension_of(out);
    if (ext == "wav" || ext == "aiff" || ext == "aif" || ext == "flac" || ext == "ogg") {
        // Synthesised as the archive's synthesis line says; live synthesis is heard as noise.
        const float* p = doc.es.anal_params;
        const float range[4] = {p[0], p[1], p[2], p[6]};
        memcpy(doc.es.synth_range, range, sizeof range);
        bool lossless = lossless_mode != 0;
        if (lossless && (!orig_snd || orig_len < 1 || !im->analysed || im->orig_w != im->w || im->orig_h != im->h)) {
            fprintf(stderr, "%s: lossless synthesis needs the original sound of a picture this size; noise is used\n",
                    in.c_str());
            lossless = false;
        }
        const int total = threads > 0.f ? (int)threads : batch_cores;
        return synthesise_and_save(doc, lossless, total, quiet, out, t0);
    }

    int written;
    if (ext == "npy")
        written = save_npy(out.c_str(), im->composite, im->w, im->h);
    else if (ext == "png")
        written = save_image_png(im->composite, im->w, im->h, out.c_str()) == 0;
    else if (ext == "bmp")
        written = save_image(im->composite, im->w, im->h, out.c_str()) == 0;
    else if (save_archive_status(out.c_str(), &doc.es, title) == 0)
        written = 1;
    else {
        fprintf(stderr, "%s: cannot be written\n", out.c_str());
        written = 0;
    }
    if (!written)
        return BATCH_BAD_INPUT;
    printf("%s: %d x %d pixels, %d layer%s in %.2f s\n", out.c_str(), im->w, im->h, im->count,
           im->count == 1 ? "" : "s", seconds_since(t0));
    return BATCH_OK;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Dispatch
// ---------------------------------------------------------------------------------------------

bool is_batch_command(const char* name)
{
    return strcmp(name, "analyse") == 0 || strcmp(name, "synth") == 0 || strcmp(name, "resynth") == 0 ||
           strcmp(name, "replay") == 0;
}

const char* batch_usage()
{
    return "  brindlewharf analyse IN -o OUT [options]\n"
           "                           analyse a sound into a picture: OUT ends in .bmp, .png or .npy\n"
           "                           (float32, row 0 the highest band), or .kbz (a project the editor opens)\n"
           "      --min-frequency HZ  --max-frequency HZ  --bands-per-octave N  --pixels-per-second N\n"
           "      --frequency-scale B (1 linear .. 2 logarithmic)  --min-bpo N  --transition PPS\n"
           "      --constant-time-resolution  --left | --right  --threads N  --quiet\n"
           "      (settings default to the configuration's values)\n"
           "      --view [--width N] [--height N] [--picture-colours]\n"
           "                           draw a readable .png or .bmp instead: the editor's colours (or the\n"
           "                           picture colours), scales in Hz, notes and time, a title and a level\n"
           "                           legend; the plot is N pixels wide and high (default one pixel per\n"
           "                           column and band, at most 4096 x 2048)\n"
           "  brindlewharf synth IN -o OUT [options]\n"
           "                           turn a picture or a .npy float image (row 0 the highest band) into\n"
           "                           sound: OUT ends in .wav, .aiff, .flac or .ogg\n"
           "      --pixels-per-second N  --min-frequency HZ  --max-frequency HZ  --frequency-scale B\n"
           "      --long-blocks  --seed N  --unnormalised  --pcm24  --threads N  --quiet\n"
           "  brindlewharf resynth IN -o OUT [--lossless] [options]\n"
           "                           analyse a sound (the analyse options) and synthesise it again,\n"
           "                           with noise or losslessly; also --seed, --long-blocks, --unnormalised, --pcm24\n"
           "  brindlewharf analyse|synth|resynth IN... -o FOLDER/ [--format EXT] [--jobs N] [options]\n"
           "                           run the command on each input, writing FOLDER/NAME.EXT (EXT png for\n"
           "                           analyse, wav for synth and resynth, by default) on N worker processes\n"
           "                           (every core by default); failures are listed at the end, exit status 1\n"
           "  brindlewharf replay PROJECT.kbz -o OUT [--seed N] [--threads N] [--quiet]\n"
           "                           carry out a project or history file and write the result: a picture\n"
           "                           (.bmp, .png), the float image (.npy), its sound (.wav, .aiff, .flac,\n"
           "                           .ogg, synthesised as the project says) or a snapshot project (.kbz)\n";
}

// Runs one batch command from a fresh state, as a new process would.
static int run_command(int argc, char** argv)
{
    // The configuration gives the defaults and is only read: many batch commands may run at
    // once, and settings the editor queues are never carried out here. The log file stays the
    // editor's.
    state_reset();
    config_read();
    find_resources(argv[0]);
    batch_cores = core_count();
    CORE_COUNT = batch_cores > 1 ? batch_cores - 1 : 1;
    if (strcmp(argv[1], "analyse") == 0)
        return batch_analyse(argc, argv);
    if (strcmp(argv[1], "synth") == 0)
        return batch_synth(argc, argv);
    if (strcmp(argv[1], "resynth") == 0)
        return batch_resynth(argc, argv);
    if (strcmp(argv[1], "replay") == 0)
        return batch_replay(argc, argv);
    return BATCH_BAD_USAGE;
}

// The worker of a batch (`COMMAND --batch-worker OPTIONS...`): runs the one-file command on each
// task read from standard input and answers its exit status on file 3, until the input ends.
// Every task starts from the state a new process has; what stays is what makes a process slow to
// start: its libraries, the transform plans and the drawing resources.
static int run_worker(int argc, char** argv)
{
    fcntl(WORKER_ANSWERS, F_SETFD, FD_CLOEXEC); // for the worker alone, not for what it starts
    char* word = nullptr;
    size_t size = 0;
    std::string input;
    for (int n = 0; getdelim(&word, &size, '\0', stdin) > 0; n++) {
        if (n % 2 == 0) {
            input = word;
            continue;
        }
        std::vector<std::string> words = {argv[0], argv[1], input, "-o", word};
        words.insert(words.end(), argv + 3, argv + argc);
        std::vector<char*> task;
        for (std::string& w : words)
            task.push_back(w.data());
        task.push_back(nullptr);
        const int status = run_command((int)words.size(), task.data());
        fflush(stdout);
        fflush(stderr);
        if (dprintf(WORKER_ANSWERS, "%d\n", status) < 0)
            break; // the batch is gone
    }
    free(word);
    return BATCH_OK;
}

int run_batch(int argc, char** argv)
{
    if (argc > 2 && strcmp(argv[2], WORKER_FLAG) == 0)
        return run_worker(argc, argv);
    return run_command(argc, argv);
}
