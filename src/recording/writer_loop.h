#pragma once
// The state one recording's "Writer" thread shares with its Recorder, and the loop that runs on
// that thread. Everything the loop depends on that is not plain logic - the inputs, the session
// clock, creating files, the local time, the file system - comes in through the small interfaces
// below, so the loop is tested natively with scripted inputs and a clock that never sleeps.
// Portable.
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/platform.h"
#include "recording/recording_session.h"
#include "recording/recovery_journal.h"

namespace twr {

class Rf64Writer;

// The writer's view of one input. The real one wraps an InputReader (recorder.cpp); tests script one.
class WriterInput {
public:
    virtual ~WriterInput() = default;
    [[nodiscard]] virtual int Number() const noexcept = 0;
    [[nodiscard]] virtual bool Settled() const noexcept = 0;
    [[nodiscard]] virtual bool Failed() const noexcept = 0;
    [[nodiscard]] virtual std::string Error() const = 0;
    [[nodiscard]] virtual bool ThreadAlive() const noexcept = 0;
    [[nodiscard]] virtual size_t QueuedCount() const = 0;
    // Takes the oldest block, waiting at most timeoutMs; nullptr when none came. The samples stay
    // valid until ReleaseTaken, and the writer holds at most one block per input at a time.
    [[nodiscard]] virtual const float* Take(int timeoutMs, double& time, int& count) = 0;
    virtual void ReleaseTaken() noexcept = 0;
    virtual void ClearRunning() noexcept = 0;
    // True when the input's thread has ended within the time-out (or never started).
    virtual bool WaitEnded(int timeoutMs) = 0;
    // Discards every queued block without waiting; failures are ignored.
    virtual void Drain() noexcept = 0;
};

// Session time and the stop signal as the writer sees them.
class WriterClock {
public:
    virtual ~WriterClock() = default;
    [[nodiscard]] virtual double Now() = 0;
    [[nodiscard]] virtual bool StopSet() = 0;
    // Sleeps up to ms, returning early when the stop signal is set; true when it is set.
    virtual bool WaitStop(int ms) = 0;
    // The session time at which the stop was asked for; read once the stop signal is set. Blocks
    // stamped no later than this were captured before the stop.
    [[nodiscard]] virtual double StopTime() = 0;
};

// Settings the writer reads once when its thread starts.
struct WriterSettings {
    std::string In1Route = "Both Channels";
    std::string In2Route = "Both Channels";
    float In1Gain = 1.0f;
    float In2Gain = 0.5f;
    bool ContinueOnMicDisconnect = false;
};

struct RecorderCallbacks {
    std::function<void(const std::string&)> OnError;
    std::function<void()> OnSplit;
    // Input number; true when recording goes on with the other input.
    std::function<void(int, bool)> OnMicDisconnected;
    // Input number; true when it stalled, false when it recovered.
    std::function<void(int, bool)> OnMicStall;
};

// What the writer needs from the world besides its inputs and clock.
struct RecorderServices {
    std::function<WriterSettings()> ReadSettings;
    // The save folder as configured now (read at each split for the drive check).
    std::function<std::string()> SaveFolder;
    // The local time now as "yyyyMMdd_HHmmss".
    std::function<std::string()> TimestampNow;
    std::function<platform::LocalTime()> LocalNow;
    // Creates a new file (never over an existing one).
    std::function<std::unique_ptr<Rf64Writer>(const std::filesystem::path&, int sampleRate, int channels, int bits)>
        CreateFile;
    std::function<bool(const std::filesystem::path&, int channels, int sampleRate)> Verify;
    // Whether a file or folder of that path exists.
    std::function<bool(const std::filesystem::path&)> Exists;
    // Writes the journal (RecoveryJournal::Write); runs on the "Journal" thread.
    std::function<void(const std::filesystem::path&, const JournalEntry&)> WriteJournal;

