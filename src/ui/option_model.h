#pragma once
// The option dialogs' tables and what their "Save && Close" writes, free of any window. The
// order of the writes decides where new keys land in the settings file, so it lives here where
// the native tests can hold it.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/config.h"

namespace twr {

class OptionModel {
public:
    // The three dialogs' templates.
    [[nodiscard]] static std::vector<uint8_t> NotificationsTemplate();
    [[nodiscard]] static std::vector<uint8_t> SoundsTemplate();
    [[nodiscard]] static std::vector<uint8_t> ChannelsTemplate();

    // The notifications dialog's check boxes, in layout order.
    struct Switch {
        int Id;
        const char* Key;
        bool Default;
        const char* Label;
    };
    static const std::vector<Switch>& NotificationSwitches();
    // Stores every switch (`checked` tells a box's state by id) in the saving order, which is
    // not the layout order: the two behaviour switches come before confirm_exit.
    static void WriteNotifications(Config& config, const std::function<bool(int id)>& checked);

    // The sounds dialog's rows, in order.
    struct SoundRow {
        const char* Event;
        const char* Label;
        int CheckId;
        int ListId;
    };
    static constexpr int kVolumeEdit = 1205;
    static constexpr int kMinVolume = 1;
    static constexpr int kMaxVolume = 100;
    static const std::array<SoundRow, 4>& SoundRows();
    // snd_volume as the volume field shows it: clamped to 1..100, so a stored 0 shows as 1.
    [[nodiscard]] static int ShownVolume(const Config& config);
    // The switches of the rows, then snd_volume, then the rows' cue names.
    static void WriteSounds(Config& config, const std::array<bool, 4>& enabled, int volume,
                            const std::array<std::string, 4>& names);

    static constexpr int kIn1Route = 1301;
    static constexpr int kIn2Route = 1302;
    static constexpr int kContinueOnDisconnect = 1303;
    // "Both Channels", "Left Channel Only", "Right Channel Only".
    static const std::vector<std::string>& Routes();
    static void WriteChannels(Config& config, const std::string& in1Route, const std::string& in2Route,
                              bool continueOnDisconnect);
};

}  // namespace twr
