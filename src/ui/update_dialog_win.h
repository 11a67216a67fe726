#pragma once
// The modal offer of a newer release: the installed and the new version, the release notes one
// item per line in a list a screen reader can walk, "&Update Now" (1) and "&Don't Update" (0).
#include <string>

#include "ui/dialog_base_win.h"
#include "ui/update_dialog_text.h"

namespace twr {

class UpdateDialog final : public DialogBase {
public:
    UpdateDialog(std::string currentVersion, std::string newVersion, std::string notes);

    [[nodiscard]] std::vector<uint8_t> BuildTemplate() override;

protected:
    void OnInit() override;
    bool OnCommand(int id, int code) override;

private:
    std::string currentVersion_, newVersion_, notes_;
};

}  // namespace twr
