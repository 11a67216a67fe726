#include "selftest/timing_test.h"

#include <gtest/gtest.h>

#include "app/errors.h"

namespace twr {
namespace {

TEST(TimingTest, PhaseLinesPadTheLabelAndGroupTheMilliseconds) {
    const std::string label = "Config load";
    const std::string padded = label + std::string(42 - label.size(), ' ');
    const std::vector<std::pair<double, std::string>> cases = {
        {1234.56, "1,234.6"}, {0.04, "    0.0"}, {0.05001, "    0.1"}, {99.95, "  100.0"},
        {1234567.0, "1,234,567.0"}};
    for (const auto& [ms, shown] : cases) EXPECT_EQ(TimingTest::PhaseLine(label, ms), "  " + padded + " " + shown + " ms");
    const std::string longLabel(45, 'x');
    EXPECT_EQ(TimingTest::PhaseLine(longLabel, 5), "  " + longLabel + "     5.0 ms") << "a long label is never cut";
    EXPECT_EQ(TimingTest::FailedLine(label, "no network"), "  " + padded + " FAILED: no network");
}

TEST(TimingTest, AFailingPhaseSaysItsMessageAndGivesMinusOne) {
    std::vector<std::string> lines;
    SuiteHarness h("unused.txt", [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(TimingTest::Time(h, "Speech.Init", [] { throw IoError("The library is missing."); }), -1);
    EXPECT_EQ(TimingTest::Time(h, "Other", [] { throw 7; }), -1);
    EXPECT_GE(TimingTest::Time(h, "Quick", [] {}), 0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "  Speech.Init" + std::string(31, ' ') + " FAILED: The library is missing.");
    EXPECT_EQ(lines[1], "  Other" + std::string(37, ' ') + " FAILED: unknown exception");
    EXPECT_EQ(lines[2].substr(lines[2].size() - 3), " ms");
    EXPECT_EQ(h.Passed() + h.Failures().size(), 0u) << "timing counts no checks";
}

}  // namespace
}  // namespace twr
