// Start-up and shut-down steps that need no window, shared by the editor and the batch
// commands: the application-data paths, the command slots, the random seed, the platform
// start, the document folder, the configuration and the worker count.
#pragma once

// Runs the windowless start-up. `doc_path` is the document named on the command line, or null.
void program_start(int argc, char** argv, const char* doc_path);

// Closes the history file, shuts the platform down and writes "\nQuitting program.\n".
void program_end();

// Index in argv of the document named on the command line, or 0 when there is none:
// argv[1], or argv[2] when argv[1] begins with "-".
int document_argument(int argc, char** argv);
