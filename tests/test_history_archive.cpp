// Archives and the history file: snapshot text and pixels and their replay, names that would break a line,
// whole-file replacement on failure, history copies under the line rule, appending a replayed
// archive, the history rewrite, the header a fresh history begins with, and the Base85 blocks
// the pixels are written in.
#include "core/units.h"
#include "document/selection.h"
#include "document/undo.h"
#include "files/media.h"
#include "history/archive.h"
#include "history/base85.h"
#include "history/clipboard.h"
#include "history/open.h"
#include "test_doc.h"

#include <sys/stat.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <tuple>

namespace {

uint32_t fake_now = 5000;
uint32_t fake_clock() { return fake_now; }

// A 2 x 3 document whose one layer holds 0 .. 5 (and 1.0 at row 0, column 1).
struct Archive : SessionTest {
    std::optional<ScopedHistory> log;
    void SetUp() override
    {
        SessionTest::SetUp();
        log.emplace(dir.file("history.kbz"));
        command_log_set_clock(fake_clock);
        ASSERT_TRUE(image_from_plane(&image, plane_of(3, 2, [](int r, int c) { return (float)(r * 3 + c); }), 3, 2, "test"));
    }
    void TearDown() override
    {
        layer_steps_wait();
        open_hooks.begin_history = nullptr;
        KBZ_SIZE_LIMIT = 0;
        log.reset();
        SessionTest::TearDown();
    }
    std::string history() { return read_file(history_path); }
    // The names in the folder, sorted.
    std::vector<std::string> folder()
    {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

// The floats of the `n`th Base85 block in `text`, read back by the block reader.
std::vector<float> block(const std::string& text, int n, int words)
{
    size_t at = 0;
    for (int i = 0; i <= n; i++) {
        at = text.find("Base85 ", at);
        if (at == std::string::npos)
            return {};
        at = text.find('\n', at) + 1;
    }
    std::string rest = text.substr(at);
    FILE* f = fmemopen(rest.data(), rest.size(), "r");
    std::vector<float> v((size_t)words, -1.f);
    float* row = v.data();
    int line = 0;
    EXPECT_EQ(fread_base85(f, &row, 1, words, &line), 1);
    fclose(f);
    return v;
}

} // namespace

TEST_F(Archive, SnapshotCarriesOriginalsSeparatorsAndHostileNamesWholeEvenDuringAReplayAndComesBack)
{
    es.anal_params[6] = 1.5f;
    orig_len = 4;
    orig_snd = static_cast<float*>(calloc(8, sizeof(float))); // grown past the sound, as for whole blocks
    orig_snd[3] = 0.25f;
    orig_snd[4] = 99.f; // beyond orig_len: never written
    image.analysed = plane_copy(image.composite, 2, 3);
    image.orig_w = 3;
    image.orig_h = 2;
    Layer& l = image.layers[0];
    free(l.name);
    l.name = string_assign("bad\"name\nwith \"New layer\" inside");
    std::tie(l.conv_set, l.conv_x, l.conv_y, l.blend) = std::tuple(1, 2, 1, 77); // 77 is no mode: written as addition
    const int s = layer_insert_above(&image);
    image.layers[s].name = string_assign("");
    image.layers[s].blend = 12;
    key[K_REPLAYING] = 1; // a replayed "Save" line

    const std::string path = dir.file("b.kbz");
    ASSERT_EQ(save_archive_status(path.c_str(), &es, "my \"song\"\n"), 0);
    EXPECT_EQ(key[K_REPLAYING], 1);
    const std::string t = read_file(path);
    EXPECT_NE(t.find("Title \"my  song  \"\n\n"), std::string::npos) << t;
    EXPECT_NE(t.find("Frequency scale 1.5\nTime resolution"), std::string::npos);
    EXPECT_NE(t.find("\n\nNew original sound (4 samples)\nSamplerate 44100 Hz\nBase85 4 words\n"), std::string::npos);
    EXPECT_NE(t.find("z\n\nNew original image (3 x 2)\nBase85 6 words\n"), std::string::npos);
    EXPECT_NE(t.find("z\n\nNew layer \"bad name with  New layer  inside\"\nBlending addition\nGamma 1\n"
                     "Central convolution point 2 px , 1 px\nBase85 6 words\n"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find("z\n\nNew separator \" \"\nBlending convolution\n\nSelected layer 1\n"), std::string::npos) << t;
    EXPECT_EQ(block(t, 0, 4), (std::vector<float>{0, 0, 0, 0.25f}));
    EXPECT_EQ(block(t, 2, 6), (std::vector<float>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 30); // no name added a line

    // Replayed in a fresh session with another sound, it gives the document back: pixels as bits,
    // names as written, the settings, the originals.
    const DocState saved = snapshot(image);
    free_null(&orig_snd);
    orig_len = 0;
    key[K_REPLAYING] = 0;
    {
        Session fresh;
        ASSERT_GT(load_archive(path.c_str(), &fresh.es, title, sizeof title, nullptr), 0);
        EXPECT_STREQ(title, "my  song  ");
        DocState back = snapshot(fresh.image);
        ASSERT_EQ(back.entries.size(), 2u);
        EXPECT_EQ(back.entries[0].blend, 0); // addition
        back.entries[0].name = "bad\"name\nwith \"New layer\" inside";
        back.entries[0].blend = 77;
        EXPECT_TRUE(back.entries[0] == saved.entries[0]);
        EXPECT_TRUE(back.entries[1].name == " " && back.entries[1].blend == 12 && !back.entries[1].plane);
        // replaying flag, change state, selection, size
        EXPECT_EQ(std::vector<int>({key[K_REPLAYING], fresh.image.change_state, fresh.image.sel, fresh.image.w, fresh.image.h}),
                  std::vector<int>({0, 3, 1, 3, 2}));
        EXPECT_FLOAT_EQ(fresh.es.anal_params[6], 1.5f);
        ASSERT_TRUE(orig_snd && fresh.image.analysed);
        EXPECT_EQ(std::vector<float>(orig_snd, orig_snd + orig_len), (std::vector<float>{0, 0, 0, 0.25f}));
        EXPECT_EQ(plane_values(fresh.image.analysed, 3, 2), plane_values(image.analysed, 3, 2));
    }

    // A name too long for its line is shortened so that the line stays readable.
    free(image.layers[0].name);
    image.layers[0].name = string_assign(std::string(3000, 'x').c_str());
    ASSERT_EQ(save_archive_status(path.c_str(), &es, "t"), 0);
    const std::string u = read_file(path);
    const size_t at = u.find("New layer \"x");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(u.find('\n', at) - at, 2048u);
}

TEST_F(Archive, FailedWritesLeaveTheOldFileAndNoTemporaryFile)
{
    const std::string path = dir.file("keep.kbz");
    write_file(path, "old\n");
    chmod(path.c_str(), 0640);
    ASSERT_EQ(save_archive_status(path.c_str(), &es, "t"), 0); // replaced whole, mode kept
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(read_file(path).rfind("Brindlewharf Archive v1.2\n", 0), 0u);

    // A target that cannot be replaced (a folder) or a folder that does not exist.
    const std::string sub = dir.file("sub");
    mkdir(sub.c_str(), 0755);
    write_file(sub + "/inside", "x");
    EXPECT_EQ(save_archive_status(sub.c_str(), &es, "t"), -1);
    write_file(history_path, "Undo\n\n");
    key[K_SAVE_SNAPSHOT] = 0;
    EXPECT_EQ(save_archive(sub.c_str(), &es, "t"), -1);
    EXPECT_EQ(save_archive_history(dir.file("none/x.kbz").c_str()), -1);
    EXPECT_EQ(read_file(sub + "/inside"), "x");
    EXPECT_EQ(folder(), (std::vector<std::string>{"history.kbz", "keep.kbz", "sub"}));
}

TEST_F(Archive, HistoryCopyFollowsTheLineRuleAndKeepsDataLinesWhole)
{
    print_cmd(CMD_CONTINUATION, "%s", "x"); // the history is open, as during a session
    const std::string data(3000, '%');
    FILE* f = fopen(history_path, "a");
    fputs(("Base85 600 words\n" + data + "z\n" + std::string(2049, 'a') + "\n" + std::string(2048, 'b') +
           "\n  \t\nUndo\nSelected lay")
              .c_str(),
          f);
    fclose(f);

    const std::string path = dir.file("copy.kbz"), path2 = dir.file("copy2.kbz");
    key[K_SAVE_SNAPSHOT] = 0;
    ASSERT_EQ(save_archive(path.c_str(), &es, "t"), 0);
    EXPECT_EQ(read_file(path), "x\nBase85 600 words\n" + data + "z\n" + std::string(2048, 'b') + "\n\nUndo\n");
    print_cmd(CMD_CONTINUATION, "%s", "after"); // the history was reopened for appending
    const std::string h = history(), end = "\n  \t\nUndo\nSelected layafter\n";
    EXPECT_EQ(h.substr(h.size() - end.size()), end);

    // Saving the history onto itself, and a history that is missing.
    ASSERT_EQ(save_archive_history(path2.c_str()), 0);
    ASSERT_EQ(save_archive_history(history_path), 0);
    EXPECT_EQ(history(), read_file(path2));
    EXPECT_NE(cmd_out_file, nullptr);
    command_log_close();
    remove(history_path);
    ASSERT_EQ(save_archive_history(path.c_str()), 0);
    EXPECT_EQ(read_file(path), "");
    EXPECT_EQ(cmd_out_file, nullptr); // not open before, so the next command starts it afresh
}

TEST_F(Archive, CopyingAReplayedArchiveEndsWithOneEmptyLine)
{
    print_cmd(CMD_CONTINUATION, "%s", "before");
    const std::string a = dir.file("a.kbz"), b = dir.file("b.kbz"), c = dir.file("c.kbz");
    write_file(a, "Undo\nDelete layer\n");
    write_file(b, "Undo\n\n");
    write_file(c, "Undo\nBase85 3 words\n%%%%%%%%"); // data cut short by the end of the file
    for (const std::string& p : {a, b, c})
        ASSERT_EQ(copy_archive(p.c_str()), 0) << p;
    EXPECT_EQ(copy_archive(dir.file("missing.kbz").c_str()), -1);
    print_cmd(CMD_CONTINUATION, "%s", "next");
    EXPECT_EQ(history(), "before\n\nUndo\nDelete layer\n\n\nUndo\n\n\nUndo\nBase85 3 words\n%%%%%%%%z\n\nnext\n");

    // The history itself, under another spelling, is rewritten rather than appended to itself.
    const std::string again = dir.path + "/./history.kbz";
    ASSERT_EQ(copy_archive(again.c_str()), 0);
    EXPECT_EQ(history(), "before\n\nUndo\nDelete layer\n\n\nUndo\n\n\nUndo\nBase85 3 words\n%%%%%%%%z\n\nnext\n\n");
}

TEST_F(Archive, HistoryRewriteDropsALineCutByACrash)
{
    EXPECT_EQ(update_history_file(), 0); // no history: nothing happens
    EXPECT_FALSE(file_exists(history_path));

    write_file(history_path, "Brindlewharf Archive v1.2\nUndo\n\nMultiply layer by 2\nDraw dark sp");
    ASSERT_EQ(update_history_file(), 0);
    print_cmd(CMD_CONTINUATION, "%s", "next");
    EXPECT_EQ(history(), "Brindlewharf Archive v1.2\nUndo\n\nMultiply layer by 2\n\nnext\n");
    EXPECT_EQ(folder(), std::vector<std::string>{"history.kbz"}); // no temporary file left

    // A snapshot saved over the running history: later commands follow it to the new file.
    ASSERT_EQ(save_archive_status(history_path, &es, "t"), 0);
    print_cmd(CMD_CONTINUATION, "%s", "later");
    const std::string t = history();
    EXPECT_EQ(t.rfind("Brindlewharf Archive v1.2\nTitle \"t\"", 0), 0u);
    const std::string end = "z\n\nSelected layer 0\nlater\n";
    EXPECT_EQ(t.substr(t.size() - end.size()), end);
}

TEST_F(Archive, OpenHeaderEmbedsSmallDocumentsNamesLargeOnesAndKeepsLongOnesWhole)
{
    open_hooks.begin_history = begin_history;
    key[K_TIME_UNIT] = UNIT_SEC;
    key[K_POS_UNIT] = UNIT_HZ;
    print_cmd(CMD_POINT, "%s", "1\t2\t"); // a stroke block still open in the old history
    std::tie(image.layers[0].conv_set, image.layers[0].conv_x, image.layers[0].conv_y) = std::tuple(1, 1, 0);
    begin_history(&es, "", FILE_IMAGE);
    std::string t = history();
    ASSERT_EQ(t.rfind("Brindlewharf Archive v1.2\nTime 2", 0), 0u) << t;
    EXPECT_EQ(t.substr(t.find("\nTitle")),
              "\nTitle \" \"\n\nClear image\nFrequency range 27.5 Hz - 20000 Hz\nTime resolution 100 px/s\n"
              "Dimensions 0.02 sec x 2 px\nSynthesis noise\n\nNew layer \"Layer 0\"\nBlending addition\nGamma 1\n"
              "Central convolution point 0.01 sec , 20000 Hz\n\nSelected layer 0\n\n");

    // A picture: within the size limit its pixels are embedded, beyond it an "Open" line names it.
    const std::string pic = dir.file("p.bmp");
    ASSERT_EQ(save_image(image.composite, 3, 2, pic.c_str()), 0);
    char path[PATH_TEXT_LEN];
    int opened = 0;
    snprintf(path, sizeof path, "%s", pic.c_str());
    open_file(path, &es, &opened);
    ASSERT_EQ(opened, 1);
    t = history();
    EXPECT_NE(t.find("Title \"p.bmp\"\n\nOpen \"" + pic + "\"\n\n"), std::string::npos) << t;
    EXPECT_NE(t.find("Synthesis noise\n\nFrequency range 27.5 Hz - 20000 Hz\nTime resolution 100 px/s\nSynthesis noise\n\n"),
              std::string::npos)
        << t;
    EXPECT_EQ(t.find("Base85"), std::string::npos);
    // A relative path is named in full.
    const std::filesystem::path started = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    snprintf(path, sizeof path, "%s", "p.bmp");
    open_file(path, &es, &opened);
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(started);
    EXPECT_NE(history().find("\nOpen \"" + cwd + "/p.bmp\"\n"), std::string::npos) << history();
    snprintf(path, sizeof path, "%s", pic.c_str());

    KBZ_SIZE_LIMIT = 1;
    open_file(path, &es, &opened);
    t = history();
    EXPECT_EQ(t.find("Open \""), std::string::npos);
    EXPECT_NE(t.find("Gamma 1\n\nBase85 6 words\n"), std::string::npos) << t;
    EXPECT_EQ(block(t, 0, 6).size(), 6u);

    // A path no line can carry is embedded whatever its size; a replay leaves the history alone.
    KBZ_SIZE_LIMIT = 0;
    const std::string odd = dir.file("q\"uote.bmp");
    rename(pic.c_str(), odd.c_str());
    snprintf(path, sizeof path, "%s", odd.c_str());
    open_file(path, &es, &opened);
    t = history();
    EXPECT_NE(t.find("Title \"q uote.bmp\"\n"), std::string::npos) << t;
    EXPECT_NE(t.find("Base85 6 words\n"), std::string::npos);
    key[K_REPLAYING] = 1;
    begin_history(&es, "", FILE_IMAGE);
    key[K_REPLAYING] = 0;
    EXPECT_EQ(history(), t);

    // A long document whose seconds would lose columns is written in pixels.
    free_image(&image, 1);
    image_locks_release(&image);
    image.w = 1234568; // 12345.67 s at 100 px/s: six digits cannot carry it
    image.h = 10;
    begin_history(&es, "", FILE_IMAGE);
    image.w = image.h = 0;
    EXPECT_NE(history().find("Dimensions 1234568 px x 10 px\nSynthesis noise\n\nSelected layer 0\n"), std::string::npos)
        << history();
}

TEST_F(Archive, SnapshotWaitsForALayerStepInProgress)
{
    // Under the thread sanitizer: the snapshot reads the layer under the lock the step holds.
    const std::string path = dir.file("t.kbz");
    int steps = 0;
    for (int i = 0; i < 20; i++) {
        steps += intensitify_layer_background(&image, 2.f, 0);
        ASSERT_EQ(save_archive_status(path.c_str(), &es, "t"), 0);
    }
    layer_steps_wait();
    EXPECT_GT(steps, 0);
    EXPECT_EQ(image.layers[0].plane[1][2], 5.f * (float)(1 << steps));
}

// Base85 blocks: the known texts of 0 and 1.0, bit-exact round trips of awkward floats, data
// that ends early, and silence during a replay.
namespace {

// The text fprint_base85 writes for one row of `v`, or for no array at all.
std::string encode(std::vector<float> v, bool null_array = false)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    const float* row = v.data();
    fprint_base85(f, null_array ? nullptr : &row, 1, (int)v.size());
    fclose(f);
    const std::string text(buf, len);
    free(buf);
    return text;
}

TEST(Base85, KnownTextsAndBitExactRoundTrip)
{
    state_reset();
    EXPECT_EQ(encode({0.f}), "Base85 1 words\n%%%%%z\n");
    EXPECT_EQ(encode({1.f}), "Base85 1 words\n:cdG9z\n");

    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> values = {0.f, -0.f, 1.f, 1e-45f, 3.4028235e38f, -1.5f, nan, INFINITY, 0.1f};
    values.push_back(std::bit_cast<float>(0xffffffffu)); // the largest word: its digits are "yyyyy" beyond 2^32, so it wraps
    std::string text = encode(values);
    text = text.substr(text.find('\n') + 1) + "Next line\n";
    std::vector<float> row0(5, 7.f), row1(5, 7.f);
    float* rows[2] = {row0.data(), row1.data()};
    FILE* f = fmemopen(text.data(), text.size(), "r");
    int line = 10;
    EXPECT_TRUE(fread_base85(f, rows, 2, 5, &line) == 1 && line == 11);
    char rest[32] = {0};
    ASSERT_NE(fgets(rest, sizeof rest, f), nullptr);
    EXPECT_STREQ(rest, "Next line\n"); // the "z" and the line end were consumed
    fclose(f);
    row0.insert(row0.end(), row1.begin(), row1.end());
    EXPECT_EQ(memcmp(row0.data(), values.data(), 10 * sizeof(float)), 0); // bit-exact, NaN included
}

// Data that ends early keeps the rest of the row and warns; a null array is said and read or
// written as nothing; nothing is written during a replay.
TEST(Base85, EarlyEndNullArraysAndReplay)
{
    for (std::string data : {":cdG9z\nNext\n", ":cdG9", ":cd\nNext\n"}) {
        std::vector<float> row(3, 7.f);
        float* rows[1] = {row.data()};
        FILE* f = fmemopen(data.data(), data.size(), "r");
        int line = 4;
        testing::internal::CaptureStderr();
        EXPECT_EQ(fread_base85(f, rows, 1, 3, &line), 0);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("End of Base85 data at line 5"), std::string::npos);
        EXPECT_TRUE(row[1] == 7.f && row[2] == 7.f);
        fclose(f);
    }
    EXPECT_EQ(fread_base85(nullptr, nullptr, 1, 1, nullptr), 0); // null destination: nothing read
    state_reset();
    testing::internal::CaptureStderr();
    EXPECT_EQ(encode({1.f}, true), "");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("array is NULL"), std::string::npos);
    key[K_REPLAYING] = 1;
    EXPECT_EQ(encode({1.f, 2.f}), "");
    state_reset();
}

} // namespace

// Copy and Paste: the clipboard picture of a selection (its bounds, weighted by the mask) pasted
// back as a new layer gives the region's pixels within a grey step, and its history line replays
// to the same document. (Its Undo step is the editor's copy-paste test; bad Paste lines are the
// replay's hostile input tests'.)
namespace {

using ClipboardTest = DocTest;

// The pattern of the test document.
float pattern(int r, int c) { return (float)((r * 7 + c * 3) % 13) / 4.f; }

TEST_F(ClipboardTest, CopiedSelectionPastesBackAsALayerAndReplays)
{
    doc(60, 40, pattern);
    log_history();
    ASSERT_TRUE(selection_box(image.get(), 10, 5, 29, 19, 2.f, SELECT_REPLACE));
    int x0, y0, x1, y1;
    ASSERT_TRUE(selection_bounds(image.get(), &x0, &y0, &x1, &y1));
    std::vector<uint32_t> px;
    int w = 0, h = 0;
    ASSERT_TRUE(clipboard_picture(image.get(), &px, &w, &h));
    ASSERT_EQ(std::vector<int>({w, h}), std::vector<int>({x1 - x0, y1 - y0}));

    // What the clipboard gives back: grey levels, pasted at the region's place.
    std::vector<uint8_t> grey(px.size());
    for (size_t i = 0; i < px.size(); i++)
        grey[i] = (uint8_t)(px[i] & 0xFF);
    const float peak = paste_peak(image.get());
    EXPECT_FLOAT_EQ(peak, 3.f);
    Plane pasted = picture_to_plane(grey.data(), w, h, peak);
    ASSERT_EQ(paste_layer(es.get(), pasted, w, h, x0, y0), 1);
    plane_free(&pasted, h);
    ASSERT_EQ(image->count, 2);
    const Plane layer = image->layers[image->sel].plane;
    for (int r = 0; r < image->h; r++)
        for (int c = 0; c < image->w; c++) {
            const float want = pattern(r, c) * selection_weight(image.get(), c, r);
            // One grey step of sqrt(v / peak) around the value.
            const float step = 2.f * std::sqrt(want * peak) / 255.f + peak / 65025.f;
            ASSERT_NEAR(layer[r][c], want, step) << r << ", " << c;
        }
    EXPECT_STREQ(undo_next_label(image.get(), -1), "Paste Layer");
    const DocState after = snapshot(*image);

    // The history holds the pixels: a replay on the same document gives the same layers.
    command_log_close();
    char line[80];
    snprintf(line, sizeof line, "Paste layer \"Layer 1\" %d x %d at %d %d\n", w, h, x0, y0);
    EXPECT_NE(read_file(history_path).find(line), std::string::npos) << read_file(history_path);
    Session again;
    ASSERT_EQ(image_from_plane(&again.image, plane_of(60, 40, pattern), 60, 40, "test"), 1);
    replay_reset();
    char title[256] = "";
    ASSERT_GT(load_archive(history_path, &again.es, title, sizeof title, nullptr), 0);
    EXPECT_EQ(snapshot(again.image), after);
}

} // namespace
