// The program binary: command-line options and the windowless start-up.
#include "files/startup.h"
#include "test_support.h"

#include <gtest/gtest.h>

TEST(Program, VersionAndHelp)
{
    RunResult r = run_program({BW_PROGRAM, "--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Brindlewharf 1.9.5\n");
    r = run_program({BW_PROGRAM, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage:"), std::string::npos);
}

TEST(Program, StartUpWritesLogConfigAndQuitsCleanly)
{
    ScopedDataHome home;
    // The editor runs headless on a project that ends by quitting.
    TempDir dir;
    const std::string project = dir.file("quit.kbz");
    write_file(project, "Brindlewharf Archive v1.2\nNew layer\nQuit\n");
    RunResult r = run_program({BW_PROGRAM, project}, {"XDG_DATA_HOME=" + home.dir.path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nQuitting program.\n"), std::string::npos);
    EXPECT_NE(r.err.find("Configuration file not found. Creating it."), std::string::npos);
    std::string log = read_file(home.appdata("logfile.txt"));
    EXPECT_EQ(log.rfind("Brindlewharf 1.9.5\n\nOutput log\n\n", 0), 0u);
    EXPECT_TRUE(file_exists(home.appdata("config.txt")));

    // A second start finds the configuration it wrote.
    r = run_program({BW_PROGRAM, project}, {"XDG_DATA_HOME=" + home.dir.path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.find("Configuration file not found"), std::string::npos);
}

TEST(Program, DocumentArgumentSkipsALeadingOption)
{
    char p[] = "bw", f[] = "song.wav", o[] = "-psn_0_1";
    char* none[] = {p, nullptr};
    char* one[] = {p, f, nullptr};
    char* skipped[] = {p, o, f, nullptr};
    char* only_option[] = {p, o, nullptr};
    EXPECT_EQ(document_argument(1, none), 0);
    EXPECT_EQ(document_argument(2, one), 1);
    EXPECT_EQ(document_argument(3, skipped), 2);
    EXPECT_EQ(document_argument(2, only_option), 0);
}
