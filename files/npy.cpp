// .npy reading and writing of float images.
#include "files/npy.h"
#include "platform/util.h"

#include <cerrno>
#include <cstring>
#include <string>

// ---------------------------------------------------------------------------------------------
// [SECTION] Writing
// ---------------------------------------------------------------------------------------------

static const char NPY_MAGIC[] = "\x93NUMPY";

int save_npy(const char* path, Plane rows, int w, int h)
{
    std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (" + std::to_string(h) + ", " +
                         std::to_string(w) + "), }";
    // Magic (6), version (2), header length (2), header ending in "\n", padded to 64 bytes.
    size_t total = 10 + header.size() + 1;
    header.append((64 - total % 64) % 64, ' ');
    header += '\n';

    ReplacingFile out;
    if (!out.open(path)) {
        wrfprintf(stderr, "%s: cannot be written: %s\n", path, strerror(errno));
        return 0;
    }
    unsigned char head[10] = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0,
                              (unsigned char)(header.size() & 0xff), (unsigned char)(header.size() >> 8)};
    FILE* f = out.f;
    bool ok = fwrite(head, 1, 10, f) == 10 && fwrite(header.data(), 1, header.size(), f) == header.size();
    for (int r = 0; r < h && ok; r++)
        ok = fwrite(rows[r], sizeof(float), (size_t)w, f) == (size_t)w; // this platform is little-endian
    const int e = errno;
    if (!ok || out.commit() != 0) {
        wrfprintf(stderr, "%s: cannot be written: %s\n", path, strerror(ok ? errno : e ? e : EIO));
        return 0; // the old file stays as it was
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Reading
// ---------------------------------------------------------------------------------------------

// Reads the two sizes of the 'shape' entry of a header dictionary.
static bool parse_shape(const std::string& header, long* h, long* w)
{
    size_t at = header.find("'shape':");
    if (at == std::string::npos)
        return false;
    return sscanf(header.c_str() + at + 8, " ( %ld , %ld )", h, w) == 2;
}

Plane load_npy(const char* path, int* w, int* h)
{
    FILE* f = fopen(path, "rb");
    if (!f) {
        wrfprintf(stderr, "%s: cannot be opened: %s\n", path, strerror(errno));
        return nullptr;
    }
    unsigned char head[10];
    Plane rows = nullptr;
    long hh = 0, ww = 0;
    std::string header;
    const char* problem = nullptr;
    if (fread(head, 1, 10, f) != 10 || memcmp(head, NPY_MAGIC, 6) != 0) {
        problem = "not a .npy file";
    } else {
        size_t len;
        if (head[6] == 1) {
            len = head[8] | (size_t)head[9] << 8;
        } else { // versions 2 and 3 have a 4-byte header length
            unsigned char more[2];
            if (fread(more, 1, 2, f) != 2)
                len = 0;
            else
                len = head[8] | (size_t)head[9] << 8 | (size_t)more[0] << 16 | (size_t)more[1] << 24;
        }
        header.resize(len);
        if (len == 0 || len > (1u << 20) || fread(header.data(), 1, len, f) != len)
            problem = "truncated header";
        else if (header.find("'descr': '<f4'") == std::string::npos)
            problem = "not a float32 little-endian array";
        else if (header.find("'fortran_order': False") == std::string::npos)
            problem = "not in row-major order";
        else if (!parse_shape(header, &hh, &ww) || hh <= 0 || ww <= 0)
            problem = "not a two-dimensional array";
        else if (hh > 1000000 || ww > 100000000 || hh * ww > (1L << 31))
            problem = "too large";
    }
    if (!problem) {
        rows = static_cast<Plane>(wrcalloc((size_t)hh, sizeof(float*)));
        for (long r = 0; r < hh && !problem; r++) {
            rows[r] = static_cast<float*>(wrmalloc((size_t)ww * sizeof(float)));
            if (fread(rows[r], sizeof(float), (size_t)ww, f) != (size_t)ww)
                problem = "truncated data";
        }
        if (problem) {
            free2d(rows, (int)hh);
            rows = nullptr;
        }
    }
    fclose(f);
    if (problem) {
        wrfprintf(stderr, "%s: %s\n", path, problem);
        return nullptr;
    }
    *w = (int)ww;
    *h = (int)hh;
    return rows;
}
