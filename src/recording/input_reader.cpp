#include "recording/input_reader.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
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
                         std::shared_ptr<CaptureBackend> backend, int queueWaitMs)
    : number_(number),
      deviceId_(std::move(deviceId)),
      isLoopback_(isLoopback),
      sampleRate_(sampleRate),
      bufferFrames_(bufferFrames),
      session_(std::move(session)),
      clock_(clock),
      backend_(backend ? std::move(backend) : PlatformCaptureBackend()),
      queueWaitMs_(queueWaitMs),
      queue_(std::make_unique<BlockQueue>(kQueueBound)) {
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

void InputReader::ReadLoop(AudioStream& stream) {
    const int size = 2 * bufferFrames_;
    std::vector<float> buffer(static_cast<size_t>(size));
    const bool eventDriven = stream.EventDriven();
    const int idleWait = IdleWaitMs(eventDriven, bufferFrames_, sampleRate_);
    const std::string prefix = "Reader " + std::to_string(number_);
    Log::Info(eventDriven ? prefix + " is event driven."
                          : prefix + " is polling every " + std::to_string(idleWait) + " ms.");

    ArrayPool& pool = ArrayPool::Shared();
    int fill = 0;
    // The first buffer after the stream starts holds the engine's start-up transient.
    bool firstSeen = false;
    while (Running() && !session_->StopEvent.IsSet()) {
        const int got = stream.Read(buffer, fill, size - fill);
        if (const uint64_t discarded = stream.TakeDiscardedFrames(); discarded > 0) CountDiscarded(discarded);
        fill += got;
        if (fill >= size) {
            if (!firstSeen) {
                firstSeen = true;
            } else {
                Block block;
                block.Samples = pool.Rent(static_cast<size_t>(size));
                std::memcpy(block.Samples.data(), buffer.data(), sizeof(float) * static_cast<size_t>(size));
                block.Time = clock_.ElapsedSeconds();
                block.Count = size;
                if (!queue_->TryAdd(block, queueWaitMs_)) {
                    session_->DroppedBlocks.Add(1);
                    pool.Return(block.Samples);
                }
            }
            fill = 0;
        } else if (got == 0) {
            stream.WaitForData(idleWait);
        }
    }
}

}  // namespace twr