    // The real ones: Rf64Writer, WavFile::Verify, the journal, the platform's clock and file system;
    // the settings and save folder are left to the owner.
    [[nodiscard]] static RecorderServices Platform();
};

// Routes one input's interleaved stereo frames into the file's layout with a gain. Any channel
// count other than 1 is laid out as stereo. Routes compare exactly; nothing is clamped here.
void ApplyRouting(const float* source, int frames, std::string_view route, int channels, float* destination,
                  float gain) noexcept;
// destination[i] = clamp(destination[i] + other[i], -1, 1).
void MixInto(float* destination, const float* other, size_t count) noexcept;

// The file-name rule. The base name is prefix + "_" + stamp, or the stamp alone without a prefix.
[[nodiscard]] std::string RecordingBaseName(std::string_view prefix, std::string_view stamp);
// "_part" and the part number with at least four digits.
[[nodiscard]] std::string PartSuffix(int partNumber);
// folder/base+suffix+".wav", or while that exists folder/base_N+suffix+".wav" for N = 1, 2, ...
// Counters below firstCounter are not tried (0 starts with the name without a counter).
[[nodiscard]] std::filesystem::path ChooseRecordingPath(const std::filesystem::path& folder, std::string_view base,
                                                        std::string_view suffix,
                                                        const std::function<bool(const std::filesystem::path&)>& exists,
                                                        int firstCounter = 0, int* usedCounter = nullptr);

// Drive roots of save folders, shared by the recorder and the drive watchers.
// The root of a path: "D:\" for "D:\Recordings", "\\server\share" for a UNC path; nullopt for an
// empty or malformed path or one without a root.
[[nodiscard]] std::optional<std::string> DriveRootOf(std::string_view path) noexcept;
// True for an empty root and for C: (either case, trailing separators ignored); false for every
// other drive and every UNC root.
[[nodiscard]] bool IsSystemDrive(std::string_view root) noexcept;

// A pause, a resume or a split as the user's key or the split timer asked for it, with the session
// time of that moment.
enum class ControlKind : uint8_t { Pause, Resume, Split };
struct ControlRequest {
    ControlKind Kind = ControlKind::Split;
    double Time = 0.0;
};

// Hands control requests from the owner's thread to the writer without a lock: the writer may be
// seconds behind a slow drive, and the requests must still be there, in order, when it comes back.
// One thread posts, one thread takes.
class ControlQueue {
public:
    // Far more keys than a user presses while a drive holds the writer.
    static constexpr size_t kCapacity = 4096;

    // False (the request is lost) only when the writer has let kCapacity requests pile up.
    bool Post(ControlKind kind, double time) noexcept {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) >= kCapacity) return false;
        slots_[tail % kCapacity] = {kind, time};
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    // Calls take(request) for every request posted since the last call, oldest first.
    template <typename F>
    void TakeAll(F&& take) {
        size_t head = head_.load(std::memory_order_relaxed);
        const size_t tail = tail_.load(std::memory_order_acquire);
        for (; head != tail; ++head) take(std::as_const(slots_[head % kCapacity]));
        head_.store(head, std::memory_order_release);
    }

private:
    std::array<ControlRequest, kCapacity> slots_{};
    std::atomic<size_t> head_{0};
    std::atomic<size_t> tail_{0};
};

// The writer's record of the requests, which decides each block by its time stamp: a block stamped
// after a pause and no later than the resume was captured while paused; a split falls before the
// first block written that was stamped after it. So the decision is the same however far behind
// the writer is when it reaches the block.
class ControlTimeline {
public:
    void Add(const ControlRequest& request);
    // Whether a block stamped at `stamp` was captured inside a paused stretch.
    [[nodiscard]] bool PausedAt(double stamp) const noexcept;
    // A split is asked for before a block stamped at `stamp`.
    [[nodiscard]] bool SplitDue(double stamp) const noexcept {
        return nextSplit_ < splits_.size() && splits_[nextSplit_] < stamp;
    }
    // The split before `stamp` is done: every request made before that block is served by it.
    void SplitDone(double stamp) noexcept {
        while (nextSplit_ < splits_.size() && splits_[nextSplit_] < stamp) ++nextSplit_;
    }
    [[nodiscard]] bool SplitPending() const noexcept { return nextSplit_ < splits_.size(); }

private:
    std::vector<std::pair<double, bool>> pauses_;  // (time, paused from then on), in time order
    std::vector<double> splits_;
    size_t nextSplit_ = 0;
};

