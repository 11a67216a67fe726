#pragma once
// The diagnostic log: one line per call, from any thread, rotated at 5 MiB into five older
// files. Logging never raises: a line that cannot be written is lost silently.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

namespace twr {

class Log {
public:
    static constexpr uint64_t kRotateBytes = 5242880;
    static constexpr int kKeptFiles = 5;

    // Full path of the current log file; the first read creates the application-data folder.
    // Never throws: when the folder cannot be named or created the path is still returned.
    static std::filesystem::path FilePath() noexcept;
    static void Write(std::string_view level, std::string_view message) noexcept;
    static void Info(std::string_view message) noexcept { Write("INFO", message); }
    static void Warn(std::string_view message) noexcept { Write("WARNING", message); }
    static void Error(std::string_view message) noexcept { Write("ERROR", message); }
    static void Error(std::string_view message, const std::exception& e) noexcept;
    // The whole current log, or "Failed to read log: " and the reason.
    static std::string ReadAll() noexcept;

    // The one line as written for the given moment and thread (CR LF included).
    static std::string FormatLine(int year, int month, int day, int hour, int minute, int second,
                                  int millisecond, std::string_view thread, std::string_view level,
                                  std::string_view message);
    // Points the log somewhere else (tests); an empty path goes back to the default.
    static void SetPathForTesting(const std::filesystem::path& path);
};

}  // namespace twr
