#pragma once
// The recovery journal "active_recording.json": a small JSON file beside the recording in
// progress that names the file and how far it got, so that the next start can offer to repair
// it after a crash. Written only through "<journal>.tmp" and a replacing move, so a reader sees
// the previous complete journal or the new one, never a partial one. Portable.
#include <cstdint>
#include <filesystem>
#include <string>

#include "app/platform.h"

namespace twr {

struct JournalEntry {
    std::string SessionId;
    platform::LocalTime StartTime{};
    int SampleRate = 0;
    int Channels = 0;
    int BitDepth = 0;
    std::string CurrentFile;
    int64_t FramesCommitted = 0;
    platform::LocalTime LastFlush{};
    int SplitNumber = 1;
};

class RecoveryJournal {
public:
    static constexpr const char* kFileName = "active_recording.json";

    // outputFolder joined with the file name; the application-data folder when it is empty.
    [[nodiscard]] static std::filesystem::path PathFor(const std::filesystem::path& outputFolder);
    // Local date and time in the sortable form 2024-01-05T09:30:00.
    [[nodiscard]] static std::string SortableTime(const platform::LocalTime& t);
    // The journal text: indented JSON, members in their fixed order, "clean_close" false.
    [[nodiscard]] static std::string ToText(const JournalEntry& entry);
    // Writes the journal through ".tmp" and a replacing move. Every failure is swallowed: the
    // recording goes on; a ".tmp" left by a failed write is removed when possible.
    static void Write(const std::filesystem::path& journalPath, const JournalEntry& entry) noexcept;
    // Deletes the journal (and a stray ".tmp") when present; failures are swallowed.
    static void Delete(const std::filesystem::path& journalPath) noexcept;
};

}  // namespace twr
