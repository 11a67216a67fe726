#include <windows.h>

#include "app/errors.h"
#include "app/platform.h"
#include "recording/wav_file.h"
#include "ui/crash_recovery.h"
#include "ui/repair_dialog_win.h"
#include "ui/win32_win.h"

namespace twr {

namespace {

class DialogPrompter final : public RepairPrompter {
public:
    explicit DialogPrompter(HWND owner) : owner_(owner) {}

    int Ask(const std::string& recording) override {
        RepairDialog dialog(recording);
        const INT_PTR result = dialog.ShowModal(owner_);
        // -1: the dialog manager could not create it; the journal stays for the next start.
        if (result == -1)
            throw InvalidOperation("The repair dialog could not be shown, error " +
                                   std::to_string(Win32::GetLastError()));
        return static_cast<int>(result);
    }

    bool Repair(const std::string& recording) override { return WavFile::Repair(platform::U8Path(recording)); }

    void Message(const std::string& text, const std::string& caption, uint32_t flags) override {
        Win32::MessageBoxW(owner_, text, caption, flags);
    }

private:
    HWND owner_;
};

}  // namespace

void CrashRecovery::PromptRepairs(void* owner, const std::vector<UnfinishedRecording>& list) {
    DialogPrompter prompter(static_cast<HWND>(owner));
    PromptRepairs(prompter, SystemFiles(), list);
}

}  // namespace twr
