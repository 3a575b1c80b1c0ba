// Program entry: the editor (with an optional document) and the command-line options.
#include "core/batch.h"
#include "core/startup.h"
#include "core/state.h"
#include "platform/util.h"

#include <cstdio>
#include <cstring>

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
    int doc = document_argument(argc, argv);
    if (argc >= 2 && argv[1][0] == '-')
        fprintf(stderr, "Ignoring option %s\n", argv[1]);
    program_start(argc, argv, doc ? argv[doc] : nullptr);
    wrfprintf(stdout, "Cores used for parallel work: %d\n", CORE_COUNT);
    if (doc)
        wrfprintf(stdout, "Document: %s\n", argv[doc]);
    // The window, the panel and the frame loop come next; until then the start-up ends here.
    wrfprintf(stdout, "The editor window is not part of this build yet.\n");
    program_end();
    return 0;
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
