// Play Selection, Save Selection as Sound and Paste in the editor; see selection_use.h.
#include "editor/selection_use.h"

#include "core/state.h"
#include "document/command_log.h"
#include "document/image.h"
#include "document/selection.h"
#include "editor/frame.h"
#include "files/picture.h"
#include "history/clipboard.h"
#include "platform/desktop.h"
#include "platform/util.h"
#include "sound/selection_sound.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

// ---------------------------------------------------------------------------------------------
// [SECTION] Play Selection
// ---------------------------------------------------------------------------------------------

static uint32_t played_generation = 0; // the document whose selection is being played

void selection_play_step(Editor* ed)
{
    EngineState* es = &ed->es;
    ImageStack* im = &ed->image;
    const bool was_playing = selection_playing();
    if (was_playing) {
        const bool gone = !im->composite || !selection_present(im) || im->generation.load() != played_generation;
        if (gone || es->paused.load() == 1 || key[K_PLAY] || key[K_PLAY_SELECTION]) {
            selection_play_stop();
            if (gone || key[K_PLAY_SELECTION]) {
                int playing = 0;
                es->paused.compare_exchange_strong(playing, 1);
            }
        }
    }
    if (!key[K_PLAY_SELECTION].exchange(0) || was_playing)
        return; // P while the selection played stopped it
    if (!im->composite || !selection_present(im)) {
        user_notice("Play Selection: nothing is selected");
        return;
    }
    clear_last_error_text();
    SelectionSound* s = selection_sound_start(es);
    if (!s) {
        const std::string why = last_error_text(); // a copy: the notice writes its own line
        user_notice("The selection could not be played: %s", why.empty() ? "synthesis failed" : why.c_str());
        return;
    }
    played_generation = im->generation.load();
    selection_play(es, s);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Save Selection as Sound
// ---------------------------------------------------------------------------------------------

void save_selection_step(Editor* ed)
{
    if (!key[K_SAVE_SELECTION].exchange(0))
        return;
    EngineState* es = &ed->es;
    if (!ed->image.composite || !selection_present(&ed->image)) {
        user_notice("Save Selection as Sound: nothing is selected");
        return;
    }
    int playing = 0;
    es->paused.compare_exchange_strong(playing, 2);
    char path[DOC_DIR_LEN] = "";
    if (save_audio_dialog(path, sizeof path)) {
        print_cmd(CMD_TIMED, "// Save selection as sound \"%s\"\n", path);
        clear_last_error_text();
        if (save_selection_sound(path, es)) {
            wrfprintf(stdout, "Saved the selection as sound to %s\n", path);
        } else {
            const std::string why = last_error_text();
            message_box(why.empty() ? path : why.c_str(), "The selection could not be saved", 0);
        }
    }
    int held = 2;
    es->paused.compare_exchange_strong(held, 0);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Paste
// ---------------------------------------------------------------------------------------------

void paste_step(Editor* ed)
{
    if (!key[K_PASTE].exchange(0))
        return;
    if (!ed->image.composite) {
        user_notice("Nothing to paste into: open or make a document first");
        return;
    }
    clear_last_error_text();
    char* file = paste_image_file();
    int w = 0, h = 0;
    uint8_t* grey = file ? load_picture(file, &w, &h, 1) : nullptr;
    if (file) {
        unlink(file);
        free(file);
    }
    if (!grey) {
        const std::string why = last_error_text();
        user_notice("Nothing to paste: %s", why.empty() ? "the clipboard holds no picture" : why.c_str());
        return;
    }
    Plane pixels = picture_to_plane(grey, w, h, paste_peak(&ed->image));
    free(grey);
    paste_layer(&ed->es, pixels, w, h, crop_x, crop_y);
    plane_free(&pixels, h);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Menu
// ---------------------------------------------------------------------------------------------

int refresh_selection_menu(MenuBar& bar, const ImageStack* image)
{
    const int greyed = !image || !image->composite || !selection_present(image) ? 1 : 0;
    int changed = 0;
    for (Menu& m : bar)
        for (MenuEntry& e : m.entries)
            if ((e.label == "Play Selection" || e.label == "Save Selection as Sound...") && e.greyed != greyed) {
                e.greyed = greyed;
                changed++;
            }
    return changed;
}
