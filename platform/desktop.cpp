// Desktop services on Linux: XDG folders, zenity dialogs, xdg-open, xclip.
#include "platform/desktop.h"
#include "platform/picture_library.h"
#include "platform/util.h"

#include <FreeImage.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// ---------------------------------------------------------------------------------------------
// [SECTION] Paths
// ---------------------------------------------------------------------------------------------

// Makes every missing folder of `dir` with mode 0755; existing folders stay untouched.
static void make_dirs(const std::string& dir)
{
    for (size_t i = 1; i <= dir.size(); i++) {
        if (i == dir.size() || dir[i] == '/') {
            std::string part = dir.substr(0, i);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return;
        }
    }
}

char* make_appdata_path(const char* folder, const char* file, int create)
{
    std::string base;
    const char* xdg = getenv("XDG_DATA_HOME");
    const char* home = getenv("HOME");
    if (xdg && xdg[0] == '/') // the XDG rules ignore relative values
        base = xdg;
    else if (home && *home)
        base = std::string(home) + "/.local/share";
    else
        return nullptr;
    std::string dir = base + "/" + folder;
    if (create)
        make_dirs(dir);
    std::string path = file ? dir + "/" + file : dir + "/";
    return string_assign(path.c_str());
}

void remove_filename(char* path)
{
    for (int i = (int)strlen(path) - 1; i >= 0; i--)
        if (path[i] == '/' || path[i] == '\\') {
            path[i + 1] = 0;
            return;
        }
    path[0] = 0; // a bare file name has no folder part
}

