#include "ui/option_model.h"

#include <algorithm>

#include "ui/dialog_builder.h"

namespace twr {

using B = DialogBuilder;

std::vector<uint8_t> OptionModel::NotificationsTemplate() {
    B b("Notification Settings", 300, 172, B::kDialogStyle, B::kExControlParent);
    int y = 8;
    for (const auto& s : NotificationSwitches()) {
        b.Add(B::kCheckBox, 8, y, 284, 14, s.Id, s.Label);
        y += 16;
    }
    b.Add(B::kDefPushButton, 8, 142, 80, 16, 1, "Save && Close");
    return b.Build();
}

std::vector<uint8_t> OptionModel::SoundsTemplate() {
    B b("Configure Sounds", 300, 130, B::kDialogStyle, B::kExControlParent);
    int y = 8;
    for (const auto& row : SoundRows()) {
        b.Add(B::kCheckBox, 8, y + 1, 118, 13, row.CheckId, row.Label);
        b.Add(B::kDropDownList, 132, y, 160, 120, row.ListId, "");
        y += 18;
    }
    b.Add(B::kLabel, 8, 84, 100, 10, -1, "Sound Effects &Volume:");
    b.Add(B::kEditBox, 132, 80, 90, 13, kVolumeEdit, "");
    b.Add(B::kDefPushButton, 8, 104, 80, 16, 1, "Save && Close");
    return b.Build();
}

std::vector<uint8_t> OptionModel::ChannelsTemplate() {
    B b("Configure Audio Channels", 280, 92, B::kDialogStyle, B::kExControlParent);
    b.Add(B::kLabel, 8, 11, 90, 10, -1, "Input &1 Routing:");
    b.Add(B::kDropDownList, 102, 8, 168, 80, kIn1Route, "");
    b.Add(B::kLabel, 8, 33, 90, 10, -1, "Input &2 Routing:");
    b.Add(B::kDropDownList, 102, 30, 168, 80, kIn2Route, "");
    b.Add(B::kCheckBox, 8, 52, 264, 14, kContinueOnDisconnect, "Continue recording if a mic disconnects");
    b.Add(B::kDefPushButton, 8, 70, 80, 16, 1, "Save && Close");
    return b.Build();
}

const std::vector<OptionModel::Switch>& OptionModel::NotificationSwitches() {
    static const std::vector<Switch> switches = {
        {1101, "notify_start_stop", true, "Notify on Start/Stop Recording"},
        {1102, "notify_split", true, "Notify on Auto-Split"},
        {1103, "notify_error", true, "Notify on recording errors"},
        {1104, "notify_drive_disconnect", true, "Notify when output drive disconnects"},
        {1105, "notify_mic_disconnect", true, "Notify on microphone disconnect"},
        {1106, "confirm_exit", true, "Confirm exit while recording"},
        {1107, "speak_in_focus_only", false, "Speak announcements only when window is in focus"},
        {1108, "auto_resume_unattended", false, "Auto-resume unattended recording if drive/mic reconnects"},
    };
    return switches;
}

void OptionModel::WriteNotifications(Config& config, const std::function<bool(int id)>& checked) {
    static constexpr int kSaveOrder[] = {1101, 1102, 1103, 1104, 1105, 1107, 1108, 1106};
    const auto& switches = NotificationSwitches();
    for (int id : kSaveOrder) {
        const auto it = std::find_if(switches.begin(), switches.end(), [id](const Switch& s) { return s.Id == id; });
        config.Data().Set(it->Key, JsonValue(checked(id)));
    }
}

const std::array<OptionModel::SoundRow, 4>& OptionModel::SoundRows() {
    static const std::array<SoundRow, 4> rows = {{
        {"start", "Play sound on &Start", 1201, 1211},
        {"stop", "Play sound on Sto&p", 1202, 1212},
        {"pause", "Play sound on Pau&se", 1203, 1213},
        {"unpause", "Play sound on &Unpause", 1204, 1214},
    }};
    return rows;
}

int OptionModel::ShownVolume(const Config& config) {
    return std::clamp<int>(config.Data().GetInt("snd_volume", Config::kDefaultSndVolume), kMinVolume, kMaxVolume);
}

void OptionModel::WriteSounds(Config& config, const std::array<bool, 4>& enabled, int volume,
                              const std::array<std::string, 4>& names) {
    const auto& rows = SoundRows();
    for (size_t i = 0; i < rows.size(); ++i) config.Data().Set(std::string("snd_") + rows[i].Event, JsonValue(enabled[i]));
    config.Set("snd_volume", volume);
    for (size_t i = 0; i < rows.size(); ++i) config.SetSoundFor(rows[i].Event, names[i]);
}

const std::vector<std::string>& OptionModel::Routes() {
    static const std::vector<std::string> routes = {"Both Channels", "Left Channel Only", "Right Channel Only"};
    return routes;
}

void OptionModel::WriteChannels(Config& config, const std::string& in1Route, const std::string& in2Route,
                                bool continueOnDisconnect) {
    config.Data().Set("in1_route", JsonValue(in1Route));
    config.Data().Set("in2_route", JsonValue(in2Route));
    config.Data().Set("continue_on_mic_disconnect", JsonValue(continueOnDisconnect));
}

}  // namespace twr
