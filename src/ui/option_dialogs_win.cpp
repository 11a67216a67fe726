#include "ui/option_dialogs_win.h"

#include <array>
#include <string>

#include "app/text_formats.h"
#include "feedback/sound_library.h"
#include "feedback/sounds.h"
#include "ui/option_model.h"
#include "ui/settings_dialog_win.h"
#include "ui/win32_win.h"

namespace twr {

namespace {

using O = OptionModel;

bool IsChecked(HWND dialog, int id) { return Win32::IsDlgButtonChecked(dialog, id) == BST_CHECKED; }

void Check(HWND dialog, int id, bool on) { Win32::CheckDlgButton(dialog, id, on ? BST_CHECKED : BST_UNCHECKED); }

// Saves and closes with 1; a file that could not be written has been reported, and the
// values stay in effect for this run.
void SaveAndClose(Config& config, HWND dialog) {
    SaveSettingsOrWarn(config, dialog);
    Win32::EndDialog(dialog, 1);
}

}  // namespace

std::vector<uint8_t> NotificationsDialog::BuildTemplate() { return O::NotificationsTemplate(); }

void NotificationsDialog::OnInit() {
    for (const auto& s : O::NotificationSwitches()) Check(Handle(), s.Id, config_.Data().GetBool(s.Key, s.Default));
}

bool NotificationsDialog::OnCommand(int id, int) {
    if (id == IDOK) {
        O::WriteNotifications(config_, [this](int box) { return IsChecked(Handle(), box); });
        SaveAndClose(config_, Handle());
        return true;
    }
    if (id == IDCANCEL) {
        Win32::EndDialog(Handle(), 0);
        return true;
    }
    return false;
}

std::vector<uint8_t> SoundsDialog::BuildTemplate() { return O::SoundsTemplate(); }

void SoundsDialog::OnInit() {
    HWND h = Handle();
    for (const auto& row : O::SoundRows()) Check(h, row.CheckId, config_.SndEnabled(row.Event));
    for (const auto& row : O::SoundRows()) {
        for (const std::string& name : SoundLibrary::Names()) Win32::ComboAdd(h, row.ListId, name, 0);
        Win32::ComboSelectByText(h, row.ListId, config_.SoundFor(row.Event));
    }
    // A text that does not read as a number falls back to the stored volume of that moment.
    volume_ = &SpinEdit::Create(
        h, O::kVolumeEdit, O::kMinVolume, O::kMaxVolume, 1, [](int32_t n) { return PercentText::Format(n); },
        [this](std::string_view text) {
            return PercentText::Parse(text, config_.Data().GetInt("snd_volume", Config::kDefaultSndVolume));
        });
    volume_->SetValue(O::ShownVolume(config_));
    ready_ = true;
}

int SoundsDialog::Volume() const {
    return volume_ ? volume_->Value() : config_.Data().GetInt("snd_volume", Config::kDefaultSndVolume);
}

bool SoundsDialog::OnCommand(int id, int code) {
    HWND h = Handle();
    if (ready_ && code == CBN_SELCHANGE) {
        for (const auto& row : O::SoundRows()) {
            if (row.ListId == id) {
                Sounds::Play(Win32::ComboGetText(h, id), Volume());
                return true;
            }
        }
    }
    if (id == IDOK) {
        std::array<bool, 4> enabled{};
        std::array<std::string, 4> names;
        const auto& rows = O::SoundRows();
        for (size_t i = 0; i < rows.size(); ++i) {
            enabled[i] = IsChecked(h, rows[i].CheckId);
            names[i] = Win32::ComboGetText(h, rows[i].ListId);
        }
        O::WriteSounds(config_, enabled, Volume(), names);
        SaveAndClose(config_, h);
        return true;
    }
    if (id == IDCANCEL) {
        Win32::EndDialog(h, 0);
        return true;
    }
    return false;
}

std::vector<uint8_t> ChannelsDialog::BuildTemplate() { return O::ChannelsTemplate(); }

void ChannelsDialog::OnInit() {
    HWND h = Handle();
    for (const std::string& route : O::Routes()) {
        Win32::ComboAdd(h, O::kIn1Route, route, 0);
        Win32::ComboAdd(h, O::kIn2Route, route, 0);
    }
    Win32::ComboSelectByText(h, O::kIn1Route, config_.In1Route());
    Win32::ComboSelectByText(h, O::kIn2Route, config_.In2Route());
    Check(h, O::kContinueOnDisconnect,
          config_.Data().GetBool("continue_on_mic_disconnect", Config::kDefaultContinueOnMicDisconnect));
}

bool ChannelsDialog::OnCommand(int id, int) {
    HWND h = Handle();
    if (id == IDOK) {
        O::WriteChannels(config_, Win32::ComboGetText(h, O::kIn1Route), Win32::ComboGetText(h, O::kIn2Route),
                         IsChecked(h, O::kContinueOnDisconnect));
        SaveAndClose(config_, h);
        return true;
    }
    if (id == IDCANCEL) {
        Win32::EndDialog(h, 0);
        return true;
    }
    return false;
}

}  // namespace twr
