// Replay of archives and history files: the line rules (blending names, relative selection,
// version differences, strokes and rectangles; snapshots are the archive tests'), hostile
// numbers and random lines, nested archives, Quit, and a
// random session of edits, Undos and Redos that its history gives back bit for bit, also when
// the history was cut by a crash.
#include "document/move.h"
#include "document/composite.h"
#include "document/operations.h"
#include "document/paint.h"
#include "document/undo.h"
#include "core/units.h"
#include "files/media.h"
#include "history/archive.h"
#include "test_doc.h"

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>

namespace {

// An empty document at start-up, no history file; the replay state reset around each test.
struct HistoryReplay : SessionTest {
    int replay(const std::string& text, const std::string& name = "a.kbz")
    {
        write_file(dir.file(name), text);
        return load_archive(dir.file(name).c_str(), &es, title, sizeof title, nullptr);
    }
    // A w x h document with one empty layer "L".
    void blank(int w, int h)
    {
        ASSERT_EQ(replay("Clear image\nDimensions " + std::to_string(w) + " px x " + std::to_string(h) +
                         " px\nNew layer \"L\"\n\n"),
                  3);
        ASSERT_EQ(image.count, 1);
    }
    float& px(int layer, int row, int col) { return image.layers[layer].plane[row][col]; }
};

} // namespace

TEST_F(HistoryReplay, SizesBlendingNamesSelectionAndQuit)
{
    blank(8, 6);
    for (auto [line, blend] : {std::pair{"Blending horizontal propagation looped\n", 11},
                               {"Blending convolution\n", 12}, {"Blending sideways\n", 12}}) {
        replay(line);
        EXPECT_EQ(image.layers[0].blend, blend) << line;
    }
    replay("New layer \"b\"\nNew layer \"c\"\n");
    ASSERT_EQ(image.count, 3);
    for (auto [line, sel] : {std::pair{"Selected layer 1\n", 1}, {"Selected layer +5\n", 2}, {"Selected layer -9\n", 0}}) {
        replay(line);
        EXPECT_EQ(image.sel, sel) << line;
    }
    replay("Rename layer \"renamed\"\n");
    EXPECT_STREQ(image.layers[0].name, "renamed");
    // The count tells a project: comments, empty lines and unknown words are no commands; a
    // missing file is refused.
    EXPECT_EQ(replay("// a comment\n\nHello there\n12 34 T+0.1s\n"), 0);
    EXPECT_EQ(load_archive(dir.file("missing.kbz").c_str(), &es, title, sizeof title, nullptr), -1);
    // Quit ends the replay.
    EXPECT_EQ(replay("New layer \"before\"\nQuit\nNew layer \"after\"\n"), 2);
    EXPECT_TRUE(image.count == 4 && key[K_QUIT] == 1);
}

