// The editor module's entry point, called by the program once it has loaded the module.
#include "editor/module.h"
#include "display/window.h"
#include "editor/frame.h"

#include <cstdio>
#include <type_traits>

extern "C" __attribute__((visibility("default"))) int brindlewharf_editor_main(int argc, char** argv)
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

// The entry point keeps the type the program calls it through.
static_assert(std::is_same_v<decltype(brindlewharf_editor_main), EditorMain>);
