#include "ui/main_window_logic.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "app/errors.h"
#include "app/json.h"
#include "app/log.h"
#include "app/platform.h"
#include "app/text_formats.h"
#include "recording/recorder.h"

namespace twr {

namespace {

constexpr int kStatsIntervalMs = 1000;
constexpr int kDiskIntervalMs = 5000;
constexpr int kShutdownPollMs = 100;
constexpr int kStuckWriterPollMs = 1000;
constexpr int kWriterPolls = 100;
constexpr int kReaderPolls = 50;
constexpr int64_t kEndSessionWaitMs = 30000;
constexpr uint64_t kDiskReserveBytes = 268435456;
// Twice the drive monitor's interval, in polls of timer 1.
constexpr int kDeadWriterGraceSecs = 10;

const char* const kStartText = "&Start Recording";
const char* const kStopText = "S&top Recording";
const char* const kPauseText = "&Pause";
const char* const kResumeText = "R&esume";

// A timer's period from a setting in seconds; a hand-edited value beyond what SetTimer takes
// (about 24.8 days) waits as long as it can instead of overflowing.
int TimerMs(int seconds) {
    return static_cast<int>(std::clamp<int64_t>(int64_t{seconds} * 1000, 0, INT32_MAX));
}

// The format the settings ask for, with the values the window falls back to.
struct AudioFormat {
    int rate, channels, bits;
    [[nodiscard]] double BytesPerSecond() const { return static_cast<double>(rate) * channels * bits * 0.125; }
};

AudioFormat FormatOf(const Config& config) {
    return {MainTexts::ParseInt(config.SampleRate(), 48000), MainTexts::ParseInt(config.Channels(), 2),
            MainTexts::ParseInt(config.BitDepth(), 24)};
}

std::string FileNameOf(const std::filesystem::path& path) {
    return path.empty() ? std::string() : platform::PathText(path.filename());
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

const char* DeviceNotFoundText() {
    return "'\r\n\r\ncould not be found. It may be disconnected, powered off, or disabled in Windows.\r\n\r\n"
           "For safety and privacy, this application WILL NOT automatically fall back to another microphone."
           "\r\n\r\nAction Required:\r\n1. Reconnect your device and restart this application, OR\r\n"
           "2. Open Settings and manually select a different input device.";
}

}  // namespace

// ---- texts ---------------------------------------------------------------------------------

int MainTexts::ParseInt(const std::string& text, int def) {
    int64_t value = 0;
    if (!TryParseInvariantInt64(text, value) || value < INT32_MIN || value > INT32_MAX) return def;
    return static_cast<int>(value);
}

std::string MainTexts::LiveStats(int64_t frames, int rate, int channels, int bits, bool autoSplit, int splitNumber,
                                 const std::string& decimalSeparator) {
    const int64_t seconds = rate >= 1 ? frames / rate : 0;
    const int64_t minutes = seconds / 60, rest = seconds % 60;
    const double megabytes = static_cast<double>(frames) * channels * (bits * 0.125) / 1048576.0;
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.2f", megabytes);
    std::string mb = digits;
    // The program never changes the C locale, so the point is always there to replace.
    if (const size_t point = mb.find('.'); point != std::string::npos) mb.replace(point, 1, decimalSeparator);
    std::string time = minutes >= 1 ? std::to_string(minutes) + " minutes, " + std::to_string(rest) + " seconds. "
                                    : std::to_string(rest) + " seconds. ";
    if (!autoSplit) return "Recording time, " + time + mb + " MB Storage used.";
    return "Recording time, " + time + mb + " MB Storage used on current split" +
           (splitNumber > 1 ? " (Split " + std::to_string(splitNumber) + ")" : std::string()) + ".";
}

std::string MainTexts::Dashboard(const Config& config, const std::vector<AudioDevice>& devices,
                                 const std::string& statusText) {
    const std::string id = config.DeviceId();
    auto it = std::find_if(devices.begin(), devices.end(), [&](const AudioDevice& d) { return d.Id == id; });
    const std::string device = it != devices.end()               ? it->Name
                               : (id.empty() || id == "none") ? "Not set"
                                                              : "Disconnected";
    const int split = static_cast<int>(config.Data().GetInt("auto_split_secs", Config::kDefaultAutoSplitSecs));
    return "Recording Device is set to: " + device + "\nOutput Folder is set to: " +
           platform::PathText(config.SaveFolder()) + "\nAuto-Recording is: " +
           (config.Data().GetBool("auto_start", Config::kDefaultAutoStart) ? "On" : "Off") +
           "\nAuto-Split is: " + (split < 1 ? std::string("Off") : TimeText::Format(split)) + "\n" + statusText;
}

// ---- the shell -----------------------------------------------------------------------------

MainWindowLogic::MainWindowLogic(Config& config, MainWindowHost& host) : config_(config), host_(host) {}

int MainWindowLogic::SettingInt(const char* key, int def) const {
    return static_cast<int>(config_.Data().GetInt(key, def));
}

bool MainWindowLogic::SettingBool(const char* key, bool def) const { return config_.Data().GetBool(key, def); }

bool MainWindowLogic::AutoSplitOn() const {
    return SettingInt("auto_split_secs", Config::kDefaultAutoSplitSecs) >= 1;
}

std::string MainWindowLogic::SaveFolderText() const { return platform::PathText(config_.SaveFolder()); }

const AudioDevice* MainWindowLogic::FindDevice(const std::string& id) const {
    for (const auto& d : devices_)
        if (d.Id == id) return &d;
    return nullptr;
}

bool MainWindowLogic::HasDevice(const std::string& id) const { return FindDevice(id) != nullptr; }

bool MainWindowLogic::StuckWriterAlive() const { return stuckRecorder_ && stuckRecorder_->WriterAlive(); }

bool MainWindowLogic::Busy() const {
    return recording_ || stopping_ || settingsOpen_ || endSessionPumping_ || StuckWriterAlive() ||
           host_.UpdateInProgress();
}

void MainWindowLogic::Post(std::function<void()> action) {
    {
        std::lock_guard lock(queue_->mutex);
        queue_->actions.push_back(std::move(action));
    }
    host_.WakeForActions();
}

void MainWindowLogic::DrainActions() {
    for (;;) {
        std::function<void()> action;
        {
            std::lock_guard lock(queue_->mutex);
            if (queue_->actions.empty()) return;
            action = std::move(queue_->actions.front());
            queue_->actions.pop_front();
        }
        try {
            action();
        } catch (const std::exception& e) {
            Log::Error(std::string("UI action failed: ") + e.what(), e);
        } catch (...) {
            Log::Error("UI action failed: unknown exception");
        }
    }
}

bool MainWindowLogic::SpeechAllowed() {
    return !SettingBool("speak_in_focus_only", Config::kDefaultSpeakInFocusOnly) || host_.IsForeground();
}

void MainWindowLogic::PopulateDevices() {
    try {
        devices_ = host_.EnumerateDevices();
    } catch (const std::exception& e) {
        devices_.clear();
        host_.Box(std::string("Could not enumerate audio devices: ") + e.what(), "Error", kBoxError);
    }
}

void MainWindowLogic::OnInit() {
    host_.PublishForNotifier(config_.WindowTitle());
    host_.InstallSpeechGate([this] { return SpeechAllowed(); });
    PopulateDevices();
    host_.EnableControl(kIdPause, false);
    ShowStats(false);
    UpdateDashboard();
    const std::string id = config_.DeviceId();
    if (!id.empty() && !HasDevice(id))
        host_.Box("CRITICAL: Your explicitly configured audio device is missing!\r\n\r\nThe device matching ID:\r\n'" +
                      id + DeviceNotFoundText(),
                  "Device Not Found", kBoxError);
    host_.FindUnfinishedRecordings();
    if (SettingBool("check_updates_startup", Config::kDefaultCheckUpdatesStartup)) host_.StartUpdateCheck();
    const bool autoStart = SettingBool("auto_start", Config::kDefaultAutoStart);
    const int delay = SettingInt("auto_start_delay", Config::kDefaultAutoStartDelay);
    if (autoStart && delay >= 1) {
        statusText_ = "Status: Auto-recording in " + std::to_string(delay) + " seconds...";
        UpdateDashboard();
    }
    if (autoStart) host_.SetTimer(kTimerAutoStart, delay < 1 ? 100 : TimerMs(delay));
    // Last, and after the auto-start is armed: the prompts' nested loops run the window's timers,
    // so a machine nobody attends starts recording while a prompt waits for an answer. The prompt
    // deletes a journal only while it still names the offered file, so the new recording's journal
    // in the same folder survives whatever the answer is.
    host_.PromptRepairs();
}

bool MainWindowLogic::OnCommand(int id, int code) {
    constexpr int kClicked = 0, kListLostFocus = 5;
    switch (id) {
        case kIdExit:
            if (code == kClicked) HandleClose();
            return true;
        case kIdSettings:
            if (code == kClicked) OpenSettings();
            return true;
        case kIdStart:
            if (code == kClicked) ToggleRecording();
            return true;
        case kIdPause:
            if (code == kClicked) TogglePause();
            return true;
        case kIdDashboard:
        case kIdStats:
            if (code == kListLostFocus) FlushList(id);
            return true;
        case 1:  // IDOK: Enter on a list; there is no default button to press.
        case 2:  // IDCANCEL: Escape must not close the window a recording depends on.
            return true;
        default: return false;
    }
}

void MainWindowLogic::OnTimer(int id) {
    switch (id) {
        case kTimerStats:
            // A once-a-second poll must never take the window, and the recording with it, down:
            // whatever fails here is logged and the next tick tries again.
            try {
                if (ReportDeadWriter()) return;
            } catch (const std::exception& e) {
                Log::Error(std::string("Checking the writer failed: ") + e.what(), e);
            } catch (...) {
                Log::Error("Checking the writer failed: unknown exception");
            }
            UpdateLiveStats();
            break;
        case kTimerSplit:
            if (recording_ && recorder_) recorder_->RequestSplit();
            break;
        case kTimerMaxLength:
            host_.KillTimer(kTimerMaxLength);
            ForceStopMaxLength();
            break;
        case kTimerDisk: CheckDiskSpace(); break;
        case kTimerShutdown: PollSessionShutdown(); break;
        case kTimerAutoStart:
            host_.KillTimer(kTimerAutoStart);
            // The countdown is over whatever comes of the start; a failed one must not leave it shown.
            EndCountdown();
            // The update dialog runs a nested loop too: an install must not find a recording.
            if (settingsOpen_ || host_.UpdateInProgress())
                autoStartDeferred_ = true;
            else
                StartRecording();
            break;
        case kTimerStuckWriter: WatchStuckWriter(); break;
        default: break;
    }
}

bool MainWindowLogic::ReportDeadWriter() {
    // A writer that ended on its own while the window still shows Recording failed; its posted
    // error may have been set aside because the drive was gone at that moment.
    if (!recording_ || !recorder_ || recorder_->WriterAlive()) return false;
    // While the drive is gone the drive monitor reports it within its interval; if that report
    // never comes (dropped while an earlier drive box was open), this poll reports the failure.
    auto root = Recorder::DriveRootOf(SaveFolderText());
    if (root && !host_.DirectoryExists(*root) && ++deadWriterPolls_ <= kDeadWriterGraceSecs) return false;
    auto session = recorder_->Session();
    std::string why = session && session->Error ? *session->Error : "the recording ended unexpectedly";
    ReportWriterError("An error occurred during recording: " + why);
    return true;
}

void MainWindowLogic::OnActivate() {
    Post([this] { FixFocusAfterActivate(); });
}

void MainWindowLogic::OfferUpdate(std::function<void()> offer) {
    if (recording_ || stopping_ || settingsOpen_) {
        parkedUpdate_ = std::move(offer);
        return;
    }
    parkedUpdate_ = nullptr;
    if (!offer) return;
    offer();
    // A start that waited for the offer to close may run now.
    RunDeferred();
}

void MainWindowLogic::RunDeferred() {
    if (Busy()) return;
    if (autoResumeDeferred_ || autoStartDeferred_) {
        const bool resume = autoResumeDeferred_;
        autoResumeDeferred_ = autoStartDeferred_ = false;
        if (resume) PopulateDevices();
        StartRecording();
        return;
    }
    if (parkedUpdate_) OfferUpdate(std::move(parkedUpdate_));
}

void MainWindowLogic::OpenSettings() {
    PopulateDevices();
    settingsOpen_ = true;
    try {
        host_.ShowSettingsDialog(devices_);
    } catch (...) {
        settingsOpen_ = false;
        throw;
    }
    settingsOpen_ = false;
    host_.SetWindowTitle(config_.WindowTitle());
    host_.PublishForNotifier(config_.WindowTitle());
    UpdateDashboard();
    if (watcher_ && watcher_->Running()) {
        // The wait must look for the folder and inputs just chosen.
        std::string reason = watcher_->Reason();
        StopWatcher();
        StartAutoResume(reason);
    }
    RunDeferred();
}

void MainWindowLogic::UpdateDashboard() { SetList(kIdDashboard, MainTexts::Dashboard(config_, devices_, statusText_)); }

void MainWindowLogic::UpdateLiveStats() {
    try {
        if (!recording_ || !recorder_) return;
        const AudioFormat f = FormatOf(config_);
        SetList(kIdStats, MainTexts::LiveStats(recorder_->FramesCommitted(), f.rate, f.channels, f.bits,
                                               AutoSplitOn(), splitNumber_, host_.DecimalSeparator()));
    } catch (...) {
    }
}

// ---- focus care ----------------------------------------------------------------------------

void MainWindowLogic::SetList(int id, const std::string& text) {
    auto shown = shownTexts_.find(id);
    if (shown != shownTexts_.end() && shown->second == text) {
        pendingTexts_.erase(id);
        return;
    }
    // A screen reader reading the list would lose its place if the lines changed under it.
    if (host_.HasFocus(id)) {
        pendingTexts_[id] = text;
        return;
    }
    pendingTexts_.erase(id);
    shownTexts_[id] = text;
    host_.WriteList(id, text);
}

void MainWindowLogic::FlushList(int id) {
    auto pending = pendingTexts_.find(id);
    if (pending == pendingTexts_.end()) return;
    std::string text = std::move(pending->second);
    pendingTexts_.erase(pending);
    shownTexts_[id] = text;
    host_.WriteList(id, text);
}

void MainWindowLogic::ShowStats(bool visible) {
    statsVisible_ = visible;
    // Start is disabled only while a stuck writer still ends: the focus must not land on it then.
    if (!visible && host_.HasFocus(kIdStats)) host_.Focus(host_.ControlEnabled(kIdStart) ? kIdStart : kIdExit);
    host_.ShowControl(kIdStats, visible);
}

void MainWindowLogic::Disable(int id) {
    // A disabled control that keeps the focus leaves the keyboard and the screen reader nowhere.
    if (host_.HasFocus(id)) host_.Focus(0);
    host_.EnableControl(id, false);
}

void MainWindowLogic::RestoreFocus(int id) {
    if (host_.FocusOnDialogOrNowhere() && host_.IsForeground()) host_.Focus(id);
}

void MainWindowLogic::FixFocusAfterActivate() {
    if (!host_.IsForeground()) return;
    if (host_.FocusOnUsableControl()) return;
    host_.Focus(host_.ControlEnabled(kIdStart) ? kIdStart : kIdExit);
}

// ---- closing -------------------------------------------------------------------------------

void MainWindowLogic::HandleClose() {
    if (!exitPending_) {
        if (recording_ && SettingBool("confirm_exit", Config::kDefaultConfirmExit)) {
            const std::string stats = statsVisible_ ? host_.ReadList(kIdStats) : "Recording in progress.";
            int answer = host_.Box(
                "You are currently recording.\r\n\r\n" + stats +
                    "\r\n\r\nAre you sure you'd like to exit? If you do, your recording will be saved, and if you "
                    "have notifications enabled, you will be sent a notification before the program exits.",
                "Confirm Exit", kBoxConfirm);
            if (answer != kAnswerYes) return;
        }
        if (recording_ || stopping_) {
            exitPending_ = true;
            host_.Speak("Finalizing recording before exit. Please do not turn off the computer.");
            StopRecording(true);
            return;
        }
    }
    if (exitPending_ && stopping_) {
        host_.Speak("Still finalizing the recording. Please wait.");
        return;
    }
    exitPending_ = false;
    Quit();
}

void MainWindowLogic::Quit() {
    host_.StopDriveMonitor();
    StopWatcher();
    host_.DestroyAndQuit();
}

void MainWindowLogic::HandleEndSession() {
    if (!recording_ && !stopping_) return;
    exitPending_ = false;
    StopRecording(false);
    endSessionPumping_ = true;
    const int64_t start = host_.NowMs();
    try {
        while (stopping_ && host_.NowMs() - start < kEndSessionWaitMs) {
            host_.PumpMessages();
            host_.SleepMs(20);
        }
    } catch (...) {
        endSessionPumping_ = false;
        throw;
    }
    endSessionPumping_ = false;
}

// ---- recording control ---------------------------------------------------------------------

RecordingPort::Callbacks MainWindowLogic::MakeCallbacks() {
    RecordingPort::Callbacks c;
    c.OnError = [this](const std::string& message) { Post([this, message] { HandleError(message); }); };
    c.OnSplit = [this] { Post([this] { OnSplit(); }); };
    c.OnMicDisconnected = [this](int input, bool continuing) {
        Post([this, input, continuing] { HandleMicDisconnect(input, continuing); });
    };
    c.OnMicStall = [this](int input, bool stalled) { Post([this, input, stalled] { HandleStallChanged(input, stalled); }); };
    return c;
}

void MainWindowLogic::PlayIfEnabled(const char* event) {
    if (config_.SndEnabled(event))
        host_.PlayCue(config_.SoundFor(event), SettingInt("snd_volume", Config::kDefaultSndVolume));
}

std::string MainWindowLogic::RecordingStatusLine() const {
    const std::string file = recorder_ ? FileNameOf(recorder_->CurrentFile()) : std::string();
    if (AutoSplitOn()) return "Status: Recording Split " + std::to_string(splitNumber_) + " to " + file;
    return "Status: Recording to " + file;
}

void MainWindowLogic::ToggleRecording() {
    host_.KillTimer(kTimerAutoStart);
    EndCountdown();
    if (recording_)
        StopRecording(true);
    else
        StartRecording();
}

void MainWindowLogic::EndCountdown() {
    if (!StartsWith(statusText_, "Status: Auto-recording")) return;
    statusText_ = "Status: Ready";
    UpdateDashboard();
}

void MainWindowLogic::StartRecording() {
    if (recording_ || stopping_) return;
    if (StuckWriterAlive()) {
        // Two writers must never share a folder and a journal.
        Log::Warn("Start refused: the previous recording's writer is still ending.");
        return;
    }
    const std::string folder = SaveFolderText();
    const auto root = Recorder::DriveRootOf(folder);
    if (root && !host_.DirectoryExists(*root)) {
        host_.Box("The output drive you configured is currently disconnected.\r\n\r\nLike your microphone settings, "
                  "this app does not automatically default to another location to prevent lost files.\r\n\r\n"
                  "Please reconnect the drive or select a new output folder in Settings.",
                  "Output Drive Missing", kBoxWarning);
        return;
    }
    const AudioFormat format = FormatOf(config_);
    try {
        if (!root) throw InvalidArgument("The output folder has no drive.");
        const double quarterHour = format.BytesPerSecond() * 3600 * 0.25;
        if (static_cast<double>(host_.FreeBytes(*root)) < quarterHour)
            host_.Box("You have very little disk space left on this drive (less than 15 minutes of recording time)!",
                      "Low Disk Space", kBoxWarning);
    } catch (const std::exception& e) {
        Log::Warn(std::string("Failed to check disk space: ") + e.what());
    }
    // A box above ran a nested message loop: another start may have happened meanwhile.
    if (recording_ || stopping_) return;
    // An input plugged in after start-up must be found.
    PopulateDevices();
    const std::string id1 = config_.DeviceId();
    if (id1.empty()) {
        host_.Box("No audio device has been configured yet. Please open Settings and explicitly select an input device.",
                  "Warning", kBoxWarning);
        return;
    }
    if (!HasDevice(id1)) {
        host_.Box("Input 1 is disconnected. Please reconnect it or open Settings and select a valid audio device.",
                  "Warning", kBoxWarning);
        return;
    }
    if (config_.HasSecondInput() && !HasDevice(config_.Device2Id())) {
        host_.Box("Input 2 is disconnected. Please reconnect or disable it in Settings.", "Warning", kBoxWarning);
        return;
    }
    if (format.bits != 16 && format.bits != 24 && format.bits != 32) {
        host_.Box("Unsupported bit depth: " + std::to_string(format.bits), "Audio Error", kBoxError);
        return;
    }
    if (recording_ || stopping_) return;
    StartChecked();
}

void MainWindowLogic::StartChecked() {
    const AudioFormat f = FormatOf(config_);
    const int buffer = SettingInt("buffer_size", Config::kDefaultBufferSize);
    bool threadsStarted = false;
    try {
        const std::string prefix = Naming::SanitizePrefix(config_.FilenamePrefix());
        // Copies: the list may be enumerated again while this recording runs.
        const AudioDevice input1 = *FindDevice(config_.DeviceId());
        std::optional<AudioDevice> input2;
        if (config_.HasSecondInput()) input2 = *FindDevice(config_.Device2Id());
        recorder_ = host_.NewRecording(config_, MakeCallbacks());
        recording_ = true;
        paused_ = false;
        splitNumber_ = 1;
        diskLevel_ = 0;
        errorReported_ = false;
        deadWriterPolls_ = 0;
        host_.SetControlText(kIdStart, kStopText);
        host_.EnableControl(kIdPause, true);
        host_.SetControlText(kIdPause, kPauseText);
        Disable(kIdSettings);
        RestoreFocus(kIdStart);
        recorder_->Start(input1, input2 ? &*input2 : nullptr, f.rate, f.channels, f.bits, buffer, prefix);
        threadsStarted = true;
        host_.StartDriveMonitor();
        const int split = SettingInt("auto_split_secs", Config::kDefaultAutoSplitSecs);
        const int maxLength = SettingInt("max_length_secs", Config::kDefaultMaxLengthSecs);
        if (split >= 1) host_.SetTimer(kTimerSplit, TimerMs(split));
        if (maxLength >= 1) host_.SetTimer(kTimerMaxLength, TimerMs(maxLength));
        host_.SetTimer(kTimerDisk, kDiskIntervalMs);
        SetList(kIdStats, MainTexts::LiveStats(0, f.rate, f.channels, f.bits, split >= 1, 1, host_.DecimalSeparator()));
        ShowStats(true);
        host_.SetTimer(kTimerStats, kStatsIntervalMs);
        host_.Speak("Recording started");
        statusText_ = RecordingStatusLine();
        UpdateDashboard();
        PlayIfEnabled("start");
        if (SettingBool("notify_start_stop", Config::kDefaultNotify))
            host_.Notify("Recording Started", "Audio recording has begun.", kNotifyInfo);
        // The wait for lost devices is over: a recording runs again.
        StopWatcher();
    } catch (const std::exception& e) {
        Log::Error(std::string("Failed to start recording: ") + e.what(), e);
        FailStart(e.what(), threadsStarted);
    }
}

void MainWindowLogic::FailStart(const std::string& message, bool threadsStarted) {
    if (threadsStarted) {
        // The recorder's threads run: stop them through the usual road, so nothing records unseen
        // and the file is finalized.
        StopRecording(false);
    } else {
        // Start raises only before any of its threads runs: nothing is left to stop.
        recorder_.reset();
        recording_ = false;
        host_.SetControlText(kIdStart, kStartText);
        host_.EnableControl(kIdPause, false);
        host_.EnableControl(kIdSettings, true);
        ShowStats(false);
    }
    host_.Box("Failed to start recording.\r\n\r\nError: " + message, "Audio Error", kBoxError);
}

void MainWindowLogic::TogglePause() {
    if (!recorder_ || !recording_) return;
    paused_ = !paused_;
    recorder_->SetPaused(paused_);
    if (paused_) {
        PlayIfEnabled("pause");
        host_.Speak("Recording paused");
        host_.SetControlText(kIdPause, kResumeText);
        statusText_ = AutoSplitOn() ? "Status: Paused (Split " + std::to_string(splitNumber_) + ")" : "Status: Paused";
    } else {
        PlayIfEnabled("unpause");
        host_.Speak("Recording resumed");
        host_.SetControlText(kIdPause, kPauseText);
        statusText_ = RecordingStatusLine();
    }
    UpdateDashboard();
}

void MainWindowLogic::OnSplit() {
    if (!recording_) return;
    ++splitNumber_;
    const std::string text = "Split " + std::to_string(splitNumber_) + " started";
    if (SettingBool("notify_split", Config::kDefaultNotify)) host_.Notify("File Split", text, kNotifyInfo);
    host_.Speak(text);
    statusText_ = "Status: Recording Split " + std::to_string(splitNumber_) + " to " +
                  (recorder_ ? FileNameOf(recorder_->CurrentFile()) : std::string());
    UpdateDashboard();
}

void MainWindowLogic::ForceStopMaxLength() {
    if (!recording_) return;
    StopRecording(false);
    if (SettingBool("notify_start_stop", Config::kDefaultNotify))
        host_.Notify("Max Length Reached", "Stopped: maximum recording length reached.", kNotifyInfo);
}

void MainWindowLogic::StopRecording(bool announce) {
    if (!recording_ && !stopping_) return;
    recording_ = false;
    paused_ = false;
    for (int t : {kTimerSplit, kTimerMaxLength, kTimerStats, kTimerDisk}) host_.KillTimer(t);
    Disable(kIdStart);
    Disable(kIdPause);
    Disable(kIdSettings);
    statusText_ = "Status: Stopping and finalizing recording...";
    UpdateDashboard();
    stopping_ = true;
    if (recorder_) {
        if (auto session = recorder_->Session()) Log::Info("Stop event set for session: " + session->Id);
        recorder_->Stop();
    }
    announceOnStop_ = announce;
    pollCount_ = 0;
    host_.SetTimer(kTimerShutdown, kShutdownPollMs);
}

void MainWindowLogic::PollSessionShutdown() {
    ++pollCount_;
    bool writerStuck = false;
    if (recorder_ && recorder_->WriterAlive()) {
        if (pollCount_ <= kWriterPolls) return;
        Log::Error("Writer thread stuck during shutdown!");
        writerStuck = true;
    }
    if (recorder_ && recorder_->ReadersAlive()) {
        if (pollCount_ <= kReaderPolls) return;
        Log::Warn("Reader threads stuck during shutdown! Forcing exit from shutdown poll.");
    }
    host_.KillTimer(kTimerShutdown);
    stopping_ = false;
    host_.StopDriveMonitor();
    if (announceOnStop_) host_.Speak("Recording stopped");
    host_.SetControlText(kIdStart, kStartText);
    // Start comes back only once no writer of ours is left running.
    host_.EnableControl(kIdStart, !writerStuck);
    host_.SetControlText(kIdPause, kPauseText);
    host_.EnableControl(kIdSettings, true);
    ShowStats(false);
    RestoreFocus(writerStuck ? kIdSettings : kIdStart);
    statusText_ = "Status: Ready";
    UpdateDashboard();
    PlayIfEnabled("stop");
    std::shared_ptr<RecordingSession> session = recorder_ ? recorder_->Session() : nullptr;
    if (writerStuck) {
        stuckRecorder_ = std::move(recorder_);
        host_.SetTimer(kTimerStuckWriter, kStuckWriterPollMs);
    }
    recorder_.reset();
    ReportResult(session.get(), writerStuck, announceOnStop_);
    if (exitPending_) {
        exitPending_ = false;
        Quit();
    } else {
        RunDeferred();
    }
}

void MainWindowLogic::ReportResult(const RecordingSession* session, bool writerStuck, bool announce) {
    if (!session) return;
    const FinalizationStatus status = session->Status.load();
    std::string spoken, text;
    int kind = kNotifyInfo;
    if (status == FinalizationStatus::ClosedWithWarnings) {
        spoken = "Recording saved with verification warnings.";
        text = "Saved with warnings. Please verify the recording.";
        kind = kNotifyWarning;
    } else if (status == FinalizationStatus::FinalizationFailed || writerStuck) {
        // A writer that never ended has not closed its file: never call that saved.
        spoken = "Warning. File finalization failed.";
        text = "File finalization failed. The recording may be incomplete.";
        kind = kNotifyError;
    } else if (!announce) {
        // Unannounced stops keep quiet about a file that is fine.
        return;
    } else if (session->DroppedBlocks.load() < 1 && session->SilenceBlocks.load() < 1) {
        spoken = "Recording saved successfully.";
        text = "File safely saved to disk.";
    } else {
        spoken = "Recording saved with quality warnings.";
        text = "Saved, but " + std::to_string(session->DroppedBlocks.load()) + " blocks dropped and " +
               std::to_string(session->SilenceBlocks.load()) + " silence blocks substituted.";
        kind = kNotifyWarning;
    }
    host_.Speak(spoken);
    if (SettingBool("notify_start_stop", Config::kDefaultNotify)) host_.Notify("Recording Saved", text, kind);
}

void MainWindowLogic::WatchStuckWriter() {
    if (StuckWriterAlive()) return;
    host_.KillTimer(kTimerStuckWriter);
    stuckRecorder_.reset();
    Log::Info("The stuck writer thread has ended.");
    if (recording_ || stopping_) return;
    host_.EnableControl(kIdStart, true);
    RestoreFocus(kIdStart);
    RunDeferred();
}

void MainWindowLogic::HandleError(const std::string& message) {
    // A lost drive is reported by its own handler, with its own box.
    auto root = Recorder::DriveRootOf(SaveFolderText());
    if (root && !host_.DirectoryExists(*root)) return;
    ReportWriterError(message);
}

void MainWindowLogic::ReportWriterError(const std::string& message) {
    // The posted error and the poll of timer 1 may both see the same failure.
    if (errorReported_) return;
    errorReported_ = true;
    StopRecording(false);
    if (SettingBool("notify_error", Config::kDefaultNotify)) host_.Notify("Error", "Recording failed.", kNotifyError);
    host_.Box(message, "Recording Error", kBoxError);
}

void MainWindowLogic::HandleStallChanged(int input, bool stalled) {
    if (!recording_) return;
    const std::string who = (!recorder_ || !config_.HasSecondInput()) ? "The input" : "Input " + std::to_string(input);
    const bool notify = SettingBool("notify_error", Config::kDefaultNotify);
    if (stalled) {
        host_.Speak(who + " stopped delivering audio. Still recording.");
        if (notify) host_.Notify("Input Stalled", who + " stopped delivering audio. Recording continues.", kNotifyWarning);
    } else {
        host_.Speak(who + " is delivering audio again.");
        if (notify) host_.Notify("Input Recovered", who + " is delivering audio again.", kNotifyInfo);
    }
}

void MainWindowLogic::HandleDriveDisconnect(const std::string& root) {
    if (driveHandlerBusy_) return;
    driveHandlerBusy_ = true;
    struct Clear {
        bool& flag;
        ~Clear() { flag = false; }
    } clear{driveHandlerBusy_};
    const bool wasRecording = recording_;
    if (wasRecording) StopRecording(true);
    if (SettingBool("notify_drive_disconnect", Config::kDefaultNotify))
        host_.Notify("Drive Disconnected",
                     wasRecording ? "Drive " + root + " disconnected. Recording stopped."
                                  : "Drive " + root + " disconnected.",
                     kNotifyError);
    if (wasRecording && SettingBool("auto_resume_unattended", Config::kDefaultAutoResumeUnattended)) {
        WaitToResume("drive", "Waiting for output drive to reconnect before resuming...");
        return;
    }
    host_.Box("The output drive (" + root + ") was suddenly removed or disconnected.\r\n\r\n" +
                  (wasRecording ? "The active recording was automatically stopped. Recording is stopping. File "
                                  "integrity has not yet been confirmed.\r\n\r\n"
                                : "") +
                  "Please reconnect the drive or go to Settings to select a new Output Directory.",
              "Drive Disconnected", kBoxError);
}

void MainWindowLogic::HandleMicDisconnect(int input, bool continuing) {
    if (!recording_) return;
    const std::string n = std::to_string(input);
    std::string box = "CRITICAL ERROR: Microphone " + n + " was unplugged or disabled during recording!";
    const bool notify = SettingBool("notify_mic_disconnect", Config::kDefaultNotify);
    if (continuing) {
        box += "\r\n\r\nHowever, because 'Continue recording' is enabled, the recording will continue using the "
               "remaining input.";
        if (notify)
            host_.Notify("Microphone Disconnected",
                         "Microphone " + n + " disconnected. Continuing on the remaining input.", kNotifyWarning);
        host_.Box(box, "Microphone Disconnected", kBoxError);
        return;
    }
    box += "\r\n\r\nRecording is stopping. File integrity has not yet been confirmed.";
    StopRecording(true);
    if (notify)
        host_.Notify("Microphone Disconnected", "Microphone " + n + " disconnected. Recording stopped.", kNotifyError);
    if (SettingBool("auto_resume_unattended", Config::kDefaultAutoResumeUnattended)) {
        WaitToResume("mic", "Waiting for microphone to reconnect before resuming...");
        return;
    }
    host_.Box(box, "Microphone Disconnected", kBoxError);
}

void MainWindowLogic::WaitToResume(const std::string& reason, const std::string& waiting) {
    StartAutoResume(reason);
    host_.Speak(waiting);
    statusText_ = "Status: Error - " + waiting;
    UpdateDashboard();
}

void MainWindowLogic::StartAutoResume(const std::string& reason) {
    if (watcher_ && watcher_->Running()) {
        watcher_->SetReason("both");
        return;
    }
    watcher_ = host_.NewResumeWatcher(SaveFolderText(), config_.DeviceId(), config_.Device2Id(), reason,
                                      [this](const std::string& r) { Post([this, r] { HandleAutoResume(r); }); });
    watcher_->Start();
}

void MainWindowLogic::StopWatcher() {
    if (watcher_) watcher_->Cancel();
}

void MainWindowLogic::HandleAutoResume(const std::string& reason) {
    StopWatcher();
    host_.Speak(reason == "drive" ? "Output drive found. Recording again after error."
                : reason == "mic" ? "Microphone found. Recording again after error."
                                  : "Devices found. Recording again after error.");
    if (stopping_ || settingsOpen_ || endSessionPumping_ || StuckWriterAlive() || host_.UpdateInProgress()) {
        autoResumeDeferred_ = true;
        return;
    }
    PopulateDevices();
    StartRecording();
}

void MainWindowLogic::CheckDiskSpace() {
    if (!recording_ || !recorder_) return;
    try {
        const std::string folder = platform::PathText(recorder_->OutputFolder());
        if (folder.empty()) return;
        const auto root = Recorder::DriveRootOf(folder);
        if (!root) return;
        const uint64_t free = host_.FreeBytes(*root);
        const double bytesPerSecond = FormatOf(config_).BytesPerSecond();
        if (bytesPerSecond == 0) return;
        const double usable = free > kDiskReserveBytes ? static_cast<double>(free - kDiskReserveBytes) : 0.0;
        const double minutes = usable / (bytesPerSecond * 60);
        struct Level {
            double minutes;
            int level;
            const char* text;
        };
        static const Level levels[] = {
            {1, 4, "Emergency: Less than 1 minute of disk space! Stopping recording."},
            {5, 3, "Urgent Warning: Less than 5 minutes of disk space remaining!"},
            {15, 2, "Critical Warning: Less than 15 minutes of disk space remaining."},
            {60, 1, "Warning: Less than 60 minutes of disk space remaining."},
        };
        for (const auto& l : levels) {
            if (minutes <= l.minutes && diskLevel_ < l.level) {
                diskLevel_ = l.level;
                if (l.level == 4)
                    Log::Error(l.text);
                else
                    Log::Warn(l.text);
                host_.Speak(l.text);
                if (l.level == 4) StopRecording(true);
                return;
            }
        }
        if (minutes > 60) diskLevel_ = 0;
    } catch (const std::exception& e) {
        Log::Error(std::string("Error checking disk space: ") + e.what(), e);
    }
}

}  // namespace twr
