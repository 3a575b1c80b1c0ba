// Loading the picture library on first use (dlopen), once per process.
#include "platform/picture_library.h"
#include "platform/util.h"

#include <dlfcn.h>

#include <future>
#include <mutex>

// The library's run-time names: the versioned one a Debian system installs, then the plain one.
static const char* const LIBRARY_NAMES[] = {"libfreeimage.so.3", "libfreeimage.so"};

static std::once_flag load_once;
static PictureLibrary library;     // filled by load_library
static bool library_loaded = false; // every call was found
static char load_failure[512];      // why it could not be loaded, when it could not

static void load_library()
{
    void* handle = nullptr;
    for (const char* name : LIBRARY_NAMES)
        if ((handle = dlopen(name, RTLD_NOW | RTLD_LOCAL)))
            break;
    if (!handle) {
        snprintf(load_failure, sizeof load_failure, "%s", dlerror());
        return;
    }
#define PICTURE_LIBRARY_FIND(name)                                                                       \
    library.name = reinterpret_cast<decltype(library.name)>(dlsym(handle, "FreeImage_" #name));         \
    if (!library.name) {                                                                                 \
        snprintf(load_failure, sizeof load_failure, "it has no FreeImage_" #name);                      \
        return;                                                                                          \
    }
    PICTURE_LIBRARY_CALLS(PICTURE_LIBRARY_FIND)
#undef PICTURE_LIBRARY_FIND
    library_loaded = true;
}

const PictureLibrary* picture_library()
{
    std::call_once(load_once, load_library);
    if (library_loaded)
        return &library;
    static std::once_flag told;
    std::call_once(told, [] { wrfprintf(stderr, "Cannot load the picture library: %s\n", load_failure); });
    return nullptr;
}

void picture_library_preload()
{
    // A future from std::async waits for its thread when it is destroyed, at the process's end
    // at the latest, so the load never races the process's exit.
    static std::once_flag started;
    static std::future<void> loading;
    std::call_once(started, [] { loading = std::async(std::launch::async, [] { std::call_once(load_once, load_library); }); });
}
