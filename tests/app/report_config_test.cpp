#include "app/report_config.h"

#include <gtest/gtest.h>

#include "app/config.h"
#include "app/errors.h"
#include "test_support.h"

namespace twr {
namespace {

namespace fs = std::filesystem;

class ConfigReportTest : public ::testing::Test {
protected:
    ConfigReport Report(const std::string& text, std::string_view decimalSeparator = ".") {
        testing::WriteText(path_, text);
        return BuildConfigReport(path_, devices_, decimalSeparator);
    }

    testing::TempDir dir_;
    testing::LogCapture log_;
    fs::path path_ = dir_ / "recorder_config.json";
    std::function<std::vector<AudioDevice>()> devices_ = [] {
        return std::vector<AudioDevice>{{"{mic}", "Microphone", false}, {"{spk}", "Speakers", true}};
    };
};

std::vector<std::string> Slice(const ConfigReport& r, const std::string& header) {
    auto it = std::find(r.lines.begin(), r.lines.end(), header);
    EXPECT_NE(it, r.lines.end()) << header;
    std::vector<std::string> out;
    for (++it; it != r.lines.end() && !it->empty(); ++it) out.push_back(*it);
    return out;
}

TEST_F(ConfigReportTest, NoFile) {
    auto r = BuildConfigReport(path_, devices_, ".");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.lines, (std::vector<std::string>{"Config file : " + path_.string(), "Exists      : False", "",
                                                 "No configuration file yet; defaults would be used."}));
}

TEST_F(ConfigReportTest, EmptyObjectShowsEveryDefault) {
    auto r = Report("{}");
    EXPECT_EQ(r.exitCode, 0);
    const std::pair<std::string, std::string> rows[] = {
        {"save_folder", Config::AppFolder().string()}, {"sample_rate", "48000"}, {"bit_depth", "24"},
        {"channels", "2"}, {"buffer_size", "2048"}, {"filename_prefix", "\"\""}, {"auto_start", "False"},
        {"auto_start_delay", "0 s"}, {"auto_split_secs", "0 s"}, {"max_length_secs", "0 s"},
        {"group_splits", "True"}, {"in1_route", "Both Channels"}, {"in2_route", "Both Channels"},
        {"in1_gain / in2_gain", "1 / 0.5"}, {"window_title", "Tapewright"}, {"confirm_exit", "True"},
        {"speak_in_focus_only", "False"}, {"auto_resume_unattended", "False"},
        {"continue_on_mic_disconnect", "False"}, {"check_updates_startup", "True"}, {"snd_volume", "100"},
        {"sound for start", "Rising Sweep"}, {"sound for stop", "Falling Sweep"},
        {"sound for pause", "Low Double Beep"}, {"sound for unpause", "High Double Beep"},
        {"device_id", ""}, {"device2_id", "none"},
    };
    std::vector<std::string> expected = {"Config file : " + path_.string(), "Exists      : True", "",
                                         "As read by this build:"};
    for (const auto& [label, value] : rows)
        expected.push_back("  " + label + std::string(27 - label.size(), ' ') + value);  // a 26-wide column
    expected.insert(expected.end(), {"", "Device resolution:", "  Input 1  NOT CONNECTED", "  Input 2  not configured",
                                     "", "Keys present in the file that this build does not use:", "  none", "",
                                     "Nothing was written. This command is read-only."});
    EXPECT_EQ(r.lines, expected);
}

TEST_F(ConfigReportTest, ValuesAsReadAfterMigration) {
    auto r = Report(R"({"auto_split_mins": 2, "snd_pause": false, "in1_gain": "0.8", "device_id": "{mic}",
                       "device2_id": "{gone}", "filename_prefix": "Talk", "Sample_Rate": 1, "future_key": null})");
    auto rows = Slice(r, "As read by this build:");
    for (const char* line : {"  auto_split_secs            120 s",
                             "  sound for pause            Low Double Beep  (disabled)",
                             "  in1_gain / in2_gain        0.8 / 0.5", "  filename_prefix            \"Talk\""})
        EXPECT_NE(std::find(rows.begin(), rows.end(), line), rows.end()) << line;
    EXPECT_EQ(Slice(r, "Device resolution:"),
              (std::vector<std::string>{"  Input 1  FOUND   Input: Microphone", "  Input 2  NOT CONNECTED"}));
    // A case variant of a known key is unknown; the legacy key is known even though it migrated.
    EXPECT_EQ(Slice(r, "Keys present in the file that this build does not use:"),
              (std::vector<std::string>{"  Sample_Rate   (preserved on save)", "  future_key   (preserved on save)"}));
}

// The gains read as the user writes numbers, whatever the separator; whole gains have none.
TEST_F(ConfigReportTest, GainsUseTheUsersDecimalSeparator) {
    const struct {
        const char* file;
        const char* separator;
        const char* row;
    } cases[] = {
        {"{}", ",", "  in1_gain / in2_gain        1 / 0,5"},
        {R"({"in1_gain": 0.8, "in2_gain": 2})", ",", "  in1_gain / in2_gain        0,8 / 2"},
        {R"({"in1_gain": 1.25})", "\u066b", "  in1_gain / in2_gain        1\u066b25 / 0\u066b5"},  // not only one byte
        {"{}", ".", "  in1_gain / in2_gain        1 / 0.5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " with " + c.separator);
        auto rows = Slice(Report(c.file, c.separator), "As read by this build:");
        EXPECT_NE(std::find(rows.begin(), rows.end(), c.row), rows.end());
    }
    EXPECT_EQ(LocalNumberText(-0.125, ","), "-0,125");
    EXPECT_EQ(LocalNumberText(1.5e-7, ","), "1,5E-07");
}

TEST_F(ConfigReportTest, ProblemsAreReportedAndTheReportGoesOn) {
    devices_ = []() -> std::vector<AudioDevice> { throw ComError("Could not create MMDeviceEnumerator"); };
    auto r = Report("{ this is not json");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Slice(r, "Device resolution:"),
              (std::vector<std::string>{"  device enumeration failed: Could not create MMDeviceEnumerator"}));
    EXPECT_EQ(Slice(r, "Keys present in the file that this build does not use:"),
              (std::vector<std::string>{"  could not parse the file: Expected string at 2"}));
    EXPECT_EQ(r.lines.back(), "Nothing was written. This command is read-only.");
}

}  // namespace
}  // namespace twr
