// Picture reading: every picture the program uses (the user's pictures opened as documents and
// the resource pictures under "gfx") is decoded through FreeImage into a plain top-down buffer.
// Only PNG, JPEG, BMP, GIF, TIFF and WebP are read, told by their first bytes whatever the
// file's name; any other file is refused with one line before a decoder sees it.
#pragma once

#include <FreeImage.h>

#include <cstdint>

// ---------------------------------------------------------------------------------------------
// [SECTION] Reading pictures
// ---------------------------------------------------------------------------------------------

// Largest picture decoded, in pixels (8192 x 4096); larger ones are refused before any pixel
// memory is taken, since a document holds several float planes of the picture's size.
constexpr long long MAX_PICTURE_PIXELS = 1LL << 25;

// Reads a resource picture (a relative path is taken under the resource folder). Grey form
// (`grey` set): width * height bytes, each the integer mean of red, green and blue; colour form:
// width * height * 4 bytes red, green, blue, 0. Row 0 is the top. The caller frees the buffer.
// A file that cannot be opened shows the "File not found" alert and ends the process with
// status 1; a file that cannot be decoded writes one line and returns null.
uint8_t* load_image_ph(const char* path, int* w, int* h, int grey);

// The same for a user's picture: a relative path is taken from the working folder, and a file
// that cannot be opened writes one line naming it and returns null (never ends the process).
uint8_t* load_picture(const char* path, int* w, int* h, int grey);

// FreeImage stream operations on a C file (the handle is a FILE*), so that paths reach fopen
// unchanged and the file stays ours to close.
FreeImageIO freeimage_file_io();
