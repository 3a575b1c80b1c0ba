// The two top-level records of a run: the layered document (ImageStack with its Layers and
// planes) and the EngineState that holds analysis, synthesis and playback state. Both live in
// the main function for the whole run; the engine state points at the image stack.
//
// This header only declares the records. The document code fills the image stack, the
// analysis and synthesis code fill the engine state.
#pragma once

#include "platform/util.h"

#include <atomic>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// [SECTION] Planes and layers
// ---------------------------------------------------------------------------------------------

// A plane: an array of row pointers, each row an array of floats. Row 0 is the highest band.
// Rows may be missing (null) while an analysis fills them.
using Plane = float**;

constexpr int LAYER_CAPACITY = 8192; // entries of the layer table, allocated once at start-up

// One entry of the layer table; an entry without a plane is a separator.
struct Layer {
    Plane plane;       // h x w pixels, or null for a separator
    float gamma;       // exponent applied so far by the gamma control (1.0 for a new layer)
    int32_t blend;     // blending mode 0..13, 0 = addition
    int32_t conv_x;    // convolution centre column
    int32_t conv_y;    // convolution centre row
    int32_t conv_set;  // 1 once the convolution centre was placed
    char* name;        // owned name
    int32_t group;     // index of the nearest separator at or below, 0 if none
    int32_t off;       // turned off by the user
    int32_t disabled;  // effectively left out of compositing (from `off` and the groups)
    int32_t id;        // stable id for the Undo history; 0 until the next step boundary gives one
};

struct UndoHistory; // the steps of deep Undo and Redo (document/undo.h)

// ---------------------------------------------------------------------------------------------
// [SECTION] ImageStack: the document
// ---------------------------------------------------------------------------------------------

struct ImageStack {
    int32_t src_w, src_h;      // size of the source picture (= w, h once a document exists)
    uint8_t* src_rgb;          // source picture, 4 bytes per pixel, colour-normalised; null for sound
    int32_t view_x, view_y;    // screen rectangle of the spectrogram view
    int32_t view_w, view_h;
    uint8_t* display;          // last rendered view picture, 32-bit pixels, view_w x view_h
    int32_t w, h;              // document width (columns) and height (rows)
    Plane composite;           // all layers combined: displayed, synthesised, copied
    Plane group_acc;           // accumulator for the layers of one group
    Plane transposed;          // composite with rows and columns exchanged (w rows of h), for live synthesis
    Plane undo;                // copy of the selected layer before the last editing step
    Plane reference;           // composite as it was when the document was opened
    int32_t orig_w, orig_h;    // size of `analysed`
    Plane analysed;            // composite right after a sound was analysed
    Plane selection;           // the spectral selection: weights 0..1 (document/selection.h), null when none
    float prev_max;            // largest composite value after the last stroke
    std::atomic<int32_t> change_state; // 0 unchanged, 1 edited, 2 painted, 3 new image
    int32_t gradient_mode;     // 1 gradient colour map, 0 source picture colours
    int32_t opened;            // 1 once a file has been opened
    std::atomic<int32_t>* screen_dirty; // the main loop's screen-update flag (set by drawing threads too)
    uint32_t* screen;          // the frame buffer the view is drawn into
    std::atomic<int32_t> stop_redraw; // 1 ends the continuous redraw
    sem_t* layers_lock;        // layer planes, composite, group accumulator
    sem_t* transposed_lock;    // `transposed`; held from free_image until the next document
    sem_t* image_lock;         // existence of the planes; held from free_image until the next document
    sem_t* overlay_lock;       // drawing the view and its overlays
    sem_t* display_lock;       // replacing and releasing `display`
    sem_t* screen_lock;        // the frame buffer during resize and strip drawing
    sem_t* volume_lock;        // live volume table of the engine state
    sem_t* stream_lock;        // live streaming state
    int32_t locks_held;        // 1 while free_image holds transposed_lock and image_lock until the next document
    Layer* layers;             // the layer table, LAYER_CAPACITY entries
    int32_t sel;               // selected entry
    int32_t count;             // entries in use (layers and separators)
    int32_t name_counter;      // number for the next automatic layer name
    UndoHistory* history;      // the Undo and Redo steps; made by image_stack_init
    std::atomic<int32_t> recomposite;      // 1: the next redraw recomposites first
    std::atomic<int32_t> transposed_ready; // 1 each time `transposed` was refreshed
    std::atomic<uint32_t> generation;      // raised each time the document is released: a drawing of an older one is dropped
};

