#pragma once
// The question put for each unfinished recording at start-up: repair it, leave it for the next
// start, or forget its recovery journal. ShowModal gives 1 repair, 0 leave it (also Escape and
// the close box), 2 forget.
#include <string>

#include "ui/dialog_base_win.h"

namespace twr {

class RepairDialog final : public DialogBase {
public:
    static constexpr int kMessageId = 1401;
    static constexpr int kRepairId = 1402;
    static constexpr int kLeaveId = 1403;
    static constexpr int kForgetId = 1404;

    // recording: the full path as the journal names it (UTF-8).
    explicit RepairDialog(std::string recording);

    [[nodiscard]] std::vector<uint8_t> BuildTemplate() override;

protected:
    void OnInit() override;
    bool OnCommand(int id, int code) override;

private:
    std::string recording_;
};

}  // namespace twr
