// Start-up and shut-down steps that need no window, shared by the editor and the batch
// commands: the application-data paths, the command slots, the random seed, the platform
// start, the document folder, the configuration and the worker count.
#pragma once

// History slots: editors running at once each write a history file of their own.
constexpr int HISTORY_SLOTS = 16;

// Runs the windowless start-up. `doc_path` is the document named on the command line, or null.
// The history file is the first of "history.kbz", "history-2.kbz" ... "history-16.kbz" whose
// advisory lock (flock on "NAME.lock" beside it) no other running editor holds; the lock is held
// until program_end. A slot other than the first is said on stderr and in the log, which is
// then "logfile-N.txt"; with no slot free the session keeps no history (also said).
void program_start(int argc, char** argv, const char* doc_path);

// Closes the history file and releases its slot, shuts the platform down and writes
// "\nQuitting program.\n".
void program_end();

// Index in argv of the document named on the command line, or 0 when there is none:
// argv[1], or argv[2] when argv[1] begins with "-".
int document_argument(int argc, char** argv);
