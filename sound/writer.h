// Sound files out: the synthesised sound written through libsndfile as WAV, AIFF, FLAC or Ogg
// Vorbis, mono at SOUND_SAMPLERATE.
#pragma once

#include "core/records.h"

// The libsndfile format for a path's extension (wav, aiff/aif, flac, ogg), 16-bit PCM or 24-bit
// when `pcm24` is set (Vorbis has no bit depth); 0 for other extensions.
int sound_file_format(const char* path, int pcm24);

// Writes `len` samples held in chunks of SOUND_CHUNK_LEN (`chunks[c]` holds samples
// c * SOUND_CHUNK_LEN onwards), each multiplied by `gain`, to `path`. Samples beyond the
// format's range are clipped. The file is written through a ReplacingFile, so a failure leaves
// the old file as it was and nothing else behind. Returns 1, or 0 after one line naming the file.
int write_sound_file(const char* path, float* const* chunks, int len, float gain, int pcm24);

// Saves the engine state's synthesised sound to `path`: scaled by the playback normalisation
// unless "Unnormalised Output" (slot 58) is on, 24-bit when slot 131 is set.
int save_sound(const char* path, const EngineState* es);
