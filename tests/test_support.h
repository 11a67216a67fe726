#pragma once
// Shared by the native tests of every subsystem.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "app/log.h"
#include "app/platform.h"

namespace twr::testing {

// A fresh, empty folder under the temp directory, removed with everything in it on destruction.
// The name carries the process id, a counter and the running test's name, so parallel ctest
// runs and several folders in one test never meet.
class TempDir {
public:
    explicit TempDir(std::string_view prefix = "twr_test") {
        static std::atomic<unsigned> counter{0};
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(prefix) + "_" + std::to_string(platform::ProcessId()) + "_" +
                           std::to_string(counter++);
        if (info) name += std::string("_") + info->test_suite_name() + "_" + info->name();
        for (char& c : name)
            if (c == '/' || c == '\\') c = '_';
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }
    [[nodiscard]] std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline std::string ReadText(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void WriteText(const std::filesystem::path& p, std::string_view text) {
    std::ofstream(p, std::ios::binary) << text;
}

// Sends the diagnostic log to a file of its own while the object lives (in a scratch folder of its
// own, or the file given), so that its lines can be checked and no test writes into the user's log.
class LogCapture {
public:
    LogCapture() : dir_(std::in_place, "twr_log"), file_(*dir_ / "log.txt") { Log::SetPathForTesting(file_); }
    explicit LogCapture(std::filesystem::path file) : file_(std::move(file)) { Log::SetPathForTesting(file_); }
    ~LogCapture() { Log::SetPathForTesting({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const noexcept { return file_; }
    [[nodiscard]] std::string Text() const {
        std::error_code ec;
        return std::filesystem::exists(file_, ec) ? platform::ReadFileBytes(file_) : std::string();
    }
    void Clear() const {
        std::error_code ec;
        std::filesystem::remove(file_, ec);
    }
    // Whether some line ends with " - LEVEL - message"; with wholeLine false, whether one goes on
    // from there.
    [[nodiscard]] bool Has(std::string_view level, std::string_view message, bool wholeLine = true) const {
        const std::string needle =
            " - " + std::string(level) + " - " + std::string(message) + (wholeLine ? "\r\n" : "");
        return Text().find(needle) != std::string::npos;
    }

private:
    std::optional<TempDir> dir_;
    std::filesystem::path file_;
};

}  // namespace twr::testing
