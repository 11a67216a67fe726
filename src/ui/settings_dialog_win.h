#pragma once
// The modal "Recording Settings" dialog. Windows build only.
//
// Use: SettingsDialog(config, devices).ShowModal(owner) on the interface thread; 1 after a save
// through "Save && Close", 0 after Escape or the close box (nothing written then, except what
// an option dialog opened from here saved on its own "Save && Close").
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/config.h"
#include "recording/wasapi.h"
#include "ui/dialog_base_win.h"
#include "ui/spin_edit_win.h"

namespace twr {

class SettingsDialog final : public DialogBase {
public:
    // `devices` as the caller has just enumerated them; the dialog never changes them.
    SettingsDialog(Config& config, std::vector<AudioDevice> devices);

    // What "Check for &Updates Now" runs after a successful save, with this dialog's window as
    // the owner. The program connects the updater here once at start-up; without it the
    // button only saves.
    static void SetUpdateCheck(std::function<void(HWND owner)> check);

    [[nodiscard]] std::vector<uint8_t> BuildTemplate() override;
    void OnInit() override;
    bool OnCommand(int id, int code) override;

    // True when the settings were written (a file that could not be written has been reported).
    bool ApplySettings();
    void ChooseFolder();
    void CopyLogs();

private:
    void FillCombo(int id, const ComboList& list);
    [[nodiscard]] std::string SelectedDeviceId(int comboId) const;
    // Saves, and tells the user when the file could not be written.
    void SaveConfig();

    Config& config_;
    const std::vector<AudioDevice> devices_;
    std::vector<std::string> deviceIds_;
    std::unique_ptr<DurationField> startDelayField_;
    std::unique_ptr<DurationField> maxLengthField_;
    std::unique_ptr<DurationField> autoSplitField_;
};

// Saves the settings behind a dialog's "Save && Close"; a failure shows a warning box owned by
// `owner` that names the file and the reason. The values stay in effect either way.
void SaveSettingsOrWarn(Config& config, HWND owner);

}  // namespace twr
