#include "recording/input_reader.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "app/errors.h"
#include "app/log.h"
#include "app/threads.h"

namespace twr {

std::unique_ptr<AudioStream> CaptureBackend::Open(const std::string& deviceId, bool loopback, int sampleRate,
                                                  int channels) {
    return Wasapi::OpenCapture(deviceId, loopback, sampleRate, channels);
}

InputReader::InputReader(int number, std::string deviceId, bool isLoopback, int sampleRate, int bufferFrames,
                         std::shared_ptr<RecordingSession> session, Stopwatch clock,
                         std::shared_ptr<CaptureBackend> backend)
    : number_(number),
      deviceId_(std::move(deviceId)),
      isLoopback_(isLoopback),
      sampleRate_(sampleRate),
      bufferFrames_(bufferFrames),
      session_(std::move(session)),
      clock_(clock),
      backend_(backend ? std::move(backend) : PlatformCaptureBackend()),
      queue_(std::make_unique<BlockQueue>(QueueBound(sampleRate, bufferFrames))) {
    // A block of no frames would be "full" at once and flood the queue from a spinning thread.
    if (bufferFrames_ < 1 || bufferFrames_ > INT_MAX / 2)
        throw InvalidArgument("Invalid buffer size: " + std::to_string(bufferFrames_) + " frames.");
    if (sampleRate_ < 1) throw InvalidArgument("Invalid sample rate: " + std::to_string(sampleRate_) + " Hz.");
    if (!session_) throw InvalidArgument("An input reader needs a recording session.");
}

void InputReader::Start() {
    if (started_.exchange(true)) throw InvalidOperation("Reader " + std::to_string(number_) + " was already started.");
    try {
        // The thread holds the reader: it may still be ending after its Recorder is gone.
        StartNamedThread("Reader" + std::to_string(number_), [self = shared_from_this()] { self->Run(); }).detach();
    } catch (...) {
        started_.store(false);
        throw;
    }
}

std::string InputReader::Error() const { return Failed() ? error_ : std::string(); }

bool InputReader::ThreadAlive() const noexcept {
    return started_.load(std::memory_order_acquire) && !ended_.load(std::memory_order_acquire);
}

bool InputReader::Join(int timeoutMs) {
    if (!started_.load(std::memory_order_acquire)) return true;
    std::unique_lock lock(endMutex_);
    return endCv_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                           [this] { return ended_.load(std::memory_order_acquire); });
}

size_t InputReader::QueueBound(int sampleRate, int bufferFrames) noexcept {
    if (sampleRate < 1 || bufferFrames < 1) return 2;
    const int64_t blocks = (int64_t{kQueueSeconds} * sampleRate + bufferFrames - 1) / bufferFrames;
    return static_cast<size_t>(std::max<int64_t>(blocks, 2));
}

int InputReader::IdleWaitMs(bool eventDriven, int bufferFrames, int sampleRate) noexcept {
    if (eventDriven) return kEventWaitMs;
    if (sampleRate < 1) return 30;
    const int64_t wait = static_cast<int64_t>(bufferFrames) * 500 / sampleRate;
    return static_cast<int>(std::clamp<int64_t>(wait, 5, 30));
}

void InputReader::SignalEnded() {
    {
        std::lock_guard lock(endMutex_);
        ended_.store(true, std::memory_order_release);
    }
    endCv_.notify_all();
}

std::string InputReader::SecondsText(uint64_t frames) const {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(frames) / sampleRate_);
    return text;
}

void InputReader::CountDiscarded(uint64_t frames) {
    // In whole blocks, rounded up over the whole recording, so that the report's one figure for
    // lost audio holds this loss too and any loss at all keeps it from reading as clean.
    const auto block = static_cast<uint64_t>(bufferFrames_);
    const uint64_t before = (discardedFrames_ + block - 1) / block;
    discardedFrames_ += frames;
    const uint64_t after = (discardedFrames_ + block - 1) / block;
    session_->DroppedBlocks.Add(static_cast<int64_t>(std::min<uint64_t>(after - before, SaturatingCount::kMax)));
    Log::Warn("Reader " + std::to_string(number_) + ": the device discarded " + SecondsText(frames) +
              " seconds of audio that were not read in time.");
}

void InputReader::Run() {
    const std::string prefix = "Reader " + std::to_string(number_);
    std::shared_ptr<void> apartment;
    std::unique_ptr<AudioStream> stream;
    try {
        apartment = backend_->EnterThread();
        stream = backend_->Open(deviceId_, isLoopback_, sampleRate_, 2);
        settled_.store(true, std::memory_order_release);
        ReadLoop(*stream);
    } catch (const std::exception& e) {
        error_ = e.what();
        failed_.store(true, std::memory_order_release);
        Log::Error(prefix + " error: " + e.what());
    } catch (...) {
        error_ = "Unknown error.";
        failed_.store(true, std::memory_order_release);
        Log::Error(prefix + " error: " + error_);
    }
    settled_.store(true, std::memory_order_release);
    if (discardedFrames_ > 0)
        Log::Warn(prefix + " lost " + SecondsText(discardedFrames_) +
                  " seconds of audio in all that the device discarded.");
    if (stream) stream->Dispose();
    try {
        queue_->CompleteAdding();
    } catch (...) {
    }
    // The stream goes before the apartment it was created in.
    stream.reset();
    apartment.reset();
    Log::Info(prefix + " thread shutting down");
    SignalEnded();
}

