#include "ui/settings_model.h"

#include <algorithm>
#include <limits>

#include "app/platform.h"
#include "app/unicode.h"
#include "ui/dialog_builder.h"
#include "recording/writer_loop.h"

namespace twr {

namespace {

bool IsNoInput(std::string_view id) { return id.empty() || id == "none"; }

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

}  // namespace

const std::vector<std::string>& SettingsModel::SortOrders() {
    static const std::vector<std::string> v = {"Inputs First", "Outputs First"};
    return v;
}
const std::vector<std::string>& SettingsModel::SampleRates() {
    static const std::vector<std::string> v = {"44100", "48000", "88200", "96000", "192000", "384000"};
    return v;
}
const std::vector<std::string>& SettingsModel::BitDepths() {
    static const std::vector<std::string> v = {"16", "24", "32"};
    return v;
}
const std::vector<std::string>& SettingsModel::ChannelChoices() {
    static const std::vector<std::string> v = {"1 (Mono)", "2 (Stereo)"};
    return v;
}
const std::vector<std::string>& SettingsModel::BufferSizes() {
    static const std::vector<std::string> v = {"512", "1024", "2048", "4096", "8192"};
    return v;
}

std::vector<std::string> SettingsModel::WithCurrent(const std::vector<std::string>& options,
                                                    std::string_view current) {
    std::vector<std::string> result = options;
    if (!current.empty() && std::find(options.begin(), options.end(), current) == options.end())
        result.emplace_back(current);
    return result;
}

std::vector<uint8_t> SettingsModel::BuildTemplate() {
    using B = DialogBuilder;
    B b("Recording Settings", 340, 402, B::kDialogStyle, B::kExControlParent);
    b.Add(B::kGroupBox, 4, 4, 332, 56, -1, "Audio Devices");
    b.Add(B::kLabel, 10, 17, 84, 9, -1, "Device &Sort Order:");
    b.Add(B::kDropDownList, 98, 14, 230, 120, kSortOrder, "");
    b.Add(B::kLabel, 10, 31, 84, 9, -1, "Primary Input &1:");
    b.Add(B::kDropDownList, 98, 28, 230, 160, kPrimaryInput, "");
    b.Add(B::kLabel, 10, 45, 84, 9, -1, "Secondary Input &2:");
    b.Add(B::kDropDownList, 98, 42, 230, 160, kSecondaryInput, "");
    b.Add(B::kGroupBox, 4, 62, 332, 28, -1, "Output Directory");
    b.Add(B::kReadOnlyEdit, 10, 72, 240, 13, kFolder, "");
    b.Add(B::kPushButton, 256, 71, 72, 15, kChangeFolder, "C&hange Folder");
    b.Add(B::kGroupBox, 4, 92, 332, 86, -1, "Audio Format Settings");
    b.Add(B::kLabel, 10, 102, 318, 18, -1,
          "To avoid downsampling/resampling garbage, select the\r\nEXACT rate your Windows device is set to!");
    b.Add(B::kLabel, 10, 125, 84, 9, -1, "Sa&mple Rate (Hz):");
    b.Add(B::kDropDownList, 98, 122, 110, 120, kSampleRate, "");
    b.Add(B::kLabel, 10, 139, 84, 9, -1, "&Bit Depth:");
    b.Add(B::kDropDownList, 98, 136, 110, 100, kBitDepth, "");
    b.Add(B::kLabel, 10, 153, 84, 9, -1, "&Channels:");
    b.Add(B::kDropDownList, 98, 150, 110, 80, kChannels, "");
    b.Add(B::kLabel, 10, 167, 84, 9, -1, "B&uffer Size (Frames):");
    b.Add(B::kDropDownList, 98, 164, 110, 100, kBufferSize, "");
    b.Add(B::kGroupBox, 4, 180, 332, 100, -1, "File, Delay && Auto-Split Settings");
    b.Add(B::kLabel, 10, 193, 84, 9, -1, "File &Prefix:");
    b.Add(B::kEditBox, 98, 190, 230, 13, kPrefix, "");
    b.Add(B::kCheckBox, 10, 206, 318, 13, kAutoStart, "Auto-st&art recording on launch");
    b.Add(B::kLabel, 10, 225, 104, 9, -1, "Start De&lay:");
    b.Add(B::kEditBox, 118, 222, 46, 13, kStartDelayEdit, "");
    b.Add(B::kDropDownList, 168, 222, 78, 90, kStartDelayUnit, "");
    b.Add(B::kLabel, 10, 239, 104, 9, -1, "Max Recording Length (0=off):");
    b.Add(B::kEditBox, 118, 236, 46, 13, kMaxLengthEdit, "");
    b.Add(B::kDropDownList, 168, 236, 78, 90, kMaxLengthUnit, "");
    b.Add(B::kLabel, 10, 253, 104, 9, -1, "Time Auto-S&plit every:");
    b.Add(B::kEditBox, 118, 250, 46, 13, kAutoSplitEdit, "");
    b.Add(B::kDropDownList, 168, 250, 78, 90, kAutoSplitUnit, "");
    b.Add(B::kCheckBox, 10, 264, 318, 13, kGroupSplits, "Automatically place all splits into a unified folder");
    b.Add(B::kGroupBox, 4, 282, 332, 96, -1, "Appearance && Extra Options");
    b.Add(B::kLabel, 10, 295, 84, 9, -1, "Window &Title:");
    b.Add(B::kEditBox, 98, 292, 230, 13, kWindowTitle, "");
    b.Add(B::kCheckBox, 10, 308, 318, 13, kCheckUpdatesStartup, "Check for &updates on startup");
    b.Add(B::kPushButton, 10, 324, 150, 15, kCheckUpdatesNow, "Check for &Updates Now");
    b.Add(B::kPushButton, 168, 324, 150, 15, kNotifications, "Configure Notifications");
    b.Add(B::kPushButton, 10, 342, 150, 15, kSounds, "Configure Sounds");
    b.Add(B::kPushButton, 168, 342, 150, 15, kChannelsDialog, "Configure Audio Channels");
    b.Add(B::kPushButton, 10, 360, 150, 15, kCopyLogs, "Copy Diagnostic Logs");
    b.Add(B::kDefPushButton, 4, 382, 80, 15, 1, "Save && Close");
    return b.Build();
}

std::string SettingsModel::BufferSizeText(const Config& config) {
    return std::to_string(config.Data().GetInt("buffer_size", Config::kDefaultBufferSize));
}

int SettingsModel::ChannelsIndex(const Config& config) { return config.Channels() == "1" ? 0 : 1; }

std::vector<AudioDevice> SettingsModel::SortDevices(std::vector<AudioDevice> devices, std::string_view sortOrder) {
    const bool inputsFirst = sortOrder != "Outputs First";
    std::sort(devices.begin(), devices.end(), [inputsFirst](const AudioDevice& a, const AudioDevice& b) {
        if (a.IsLoopback != b.IsLoopback) return inputsFirst ? !a.IsLoopback : a.IsLoopback;
        return a.Name < b.Name;
    });
    return devices;
}

SettingsModel::DeviceLists SettingsModel::PopulateDevices(const std::vector<AudioDevice>& devices,
                                                          const Config& config, std::vector<std::string>& deviceIds) {
    deviceIds.clear();
    DeviceLists lists;
    lists.Secondary.Entries.push_back({"None", -1});
    for (const AudioDevice& device : SortDevices(devices, config.DeviceSortOrder())) {
        const auto index = static_cast<int32_t>(deviceIds.size());
        deviceIds.push_back(device.Id);
        lists.Primary.Entries.push_back({device.DisplayName(), index});
        lists.Secondary.Entries.push_back({device.DisplayName(), index});
    }
    SelectDevice(lists.Primary, deviceIds, true, config.DeviceId(), 0);
    SelectDevice(lists.Secondary, deviceIds, false, config.Device2Id(), 1);
    return lists;
}

void SettingsModel::SelectDevice(ComboList& list, std::vector<std::string>& deviceIds, bool primary,
                                 std::string_view id, int insertAt) {
    auto& entries = list.Entries;
    if (IsNoInput(id)) {
        if (primary) entries.insert(entries.begin(), {"Not selected", -1});
        list.Selection = 0;
        return;
    }
    const auto known = std::find(deviceIds.begin(), deviceIds.end(), id);
    if (known != deviceIds.end()) {
        const auto position = static_cast<int32_t>(known - deviceIds.begin());
        const auto entry = std::find_if(entries.begin(), entries.end(),
                                        [position](const ComboEntry& e) { return e.Data == position; });
        if (entry != entries.end()) {
            list.Selection = static_cast<int>(entry - entries.begin());
            return;
        }
    }
    // The configured endpoint is absent: show its id so that saving keeps it.
    const auto position = static_cast<int32_t>(deviceIds.size());
    deviceIds.emplace_back(id);
    insertAt = std::clamp(insertAt, 0, static_cast<int>(entries.size()));
    entries.insert(entries.begin() + insertAt, {"DISCONNECTED: " + std::string(id), position});
    list.Selection = insertAt;
}

std::string SettingsModel::SelectedDeviceId(const std::vector<std::string>& deviceIds, int32_t data, bool primary) {
    if (data >= 0 && static_cast<size_t>(data) < deviceIds.size()) return deviceIds[static_cast<size_t>(data)];
    return primary ? "" : "none";
}

SettingsModel::PairCheck SettingsModel::CheckPair(std::string_view first, std::string_view second) {
    if (second == "none") return PairCheck::Accept;
    return second == first ? PairCheck::SameDevice : PairCheck::TwoDevices;
}

void SettingsModel::Write(Config& config, const Values& values) {
    JsonObject& data = config.Data();
    data.Set("device_id", JsonValue(values.DeviceId));
    data.Set("device2_id", JsonValue(values.Device2Id));
    data.Set("auto_start", JsonValue(values.AutoStart));
    config.Set("auto_start_delay", values.AutoStartDelay);
    config.Set("auto_split_secs", values.AutoSplitSecs);
    config.Set("max_length_secs", values.MaxLengthSecs);
    data.Set("group_splits", JsonValue(values.GroupSplits));
    data.Set("sample_rate", JsonValue(values.SampleRate));
    data.Set("bit_depth", JsonValue(values.BitDepth));
    data.Set("channels", JsonValue(values.ChannelsIndex == 0 ? "1" : "2"));
    data.Set("filename_prefix", JsonValue(values.FilenamePrefix));
    int64_t bufferSize = 0;
    if (TryParseInvariantInt64(values.BufferSizeText, bufferSize) && bufferSize > 0 &&
        bufferSize <= std::numeric_limits<int32_t>::max())
        config.Set("buffer_size", static_cast<int32_t>(bufferSize));
    const std::string_view title = unicode::TrimWhiteSpace(values.WindowTitle);
    if (!title.empty()) data.Set("window_title", JsonValue(title));
    data.Set("check_updates_startup", JsonValue(values.CheckUpdatesStartup));
    // The field shows the executable's folder when none is set; saving it unchanged must keep
    // the setting empty, so the folder follows the program when it moves.
    if (!EqualsIgnoringCase(values.Folder, platform::PathText(config.SaveFolder())))
        data.Set("save_folder", JsonValue(values.Folder));
    data.Set("device_sort_order", JsonValue(values.SortOrder));
}

std::string SettingsModel::DriftText() {
    return "You have selected two independent audio devices.\r\n\r\n"
           "Because they use separate hardware clocks, they will naturally drift apart over time. This "
           "application does not perform adaptive resampling. Over long recordings, you may experience audio "
           "dropouts, clicks, or sync issues as the application drops blocks to keep them aligned.\r\n\r\n"
           "Do you still want to use two independent devices?";
}

std::string SettingsModel::ExternalDriveText(std::string_view root) {
    while (!root.empty() && (root.back() == '\\' || root.back() == '/')) root.remove_suffix(1);
    return "You have selected a directory on drive " + std::string(root) +
           ".\n\nWhile this will work perfectly, it can be dangerous. If this is a removable USB drive or "
           "external hard drive and it gets disconnected or bumped while the app is running, your recording "
           "could be abruptly terminated.\n\nPlease ensure the drive remains securely connected.";
}

std::optional<std::string> SettingsModel::ExternalDriveRoot(std::string_view path) {
    auto root = DriveRootOf(path);
    if (!root || IsSystemDrive(*root)) return std::nullopt;
    return root;
}

std::string SettingsModel::SaveFailedText(const Config& config, std::string_view reason) {
    return "The settings could not be saved to " + platform::PathText(config.Path()) + ".\r\n\r\n" +
           std::string(reason) + "\r\n\r\nThe new settings apply until the program closes.";
}

}  // namespace twr
