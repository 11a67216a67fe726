#include <gtest/gtest.h>

#include <string>

#include "app/text_formats.h"

namespace twr {
namespace {

TEST(TimeText, FormatWordsAndReadThemBack) {
    const struct { int32_t seconds; const char* text; } cases[] = {
        {0, "0 seconds (off)"}, {1, "1 second"}, {2, "2 seconds"}, {60, "1 minute"}, {61, "1 minute, 1 second"},
        {3600, "1 hour"}, {3601, "1 hour, 1 second"}, {5400, "1 hour, 30 minutes"},
        {3661, "1 hour, 1 minute, 1 second"}, {7325, "2 hours, 2 minutes, 5 seconds"}, {86400, "24 hours"},
        {2147483647, "596523 hours, 14 minutes, 7 seconds"}, {-5, ""}, {-2147483647 - 1, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TimeText::Format(c.seconds), c.text) << c.seconds;
        if (c.seconds >= 0) {
            EXPECT_EQ(TimeText::Parse(c.text), c.seconds) << c.text;
        }
    }
}

TEST(TimeText, ParseShortForms) {
    const struct { const char* text; int32_t seconds; } cases[] = {
        {"", 0}, {"   ", 0}, {"abc", 0}, {"90", 90}, {"90s", 90}, {"90m", 5400}, {"2h", 7200},
        {"1h30m", 5400}, {"1H 30M", 5400}, {"1h 30", 5400}, {"5m 30", 330}, {"30 5", 35}, {"1h 30 15", 5415},
        {"2 ms", 120}, {"1 hour, 30 minutes", 5400}, {"10 x", 10}, {"-5", 5}, {"999999", 999999},
        {"999999999h", 2147483647}, {"2147483648", 2147483647},
        {"99999999999999999999h 5", 5}, {"99999999999999999999 7h", 25200}, {"1\t\th", 3600}, {"4 \xC3\xA9h", 4},
    };
    for (const auto& c : cases) EXPECT_EQ(TimeText::Parse(c.text), c.seconds) << c.text;
}

TEST(PercentText, FormatAndParse) {
    EXPECT_EQ(PercentText::Format(15), "15 percent");
    EXPECT_EQ(PercentText::Format(-3), "-3 percent");
    const struct { const char* text; int32_t fallback; int32_t result; } cases[] = {
        {"15 percent", 1, 15}, {"", 77, 77}, {"abc", 77, 77}, {"99999999999", 5, 5}, {"2147483647", 5, 2147483647},
        {"2147483648", 5, 5}, {"-40", 5, 40}, {"vol 0050%", 5, 50}, {"12 and 34", 5, 12},
    };
    for (const auto& c : cases) EXPECT_EQ(PercentText::Parse(c.text, c.fallback), c.result) << c.text;
}

TEST(Naming, SanitizePrefixAndTimestamp) {
    const struct { const char* in; const char* out; } cases[] = {
        {"", ""}, {"  My*Rec:ord/ing?  ", "MyRecording"}, {"Interview 12", "Interview 12"}, {"\\/*?:\"<>|", ""},
        {" a ?", "a "}, {"? a", " a"}, {"\t\xC2\xA0" "x\xE3\x80\x80\n", "x"}, {"caf\xC3\xA9 <1>", "caf\xC3\xA9 1"},
    };
    for (const auto& c : cases) EXPECT_EQ(Naming::SanitizePrefix(c.in), c.out) << c.in;
    EXPECT_EQ(Naming::Timestamp({2026, 8, 26, 14, 3, 9, 500}), "20260826_140309");
    EXPECT_EQ(Naming::Timestamp({999, 1, 2, 0, 0, 0, 0}), "09990102_000000");
}

}  // namespace
}  // namespace twr
