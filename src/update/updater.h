#pragma once
// The self-updater: asks the release feed whether a newer build exists, offers it, downloads
// it, refuses anything its published SHA-256 does not confirm, swaps it in for the running
// executable, restarts, and lets the new process finish the hand-over and sweep leftovers.
//
// The logic is portable; every effect on the world goes through Services (the network, the
// files beside the executable, processes, the digest, speech and message boxes), so the whole
// sequence and each of its failure points are tested natively. updater_win.cpp supplies the
// real services.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace twr {

// A window handle (HWND converts to it); nullptr means the console.
using WindowHandle = void*;

// One newer release, built only by Updater::Check and never changed afterwards.
struct UpdateInfo {
    std::string Tag;
    std::string DownloadUrl;
    std::string Notes;                  // cleaned, lines joined with LF; "" when there are none
    std::optional<std::string> Sha256;  // 64 upper-case hex digits, or none
    int64_t Size = 0;
};

class Updater {
public:
    static constexpr unsigned kErrorIcon = 0x10;
    static constexpr unsigned kInfoIcon = 0x40;
    static constexpr int kFeedTimeoutSeconds = 30;
    static constexpr int kDownloadTimeoutSeconds = 120;
    static constexpr size_t kMinimumDownloadBytes = 1024;
    static constexpr int kFinishWaitMillis = 15000;
    static constexpr int kSweepTries = 20;
    static constexpr int kSweepPauseMillis = 250;

    // Everything the updater does to the world outside its own logic.
    struct Services {
        // Http::Get: the body of a 2xx response; throws on anything else.
        std::function<std::string(const std::string& url, int timeoutSeconds, uint64_t maxBytes)> get;
        // The SHA-256 of the bytes as 64 upper-case hexadecimal digits.
        std::function<std::string(std::string_view bytes)> sha256;
        std::function<std::filesystem::path()> exePath;
        std::function<bool(const std::filesystem::path&)> fileExists;
        std::function<bool(const std::filesystem::path&)> directoryExists;
        // Names of the files (not folders) directly in the folder. Throws when it cannot list.
        std::function<std::vector<std::string>(const std::filesystem::path&)> listFiles;
        // Creates or truncates, writes and flushes to the disk. Throws.
        std::function<void(const std::filesystem::path&, std::string_view)> writeDurable;
        std::function<std::string(const std::filesystem::path&)> readBytes;
        // Moves without replacing an existing target, on disk before it returns. Throws.
        std::function<void(const std::filesystem::path& from, const std::filesystem::path& to)> move;
        // Deletes an existing file. Throws.
        std::function<void(const std::filesystem::path&)> deleteFile;
        // Starts the executable directly with the arguments and working folder; does not wait.
        std::function<void(const std::filesystem::path& exe, const std::string& arguments,
                           const std::filesystem::path& folder)>
            startProcess;
        // Ends this process; does not return in the product.
        std::function<void(int exitCode)> exitProcess;
        std::function<uint32_t()> processId;
        // Waits for the process to end, at most the given time; throws when it cannot be found.
        std::function<void(uint32_t processId, int millis)> waitForExit;
        std::function<void(int millis)> sleep;
        std::function<void(std::string_view text)> speak;
        std::function<void(WindowHandle owner, const std::string& text, const std::string& caption,
                           unsigned flags)>
            messageBox;
        // The update dialog: 1 to update now, 0 not now.
        std::function<int(WindowHandle owner, const std::string& current, const std::string& tag,
                          const std::string& notes)>
            showDialog;
        std::function<void(std::string_view line)> writeLine;
        std::function<void(std::string_view line)> errorLine;
        // The current culture's digit-group separator.
        std::function<std::string()> groupSeparator;
    };
    // The real services of this build.
    [[nodiscard]] static Services HostServices();
    // Replaces the services (tests); an empty optional goes back to the host's.
    static void SetServicesForTesting(std::optional<Services> services);

    // The window's gate: true while something (a recording) must not be ended by a restart.
    // Asked before the download and before the swap. The main window installs it.
    static inline std::function<bool()> BusyCheck;
    // True from the moment an offer is shown until it is refused or the update fails: while it
    // holds, the main window starts no recording that the update would end a moment later.
    [[nodiscard]] static bool InProgress() noexcept { return inProgress_.load(); }

    // ---- The check ------------------------------------------------------------------------
    [[nodiscard]] static std::string ArchSuffix();
    [[nodiscard]] static std::filesystem::path ExePath();
    [[nodiscard]] static std::string FeedUrl();
    [[nodiscard]] static std::string ReleasePageUrl();
    [[nodiscard]] static std::vector<int> ParseVersion(std::string_view text);
    [[nodiscard]] static int CompareVersions(std::string_view a, std::string_view b);
    // The newer release, or none; throws on network and feed errors.
    [[nodiscard]] static std::optional<UpdateInfo> Check();
    [[nodiscard]] static std::optional<std::string> FindHashFor(std::string_view text, std::string_view needle);
    [[nodiscard]] static bool IsHex(std::string_view text) noexcept;
    [[nodiscard]] static std::string CleanNotes(std::string_view text);
    // The start-up check of the "UpdateCheck" thread: never raises, never shows anything.
    [[nodiscard]] static std::optional<UpdateInfo> CheckQuietly() noexcept;
    // The user's "Check for Updates Now" on the interface thread.
    static void CheckNow(WindowHandle owner);
    static void Report(WindowHandle owner, const std::string& text, const std::string& caption, unsigned flags);
    // --checkupdate: 0 up to date, 10 update available, 1 error.
    [[nodiscard]] static int CheckHeadless();
    // Digits of a non-negative count with the separator between each group of three.
    [[nodiscard]] static std::string GroupDigits(int64_t value, std::string_view separator);

    // ---- Installing -----------------------------------------------------------------------
    // Shows the update dialog on the interface thread and installs when the user agrees.
    static void Offer(WindowHandle owner, const UpdateInfo& info);
    // Returns only when the update was refused or failed; on success the process ends with 0.
    static void Apply(WindowHandle owner, const UpdateInfo& info, const std::string& restartArguments);
    // "--finish-update", the id and the restart arguments, trimmed.
    [[nodiscard]] static std::string HandOverArguments(uint32_t processId, std::string_view restartArguments);
    // Completes the hand-over from the process being replaced; handles its own failures.
    static void FinishUpdate(int processId) noexcept;
    // The number of leftover files that remain undeleted.
    static int CleanupLeftovers(const std::filesystem::path& folder) noexcept;
    // Sweeps what an earlier update left beside the executable; handles its own failures.
    static int CleanupOnStartup() noexcept;
    // True when the file is gone afterwards or never existed.
    static bool TryDelete(const std::filesystem::path& path) noexcept;
    // --update: 0 already up to date, 1 refused or failed.
    [[nodiscard]] static int UpdateHeadless();

private:
    static const Services& Current();
    static inline std::atomic<bool> inProgress_{false};
};

}  // namespace twr
