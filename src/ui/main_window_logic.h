#pragma once
// What the main window decides: the recording life cycle (start checks, pause, split, stop,
// finalization report, every failure the engine reports, disk space, auto-resume), deferral of
// work while the window is busy, focus care of the two lists, the speech gate, the dashboard and
// live-statistics texts, closing and the end of the Windows session. Portable: the window, the
// recorder, the watchers and the system reach it only through MainWindowHost, so every path is
// driven by native tests. Everything here runs on the interface thread except Post.
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/config.h"
#include "recording/recording_session.h"
#include "recording/wasapi.h"

namespace twr {

// Controls of the main window.
enum MainControl : int {
    kIdTitleLabel = 3000,
    kIdExit = 3001,
    kIdSettings = 3002,
    kIdStart = 3003,
    kIdPause = 3004,
    kIdDashboard = 3005,
    kIdStats = 3006,
};

// Timers of the main window.
enum MainTimer : int {
    kTimerStats = 1,
    kTimerSplit = 2,
    kTimerMaxLength = 3,
    kTimerDisk = 4,
    kTimerShutdown = 5,
    kTimerAutoStart = 6,
    // Watches a writer that outlived the shutdown poll, so Start comes back once it has ended.
    kTimerStuckWriter = 7,
};

// Message box flags and the answer the window looks for.
inline constexpr unsigned kBoxError = 0x10;
inline constexpr unsigned kBoxWarning = 0x30;
inline constexpr unsigned kBoxConfirm = 0x124;
inline constexpr int kAnswerYes = 6;

// Notification kinds.
inline constexpr int kNotifyInfo = 0;
inline constexpr int kNotifyWarning = 1;
inline constexpr int kNotifyError = 2;

// One recording, as the window drives it (the Recorder in the product).
class RecordingPort {
public:
    struct Callbacks {
        std::function<void(const std::string&)> OnError;
        std::function<void()> OnSplit;
        std::function<void(int input, bool continuing)> OnMicDisconnected;
        std::function<void(int input, bool stalled)> OnMicStall;
    };
    virtual ~RecordingPort() = default;
    virtual void Start(const AudioDevice& input1, const AudioDevice* input2, int sampleRate, int channels,
                       int bitsPerSample, int bufferFrames, const std::string& prefix) = 0;
    virtual void Stop() = 0;
    [[nodiscard]] virtual bool WriterAlive() const = 0;
    [[nodiscard]] virtual bool ReadersAlive() const = 0;
    // Null before Start.
    [[nodiscard]] virtual std::shared_ptr<RecordingSession> Session() const = 0;
    [[nodiscard]] virtual std::filesystem::path CurrentFile() const = 0;
    [[nodiscard]] virtual std::filesystem::path OutputFolder() const = 0;
    [[nodiscard]] virtual int64_t FramesCommitted() const = 0;
    virtual void SetPaused(bool paused) = 0;
    virtual void RequestSplit() = 0;
};

// The wait for a lost drive or input to come back (the AutoResumeWatcher in the product).
class ResumeWatcherPort {
public:
    virtual ~ResumeWatcherPort() = default;
    virtual void Start() = 0;
    [[nodiscard]] virtual bool Running() const = 0;
    // Clears the running flag and wakes the thread, which then ends without reporting.
    virtual void Cancel() = 0;
    [[nodiscard]] virtual std::string Reason() const = 0;
    virtual void SetReason(const std::string& reason) = 0;
};

// The window, the system and the engine as the decisions need them.
class MainWindowHost {
public:
    virtual ~MainWindowHost() = default;

    // Controls. Id 0 in Focus means the dialog window itself.
    virtual void SetControlText(int id, const std::string& text) = 0;
    virtual void EnableControl(int id, bool enabled) = 0;
    virtual void ShowControl(int id, bool visible) = 0;
    [[nodiscard]] virtual bool HasFocus(int id) = 0;
    // The keyboard focus is on the dialog window itself or on no window.
    [[nodiscard]] virtual bool FocusOnDialogOrNowhere() = 0;
    // The focused window exists, is not the dialog itself, and is enabled and visible.
    [[nodiscard]] virtual bool FocusOnUsableControl() = 0;
    [[nodiscard]] virtual bool ControlEnabled(int id) = 0;
    virtual void Focus(int id) = 0;
    // Replaces a list box's lines (one per line of the text).
    virtual void WriteList(int id, const std::string& text) = 0;
    // All lines of a list box joined with line feeds.
    [[nodiscard]] virtual std::string ReadList(int id) = 0;
    virtual void SetWindowTitle(const std::string& title) = 0;
    // The main window, or an active dialog of the program, is the foreground window.
    [[nodiscard]] virtual bool IsForeground() = 0;
    // Modal box owned by the window; returns the button pressed.
    virtual int Box(const std::string& text, const std::string& caption, unsigned flags) = 0;

