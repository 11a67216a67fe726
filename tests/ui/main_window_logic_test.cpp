#include "ui/main_window_logic.h"

#include <gtest/gtest.h>

#include <deque>
#include <set>

#include "../test_support.h"
#include "app/errors.h"

namespace twr {
namespace {

using testing::LogCapture;
using testing::TempDir;

// What a recording port was told and what it reports; outlives the port, which the window drops.
struct FakeRecording {
    RecordingPort::Callbacks callbacks;
    std::shared_ptr<RecordingSession> session = std::make_shared<RecordingSession>();
    bool started = false, stopped = false, writerAlive = false, readersAlive = false, paused = false;
    bool hadInput2 = false;
    int splitRequests = 0;
    int64_t frames = 0;
    std::filesystem::path file = "E:/Rec/take_1.wav";
    std::string startError;
    // The writer finalizes with this outcome and the threads end.
    void Finish(FinalizationStatus status = FinalizationStatus::Success) {
        session->Status = status;
        writerAlive = readersAlive = false;
    }
};

struct FakeRecordingPort : RecordingPort {
    std::shared_ptr<FakeRecording> r;
    explicit FakeRecordingPort(std::shared_ptr<FakeRecording> rec) : r(std::move(rec)) {}
    void Start(const AudioDevice&, const AudioDevice* in2, int, int, int, int, const std::string&) override {
        if (!r->startError.empty()) throw IoError(r->startError);
        r->started = r->writerAlive = r->readersAlive = true;
        r->hadInput2 = in2 != nullptr;
        r->session->Id = "20240105_093000";
    }
    void Stop() override { r->stopped = true; }
    bool WriterAlive() const override { return r->writerAlive; }
    bool ReadersAlive() const override { return r->readersAlive; }
    std::shared_ptr<RecordingSession> Session() const override { return r->started ? r->session : nullptr; }
    std::filesystem::path CurrentFile() const override { return r->file; }
    std::filesystem::path OutputFolder() const override { return r->file.parent_path(); }
    int64_t FramesCommitted() const override { return r->frames; }
    void SetPaused(bool p) override { r->paused = p; }
    void RequestSplit() override { ++r->splitRequests; }
};

struct FakeWatcher {
    std::string folder, reason;
    std::function<void(const std::string&)> onReady;
    bool running = false;
};

struct FakeWatcherPort : ResumeWatcherPort {
    std::shared_ptr<FakeWatcher> w;
    explicit FakeWatcherPort(std::shared_ptr<FakeWatcher> watcher) : w(std::move(watcher)) {}
    void Start() override { w->running = true; }
    bool Running() const override { return w->running; }
    void Cancel() override { w->running = false; }
    std::string Reason() const override { return w->reason; }
    void SetReason(const std::string& r) override { w->reason = r; }
};

// Records what the window would show, say and do; boxes answer from a queue and may run work
// the way a nested message loop does.
struct FakeHost : MainWindowHost {
    struct Control {
        std::string text;
        bool enabled = true, visible = true;
    };
    std::map<int, Control> controls;
    int focus = kIdExit;  // 0 the dialog itself, -1 nowhere
    bool foreground = true;
    std::map<int, std::string> lists;
    std::map<int, int> listWrites;
    std::map<int, int> timers;
    std::vector<std::string> events;  // "say: ", "notify: ", "box: ", "cue: " in order
    std::vector<std::string> boxTexts;
    std::deque<int> answers;
    std::function<void()> duringBox;
    std::function<bool()> gate;
    std::vector<AudioDevice> devices{{"mic-1", "Desk Mic", false}, {"mic-2", "Lapel", false}};
    bool enumerationFails = false;
    std::string nextStartError;
    std::set<std::string> missingDirs;
    uint64_t freeBytes = uint64_t(1) << 40;
    int64_t now = 0;
    std::function<void()> onPump;
    bool driveMonitorRunning = false, driveMonitorFails = false;
    bool destroyed = false;
    int wakes = 0, updateChecks = 0;
    bool updating = false;
    std::function<void()> duringSettings;
    std::vector<std::shared_ptr<FakeRecording>> recordings;
    std::vector<std::shared_ptr<FakeWatcher>> watchers;
    std::vector<std::string> calls;  // order of start-up work

