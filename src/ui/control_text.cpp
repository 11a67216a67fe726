#include "ui/control_text.h"

#include <algorithm>

#include "app/unicode.h"
#include "ui/utf16.h"

namespace twr {

std::string ControlText::TrimEnd(std::string_view text) {
    std::u16string units = Utf16::FromUtf8(text);
    while (!units.empty() && unicode::IsWhiteSpace(units.back())) units.pop_back();
    return Utf16::ToUtf8(units);
}

std::vector<std::string> ControlText::SplitListLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        std::string line = TrimEnd(text.substr(start, end - start));
        if (!line.empty()) lines.push_back(std::move(line));
        if (end == text.size()) break;
        start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

int32_t ControlText::ListExtent(const std::vector<std::string>& lines) {
    size_t longest = 0;
    for (const auto& line : lines) longest = std::max(longest, Utf16::Length(line));
    return static_cast<int32_t>(std::min<size_t>(longest * kPixelsPerUnit, INT32_MAX));
}

std::string ControlText::JoinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) out += '\n';
        out += lines[i];
    }
    return out;
}

int32_t ControlText::SelectIndex(const std::vector<std::string>& items, std::string_view text) {
    if (items.empty()) return -1;
    auto it = std::find(items.begin(), items.end(), text);
    return it == items.end() ? 0 : static_cast<int32_t>(it - items.begin());
}

}  // namespace twr
