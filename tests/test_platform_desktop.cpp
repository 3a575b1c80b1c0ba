// Desktop services: the save panel's type rule, scripted and zenity-driven dialogs, opening
// things without a shell, the clipboard export and the application-data paths.
#include "platform/desktop.h"
#include "platform/util.h"
#include "core/state.h"
#include "test_support.h"

#include <FreeImage.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

// ---------------------------------------------------------------------------------------------
// [SECTION] Helpers
// ---------------------------------------------------------------------------------------------

// Writes an executable shell script (mode 0755).
static void write_script(const std::string& path, const std::string& body)
{
    write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

// Splits NUL-terminated arguments as recorded by `printf '%s\0' "$@"`.
static std::vector<std::string> split_args(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string a; std::getline(in, a, '\0');)
        out.push_back(a);
    return out;
}

// True when `args` holds `arg` exactly.
static bool has_arg(const std::vector<std::string>& args, const std::string& arg)
{
    return std::find(args.begin(), args.end(), arg) != args.end();
}

// ---------------------------------------------------------------------------------------------
// [SECTION] The save type rule and the scripted dialogs
// ---------------------------------------------------------------------------------------------

// The save flow through the answering script: a .kbz name is asked which archive it is, only
// the last extension counts; an unanswered archive question, a cancel, a path too long for the
// buffer and an exhausted script leave the destination as it was (the script's log and its
// refusal of answers of the wrong kind are what the editor flows' dialog checks rest on); the
// type rule on its own.
TEST(DesktopSave, TypeRuleFollowUpQuestionsAndRefusedAnswers)
{
    TempDir dir;
    write_file(dir.file("script.txt"), "save /p/x.kbz\nsnapshot\nsave /p/take\nflac\nsave /p/wav.notes\nogg\nsave /p/y.kbz\n"
                                       "wav\ncancel\nopen /too/long/for/the/buffer/of/sixteen/bytes.wav\ncancel\n");
    ScopedEnv script("BRINDLEWHARF_DIALOG_SCRIPT", dir.file("script.txt").c_str());
    char path[256];
    key[K_SAVE_SNAPSHOT] = 0;
    for (const char* want : {"/p/x.kbz", "/p/take.flac", "/p/wav.notes.ogg"}) {
        ASSERT_EQ(save_file_dialog(path, sizeof path), 1);
        EXPECT_STREQ(path, want);
    }
    EXPECT_EQ(key[K_SAVE_SNAPSHOT], 1);
    key[K_SAVE_SNAPSHOT] = 0;
    strcpy(path, "untouched");
    EXPECT_EQ(save_file_dialog(path, sizeof path), 0); // the archive question left unanswered
    EXPECT_EQ(open_file_dialog(path, sizeof path), 0);
    char sixteen[16] = "small";
    EXPECT_TRUE(open_file_dialog(sixteen, sizeof sixteen) == 0 && !strcmp(sixteen, "small")); // refused rather than cut
    EXPECT_EQ(message_box_yesno("Save changes?", "Question"), 0); // cancel answers no
    EXPECT_TRUE(save_file_dialog(path, sizeof path) == 0 && message_box_yesno("Again?", "Question") == 0); // nothing left
    EXPECT_STREQ(path, "untouched");
    EXPECT_TRUE(key[K_DIALOG_OPEN] == 0 && key[K_SAVE_SNAPSHOT] == 0);

    // The type rule: the extension is appended unless present (in any case); archive tags set
    // slot 116, other tags leave it; the output stays in its buffer and may be the input. Rows:
    // name, tag, the name written and slot 116 after (from 1 before).
    using Row = std::tuple<const char*, int, const char*, int>;
    for (auto [in, tag, out, snapshot] :
         {Row{"song", SAVE_WAV, "song.wav", 1}, {"song.WAV", SAVE_WAV, "song.WAV", 1}, {"songwav", SAVE_WAV, "songwav.wav", 1},
          {"song.wav", SAVE_FLAC, "song.wav.flac", 1}, {"view", SAVE_PNG, "view.png", 1}, {"raw", 99, "raw", 1},
          {"proj", SAVE_HISTORY, "proj.kbz", 0}, {"proj.Kbz", SAVE_SNAPSHOT, "proj.Kbz", 1}}) {
        char got[64];
        key[K_SAVE_SNAPSHOT] = 1;
        save_type_apply(in, tag, got, sizeof got);
        EXPECT_TRUE(!strcmp(got, out) && key[K_SAVE_SNAPSHOT] == snapshot) << in << ": " << got;
    }
    EXPECT_TRUE(save_type_extension(99) == nullptr && !strcmp(save_type_extension(SAVE_AIFF), "aiff"));

    char small[6] = "XXXXX", inplace[32] = "take";
    save_type_apply("song", SAVE_WAV, small, sizeof small);
    save_type_apply(inplace, SAVE_OGG, inplace, sizeof inplace);
    EXPECT_TRUE(!strcmp(small, "song.") && !strcmp(inplace, "take.ogg")) << small << ", " << inplace;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] zenity-driven dialogs (a stand-in zenity on PATH records its arguments)