// The shared state of one recording. Created by Recorder::Start, owned jointly by the Recorder and
// its writer thread, so the thread can outlive a Recorder its owner gave up on.
class RecorderState {
public:
    static constexpr double kStallSeconds = 2.0;
    static constexpr double kFlushSeconds = 2.0;
    static constexpr double kLagSeconds = 0.5;
    static constexpr int kStartupWaitMs = 10000;
    static constexpr int kIdleSleepMs = 10;
    static constexpr int kReaderJoinMs = 3000;

    // Fixed before the writer thread starts.
    std::shared_ptr<RecordingSession> Session;
    std::shared_ptr<WriterInput> Input1;
    std::shared_ptr<WriterInput> Input2;  // null for one input
    std::shared_ptr<WriterClock> Clock;
    RecorderCallbacks Callbacks;
    RecorderServices Services;
    std::string Prefix;
    std::filesystem::path OutputFolder;
    std::filesystem::path JournalPath;
    int AutoSplitSecs = 0;
    int SampleRate = 48000;
    int Channels = 2;
    int BitsPerSample = 24;
    int BufferFrames = 2048;

    // Shared with the owner.
    std::atomic<int64_t> FramesCommitted{0};
    std::atomic<int32_t> PartNumber{1};
    // What the owner's controls read back; the writer decides by the requests below.
    std::atomic<uint8_t> Paused{0};
    std::atomic<uint8_t> SplitRequested{0};
    // The owner's thread: a pause (or resume) or a split asked for at session time `time`.
    void RequestPause(bool paused, double time) noexcept;
    void RequestSplit(double time) noexcept;
    // Set before the thread starts, cleared as its very last act.
    std::atomic<bool> WriterAlive{false};

    // Any thread may read; only Recorder::Start (before the writer starts) and the writer publish.
    [[nodiscard]] std::filesystem::path CurrentFile() const;
    void PublishCurrentFile(std::filesystem::path path);

    // The writer thread's body: start-up wait, steps, splits, and Finalize last. Never throws.
    void RunWriter() noexcept;

    // Hands the journal the current state (cleanClose false; its own thread writes it, started on
    // first use), or ends that thread and deletes the journal (true). Never fails loudly.
    void WriteJournal(bool cleanClose) noexcept;

    // The writer thread's last act: closes and verifies the file, sets the status, handles the
    // journal, and drains the readers. splitCloseError names a split whose file failed to close;
    // closedPart is the part a split closed when no later part was opened (empty otherwise), the
    // recording's last file, verified like a file closed here.
    void Finalize(Rf64Writer* writer, const std::optional<std::string>& splitCloseError,
                  const std::filesystem::path& closedPart) noexcept;

private:
    void WriterLoop(std::unique_ptr<Rf64Writer>& writer, std::optional<std::string>& splitCloseError,
                    std::filesystem::path& closedPart);
    // Opens the part after a split (part number, clash counter, journal, OnSplit); when it cannot
    // be created, the error as logged, with no file open.
    std::optional<std::string> OpenNextPart(std::unique_ptr<Rf64Writer>& writer);
    // Creates the file of partNumber with the time stamp, taking the next clash counter while the
    // name is taken; publishes it as CurrentFile.
    std::unique_ptr<Rf64Writer> CreatePartFile(std::string_view stamp, int partNumber, bool withSuffix);
    void Report(const std::function<void(const std::string&)>& cb, const std::string& text);
    // Ends the journal's thread (if it runs) and joins it; the waiting state is written first when
    // the journal is to stay.
    void EndJournal(bool writePending) noexcept;

    ControlQueue controls_;

    // The journal's thread; started, posted to and joined by the writer thread only.
    std::unique_ptr<JournalWriter> journal_;

    // Every path ever published stays here until the state goes (one per part, plus clash
    // retries), so a pointer the owner loaded never dangles and the owner only ever reads a path
    // that was complete before its release store. Appended by Start and the writer thread only.
    std::deque<std::filesystem::path> publishedFiles_;
    std::atomic<const std::filesystem::path*> currentFile_{nullptr};
};

}  // namespace twr
