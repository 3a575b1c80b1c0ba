// Media files: classifying paths, the path and file helpers, reading sounds (libsndfile for
// every format it knows, libmpg123 for MP3) and writing the spectrogram as a grey picture
// (24-bit BMP, or PNG through FreeImage).
//
// The sound readers return one channel at the file's own sample rate; resampling to the
// program's rate is the caller's step (the document loader does it). Every reader failure
// writes one line naming the file to standard error and returns null with a length of 0.
#pragma once

#include "core/records.h"

#include <sndfile.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---------------------------------------------------------------------------------------------
// [SECTION] File kinds
// ---------------------------------------------------------------------------------------------

enum FileKind : int {
    FILE_IMAGE = 1,   // a picture (no extension, or one of the picture extensions)
    FILE_SOUND = 2,   // any other extension
    FILE_ARCHIVE = 3, // a project archive, ".kbz"
};

// Kind of a path by its lower-cased extension (see FileKind).
int file_type(const char* path);

// ---------------------------------------------------------------------------------------------
// [SECTION] Paths and files
// ---------------------------------------------------------------------------------------------

// The lower-cased text after the last "." of the path's file name ("" when there is none; a
// leading "." counts). Written into `dest` (room for strlen(path) + 1 bytes) or, when `dest` is
// null, into a new buffer (free it). A path shorter than 2 characters gives null and leaves
// `dest` untouched.
char* extract_file_extension(const char* path, char* dest);

// The text after the last "/", or null when there is none. A null path writes a message.
const char* get_filename_from_path(const char* fullpath);

// The last "/" or "\" in `text` (the final character is not examined when `skip_last` is set),
// or null when there is none.
const char* find_last_dirchar(const char* text, int skip_last);

// The path up to, not including, its last "/" or "\", written into `dest` (or a new buffer when
// `dest` is null); null when the path has no separator. A null path writes a message.
char* remove_name_from_path(char* dest, const char* fullpath);

// `dir` + "/" + `name` (no second "/" when `dir` ends with one; a null `dir` gives the name,
// a null `name` the directory) written into `dest`, or a new buffer when `dest` is null. `dest`
// may be the `dir` buffer itself (the name is then appended in place).
char* append_name_to_path(char* dest, const char* dir, const char* name);

// The whole file in a new buffer with one extra zero byte after it, its size in `*size`
// (may be null). A file that cannot be read writes "File '%s' not found." and returns null.
uint8_t* load_raw_file(const char* path, size_t* size);

// Writes the low 2 bytes of `v`, least significant first.
void fwrite_le_short(int v, FILE* f);

// Writes the low 4 bytes of `v`, least significant first.
void fwrite_le_word(int v, FILE* f);

// Renames a file; 0 on success.
int move_file(const char* from, const char* to);

// Removes a file; 0 on success.
int remove_file(const char* path);

// Opens a sound file with libsndfile, the path passed unchanged.
SNDFILE* sf_open_utf8(const char* path, int mode, SF_INFO* info);

// ---------------------------------------------------------------------------------------------
// [SECTION] Reading sounds
// ---------------------------------------------------------------------------------------------

// MP3 channel modes: slot 60 (left only) + 2 * slot 62 (right only).
enum Mp3ChannelMode : int {
    MP3_MEAN = 0,  // the mean of all channels
    MP3_LEFT = 1,  // channel 0
    MP3_RIGHT = 2, // channel 1 (channel 0 of a mono file)
    MP3_BOTH = 3,  // two interleaved channels (left, right)
};

// Reads a sound with libsndfile as one channel: channel 0 when slot 60 is set or the file is
// mono, else channel 1 when slot 62 is set, else the sum of all channels. `*len` = frames read,
// `*rate` = the file's sample rate. Samples beyond +-1e30 (and NaN) become 0.
float* load_raw_sound_sndfile(const char* path, int* len, int* rate);

// Decodes a whole MP3 with libmpg123, frame by frame, to floats in the given Mp3ChannelMode.
// `*len` = samples per channel, `*channels` = output channels (1, or 2 for MP3_BOTH),
// `*rate` = the stream's sample rate. Samples beyond +-1e30 (and NaN) become 0.
float* load_full_mp3_float_select_chan(const char* path, int* len, int* channels, int* rate, int mode);

// Reads any sound as one channel by its extension: ".mp3" (any case) through libmpg123 with the
// mode from slots 60 and 62 (slot 60 wins when both are set), everything else through
// libsndfile. `*rate` is the file's sample rate.
float* load_raw_sound(const char* path, int* len, int* rate);

// ---------------------------------------------------------------------------------------------
// [SECTION] Writing pictures
// ---------------------------------------------------------------------------------------------

// Grey level of a pixel for the picture writers: trunc(min(255, max(0, 255 * sqrt(v / m)))),
// 0 when `m` is not positive or `v` is not a number.
uint8_t grey_level(float v, float m);

// Writes `image` (h rows of w floats, row 0 at the top; missing rows count as 0) as a 24-bit
// grey BMP to `path`, whatever its extension, through a ReplacingFile: a failed write leaves an
// existing picture untouched. Returns 0 on success; on failure writes one line naming the file
// and returns non-zero.
int save_image(Plane image, int w, int h, const char* path);

// The largest value of the plane's present rows (missing rows skipped), 0 when none is above 0.
float plane_peak(Plane image, int w, int h);

// The same picture with the same grey mapping as an 8-bit grey PNG through FreeImage, also
// through a ReplacingFile. Returns 0 on success, non-zero (with one line naming the file) on failure.
int save_image_png(Plane image, int w, int h, const char* path);

// Writes a colour picture (w x h pixels, bytes red, green, blue, 0) as a 24-bit BMP when `path`
// ends in ".bmp", else as a PNG, through a ReplacingFile. Returns 0, or non-zero with one line
// naming the file.
int save_picture(const uint32_t* px, int w, int h, const char* path);
