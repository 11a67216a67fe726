#include "ui/main_window_win.h"

#include <dbt.h>

#include <utility>

#include "app/errors.h"
#include "app/log.h"
#include "app/platform.h"
#include "app/threads.h"
#include "app/win_error.h"
#include "feedback/sounds.h"
#include "feedback/speech.h"
#include "recording/wasapi.h"
#include "ui/crash_recovery.h"
#include "ui/dialog_builder.h"
#include "ui/engine_ports.h"
#include "ui/notifier.h"
#include "ui/settings_dialog_win.h"
#include "ui/win32_win.h"
#include "update/updater.h"

namespace twr {

MainWindow::MainWindow(Config& config) : config_(config), logic_(config, *this) {}

std::vector<uint8_t> MainWindow::BuildTemplate() {
    using B = DialogBuilder;
    B b(config_.WindowTitle(), 270, 140, B::kMainWindowStyle, B::kExAppWindow);
    b.AddItem(0, 0, 5, 5, 260, 10, kIdTitleLabel, B::kStatic, "Tapewright Dashboard");
    // No default push button: Enter must never stop a recording by surprise.
    b.Add(B::kPushButton, 5, 20, 62, 18, kIdExit, "E&xit");
    b.Add(B::kPushButton, 71, 20, 62, 18, kIdSettings, "Se&ttings");
    b.Add(B::kPushButton, 137, 20, 62, 18, kIdStart, "&Start Recording");
    b.Add(B::kPushButton, 203, 20, 62, 18, kIdPause, "&Pause");
    b.Add(B::kMainList, 5, 44, 260, 58, kIdDashboard, "");
    b.Add(B::kMainList, 5, 108, 260, 24, kIdStats, "");
    return b.Build();
}

void MainWindow::OnInit() {
    window_.store(Handle(), std::memory_order_release);
    // An update never swaps the executable under a recording.
    Updater::BusyCheck = [this] { return logic_.Recording() || logic_.Stopping(); };
    // Constructed before the decisions run, never started here: it watches only while recording.
    driveMonitor_ = std::make_unique<DriveMonitor>(
        [this] { return platform::PathText(config_.SaveFolder()); },
        [this](const std::string& root) { logic_.Post([this, root] { logic_.HandleDriveDisconnect(root); }); });
    logic_.OnInit();
}

bool MainWindow::OnCommand(int id, int code) { return logic_.OnCommand(id, code); }

bool MainWindow::OnMessage(UINT msg, WPARAM wParam, LPARAM, INT_PTR& result) {
    switch (msg) {
        case kActionMessage: logic_.DrainActions(); return true;
        case WM_TIMER: logic_.OnTimer(static_cast<int>(wParam)); return true;
        case WM_CLOSE:
            // Handled here, so the dialog manager never turns it into IDCANCEL.
            logic_.HandleClose();
            result = 1;
            return true;
        case WM_QUERYENDSESSION:
            logic_.HandleEndSession();
            Win32::SetWindowLongPtr(Handle(), DWLP_MSGRESULT, TRUE);
            result = TRUE;
            return true;
        case WM_ACTIVATE:
            if (LOWORD(wParam) != WA_INACTIVE) logic_.OnActivate();
            return false;
        case WM_DEVICECHANGE:
            // Only arrivals, removals and changed device nodes can mean the save folder's drive left.
            if (driveMonitor_ && (wParam == DBT_DEVNODES_CHANGED || wParam == DBT_DEVICEARRIVAL ||
                                  wParam == DBT_DEVICEQUERYREMOVE || wParam == DBT_DEVICEREMOVECOMPLETE))
                driveMonitor_->Wake();
            // TRUE also grants a removal query: the monitor, not a refusal, keeps the recording safe.
            Win32::SetWindowLongPtr(Handle(), DWLP_MSGRESULT, TRUE);
            result = 1;
            return true;
        default: return false;
    }
}

// ---- controls ------------------------------------------------------------------------------

void MainWindow::SetControlText(int id, const std::string& text) { Text(id, text); }
void MainWindow::EnableControl(int id, bool enabled) { Enable(id, enabled); }
void MainWindow::ShowControl(int id, bool visible) {
    Win32::ShowWindow(Win32::GetDlgItem(Handle(), id), visible ? SW_SHOW : SW_HIDE);
}

bool MainWindow::HasFocus(int id) {
    HWND control = Win32::GetDlgItem(Handle(), id);
    return control && Win32::GetFocus() == control;
}

bool MainWindow::FocusOnDialogOrNowhere() {
    HWND focus = Win32::GetFocus();
    return !focus || focus == Handle();
}

bool MainWindow::FocusOnUsableControl() {
    HWND focus = Win32::GetFocus();
    return focus && focus != Handle() && Win32::IsWindowEnabled(focus) && Win32::IsWindowVisible(focus);
}

bool MainWindow::ControlEnabled(int id) { return Win32::IsWindowEnabled(Win32::GetDlgItem(Handle(), id)); }

void MainWindow::Focus(int id) { Win32::SetFocus(id ? Win32::GetDlgItem(Handle(), id) : Handle()); }

void MainWindow::WriteList(int id, const std::string& text) { Win32::ListSetLines(Handle(), id, text); }
std::string MainWindow::ReadList(int id) { return Win32::ListGetAll(Handle(), id); }
void MainWindow::SetWindowTitle(const std::string& title) { Win32::SetWindowTextW(Handle(), title); }

bool MainWindow::IsForeground() {
    HWND foreground = Win32::GetForegroundWindow();
    if (foreground && foreground == Handle()) return true;
    // One of our own dialogs in front counts as ours.
    HWND active = Win32::GetActiveWindow();
    return active && active == foreground;
}

int MainWindow::Box(const std::string& text, const std::string& caption, unsigned flags) {
    return Win32::MessageBoxW(Handle(), text, caption, flags);
}

void MainWindow::SetTimer(int id, int milliseconds) {
    Win32::SetTimer(Handle(), static_cast<UINT_PTR>(id), static_cast<UINT>(milliseconds));
}
void MainWindow::KillTimer(int id) { Win32::KillTimer(Handle(), static_cast<UINT_PTR>(id)); }

// ---- voices --------------------------------------------------------------------------------

void MainWindow::Speak(const std::string& text) { Speech::Speak(text); }

void MainWindow::Notify(const std::string& title, const std::string& text, int kind) {
    // The balloon leaves no trace a user can look back at: the log keeps what it said.
    Log::Info("Notification (" + std::to_string(kind) + "): " + title + " - " + text);
    Notifier::Notify(title, text, kind);
}

void MainWindow::PlayCue(const std::string& name, int volumePercent) { Sounds::Play(name, volumePercent); }
void MainWindow::InstallSpeechGate(std::function<bool()> gate) { Speech::Gate = std::move(gate); }
void MainWindow::PublishForNotifier(const std::string& title) {
    Notifier::SetOwnerWindow(Handle());
    Notifier::SetTipTitle(title);
}

// ---- system and engine ---------------------------------------------------------------------

std::vector<AudioDevice> MainWindow::EnumerateDevices() { return Wasapi::EnumerateDevices(); }

bool MainWindow::DirectoryExists(const std::string& path) { return platform::DirectoryExists(platform::U8Path(path)); }

uint64_t MainWindow::FreeBytes(const std::string& root) {
    auto free = platform::FreeSpace(platform::U8Path(root));
    if (!free) throw IoError("Could not read the free space of " + root);
    return *free;
}

int64_t MainWindow::NowMs() { return static_cast<int64_t>(::GetTickCount64()); }
void MainWindow::SleepMs(int milliseconds) { ::Sleep(static_cast<DWORD>(milliseconds)); }

std::string MainWindow::DecimalSeparator() {
    // Asked at each tick, so a change in the regional settings shows at the next one.
    return platform::DecimalSeparator();
}

std::unique_ptr<RecordingPort> MainWindow::NewRecording(const Config& config, RecordingPort::Callbacks callbacks) {
    return MakeRecorderPort(config, std::move(callbacks));
}

void MainWindow::StartDriveMonitor() { driveMonitor_->Start(); }
void MainWindow::StopDriveMonitor() {
    if (driveMonitor_) driveMonitor_->Stop();
}

std::unique_ptr<ResumeWatcherPort> MainWindow::NewResumeWatcher(const std::string& folder, const std::string& device1Id,
                                                                const std::string& device2Id, const std::string& reason,
                                                                std::function<void(const std::string&)> onReady) {
    return MakeResumeWatcherPort(folder, device1Id, device2Id, reason, std::move(onReady));
}

void MainWindow::FindUnfinishedRecordings() { unfinished_ = CrashRecovery::FindUnfinishedRecordings(config_); }
void MainWindow::PromptRepairs() { CrashRecovery::PromptRepairs(Handle(), std::exchange(unfinished_, {})); }
void MainWindow::StartUpdateCheck() {
    StartNamedThread("UpdateCheck", [this] {
        try {
            if (auto update = Updater::CheckQuietly())
                logic_.Post([this, info = *update] {
                    logic_.OfferUpdate([this, info] { Updater::Offer(Handle(), info); });
                });
        } catch (const std::exception& e) {
            Log::Warn(std::string("Startup update check failed: ") + e.what());
        }
    }).detach();
}

bool MainWindow::UpdateInProgress() { return Updater::InProgress(); }
void MainWindow::ShowSettingsDialog(const std::vector<AudioDevice>& devices) {
    SettingsDialog(config_, devices).ShowModal(Handle());
}

// ---- the message loop's side ---------------------------------------------------------------

void MainWindow::WakeForActions() {
    // Without a window (not yet made, or destroyed) nobody drains the queue: a null handle would
    // post to the calling thread, and a destroyed one may already name another window.
    if (HWND window = window_.load(std::memory_order_acquire))
        Win32::PostMessageW(window, kActionMessage, 0, 0);
}

void MainWindow::PumpMessages() {
    MSG msg;
    while (Win32::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // The run loop must still see it.
            Win32::PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        Win32::TranslateMessage(&msg);
        Win32::DispatchMessageW(&msg);
    }
}

void MainWindow::DestroyAndQuit() {
    window_.store(nullptr, std::memory_order_release);
    Win32::DestroyWindow(Handle());
    Win32::PostQuitMessage(0);
}

}  // namespace twr
