// The open sequence: pictures, sounds, projects, the blank picture, unreadable files and the
// document folder.
#include "history/open.h"
#include "dsp/scale.h"
#include "files/media.h"
#include "history/archive.h"
#include "test_doc.h"

#include <sndfile.h>

namespace {

// A fresh engine state and document for each test, released afterwards.
struct OpenTest : SessionTest {
    char path[PATH_TEXT_LEN] = {};
    int opened = 0;
    void open(const std::string& p)
    {
        snprintf(path, sizeof path, "%s", p.c_str());
        opened = 0;
        open_file(path, &es, &opened);
    }
};

} // namespace

TEST_F(OpenTest, SoundBecomesTheDocumentAndTheOriginalSoundCoversWholeBlocks)
{
    key[state_of(K_LIVE_SYNTH)] = 1;
    write_test_sound(dir.file("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 44100, sine_wave(1000.f, 44100));
    open(dir.file("tone.wav"));
    ASSERT_EQ(opened, 1);
    EXPECT_EQ(key[K_WAVEFORM_AGAIN], 1); // live synthesis: the strip is made once more
    // Size, layers, centre, blocks (synthesis's own bookkeeping), paused, play position, opened.
    EXPECT_EQ(std::vector<int>({image.w, image.h, image.count, image.layers[0].conv_x, image.layers[0].conv_y,
                                es.block_count, es.paused.load(), es.play_pos.load(), image.opened}),
              std::vector<int>({100, 571, 1, 50, 285, 0, 1, 0, 1}));
    EXPECT_EQ(std::string(input_file_name) + "|" + input_audio_name, "tone.wav|tone.wav");
    ASSERT_TRUE(image.reference && image.analysed && orig_snd);
    EXPECT_GE(orig_len, 44100);
    // The original sound may be read up to (block length / 2) * (block count + 1) samples: two
    // blocks of 100 columns for the 100 columns.
    int block_len = 0;
    init_block_len(100, &block_len, 100.f);
    ASSERT_GT(block_len, 0);
    const long long need = (long long)(block_len / 2) * (2 + 1);
    if (need > 44100) {
        EXPECT_EQ(orig_snd[need - 1], 0.f); // the sanitizer build catches a short buffer
    }
}

TEST_F(OpenTest, EmptyPathGivesTheBlankPictureAndPicturesTheirOwnSize)
{
    open("");
    ASSERT_EQ(opened, 1);
    EXPECT_EQ(key[K_WAVEFORM_AGAIN], 0); // block synthesis: no second strip
    EXPECT_TRUE(image.w == 845 && image.h == 571 && *input_file_name == 0);
    ASSERT_TRUE(image.undo && image.reference);

    // A picture replaces it at its own size (its pixels are the document tests').
    Plane p = plane_of(2, 1, [](int, int c) { return 1.f - c; });
    ASSERT_EQ(save_image(p, 2, 1, dir.file("p.bmp").c_str()), 0);
    plane_free(&p, 1);
    open(dir.file("p.bmp"));
    ASSERT_EQ(opened, 1);
    EXPECT_TRUE(image.w == 2 && image.h == 1 && image.composite[0][0] == 1.f && image.reference[0][0] == 1.f);
    EXPECT_EQ(lossless_mode.load(), 0);
}

// Files that cannot be read ask for another and keep the document; a missing path is looked for
// in the document folder, and when it is not there either the blank picture opens.
TEST_F(OpenTest, UnreadableFilesKeepTheDocumentAndMissingOnesAreLookedFor)
{
    write_test_sound(dir.file("keep.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 44100, sine_wave(1000.f, 22050));
    open(dir.file("keep.wav"));
    ASSERT_EQ(opened, 1);
    const int w = image.w;
    testing::internal::CaptureStderr();
    for (const char* name : {"junk.wav", "empty.wav", "junk.png", "notes.txt", "project.kbz"}) {
        write_file(dir.file(name), std::string(name) == "empty.wav" ? "" : "not a sound or a picture");
        key[K_OPEN] = 0;
        es.norm = 0.5f; // the playback level of the document on screen
        image.change_state = 0;
        open(dir.file(name));
        EXPECT_TRUE(opened == 0 && key[K_OPEN] == 1 && image.w == w) << name; // the document is still there
        EXPECT_STREQ(input_file_name, "keep.wav") << name;
        if (std::string(name) == "project.kbz")
            EXPECT_EQ(image.change_state, 3) << name; // a replay stopped it: synthesised again
        else
            EXPECT_EQ(es.norm, 0.5f) << name; // read before anything was stopped or reset
    }
    testing::internal::GetCapturedStderr();

    snprintf(current_doc_directory, sizeof current_doc_directory, "%s", dir.path.c_str());
    open("/nowhere/keep.wav");
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(std::string(path), dir.path + "/keep.wav");
    open("/nowhere/lost.wav");
    EXPECT_EQ(opened, 1);
    EXPECT_STREQ(path, "");
    EXPECT_EQ(image.w, 845);
}

// A project replays into the document and is appended whole to the history. (One that makes no
// picture asks for another file: the unreadable files' test.)
TEST_F(OpenTest, AProjectReplaysAndIsAppendedToTheHistory)
{
    history_path = strdup(dir.file("history.kbz").c_str());
    const std::string text = "Brindlewharf Archive v1.2\nTitle \"My piece\"\n\nClear image\n"
                             "Dimensions 8 px x 6 px\nNew layer \"L\"\nBlending minimum\n\nSelected layer 0\n";
    write_file(dir.file("piece.kbz"), text);
    open(dir.file("piece.kbz"));
    EXPECT_TRUE(opened == 1 && image.layers[0].blend == 7 && key[K_HISTORY_HEADER] == 1);
    EXPECT_EQ(std::string(input_file_name) + "|" + input_audio_name, "My piece|-");
    command_log_close();
    EXPECT_NE(read_file(history_path).find(text), std::string::npos) << read_file(history_path);
}

// A recording at another rate than the program's is resampled and analysed alike when its
// history's "Open" line is replayed (Resume Last Session): the same bits as the live open.
TEST_F(OpenTest, ReplayedOpenOfAResampledSoundGivesTheSameDocument)
{
    write_test_sound(dir.file("t48.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, sine_wave(3000.f, 68544, 48000));
    history_path = strdup(dir.file("history.kbz").c_str());
    open_hooks.begin_history = begin_history;
    open(dir.file("t48.wav"));
    open_hooks.begin_history = nullptr;
    command_log_close();
    ASSERT_EQ(opened, 1);
    ASSERT_NE(read_file(dir.file("history.kbz")).find("\nOpen \""), std::string::npos);
    Session again;
    replay_reset();
    ASSERT_GT(load_archive(dir.file("history.kbz").c_str(), &again.es, title, sizeof title, nullptr), 0);
    EXPECT_EQ(image.w, 142);
    EXPECT_EQ(snapshot(again.image), snapshot(image));
}
