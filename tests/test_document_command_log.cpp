// The command log: timestamp rules, write modes, the header, replay silence, and the unit
// conversions with the figures of a 1000 x 571 document at 27.5-20000 Hz, base 2, 100 px/s.
#include "core/units.h"
#include "test_doc.h"

#include <cmath>
#include <tuple>

namespace {

uint32_t fake_now = 5000;
uint32_t fake_clock() { return fake_now; }

// A fresh history in a temporary file and a clock the test sets.
struct CommandLog : DocTest {
    void SetUp() override
    {
        DocTest::SetUp();
        log_history();
        command_log_set_clock(fake_clock);
    }
};
using UnitConversion = DocTest;

// Time lines follow the gaps between commands (absolute first and after five minutes, none under
// 2 ms); stroke points end with an empty line before the next command.
TEST_F(CommandLog, TimestampsFollowTheGapsAndStrokePointsEndWithAnEmptyLine)
{
    fake_now = 5000;
    print_cmd(CMD_TIMED, "First");   // first ever: absolute
    fake_now += 1500;
    print_cmd(CMD_TIMED, "Second");  // 1.5 s
    fake_now += 50;
    print_cmd(CMD_TIMED, "Third");   // 50 ms
    fake_now += 1;
    print_cmd(CMD_TIMED, "Fourth");  // under 2 ms: no time line
    fake_now += 300001;
    print_cmd(CMD_TIMED, "Fifth");   // over five minutes: absolute again
    print_cmd(CMD_TIMED, "Draw dark spray");
    for (int i = 0; i < 3; i++) {
        fake_now += 10;
        print_cmd(CMD_POINT, "%-8g\t%-8g\t", (double)i, 2.0);
    }
    fake_now += 10;
    print_cmd(CMD_TIMED, "Undo");
    const std::string t = read_file(history_path);
    ASSERT_EQ(t.rfind("Time 2", 0), 0u) << t; // absolute: a calendar date
    EXPECT_NE(t.find("First\nTime +1.50 s\nSecond\nTime +0.050 s\nThird\nFourth\nTime 2"), std::string::npos) << t;
    EXPECT_NE(t.find("\nFifth\nDraw dark spray\n0       \t2       \tT+0.010s\n1       \t2       \tT+0.010s\n"
                     "2       \t2       \tT+0.010s\n\nTime +0.010 s\nUndo\n"),
              std::string::npos)
        << t;
}

// An unwritable history is skipped and retried; the header comes first; a replay writes nothing.
TEST_F(CommandLog, UnwritableHistoryIsRetriedTheHeaderComesFirstAndReplayWritesNothing)
{
    free(history_path);
    history_path = strdup(dir.file("missing/history.kbz").c_str());
    print_cmd(CMD_TIMED, "Lost");
    EXPECT_EQ(cmd_out_file, nullptr);
    free(history_path);
    history_path = strdup(dir.file("history.kbz").c_str());
    key[K_REPLAYING] = 1;
    key[K_HISTORY_HEADER] = 1;
    print_cmd(CMD_TIMED, "Invisible");
    EXPECT_FALSE(file_exists(history_path));
    key[K_REPLAYING] = 0;
    fake_now += 100;
    print_cmd(CMD_TIMED, "Visible");
    const std::string t = read_file(history_path);
    EXPECT_EQ(t.rfind("Brindlewharf Archive v1.2\nTime 2", 0), 0u) << t;
    EXPECT_TRUE(t.find("\n\nVisible\n") != std::string::npos && key[K_HISTORY_HEADER] == 0) << t;
}

TEST_F(UnitConversion, FiguresOfAStandardDocument)
{
    std::tie(image->w, image->h) = std::pair(1000, 571);
    analysis({27.5f, 20000.f, 100.f, 100.f, 60.f, 24.f, 2.f});
    char buf[PATH_TEXT_LEN];

    // From pixels: value, text (where checked) and tolerance.
    const struct {
        int to, is_time;
        float px, want, tolerance;
        const char* text;
    } from_px[] = {{UNIT_SEC, 1, 250.f, 2.5f, 0.f, "2.5"},      {UNIT_PCT, 1, 250.f, 25.f, 0.f, "25"},
                   {UNIT_HZ, 0, 0.f, 20000.f, 0.5f, nullptr},   {UNIT_HZ, 0, 570.f, 27.5f, 0.01f, nullptr},
                   {UNIT_ST, 0, 60.f, 12.008f, 0.002f, nullptr}};
    for (const auto& c : from_px) {
        EXPECT_NEAR(convert_unit(buf, UNIT_PX, c.to, es.get(), c.is_time, 1, c.px), c.want, c.tolerance) << c.to;
        EXPECT_STREQ(c.text ? buf : nullptr, c.text); // the text where one is given
    }

    // A4 is 440 Hz, row 330.16; the note printer and reader agree.
    strcpy(buf, "A4+00");
    EXPECT_NEAR(convert_unit(buf, UNIT_NOTE, UNIT_HZ, es.get(), 0, 0, 0.f), 440.f, 0.01f);
    EXPECT_NEAR(convert_unit(buf, UNIT_NOTE, UNIT_PX, es.get(), 0, 0, 0.f), 330.16f, 0.02f);
    const float row = convert_unit(nullptr, UNIT_HZ, UNIT_PX, es.get(), 0, 0, 440.f);
    EXPECT_NEAR(row, 330.16f, 0.02f);
    EXPECT_NEAR(convert_unit(buf, UNIT_PX, UNIT_NOTE, es.get(), 0, 1, row), 440.f, 0.01f);
    EXPECT_EQ(std::string(buf).rfind("A4+", 0), 0u) << buf;
    for (auto [hz, text] : {std::pair{440.f, "A4+00"}, {440.f * powf(2.f, 12.5f / 1200.f), "A4+12.5"}}) {
        convert_unit(buf, UNIT_HZ, UNIT_NOTE, es.get(), 0, 1, hz);
        EXPECT_STREQ(buf, text);
    }

    // Readings back to pixels.
    EXPECT_FLOAT_EQ(convert_unit(nullptr, UNIT_SEC, UNIT_PX, es.get(), 1, 0, 2.5f), 250.f);
    strcpy(buf, "25");
    EXPECT_FLOAT_EQ(convert_unit(buf, UNIT_PCT, UNIT_PX, es.get(), 1, 0, 0.f), 250.f);
    EXPECT_NEAR(convert_unit(nullptr, UNIT_ST, UNIT_PX, es.get(), 0, 0, 12.f), 59.96f, 0.02f);

    // Unreadable notes and unknown units give 0; the buffer stays as it was.
    strcpy(buf, "H4");
    EXPECT_EQ(convert_unit(buf, UNIT_NOTE, UNIT_PX, es.get(), 0, 0, 0.f), 0.f);
    strcpy(buf, "kept");
    EXPECT_TRUE(convert_unit(buf, UNIT_PX, UNIT_NONE, es.get(), 0, 1, 3.f) == 0.f && !strcmp(buf, "kept"));
    EXPECT_EQ(convert_unit(nullptr, UNIT_HZ, UNIT_SEC, es.get(), 0, 0, 3.f), 0.f);
}

} // namespace
