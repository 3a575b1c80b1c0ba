// Start-up and shut-down steps that need no window.
#include "files/startup.h"
#include "core/state.h"
#include "files/config.h"
#include "platform/desktop.h"
#include "platform/util.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

// ---------------------------------------------------------------------------------------------
// [SECTION] Command line
// ---------------------------------------------------------------------------------------------

int document_argument(int argc, char** argv)
{
    if (argc < 2)
        return 0;
    if (argv[1][0] == '-')
        return argc >= 3 ? 2 : 0;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] The history slot
// ---------------------------------------------------------------------------------------------

static int history_lock = -1; // holds the advisory lock of this session's history slot

// Name of history slot `slot` (1 is "history.kbz", the others "history-N.kbz"), and of the
// log that goes with it ("logfile.txt", "logfile-N.txt").
static std::string slot_name(const char* base, const char* ext, int slot)
{
    return slot == 1 ? std::string(base) + ext : std::string(base) + "-" + std::to_string(slot) + ext;
}

// Claims the first history slot no other running editor holds by locking "NAME.lock" beside
// it, and sets `history_path`. The lock lives in a file of its own because the history itself
// is replaced by rename when it is rewritten. Returns the slot, or 0 (history_path null) when
// every slot is taken or no lock can be made; `*why` then says why.
static int claim_history_slot(std::string* why)
{
    free(history_path);
    history_path = nullptr;
    if (history_lock >= 0) { // a start again in the same process gives up its slot first
        close(history_lock);
        history_lock = -1;
    }
    for (int slot = 1; slot <= HISTORY_SLOTS; slot++) {
        char* path = make_appdata_path(APPDATA_FOLDER, slot_name("history", ".kbz", slot).c_str(), 1);
        if (!path) {
            *why = "there is no application-data folder";
            return 0;
        }
        const int fd = lock_file((std::string(path) + ".lock").c_str());
        if (fd >= 0) {
            history_lock = fd;
            history_path = path;
            return slot;
        }
        free(path);
        if (fd == -2) {
            *why = std::string("its lock cannot be made: ") + strerror(errno);
            return 0;
        }
    }
    *why = std::to_string(HISTORY_SLOTS) + " other editors hold every history file";
    return 0;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Start and end
// ---------------------------------------------------------------------------------------------

void program_start(int argc, char** argv, const char* doc_path)
{
    std::string why;
    const int slot = claim_history_slot(&why);
    state_reset();
    wrsrand((uint32_t)time(nullptr));
    os_init(argc, argv, APPDATA_FOLDER, PROGRAM_TITLE, slot_name("logfile", ".txt", slot > 1 ? slot : 1).c_str());
    if (slot == 0)
        user_notice("No history is kept in this session (Resume Last Session has nothing to resume): %s",
                    why.c_str());
    else if (slot > 1)
        user_notice("Another Brindlewharf is using history.kbz: this session keeps its history in %s and its log in %s",
                    slot_name("history", ".kbz", slot).c_str(), slot_name("logfile", ".txt", slot).c_str());

    if (doc_path) {
        snprintf(current_doc_directory, sizeof current_doc_directory, "%s", doc_path);
        remove_filename(current_doc_directory);
    }

    config_load();
    os_init2();

    lossless_mode = 0;
    harmonics = magnet = 0;
    orig_snd = nullptr;
    cmd_out_file = nullptr;
    fb_scale = 1.f;
    CORE_COUNT = core_count() - 1;
    if (CORE_COUNT < 1)
        CORE_COUNT = 1;
}

void program_end()
{
    if (cmd_out_file) {
        fclose(cmd_out_file);
        cmd_out_file = nullptr;
    }
    if (history_lock >= 0) {
        close(history_lock); // the slot is free for the next editor
        history_lock = -1;
    }
    os_deinit();
    wrfprintf(stdout, "\nQuitting program.\n");
}
