#pragma once
// Two small background watchers for the main window. DriveMonitor reports, once per loss, that the
// save folder's drive has gone while a recording runs. AutoResumeWatcher waits, after an unattended
// stop, until the drive and the configured inputs are back and then reports once. Both treat the
// system drive and folders without a root as always present. Portable: the drive check and the
// endpoint list come in as functions (the platform's by default).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace twr {

// A manual-reset event that can also be reset.
class WakeEvent {
public:
    void Set() {
        {
            std::lock_guard lock(mutex_);
            set_ = true;
        }
        cv_.notify_all();
    }
    void Reset() {
        std::lock_guard lock(mutex_);
        set_ = false;
    }
    // True when the event is (or becomes) set within the time-out.
    bool Wait(int timeoutMs) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

class DriveMonitor {
public:
    static constexpr int kCheckIntervalMs = 5000;
    static constexpr int kStopWaitMs = 1000;

    using DirectoryProbe = std::function<bool(const std::filesystem::path&)>;

    // Present starts from CheckPresent(folderGetter()). No thread yet. exists null means the
    // platform's directory check.
    DriveMonitor(std::function<std::string()> folderGetter, std::function<void(const std::string&)> onDisconnect,
                 DirectoryProbe exists = nullptr, int intervalMs = kCheckIntervalMs);
    // Stops the thread (waiting up to 1 s); a thread that does not end in time ends on its own.
    ~DriveMonitor();
    DriveMonitor(const DriveMonitor&) = delete;
    DriveMonitor& operator=(const DriveMonitor&) = delete;

    // No root, the system drive, or any failure: true; otherwise whether the root directory exists.
    [[nodiscard]] static bool CheckPresent(std::string_view folder, const DirectoryProbe& exists = nullptr) noexcept;

    // Nothing while running; else checks presence on this thread and starts "DriveMonitor".
    void Start();
    // Nothing unless running; else ends the thread, waiting for it up to 1 s.
    void Stop() noexcept;
    // Makes the thread check at once (Windows reported a device change).
    void Wake() noexcept;
    [[nodiscard]] bool Running() const noexcept;
    [[nodiscard]] bool Present() const noexcept;

private:
    struct Shared;
    struct Run;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<Run> run_;
};

class AutoResumeWatcher {
public:
    static constexpr int kCheckIntervalMs = 1000;

    struct Probes {
        std::function<bool(const std::filesystem::path&)> DirectoryExists;
        // The ids of every capture endpoint and every loopback-offered playback endpoint.
        std::function<std::vector<std::string>()> EndpointIds;
        // Runs first on the watcher's thread; the guard is dropped last there (COM apartment).
        std::function<std::shared_ptr<void>()> EnterThread;
        int IntervalMs = kCheckIntervalMs;
    };
    // The platform's probes: directory check, WASAPI enumeration, multithreaded COM apartment.
    [[nodiscard]] static Probes PlatformProbes();

    // A second input id of "none" or empty means there is none.
    AutoResumeWatcher(std::string folder, std::string device1Id, std::string device2Id, std::string reason,
                      std::function<void(const std::string&)> onReady, Probes probes = PlatformProbes());
    // Gives up as clearing Running does: a dropped watcher never reports to an owner that is gone.
    ~AutoResumeWatcher();
    AutoResumeWatcher(const AutoResumeWatcher&) = delete;
    AutoResumeWatcher& operator=(const AutoResumeWatcher&) = delete;

    // Nothing while running; else starts "AutoResume". There is no stop: clear Running and Wake.
    void Start();
    [[nodiscard]] bool Running() const noexcept;
    void SetRunning(bool running) noexcept;
    void Wake() noexcept;
    [[nodiscard]] std::string Reason() const;
    void SetReason(std::string reason);

    // One check: the drive is present and every configured input is listed.
    [[nodiscard]] static bool Ready(std::string_view folder, const std::string& device1Id,
                                    const std::string& device2Id, const Probes& probes);

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace twr
