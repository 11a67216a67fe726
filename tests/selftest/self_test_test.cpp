#include "selftest/self_test.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "feedback/sound_library.h"
#include "test_support.h"
#include "ui/dialog_builder.h"

namespace twr {
namespace {

SuiteHarness Quiet() {
    return SuiteHarness("unused.txt", [](std::string_view) {});
}

// A 44-byte header (its content is not read) and the samples, little-endian.
void WriteReference(const std::filesystem::path& path, const SelfTest::Samples& samples) {
    std::string bytes(44, 'h');
    for (int16_t s : samples) {
        bytes += static_cast<char>(static_cast<uint16_t>(s) & 0xFF);
        bytes += static_cast<char>(static_cast<uint16_t>(s) >> 8);
    }
    testing::WriteText(path, bytes);
}

// The whole run: twelve headers, the summary and the failure lines in the report, the scratch
// folder gone afterwards. The classes under test meet every check in this build too, but for the
// in-use probe, which needs the share modes POSIX does not have.
TEST(SelfTest, RunReportsEverySectionAndLeavesNoScratchFolder) {
    testing::TempDir temp("twr_selftest_run");
    const std::optional<std::string> previous = platform::GetEnv("TMPDIR");
    ::setenv("TMPDIR", temp.path().c_str(), 1);
    SelfTest::ReferenceFolder.clear();
    const int rc = SelfTest::Run();
    if (previous) ::setenv("TMPDIR", previous->c_str(), 1);
    else ::unsetenv("TMPDIR");

    EXPECT_EQ(rc, 1) << "the in-use probe cannot pass without share modes";
    const std::string report = testing::ReadText(temp / "twr_selftest_report.txt");
    std::string expectedStart;
    for (const char* s : {"JSON", "Config", "Duration text", "Percent and file naming", "Channel routing",
                          "Duration units", "Notification text", "RF64 writer", "Crash repair", "Sound cues",
                          "Updater", "Dialog templates"})
        expectedStart += std::string("-- ") + s + "\r\n";
    EXPECT_EQ(report.substr(0, expectedStart.size()), expectedStart);
    EXPECT_NE(report.find(" checks passed, 1 failed.\r\n  FAIL: a file held open for writing is detected as in use\r\n"),
              std::string::npos)
        << report;
    for (const auto& entry : std::filesystem::directory_iterator(temp.path()))
        EXPECT_EQ(entry.path().filename().string(), "twr_selftest_report.txt") << "left behind";
}

TEST(SelfTest, ReferenceComparisonCountsFramesAndMismatches) {
    testing::TempDir refs("twr_selftest_refs");
    const SelfTest::Samples rendered = {0, 100, -200, 300, 0};
    struct Case {
        const char* what;
        std::optional<SelfTest::Samples> file;  // none: no file
        int passed;
        std::vector<std::string> failures;
    };
    const std::vector<Case> cases = {
        {"identical", rendered, 2, {}},
        {"missing", std::nullopt, 0, {"reference Cue.wav not found"}},
        {"two samples differ",
         SelfTest::Samples{0, 101, -200, 300, 1},
         1,
         {"Cue is sample-identical to gen_sounds.py output (2 mismatches, first at index 1)"}},
        {"shorter but equal as far as it goes",
         SelfTest::Samples{0, 100, -200},
         1,
         {"Cue reference frame count (expected <5>, got <3>)"}},
        {"header only", SelfTest::Samples{}, 1, {"Cue reference frame count (expected <5>, got <0>)"}},
    };
    SelfTest::ReferenceFolder = platform::PathText(refs.path());
    for (const Case& c : cases) {
        std::filesystem::remove(refs / "Cue.wav");
        if (c.file) WriteReference(refs / "Cue.wav", *c.file);
        SuiteHarness h = Quiet();
        SelfTest::CompareToReference(h, "Cue", rendered);
        EXPECT_EQ(h.Passed(), c.passed) << c.what;
        EXPECT_EQ(h.Failures(), c.failures) << c.what;
    }
    SelfTest::ReferenceFolder.clear();
    SuiteHarness none = Quiet();
    SelfTest::CompareToReference(none, "Cue", rendered);
    EXPECT_EQ(none.Passed() + none.Failures().size(), 0u) << "no folder, nothing counted";
}

TEST(SelfTest, TemplateChecksReadTheClassicHeader) {
    using B = DialogBuilder;
    B good("Probe", 200, 100, B::kDialogStyle, 0);
    good.Add(B::kPushButton, 5, 5, 50, 14, 1, "OK");
    SuiteHarness h = Quiet();
    SelfTest::CheckTemplate(h, "Good", good.Build());
    EXPECT_EQ(h.Passed(), 5);
    EXPECT_TRUE(h.Failures().empty());

    B tall("Tall", 200, 421, B::kDialogStyle & ~B::kDsSetFont, 0);
    tall.Add(B::kPushButton, 5, 5, 50, 14, 1, "OK");
    SuiteHarness t = Quiet();
    SelfTest::CheckTemplate(t, "Tall", tall.Build());
    EXPECT_EQ(t.Failures(), (std::vector<std::string>{"Tall fits a 768px-tall screen (421 dlu)",
                                                      "Tall sets a dialog font"}));
    SuiteHarness e = Quiet();
    SelfTest::CheckTemplate(e, "Empty", {});
    EXPECT_EQ(e.Passed(), 1) << "no bytes: only the height limit holds";
}

}  // namespace
}  // namespace twr
