#pragma once
// UTF-16 as the window manager counts it. Dialog templates, list extents and text limits are
// all measured in UTF-16 code units, while the program's own strings are UTF-8. Portable.
#include <string>
#include <string_view>

namespace twr {

class Utf16 {
public:
    // Ill-formed input becomes U+FFFD per maximal subpart, as the platform's converter does.
    [[nodiscard]] static std::u16string FromUtf8(std::string_view utf8);
    // A lone surrogate becomes U+FFFD.
    [[nodiscard]] static std::string ToUtf8(std::u16string_view utf16);
    // The number of UTF-16 code units the text takes (a character beyond U+FFFF counts 2).
    [[nodiscard]] static size_t Length(std::string_view utf8);
};

}  // namespace twr
