#include "recording/recovery_journal.h"

#include <cstdio>

#include "app/config.h"
#include "app/json.h"

namespace twr {

namespace fs = std::filesystem;

namespace {
fs::path TempPathOf(const fs::path& journalPath) {
    fs::path tmp = journalPath;
    tmp += ".tmp";
    return tmp;
}
}  // namespace

fs::path RecoveryJournal::PathFor(const fs::path& outputFolder) {
    if (outputFolder.empty()) return Config::AppDataDir() / kFileName;
    return outputFolder / kFileName;
}

std::string RecoveryJournal::SortableTime(const platform::LocalTime& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

std::string RecoveryJournal::ToText(const JournalEntry& entry) {
    JsonObject o;
    o.Set("session_id", entry.SessionId);
    o.Set("start_time", SortableTime(entry.StartTime));
    o.Set("sample_rate", entry.SampleRate);
    o.Set("channels", entry.Channels);
    o.Set("bit_depth", entry.BitDepth);
    o.Set("current_file", entry.CurrentFile);
    o.Set("frames_committed", entry.FramesCommitted);
    o.Set("last_flush", SortableTime(entry.LastFlush));
    o.Set("split_number", entry.SplitNumber);
    o.Set("clean_close", false);
    return o.ToJson(4);
}

void RecoveryJournal::Write(const fs::path& journalPath, const JournalEntry& entry) noexcept {
    const fs::path tmp = TempPathOf(journalPath);
    try {
        platform::WriteFileDurable(tmp, ToText(entry));
        platform::MoveReplace(tmp, journalPath);
    } catch (...) {
        // A lost drive or a full disk: the recording reports that elsewhere.
        try {
            platform::DeleteFileIfExists(tmp);
        } catch (...) {
        }
    }
}

void RecoveryJournal::Delete(const fs::path& journalPath) noexcept {
    try {
        platform::DeleteFileIfExists(journalPath);
    } catch (...) {
    }
    try {
        platform::DeleteFileIfExists(TempPathOf(journalPath));
    } catch (...) {
    }
}

}  // namespace twr
