#include "selftest/suite_harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <thread>

#include "app/errors.h"
#include "test_support.h"

namespace twr {
namespace {

struct Printed {
    std::vector<std::string> lines;
    SuiteHarness::LineSink Sink() {
        return [this](std::string_view line) { lines.emplace_back(line); };
    }
};

TEST(SuiteHarness, EqFailuresNameExpectedAndActualInEachTypesForm) {
    SuiteHarness h("twr_harness_unit.txt", [](std::string_view) {});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    h.Eq(true, false, "bool");
    h.Eq(0.1, 1e-5, "double");
    h.Eq(1e15, 123.25, "double wide");
    h.Eq(0.1f, 12345678.0f, "float");
    h.Eq(int16_t{-32767}, int16_t{0}, "short");
    h.Eq(uint16_t{65535}, uint16_t{1}, "ushort");
    h.Eq(int32_t{-40}, int32_t{5}, "int");
    h.Eq(uint32_t{4294967295u}, uint32_t{28}, "uint");
    h.Eq(int64_t{-9000000000}, int64_t{6000}, "long");
    h.Eq(std::pair{90, 1}, std::pair{1, 2}, "pair");
    h.Eq(std::optional<std::string>(), std::optional<std::string>("x"), "absent text");
    h.Eq(std::string("a"), std::string("b"), "text");
    h.Eq(nullptr, "y", "null text");
    // Equal values pass silently, NaN included.
    h.Eq(nan, nan, "nan");
    h.Eq(std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN(), "nan f");
    h.Eq(std::string(), std::string(), "empty");
    EXPECT_EQ(h.Passed(), 3);
    EXPECT_EQ(h.Failures(), (std::vector<std::string>{
                                "bool (expected <False>, got <True>)",
                                "double (expected <1E-05>, got <0.1>)",
                                "double wide (expected <123.25>, got <1E+15>)",
                                "float (expected <1.2345678E+07>, got <0.1>)",
                                "short (expected <0>, got <-32767>)",
                                "ushort (expected <1>, got <65535>)",
                                "int (expected <5>, got <-40>)",
                                "uint (expected <28>, got <4294967295>)",
                                "long (expected <6000>, got <-9000000000>)",
                                "pair (expected <(1, 2)>, got <(90, 1)>)",
                                "absent text (expected <x>, got <>)",
                                "text (expected <b>, got <a>)",
                                "null text (expected <y>, got <>)",
                            }));
}

TEST(SuiteHarness, NumbersReadBackAsTheSameValue) {
    const std::vector<std::pair<double, std::string>> doubles = {
        {0.0, "0"}, {-0.6, "-0.6"}, {0.0001, "0.0001"}, {1e14, "100000000000000"}, {1.0 / 3, "0.3333333333333333"},
        {-1e-7, "-1E-07"}, {1e100, "1E+100"}, {std::numeric_limits<double>::infinity(), "Infinity"}};
    for (const auto& [value, text] : doubles) EXPECT_EQ(SuiteHarness::Text(value), text);
    const std::vector<std::pair<float, std::string>> floats = {
        {0.8f, "0.8"}, {0.3f, "0.3"}, {-0.6f * 0.5f, "-0.3"}, {1234567.0f, "1234567"}, {1e7f, "1E+07"},
        {0.1f + 0.2f, "0.3"}, {(0.8f + -0.6f) * 0.5f, "0.099999994"}};
    for (const auto& [value, text] : floats) EXPECT_EQ(SuiteHarness::Text(value), text);
}

TEST(SuiteHarness, SummaryAndReportHoldExactlyWhatWasPrinted) {
    Printed printed;
    SuiteHarness h("twr_harness_unit_" + std::to_string(platform::ProcessId()) + ".txt", printed.Sink());
    h.Section("JSON");
    h.Check(true, "silent");
    h.Check(false, "first");
    h.Eq(1, 2, "second");
    h.Summary("UI checks");
    EXPECT_EQ(printed.lines, (std::vector<std::string>{"-- JSON", "", "1 UI checks passed, 2 failed.", "  FAIL: first",
                                                       "  FAIL: second (expected <2>, got <1>)"}));
    EXPECT_EQ(h.Report(), "-- JSON\r\n\r\n1 UI checks passed, 2 failed.\r\n  FAIL: first\r\n"
                          "  FAIL: second (expected <2>, got <1>)\r\n");
    EXPECT_EQ(h.ExitCode(), 1);
    h.WriteReport();
    EXPECT_EQ(testing::ReadText(h.ReportPath()), h.Report()) << "no byte-order mark, CR LF kept";
    std::filesystem::remove(h.ReportPath());

    Printed loud;
    SuiteHarness clean("unused.txt", loud.Sink());
    clean.PrintChecks(true);
    clean.Check(true, "x");
    clean.Check(false, "y");
    EXPECT_EQ(loud.lines, (std::vector<std::string>{"   ok   x", "   FAIL y"})) << "suites that show every check";
    SuiteHarness passing("unused.txt", [](std::string_view) {});
    passing.Check(true, "x");
    EXPECT_EQ(passing.ExitCode(), 0);
}

TEST(SuiteHarness, GuardTurnsAnyThrownValueIntoOneCrashLine) {
    SuiteHarness h("unused.txt", [](std::string_view) {});
    bool later = false;
    EXPECT_TRUE(h.Guard([] {}));
    EXPECT_FALSE(h.Guard([] { throw IoError("The disk is full."); }));
    EXPECT_FALSE(h.Guard([] { throw std::out_of_range("vector index"); }));
    EXPECT_FALSE(h.Guard([] { throw 42; }));
    EXPECT_FALSE(h.Guard([&] {
        throw std::string("text");
        later = true;
    }));
    EXPECT_FALSE(later);
    ASSERT_EQ(h.Failures().size(), 4u);
    EXPECT_EQ(h.Failures()[0], "Harness crashed: IoError: The disk is full.");
    EXPECT_EQ(h.Failures()[1], "Harness crashed: std::out_of_range: vector index");
    EXPECT_EQ(h.Failures()[2], "Harness crashed: unknown exception (not derived from std::exception)");
    EXPECT_EQ(h.Failures()[3], "Harness crashed: std::string: text");
}

TEST(SuiteHarness, UniqueNamesCarryThirtyTwoHexDigits) {
    const std::string a = SuiteHarness::UniqueName("twr_selftest_");
    const std::string b = SuiteHarness::UniqueName("twr_selftest_");
    EXPECT_NE(a, b);
    ASSERT_EQ(a.size(), 13u + 32u);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef", 13), std::string::npos);
}

// The capture test's recorder callbacks say their lines from the writer thread while the suite
// checks on its own: no line may be lost or torn, in the report or on the way out.
TEST(SuiteHarness, LinesSaidFromSeveralThreadsArriveWhole) {
    std::vector<std::string> printed;
    SuiteHarness h("unused.txt", [&](std::string_view line) { printed.emplace_back(line); });
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&h, t] {
            for (int i = 0; i < kLines; ++i) h.Say("   [event] " + std::to_string(t) + "/" + std::to_string(i));
        });
    for (int i = 0; i < kLines; ++i) h.Check(true, "main");
    for (std::thread& w : writers) w.join();

    EXPECT_EQ(h.Passed(), kLines);
    ASSERT_EQ(printed.size(), static_cast<size_t>(kThreads * kLines));
    EXPECT_EQ(std::set<std::string>(printed.begin(), printed.end()).size(), printed.size());
    std::string expected;
    for (const std::string& line : printed) expected += line + "\r\n";
    EXPECT_EQ(h.Report(), expected) << "the report holds the printed lines in the printed order";
}

}  // namespace
}  // namespace twr