// ---------------------------------------------------------------------------------------------

// A stand-in "zenity": call N records its arguments in argsN, prints answerN and exits with
// statusN (0 when missing). With a "hold" file present it first waits for "go" (bounded).
struct DesktopZenity : ::testing::Test {
    TempDir dir;
    ScopedEnv script{"BRINDLEWHARF_DIALOG_SCRIPT", nullptr};
    ScopedEnv display{"DISPLAY", ":bw-test"};
    ScopedEnv path;
    DesktopZenity() : path("PATH", (dir.path + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")).c_str())
    {
        write_script(dir.file("zenity"),
                     "d=$(dirname \"$0\")\n"
                     "n=$(($(cat \"$d/count\" 2>/dev/null || echo 0) + 1)); echo $n > \"$d/count\"\n"
                     "printf '%s\\0' \"$@\" > \"$d/args$n\"\n"
                     "i=0; while [ -e \"$d/hold\" ] && [ ! -e \"$d/go\" ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done\n"
                     "[ -e \"$d/answer$n\" ] && cat \"$d/answer$n\"\n"
                     "exit $(cat \"$d/status$n\" 2>/dev/null || echo 0)\n");
        memset(current_doc_directory, 0, sizeof current_doc_directory);
    }
    ~DesktopZenity() { memset(current_doc_directory, 0, sizeof current_doc_directory); }
    void answer(int n, const std::string& text, int status = 0)
    {
        write_file(dir.file("answer" + std::to_string(n)), text);
        write_file(dir.file("status" + std::to_string(n)), std::to_string(status) + "\n");
    }
    std::vector<std::string> args(int n) { return split_args(read_file(dir.file("args" + std::to_string(n)))); }
    int calls() { return atoi(read_file(dir.file("count")).c_str()); }
};

// Calls 1 open (from the document's folder); 2, 3 save and the archive question; 4 to 6 save a
// sound, its type (sound types only, tags 2..5) and the refused replacement of take.wav; 7, 8
// the alerts, whose text is one argument whatever it holds; 9 holds slot 37 while it runs. No
// display or no zenity: a cancel.
TEST_F(DesktopZenity, EachDialogGetsItsArgumentsAndItsAnswer)
{
    strcpy(current_doc_directory, "/music/set 1");
    write_file(dir.file("take.wav"), "old");
    const std::pair<std::string, int> answers[] = {{"/music/set 1/it's \"here\".wav\n", 0}, {"/p/proj.kbz\n", 0}, {"1\n", 0},
                                                   {dir.file("take") + "\n", 0}, {"3\n", 0}, {"", 1}, {"", 0}, {"", 1}};
    for (int n = 1; n <= 8; n++)
        answer(n, answers[n - 1].first, answers[n - 1].second);
    char path[256];
    EXPECT_TRUE(open_file_dialog(path, sizeof path) == 1 && !strcmp(path, "/music/set 1/it's \"here\".wav")) << path;
    key[K_SAVE_SNAPSHOT] = 0;
    EXPECT_TRUE(save_file_dialog(path, sizeof path) == 1 && !strcmp(path, "/p/proj.kbz") && key[K_SAVE_SNAPSHOT] == 1) << path;
    strcpy(path, "untouched");
    EXPECT_TRUE(save_audio_dialog(path, sizeof path) == 0 && !strcmp(path, "untouched") && calls() == 6);
    message_box("a <b> & \"c\"; $(x)", "Warn", 1);
    EXPECT_EQ(message_box_yesno("Quit?", "Ask"), 0);
    for (auto [n, arg] : {std::pair{1, "--file-selection"}, {1, "--filename=/music/set 1/"}, {2, "--save"},
                          {2, "--confirm-overwrite"}, {3, "--radiolist"}, {6, "--question"}, {7, "--warning"},
                          {7, "--no-markup"}, {7, "--text=Warn\n\na <b> & \"c\"; $(x)"}, {8, "--ok-label=Yes"},
                          {8, "--cancel-label=No"}})
        EXPECT_TRUE(has_arg(args(n), arg)) << n << ": " << arg;
    for (const char* tag : {"0", "1", "2", "5", "7"})
        EXPECT_EQ(has_arg(args(5), tag), tag[0] == '2' || tag[0] == '5') << tag;

    // Slot 37 is set while a dialog runs (held here until "go"), and cleared after.
    write_file(dir.file("hold"), "");
    std::atomic<int> result{-1};
    std::thread t([&] { result = message_box_yesno("Hold?", "Wait"); });
    for (int i = 0; i < 10000 && key[K_DIALOG_OPEN] == 0; i++)
        wrsleep(1);
    EXPECT_EQ(key[K_DIALOG_OPEN], 1);
    write_file(dir.file("go"), "");
    t.join();
    EXPECT_TRUE(result == 1 && key[K_DIALOG_OPEN] == 0);

    // Without a display or without zenity every dialog acts as a cancel.
    {
        ScopedEnv nox("DISPLAY", nullptr), nowl("WAYLAND_DISPLAY", nullptr);
        EXPECT_TRUE(open_file_dialog(path, sizeof path) == 0 && message_box_yesno("?", "No display") == 0 && calls() == 9);
    }
    ScopedEnv nopath("PATH", dir.file("empty").c_str());
    EXPECT_EQ(save_file_dialog(path, sizeof path), 0);
    message_box("text", "No zenity", 0);
    EXPECT_TRUE(!strcmp(path, "untouched") && key[K_DIALOG_OPEN] == 0);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Opening things, paths and the clipboard
// ---------------------------------------------------------------------------------------------

// A hostile name reaches the opener (a script recording its arguments and exiting with the
// status in "status") as one argument, never as an option or a shell command; a failing or
// missing opener, or an empty name, returns 0; the guide (when there is one) and the data
// folder (made first) are opened the same way; the data folder's path and the path rules; the
// clipboard's tool gets the picture the same way.
TEST(DesktopOpen, HostileNameIsOneArgumentFailuresReturnZeroGuideAppdataPathsAndClipboard)
{
    TempDir dir;
    write_script(dir.file("opener"), "printf '%s\\0' \"$@\" > '" + dir.file("opened") + "'\nexit $(cat '" +
                                         dir.file("status") + "' 2>/dev/null || echo 0)\n");
    ScopedEnv opener("BRINDLEWHARF_OPENER", dir.file("opener").c_str());
    auto opened = [&] { return split_args(read_file(dir.file("opened"))); };
    {
        const std::string saved = respath;
        snprintf(respath, sizeof respath, "%s", dir.path.c_str());
        open_manual(); // no guide: nothing is opened
        EXPECT_FALSE(file_exists(dir.file("opened")));
        write_file(dir.file("guide.html"), "<html></html>");
        open_manual();
        EXPECT_EQ(opened(), std::vector<std::string>{dir.file("guide.html")});
        snprintf(respath, sizeof respath, "%s", saved.c_str());
    }
    ScopedDataHome home;
    open_appdata();
    EXPECT_EQ(opened(), std::vector<std::string>{home.dir.path + "/Brindlewharf/"});
    EXPECT_TRUE(std::filesystem::is_directory(home.dir.path + "/Brindlewharf"));

    const std::string marker = dir.file("MARKER"), name = "a\"; touch " + marker + "; \".wav";
    EXPECT_TRUE(system_open(name.c_str()) == 1 && opened() == std::vector<std::string>{name});
    EXPECT_TRUE(system_open("-rf") == 1 && opened() == std::vector<std::string>{"./-rf"}); // never an option
    write_file(dir.file("status"), "3\n");
    EXPECT_EQ(system_open("/some/file.wav"), 0);
    setenv("BRINDLEWHARF_OPENER", dir.file("missing-opener").c_str(), 1);
    EXPECT_TRUE(system_open("/some/file.wav") == 0 && system_open("") == 0);

    // The real opener (or its absence) gets the same vector: the file does not exist, so it
    // fails, and nothing else runs.
    unsetenv("BRINDLEWHARF_OPENER");
    ScopedEnv nox("DISPLAY", nullptr);
    EXPECT_TRUE(system_open(name.c_str()) == 0 && !file_exists(marker));

    // The data folder comes from XDG_DATA_HOME or HOME (made with its parents when asked).
    const mode_t old_mask = umask(022);
    auto appdata = [](const char* file, int create) { // the path made, "none" for a null
        char* p = make_appdata_path("Brindlewharf", file, create);
        const std::string path = p ? p : "none";
        free(p);
        return path;
    };
    {
        ScopedDataHome data;
        EXPECT_EQ(appdata("config.txt", 0), data.appdata("config.txt"));
        EXPECT_FALSE(file_exists(data.dir.path + "/Brindlewharf"));
        EXPECT_EQ(appdata(nullptr, 1), data.dir.path + "/Brindlewharf/");
        EXPECT_EQ(std::filesystem::status(data.dir.path + "/Brindlewharf").permissions(), std::filesystem::perms(0755));
    }
    TempDir home_dir;
    ScopedEnv h("HOME", home_dir.path.c_str()), relative("XDG_DATA_HOME", "relative/ignored");
    EXPECT_EQ(appdata("logfile.txt", 1), home_dir.path + "/.local/share/Brindlewharf/logfile.txt"); // parents are made too
    EXPECT_TRUE(file_exists(home_dir.path + "/.local/share/Brindlewharf"));
    ScopedEnv nohome("HOME", nullptr), noxdg("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(appdata("x", 0), "none");
    umask(old_mask);

    // The path, what remove_filename leaves and what cd_dotdot leaves.
    for (auto [in, file_removed, up] : {std::tuple{"a/b/c", "a/b/", "a/b"}, {"c", "", "c"}, {"a/b/", "a/b/", "a/b"},
                                        {"/c", "/", ""}, {"a\\b\\c", "a\\b\\", "a\\b"}, {"", "", ""}}) {
        char a[32], b[32];
        strcpy(a, in);
        strcpy(b, in);
        remove_filename(a);
        cd_dotdot(b);
        EXPECT_TRUE(!strcmp(a, file_removed) && !strcmp(b, up)) << in << ": " << a << ", " << b;
    }

    // The clipboard: the picture reaches the tool as a PNG that reads back byte for byte; a
    // failing tool returns 0; either way the temporary file is gone.
    TempDir clip_dir;
    // The stand-in copies the file after -i and records its arguments.
    write_script(clip_dir.file("clip"), "printf '%s\\0' \"$@\" > '" + clip_dir.file("args") +
                                       "'\nwhile [ $# -gt 1 ] && [ \"$1\" != -i ]; do shift; done\ncp \"$2\" '" +
                                       clip_dir.file("copy.png") + "'\n");
    ScopedEnv clip("BRINDLEWHARF_CLIPBOARD", clip_dir.file("clip").c_str());
    ScopedEnv tmp("TMPDIR", clip_dir.path.c_str());
    const int cols = 5, rows = 3;
    std::vector<uint8_t> bytes(cols * rows * 4); // distinct R, G, B and a varying alpha per pixel
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = (uint8_t)(i * 29 + 7);
    ASSERT_EQ(copy_image(reinterpret_cast<uint32_t*>(bytes.data()), cols, rows), 1);

    std::vector<std::string> clip_args = split_args(read_file(clip_dir.file("args")));
    ASSERT_EQ(clip_args.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(clip_args.begin(), clip_args.begin() + 5),
              (std::vector<std::string>{"-selection", "clipboard", "-t", "image/png", "-i"}));
    FIBITMAP* back = FreeImage_Load(FIF_PNG, clip_dir.file("copy.png").c_str(), PNG_DEFAULT);
    ASSERT_TRUE(back && (int)FreeImage_GetWidth(back) == cols && (int)FreeImage_GetHeight(back) == rows && FreeImage_GetBPP(back) == 32u);
    std::vector<uint8_t> got;
    for (int y = 0; y < rows; y++)
        for (int x = 0; x < cols; x++) {
            const BYTE* p = FreeImage_GetScanLine(back, rows - 1 - y) + x * 4;
            got.insert(got.end(), {p[FI_RGBA_RED], p[FI_RGBA_GREEN], p[FI_RGBA_BLUE], p[FI_RGBA_ALPHA]});
        }
    EXPECT_EQ(got, bytes);
    FreeImage_Unload(back);

    write_script(clip_dir.file("clip"), "exit 1\n");
    EXPECT_EQ(copy_image(reinterpret_cast<uint32_t*>(bytes.data()), 2, 2), 0);
    EXPECT_EQ(copy_image(reinterpret_cast<uint32_t*>(bytes.data()), 0, 2), 0);
    std::set<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(clip_dir.path))
        left.insert(e.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"args", "clip", "copy.png"}));
}


