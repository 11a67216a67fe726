#pragma once
// --timing: how long each step of the windowed start, the start-up update check and the two
// watcher stops of the shut-down take, one line each in milliseconds, so a slow step shows
// without a profiler. Checks nothing; always exits 0. Writes twr_timing_report.txt.
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "selftest/suite_harness.h"

namespace twr {

class TimingTest {
public:
    static int Run();

    // Measures the action on the monotonic clock and says its line: the milliseconds in the
    // phase form, or "FAILED: " + the message when it threw. Whole milliseconds, or -1.
    static int64_t Time(SuiteHarness& h, std::string_view label, const std::function<void()>& action);
    // "  " + label left-aligned in 42 + " " + milliseconds as "1,234.6" right-aligned in 7 + " ms".
    [[nodiscard]] static std::string PhaseLine(std::string_view label, double milliseconds);
    [[nodiscard]] static std::string FailedLine(std::string_view label, std::string_view message);
    // Invariant "N1": one decimal, "," between groups of three digits.
    [[nodiscard]] static std::string N1(double value);

    // Platform steps: DPI awareness and the common controls; the calling thread as a
    // single-threaded COM apartment until the returned owner is dropped (nothing natively).
    static void PrepareWindowing();
    [[nodiscard]] static std::shared_ptr<void> EnterApartment();
};

}  // namespace twr
