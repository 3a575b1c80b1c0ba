// Program entry: the editor (with an optional document) and the command-line options.
#include "cli/batch.h"
#include "editor/frame.h"
#include "core/state.h"
#include "display/window.h"

#include <cstdio>
#include <cstring>

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

static int run_editor(int argc, char** argv)
{
    if (!display_available()) {
        fprintf(stderr, "No display to open the editor window on (neither DISPLAY nor WAYLAND_DISPLAY is set): "
                        "run it under xvfb-run, or use the batch commands (brindlewharf --help).\n");
        return 1;
    }
    if (argc >= 2 && argv[1][0] == '-')
        fprintf(stderr, "Ignoring option %s\n", argv[1]);
    return editor_run(argc, argv);
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
