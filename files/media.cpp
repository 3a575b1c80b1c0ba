// Media files: path kinds and helpers, sound readers (libsndfile, libmpg123), grey picture
// writers (BMP by hand, PNG through FreeImage).
#include "files/media.h"
#include "files/picture.h"
#include "core/limits.h"
#include "core/state.h"
#include "platform/desktop.h"
#include "platform/picture_library.h"
#include "platform/util.h"

#include <FreeImage.h>
#include <mpg123.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/stat.h>

// ---------------------------------------------------------------------------------------------
// [SECTION] File kinds
// ---------------------------------------------------------------------------------------------

int file_type(const char* path)
{
    // Picture extensions, in the order the kinds were added; each at most 4 characters.
    static const char* const image_ext[] = {
        "bmp", "cut", "dds", "doom", "exr", "hdr", "gif", "ico", "jp2", "jpg",
        "jpeg", "lbm", "mdl", "mng", "pal", "pbm", "pcd", "pcx", "pgm", "pic",
        "png", "ppm", "psd", "psp", "raw", "sgi", "tga", "tif", "tiff", "webp",
    };
    char* ext = extract_file_extension(path, nullptr);
    if (!ext || ext[0] == 0) {
        free(ext);
        return FILE_IMAGE;
    }
    int kind = FILE_SOUND;
    if (strcmp(ext, "kbz") == 0)
        kind = FILE_ARCHIVE;
    for (const char* e : image_ext)
        if (strcmp(ext, e) == 0)
            kind = FILE_IMAGE;
    free(ext);
    return kind;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Paths and files
// ---------------------------------------------------------------------------------------------

char* extract_file_extension(const char* path, char* dest)
{
    if (!path || strlen(path) < 2)
        return nullptr;
    // Only the file name is searched: a dot in a folder name ("take.2/notes") is no extension.
    const char* name = strrchr(path, '/');
    name = name ? name + 1 : path;
    const char* dot = strrchr(name, '.');
    const char* ext = dot ? dot + 1 : name + strlen(name);
    size_t n = strlen(ext);
    if (!dest)
        dest = static_cast<char*>(wrmalloc(n + 1));
    for (size_t i = 0; i < n; i++)
        dest[i] = (char)tolower((unsigned char)ext[i]);
    dest[n] = 0;
    return dest;
}

const char* get_filename_from_path(const char* fullpath)
{
    if (!fullpath) {
        wrfprintf(stderr, "fullpath is NULL in get_filename_from_path()\n");
        return nullptr;
    }
    const char* slash = strrchr(fullpath, '/');
    return slash ? slash + 1 : nullptr;
}

const char* find_last_dirchar(const char* text, int skip_last)
{
    if (!text)
        return nullptr;
    int n = (int)strlen(text);
    if (skip_last)
        n--;
    for (int i = n - 1; i >= 0; i--)
        if (text[i] == '/' || text[i] == '\\')
            return text + i;
    return nullptr;
}

char* remove_name_from_path(char* dest, const char* fullpath)
{
    if (!fullpath) {
        wrfprintf(stderr, "fullpath is NULL in remove_name_from_path()\n");
        return nullptr;
    }
    const char* sep = find_last_dirchar(fullpath, 0);
    if (!sep)
        return nullptr;
    size_t n = (size_t)(sep - fullpath);
    if (!dest)
        dest = static_cast<char*>(wrmalloc(n + 1));
    memmove(dest, fullpath, n);
    dest[n] = 0;
    return dest;
}

char* append_name_to_path(char* dest, const char* dir, const char* name)
{
    size_t dl = dir ? strlen(dir) : 0, nl = name ? strlen(name) : 0;
    bool slash = dir && name && dl > 0 && dir[dl - 1] != '/';
    if (!dest)
        dest = static_cast<char*>(wrcalloc(dl + nl + 2, 1));
    // `dest` may be `dir` itself: the directory part is already in place then.
    if (dir && dest != dir)
        memmove(dest, dir, dl);
    if (!dir)
        dl = 0;
    if (slash)
        dest[dl++] = '/';
    if (name)
        memmove(dest + dl, name, nl);
    dest[dl + nl] = 0;
    return dest;
}

uint8_t* load_raw_file(const char* path, size_t* size)
{
    if (size)
        *size = 0;
    FILE* f = path ? fopen(path, "rb") : nullptr;
    long n = -1;
    if (f && fseek(f, 0, SEEK_END) == 0)
        n = ftell(f);
    if (!f || n < 0 || fseek(f, 0, SEEK_SET) != 0) {
        wrfprintf(stderr, "File '%s' not found.\n", path ? path : "(null)");
        if (f)
            fclose(f);
        return nullptr;
    }
    uint8_t* data = static_cast<uint8_t*>(wrmalloc((size_t)n + 1));
    size_t got = fread(data, 1, (size_t)n, f);
    fclose(f);
    data[got] = 0;
    if (size)
        *size = got;
    return data;
}

void fwrite_le_short(int v, FILE* f)
{
    uint8_t b[2] = {(uint8_t)(v & 0xff), (uint8_t)((v >> 8) & 0xff)};
    fwrite(b, 1, 2, f);
}

void fwrite_le_word(int v, FILE* f)
{
    uint32_t u = (uint32_t)v;
    uint8_t b[4] = {(uint8_t)(u & 0xff), (uint8_t)((u >> 8) & 0xff), (uint8_t)((u >> 16) & 0xff), (uint8_t)(u >> 24)};
    fwrite(b, 1, 4, f);
}

int move_file(const char* from, const char* to)
{
    return rename(from, to);
}

int remove_file(const char* path)
{
    return remove(path);
}

SNDFILE* sf_open_utf8(const char* path, int mode, SF_INFO* info)
{
    return sf_open(path, mode, info);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Reading sounds
// ---------------------------------------------------------------------------------------------

// Samples beyond +-1e30, and NaN, become 0: one wild value would otherwise rule the whole
// analysis (the picture is normalised to its peak).
static void sound_guard(float* s, int n)
{
    for (int i = 0; i < n; i++)
        if (!(fabsf(s[i]) <= 1e30f))
            s[i] = 0.f;
}

// Makes room for `needed` floats in `*buf` (capacity `*cap`), growing by half again.
// Returns false (with a line naming the file) when the memory could not be had. The new room is
// not cleared: only what the reads fill is kept (finish_sound trims the rest), and clearing
// would touch every page of the buffer, half again as large as the sound, before the reads do.
static bool grow_sound(float** buf, int* cap, long long needed, const char* path)
{
    if (needed <= *cap)
        return true;
    const long long want = needed > INT_MAX ? 0 : std::min<long long>(INT_MAX, needed + needed / 2);
    void* grown = want > 0 ? realloc(*buf, (size_t)want * sizeof(float)) : nullptr;
    if (!grown) {
        wrfprintf(stderr, "Sound file '%s' is too long to be loaded\n", path);
        return false;
    }
    *buf = static_cast<float*>(grown);
    *cap = (int)want;
    return true;
}

// Trims a finished signal to its length and applies the guard; an empty one is an error.
static float* finish_sound(float* out, int n, const char* path, int* len)
{
    if (n <= 0) {
        free(out);
        wrfprintf(stderr, "Sound file '%s' holds no samples\n", path);
        *len = 0;
        return nullptr;
    }
    out = static_cast<float*>(wrrealloc(out, (size_t)n * sizeof(float)));
    sound_guard(out, n);
    *len = n;
    return out;
}

// WAV format tags whose block is one frame: PCM, float, A-law, mu-law and the extensible form.
static bool sample_tag(uint32_t tag)
{
    return tag == 1 || tag == 3 || tag == 6 || tag == 7 || tag == 0xfffe;
}

// Frames the header of a WAV (RIFF or RIFX) or AIFF file promises, read from its chunks: the
// "data" chunk's size over the "fmt " chunk's block size (for formats of one frame a block), or
// the "COMM" chunk's frame count.
// -1 when the file is not one of them or states no length (0 and 0xffffffff are what writers
// streaming to a pipe leave in the size).
static long long header_frames(const char* path)
{
    FILE* f = fopen(path, "rb");
    if (!f)
        return -1;
    uint8_t b[12];
    long long frames = -1;
    if (fread(b, 1, 12, f) == 12) {
        const bool riff = memcmp(b, "RIFF", 4) == 0 && memcmp(b + 8, "WAVE", 4) == 0;
        const bool rifx = memcmp(b, "RIFX", 4) == 0 && memcmp(b + 8, "WAVE", 4) == 0;
        const bool aiff = memcmp(b, "FORM", 4) == 0 && (memcmp(b + 8, "AIFF", 4) == 0 || memcmp(b + 8, "AIFC", 4) == 0);
        const bool big = !riff;
        auto u16 = [big](const uint8_t* p) { return big ? (uint32_t)p[0] << 8 | p[1] : p[0] | (uint32_t)p[1] << 8; };
        auto u32 = [&](const uint8_t* p) { return big ? u16(p) << 16 | u16(p + 2) : u16(p) | u16(p + 2) << 16; };
        long long data = -1, block = 0;
        // A few dozen chunks at most precede the sound data in real files.
        for (int i = 0; i < 64 && (riff || rifx || aiff) && frames < 0; i++) {
            uint8_t c[8], v[14];
            if (fread(c, 1, 8, f) != 8)
                break;
            const uint32_t size = u32(c + 4);
            const long next = ftell(f) + (long)size + (long)(size & 1); // chunks are padded to even sizes
            const size_t got = fread(v, 1, sizeof v, f);
            if (aiff && memcmp(c, "COMM", 4) == 0 && got >= 6)
                frames = u32(v + 2);
            else if (!aiff && memcmp(c, "fmt ", 4) == 0 && got >= 14 && sample_tag(u16(v)))
                block = u16(v + 12);
            else if (!aiff && memcmp(c, "data", 4) == 0)
                data = size == 0xffffffffu || size == 0 ? -2LL : (long long)size;
            if (data == -2 || (data > 0 && block > 0))
                frames = data > 0 ? data / block : -1;
            if (data == -2 || fseek(f, next, SEEK_SET) != 0)
                break;
        }
    }
    fclose(f);
    return frames;
}

// Frames of `ch` interleaved channels in `in` into one channel in `out`: channel `take`, or the
// sum of all channels when `take` is -1.
static void frames_to_mono(const float* in, sf_count_t frames, int ch, int take, float* out)
{
    for (sf_count_t i = 0; i < frames; i++) {
        const float* fr = in + i * ch;
        float v;
        if (take >= 0)
            v = fr[take];
        else {
            v = 0.f;
            for (int c = 0; c < ch; c++)
                v += fr[c];
        }
        out[i] = v;
    }
}

// Reads up to `frames` frames of `sf` as one channel into `out`, in blocks of at most `block`
// frames through `in` (block * ch floats; unused for one channel). Returns the frames read.
static sf_count_t read_mono(SNDFILE* sf, sf_count_t frames, int ch, int take, int block, float* in, float* out)
{
    sf_count_t n = 0;
    while (n < frames) {
        const sf_count_t want = std::min<sf_count_t>(block, frames - n);
        const sf_count_t got = ch == 1 ? sf_readf_float(sf, out + n, want) : sf_readf_float(sf, in, want);
        if (got <= 0)
            break;
        if (ch > 1)
            frames_to_mono(in, got, ch, take, out + n);
        n += got;
    }
    return n;
}

// The second half of a long file, read on a helper thread through its own handle.
struct HalfRead {
    const char* path;
    sf_count_t from, frames; // first frame and count
    int ch, take, block;     // as for read_mono
    float* out;              // where frame `from` goes
    sf_count_t got;          // frames read
};

static void* read_half(void* arg)
{
    HalfRead* half = static_cast<HalfRead*>(arg);
    half->got = 0;
    SF_INFO info{};
    SNDFILE* sf = sf_open_utf8(half->path, SFM_READ, &info);
    if (!sf)
        return nullptr;
    float* in = half->ch > 1 ? static_cast<float*>(wrmalloc((size_t)half->block * (size_t)half->ch * sizeof(float)))
                             : nullptr;
    if (info.channels == half->ch && sf_seek(sf, half->from, SEEK_SET) == half->from)
        half->got = read_mono(sf, half->frames, half->ch, half->take, half->block, in, half->out);
    free(in);
    sf_close(sf);
    return nullptr;
}

// Long files whose frames can be found by position without decoding what comes before are read
// in two halves at once (decoding is most of an open's wait for a long sound). The frame count
// is trusted for that only when the file at `path` is large enough to hold it.
static bool read_in_halves(const SF_INFO& info, const char* path)
{
    const int major = info.format & SF_FORMAT_TYPEMASK, sub = info.format & SF_FORMAT_SUBMASK;
    const bool container = major == SF_FORMAT_WAV || major == SF_FORMAT_AIFF || major == SF_FORMAT_WAVEX ||
                           major == SF_FORMAT_W64 || major == SF_FORMAT_RAW;
    const int bytes = sub == SF_FORMAT_PCM_S8 || sub == SF_FORMAT_PCM_U8 ? 1
                      : sub == SF_FORMAT_PCM_16                           ? 2
                      : sub == SF_FORMAT_PCM_24                           ? 3
                      : sub == SF_FORMAT_PCM_32 || sub == SF_FORMAT_FLOAT ? 4
                      : sub == SF_FORMAT_DOUBLE                           ? 8
                                                                          : 0; // not PCM
    struct stat st;
    return container && bytes > 0 && info.seekable && info.frames >= (1 << 20) && info.frames <= INT_MAX &&
           stat(path, &st) == 0 && (double)info.frames * info.channels * bytes <= (double)st.st_size;
}

float* load_raw_sound_sndfile(const char* path, int* len, int* rate)
{
    *len = 0;
    *rate = 0;
    SF_INFO info{};
    SNDFILE* sf = sf_open_utf8(path, SFM_READ, &info);
    if (!sf) {
        wrfprintf(stderr, "Could not read sound file '%s': %s\n", path, sf_strerror(nullptr));
        return nullptr;
    }
    const int ch = info.channels;
    if (ch < 1) {
        sf_close(sf);
        wrfprintf(stderr, "Could not read sound file '%s': no channels\n", path);
        return nullptr;
    }
    char why[160];
    if (setting_fault(SETTING_SOUND_RATE, info.samplerate, why, sizeof why)) {
        sf_close(sf);
        wrfprintf(stderr, "Could not read sound file '%s': %s\n", path, why);
        return nullptr;
    }
    // Which channel is taken: -1 = the sum of all channels.
    const int take = (key[state_of(K_LEFT_ONLY)] || ch == 1) ? 0 : key[state_of(K_RIGHT_ONLY)] ? 1 : -1;

    const int block = std::max(1, (1 << 20) / ch); // about 4 MB of interleaved frames at a time
    float* in = static_cast<float*>(wrmalloc((size_t)block * (size_t)ch * sizeof(float)));
    float* out = nullptr;
    int cap = 0;
    long long n = 0;
    bool ok = true, more = true;
    // A long file in two halves at once, the second through a handle of its own. A first half
    // read short ends the sound there, as reading in order would; after the second half (or
    // as far as its helper got) the reading goes on in order.
    if (read_in_halves(info, path) && (ok = grow_sound(&out, &cap, info.frames, path))) {
        HalfRead second{path, info.frames / 2, info.frames - info.frames / 2, ch, take, block, out + info.frames / 2, 0};
        ThreadRecord helper{};
        const bool helped = thread_spawn(&helper, read_half, &second) == 0;
        if (!helped)
            read_half(&second);
        n = read_mono(sf, second.from, ch, take, block, in, out);
        if (helped)
            thread_wait(&helper, nullptr);
        more = n == second.from;
        if (more)
            n += second.got;
        more = more && sf_seek(sf, n, SEEK_SET) == n;
    }
    // Then (or from the start) in blocks rather than trusting the frame count of the header: a
    // damaged or crafted header may claim far more frames than the file holds.
    // A read asks for no more than the frames the header states are left, and only a small
    // block once they are read: the library clears whatever part of a request it cannot fill,
    // which for a short sound was most of a block of fresh memory.
    while (ok && more) {
        const long long left = info.frames - n;
        const long long want = std::min<long long>(left > 0 ? std::min<long long>(block, left) : std::min(block, 4096),
                                                   (long long)INT_MAX - n);
        if (want == 0) { // a frame more is too long a sound: grow_sound says so
            if (sf_readf_float(sf, in, 1) > 0)
                ok = grow_sound(&out, &cap, n + 1, path);
            break;
        }
        if (!(ok = grow_sound(&out, &cap, n + want, path)))
            break;
        const sf_count_t got = read_mono(sf, want, ch, take, block, in, out + n);
        n += got;
        more = got == want;
    }
    free(in);
    sf_close(sf);
    if (!ok) {
        free(out);
        return nullptr;
    }
    *rate = info.samplerate;
    // A file cut short is read as far as it goes, but the user hears of it. FLAC states its
    // length exactly; for WAV and AIFF the reader trims its count to the data present, so the
    // header's own figure is taken.
    long long promised = header_frames(path);
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC && info.frames > 0 && info.frames < SF_COUNT_MAX)
        promised = info.frames;
    if (n > 0 && n < promised)
        wrfprintf(stderr, "Sound file '%s' ends early: %lld of the %lld frames its header promises were read (%.1f%%)\n",
                  path, n, promised, 100.0 * (double)n / (double)promised);
    return finish_sound(out, (int)n, path, len);
}

// Converts `frames` decoded frames of `ch` interleaved channels into `out` in `mode`.
static void mp3_convert(const float* in, int frames, int ch, int mode, float* out)
{
    const int right = ch > 1 ? 1 : 0;
    for (int i = 0; i < frames; i++) {
        const float* fr = in + (size_t)i * ch;
        switch (mode) {
        case MP3_LEFT:
            out[i] = fr[0];
            break;
        case MP3_RIGHT:
            out[i] = fr[right];
            break;
        case MP3_BOTH:
            out[2 * i] = fr[0];
            out[2 * i + 1] = fr[right];
            break;
        default: {
            float s = 0.f;
            for (int c = 0; c < ch; c++)
                s += fr[c];
            out[i] = s / (float)ch;
        }
        }
    }
}

float* load_full_mp3_float_select_chan(const char* path, int* len, int* channels, int* rate, int mode)
{
    static std::once_flag init;
    std::call_once(init, [] { mpg123_init(); });
    *len = 0;
    *channels = 0;
    *rate = 0;
    const int out_ch = mode == MP3_BOTH ? 2 : 1;

    size_t size = 0;
    uint8_t* data = load_raw_file(path, &size);
    if (!data)
        return nullptr;

    int err = 0;
    mpg123_handle* mh = mpg123_new(nullptr, &err);
    if (!mh) {
        free(data);
        wrfprintf(stderr, "Could not decode '%s': %s\n", path, mpg123_plain_strerror(err));
        return nullptr;
    }
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    mpg123_format_none(mh);
    const long* rates = nullptr;
    size_t rate_count = 0;
    mpg123_rates(&rates, &rate_count);
    for (size_t i = 0; i < rate_count; i++)
        mpg123_format(mh, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);

    float* out = nullptr;
    int cap = 0;
    long long n = 0; // samples per channel so far
    int ch = 0;
    bool ok = true;
    if (mpg123_open_feed(mh) == MPG123_OK && size > 0 && mpg123_feed(mh, data, size) == MPG123_OK) {
        for (;;) {
            off_t num;
            unsigned char* audio = nullptr;
            size_t bytes = 0;
            int r = mpg123_decode_frame(mh, &num, &audio, &bytes);
            if (r == MPG123_NEW_FORMAT) {
                long fr_rate;
                int enc;
                mpg123_getformat(mh, &fr_rate, &ch, &enc);
                if (*rate == 0)
                    *rate = (int)fr_rate; // the first frame fixes the rate
                continue;
            }
            if (r != MPG123_OK)
                break; // out of data, or a stream that cannot be decoded further
            if (ch < 1 || bytes == 0)
                continue;
            int frames = (int)(bytes / (sizeof(float) * (size_t)ch));
            if (!(ok = grow_sound(&out, &cap, (n + frames) * out_ch, path)))
                break;
            mp3_convert(reinterpret_cast<const float*>(audio), frames, ch, mode, out + n * out_ch);
            n += frames;
        }
    }
    mpg123_delete(mh);
    free(data);
    if (!ok) {
        free(out);
        return nullptr;
    }
    if (n == 0) {
        free(out);
        wrfprintf(stderr, "No MP3 frame could be decoded in '%s'\n", path);
        return nullptr;
    }
    out = static_cast<float*>(wrrealloc(out, (size_t)(n * out_ch) * sizeof(float)));
    sound_guard(out, (int)(n * out_ch));
    *len = (int)n;
    *channels = out_ch;
    return out;
}

float* load_raw_sound(const char* path, int* len, int* rate)
{
    char* ext = extract_file_extension(path, nullptr);
    bool mp3 = ext && strcmp(ext, "mp3") == 0;
    free(ext);
    if (!mp3)
        return load_raw_sound_sndfile(path, len, rate);
    int mode = key[state_of(K_LEFT_ONLY)] ? MP3_LEFT : key[state_of(K_RIGHT_ONLY)] ? MP3_RIGHT : MP3_MEAN;
    int channels;
    return load_full_mp3_float_select_chan(path, len, &channels, rate, mode);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Writing pictures
// ---------------------------------------------------------------------------------------------

uint8_t grey_level(float v, float m)
{
    if (!(m > 0.f))
        return 0;
    float g = 255.f * sqrtf(v / m);
    if (!(g > 0.f)) // also NaN, from a negative value
        return 0;
    return g >= 255.f ? 255 : (uint8_t)g;
}

// Largest pixel value, starting from 0; missing rows count as 0.
float plane_peak(Plane image, int w, int h)
{
    float m = 0.f;
    for (int r = 0; r < h; r++)
        if (image[r])
            for (int x = 0; x < w; x++)
                if (image[r][x] > m)
                    m = image[r][x];
    return m;
}

int save_image(Plane image, int w, int h, const char* path)
{
    if (w < 0 || h < 0 || (h > 0 && !image)) {
        wrfprintf(stderr, "Could not write '%s': no picture\n", path);
        return -1;
    }
    const int pad = (4 - (3 * w) % 4) % 4;
    const long long data = (3LL * w + pad) * h;
    if (data + 56 > INT_MAX) {
        wrfprintf(stderr, "Could not write '%s': %d x %d pixels is too large for a BMP file\n", path, w, h);
        return -1;
    }
    ReplacingFile out;
    if (!out.open(path)) {
        wrfprintf(stderr, "Could not write '%s': %s\n", path, strerror(errno));
        return -1;
    }
    FILE* f = out.f;
    const float m = plane_peak(image, w, h);
    const int d = (int)data;

    fwrite("BM", 1, 2, f);
    fwrite_le_word(d + 56, f); // file size, counting the two closing bytes
    fwrite_le_word(0, f);
    fwrite_le_word(54, f);     // pixel data offset
    fwrite_le_word(40, f);     // info header size
    fwrite_le_word(w, f);
    fwrite_le_word(h, f);      // positive: rows bottom-up
    fwrite_le_short(1, f);     // planes
    fwrite_le_short(24, f);    // bits per pixel
    fwrite_le_word(0, f);      // no compression
    fwrite_le_word(d + 2, f);
    fwrite_le_word(2834, f);   // pixels per metre, both ways
    fwrite_le_word(2834, f);
    fwrite_le_word(0, f);
    fwrite_le_word(0, f);

    uint8_t* row = static_cast<uint8_t*>(wrcalloc((size_t)3 * w + pad + 1, 1));
    for (int r = h - 1; r >= 0; r--) {
        for (int x = 0; x < w; x++) {
            uint8_t g = image[r] ? grey_level(image[r][x], m) : 0;
            row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = g;
        }
        fwrite(row, 1, (size_t)3 * w + pad, f);
    }
    free(row);
    fwrite_le_short(0, f);

    // A failed write leaves the old picture as it was and no half-written one behind.
    if (out.commit() != 0) {
        wrfprintf(stderr, "Could not write '%s': %s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

// Encodes `dib` (freed here) as `fif` with the encoder's `flags` into `path` through a
// ReplacingFile. Returns 0, or -1 with one line naming the file (an existing picture stays as it
// was).
static int write_bitmap(const PictureLibrary& fi, FIBITMAP* dib, FREE_IMAGE_FORMAT fif, int flags, const char* path)
{
    ReplacingFile out;
    if (!out.open(path)) {
        fi.Unload(dib);
        wrfprintf(stderr, "Could not write '%s': %s\n", path, strerror(errno));
        return -1;
    }
    FreeImageIO io = freeimage_file_io();
    bool saved = fi.SaveToHandle(fif, dib, &io, out.f, flags);
    fi.Unload(dib);
    if (!saved) {
        wrfprintf(stderr, "Could not write '%s': the %s encoder failed\n", path, fif == FIF_PNG ? "PNG" : "BMP");
        return -1;
    }
    if (out.commit() != 0) {
        wrfprintf(stderr, "Could not write '%s': %s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

static const int GREY_PNG_LEVEL = 3; // deflate level of the grey pictures (see save_image_png)

// The picture library, or null after one line naming the picture that cannot be written.
static const PictureLibrary* library_to_write(const char* path)
{
    const PictureLibrary* library = picture_library();
    if (!library)
        wrfprintf(stderr, "Could not write '%s': the picture library is missing\n", path);
    return library;
}

int save_image_png(Plane image, int w, int h, const char* path)
{
    if (w < 1 || h < 1 || !image) {
        wrfprintf(stderr, "Could not write '%s': no picture\n", path);
        return -1;
    }
    const PictureLibrary* library = library_to_write(path);
    if (!library)
        return -1;
    const PictureLibrary& fi = *library;
    FIBITMAP* dib = fi.Allocate(w, h, 8, 0, 0, 0);
    if (!dib) {
        wrfprintf(stderr, "Could not write '%s': %d x %d pixels is too large\n", path, w, h);
        return -1;
    }
    RGBQUAD* pal = fi.GetPalette(dib);
    for (int i = 0; i < 256; i++) {
        pal[i].rgbRed = pal[i].rgbGreen = pal[i].rgbBlue = (BYTE)i;
        pal[i].rgbReserved = 0;
    }
    const float m = plane_peak(image, w, h);
    for (int r = 0; r < h; r++) {
        BYTE* line = fi.GetScanLine(dib, h - 1 - r); // FreeImage rows run bottom-up
        for (int x = 0; x < w; x++)
            line[x] = image[r] ? grey_level(image[r][x], m) : 0;
    }

    // Deflate level 3 (the encoder takes the level from the flags' low bits): the default level 6
    // spends half as long again for files a tenth to a quarter smaller, level 1 saves little more
    // time for files up to a third larger.
    return write_bitmap(fi, dib, FIF_PNG, GREY_PNG_LEVEL, path);
}

int save_picture(const uint32_t* px, int w, int h, const char* path)
{
    if (w < 1 || h < 1 || !px) {
        wrfprintf(stderr, "Could not write '%s': no picture\n", path);
        return -1;
    }
    const PictureLibrary* library = library_to_write(path);
    if (!library)
        return -1;
    const PictureLibrary& fi = *library;
    FIBITMAP* dib = fi.Allocate(w, h, 24, 0, 0, 0);
    if (!dib) {
        wrfprintf(stderr, "Could not write '%s': %d x %d pixels is too large\n", path, w, h);
        return -1;
    }
    for (int y = 0; y < h; y++) {
        BYTE* line = fi.GetScanLine(dib, h - 1 - y); // FreeImage rows run bottom-up
        const uint8_t* src = reinterpret_cast<const uint8_t*>(px + (size_t)y * w);
        for (int x = 0; x < w; x++) {
            line[3 * x + FI_RGBA_RED] = src[4 * x];
            line[3 * x + FI_RGBA_GREEN] = src[4 * x + 1];
            line[3 * x + FI_RGBA_BLUE] = src[4 * x + 2];
        }
    }
    const size_t n = strlen(path);
    const bool bmp = n >= 4 && strcasecmp(path + n - 4, ".bmp") == 0;
    // The fastest deflate level: a colour picture of a long sound is large, and the stronger
    // levels make it little smaller for several times the time.
    return write_bitmap(fi, dib, bmp ? FIF_BMP : FIF_PNG, bmp ? BMP_DEFAULT : PNG_Z_BEST_SPEED, path);
}
