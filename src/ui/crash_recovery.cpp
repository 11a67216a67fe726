#include "ui/crash_recovery.h"

#include <algorithm>
#include <chrono>

#include "app/config.h"
#include "app/errors.h"
#include "app/json.h"
#include "app/log.h"
#include "app/platform.h"
#include "recording/recovery_journal.h"

namespace twr {

namespace fs = std::filesystem;

namespace {

void LogJournalFailure(const std::exception& e) {
    Log::Error("Failed to process recovery journal: " + std::string(e.what()), e);
}

// The journal's "current_file" ("" when absent). Throws for a journal that cannot be read or
// parsed, or that is too large to be one.
std::string ReadCurrentFile(RecoveryFiles& files, const fs::path& journal) {
    const std::string bytes = files.ReadPrefix(journal, CrashRecovery::kMaxJournalBytes);
    if (bytes.size() > CrashRecovery::kMaxJournalBytes)
        throw FormatError("The file '" + platform::PathText(journal) + "' is larger than " +
                          std::to_string(CrashRecovery::kMaxJournalBytes) + " bytes.");
    return JsonObject::ParseObject(DecodeFileText(bytes)).GetString("current_file", "");
}

// The journal with its ".tmp": a rewrite that a crash cut short would otherwise stay beside the
// recording after the journal is gone.
void DeleteJournal(RecoveryFiles& files, const fs::path& journal) {
    files.TryDelete(journal);
    files.TryDelete(RecoveryJournal::TempPathFor(journal));
}

// After a repair or "forget": the journal goes only while it still describes the recording that
// was offered. A recording started meanwhile in the same folder has rewritten it, and keeps it
// (and the ".tmp" it writes through).
void DeleteJournalIfStillFor(RecoveryFiles& files, const UnfinishedRecording& item) {
    if (!files.FileExists(item.Journal)) return;
    const std::string current = ReadCurrentFile(files, item.Journal);
    if (current != item.Recording) {
        Log::Info("Recovery journal kept: it now names " + current);
        return;
    }
    DeleteJournal(files, item.Journal);
}

class SystemRecoveryFiles final : public RecoveryFiles {
public:
    bool FileExists(const fs::path& path) override { return platform::FileExists(path); }
    bool DirectoryExists(const fs::path& path) override { return platform::DirectoryExists(path); }

    std::vector<Folder> Subfolders(const fs::path& dir) override {
        std::vector<Folder> out;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (!entry.is_directory()) continue;
            // Microseconds fit 64 bits from any clock's epoch; some libraries count the file
            // clock's nanoseconds in 128.
            const auto since = entry.last_write_time().time_since_epoch();
            out.push_back({entry.path(),
                           static_cast<int64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since).count())});
        }
        return out;
    }

    std::string ReadPrefix(const fs::path& path, size_t maxBytes) override {
        return CrashRecovery::ReadFilePrefix(path, maxBytes + 1);
    }
    bool IsInUse(const fs::path& path) override { return CrashRecovery::IsInUse(path); }
    void TryDelete(const fs::path& path) noexcept override { CrashRecovery::TryDelete(path); }
};

}  // namespace

RecoveryFiles& CrashRecovery::SystemFiles() {
    static SystemRecoveryFiles files;
    return files;
}

void CrashRecovery::TryDelete(const fs::path& path) noexcept {
    try {
        platform::DeleteFileIfExists(path);
    } catch (...) {
    }
}

std::vector<UnfinishedRecording> CrashRecovery::FindUnfinishedRecordings(const Config& config) {
    fs::path appData, saveFolder;
    try {
        appData = Config::AppDataDir();
    } catch (const std::exception&) {
        // No application-data folder: no journal can lie there either.
    }
    try {
        saveFolder = config.SaveFolder();
    } catch (const std::exception&) {
    }
    return FindUnfinishedRecordings(SystemFiles(), appData, saveFolder);
}

std::vector<UnfinishedRecording> CrashRecovery::FindUnfinishedRecordings(RecoveryFiles& files,
                                                                         const fs::path& appDataDir,
                                                                         const fs::path& saveFolder) {
    std::vector<fs::path> candidates;
    if (!appDataDir.empty()) candidates.push_back(appDataDir / kJournalName);
    if (!saveFolder.empty() && files.DirectoryExists(saveFolder)) {
        candidates.push_back(saveFolder / kJournalName);
        // Grouped splits live in subfolders; only the newest few can hold a recording that was
        // running when the program died.
        try {
            auto folders = files.Subfolders(saveFolder);
            std::stable_sort(folders.begin(), folders.end(),
                             [](const auto& a, const auto& b) { return a.LastWriteUtc > b.LastWriteUtc; });
            if (folders.size() > kNewestSubfolders) folders.resize(kNewestSubfolders);
            for (const auto& f : folders) candidates.push_back(f.Path / kJournalName);
        } catch (...) {
            // A folder that cannot be listed only narrows the search.
        }
    }

    std::vector<UnfinishedRecording> found;
    std::vector<fs::path> seen;
    for (const fs::path& journal : candidates) {
        // A save folder set to the application-data folder names the same journal twice; it is
        // offered once.
        const fs::path normal = journal.lexically_normal();
        if (std::find(seen.begin(), seen.end(), normal) != seen.end()) continue;
        seen.push_back(normal);
        try {
            if (!files.FileExists(journal)) continue;
            const std::string recording = ReadCurrentFile(files, journal);
            if (recording.empty() || !files.FileExists(platform::U8Path(recording))) {
                DeleteJournal(files, journal);
                continue;
            }
            if (files.IsInUse(platform::U8Path(recording))) {
                Log::Info("Skipping recovery prompt: " + recording +
                          " is still open, so a recording is in progress.");
                continue;
            }
            found.push_back({journal, recording});
        } catch (const std::exception& e) {
            LogJournalFailure(e);
        }
    }
    return found;
}

void CrashRecovery::PromptRepairs(RepairPrompter& prompter, RecoveryFiles& files,
                                  const std::vector<UnfinishedRecording>& list) {
    for (const UnfinishedRecording& item : list) {
        try {
            switch (prompter.Ask(item.Recording)) {
                case kRepair:
                    if (prompter.Repair(item.Recording)) {
                        prompter.Message("The audio file was successfully repaired and should now be playable.",
                                         "Repair Successful", kInformation);
                        DeleteJournalIfStillFor(files, item);
                    } else {
                        // The journal stays, so the question comes again at the next start.
                        prompter.Message(
                            "Could not repair the audio file. It may be too corrupted or not a valid recording.",
                            "Repair Failed", kWarning);
                    }
                    break;
                case kForget:
                    DeleteJournalIfStillFor(files, item);
                    break;
                default:
                    break;
            }
        } catch (const std::exception& e) {
            LogJournalFailure(e);
        }
    }
}

}  // namespace twr
