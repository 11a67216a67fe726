#include "ui/utf16.h"

namespace twr {

namespace {

struct Decoded {
    char32_t cp;
    size_t length;
};

// Maximal-subpart replacement keeps our count equal to what MultiByteToWideChar produces.
Decoded Decode(std::string_view text, size_t i) noexcept {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) return {b0, 1};
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
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return {0xFFFD, 1};
    }
    size_t j = i + 1;
    for (size_t k = 0; k < need; ++k, ++j) {
        if (j >= text.size()) return {0xFFFD, j - i};
        const auto b = static_cast<unsigned char>(text[j]);
        if (b < (k == 0 ? lo : 0x80) || b > (k == 0 ? hi : 0xBF)) return {0xFFFD, j - i};
        cp = (cp << 6) | (b & 0x3F);
    }
    return {cp, need + 1};
}

void AppendUtf8(std::string& out, char32_t cp) {
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

}  // namespace

std::u16string Utf16::FromUtf8(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const Decoded d = Decode(utf8, i);
        i += d.length;
        if (d.cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((d.cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((d.cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(d.cp);
        }
    }
    return out;
}

std::string Utf16::ToUtf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (size_t i = 0; i < utf16.size(); ++i) {
        const char16_t u = utf16[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (utf16[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

size_t Utf16::Length(std::string_view utf8) {
    size_t n = 0;
    for (size_t i = 0; i < utf8.size();) {
        const Decoded d = Decode(utf8, i);
        i += d.length;
        n += d.cp >= 0x10000 ? 2 : 1;
    }
    return n;
}

}  // namespace twr
