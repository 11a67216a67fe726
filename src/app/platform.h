#pragma once
// The few operating-system services the portable code needs, with one implementation for
// Windows (platform_win.cpp) and one for the native test build (platform_posix.cpp).
// Text is UTF-8 everywhere in the program; paths cross into the platform as std::filesystem::path.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace twr::platform {

namespace fs = std::filesystem;

// UTF-8 text <-> path without passing through the ANSI code page on Windows.
[[nodiscard]] fs::path U8Path(std::string_view utf8);
[[nodiscard]] std::string PathText(const fs::path& path);

// The value of an environment variable, or nullopt when it is not set.
[[nodiscard]] std::optional<std::string> GetEnv(const char* name);
// The user's profile folder (USERPROFILE on Windows, HOME elsewhere).
[[nodiscard]] fs::path ProfileDir();
// The running executable's full path, or empty when the platform cannot name it.
[[nodiscard]] fs::path ExePath();
// The folder for temporary files.
[[nodiscard]] fs::path TempDir();
// The user's decimal separator, with the user's overrides of the locale; "." when the platform
// names none. Asked at each use, so a change in the regional settings shows at once.
[[nodiscard]] std::string DecimalSeparator();

// Creates the folder and its parents; throws IoError as the platform fails.
void CreateDirectories(const fs::path& dir);
[[nodiscard]] bool FileExists(const fs::path& path) noexcept;
[[nodiscard]] bool DirectoryExists(const fs::path& path) noexcept;
[[nodiscard]] std::optional<uint64_t> FileSize(const fs::path& path) noexcept;

// Appends bytes, creating the file when missing; the file is shared for read, write and
// delete while open and closed again before returning. Throws IoError.
void AppendToFile(const fs::path& path, std::string_view bytes);
// The whole file. Throws IoError with the platform's sentence (a missing file included).
[[nodiscard]] std::string ReadFileBytes(const fs::path& path);
// Creates or truncates the file, writes the bytes and forces them to the disk. Throws IoError.
void WriteFileDurable(const fs::path& path, std::string_view bytes);
// Moves a file over another one, replacing it; with writeThrough the move is on disk
// before the call returns. Throws IoError.
void MoveReplace(const fs::path& from, const fs::path& to, bool writeThrough = true);
void CopyFileReplace(const fs::path& from, const fs::path& to);
// Deletes the file when present. Throws IoError when it exists but cannot be deleted.
void DeleteFileIfExists(const fs::path& path);
// Free bytes available to the caller on the volume that holds the path, or nullopt.
[[nodiscard]] std::optional<uint64_t> FreeSpace(const fs::path& path) noexcept;

// Wall-clock local time broken down to the millisecond.
struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};
[[nodiscard]] LocalTime Now();
[[nodiscard]] LocalTime ToLocal(int64_t unixMillis);
[[nodiscard]] int64_t UnixMillisNow();
// A monotonic clock in seconds for measuring intervals; on Windows the performance counter, the clock
// of the capture times core audio gives.
[[nodiscard]] double MonotonicSeconds();

// Gives the current OS thread a name that debuggers and tools show.
void SetNativeThreadName(const std::string& name) noexcept;
[[nodiscard]] uint32_t ProcessId() noexcept;

}  // namespace twr::platform
