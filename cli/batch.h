// Batch commands: the program's work without a window or an audio device, run from the
// command line (`brindlewharf analyse IN -o OUT` and the commands that follow it).
//
// Exit status: 0 on success, 1 with a one-line message naming the file and the problem on bad
// input, 2 on bad usage. Progress goes to standard error while long work runs, only when it is
// a terminal; --quiet silences it.
#pragma once

// Exit statuses of the batch commands.
enum BatchStatus : int {
    BATCH_OK = 0,
    BATCH_BAD_INPUT = 1,
    BATCH_BAD_USAGE = 2,
};

// True when `name` is a batch command this build knows.
bool is_batch_command(const char* name);

// Runs the batch command argv[1] with its arguments; returns the exit status.
int run_batch(int argc, char** argv);

// The usage lines of every batch command, for --help.
const char* batch_usage();
