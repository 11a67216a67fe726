#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ui/dialog_builder.h"

namespace twr {
namespace {

// Reads a template back the way the dialog manager does, checking every padding byte.
struct Reader {
    const std::vector<uint8_t>& bytes;
    size_t pos = 0;

    uint16_t U16() {
        EXPECT_LE(pos + 2, bytes.size());
        const uint16_t v = static_cast<uint16_t>(bytes.at(pos) | (bytes.at(pos + 1) << 8));
        pos += 2;
        return v;
    }
    uint32_t U32() {
        const uint32_t lo = U16();
        return lo | (static_cast<uint32_t>(U16()) << 16);
    }
    std::u16string Sz() {
        std::u16string s;
        for (uint16_t u = U16(); u != 0; u = U16()) s += static_cast<char16_t>(u);
        return s;
    }
    void Align() {
        while (pos % 4) EXPECT_EQ(bytes.at(pos++), 0) << "padding at " << pos - 1;
    }
};

struct Header {
    uint32_t style, exStyle;
    uint16_t count, x, y, cx, cy, menu, cls;
    std::u16string title;
    bool hasFont = false;
    uint16_t pointSize = 0;
    std::u16string font;
};

struct Record {
    size_t offset;
    uint32_t style, exStyle;
    int16_t x, y, cx, cy;
    uint16_t id, atomMarker, atom;
    std::u16string text;
    uint16_t extra;
};

struct Parsed {
    Header header;
    std::vector<Record> records;
};

Parsed Parse(const std::vector<uint8_t>& bytes) {
    Reader r{bytes};
    Parsed p;
    Header& h = p.header;
    h.style = r.U32();
    h.exStyle = r.U32();
    h.count = r.U16();
    h.x = r.U16();
    h.y = r.U16();
    h.cx = r.U16();
    h.cy = r.U16();
    h.menu = r.U16();
    h.cls = r.U16();
    h.title = r.Sz();
    if (h.style & 0x40) {
        h.hasFont = true;
        h.pointSize = r.U16();
        h.font = r.Sz();
    }
    for (int i = 0; i < h.count; ++i) {
        r.Align();
        Record c{};
        c.offset = r.pos;
        c.style = r.U32();
        c.exStyle = r.U32();
        c.x = static_cast<int16_t>(r.U16());
        c.y = static_cast<int16_t>(r.U16());
        c.cx = static_cast<int16_t>(r.U16());
        c.cy = static_cast<int16_t>(r.U16());
        c.id = r.U16();
        c.atomMarker = r.U16();
        c.atom = r.U16();
        c.text = r.Sz();
        c.extra = r.U16();
        p.records.push_back(c);
    }
    EXPECT_EQ(r.pos, bytes.size()) << "nothing follows the last control record";
    return p;
}

TEST(DialogBuilder, HeaderFieldsAtTheirOffsets) {
    DialogBuilder b("Ab", 300, 138, DialogBuilder::kDialogStyle, DialogBuilder::kExControlParent);
    const auto bytes = b.Build();
    // Fixed part of the header, byte by byte.
    const std::vector<uint8_t> fixed = {0xC0, 0x08, 0xC8, 0x80, 0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0,
                                        0,    0,    0x2C, 0x01, 0x8A, 0x00, 0,    0,    0, 0};
    ASSERT_GE(bytes.size(), fixed.size());
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 22), fixed);
    // Title at 22, then the point size and the font name.
    const std::vector<uint8_t> rest = {'A', 0, 'b', 0, 0, 0, 8, 0};
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 22, bytes.begin() + 30), rest);
    const Parsed p = Parse(bytes);
    EXPECT_EQ(p.header.font, u"MS Shell Dlg");
    EXPECT_EQ(bytes.size(), 30u + 2 * 13) << "no controls: the header alone, unpadded";
}

TEST(DialogBuilder, WithoutSetFontTheHeaderHasNoFont) {
    DialogBuilder b("T", 10, 20, 0x80C80880, 0);  // the dialog style without DS_SETFONT
    EXPECT_EQ(b.Build().size(), 22u + 4);
    b.Add(DialogBuilder::kPushButton, 1, 2, 3, 4, 7, "x");
    const Parsed p = Parse(b.Build());
    EXPECT_FALSE(p.header.hasFont);
    EXPECT_EQ(p.records.at(0).offset, 28u) << "first record right after the title, aligned";
}

