// Program state: storage and start values of the command slots and program-wide globals.
#include "core/state.h"
#include "core/records.h"
#include "platform/desktop.h"

#include <cstring>

// ---------------------------------------------------------------------------------------------
// [SECTION] Command slots
// ---------------------------------------------------------------------------------------------

std::atomic<int8_t> key[KEY_COUNT];

// ---------------------------------------------------------------------------------------------
// [SECTION] What the desktop services read and report
// ---------------------------------------------------------------------------------------------

// Slot 37 is 1 while a dialog or alert is showing.
static void store_dialog_open(int open)
{
    key[K_DIALOG_OPEN] = (int8_t)open;
    if (open)
        dialogs_shown++;
}

// The save panel's archive choice lands in slot 116, which the archive writer reads.
static void store_archive_choice(int snapshot) { key[K_SAVE_SNAPSHOT] = (int8_t)snapshot; }

static const bool desktop_context_installed = [] {
    desktop_context = {APPDATA_FOLDER, HOME_PAGE, current_doc_directory, store_dialog_open, store_archive_choice};
    return true;
}();

// ---------------------------------------------------------------------------------------------
// [SECTION] Program-wide settings
// ---------------------------------------------------------------------------------------------

int SOUND_SAMPLERATE = 44100;
int SOUND_BUFFERLEN = 2048;
float MIN_FREQ = 27.5f;
float MAX_FREQ = 20000.f;
float ANAL_PPS = 100.f;
float ANAL_BPO = 60.f;
float MIN_BPO = 24.f;
float TRANSITION_PPS = 100.f;
int KBZ_SIZE_LIMIT = 0;
float min_rad = 2.f;
int WAVEFORM_H = 55;
int mouse_sub_range = 32;
int spray_harmonics = 100;
float live_cursor_fps = 20.f;
int UNDO_MEMORY_MB = 512;
float tool_width = -1.f;
float selection_feather = SELECTION_FEATHER_DEFAULT;
float tool_intensity = -1.f;
int SCRN_W = 0, SCRN_H = 0;
int MARGIN_Y = 0;
int CORE_COUNT = 1;
const float PI = 3.1415927f;
float LOGBASE = 2.f;
int BMSQ_LUT_SIZE = 16000;
float LOOP_SIZE_SEC = 0.f;

void settings_defaults()
{
    SOUND_SAMPLERATE = 44100;
    SOUND_BUFFERLEN = 2048;
    MIN_FREQ = 27.5f;
    MAX_FREQ = 20000.f;
    ANAL_PPS = 100.f;
    ANAL_BPO = 60.f;
    MIN_BPO = 24.f;
    TRANSITION_PPS = 100.f;
    KBZ_SIZE_LIMIT = 0;
    min_rad = 2.f;
    WAVEFORM_H = 55;
    mouse_sub_range = 32;
    spray_harmonics = 100;
    live_cursor_fps = 20.f;
    UNDO_MEMORY_MB = 512;
    tool_width = -1.f;
    tool_intensity = -1.f;
    selection_feather = SELECTION_FEATHER_DEFAULT;
    SCRN_W = SCRN_H = 0;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Run-time globals
// ---------------------------------------------------------------------------------------------

std::atomic<uint8_t> lossless_mode{0};
int harmonics = 0, magnet = 0;
float* orig_snd = nullptr;
int orig_len = 0, orig_rate = 0;
FILE* cmd_out_file = nullptr;
char* history_path = nullptr;
char current_doc_directory[DOC_DIR_LEN];
char input_file_name[PATH_TEXT_LEN];
char input_audio_name[PATH_TEXT_LEN];
char x_value[PATH_TEXT_LEN], y_value[PATH_TEXT_LEN];
int mouse_function = TOOL_CURSOR;
int mouse_ax = 0, mouse_ay = 0;
int mouse_ax_raw = 0, mouse_ay_raw = 0;
int mouse_ax_sub = 0, mouse_ay_sub = 0;
uint8_t mouse_b = 0;
uint8_t slow_mouse = 0;
float fb_scale = 1.f;
std::atomic<float> current_x{0.f};
int progress_crop_x = 0;
int menu_opened = -1;
int mac_redraw = 0;
int doc_modified = 0;
std::atomic<int> dialogs_shown{0};
float zoom_center_x = 0.f, zoom_center_y = 0.f, zoom_h = 0.f, zoom_v = 0.f;
int crop_x = 0, crop_y = 0, crop_w = 0, crop_h = 0;

int snd_block_count = 0;

void state_reset()
{
    for (auto& slot : key)
        slot.store(0);
    lossless_mode = 0;
    harmonics = magnet = 0;
    orig_snd = nullptr;
    orig_len = orig_rate = 0;
    memset(current_doc_directory, 0, sizeof current_doc_directory);
    memset(input_file_name, 0, sizeof input_file_name);
    memset(input_audio_name, 0, sizeof input_audio_name);
    memset(x_value, 0, sizeof x_value);
    memset(y_value, 0, sizeof y_value);
    mouse_function = TOOL_CURSOR;
    mouse_ax = mouse_ay = mouse_ax_raw = mouse_ay_raw = mouse_ax_sub = mouse_ay_sub = 0;
    mouse_b = slow_mouse = 0;
    fb_scale = 1.f;
    current_x = 0.f;
    progress_crop_x = 0;
    menu_opened = -1;
    mac_redraw = 0;
    doc_modified = 0;
    zoom_center_x = zoom_center_y = zoom_h = zoom_v = 0.f;
    crop_x = crop_y = crop_w = crop_h = 0;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Engine state
// ---------------------------------------------------------------------------------------------

void engine_state_init(EngineState* es, ImageStack* image)
{
    es->image = image;
    es->volume = 1.f;
    es->paused = 1;
    es->block_w = 100;
    es->synth_pause = 100; // the editor's workers rest 1 ms every 100 bands; batch runs set 0
    es->synth_range[0] = MIN_FREQ;
    es->synth_range[1] = MAX_FREQ;
    es->synth_range[2] = ANAL_PPS;
    es->synth_range[3] = 2.f;
    const float params[7] = {MIN_FREQ, MAX_FREQ, ANAL_PPS, TRANSITION_PPS, ANAL_BPO, MIN_BPO, 2.f};
    memcpy(es->anal_params, params, sizeof params);
    if (!es->lock)
        es->lock = semaphore_new();
    if (!es->threads)
        es->threads = static_cast<ThreadRecord*>(wrcalloc((size_t)CORE_COUNT, sizeof(ThreadRecord)));
}

void engine_state_release(EngineState* es)
{
    semaphore_free(es->lock);
    es->lock = nullptr;
    free_null(&es->threads);
}
