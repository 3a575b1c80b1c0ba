// Picture reading through FreeImage.
#include "files/picture.h"
#include "platform/desktop.h"
#include "platform/picture_library.h"
#include "platform/util.h"

#include <FreeImage.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// [SECTION] Stream operations for FreeImage on a C file
// ---------------------------------------------------------------------------------------------

static unsigned fi_write(void* buffer, unsigned size, unsigned count, fi_handle handle)
{
    return (unsigned)fwrite(buffer, size, count, static_cast<FILE*>(handle));
}
static unsigned fi_read(void* buffer, unsigned size, unsigned count, fi_handle handle)
{
    return (unsigned)fread(buffer, size, count, static_cast<FILE*>(handle));
}
static int fi_seek(fi_handle handle, long offset, int origin)
{
    return fseek(static_cast<FILE*>(handle), offset, origin);
}
static long fi_tell(fi_handle handle)
{
    return ftell(static_cast<FILE*>(handle));
}

FreeImageIO freeimage_file_io()
{
    return FreeImageIO{fi_read, fi_write, fi_seek, fi_tell};
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Size checks before decoding
// ---------------------------------------------------------------------------------------------

static uint32_t le16(const uint8_t* p) { return p[0] | (uint32_t)p[1] << 8; }

// The formats read, told by their first bytes. The picture library's readers for everything
// else (XBM, PCX, PSD, TGA and the rest) are its own code, unmaintained since 2018 and with
// known faults (a damaged XBM hangs in its reader), so they are never reached: neither a file's
// extension nor the library's own guess lets a file past this list. PNG, JPEG, TIFF and WebP
// are decoded by libpng, libjpeg-turbo, libtiff and libwebp underneath.
static FREE_IMAGE_FORMAT picture_format(FILE* f)
{
    uint8_t b[12] = {};
    size_t got = fread(b, 1, sizeof b, f);
    fseek(f, 0, SEEK_SET);
    if (got >= 8 && memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0)
        return FIF_PNG;
    if (got >= 3 && memcmp(b, "\xff\xd8\xff", 3) == 0)
        return FIF_JPEG;
    if (got >= 2 && memcmp(b, "BM", 2) == 0)
        return FIF_BMP;
    if (got >= 6 && (memcmp(b, "GIF87a", 6) == 0 || memcmp(b, "GIF89a", 6) == 0))
        return FIF_GIF;
    if (got >= 4 && (memcmp(b, "II*\0", 4) == 0 || memcmp(b, "MM\0*", 4) == 0))
        return FIF_TIFF;
    if (got >= 12 && memcmp(b, "RIFF", 4) == 0 && memcmp(b + 8, "WEBP", 4) == 0)
        return FIF_WEBP;
    return FIF_UNKNOWN;
}

// The size a GIF's header claims (its decoder cannot stop after the header): the logical screen
// width and height after the 6-byte signature.
static bool gif_size(FILE* f, long long* w, long long* h)
{
    uint8_t b[10] = {};
    bool got = fread(b, 1, sizeof b, f) == sizeof b;
    fseek(f, 0, SEEK_SET);
    if (!got)
        return false;
    *w = le16(b + 6);
    *h = le16(b + 8);
    return true;
}

// The size the picture's header claims, without decoding its pixels. False when it cannot
// be found out before decoding.
static bool header_size(const PictureLibrary& fi, FREE_IMAGE_FORMAT fif, FreeImageIO* io, FILE* f, long long* w, long long* h)
{
    if (fif == FIF_GIF)
        return gif_size(f, w, h);
    if (!fi.FIFSupportsNoPixels(fif))
        return false;
    FIBITMAP* head = fi.LoadFromHandle(fif, io, f, FIF_LOAD_NOPIXELS);
    fseek(f, 0, SEEK_SET);
    if (!head)
        return false;
    *w = fi.GetWidth(head);
    *h = fi.GetHeight(head);
    fi.Unload(head);
    return true;
}

static bool too_large(long long w, long long h)
{
    return w > MAX_PICTURE_PIXELS || h > MAX_PICTURE_PIXELS || w * h > MAX_PICTURE_PIXELS;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Decoding
// ---------------------------------------------------------------------------------------------

// A 32-bit copy of a decoded picture of any pixel type (high-dynamic-range pictures are tone
// mapped first), or null.
static FIBITMAP* to_32_bits(const PictureLibrary& fi, FIBITMAP* dib)
{
    FIBITMAP* out = fi.ConvertTo32Bits(dib);
    if (out)
        return out;
    FREE_IMAGE_TYPE type = fi.GetImageType(dib);
    FIBITMAP* standard = (type == FIT_RGBF || type == FIT_RGBAF) ? fi.ToneMapping(dib, FITMO_DRAGO03, 0, 0)
                                                                  : fi.ConvertToStandardType(dib, TRUE);
    if (!standard)
        return nullptr;
    out = fi.ConvertTo32Bits(standard);
    fi.Unload(standard);
    return out;
}

// Decodes the open picture `f` (named `path` in messages) into the grey or colour form.
// Closes `f`.
static uint8_t* decode_picture(FILE* f, const char* path, int* w, int* h, int grey)
{
    const PictureLibrary* library = picture_library();
    if (!library) {
        fclose(f);
        wrfprintf(stderr, "Could not open image %s: the picture library is missing\n", path);
        return nullptr;
    }
    const PictureLibrary& fi = *library;
    FreeImageIO io = freeimage_file_io();
    const FREE_IMAGE_FORMAT fif = picture_format(f);
    if (fif == FIF_UNKNOWN || !fi.FIFSupportsReading(fif)) {
        fclose(f);
        wrfprintf(stderr, "Could not open image %s: not a PNG, JPEG, BMP, GIF, TIFF or WebP picture\n", path);
        return nullptr;
    }

    long long cw = 0, ch = 0;
    if (header_size(fi, fif, &io, f, &cw, &ch) && too_large(cw, ch)) {
        fclose(f);
        wrfprintf(stderr, "Could not open image %s: %lld x %lld pixels is too large\n", path, cw, ch);
        return nullptr;
    }

    FIBITMAP* dib = fi.LoadFromHandle(fif, &io, f, 0);
    fclose(f);
    if (!dib) {
        wrfprintf(stderr, "Could not open image %s\n", path);
        return nullptr;
    }
    const long long pw = fi.GetWidth(dib), ph = fi.GetHeight(dib);
    FIBITMAP* dib32 = (pw < 1 || ph < 1 || too_large(pw, ph)) ? nullptr : to_32_bits(fi, dib);
    fi.Unload(dib);
    if (!dib32) {
        wrfprintf(stderr, "Could not open image %s\n", path);
        return nullptr;
    }

    *w = (int)pw;
    *h = (int)ph;
    const size_t bpp = grey ? 1 : 4;
    uint8_t* out = static_cast<uint8_t*>(wrcalloc((size_t)(pw * ph), bpp));
    for (int r = 0; r < *h; r++) {
        const BYTE* line = fi.GetScanLine(dib32, *h - 1 - r); // FreeImage rows run bottom-up
        uint8_t* dst = out + (size_t)r * (size_t)*w * bpp;
        for (int x = 0; x < *w; x++) {
            const BYTE* px = line + 4 * x;
            const int red = px[FI_RGBA_RED], green = px[FI_RGBA_GREEN], blue = px[FI_RGBA_BLUE];
            if (grey)
                dst[x] = (uint8_t)((red + green + blue) / 3);
            else {
                dst[4 * x] = (uint8_t)red;
                dst[4 * x + 1] = (uint8_t)green;
                dst[4 * x + 2] = (uint8_t)blue;
                dst[4 * x + 3] = 0;
            }
        }
    }
    fi.Unload(dib32);
    return out;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Entry points
// ---------------------------------------------------------------------------------------------

uint8_t* load_image_ph(const char* path, int* w, int* h, int grey)
{
    static char message[1024];
    FILE* f = wrfopen(path, "rb");
    if (!f) {
        snprintf(message, sizeof message,
                 "Could not find file '%s' in this program's folder\n"
                 "Make sure the 'gfx' folder is present with all its contents in this program's folder",
                 path);
        message_box(message, "File not found", 0);
        exit(1);
    }
    return decode_picture(f, path, w, h, grey);
}

uint8_t* load_picture(const char* path, int* w, int* h, int grey)
{
    FILE* f = fopen(path, "rb");
    if (!f) {
        wrfprintf(stderr, "Could not open image %s: %s\n", path, strerror(errno));
        return nullptr;
    }
    return decode_picture(f, path, w, h, grey);
}
