#include "ui/update_dialog_win.h"

#include <utility>

#include "ui/dialog_builder.h"
#include "ui/win32_win.h"

namespace twr {

UpdateDialog::UpdateDialog(std::string currentVersion, std::string newVersion, std::string notes)
    : currentVersion_(std::move(currentVersion)), newVersion_(std::move(newVersion)), notes_(std::move(notes)) {}

std::vector<uint8_t> UpdateDialog::BuildTemplate() {
    using T = UpdateDialogText;
    DialogBuilder b("Update Available", 320, 190, DialogBuilder::kDialogStyle, DialogBuilder::kExControlParent);
    b.Add(DialogBuilder::kMessageText, 10, 8, 300, 20, T::kIntro, T::Intro(currentVersion_, newVersion_));
    // The label stands right before the list, so its mnemonic moves the focus to the notes.
    b.Add(DialogBuilder::kLabel, 10, 34, 100, 10, T::kNotesLabel, "&What's new:");
    b.Add(DialogBuilder::kNotesList, 10, 48, 300, 100, T::kNotes, "");
    b.Add(DialogBuilder::kDefPushButton, 10, 158, 80, 16, T::kUpdateNow, "&Update Now");
    b.Add(DialogBuilder::kPushButton, 96, 158, 80, 16, T::kDontUpdate, "&Don't Update");
    return b.Build();
}

void UpdateDialog::OnInit() {
    HWND list = Win32::GetDlgItem(Handle(), UpdateDialogText::kNotes);
    for (const std::string& entry : UpdateDialogText::NoteEntries(notes_))
        Win32::SendMessageString(list, LB_ADDSTRING, 0, entry);
    // With no entries there is nothing to select; the focus still starts on the list.
    Win32::SendMessageW(list, LB_SETCURSEL, 0, 0);
}

bool UpdateDialog::OnCommand(int id, int) {
    switch (id) {
        case UpdateDialogText::kUpdateNow:
            End(1);
            return true;
        case UpdateDialogText::kDontUpdate:
        case IDCANCEL:
            End(0);
            return true;
        default:
            return false;
    }
}

}  // namespace twr
