#include "selftest/suite_harness.h"

#include <cmath>
#include <cstdio>
#include <random>

#include "app/console.h"
#include "app/errors.h"
#include "app/json.h"
#include "app/platform.h"

namespace twr {

namespace {

template <class T>
bool SameFloat(T a, T b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

}  // namespace

SuiteHarness::SuiteHarness(std::string reportName, LineSink printLine)
    : reportName_(std::move(reportName)), printLine_(std::move(printLine)) {
    if (!printLine_) printLine_ = [](std::string_view line) { Console::WriteLine(line); };
}

void SuiteHarness::Say(std::string_view line) {
    const std::lock_guard guard(*reportLock_);
    report_ += line;
    report_ += "\r\n";
    printLine_(line);
}

void SuiteHarness::Section(std::string_view title) { Say("-- " + std::string(title)); }

void SuiteHarness::Check(bool ok, std::string_view label) {
    if (ok) ++passed_;
    else failures_.emplace_back(label);
    if (printChecks_) Say((ok ? "   ok   " : "   FAIL ") + std::string(label));
}

void SuiteHarness::Fail(std::string failure) { failures_.push_back(std::move(failure)); }

void SuiteHarness::Record(bool ok, std::string_view label, const std::string& expected, const std::string& actual) {
    if (ok) ++passed_;
    else failures_.push_back(std::string(label) + " (expected <" + expected + ">, got <" + actual + ">)");
}

void SuiteHarness::Eq(bool actual, bool expected, std::string_view label) {
    Record(actual == expected, label, Text(expected), Text(actual));
}
void SuiteHarness::Eq(double actual, double expected, std::string_view label) {
    Record(SameFloat(actual, expected), label, Text(expected), Text(actual));
}
void SuiteHarness::Eq(float actual, float expected, std::string_view label) {
    Record(SameFloat(actual, expected), label, Text(expected), Text(actual));
}
void SuiteHarness::Eq(int16_t actual, int16_t expected, std::string_view label) {
    Record(actual == expected, label, std::to_string(expected), std::to_string(actual));
}
void SuiteHarness::Eq(uint16_t actual, uint16_t expected, std::string_view label) {
    Record(actual == expected, label, std::to_string(expected), std::to_string(actual));
}
void SuiteHarness::Eq(int32_t actual, int32_t expected, std::string_view label) {
    Record(actual == expected, label, std::to_string(expected), std::to_string(actual));
}
void SuiteHarness::Eq(uint32_t actual, uint32_t expected, std::string_view label) {
    Record(actual == expected, label, std::to_string(expected), std::to_string(actual));
}
void SuiteHarness::Eq(int64_t actual, int64_t expected, std::string_view label) {
    Record(actual == expected, label, std::to_string(expected), std::to_string(actual));
}
void SuiteHarness::Eq(std::pair<int32_t, int32_t> actual, std::pair<int32_t, int32_t> expected,
                      std::string_view label) {
    auto text = [](std::pair<int32_t, int32_t> p) {
        return std::string("(").append(std::to_string(p.first)).append(", ").append(std::to_string(p.second)) + ")";
    };
    Record(actual == expected, label, text(expected), text(actual));
}
void SuiteHarness::Eq(const std::optional<std::string>& actual, const std::optional<std::string>& expected,
                      std::string_view label) {
    Record(actual == expected, label, expected.value_or(""), actual.value_or(""));
}
void SuiteHarness::Eq(const char* actual, const char* expected, std::string_view label) {
    auto wrap = [](const char* p) { return p ? std::optional<std::string>(p) : std::nullopt; };
    Eq(wrap(actual), wrap(expected), label);
}

std::string SuiteHarness::Text(bool value) { return value ? "True" : "False"; }
std::string SuiteHarness::Text(double value) { return InvariantNumberText(value); }
std::string SuiteHarness::Text(float value) { return InvariantFloatText(value); }

std::string SuiteHarness::CrashText(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return "Harness crashed: " + FullText(e);
    } catch (const std::string& s) {
        return "Harness crashed: std::string: " + s;
    } catch (const char* s) {
        return std::string("Harness crashed: const char*: ") + (s ? s : "");
    } catch (...) {
        return "Harness crashed: unknown exception (not derived from std::exception)";
    }
}

std::string SuiteHarness::MessageOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

std::string SuiteHarness::Fixed(double value, int decimals) {
    char text[512];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

bool SuiteHarness::Guard(const std::function<void()>& body) {
    try {
        body();
        return true;
    } catch (...) {
        Fail(CrashText(std::current_exception()));
        return false;
    }
}

void SuiteHarness::Summary(std::string_view noun) {
    Say("");
    Say(std::to_string(passed_) + " " + std::string(noun) + " passed, " + std::to_string(failures_.size()) +
        " failed.");
    for (const std::string& f : failures_) Say("  FAIL: " + f);
}

std::string SuiteHarness::Report() const {
    const std::lock_guard guard(*reportLock_);
    return report_;
}

std::filesystem::path SuiteHarness::ReportPath() const { return platform::TempDir() / reportName_; }

void SuiteHarness::WriteReport() noexcept {
    try {
        platform::WriteFileDurable(ReportPath(), Report());
    } catch (...) {
    }
}

std::string SuiteHarness::UniqueName(std::string_view prefix) {
    std::random_device rd;
    std::mt19937_64 mix((static_cast<uint64_t>(rd()) << 32) ^ rd() ^
                        static_cast<uint64_t>(platform::UnixMillisNow()) ^ platform::ProcessId());
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name(prefix);
    for (int part = 0; part < 2; ++part) {
        uint64_t v = mix() ^ (static_cast<uint64_t>(rd()) << 32 | rd());
        for (int i = 0; i < 16; ++i, v >>= 4) name += kHex[v & 0xF];
    }
    return name;
}

}  // namespace twr
