// Platform layer: threads, locks, allocation, logging, sleeping, random numbers, cores and the
// process environment, on POSIX.
#include "platform/util.h"
#include "platform/desktop.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/stat.h>

// ---------------------------------------------------------------------------------------------
// [SECTION] Threads
// ---------------------------------------------------------------------------------------------

int thread_spawn(ThreadRecord* rec, void* (*routine)(void*), void* arg)
{
    pthread_attr_init(&rec->attr);
    int status = pthread_create(&rec->thread, &rec->attr, routine, arg);
    pthread_attr_destroy(&rec->attr);
    rec->joinable = 1;
    if (status != 0) // nothing to join: remember the failure so that thread_wait reports it
        rec->thread = pthread_t{};
    return status;
}

int thread_wait(ThreadRecord* rec, void** result)
{
    if (!rec->joinable)
        return 0;
    rec->joinable = 0;
    if (rec->thread == pthread_t{})
        return ESRCH; // creation had failed: nothing runs
    int status = pthread_join(rec->thread, result);
    rec->thread = pthread_t{};
    return status;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Locks
// ---------------------------------------------------------------------------------------------

sem_t* semaphore_new()
{
    sem_t* s = static_cast<sem_t*>(wrmalloc(sizeof(sem_t)));
    sem_init(s, 0, 1);
    return s;
}

void semaphore_free(sem_t* s)
{
    if (!s)
        return;
    sem_destroy(s);
    free(s);
}

void mutex_to_1(sem_t* s)
{
    if (!s) {
        wrfprintf(stderr, "NULL mutex\n");
        return;
    }
    while (sem_wait(s) != 0 && errno == EINTR) {
    }
}

void mutex_to_0(sem_t* s)
{
    if (!s) {
        wrfprintf(stderr, "NULL mutex\n");
        return;
    }
    sem_post(s);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Memory
// ---------------------------------------------------------------------------------------------

void* (*wr_system_malloc)(size_t size) = malloc;

// A request larger than the machine's memory cannot be helped by stirring the heap (which
// would allocate up to that much first); such requests go straight to the final failure.
static bool worth_stirring(size_t size)
{
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0)
        return true;
    return size / (size_t)page < (size_t)pages;
}

void* wrmalloc(size_t size)
{
    void* p = wr_system_malloc(size);
    if (p)
        return p;

    for (int attempt = 1; attempt <= 10; attempt++) {
        p = wr_system_malloc(size);
        if (p) {
            wrfprintf(stderr, "wrmalloc() succeded to allocate %d MB after %d extra attempts\n", (int)(size >> 20), attempt);
            return p;
        }
    }

    if (worth_stirring(size)) {
        // Stir the heap: allocate and free many chunks so that the allocator can merge free space.
        // Only the system allocator is called here: a chunk that cannot be had ends the stirring
        // (this path must never come back into wrmalloc, which would stir again, and again).
        size_t chunk = size >> 5, count = 32;
        if (chunk < 4096) {
            chunk = 4096;
            count = (size >> 12) + 1;
        }
        if (chunk > 1048576) {
            chunk = 1048576;
            count = (size >> 20) + 1;
        }
        void** chunks = static_cast<void**>(wr_system_malloc(count * sizeof(void*)));
        size_t got = 0;
        while (chunks && got < count && (chunks[got] = wr_system_malloc(chunk)) != nullptr)
            got++;
        for (size_t i = 0; i < got; i++)
            free(chunks[i]);
        free(chunks);

        for (int attempt = 1; attempt <= 10; attempt++) {
            p = wr_system_malloc(size);
            if (p) {
                wrfprintf(stderr, "wrmalloc() succeded to allocate %d MB after allocating %d chunks then with %d extra attempts\n",
                          (int)(size >> 20), (int)got, attempt);
                return p;
            }
        }
    }

    wrfprintf(stderr, "wrmalloc(%d) ultimately failed to allocate %d MB\nExiting with error.\n", (int)size, (int)(size >> 20));
    message_box("Error: Brindlewharf cannot allocate more memory", "Out of memory", 0);
    exit(1);
}

// A "Name:   1234 kB" line of a /proc file, in bytes; false when the file or line is missing.
static bool proc_kb(const char* path, const char* name, size_t* bytes)
{
    FILE* f = fopen(path, "r");
    if (!f)
        return false;
    char line[256];
    const size_t n = strlen(name);
    bool found = false;
    while (!found && fgets(line, sizeof line, f)) {
        unsigned long long kb;
        if (strncmp(line, name, n) == 0 && sscanf(line + n, " %llu", &kb) == 1) {
            *bytes = (size_t)kb * 1024;
            found = true;
        }
    }
    fclose(f);
    return found;
}

// A number alone in a file (as the cgroup files hold them); false for "max" or a missing file.
static bool file_number(const char* path, size_t* value)
{
    FILE* f = fopen(path, "r");
    if (!f)
        return false;
    unsigned long long v;
    const bool read = fscanf(f, "%llu", &v) == 1;
    fclose(f);
    if (read)
        *value = (size_t)v;
    return read;
}

size_t memory_available()
{
    size_t best = SIZE_MAX, v;
    if (proc_kb("/proc/meminfo", "MemAvailable:", &v))
        best = v;
    // The cgroup (version 2) this process runs in: its limit less what it uses already.
    size_t limit, used;
    if (file_number("/sys/fs/cgroup/memory.max", &limit) && file_number("/sys/fs/cgroup/memory.current", &used))
        best = std::min(best, limit > used ? limit - used : 0);
    // The address-space limit less the address space in use.
    struct rlimit rl;
    if (getrlimit(RLIMIT_AS, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && proc_kb("/proc/self/status", "VmSize:", &used))
        best = std::min(best, (size_t)rl.rlim_cur > used ? (size_t)rl.rlim_cur - used : 0);
    return best;
}

bool memory_refused(double bytes, const char* what, char* why, size_t size)
{
    const size_t have = memory_available();
    if (bytes < 0.9 * (double)have)
        return false;
    snprintf(why, size, "%s needs %.0f MB of memory and %.0f MB are available", what, bytes / 1048576.0,
             (double)have / 1048576.0);
    return true;
}

void* wrcalloc(size_t count, size_t size)
{
    size_t total;
    if (__builtin_mul_overflow(count, size, &total))
        total = SIZE_MAX; // fails like any absurd size
    // The system's calloc takes large blocks straight from the kernel, already zero, where a
    // memset would write every page once more (several megabytes for a sound's spectrum). The
    // hooked allocator of the tests goes the long way.
    if (wr_system_malloc == malloc && total != SIZE_MAX)
        if (void* fresh = calloc(1, total))
            return fresh;
    void* p = wrmalloc(total);
    memset(p, 0, total);
    return p;
}

void* wrrealloc(void* ptr, size_t size)
{
    void* p = realloc(ptr, size);
    if (!p && size) {
        wrfprintf(stderr, "wrrealloc(0x%x, %d bytes) failed\n", (unsigned)(uintptr_t)ptr, (int)size);
        return ptr;
    }
    return p;
}

void free_null_raw(void** p)
{
    if (!p)
        return;
    free(*p);
    *p = nullptr;
}

void free2d_raw(void** array, int count)
{
    if (!array)
        return;
    for (int i = 0; i < count; i++)
        free_null_raw(&array[i]);
    free(array);
}

int alloc_enough2_raw(void** buffer, int needed, int current, size_t elem_size, double factor)
{
    if (needed <= current)
        return current;
    double want = std::ceil((double)needed * factor);
    size_t bytes;
    if (want > (double)INT_MAX || __builtin_mul_overflow((size_t)want, elem_size, &bytes)) {
        wrfprintf(stderr, "realloc(*buffer=0x%08x, size=%d) failed.\n", (unsigned)(uintptr_t)*buffer, (int)want);
        return current;
    }
    int grown = (int)want;
    void* p = realloc(*buffer, bytes);
    if (!p) {
        wrfprintf(stderr, "realloc(*buffer=0x%08x, size=%d) failed.\n", (unsigned)(uintptr_t)*buffer, (int)bytes);
        return current;
    }
    size_t old = current > 0 ? (size_t)current : 0;
    memset(static_cast<char*>(p) + old * elem_size, 0, (size_t)(grown - (int)old) * elem_size);
    *buffer = p;
    return grown;
}

char* string_assign(const char* text)
{
    if (!text)
        text = "";
    size_t n = strlen(text);
    char* copy = static_cast<char*>(wrcalloc(n + 1, 1));
    memcpy(copy, text, n);
    return copy;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Logging and files
// ---------------------------------------------------------------------------------------------

FILE* logfile = nullptr;
char respath[4096] = ".";

// What this thread last wrote to standard error (see last_error_text).
static thread_local std::string last_error;

const char* last_error_text() { return last_error.c_str(); }

void clear_last_error_text() { last_error.clear(); }

void wrfprintf(FILE* stream, const char* format, ...)
{
    if (!stream)
        return;
    va_list args;
    va_start(args, format);
    if (stream == stderr) {
        char line[1024];
        va_list copy;
        va_copy(copy, args);
        vsnprintf(line, sizeof line, format, copy);
        va_end(copy);
        last_error = line;
        while (!last_error.empty() && last_error.back() == '\n')
            last_error.pop_back();
    }
    FILE* log = logfile;
    if (log && (stream == stdout || stream == stderr)) {
        va_list copy;
        va_copy(copy, args);
        vfprintf(log, format, copy);
        fflush(log);
        va_end(copy);
    }
    vfprintf(stream, format, args);
    fflush(stream);
    va_end(args);
}

// The notice the window has not shown yet, and its lock (notices may come from any thread).
static std::mutex notice_lock;
static std::string notice_pending;

void user_notice(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    wrfprintf(stderr, "%s\n", line);
    std::lock_guard<std::mutex> lock(notice_lock);
    notice_pending = line;
}

int take_user_notice(char* out, size_t size)
{
    std::lock_guard<std::mutex> lock(notice_lock);
    if (notice_pending.empty())
        return 0;
    snprintf(out, size, "%s", notice_pending.c_str());
    notice_pending.clear();
    return 1;
}

FILE* wrfopen(const char* path, const char* mode)
{
    std::string full = path[0] == '/' ? std::string(path) : std::string(respath) + "/" + path;
    if (full.size() >= 4096)
        full.resize(4095);
    FILE* f = fopen(full.c_str(), mode);
    if (!f)
        wrfprintf(stderr, "File not found: %s\n", full.c_str());
    return f;
}

void wrsleep(int ms)
{
    timespec t;
    if (ms <= 0) {
        t.tv_sec = 0;
        t.tv_nsec = 10000;
    } else {
        t.tv_sec = ms / 1000;
        t.tv_nsec = (long)(ms % 1000) * 1000000L;
    }
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Files replaced whole, regular files and file locks
// ---------------------------------------------------------------------------------------------

// The folder part of a path ("." for a bare name, "/" for a file at the root).
static std::string folder_of(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool ReplacingFile::open(const char* path)
{
    abandon();
    target = path ? path : "";
    if (target.empty()) {
        errno = ENOENT;
        return false;
    }
    struct stat st;
    // Replace what a link points at, so that the link stays a link.
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = realpath(path, nullptr)) {
            target = real;
            free(real);
        }
    }
    const std::string folder = folder_of(target);
    static std::atomic<unsigned> counter{0};
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
        temp = folder + "/.bw-save-" + std::to_string((long)getpid()) + "-" + std::to_string(counter++) + ".tmp";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return false;
    // The new file keeps the permissions of the one it replaces.
    if (stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        fchmod(fd, st.st_mode & 0777);
    f = fdopen(fd, "wb");
    if (!f) {
        const int e = errno;
        close(fd);
        remove(temp.c_str());
        errno = e;
        return false;
    }
    return true;
}

int ReplacingFile::commit()
{
    if (!f) {
        errno = EBADF;
        return -1;
    }
    FILE* file = f;
    f = nullptr;
    bool ok = fflush(file) == 0 && !ferror(file) && fsync(fileno(file)) == 0;
    int e = ok ? 0 : (errno ? errno : EIO);
    if (fclose(file) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        remove(temp.c_str());
        errno = e;
        return -1;
    }
    // Make the rename itself durable (best effort: not every file system allows it).
    const int dir = ::open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return 0;
}

void ReplacingFile::abandon()
{
    if (f) {
        fclose(f);
        f = nullptr;
        remove(temp.c_str());
    }
}

bool is_regular_file(const char* path)
{
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool same_file(const char* a, const char* b)
{
    struct stat sa, sb;
    return a && b && stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int lock_file(const char* path)
{
    const int fd = path ? ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666) : -1;
    if (fd < 0)
        return -2;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return e == EWOULDBLOCK ? -1 : -2;
    }
    return fd;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Random numbers
// ---------------------------------------------------------------------------------------------

uint32_t rand_seed = 0;

void wrsrand(uint32_t seed) { rand_seed = seed; }

int wrrand()
{
    rand_seed = rand_seed * 214013u + 2531011u;
    return (int)((rand_seed >> 16) & 0x7fff);
}

uint32_t rand_u32()
{
    uint32_t a = (uint32_t)wrrand(), b = (uint32_t)wrrand(), c = (uint32_t)wrrand();
    return (a << 30) | (b << 15) | c;
}

float dblrand()
{
    // u * 2^-31 - 1 lies in [-1, 1); near the top single precision would round up to 1.0,
    // so the largest values are held just below it.
    float r = (float)((double)rand_u32() * 4.656612873077393e-10 - 1.0);
    return r < 1.f ? r : 0.99999994f;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Processor count and process environment
// ---------------------------------------------------------------------------------------------

int core_count()
{
    int n = 0;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        n = CPU_COUNT(&set);
    if (n <= 0)
        n = (int)sysconf(_SC_NPROCESSORS_ONLN);
    if (n <= 0) {
        wrfprintf(stderr, "Could not determine number of cpus available\nDefaulting to 1\n");
        n = 1;
    }
    return n;
}

static bool is_dir(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

static void set_respath(const std::string& dir)
{
    snprintf(respath, sizeof respath, "%s", dir.c_str());
}

std::string program_folder(const char* argv0)
{
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path = n > 0 ? std::string(exe, (size_t)n) : std::string(argv0 ? argv0 : "");
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
}

void find_resources(const char* argv0)
{
    const char* forced = getenv("BRINDLEWHARF_RESOURCES");
    if (forced && *forced) {
        set_respath(forced);
        return;
    }
    const std::string exe_dir = program_folder(argv0);

    if (is_dir(exe_dir + "/gfx"))
        set_respath(exe_dir);
    else if (is_dir(exe_dir + "/../share/brindlewharf/gfx"))
        set_respath(exe_dir + "/../share/brindlewharf");
    else if (is_dir(BW_INSTALL_DATADIR "/gfx"))
        set_respath(BW_INSTALL_DATADIR);
    else
        set_respath(exe_dir);
}

void os_init(int argc, char** argv, const char* app_folder, const char* banner, const char* log_name)
{
    find_resources(argc > 0 ? argv[0] : nullptr);

    char* log_path = make_appdata_path(app_folder, log_name, 1);
    if (log_path) {
        logfile = fopen(log_path, "w");
        free(log_path);
    }

    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        strcpy(cwd, "?");
    wrfprintf(stdout, "%s\n\nOutput log\n\n", banner);
    wrfprintf(stdout, "cwd is: %s\n", cwd);
    // Resources are opened through wrfopen relative to `respath`, so the working directory
    // stays where the user started the program and relative paths on the command line work.
    wrfprintf(stdout, "resources are in: %s\n", respath);
}

void os_init2() {}

void os_deinit()
{
    if (logfile) {
        FILE* f = logfile;
        logfile = nullptr;
        fclose(f);
    }
}