void cd_dotdot(char* path)
{
    for (int i = (int)strlen(path) - 1; i >= 0; i--)
        if (path[i] == '/' || path[i] == '\\') {
            path[i] = 0;
            return;
        }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Save-panel file types
// ---------------------------------------------------------------------------------------------

// Extensions by save-type tag.
DesktopContext desktop_context = {};

static const char* const SAVE_EXTENSIONS[SAVE_TYPE_COUNT] = {"kbz", "kbz", "aiff", "wav", "flac", "ogg", "bmp", "png"};

// Words naming the tags in dialog scripts.
static const char* const SAVE_TYPE_WORDS[SAVE_TYPE_COUNT] = {"history", "snapshot", "aiff", "wav", "flac", "ogg", "bmp", "png"};

// Labels of the tags in the desktop's file filters and type list.
static const char* const SAVE_TYPE_LABELS[SAVE_TYPE_COUNT] = {
    "History archive", "Snapshot archive", "AIFF", "WAV", "FLAC", "Ogg Vorbis", "BMP picture", "PNG picture"};

// Notes shown beside the two archive choices when the user must pick one.
static const char* const ARCHIVE_NOTES[2] = {
    "History archive: a copy of the whole history, replayed when opened",
    "Snapshot archive: the document in its current state"};

const char* save_type_extension(int tag)
{
    return tag >= 0 && tag < SAVE_TYPE_COUNT ? SAVE_EXTENSIONS[tag] : nullptr;
}

// What a save dialog offers: every type, sound files only, or pictures only.
enum DialogKind : int { DIALOG_ANY, DIALOG_SOUND, DIALOG_PICTURE };

// First and last tag a save dialog of this kind offers.
static int first_tag(DialogKind kind)
{
    return kind == DIALOG_SOUND ? SAVE_AIFF : kind == DIALOG_PICTURE ? SAVE_BMP : SAVE_HISTORY;
}
static int last_tag(DialogKind kind) { return kind == DIALOG_SOUND ? SAVE_OGG : SAVE_PNG; }

// True when `name` ends with "." and `ext`, compared without regard to case.
static bool has_extension(const std::string& name, const char* ext)
{
    size_t n = strlen(ext);
    if (name.size() < n + 1 || name[name.size() - n - 1] != '.')
        return false;
    return strcasecmp(name.c_str() + name.size() - n, ext) == 0;
}

// The name the save panel returns for `typed` with the type `tag` selected (no slot effect).
static std::string name_with_type(const std::string& typed, int tag)
{
    const char* ext = save_type_extension(tag);
    if (!ext || has_extension(typed, ext))
        return typed;
    return typed + "." + ext;
}

// Stores the archive choice of tags 0 and 1 in slot 116; other tags leave it alone.
static void set_archive_choice(int tag)
{
    if ((tag == SAVE_HISTORY || tag == SAVE_SNAPSHOT) && desktop_context.archive_choice)
        desktop_context.archive_choice(tag == SAVE_SNAPSHOT);
}

void save_type_apply(const char* typed, int tag, char* out, int out_size)
{
    set_archive_choice(tag);
    if (!out || out_size <= 0)
        return;
    std::string name = name_with_type(typed ? typed : "", tag); // a copy: `out` may be `typed`
    size_t n = std::min(name.size(), (size_t)out_size - 1);
    memcpy(out, name.data(), n);
    out[n] = 0;
}

// Tag whose extension `name` carries among the types offered, or -1. Any ".kbz" gives
// SAVE_HISTORY: the extension alone cannot tell the two archives apart.
static int tag_from_extension(const std::string& name, DialogKind kind)
{
    for (int tag = first_tag(kind); tag <= last_tag(kind); tag++)
        if (has_extension(name, SAVE_EXTENSIONS[tag]))
            return tag;
    return -1;
}

// Tag named by a script word among the types offered, or -1.
static int tag_from_word(const std::string& word, DialogKind kind)
{
    for (int tag = first_tag(kind); tag <= last_tag(kind); tag++)
        if (word == SAVE_TYPE_WORDS[tag])
            return tag;
    return -1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Child processes
// ---------------------------------------------------------------------------------------------

// How run_child treats the child's output and its end.
enum ChildMode {
    CHILD_DIALOG, // standard output captured to its end, then the child is waited for as long as a person takes
    CHILD_HELPER, // standard output and error collected until the child itself ends or the wait runs out
    CHILD_READER, // as a helper, but only standard output is taken (data, never echoed); errors go to ours
};

// Longest wait for a helper (opener, clipboard tool) that normally returns at once, milliseconds.
constexpr int HELPER_WAIT_MS = 5000;

// What became of a child process.
struct ChildRun {
    int started = 0;  // 1 when the program could be started
    int error = 0;    // errno of a failed start
    int finished = 0; // 1 when it ended within the wait (`status` is then valid)
    int status = -1;  // exit status, or 128 + signal
    std::string out;  // what it wrote (standard output; for helpers also standard error)
};

// Exit status of a waitpid result, 128 + signal for a killed child.
static int exit_status(int st)
{
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Removes a temporary file (null or empty does nothing).
static void remove_leftover(const std::string& path)
{
    if (!path.empty())
        unlink(path.c_str());
}

// Waits for a child that outlived our wait on a thread of its own, so that it leaves no zombie,
// then removes `leftover` (the file it was reading).
static void reap_later(pid_t pid, const std::string& leftover)
{
    std::thread([pid, leftover] {
        int st;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        remove_leftover(leftover);
    }).detach();
}

// Appends whatever can be read from `fd` without blocking.
static void drain_now(int fd, std::string* out)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    char buf[4096];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) > 0 || (got < 0 && errno == EINTR))
        if (got > 0)
            out->append(buf, (size_t)got);
}

