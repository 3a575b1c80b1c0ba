// Audio output without the device: the audio callback and the stream it plays, in normal mode
// (the block-synthesised sound) and in live mode (every sample computed from the three image
// columns around the play position and the full-band noise table), the live level estimate,
// switching live synthesis on and off, and the live output file.
//
// The callback is a plain function on a buffer of interleaved signed 16-bit stereo frames, so it
// runs the same under the audio device (sound/device.h) and in tests. It never allocates, never
// touches the disk and never waits: in live mode it tries `image_lock`, then `stream_lock`, and
// plays silence for that buffer when either is held (a document being replaced, the noise table
// being rebuilt).
//
// Play position: in normal mode `play_pos` (samples) is the next sample; in live mode the
// position is `play_pos_fine` (columns) and `play_pos` follows it as round(pos rate / pps), pps
// being the time resolution in force (`synth_range[2]`). A `play_pos` moved by the main thread
// (arrow keys, a click) is picked up by live mode too. The Play button follows `paused`: the
// stream sets it to 1 when playback ends by itself.
#pragma once

#include "core/records.h"

#include <cstdint>

// ---------------------------------------------------------------------------------------------
// [SECTION] Callback and stream
// ---------------------------------------------------------------------------------------------

// Device callback (userdata: the EngineState; `len` bytes of interleaved 16-bit stereo):
// clears the buffer, fills it through stream_sound and hands what was played to the live
// output file.
void audio_callback(void* userdata, uint8_t* stream, int len);

// A float sample (full scale 32767) as a 16-bit sample: truncated toward zero and limited;
// anything that is not a number is silence.
inline int16_t to_pcm(float v)
{
    if (!(v == v))
        return 0;
    if (v >= 32767.f)
        return 32767;
    if (v <= -32768.f)
        return -32768;
    return (int16_t)(int)v;
}

// Fills `frames` frames of `out` (cleared by the caller) with the selection's sound while Play
// Selection plays (sound/selection_sound.h), else normal playback, or live synthesis when slot
// 133 is on; moves the play position (loop, reverse, bounce, Pause After Current Loop,
// mouse following). Returns the number of frames played from the start of the buffer (the rest
// stays silent).
int stream_sound(EngineState* es, int16_t* out, int frames);

// The kernel weights of the three columns c0, c0+1, c0+2 (c0 = floor(pos - 0.5)) for a play
// position `pos` in columns: the Blackman-square kernel, 1.3184 for the column at a whole-number
// position and 0.0908 for its neighbours. Builds `lut` when needed.
void live_kernel_weights(double pos, float w[3]);

// Forgets the live stream's state (held columns, mouse samples, smoothed level), as after a
// switch of mode (takes `stream_lock`).
void live_stream_reset(EngineState* es);

// Sizes the live stream's column buffer for the image height (takes `stream_lock`); the callback
// plays silence while it does not match. live_table_rebuild does this itself.
void live_columns_alloc(EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Holding playback
// ---------------------------------------------------------------------------------------------

// Holds playback while the main thread changes what the callback reads (a synthesis restart
// resizes and frees sound chunks): paused becomes 2 when it was 0, and the call returns once the
// callback has left any buffer it was filling. Returns the paused value for playback_resume.
int playback_hold(EngineState* es);

// Ends a hold: playback goes on (paused 0) when it was playing before and is still held.
void playback_resume(EngineState* es, int was);

// Waits until the callback is not inside a buffer (returns at once without a device).
void audio_callback_idle();

// ---------------------------------------------------------------------------------------------
// [SECTION] Live level estimate
// ---------------------------------------------------------------------------------------------

// Estimates the live output level from the loudest column of `transposed` (largest sum of
// squares, the first one on ties) and the rows' noise RMS: 3 sqrt(3) times the RMS level that
// column would give. Stored as the normalisation while live synthesis is on. At most one run at
// a time and one caller waiting; further callers return at once. Takes `transposed_lock`,
// releases it, then takes `volume_lock`.
void calc_max_vol_live(EngineState* es);

// Runs calc_max_vol_live on a thread of its own (the document's live-volume hook, started after
// every compositing while live synthesis is on).
void calc_max_vol_live_async(EngineState* es);

// Waits until no thread started by calc_max_vol_live_async is running.
void calc_max_vol_live_wait();

// Installs the level estimate where the document and the noise-table builder call it.
void live_install_hooks();

// ---------------------------------------------------------------------------------------------
// [SECTION] Switching live synthesis (main thread)
// ---------------------------------------------------------------------------------------------

// 1 when the full-band table was not built for the image height and the frequency range and
// base in force (`synth_range`); 0 without a document.
int live_table_stale(const EngineState* es);

// Starts a rebuild of the full-band table on its thread: waits for a previous build, takes
// `volume_lock` then `stream_lock` (the builder releases both once the table is published, so
// playback is silent meanwhile), sizes the column buffer, sets slot 136. Returns 1 when started,
// 0 without a document.
int live_table_rebuild(EngineState* es);

// Waits for a running table build to end.
void live_table_wait();

// Frees the live-synthesis memory of `es` (the full-band table, the row RMS, the column buffer)
// and forgets what the table was built for, after waiting for a table build and level estimates.
// For shutdown, once the callback has stopped for good.
void live_release(EngineState* es);

// Carries out a change of slot 133 (already flipped by the main loop). On: the block workers
// stop, the stored sound is emptied, `transposed` is refreshed and the table rebuilt when stale;
// playback goes on from the same place. Off: the table is dropped and block synthesis restarts
// from scratch; playback goes on from the same place.
void live_synthesis_switch(EngineState* es);

// ---------------------------------------------------------------------------------------------
// [SECTION] Live output file
// ---------------------------------------------------------------------------------------------

// Starts recording what the callback plays (mono, SOUND_SAMPLERATE, 16-bit or 24-bit PCM with
// slot 131, the format from the extension: wav, aiff, flac, ogg) into `path`, closing any
// recording in progress first. A writer thread empties a ring buffer that the callback fills.
// The recording goes to a ReplacingFile and takes the name `path` when it ends complete; an
// existing file of that name stays until then, and is kept when the recording fails. Returns
// 1, or 0 after one line naming the file.
int live_output_open(const char* path);

// Ends the recording: everything played so far is written and the file closed, complete. Safe
// from any thread, at any time, more than once (shutdown, window close).
void live_output_close();

// 1 while a recording is open.
int live_output_active();

// Suspends or resumes writing to the open recording ("Suspend Output to File"); returns the new
// state (1 suspended).
int live_output_suspend_toggle();

// 1 while writing is suspended.
int live_output_suspended();

// Samples recorded into the open file so far (including those still in the ring buffer).
int64_t live_output_frames();

// ---------------------------------------------------------------------------------------------
// [SECTION] Mixing channel files
// ---------------------------------------------------------------------------------------------

// Writes a stereo file `out_path` (format from its extension, 24-bit with slot 131) whose left
// channel is the sound of `left_path` and right channel that of `right_path` (several channels
// are averaged); the shorter one is padded with silence. Both must have the same sample rate.
// Returns 1, or 0 after one line naming the file and the problem (nothing is left behind).
int mix_to_stereo(const char* left_path, const char* right_path, const char* out_path);
