#pragma once
// UTF-8 one code point at a time, for the readers that count or convert text themselves (the
// JSON reader, the UTF-16 conversions of the interface). Ill-formed input is replaced by U+FFFD
// per maximal subpart, as the Unicode standard recommends and the platform's converter does, so
// every decoder of the same bytes agrees with us. Portable.
#include <cstddef>
#include <string>
#include <string_view>

namespace twr::utf8 {

struct Decoded {
    char32_t cp;    // U+FFFD for an invalid sequence
    size_t length;  // bytes consumed: the whole sequence, or its maximal invalid subpart
    bool valid;
};

// The code point at i (i < text.size()).
[[nodiscard]] inline Decoded Decode(std::string_view text, size_t i) noexcept {
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
inline void Append(std::string& out, char32_t cp) {
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

}  // namespace twr::utf8
