// Test host for the tray notifications and the crash-recovery prompt under Wine.
//   repair_host notify <title> <text> <kind>  notifies twice against a hidden owner window (and
//                                              once before it exists); prints one line per shell
//                                              call, "shell <message> id <id> ok|failed", waits
//                                              for both removals and prints "done"
//   repair_host prompt <saveFolder>            scans like the main window's start-up (printing
//                                              "found <journal>\t<recording>"), offers each in
//                                              the repair dialog over a hidden owner, "done"
//   repair_host modeless <recording>           the repair dialog created modeless, as the template
//                                              must serve both creating calls; "result <n>"
//   repair_host inuse <path>                   prints "in use" or "free"
// The dialog and the message boxes are read and answered with ui_driver.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/config.h"
#include "app/console.h"
#include "app/platform.h"
#include "app/win_error.h"
#include "ui/crash_recovery.h"
#include "ui/notifier.h"
#include "ui/repair_dialog_win.h"

namespace {

using namespace twr;

// Passes every call to the platform's shell and says what it answered.
class ReportingShell final : public TrayShell {
public:
    explicit ReportingShell(std::shared_ptr<TrayShell> inner) : inner_(std::move(inner)) {}
    uint64_t ApplicationIcon() override { return inner_->ApplicationIcon(); }
    bool NotifyIcon(uint32_t message, const NotifyIconRecord& r) override {
        const bool ok = inner_->NotifyIcon(message, r);
        const uint32_t id = r[16] | r[17] << 8 | r[18] << 16 | static_cast<uint32_t>(r[19]) << 24;
        static const char* names[] = {"NIM_ADD", "NIM_MODIFY", "NIM_DELETE"};
        Console::WriteLine(std::string("shell ") + (message < 3 ? names[message] : "?") + " id " +
                           std::to_string(id) + (ok ? " ok" : " failed"));
        if (message == Notifier::kDelete) ++deleted;
        return ok;
    }
    void StartReaper(uint32_t delayMs, std::function<void()> body) override {
        inner_->StartReaper(delayMs, std::move(body));
    }
    std::atomic<int> deleted{0};

private:
    std::shared_ptr<TrayShell> inner_;
};

HWND HiddenWindow() {
    return ::CreateWindowExW(0, L"STATIC", L"Tapewright", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                             ::GetModuleHandleW(nullptr), nullptr);
}

void Pump(int milliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        ::Sleep(20);
    }
}

int Notify(const std::vector<std::string>& a) {
    auto shell = std::make_shared<ReportingShell>(PlatformTrayShell());
    Notifier::SetShellForTesting(shell);
    Notifier::Notify("Too early", "before the main window", 0);
    Console::WriteLine("early notification given");
    HWND owner = HiddenWindow();
    if (!owner) return 1;
    Notifier::SetOwnerWindow(owner);
    Notifier::SetTipTitle("Tapewright Host");
    const int kind = std::atoi(a[3].c_str());
    Notifier::Notify(a[1], a[2], kind);
    Notifier::Notify(a[1] + " again", a[2], kind);
    for (int waited = 0; shell->deleted < 2 && waited < 15000; waited += 100) Pump(100);
    Console::WriteLine("done");
    ::DestroyWindow(owner);
    return shell->deleted == 2 ? 0 : 1;
}

int Prompt(const std::vector<std::string>& a) {
    // Settings of its own, naming the folder to scan.
    const auto settings = platform::TempDir() / ("repair_host_" + std::to_string(platform::ProcessId()) + ".json");
    Config config(settings);
    config.Data().Set("save_folder", a[1]);
    const auto list = CrashRecovery::FindUnfinishedRecordings(config);
    for (const auto& item : list) Console::WriteLine("found " + platform::PathText(item.Journal) + "\t" + item.Recording);
    HWND owner = HiddenWindow();
    CrashRecovery::PromptRepairs(owner, list);
    Console::WriteLine("done");
    if (owner) ::DestroyWindow(owner);
    return 0;
}

int Modeless(const std::vector<std::string>& a) {
    RepairDialog dialog(a[1]);
    HWND w = dialog.CreateModeless(nullptr);
    ::ShowWindow(w, SW_SHOW);
    ::SetForegroundWindow(w);
    MSG msg;
    while (!dialog.EndResult() && ::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (::IsDialogMessageW(w, &msg)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    Console::WriteLine("result " + std::to_string(dialog.EndResult().value_or(-1)));
    return 0;
}

}  // namespace

int main() {
    Console::Attach();
    const std::vector<std::string> a = win::CommandLineArgs();
    const std::string cmd = a.empty() ? "" : a[0];
    if (cmd == "notify" && a.size() == 4) return Notify(a);
    if (cmd == "prompt" && a.size() == 2) return Prompt(a);
    if (cmd == "modeless" && a.size() == 2) return Modeless(a);
    if (cmd == "inuse" && a.size() == 2) {
        Console::WriteLine(CrashRecovery::IsInUse(platform::U8Path(a[1])) ? "in use" : "free");
        return 0;
    }
    Console::ErrorLine("usage: repair_host notify|prompt|modeless|inuse ...");
    return 2;
}
