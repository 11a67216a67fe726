#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "app/config.h"
#include "test_support.h"

namespace twr {
namespace {

namespace fs = std::filesystem;
using testing::ReadText;
using Texts = std::vector<std::string>;

class ConfigTest : public ::testing::Test {
protected:
    Config WithFile(const std::string& content) {
        testing::WriteText(path_, content);
        return Config(path_);
    }

    testing::TempDir dir_;
    testing::LogCapture log_{dir_ / "twr_diagnostic.log"};
    fs::path path_ = dir_ / "recorder_config.json";
};

TEST_F(ConfigTest, MissingFileGivesDefaultsAndWritesNothing) {
    const Config c(path_);
    EXPECT_EQ(c.SampleRate(), "48000");
    EXPECT_EQ(c.DeviceSortOrder(), "Inputs First");
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_EQ(log_.Text(), "");
}

TEST_F(ConfigTest, LegacySplitMinutesMigrate) {
    const struct {
        const char* file;
        const char* saved;  // what the next Save writes
    } cases[] = {
        {"{\"auto_split_mins\": 5}", "{\n    \"auto_split_secs\": 300\n}"},
        {"{\"auto_split_secs\": 10, \"x\": 1, \"auto_split_mins\": 1}",
         "{\n    \"auto_split_secs\": 60,\n    \"x\": 1\n}"},
        {"{\"auto_split_mins\": 2.5, \"x\": true}", "{\n    \"x\": true,\n    \"auto_split_secs\": 120\n}"},
        {"{\"auto_split_mins\": \"3\"}", "{\n    \"auto_split_secs\": 180\n}"},
        {"{\"auto_split_mins\": \"soon\"}", "{\n    \"auto_split_secs\": 0\n}"},
        // 40 million minutes do not fit 32 bits as seconds: the largest value, not a wrapped one.
        {"{\"auto_split_mins\": 40000000}", "{\n    \"auto_split_secs\": 2147483647\n}"},
        {"{\"auto_split_mins\": -40000000}", "{\n    \"auto_split_secs\": -2147483648\n}"},
    };
    for (const auto& c : cases) {
        Config config = WithFile(c.file);
        EXPECT_FALSE(config.Data().Contains("auto_split_mins")) << c.file;
        EXPECT_EQ(ReadText(path_), c.file);  // loading alone never writes
        config.Save();
        EXPECT_EQ(ReadText(path_), c.saved) << c.file;
    }
}

TEST_F(ConfigTest, UnknownKeysRoundTripByteForByte) {
    // A file as the program writes it, with keys it does not know of every kind.
    const std::string head =
        "{\n"
        "    \"zz_text\": \"keep \\\"me\\\" \\u0001 \xE2\x82\xAC\",\n"
        "    \"sample_rate\": \"44100\",\n"
        "    \"zz_number\": 0.1,\n"
        "    \"zz_big\": 1E+300,\n"
        "    \"zz_small\": -1.5E-07,\n"
        "    \"zz_bool\": true,\n"
        "    \"zz_null\": null,\n";
    Config c = WithFile(head + "    \"snd_volume\": 80\n}");
    c.Save();
    EXPECT_EQ(ReadText(path_), head + "    \"snd_volume\": 80\n}");
    // An existing key keeps its place; new ones go to the end.
    c.Set("snd_volume", 40);
    c.Set("auto_split_secs", 600);
    c.Data().Set("group_splits", false);
    c.Save();
    EXPECT_EQ(ReadText(path_), head +
                                   "    \"snd_volume\": 40,\n"
                                   "    \"auto_split_secs\": 600,\n"
                                   "    \"group_splits\": false\n"
                                   "}");
    EXPECT_FALSE(fs::exists(dir_ / "recorder_config.json.tmp"));
    EXPECT_EQ(Config(path_).Data(), c.Data());
}

std::string Utf16Le(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t u : text) bytes += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    return bytes;
}

TEST_F(ConfigTest, TextGettersConvertOtherTypesAndAnyEncodingReads) {
    const Config c = WithFile(Utf16Le(u"{\"sample_rate\": 44100, \"window_title\": \"\u00e9\", \"save_folder\": \"\"} junk"));
    EXPECT_EQ(c.SampleRate(), "44100");
    EXPECT_EQ(c.WindowTitle(), "\xC3\xA9");
    EXPECT_EQ(c.SaveFolder(), Config::AppFolder());
    EXPECT_EQ(WithFile("{\"save_folder\": \"/x/y\"}").SaveFolder(), fs::path("/x/y"));
}

TEST_F(ConfigTest, GainRule) {
    const struct { const char* file; double in1, in2; } cases[] = {
        {"{\"device2_id\": \"\"}", 1.0, 0.5}, {"{\"device2_id\": \"none\"}", 1.0, 0.5},
        {"{\"device2_id\": \"{0.0.1.00000000}.{abc}\"}", 0.5, 0.5},
        {"{\"in1_gain\": \"0.8\", \"in2_gain\": 0.25}", 0.8, 0.25},
        {"{\"in1_gain\": \"0,8\", \"in2_gain\": \"x\"}", 1.0, 0.5},
        {"{\"in1_gain\": \" +1.5e0 \", \"in2_gain\": \"-2\"}", 1.5, -2.0},
        {"{\"in1_gain\": true, \"in2_gain\": null}", 1.0, 0.5},
        {"{\"in1_gain\": 0, \"device2_id\": \"dev\"}", 0.0, 0.5},
    };
    for (const auto& c : cases) {
        const Config config = WithFile(c.file);
        EXPECT_EQ(config.In1Gain(), c.in1) << c.file;
        EXPECT_EQ(config.In2Gain(), c.in2) << c.file;
    }
}

TEST_F(ConfigTest, SoundSettings) {
    Config c = WithFile(
        "{\"snd_start_sound\": \"rising SWEEP\", \"snd_stop_sound\": \"No Such Cue\","
        " \"snd_pause_sound\": \"\", \"snd_unpause_sound\": 5, \"snd_stop\": false,"
        " \"snd_pause\": \"FALSE\", \"snd_split\": false}");
    // A known cue in any letter case is kept as written; anything else falls back to the default.
    EXPECT_EQ((Texts{c.SoundFor("start"), c.SoundFor("stop"), c.SoundFor("pause"), c.SoundFor("unpause"),
                     c.SoundFor("other")}),
              (Texts{"rising SWEEP", "Falling Sweep", "Low Double Beep", "High Double Beep", "None"}));
    // Only the four events have switches, and their names are exact.
    EXPECT_EQ((std::vector<bool>{c.SndEnabled("start"), c.SndEnabled("stop"), c.SndEnabled("pause"),
                                 c.SndEnabled("split"), c.SndEnabled("Stop")}),
              (std::vector<bool>{true, false, false, true, true}));
    c.SetSoundFor("stop", "Soft Chime");
    EXPECT_EQ(c.SoundFor("stop"), "Soft Chime");
}

TEST_F(ConfigTest, UnreadableFileGivesDefaultsAndIsKeptAsBadCopy) {
    const std::string broken = "{\"sample_rate\": \"44100\", oops}";
    Config c = WithFile(broken);
    EXPECT_EQ(c.SampleRate(), "48000");
    EXPECT_TRUE(log_.Has("WARNING", "Config parse failed, using defaults: Expected string at 25")) << log_.Text();
    EXPECT_EQ(ReadText(path_), broken);
    c.Set("snd_volume", 10);
    c.Save();
    EXPECT_EQ(ReadText(dir_ / "recorder_config.json.bad"), broken);
    EXPECT_EQ(ReadText(path_), "{\n    \"snd_volume\": 10\n}");
    EXPECT_TRUE(log_.Has("WARNING", "Unreadable settings file kept as ", false));
    // Later saves do not overwrite the kept copy.
    c.Set("snd_volume", 20);
    c.Save();
    EXPECT_EQ(ReadText(dir_ / "recorder_config.json.bad"), broken);
}

TEST_F(ConfigTest, FailedSaveLogsAndLeavesFileUnchanged) {
    const std::string file = "{\n    \"snd_volume\": 80\n}";
    Config c = WithFile(file);
    c.Set("snd_volume", 10);
    // The temp file cannot be created: a folder stands in its place.
    fs::create_directories(dir_ / "recorder_config.json.tmp");
    const Config::SaveResult result = c.Save();
    EXPECT_FALSE(result.Saved);
    EXPECT_NE(result.Error, "");
    EXPECT_EQ(ReadText(path_), file);
    EXPECT_TRUE(log_.Has("ERROR", "Failed to save config: ", false)) << log_.Text();
    EXPECT_EQ(c.Data().GetInt("snd_volume", 0), 10);

    EXPECT_FALSE(Config(dir_ / "missing_folder" / "recorder_config.json").Save().Saved);
    // Once the obstacle is gone the same values save.
    fs::remove(dir_ / "recorder_config.json.tmp");
    EXPECT_TRUE(c.Save().Saved);
    EXPECT_EQ(ReadText(path_), "{\n    \"snd_volume\": 10\n}");
    EXPECT_FALSE(fs::exists(dir_ / "missing_folder"));
}

struct ScopedEnv {
    ScopedEnv(const char* name, const std::string& value) : name(name) {
        if (const char* was = std::getenv(name)) old = was;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { old ? ::setenv(name, old->c_str(), 1) : ::unsetenv(name); }
    const char* name;
    std::optional<std::string> old;
};

TEST_F(ConfigTest, AppDataDirFollowsLocalAppDataOrProfile) {
    {
        ScopedEnv local("LOCALAPPDATA", platform::PathText(dir_ / "local"));
        EXPECT_EQ(Config().Path(), dir_ / "local" / "Tapewright" / "recorder_config.json");
    }
    ScopedEnv local("LOCALAPPDATA", "");
    ScopedEnv home("HOME", platform::PathText(dir_ / "home"));
    EXPECT_EQ(Config::AppDataPathUnchecked(), dir_ / "home" / "Tapewright");
    EXPECT_FALSE(fs::exists(dir_ / "home"));
    EXPECT_EQ(Config::AppDataDir(), dir_ / "home" / "Tapewright");
    EXPECT_TRUE(fs::is_directory(dir_ / "home" / "Tapewright"));
}

}  // namespace
}  // namespace twr