// Runs `args[0]` (looked up in PATH unless it holds a "/") with `args` as its argument vector:
// no shell ever sees them. Standard input is /dev/null. A dialog's standard output is read to
// its end and the dialog waited for; a helper is waited for at most `timeout_ms`, and its output
// is taken only until it ends, because programs it leaves running (a browser, the clipboard
// server) keep the pipe open. `leftover` (may be empty) is a file removed once the child ended.
static ChildRun run_child(const std::vector<std::string>& args, ChildMode mode, int timeout_ms, const std::string& leftover)
{
    ChildRun r;
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        r.error = errno;
        remove_leftover(leftover);
        return r;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (mode == CHILD_HELPER)
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    // The child starts with no blocked signals and the default SIGPIPE, whatever this process set.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int err = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (err != 0) {
        close(fds[0]);
        r.error = err;
        remove_leftover(leftover);
        return r;
    }
    r.started = 1;

    int st = 0;
    if (mode == CHILD_DIALOG) {
        char buf[4096];
        ssize_t got;
        while ((got = read(fds[0], buf, sizeof buf)) > 0 || (got < 0 && errno == EINTR))
            if (got > 0)
                r.out.append(buf, (size_t)got);
        close(fds[0]);
        pid_t w;
        while ((w = waitpid(pid, &st, 0)) < 0 && errno == EINTR) {
        }
        r.finished = 1;
        r.status = w == pid ? exit_status(st) : 0; // ECHILD: reaped elsewhere (SIGCHLD ignored), status unknown
        remove_leftover(leftover);
        return r;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool pipe_open = true;
    for (;;) {
        pid_t w = waitpid(pid, &st, WNOHANG);
        if (w == pid || (w < 0 && errno == ECHILD)) {
            r.finished = 1;
            r.status = w == pid ? exit_status(st) : 0; // ECHILD: reaped elsewhere, status unknown
            break;
        }
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        // Wake at least every 10 ms to look at the child: a grandchild may hold the pipe open.
        pollfd p = {fds[0], POLLIN, 0};
        int ready = poll(pipe_open ? &p : nullptr, pipe_open ? 1 : 0, std::min(left, 10));
        if (ready > 0) {
            char buf[4096];
            ssize_t got = read(fds[0], buf, sizeof buf);
            if (got > 0)
                r.out.append(buf, (size_t)got);
            else if (got == 0)
                pipe_open = false;
        }
    }
    if (pipe_open)
        drain_now(fds[0], &r.out);
    close(fds[0]);
    if (!r.out.empty() && mode == CHILD_HELPER)
        wrfprintf(stderr, "%s%s", r.out.c_str(), r.out.back() == '\n' ? "" : "\n");
    if (r.finished)
        remove_leftover(leftover);
    else
        reap_later(pid, leftover);
    return r;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Dialog script
// ---------------------------------------------------------------------------------------------

// Read position in the dialog script, kept between dialogs (any thread may show an alert).
static std::mutex script_mutex;
static std::string script_path; // the file the position belongs to
static dev_t script_dev;        // its identity, so that a new file under the same name starts over
static ino_t script_ino;
static long script_offset;      // bytes already consumed

// True when dialogs are answered from a script.
static bool script_active()
{
    const char* path = getenv("BRINDLEWHARF_DIALOG_SCRIPT");
    return path && *path;
}

// Reads the next non-blank script line into `line`: 1 with a line, 0 when none is left or the
// script cannot be read (reported), -1 without a script.
static int script_next_line(std::string* line)
{
    const char* path = getenv("BRINDLEWHARF_DIALOG_SCRIPT");
    if (!path || !*path)
        return -1;
    std::lock_guard<std::mutex> lock(script_mutex);
    struct stat sb = {};
    bool exists = stat(path, &sb) == 0;
    if (script_path != path || (exists && (sb.st_dev != script_dev || sb.st_ino != script_ino))) {
        script_path = path;
        script_dev = exists ? sb.st_dev : 0;
        script_ino = exists ? sb.st_ino : 0;
        script_offset = 0;
    }
    FILE* f = fopen(path, "rb");
    if (!f) {
        wrfprintf(stderr, "Dialog script %s cannot be read: %s\n", path, strerror(errno));
        return 0;
    }
    fseek(f, script_offset, SEEK_SET);
    bool got = false;
    std::string text;
    for (int c = 0; !got && c != EOF;) {
        text.clear();
        while ((c = fgetc(f)) != EOF && c != '\n')
            text += (char)c;
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        got = text.find_first_not_of(" \t") != std::string::npos;
    }
    script_offset = ftell(f);
    fclose(f);
    if (!got) {
        wrfprintf(stderr, "Dialog script %s has no answer left\n", path);
        return 0;
    }
    *line = text;
    return 1;
}

int dialog_script_next(char* line, int line_size)
{
    std::string text;
    int got = script_next_line(&text);
    if (got == 1 && line && line_size > 0) {
        size_t n = std::min(text.size(), (size_t)line_size - 1);
        memcpy(line, text.data(), n);
        line[n] = 0;
    }
    return got;
}

// Appends one line telling what a scripted dialog asked to $BRINDLEWHARF_DIALOG_LOG, when set.
static void script_log(const std::string& what)
{
    const char* path = getenv("BRINDLEWHARF_DIALOG_LOG");
    if (!path || !*path)
        return;
    std::string one = what;
    std::replace(one.begin(), one.end(), '\n', ' ');
    std::replace(one.begin(), one.end(), '\r', ' ');
    FILE* f = fopen(path, "ab");
    if (!f) {
        wrfprintf(stderr, "Dialog log %s cannot be written: %s\n", path, strerror(errno));
        return;
    }
    fprintf(f, "%s\n", one.c_str());
    fclose(f);
}

// Logs the question `what` and reads its answer line: 1 with a line, 0 when none is left.
static int script_ask(const std::string& what, std::string* line)
{
    script_log(what);
    return script_next_line(line) == 1;
}

// Reports a script line that does not answer the dialog it was read for ("cancel" is silent).
static void script_mismatch(const std::string& line, const char* what)
{
    if (line != "cancel")
        wrfprintf(stderr, "Dialog script: \"%s\" does not answer the %s; taken as cancel\n", line.c_str(), what);
}

// The text after "WORD " when `line` begins with it, else empty.
static std::string after_word(const std::string& line, const char* word)
{
    size_t n = strlen(word);
    if (line.size() > n + 1 && line.compare(0, n, word) == 0 && line[n] == ' ')
        return line.substr(n + 1);
    return std::string();
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Dialogs and alerts
// ---------------------------------------------------------------------------------------------

// Holds slot 37 at 1 for the lifetime of a dialog or alert, clearing it however it ends.
struct DialogOpen {
    DialogOpen() { tell(1); }
    ~DialogOpen() { tell(0); }
    static void tell(int open)
    {
        if (desktop_context.dialog_open)
            desktop_context.dialog_open(open);
    }
};

// True when a desktop session is there to show dialogs on (zenity would fail like a cancel).
static bool have_display()
{
    const char* x = getenv("DISPLAY");
    const char* wl = getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wl && *wl);
}

// Runs zenity with `args` after its name, returning its run with the answer's last line end cut.
// Says on stderr why no dialog could be shown.
static ChildRun zenity(const std::vector<std::string>& args)
{
    if (!have_display()) {
        wrfprintf(stderr, "No dialog can be shown: no display (DISPLAY is not set)\n");
        return ChildRun();
    }
    std::vector<std::string> argv = {"zenity"};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildRun r = run_child(argv, CHILD_DIALOG, 0, std::string());
    if (!r.started)
        wrfprintf(stderr, "No dialog can be shown: zenity cannot be started (%s)\n", strerror(r.error));
    else if (r.status != 0 && r.status != 1) // 1 is the user's cancel or "No"
        wrfprintf(stderr, "The dialog failed (zenity status %d)\n", r.status);
    if (!r.out.empty() && r.out.back() == '\n')
        r.out.pop_back();
    return r;
}

// True when zenity ran and the user accepted.
static bool accepted(const ChildRun& r)
{
    return r.started && r.finished && r.status == 0;
}

// The --filename argument that starts a file dialog in the current document's folder, or empty.
static std::string start_folder_arg()
{
    const char* folder = desktop_context.doc_folder;
    if (!folder || !folder[0])
        return std::string();
    std::string dir = folder;
    if (dir.back() != '/')
        dir += '/'; // a trailing "/" makes zenity open the folder instead of preselecting a file
    return "--filename=" + dir;
}

// Copies a dialog's result into the caller's buffer. A path that does not fit is refused with a
// message (a cut path would name another file) and the buffer is left untouched.
static int copy_result(const std::string& path, char* dest, int dest_size)
{
    if (!dest || dest_size <= 0 || path.size() + 1 > (size_t)dest_size) {
        wrfprintf(stderr, "Path too long (%d bytes): %s\n", (int)path.size(), path.c_str());
        return 0;
    }
    memcpy(dest, path.c_str(), path.size() + 1);
    return 1;
}

// Asks for a file to open: 1 with its path, 0 when cancelled.
static int ask_open(std::string* path)
{
    if (script_active()) {
        std::string line;
        if (!script_ask("open dialog", &line))
            return 0;
        *path = after_word(line, "open");
        if (path->empty())
            script_mismatch(line, "open dialog");
        return !path->empty();
    }
    std::vector<std::string> args = {"--file-selection", "--title=Open"};
    std::string start = start_folder_arg();
    if (!start.empty())
        args.push_back(start);
    ChildRun r = zenity(args);
    if (!accepted(r) || r.out.empty())
        return 0;
    *path = r.out;
    return 1;
}

// Asks for the name to save under: 1 with the typed name, 0 when cancelled. `*tag` receives the
// type when the answer chose one too (a script's "save TYPE PATH"), else -1.
static int ask_save_name(DialogKind kind, std::string* name, int* tag)
{
    *tag = -1;
    if (script_active()) {
        const char* what = kind == DIALOG_SOUND     ? "save dialog (audio)"
                           : kind == DIALOG_PICTURE ? "save dialog (picture)"
                                                    : "save dialog";
        std::string line;
        if (!script_ask(what, &line))
            return 0;
        std::string rest = after_word(line, "save");
        size_t space = rest.find(' ');
        if (space != std::string::npos && space + 1 < rest.size()) {
            int typed = tag_from_word(rest.substr(0, space), kind);
            if (typed >= 0) {
                *tag = typed;
                rest = rest.substr(space + 1);
            } else if (tag_from_word(rest.substr(0, space), DIALOG_ANY) >= 0) {
                rest.clear(); // a type this dialog does not offer
            }
        }
        if (rest.empty()) {
            script_mismatch(line, what);
            return 0;
        }
        *name = rest;
        return 1;
    }
    std::vector<std::string> args = {"--file-selection", "--save", "--confirm-overwrite",
                                      kind == DIALOG_SOUND     ? "--title=Save Sound"
                                      : kind == DIALOG_PICTURE ? "--title=Save Picture"
                                                               : "--title=Save"};
    std::string start = start_folder_arg();
    if (!start.empty())
        args.push_back(start);
    for (int t = first_tag(kind); t <= last_tag(kind); t++) {
        std::string lower = SAVE_EXTENSIONS[t], upper = lower;
        std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
        args.push_back(std::string("--file-filter=") + SAVE_TYPE_LABELS[t] + " (*." + lower + ") | *." + lower + " *." + upper);
    }
    ChildRun r = zenity(args);
    if (!accepted(r) || r.out.empty())
        return 0;
    *name = r.out;
    return 1;
}

// Runs a zenity one-choice list of the tags `tags` (the first preselected) and returns the tag
// picked, or -1.
static int zenity_pick(const char* title, const char* text, const std::vector<int>& tags, const char* const* labels)
{
    std::vector<std::string> args = {"--list", "--radiolist", std::string("--title=") + title, std::string("--text=") + text,
                                     "--column=", "--column=Tag", "--column=Type", "--hide-column=2", "--print-column=2",
                                     "--height=360"};
    for (size_t i = 0; i < tags.size(); i++) {
        args.push_back(i == 0 ? "TRUE" : "FALSE");
        args.push_back(std::to_string(tags[i]));
        args.push_back(labels[i]);
    }
    ChildRun r = zenity(args);
    if (!accepted(r) || r.out.empty())
        return -1;
    for (int tag : tags)
        if (r.out == std::to_string(tag))
            return tag;
    wrfprintf(stderr, "Unexpected answer from the type list: %s\n", r.out.c_str());
    return -1;
}

// Asks which archive a ".kbz" name is saved as: SAVE_HISTORY, SAVE_SNAPSHOT, or -1 when cancelled.
static int ask_archive()
{
    if (script_active()) {
        std::string line;
        if (!script_ask("archive question", &line))
            return -1;
        if (line == SAVE_TYPE_WORDS[SAVE_HISTORY])
            return SAVE_HISTORY;
        if (line == SAVE_TYPE_WORDS[SAVE_SNAPSHOT])
            return SAVE_SNAPSHOT;
        script_mismatch(line, "archive question");
        return -1;
    }
    return zenity_pick("Save Archive", "Which archive should be written?", {SAVE_HISTORY, SAVE_SNAPSHOT}, ARCHIVE_NOTES);
}

// Asks the file type of a name without a known extension: a tag, or -1 when cancelled.
static int ask_type(DialogKind kind)
{
    if (script_active()) {
        std::string line;
        if (!script_ask("type question", &line))
            return -1;
        int tag = tag_from_word(line, kind);
        if (tag < 0)
            script_mismatch(line, "type question");
        return tag;
    }
    std::vector<int> tags;
    for (int t = first_tag(kind); t <= last_tag(kind); t++)
        tags.push_back(t);
    return zenity_pick("Save As", "Save as which type of file?", tags, SAVE_TYPE_LABELS + first_tag(kind));
}

// Asks before a name lengthened by the extension rule replaces an existing file (the file dialog
// only confirmed the name as typed). True when the file may be written.
static bool confirm_replace(const std::string& path)
{
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0)
        return true;
    ChildRun r = zenity({"--question", "--no-markup", "--title=Save", "--ok-label=Replace", "--cancel-label=Cancel",
                         "--text=A file named \"" + path + "\" already exists. Replace it?"});
    return accepted(r);
}

