#include <gtest/gtest.h>

#include "ui/update_dialog_text.h"

namespace twr {
namespace {

TEST(UpdateDialogText, NotesBecomeOneEntryPerLineWithoutBullets) {
    using Entries = std::vector<std::string>;
    const struct { const char* notes; Entries entries; } cases[] = {
        {"- hyphen\n* asterisk\nplain", {"hyphen", "asterisk", "plain"}},
        {"\n-\n*\n   \r\nkept\r\n", {"kept"}},
        {"    - indented bullet", {"indented bullet"}},
        {"-- double", {"- double"}},
        {"", {}},
        // Indentation and padding of any white space, and a zero width space that is none.
        {"\xC2\xA0- no-break\n\xE3\x80\x80*\xE2\x80\x83ideographic\xC2\xA0", {"no-break", "ideographic"}},
        {"\xC2\xA0\n\xE3\x80\x80\xE2\x80\x83\r\n", {}},
        {"\xE2\x80\x8B- zero width", {"\xE2\x80\x8B- zero width"}},
    };
    for (const auto& c : cases) EXPECT_EQ(UpdateDialogText::NoteEntries(c.notes), c.entries) << c.notes;
    EXPECT_EQ(UpdateDialogText::Intro("v2.2.4", "v3.0.0"),
              "There's an update available. You will be upgrading from version v2.2.4 to v3.0.0.");
}

}  // namespace
}  // namespace twr
