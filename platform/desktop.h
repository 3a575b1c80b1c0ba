// Desktop services: file dialogs, alerts, the application-data folder, opening folders, pages
// and documents with the desktop's default handler, and the clipboard.
//
// Dialogs and alerts run zenity as a child process with an argument vector (never a shell).
// When the environment variable BRINDLEWHARF_DIALOG_SCRIPT names a file, every dialog and
// alert is answered from that file instead, one line per dialog, so that tests never wait on a
// person (the line format is described at `dialog_script_next`).
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------------------------
// [SECTION] Save-panel file types
// ---------------------------------------------------------------------------------------------

// Tags of the save panel's file-type choices.
enum SaveType : int {
    SAVE_HISTORY = 0,  // "kbz", save the history as the archive (slot 116 = 0)
    SAVE_SNAPSHOT = 1, // "kbz", save the archive with the current state (slot 116 = 1)
    SAVE_AIFF = 2,
    SAVE_WAV = 3,
    SAVE_FLAC = 4,
    SAVE_OGG = 5,
    SAVE_BMP = 6,
    SAVE_PNG = 7,      // pictures as PNG
    SAVE_TYPE_COUNT = 8,
};

// Extension of a save-type tag ("kbz", "aiff", ...), null for other tags.
const char* save_type_extension(int tag);

// What the desktop services need from the program above them; the program state fills it in
// when the process starts (core/state.cpp). Null members are skipped.
struct DesktopContext {
    const char* app_folder;              // folder under the user's data directory ("Brindlewharf")
    const char* home_page;               // page that Check for Updates opens
    const char* doc_folder;              // folder the file dialogs start in (the current document's)
    void (*dialog_open)(int open);       // told 1 when a dialog or alert opens, 0 when it closes
    void (*archive_choice)(int snapshot); // the save panel's ".kbz" choice: 1 snapshot, 0 history
};

extern DesktopContext desktop_context; // installed by the program state

// The save panel's rule for a typed name, given the selected tag: tags 0 and 1 report the
// archive choice through save_archive_choice_hook;
// when the name does not already end with "." and the tag's extension (compared without regard
// to case) the extension is appended. Writes the result into `out` (size `out_size`).
void save_type_apply(const char* typed, int tag, char* out, int out_size);

// ---------------------------------------------------------------------------------------------
// [SECTION] Dialogs and alerts
// ---------------------------------------------------------------------------------------------

// Dialog script (tests and unattended runs). When BRINDLEWHARF_DIALOG_SCRIPT names a file, each
// dialog or alert takes the next unread line of that file (blank lines are skipped; the read
// position is kept until the variable names another file) instead of showing anything:
//   open PATH         the open dialog chose PATH
//   save PATH         the save dialog got the typed name PATH; its type comes from the extension.
//                     The questions the desktop dialog would then ask take the following lines:
//                     a ".kbz" name asks which archive ("history" or "snapshot"), a name without
//                     a known extension asks the type (one of the TYPE words below)
//   save TYPE PATH    typed name PATH with TYPE chosen from the type list: history, snapshot,
//                     aiff, wav, flac, ogg, bmp, png (the save panel's extension rule applies)
//   cancel            any dialog is cancelled (a question answers no)
//   yes / no          the answer of message_box_yesno
//   number VALUE      the answer of ask_number
//   ok                an alert was dismissed (an alert takes one line whatever it holds)
// A line of the wrong kind, or no line left, acts as cancel (or no) with a message on stderr.
// When BRINDLEWHARF_DIALOG_LOG names a file, every scripted dialog appends one line telling what
// was asked: "open dialog", "save dialog", "save dialog (audio)", "save dialog (picture)", "archive question", "type
// question", "alert: TITLE: TEXT" or "question: TITLE: TEXT" (line breaks become spaces).

// Reads the next line of the dialog script into `line` (at most `line_size` bytes with the
// terminator). Returns 1 with a line, 0 when the script is exhausted or unreadable, -1 when no
// script is set (the desktop's dialogs are used).
int dialog_script_next(char* line, int line_size);

// Modal open dialog for one file. Slot 37 is 1 while it is open. On acceptance copies the chosen
// path into `dest` (at most `dest_size` bytes with the terminator) and returns 1; a cancel
// returns 0 and leaves `dest` untouched.
int open_file_dialog(char* dest, int dest_size);

// Modal save dialog offering every save type (history and snapshot archive, aiff, wav, flac,
// ogg, bmp, png). A ".kbz" choice asks which archive to write and sets slot 116. Returns 1 with
// the path in `dest`, or 0 on cancel.
int save_file_dialog(char* dest, int dest_size);

// The same for sound files only (aiff, wav, flac, ogg).
int save_audio_dialog(char* dest, int dest_size);

// The same for pictures only (bmp, png).
int save_picture_dialog(char* dest, int dest_size);

// Blocking alert with `title` as its message and `text` as its detail and one "OK" button;
// `warning` non-zero gives a warning alert, zero a critical one.
void message_box(const char* text, const char* title, int warning);

// Blocking question with "Yes" (default) and "No"; returns 1 for yes, 0 for no.
int message_box_yesno(const char* text, const char* title);

// Blocking question for a number, `initial` shown first. Returns 1 with what was typed in *value;
// 0 when cancelled, or when the answer is no number (said on stderr), leaving *value alone.
int ask_number(const char* text, const char* title, float initial, float* value);

// ---------------------------------------------------------------------------------------------
// [SECTION] Opening things with the desktop
// ---------------------------------------------------------------------------------------------

// Copies a picture to the clipboard as PNG. `pixels` holds w * h 32-bit pixels whose bytes are
// R, G, B, A in memory order. Returns 1 when the clipboard tool accepted it.
int copy_image(const uint32_t* pixels, int w, int h);

// Writes the picture on the clipboard (asked for as PNG) to a new temporary file and returns its
// path (the caller removes the file and frees the path), or null after one line when the
// clipboard holds no picture or the clipboard tool cannot be run.
char* paste_image_file();

// Opens the user guide shipped with the program.
void open_manual();

// Opens the project's home page in the web browser.
void check_updates();

// Opens the application-data folder (created if missing) in the file browser.
void open_appdata();

// Opens `path` with the desktop's default handler (xdg-open with an argument vector, so no
// character of the path is ever interpreted by a shell). Returns 1 when the handler started.
int system_open(const char* path);

// ---------------------------------------------------------------------------------------------
// [SECTION] Paths
// ---------------------------------------------------------------------------------------------

// Path of `file` (may be null) in the application-data folder `folder`:
// $XDG_DATA_HOME/folder/file, else ~/.local/share/folder/file. With `create`, makes the folder
// (mode 0755, parents included). Returns a new string (free it) or null without a home folder.
char* make_appdata_path(const char* folder, const char* file, int create);

// Cuts the path after its last "/" (a "\" also stops the search), keeping the separator;
// a path without a separator becomes empty.
void remove_filename(char* path);

// Cuts the path at its last separator, removing it; a path ending with "/" only loses that "/".
void cd_dotdot(char* path);