// The block under way and what the reader knows of its lag behind the device.
struct InputReader::Cutting {
    explicit Cutting(int samples) : buffer(static_cast<size_t>(samples)) {}
    std::vector<float> buffer;
    int fill = 0;
    // The first buffer after the stream starts holds the engine's start-up transient.
    bool firstSeen = false;
    // When a read last found the engine empty (session time), and the frames read or reported
    // discarded since: the device captured the time between in real time, so whatever of it the
    // reader has not had is still unread.
    double caughtUpAt = 0.0;
    uint64_t framesSince = 0;
};

double InputReader::StampNow() const noexcept {
    // A block completed after the stop was asked for was captured, all but its last moments,
    // before the reader saw the stop: it is stamped as the stop's, as those read after it are.
    const double now = clock_.ElapsedSeconds();
    const double stop = session_->StopTime();
    return stop >= 0 && now > stop ? stop : now;
}

int InputReader::ReadInto(AudioStream& stream, Cutting& cut, int count) {
    const int got = stream.Read(cut.buffer, cut.fill, count);
    const uint64_t discarded = stream.TakeDiscardedFrames();
    if (discarded > 0) CountDiscarded(discarded);
    cut.fill += got;
    if (got < count) {
        cut.caughtUpAt = clock_.ElapsedSeconds();
        cut.framesSince = 0;
    } else {
        cut.framesSince += static_cast<uint64_t>(got / 2) + discarded;
    }
    return got;
}

void InputReader::Complete(Cutting& cut, double time) {
    cut.fill = 0;
    if (!cut.firstSeen) {
        cut.firstSeen = true;
        return;
    }
    ArrayPool& pool = ArrayPool::Shared();
    const size_t samples = cut.buffer.size();
    Block block;
    block.Samples = pool.Rent(samples);
    std::memcpy(block.Samples.data(), cut.buffer.data(), sizeof(float) * samples);
    block.Time = time;
    block.Count = static_cast<int32_t>(samples);
    // Never a wait for room: the device must be read on, or its own buffer overflows and the
    // loss shows only when (and if) the reader reads the packet after the gap.
    if (queue_->TryAdd(block, 0)) {
        dropping_ = false;
        return;
    }
    session_->DroppedBlocks.Add(1);
    pool.Return(block.Samples);
    if (!std::exchange(dropping_, true))
        Log::Warn("Reader " + std::to_string(number_) + ": the queue is full (" + std::to_string(kQueueSeconds) +
                  " seconds of audio the writer has not taken); blocks are dropped until it catches up.");
}

void InputReader::ReadLoop(AudioStream& stream) {
    const int size = 2 * bufferFrames_;
    const bool eventDriven = stream.EventDriven();
    const int idleWait = IdleWaitMs(eventDriven, bufferFrames_, sampleRate_);
    const std::string prefix = "Reader " + std::to_string(number_);
    Log::Info(eventDriven ? prefix + " is event driven."
                          : prefix + " is polling every " + std::to_string(idleWait) + " ms.");

    Cutting cut(size);
    cut.caughtUpAt = clock_.ElapsedSeconds();
    while (Running() && !session_->StopEvent.IsSet()) {
        const int got = ReadInto(stream, cut, size - cut.fill);
        if (cut.fill >= size)
            Complete(cut, StampNow());
        else if (got == 0)
            stream.WaitForData(idleWait);
    }
    // A StopEvent set without a stop time ends the recording with nothing more to keep.
    const double stopTime = session_->StopTime();
    if (session_->StopEvent.IsSet() && stopTime >= 0) ReadLeftAtStop(stream, cut, stopTime);
}

void InputReader::ReadLeftAtStop(AudioStream& stream, Cutting& cut, double stopTime) {
    const std::string prefix = "Reader " + std::to_string(number_);
    const int size = static_cast<int>(cut.buffer.size());
    const auto bound = static_cast<uint64_t>(sampleRate_) * kStopReadSeconds;
    uint64_t taken = 0;
    try {
        while (taken < bound) {
            const int want = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(size - cut.fill),
                                                                 2 * (bound - taken)));
            const int got = ReadInto(stream, cut, want);
            taken += static_cast<uint64_t>(got / 2);
            if (cut.fill >= size) Complete(cut, stopTime);
            // The engine ran dry: nothing captured before the stop is left unread. The partial
            // block still under way is the recording's ragged end, not lost audio.
            if (got < want) return;
        }
    } catch (const std::exception& e) {
        Log::Warn(prefix + ": what the device still held at the stop could not be read: " + e.what());
        return;
    }
    // The bound was reached with audio still coming: the reader was behind when the stop came.
    // What the device captured before the stop and the reader never had is counted, by the
    // session clock since the reader last found the engine empty.
    const double behind = stopTime - cut.caughtUpAt;
    if (!(behind > 0)) return;
    const auto captured = static_cast<uint64_t>(behind * sampleRate_);
    if (captured <= cut.framesSince) return;
    const uint64_t unread = captured - cut.framesSince;
    const auto block = static_cast<uint64_t>(bufferFrames_);
    session_->DroppedBlocks.Add(static_cast<int64_t>(std::min<uint64_t>((unread + block - 1) / block,
                                                                        SaturatingCount::kMax)));
    Log::Warn(prefix + ": " + SecondsText(unread) +
              " seconds of audio captured before the stop were left unread; the reader was behind.");
}

}  // namespace twr
