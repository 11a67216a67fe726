#include "ui/dialog_builder.h"

#include "ui/utf16.h"

namespace twr {

namespace {

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v));
    Put16(out, static_cast<uint16_t>(v >> 16));
}

}  // namespace

DialogBuilder::DialogBuilder(std::string_view title, int16_t cx, int16_t cy, uint32_t style, uint32_t exStyle,
                             uint16_t pointSize, std::string_view fontName)
    : title_(title), fontName_(fontName), style_(style), exStyle_(exStyle), cx_(cx), cy_(cy), pointSize_(pointSize) {}

void DialogBuilder::AddItem(uint32_t style, uint32_t exStyle, int32_t x, int32_t y, int32_t cx, int32_t cy,
                            int32_t id, uint16_t classAtom, std::string_view text) {
    items_.push_back(Item{std::string(text), style, exStyle, x, y, cx, cy, id, classAtom});
}

void DialogBuilder::WriteSz(std::vector<uint8_t>& out, std::string_view text) {
    for (char16_t u : Utf16::FromUtf8(text))
        if (u != 0) Put16(out, u);
    Put16(out, 0);
}

void DialogBuilder::Align(std::vector<uint8_t>& out) {
    while (out.size() % 4 != 0) out.push_back(0);
}

std::vector<uint8_t> DialogBuilder::Build() const {
    std::vector<uint8_t> out;
    Put32(out, style_);
    Put32(out, exStyle_);
    Put16(out, static_cast<uint16_t>(items_.size()));
    Put16(out, 0);  // x
    Put16(out, 0);  // y
    Put16(out, static_cast<uint16_t>(cx_));
    Put16(out, static_cast<uint16_t>(cy_));
    Put16(out, 0);  // no menu
    Put16(out, 0);  // the system dialog class
    WriteSz(out, title_);
    if (style_ & kDsSetFont) {
        Put16(out, pointSize_);
        WriteSz(out, fontName_);
    }
    for (const Item& item : items_) {
        Align(out);
        Put32(out, item.style | kChildVisible);
        Put32(out, item.exStyle);
        // Coordinates are 32-bit on the way in and signed 16-bit in the record: the low
        // 16 bits are what the dialog manager reads.
        Put16(out, static_cast<uint16_t>(item.x));
        Put16(out, static_cast<uint16_t>(item.y));
        Put16(out, static_cast<uint16_t>(item.cx));
        Put16(out, static_cast<uint16_t>(item.cy));
        Put16(out, static_cast<uint16_t>(item.id));
        Put16(out, 0xFFFF);  // a class atom follows
        Put16(out, item.atom);
        WriteSz(out, item.text);
        Put16(out, 0);  // no creation data
    }
    return out;
}

}  // namespace twr
