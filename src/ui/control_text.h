#pragma once
// The text rules of the list and combo box utilities, kept apart from the window calls so
// they are tested natively. Portable.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace twr {

class ControlText {
public:
    // Horizontal extent per UTF-16 code unit of the longest line, in pixels.
    static constexpr int kPixelsPerUnit = 7;

    // The lines a list box shows for a text: CR LF and lone CR count as LF, trailing white
    // space is stripped, and lines left empty are skipped.
    [[nodiscard]] static std::vector<std::string> SplitListLines(std::string_view text);
    // LB_SETHORIZONTALEXTENT for these lines: 7 pixels per UTF-16 unit of the longest, 0 for none.
    [[nodiscard]] static int32_t ListExtent(const std::vector<std::string>& lines);
    // The lines joined with a line feed between them.
    [[nodiscard]] static std::string JoinLines(const std::vector<std::string>& lines);
    // The item a combo box selects for a text: the first exact (case-sensitive) match, else 0;
    // -1 (nothing) when there are no items.
    [[nodiscard]] static int32_t SelectIndex(const std::vector<std::string>& items, std::string_view text);
    // Strips trailing Unicode white space (what the list shows no glyph for).
    [[nodiscard]] static std::string TrimEnd(std::string_view text);
};

}  // namespace twr
