#include "app/unicode.h"

#include <gtest/gtest.h>

#include <vector>

namespace twr {
namespace {

using unicode::TrimWhiteSpace;

TEST(UnicodeTrim, TrimsEveryWhiteSpaceCharacterAndNothingElse) {
    const struct { const char* in; const char* out; } cases[] = {
        {"", ""},
        {" \t\r\n\v\fx \f", "x"},
        {"\xC2\xA0" "a b\xC2\xA0", "a b"},                         // no-break space
        {"\xE3\x80\x80x\xE3\x80\x80", "x"},                        // ideographic space
        {"\xE2\x80\x83x\xE2\x80\x83", "x"},                        // em space
        {"\xC2\x85\xE2\x80\xAF \t\xE2\x80\xA8x\xE1\x9A\x80", "x"},  // next line, narrow no-break, line separator, ogham
        {"\xC2\xA0\xE3\x80\x80 \xE2\x80\x83\t", ""},
        {"a\xC2\xA0\xE3\x80\x80" "b", "a\xC2\xA0\xE3\x80\x80" "b"},  // inside stays
        // Not white space: zero width space, zero width no-break space, Mongolian vowel separator.
        {"\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B"},
        {"\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},
        {"\xE1\xA0\x8Ex", "\xE1\xA0\x8Ex"},
        // Ill-formed bytes are never white space, whatever they would spell if read loosely.
        {"x\xC2", "x\xC2"},
        {"\xA0x\xA0", "\xA0x\xA0"},
        {"\xE3\x80", "\xE3\x80"},
        {"\xC0\xA0x\xE0\x80\xA0", "\xC0\xA0x\xE0\x80\xA0"},  // overlong spaces
        {"x\xE3\xC2\xA0", "x\xE3"},
        {"\xC2\xA0\xF0\x9F x", "\xF0\x9F x"},
    };
    for (const auto& c : cases) EXPECT_EQ(TrimWhiteSpace(c.in), c.out) << c.in;
}

TEST(UnicodeTrim, ReadsNothingBeyondTheText) {
    // The bytes after the view would complete an ideographic space.
    const std::string buffer = "x\xE3\x80\x80";
    EXPECT_EQ(TrimWhiteSpace(std::string_view(buffer).substr(0, 3)), "x\xE3\x80");
    EXPECT_EQ(TrimWhiteSpace(std::string_view(buffer).substr(1, 2)), "\xE3\x80");
    EXPECT_EQ(TrimWhiteSpace(std::string_view(buffer).substr(1, 3)), "");
}

// Trimming from the end must agree with reading from the start, ill-formed bytes included:
// every string of up to four bytes over an alphabet of white-space pieces, lead and trail bytes.
TEST(UnicodeTrim, TheEndIsTrimmedAsAReadingFromTheStartSeesIt) {
    const unsigned char alphabet[] = {' ', 'x', 0x85, 0xA0, 0x80, 0x83, 0x9F, 0xBF, 0xC0, 0xC2, 0xE0, 0xE2, 0xE3, 0xF0};
    auto reference = [](std::string_view s) {
        std::vector<unicode::Decoded> pieces;
        for (size_t i = 0; i < s.size(); i += pieces.back().length) pieces.push_back(unicode::DecodeUtf8(s, i));
        auto white = [](const unicode::Decoded& d) { return d.valid && unicode::IsWhiteSpace(d.cp); };
        size_t begin = 0, end = s.size(), first = 0, last = pieces.size();
        for (; first < last && white(pieces[first]); ++first) begin += pieces[first].length;
        for (; last > first && white(pieces[last - 1]); --last) end -= pieces[last - 1].length;
        return s.substr(begin, end - begin);
    };
    std::string s;
    auto visit = [&](auto&& self, int depth) -> void {
        EXPECT_EQ(TrimWhiteSpace(s), reference(s))
            << ::testing::PrintToString(std::vector<unsigned char>(s.begin(), s.end()));
        if (depth == 4) return;
        for (unsigned char b : alphabet) {
            s.push_back(static_cast<char>(b));
            self(self, depth + 1);
            s.pop_back();
        }
    };
    visit(visit, 0);
}

}  // namespace
}  // namespace twr
