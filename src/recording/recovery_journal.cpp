#include "recording/recovery_journal.h"

#include <cstdio>

#include "app/config.h"
#include "app/json.h"
#include "app/threads.h"

namespace twr {

namespace fs = std::filesystem;

fs::path RecoveryJournal::TempPathFor(const fs::path& journalPath) {
    fs::path tmp = journalPath;
    tmp += ".tmp";
    return tmp;
}

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
    const fs::path tmp = TempPathFor(journalPath);
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
        platform::DeleteFileIfExists(TempPathFor(journalPath));
    } catch (...) {
    }
}

JournalWriter::JournalWriter(WriteFn write) : write_(std::move(write)) {
    try {
        thread_ = StartNamedThread("Journal", [this] { Run(); });
    } catch (...) {
        // Without a thread the journal is still kept, only on the writer's time.
    }
}

JournalWriter::~JournalWriter() { Finish(true); }

void JournalWriter::Post(JournalEntry entry) {
    if (!thread_.joinable()) {
        WriteQuietly(entry);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        pending_ = std::move(entry);
    }
    wake_.notify_one();
}

void JournalWriter::Finish(bool writePending) noexcept {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
        if (!writePending) pending_.reset();
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        try {
            thread_.join();
        } catch (...) {
        }
    }
}

void JournalWriter::Run() noexcept {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return pending_.has_value() || ending_; });
        if (!pending_) return;
        JournalEntry entry = std::move(*pending_);
        pending_.reset();
        lock.unlock();
        WriteQuietly(entry);
        lock.lock();
    }
}

void JournalWriter::WriteQuietly(const JournalEntry& entry) noexcept {
    try {
        write_(entry);
    } catch (...) {
    }
}

}  // namespace twr
