#pragma once
// The crash-recovery prompt: at start-up the main window looks for recovery journals left by a
// recording that was never finalized (`FindUnfinishedRecordings`) and, last in its start-up,
// offers each one for repair (`PromptRepairs`). Portable: the file system and the dialogs are
// reached through seams, so the scan order, its limits and the journal's fate after each answer
// are tested natively; the Windows dialog is `RepairDialog` (repair_dialog_win.h).
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace twr {

class Config;

struct UnfinishedRecording {
    std::filesystem::path Journal;
    // The journal's "current_file" as it stands there (UTF-8).
    std::string Recording;
};

// The file-system calls of the scan and the prompt.
class RecoveryFiles {
public:
    struct Folder {
        std::filesystem::path Path;
        int64_t LastWriteUtc = 0;  // any unit that orders by time
    };
    virtual ~RecoveryFiles() = default;
    [[nodiscard]] virtual bool FileExists(const std::filesystem::path& path) = 0;
    [[nodiscard]] virtual bool DirectoryExists(const std::filesystem::path& path) = 0;
    // The folders directly inside dir; throws when they cannot be listed.
    [[nodiscard]] virtual std::vector<Folder> Subfolders(const std::filesystem::path& dir) = 0;
    // The first maxBytes + 1 bytes of the file at most (so a longer file shows as longer);
    // throws IoError with the platform's sentence.
    [[nodiscard]] virtual std::string ReadPrefix(const std::filesystem::path& path, size_t maxBytes) = 0;
    [[nodiscard]] virtual bool IsInUse(const std::filesystem::path& path) = 0;
    virtual void TryDelete(const std::filesystem::path& path) noexcept = 0;
};

// What the prompt shows and does to the recording.
class RepairPrompter {
public:
    virtual ~RepairPrompter() = default;
    // The repair dialog for this recording: 1 repair, 0 leave it, 2 forget the journal. Throws
    // when the dialog cannot be shown.
    [[nodiscard]] virtual int Ask(const std::string& recording) = 0;
    [[nodiscard]] virtual bool Repair(const std::string& recording) = 0;
    virtual void Message(const std::string& text, const std::string& caption, uint32_t flags) = 0;
};

class CrashRecovery {
public:
    static constexpr const char* kJournalName = "active_recording.json";
    // A journal is a few hundred bytes; anything past this is not one and is not read whole.
    static constexpr size_t kMaxJournalBytes = 1u << 20;
    static constexpr size_t kNewestSubfolders = 5;
    static constexpr int kRepair = 1, kLeave = 0, kForget = 2;
    static constexpr uint32_t kInformation = 0x40, kWarning = 0x30;

    // The journals that name an existing recording no other process holds open, in scan order:
    // the application-data folder, the save folder, then its five newest subfolders. A journal
    // that names nothing is deleted; a held recording is logged and skipped; a journal that
    // cannot be read is logged and kept. Never throws.
    [[nodiscard]] static std::vector<UnfinishedRecording> FindUnfinishedRecordings(const Config& config);
    [[nodiscard]] static std::vector<UnfinishedRecording> FindUnfinishedRecordings(
        RecoveryFiles& files, const std::filesystem::path& appDataDir, const std::filesystem::path& saveFolder);

    // Offers each recording in a modal RepairDialog over owner (the main window) and acts on the
    // answer. Windows build only. Never throws.
    static void PromptRepairs(void* owner, const std::vector<UnfinishedRecording>& list);
    static void PromptRepairs(RepairPrompter& prompter, RecoveryFiles& files,
                              const std::vector<UnfinishedRecording>& list);

    // True when another process holds the file open: it opens for reading shared with nobody.
    // A missing file or folder, access denied, or a successful open give false; any other
    // failure (a sharing violation) gives true.
    [[nodiscard]] static bool IsInUse(const std::filesystem::path& path);
    // Deletes a file; every failure is swallowed.
    static void TryDelete(const std::filesystem::path& path) noexcept;
    // Up to limit bytes from the start of the file, read shared with a writer. Throws IoError.
    [[nodiscard]] static std::string ReadFilePrefix(const std::filesystem::path& path, size_t limit);

    // The real file system.
    [[nodiscard]] static RecoveryFiles& SystemFiles();
};

}  // namespace twr
