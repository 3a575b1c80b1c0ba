// Configuration file: defaults, reading rules, round trips and malformed files.
#include "files/config.h"
#include "core/state.h"
#include "core/units.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

namespace {

// Each test gets its own data folder and a clean program state.
struct ConfigTest : testing::Test {
    ScopedDataHome home;
    std::string path() const { return home.appdata("config.txt"); }
    void SetUp() override
    {
        state_reset();
        settings_defaults();
    }
    // Writes `text` as the configuration file and loads it.
    void load_with(const std::string& text)
    {
        std::filesystem::create_directories(home.dir.path + "/Brindlewharf");
        write_file(path(), text);
        config_load();
    }
};

std::string line_of(const std::string& text, const std::string& name)
{
    size_t at = text.find(name + " = ");
    if (at == std::string::npos)
        return "";
    return text.substr(at, text.find('\n', at) - at);
}

} // namespace

TEST_F(ConfigTest, MissingFileIsCreatedWithDefaultsAndQueuesLinearKnobs)
{
    testing::internal::CaptureStderr();
    config_load();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Configuration file not found. Creating it.\n"), std::string::npos);
    EXPECT_TRUE(key[K_LINEAR_KNOB] == 1 && SOUND_SAMPLERATE == 44100);
    EXPECT_EQ(std::vector<int>({key[K_TIME_UNIT], key[K_POS_UNIT], key[K_DIM_UNIT]}),
              std::vector<int>({UNIT_SEC, UNIT_HZ, UNIT_ST}));
    // Every setting on a line of its own with its default (the round trip is the next test's).
    const std::string text = read_file(path());
    EXPECT_EQ(std::count(text.begin(), text.end(), '='), 25) << text;
    for (const char* line : {"audio_sample_rate = 44100", "min_frequency = 27.5", "history_dim_unit = st", "window_width = 0"})
        EXPECT_EQ(line_of(text, std::string(line).substr(0, std::string(line).find(' '))), line);
}

TEST_F(ConfigTest, ReadingAFileJustWrittenChangesNothing)
{
    load_with("audio_sample_rate = 48000\nmin_frequency = 55.5\nbands_per_octave = 36\n"
              "history_time_unit = px\nhistory_pos_unit = note\nhistory_dim_unit = %\n"
              "history_relative_selection_index = 1\nsave_to_pcm_24 = 1\nwindow_width = 1024\n"
              "window_height = 700\nlinear_knob_control = 1\nselection_feather = 6.5\ntool_width = 33\n"
              "tool_intensity = 0.4\n");
    std::string first = read_file(path());
    EXPECT_TRUE(SOUND_SAMPLERATE == 48000 && MIN_FREQ == 55.5f && selection_feather == 6.5f);
    EXPECT_EQ(std::vector<int>({key[K_TIME_UNIT], key[K_POS_UNIT], key[K_DIM_UNIT]}),
              std::vector<int>({UNIT_PX, UNIT_NOTE, UNIT_PCT}));
    EXPECT_EQ(line_of(first, "history_time_unit"), "history_time_unit = px");
    EXPECT_EQ(line_of(first, "history_pos_unit"), "history_pos_unit = note");

    // Tool lines are read, and written only when the panel exists to give its knobs.
    EXPECT_TRUE(tool_width == 33.f && tool_intensity == 0.4f);
    EXPECT_EQ(first.find("tool_width"), std::string::npos);
    // The state slot of linear knob control is flipped by the main loop; do it here.
    key[K_LINEAR_KNOB] = 0;
    key[state_of(K_LINEAR_KNOB)] = 1;
    config_tool_knobs = [](float* w, float* i) { return *w = 12.5f, *i = 0.75f, true; };
    config_save(1);
    std::string second = read_file(path());
    EXPECT_EQ(line_of(second, "tool_width") + ", " + line_of(second, "tool_intensity"), "tool_width = 12.5, tool_intensity = 0.75");
    EXPECT_LT(second.find("tool_intensity"), second.find("linear_knob_control"));
    settings_defaults();
    config_load();
    config_tool_knobs = nullptr;
    EXPECT_EQ(read_file(path()), second);
    EXPECT_EQ(line_of(second, "selection_feather"), "selection_feather = 6.5");
    // linear knobs (stored state equals the current one: nothing queued), rate, window
    EXPECT_EQ(std::vector<int>({key[K_LINEAR_KNOB], SOUND_SAMPLERATE, SCRN_W, SCRN_H}), std::vector<int>({0, 48000, 1024, 700}));
}