    void SetControlText(int id, const std::string& t) override { controls[id].text = t; }
    void EnableControl(int id, bool e) override { controls[id].enabled = e; }
    void ShowControl(int id, bool v) override { controls[id].visible = v; }
    bool HasFocus(int id) override { return focus == id; }
    bool FocusOnDialogOrNowhere() override { return focus <= 0; }
    bool FocusOnUsableControl() override {
        return focus > 0 && controls[focus].enabled && controls[focus].visible;
    }
    bool ControlEnabled(int id) override { return controls[id].enabled; }
    void Focus(int id) override { focus = id; }
    void WriteList(int id, const std::string& t) override {
        lists[id] = t;
        ++listWrites[id];
    }
    std::string ReadList(int id) override { return lists[id]; }
    void SetWindowTitle(const std::string&) override {}
    bool IsForeground() override { return foreground; }
    int Box(const std::string& text, const std::string& caption, unsigned flags) override {
        events.push_back("box: " + caption + " " + std::to_string(flags));
        boxTexts.push_back(text);
        if (duringBox) std::exchange(duringBox, nullptr)();
        if (answers.empty()) return 1;
        int a = answers.front();
        answers.pop_front();
        return a;
    }
    void SetTimer(int id, int ms) override { timers[id] = ms; }
    void KillTimer(int id) override { timers.erase(id); }
    void Speak(const std::string& t) override {
        if (!gate || gate()) events.push_back("say: " + t);
    }
    void Notify(const std::string& title, const std::string& text, int kind) override {
        events.push_back("notify: " + title + " | " + text + " | " + std::to_string(kind));
    }
    void PlayCue(const std::string& name, int volume) override {
        events.push_back("cue: " + name + " " + std::to_string(volume));
    }
    void InstallSpeechGate(std::function<bool()> g) override { gate = std::move(g); }
    void PublishForNotifier(const std::string& t) override { calls.push_back("publish " + t); }
    std::vector<AudioDevice> EnumerateDevices() override {
        if (enumerationFails) throw ComError("Could not create MMDeviceEnumerator");
        return devices;
    }
    bool DirectoryExists(const std::string& p) override { return !missingDirs.count(p); }
    uint64_t FreeBytes(const std::string&) override { return freeBytes; }
    int64_t NowMs() override { return now; }
    void SleepMs(int ms) override { now += ms; }
    std::string decimalSeparator = ".";
    std::string DecimalSeparator() override { return decimalSeparator; }
    std::unique_ptr<RecordingPort> NewRecording(const Config&, RecordingPort::Callbacks cb) override {
        auto r = std::make_shared<FakeRecording>();
        r->callbacks = std::move(cb);
        r->startError = std::exchange(nextStartError, {});
        recordings.push_back(r);
        return std::make_unique<FakeRecordingPort>(r);
    }
    void StartDriveMonitor() override {
        if (driveMonitorFails) throw PlatformError("CreateThread failed");
        driveMonitorRunning = true;
    }
    void StopDriveMonitor() override { driveMonitorRunning = false; }
    std::unique_ptr<ResumeWatcherPort> NewResumeWatcher(const std::string& folder, const std::string&,
                                                        const std::string&, const std::string& reason,
                                                        std::function<void(const std::string&)> onReady) override {
        auto w = std::make_shared<FakeWatcher>();
        w->folder = folder, w->reason = reason, w->onReady = std::move(onReady);
        watchers.push_back(w);
        return std::make_unique<FakeWatcherPort>(w);
    }
    void FindUnfinishedRecordings() override { calls.push_back("scan"); }
    std::function<void()> duringPrompt;
    void PromptRepairs() override {
        calls.push_back(timers.count(kTimerAutoStart) ? "prompt with auto-start armed" : "prompt");
        if (duringPrompt) std::exchange(duringPrompt, nullptr)();
    }
    void StartUpdateCheck() override { ++updateChecks; }
    void ShowSettingsDialog(const std::vector<AudioDevice>&) override {
        if (duringSettings) std::exchange(duringSettings, nullptr)();
    }
    bool UpdateInProgress() override { return updating; }
    void WakeForActions() override { ++wakes; }
    void PumpMessages() override {
        if (onPump) onPump();
    }
    void DestroyAndQuit() override { destroyed = true; }

    // The events since the last call.
    std::vector<std::string> Take() { return std::exchange(events, {}); }
    FakeRecording& Last() { return *recordings.back(); }
};

class MainWindowLogicTest : public ::testing::Test {
protected:
    MainWindowLogicTest() : config_(dir_ / "recorder_config.json") {
        Set("save_folder", "E:\\Rec");
        Set("device_id", "mic-1");
        Set("check_updates_startup", false);
    }
    void Set(const char* key, JsonValue v) { config_.Data().Set(key, std::move(v)); }
    void Init() {
        logic_.OnInit();
        host_.Take();
    }
    void Start() {
        logic_.ToggleRecording();
        ASSERT_TRUE(logic_.Recording()) << ::testing::PrintToString(host_.events);
        host_.Take();
    }
    // Timer 5 until the poll has finished (or gives up).
    int PollUntilIdle(int limit = 200) {
        int polls = 0;
        while (host_.timers.count(kTimerShutdown) && polls < limit) {
            logic_.OnTimer(kTimerShutdown);
            ++polls;
        }
        return polls;
    }
    void StopAndFinish(FinalizationStatus status = FinalizationStatus::Success) {
        auto& rec = host_.Last();
        logic_.ToggleRecording();
        rec.Finish(status);
        PollUntilIdle();
    }
    const FakeHost::Control& C(int id) { return host_.controls[id]; }

