#include "recording/drive_watchers.h"

#include "app/log.h"
#include "app/platform.h"
#include "app/threads.h"
#include "recording/input_reader.h"
#include "recording/wasapi.h"
#include "recording/writer_loop.h"

namespace twr {

namespace fs = std::filesystem;

namespace {

bool DirectoryPresent(const DriveMonitor::DirectoryProbe& exists, const std::string& root) {
    const fs::path p = platform::U8Path(root);
    return exists ? exists(p) : platform::DirectoryExists(p);
}

// The folder from the owner's getter; one that fails counts as a folder without a root.
std::string FolderOf(const std::function<std::string()>& getter) {
    try {
        return getter ? getter() : std::string();
    } catch (...) {
        return std::string();
    }
}

std::string WithoutTrailingSeparators(std::string root) {
    while (!root.empty() && (root.back() == '\\' || root.back() == '/')) root.pop_back();
    return root;
}

}  // namespace

// What the monitor's thread touches; shared so the thread may outlive the monitor.
struct DriveMonitor::Shared {
    std::function<std::string()> folderGetter;
    std::function<void(const std::string&)> onDisconnect;
    DirectoryProbe exists;
    int intervalMs;
    WakeEvent wake;
    std::atomic<bool> present{true};
};

// One start of the thread: its own running flag and end signal, so a stopped thread that has
// not ended yet can never be mistaken for the next one.
struct DriveMonitor::Run {
    std::atomic<bool> running{true};
    std::mutex mutex;
    std::condition_variable cv;
    bool ended = false;
};

DriveMonitor::DriveMonitor(std::function<std::string()> folderGetter,
                           std::function<void(const std::string&)> onDisconnect, DirectoryProbe exists,
                           int intervalMs)
    : shared_(std::make_shared<Shared>()) {
    shared_->folderGetter = std::move(folderGetter);
    shared_->onDisconnect = std::move(onDisconnect);
    shared_->exists = std::move(exists);
    shared_->intervalMs = intervalMs;
    shared_->present = CheckPresent(FolderOf(shared_->folderGetter), shared_->exists);
}

DriveMonitor::~DriveMonitor() { Stop(); }

bool DriveMonitor::CheckPresent(std::string_view folder, const DirectoryProbe& exists) noexcept {
    try {
        const auto root = DriveRootOf(folder);
        if (!root || IsSystemDrive(*root)) return true;
        return DirectoryPresent(exists, *root);
    } catch (...) {
        return true;
    }
}

void DriveMonitor::Start() {
    if (Running()) return;
    auto run = std::make_shared<Run>();
    auto shared = shared_;
    shared->wake.Reset();
    shared->present = CheckPresent(FolderOf(shared->folderGetter), shared->exists);
    run_ = run;
    try {
        StartNamedThread("DriveMonitor", [shared, run] {
            while (run->running.load(std::memory_order_acquire)) {
                try {
                    const auto root = DriveRootOf(shared->folderGetter());
                    if (root && !IsSystemDrive(*root)) {
                        if (!DirectoryPresent(shared->exists, *root)) {
                            if (shared->present.exchange(false) && shared->onDisconnect)
                                shared->onDisconnect(WithoutTrailingSeparators(*root));
                        } else {
                            shared->present = true;
                        }
                    }
                } catch (const std::exception& e) {
                    Log::Warn(std::string("Drive monitor error: ") + e.what());
                } catch (...) {
                    Log::Warn("Drive monitor error: unknown exception");
                }
                shared->wake.Wait(shared->intervalMs);
                shared->wake.Reset();
            }
            std::lock_guard lock(run->mutex);
            run->ended = true;
            run->cv.notify_all();
        }).detach();
    } catch (...) {
        run_.reset();
        throw;
    }
}

void DriveMonitor::Stop() noexcept {
    try {
        if (!Running()) return;
        auto run = std::move(run_);
        run->running.store(false, std::memory_order_release);
        shared_->wake.Set();
        std::unique_lock lock(run->mutex);
        run->cv.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [&] { return run->ended; });
    } catch (...) {
    }
}

void DriveMonitor::Wake() noexcept {
    try {
        shared_->wake.Set();
    } catch (...) {
    }
}

