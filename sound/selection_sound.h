// The sound of the spectral selection alone: the document's sound over the selection's time range
// with every pixel weighted by the selection mask, so that what lies outside the mask is silent.
// It is made with the synthesis mode the document uses (band noise from the document's own noise
// table, or the original sound filtered losslessly) on the document's block grid, so that inside
// the mask it is the very sound playback plays there. The blocks are made in order into a buffer
// of its own on worker threads, and playback can begin as soon as the first block is done.
//
// Play Selection plays that buffer in place of the document's sound (stream_sound asks
// selection_stream first); Save Selection as Sound writes it.
//
// Threads: a SelectionSound is started, played, stopped and freed on the main thread; its workers
// read only what selection_sound_start copied for them, so the document may change meanwhile.
// The audio callback reads the sound being played without a lock: its samples are written once,
// before `ready` passes them.
#pragma once

#include "core/records.h"

#include <cstdint>

// ---------------------------------------------------------------------------------------------
// [SECTION] Making the sound
// ---------------------------------------------------------------------------------------------

struct SelectionSound; // the sound of one selection being made or made (opaque)

// Starts making the sound of the selection of es->image on `threads` workers (0 or less:
// CORE_COUNT), with the synthesis settings in force (`synth_range`, lossless mode, Long Block
// Duration). Copies what the workers read before it returns. The sound covers the columns of
// selection_bounds: samples round(x0 rate / pps) up to round(x1 rate / pps) (at most the
// document's sound length). Returns null after one line on standard error when nothing is
// selected or nothing can be synthesised.
SelectionSound* selection_sound_start(EngineState* es, int threads = 0);

// Samples in the sound.
int64_t selection_sound_length(const SelectionSound* s);

// The document sample where the sound begins.
int64_t selection_sound_offset(const SelectionSound* s);

// Samples made so far, counted from the start (blocks finish in order from the left).
int64_t selection_sound_ready(const SelectionSound* s);

// The samples (the first selection_sound_ready of them are final).
const float* selection_sound_samples(const SelectionSound* s);

// Waits until every block is made; returns 1, or 0 when the sound could not be made.
int selection_sound_wait(SelectionSound* s);

// 1 / the largest absolute sample of the whole sound, 0 for silence or while it is being made.
float selection_sound_norm(const SelectionSound* s);

// Stops the workers and frees the sound; null does nothing.
void selection_sound_free(SelectionSound* s);

// Makes the selection's sound and writes it to `path` (wav, aiff, flac or ogg, 24-bit with
// slot 131) through write_sound_file: scaled to its own peak unless "Unnormalised Output"
// (slot 58) is on. Returns 1, or 0 after one line naming the problem.
int save_selection_sound(const char* path, EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Playing it
// ---------------------------------------------------------------------------------------------

// Plays `s` (taken over) from its start, in place of the document's sound: silence until its
// first samples are ready, looped with Loop Playback (or L), stopping after the loop with Pause
// After Current Loop. It plays at the document's playback normalisation when block synthesis
// has one, else at its own once it is whole. `play_pos` follows it in the document's samples.
void selection_play(EngineState* es, SelectionSound* s);

// Ends selection playback (the sound is freed once the callback has left it); `paused` is left
// as it is.
void selection_play_stop();

// 1 while a selection sound is installed for playback.
int selection_playing();

// The audio stream's part (called by stream_sound): fills `frames` frames of `out` from the
// selection sound and returns how many it filled, or -1 when no selection sound is installed.
int selection_stream(EngineState* es, int16_t* out, int frames);
