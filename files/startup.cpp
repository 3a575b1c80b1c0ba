// Start-up and shut-down steps that need no window.
#include "files/startup.h"
#include "core/state.h"
#include "files/config.h"
#include "platform/desktop.h"
#include "platform/util.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

int document_argument(int argc, char** argv)
{
    if (argc < 2)
        return 0;
    if (argv[1][0] == '-')
        return argc >= 3 ? 2 : 0;
    return 1;
}

void program_start(int argc, char** argv, const char* doc_path)
{
    free(history_path);
    history_path = make_appdata_path(APPDATA_FOLDER, "history.kbz", 1);
    state_reset();
    wrsrand((uint32_t)time(nullptr));
    os_init(argc, argv, APPDATA_FOLDER, PROGRAM_TITLE);

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
    os_deinit();
    wrfprintf(stdout, "\nQuitting program.\n");
}
