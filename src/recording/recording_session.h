#pragma once
// The small state object that the threads of one recording share. Portable.
#include <atomic>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>

#include "app/platform.h"

namespace twr {

// The outcome of a recording.
enum class FinalizationStatus : int32_t {
    Recording = 0,           // the writer thread has not finished finalizing
    Success = 1,             // the file (if any) was closed and verified, or no file was open
    ClosedWithWarnings = 2,  // the file was closed but failed verification
    FinalizationFailed = 3,  // finalization raised a failure
};

// A monotonic stopwatch started at construction. Copies share the origin, so a reader holding a
// copy reads the same session time as the writer.
class Stopwatch {
public:
    Stopwatch() noexcept : start_(std::chrono::steady_clock::now()) {}
    // Elapsed seconds, counted in ticks of 100 ns.
    [[nodiscard]] double ElapsedSeconds() const noexcept {
        using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
        auto ticks = std::chrono::duration_cast<Ticks>(std::chrono::steady_clock::now() - start_).count();
        return static_cast<double>(ticks) / 10000000.0;
    }

private:
    std::chrono::steady_clock::time_point start_;
};

// A manual-reset event: once set it stays set; every waiter wakes.
class ManualResetEvent {
public:
    void Set() {
        {
            std::lock_guard lock(mutex_);
            set_.store(true, std::memory_order_release);
        }
        cv_.notify_all();
    }
    [[nodiscard]] bool IsSet() const noexcept { return set_.load(std::memory_order_acquire); }
    // True when the event is (or becomes) set within the time-out.
    bool Wait(int timeoutMs) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                            [this] { return set_.load(std::memory_order_acquire); });
    }

private:
    std::atomic<bool> set_{false};
    std::mutex mutex_;
    std::condition_variable cv_;
};

// A count of lost or substituted audio that stops at its largest value instead of wrapping: the
// report reads anything below 1 as a clean recording, so a wrapped count would call a damaged
// recording safe.
class SaturatingCount {
public:
    static constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

    SaturatingCount() noexcept = default;
    SaturatingCount(const SaturatingCount&) = delete;
    SaturatingCount& operator=(const SaturatingCount&) = delete;
    // Sets a count outright (tests); negative values are taken as 0.
    SaturatingCount& operator=(int64_t value) noexcept {
        value_.store(static_cast<int32_t>(std::clamp<int64_t>(value, 0, kMax)));
        return *this;
    }

    // Adds n (nothing for n below 1), stopping at kMax.
    void Add(int64_t n) noexcept {
        if (n <= 0) return;
        int32_t current = value_.load(std::memory_order_relaxed);
        for (;;) {
            const auto next = static_cast<int32_t>(std::min<int64_t>(int64_t{current} + n, kMax));
            if (value_.compare_exchange_weak(current, next)) return;
        }
    }
    [[nodiscard]] int32_t load() const noexcept { return value_.load(); }

private:
    std::atomic<int32_t> value_{0};
};

// Shared by the Recorder, its readers and its writer through std::shared_ptr, so that a thread
// that outlives its Recorder still touches live state.
class RecordingSession {
public:
    RecordingSession() : StartTime(platform::Now()) {}
    RecordingSession(const RecordingSession&) = delete;
    RecordingSession& operator=(const RecordingSession&) = delete;

    // Start time as "yyyyMMdd_HHmmss"; set by Recorder::Start before any thread starts.
    std::string Id;
    // Set by Recorder::Stop (through RequestStop); every loop of every thread of the recording
    // ends when it is set.
    ManualResetEvent StopEvent;
    // The last failure of the writer thread or of finalization. Written by the writer thread
    // only; read by others after that thread has ended.
    std::optional<std::string> Error;
    // Started at construction; Time() is the session time.
    Stopwatch Clock;
    // Blocks a reader could not queue, audio the device discarded (in blocks), and audio captured
    // before a stop that could not be written.
    SaturatingCount DroppedBlocks;
    // Blocks of silence the writer put in place of a missing block.
    SaturatingCount SilenceBlocks;
    // Splits performed; written only by the writer thread.
    std::atomic<int32_t> SplitCount{0};
    // Recording from construction until finalization sets it.
    std::atomic<FinalizationStatus> Status{FinalizationStatus::Recording};
    // Local date and time at construction; the journal's "start_time".
    const platform::LocalTime StartTime;

    // Seconds since construction.
    [[nodiscard]] double Time() const noexcept { return Clock.ElapsedSeconds(); }

    // Notes the session time of the stop, then sets StopEvent. A block stamped no later than that
    // time was captured before the stop and still belongs in the recording. Only the first call
    // counts.
    void RequestStop() {
        double none = -1.0;
        stopTime_.compare_exchange_strong(none, Time());
        StopEvent.Set();
    }
    // The session time RequestStop noted; -1 before it (a StopEvent set otherwise keeps nothing).
    [[nodiscard]] double StopTime() const noexcept { return stopTime_.load(); }

private:
    std::atomic<double> stopTime_{-1.0};
};

}  // namespace twr
