#include <gtest/gtest.h>

#include "app/version.h"
#include "test_support.h"
#include "update/fake_update_world.h"
#include "update/updater.h"

namespace twr {
namespace {

using testing::FakeUpdateWorld;
using testing::LogCapture;
using testing::UpdateWorldScope;

TEST(UpdaterVersions, ParseAndCompare) {
    EXPECT_EQ(Updater::ParseVersion("v3.4.5"), (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(Updater::ParseVersion("  V4-beta.x.99999999999 "), (std::vector<int>{4, 0, 0}));
    EXPECT_EQ(Updater::ParseVersion(""), (std::vector<int>{0}));
    EXPECT_EQ(Updater::ParseVersion("1..2"), (std::vector<int>{1, 0, 2}));
    EXPECT_EQ(Updater::ParseVersion("\xC2\xA0v3.4.5\xE3\x80\x80"), (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(Updater::ParseVersion("\xE2\x80\x83\xE2\x80\x83"), (std::vector<int>{0}));
    // A zero width space is no white space: the tag then does not start with "v".
    EXPECT_EQ(Updater::ParseVersion("\xE2\x80\x8Bv3.4"), (std::vector<int>{0, 4}));
    const struct { const char* a; const char* b; int result; } cases[] = {
        {"v1.10.0", "v1.9.0", 1}, {"v2.0.0", "v2.0.0", 0}, {"v2.0.1", "v2.0.0", 1}, {"v1.9.9", "v2.0.0", -1},
        {"2.1", "v2.0.5", 1},     {"v2.0", "v2.0.0", 0},   {"garbage", "v0.0.1", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Updater::CompareVersions(c.a, c.b), c.result) << c.a << " vs " << c.b;
        EXPECT_EQ(Updater::CompareVersions(c.b, c.a), -c.result) << c.b << " vs " << c.a;
    }
}

TEST(UpdaterChecksums, FindHashFor) {
    const std::string a(64, 'A'), b(64, 'B'), lower(64, 'c');
    const std::string sums = a + "  Tapewright-win-arm64.exe\n" + b + "  Tapewright-win-x64.exe";
    const struct { std::string text; const char* needle; std::optional<std::string> hash; } cases[] = {
        {sums, "win-arm64", a},
        {sums, "WIN-X64", b},
        {sums, "win-x86", std::nullopt},
        {"", "win-x64", std::nullopt},
        {"not a checksum line", "win-x64", std::nullopt},
        {lower + "\tTapewright-win-x64.exe\r\n", "win-x64", std::string(64, 'C')},
        {std::string(63, 'd') + " Tapewright-win-x64.exe padding padding padding", "win-x64", std::nullopt},
        {std::string(65, 'd') + " Tapewright-win-x64.exe", "win-x64", std::nullopt},
        // A line without a usable hash does not end the search.
        {std::string(64, 'g') + " Tapewright-win-x64.exe\n" + b + " Tapewright-win-x64.exe", "win-x64", b},
        // Lines padded with no-break, ideographic or em spaces.
        {"\xC2\xA0" + a + "  Tapewright-win-x64.exe\xE3\x80\x80", "win-x64", a},
        {"\xE2\x80\x83" + lower + "\xC2\xA0 Tapewright-win-x64.exe", "win-x64", std::string(64, 'C')},
        {"\xE2\x80\x8B" + a + " Tapewright-win-x64.exe", "win-x64", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(Updater::FindHashFor(c.text, c.needle), c.hash) << c.text;
    EXPECT_TRUE(Updater::IsHex(""));
    EXPECT_FALSE(Updater::IsHex("12g"));
}

TEST(UpdaterNotes, CleanNotesDropsMarkupAndEmptyLines) {
    EXPECT_EQ(Updater::CleanNotes("## Heading\n- Fixed **a thing**\n\n* Added `stuff`\n"),
              "Heading\nFixed a thing\nAdded stuff");
    EXPECT_EQ(Updater::CleanNotes("  -  indented\r\n#\r\n- \r\n"), "indented");
    EXPECT_EQ(Updater::CleanNotes(""), "");
    EXPECT_EQ(Updater::CleanNotes("\xC2\xA0-\xE2\x80\x83indented\xE3\x80\x80\n\xC2\xA0\xE3\x80\x80\n- \xC2\xA0\n"),
              "indented");
    EXPECT_EQ(Updater::CleanNotes("\xE2\x80\x8B- kept"), "\xE2\x80\x8B- kept");
}

// A feed as the release host publishes it, with the assets given.
std::string Feed(const std::string& tag, const std::string& assets, const std::string& body = "- one\\n- two") {
    return "{\"tag_name\": \"" + tag + "\", \"body\": \"" + body + "\", \"assets\": [" + assets + "]}";
}
std::string Asset(const std::string& name, const std::string& url, int64_t size = 5) {
    return "{\"name\": \"" + name + "\", \"browser_download_url\": \"" + url + "\", \"size\": " +
           std::to_string(size) + "}";
}

class UpdaterCheck : public ::testing::Test {
protected:
    FakeUpdateWorld world;
    LogCapture log;
    void Publish(const std::string& feed, const std::string& sums = "") {
        world.web[Updater::FeedUrl()] = feed;
        if (!sums.empty()) world.web["https://dl/sums"] = sums;
    }
};

TEST_F(UpdaterCheck, NoNewerReleaseYieldsNoneWithoutFetchingAssets) {
    UpdateWorldScope scope(world);
    const std::string exe = Asset("Tapewright-win-x64.exe", "https://dl/x64");
    for (const char* tag : {kVersion, "v2.2.3", "", "v2.2"}) {
        Publish(Feed(tag, exe + "," + Asset("sha256sums.txt", "https://dl/sums")), "x");
        world.fetched.clear();
        EXPECT_FALSE(Updater::Check()) << tag;
        EXPECT_EQ(world.fetched.size(), 1u) << tag;
    }
}

TEST_F(UpdaterCheck, ChoosesAssetsByNameIgnoringCase) {
    UpdateWorldScope scope(world);
    const std::string hash(64, 'e');
    Publish("\xEF\xBB\xBF" +
                Feed("v9.0.0",
                     Asset("Tapewright-win-x64.exe", "https://dl/first") + "," +
                         Asset("TAPEWRIGHT-WIN-X64.EXE", "https://dl/second", 123456789) + "," +
                         Asset("Tapewright-win-x64.exe", "") + "," + Asset("Tapewright-win-arm64.exe", "https://dl/arm") +
                         ", 7, " + Asset("SHA256SUMS", "https://dl/sums")),
            hash + "  Tapewright-win-x64.exe\n");
    const auto info = Updater::Check();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->Tag, "v9.0.0");
    EXPECT_EQ(info->DownloadUrl, "https://dl/second");
    EXPECT_EQ(info->Size, 123456789);
    EXPECT_EQ(info->Sha256, std::string(64, 'E'));
    EXPECT_EQ(info->Notes, "one\ntwo");
}

TEST_F(UpdaterCheck, MissingPiecesOfARelease) {
    UpdateWorldScope scope(world);
    // No executable for this architecture: no error, a warning and none.
    Publish(Feed("v9.0.0", Asset("Tapewright-win-arm64.exe", "https://dl/arm")));
    EXPECT_FALSE(Updater::Check());
    EXPECT_TRUE(log.Has("WARNING", "Release v9.0.0 has no executable for " + Updater::ArchSuffix() + "."));
    // A checksum file that cannot be read leaves the hash unknown.
    Publish(Feed("v9.0.0", Asset("Tapewright-win-x64.exe", "https://dl/x64") + "," +
                               Asset("sha256.txt", "https://dl/gone")));
    const auto info = Updater::Check();
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->Sha256);
    EXPECT_TRUE(log.Has("WARNING", "Could not read the checksum file: HTTP 404 from https://dl/gone"));
    // A feed that is not JSON is the check's error.
    Publish("<html>rate limited</html>");
    EXPECT_THROW((void)Updater::Check(), FormatError);
}

TEST_F(UpdaterCheck, HeadlessReportLines) {
    UpdateWorldScope scope(world);
    world.separator = ".";
    Publish(Feed("v9.0.0", Asset("Tapewright-win-x64.exe", "https://dl/x64", 1234567) + "," +
                               Asset("sha256sums", "https://dl/sums")),
            std::string(64, 'a') + " Tapewright-win-x64.exe");
    // Every line is checked on the real executable; here what a test machine cannot vary.
    EXPECT_EQ(Updater::CheckHeadless(), 10);
    EXPECT_EQ(world.out.at(4), "Size       : 1.234.567 bytes");
    EXPECT_EQ(world.out.at(5), "SHA-256    : " + std::string(64, 'A'));

    world.out.clear();
    Publish(Feed("v9.0.0", Asset("Tapewright-win-x64.exe", "https://dl/x64", 0), ""));
    EXPECT_EQ(Updater::CheckHeadless(), 10);
    EXPECT_EQ(world.out.at(5), "SHA-256    : NOT PUBLISHED - would refuse to install");
    EXPECT_EQ(world.out.size(), 6u);

    world.out.clear();
    Publish(Feed(kVersion, ""));
    EXPECT_EQ(Updater::CheckHeadless(), 0);
    EXPECT_EQ(world.out.back(), "Result     : up to date");

    world.web.clear();
    EXPECT_EQ(Updater::CheckHeadless(), 1);
    EXPECT_EQ(world.err, (std::vector<std::string>{"Update check failed: HTTP 404 from " + Updater::FeedUrl()}));
}

TEST_F(UpdaterCheck, InteractiveStarters) {
    UpdateWorldScope scope(world);
    void* const owner = &world;
    Publish(Feed(kVersion, ""));
    Updater::CheckNow(owner);
    EXPECT_EQ(world.boxes.back(), std::string("Up to Date|64|You are already on the latest version.\r\n\r\n"
                                              "Installed version: ") +
                                      kVersion + "\r\nBuild: win-x64");
    world.web.clear();
    Updater::CheckNow(owner);
    EXPECT_EQ(world.boxes.back(), "Error|16|Failed to check for updates.\r\n\r\nHTTP 404 from " + Updater::FeedUrl());
    EXPECT_TRUE(log.Has("ERROR", "Failed to check for updates: HTTP 404 from " + Updater::FeedUrl()));
    EXPECT_FALSE(Updater::CheckQuietly());
    EXPECT_TRUE(log.Has("WARNING", "Startup update check failed: HTTP 404 from " + Updater::FeedUrl()));

    // A newer release is offered; declining installs nothing.
    Publish(Feed("v9.0.0", Asset("Tapewright-win-x64.exe", "https://dl/x64")));
    world.dialogAnswer = 0;
    Updater::CheckNow(owner);
    EXPECT_EQ(world.boxes.back(), std::string("dialog|") + kVersion + "|v9.0.0|one\ntwo");
    EXPECT_EQ(world.fetched.back(), Updater::FeedUrl());
    EXPECT_FALSE(Updater::InProgress());
}

TEST(UpdaterText, GroupDigits) {
    EXPECT_EQ(Updater::GroupDigits(0, ","), "0");
    EXPECT_EQ(Updater::GroupDigits(999, ","), "999");
    EXPECT_EQ(Updater::GroupDigits(1000, "\xC2\xA0"), "1\xC2\xA0" "000");
    EXPECT_EQ(Updater::GroupDigits(-1234567, ","), "-1,234,567");
}

}  // namespace
}  // namespace twr
