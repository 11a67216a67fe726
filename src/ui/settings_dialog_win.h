#pragma once
// The modal "Recording Settings" dialog. Windows build only.
//
// Use on the interface thread: SettingsDialog(config, devices).ShowModal(owner) gives 1 after a
// save through "Save && Close" and 0 after Escape or the close box. Escape writes nothing, but
// what an option dialog opened from here saved on its own "Save && Close" stays saved.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/config.h"
#include "recording/wasapi.h"
#include "ui/dialog_base_win.h"
#include "ui/settings_model.h"
#include "ui/spin_edit_win.h"

namespace twr {

class SettingsDialog final : public DialogBase {
public:
    // `devices` as the caller has just enumerated them; the dialog never changes them.
    SettingsDialog(Config& config, std::vector<AudioDevice> devices);

    [[nodiscard]] std::vector<uint8_t> BuildTemplate() override;

protected:
    void OnInit() override;
    bool OnCommand(int id, int code) override;

private:
    // True when the values were taken over into the settings (a file that could not be
    // written has then been reported); false after a refused input pair, nothing written.
    bool ApplySettings();
    void ChooseFolder();
    void CopyLogs();
    void Fill(int comboId, const ComboList& list);
    [[nodiscard]] std::string SelectedDeviceId(int comboId) const;
    [[nodiscard]] bool Checked(int id) const;

    Config& config_;
    const std::vector<AudioDevice> devices_;
    // The endpoint id behind every entry of the two input lists (item data indexes it).
    std::vector<std::string> deviceIds_;
    std::unique_ptr<DurationField> startDelayField_;
    std::unique_ptr<DurationField> maxLengthField_;
    std::unique_ptr<DurationField> autoSplitField_;
};

// Saves the settings behind a dialog's button; a file that cannot be written gets a warning box
// owned by `owner` that names the file and the reason, so it never looks saved. The values
// stay in effect for this run either way. False when the file was not written.
bool SaveSettingsOrWarn(Config& config, HWND owner);

// The manual update check behind "Check for &Updates Now" (update_check_link_win.cpp).
void CheckForUpdatesNow(HWND owner);

}  // namespace twr
