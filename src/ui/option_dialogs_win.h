#pragma once
// The notifications, sounds and channels dialogs, each opened modally from the settings
// dialog. Each writes its settings and saves the file on its own "Save && Close" (1); Escape
// or the close box (0) writes nothing. Windows build only.
#include <windows.h>

#include <cstdint>
#include <vector>

#include "app/config.h"
#include "ui/dialog_base_win.h"
#include "ui/spin_edit_win.h"

namespace twr {

class NotificationsDialog final : public DialogBase {
public:
    explicit NotificationsDialog(Config& config) : config_(config) {}
    [[nodiscard]] std::vector<uint8_t> BuildTemplate() override;

protected:
    void OnInit() override;
    bool OnCommand(int id, int code) override;

private:
    Config& config_;
};

class SoundsDialog final : public DialogBase {
public:
    explicit SoundsDialog(Config& config) : config_(config) {}
    [[nodiscard]] std::vector<uint8_t> BuildTemplate() override;

protected:
    void OnInit() override;
    bool OnCommand(int id, int code) override;

private:
    [[nodiscard]] int Volume() const;

    Config& config_;
    SpinEdit* volume_ = nullptr;  // kept alive by the fields' own list
    // Selections made while the lists are filled must not play: only a user's choice does.
    bool ready_ = false;
};

class ChannelsDialog final : public DialogBase {
public:
    explicit ChannelsDialog(Config& config) : config_(config) {}
    [[nodiscard]] std::vector<uint8_t> BuildTemplate() override;

protected:
    void OnInit() override;
    bool OnCommand(int id, int code) override;

private:
    Config& config_;
};

}  // namespace twr
