#pragma once
// The shape every built-in test suite shares: section lines, silent checks, equality checks
// whose failure names the expected and the actual value, the summary with its "  FAIL: " lines,
// the crash line, and the report file in the temporary folder (UTF-8 without byte-order mark,
// CR LF, the exact text printed). Portable; one instance per suite run. The checks and the
// summary belong to the thread that runs the suite; Say may also come from a callback of the
// code under test on another thread.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace twr {

class SuiteHarness {
public:
    using LineSink = std::function<void(std::string_view)>;

    // reportName: the file name in the temporary folder ("twr_selftest_report.txt").
    // printLine: where printed lines go; standard output when empty.
    explicit SuiteHarness(std::string reportName, LineSink printLine = {});

    // Appends the line to the report and prints it; safe from any thread.
    void Say(std::string_view line);
    // "-- " + title.
    void Section(std::string_view title);

    // Silent on success; a failure appends the label to the failure list. With PrintChecks
    // set, every check is also said: "   ok   " + label or "   FAIL " + label.
    void Check(bool ok, std::string_view label);
    void PrintChecks(bool on) noexcept { printChecks_ = on; }
    // A failure in its own words, counted like a failed check.
    void Fail(std::string failure);

    // Equal values count as passed; otherwise label + " (expected <e>, got <a>)" is a failure.
    void Eq(bool actual, bool expected, std::string_view label);
    void Eq(double actual, double expected, std::string_view label);  // NaN equals NaN
    void Eq(float actual, float expected, std::string_view label);    // NaN equals NaN
    void Eq(int16_t actual, int16_t expected, std::string_view label);
    void Eq(uint16_t actual, uint16_t expected, std::string_view label);
    void Eq(int32_t actual, int32_t expected, std::string_view label);
    void Eq(uint32_t actual, uint32_t expected, std::string_view label);
    void Eq(int64_t actual, int64_t expected, std::string_view label);
    void Eq(std::pair<int32_t, int32_t> actual, std::pair<int32_t, int32_t> expected, std::string_view label);
    // An absent text is written as nothing between the angle brackets.
    void Eq(const std::optional<std::string>& actual, const std::optional<std::string>& expected,
            std::string_view label);
    void Eq(const std::string& actual, const std::string& expected, std::string_view label) {
        Eq(std::optional<std::string>(actual), std::optional<std::string>(expected), label);
    }
    void Eq(const char* actual, const char* expected, std::string_view label);

    // Runs the body; anything it throws (std or not) becomes the failure
    // "Harness crashed: " + type + ": " + message. False when the body threw.
    bool Guard(const std::function<void()>& body);

    // An empty line, passed + noun + " passed, " + failures + " failed." ("checks" gives
    // "12 checks passed, 0 failed."), then "  FAIL: " + failure for each failure in order.
    void Summary(std::string_view noun);
    // Replaces the report file; failures are ignored.
    void WriteReport() noexcept;
    // 1 when anything failed, else 0.
    [[nodiscard]] int ExitCode() const noexcept { return failures_.empty() ? 0 : 1; }

    [[nodiscard]] int Passed() const noexcept { return passed_; }
    [[nodiscard]] const std::vector<std::string>& Failures() const noexcept { return failures_; }
    [[nodiscard]] std::string Report() const;
    [[nodiscard]] std::filesystem::path ReportPath() const;

    // How the values appear in the failure messages.
    [[nodiscard]] static std::string Text(bool value);
    // Shortest text that reads back as the same value: fixed notation for decimal exponents
    // from -4 up to 14 (double) or 6 (float), else "1E-05" / "1.5E+07"; "NaN", "Infinity".
    [[nodiscard]] static std::string Text(double value);
    [[nodiscard]] static std::string Text(float value);
    // "Harness crashed: " + the type and the message of the exception.
    [[nodiscard]] static std::string CrashText(std::exception_ptr error);
    // The exception's message, whatever its type.
    [[nodiscard]] static std::string MessageOf(std::exception_ptr error);
    // Fixed-point with the given decimals ("0.5000"), as measured values are printed.
    [[nodiscard]] static std::string Fixed(double value, int decimals);
    // prefix + a new random 128-bit value as 32 hexadecimal digits: a fresh scratch name.
    [[nodiscard]] static std::string UniqueName(std::string_view prefix);

private:
    void Record(bool ok, std::string_view label, const std::string& expected, const std::string& actual);

    std::string reportName_;
    LineSink printLine_;
    // Guards report_ and printing; held by pointer so that a harness can still be moved.
    std::unique_ptr<std::mutex> reportLock_ = std::make_unique<std::mutex>();
    std::string report_;
    int passed_ = 0;
    std::vector<std::string> failures_;
    bool printChecks_ = false;
};

}  // namespace twr
