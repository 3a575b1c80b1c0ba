// .npy export of a float image, so that analyses can be used in other tools: float32,
// little-endian, H rows by W columns in row-major order, row 0 the highest band.
#pragma once

#include "core/records.h"

// Writes `rows` (h rows of w floats) to `path` in the .npy format version 1.0. The file is
// written through a ReplacingFile, so a failure leaves the old file as it was and no partial one.
// Returns 1 on success; on failure writes one line naming the file and returns 0.
int save_npy(const char* path, Plane rows, int w, int h);

// Reads a 2-D .npy array of 32- or 64-bit floats (either byte order, C or Fortran order) into a
// new plane of floats, converting on reading. Returns null with a one-line message naming the
// file when the file is not such an array; the header length and the data size are checked
// against the file before memory is taken for them.
Plane load_npy(const char* path, int* w, int* h);
