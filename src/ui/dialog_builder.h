#pragma once
// The in-memory dialog template every window of the program is created from (there are no
// resource files). Only standard control classes are used, so every control is reachable by
// keyboard and readable by a screen reader. Portable: the bytes are tested natively.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace twr {

class DialogBuilder {
public:
    // Class atoms of the standard controls.
    static constexpr uint16_t kButton = 0x0080;
    static constexpr uint16_t kEdit = 0x0081;
    static constexpr uint16_t kStatic = 0x0082;
    static constexpr uint16_t kListBox = 0x0083;
    static constexpr uint16_t kComboBox = 0x0085;

    // Dialog styles and the font every window uses.
    static constexpr uint32_t kDsSetFont = 0x40;
    // WS_POPUP, WS_CAPTION, WS_SYSMENU, DS_CENTER, DS_MODALFRAME, DS_SETFONT.
    static constexpr uint32_t kDialogStyle = 0x80C808C0;
    // WS_POPUP, WS_CAPTION, WS_SYSMENU, WS_MINIMIZEBOX, DS_CENTER, DS_SETFONT.
    static constexpr uint32_t kMainWindowStyle = 0x80CA0840;
    static constexpr uint32_t kExControlParent = 0x10000;
    static constexpr uint32_t kExAppWindow = 0x50000;  // with WS_EX_CONTROLPARENT
    static constexpr uint16_t kPointSize = 8;
    static constexpr const char* kFontName = "MS Shell Dlg";
    // Every control record gets these (WS_CHILD, WS_VISIBLE).
    static constexpr uint32_t kChildVisible = 0x50000000;

    // The control kinds of the program: class, style and extended style before WS_CHILD and
    // WS_VISIBLE are added. Labels and group boxes take the id -1.
    struct Kind {
        uint16_t atom;
        uint32_t style;
        uint32_t exStyle;
    };
    static constexpr Kind kLabel{kStatic, 0x0, 0};
    static constexpr Kind kMessageText{kStatic, 0x80, 0};          // SS_NOPREFIX: '&' shows as itself
    static constexpr Kind kGroupBox{kButton, 0x7, 0};
    static constexpr Kind kCheckBox{kButton, 0x12003, 0};
    static constexpr Kind kPushButton{kButton, 0x10000, 0};
    static constexpr Kind kDefPushButton{kButton, 0x10001, 0};
    static constexpr Kind kDropDownList{kComboBox, 0x210243, 0};   // cy is the open list's height
    static constexpr Kind kEditBox{kEdit, 0x810080, 0x200};
    static constexpr Kind kReadOnlyEdit{kEdit, 0x810880, 0x200};
    static constexpr Kind kMainList{kListBox, 0xB10141, 0x200};
    static constexpr Kind kNotesList{kListBox, 0xA10141, 0x200};

    // title and texts are UTF-8; an empty text stands for the platform's null text as well.
    DialogBuilder(std::string_view title, int16_t cx, int16_t cy, uint32_t style, uint32_t exStyle,
                  uint16_t pointSize = kPointSize, std::string_view fontName = kFontName);

    // Queues one control; the id is written as its low 16 bits (-1 becomes 0xFFFF).
    void AddItem(uint32_t style, uint32_t exStyle, int32_t x, int32_t y, int32_t cx, int32_t cy, int32_t id,
                 uint16_t classAtom, std::string_view text);
    void Add(const Kind& kind, int32_t x, int32_t y, int32_t cx, int32_t cy, int32_t id, std::string_view text) {
        AddItem(kind.style, kind.exStyle, x, y, cx, cy, id, kind.atom, text);
    }

    // The whole template, little-endian, each control record on a 4-byte boundary counted from
    // the template's start.
    [[nodiscard]] std::vector<uint8_t> Build() const;

    // The text's UTF-16 code units and a zero unit. A U+0000 inside the text is dropped: it
    // would end the string early and shift every field after it, so the dialog manager would
    // read the rest of the template as garbage.
    static void WriteSz(std::vector<uint8_t>& out, std::string_view text);
    // Zero bytes up to the next multiple of 4.
    static void Align(std::vector<uint8_t>& out);

private:
    struct Item {
        std::string text;
        uint32_t style, exStyle;
        int32_t x, y, cx, cy, id;
        uint16_t atom;
    };
    std::vector<Item> items_;
    std::string title_;
    std::string fontName_;
    uint32_t style_, exStyle_;
    int16_t cx_, cy_;
    uint16_t pointSize_;
};

}  // namespace twr
