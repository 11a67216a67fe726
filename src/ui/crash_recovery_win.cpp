#include <windows.h>

#include "app/errors.h"
#include "app/platform.h"
#include "app/win_error.h"
#include "recording/wav_file.h"
#include "ui/crash_recovery.h"

namespace twr {

namespace {

class DialogPrompter final : public RepairPrompter {
public:
    explicit DialogPrompter(HWND owner) : owner_(owner) {}

    int Ask(const std::string&) override {
        throw InvalidOperation("The repair dialog is not part of this build.");
    }

    bool Repair(const std::string& recording) override { return WavFile::Repair(platform::U8Path(recording)); }

    void Message(const std::string& text, const std::string& caption, uint32_t flags) override {
        ::MessageBoxW(owner_, win::Widen(text).c_str(), win::Widen(caption).c_str(), flags);
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
