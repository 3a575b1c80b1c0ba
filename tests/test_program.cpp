// The program binary: command-line options and the windowless start-up.
#include "files/startup.h"
#include "platform/util.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

// Version and help load no window, audio or picture library (the dynamic loader lists what it
// loads on standard error); without a display, or without the editor module beside it (and none
// installed), the program says so in one line and fails.
TEST(Program, VersionHelpNoDisplayAndNoEditorModule)
{
    RunResult r = run_program({BW_PROGRAM, "--version"}, {"LD_DEBUG=files"});
    EXPECT_TRUE(r.status == 0 && r.out == "Brindlewharf 1.9.5\n") << r.out;
    EXPECT_NE(r.err.find("libsndfile"), std::string::npos) << "the loader's list is missing";
    EXPECT_TRUE(r.err.find("libSDL") == std::string::npos && r.err.find("libfreeimage") == std::string::npos);
    r = run_program({BW_PROGRAM, "--help"});
    EXPECT_TRUE(r.status == 0 && r.out.find("Usage:") != std::string::npos) << r.out;
    ScopedDataHome home;
    r = run_program({BW_PROGRAM, std::string(BW_SOURCE_DIR) + "/examples/demo.wav"},
                    {"XDG_DATA_HOME=" + home.dir.path, "DISPLAY=", "WAYLAND_DISPLAY=", "SDL_VIDEODRIVER="});
    EXPECT_TRUE(r.status == 1 && r.err.find("xvfb-run") != std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    const std::string copy = home.dir.path + "/brindlewharf";
    std::filesystem::copy_file(BW_PROGRAM, copy);
    r = run_program({copy, "song.wav"}, {"DISPLAY=:0"});
    EXPECT_TRUE(r.status == 1 && r.err.rfind("Could not load the editor from ", 0) == 0) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST(Program, DocumentArgumentSkipsALeadingOption)
{
    char p[] = "bw", f[] = "song.wav", o[] = "-psn_0_1";
    char *none[] = {p, nullptr}, *one[] = {p, f, nullptr}, *skipped[] = {p, o, f, nullptr}, *only_option[] = {p, o, nullptr};
    EXPECT_EQ(std::vector<int>({document_argument(1, none), document_argument(2, one), document_argument(3, skipped),
                                document_argument(2, only_option)}),
              std::vector<int>({0, 1, 2, 0}));
}

// The editor headless on a project that ends by quitting: the first start writes the log and
// the configuration and quits cleanly. Two editors sharing one data folder never write one
// history: while another editor holds history.kbz (its lock taken here), the next keeps its
// history and log in files of its own and says so, leaving the other's untouched (and finds the
// configuration written before); once the slot is free the next takes history.kbz.
TEST(Program, StartUpWritesLogAndConfigAndASecondEditorKeepsAHistoryOfItsOwn)
{
    ScopedDataHome home;
    TempDir dir;
    const std::string project = dir.file("p.kbz"), history = home.appdata("history.kbz");
    write_file(project, "Brindlewharf Archive v1.2\nClear image\nDimensions 8 px x 6 px\nNew layer \"mine\"\nQuit\n");
    RunResult r = run_program({BW_PROGRAM, project}, {"XDG_DATA_HOME=" + home.dir.path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.find("\nQuitting program.\n") != std::string::npos &&
                r.err.find("Configuration file not found. Creating it.") != std::string::npos) << r.out << r.err;
    const std::string log = read_file(home.appdata("logfile.txt"));
    EXPECT_EQ(log.rfind("Brindlewharf 1.9.5\n\nOutput log\n\n", 0), 0u);
    EXPECT_TRUE(file_exists(home.appdata("config.txt")));

    write_file(history, "the first editor's history\n");
    const int held = lock_file(home.appdata("history.kbz.lock").c_str());
    ASSERT_GE(held, 0);
    r = run_program({BW_PROGRAM, project}, {"XDG_DATA_HOME=" + home.dir.path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Another Brindlewharf is using history.kbz: this session keeps its history in "
                         "history-2.kbz and its log in logfile-2.txt"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Configuration file not found"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(history), "the first editor's history\n");
    EXPECT_NE(read_file(home.appdata("history-2.kbz")).find("New layer \"mine\""), std::string::npos);
    EXPECT_NE(read_file(home.appdata("logfile-2.txt")).find("history-2.kbz"), std::string::npos);
    EXPECT_EQ(read_file(home.appdata("logfile.txt")), log);

    close(held);
    r = run_program({BW_PROGRAM, project}, {"XDG_DATA_HOME=" + home.dir.path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Another Brindlewharf"), std::string::npos) << r.err;
    EXPECT_NE(read_file(history).find("New layer \"mine\""), std::string::npos);
}