    TempDir dir_;
    LogCapture log_;
    Config config_;
    FakeHost host_;
    MainWindowLogic logic_{config_, host_};
};

TEST(MainTextsTest, LiveStatisticsLine) {
    struct Case {
        int64_t frames;
        int rate, channels, bits;
        bool split;
        int number;
        const char* separator;
        const char* text;
    };
    const Case cases[] = {
        {0, 48000, 2, 24, false, 1, ".", "Recording time, 0 seconds. 0.00 MB Storage used."},
        {48000 * 59, 48000, 2, 24, false, 1, ".", "Recording time, 59 seconds. 16.20 MB Storage used."},
        {48000 * 61, 48000, 2, 16, false, 1, ".", "Recording time, 1 minutes, 1 seconds. 11.17 MB Storage used."},
        {48000 * 5, 48000, 1, 32, true, 1, ".", "Recording time, 5 seconds. 0.92 MB Storage used on current split."},
        {48000 * 5, 48000, 1, 32, true, 3, ".",
         "Recording time, 5 seconds. 0.92 MB Storage used on current split (Split 3)."},
        {1000, 0, 2, 24, false, 1, ".", "Recording time, 0 seconds. 0.01 MB Storage used."},
        // The user's separator replaces the point and nothing else: no digit grouping, and the
        // full stops and commas of the sentence stay.
        {0, 48000, 2, 24, false, 1, ",", "Recording time, 0 seconds. 0,00 MB Storage used."},
        {48000 * 61, 48000, 2, 16, true, 2, ",",
         "Recording time, 1 minutes, 1 seconds. 11,17 MB Storage used on current split (Split 2)."},
        {int64_t{48000} * 3600 * 24, 48000, 2, 24, false, 1, ",",
         "Recording time, 1440 minutes, 0 seconds. 23730,47 MB Storage used."},
        {48000 * 59, 48000, 2, 24, false, 1, "\xD9\xAB",  // Arabic decimal separator
         "Recording time, 59 seconds. 16\xD9\xAB" "20 MB Storage used."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MainTexts::LiveStats(c.frames, c.rate, c.channels, c.bits, c.split, c.number, c.separator), c.text);
}

TEST_F(MainWindowLogicTest, TheStatisticsUseTheUsersDecimalSeparatorFromTheFirstLineOn) {
    host_.decimalSeparator = ",";
    Init();
    for (int split : {0, 600}) {
        Set("auto_split_secs", split);
        const std::string tail = split ? " MB Storage used on current split." : " MB Storage used.";
        Start();
        EXPECT_EQ(host_.lists[kIdStats], "Recording time, 0 seconds. 0,00" + tail);
        host_.Last().frames = 48000 * 75;
        logic_.UpdateLiveStats();
        EXPECT_EQ(host_.lists[kIdStats], "Recording time, 1 minutes, 15 seconds. 20,60" + tail);
        StopAndFinish();
    }
}

TEST_F(MainWindowLogicTest, DashboardNamesTheDeviceOrSaysWhyNot) {
    const std::vector<AudioDevice> devices{{"mic-1", "Desk Mic", false}};
    Set("auto_split_secs", 5400);
    Set("auto_start", true);
    EXPECT_EQ(MainTexts::Dashboard(config_, devices, "Status: Ready"),
              "Recording Device is set to: Desk Mic\nOutput Folder is set to: E:\\Rec\nAuto-Recording is: On\n"
              "Auto-Split is: 1 hour, 30 minutes\nStatus: Ready");
    for (auto [id, line] : {std::pair{"", "Not set"}, {"none", "Not set"}, {"gone", "Disconnected"}}) {
        Set("device_id", id);
        EXPECT_EQ(MainTexts::Dashboard(config_, devices, "").substr(0, 28 + std::string(line).size()),
                  std::string("Recording Device is set to: ") + line);
    }
    Set("auto_split_secs", 0);
    EXPECT_NE(MainTexts::Dashboard(config_, devices, "").find("Auto-Split is: Off\n"), std::string::npos);
}

TEST_F(MainWindowLogicTest, StartUpRunsItsStepsInOrderAndArmsTheAutoStartBeforeTheRepairPrompts) {
    Set("device_id", "unplugged-mic");
    Set("auto_start", true);
    Set("auto_start_delay", 3);
    Set("check_updates_startup", true);
    logic_.OnInit();
    EXPECT_EQ(host_.calls,
              (std::vector<std::string>{"publish Tapewright", "scan", "prompt with auto-start armed"}));
    EXPECT_EQ(host_.updateChecks, 1);
    EXPECT_EQ(host_.timers, (std::map<int, int>{{kTimerAutoStart, 3000}}));
    EXPECT_FALSE(C(kIdPause).enabled);
    EXPECT_FALSE(C(kIdStats).visible);
    ASSERT_EQ(host_.Take(), std::vector<std::string>{"box: Device Not Found 16"});
    EXPECT_NE(host_.boxTexts[0].find("The device matching ID:\r\n'unplugged-mic'\r\n\r\ncould not be found."),
              std::string::npos);
    EXPECT_NE(host_.lists[kIdDashboard].find("Status: Auto-recording in 3 seconds..."), std::string::npos);

    // A countdown that ends in a failed start does not stay on the dashboard.
    logic_.OnTimer(kTimerAutoStart);
    EXPECT_EQ(host_.Take(), std::vector<std::string>{"box: Warning 48"});
    EXPECT_EQ(logic_.StatusText(), "Status: Ready");

    // Start pressed during the countdown cancels it and records at once.
    Init();
    EXPECT_EQ(host_.timers.count(kTimerAutoStart), 1u);
    host_.devices.push_back({"unplugged-mic", "Late Mic", false});
    logic_.OnCommand(kIdStart, 0);
    EXPECT_TRUE(logic_.Recording());
    EXPECT_FALSE(host_.timers.count(kTimerAutoStart));
}

TEST_F(MainWindowLogicTest, AnUnattendedAutoStartRecordsWhileARepairPromptWaitsForAnAnswer) {
    Set("auto_start", true);
    // The prompt's nested loop runs the window's timers: the auto-start fires inside it.
    host_.duringPrompt = [&] {
        ASSERT_EQ(host_.timers[kTimerAutoStart], 100);
        logic_.OnTimer(kTimerAutoStart);
        EXPECT_TRUE(logic_.Recording());
    };
    logic_.OnInit();
    EXPECT_EQ(host_.calls.back(), "prompt with auto-start armed");
    EXPECT_TRUE(logic_.Recording()) << ::testing::PrintToString(host_.events);
    EXPECT_EQ(host_.recordings.size(), 1u);
    EXPECT_FALSE(host_.timers.count(kTimerAutoStart));
}

TEST_F(MainWindowLogicTest, AFailedEnumerationSaysSoAndAnUndelayedAutoStartHasNoCountdown) {
    host_.enumerationFails = true;
    Set("auto_start", true);
    logic_.OnInit();
    EXPECT_TRUE(logic_.Devices().empty());
    EXPECT_EQ(host_.Take(), (std::vector<std::string>{"box: Error 16", "box: Device Not Found 16"}));
    EXPECT_EQ(host_.boxTexts[0], "Could not enumerate audio devices: Could not create MMDeviceEnumerator");
    EXPECT_EQ(host_.timers[kTimerAutoStart], 100);
    EXPECT_NE(host_.lists[kIdDashboard].find("Status: Ready"), std::string::npos);
    host_.enumerationFails = false;
    logic_.OnTimer(kTimerAutoStart);
    EXPECT_TRUE(logic_.Recording()) << "the start enumerates again and finds the input";
    EXPECT_FALSE(host_.timers.count(kTimerAutoStart));
}

TEST_F(MainWindowLogicTest, OneInputForNoneOrEmptyALateInputIsFoundLowSpaceOnlyWarns) {
    Init();
    for (const char* absent : {"none", ""}) {
        Set("device2_id", absent);
        logic_.StartRecording();
        ASSERT_TRUE(logic_.Recording()) << absent;
        EXPECT_FALSE(host_.Last().hadInput2);
        StopAndFinish();
    }
    // Low space only warns.
    host_.devices.push_back({"usb-3", "USB", false});
    Set("device2_id", "usb-3");
    host_.freeBytes = 1000;
    host_.Take();
    logic_.StartRecording();
    ASSERT_TRUE(logic_.Recording());
    EXPECT_TRUE(host_.Last().hadInput2);
    EXPECT_EQ(host_.Take()[0], "box: Low Disk Space 48");
}

TEST_F(MainWindowLogicTest, TheWholeRoadOfOneRecording) {
    Set("auto_split_secs", 600);
    Set("max_length_secs", 7200);
    Init();
    host_.focus = kIdStart;
    logic_.OnCommand(kIdStart, 0);
    auto& rec = host_.Last();
    EXPECT_TRUE(host_.driveMonitorRunning);
    EXPECT_EQ(host_.timers, (std::map<int, int>{{1, 1000}, {2, 600000}, {3, 7200000}, {4, 5000}}));
    EXPECT_TRUE(C(kIdStats).visible);
    EXPECT_EQ(host_.lists[kIdStats], "Recording time, 0 seconds. 0.00 MB Storage used on current split.");
    EXPECT_EQ(host_.Take(), (std::vector<std::string>{"say: Recording started", "cue: Rising Sweep 100",
                                                      "notify: Recording Started | Audio recording has begun. | 0"}));
    EXPECT_NE(host_.lists[kIdDashboard].find("Status: Recording Split 1 to take_1.wav"), std::string::npos);

    rec.frames = 48000 * 75;
    logic_.OnTimer(kTimerStats);
    EXPECT_EQ(host_.lists[kIdStats], "Recording time, 1 minutes, 15 seconds. 20.60 MB Storage used on current split.");

    logic_.OnCommand(kIdPause, 0);
    EXPECT_TRUE(rec.paused);
    EXPECT_EQ(logic_.StatusText(), "Status: Paused (Split 1)");
    // Pausing stops neither the split nor the maximum length.
    logic_.OnTimer(kTimerSplit);
    EXPECT_EQ(rec.splitRequests, 1);
    rec.file = "E:/Rec/take_1_part0002.wav";
    rec.callbacks.OnSplit();
    logic_.DrainActions();
    EXPECT_EQ(logic_.StatusText(), "Status: Recording Split 2 to take_1_part0002.wav");
    logic_.OnCommand(kIdPause, 0);
    EXPECT_FALSE(rec.paused);
    EXPECT_EQ(host_.Take(), (std::vector<std::string>{"cue: Low Double Beep 100", "say: Recording paused",
                                                      "notify: File Split | Split 2 started | 0",
                                                      "say: Split 2 started", "cue: High Double Beep 100",
                                                      "say: Recording resumed"}));

    logic_.OnCommand(kIdStart, 0);
    EXPECT_TRUE(rec.stopped);
    EXPECT_EQ(host_.timers, (std::map<int, int>{{kTimerShutdown, 100}}));
    EXPECT_FALSE(C(kIdStart).enabled);
    EXPECT_EQ(host_.focus, 0) << "the focus leaves the button being disabled";
    EXPECT_EQ(logic_.StatusText(), "Status: Stopping and finalizing recording...");
    EXPECT_TRUE(log_.Has("INFO", "Stop event set for session: 20240105_093000"));
    logic_.OnTimer(kTimerShutdown);
    EXPECT_TRUE(logic_.Stopping()) << "the writer is still finalizing";
    rec.Finish();
    logic_.OnTimer(kTimerShutdown);
    EXPECT_FALSE(logic_.HasRecording());
    EXPECT_FALSE(host_.driveMonitorRunning);
    EXPECT_FALSE(C(kIdStats).visible);
    EXPECT_EQ(host_.focus, kIdStart);
    EXPECT_EQ(host_.Take(), (std::vector<std::string>{"say: Recording stopped", "cue: Falling Sweep 100",
                                                      "say: Recording saved successfully.",
                                                      "notify: Recording Saved | File safely saved to disk. | 0"}));
}

TEST_F(MainWindowLogicTest, HandEditedPeriodsBeyondWhatATimerTakesWaitTheLongestItCan) {
    Set("auto_split_secs", 3000000);
    Set("max_length_secs", INT32_MAX);
    Set("auto_start", true);
    Set("auto_start_delay", 5000000);
    Init();
    EXPECT_EQ(host_.timers[kTimerAutoStart], INT32_MAX);
    Start();
    EXPECT_EQ(host_.timers[kTimerSplit], INT32_MAX);
    EXPECT_EQ(host_.timers[kTimerMaxLength], INT32_MAX);
}

TEST_F(MainWindowLogicTest, TheResultOfAStopFollowsTheStatusAndTheCounters) {
    struct Case {
        FinalizationStatus status;
        int dropped, silence;
        bool announce;
        std::vector<std::string> said;
    };
    using S = FinalizationStatus;
    const Case cases[] = {
        {S::Success, 0, 0, true,
         {"say: Recording saved successfully.", "notify: Recording Saved | File safely saved to disk. | 0"}},
        {S::Success, 2, 3, true,
         {"say: Recording saved with quality warnings.",
          "notify: Recording Saved | Saved, but 2 blocks dropped and 3 silence blocks substituted. | 1"}},
        {S::Success, INT32_MAX, 0, true,
         {"say: Recording saved with quality warnings.",
          "notify: Recording Saved | Saved, but 2147483647 blocks dropped and 0 silence blocks substituted. | 1"}},
        {S::ClosedWithWarnings, 0, 0, true,
         {"say: Recording saved with verification warnings.",
          "notify: Recording Saved | Saved with warnings. Please verify the recording. | 1"}},
        {S::FinalizationFailed, 0, 0, true,
         {"say: Warning. File finalization failed.",
          "notify: Recording Saved | File finalization failed. The recording may be incomplete. | 2"}},
        // Unannounced stops are silent only about a file that is fine.
        {S::Success, 5, 5, false, {}},
        {S::ClosedWithWarnings, 0, 0, false,
         {"say: Recording saved with verification warnings.",
          "notify: Recording Saved | Saved with warnings. Please verify the recording. | 1"}},
        {S::FinalizationFailed, 0, 0, false,
         {"say: Warning. File finalization failed.",
          "notify: Recording Saved | File finalization failed. The recording may be incomplete. | 2"}},
    };
    Set("snd_stop", false);
    Init();
    for (const auto& c : cases) {
        logic_.StartRecording();
        auto& rec = host_.Last();
        rec.session->DroppedBlocks = c.dropped;
        rec.session->SilenceBlocks = c.silence;
        logic_.StopRecording(c.announce);
        rec.Finish(c.status);
        host_.Take();
        PollUntilIdle();
        auto said = host_.Take();
        if (c.announce) {
            ASSERT_FALSE(said.empty());
            EXPECT_EQ(said[0], "say: Recording stopped");
            said.erase(said.begin());
        }
        EXPECT_EQ(said, c.said) << static_cast<int>(c.status) << " announce " << c.announce;
    }
}

TEST_F(MainWindowLogicTest, AWriterThatNeverEndsIsAFailedFinalizationAndBlocksTheNextStart) {
    Init();
    logic_.StartRecording();
    auto& rec = host_.Last();
    logic_.StopRecording(true);
    rec.readersAlive = false;
    host_.Take();
    host_.focus = kIdStats;
    EXPECT_EQ(PollUntilIdle(), 101);
    EXPECT_EQ(host_.focus, kIdExit) << "the hidden statistics list hands the focus to an enabled button";
    EXPECT_TRUE(log_.Has("ERROR", "Writer thread stuck during shutdown!"));
    EXPECT_EQ(host_.Take(), (std::vector<std::string>{
                                "say: Recording stopped", "cue: Falling Sweep 100", "say: Warning. File finalization failed.",
                                "notify: Recording Saved | File finalization failed. The recording may be incomplete. | 2"}));
    EXPECT_FALSE(C(kIdStart).enabled);
    EXPECT_EQ(host_.timers.count(kTimerStuckWriter), 1u);

    // Neither a press nor an auto-resume starts a second writer beside it.
    logic_.StartRecording();
    logic_.HandleAutoResume("mic");
    EXPECT_EQ(host_.recordings.size(), 1u);
    logic_.OnTimer(kTimerStuckWriter);
    EXPECT_FALSE(C(kIdStart).enabled);

    rec.writerAlive = false;
    logic_.OnTimer(kTimerStuckWriter);
    EXPECT_FALSE(host_.timers.count(kTimerStuckWriter));
    EXPECT_TRUE(logic_.Recording()) << "the deferred auto-resume starts once the writer has ended";
    EXPECT_EQ(host_.recordings.size(), 2u);

    // Readers alone get fifty polls, and Start comes back.
    logic_.StopRecording(false);
    host_.Last().writerAlive = false;
    EXPECT_EQ(PollUntilIdle(), 51);
    EXPECT_TRUE(log_.Has("WARNING", "Reader threads stuck during shutdown! Forcing exit from shutdown poll."));
    EXPECT_TRUE(C(kIdStart).enabled);
}

TEST_F(MainWindowLogicTest, AWriterErrorStopsSilentlyWithOneBoxHoweverItIsNoticed) {
    Init();
    // Posted from the writer.
    logic_.StartRecording();
    host_.Take();
    host_.Last().callbacks.OnError("An error occurred during recording: disk I/O");
    logic_.DrainActions();
    EXPECT_TRUE(logic_.Stopping());
    EXPECT_EQ(host_.Take(), (std::vector<std::string>{"notify: Error | Recording failed. | 2", "box: Recording Error 16"}));
    EXPECT_EQ(host_.boxTexts.back(), "An error occurred during recording: disk I/O");
    host_.Last().Finish();
    PollUntilIdle();

    // The drive was gone when the error came: the drive handler reports it, not this one.
    logic_.StartRecording();
    host_.Take();
    host_.missingDirs.insert("E:\\");
    host_.Last().callbacks.OnError("An error occurred during recording: gone");
    logic_.DrainActions();
    EXPECT_TRUE(logic_.Recording());
    EXPECT_TRUE(host_.Take().empty());
    // ... and when the drive came back before the monitor saw it, the poll of timer 1 notices
    // the dead writer; the late posted error is not reported again.
    host_.Last().writerAlive = false;
    host_.Last().session->Error = "gone";
    logic_.OnTimer(kTimerStats);
    EXPECT_TRUE(logic_.Recording()) << "the drive is still missing: the drive monitor will report";
    host_.missingDirs.clear();
    logic_.OnTimer(kTimerStats);
    EXPECT_TRUE(logic_.Stopping());
    host_.Last().callbacks.OnError("An error occurred during recording: gone");
    logic_.DrainActions();
    EXPECT_EQ(host_.Take(), (std::vector<std::string>{"notify: Error | Recording failed. | 2", "box: Recording Error 16"}));
    EXPECT_EQ(host_.boxTexts.back(), "An error occurred during recording: gone");

    // The drive stays gone and its report never comes: the poll reports after its grace time.
    host_.Last().Finish();
    PollUntilIdle();
    logic_.StartRecording();
    host_.missingDirs.insert("E:\\");
    host_.Last().writerAlive = false;
    for (int i = 0; i < 10; ++i) logic_.OnTimer(kTimerStats);
    EXPECT_TRUE(logic_.Recording());
    logic_.OnTimer(kTimerStats);
    EXPECT_TRUE(logic_.Stopping());
}

TEST_F(MainWindowLogicTest, NothingThatFailsInTheOnceASecondPollEndsTheProgram) {
    Init();
    Start();
    host_.Last().writerAlive = false;
    // Reporting the dead writer fails half-way (its box cannot be shown): logged, not thrown.
    host_.duringBox = [] { throw PlatformError("MessageBoxW failed, error 1400"); };
    EXPECT_NO_THROW(logic_.OnTimer(kTimerStats));
    EXPECT_NE(log_.Text().find("Checking the writer failed: MessageBoxW failed, error 1400"), std::string::npos)
        << log_.Text();
    // The next tick still works.
    host_.Last().Finish();
    EXPECT_NO_THROW(logic_.OnTimer(kTimerStats));
}

TEST_F(MainWindowLogicTest, AFailedStartEitherStopsWhatRunsOrLeavesTheWindowIdle) {
    Init();
    // The recorder's threads run when the drive monitor fails: they are stopped and finalized.
    host_.driveMonitorFails = true;
    logic_.StartRecording();
    auto& rec = host_.Last();
    EXPECT_TRUE(rec.stopped);
    EXPECT_TRUE(logic_.Stopping());
    EXPECT_EQ(host_.Take(), std::vector<std::string>{"box: Audio Error 16"});
    EXPECT_EQ(host_.boxTexts.back(), "Failed to start recording.\r\n\r\nError: CreateThread failed");
    EXPECT_TRUE(log_.Has("ERROR", "Failed to start recording: CreateThread failed", false));
    rec.Finish();
    PollUntilIdle();
    EXPECT_TRUE(C(kIdStart).enabled);

    // A recorder that refuses to start has no threads: the window is simply idle again.
    host_.driveMonitorFails = false;
    host_.nextStartError = "Sample rate 1 is not supported.";
    logic_.StartRecording();
    EXPECT_FALSE(logic_.Recording());
    EXPECT_FALSE(logic_.Stopping());
    EXPECT_FALSE(logic_.HasRecording());
    EXPECT_EQ(C(kIdStart).text, "&Start Recording");
    EXPECT_FALSE(C(kIdPause).enabled);
    EXPECT_TRUE(C(kIdSettings).enabled);
    EXPECT_FALSE(C(kIdStats).visible);
    EXPECT_EQ(host_.Take().back(), "box: Audio Error 16");
}

TEST_F(MainWindowLogicTest, DriveLossStopsReportsOnceAndCanWaitToResume) {
    Init();
    logic_.StartRecording();
    host_.Take();
    // A second report while the first box is open is dropped.
    host_.duringBox = [&] { logic_.HandleDriveDisconnect("E:\\"); };
    logic_.HandleDriveDisconnect("E:\\");
    EXPECT_TRUE(logic_.Stopping());
    EXPECT_EQ(host_.Take(), (std::vector<std::string>{
                                "notify: Drive Disconnected | Drive E:\\ disconnected. Recording stopped. | 2",
                                "box: Drive Disconnected 16"}));
    EXPECT_NE(host_.boxTexts.back().find("The active recording was automatically stopped."), std::string::npos);
    host_.Last().Finish();
    PollUntilIdle();
    EXPECT_EQ(host_.Take()[0], "say: Recording stopped");

    Set("auto_resume_unattended", true);
    logic_.StartRecording();
    logic_.HandleDriveDisconnect("E:\\");
    ASSERT_EQ(host_.watchers.size(), 1u);
    EXPECT_EQ(host_.watchers[0]->reason, "drive");
    EXPECT_EQ(host_.watchers[0]->folder, "E:\\Rec");
    EXPECT_EQ(logic_.StatusText(), "Status: Error - Waiting for output drive to reconnect before resuming...");
    // The devices come back while the stop is still finalizing: the start waits for the poll.
    host_.watchers[0]->onReady("drive");
    logic_.DrainActions();
    EXPECT_FALSE(host_.watchers[0]->running);
    EXPECT_EQ(host_.recordings.size(), 2u);
    host_.recordings[1]->Finish();
    host_.Take();
    PollUntilIdle();
    EXPECT_TRUE(logic_.Recording());
    EXPECT_EQ(host_.recordings.size(), 3u);
    auto ev = host_.Take();
    EXPECT_NE(std::find(ev.begin(), ev.end(), "say: Recording started"), ev.end());

    // A loss while an earlier wait still runs widens that wait instead of starting another.
    logic_.HandleMicDisconnect(1, false);
    EXPECT_EQ(host_.watchers.size(), 2u);
    logic_.StartAutoResume("drive");
    EXPECT_EQ(host_.watchers.size(), 2u);
    EXPECT_EQ(host_.watchers[1]->reason, "both");
}

TEST_F(MainWindowLogicTest, ALostInputContinuesOrStops) {
    Init();
    logic_.StartRecording();
    host_.Take();
    logic_.HandleMicDisconnect(2, true);
    EXPECT_TRUE(logic_.Recording());
    EXPECT_EQ(host_.Take(), (std::vector<std::string>{
                                "notify: Microphone Disconnected | Microphone 2 disconnected. Continuing on the "
                                "remaining input. | 1",
                                "box: Microphone Disconnected 16"}));
    EXPECT_NE(host_.boxTexts.back().find("because 'Continue recording' is enabled"), std::string::npos);

    logic_.HandleMicDisconnect(1, false);
    EXPECT_TRUE(logic_.Stopping());
    EXPECT_EQ(host_.Take(), (std::vector<std::string>{
                                "notify: Microphone Disconnected | Microphone 1 disconnected. Recording stopped. | 2",
                                "box: Microphone Disconnected 16"}));
    EXPECT_EQ(host_.boxTexts.back(),
              "CRITICAL ERROR: Microphone 1 was unplugged or disabled during recording!\r\n\r\nRecording is stopping. "
              "File integrity has not yet been confirmed.");
    // A late report after the stop does nothing.
    logic_.HandleMicDisconnect(2, false);
    EXPECT_TRUE(host_.Take().empty());
}

TEST_F(MainWindowLogicTest, AStallIsSpokenAndNotifiedAndTheRecordingGoesOn) {
    Init();
    logic_.StartRecording();
    host_.Take();
    logic_.HandleStallChanged(1, true);
    logic_.HandleStallChanged(1, false);
    Set("device2_id", "mic-2");
    logic_.HandleStallChanged(2, true);
    EXPECT_TRUE(logic_.Recording());
    EXPECT_EQ(host_.Take(),
              (std::vector<std::string>{
                  "say: The input stopped delivering audio. Still recording.",
                  "notify: Input Stalled | The input stopped delivering audio. Recording continues. | 1",
                  "say: The input is delivering audio again.",
                  "notify: Input Recovered | The input is delivering audio again. | 0",
                  "say: Input 2 stopped delivering audio. Still recording.",
                  "notify: Input Stalled | Input 2 stopped delivering audio. Recording continues. | 1"}));
}

TEST_F(MainWindowLogicTest, DiskSpaceLevelsAreAnnouncedOnceEachAndTheLastOneStops) {
    Set("bit_depth", "16");  // 192,000 bytes a second: 11.52 MB a minute
    Init();
    logic_.StartRecording();
    host_.Take();
    const uint64_t reserve = 268435456, minute = 48000 * 2 * 2 * 60;
    struct Step {
        double minutes;
        int level;
        const char* said;
    };
    const Step steps[] = {
        {120, 0, nullptr},
        {59, 1, "say: Warning: Less than 60 minutes of disk space remaining."},
        {50, 1, nullptr},
        {70, 0, nullptr},
        {14, 2, "say: Critical Warning: Less than 15 minutes of disk space remaining."},
        {4, 3, "say: Urgent Warning: Less than 5 minutes of disk space remaining!"},
    };
    for (const auto& s : steps) {
        host_.freeBytes = reserve + static_cast<uint64_t>(s.minutes * minute);
        logic_.OnTimer(kTimerDisk);
        EXPECT_EQ(logic_.DiskLevel(), s.level) << s.minutes;
        EXPECT_EQ(host_.Take(), s.said ? std::vector<std::string>{s.said} : std::vector<std::string>{}) << s.minutes;
    }
    EXPECT_TRUE(log_.Has("WARNING", "Urgent Warning: Less than 5 minutes of disk space remaining!"));
    StopAndFinish();

    // From plenty straight to nothing: only the emergency, and the recording stops.
    logic_.StartRecording();
    EXPECT_EQ(logic_.DiskLevel(), 0);
    host_.Take();
    host_.freeBytes = 100;
    logic_.OnTimer(kTimerDisk);
    EXPECT_EQ(host_.Take().front(), "say: Emergency: Less than 1 minute of disk space! Stopping recording.");
    EXPECT_TRUE(logic_.Stopping());
    EXPECT_TRUE(log_.Has("ERROR", "Emergency: Less than 1 minute of disk space! Stopping recording."));
}

TEST_F(MainWindowLogicTest, WorkArrivingWhileBusyWaitsForTheWindowToBeFree) {
    Init();
    std::vector<int> offered;
    logic_.StartRecording();
    logic_.OfferUpdate([&] { offered.push_back(1); });
    logic_.OfferUpdate([&] { offered.push_back(2); });
    EXPECT_TRUE(offered.empty());
    StopAndFinish();
    EXPECT_EQ(offered, std::vector<int>{2}) << "only the newer offer, after the stop";

    // An auto-start that fires while the update dialog is open waits until the user declines.
    logic_.OfferUpdate([&] {
        host_.updating = true;
        logic_.OnTimer(kTimerAutoStart);
        EXPECT_FALSE(logic_.Recording());
        host_.updating = false;
    });
    EXPECT_TRUE(logic_.Recording());
    StopAndFinish();

    // An auto-start that fires while the settings dialog is open starts when it closes; an
    // offer that arrives meanwhile waits for that recording to end.
    host_.duringSettings = [&] {
        logic_.OnTimer(kTimerAutoStart);
        logic_.OfferUpdate([&] { offered.push_back(3); });
        EXPECT_FALSE(logic_.Recording());
    };
    logic_.OnCommand(kIdSettings, 0);
    EXPECT_TRUE(logic_.Recording());
    EXPECT_EQ(offered, std::vector<int>{2});
    StopAndFinish();
    EXPECT_EQ(offered, (std::vector<int>{2, 3}));

    // Settings closing restarts a running wait with the new folder.
    Set("auto_resume_unattended", true);
    logic_.StartRecording();
    logic_.HandleMicDisconnect(1, false);
    host_.Last().Finish();
    PollUntilIdle();
    Set("save_folder", "G:\\New");
    logic_.OnCommand(kIdSettings, 0);
    ASSERT_EQ(host_.watchers.size(), 2u);
    EXPECT_FALSE(host_.watchers[0]->running);
    EXPECT_EQ(host_.watchers[1]->folder, "G:\\New");
    EXPECT_EQ(host_.watchers[1]->reason, "mic");
    // A start by hand ends the wait.
    Set("save_folder", "E:\\Rec");
    logic_.OnCommand(kIdStart, 0);
    EXPECT_TRUE(logic_.Recording());
    EXPECT_FALSE(host_.watchers[1]->running);
}

TEST_F(MainWindowLogicTest, AFocusedListIsNotRewrittenUnderTheScreenReader) {
    Init();
    host_.focus = kIdDashboard;
    const int writes = host_.listWrites[kIdDashboard];
    const std::string before = host_.lists[kIdDashboard];
    logic_.StartRecording();
    EXPECT_EQ(host_.lists[kIdDashboard], before);
    EXPECT_EQ(host_.listWrites[kIdDashboard], writes);
    logic_.OnCommand(kIdDashboard, 5);  // LBN_KILLFOCUS
    EXPECT_NE(host_.lists[kIdDashboard].find("Status: Recording to take_1.wav"), std::string::npos);
    EXPECT_EQ(host_.listWrites[kIdDashboard], writes + 1);
    // The same text again is never rewritten, and flushing without a pending text does nothing.
    host_.focus = kIdStart;
    logic_.UpdateDashboard();
    logic_.FlushList(kIdDashboard);
    EXPECT_EQ(host_.listWrites[kIdDashboard], writes + 1);

    // A text that goes back to the shown one while focused drops the pending one.
    host_.focus = kIdStats;
    host_.Last().frames = 48000 * 3;
    logic_.OnTimer(kTimerStats);
    host_.Last().frames = 0;
    logic_.OnTimer(kTimerStats);
    logic_.FlushList(kIdStats);
    EXPECT_EQ(host_.lists[kIdStats], "Recording time, 0 seconds. 0.00 MB Storage used.");

    // Hiding the focused statistics list moves the focus to Start first.
    logic_.ShowStats(false);
    EXPECT_EQ(host_.focus, kIdStart);
    EXPECT_FALSE(C(kIdStats).visible);
}

TEST_F(MainWindowLogicTest, FocusComesBackOnlyWhereItWasLost) {
    Init();
    struct Case {
        int focus;
        bool foreground, startEnabled;
        int after;
    };
    const Case cases[] = {
        {kIdPause, true, true, kIdPause},  // a usable control keeps it
        {0, true, true, kIdStart},
        {-1, true, false, kIdExit},
        {0, false, true, 0},  // another application's window is in front: hands off
    };
    for (const auto& c : cases) {
        host_.focus = c.focus;
        host_.foreground = c.foreground;
        host_.controls[kIdStart].enabled = c.startEnabled;
        host_.controls[kIdPause].enabled = true;
        logic_.OnActivate();
        logic_.DrainActions();
        EXPECT_EQ(host_.focus, c.after) << c.focus << " " << c.foreground;
    }
    host_.controls[kIdPause].enabled = false;
    host_.focus = kIdPause;
    host_.foreground = true;
    logic_.FixFocusAfterActivate();
    EXPECT_EQ(host_.focus, kIdStart) << "a disabled control does not keep the focus";
}

TEST_F(MainWindowLogicTest, ClosingAsksWhileRecordingAndWaitsForFinalization) {
    Init();
    // Escape does nothing.
    EXPECT_TRUE(logic_.OnCommand(2, 0));
    EXPECT_FALSE(host_.destroyed);

    logic_.StartRecording();
    host_.Last().frames = 48000;
    logic_.OnTimer(kTimerStats);
    host_.Take();
    host_.answers = {7};  // No
    logic_.OnCommand(kIdExit, 0);
    EXPECT_TRUE(logic_.Recording());
    EXPECT_EQ(host_.Take(), std::vector<std::string>{"box: Confirm Exit 292"});
    EXPECT_EQ(host_.boxTexts.back().rfind(
                  "You are currently recording.\r\n\r\nRecording time, 1 seconds. 0.27 MB Storage used.\r\n\r\nAre", 0),
              0u);

    host_.answers = {kAnswerYes};
    logic_.HandleClose();
    EXPECT_TRUE(logic_.ExitPending());
    EXPECT_TRUE(logic_.Stopping());
    logic_.HandleClose();
    EXPECT_EQ(host_.Take(), (std::vector<std::string>{
                                "box: Confirm Exit 292",
                                "say: Finalizing recording before exit. Please do not turn off the computer.",
                                "say: Still finalizing the recording. Please wait."}));
    EXPECT_FALSE(host_.destroyed);
    host_.Last().Finish();
    PollUntilIdle();
    EXPECT_TRUE(host_.destroyed);
    EXPECT_EQ(host_.Take()[0], "say: Recording stopped");

    // A close while a stop finalizes (no question asked then) marks the exit pending too.
    host_.destroyed = false;
    logic_.StartRecording();
    logic_.StopRecording(true);
    host_.Take();
    logic_.HandleClose();
    EXPECT_EQ(host_.Take()[0], "say: Finalizing recording before exit. Please do not turn off the computer.");
    host_.Last().Finish();
    PollUntilIdle();
    EXPECT_TRUE(host_.destroyed);
}

TEST_F(MainWindowLogicTest, EndOfSessionFinalizesForAtMostThirtySecondsWithoutAnnouncing) {
    Init();
    logic_.HandleEndSession();
    EXPECT_EQ(host_.now, 0) << "nothing to do while idle";

    logic_.StartRecording();
    auto* rec = &host_.Last();
    host_.Take();
    int pumps = 0;
    host_.onPump = [&] {
        ++pumps;
        // The deferred work must wait until the pump is over.
        logic_.HandleAutoResume("drive");
        if (pumps == 3) rec->Finish();
        logic_.OnTimer(kTimerShutdown);
    };
    logic_.HandleEndSession();
    EXPECT_EQ(pumps, 3);
    EXPECT_FALSE(logic_.Stopping());
    EXPECT_FALSE(host_.destroyed);
    EXPECT_FALSE(logic_.Recording()) << "no start while the session ends";
    auto ev = host_.Take();
    EXPECT_EQ(std::count(ev.begin(), ev.end(), "say: Recording stopped"), 0);

    // A writer that never ends: the answer comes after 30 seconds anyway.
    logic_.RunDeferred();
    rec = &host_.Last();
    ASSERT_TRUE(logic_.Recording());
    host_.onPump = nullptr;
    host_.now = 0;
    logic_.HandleEndSession();
    EXPECT_GE(host_.now, 30000);
    EXPECT_LE(host_.now, 30020);
    EXPECT_TRUE(logic_.Stopping());
}

TEST_F(MainWindowLogicTest, PostedActionsRunInOrderAndAFailingOneDoesNotStopTheDrain) {
    std::vector<int> ran;
    logic_.Post([&] { ran.push_back(1); });
    logic_.Post([] { throw IoError("boom"); });
    logic_.Post([] { throw 7; });
    logic_.Post([&] { ran.push_back(2); });
    EXPECT_EQ(host_.wakes, 4);
    logic_.DrainActions();
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    EXPECT_TRUE(log_.Has("ERROR", "UI action failed: boom", false));
    EXPECT_TRUE(log_.Has("ERROR", "UI action failed: unknown exception"));
}

TEST_F(MainWindowLogicTest, MaximumLengthStopsWithOnlyItsNotificationAndTheCue) {
    Set("max_length_secs", 60);
    Init();
    logic_.StartRecording();
    host_.Take();
    logic_.OnTimer(kTimerMaxLength);
    host_.Last().Finish();
    PollUntilIdle();
    EXPECT_EQ(host_.Take(), (std::vector<std::string>{
                                "notify: Max Length Reached | Stopped: maximum recording length reached. | 0",
                                "cue: Falling Sweep 100"}));
}

}  // namespace
}  // namespace twr