TEST_F(HistoryReplay, StrokesPaintInTheirBlockRectanglesWaitForAllThreeLinesAndOlderFilesDiffer)
{
    blank(40, 30);
    replay("10       \t15       \tT+0.010s\n");
    EXPECT_EQ(plane_values(image.layers[0].plane, 40, 30), std::vector<float>(40 * 30, 0.f)) << "a stroke line outside a stroke block";

    replay("Draw white spray\nPoint size 3 px x 3 px\nUnits px,px\nPoint intensity 1\nHarmonics 0\nLines\n"
           "10       \t15       \tT+0.010s\n\n");
    EXPECT_TRUE(px(0, 15, 10) > 0.f && px(0, 15, 30) == 0.f);

    replay("Operation fill pink\nDraw rectangle\nRectangle end 20 px x 20 px\n");
    EXPECT_EQ(px(0, 15, 15), 1.f);
    replay("Intensity 0.5\n");
    EXPECT_EQ(px(0, 15, 15), 1.f);
    replay("Rectangle start 10 px x 10 px\n");
    EXPECT_TRUE(px(0, 15, 15) == 0.5f && px(0, 5, 5) == 1.f);

    // This C library writes an infinite intensity as "inf": the largest gain, never inf pixels.
    replay("Draw rectangle\nIntensity inf\nRectangle start 0 px x 0 px\nRectangle end 2 px x 2 px\n");
    EXPECT_EQ(px(0, 1, 1), 100000.f);

    // Older files: pink noise was brown before 1.2, and moves went downwards.
    replay("Brindlewharf Archive v1.2\nOperation fill pink\n");
    EXPECT_FLOAT_EQ(px(0, 0, 3), px(0, 29, 3)); // pink: every band alike

    replay("Brindlewharf Archive v1.1\nOperation fill pink\n");
    EXPECT_LT(px(0, 0, 3), 0.9f * px(0, 29, 3)); // brown: less at the top on a logarithmic axis

    // y is written upwards positive since 1.2; 1.1 files moved downwards.
    for (auto [version, row] : {std::pair{"1.2", 12}, {"1.1", 18}}) {
        replay("Operation erase\n");
        px(0, 15, 10) = 1.f;
        replay(std::string("Brindlewharf Archive v") + version + "\nMove layer +0 px x +3 px\n");
        EXPECT_TRUE(px(0, row, 10) == 1.f && px(0, 15, 10) == 0.f) << version;
    }
}

TEST_F(HistoryReplay, HostileNumbersAreRefusedAndTheBlockSkipped)
{
    blank(40, 30);
    const std::string seven(35, '%');
    replay("New original sound (-5 samples)\nBase85 3 words\n%%%%%%%%%%%%%%%z\n"
           "New original sound (99999999999 samples)\n"
           "New original image (40000 x 40000)\nNew original image (100000 x 3)\n"
           "Dimensions 1e9 px x 5 px\nDimensions 100 px x 99999 px\nDimensions nan px x inf px\n"
           "Harmonics 99999999999999999999\nSelected layer 99999999999999999999\n"
           "Central convolution point 1e30 px , -1e30 px\n"
           "New layer \"x\"\nBase85 7 words\n" +
           seven + "z\n" + std::string(5000, 'a') + "\nRename layer \"after\"\n");
    EXPECT_TRUE(orig_snd == nullptr && image.analysed == nullptr && key[K_REPLAYING] == 0);
    ASSERT_EQ(std::vector<int>({image.w, image.h, image.count}), std::vector<int>({40, 30, 2}));
    EXPECT_STREQ(image.layers[1].name, "after"); // the lines after the refused block still count
    EXPECT_TRUE(image.layers[0].conv_x == 1 << 24 && image.layers[0].conv_y == -(1 << 24));
    // Bad Paste lines (no size, no pixels, too few words, data cut short, outside) are skipped, said.
    for (const char* text : {"Paste layer \"P\"\n", "Paste layer \"P\" 2 x 2 at 0 0\n",
                             "Paste layer \"P\" 2 x 2 at 0 0\nBase85 3 words\n%%%%%%%%%%%%%%%z\n",
                             "Paste layer \"P\" 2 x 2 at 0 0\nBase85 4 words\n%%%%%z\n",
                             "Paste layer \"P\" 1 x 1 at 45 3\nBase85 1 words\n%%%%%z\n"}) {
        replay_reset();
        testing::internal::CaptureStderr();
        replay(text);
        EXPECT_NE(testing::internal::GetCapturedStderr(), "") << text;
        EXPECT_EQ(image.count, 2) << text;
    }
}

