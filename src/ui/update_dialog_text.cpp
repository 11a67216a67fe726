#include "ui/update_dialog_text.h"

#include "app/unicode.h"

namespace twr {

std::string UpdateDialogText::Intro(std::string_view currentVersion, std::string_view newVersion) {
    return "There's an update available. You will be upgrading from version " + std::string(currentVersion) +
           " to " + std::string(newVersion) + ".";
}

std::vector<std::string> UpdateDialogText::NoteEntries(std::string_view notes) {
    std::vector<std::string> entries;
    for (;;) {
        const size_t lf = notes.find('\n');
        std::string_view line = unicode::TrimWhiteSpace(notes.substr(0, lf));
        if (!line.empty() && (line.front() == '-' || line.front() == '*'))
            line = unicode::TrimWhiteSpace(line.substr(1));
        if (!line.empty()) entries.emplace_back(line);
        if (lf == std::string_view::npos) break;
        notes.remove_prefix(lf + 1);
    }
    return entries;
}

}  // namespace twr
