#pragma once
// The recovery journal "active_recording.json": a small JSON file beside the recording in
// progress that names the file and how far it got, so that the next start can offer to repair
// it after a crash. Written only through "<journal>.tmp" and a replacing move, so a reader sees
// the previous complete journal or the new one, never a partial one. Portable.
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

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
    // "<journal>.tmp": the rewrite under way, or one a crash cut short. Whatever ends a journal
    // removes it too, or it stays beside the recording for good.
    [[nodiscard]] static std::filesystem::path TempPathFor(const std::filesystem::path& journalPath);
};

// Writes the journal on its own "Journal" thread. Forcing the journal to the disk can take seconds
// on a slow or failing drive, and the writer that hands it the state must go on draining the input
// queues meanwhile. Only the newest state matters to a repair, so a state handed over while an
// older one waits replaces it; a write under way is never cut short.
class JournalWriter {
public:
    using WriteFn = std::function<void(const JournalEntry&)>;

    // Starts the thread; if the platform refuses one, Post writes on the caller's thread instead.
    explicit JournalWriter(WriteFn write);
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;
    // Ends the thread as Finish(true) does.
    ~JournalWriter();

    void Post(JournalEntry entry);
    // Ends and joins the thread after the write under way. The state still waiting is written
    // first when writePending is set (the journal is to stay), or dropped (it is to be deleted).
    void Finish(bool writePending) noexcept;

private:
    void Run() noexcept;
    void WriteQuietly(const JournalEntry& entry) noexcept;

    const WriteFn write_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<JournalEntry> pending_;
    bool ending_ = false;
    std::thread thread_;
};

}  // namespace twr
