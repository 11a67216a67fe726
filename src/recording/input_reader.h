#pragma once
// One capture thread per input: opens the input's stream, cuts it into fixed-size blocks of
// interleaved stereo floats stamped with the session clock and queues them for the writer.
// Portable: the platform side (COM apartment, WASAPI stream) is behind CaptureBackend, so the
// writer loop can be tested natively with a backend that plays back prepared samples.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "recording/block_queue.h"
#include "recording/recording_session.h"
#include "recording/wasapi.h"

namespace twr {

// What a reader thread needs from the platform.
class CaptureBackend {
public:
    virtual ~CaptureBackend() = default;
    // Runs first on the reader thread. The returned guard is destroyed last on that thread,
    // after the stream has been disposed (on Windows: the multithreaded COM apartment, undone
    // only when initialising it succeeded).
    [[nodiscard]] virtual std::shared_ptr<void> EnterThread() { return nullptr; }
    // Opens a started stream of interleaved 32-bit floats; throws with the user's sentence.
    // Wasapi::OpenCapture unless a test plays back its own samples.
    [[nodiscard]] virtual std::unique_ptr<AudioStream> Open(const std::string& deviceId, bool loopback,
                                                           int sampleRate, int channels);
};

// The platform's backend: with the multithreaded COM apartment on Windows (input_reader_win.cpp),
// without one over the endpoint stand-in in the native build.
[[nodiscard]] std::shared_ptr<CaptureBackend> PlatformCaptureBackend();

// Create with std::make_shared: the thread keeps the reader alive for as long as it runs, so a
// Recorder may be dropped while a stuck reader is still ending.
class InputReader : public std::enable_shared_from_this<InputReader> {
public:
    // The queue holds this many seconds of audio whatever the format, so a writer held up by a
    // slow drive (a split's close forcing its part out takes seconds there) loses nothing. A reader
    // never waits for room in it: a block the full queue cannot take is dropped and counted, and
    // the device is read on, so its own buffer never overflows because of the writer.
    static constexpr int kQueueSeconds = 10;
    // Enough blocks of bufferFrames for kQueueSeconds, and never fewer than 2.
    [[nodiscard]] static size_t QueueBound(int sampleRate, int bufferFrames) noexcept;
    // At a stop the reader still takes what its device holds ready, up to about the device's
    // buffer: a stream that never runs dry cannot keep the reader from ending.
    static constexpr int kStopReadSeconds = 1;
    static constexpr int kEventWaitMs = 200;

    // Throws InvalidArgument for a sample rate or buffer size below 1. Nothing is opened yet.
    // backend null means PlatformCaptureBackend().
    InputReader(int number, std::string deviceId, bool isLoopback, int sampleRate, int bufferFrames,
                std::shared_ptr<RecordingSession> session, Stopwatch clock,
                std::shared_ptr<CaptureBackend> backend = nullptr);
    InputReader(const InputReader&) = delete;
    InputReader& operator=(const InputReader&) = delete;

    // Starts the background thread "Reader<number>". Call once.
    void Start();

    [[nodiscard]] int Number() const noexcept { return number_; }
    [[nodiscard]] const std::string& DeviceId() const noexcept { return deviceId_; }
    [[nodiscard]] bool IsLoopback() const noexcept { return isLoopback_; }
    [[nodiscard]] int SampleRate() const noexcept { return sampleRate_; }
    [[nodiscard]] int BufferFrames() const noexcept { return bufferFrames_; }
    [[nodiscard]] const std::shared_ptr<RecordingSession>& Session() const noexcept { return session_; }

    // The writer's end of the queue (Count, TryTake); the Recorder drains it after the thread.
    [[nodiscard]] BlockQueue& Queue() noexcept { return *queue_; }

    // Set from construction; clearing it ends the thread within one read or one idle wait.
    [[nodiscard]] bool Running() const noexcept { return running_.load(std::memory_order_acquire); }
    void ClearRunning() noexcept { running_.store(false, std::memory_order_release); }
    // The stream is open, or the thread has ended for any reason.
    [[nodiscard]] bool Settled() const noexcept { return settled_.load(std::memory_order_acquire); }
    // The thread ended by a failure; Error() then holds its message.
    [[nodiscard]] bool Failed() const noexcept { return failed_.load(std::memory_order_acquire); }
    // The message of the failure that ended the thread; empty unless Failed().
    [[nodiscard]] std::string Error() const;

    // True from Start until the thread body has returned.
    [[nodiscard]] bool ThreadAlive() const noexcept;
    // Waits for the thread to end; true when it has ended (or was never started).
    bool Join(int timeoutMs);

    // The idle wait between reads that yielded nothing: kEventWaitMs for an event-driven
    // stream, else bufferFrames x 500 / sampleRate ms clamped to 5..30.
    [[nodiscard]] static int IdleWaitMs(bool eventDriven, int bufferFrames, int sampleRate) noexcept;

private:
    struct Cutting;
    void Run();
    void ReadLoop(AudioStream& stream);
    // One read into the block under way, with the bookkeeping of how far behind the device the
    // reader may be. Returns the samples read.
    int ReadInto(AudioStream& stream, Cutting& cut, int count);
    // The block under way is full: queued stamped with time, or dropped and counted.
    void Complete(Cutting& cut, double time);
    // After a stop: what the device still holds ready, up to kStopReadSeconds, goes into blocks
    // stamped with the stop time; what lies beyond is counted as dropped.
    void ReadLeftAtStop(AudioStream& stream, Cutting& cut, double stopTime);
    [[nodiscard]] double StampNow() const noexcept;
    // Audio the device discarded while this thread was held up is lost like a dropped block and
    // counted with them.
    void CountDiscarded(uint64_t frames);
    [[nodiscard]] std::string SecondsText(uint64_t frames) const;
    void SignalEnded();

    const int number_;
    const std::string deviceId_;
    const bool isLoopback_;
    const int sampleRate_;
    const int bufferFrames_;
    const std::shared_ptr<RecordingSession> session_;
    const Stopwatch clock_;
    const std::shared_ptr<CaptureBackend> backend_;
    const std::unique_ptr<BlockQueue> queue_;

    std::atomic<bool> running_{true};
    std::atomic<bool> settled_{false};
    std::atomic<bool> failed_{false};
    std::string error_;  // written before failed_ is set (release), read after it (acquire)
    uint64_t discardedFrames_ = 0;  // the thread's own
    bool dropping_ = false;         // the thread's own: the last completed block found no room

    std::atomic<bool> started_{false};
    std::atomic<bool> ended_{false};
    mutable std::mutex endMutex_;
    std::condition_variable endCv_;
};

}  // namespace twr
