// The open sequence.
#include "history/open.h"
#include "core/state.h"
#include "document/image.h"
#include "document/sound.h"
#include "dsp/scale.h"
#include "files/media.h"
#include "history/archive.h"
#include "history/replay.h"
#include "platform/desktop.h"
#include "platform/util.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

OpenHooks open_hooks = {nullptr, nullptr, nullptr};

// ---------------------------------------------------------------------------------------------
// [SECTION] Opening
// ---------------------------------------------------------------------------------------------

// Looks for an unreadable path in the document folder; empties the path when it is not there.
static void find_document(char* path)
{
    if (!path[0] || access(path, R_OK) == 0)
        return;
    const char* name = strrchr(path, '/');
    name = name ? name + 1 : path;
    std::string again = std::string(current_doc_directory) + "/" + name;
    if (current_doc_directory[0] && access(again.c_str(), R_OK) == 0)
        snprintf(path, PATH_TEXT_LEN, "%s", again.c_str());
    else
        path[0] = 0;
}

// Sound documents: the original sound grown to whole blocks, zero after the sound. The block
// geometry itself belongs to synthesis, which sizes its bookkeeping from it: only local copies
// here.
static void size_original_for_blocks(EngineState* es)
{
    ImageStack* image = es->image;
    const int L = es->block_w > 0 ? es->block_w : 100;
    const long long blocks = 2LL * image->w / L + (image->w % L ? 1 : 0);
    int block_len = 0;
    init_block_len(L, &block_len, es->anal_params[2]);
    long long need = (long long)(block_len / 2) * (blocks + 1);
    if (need > orig_len && need < (1LL << 31)) {
        float* grown = static_cast<float*>(wrcalloc((size_t)need, sizeof(float)));
        memcpy(grown, orig_snd, (size_t)orig_len * sizeof(float));
        free(orig_snd);
        orig_snd = grown;
    }
}

// Projects: the archive is replayed into the document, then appended to the history (or, for
// the history file itself, the history is rewritten). An archive opened by another archive's
// replay leaves the history to the outermost one, whose text already names it.
static void open_archive(const char* path, EngineState* es, int* opened)
{
    ImageStack* image = es->image;
    const char* name = strrchr(path, '/');
    char title[PATH_TEXT_LEN];
    snprintf(title, sizeof title, "%s", name ? name + 1 : path);
    int inner_opened = 0;
    const int commands = load_archive(path, es, title, sizeof title, &inner_opened);
    if (commands < 0) {
        key[K_OPEN] = 1;
        return;
    }
    if (commands == 0) {
        wrfprintf(stderr, "Cannot open '%s': it holds no project commands\n", path);
        key[K_OPEN] = 1;
        return;
    }
    if (!image->composite) {
        wrfprintf(stderr, "Cannot open '%s': the project makes no picture\n", path);
        key[K_OPEN] = 1;
        return;
    }

    // The new document's settings (the layers keep their own convolution centres).
    if (open_hooks.after_open)
        open_hooks.after_open(es);
    key[K_RELAYOUT] = 1;
    image->recomposite = 1;
    image->prev_max = 1.f;

    // Playback stopped and rewound.
    es->paused = 1;
    es->play_pos = 0;
    es->play_pos_fine = 0.0;
    image->opened = 1;
    *opened = 1;

    snprintf(input_file_name, sizeof input_file_name, "%s", title);
    snprintf(input_audio_name, sizeof input_audio_name, "%s", "-");

    if (replay_depth() == 0) {
        copy_archive(path);
        key[K_HISTORY_HEADER] = 1;
    }
}

// With live synthesis on, the waveform strip of the new document is made once more after the
// run that is under way (which may still show the old sound).
static void live_strip_again()
{
    if (key[state_of(K_LIVE_SYNTH)])
        key[K_WAVEFORM_AGAIN] = 1;
}

// Nothing of the old document keeps running: it is about to be replaced.
static void stop_old_document(EngineState* es)
{
    if (open_hooks.stop_synthesis)
        open_hooks.stop_synthesis(es);
    key[state_of(K_VIEW_LAYER_ONLY)] = 0;
    if (es->block_state)
        memset(es->block_state, 0, (size_t)es->block_count);
    es->norm = 0.f;
}

void open_file(char* path, EngineState* es, int* opened)
{
    if (!path)
        return;
    ImageStack* image = es->image;
    find_document(path);
    // Only regular files are read: a FIFO or a device would hold the open (or a replayed
    // "Open" line) forever. The document stays as it was.
    if (path[0] && !is_regular_file(path)) {
        wrfprintf(stderr, "Cannot open '%s': not a regular file\n", path);
        key[K_OPEN] = 1;
        return;
    }

    // 2. By kind, read first: a file that cannot be read leaves the document, its synthesis and
    // its playback as they were. A project replays into the document, so it stops it first.
    const int kind = path[0] ? file_type(path) : FILE_IMAGE;
    if (kind == FILE_ARCHIVE) {
        stop_old_document(es);
        open_archive(path, es, opened);
        if (!*opened && image->composite)
            image->change_state = 3; // a refused project: the document on screen is synthesised again
        if (*opened)
            live_strip_again();
        return;
    }
    if (kind == FILE_SOUND) {
        int len = 0;
        float* signal = sound_for_document(path, es, &len);
        if (!signal)
            return; // sound_for_document has said why and asked for another file
        stop_old_document(es);
        sound_to_document(path, signal, len, es);
        size_original_for_blocks(es);
    } else if (kind == FILE_IMAGE) {
        int w = 0, h = 0;
        uint8_t* rgb = document_picture(es, path, &w, &h);
        if (!rgb) {
            key[K_OPEN] = 1;
            return;
        }
        stop_old_document(es);
        image_from_picture(es, rgb, w, h, !path[0]);
        if (!orig_snd) {
            lossless_mode = 0;
            key[K_RELAYOUT] = 1;
        }
        if (image->w != image->orig_w || image->h != image->orig_h)
            lossless_mode = 0;
    } else {
        wrfprintf(stderr, "Cannot open '%s': not a picture, a sound or a project\n", path);
        key[K_OPEN] = 1;
        return;
    }

    // 4. The new document's settings.
    image->layers[0].conv_x = (int)(image->w * 0.5f);
    image->layers[0].conv_y = (int)(image->h * 0.5f);
    image->layers[image->sel].conv_set = 0;
    if (open_hooks.after_open)
        open_hooks.after_open(es);
    key[K_RELAYOUT] = 1;
    image->recomposite = 1;
    image->prev_max = 1.f;

    // 5. What the erase tools and undo start from (sounds made theirs while loading).
    if (kind == FILE_IMAGE) {
        plane_free(&image->reference, image->h);
        plane_free(&image->undo, image->h);
        image->reference = plane_copy(image->composite, image->h, image->w);
        image->undo = plane_copy(image->composite, image->h, image->w);
    }

    // 6. Playback stopped and rewound.
    es->paused = 1;
    es->play_pos = 0;
    es->play_pos_fine = 0.0;
    image->opened = 1;
    *opened = 1;

    // 7. Names.
    const char* name = strrchr(path, '/');
    name = name ? name + 1 : path;
    snprintf(input_file_name, sizeof input_file_name, "%s", name);
    if (kind == FILE_SOUND)
        snprintf(input_audio_name, sizeof input_audio_name, "%s", name);

    // 8. A fresh history for the new document.
    if (open_hooks.begin_history)
        open_hooks.begin_history(es, path, kind);

    // 9.
    live_strip_again();
}
