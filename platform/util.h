// Platform layer: threads, locks, allocation, logging, sleeping, random numbers, cores and the
// start-up and shut-down of the process environment. Everything above calls these instead of
// the system library directly. All of it may be called from any thread.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// ---------------------------------------------------------------------------------------------
// [SECTION] Threads
// ---------------------------------------------------------------------------------------------

// One started thread. Embedded in the record that owns the thread; a zeroed record may be
// waited on harmlessly.
struct ThreadRecord {
    pthread_t thread;     // platform thread handle
    pthread_attr_t attr;  // creation attributes (only alive during thread_spawn)
    int joinable;         // 1 between a start and the matching join
};

// Starts `routine(arg)` on a new thread; sets `joinable` to 1 even when creation failed
// (thread_wait then reports the failure). Returns the creation status, 0 on success.
int thread_spawn(ThreadRecord* rec, void* (*routine)(void*), void* arg);

// Joins the thread of `rec` if it was started, stores its result (when `result` is not null),
// clears `joinable` and returns the join status. A record never started returns 0 at once.
int thread_wait(ThreadRecord* rec, void** result);

// ---------------------------------------------------------------------------------------------
// [SECTION] Locks: counting semaphores created with the value 1 and used as mutexes
// ---------------------------------------------------------------------------------------------

// A new semaphore with the value 1 (never null).
sem_t* semaphore_new();

// Destroys and frees a semaphore made by semaphore_new (null is harmless).
void semaphore_free(sem_t* s);

// Takes the lock (waits until it is free). A null lock writes "NULL mutex" and returns.
void mutex_to_1(sem_t* s);

// Releases the lock. A null lock writes "NULL mutex" and returns.
void mutex_to_0(sem_t* s);

