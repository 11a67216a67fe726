#include "ui/settings_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "test_support.h"
#include "ui/option_model.h"

namespace twr {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;
using testing::ReadText;

TEST(SettingsModelTest, WithCurrentOffersOnlyAnUnlistedValue) {
    const Texts options = {"44100", "48000"};
    const struct {
        const char* current;
        Texts expected;
    } cases[] = {
        {"", options},
        {"48000", options},
        {"22050", {"44100", "48000", "22050"}},
        {"48000 ", {"44100", "48000", "48000 "}},  // exact comparison: a stray blank is another value
    };
    for (const auto& c : cases) EXPECT_EQ(SettingsModel::WithCurrent(options, c.current), c.expected) << c.current;
}

const std::vector<AudioDevice> kDevices = {
    {"{out-b}", "Speakers", true},
    {"{in-b}", "Microphone", false},
    {"{out-a}", "Headphones", true},
    {"{in-a}", "Line In", false},
    {"{in-c}", "Alpha", false},
};

Texts Ids(const std::vector<AudioDevice>& devices) {
    Texts ids;
    for (const auto& d : devices) ids.push_back(d.Id);
    return ids;
}

TEST(SettingsModelTest, SortPutsTheChosenKindFirstAndNamesInOrdinalOrder) {
    const Texts inputsFirst = {"{in-c}", "{in-a}", "{in-b}", "{out-a}", "{out-b}"};
    const Texts outputsFirst = {"{out-a}", "{out-b}", "{in-c}", "{in-a}", "{in-b}"};
    EXPECT_EQ(Ids(SettingsModel::SortDevices(kDevices, "Inputs First")), inputsFirst);
    EXPECT_EQ(Ids(SettingsModel::SortDevices(kDevices, "Outputs First")), outputsFirst);
    // Only the exact text turns the order round.
    EXPECT_EQ(Ids(SettingsModel::SortDevices(kDevices, "outputs first")), inputsFirst);
    EXPECT_EQ(Ids(SettingsModel::SortDevices(kDevices, "")), inputsFirst);
    // Ordinal: upper case before lower case.
    const std::vector<AudioDevice> cased = {{"1", "mic", false}, {"2", "Mic", false}, {"3", "MIC", false}};
    EXPECT_EQ(Ids(SettingsModel::SortDevices(cased, "Inputs First")), (Texts{"3", "2", "1"}));
}

class SettingsModelConfigTest : public ::testing::Test {
protected:
    Config WithFile(const std::string& content) {
        testing::WriteText(path_, content);
        return Config(path_);
    }

