#pragma once
// The words the screen reader speaks for durations and volumes, and the safe pieces of
// recording names. Pure functions: any thread may call them, none of them throws on bad text.
#include <cstdint>
#include <string>
#include <string_view>

#include "app/platform.h"

namespace twr {

class TimeText {
public:
    // Whole seconds as spoken English: "0 seconds (off)", "1 hour, 30 minutes"; a negative
    // number gives "".
    [[nodiscard]] static std::string Format(int32_t seconds);
    // Reads its own output and short forms (90, 90s, 5m, 2h, 1h30m); 0 to 2147483647.
    [[nodiscard]] static int32_t Parse(std::string_view text) noexcept;
};

class PercentText {
public:
    [[nodiscard]] static std::string Format(int32_t n);
    // The first run of ASCII digits as a 32-bit number; the fallback without one or when it
    // does not fit.
    [[nodiscard]] static int32_t Parse(std::string_view text, int32_t fallback) noexcept;
};

class Naming {
public:
    // Trims white space at both ends, then removes the characters file names may not hold.
    [[nodiscard]] static std::string SanitizePrefix(std::string_view text);
    // "yyyyMMdd_HHmmss".
    [[nodiscard]] static std::string Timestamp(const platform::LocalTime& time);
};

}  // namespace twr
