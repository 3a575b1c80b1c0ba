// Program entry: the editor (with an optional document) and the command-line options.
#include "cli/batch.h"
#include "core/state.h"
#include "editor/module.h"
#include "platform/util.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

// The SDL 1.2 compatibility layer never frees the window surfaces it makes (neither on a second
// SDL_SetVideoMode nor in SDL_Quit); a leak check of a sanitizer build passes over those blocks,
// which are not ours.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:SDL_SetVideoMode\nleak:libSDL-1.2.so\nleak:libSDL2-2.0.so\n";
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Command line
// ---------------------------------------------------------------------------------------------

static void print_usage(FILE* out)
{
    fprintf(out,
            "%s: a spectrogram editor. Open a sound as a picture, edit it, hear it.\n"
            "\n"
            "Usage:\n"
            "  brindlewharf [FILE]      start the editor, opening FILE (a sound, a picture or a .kbz project)\n"
            "  brindlewharf --version   print the version\n"
            "  brindlewharf --help      print this help\n"
            "\n"
            "Batch commands (no window, no audio device):\n"
            "%s"
            "\n"
            "Files: settings, history and log live in $XDG_DATA_HOME/Brindlewharf\n"
            "(~/.local/share/Brindlewharf when XDG_DATA_HOME is not set).\n",
            PROGRAM_TITLE, batch_usage());
}

// ---------------------------------------------------------------------------------------------
// [SECTION] The editor
// ---------------------------------------------------------------------------------------------

// The editor module: beside the program (the build tree), under the install's library folder
// relative to the program (a moved install), or where it was installed.
static std::string editor_module_path(const char* argv0)
{
    const std::string folder = program_folder(argv0);
    const std::string candidates[] = {
        folder + "/" EDITOR_MODULE_FILE,
        folder + "/../" BW_INSTALL_LIBDIR "/brindlewharf/" EDITOR_MODULE_FILE,
        BW_INSTALL_FULL_LIBDIR "/brindlewharf/" EDITOR_MODULE_FILE,
    };
    for (const std::string& path : candidates)
        if (access(path.c_str(), R_OK) == 0)
            return path;
    return candidates[2];
}

// Loads the editor module and runs the editor. The window and audio libraries come with the
// module, so the batch commands, which never get here, start without them.
static int run_editor(int argc, char** argv)
{
    const std::string path = editor_module_path(argc > 0 ? argv[0] : nullptr);
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        fprintf(stderr, "Could not load the editor from %s: %s\n", path.c_str(), dlerror());
        return 1;
    }
    auto* entry = reinterpret_cast<EditorMain*>(dlsym(module, EDITOR_MODULE_ENTRY));
    if (!entry) {
        fprintf(stderr, "Could not load the editor from %s: it has no %s\n", path.c_str(), EDITOR_MODULE_ENTRY);
        return 1;
    }
    // The module stays loaded to the end: its threads and exit handlers run from it.
    return entry(argc, argv);
}

int main(int argc, char** argv)
{
    if (argc >= 2 && (strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "-V") == 0)) {
        printf("%s\n", PROGRAM_TITLE);
        return 0;
    }
    if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        print_usage(stdout);
        return 0;
    }
    if (argc >= 2 && is_batch_command(argv[1]))
        return run_batch(argc, argv);
    return run_editor(argc, argv);
}
