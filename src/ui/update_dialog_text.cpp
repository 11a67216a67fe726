#include "ui/update_dialog_text.h"

namespace twr {

namespace {

std::string_view Trim(std::string_view s) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

std::string UpdateDialogText::Intro(std::string_view currentVersion, std::string_view newVersion) {
    return "There's an update available. You will be upgrading from version " + std::string(currentVersion) +
           " to " + std::string(newVersion) + ".";
}

std::vector<std::string> UpdateDialogText::NoteEntries(std::string_view notes) {
    std::vector<std::string> entries;
    for (;;) {
        const size_t lf = notes.find('\n');
        std::string_view line = Trim(notes.substr(0, lf));
        if (!line.empty() && (line.front() == '-' || line.front() == '*')) line = Trim(line.substr(1));
        if (!line.empty()) entries.emplace_back(line);
        if (lf == std::string_view::npos) break;
        notes.remove_prefix(lf + 1);
    }
    return entries;
}

}  // namespace twr