    testing::TempDir dir_;
    fs::path path_ = dir_ / "recorder_config.json";
};

TEST_F(SettingsModelConfigTest, DeviceListsSelectAndSaveBackTheConfiguredInputs) {
    const struct {
        const char* file;
        Texts primary;             // entry texts of list 2002
        int primarySelection;
        Texts secondary;           // entry texts of list 2003
        int secondarySelection;
        const char* savedFirst;    // what saving the selections writes
        const char* savedSecond;
    } cases[] = {
        {"{}",
         {"Not selected", "Input: Line In", "Input: Microphone", "Output (Loopback): Speakers"}, 0,
         {"None", "Input: Line In", "Input: Microphone", "Output (Loopback): Speakers"}, 0, "", "none"},
        {R"({"device_id": "none", "device2_id": ""})",
         {"Not selected", "Input: Line In", "Input: Microphone", "Output (Loopback): Speakers"}, 0,
         {"None", "Input: Line In", "Input: Microphone", "Output (Loopback): Speakers"}, 0, "", "none"},
        {R"({"device_id": "{in-b}", "device2_id": "{out-b}"})",
         {"Input: Line In", "Input: Microphone", "Output (Loopback): Speakers"}, 1,
         {"None", "Input: Line In", "Input: Microphone", "Output (Loopback): Speakers"}, 3, "{in-b}", "{out-b}"},
        // Absent endpoints show their ids, at the top and right after "None".
        {R"({"device_id": "{gone-1}", "device2_id": "{gone-2}"})",
         {"DISCONNECTED: {gone-1}", "Input: Line In", "Input: Microphone", "Output (Loopback): Speakers"}, 0,
         {"None", "DISCONNECTED: {gone-2}", "Input: Line In", "Input: Microphone", "Output (Loopback): Speakers"},
         1, "{gone-1}", "{gone-2}"},
        // The same absent id in both lists: each list gets an entry of its own.
        {R"({"device_id": "{gone}", "device2_id": "{gone}"})",
         {"DISCONNECTED: {gone}", "Input: Line In", "Input: Microphone", "Output (Loopback): Speakers"}, 0,
         {"None", "DISCONNECTED: {gone}", "Input: Line In", "Input: Microphone", "Output (Loopback): Speakers"},
         1, "{gone}", "{gone}"},
        // Ids match exactly: another case is another endpoint.
        {R"({"device_id": "{IN-A}", "device_sort_order": "Outputs First"})",
         {"DISCONNECTED: {IN-A}", "Output (Loopback): Speakers", "Input: Line In", "Input: Microphone"}, 0,
         {"None", "Output (Loopback): Speakers", "Input: Line In", "Input: Microphone"}, 0, "{IN-A}", "none"},
    };
    const std::vector<AudioDevice> devices = {
        {"{out-b}", "Speakers", true}, {"{in-b}", "Microphone", false}, {"{in-a}", "Line In", false}};
    for (const auto& c : cases) {
        const Config config = WithFile(c.file);
        std::vector<std::string> deviceIds = {"stale"};
        const auto lists = SettingsModel::PopulateDevices(devices, config, deviceIds);
        auto texts = [](const ComboList& list) {
            Texts t;
            for (const auto& e : list.Entries) t.push_back(e.Text);
            return t;
        };
        EXPECT_EQ(texts(lists.Primary), c.primary) << c.file;
        EXPECT_EQ(texts(lists.Secondary), c.secondary) << c.file;
        ASSERT_EQ(lists.Primary.Selection, c.primarySelection) << c.file;
        ASSERT_EQ(lists.Secondary.Selection, c.secondarySelection) << c.file;
        EXPECT_EQ(std::count(deviceIds.begin(), deviceIds.end(), "stale"), 0) << c.file;
        const auto& first = lists.Primary.Entries[static_cast<size_t>(c.primarySelection)];
        const auto& second = lists.Secondary.Entries[static_cast<size_t>(c.secondarySelection)];
        EXPECT_EQ(SettingsModel::SelectedDeviceId(deviceIds, first.Data, true), c.savedFirst) << c.file;
        EXPECT_EQ(SettingsModel::SelectedDeviceId(deviceIds, second.Data, false), c.savedSecond) << c.file;
    }
}

TEST(SettingsModelTest, PairCheck) {
    using P = SettingsModel::PairCheck;
    const struct {
        const char* first;
        const char* second;
        P expected;
    } cases[] = {
        {"a", "none", P::Accept},       {"", "none", P::Accept},    {"a", "a", P::SameDevice},
        {"a", "b", P::TwoDevices},      {"", "b", P::TwoDevices},   {"a", "A", P::TwoDevices},
    };
    for (const auto& c : cases) EXPECT_EQ(SettingsModel::CheckPair(c.first, c.second), c.expected) << c.first << "/" << c.second;
}

SettingsModel::Values SampleValues() {
    SettingsModel::Values v;
    v.DeviceId = "{in-a}";
    v.Device2Id = "none";
    v.AutoStart = true;
    v.AutoStartDelay = 30;
    v.AutoSplitSecs = 3600;
    v.MaxLengthSecs = 0;
    v.GroupSplits = false;
    v.SampleRate = "44100";
    v.BitDepth = "16";
    v.ChannelsIndex = 0;
    v.FilenamePrefix = " take ";
    v.BufferSizeText = "1024";
    v.WindowTitle = "  Studio  ";
    v.CheckUpdatesStartup = false;
    v.Folder = "D:\\Recordings";
    v.SortOrder = "Outputs First";
    return v;
}

TEST_F(SettingsModelConfigTest, WriteAppendsNewKeysInItsOrderWithTheirTypes) {
    Config config(path_);
    SettingsModel::Write(config, SampleValues());
    ASSERT_TRUE(config.Save().Saved);
    EXPECT_EQ(ReadText(path_),
              "{\n"
              "    \"device_id\": \"{in-a}\",\n"
              "    \"device2_id\": \"none\",\n"
              "    \"auto_start\": true,\n"
              "    \"auto_start_delay\": 30,\n"
              "    \"auto_split_secs\": 3600,\n"
              "    \"max_length_secs\": 0,\n"
              "    \"group_splits\": false,\n"
              "    \"sample_rate\": \"44100\",\n"
              "    \"bit_depth\": \"16\",\n"
              "    \"channels\": \"1\",\n"
              "    \"filename_prefix\": \" take \",\n"
              "    \"buffer_size\": 1024,\n"
              "    \"window_title\": \"Studio\",\n"
              "    \"check_updates_startup\": false,\n"
              "    \"save_folder\": \"D:\\\\Recordings\",\n"
              "    \"device_sort_order\": \"Outputs First\"\n"
              "}");
}

TEST_F(SettingsModelConfigTest, ConditionalKeysAreLeftAloneForUnusableValues) {
    const struct {
        const char* bufferText;
        int32_t bufferSaved;  // 333 = untouched
    } buffers[] = {{"4096", 4096}, {" 8192 ", 8192}, {"+512", 512}, {"0", 333}, {"-512", 333},
                   {"abc", 333},   {"", 333},        {"1.5", 333},  {"99999999999", 333}};
    for (const auto& b : buffers) {
        Config config = WithFile(R"({"buffer_size": 333})");
        SettingsModel::Values v = SampleValues();
        v.BufferSizeText = b.bufferText;
        SettingsModel::Write(config, v);
        EXPECT_EQ(config.Data().GetInt("buffer_size", -1), b.bufferSaved) << b.bufferText;
    }
    // Trimmed of every kind of white space: a title of no-break or ideographic spaces would be an
    // invisible window title. A zero width space is no white space and stays.
    const struct { const char* typed; const char* saved; } titles[] = {
        {"", "Kept"},
        {"   ", "Kept"},
        {"\t\r\n", "Kept"},
        {"\xC2\xA0", "Kept"},
        {"\xE3\x80\x80", "Kept"},
        {"\xE2\x80\x83 \xC2\xA0\t\xE3\x80\x80", "Kept"},
        {"\xC2\xA0Studio\xE2\x80\x83 B\xE3\x80\x80", "Studio\xE2\x80\x83 B"},
        {"\xE2\x80\x8B", "\xE2\x80\x8B"},
    };
    for (const auto& t : titles) {
        Config config = WithFile(R"({"window_title": "Kept"})");
        SettingsModel::Values v = SampleValues();
        v.WindowTitle = t.typed;
        SettingsModel::Write(config, v);
        EXPECT_EQ(config.WindowTitle(), t.saved) << t.typed;
    }
}

TEST_F(SettingsModelConfigTest, UnchangedFolderStaysUnsetAndCaseOnlyChangesAreNotWritten) {
    const std::string appFolder = platform::PathText(Config::AppFolder());
    std::string upper = appFolder;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    for (const std::string& shown : {appFolder, upper}) {
        Config config(path_);
        SettingsModel::Values v = SampleValues();
        v.Folder = shown;
        SettingsModel::Write(config, v);
        EXPECT_FALSE(config.Data().Contains("save_folder")) << shown;
    }
    Config config = WithFile(R"({"save_folder": "E:\\Rec"})");
    SettingsModel::Values v = SampleValues();
    v.Folder = "e:\\rec";
    SettingsModel::Write(config, v);
    EXPECT_EQ(config.Data().GetString("save_folder", ""), "E:\\Rec");
    v.Folder = "E:\\Rec2";
    SettingsModel::Write(config, v);
    EXPECT_EQ(config.Data().GetString("save_folder", ""), "E:\\Rec2");
}

TEST_F(SettingsModelConfigTest, ShownValuesOfStoredFormat) {
    const struct {
        const char* file;
        const char* bufferText;
        int channelsIndex;
    } cases[] = {
        {"{}", "2048", 1},
        {R"({"buffer_size": 333, "channels": "1"})", "333", 0},
        {R"({"buffer_size": "4096", "channels": 1})", "4096", 0},  // text and number alike
        {R"({"buffer_size": "lots", "channels": "6"})", "2048", 1},
        {R"({"channels": "1 "})", "2048", 1},
    };
    for (const auto& c : cases) {
        const Config config = WithFile(c.file);
        EXPECT_EQ(SettingsModel::BufferSizeText(config), c.bufferText) << c.file;
        EXPECT_EQ(SettingsModel::ChannelsIndex(config), c.channelsIndex) << c.file;
    }
}

TEST(SettingsModelTest, ExternalDriveWarning) {
    const struct {
        const char* path;
        const char* root;  // "" = taken without the warning
    } cases[] = {{"C:\\Rec", ""},        {"c:/rec", ""},        {"D:\\Rec", "D:\\"},
                 {"Z:\\tmp\\x", "Z:\\"}, {"\\\\server\\share\\x", "\\\\server\\share"}, {"relative", ""}};
    for (const auto& c : cases)
        EXPECT_EQ(SettingsModel::ExternalDriveRoot(c.path).value_or(""), c.root) << c.path;
    // The root is named without its trailing separators.
    EXPECT_EQ(SettingsModel::ExternalDriveText("E:\\/").substr(0, 44), "You have selected a directory on drive E:.\n\n");
}

TEST(SettingsModelTest, TemplatesNeedNoWindowAndFitTheSelfTestLimits) {
    const struct {
        std::vector<uint8_t> bytes;
        uint16_t count, cx, cy;
    } cases[] = {
        {SettingsModel::BuildTemplate(), 44, 340, 402},  // at most 420 high
        {OptionModel::NotificationsTemplate(), 9, 300, 172},
        {OptionModel::SoundsTemplate(), 11, 300, 130},
        {OptionModel::ChannelsTemplate(), 6, 280, 92},
    };
    auto u16 = [](const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); };
    for (const auto& c : cases) {
        ASSERT_GT(c.bytes.size(), 18u);
        EXPECT_EQ(uint32_t{u16(c.bytes, 0)} | uint32_t{u16(c.bytes, 2)} << 16, 0x80C808C0u);
        EXPECT_EQ(u16(c.bytes, 8), c.count);
        EXPECT_EQ(u16(c.bytes, 14), c.cx);
        EXPECT_EQ(u16(c.bytes, 16), c.cy);
    }
}

}  // namespace
}  // namespace twr