    virtual void SetTimer(int id, int milliseconds) = 0;
    virtual void KillTimer(int id) = 0;

    // The three voices.
    virtual void Speak(const std::string& text) = 0;
    virtual void Notify(const std::string& title, const std::string& text, int kind) = 0;
    virtual void PlayCue(const std::string& name, int volumePercent) = 0;
    virtual void InstallSpeechGate(std::function<bool()> gate) = 0;
    // Hands the window handle and title to the notifier.
    virtual void PublishForNotifier(const std::string& title) = 0;

    // Devices, drives and the clock.
    [[nodiscard]] virtual std::vector<AudioDevice> EnumerateDevices() = 0;
    [[nodiscard]] virtual bool DirectoryExists(const std::string& path) = 0;
    // Free bytes available to the user on the drive of the root; throws when it cannot tell.
    [[nodiscard]] virtual uint64_t FreeBytes(const std::string& root) = 0;
    [[nodiscard]] virtual int64_t NowMs() = 0;
    virtual void SleepMs(int milliseconds) = 0;
    // The user's own decimal separator, so the megabytes read as the user writes numbers.
    [[nodiscard]] virtual std::string DecimalSeparator() = 0;

    // The engine.
    [[nodiscard]] virtual std::unique_ptr<RecordingPort> NewRecording(const Config& config,
                                                                     RecordingPort::Callbacks callbacks) = 0;
    virtual void StartDriveMonitor() = 0;
    virtual void StopDriveMonitor() = 0;
    [[nodiscard]] virtual std::unique_ptr<ResumeWatcherPort> NewResumeWatcher(
        const std::string& folder, const std::string& device1Id, const std::string& device2Id,
        const std::string& reason, std::function<void(const std::string&)> onReady) = 0;

    // Start-up work of other subsystems: the scan for unfinished recordings, its prompts, and the
    // background update check (whose offers come back through MainWindowLogic::OfferUpdate).
    virtual void FindUnfinishedRecordings() = 0;
    virtual void PromptRepairs() = 0;
    virtual void StartUpdateCheck() = 0;
    // The modal settings dialog over the current device list.
    virtual void ShowSettingsDialog(const std::vector<AudioDevice>& devices) = 0;
    // An update is being offered or installed: no recording may start meanwhile.
    [[nodiscard]] virtual bool UpdateInProgress() = 0;

    // Wakes the interface thread to drain the posted actions.
    virtual void WakeForActions() = 0;
    // Removes and dispatches every message waiting for this thread (no dialog keyboard handling).
    virtual void PumpMessages() = 0;
    // Destroys the window and ends the message loop with exit code 0.
    virtual void DestroyAndQuit() = 0;
};

// Lines and texts the window shows or speaks.
struct MainTexts {
    // "Recording time, ..." for the committed frames and the settings; the megabytes with two
    // decimals after the given separator, no digit grouping.
    [[nodiscard]] static std::string LiveStats(int64_t frames, int rate, int channels, int bits, bool autoSplit,
                                               int splitNumber, const std::string& decimalSeparator);
    // The five dashboard lines joined by "\n".
    [[nodiscard]] static std::string Dashboard(const Config& config, const std::vector<AudioDevice>& devices,
                                               const std::string& statusText);
    // The whole number in the text, or the default.
    [[nodiscard]] static int ParseInt(const std::string& text, int def);
};

class MainWindowLogic {
public:
    MainWindowLogic(Config& config, MainWindowHost& host);
    MainWindowLogic(const MainWindowLogic&) = delete;
    MainWindowLogic& operator=(const MainWindowLogic&) = delete;

    // Any thread: queue the action and wake the interface thread. Never waits for the window.
    void Post(std::function<void()> action);
    // Runs every queued action in order; one that throws is logged and the rest still run.
    void DrainActions();

    // The window's events.
    void OnInit();
    // True when the command was the window's.
    bool OnCommand(int id, int code);
    void OnTimer(int id);
    void OnActivate();
    void HandleClose();
    void HandleEndSession();

    // Deferral.
    void OfferUpdate(std::function<void()> offer);
    void RunDeferred();
    void OpenSettings();

