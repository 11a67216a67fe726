#include "recording/recorder.h"

#include "app/errors.h"
#include "app/log.h"
#include "app/platform.h"
#include "app/threads.h"
#include "recording/input_reader.h"
#include "recording/recovery_journal.h"
#include "recording/rf64_writer.h"

namespace twr {

namespace fs = std::filesystem;

namespace {

// The writer's view of an InputReader.
class ReaderInput final : public WriterInput {
public:
    explicit ReaderInput(std::shared_ptr<InputReader> reader) : reader_(std::move(reader)) {}
    ~ReaderInput() override { ReleaseTaken(); }

    int Number() const noexcept override { return reader_->Number(); }
    bool Settled() const noexcept override { return reader_->Settled(); }
    bool Failed() const noexcept override { return reader_->Failed(); }
    std::string Error() const override { return reader_->Error(); }
    bool ThreadAlive() const noexcept override { return reader_->ThreadAlive(); }
    size_t QueuedCount() const override { return reader_->Queue().Count(); }
    const float* Take(int timeoutMs, double& time, int& count) override {
        ReleaseTaken();
        if (!reader_->Queue().TryTake(held_, timeoutMs)) return nullptr;
        time = held_.Time;
        count = held_.Count;
        return held_.Samples.data();
    }
    void ReleaseTaken() noexcept override {
        if (!held_.Samples.empty()) ArrayPool::Shared().Return(held_.Samples);
    }
    void ClearRunning() noexcept override { reader_->ClearRunning(); }
    bool WaitEnded(int timeoutMs) override { return reader_->Join(timeoutMs); }
    void Drain() noexcept override {
        try {
            Block block;
            while (reader_->Queue().TryTake(block, 0)) ArrayPool::Shared().Return(block.Samples);
        } catch (...) {
        }
    }

private:
    std::shared_ptr<InputReader> reader_;
    Block held_;
};

class SessionClock final : public WriterClock {
public:
    explicit SessionClock(std::shared_ptr<RecordingSession> session) : session_(std::move(session)) {}
    double Now() override { return session_->Time(); }
    bool StopSet() override { return session_->StopEvent.IsSet(); }
    bool WaitStop(int ms) override { return session_->StopEvent.Wait(ms); }
    double StopTime() override { return session_->StopTime(); }

private:
    std::shared_ptr<RecordingSession> session_;
};

std::string FormatLine(int rate, int channels, int bits, int buffer) {
    return "Sample Rate: " + std::to_string(rate) + ", Channels: " + std::to_string(channels) +
           ", Bits: " + std::to_string(bits) + ", Buffer: " + std::to_string(buffer);
}

}  // namespace

Recorder::Recorder(const Config& config) : Recorder(config, nullptr, nullptr) {}

Recorder::Recorder(const Config& config, std::shared_ptr<CaptureBackend> backend,
                   std::function<RecorderServices(RecorderServices)> adjustServices)
    : config_(std::make_shared<const Config>(config)),
      backend_(std::move(backend)),
      adjustServices_(std::move(adjustServices)) {}

void Recorder::CheckFormat(int sampleRate, int channels, int bitsPerSample, int bufferFrames) {
    if (channels < 1 || channels > 2)
        throw InvalidArgument("Unsupported channel count: " + std::to_string(channels));
    if (sampleRate < kMinSampleRate || sampleRate > kMaxSampleRate)
        throw InvalidArgument("Unsupported sample rate: " + std::to_string(sampleRate));
    if (bufferFrames < 1 || bufferFrames > kMaxBufferFrames)
        throw InvalidArgument("Unsupported buffer size: " + std::to_string(bufferFrames));
    if (bitsPerSample != 16 && bitsPerSample != 24 && bitsPerSample != 32)
        throw InvalidArgument("Unsupported bit depth: " + std::to_string(bitsPerSample));
}

void Recorder::Start(const AudioDevice& input1, const AudioDevice* input2, int sampleRate, int channels,
                     int bitsPerSample, int bufferFrames, const std::string& prefix) {
    if (started_) throw InvalidOperation("A recorder records only once.");
    CheckFormat(sampleRate, channels, bitsPerSample, bufferFrames);

    const std::shared_ptr<const Config> config = config_;
    RecorderServices services = RecorderServices::Platform();
    services.ReadSettings = [config] {
        WriterSettings s;
        s.In1Route = config->In1Route();
        s.In2Route = config->In2Route();
        s.In1Gain = static_cast<float>(config->In1Gain());
        s.In2Gain = static_cast<float>(config->In2Gain());
        s.ContinueOnMicDisconnect =
            config->Data().GetBool("continue_on_mic_disconnect", Config::kDefaultContinueOnMicDisconnect);
        return s;
    };
    services.SaveFolder = [config] { return platform::PathText(config->SaveFolder()); };
    if (adjustServices_) services = adjustServices_(std::move(services));

    const int autoSplit = config->Data().GetInt("auto_split_secs", Config::kDefaultAutoSplitSecs);
    const std::string stamp = services.TimestampNow();
    auto session = std::make_shared<RecordingSession>();
    session->Id = stamp;

    auto state = std::make_shared<RecorderState>();
    state->Session = session;
    state->Prefix = prefix;
    state->AutoSplitSecs = autoSplit;
    state->SampleRate = sampleRate;
    state->Channels = channels;
    state->BitsPerSample = bitsPerSample;
    state->BufferFrames = bufferFrames;
    state->Callbacks = {OnError, OnSplit, OnMicDisconnected, OnMicStall};

    const std::string base = RecordingBaseName(prefix, stamp);
    const fs::path saveFolder = config->SaveFolder();
    const bool grouped = config->Data().GetBool("group_splits", Config::kDefaultGroupSplits) && autoSplit >= 1;
    state->OutputFolder = grouped ? saveFolder / platform::U8Path(base) : saveFolder;
    platform::CreateDirectories(state->OutputFolder);
    state->JournalPath = RecoveryJournal::PathFor(state->OutputFolder);
    state->PublishCurrentFile(ChooseRecordingPath(state->OutputFolder, base,
                                                  autoSplit >= 1 ? PartSuffix(1) : std::string(), services.Exists));
    state->Services = std::move(services);

    Log::Info("Starting recording session: " + session->Id);
    Log::Info(FormatLine(sampleRate, channels, bitsPerSample, bufferFrames));
    Log::Info("Mic 1: " + input1.Id);
    if (input2) Log::Info("Mic 2: " + input2->Id);

    auto reader1 = std::make_shared<InputReader>(1, input1.Id, input1.IsLoopback, sampleRate, bufferFrames, session,
                                                 session->Clock, backend_);
    std::shared_ptr<InputReader> reader2;
    if (input2)
        reader2 = std::make_shared<InputReader>(2, input2->Id, input2->IsLoopback, sampleRate, bufferFrames, session,
                                                session->Clock, backend_);
    auto in1 = std::make_shared<ReaderInput>(reader1);
    std::shared_ptr<ReaderInput> in2 = reader2 ? std::make_shared<ReaderInput>(reader2) : nullptr;
    state->Input1 = in1;
    state->Input2 = in2;
    state->Clock = std::make_shared<SessionClock>(session);

    session_ = session;
    state_ = state;
    started_ = true;
    try {
        reader1->Start();
        if (reader2) reader2->Start();
        state->WriterAlive.store(true, std::memory_order_release);
        // The thread holds the state, not the Recorder: it runs to its end whatever the owner does.
        StartNamedThread("Writer", [state] { state->RunWriter(); }).detach();
    } catch (...) {
        // The platform refused a thread: stop whatever already runs and report the start as failed.
        state->WriterAlive.store(false, std::memory_order_release);
        session->RequestStop();
        reader1->ClearRunning();
        if (reader2) reader2->ClearRunning();
        throw;
    }
}

void Recorder::Stop() {
    if (!session_) return;
    session_->RequestStop();
    if (state_) {
        state_->Input1->ClearRunning();
        if (state_->Input2) state_->Input2->ClearRunning();
    }
}

bool Recorder::ReadersAlive() const {
    if (!state_) return false;
    return state_->Input1->ThreadAlive() || (state_->Input2 && state_->Input2->ThreadAlive());
}

bool Recorder::WriterAlive() const noexcept {
    return state_ && state_->WriterAlive.load(std::memory_order_acquire);
}

fs::path Recorder::CurrentFile() const { return state_ ? state_->CurrentFile() : fs::path(); }
fs::path Recorder::OutputFolder() const { return state_ ? state_->OutputFolder : fs::path(); }
fs::path Recorder::JournalPath() const {
    return state_ ? state_->JournalPath : RecoveryJournal::PathFor(fs::path());
}
int64_t Recorder::FramesCommitted() const noexcept { return state_ ? state_->FramesCommitted.load() : 0; }
int Recorder::PartNumber() const noexcept { return state_ ? state_->PartNumber.load() : 1; }

void Recorder::SetPaused(bool paused) noexcept {
    if (state_) state_->RequestPause(paused, session_->Time());
}
bool Recorder::Paused() const noexcept { return state_ && state_->Paused.load(std::memory_order_acquire) != 0; }
void Recorder::RequestSplit() noexcept {
    if (state_) state_->RequestSplit(session_->Time());
}
bool Recorder::SplitRequested() const noexcept {
    return state_ && state_->SplitRequested.load(std::memory_order_acquire) != 0;
}

}  // namespace twr
