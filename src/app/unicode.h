#pragma once
// Code points for the readers that count, convert or trim text themselves (the JSON reader, the
// duration texts, the UTF-16 conversions of the interface, the settings and update texts that are
// trimmed). Ill-formed UTF-8 is replaced by U+FFFD per maximal subpart, as the Unicode standard
// recommends and the platform's converter does, so every decoder of the same bytes agrees with us.
// Portable.
#include <cstddef>
#include <string>
#include <string_view>

namespace twr::unicode {

struct Decoded {
    char32_t cp;    // U+FFFD for an invalid sequence
    size_t length;  // bytes consumed: the whole sequence, or its maximal invalid subpart
    bool valid;
};

// The code point at i (i < text.size()).
[[nodiscard]] inline Decoded DecodeUtf8(std::string_view text, size_t i) noexcept {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) return {b0, 1, true};
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t cp;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return {0xFFFD, 1, false};
    }
    size_t j = i + 1;
    for (size_t k = 0; k < need; ++k, ++j) {
        if (j >= text.size()) return {0xFFFD, j - i, false};
        const auto b = static_cast<unsigned char>(text[j]);
        const unsigned char l = k == 0 ? lo : 0x80, h = k == 0 ? hi : 0xBF;
        if (b < l || b > h) return {0xFFFD, j - i, false};
        cp = (cp << 6) | (b & 0x3F);
    }
    return {cp, need + 1, true};
}

// cp (a scalar value) as UTF-8.
inline void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Unicode white space: every White_Space character (all of them lie below U+10000), the set the
// platform's text functions trim.
[[nodiscard]] constexpr bool IsWhiteSpace(char32_t cp) noexcept {
    return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D) || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
           cp == 0x3000;
}

// The text without the white space at both ends, for the texts a user typed or a release note
// carries. Only well-formed characters count: ill-formed bytes stay, and nothing outside the
// text is read.
[[nodiscard]] inline std::string_view TrimWhiteSpace(std::string_view text) noexcept {
    while (!text.empty()) {
        const Decoded d = DecodeUtf8(text, 0);
        if (!d.valid || !IsWhiteSpace(d.cp)) break;
        text.remove_prefix(d.length);
    }
    // From the end: every white-space character takes at most three bytes, and since a lead byte
    // never continues an earlier sequence, a character that decodes whole up to the end is the
    // one a reading from the start would find there.
    auto trailing = [](std::string_view s) noexcept -> size_t {
        for (size_t length = 1; length <= 3 && length <= s.size(); ++length) {
            const Decoded d = DecodeUtf8(s, s.size() - length);
            if (d.valid && d.length == length && IsWhiteSpace(d.cp)) return length;
        }
        return 0;
    };
    while (const size_t length = trailing(text)) text.remove_suffix(length);
    return text;
}

}  // namespace twr::unicode