    // Recording control.
    void ToggleRecording();
    void StartRecording();
    void TogglePause();
    void OnSplit();
    void ForceStopMaxLength();
    void StopRecording(bool announce);
    void PollSessionShutdown();
    void HandleError(const std::string& message);
    void HandleStallChanged(int input, bool stalled);
    void HandleDriveDisconnect(const std::string& root);
    void HandleMicDisconnect(int input, bool continuing);
    void StartAutoResume(const std::string& reason);
    void HandleAutoResume(const std::string& reason);
    void CheckDiskSpace();
    void UpdateLiveStats();
    // Reports a writer that ended on its own; true when it did (the recording has stopped).
    bool ReportDeadWriter();
    void UpdateDashboard();
    void PopulateDevices();

    // Focus care of the lists.
    void SetList(int id, const std::string& text);
    void FlushList(int id);
    void ShowStats(bool visible);
    void Disable(int id);
    void RestoreFocus(int id);
    void FixFocusAfterActivate();

    // Whether speech may go out now.
    [[nodiscard]] bool SpeechAllowed();

    // State, for the window and the tests.
    [[nodiscard]] bool Recording() const noexcept { return recording_; }
    [[nodiscard]] bool Paused() const noexcept { return paused_; }
    [[nodiscard]] bool Stopping() const noexcept { return stopping_; }
    [[nodiscard]] bool ExitPending() const noexcept { return exitPending_; }
    [[nodiscard]] const std::string& StatusText() const noexcept { return statusText_; }
    [[nodiscard]] int DiskLevel() const noexcept { return diskLevel_; }
    [[nodiscard]] int SplitNumber() const noexcept { return splitNumber_; }
    [[nodiscard]] bool HasRecording() const noexcept { return recorder_ != nullptr; }
    [[nodiscard]] const std::vector<AudioDevice>& Devices() const noexcept { return devices_; }
    [[nodiscard]] bool StatsVisible() const noexcept { return statsVisible_; }
    [[nodiscard]] ResumeWatcherPort* Watcher() const noexcept { return watcher_.get(); }

private:
    [[nodiscard]] int SettingInt(const char* key, int def) const;
    [[nodiscard]] bool SettingBool(const char* key, bool def) const;
    [[nodiscard]] bool AutoSplitOn() const;
    [[nodiscard]] std::string RecordingStatusLine() const;
    [[nodiscard]] std::string SaveFolderText() const;
    [[nodiscard]] bool HasDevice(const std::string& id) const;
    [[nodiscard]] const AudioDevice* FindDevice(const std::string& id) const;
    [[nodiscard]] bool Busy() const;
    [[nodiscard]] bool StuckWriterAlive() const;
    void PlayIfEnabled(const char* event);
    void StartChecked();
    void FailStart(const std::string& message, bool threadsStarted);
    void ReportResult(const RecordingSession* session, bool writerStuck, bool announce);
    void ReportWriterError(const std::string& message);
    void WatchStuckWriter();
    // Replaces the box of a lost drive or input: wait for it, saying so.
    void WaitToResume(const std::string& reason, const std::string& waiting);
    void StopWatcher();
    void EndCountdown();
    void Quit();
    [[nodiscard]] RecordingPort::Callbacks MakeCallbacks();

    Config& config_;
    MainWindowHost& host_;
    std::vector<AudioDevice> devices_;

    // The queue outlives the window's threads' last posts: every callback holds it.
    struct ActionQueue {
        std::mutex mutex;
        std::deque<std::function<void()>> actions;
    };
    std::shared_ptr<ActionQueue> queue_ = std::make_shared<ActionQueue>();

    std::unique_ptr<RecordingPort> recorder_;
    // A recording whose writer did not end within the shutdown poll; no new start until it has.
    std::unique_ptr<RecordingPort> stuckRecorder_;
    std::unique_ptr<ResumeWatcherPort> watcher_;
    std::function<void()> parkedUpdate_;
    std::string statusText_ = "Status: Ready";
    std::map<int, std::string> shownTexts_;
    std::map<int, std::string> pendingTexts_;
    int diskLevel_ = 0;
    int pollCount_ = 0;
    int splitNumber_ = 1;
    bool recording_ = false;
    bool paused_ = false;
    bool stopping_ = false;
    bool exitPending_ = false;
    bool settingsOpen_ = false;
    bool autoStartDeferred_ = false;
    bool autoResumeDeferred_ = false;
    bool driveHandlerBusy_ = false;
    bool announceOnStop_ = true;
    bool statsVisible_ = false;
    bool endSessionPumping_ = false;
    // The current recording's failure has been reported (by the posted error or by the poll).
    bool errorReported_ = false;
    // Polls of timer 1 that found the writer ended while the save folder's drive was missing.
    int deadWriterPolls_ = 0;
};

}  // namespace twr
