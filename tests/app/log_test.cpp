#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "app/log.h"
#include "app/threads.h"
#include "test_support.h"

namespace twr {
namespace {

namespace fs = std::filesystem;
using testing::ReadText;
using testing::WriteText;

class LogTest : public ::testing::Test {
protected:
    fs::path Rotated(int n) const { return dir_ / ("twr_diagnostic.log." + std::to_string(n)); }

    testing::TempDir dir_;
    testing::LogCapture log_{dir_ / "twr_diagnostic.log"};
    const fs::path& path_ = log_.path();
};

TEST(LogLine, FormExact) {
    EXPECT_EQ(Log::FormatLine(2026, 8, 26, 14, 3, 9, 125, "Writer", "WARNING", "x"),
              "2026-08-26 14:03:09,125 - Writer - WARNING - x\r\n");
    EXPECT_EQ(Log::FormatLine(2026, 1, 2, 3, 4, 5, 6, "T", "INFO", "a\r\nb"),
              "2026-01-02 03:04:05,006 - T - INFO - a\r\nb\r\n");
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
    EXPECT_TRUE(std::regex_search(log_.Text(), std::regex(" - Reader1 - INFO - hello\r\n$")));
}

TEST_F(LogTest, ErrorWithExceptionSpansLines) {
    Log::Error("Fatal error: boom", std::runtime_error("boom"));
    EXPECT_TRUE(log_.Has("ERROR", "Fatal error: boom\r\nstd::runtime_error: boom")) << log_.Text();
}

TEST_F(LogTest, RotatesAtExactlyFiveMebibytes) {
    constexpr size_t kLimit = 5242880;
    WriteText(path_, std::string(kLimit - 1, 'x'));
    Log::Info("below");
    EXPECT_FALSE(fs::exists(Rotated(1)));
    WriteText(path_, std::string(kLimit, 'x'));
    for (int i = 1; i <= 5; ++i) WriteText(Rotated(i), "old" + std::to_string(i));
    Log::Info("after");
    EXPECT_EQ(fs::file_size(Rotated(1)), kLimit);
    for (int i = 2; i <= 5; ++i) EXPECT_EQ(ReadText(Rotated(i)), "old" + std::to_string(i - 1));
    EXPECT_FALSE(fs::exists(Rotated(6)));
    EXPECT_TRUE(std::regex_match(log_.Text(), std::regex("[^\r\n]* - INFO - after\r\n"))) << log_.Text();
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
    WriteText(path_, std::string("\xFF\xFEo\0k\0\xE9\0", 8));
    EXPECT_EQ(Log::ReadAll(), "ok\xC3\xA9");
}

}  // namespace
}  // namespace twr
