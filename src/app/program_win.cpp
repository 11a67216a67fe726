#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <functional>
#include <map>

#include "app/config.h"
#include "app/console.h"
#include "app/errors.h"
#include "app/log.h"
#include "app/platform.h"
#include "app/program.h"
#include "app/threads.h"
#include "app/version.h"
#include "app/win_error.h"
#include "feedback/speech.h"
#include "selftest/capture_test.h"
#include "ui/main_window_win.h"
#include "ui/win32_win.h"
#include "update/updater.h"

namespace twr {

namespace {

using Tool = std::function<int(const std::vector<std::string>& args, const CommandLine& cl)>;

int NotInThisBuild(const CommandLine& cl) {
    Console::ErrorLine("Error: " + cl.tool + " is not available in this build.");
    return 1;
}

// Each console option and the tool it runs; what the tool returns is the exit code.
const std::map<std::string, Tool>& Tools() {
    static const std::map<std::string, Tool> tools = {
        {"--version",
         [](const auto&, const auto&) {
             Console::WriteLine(Program::VersionLine());
             return 0;
         }},
        {"--devices", [](const auto&, const auto&) { return Program::ListDevices(); }},
        {"--speech", [](const auto&, const CommandLine& cl) { return Program::SpeechCheck(cl.say); }},
        {"--config", [](const auto&, const auto&) { return Program::DumpConfig(); }},
        {"--sounds", [](const auto&, const auto&) { return Program::ListSounds(); }},
        {"--captest", [](const auto& args, const auto&) { return CaptureTest::Run(args); }},
        {"--checkupdate", [](const auto&, const auto&) { return Updater::CheckHeadless(); }},
        {"--update", [](const auto&, const auto&) { return Updater::UpdateHeadless(); }},
    };
    return tools;
}

std::string OsVersionText() {
    // RtlGetVersion reports the real version, unaffected by compatibility shims.
    using Fn = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (!fn || fn(&v) != 0) return "Microsoft Windows NT";
    return "Microsoft Windows NT " + std::to_string(v.dwMajorVersion) + "." + std::to_string(v.dwMinorVersion) +
           "." + std::to_string(v.dwBuildNumber) + ".0";
}

std::string OsArchitectureName() {
    SYSTEM_INFO si{};
    ::GetNativeSystemInfo(&si);
    switch (si.wProcessorArchitecture) {
        case PROCESSOR_ARCHITECTURE_AMD64: return "X64";
        case PROCESSOR_ARCHITECTURE_ARM64: return "Arm64";
        case PROCESSOR_ARCHITECTURE_ARM: return "Arm";
        case PROCESSOR_ARCHITECTURE_INTEL: return "X86";
        default: return "Unknown";
    }
}

}  // namespace

namespace {

// Logs "Fatal error: " with the failure and gives the text the box shows for it.
std::string LogFatal(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        Log::Error(std::string("Fatal error: ") + e.what(), e);
        return FullText(e);
    } catch (...) {
        Log::Error("Fatal error: unknown exception");
        return "Unknown exception";
    }
}

}  // namespace

int Program::FatalBox(std::exception_ptr error) noexcept {
    try {
        const std::string text = "Tapewright hit an unrecoverable error and has to close.\r\n\r\n" + LogFatal(error) +
                                 "\r\n\r\nDetails were written to:\r\n" + platform::PathText(Log::FilePath());
        ::MessageBoxW(nullptr, win::Widen(text).c_str(), L"Tapewright", MB_ICONERROR | MB_SETFOREGROUND);
    } catch (...) {
    }
    return 1;
}

void Program::FatalExit(std::exception_ptr error) noexcept {
    // The box runs a message loop, so a window may fail again while it is open: only the
    // first failure is shown, a later one is logged and ends the process at once.
    static std::atomic<bool> entered{false};
    if (entered.exchange(true)) {
        try {
            LogFatal(error);
        } catch (...) {
        }
    } else {
        FatalBox(error);
    }
    ::ExitProcess(1);
}

bool Program::AttachConsole(int) {
    Console::Attach();
    return true;
}

int Program::Main(const std::vector<std::string>& args) {
    CommandLine cl = Parse(args);
    if (cl.finishUpdatePid) {
        AttachConsole(-1);
        Updater::FinishUpdate(*cl.finishUpdatePid);
    }
    (void)Updater::CleanupOnStartup();

    if (cl.tool.empty()) {
        try {
            return RunApp();
        } catch (...) {
            return FatalBox(std::current_exception());
        }
    }

    AttachConsole(-1);
    auto it = Tools().find(cl.tool);
    if (it == Tools().end()) return NotInThisBuild(cl);
    try {
        return it->second(args, cl);
    } catch (const std::exception& e) {
        // A tool that lets a failure escape still ends cleanly with a line and exit code 1.
        Log::Error("Console tool " + cl.tool + " failed", e);
        Console::ErrorLine(std::string("Error: ") + e.what());
        return 1;
    }
}

int Program::RunApp() {
    SetCurrentThreadName("MainThread");
    Log::Info("App started. OS: " + OsVersionText() + " / " + OsArchitectureName() + ", process " + kArchName +
              ", version " + kVersion);
    // DPI awareness and the common controls are best effort.
    Win32::EnableDpiAwareness();
    Win32::InitCommonControls();
    Speech::Init();
    // The settings and the window live until the process ends: threads that outlive the loop
    // (a stuck writer, a watcher) may still read the one and post to the other.
    auto* config = new Config();
    auto* window = new MainWindow(*config);
    HWND handle = window->CreateModeless(nullptr);
    Win32::ShowWindow(handle, SW_SHOWNORMAL);
    Win32::SetForegroundWindow(handle);
    MSG msg;
    for (;;) {
        const BOOL got = Win32::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) break;
        if (Win32::IsWindow(handle) && Win32::IsDialogMessageW(handle, &msg)) continue;
        Win32::TranslateMessage(&msg);
        Win32::DispatchMessageW(&msg);
    }
    Log::Info("App exiting normally.");
    return 0;
}

}  // namespace twr
