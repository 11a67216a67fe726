#include "selftest/self_test.h"

#include <gtest/gtest.h>

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

// The classes under test meet every check the self-test makes of them in this build too; the
// one exception is the in-use probe, which needs the share modes POSIX does not have.
TEST(SelfTest, EveryPortableSectionPassesNatively) {
    testing::TempDir scratch("twr_selftest_native");
    SuiteHarness h = Quiet();
    SelfTest::ReferenceFolder.clear();
    h.Guard([&] {
        SelfTest::TestJson(h, scratch.path());
        SelfTest::TestConfig(h, scratch.path());
        SelfTest::TestTimeText(h);
        SelfTest::TestPercentAndNaming(h);
        SelfTest::TestRouting(h);
        SelfTest::TestDurationUnits(h);
        SelfTest::TestNotificationText(h);
        SelfTest::TestRf64(h, scratch.path());
        SelfTest::TestRepair(h, scratch.path());
        SelfTest::TestSounds(h);
        SelfTest::TestUpdater(h, scratch.path());
    });
    EXPECT_EQ(h.Failures(), std::vector<std::string>{"a file held open for writing is detected as in use"});
    EXPECT_GT(h.Passed(), 600);
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