bool DriveMonitor::Running() const noexcept { return run_ && run_->running.load(std::memory_order_acquire); }
bool DriveMonitor::Present() const noexcept { return shared_->present.load(); }

struct AutoResumeWatcher::Shared {
    std::string folder, device1Id, device2Id;
    std::function<void(const std::string&)> onReady;
    Probes probes;
    WakeEvent wake;
    std::atomic<bool> running{false};
    // Set on the interface thread while the watcher may be reading it.
    mutable std::mutex reasonMutex;
    std::string reason;

    std::string Reason() const {
        std::lock_guard lock(reasonMutex);
        return reason;
    }
};

AutoResumeWatcher::Probes AutoResumeWatcher::PlatformProbes() {
    Probes p;
    p.DirectoryExists = [](const fs::path& dir) { return platform::DirectoryExists(dir); };
    p.EndpointIds = [] {
        std::vector<std::string> ids;
        for (const AudioDevice& d : Wasapi::EnumerateDevices()) ids.push_back(d.Id);
        return ids;
    };
    p.EnterThread = [] { return PlatformCaptureBackend()->EnterThread(); };
    return p;
}

AutoResumeWatcher::AutoResumeWatcher(std::string folder, std::string device1Id, std::string device2Id,
                                     std::string reason, std::function<void(const std::string&)> onReady,
                                     Probes probes)
    : shared_(std::make_shared<Shared>()) {
    shared_->folder = std::move(folder);
    shared_->device1Id = std::move(device1Id);
    shared_->device2Id = std::move(device2Id);
    shared_->onReady = std::move(onReady);
    shared_->probes = std::move(probes);
    shared_->reason = std::move(reason);
}

AutoResumeWatcher::~AutoResumeWatcher() {
    SetRunning(false);
    Wake();
}

bool AutoResumeWatcher::Ready(std::string_view folder, const std::string& device1Id, const std::string& device2Id,
                              const Probes& probes) {
    const auto root = DriveRootOf(folder);
    if (root && !IsSystemDrive(*root) && !DirectoryPresent(probes.DirectoryExists, *root)) return false;
    const bool oneInput = device2Id.empty() || device2Id == "none";
    bool found1 = false, found2 = oneInput;
    try {
        for (const std::string& id : probes.EndpointIds()) {
            if (id == device1Id) found1 = true;
            if (!oneInput && id == device2Id) found2 = true;
        }
    } catch (...) {
        // A failed enumeration is one more second of waiting, not worth a log line.
    }
    return found1 && found2;
}

void AutoResumeWatcher::Start() {
    if (shared_->running.exchange(true)) return;
    auto shared = shared_;
    try {
        StartNamedThread("AutoResume", [shared] {
            std::shared_ptr<void> apartment;
            try {
                if (shared->probes.EnterThread) apartment = shared->probes.EnterThread();
            } catch (...) {
            }
            while (shared->running.load(std::memory_order_acquire)) {
                try {
                    // An owner that gave up while this check ran must not be told to resume.
                    if (Ready(shared->folder, shared->device1Id, shared->device2Id, shared->probes) &&
                        shared->running.exchange(false, std::memory_order_acq_rel)) {
                        const std::string reason = shared->Reason();
                        if (shared->onReady) shared->onReady(reason);
                        break;
                    }
                } catch (const std::exception& e) {
                    Log::Warn(std::string("Auto-resume watcher error: ") + e.what());
                } catch (...) {
                    Log::Warn("Auto-resume watcher error: unknown exception");
                }
                shared->wake.Wait(shared->probes.IntervalMs);
                shared->wake.Reset();
            }
        }).detach();
    } catch (...) {
        shared_->running = false;
        throw;
    }
}

bool AutoResumeWatcher::Running() const noexcept { return shared_->running.load(std::memory_order_acquire); }
void AutoResumeWatcher::SetRunning(bool running) noexcept { shared_->running.store(running, std::memory_order_release); }
void AutoResumeWatcher::Wake() noexcept {
    try {
        shared_->wake.Set();
    } catch (...) {
    }
}
std::string AutoResumeWatcher::Reason() const { return shared_->Reason(); }
void AutoResumeWatcher::SetReason(std::string reason) {
    std::lock_guard lock(shared_->reasonMutex);
    shared_->reason = std::move(reason);
}

}  // namespace twr
