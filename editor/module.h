// The editor as a module of its own: the program loads it only when the editor starts, so the
// batch commands never load the window and audio libraries.
#pragma once

// The module's file name, looked for beside the program and then in the install's library folder.
#define EDITOR_MODULE_FILE "brindlewharf-editor.so"

// The name of the module's entry point, for dlsym.
#define EDITOR_MODULE_ENTRY "brindlewharf_editor_main"

// The entry point's type: runs the editor on the program's arguments, returns the exit status.
typedef int EditorMain(int argc, char** argv);
