#include "app/text_formats.h"

#include <cstdio>
#include <limits>

#include "app/unicode.h"

namespace twr {

namespace {

constexpr int32_t kMaxSeconds = std::numeric_limits<int32_t>::max();

bool IsAsciiDigit(char c) noexcept { return c >= '0' && c <= '9'; }

void AppendPart(std::string& out, int32_t n, const char* unit) {
    if (n <= 0) return;
    if (!out.empty()) out += ", ";
    out += std::to_string(n);
    out += ' ';
    out += unit;
    if (n != 1) out += 's';
}

}  // namespace

std::string TimeText::Format(int32_t seconds) {
    if (seconds == 0) return "0 seconds (off)";
    std::string out;
    AppendPart(out, seconds / 3600, "hour");
    AppendPart(out, (seconds % 3600) / 60, "minute");
    AppendPart(out, seconds % 60, "second");
    return out;
}

int32_t TimeText::Parse(std::string_view text) noexcept {
    enum class Unit { None, Hours, Minutes, Seconds };
    Unit last = Unit::None;
    int64_t total = 0;
    size_t i = 0;
    const size_t n = text.size();
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    while (i < n) {
        if (!IsAsciiDigit(text[i])) {
            ++i;
            continue;
        }
        int64_t value = 0;
        bool tooLarge = false;
        for (; i < n && IsAsciiDigit(text[i]); ++i) {
            const int d = text[i] - '0';
            if (value > (std::numeric_limits<int64_t>::max() - d) / 10) tooLarge = true;
            else value = value * 10 + d;
        }
        // A number too large for 64 bits counts for nothing; its unit is then skipped as
        // plain letters.
        if (tooLarge) continue;
        while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
        char unit = 0;
        if (i < n && lower(text[i]) >= 'a' && lower(text[i]) <= 'z') unit = lower(text[i]);
        while (i < n && lower(text[i]) >= 'a' && lower(text[i]) <= 'z') ++i;
        const int64_t count = value > kMaxSeconds ? kMaxSeconds : value;
        if (unit == 'h') {
            total += count * 3600;
            last = Unit::Hours;
        } else if (unit == 'm') {
            total += count * 60;
            last = Unit::Minutes;
        } else if (unit == 's') {
            total += count;
            last = Unit::Seconds;
        } else if (last == Unit::Hours) {
            // "1h 30": a bare number after hours is minutes.
            total += count * 60;
            last = Unit::Minutes;
        } else {
            total += count;
            last = Unit::Seconds;
        }
        if (total > kMaxSeconds) return kMaxSeconds;
    }
    return static_cast<int32_t>(total);
}

std::string PercentText::Format(int32_t n) { return std::to_string(n) + " percent"; }

int32_t PercentText::Parse(std::string_view text, int32_t fallback) noexcept {
    size_t i = 0;
    while (i < text.size() && !IsAsciiDigit(text[i])) ++i;
    if (i == text.size()) return fallback;
    int64_t value = 0;
    for (; i < text.size() && IsAsciiDigit(text[i]); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > std::numeric_limits<int32_t>::max()) return fallback;
    }
    return static_cast<int32_t>(value);
}

std::string Naming::SanitizePrefix(std::string_view text) {
    text = unicode::TrimWhiteSpace(text);
    static constexpr std::string_view kRemoved = "\\/*?:\"<>|";
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (kRemoved.find(c) == std::string_view::npos) out += c;
    return out;
}

std::string Naming::Timestamp(const platform::LocalTime& time) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d_%02d%02d%02d", time.year, time.month, time.day,
                  time.hour, time.minute, time.second);
    return buf;
}

}  // namespace twr
