#include "ui/option_model.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace twr {
namespace {

namespace fs = std::filesystem;
using testing::ReadText;

class OptionModelTest : public ::testing::Test {
protected:
    Config WithFile(const std::string& content) {
        testing::WriteText(path_, content);
        return Config(path_);
    }
    std::string Saved(Config& config) {
        EXPECT_TRUE(config.Save().Saved);
        return ReadText(path_);
    }

    testing::TempDir dir_;
    fs::path path_ = dir_ / "recorder_config.json";
};

TEST_F(OptionModelTest, NotificationsAppendTheirKeysInSavingOrder) {
    // Boxes as the dialog shows them on a file without any of the keys.
    Config config = WithFile("{\"x\": 1}");
    OptionModel::WriteNotifications(config, [&](int id) {
        for (const auto& s : OptionModel::NotificationSwitches())
            if (s.Id == id) return config.Data().GetBool(s.Key, s.Default);
        ADD_FAILURE() << "unknown box " << id;
        return false;
    });
    EXPECT_EQ(Saved(config),
              "{\n"
              "    \"x\": 1,\n"
              "    \"notify_start_stop\": true,\n"
              "    \"notify_split\": true,\n"
              "    \"notify_error\": true,\n"
              "    \"notify_drive_disconnect\": true,\n"
              "    \"notify_mic_disconnect\": true,\n"
              "    \"speak_in_focus_only\": false,\n"
              "    \"auto_resume_unattended\": false,\n"
              "    \"confirm_exit\": true\n"
              "}");
    // Existing keys keep their places and take the new states.
    OptionModel::WriteNotifications(config, [](int id) { return id == 1106; });
    EXPECT_EQ(config.Data().Keys().back(), "confirm_exit");
    EXPECT_TRUE(config.Data().GetBool("confirm_exit", false));
    EXPECT_FALSE(config.Data().GetBool("notify_split", true));
}

TEST_F(OptionModelTest, SoundsVolumeShownClampedAndSavedAfterTheSwitches) {
    const struct {
        const char* file;
        int shown;
    } cases[] = {{"{}", 100}, {R"({"snd_volume": 0})", 1}, {R"({"snd_volume": 250})", 100},
                 {R"({"snd_volume": "40"})", 40}, {R"({"snd_volume": "loud"})", 100}};
    for (const auto& c : cases) EXPECT_EQ(OptionModel::ShownVolume(WithFile(c.file)), c.shown) << c.file;

    Config config = WithFile(R"({"snd_volume": 0, "snd_stop_sound": "Old"})");
    OptionModel::WriteSounds(config, {true, false, true, false}, OptionModel::ShownVolume(config),
                             {"Rising Sweep", "None", "Falling Sweep", "High Double Beep"});
    EXPECT_EQ(Saved(config),
              "{\n"
              "    \"snd_volume\": 1,\n"
              "    \"snd_stop_sound\": \"None\",\n"
              "    \"snd_start\": true,\n"
              "    \"snd_stop\": false,\n"
              "    \"snd_pause\": true,\n"
              "    \"snd_unpause\": false,\n"
              "    \"snd_start_sound\": \"Rising Sweep\",\n"
              "    \"snd_pause_sound\": \"Falling Sweep\",\n"
              "    \"snd_unpause_sound\": \"High Double Beep\"\n"
              "}");
}

TEST_F(OptionModelTest, ChannelsSaveRoutesThenTheSwitch) {
    Config config = WithFile(R"({"continue_on_mic_disconnect": true})");
    OptionModel::WriteChannels(config, "Left Channel Only", "Both Channels", false);
    EXPECT_EQ(Saved(config),
              "{\n"
              "    \"continue_on_mic_disconnect\": false,\n"
              "    \"in1_route\": \"Left Channel Only\",\n"
              "    \"in2_route\": \"Both Channels\"\n"
              "}");
}

}  // namespace
}  // namespace twr
