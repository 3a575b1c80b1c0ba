// .npy reading and writing of float images.
#include "files/npy.h"
#include "platform/util.h"

#include <sys/stat.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

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

// Largest header accepted: a header describes one array in a few dozen bytes (numpy pads it
// to 64), so anything longer is damage and is refused before memory is taken for it.
constexpr size_t NPY_MAX_HEADER = 1 << 16;

// What a header says about the array.
struct NpyHeader {
    int item = 0;          // bytes per value: 4 (float32) or 8 (float64)
    bool swap = false;     // big-endian values (this platform is little-endian)
    bool fortran = false;  // column after column rather than row after row
    int dims = 0;          // number of sizes in the shape
    long long size[2] = {}; // the first two sizes: rows, columns
};

// The text after `key` in the header dictionary, spaces skipped; null when the key is missing.
static const char* npy_value(const std::string& header, const char* key)
{
    size_t at = header.find(key);
    if (at == std::string::npos)
        return nullptr;
    const char* p = header.c_str() + at + strlen(key);
    while (*p == ' ')
        p++;
    return p;
}

// Reads the shape tuple "(a, b, ...)" at `p`: the number of sizes and the first two. False
// when it is not a tuple of non-negative integers.
static bool parse_shape(const char* p, NpyHeader* out)
{
    if (*p++ != '(')
        return false;
    for (;;) {
        while (*p == ' ')
            p++;
        if (*p == ')')
            return true;
        if (*p < '0' || *p > '9')
            return false;
        long long v = 0;
        while (*p >= '0' && *p <= '9') {
            v = v > (1LL << 40) ? v : v * 10 + (*p - '0'); // stays far above every limit, never overflows
            p++;
        }
        if (out->dims < 2)
            out->size[out->dims] = v;
        out->dims++;
        while (*p == ' ')
            p++;
        if (*p == ',')
            p++;
        else if (*p != ')')
            return false;
    }
}

// Reads the header dictionary; the message of the first problem, or null.
static const char* parse_header(const std::string& header, NpyHeader* out)
{
    const char* descr = npy_value(header, "'descr':");
    const char* order = npy_value(header, "'fortran_order':");
    const char* shape = npy_value(header, "'shape':");
    if (!descr || !order || !shape)
        return "not a .npy header";
    // '<f4', '>f4', '<f8' or '>f8': 32- or 64-bit floats of either byte order.
    if (descr[0] != '\'' || (descr[1] != '<' && descr[1] != '>') || descr[2] != 'f' ||
        (descr[3] != '4' && descr[3] != '8') || descr[4] != '\'')
        return "not an array of 32- or 64-bit floats";
    out->swap = descr[1] == '>';
    out->item = descr[3] - '0';
    if (strncmp(order, "True", 4) == 0)
        out->fortran = true;
    else if (strncmp(order, "False", 5) != 0)
        return "not a .npy header";
    if (!parse_shape(shape, out) || out->dims != 2 || out->size[0] <= 0 || out->size[1] <= 0)
        return "not a two-dimensional array";
    return nullptr;
}

// Converts `n` values of the file's type at `src` to floats at `dst`; float64 values beyond the
// float range become infinite, as a cast to float32 would make them.
static void npy_convert(const unsigned char* src, size_t n, const NpyHeader& hd, float* dst)
{
    for (size_t i = 0; i < n; i++, src += hd.item) {
        unsigned char b[8];
        for (int k = 0; k < hd.item; k++)
            b[k] = src[hd.swap ? hd.item - 1 - k : k];
        float v;
        if (hd.item == 4) {
            memcpy(&v, b, 4);
        } else {
            double d;
            memcpy(&d, b, 8);
            v = d > FLT_MAX ? INFINITY : d < -FLT_MAX ? -INFINITY : (float)d;
        }
        dst[i] = v;
    }
}

// Reads the values of an array of hd.size[0] rows and hd.size[1] columns into a new plane, row
// after row or column after column; null when the file ends early.
static Plane npy_read_values(FILE* f, const NpyHeader& hd)
{
    const long long rows_n = hd.size[0], cols_n = hd.size[1];
    // One row (C order) or one column (Fortran order) is read at a time.
    const long long run = hd.fortran ? rows_n : cols_n, runs = hd.fortran ? cols_n : rows_n;
    std::vector<unsigned char> buf((size_t)run * hd.item);
    Plane rows = static_cast<Plane>(wrcalloc((size_t)rows_n, sizeof(float*)));
    for (long long r = 0; r < rows_n; r++)
        rows[r] = static_cast<float*>(wrmalloc((size_t)cols_n * sizeof(float)));
    for (long long i = 0; i < runs; i++) {
        if (fread(buf.data(), 1, buf.size(), f) != buf.size()) {
            free2d(rows, (int)rows_n);
            return nullptr;
        }
        if (hd.fortran)
            for (long long r = 0; r < rows_n; r++)
                npy_convert(buf.data() + r * hd.item, 1, hd, &rows[r][i]);
        else
            npy_convert(buf.data(), (size_t)run, hd, rows[i]);
    }
    return rows;
}

Plane load_npy(const char* path, int* w, int* h)
{
    FILE* f = fopen(path, "rb");
    if (!f) {
        wrfprintf(stderr, "%s: cannot be opened: %s\n", path, strerror(errno));
        return nullptr;
    }
    unsigned char head[12];
    Plane rows = nullptr;
    NpyHeader hd;
    const char* problem = nullptr;
    if (fread(head, 1, 10, f) != 10 || memcmp(head, NPY_MAGIC, 6) != 0) {
        problem = "not a .npy file";
    } else if (head[6] < 1 || head[6] > 3) {
        problem = "not a .npy version this program reads";
    } else {
        // Version 1 has a 2-byte header length, versions 2 and 3 a 4-byte one.
        size_t len = head[8] | (size_t)head[9] << 8;
        if (head[6] > 1)
            len = fread(head + 10, 1, 2, f) == 2 ? len | (size_t)head[10] << 16 | (size_t)head[11] << 24 : 0;
        std::string header;
        if (len == 0 || len > NPY_MAX_HEADER)
            problem = "header length out of range (damaged file)";
        else if (header.resize(len), fread(header.data(), 1, len, f) != len)
            problem = "truncated header";
        else
            problem = parse_header(header, &hd);
    }
    if (!problem) {
        // The data must be all there before memory is taken for it.
        struct stat st;
        const long long at = ftell(f);
        if (hd.size[0] > 1000000 || hd.size[1] > 100000000 || hd.size[0] * hd.size[1] > (1LL << 31))
            problem = "too large";
        else if (fstat(fileno(f), &st) != 0 || at < 0 || st.st_size - at < hd.size[0] * hd.size[1] * hd.item)
            problem = "truncated data";
        else if (!(rows = npy_read_values(f, hd)))
            problem = "truncated data";
    }
    fclose(f);
    if (problem) {
        wrfprintf(stderr, "%s: %s\n", path, problem);
        return nullptr;
    }
    *w = (int)hd.size[1];
    *h = (int)hd.size[0];
    return rows;
}
