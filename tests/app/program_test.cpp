#include <gtest/gtest.h>

#include "app/program.h"

namespace twr {
namespace {

using Args = std::vector<std::string>;

TEST(ProgramParse, ToolIsChosenByPositionNotPrecedence) {
    const struct { Args args; std::string tool; } cases[] = {
        {{}, ""}, {{"--sounds", "--config"}, "--sounds"}, {{"--config", "--sounds"}, "--config"},
        {{"x", "y", "--version"}, "--version"}, {{"--CONFIG"}, ""}, {{"-config"}, ""}, {{"--config=1"}, ""},
        {{"--finish-update", "12", "--config"}, "--config"}, {{"--checkupdate", "--update"}, "--checkupdate"},
    };
    for (const auto& c : cases) EXPECT_EQ(Program::Parse(c.args).tool, c.tool) << ::testing::PrintToString(c.args);
}

TEST(ProgramParse, FinishUpdatePrePass) {
    EXPECT_FALSE(Program::Parse({"a", "--finish-update"}).finishUpdatePid);  // last: never examined
    EXPECT_EQ(Program::Parse({"--finish-update", "4242"}).finishUpdatePid, 4242);
    EXPECT_EQ(Program::Parse({"--finish-update", "nonsense", "--config"}).finishUpdatePid, 0);
    EXPECT_EQ(Program::Parse({"--finish-update", " +17 "}).finishUpdatePid, 17);
    // Only the first occurrence counts.
    EXPECT_EQ(Program::Parse({"--finish-update", "1", "--finish-update", "2"}).finishUpdatePid, 1);
}

TEST(ProgramParse, Int32Rules) {
    const struct { const char* text; std::optional<int> value; } cases[] = {
        {"0", 0}, {"-1", -1}, {"+5", 5}, {"  42\t", 42}, {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1}, {"2147483648", std::nullopt}, {"-2147483649", std::nullopt},
        {"", std::nullopt}, {" ", std::nullopt}, {"-", std::nullopt}, {"1 2", std::nullopt},
        {"0x10", std::nullopt}, {"1.0", std::nullopt}, {"99999999999999999999999", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(Program::ParseInt32(c.text), c.value) << c.text;
}

TEST(ProgramParse, SelfTestFolderAndSay) {
    EXPECT_EQ(Program::Parse({"--selftest", "C:\\refs"}).referenceFolder, "C:\\refs");
    EXPECT_EQ(Program::Parse({"--selftest", ""}).referenceFolder, "");
    EXPECT_FALSE(Program::Parse({"--selftest", "-x"}).referenceFolder);
    EXPECT_FALSE(Program::Parse({"--config", "--selftest"}).referenceFolder);
    // "say" is looked for anywhere, spelled exactly.
    EXPECT_TRUE(Program::Parse({"say", "--speech"}).say);
    EXPECT_TRUE(Program::Parse({"--speech", "say"}).say);
    EXPECT_FALSE(Program::Parse({"--speech", "SAY"}).say);
}

}  // namespace
}  // namespace twr
