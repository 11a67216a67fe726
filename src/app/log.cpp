#include "app/log.h"

#include <cstdio>
#include <mutex>
#include <optional>

#include "app/config.h"
#include "app/errors.h"
#include "app/json.h"
#include "app/platform.h"
#include "app/threads.h"

namespace twr {

namespace fs = std::filesystem;

namespace {

// Detached threads may still log while the process ends: the log's state is never destroyed,
// so no static destructor can pull it from under them.
std::mutex& Lock() {
    static auto* m = new std::mutex;
    return *m;
}

struct PathState {
    std::mutex lock;
    std::optional<fs::path> path;
};

PathState& Paths() {
    static auto* state = new PathState;
    return *state;
}

fs::path Numbered(const fs::path& base, int i) {
    fs::path p = base;
    p += "." + std::to_string(i);
    return p;
}

void Rotate(const fs::path& path) {
    try {
        auto size = platform::FileSize(path);
        if (!size || *size < Log::kRotateBytes) return;
        platform::DeleteFileIfExists(Numbered(path, Log::kKeptFiles));
        for (int i = Log::kKeptFiles - 1; i >= 1; --i) {
            fs::path from = Numbered(path, i);
            if (platform::FileExists(from)) platform::MoveReplace(from, Numbered(path, i + 1), false);
        }
        platform::MoveReplace(path, Numbered(path, 1), false);
    } catch (...) {
        // A failed rotation still lets the line be appended; the file grows until a later one works.
    }
}

}  // namespace

fs::path Log::FilePath() noexcept {
    auto& paths = Paths();
    std::lock_guard<std::mutex> g(paths.lock);
    if (paths.path) return *paths.path;
    try {
        paths.path = Config::AppDataDir() / "twr_diagnostic.log";
        return *paths.path;
    } catch (...) {
        // The folder could not be created: the path still names where the log would be,
        // and every write to it fails quietly.
        try {
            return Config::AppDataPathUnchecked() / "twr_diagnostic.log";
        } catch (...) {
            return fs::path("twr_diagnostic.log");
        }
    }
}

void Log::SetPathForTesting(const fs::path& path) {
    auto& paths = Paths();
    std::lock_guard<std::mutex> g(paths.lock);
    if (path.empty()) paths.path.reset();
    else paths.path = path;
}

std::string Log::FormatLine(int year, int month, int day, int hour, int minute, int second, int millisecond,
                            std::string_view thread, std::string_view level, std::string_view message) {
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d,%03d", year, month, day, hour, minute,
                  second, millisecond);
    std::string line;
    line.reserve(64 + message.size());
    line.append(stamp).append(" - ").append(thread).append(" - ").append(level).append(" - ");
    line.append(message).append("\r\n");
    return line;
}

void Log::Write(std::string_view level, std::string_view message) noexcept {
    try {
        auto t = platform::Now();
        std::string line = FormatLine(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond,
                                      CurrentThreadName(), level, message);
        fs::path path = FilePath();
        std::lock_guard<std::mutex> g(Lock());
        Rotate(path);
        platform::AppendToFile(path, line);
    } catch (...) {
    }
}

void Log::Error(std::string_view message, const std::exception& e) noexcept {
    try {
        std::string text(message);
        text += "\r\n";
        text += FullText(e);
        Write("ERROR", text);
    } catch (...) {
    }
}

std::string Log::ReadAll() noexcept {
    try {
        fs::path path = FilePath();
        std::string bytes;
        {
            std::lock_guard<std::mutex> g(Lock());
            bytes = platform::ReadFileBytes(path);
        }
        return DecodeFileText(bytes);
    } catch (const std::exception& e) {
        return std::string("Failed to read log: ") + e.what();
    } catch (...) {
        return "Failed to read log: unknown error";
    }
}

}  // namespace twr
