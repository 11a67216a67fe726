#include "ui/confirm_dialog_win.h"

#include <utility>

#include "ui/dialog_builder.h"
#include "ui/win32_win.h"

namespace twr {

ConfirmDialog::ConfirmDialog(std::string title, std::string message, std::string acceptText, std::string rejectText)
    : title_(std::move(title)),
      message_(std::move(message)),
      acceptText_(std::move(acceptText)),
      rejectText_(std::move(rejectText)) {}

std::vector<uint8_t> ConfirmDialog::BuildTemplate() {
    DialogBuilder b(title_, 300, 138, DialogBuilder::kDialogStyle, DialogBuilder::kExControlParent);
    // SS_NOPREFIX: the message is shown verbatim, an '&' in a path is no mnemonic.
    b.Add(DialogBuilder::kMessageText, 10, 10, 280, 92, kMessageId, message_);
    b.Add(DialogBuilder::kDefPushButton, 10, 110, 110, 16, kAcceptId, acceptText_);
    b.Add(DialogBuilder::kPushButton, 128, 110, 90, 16, kRejectId, rejectText_);
    return b.Build();
}

void ConfirmDialog::OnInit() { Win32::SetFocus(Win32::GetDlgItem(Handle(), kAcceptId)); }

bool ConfirmDialog::OnCommand(int id, int) {
    switch (id) {
        case kAcceptId:
            End(1);
            return true;
        case kRejectId:
        case IDCANCEL:
            End(0);
            return true;
        default:
            return false;
    }
}

}  // namespace twr
