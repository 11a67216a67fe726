#pragma once
// The decisions of the recording settings dialog, free of any window: which entries its lists
// hold and which is selected, which endpoint id a selection stands for, whether an input pair may
// be saved, and how the shown values are written back into the settings. The dialog
// (settings_dialog_win.cpp) only moves values between these and its controls.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/config.h"
#include "recording/wasapi.h"

namespace twr {

// One entry of a drop-down list: its text and its item data.
struct ComboEntry {
    std::string Text;
    int32_t Data = 0;
    friend bool operator==(const ComboEntry&, const ComboEntry&) = default;
};

// A drop-down list's entries and the selected index (-1: none).
struct ComboList {
    std::vector<ComboEntry> Entries;
    int Selection = -1;
};

class SettingsModel {
public:
    // Control ids of the dialog.
    static constexpr int kSortOrder = 2001;
    static constexpr int kPrimaryInput = 2002;
    static constexpr int kSecondaryInput = 2003;
    static constexpr int kFolder = 2004;
    static constexpr int kChangeFolder = 2005;
    static constexpr int kSampleRate = 2006;
    static constexpr int kBitDepth = 2007;
    static constexpr int kChannels = 2008;
    static constexpr int kBufferSize = 2009;
    static constexpr int kPrefix = 2010;
    static constexpr int kAutoStart = 2011;
    static constexpr int kStartDelayEdit = 2012;
    static constexpr int kMaxLengthEdit = 2013;
    static constexpr int kAutoSplitEdit = 2014;
    static constexpr int kGroupSplits = 2015;
    static constexpr int kWindowTitle = 2016;
    static constexpr int kCheckUpdatesStartup = 2017;
    static constexpr int kCheckUpdatesNow = 2018;
    static constexpr int kNotifications = 2019;
    static constexpr int kSounds = 2020;
    static constexpr int kChannelsDialog = 2021;
    static constexpr int kCopyLogs = 2022;
    static constexpr int kStartDelayUnit = 2023;
    static constexpr int kMaxLengthUnit = 2024;
    static constexpr int kAutoSplitUnit = 2025;

    // The largest totals of the three duration fields, in seconds.
    static constexpr int32_t kMaxStartDelay = 3600;
    static constexpr int32_t kMaxMaxLength = 2000000;
    static constexpr int32_t kMaxAutoSplit = 86400;

    // The dialog's template: every control in tab order, each label just before its control.
    [[nodiscard]] static std::vector<uint8_t> BuildTemplate();

    static const std::vector<std::string>& SortOrders();   // "Inputs First", "Outputs First"
    static const std::vector<std::string>& SampleRates();  // the six offered rates
    static const std::vector<std::string>& BitDepths();    // "16", "24", "32"
    static const std::vector<std::string>& ChannelChoices();  // "1 (Mono)", "2 (Stereo)"
    static const std::vector<std::string>& BufferSizes();  // the five offered sizes

    // Every option in order, then `current` when it is not empty and no option equals it
    // exactly, so a hand-set value is offered and saved back unchanged.
    [[nodiscard]] static std::vector<std::string> WithCurrent(const std::vector<std::string>& options,
                                                              std::string_view current);

    // buffer_size as its list shows it: the stored integer (default 2048) in decimal.
    [[nodiscard]] static std::string BufferSizeText(const Config& config);
    // The channels list's index: 0 for exactly "1", else 1.
    [[nodiscard]] static int ChannelsIndex(const Config& config);

    // A copy of the endpoints: capture endpoints first unless the order is exactly
    // "Outputs First"; within one kind by friendly name (ordinal).
    [[nodiscard]] static std::vector<AudioDevice> SortDevices(std::vector<AudioDevice> devices,
                                                              std::string_view sortOrder);

    struct DeviceLists {
        ComboList Primary;    // list 2002
        ComboList Secondary;  // list 2003
    };
    // Refills `deviceIds` and gives both input lists with their selections: one entry per
    // endpoint whose item data indexes `deviceIds`, "None" (-1) first in the secondary list, and
    // a configured endpoint that is absent shown as "DISCONNECTED: " and its id.
    [[nodiscard]] static DeviceLists PopulateDevices(const std::vector<AudioDevice>& devices,
                                                     const Config& config, std::vector<std::string>& deviceIds);

    // Selects `id` in `list` (the primary list when `primary`); may append to `deviceIds` and
    // insert an entry at `insertAt` for an absent endpoint.
    static void SelectDevice(ComboList& list, std::vector<std::string>& deviceIds, bool primary,
                             std::string_view id, int insertAt);

    // The endpoint id a selected entry's item data stands for: "" (primary) or "none"
    // (secondary) for anything that is not an index into `deviceIds`.
    [[nodiscard]] static std::string SelectedDeviceId(const std::vector<std::string>& deviceIds, int32_t data,
                                                      bool primary);

    enum class PairCheck {
        Accept,      // one input only
        SameDevice,  // "Invalid Selection": nothing is saved
        TwoDevices,  // ask "Hardware Clock Drift Warning" first
    };
    [[nodiscard]] static PairCheck CheckPair(std::string_view first, std::string_view second);

    // What the dialog's controls show when the user saves.
    struct Values {
        std::string DeviceId;   // SelectedDeviceId of 2002
        std::string Device2Id;  // SelectedDeviceId of 2003
        bool AutoStart = false;
        int32_t AutoStartDelay = 0;  // total seconds of the duration fields
        int32_t AutoSplitSecs = 0;
        int32_t MaxLengthSecs = 0;
        bool GroupSplits = true;
        std::string SampleRate;  // selected texts
        std::string BitDepth;
        int ChannelsIndex = 1;   // selected index of 2008
        std::string FilenamePrefix;
        std::string BufferSizeText;
        std::string WindowTitle;
        bool CheckUpdatesStartup = true;
        std::string Folder;     // text of 2004
        std::string SortOrder;  // selected text of 2001
    };
    // Writes the values in the order that decides where new keys land in the file. buffer_size
    // only when it reads as a number above 0, window_title only when not empty after trimming,
    // save_folder only when it differs from the current folder other than by letter case.
    static void Write(Config& config, const Values& values);

    // Message box texts.
    static constexpr const char* kInvalidSelectionTitle = "Invalid Selection";
    static constexpr const char* kInvalidSelectionText = "Input 1 and Input 2 cannot be the same device.";
    static constexpr const char* kDriftTitle = "Hardware Clock Drift Warning";
    [[nodiscard]] static std::string DriftText();
    static constexpr const char* kExternalDriveTitle = "External Drive Warning";
    // The drive root, trailing slashes removed, in the warning's sentence.
    [[nodiscard]] static std::string ExternalDriveText(std::string_view root);
    // The root of a picked folder that needs the warning first: a drive other than the system
    // drive. Nothing for a folder on the system drive or without a root, taken at once.
    [[nodiscard]] static std::optional<std::string> ExternalDriveRoot(std::string_view path);
    // A file that could not be written must never look saved.
    static constexpr const char* kSaveFailedTitle = "Settings Not Saved";
    [[nodiscard]] static std::string SaveFailedText(const Config& config, std::string_view reason);
};

}  // namespace twr
