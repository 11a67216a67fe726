#include "ui/utf16.h"

#include "app/unicode.h"

namespace twr {

std::u16string Utf16::FromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unicode::Decoded d = unicode::DecodeUtf8(text, i);
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
            unicode::AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (utf16[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            unicode::AppendUtf8(out, 0xFFFD);
        } else {
            unicode::AppendUtf8(out, u);
        }
    }
    return out;
}

size_t Utf16::Length(std::string_view text) {
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        const unicode::Decoded d = unicode::DecodeUtf8(text, i);
        i += d.length;
        n += d.cp >= 0x10000 ? 2 : 1;
    }
    return n;
}

}  // namespace twr
