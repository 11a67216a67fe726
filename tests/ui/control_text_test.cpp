#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "ui/control_text.h"
#include "ui/dpi_awareness.h"
#include "ui/utf16.h"

namespace twr {
namespace {

using Lines = std::vector<std::string>;

TEST(ControlText, ListLinesAndExtent) {
    const struct { std::string text; Lines lines; int32_t extent; } cases[] = {
        {"a\r\n\r\nb  \r\nc", {"a", "b", "c"}, 7},
        {"a\r\n\r\nb  \rc", {"a", "b", "c"}, 7},
        {"one\n\n\ntwo\r\r", {"one", "two"}, 21},
        {"   \r\n\t\n", {}, 0},
        {"", {}, 0},
        {"  lead kept\xC2\xA0\xE3\x80\x80", {"  lead kept"}, 77},   // trailing NBSP and ideographic space
        {"\xF0\x9F\x8E\x99", {"\xF0\x9F\x8E\x99"}, 14},                // two UTF-16 units wide
    };
    for (const auto& c : cases) {
        const Lines lines = ControlText::SplitListLines(c.text);
        EXPECT_EQ(lines, c.lines) << c.text;
        EXPECT_EQ(ControlText::ListExtent(lines), c.extent) << c.text;
    }
}

TEST(ControlText, JoinLines) {
    EXPECT_EQ(ControlText::JoinLines({"first", "second"}), "first\nsecond");
    EXPECT_EQ(ControlText::JoinLines({}), "");
    EXPECT_EQ(ControlText::JoinLines({"", ""}), "\n");
}

TEST(ControlText, ComboSelection) {
    const Lines items = {"Seconds", "Minutes", "Hours", "Minutes"};
    const struct { std::string text; int32_t index; } cases[] = {
        {"Minutes", 1}, {"Hours", 2}, {"minutes", 0}, {"Hours ", 0}, {"", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ControlText::SelectIndex(items, c.text), c.index) << c.text;
    EXPECT_EQ(ControlText::SelectIndex({}, "Hours"), -1) << "an empty box selects nothing";
}

TEST(DpiAwareness, FallsBackWithoutRaising) {
    const struct { int32_t hr; bool perMonitorThrows; bool fallbackThrows; bool fallbackCalled; } cases[] = {
        {0, false, false, false},
        {static_cast<int32_t>(0x80070005), false, false, true},   // E_ACCESSDENIED: already set
        {0, true, false, true},                                   // no shcore
        {0, true, true, true},
    };
    for (const auto& c : cases) {
        int askedFor = -1;
        bool fallbackCalled = false;
        DpiAwareness::Enable(
            [&](int awareness) {
                askedFor = awareness;
                if (c.perMonitorThrows) throw std::runtime_error("SetProcessDpiAwareness is not available");
                return c.hr;
            },
            [&] {
                fallbackCalled = true;
                if (c.fallbackThrows) throw std::runtime_error("no user32");
            });
        EXPECT_EQ(askedFor, 2);
        EXPECT_EQ(fallbackCalled, c.fallbackCalled);
    }
}

TEST(Utf16, CountsAndConvertsLikeThePlatform) {
    const struct { std::string utf8; std::u16string utf16; } cases[] = {
        {"", u""},
        {"abc", u"abc"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\x99", u"\u00E9\u20AC\U0001F399"},
        {"\xE2\x82", u"\uFFFD"},                 // truncated sequence: one replacement
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate: each byte replaced
        {"\xC0\xAF", u"\uFFFD\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf16::FromUtf8(c.utf8), c.utf16);
        EXPECT_EQ(Utf16::Length(c.utf8), c.utf16.size());
    }
    EXPECT_EQ(Utf16::ToUtf8(u"\u00E9\U0001F399"), "\xC3\xA9\xF0\x9F\x8E\x99");
    EXPECT_EQ(Utf16::ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
}

}  // namespace
}  // namespace twr
