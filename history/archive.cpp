// Project archives and the life of the history file; see archive.h.
#include "history/archive.h"

#include "core/state.h"
#include "core/units.h"
#include "document/command_log.h"
#include "document/composite.h"
#include "files/media.h"
#include "history/base85.h"
#include "platform/util.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int MAX_LINE = 2048;    // characters of a line before its line end, as the readers allow
constexpr int LINE_BUFFER = 2050; // the readers' line buffer: MAX_LINE, the line end and the terminator

constexpr const char* ARCHIVE_HEADER = "Brindlewharf Archive v1.2";

// ---------------------------------------------------------------------------------------------
// [SECTION] Quoted names
// ---------------------------------------------------------------------------------------------

// `text` made safe inside the double quotes of a line that begins with `prefix` (the prefix
// includes the opening quote): a quote or a line break would end the field or the line, so
// each becomes a space; the name is shortened (never inside a UTF-8 character) so that the
// line with its closing quote stays within MAX_LINE; an empty name is one space, because the
// readers' "%[^\"]" matches nothing in an empty field.
std::string quoted_field(const char* text, const char* prefix)
{
    std::string s = text ? text : "";
    for (char& c : s)
        if (c == '"' || c == '\n' || c == '\r')
            c = ' ';
    const size_t used = strlen(prefix) + 1;
    const size_t room = used < (size_t)MAX_LINE ? (size_t)MAX_LINE - used : 0;
    if (s.size() > room) {
        size_t n = room;
        while (n > 0 && ((unsigned char)s[n] & 0xC0) == 0x80)
            n--;
        s.erase(n);
    }
    if (s.empty())
        s.assign(1, ' ');
    return s;
}

// Whether a path can be written as it is in "Open \"%s\"": no character that ends the field or
// the line, and short enough for the line.
bool path_fits_line(const char* path)
{
    return strpbrk(path, "\"\n\r") == nullptr && strlen(path) + strlen("Open \"\"") <= (size_t)MAX_LINE;
}

