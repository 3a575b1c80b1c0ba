// Base85 blocks of history files and archives; see base85.h.
#include "history/base85.h"

#include "core/state.h"
#include "platform/util.h"

#include <cstdint>
#include <cstring>

void fprint_base85(FILE* stream, const float* const* rows, int row_count, int words)
{
    if (!rows) {
        wrfprintf(stderr, "fprint_base85(): array is NULL\n");
        return;
    }
    if (key[K_REPLAYING])
        return;
    fprintf(stream, "Base85 %d words\n", row_count * words);
    char digits[5];
    for (int r = 0; r < row_count; r++)
        for (int i = 0; i < words; i++) {
            uint32_t w = 0;
            if (rows[r])
                memcpy(&w, &rows[r][i], sizeof w);
            for (int k = 0; k < 5; k++) {
                digits[k] = (char)(w % 85 + 37);
                w /= 85;
            }
            fwrite(digits, 1, 5, stream);
        }
    fputs("z\n", stream);
}

// Reads up to the end of the current line (or of the file).
static void skip_line(FILE* stream)
{
    int c;
    do
        c = fgetc(stream);
    while (c != '\n' && c != EOF);
}

int fread_base85(FILE* stream, float* const* rows, int row_count, int words, int* line)
{
    if (!rows) {
        wrfprintf(stderr, "fread_base85(): array is NULL\n");
        return 0;
    }
    ++*line;
    for (int r = 0; r < row_count; r++)
        for (int i = 0; i < words; i++) {
            uint32_t w = 0, scale = 1;
            for (int k = 0; k < 5; k++) {
                const int c = fgetc(stream);
                if (c == 'z' || c == '\n' || c == EOF) {
                    wrfprintf(stderr, "Warning: End of Base85 data at line %d reached unexpectedly\n", *line);
                    if (c == 'z')
                        skip_line(stream);
                    return 0;
                }
                w += (uint32_t)(c - 37) * scale; // wraps modulo 2^32 like the writer's digits
                scale *= 85u;
            }
            if (rows[r])
                memcpy(&rows[r][i], &w, sizeof w);
        }
    skip_line(stream);
    return 1;
}
