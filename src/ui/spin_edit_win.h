#pragma once
// Numeric and duration fields on standard controls, so a screen reader reads them as an
// ordinary edit box and combo box. Up and Down step the value, Home and End jump to the
// limits, and each of these keys speaks the new value (also when it did not change); any
// text may be typed and is normalised when the focus leaves.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ui/spin_rules.h"

namespace twr {

class SpinEdit {
public:
    using Format = std::function<std::string(int32_t)>;
    using Parse = std::function<int32_t(std::string_view)>;

    // Subclasses the dialog's edit control. The field is kept in a process-wide list that is
    // never emptied, so neither it nor its procedure can vanish while a window might call them;
    // once its edit control is destroyed the entry is inert. min <= max is the caller's promise.
    static SpinEdit& Create(HWND dialog, int editId, int32_t min, int32_t max, int32_t step, Format format,
                            Parse parse);

    // The text parsed and clamped to min..max.
    [[nodiscard]] int32_t Value() const;
    // Clamps and shows format(value).
    void SetValue(int32_t value);
    [[nodiscard]] std::string GetText() const;

    [[nodiscard]] int32_t Min() const noexcept { return min_; }
    [[nodiscard]] int32_t Max() const noexcept { return max_; }
    void SetMax(int32_t max) noexcept { max_ = max; }
    [[nodiscard]] HWND Edit() const noexcept { return edit_; }

    // How many fields the process has made (the list's length).
    [[nodiscard]] static size_t LiveCount();

    SpinEdit(const SpinEdit&) = delete;
    SpinEdit& operator=(const SpinEdit&) = delete;

private:
    SpinEdit(HWND edit, int32_t min, int32_t max, int32_t step, Format format, Parse parse);
    static LRESULT CALLBACK EditProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) noexcept;
    LRESULT Handle(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

    Format format_;
    Parse parse_;
    HWND edit_;
    WNDPROC previousProc_ = nullptr;
    int32_t min_, step_, max_;
};

// A whole number of seconds as a number and a unit (Seconds, Minutes, Hours). The owning
// dialog passes every WM_COMMAND to HandleCommand. Nothing is cached: the controls are the state.
class DurationField {
public:
    DurationField(HWND dialog, int editId, int comboId, int32_t maxSeconds);

    [[nodiscard]] int UnitIndex() const;
    [[nodiscard]] std::string CurrentUnitName(int64_t n) const;
    [[nodiscard]] std::string FormatValue(int64_t n) const;
    [[nodiscard]] int32_t TotalSeconds() const;
    // Shows the value in the largest unit that keeps it whole.
    void SetTotalSeconds(int32_t seconds);
    void UpdateMax();
    // A new unit keeps the number and reads it in that unit (90 seconds become 90 minutes).
    bool HandleCommand(int id, int code);

    [[nodiscard]] static DurationRules::Parts Decompose(int64_t seconds) noexcept {
        return DurationRules::Decompose(seconds);
    }
    [[nodiscard]] static int32_t ParseLeadingInt(std::string_view text) noexcept {
        return DurationRules::ParseLeadingInt(text);
    }
    [[nodiscard]] SpinEdit& Spin() const noexcept { return *spin_; }

private:
    SpinEdit* spin_;
    HWND dialog_;
    int editId_, comboId_;
    int32_t maxSeconds_;
};

}  // namespace twr
