#pragma once
// The process entry: the update hand-over pre-pass, the leftover sweep, and the dispatch of
// the command line to one console tool or to the windowed run.
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace twr {

// What the command line asks for, decided by position alone.
struct CommandLine {
    // Set when "--finish-update" stands before the last argument; the id that follows it
    // (0 when it does not parse).
    std::optional<int> finishUpdatePid;
    // The first argument that is one of the console options, or empty for the windowed run.
    std::string tool;
    // For --selftest: the folder of reference recordings when one follows the option.
    std::optional<std::string> referenceFolder;
    // For --speech: any argument equals "say".
    bool say = false;
};

class Program {
public:
    static const std::vector<std::string>& ConsoleOptions();
    [[nodiscard]] static CommandLine Parse(const std::vector<std::string>& args);
    // A 32-bit signed integer with white space around it and a leading sign allowed;
    // nullopt when the text is anything else or out of range.
    [[nodiscard]] static std::optional<int> ParseInt32(const std::string& text);

    // The process entry; what it returns is the exit code. Windows build only.
    static int Main(const std::vector<std::string>& args);
    static int RunApp();
    // The windowed run's last resort: logs "Fatal error: " with the failure (any exception,
    // std or not), shows the error box naming the log file and gives the exit code 1.
    static int FatalBox(std::exception_ptr error) noexcept;
    // For callbacks the platform calls (dialog and window procedures), which must never let an
    // exception unwind through user32: the fatal path, then the process ends with exit code 1.
    [[noreturn]] static void FatalExit(std::exception_ptr error) noexcept;
    static bool AttachConsole(int processId);
    // The version line printed by --version.
    [[nodiscard]] static std::string VersionLine();

    // --speech: binds the controller client and reports it; with say, sends the test phrase.
    // 0 NVDA is running, 2 it is not, 1 no controller client is bound.
    static int SpeechCheck(bool say);
    // --config: the settings as this build reads them. 1 when there is no settings file, else 0.
    static int DumpConfig();
    // --sounds: renders every earcon of the catalogue and prints its length and peak. Always 0.
    static int ListSounds();
    // --devices: every endpoint with the id the settings store for it. 0, or 1 when the
    // enumeration failed (reported on standard error).
    static int ListDevices();
};

}  // namespace twr
