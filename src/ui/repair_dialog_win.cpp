#include "ui/repair_dialog_win.h"

#include <utility>

#include "ui/crash_recovery.h"
#include "ui/dialog_builder.h"
#include "ui/win32_win.h"

namespace twr {

RepairDialog::RepairDialog(std::string recording) : recording_(std::move(recording)) {}

std::vector<uint8_t> RepairDialog::BuildTemplate() {
    using B = DialogBuilder;
    B b("Incomplete Recording Detected", 320, 138, B::kDialogStyle, B::kExControlParent);
    // SS_NOPREFIX: an '&' in the path shows as itself.
    b.Add(B::kMessageText, 10, 10, 300, 76, kMessageId,
          "Tapewright was closed unexpectedly during your last session, and a recording may not have been "
          "finalized correctly.\n\nFile: " +
              recording_ + "\n\nWould you like to attempt to repair this audio file now?");
    b.Add(B::kDefPushButton, 10, 94, 104, 16, kRepairId, "Yes, &Repair Recording");
    b.Add(B::kPushButton, 120, 94, 96, 16, kLeaveId, "&No, Leave it alone");
    b.Add(B::kPushButton, 10, 116, 150, 16, kForgetId, "&Forget this recovery information");
    return b.Build();
}

void RepairDialog::OnInit() { Win32::SetFocus(Win32::GetDlgItem(Handle(), kRepairId)); }

bool RepairDialog::OnCommand(int id, int) {
    switch (id) {
        case kRepairId:
            End(CrashRecovery::kRepair);
            return true;
        case kLeaveId:
        case IDCANCEL:
            End(CrashRecovery::kLeave);
            return true;
        case kForgetId:
            End(CrashRecovery::kForget);
            return true;
        default:
            return false;
    }
}

}  // namespace twr
