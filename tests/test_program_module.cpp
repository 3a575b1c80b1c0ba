// The editor as a module: the batch commands start without the window and audio libraries (and
// without the picture library until a picture is read or written), and a program whose module is
// missing says so in one line.
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(ProgramModule, StartsLoadNoWindowOrPictureLibrariesAndAMissingEditorIsOneLine)
{
    // The dynamic loader lists every library it loads on standard error.
    RunResult r = run_program({BW_PROGRAM, "--version"}, {"LD_DEBUG=files"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("libsndfile"), std::string::npos) << "the loader's list is missing";
    EXPECT_EQ(r.err.find("libSDL"), std::string::npos) << "a batch start loaded the window library";
    EXPECT_EQ(r.err.find("libfreeimage"), std::string::npos) << "a start loaded the picture library";

    // A copy of the program with no module beside it (and none installed) cannot start the editor.
    TempDir dir;
    const std::string copy = dir.file("brindlewharf");
    std::filesystem::copy_file(BW_PROGRAM, copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
    r = run_program({copy, "song.wav"}, {"DISPLAY=:0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Could not load the editor from ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}
