#include "ui/spin_rules.h"

#include <algorithm>

namespace twr {

int32_t SpinRules::Clamp(int64_t value, int32_t min, int32_t max) noexcept {
    return static_cast<int32_t>(std::clamp<int64_t>(value, min, max));
}

std::optional<int32_t> SpinRules::KeyValue(uint32_t virtualKey, int32_t value, int32_t min, int32_t max,
                                           int32_t step) noexcept {
    int64_t next;
    switch (virtualKey) {
        case kEnd: next = max; break;
        case kHome: next = min; break;
        case kUp: next = int64_t{value} + step; break;
        case kDown: next = int64_t{value} - step; break;
        default: return std::nullopt;
    }
    return Clamp(next, min, max);
}

DurationRules::Parts DurationRules::Decompose(int64_t seconds) noexcept {
    if (seconds <= 0) return {0, 0};
    if (seconds % 3600 == 0) return {static_cast<int32_t>(seconds / 3600), 2};
    if (seconds % 60 != 0) return {static_cast<int32_t>(std::min<int64_t>(seconds, INT32_MAX)), 0};
    return {static_cast<int32_t>(seconds / 60), 1};
}

int32_t DurationRules::ParseLeadingInt(std::string_view text) noexcept {
    size_t i = 0;
    while (i < text.size() && (text[i] < '0' || text[i] > '9')) ++i;
    if (i == text.size()) return 0;
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (value > (uint64_t{INT64_MAX} - digit) / 10) return 0;  // not a 64-bit number at all
        value = value * 10 + digit;
    }
    return static_cast<int32_t>(std::min<uint64_t>(value, INT32_MAX));
}

int DurationRules::UnitIndex(int64_t selection) noexcept {
    return selection < 0 || selection >= static_cast<int64_t>(kUnitNames.size()) ? 0 : static_cast<int>(selection);
}

std::string DurationRules::UnitName(int unit, int64_t n) {
    std::string name = kUnitNames[static_cast<size_t>(UnitIndex(unit))];
    if (n == 1) name.pop_back();
    std::transform(name.begin(), name.end(), name.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return name;
}

std::string DurationRules::FormatValue(int64_t n, int unit) { return std::to_string(n) + " " + UnitName(unit, n); }

int32_t DurationRules::SpinMax(int32_t maxSeconds, int unit) noexcept {
    return std::max(1, maxSeconds / kMultipliers[static_cast<size_t>(UnitIndex(unit))]);
}

int32_t DurationRules::TotalSeconds(std::string_view text, int unit, int32_t maxSeconds) noexcept {
    const int64_t total = int64_t{ParseLeadingInt(text)} * kMultipliers[static_cast<size_t>(UnitIndex(unit))];
    return SpinRules::Clamp(total, 0, maxSeconds);
}

}  // namespace twr