// The save dialog's whole flow: the name, the type from its extension or asked, which archive
// for ".kbz", then the extension rule. Sets slot 116 only when a path is returned.
static int save_dialog(char* dest, int dest_size, DialogKind kind)
{
    DialogOpen open;
    std::string typed;
    int tag;
    if (!ask_save_name(kind, &typed, &tag))
        return 0;
    if (tag < 0) {
        if (kind == DIALOG_ANY && has_extension(typed, "kbz"))
            tag = ask_archive();
        else if ((tag = tag_from_extension(typed, kind)) < 0)
            tag = ask_type(kind);
        if (tag < 0)
            return 0;
    }
    std::string path = name_with_type(typed, tag);
    if (!script_active() && path != typed && !confirm_replace(path))
        return 0;
    if (!copy_result(path, dest, dest_size))
        return 0;
    set_archive_choice(tag);
    return 1;
}

int open_file_dialog(char* dest, int dest_size)
{
    DialogOpen open;
    std::string path;
    if (!ask_open(&path))
        return 0;
    return copy_result(path, dest, dest_size);
}

int save_file_dialog(char* dest, int dest_size)
{
    return save_dialog(dest, dest_size, DIALOG_ANY);
}

int save_audio_dialog(char* dest, int dest_size)
{
    return save_dialog(dest, dest_size, DIALOG_SOUND);
}