TEST(DialogBuilder, EveryRecordStartsOnAFourByteBoundary) {
    // Title and font lengths cover every remainder of the header length modulo 4, and the
    // control texts every remainder of a record's length.
    for (const char* title : {"", "a", "ab", "abc", "abcd"}) {
        for (const char* font : {"", "f", "MS Shell Dlg"}) {
            DialogBuilder b(title, 100, 50, DialogBuilder::kDialogStyle, 0, 8, font);
            for (const char* text : {"", "a", "ab", "abc"}) b.Add(DialogBuilder::kLabel, 0, 0, 10, 10, -1, text);
            const Parsed p = Parse(b.Build());
            ASSERT_EQ(p.records.size(), 4u);
            for (const Record& r : p.records) EXPECT_EQ(r.offset % 4, 0u) << title << "/" << font;
            EXPECT_EQ(p.header.count, 4);
        }
    }
}

TEST(DialogBuilder, ControlRecordFields) {
    DialogBuilder b("Confirm", 300, 138, DialogBuilder::kDialogStyle, DialogBuilder::kExControlParent);
    b.Add(DialogBuilder::kMessageText, 10, 10, 280, 92, 1601, "Sure?");
    b.Add(DialogBuilder::kLabel, -5, -1, 32767, -32768, -1, "");
    b.Add(DialogBuilder::kEditBox, 1, 2, 3, 4, 0x12345, "&Name");
    b.Add(DialogBuilder::kDropDownList, 0, 0, 0, 0, 9, "");
    const Parsed p = Parse(b.Build());
    ASSERT_EQ(p.records.size(), 4u);

    const Record& m = p.records[0];
    EXPECT_EQ(m.style, 0x50000080u) << "WS_CHILD and WS_VISIBLE added";
    EXPECT_EQ(m.exStyle, 0u);
    EXPECT_EQ(m.x, 10);
    EXPECT_EQ(m.cx, 280);
    EXPECT_EQ(m.cy, 92);
    EXPECT_EQ(m.id, 1601);
    EXPECT_EQ(m.atomMarker, 0xFFFF);
    EXPECT_EQ(m.atom, DialogBuilder::kStatic);
    EXPECT_EQ(m.text, u"Sure?");
    EXPECT_EQ(m.extra, 0);

    const Record& label = p.records[1];
    EXPECT_EQ(label.id, 0xFFFF) << "-1 is written as its low 16 bits";
    EXPECT_EQ(label.text, u"") << "an empty text is a single zero unit";
    EXPECT_EQ(label.x, -5);
    EXPECT_EQ(label.y, -1);
    EXPECT_EQ(label.cx, 32767);
    EXPECT_EQ(label.cy, -32768);

    EXPECT_EQ(p.records[2].id, 0x2345);
    EXPECT_EQ(p.records[2].exStyle, 0x200u);
    EXPECT_EQ(p.records[2].style, 0x50810080u);
    EXPECT_EQ(p.records[3].style, 0x50210243u);
    EXPECT_EQ(p.records[3].atom, DialogBuilder::kComboBox);
}

TEST(DialogBuilder, TextsAreUtf16WithoutEmbeddedZeros) {
    const struct { std::string in; std::u16string out; } cases[] = {
        {std::string("Rec\0order", 9), u"Recorder"},           // a zero would end the string early
        {std::string("\0\0", 2), u""},
        {"Caf\xC3\xA9 \xF0\x9F\x8E\x99", u"Caf\u00E9 \U0001F399"},  // a surrogate pair stays whole
        {"bad \xFF byte", u"bad \uFFFD byte"},
    };
    for (const auto& c : cases) {
        DialogBuilder b(c.in, 1, 1, DialogBuilder::kDialogStyle, 0, 8, c.in);
        b.Add(DialogBuilder::kLabel, 0, 0, 1, 1, -1, c.in);
        b.Add(DialogBuilder::kCheckBox, 0, 0, 1, 1, 5, "after");
        const Parsed p = Parse(b.Build());
        EXPECT_EQ(p.header.title, c.out);
        EXPECT_EQ(p.header.font, c.out);
        ASSERT_EQ(p.records.size(), 2u);
        EXPECT_EQ(p.records[0].text, c.out);
        EXPECT_EQ(p.records[1].text, u"after") << "the following record is still read in place";
    }
}

}  // namespace
}  // namespace twr
