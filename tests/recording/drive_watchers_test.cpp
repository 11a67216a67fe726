#include "recording/drive_watchers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace twr {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Polls until the condition holds or two seconds have passed.
template <typename F>
bool Eventually(F condition) {
    for (int i = 0; i < 400; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return condition();
}

// Only E:\ exists, while `present` says so.
struct FakeDrives {
    std::atomic<bool> present{true};
    std::atomic<int> checks{0};
    bool Has(const fs::path& p) {
        ++checks;
        return present && p.string() == "E:\\";
    }
};

// What a watcher's thread reports.
struct Reports {
    std::mutex m;
    std::vector<std::string> items;
    void Add(const std::string& s) {
        std::lock_guard lock(m);
        items.push_back(s);
    }
    std::vector<std::string> Items() {
        std::lock_guard lock(m);
        return items;
    }
};

TEST(DriveMonitorTest, ReportsEachLossOnceAndAgainAfterTheDriveReturns) {
    FakeDrives drives;
    Reports lost;
    // A long interval: only Wake makes the monitor look again, so the test does not race a timer.
    DriveMonitor monitor([] { return std::string("E:\\Rec"); }, [&](const std::string& root) { lost.Add(root); },
                         [&](const fs::path& p) { return drives.Has(p); }, 60000);
    EXPECT_TRUE(monitor.Present());
    monitor.Start();
    auto checkedAfterWake = [&] {
        int before = drives.checks;
        monitor.Wake();
        ASSERT_TRUE(Eventually([&] { return drives.checks > before; }));
    };
    checkedAfterWake();
    EXPECT_EQ(lost.Items().size(), 0u);
    drives.present = false;
    monitor.Wake();
    ASSERT_TRUE(Eventually([&] { return lost.Items().size() == 1; }));
    checkedAfterWake();
    checkedAfterWake();
    EXPECT_EQ(lost.Items().size(), 1u) << "a drive that stays away is reported once";
    drives.present = true;
    checkedAfterWake();
    EXPECT_TRUE(monitor.Present());
    drives.present = false;
    monitor.Wake();
    ASSERT_TRUE(Eventually([&] { return lost.Items().size() == 2; }));
    monitor.Stop();
    EXPECT_FALSE(monitor.Running());
    EXPECT_EQ(lost.Items(), (std::vector<std::string>{"E:", "E:"}));
}

TEST(DriveMonitorTest, SystemDriveAndRootlessFoldersAreAlwaysPresent) {
    int probed = 0;
    auto probe = [&](const fs::path&) { return ++probed, false; };
    for (const char* folder : {"C:\\Rec", "c:/x", "relative\\rec", ""})
        EXPECT_TRUE(DriveMonitor::CheckPresent(folder, probe)) << folder;
    EXPECT_EQ(probed, 0);
    EXPECT_FALSE(DriveMonitor::CheckPresent("E:\\Rec", probe));
    EXPECT_TRUE(DriveMonitor::CheckPresent("E:\\Rec", [](const fs::path&) -> bool { throw std::runtime_error("x"); }));
}

// Without Wake the monitor looks again at its interval, also after a restart; a failing folder
// getter counts as present and the checks go on.
TEST(DriveMonitorTest, ChecksAtItsIntervalThroughFailuresAndAfterARestart) {
    std::atomic<int> calls{0}, lost{0};
    std::atomic<bool> there{true};
    DriveMonitor monitor(
        [&]() -> std::string {
            // Fails in the constructor, in the first Start and in the thread's first check.
            if (++calls <= 3) throw std::runtime_error("settings unreadable");
            return "F:\\";
        },
        [&](const std::string&) { ++lost; }, [&](const fs::path&) { return there.load(); }, 5);
    EXPECT_TRUE(monitor.Present());
    for (int round = 1; round <= 2; ++round) {
        there = true;
        EXPECT_NO_THROW(monitor.Start());
        there = false;
        ASSERT_TRUE(Eventually([&] { return lost == round; }));
        monitor.Stop();
    }
}

class AutoResumeTest : public ::testing::Test {
protected:
    // ids replaces the scripted endpoint list.
    std::shared_ptr<AutoResumeWatcher> Make(std::string device2, std::function<std::vector<std::string>()> ids = {}) {
        AutoResumeWatcher::Probes p;
        auto w = world;
        p.DirectoryExists = [w](const fs::path& root) { return w->drives.Has(root); };
        p.EndpointIds = ids ? std::move(ids) : [w] {
            std::lock_guard lock(w->m);
            if (w->enumerationFails) throw std::runtime_error("enumeration failed");
            return w->ids;
        };
        p.IntervalMs = 5;
        return std::make_shared<AutoResumeWatcher>(
            "E:\\Rec", "mic-1", std::move(device2), "mic", [w](const std::string& r) { w->ready.Add(r); }, p);
    }
    void SetIds(std::vector<std::string> v, bool fails = false) {
        std::lock_guard lock(world->m);
        world->ids = std::move(v);
        world->enumerationFails = fails;
    }

    // Everything the watcher's thread may touch is shared with it, so a thread still ending after a
    // test cannot reach freed memory.
    struct World {
        FakeDrives drives;
        std::mutex m;
        std::vector<std::string> ids;
        bool enumerationFails = false;
        Reports ready;
    };
    std::shared_ptr<World> world = std::make_shared<World>();
    Reports& ready = world->ready;
};

TEST_F(AutoResumeTest, ReportsOnceWhenTheDriveAndEveryConfiguredInputAreBack) {
    for (const std::string second : {"none", "", "mic-2"}) {
        SCOPED_TRACE(second);
        ready.items.clear();
        world->drives.present = false;
        SetIds({"mic-1"});
        auto w = Make(second);
        w->Start();
        std::this_thread::sleep_for(milliseconds(30));
        EXPECT_EQ(ready.Items().size(), 0u) << "not ready while the drive is away";
        world->drives.present = true;
        if (second == "mic-2") {
            std::this_thread::sleep_for(milliseconds(30));
            EXPECT_EQ(ready.Items().size(), 0u) << "not ready without the second input";
            w->SetReason("both");
            SetIds({"mic-1", "mic-2"}, true);
            std::this_thread::sleep_for(milliseconds(30));
            EXPECT_EQ(ready.Items().size(), 0u) << "a failed enumeration finds nothing";
            SetIds({"mic-1", "mic-2"});
        }
        ASSERT_TRUE(Eventually([&] { return ready.Items().size() == 1; }));
        EXPECT_FALSE(w->Running());
        std::this_thread::sleep_for(milliseconds(20));
        EXPECT_EQ(ready.Items(), std::vector<std::string>{second == "mic-2" ? "both" : "mic"}) << "reported once";
    }
}

// The interface thread changes the reason while the watcher reads it as it reports: the report is
// one whole value that was set, never a mix (a data race before; ThreadSanitizer shows it).
TEST_F(AutoResumeTest, AReasonChangedDuringTheReportArrivesWhole) {
    const std::string first(200, 'a'), second(200, 'b');
    world->drives.present = true;
    SetIds({});
    auto w = Make("none");
    w->Start();
    std::atomic<bool> stop{false};
    std::thread ui([&] {
        for (int i = 0; !stop.load(); ++i) w->SetReason(i % 2 ? second : first);
    });
    std::this_thread::sleep_for(milliseconds(10));
    SetIds({"mic-1"});
    const bool reported = Eventually([&] { return ready.Items().size() == 1; });
    stop = true;
    ui.join();
    ASSERT_TRUE(reported);
    const std::string got = ready.Items()[0];
    EXPECT_TRUE(got == first || got == second) << got;
}

TEST_F(AutoResumeTest, AnOwnerThatGivesUpIsNeverToldToResume) {
    enum class GiveUp { BeforeReady, ClearRunning, DropWatcher };
    for (GiveUp how : {GiveUp::BeforeReady, GiveUp::ClearRunning, GiveUp::DropWatcher}) {
        SCOPED_TRACE(static_cast<int>(how));
        // The owner gives up during a check that finds everything back, or (BeforeReady) between
        // checks that find nothing, with everything back right after.
        auto gate = std::make_shared<std::atomic<int>>(how == GiveUp::BeforeReady ? 2 : 0);
        auto found = std::make_shared<std::atomic<bool>>(how != GiveUp::BeforeReady);
        auto watcher = Make("none", [gate, found] {
            if (gate->exchange(1) == 0)
                while (gate->load() != 2) std::this_thread::sleep_for(milliseconds(1));
            return *found ? std::vector<std::string>{"mic-1"} : std::vector<std::string>{};
        });
        watcher->Start();
        ASSERT_TRUE(Eventually([&] { return gate->load() == 1; }));
        if (how == GiveUp::DropWatcher) {
            watcher.reset();
        } else {
            watcher->SetRunning(false);
            watcher->Wake();
        }
        *found = true;  // back after the owner gave up
        gate->store(2);
        std::this_thread::sleep_for(milliseconds(30));
        EXPECT_EQ(ready.Items().size(), 0u);
    }
}

}  // namespace
}  // namespace twr