TEST_F(HistoryReplay, RandomLinesNeverHurt)
{
    blank(24, 16);
    // Line forms with holes: # a number, @ a unit, ^ a note, ~ a name, $ & | ` a synthesis mode,
    // blending mode, tool and operation.
    static const char* const forms[] = {
        "Brindlewharf Archive v1.#", "Title \"~\"", "Clear image", "Dimensions # @ x # @", "Crop # @ x ^",
        "Analysis frequency range # Hz - # Hz", "Analysis time resolution # px/s", "Analysis pitch resolution #",
        "Frequency range # @ - # @", "Frequency range ^ - ^", "Frequency scale #", "Time resolution # px/s",
        "Synthesis $", "Samplerate # Hz", "New layer \"~\"", "New separator \"~\"", "New original sound (# samples)",
        "New original image (# x #)", "Duplicate layer", "Merge down layer", "Merge all to new layer",
        "Delete layer", "Blending &", "Gamma #", "Central convolution point # @ , ^", "Draw |", "Intensity #",
        "Rectangle start # @ x # @", "Rectangle end # @ x ^", "Point size # @ x # @", "Point intensity #",
        "Units @,@", "Harmonics #", "Lines", "#\t#\tT+0.1s", "#\t^\tT+0.1s", "Operation `", "Move layer up",
        "Move layer down", "Move layer +# @ x -# @", "Multiply layer by #", "Enable long block duration",
        "Disable loop playback", "Undo", "Base85 # words", "Selected layer +#", "Selected layer #",
        "Rename layer \"~\"", "", "// a comment",
    };
    static const std::vector<std::vector<std::string>> holes = {
        {"0", "1", "-1", "2", "3", "7", "12", "24", "0.5", "1e9", "-1e30", "nan", "inf", "2147483648",
         "99999999999999999999"},
        {"px", "%", "sec", "Hz", "st", "note", "", "furlong"},
        {"A4+00", "C#9-12.5", "G-3", "H2", "B99999999999"},
        {"x", "", "----", "a \"quoted\" name"},
        {"noise", "lossless", "live", "loud"},
        {"addition", "convolution looped", "vertical propagation", "maximum", "nonsense"},
        {"white spray", "dark spray", "erase spray", "smart erase spray", "brighten spray", "rectangle", "pen"},
        {"fill pink", "fill white", "rotation by 90", "rotation by 180", "vertical curves", "1/x", "invert",
         "mask invert", "group to semitone", "fill to bottom", "erase", "horizontal normalisation", "juggle"},
    };
    const std::string marks = "#@^~$&|`";
    std::mt19937 rng(12345);
    FILE* data = tmpfile();
    ASSERT_TRUE(data);
    for (int i = 0; i < 400; i++)
        fputs(i % 2 ? "%%%%%:cdG9%%%%%z\n" : "%%%%%:cdG9%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%z\n", data);
    rewind(data);
    int line_no = 0, commands = 0;
    for (int i = 0; i < 4000; i++) {
        std::string line;
        for (const char* f = forms[rng() % (sizeof forms / sizeof *forms)]; *f; f++) {
            const size_t hole = marks.find(*f);
            line += hole == std::string::npos ? std::string(1, *f) : holes[hole][rng() % holes[hole].size()];
        }
        if (!line.empty() && rng() % 10 == 0)
            line[rng() % line.size()] = (char)(rng() % 256);
        commands += run_line(line.c_str(), &es, title, sizeof title, nullptr, rng() % 4 ? data : nullptr,
                             &line_no) == LINE_COMMAND;
        // Kept small, so that blends over whole layers stay quick.
        if (image.count > 40 || (long long)image.w * image.h > 4000)
            replay("Clear image\nDimensions 24 px x 16 px\nNew layer \"L\"\n");
    }
    fclose(data);
    EXPECT_GT(commands, 2000) << commands; // most lines were carried out, not refused by their form
}

TEST_F(HistoryReplay, AnArchiveOpeningItselfStopsAndStaysSilent)
{
    history_path = strdup(dir.file("history.kbz").c_str());
    const std::string self = dir.file("self.kbz");
    write_file(self, "Brindlewharf Archive v1.2\nClear image\nDimensions 8 px x 6 px\nNew layer \"L\"\n\n"
                     "Open \"" + self + "\"\nDuplicate layer\n");
    ASSERT_GT(load_archive(self.c_str(), &es, title, sizeof title, nullptr), 0);
    EXPECT_TRUE(key[K_REPLAYING] == 0 && replay_depth() == 0);
    // REPLAY_DEPTH_MAX replays ran, each adding its duplicate after the inner one rebuilt the document.
    EXPECT_EQ(image.count, 1 + REPLAY_DEPTH_MAX);
    // Nothing reached the history: not the duplicates, not the inner archives' text.
    EXPECT_EQ(read_file(history_path), "");
}