int save_picture_dialog(char* dest, int dest_size)
{
    return save_dialog(dest, dest_size, DIALOG_PICTURE);
}

// Writes an alert's or question's words to stderr, so that the log keeps what the user saw.
static void log_alert(const char* title, const char* text)
{
    size_t n = strlen(text);
    while (n > 0 && text[n - 1] == '\n')
        n--;
    wrfprintf(stderr, "%s: %.*s\n", title, (int)n, text);
}

void message_box(const char* text, const char* title, int warning)
{
    text = text ? text : "";
    title = title ? title : "";
    log_alert(title, text);
    DialogOpen open;
    if (script_active()) {
        std::string line; // any line dismisses an alert
        script_ask(std::string("alert: ") + title + ": " + text, &line);
        return;
    }
    zenity({warning ? "--warning" : "--error", "--no-markup", std::string("--title=") + title,
            std::string("--text=") + title + "\n\n" + text});
}

int message_box_yesno(const char* text, const char* title)
{
    text = text ? text : "";
    title = title ? title : "";
    log_alert(title, text);
    DialogOpen open;
    if (script_active()) {
        std::string line;
        if (!script_ask(std::string("question: ") + title + ": " + text, &line))
            return 0;
        if (line == "yes")
            return 1;
        if (line != "no")
            script_mismatch(line, "yes/no question");
        return 0;
    }
    ChildRun r = zenity({"--question", "--no-markup", "--ok-label=Yes", "--cancel-label=No",
                         std::string("--title=") + title, std::string("--text=") + title + "\n\n" + text});
    return accepted(r) ? 1 : 0;
}

