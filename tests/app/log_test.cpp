#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "app/log.h"
#include "app/platform.h"
#include "app/threads.h"

namespace twr {
namespace {

namespace fs = std::filesystem;

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("twr_log_test_" + std::to_string(platform::ProcessId()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = dir_ / "twr_diagnostic.log";
        Log::SetPathForTesting(path_);
    }
    void TearDown() override {
        Log::SetPathForTesting({});
        fs::remove_all(dir_);
    }
    static std::string Read(const fs::path& p) {
        std::ifstream f(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }
    static void WriteFile(const fs::path& p, const std::string& s) {
        std::ofstream f(p, std::ios::binary);
        f << s;
    }
    fs::path dir_, path_;
};

TEST_F(LogTest, LineFormExact) {
    EXPECT_EQ(Log::FormatLine(2026, 8, 26, 14, 3, 9, 125, "Writer", "WARNING", "x"),
              "2026-08-26 14:03:09,125 - Writer - WARNING - x\r\n");
    EXPECT_EQ(Log::FormatLine(2026, 1, 2, 3, 4, 5, 6, "T", "INFO", "a\r\nb"), "2026-01-02 03:04:05,006 - T - INFO - a\r\nb\r\n");
}

TEST_F(LogTest, UnnamedThreadsGetDistinctNumbers) {
    std::string a, b;
    std::thread([&] { a = CurrentThreadName(); }).join();
    std::thread([&] { b = CurrentThreadName(); }).join();
    EXPECT_TRUE(std::regex_match(a, std::regex("Thread-[0-9]+"))) << a;
    EXPECT_NE(a, b);
    std::thread([&] {
        SetCurrentThreadName("Reader1");
        Log::Info("hello");
    }).join();
    EXPECT_TRUE(std::regex_search(Read(path_), std::regex(" - Reader1 - INFO - hello\r\n$")));
}

TEST_F(LogTest, ErrorWithExceptionSpansLines) {
    Log::Error("Fatal error: boom", std::runtime_error("boom"));
    std::string s = Read(path_);
    EXPECT_NE(s.find(" - ERROR - Fatal error: boom\r\nstd::runtime_error: boom\r\n"), std::string::npos) << s;
}

TEST_F(LogTest, RotatesAtExactlyFiveMebibytes) {
    WriteFile(path_, std::string(Log::kRotateBytes - 1, 'x'));
    Log::Info("below");
    EXPECT_FALSE(fs::exists(dir_ / "twr_diagnostic.log.1"));
    WriteFile(path_, std::string(Log::kRotateBytes, 'x'));
    for (int i = 1; i <= 5; ++i) WriteFile(dir_ / ("twr_diagnostic.log." + std::to_string(i)), "old" + std::to_string(i));
    Log::Info("after");
    EXPECT_EQ(fs::file_size(dir_ / "twr_diagnostic.log.1"), Log::kRotateBytes);
    for (int i = 2; i <= 5; ++i)
        EXPECT_EQ(Read(dir_ / ("twr_diagnostic.log." + std::to_string(i))), "old" + std::to_string(i - 1));
    EXPECT_FALSE(fs::exists(dir_ / "twr_diagnostic.log.6"));
    std::string now = Read(path_);
    EXPECT_TRUE(std::regex_match(now, std::regex("[^\r\n]* - INFO - after\r\n"))) << now;
}

TEST_F(LogTest, FailuresAreSilentAndReadAllReportsThem) {
    EXPECT_EQ(Log::ReadAll().rfind("Failed to read log: Could not find file '", 0), 0u);
    Log::SetPathForTesting(dir_ / "missing-folder" / "twr_diagnostic.log");
    Log::Info("lost");  // must not throw
    EXPECT_FALSE(fs::exists(dir_ / "missing-folder"));
    Log::SetPathForTesting(path_);
    Log::Info("kept");
    EXPECT_NE(Log::ReadAll().find(" - INFO - kept\r\n"), std::string::npos);
}

TEST_F(LogTest, ReadAllLetsAByteOrderMarkDecideTheEncoding) {
    const struct {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"\xEF\xBB\xBFplain \xC3\xA9", "plain \xC3\xA9"},
        {std::string("\xFF\xFEo\0k\0\xE9\0", 8), "ok\xC3\xA9"},
        {"cut \xC3", "cut \xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        WriteFile(path_, c.bytes);
        EXPECT_EQ(Log::ReadAll(), c.text);
    }
}

}  // namespace
}  // namespace twr
