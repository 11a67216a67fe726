#pragma once
// The program's one top-level window: a modeless dialog with the dashboard, four buttons and the
// live-statistics list. Its decisions live in MainWindowLogic; this class only turns them into
// window-manager calls and turns the window's messages into events. Interface thread only,
// except Post.
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "app/config.h"
#include "recording/drive_watchers.h"
#include "ui/crash_recovery.h"
#include "ui/dialog_base_win.h"
#include "ui/main_window_logic.h"

namespace twr {

class MainWindow final : public DialogBase, private MainWindowHost {
public:
    // The message that drains the posted actions.
    static constexpr UINT kActionMessage = WM_APP + 1;

    explicit MainWindow(Config& config);

    [[nodiscard]] std::vector<uint8_t> BuildTemplate() override;
    // Any thread: runs the action on the interface thread.
    void Post(std::function<void()> action) { logic_.Post(std::move(action)); }
    [[nodiscard]] MainWindowLogic& Logic() noexcept { return logic_; }

protected:
    void OnInit() override;
    bool OnCommand(int id, int code) override;
    bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

private:
    // MainWindowHost
    void SetControlText(int id, const std::string& text) override;
    void EnableControl(int id, bool enabled) override;
    void ShowControl(int id, bool visible) override;
    bool HasFocus(int id) override;
    bool FocusOnDialogOrNowhere() override;
    bool FocusOnUsableControl() override;
    bool ControlEnabled(int id) override;
    void Focus(int id) override;
    void WriteList(int id, const std::string& text) override;
    std::string ReadList(int id) override;
    void SetWindowTitle(const std::string& title) override;
    bool IsForeground() override;
    int Box(const std::string& text, const std::string& caption, unsigned flags) override;
    void SetTimer(int id, int milliseconds) override;
    void KillTimer(int id) override;
    void Speak(const std::string& text) override;
    void Notify(const std::string& title, const std::string& text, int kind) override;
    void PlayCue(const std::string& name, int volumePercent) override;
    void InstallSpeechGate(std::function<bool()> gate) override;
    void PublishForNotifier(const std::string& title) override;
    std::vector<AudioDevice> EnumerateDevices() override;
    bool DirectoryExists(const std::string& path) override;
    uint64_t FreeBytes(const std::string& root) override;
    int64_t NowMs() override;
    void SleepMs(int milliseconds) override;
    std::string DecimalSeparator() override;
    std::unique_ptr<RecordingPort> NewRecording(const Config& config, RecordingPort::Callbacks callbacks) override;
    void StartDriveMonitor() override;
    void StopDriveMonitor() override;
    std::unique_ptr<ResumeWatcherPort> NewResumeWatcher(const std::string& folder, const std::string& device1Id,
                                                        const std::string& device2Id, const std::string& reason,
                                                        std::function<void(const std::string&)> onReady) override;
    void FindUnfinishedRecordings() override;
    void PromptRepairs() override;
    void StartUpdateCheck() override;
    void ShowSettingsDialog(const std::vector<AudioDevice>& devices) override;
    bool UpdateInProgress() override;
    void WakeForActions() override;
    void PumpMessages() override;
    void DestroyAndQuit() override;

    Config& config_;
    MainWindowLogic logic_;
    std::unique_ptr<DriveMonitor> driveMonitor_;
    // Found during start-up, offered at its end.
    std::vector<UnfinishedRecording> unfinished_;
    // The handle as other threads read it to wake this one.
    std::atomic<HWND> window_{nullptr};
};

}  // namespace twr