std::string vformat(const char* format, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int n = vsnprintf(nullptr, 0, format, again);
    va_end(again);
    std::string s(n > 0 ? (size_t)n : 0, '\0');
    if (n > 0)
        vsnprintf(s.data(), s.size() + 1, format, args);
    return s;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Copying archives line by line
// ---------------------------------------------------------------------------------------------

enum LineRead { LINE_END_OF_FILE, LINE_COMPLETE, LINE_TOO_LONG };

// Reads one line with its line end into `buf` (LINE_BUFFER bytes), as the readers' 2050-byte
// buffer would. A line without its line end (longer than MAX_LINE, or cut by the end of the
// file) is consumed to its end and reported as too long.
LineRead read_line(FILE* in, char* buf, size_t* len)
{
    size_t n = 0;
    int c = 0;
    while (n < (size_t)LINE_BUFFER - 1) {
        c = getc(in);
        if (c == EOF)
            break;
        buf[n++] = (char)c;
        if (c == '\n') {
            *len = n;
            return LINE_COMPLETE;
        }
    }
    *len = n;
    if (c == EOF && n == 0)
        return LINE_END_OF_FILE;
    while (c != '\n' && c != EOF)
        c = getc(in);
    return LINE_TOO_LONG;
}

bool is_blank(const char* buf, size_t len)
{
    for (size_t i = 0; i < len; i++)
        if (!isspace((unsigned char)buf[i]))
            return false;
    return true;
}

// Whether the first word of the line is `word`.
bool first_word_is(const char* buf, size_t len, const char* word)
{
    size_t i = 0;
    while (i < len && isspace((unsigned char)buf[i]))
        i++;
    const size_t n = strlen(word);
    return len - i >= n && memcmp(buf + i, word, n) == 0 && (i + n == len || isspace((unsigned char)buf[i + n]));
}

struct CopyState {
    bool any = false;        // at least one line was written
    bool last_empty = false; // the last line written was empty
};

// Copies the Base85 data line that follows a "Base85" line whole, whatever its length. A line
// cut short by the end of the file is closed with "z" and a line end, so that its reader stops
// there with its warning and whatever is appended later starts on a line of its own.
void copy_data_line(FILE* in, FILE* out, const char* name)
{
    int c, last = '\n';
    while ((c = getc(in)) != EOF) {
        putc(c, out);
        if (c == '\n')
            return;
        last = c;
    }
    wrfprintf(stderr, "Warning: Base85 data in file %s cut short by the end of the file\n", name);
    if (last != 'z')
        putc('z', out);
    putc('\n', out);
}

// Copies every line of `in` to `out` under the readers' line rule: an over-long line (or a
// last line without its line end) is skipped with a warning naming `name`, a line without a
// word is written as a bare line end, other lines unchanged, a Base85 data line whole.
void copy_lines(FILE* in, FILE* out, const char* name, CopyState* st)
{
    char buf[LINE_BUFFER];
    size_t len = 0;
    for (;;) {
        const LineRead r = read_line(in, buf, &len);
        if (r == LINE_END_OF_FILE)
            return;
        if (r == LINE_TOO_LONG) {
            wrfprintf(stderr, "Warning: line in file %s exceeds allowed length\n", name);
            continue;
        }
        st->any = true;
        if (is_blank(buf, len)) {
            putc('\n', out);
            st->last_empty = true;
            continue;
        }
        fwrite(buf, 1, len, out);
        st->last_empty = false;
        if (first_word_is(buf, len, "Base85"))
            copy_data_line(in, out, name);
    }
}

// The closing line end of a copy: one more when nothing was written or the last line was not
// empty, so that the copy always ends with an empty line.
void close_copy(FILE* out, const CopyState& st)
{
    if (!st.any || !st.last_empty)
        putc('\n', out);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Document lines (shared by snapshots and the open header)
// ---------------------------------------------------------------------------------------------

// Where document lines go: a snapshot file, or the history through print_cmd.
struct LineSink {
    FILE* file; // the snapshot, or null for the history

    // One formatted line: to the snapshot, or to the history written in print_cmd mode `mode`.
    void put(int mode, const char* format, va_list args) __attribute__((format(printf, 3, 0)))
    {
        const std::string text = vformat(format, args);
        if (file) {
            fputs(text.c_str(), file);
            putc('\n', file);
        } else {
            print_cmd(mode, "%s", text.c_str());
        }
    }

    // One line; in the history a continuation line (no time line before it).
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        put(CMD_CONTINUATION, format, args);
        va_end(args);
    }

    // One line; in the history a timed command (a time line may precede it).
    void timed(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        put(CMD_TIMED, format, args);
        va_end(args);
    }

    void empty() { line("%s", ""); }

    // A Base85 block of `rows` rows of `words` floats.
    void block(const float* const* data, int rows, int words)
    {
        FILE* f = file ? file : cmd_out_file;
        if (!f)
            return;
        fprint_base85(f, data, rows, words);
        if (!file)
            fflush(f);
    }
};

// The history's unit for times, or pixels when slot 126 holds none of the time units.
int time_unit()
{
    const int u = key[K_TIME_UNIT];
    return u == UNIT_PX || u == UNIT_PCT || u == UNIT_SEC ? u : UNIT_PX;
}

// The history's unit for frequency positions, or pixels when slot 127 holds none of them.
int position_unit()
{
    const int u = key[K_POS_UNIT];
    return u == UNIT_PX || u == UNIT_PCT || u == UNIT_HZ || u == UNIT_NOTE ? u : UNIT_PX;
}

// "Dimensions": in the open header the width is written as (width - 1) pixels in seconds when
// the time unit is seconds, but only when "%g" carries it back to the same width (very long
// documents lose columns to its six digits); otherwise, and in snapshots, in pixels.
void write_dimensions(LineSink& out, EngineState* es, int w, int h, bool user_units)
{
    const float pps = es->anal_params[2];
    if (user_units && time_unit() == UNIT_SEC && pps > 0.f && w > 0) {
        char text[64];
        snprintf(text, sizeof text, "%g", (double)((float)(w - 1) / pps));
        const float back = (float)strtod(text, nullptr) * pps;
        if ((long)nearbyintf(back) + 1 == w) {
            out.line("Dimensions %s %s x %d px", text, unit_name[UNIT_SEC], h);
            return;
        }
    }
    out.line("Dimensions %d px x %d px", w, h);
}

// From "Clear image" to the synthesis line and its empty line.
void write_settings(LineSink& out, EngineState* es, bool user_units)
{
    const ImageStack* im = es->image;
    out.line("Clear image");
    out.line("Frequency range %g Hz - %g Hz", (double)es->anal_params[0], (double)es->anal_params[1]);
    if (es->anal_params[6] != 2.f)
        out.line("Frequency scale %g", (double)es->anal_params[6]);
    out.line("Time resolution %g px/s", (double)es->anal_params[2]);
    write_dimensions(out, es, im ? im->w : 0, im ? im->h : 0, user_units);
    out.line("Synthesis %s", synthesis_name());
    out.empty();
}

// The original sound and the original image, each with its Base85 block and an empty line.
void write_originals(LineSink& out, const ImageStack* im)
{
    if (orig_snd && orig_len > 0) {
        out.line("New original sound (%d samples)", orig_len);
        out.line("Samplerate %d Hz", SOUND_SAMPLERATE);
        const float* row = orig_snd;
        out.block(&row, 1, orig_len);
        out.empty();
    }
    if (im && im->analysed && im->orig_w > 0 && im->orig_h > 0) {
        out.line("New original image (%d x %d)", im->orig_w, im->orig_h);
        out.block(im->analysed, im->orig_h, im->orig_w);
        out.empty();
    }
}

// A layer's convolution centre: in pixels in snapshots, in the user's units in the history.
void write_convolution_point(LineSink& out, EngineState* es, const Layer* l, bool user_units)
{
    if (!user_units) {
        out.line("Central convolution point %d px , %d px", l->conv_x, l->conv_y);
        return;
    }
    char xv[PATH_TEXT_LEN] = "0", yv[PATH_TEXT_LEN] = "0";
    const int tu = time_unit(), pu = position_unit();
    convert_unit(xv, UNIT_PX, tu, es, 1, 1, (float)l->conv_x);
    convert_unit(yv, UNIT_PX, pu, es, 0, 1, (float)l->conv_y);
    if (pu == UNIT_NOTE)
        out.timed("Central convolution point %s %s , %s", xv, unit_to_name(tu), yv);
    else
        out.timed("Central convolution point %s %s , %s %s", xv, unit_to_name(tu), yv, unit_to_name(pu));
}

// Every layer and separator from the bottom up, then the selected-layer line. In a snapshot a
// layer's block follows its settings; in the open header an empty line comes between them,
// and the pixels only when `with_pixels`. Block sizes come from the stack itself.
void write_layers(LineSink& out, EngineState* es, bool header, bool with_pixels)
{
    ImageStack* im = es->image;
    if (!im || !im->layers) {
        out.line("Selected layer %d", 0);
        return;
    }
    LockGuard lock(im->layers_lock);
    const int count = im->count < 0 ? 0 : im->count > LAYER_CAPACITY ? LAYER_CAPACITY : im->count;
    for (int i = 0; i < count; i++) {
        const Layer* l = &im->layers[i];
        const char* blend = blending_name[l->blend >= 0 && l->blend < BLEND_MODE_COUNT ? l->blend : 0];
        if (l->plane) {
            out.line("New layer \"%s\"", quoted_field(l->name, "New layer \"").c_str());
            out.line("Blending %s", blend);
            out.line("Gamma %g", (double)l->gamma);
        } else {
            out.line("New separator \"%s\"", quoted_field(l->name, "New separator \"").c_str());
            out.line("Blending %s", blend);
        }
        if (l->conv_set)
            write_convolution_point(out, es, l, header);
        if (header) {
            out.empty();
            if (l->plane && with_pixels) {
                out.block(l->plane, im->h, im->w);
                out.empty();
            }
        } else {
            if (l->plane)
                out.block(l->plane, im->h, im->w);
            out.empty();
        }
    }
    const int sel = count > 0 ? (im->sel < 0 ? 0 : im->sel >= count ? count - 1 : im->sel) : 0;
    out.line("Selected layer %d", sel);
}

// The Base85 writer stays silent while a replay runs, because a replay must not reach the
// history. A snapshot is a file of its own (a replayed "Save" line writes one), so that
// silence is lifted while the snapshot is written.
struct ReplaySilenceLifted {
    int8_t was;
    ReplaySilenceLifted() : was(key[K_REPLAYING].exchange(0)) {}
    ~ReplaySilenceLifted() { key[K_REPLAYING] = was; }
    ReplaySilenceLifted(const ReplaySilenceLifted&) = delete;
    ReplaySilenceLifted& operator=(const ReplaySilenceLifted&) = delete;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// [SECTION] Saving archives
// ---------------------------------------------------------------------------------------------

const char* synthesis_name()
{
    if (lossless_mode)
        return "lossless";
    return key[state_of(K_LIVE_SYNTH)] ? "live" : "noise";
}

int save_archive_status(const char* path, EngineState* es, const char* title)
{
    if (!path || !path[0] || !es)
        return -1;
    // A snapshot saved over the running history replaces its file: the history stream must
    // then follow to the new file, or later commands would go to the replaced one.
    const bool onto_history = cmd_out_file && same_file(path, history_path);
    ReplacingFile rf;
    if (!rf.open(path)) {
        wrfprintf(stderr, "Cannot write '%s': %s\n", path, strerror(errno));
        return -1;
    }
    {
        ReplaySilenceLifted lifted;
        LineSink out{rf.f};
        out.line("%s", ARCHIVE_HEADER);
        out.line("Title \"%s\"", quoted_field(title, "Title \"").c_str());
        out.empty();
        write_settings(out, es, false);
        write_originals(out, es->image);
        write_layers(out, es, false, true);
    }
    if (rf.commit() != 0) {
        wrfprintf(stderr, "Cannot write '%s': the archive was not saved\n", path);
        return -1;
    }
    if (onto_history) {
        command_log_close();
        cmd_out_file = fopen(history_path, "a");
    }
    return 0;
}

int save_archive_history(const char* path)
{
    if (!path || !path[0])
        return -1;
    const bool was_open = cmd_out_file != nullptr;
    command_log_close();
    int status = -1;
    {
        ReplacingFile rf;
        if (rf.open(path)) {
            // A missing history leaves the archive empty.
            FILE* in = history_path ? fopen(history_path, "rb") : nullptr;
            bool read_ok = true;
            if (in) {
                CopyState st;
                copy_lines(in, rf.f, "history.kbz", &st);
                read_ok = !ferror(in);
                fclose(in);
            }
            if (read_ok)
                status = rf.commit();
        }
    }
    if (status != 0)
        wrfprintf(stderr, "Cannot write '%s': the archive was not saved\n", path);
    // A history that was not open belongs to an earlier run; the next command starts it afresh.
    if (was_open && history_path)
        cmd_out_file = fopen(history_path, "a");
    return status;
}

int save_archive(const char* path, EngineState* es, const char* title)
{
    return key[K_SAVE_SNAPSHOT] ? save_archive_status(path, es, title) : save_archive_history(path);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] The history file after a replay
// ---------------------------------------------------------------------------------------------

int copy_archive(const char* path)
{
    if (!path)
        return -1;
    // Appending the history to itself would read its own new lines forever.
    if (same_file(path, history_path))
        return update_history_file();
    FILE* in = fopen(path, "rb");
    if (!in)
        return -1;
    if (!cmd_out_file && history_path)
        cmd_out_file = fopen(history_path, "w");
    if (!cmd_out_file) {
        fclose(in);
        return -1;
    }
    putc('\n', cmd_out_file);
    CopyState st;
    copy_lines(in, cmd_out_file, path, &st);
    close_copy(cmd_out_file, st);
    fclose(in);
    fflush(cmd_out_file);
    return 0;
}

int update_history_file()
{
    if (!history_path)
        return 0;
    FILE* in = fopen(history_path, "rb");
    if (!in)
        return 0;
    command_log_close();
    int status = -1;
    {
        ReplacingFile rf;
        if (rf.open(history_path)) {
            CopyState st;
            copy_lines(in, rf.f, "history.kbz", &st);
            close_copy(rf.f, st);
            if (!ferror(in))
                status = rf.commit();
        }
    }
    fclose(in);
    if (status != 0)
        wrfprintf(stderr, "rename failed\n");
    cmd_out_file = fopen(history_path, "a");
    return status;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] The header of a fresh history
// ---------------------------------------------------------------------------------------------

void begin_history(EngineState* es, const char* path, int kind)
{
    // A file opened by a replayed "Open" line keeps the history as it is: nothing is written
    // during a replay, and closing it here would let the append after the replay truncate it.
    if (!es || key[K_REPLAYING])
        return;
    if (!path)
        path = "";
    command_log_close();
    command_log_reset(); // a new file: no stroke block to end, an absolute time to begin with
    key[K_HISTORY_HEADER] = 0; // the header is written here, not again before the next command

    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    print_cmd(CMD_CONTINUATION, "%s", ARCHIVE_HEADER);
    print_cmd(CMD_HEADER, "Title \"%s\"\n", quoted_field(name, "Title \"").c_str());
    if (!cmd_out_file)
        return; // the history cannot be written

    // The "Open" line names the file by its full path, so that a replay finds it from any folder.
    std::string full_path = path;
    if (path[0] && path[0] != '/') {
        char cwd[DOC_DIR_LEN];
        if (getcwd(cwd, sizeof cwd))
            full_path = std::string(cwd) + "/" + path;
    }
    const ImageStack* im = es->image;
    const double words = (im ? (double)im->w * im->h : 0.0) +
                         (im && im->analysed ? (double)im->orig_w * im->orig_h : 0.0) +
                         (orig_snd && orig_len > 0 ? (double)orig_len : 0.0);
    const bool embed = !path[0] || !path_fits_line(full_path.c_str()) ||
                       4.0 * words <= (double)KBZ_SIZE_LIMIT * 1048576.0 + 1.0;

    LineSink out{nullptr};
    if (embed) {
        write_settings(out, es, true);
        if (path[0])
            write_originals(out, im);
        write_layers(out, es, true, path[0] != 0);
        out.empty();
        return;
    }
    out.line("Open \"%s\"", full_path.c_str());
    out.empty();
    out.timed("Synthesis %s", synthesis_name());
    out.empty();
    if (kind == FILE_IMAGE) {
        out.line("Frequency range %g Hz - %g Hz", (double)es->anal_params[0], (double)es->anal_params[1]);
        if (es->anal_params[6] != 2.f)
            out.line("Frequency scale %g", (double)es->anal_params[6]);
        out.line("Time resolution %g px/s", (double)es->anal_params[2]);
        out.line("Synthesis %s", synthesis_name());
        out.empty();
        write_originals(out, im);
    }
}
