#pragma once
// What the update dialog shows, decided without a window so that the tests can read it.
#include <string>
#include <string_view>
#include <vector>

namespace twr {

struct UpdateDialogText {
    static constexpr int kIntro = 1501;
    static constexpr int kNotesLabel = 1502;
    static constexpr int kNotes = 1503;
    static constexpr int kUpdateNow = 1504;
    static constexpr int kDontUpdate = 1505;

    [[nodiscard]] static std::string Intro(std::string_view currentVersion, std::string_view newVersion);
    // One list entry per non-empty line, without its indentation and its bullet.
    [[nodiscard]] static std::vector<std::string> NoteEntries(std::string_view notes);
};

}  // namespace twr
