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
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
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

// A 64-byte destination prefilled with "untouched".
struct Dest {
    char text[64] = "untouched";
};

// ---------------------------------------------------------------------------------------------
// [SECTION] Save-panel type rule
// ---------------------------------------------------------------------------------------------

// The extension is appended unless present (in any case); archive tags set slot 116, other tags
// leave it; the output stays in its buffer and may be the input.
TEST(DesktopSaveType, ExtensionAppendedUnlessPresentAndArchiveTagsSetSlot116)
{
    const struct {
        const char* in;
        int tag;
        const char* out;
        int snapshot; // slot 116 after, from 1 before
    } cases[] = {{"song", SAVE_WAV, "song.wav", 1},          {"song.WAV", SAVE_WAV, "song.WAV", 1},
                 {"songwav", SAVE_WAV, "songwav.wav", 1},    {"song.wav", SAVE_FLAC, "song.wav.flac", 1},
                 {"view", SAVE_PNG, "view.png", 1},          {"raw", 99, "raw", 1},
                 {"proj", SAVE_HISTORY, "proj.kbz", 0},      {"proj.Kbz", SAVE_SNAPSHOT, "proj.Kbz", 1}};
    for (const auto& c : cases) {
        char out[64];
        key[K_SAVE_SNAPSHOT] = 1;
        save_type_apply(c.in, c.tag, out, sizeof out);
        EXPECT_STREQ(out, c.out) << c.in;
        EXPECT_EQ(key[K_SAVE_SNAPSHOT], c.snapshot) << c.in;
    }
    EXPECT_EQ(save_type_extension(99), nullptr);
    EXPECT_STREQ(save_type_extension(SAVE_AIFF), "aiff");

    char small[6] = "XXXXX";
    save_type_apply("song", SAVE_WAV, small, sizeof small);
    EXPECT_STREQ(small, "song.");
    char inplace[32] = "take";
    save_type_apply(inplace, SAVE_OGG, inplace, sizeof inplace);
    EXPECT_STREQ(inplace, "take.ogg");
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Scripted dialogs
// ---------------------------------------------------------------------------------------------

// A dialog script and its log in a fresh folder.
struct DesktopScript : ::testing::Test {
    TempDir dir;
    ScopedEnv script{"BRINDLEWHARF_DIALOG_SCRIPT", nullptr};
    ScopedEnv log{"BRINDLEWHARF_DIALOG_LOG", nullptr};
    void use(const std::string& lines)
    {
        write_file(dir.file("script.txt"), lines);
        setenv("BRINDLEWHARF_DIALOG_SCRIPT", dir.file("script.txt").c_str(), 1);
        setenv("BRINDLEWHARF_DIALOG_LOG", dir.file("log.txt").c_str(), 1);
    }
    std::string asked() { return read_file(dir.file("log.txt")); }
};

TEST_F(DesktopScript, FollowUpQuestionsForKbzAndUnknownExtensions)
{
    use("save /p/x.kbz\nsnapshot\nsave /p/take\nflac\nsave /p/wav.notes\nogg\nsave /p/y.kbz\nwav\n");
    char path[256];
    key[K_SAVE_SNAPSHOT] = 0;
    for (const char* want : {"/p/x.kbz", "/p/take.flac", "/p/wav.notes.ogg"}) { // only the last extension counts
        ASSERT_EQ(save_file_dialog(path, sizeof path), 1);
        EXPECT_STREQ(path, want);
    }
    EXPECT_EQ(key[K_SAVE_SNAPSHOT], 1);
    strcpy(path, "kept");
    EXPECT_TRUE(save_file_dialog(path, sizeof path) == 0 && !strcmp(path, "kept")); // "wav" does not answer the archive question
    EXPECT_EQ(asked(), "save dialog\narchive question\nsave dialog\ntype question\nsave dialog\ntype question\n"
                       "save dialog\narchive question\n");
}

TEST_F(DesktopScript, CancelWrongKindAndExhaustionLeaveDestination)
{
    use("cancel\nyes\nopen /too/long/for/the/buffer/of/sixteen/bytes.wav\ncancel\n");
    key[K_SAVE_SNAPSHOT] = 0;
    Dest d;
    EXPECT_EQ(open_file_dialog(d.text, sizeof d.text), 0);
    EXPECT_EQ(key[K_DIALOG_OPEN], 0);
    EXPECT_EQ(save_file_dialog(d.text, sizeof d.text), 0); // "yes" is no save answer
    char small[16] = "small";
    EXPECT_EQ(open_file_dialog(small, sizeof small), 0); // refused rather than cut
    EXPECT_STREQ(small, "small");
    EXPECT_EQ(message_box_yesno("Save changes?", "Question"), 0); // cancel answers no
    EXPECT_EQ(open_file_dialog(d.text, sizeof d.text), 0);        // nothing left
    EXPECT_EQ(message_box_yesno("Again?", "Question"), 0);
    EXPECT_STREQ(d.text, "untouched");
    EXPECT_TRUE(key[K_DIALOG_OPEN] == 0 && key[K_SAVE_SNAPSHOT] == 0);
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

TEST_F(DesktopZenity, OpenStartsInDocumentFolder)
{
    strcpy(current_doc_directory, "/music/set 1");
    answer(1, "/music/set 1/it's \"here\".wav\n");
    char path[256];
    ASSERT_EQ(open_file_dialog(path, sizeof path), 1);
    EXPECT_STREQ(path, "/music/set 1/it's \"here\".wav");
    EXPECT_TRUE(has_arg(args(1), "--file-selection") && has_arg(args(1), "--filename=/music/set 1/"));
}

TEST_F(DesktopZenity, SaveOffersEveryTypeAndAsksTheArchive)
{
    answer(1, "/p/proj.kbz\n");
    answer(2, "1\n");
    key[K_SAVE_SNAPSHOT] = 0;
    char path[256];
    ASSERT_EQ(save_file_dialog(path, sizeof path), 1);
    EXPECT_TRUE(!strcmp(path, "/p/proj.kbz") && key[K_SAVE_SNAPSHOT] == 1) << path;
    EXPECT_TRUE(has_arg(args(1), "--save") && has_arg(args(1), "--confirm-overwrite") && has_arg(args(2), "--radiolist"));
}

TEST_F(DesktopZenity, UnknownExtensionAsksTypeAndExistingTargetAsksReplace)
{
    write_file(dir.file("take.wav"), "old");
    answer(1, dir.file("take") + "\n");
    answer(2, "3\n");    // WAV
    answer(3, "", 1);    // do not replace take.wav
    Dest d;
    EXPECT_TRUE(save_audio_dialog(d.text, sizeof d.text) == 0 && !strcmp(d.text, "untouched") && calls() == 3);
    for (const char* tag : {"0", "1", "2", "5", "7"}) // sound types only (tags 2..5): no archives, no pictures
        EXPECT_EQ(has_arg(args(2), tag), tag[0] == '2' || tag[0] == '5') << tag;
    EXPECT_TRUE(has_arg(args(3), "--question"));
}

TEST_F(DesktopZenity, AlertsPassTextAsOneArgument)
{
    answer(1, "");
    answer(2, "", 1);
    message_box("a <b> & \"c\"; $(x)", "Warn", 1);
    EXPECT_EQ(message_box_yesno("Quit?", "Ask"), 0);
    for (auto [n, arg] : {std::pair{1, "--warning"}, {1, "--no-markup"}, {1, "--text=Warn\n\na <b> & \"c\"; $(x)"},
                          {2, "--ok-label=Yes"}, {2, "--cancel-label=No"}})
        EXPECT_TRUE(has_arg(args(n), arg)) << arg;
}

TEST_F(DesktopZenity, Slot37IsSetWhileTheDialogRuns)
{
    write_file(dir.file("hold"), "");
    answer(1, "", 0);
    std::atomic<int> result{-1};
    std::thread t([&] { result = message_box_yesno("Hold?", "Wait"); });
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (key[K_DIALOG_OPEN] == 0 && std::chrono::steady_clock::now() < limit)
        std::this_thread::yield();
    EXPECT_EQ(key[K_DIALOG_OPEN], 1);
    write_file(dir.file("go"), "");
    t.join();
    EXPECT_TRUE(result == 1 && key[K_DIALOG_OPEN] == 0);
}

TEST_F(DesktopZenity, NoDisplayOrNoZenityActsAsCancel)
{
    {
        ScopedEnv nox("DISPLAY", nullptr), nowl("WAYLAND_DISPLAY", nullptr);
        Dest d;
        EXPECT_TRUE(open_file_dialog(d.text, sizeof d.text) == 0 && message_box_yesno("?", "No display") == 0 && calls() == 0);
    }
    ScopedEnv nopath("PATH", dir.file("empty").c_str());
    Dest d;
    EXPECT_EQ(save_file_dialog(d.text, sizeof d.text), 0);
    message_box("text", "No zenity", 0);
    EXPECT_TRUE(!strcmp(d.text, "untouched") && key[K_DIALOG_OPEN] == 0);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Opening things
// ---------------------------------------------------------------------------------------------

// An opener that records its arguments in "opened" and exits with the status in "status".
struct DesktopOpen : ::testing::Test {
    TempDir dir;
    ScopedEnv opener{"BRINDLEWHARF_OPENER", nullptr};
    DesktopOpen()
    {
        write_script(dir.file("opener"), "printf '%s\\0' \"$@\" > '" + dir.file("opened") +
                                             "'\nexit $(cat '" + dir.file("status") + "' 2>/dev/null || echo 0)\n");
        setenv("BRINDLEWHARF_OPENER", dir.file("opener").c_str(), 1);
    }
    std::vector<std::string> opened() { return split_args(read_file(dir.file("opened"))); }
};

TEST_F(DesktopOpen, HostileNameIsOneArgument)
{
    std::string marker = dir.file("MARKER");
    std::string name = "a\"; touch " + marker + "; \".wav";
    EXPECT_EQ(system_open(name.c_str()), 1);
    EXPECT_EQ(opened(), std::vector<std::string>{name});
    EXPECT_EQ(system_open("-rf"), 1); // never read as an option
    EXPECT_EQ(opened(), std::vector<std::string>{"./-rf"});
    EXPECT_FALSE(file_exists(marker));

    // The real opener (or its absence) gets the same vector: the file does not exist, so it
    // fails, and nothing else runs.
    unsetenv("BRINDLEWHARF_OPENER");
    ScopedEnv nox("DISPLAY", nullptr);
    EXPECT_EQ(system_open(name.c_str()), 0);
    EXPECT_FALSE(file_exists(marker));
}

TEST_F(DesktopOpen, FailuresReturnZero)
{
    write_file(dir.file("status"), "3\n");
    EXPECT_EQ(system_open("/some/file.wav"), 0);
    setenv("BRINDLEWHARF_OPENER", dir.file("missing-opener").c_str(), 1);
    EXPECT_EQ(system_open("/some/file.wav"), 0);
    EXPECT_EQ(system_open(""), 0);
}

TEST_F(DesktopOpen, GuidePageAndAppdata)
{
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
    struct stat sb;
    EXPECT_EQ(stat((home.dir.path + "/Brindlewharf").c_str(), &sb), 0);
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Clipboard
// ---------------------------------------------------------------------------------------------

TEST(DesktopClipboard, PngRoundTripThroughTheTool)
{
    TempDir dir;
    // The stand-in copies the file after -i and records its arguments.
    write_script(dir.file("clip"), "printf '%s\\0' \"$@\" > '" + dir.file("args") +
                                       "'\nwhile [ $# -gt 1 ] && [ \"$1\" != -i ]; do shift; done\ncp \"$2\" '" +
                                       dir.file("copy.png") + "'\n");
    ScopedEnv clip("BRINDLEWHARF_CLIPBOARD", dir.file("clip").c_str());
    ScopedEnv tmp("TMPDIR", dir.path.c_str());
    const int w = 5, h = 3;
    std::vector<uint8_t> bytes(w * h * 4); // distinct R, G, B and a varying alpha per pixel
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = (uint8_t)(i * 29 + 7);
    ASSERT_EQ(copy_image(reinterpret_cast<uint32_t*>(bytes.data()), w, h), 1);

    std::vector<std::string> a = split_args(read_file(dir.file("args")));
    ASSERT_EQ(a.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(a.begin(), a.begin() + 5),
              (std::vector<std::string>{"-selection", "clipboard", "-t", "image/png", "-i"}));
    EXPECT_FALSE(file_exists(a[5])); // the temporary file is gone

    FIBITMAP* back = FreeImage_Load(FIF_PNG, dir.file("copy.png").c_str(), PNG_DEFAULT);
    ASSERT_NE(back, nullptr);
    ASSERT_TRUE((int)FreeImage_GetWidth(back) == w && (int)FreeImage_GetHeight(back) == h && FreeImage_GetBPP(back) == 32u);
    std::vector<uint8_t> got;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            const BYTE* p = FreeImage_GetScanLine(back, h - 1 - y) + x * 4;
            got.insert(got.end(), {p[FI_RGBA_RED], p[FI_RGBA_GREEN], p[FI_RGBA_BLUE], p[FI_RGBA_ALPHA]});
        }
    EXPECT_EQ(got, bytes);
    FreeImage_Unload(back);
}

TEST(DesktopClipboard, FailingToolReturnsZeroAndCleansUp)
{
    TempDir dir;
    write_script(dir.file("clip"), "exit 1\n");
    ScopedEnv clip("BRINDLEWHARF_CLIPBOARD", dir.file("clip").c_str());
    ScopedEnv tmp("TMPDIR", dir.path.c_str());
    uint32_t px[4] = {0xff0000ffu, 0xff00ff00u, 0xffff0000u, 0xffffffffu};
    EXPECT_EQ(copy_image(px, 2, 2), 0);
    EXPECT_EQ(copy_image(px, 0, 2), 0);
    std::vector<std::string> left; // the temporary picture is gone: only the script remains
    for (const auto& e : std::filesystem::directory_iterator(dir.path))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"clip"});
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Application-data paths
// ---------------------------------------------------------------------------------------------

TEST(DesktopPaths, AppdataFolderFromXdgOrHome)
{
    mode_t old_mask = umask(022);
    {
        ScopedDataHome data;
        char* p = make_appdata_path("Brindlewharf", "config.txt", 0);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(std::string(p), data.appdata("config.txt"));
        EXPECT_FALSE(file_exists(data.dir.path + "/Brindlewharf"));
        free(p);
        p = make_appdata_path("Brindlewharf", nullptr, 1);
        EXPECT_EQ(std::string(p), data.dir.path + "/Brindlewharf/");
        struct stat sb;
        ASSERT_EQ(stat((data.dir.path + "/Brindlewharf").c_str(), &sb), 0);
        EXPECT_EQ(sb.st_mode & 07777, 0755u);
        free(p);
    }
    TempDir home;
    ScopedEnv h("HOME", home.path.c_str());
    ScopedEnv relative("XDG_DATA_HOME", "relative/ignored");
    char* p = make_appdata_path("Brindlewharf", "logfile.txt", 1); // parents are made too
    EXPECT_EQ(std::string(p), home.path + "/.local/share/Brindlewharf/logfile.txt");
    EXPECT_TRUE(file_exists(home.path + "/.local/share/Brindlewharf"));
    free(p);
    ScopedEnv nohome("HOME", nullptr), noxdg("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(make_appdata_path("Brindlewharf", "x", 0), nullptr);
    umask(old_mask);
}

TEST(DesktopPaths, RemoveFilenameAndCdDotdot)
{
    struct Case {
        const char* in;
        const char* remove_filename;
        const char* cd_dotdot;
    };
    for (const Case& c : {Case{"a/b/c", "a/b/", "a/b"}, Case{"c", "", "c"}, Case{"a/b/", "a/b/", "a/b"},
                          Case{"/c", "/", ""}, Case{"a\\b\\c", "a\\b\\", "a\\b"}, Case{"", "", ""}}) {
        char buf[32];
        strcpy(buf, c.in);
        remove_filename(buf);
        EXPECT_STREQ(buf, c.remove_filename) << c.in;
        strcpy(buf, c.in);
        cd_dotdot(buf);
        EXPECT_STREQ(buf, c.cd_dotdot) << c.in;
    }
}
