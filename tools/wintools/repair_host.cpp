// Test host for the tray notifications and the crash-recovery prompt under Wine.
//   repair_host notify <title> <text> <kind>  notifies twice against a hidden owner window (and
//                                              once before it exists); prints one line per shell
//                                              call, "shell <message> id <id> ok|failed", waits
//                                              for both removals and prints "done"
//   repair_host prompt <saveFolder>            scans like the main window's start-up (printing
//                                              "found <journal>\t<recording>"), offers each in
//                                              the repair dialog over a hidden owner, "done"
//   repair_host inuse <path>                   prints "in use" or "free"
//   repair_host hold <path> <seconds>          holds the file open as the recorder does
//                                              (shared for reading and writing), prints "holding"
//   repair_host read <caption>                 waits for a top-level window of that caption and
//                                              prints "control\t<id>\t<class>\t<style>\t<text>" per
//                                              child, "focus\t<id>" and "icon\t<kind>" (message boxes)
//   repair_host click <caption> <id>           waits for the window and presses the button
//   repair_host key <caption> <vk>             foregrounds the window and presses the key
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/config.h"
#include "app/console.h"
#include "app/platform.h"
#include "app/win_error.h"
#include "app/win_raii.h"
#include "ui/crash_recovery.h"
#include "ui/notifier.h"

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

HWND WaitForWindow(const std::string& caption) {
    const std::wstring c = win::Widen(caption);
    for (int i = 0; i < 300; ++i) {
        if (HWND w = ::FindWindowW(nullptr, c.c_str()); w && ::IsWindowVisible(w)) return w;
        ::Sleep(100);
    }
    Console::ErrorLine("no window: " + caption);
    return nullptr;
}

std::string TextOf(HWND w) {
    wchar_t buf[4096] = {};
    ::SendMessageW(w, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buf));
    std::string s = win::Narrow(buf);
    std::string out;
    for (char c : s) out += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
    return out;
}

int Read(const std::vector<std::string>& a) {
    HWND w = WaitForWindow(a[1]);
    if (!w) return 1;
    std::vector<HWND> children;
    ::EnumChildWindows(
        w, [](HWND c, LPARAM p) { return reinterpret_cast<std::vector<HWND>*>(p)->push_back(c), TRUE; },
        reinterpret_cast<LPARAM>(&children));
    for (HWND c : children) {
        wchar_t cls[64] = {};
        ::GetClassNameW(c, cls, 64);
        char style[16];
        std::snprintf(style, sizeof style, "0x%08lX", static_cast<unsigned long>(::GetWindowLongPtrW(c, GWL_STYLE)));
        Console::WriteLine("control\t" + std::to_string(::GetDlgCtrlID(c)) + "\t" + win::Narrow(cls) + "\t" + style +
                           "\t" + TextOf(c));
    }
    GUITHREADINFO gti{};
    gti.cbSize = sizeof gti;
    if (::GetGUIThreadInfo(::GetWindowThreadProcessId(w, nullptr), &gti) && gti.hwndFocus)
        Console::WriteLine("focus\t" + std::to_string(::GetDlgCtrlID(gti.hwndFocus)));
    if (HWND icon = ::GetDlgItem(w, 1088)) {
        const auto h = reinterpret_cast<HICON>(::SendMessageW(icon, STM_GETICON, 0, 0));
        const char* kind = "other";
        if (h == ::LoadIconW(nullptr, IDI_INFORMATION)) kind = "information";
        else if (h == ::LoadIconW(nullptr, IDI_WARNING)) kind = "warning";
        else if (h == ::LoadIconW(nullptr, IDI_ERROR)) kind = "error";
        Console::WriteLine(std::string("icon\t") + kind);
    }
    return 0;
}

int Click(const std::vector<std::string>& a) {
    HWND w = WaitForWindow(a[1]);
    if (!w) return 1;
    HWND b = ::GetDlgItem(w, std::atoi(a[2].c_str()));
    if (!b) return 1;
    ::SendMessageW(b, BM_CLICK, 0, 0);
    Console::WriteLine("clicked");
    return 0;
}

int Key(const std::vector<std::string>& a) {
    HWND w = WaitForWindow(a[1]);
    if (!w) return 1;
    ::SetForegroundWindow(w);
    ::Sleep(200);
    INPUT in[2] = {};
    in[0].type = in[1].type = INPUT_KEYBOARD;
    in[0].ki.wVk = in[1].ki.wVk = static_cast<WORD>(std::atoi(a[2].c_str()));
    in[1].ki.dwFlags = KEYEVENTF_KEYUP;
    if (::SendInput(2, in, sizeof(INPUT)) != 2) return 1;
    Console::WriteLine("pressed");
    return 0;
}

int Hold(const std::vector<std::string>& a) {
    win::unique_hfile h(::CreateFileW(platform::U8Path(a[1]).c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h) return 1;
    Console::WriteLine("holding");
    ::Sleep(static_cast<DWORD>(std::atoi(a[2].c_str())) * 1000);
    return 0;
}

}  // namespace

int main() {
    Console::Attach();
    const std::vector<std::string> a = win::CommandLineArgs();
    const std::string cmd = a.empty() ? "" : a[0];
    if (cmd == "notify" && a.size() == 4) return Notify(a);
    if (cmd == "prompt" && a.size() == 2) return Prompt(a);
    if (cmd == "inuse" && a.size() == 2) {
        Console::WriteLine(CrashRecovery::IsInUse(platform::U8Path(a[1])) ? "in use" : "free");
        return 0;
    }
    if (cmd == "hold" && a.size() == 3) return Hold(a);
    if (cmd == "read" && a.size() == 2) return Read(a);
    if (cmd == "click" && a.size() == 3) return Click(a);
    if (cmd == "key" && a.size() == 3) return Key(a);
    Console::ErrorLine("usage: repair_host notify|prompt|inuse|hold|read|click|key ...");
    return 2;
}