// Holds a lock for the lifetime of a scope.
struct LockGuard {
    sem_t* s;
    explicit LockGuard(sem_t* lock) : s(lock) { mutex_to_1(s); }
    ~LockGuard() { mutex_to_0(s); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
};

// ---------------------------------------------------------------------------------------------
// [SECTION] Memory
// ---------------------------------------------------------------------------------------------

// Allocates `size` bytes; never returns null. Retries, stirs the heap, retries again, and finally
// shows the "Out of memory" alert and ends the process with status 1.
void* wrmalloc(size_t size);

// wrmalloc of count * size bytes, zero-filled (an overflowing product fails like an absurd size).
void* wrcalloc(size_t count, size_t size);

// Resizes a block; on failure reports it and returns the old pointer unchanged.
void* wrrealloc(void* ptr, size_t size);

// Frees *p (null is harmless) and sets it to null; a null address does nothing.
void free_null_raw(void** p);
template <class T> void free_null(T** p) { free_null_raw(reinterpret_cast<void**>(p)); }

// Frees every non-null element of `array` (setting it to null), then the array itself.
// A count below 1 frees only the array.
void free2d_raw(void** array, int count);
template <class T> void free2d(T** array, int count) { free2d_raw(reinterpret_cast<void**>(array), count); }

// Grows *buffer to hold `needed` elements of `elem_size` bytes: when needed > current, to
// ceil(needed * factor) elements, zeroing the new ones. Returns the new element count, or the
// old one (with a message) when the reallocation failed.
int alloc_enough2_raw(void** buffer, int needed, int current, size_t elem_size, double factor);
template <class T> int alloc_enough2(T** buffer, int needed, int current, size_t elem_size, double factor)
{
    return alloc_enough2_raw(reinterpret_cast<void**>(buffer), needed, current, elem_size, factor);
}

// A new copy of `text` (allocated with wrmalloc, freed with free). Null gives an empty string.
char* string_assign(const char* text);

// Bytes this process may still allocate: the least of the machine's available memory
// (MemAvailable), the room left under its cgroup's memory limit and under its address-space
// limit (RLIMIT_AS). SIZE_MAX when none of them is known.
size_t memory_available();

// Whether a job needing `bytes` must be refused: true when it would take more than 90 % of
// memory_available(), with "WHAT needs N MB of memory and M MB are available" in `why`.
bool memory_refused(double bytes, const char* what, char* why, size_t size);

// The underlying allocator behind wrmalloc; tests replace it to simulate failures.
extern void* (*wr_system_malloc)(size_t size);

// ---------------------------------------------------------------------------------------------
// [SECTION] Logging and files
// ---------------------------------------------------------------------------------------------

extern FILE* logfile;     // "logfile.txt" in the application-data folder, or null
extern char respath[4096]; // base directory of relative resource paths (holds gfx/)

// Formatted write and flush. Text sent to stdout or stderr is mirrored into `logfile`.
// A null stream writes nothing.
void wrfprintf(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The text this thread last wrote to standard error through wrfprintf, without its final line
// break (empty when nothing since clear_last_error_text): what the window tells the user when
// something it asked for was refused.
const char* last_error_text();

// Forgets the text last_error_text gives, before an action whose refusal is to be shown.
void clear_last_error_text();

// Something the user asked for did not happen (no audio device, no program to open a page, a
// full layer table): writes the one-line text to standard error and keeps it for the window,
// which shows it in its status line. Any thread.
void user_notice(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Copies the notice not shown yet into `out` (`size` bytes) and forgets it; 0 when there is none.
int take_user_notice(char* out, size_t size);

// Opens a file; a relative path is taken under `respath`. On failure writes
// "File not found: %s" with the path tried and returns null.
FILE* wrfopen(const char* path, const char* mode);

// Sleeps `ms` milliseconds; 0 sleeps 10 microseconds.
void wrsleep(int ms);

// ---------------------------------------------------------------------------------------------
// [SECTION] Files replaced whole, regular files and file locks
// ---------------------------------------------------------------------------------------------

// A file written under a unique temporary name in its target's folder and renamed over the
// target only once it is complete and on disk (flushed and fsynced), so that a failed or
// interrupted write never leaves a truncated file: the old file stays as it was. Abandoned
// (closed and removed) unless committed. A target that is a symbolic link has its destination
// replaced, so that the link stays a link; the new file keeps the old one's permissions. Every
// writer of a file the user owns goes through this record.
struct ReplacingFile {
    std::string target; // the file to replace (a symbolic link's destination)
    std::string temp;   // the file being written, in the target's folder
    FILE* f = nullptr;  // the open temporary file; writers may also use fileno(f)

    ReplacingFile() = default;
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;
    ~ReplacingFile() { abandon(); }

    // Creates the temporary file beside `path` under a fresh name. False (errno set) when it
    // cannot be created.
    bool open(const char* path);

    // Flushes the file to disk and renames it over the target. Returns 0, or -1 (errno set;
    // temporary file removed, target untouched).
    int commit();

    // Closes and removes the temporary file (nothing when none is open).
    void abandon();
};

// Whether `path` names a regular file (symbolic links followed). Opening anything else (a FIFO,
// a device) could block forever or never end.
bool is_regular_file(const char* path);

// Whether two paths name the same existing file.
bool same_file(const char* a, const char* b);

// Takes an exclusive advisory lock (flock) on `path`, creating the file if needed, without
// waiting. Returns the descriptor that holds the lock (closing it releases the lock), -1 when
// another open description holds it (another process, or another open in this one), or -2
// when the file cannot be opened.
int lock_file(const char* path);

// ---------------------------------------------------------------------------------------------
// [SECTION] Random numbers: the program's own generator, so that a seed reproduces a run
// ---------------------------------------------------------------------------------------------

extern uint32_t rand_seed; // generator state

void wrsrand(uint32_t seed); // sets the state
int wrrand();                // next value in 0..32767
uint32_t rand_u32();         // three wrrand values packed: (a << 30) | (b << 15) | c
float dblrand();             // uniform in [-1, 1)

// ---------------------------------------------------------------------------------------------
// [SECTION] Processor count and process environment
// ---------------------------------------------------------------------------------------------

// Number of processors this process may run on (1 when unknown).
int core_count();

// Process start-up: finds the resource folder, opens the log `log_name` in the
// application-data folder `app_folder`, writes `banner` and the working directory.
void os_init(int argc, char** argv, const char* app_folder, const char* banner,
             const char* log_name = "logfile.txt");

// Second start-up step (nothing to do on this platform).
void os_init2();

// Shut-down: closes the log file.
void os_deinit();

// The folder the running program's file is in (from /proc/self/exe, else argv0; "." when
// neither tells).
std::string program_folder(const char* argv0);

// Finds the resource folder (the folder that holds gfx/) and stores it in `respath`:
// $BRINDLEWHARF_RESOURCES, else the executable's folder when it holds gfx/, else the installed
// data folder, else the executable's folder.
void find_resources(const char* argv0);
