#pragma once
// A small modal question with a message and two buttons whose texts the caller chooses.
// ShowModal returns 1 for the accept button and 0 for the reject button, Escape or the close box.
#include <string>

#include "ui/dialog_base_win.h"

namespace twr {

class ConfirmDialog final : public DialogBase {
public:
    static constexpr int kMessageId = 1601;
    static constexpr int kAcceptId = 1602;
    static constexpr int kRejectId = 1603;

    ConfirmDialog(std::string title, std::string message, std::string acceptText, std::string rejectText);

    [[nodiscard]] std::vector<uint8_t> BuildTemplate() override;

protected:
    void OnInit() override;
    bool OnCommand(int id, int code) override;

private:
    std::string title_, message_, acceptText_, rejectText_;
};

}  // namespace twr
