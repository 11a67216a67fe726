#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "app/config.h"
#include "app/log.h"
#include "app/platform.h"

namespace twr {
namespace {

namespace fs = std::filesystem;

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("twr_config_test_" + std::to_string(platform::ProcessId()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = dir_ / "recorder_config.json";
        Log::SetPathForTesting(dir_ / "twr_diagnostic.log");
    }
    void TearDown() override {
        Log::SetPathForTesting({});
        fs::remove_all(dir_);
    }
    static std::string Read(const fs::path& p) {
        std::ifstream f(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }
    static void Write(const fs::path& p, const std::string& s) {
        std::ofstream f(p, std::ios::binary);
        f << s;
    }
    std::string LogText() const { return Read(dir_ / "twr_diagnostic.log"); }
    Config WithFile(const std::string& content) {
        Write(path_, content);
        return Config(path_);
    }

    fs::path dir_, path_;
};

TEST_F(ConfigTest, MissingFileGivesDefaultsAndWritesNothing) {
    const Config c(path_);
    EXPECT_EQ(c.SaveFolder(), Config::AppFolder());
    EXPECT_EQ(c.SampleRate(), "48000");
    EXPECT_EQ(c.BitDepth(), "24");
    EXPECT_EQ(c.Channels(), "2");
    EXPECT_EQ(c.FilenamePrefix(), "");
    EXPECT_EQ(c.DeviceId(), "");
    EXPECT_EQ(c.Device2Id(), "none");
    EXPECT_EQ(c.In1Route(), "Both Channels");
    EXPECT_EQ(c.In2Route(), "Both Channels");
    EXPECT_EQ(c.WindowTitle(), "Tapewright");
    EXPECT_EQ(c.DeviceSortOrder(), "Inputs First");
    EXPECT_EQ(c.In1Gain(), 1.0);
    EXPECT_EQ(c.In2Gain(), 0.5);
    EXPECT_FALSE(c.HasSecondInput());
    for (const auto& e : Config::SoundEvents()) EXPECT_TRUE(c.SndEnabled(e));
    EXPECT_EQ(c.SoundFor("start"), "Rising Sweep");
    EXPECT_EQ(c.SoundFor("stop"), "Falling Sweep");
    EXPECT_EQ(c.SoundFor("pause"), "Low Double Beep");
    EXPECT_EQ(c.SoundFor("unpause"), "High Double Beep");
    EXPECT_EQ(Config::DefaultSoundFor("split"), "None");
    EXPECT_EQ(Config::SoundEvents(), (std::vector<std::string>{"start", "stop", "pause", "unpause"}));
    EXPECT_EQ(c.Data().GetInt("buffer_size", Config::kDefaultBufferSize), 2048);
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_EQ(LogText(), "");
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
        // Loading alone never writes.
        EXPECT_EQ(Read(path_), c.file);
        config.Save();
        EXPECT_EQ(Read(path_), c.saved) << c.file;
    }
}

TEST_F(ConfigTest, UnknownKeysKeepValueAndPlaceThroughSave) {
    const std::string file =
        "{\n"
        "    \"zz_text\": \"hello \\\"world\\\"\",\n"
        "    \"sample_rate\": \"44100\",\n"
        "    \"zz_number\": 12.75,\n"
        "    \"zz_bool\": true,\n"
        "    \"zz_null\": null,\n"
        "    \"snd_volume\": 80\n"
        "}";
    Config c = WithFile(file);
    c.Save();
    EXPECT_EQ(Read(path_), file);
    c.Set("snd_volume", 40);
    c.Set("auto_split_secs", 600);
    c.Data().Set("group_splits", false);
    c.Save();
    EXPECT_EQ(Read(path_),
              "{\n"
              "    \"zz_text\": \"hello \\\"world\\\"\",\n"
              "    \"sample_rate\": \"44100\",\n"
              "    \"zz_number\": 12.75,\n"
              "    \"zz_bool\": true,\n"
              "    \"zz_null\": null,\n"
              "    \"snd_volume\": 40,\n"
              "    \"auto_split_secs\": 600,\n"
              "    \"group_splits\": false\n"
              "}");
    EXPECT_FALSE(fs::exists(dir_ / "recorder_config.json.tmp"));
    EXPECT_EQ(Config(path_).Data(), c.Data());
}

TEST_F(ConfigTest, TextGettersConvertOtherTypes) {
    const Config c = WithFile(
        "{\"sample_rate\": 44100, \"bit_depth\": 16.5, \"channels\": true, \"window_title\": null,"
        " \"device_id\": [1], \"save_folder\": \"\"}");
    EXPECT_EQ(c.SampleRate(), "44100");
    EXPECT_EQ(c.BitDepth(), "16.5");
    EXPECT_EQ(c.Channels(), "true");
    EXPECT_EQ(c.WindowTitle(), "Tapewright");
    EXPECT_EQ(c.DeviceId(), "");
    EXPECT_EQ(c.SaveFolder(), Config::AppFolder());
    EXPECT_EQ(WithFile("{\"save_folder\": \"/x/y\"}").SaveFolder(), fs::path("/x/y"));
}

TEST_F(ConfigTest, GainRule) {
    const struct {
        const char* file;
        double in1, in2;
    } cases[] = {
        {"{}", 1.0, 0.5},
        {"{\"device2_id\": \"\"}", 1.0, 0.5},
        {"{\"device2_id\": \"none\"}", 1.0, 0.5},
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
    EXPECT_EQ(c.SoundFor("start"), "rising SWEEP");
    EXPECT_EQ(c.SoundFor("stop"), "Falling Sweep");
    EXPECT_EQ(c.SoundFor("pause"), "Low Double Beep");
    EXPECT_EQ(c.SoundFor("unpause"), "High Double Beep");
    EXPECT_EQ(c.SoundFor("other"), "None");
    EXPECT_TRUE(c.SndEnabled("start"));
    EXPECT_FALSE(c.SndEnabled("stop"));
    EXPECT_FALSE(c.SndEnabled("pause"));
    EXPECT_TRUE(c.SndEnabled("split"));
    EXPECT_TRUE(c.SndEnabled("Stop"));  // event names are exact
    c.SetSoundFor("stop", "Soft Chime");
    EXPECT_EQ(c.SoundFor("stop"), "Soft Chime");
    c.SetSoundFor("new", "Soft Chime");
    EXPECT_EQ(c.Data().Keys().back(), "snd_new_sound");
    EXPECT_EQ(c.Data().Keys()[1], "snd_stop_sound");
}

TEST_F(ConfigTest, SetKeepsPlaceOfExistingKey) {
    Config c(path_);
    c.Data().Set("a", "x");
    c.Set("snd_volume", 40);
    c.Data().Set("b", true);
    c.Set("snd_volume", 55);
    EXPECT_EQ(c.Data().Keys(), (std::vector<std::string>{"a", "snd_volume", "b"}));
    EXPECT_EQ(c.Data().GetInt("snd_volume", 0), 55);
}

TEST_F(ConfigTest, UnreadableFileGivesDefaultsAndIsKeptAsBadCopy) {
    const std::string broken = "{\"sample_rate\": \"44100\", oops}";
    Config c = WithFile(broken);
    EXPECT_EQ(c.SampleRate(), "48000");
    EXPECT_NE(LogText().find(" - WARNING - Config parse failed, using defaults: Expected string at 25\r\n"),
              std::string::npos)
        << LogText();
    EXPECT_EQ(Read(path_), broken);
    c.Set("snd_volume", 10);
    c.Save();
    EXPECT_EQ(Read(dir_ / "recorder_config.json.bad"), broken);
    EXPECT_EQ(Read(path_), "{\n    \"snd_volume\": 10\n}");
    EXPECT_NE(LogText().find(" - WARNING - Unreadable settings file kept as "), std::string::npos);
    // Later saves do not overwrite the kept copy.
    c.Set("snd_volume", 20);
    c.Save();
    EXPECT_EQ(Read(dir_ / "recorder_config.json.bad"), broken);
}

std::string Utf16Le(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t u : text) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>(u >> 8);
    }
    return bytes;
}

TEST_F(ConfigTest, EncodingsAndTrailingText) {
    const struct {
        std::string bytes;
        const char* title;
    } cases[] = {
        {"\xEF\xBB\xBF{\"window_title\": \"A\"}", "A"},
        {Utf16Le(u"{\"window_title\":\"\u00e9\"}"), "\xC3\xA9"},
        {"{\"window_title\": \"B\"} trailing junk", "B"},
    };
    for (const auto& c : cases) EXPECT_EQ(WithFile(c.bytes).WindowTitle(), c.title);
}

TEST_F(ConfigTest, FailedSaveLogsAndLeavesFileUnchanged) {
    const std::string file = "{\n    \"snd_volume\": 80\n}";
    Config c = WithFile(file);
    c.Set("snd_volume", 10);
    // The temp file cannot be created: a folder stands in its place.
    fs::create_directories(dir_ / "recorder_config.json.tmp");
    c.Save();
    EXPECT_EQ(Read(path_), file);
    EXPECT_NE(LogText().find(" - ERROR - Failed to save config: "), std::string::npos) << LogText();
    EXPECT_EQ(c.Data().GetInt("snd_volume", 0), 10);

    Config elsewhere(dir_ / "missing_folder" / "recorder_config.json");
    elsewhere.Save();
    EXPECT_FALSE(fs::exists(dir_ / "missing_folder"));
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST_F(ConfigTest, AppDataDirFollowsLocalAppDataOrProfile) {
    {
        ScopedEnv local("LOCALAPPDATA", platform::PathText(dir_ / "local"));
        EXPECT_EQ(Config::AppDataDir(), dir_ / "local" / "Tapewright");
        EXPECT_TRUE(fs::is_directory(dir_ / "local" / "Tapewright"));
        EXPECT_EQ(Config().Path(), dir_ / "local" / "Tapewright" / "recorder_config.json");
    }
    {
        ScopedEnv local("LOCALAPPDATA", "");
        ScopedEnv home("HOME", platform::PathText(dir_ / "home"));
        EXPECT_EQ(Config::AppDataPathUnchecked(), dir_ / "home" / "Tapewright");
        EXPECT_FALSE(fs::exists(dir_ / "home"));
        EXPECT_EQ(Config::AppDataDir(), dir_ / "home" / "Tapewright");
        EXPECT_TRUE(fs::is_directory(dir_ / "home" / "Tapewright"));
    }
}

}  // namespace
}  // namespace twr
