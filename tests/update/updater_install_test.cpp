#include <gtest/gtest.h>

#include <functional>

#include "app/version.h"
#include "test_support.h"
#include "update/fake_update_world.h"
#include "update/updater.h"

namespace twr {
namespace {

using testing::FakeUpdateWorld;
using testing::LogCapture;
using testing::ProcessEnded;
using testing::UpdateWorldScope;

const std::string kExe = "/app/Tapewright.exe";
const std::string kNew = kExe + ".new";
const std::string kOld = kExe + ".old-update";
const std::string kOldBuild(2048, 'o');
const std::string kNewBuild(4096, 'n');
const std::string kNoChecksum =
    "*This release did not publish a checksum, so the download could not be verified and was not installed.";
const std::string kUntouched = "The update could not be installed. Your current version is untouched.\r\n\r\n";

struct Outcome {
    bool ended = false;
    std::optional<std::string> exe, staged, old;  // contents afterwards, none when absent
};

// A folder holding the running build and a recording, and a release that serves a new build.
struct Bench {
    FakeUpdateWorld world;
    LogCapture log;
    UpdateInfo info{"v9.0.0", "https://dl/x64", "notes", FakeUpdateWorld::Digest(kNewBuild), 4096};

    Bench() {
        world.files[kExe] = kOldBuild;
        world.files["/app/recording.wav"] = "RIFF";
        world.web[info.DownloadUrl] = kNewBuild;
    }
    std::optional<std::string> At(const std::string& path) const {
        auto it = world.files.find(path);
        return it == world.files.end() ? std::nullopt : std::optional(it->second);
    }
    Outcome Apply(void* owner = nullptr, const std::string& restart = "--version") {
        UpdateWorldScope scope(world);
        Outcome o;
        try {
            Updater::Apply(owner, info, restart);
        } catch (const ProcessEnded& e) {
            EXPECT_EQ(e.code, 0);
            o.ended = true;
        }
        EXPECT_FALSE(Updater::InProgress());
        o.exe = At(kExe), o.staged = At(kNew), o.old = At(kOld);
        EXPECT_EQ(At("/app/recording.wav"), "RIFF");
        return o;
    }
};

class UpdaterInstall : public ::testing::Test, public Bench {};

TEST_F(UpdaterInstall, SuccessfulSwapStartsTheNewBuildAndEnds) {
    const Outcome o = Apply();
    EXPECT_TRUE(o.ended);
    EXPECT_EQ(o.exe, kNewBuild);
    EXPECT_EQ(o.old, kOldBuild);
    EXPECT_FALSE(o.staged);
    EXPECT_EQ(world.started, (std::vector<std::string>{kExe + "|--finish-update 4242 --version|/app"}));
    EXPECT_EQ(world.spoken, (std::vector<std::string>{"Downloading update. Please wait.", "Update installed. Restarting."}));
    EXPECT_TRUE(log.Has("INFO", "Downloading https://dl/x64"));
    EXPECT_TRUE(log.Has("INFO", "Checksum verified."));
    EXPECT_TRUE(log.Has("INFO", "Update staged; relaunching v9.0.0"));
    EXPECT_EQ(Updater::HandOverArguments(17, ""), "--finish-update 17");
}

TEST_F(UpdaterInstall, ExpectedChecksumIsComparedIgnoringCaseAndOneKibibyteIsEnough) {
    const std::string small(1024, 's');
    world.web[info.DownloadUrl] = small;
    info.Sha256 = FakeUpdateWorld::Digest(small);
    for (char& c : *info.Sha256) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const Outcome o = Apply();
    EXPECT_TRUE(o.ended);
    EXPECT_EQ(o.exe, small);
}

// Every way the installation can fail leaves a working executable and says so truthfully.
TEST(UpdaterInstallFailures, EveryFailurePointLeavesTheOldBuildAndOneReport) {
    const struct {
        const char* name;
        std::function<void(Bench&)> arrange;
        std::string report;  // the console line's text after "Update Failed: "
        bool staged = false, old = false;
    } cases[] = {
        {"download", [](auto& t) { t.world.web.clear(); }, "HTTP 404 from https://dl/x64"},
        // Whatever the client would do with it: the updater itself fetches nothing but https.
        {"plain http",
         [](auto& t) {
             t.info.DownloadUrl = "http://dl/x64";
             t.world.web[t.info.DownloadUrl] = t.world.web["https://dl/x64"];
         },
         "Only https is supported: http://dl/x64"},
        {"too small", [](auto& t) { t.world.web[t.info.DownloadUrl] = std::string(1023, 'n'); },
         "The downloaded file is too small to be the application."},
        {"no checksum", [](auto& t) { t.info.Sha256 = std::nullopt; }, kNoChecksum},
        {"empty checksum", [](auto& t) { t.info.Sha256 = ""; }, kNoChecksum},
        {"mismatch", [](auto& t) { t.info.Sha256 = std::string(64, 'F'); },
         "*The downloaded update did not match its published checksum, so it was not installed. Your current "
         "version is untouched."},
        {"write", [](auto& t) { t.world.failWrite = true; }, "There is not enough space on the disk."},
        {"read back", [](auto& t) { t.world.corruptWrite = true; },
         "The update was not written to the disk intact: '" + kNew + "'."},
        {"locked previous", [](auto& t) { t.world.files[kOld] = "older"; t.world.locked.insert(kOld); },
         "Could not move '" + kExe + "'", false, true},
        {"second move", [](auto& t) { t.world.failMoveFrom.insert(kNew); }, "Could not move '" + kNew + "'"},
        {"start", [](auto& t) { t.world.failStart = true; }, "Could not start '" + kExe + "'"},
        {"busy", [](auto&) { Updater::BusyCheck = [] { return true; }; },
         "*A recording is in progress, so the update was not installed. Your current version is untouched."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench t;
        c.arrange(t);
        const Outcome o = t.Apply();
        EXPECT_FALSE(o.ended);
        EXPECT_EQ(o.exe, kOldBuild);
        EXPECT_EQ(o.staged.has_value(), c.staged);
        EXPECT_EQ(o.old.has_value(), c.old);
        const bool fixed = c.report.front() == '*';
        const std::string expected =
            "Update Failed: " + (fixed ? c.report.substr(1) : std::string("The update could not be installed. "
                                                                           "Your current version is untouched.  ") +
                                                                   c.report);
        ASSERT_EQ(t.world.out.size(), 1u);
        EXPECT_EQ(t.world.out[0], expected);
        EXPECT_TRUE(t.log.Has("INFO", expected));
        if (!fixed) {
            EXPECT_TRUE(t.log.Has("ERROR", "Update failed: " + c.report, false));
        }
        EXPECT_TRUE(t.world.started.empty() || c.report.starts_with("Could not start"));
    }
}

TEST_F(UpdaterInstall, ReportsGoToTheOwnerWindowWithTheErrorIcon) {
    info.Sha256 = std::string(64, 'F');
    Apply(&world);
    EXPECT_EQ(world.boxes, (std::vector<std::string>{
                               "Update Failed|16|The downloaded update did not match its published checksum, so it "
                               "was not installed. Your current version is untouched."}));
    EXPECT_TRUE(world.out.empty());
    EXPECT_TRUE(log.Has("ERROR", "Checksum mismatch: expected " + std::string(64, 'F') + ", got " +
                                     FakeUpdateWorld::Digest(kNewBuild)));
    EXPECT_EQ(world.spoken.back(), "Update failed. The download did not match its checksum.");
}

TEST_F(UpdaterInstall, AFailedRollbackKeepsBothFilesAndSaysWhereTheOldBuildIs) {
    world.failMoveFrom = {kNew, kOld};
    const Outcome o = Apply();
    EXPECT_FALSE(o.exe);
    EXPECT_EQ(o.old, kOldBuild);
    EXPECT_EQ(o.staged, kNewBuild);  // never deleted while the executable is missing
    ASSERT_EQ(world.out.size(), 1u);
    EXPECT_TRUE(world.out[0].starts_with("Update Failed: The update could not be installed, and the previous "
                                         "version could not be put back. It was kept as " +
                                         kOld + "; rename it to Tapewright.exe"))
        << world.out[0];
}

TEST_F(UpdaterInstall, ANewBuildThatCannotBeStartedAndNotMovedAsideStaysInstalled) {
    world.failStart = true;
    // The swap works; only moving the new file back out of the way fails.
    int moves = 0;
    UpdateWorldScope scope(world);
    auto services = world.Make();
    auto move = services.move;
    services.move = [&](const std::filesystem::path& from, const std::filesystem::path& to) {
        if (++moves == 3) throw IoError("in use");
        move(from, to);
    };
    Updater::SetServicesForTesting(services);
    Updater::Apply(nullptr, info, "");
    EXPECT_EQ(At(kExe), kNewBuild);
    EXPECT_EQ(At(kOld), kOldBuild);
    ASSERT_EQ(world.out.size(), 1u);
    EXPECT_TRUE(world.out[0].starts_with("Update Failed: The new version was installed but could not be started."));
}

TEST_F(UpdaterInstall, HeadlessUpdate) {
    world.web[Updater::FeedUrl()] =
        "{\"tag_name\": \"v9.0.0\", \"assets\": [{\"name\": \"Tapewright-win-x64.exe\", \"browser_download_url\": "
        "\"https://dl/x64\"}]}";
    UpdateWorldScope scope(world);
    // Without a checksum file the release is refused: exit code 1, the reason on standard output.
    EXPECT_EQ(Updater::UpdateHeadless(), 1);
    EXPECT_EQ(world.out.at(0), "Installing v9.0.0 over " + std::string(kVersion) + "...");
    EXPECT_TRUE(world.out.at(1).starts_with("Update Failed: This release did not publish a checksum"));
    world.web[Updater::FeedUrl()] = "{\"tag_name\": \"v1.0\"}";
    world.out.clear();
    EXPECT_EQ(Updater::UpdateHeadless(), 0);
    EXPECT_EQ(world.out, (std::vector<std::string>{"Already up to date (" + std::string(kVersion) + ")."}));
    world.web.clear();
    EXPECT_EQ(Updater::UpdateHeadless(), 1);
    EXPECT_EQ(world.err, (std::vector<std::string>{"Update failed: HTTP 404 from " + Updater::FeedUrl()}));
}

TEST_F(UpdaterInstall, CleanupLeftovers) {
    UpdateWorldScope scope(world);
    world.files[kNew] = "n";
    world.files[kOld] = "o";
    world.files["/app/OTHER.EXE.OLD-UPDATE"] = "x";  // its executable is missing: kept
    world.files["/app/Other.exe.new"] = "x";
    world.files["/app/notes.old-update.txt"] = "x";
    world.files["/app/Tapewright.exenew"] = "x";
    EXPECT_EQ(Updater::CleanupLeftovers("/app"), 0);
    EXPECT_FALSE(world.Has(kNew));
    EXPECT_FALSE(world.Has(kOld));
    EXPECT_EQ(world.files.size(), 6u);  // the exe, the recording and the four that do not qualify
    EXPECT_EQ(Updater::CleanupLeftovers("/app"), 0);
    EXPECT_EQ(Updater::CleanupLeftovers(""), 0);
    EXPECT_EQ(Updater::CleanupLeftovers("/missing"), 0);

    world.files[kOld] = "o";
    world.files["/app/Other.exe"] = "x";
    world.locked = {kOld};
    EXPECT_EQ(Updater::CleanupLeftovers("/app"), 1);  // the locked one counts; the other pair went
    EXPECT_FALSE(world.Has("/app/Other.exe.new"));
    world.failList = true;
    EXPECT_EQ(Updater::CleanupLeftovers("/app"), 0);
    EXPECT_TRUE(log.Has("WARNING", "Could not sweep update leftovers: listing refused"));
}

TEST_F(UpdaterInstall, FinishUpdateSweepsUntilCleanOrTwentyTimes) {
    UpdateWorldScope scope(world);
    world.files[kOld] = "o";
    world.failWait = true;  // the old process is gone already
    Updater::FinishUpdate(4242);
    EXPECT_FALSE(world.Has(kOld));
    EXPECT_EQ(world.sleeps, 0);

    world.files[kOld] = "o";
    world.locked = {kOld};
    world.lists = 0;
    Updater::FinishUpdate(0);
    EXPECT_EQ(world.lists, 2 * 20);  // two listings per sweep
    EXPECT_EQ(world.sleeps, 19);
    EXPECT_TRUE(log.Has("INFO", "Update complete; previous executable removed."));
}

}  // namespace
}  // namespace twr