// The number at the start of `answer` (spaces around it allowed); false for anything else.
static bool read_number(const std::string& answer, float* value)
{
    char* end = nullptr;
    const float v = strtof(answer.c_str(), &end);
    if (end == answer.c_str() || !std::isfinite(v))
        return false;
    while (*end == ' ' || *end == '\t')
        end++;
    if (*end)
        return false;
    *value = v;
    return true;
}

int ask_number(const char* text, const char* title, float initial, float* value)
{
    text = text ? text : "";
    title = title ? title : "";
    DialogOpen open;
    std::string answer;
    if (script_active()) {
        std::string line;
        if (!script_ask(std::string("number: ") + title + ": " + text, &line))
            return 0;
        answer = after_word(line, "number");
        if (answer.empty()) {
            script_mismatch(line, "number question");
            return 0;
        }
    } else {
        char shown[32];
        snprintf(shown, sizeof shown, "%g", (double)initial);
        ChildRun r = zenity({"--entry", std::string("--title=") + title, std::string("--text=") + text,
                             std::string("--entry-text=") + shown});
        if (!accepted(r))
            return 0;
        answer = r.out;
    }
    float v = 0.f;
    if (!read_number(answer, &v)) {
        user_notice("%s: \"%s\" is not a number; nothing was changed", title, answer.c_str());
        return 0;
    }
    *value = v;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Opening things with the desktop
// ---------------------------------------------------------------------------------------------

// The program named by the environment variable `name`, or `fallback` when it is unset or empty.
static const char* program_from_env(const char* name, const char* fallback)
{
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}

int system_open(const char* path)
{
    if (!path || !*path) {
        wrfprintf(stderr, "Nothing to open\n");
        return 0;
    }
    const char* opener = program_from_env("BRINDLEWHARF_OPENER", "xdg-open");
    std::string target = path;
    if (target[0] == '-')
        target = "./" + target; // a name beginning with "-" must not pass for an option of the opener
    ChildRun r = run_child({opener, target}, CHILD_HELPER, HELPER_WAIT_MS, std::string());
    if (!r.started) {
        user_notice("Cannot run %s to open %s: %s", opener, path, strerror(r.error));
        return 0;
    }
    if (r.finished && r.status != 0) {
        user_notice("%s could not open %s (status %d): no program on this desktop opens it", opener, path, r.status);
        return 0;
    }
    return 1; // ended well, or still showing the document in the foreground
}

void open_manual()
{
    std::string path = respath;
    if (path.empty() || path.back() != '/')
        path += '/';
    path += "guide.html";
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) {
        user_notice("User guide not found: %s", path.c_str());
        return;
    }
    system_open(path.c_str());
}

