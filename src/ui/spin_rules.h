#pragma once
// The decisions of the numeric and duration fields, apart from the edit and combo controls
// they run on, so they are tested natively. Portable.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace twr {

class SpinRules {
public:
    // Virtual keys the field answers.
    static constexpr uint32_t kEnd = 0x23;
    static constexpr uint32_t kHome = 0x24;
    static constexpr uint32_t kUp = 0x26;
    static constexpr uint32_t kDown = 0x28;

    // The new value for a key, clamped to min..max, or nullopt for a key the edit handles itself.
    // Stepping is done in 64 bits: Up at 2147483647 stays there instead of wrapping round.
    [[nodiscard]] static std::optional<int32_t> KeyValue(uint32_t virtualKey, int32_t value, int32_t min, int32_t max,
                                                         int32_t step) noexcept;
    [[nodiscard]] static int32_t Clamp(int64_t value, int32_t min, int32_t max) noexcept;
};

class DurationRules {
public:
    static constexpr std::array<const char*, 3> kUnitNames = {"Seconds", "Minutes", "Hours"};
    static constexpr std::array<int32_t, 3> kMultipliers = {1, 60, 3600};

    struct Parts {
        int32_t value;
        int unit;  // index into kUnitNames
        bool operator==(const Parts&) const = default;
    };

    // The largest unit that shows the number whole: 5400 is 90 minutes, 90 is 90 seconds.
    [[nodiscard]] static Parts Decompose(int64_t seconds) noexcept;
    // The first run of ASCII digits: 0 without one or when it does not fit in 64 bits,
    // 2147483647 for anything larger than that.
    [[nodiscard]] static int32_t ParseLeadingInt(std::string_view text) noexcept;
    // A combo selection outside the list reads as Seconds.
    [[nodiscard]] static int UnitIndex(int64_t selection) noexcept;
    // "seconds", "second", "minutes", ... (singular for 1).
    [[nodiscard]] static std::string UnitName(int unit, int64_t n);
    // "5 minutes", "1 hour", "0 seconds".
    [[nodiscard]] static std::string FormatValue(int64_t n, int unit);
    // The largest number the field takes in a unit: never below 1, so a short limit in a long
    // unit still leaves a value to step to.
    [[nodiscard]] static int32_t SpinMax(int32_t maxSeconds, int unit) noexcept;
    // The field's text read in its unit, clamped to 0..maxSeconds.
    [[nodiscard]] static int32_t TotalSeconds(std::string_view text, int unit, int32_t maxSeconds) noexcept;
};

}  // namespace twr