// The program killed while it writes: a history cut anywhere replays as the same history cut at
// the end of its last complete line (a number cut short would otherwise be carried out).
TEST_F(HistoryReplay, AHistoryCutByACrashReplaysToItsLastWholeLine)
{
    const std::string history = "Clear image\nDimensions 8 px x 6 px\nNew layer \"a\"\nOperation fill white\n"
                                "Multiply layer by 100\nGamma 0.25\nNew layer \"bb\"\nSelected layer 0\nMove layer +10 px x +3 px\n";
    auto replay_text = [&](const std::string& text) {
        Session into;
        replay_reset();
        write_file(dir.file("cut.kbz"), text);
        testing::internal::CaptureStderr();
        load_archive(dir.file("cut.kbz").c_str(), &into.es, title, sizeof title, nullptr);
        testing::internal::GetCapturedStderr();
        return snapshot(into.image);
    };
    for (size_t cut = history.find("Operation"); cut < history.size(); cut++)
        EXPECT_EQ(replay_text(history.substr(0, cut)), replay_text(history.substr(0, history.rfind('\n', cut - 1) + 1)))
            << "cut at " << cut;
}

// A project writes only inside its own folder, whatever the working folder: relative names are
// taken from there, names that lead out (upwards, absolute, through a link) are refused with a
// warning naming the line. A FIFO is neither opened nor replayed (reading it would wait forever).
TEST_F(HistoryReplay, SavesStayInTheProjectsFolderAndOnlyRegularFilesAreOpened)
{
    const std::string proj = dir.file("proj");
    std::filesystem::create_directories(proj + "/sub");
    std::filesystem::create_directory_symlink(dir.path, proj + "/out");
    ASSERT_EQ(mkfifo((proj + "/f.wav").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((proj + "/f.kbz").c_str(), 0600), 0);
    const std::string text = "Clear image\nDimensions 8 px x 6 px\nNew layer \"L\"\n"
                             "Save \"inside.png\"\n"                    // line 4
                             "Save \"sub/deeper.bmp\"\n"                // 5
                             "Save \"" + proj + "/absolute.kbz\"\n"     // 6
                             "Save \"../escape.png\"\n"                 // 7
                             "Save \"" + dir.file("abs.bmp") + "\"\n"   // 8
                             "Save \"out/linked.png\"\n"                // 9
                             "Save \"inside.png\"\n"                    // 10: exists now
                             "Open \"" + proj + "/f.wav\"\n"
                             "Open \"" + proj + "/f.kbz\"\nDuplicate layer\n";
    testing::internal::CaptureStderr();
    write_file(proj + "/p.kbz", text);
    EXPECT_EQ(load_archive((proj + "/p.kbz").c_str(), &es, title, sizeof title, nullptr), 13);
    const std::string err = testing::internal::GetCapturedStderr();
    for (const char* name : {"inside.png", "sub/deeper.bmp", "absolute.kbz"})
        EXPECT_TRUE(file_exists(proj + "/" + name)) << name;
    for (const char* name : {"escape.png", "abs.bmp", "linked.png"})
        EXPECT_FALSE(file_exists(dir.file(name))) << name;
    for (int line : {7, 8, 9})
        EXPECT_NE(err.find("line " + std::to_string(line) + ": "), std::string::npos) << err;
    EXPECT_NE(err.find("\"../escape.png\" is outside the project's folder"), std::string::npos) << err;
    EXPECT_NE(err.find("line 10: \"inside.png\" exists already"), std::string::npos) << err;
    EXPECT_NE(err.find("f.wav': not a regular file"), std::string::npos) << err;
    EXPECT_NE(err.find("f.kbz': not a regular file"), std::string::npos) << err;
    EXPECT_EQ(image.count, 2); // the document of the project, its duplicate after the refused opens
}

// A random session: a few hundred edits of every kind (operations, layer-table commands, strokes,
// rectangles, moves logged in every unit, gamma, intensity, selections, convolution centres),
// Undos and Redos, made as the editor makes them. Its history replays to the same document bit
// for bit, with the same steps to undo, each giving the same document again.
TEST_F(HistoryReplay, RandomSessionWithUndoAndRedoReplaysBitForBit)
{
    constexpr int W = 40, H = 30;
    // A clock 3 ms on at each reading: every command gets its time line, even inside a stroke.
    static uint32_t ticks;
    ticks = 1000;
    command_log_set_clock([] { return ticks += 3; });
    blank(W, H);
    history_path = strdup(dir.file("history.kbz").c_str());
    key[K_HISTORY_HEADER] = 1;
    begin_history(&es, "", FILE_IMAGE);
    key[83] = 1; // brown noise to begin with
    layer_operations(&es);

    std::mt19937 rng(20261207);
    auto pick = [&](int n) { return (int)(rng() % (unsigned)n); };
    auto on_layer = [&] { return image.sel >= 0 && image.sel < image.count && image.layers[image.sel].plane; };
    static const int operations[] = {K_INVERT, K_MASK_INVERT, K_HFLIP, K_VFLIP, K_ERASE_MASK, K_ROTATE, 68, 69, 70,
                                     71, 72, 73, 74, 75, 76, 77, K_OP_RECIPROCAL, 79, 80, 81, 82, 83, 84};
    static const int table[] = {K_NEW_LAYER,  K_DUPLICATE_LAYER, K_ADD_SEPARATOR, K_MERGE_DOWN, K_DELETE_LAYER,
                                K_MERGE_ALL, K_LAYER_UP,        K_LAYER_DOWN,    K_BLEND_FIRST, K_TURN_OFF_LAYER};
    static const char* const sprays[] = {"dark spray", "white spray", "brighten spray", "smart erase spray"};
    int undos = 0, redos = 0;
    for (int step = 0; step < 400; step++) {
        const int kind = pick(100);
        if (kind < 22) {
            const int slot = operations[pick((int)std::size(operations))];
            key[slot] = (int8_t)(slot == K_ROTATE ? 2 + pick(3) : 1);
            layer_operations(&es);
        } else if (kind < 40) {
            int slot = table[pick((int)std::size(table))];
            if (slot == K_BLEND_FIRST)
                slot += pick(BLEND_MODE_COUNT);
            if (image.count >= 7 && (slot == K_NEW_LAYER || slot == K_DUPLICATE_LAYER || slot == K_MERGE_ALL ||
                                     slot == K_ADD_SEPARATOR))
                slot = K_DELETE_LAYER;
            if (slot == K_MERGE_ALL)
                process_layers(&es); // the composite the editor shows
            key[slot] = 1;
            layer_commands(&es);
        } else if (kind < 50 && on_layer()) { // a stroke from press to release
            const int tool = pick(4), harm = pick(2) * 3, points = 1 + pick(5);
            const float rad = (float)(1 + pick(3)), strength = 0.25f * (float)(1 + pick(4));
            layer_to_undo(&image);
            print_cmd(CMD_TIMED, "Draw %s", sprays[tool]);
            print_cmd(CMD_CONTINUATION, "Point size %g px x %g px", rad, rad);
            print_cmd(CMD_CONTINUATION, "Units px,px\nPoint intensity %g\nHarmonics %d\nLines", strength, harm);
            int erase = 0;
            for (int i = 0; i < points; i++) {
                if (i == 2 && pick(3) == 0) { // the right button pressed during the stroke: still one step
                    erase = 1;
                    print_cmd(CMD_TIMED, "Draw erase spray");
                }
                const int x = pick(W), y = pick(H);
                print_cmd(CMD_POINT, "%-8g\t%-8g\t", (double)x, (double)y);
                paint_point_abs(&es, harm, erase, tool, i == 0, (float)x, (float)y, rad, rad, strength);
            }
            undo_commit(&image, "Stroke");
        } else if (kind < 56 && on_layer()) { // a rectangle
            const float factor = 0.25f * (float)(1 + pick(8));
            const int x0 = pick(W), y0 = pick(H), x1 = pick(W), y1 = pick(H);
            layer_to_undo(&image);
            paint_rect_abs(&es, x1, y1, x0, y0, factor);
            print_cmd(CMD_TIMED, "Draw rectangle\nIntensity %g", factor);
            print_cmd(CMD_CONTINUATION, "Rectangle start %d px x %d px", x0, y0);
            print_cmd(CMD_CONTINUATION, "Rectangle end %d px x %d px\n", x1, y1);
            undo_commit(&image, "Draw rectangle");
        } else if (kind < 64 && on_layer()) { // a move, logged in the units of the moment
            key[K_TIME_UNIT] = (int8_t)std::array{UNIT_PX, UNIT_PCT, UNIT_SEC}[(size_t)pick(3)];
            key[K_DIM_UNIT] = (int8_t)std::array{UNIT_PX, UNIT_PCT, UNIT_ST}[(size_t)pick(3)];
            const int dx = pick(15) - 7, dy = pick(15) - 7;
            layer_to_undo(&image);
            move_tool_layer_abs(&es, dx, dy);
            print_move_tool_cmd(&es, dx, dy);
            undo_commit(&image, "Move layer");
        } else if (kind < 70 && on_layer()) { // the gamma or the intensity knob let go
            Layer& l = image.layers[image.sel];
            layer_to_undo(&image);
            if (pick(2)) {
                const float g = std::array{0.5f, 1.25f, 2.f}[(size_t)pick(3)];
                if (g == l.gamma)
                    continue;
                gamma_layer(&image, g / l.gamma, 0);
                l.gamma = g;
                undo_commit(&image, "Gamma");
                print_cmd(CMD_TIMED, "Gamma %g", (double)g);
            } else {
                const float f = pick(2) ? 0.5f : 2.f;
                print_cmd(CMD_TIMED, "Multiply layer by %g\n", (double)f);
                intensitify_layer(&image, f, 0);
                undo_commit(&image, "Multiply layer by");
            }
        } else if (kind < 74) {
            select_layer(&es, 1 + pick(image.count));
        } else if (kind < 76 && on_layer()) {
            key[K_TIME_UNIT] = key[K_POS_UNIT] = UNIT_PX;
            Layer& l = image.layers[image.sel];
            l.conv_x = pick(W);
            l.conv_y = pick(H);
            l.conv_set = 1;
            print_conv_centre(&es, l.conv_x, l.conv_y);
        } else if (kind >= 76) { // a few Undos, or Redos when there are steps to redo
            const int direction = undo_available(&image, +1) && pick(2) ? +1 : -1;
            for (int n = 1 + pick(3); n > 0; n--)
                (direction < 0 ? undos : redos) += undo_step(&es, direction);
        }
    }
    EXPECT_GT(undos, 60);
    EXPECT_GT(redos, 20);
    command_log_close();

    Session again;
    replay_reset();
    ASSERT_GT(load_archive(dir.file("history.kbz").c_str(), &again.es, title, sizeof title, nullptr), 0);
    ASSERT_EQ(snapshot(again.image), snapshot(image));
    ASSERT_EQ(undo_available(&again.image, -1), undo_available(&image, -1));
    ASSERT_EQ(undo_available(&again.image, +1), undo_available(&image, +1));
    int back = 0;
    while (undo_step(&es, -1)) {
        ASSERT_EQ(undo_step(&again.es, -1), 1);
        back++;
        ASSERT_EQ(snapshot(again.image), snapshot(image)) << "after " << back << " Undos";
    }
    EXPECT_GT(back, 10);
}
