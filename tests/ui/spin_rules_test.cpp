#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "ui/spin_rules.h"

namespace twr {
namespace {

constexpr int kSeconds = 0, kMinutes = 1, kHours = 2;

TEST(SpinRules, KeysStepAndJumpWithinTheLimits) {
    const struct { uint32_t key; int32_t value, min, max, step; std::optional<int32_t> next; } cases[] = {
        {SpinRules::kUp, 5, 1, 100, 1, 6},
        {SpinRules::kDown, 5, 1, 100, 1, 4},
        {SpinRules::kUp, 100, 1, 100, 1, 100},       // at the limit the value stays (and is spoken)
        {SpinRules::kDown, 1, 1, 100, 1, 1},
        {SpinRules::kUp, 98, 1, 100, 5, 100},
        {SpinRules::kHome, 50, 1, 100, 1, 1},
        {SpinRules::kEnd, 50, 1, 100, 1, 100},
        {SpinRules::kUp, INT32_MAX, 0, INT32_MAX, 1, INT32_MAX},   // no wrap to a negative number
        {SpinRules::kDown, INT32_MIN, INT32_MIN, 0, 1, INT32_MIN},
        {0x25, 5, 1, 100, 1, std::nullopt},          // Left and Right move the caret
        {0x27, 5, 1, 100, 1, std::nullopt},
        {0x41, 5, 1, 100, 1, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SpinRules::KeyValue(c.key, c.value, c.min, c.max, c.step), c.next) << c.key << " at " << c.value;
}

TEST(DurationRules, DecomposeChoosesTheLargestWholeUnit) {
    const struct { int64_t seconds; DurationRules::Parts parts; } cases[] = {
        {0, {0, kSeconds}},    {-5, {0, kSeconds}},    {59, {59, kSeconds}},   {60, {1, kMinutes}},
        {90, {90, kSeconds}},  {5400, {90, kMinutes}}, {3600, {1, kHours}},    {86400, {24, kHours}},
        {2147483647, {2147483647, kSeconds}},          {2147483640, {35791394, kMinutes}},
    };
    for (const auto& c : cases) EXPECT_EQ(DurationRules::Decompose(c.seconds), c.parts) << c.seconds;
}

TEST(DurationRules, ParseLeadingInt) {
    const struct { std::string text; int32_t value; } cases[] = {
        {"", 0}, {"   ", 0}, {"minutes", 0}, {"5 minutes", 5}, {"x12y34", 12}, {"-7", 7},
        {"  042 ", 42}, {"2147483647", 2147483647}, {"2147483648", 2147483647},
        {"9223372036854775807", 2147483647},         // the largest 64-bit number still caps
        {"9223372036854775808", 0},                  // beyond 64 bits reads as nothing
        {"00000000000000000000000000001", 1},        // long only by its leading zeros
        {"\xD9\xA3 4", 4},                           // an Arabic-Indic digit is not a digit here
    };
    for (const auto& c : cases) EXPECT_EQ(DurationRules::ParseLeadingInt(c.text), c.value) << c.text;
}

TEST(DurationRules, UnitWordsAndValues) {
    const struct { int64_t n; int unit; const char* text; } cases[] = {
        {0, kSeconds, "0 seconds"}, {1, kSeconds, "1 second"}, {5, kMinutes, "5 minutes"},
        {1, kMinutes, "1 minute"},  {1, kHours, "1 hour"},     {24, kHours, "24 hours"},
        {3, -1, "3 seconds"},       {3, 7, "3 seconds"},       // a selection outside the list reads as Seconds
    };
    for (const auto& c : cases) EXPECT_EQ(DurationRules::FormatValue(c.n, c.unit), c.text);
}

TEST(DurationRules, SpinMaximumPerUnit) {
    const struct { int32_t maxSeconds; int unit; int32_t max; } cases[] = {
        {3600, kHours, 1}, {3600, kSeconds, 3600}, {3600, kMinutes, 60}, {30, kMinutes, 1},
        {0, kSeconds, 1},  {7199, kHours, 1},      {2147483647, kHours, 596523},
    };
    for (const auto& c : cases) EXPECT_EQ(DurationRules::SpinMax(c.maxSeconds, c.unit), c.max);
}

TEST(DurationRules, TotalSecondsReadsTheTextInItsUnit) {
    const struct { std::string text; int unit; int32_t maxSeconds; int32_t total; } cases[] = {
        {"2 hours", kHours, 86400, 7200},  {"2 hours", kHours, 3600, 3600},  {"no digits", kMinutes, 600, 0},
        {"a12b34", kSeconds, 100, 12},     {"90 seconds", kMinutes, 86400, 5400},
        {"2147483647", kHours, 2147483647, 2147483647},   // the product is taken in 64 bits
    };
    for (const auto& c : cases) EXPECT_EQ(DurationRules::TotalSeconds(c.text, c.unit, c.maxSeconds), c.total) << c.text;
}

}  // namespace
}  // namespace twr
