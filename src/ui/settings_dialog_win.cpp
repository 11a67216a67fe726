#include "ui/settings_dialog_win.h"

#include <exception>
#include <utility>

#include "app/log.h"
#include "app/platform.h"
#include "ui/confirm_dialog_win.h"
#include "ui/folder_picker_win.h"
#include "ui/option_dialogs_win.h"
#include "ui/win32_win.h"

namespace twr {

namespace {

using M = SettingsModel;

}  // namespace

bool SaveSettingsOrWarn(Config& config, HWND owner) {
    const Config::SaveResult result = config.Save();
    if (!result.Saved)
        Win32::MessageBoxW(owner, M::SaveFailedText(config, result.Error), M::kSaveFailedTitle, MB_ICONWARNING);
    return result.Saved;
}

SettingsDialog::SettingsDialog(Config& config, std::vector<AudioDevice> devices)
    : config_(config), devices_(std::move(devices)) {}

std::vector<uint8_t> SettingsDialog::BuildTemplate() { return M::BuildTemplate(); }

void SettingsDialog::Fill(int comboId, const ComboList& list) {
    for (const ComboEntry& entry : list.Entries) Win32::ComboAdd(Handle(), comboId, entry.Text, entry.Data);
    Win32::SendDlgItemMessageW(Handle(), comboId, CB_SETCURSEL, static_cast<WPARAM>(list.Selection), 0);
}

void SettingsDialog::OnInit() {
    HWND h = Handle();
    for (const std::string& order : M::SortOrders()) Win32::ComboAdd(h, M::kSortOrder, order, 0);
    Win32::ComboSelectByText(h, M::kSortOrder, config_.DeviceSortOrder());

    const M::DeviceLists lists = M::PopulateDevices(devices_, config_, deviceIds_);
    Fill(M::kPrimaryInput, lists.Primary);
    Fill(M::kSecondaryInput, lists.Secondary);

    for (const std::string& rate : M::WithCurrent(M::SampleRates(), config_.SampleRate()))
        Win32::ComboAdd(h, M::kSampleRate, rate, 0);
    for (const std::string& depth : M::BitDepths()) Win32::ComboAdd(h, M::kBitDepth, depth, 0);
    for (const std::string& channels : M::ChannelChoices()) Win32::ComboAdd(h, M::kChannels, channels, 0);
    for (const std::string& size : M::WithCurrent(M::BufferSizes(), M::BufferSizeText(config_)))
        Win32::ComboAdd(h, M::kBufferSize, size, 0);

    Win32::ComboSelectByText(h, M::kSampleRate, config_.SampleRate());
    Win32::ComboSelectByText(h, M::kBitDepth, config_.BitDepth());
    Win32::SendDlgItemMessageW(h, M::kChannels, CB_SETCURSEL, static_cast<WPARAM>(M::ChannelsIndex(config_)), 0);
    Win32::ComboSelectByText(h, M::kBufferSize, M::BufferSizeText(config_));

    Text(M::kFolder, platform::PathText(config_.SaveFolder()));
    Text(M::kPrefix, config_.FilenamePrefix());
    Text(M::kWindowTitle, config_.WindowTitle());

    const JsonObject& data = config_.Data();
    auto check = [h](int id, bool on) { Win32::CheckDlgButton(h, id, on ? BST_CHECKED : BST_UNCHECKED); };
    check(M::kAutoStart, data.GetBool("auto_start", Config::kDefaultAutoStart));
    check(M::kGroupSplits, data.GetBool("group_splits", Config::kDefaultGroupSplits));
    check(M::kCheckUpdatesStartup, data.GetBool("check_updates_startup", Config::kDefaultCheckUpdatesStartup));

    startDelayField_ = std::make_unique<DurationField>(h, M::kStartDelayEdit, M::kStartDelayUnit, M::kMaxStartDelay);
    maxLengthField_ = std::make_unique<DurationField>(h, M::kMaxLengthEdit, M::kMaxLengthUnit, M::kMaxMaxLength);
    autoSplitField_ = std::make_unique<DurationField>(h, M::kAutoSplitEdit, M::kAutoSplitUnit, M::kMaxAutoSplit);
    startDelayField_->SetTotalSeconds(data.GetInt("auto_start_delay", Config::kDefaultAutoStartDelay));
    maxLengthField_->SetTotalSeconds(data.GetInt("max_length_secs", Config::kDefaultMaxLengthSecs));
    autoSplitField_->SetTotalSeconds(data.GetInt("auto_split_secs", Config::kDefaultAutoSplitSecs));
}

bool SettingsDialog::OnCommand(int id, int code) {
    for (auto* field : {startDelayField_.get(), maxLengthField_.get(), autoSplitField_.get()})
        if (field && field->HandleCommand(id, code)) return true;
    switch (id) {
        case IDOK:
            if (ApplySettings()) Win32::EndDialog(Handle(), 1);
            return true;
        case IDCANCEL:
            Win32::EndDialog(Handle(), 0);
            return true;
        case M::kChangeFolder:
            ChooseFolder();
            return true;
        case M::kCheckUpdatesNow:
            if (ApplySettings()) CheckForUpdatesNow(Handle());
            return true;
        case M::kNotifications:
            NotificationsDialog(config_).ShowModal(Handle());
            return true;
        case M::kSounds:
            SoundsDialog(config_).ShowModal(Handle());
            return true;
        case M::kChannelsDialog:
            ChannelsDialog(config_).ShowModal(Handle());
            return true;
        case M::kCopyLogs:
            CopyLogs();
            return true;
        default:
            return false;
    }
}

std::string SettingsDialog::SelectedDeviceId(int comboId) const {
    return M::SelectedDeviceId(deviceIds_, Win32::ComboGetData(Handle(), comboId), comboId == M::kPrimaryInput);
}

bool SettingsDialog::Checked(int id) const { return Win32::IsDlgButtonChecked(Handle(), id) == BST_CHECKED; }

bool SettingsDialog::ApplySettings() {
    HWND h = Handle();
    M::Values v;
    v.DeviceId = SelectedDeviceId(M::kPrimaryInput);
    v.Device2Id = SelectedDeviceId(M::kSecondaryInput);
    switch (M::CheckPair(v.DeviceId, v.Device2Id)) {
        case M::PairCheck::SameDevice:
            Win32::MessageBoxW(h, M::kInvalidSelectionText, M::kInvalidSelectionTitle, MB_ICONWARNING);
            return false;
        case M::PairCheck::TwoDevices:
            if (Win32::MessageBoxW(h, M::DriftText(), M::kDriftTitle, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) !=
                IDYES)
                return false;
            break;
        case M::PairCheck::Accept:
            break;
    }
    v.AutoStart = Checked(M::kAutoStart);
    v.AutoStartDelay = startDelayField_->TotalSeconds();
    v.AutoSplitSecs = autoSplitField_->TotalSeconds();
    v.MaxLengthSecs = maxLengthField_->TotalSeconds();
    v.GroupSplits = Checked(M::kGroupSplits);
    v.SampleRate = Win32::ComboGetText(h, M::kSampleRate);
    v.BitDepth = Win32::ComboGetText(h, M::kBitDepth);
    v.ChannelsIndex = static_cast<int>(Win32::SendDlgItemMessageW(h, M::kChannels, CB_GETCURSEL, 0, 0));
    v.FilenamePrefix = Win32::GetDlgItemText(h, M::kPrefix);
    v.BufferSizeText = Win32::ComboGetText(h, M::kBufferSize);
    v.WindowTitle = Win32::GetDlgItemText(h, M::kWindowTitle);
    v.CheckUpdatesStartup = Checked(M::kCheckUpdatesStartup);
    v.Folder = Win32::GetDlgItemText(h, M::kFolder);
    v.SortOrder = Win32::ComboGetText(h, M::kSortOrder);
    M::Write(config_, v);
    SaveSettingsOrWarn(config_, h);
    return true;
}

void SettingsDialog::ChooseFolder() {
    const std::string path = FolderPicker::Pick(Handle(), "Select Output Directory",
                                                Win32::GetDlgItemText(Handle(), M::kFolder))
                                 .value_or("");
    if (path.empty()) return;
    if (const auto root = M::ExternalDriveRoot(path)) {
        ConfirmDialog confirm(M::kExternalDriveTitle, M::ExternalDriveText(*root), "I understand", "Revert");
        if (confirm.ShowModal(Handle()) != 1) return;
    }
    Text(M::kFolder, path);
}

void SettingsDialog::CopyLogs() {
    try {
        Win32::SetClipboardText(Handle(), Log::ReadAll());
        Win32::MessageBoxW(Handle(), "Diagnostic logs have been copied to your clipboard!", "Logs Copied",
                           MB_ICONINFORMATION);
    } catch (const std::exception& e) {
        Critical(std::string("Failed to copy logs: ") + e.what(), "Error");
    }
}

}  // namespace twr