// Window sizes below the minima are raised (0 is the automatic size); an unknown unit gives 0
// and a message, and is written back as the empty name that reads again quietly; the minimum
// point size is read but never written; live synthesis stored on queues its toggle.
TEST_F(ConfigTest, LinesWithRulesOfTheirOwn)
{
    for (auto [text, w, h] : {std::tuple{"window_width = 150\n", MIN_SCRN_W, 0},
                              {"window_width = 0\nwindow_height = 0\n", 0, 0},
                              {"window_width = -5\nwindow_height = 100\n", MIN_SCRN_W, MIN_SCRN_H}}) {
        load_with(text);
        EXPECT_TRUE(SCRN_W == w && SCRN_H == h) << text << SCRN_W << " x " << SCRN_H;
        EXPECT_EQ(line_of(read_file(path()), "window_width"), "window_width = " + std::to_string(w));
    }
    for (int again = 0; again < 2; again++) {
        testing::internal::CaptureStderr();
        again ? config_load() : load_with("history_time_unit = fortnights\n");
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.find(again ? "Unrecognised" : "Unrecognised unit: fortnights\n") != std::string::npos, !again) << err;
        EXPECT_EQ(key[K_TIME_UNIT], 0);
    }
    load_with("min_point_size = 3.5\n");
    EXPECT_FLOAT_EQ(min_rad, 3.5f);
    EXPECT_EQ(read_file(path()).find("min_point_size"), std::string::npos);
    load_with("live_synth_on = 1\n");
    EXPECT_EQ(key[K_LIVE_SYNTH], 1);
    state_reset();
    load_with("live_synth_on = 0\n");
    EXPECT_EQ(key[K_LIVE_SYNTH], 0);
}

TEST_F(ConfigTest, MalformedLinesAreIgnored)
{
    std::string junk = "audio_sample_rate = 22050\n";
    junk += std::string(5000, 'x') + " = 7\n";                 // longer than a line buffer
    junk += "spray_harmonics " + std::string(3000, '9') + "\n"; // long and without "="
    junk += "waveform_display_height 80\n";                      // missing "="
    junk += std::string("\x01\x02\xff\xfe = \x80\x81\n", 10);    // binary junk
    junk += std::string("cursor_slow_rate = 8\0garbage\n", 29);
    junk += "pixels_per_second = nan\n";                           // not a usable number
    junk += "min_bpo = banana\n";                                  // text that is not a number gives 0
    junk += "= 5\n\n   \nunknown_setting = 3\n";
    junk += "audio_buffer_size = 99999999999999999999\n";
    junk += "selection_feather = 65\n";                           // above its range: the default stays
    junk += "max_frequency=16000";                                 // no spaces, no final newline
    testing::internal::CaptureStderr();
    load_with(junk);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::vector<double>({(double)SOUND_SAMPLERATE, (double)WAVEFORM_H, (double)spray_harmonics, (double)mouse_sub_range,
                                   ANAL_PPS, MIN_BPO, (double)SOUND_BUFFERLEN, MAX_FREQ, selection_feather}),
              std::vector<double>({22050, 55, 100, 8, 100, 24, 2147483647, 16000, 3})); // MIN_BPO 0 lies outside its range: the default stays
}
