// Base85 blocks: pixel and sample data inside the text of history files and archives. Each
// 32-bit word (the bit pattern of a float) is 5 characters, least significant digit first,
// digit + 37 ("%" is 0, "y" is 84); the data line ends with "z".
#pragma once

#include <cstdio>

// Writes "Base85 %d words", the data line of `row_count` rows of `words` floats, and "z". A null
// array writes one line to stderr and nothing else; nothing is written while a replay runs.
void fprint_base85(FILE* stream, const float* const* rows, int row_count, int words);

// Reads the data line that follows a "Base85" line into `row_count` rows of `words` floats
// (allocated by the caller), adding 1 to *line. Returns 1 when every word was read; 0 when the
// data ended early ("z", a line end or the end of the file: a warning names *line, the words not
// read keep their values) or the destination is null.
int fread_base85(FILE* stream, float* const* rows, int row_count, int words, int* line);
