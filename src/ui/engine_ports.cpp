#include "ui/engine_ports.h"

#include "recording/drive_watchers.h"
#include "recording/recorder.h"

namespace twr {

namespace {

class RecorderPort final : public RecordingPort {
public:
    RecorderPort(const Config& config, Callbacks callbacks) : recorder_(config) {
        recorder_.OnError = std::move(callbacks.OnError);
        recorder_.OnSplit = std::move(callbacks.OnSplit);
        recorder_.OnMicDisconnected = std::move(callbacks.OnMicDisconnected);
        recorder_.OnMicStall = std::move(callbacks.OnMicStall);
    }
    void Start(const AudioDevice& input1, const AudioDevice* input2, int sampleRate, int channels, int bitsPerSample,
               int bufferFrames, const std::string& prefix) override {
        recorder_.Start(input1, input2, sampleRate, channels, bitsPerSample, bufferFrames, prefix);
    }
    void Stop() override { recorder_.Stop(); }
    bool WriterAlive() const override { return recorder_.WriterAlive(); }
    bool ReadersAlive() const override { return recorder_.ReadersAlive(); }
    std::shared_ptr<RecordingSession> Session() const override { return recorder_.Session(); }
    std::filesystem::path CurrentFile() const override { return recorder_.CurrentFile(); }
    std::filesystem::path OutputFolder() const override { return recorder_.OutputFolder(); }
    int64_t FramesCommitted() const override { return recorder_.FramesCommitted(); }
    void SetPaused(bool paused) override { recorder_.SetPaused(paused); }
    void RequestSplit() override { recorder_.RequestSplit(); }

private:
    Recorder recorder_;
};

class WatcherPort final : public ResumeWatcherPort {
public:
    WatcherPort(const std::string& folder, const std::string& id1, const std::string& id2, const std::string& reason,
                std::function<void(const std::string&)> onReady)
        : watcher_(folder, id1, id2, reason, std::move(onReady)) {}
    void Start() override { watcher_.Start(); }
    bool Running() const override { return watcher_.Running(); }
    void Cancel() override {
        watcher_.SetRunning(false);
        watcher_.Wake();
    }
    std::string Reason() const override { return watcher_.Reason(); }
    void SetReason(const std::string& reason) override { watcher_.SetReason(reason); }

private:
    AutoResumeWatcher watcher_;
};

}  // namespace

std::unique_ptr<RecordingPort> MakeRecorderPort(const Config& config, RecordingPort::Callbacks callbacks) {
    return std::make_unique<RecorderPort>(config, std::move(callbacks));
}

std::unique_ptr<ResumeWatcherPort> MakeResumeWatcherPort(const std::string& folder, const std::string& device1Id,
                                                         const std::string& device2Id, const std::string& reason,
                                                         std::function<void(const std::string&)> onReady) {
    return std::make_unique<WatcherPort>(folder, device1Id, device2Id, reason, std::move(onReady));
}

}  // namespace twr