// ---------------------------------------------------------------------------------------------
// [SECTION] EngineState: analysis, synthesis and playback
// ---------------------------------------------------------------------------------------------

constexpr int SOUND_CHUNK_LEN = 2621440; // samples per chunk of the synthesised sound
constexpr int SOUND_CHUNK_MAX = 400;     // room in the chunk table

extern int snd_block_count; // chunks of the synthesised sound in use

struct EngineState {
    float* sound[SOUND_CHUNK_MAX];    // the synthesised sound in chunks of SOUND_CHUNK_LEN samples
    std::atomic<int32_t> sound_len;   // samples in the synthesised sound
    std::atomic<int32_t> play_pos;    // next sample to play
    double play_pos_fine;             // fractional play position of the live stream, columns
    float norm;                       // gain of the last output normalisation
    float volume;                     // linear gain from the "Volume" knob
    std::atomic<int32_t> paused;      // 0 playing, 1 paused, 2 held while a dialog is open
    float synth_range[4];             // min Hz, max Hz, px/s, scale base in force for synthesis
    int32_t block_w;                  // image columns per synthesis block (100)

    // Block bookkeeping, settled by the synthesis code.
    int32_t noise_rows;               // rows of the block noise table
    int32_t block_count;              // number of blocks
    int32_t block_len;                // block length N in samples
    int32_t* core_counters;           // per-worker counters
    uint8_t* block_state;             // per block: 0 to do, 1 in progress, 2 done
    std::atomic<int32_t> sound_changed; // a block started or finished
    float** noise;                    // block noise table, one array per row
    int32_t* noise_len;               // samples in each row of the block noise table
    float noise_for[7];               // block width, block length, rows, min Hz, max Hz, px/s, base the block noise table was built for
    double block_span;                // samples per half block: block b starts at sample b * block_span
    float* block_peak;                // per block: largest absolute sample it wrote
    std::atomic<int32_t> running;     // synthesis workers still running
    int32_t run_lossless;             // the running workers synthesise losslessly
    int32_t synth_pause;              // bands between a worker's 1 ms pauses (keeps the interface smooth), 0 for none
    int32_t thread_cap;               // worker records in `threads` (0: CORE_COUNT, as engine_state_init made them)
    int32_t start_block;              // first block to synthesise
    std::atomic<int32_t> started;     // a worker has read its parameters
    std::atomic<int32_t> stop;        // raised to make the workers finish

    ImageStack* image;                // the document
    sem_t* lock;                      // guards the block bookkeeping
    ThreadRecord* threads;            // CORE_COUNT worker records

    float anal_params[7];             // min Hz, max Hz, px/s, transition px/s, bpo, min bpo, scale base of the current image

    // Noise-table parameters, settled by the noise synthesis.
    float* noise_full;                // full-band noise table, sample-major
    float* noise_rms;                 // per-row RMS of the full-band noise
    int32_t noise_full_len;           // Nl, samples per row of the full-band table
    int32_t noise_full_pos;           // read position in the full-band table
    int32_t noise_param_i[4];         // integer parameters of the last table build
    float noise_param_f[4];           // float parameters of the last table build
};

// Prepares an engine state for a run: the image stack, the analysis settings from the
// program-wide settings, the lock and the worker records.
void engine_state_init(EngineState* es, ImageStack* image);

// Releases what engine_state_init made (the lock and the worker records).
void engine_state_release(EngineState* es);