void check_updates()
{
    if (desktop_context.home_page)
        system_open(desktop_context.home_page);
}

void open_appdata()
{
    char* dir = desktop_context.app_folder ? make_appdata_path(desktop_context.app_folder, nullptr, 1) : nullptr;
    if (!dir) {
        user_notice("No application-data folder: neither XDG_DATA_HOME nor HOME is set");
        return;
    }
    system_open(dir);
    free(dir);
}

// Folder for temporary files: $TMPDIR, else /tmp.
static std::string temp_folder()
{
    const char* dir = getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

int copy_image(const uint32_t* pixels, int w, int h)
{
    if (!pixels || w <= 0 || h <= 0) {
        wrfprintf(stderr, "Nothing to copy (%d x %d picture)\n", w, h);
        return 0;
    }
    const PictureLibrary* library = picture_library();
    if (!library)
        return 0;
    const PictureLibrary& fi = *library;
    FIBITMAP* bmp = fi.Allocate(w, h, 32, FI_RGBA_RED_MASK, FI_RGBA_GREEN_MASK, FI_RGBA_BLUE_MASK);
    if (!bmp) {
        wrfprintf(stderr, "Cannot make a %d x %d picture for the clipboard\n", w, h);
        return 0;
    }
    const uint8_t* src = reinterpret_cast<const uint8_t*>(pixels);
    for (int y = 0; y < h; y++) {
        BYTE* row = fi.GetScanLine(bmp, h - 1 - y); // FreeImage keeps the bottom row first
        const uint8_t* s = src + (size_t)y * w * 4;
        for (int x = 0; x < w; x++, s += 4) {
            BYTE* d = row + (size_t)x * 4; // FreeImage's byte order is the machine's (BGRA here)
            d[FI_RGBA_RED] = s[0];
            d[FI_RGBA_GREEN] = s[1];
            d[FI_RGBA_BLUE] = s[2];
            d[FI_RGBA_ALPHA] = s[3];
        }
    }
    std::string file = temp_folder() + "/brindlewharf-copy-XXXXXX";
    int fd = mkstemp(file.data());
    if (fd < 0) {
        wrfprintf(stderr, "Cannot make a temporary file in %s: %s\n", temp_folder().c_str(), strerror(errno));
        fi.Unload(bmp);
        return 0;
    }
    close(fd);
    BOOL saved = fi.Save(FIF_PNG, bmp, file.c_str(), PNG_DEFAULT);
    fi.Unload(bmp);
    if (!saved) {
        wrfprintf(stderr, "Cannot write the clipboard picture %s\n", file.c_str());
        unlink(file.c_str());
        return 0;
    }
    const char* tool = program_from_env("BRINDLEWHARF_CLIPBOARD", "xclip");
    ChildRun r = run_child({tool, "-selection", "clipboard", "-t", "image/png", "-i", file}, CHILD_HELPER, HELPER_WAIT_MS, file);
    if (!r.started) {
        wrfprintf(stderr, "Cannot run %s to copy the picture: %s\n", tool, strerror(r.error));
        return 0;
    }
    if (!r.finished) {
        wrfprintf(stderr, "%s did not finish taking the picture\n", tool);
        return 0;
    }
    if (r.status != 0) {
        wrfprintf(stderr, "%s could not copy the picture (status %d)\n", tool, r.status);
        return 0;
    }
    return 1;
}

char* paste_image_file()
{
    const char* tool = program_from_env("BRINDLEWHARF_CLIPBOARD", "xclip");
    ChildRun r = run_child({tool, "-selection", "clipboard", "-t", "image/png", "-o"}, CHILD_READER, HELPER_WAIT_MS, "");
    if (!r.started) {
        wrfprintf(stderr, "Cannot run %s to paste a picture: %s\n", tool, strerror(r.error));
        return nullptr;
    }
    if (!r.finished || r.status != 0 || r.out.empty()) {
        wrfprintf(stderr, "The clipboard holds no picture\n");
        return nullptr;
    }
    std::string file = temp_folder() + "/brindlewharf-paste-XXXXXX";
    const int fd = mkstemp(file.data());
    if (fd < 0) {
        wrfprintf(stderr, "Cannot make a temporary file in %s: %s\n", temp_folder().c_str(), strerror(errno));
        return nullptr;
    }
    size_t done = 0;
    while (done < r.out.size()) {
        const ssize_t n = write(fd, r.out.data() + done, r.out.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += (size_t)n;
    }
    close(fd);
    if (done != r.out.size()) {
        wrfprintf(stderr, "Cannot write the pasted picture to %s\n", file.c_str());
        unlink(file.c_str());
        return nullptr;
    }
    return strdup(file.c_str());
}
