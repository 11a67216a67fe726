#include "feedback/speech.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "app/errors.h"
#include "app/log.h"
#include "app/platform.h"

namespace twr {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteText(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

// A process-like setting for Speech: an application-data folder, a log, embedded bytes and a
// library loader that records what it was asked for.
class SpeechTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("twr_speech_" + std::to_string(::getpid()) + "_" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "appdata");
        Log::SetPathForTesting(root_ / "test.log");
        Speech::ResetForTesting();
        resources_ = {{"nvdaControllerClient.dll", "LIBRARY-BYTES"}, {"NVDA-controllerClient-LICENSE.txt", "LGPL"}};
    }
    void TearDown() override {
        Speech::ResetForTesting();
        Log::SetPathForTesting({});
        fs::remove_all(root_);
    }

    Speech::Platform MakePlatform() {
        Speech::Platform p;
        p.architecture = "Arm64";
        p.exeFolder = root_ / "exe";
        p.resource = [this](std::string_view name) -> std::optional<std::string_view> {
            if (resourceFails_) throw PlatformError("LoadResource failed, error 1813", 1813);
            auto it = resources_.find(std::string(name));
            if (it == resources_.end()) return std::nullopt;
            return std::string_view(it->second);
        };
        p.appDataDir = [this] {
            if (folderFails_) throw IoError("Access to the path 'appdata' is denied.");
            return root_ / "appdata";
        };
        p.bind = [this](const Speech::Candidate& c) -> std::optional<Speech::Client> {
            tried_.push_back(c.path.string());
            const std::string name = c.path.filename().string();
            if (throwFor_ == name) throw IoError("bad image");
            if (bindable_ != name) return std::nullopt;
            return Speech::Client{
                [this] { return running_; },
                [this](std::string_view text) {
                    spoken_.emplace_back(text);
                    return speakResult_;
                },
            };
        };
        return p;
    }

    fs::path Target() const { return root_ / "appdata" / "nvdaControllerClientArm64.dll"; }
    fs::path Licence() const { return root_ / "appdata" / "NVDA-controllerClient-LICENSE.txt"; }
    std::string LogText() const { return ReadText(root_ / "test.log"); }
    bool Logged(const std::string& level, const std::string& message) const {
        return LogText().find(" - " + level + " - " + message + "\r\n") != std::string::npos;
    }

    fs::path root_;
    std::map<std::string, std::string> resources_;
    bool folderFails_ = false;
    bool resourceFails_ = false;
    std::string bindable_ = "nvdaControllerClientArm64.dll";
    std::string throwFor_;
    int running_ = 0;
    int speakResult_ = 0;
    std::vector<std::string> tried_;
    std::vector<std::string> spoken_;
};

TEST(SpeechText, DescribeCoversTheThreeStates) {
    EXPECT_EQ(Speech::DescribeText(false, false), "none (NVDA controller client not found)");
    EXPECT_EQ(Speech::DescribeText(false, true), "none (NVDA controller client not found)");
    EXPECT_EQ(Speech::DescribeText(true, true), "NVDA controller client (NVDA running)");
    EXPECT_EQ(Speech::DescribeText(true, false), "NVDA controller client (NVDA not running)");
}

TEST(SpeechText, CandidatesInOrderOfTrial) {
    auto c = Speech::Candidates("/opt/app", fs::path("/data/nvdaControllerClientX64.dll"), "X64");
    ASSERT_EQ(c.size(), 5u);
    const std::vector<std::pair<std::string, bool>> expected = {
        {"/opt/app/nvdaControllerClientX64.dll", false},
        {"/opt/app/nvdaControllerClient.dll", false},
        {"/data/nvdaControllerClientX64.dll", false},
        {"nvdaControllerClientX64.dll", true},
        {"nvdaControllerClient.dll", true},
    };
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(c[i].path.string(), expected[i].first) << i;
        EXPECT_EQ(c[i].bareName, expected[i].second) << i;
    }
    // Without an executable folder or an unpacked copy those places are empty and skipped.
    auto none = Speech::Candidates({}, std::nullopt, "Arm64");
    EXPECT_TRUE(none[0].path.empty() && none[1].path.empty() && none[2].path.empty());
    EXPECT_EQ(none[3].path.string(), "nvdaControllerClientArm64.dll");
}

TEST_F(SpeechTest, UnpackWritesLibraryAndLicenceOnce) {
    auto p = MakePlatform();
    ASSERT_EQ(Speech::Unpack(p), Target());
    EXPECT_EQ(ReadText(Target()), "LIBRARY-BYTES");
    EXPECT_EQ(ReadText(Licence()), "LGPL");
    EXPECT_TRUE(Logged("INFO", "Unpacked the embedded NVDA controller client to " + Target().string()));

    // An identical copy is left alone, and the licence is not written again.
    fs::remove(Licence());
    ASSERT_EQ(Speech::Unpack(p), Target());
    EXPECT_FALSE(fs::exists(Licence()));
}

TEST_F(SpeechTest, UnpackReplacesACopyThatDiffersEvenInContentAlone) {
    auto p = MakePlatform();
    for (std::string stale : {"OLD", "LIBRARY-BYTEZ"}) {  // another length, the same length
        WriteText(Target(), stale);
        ASSERT_EQ(Speech::Unpack(p), Target());
        EXPECT_EQ(ReadText(Target()), "LIBRARY-BYTES") << stale;
        EXPECT_FALSE(fs::exists(Target().string() + ".tmp"));
    }
}

TEST_F(SpeechTest, UnpackFailures) {
    struct Case {
        const char* name;
        bool existing;       // an older copy lies in the folder
        bool blockWrite;     // the temporary file cannot be written
        bool folderFails;
        bool expectPath;
        const char* warning;  // expected log text, or null
    };
    const Case cases[] = {
        {"older copy cannot be replaced", true, true, false, true, nullptr},
        {"nothing to fall back on", false, true, false, false, "Could not unpack the embedded NVDA controller client: "},
        {"folder cannot be made", false, false, true, false,
         "Could not unpack the embedded NVDA controller client: Access to the path 'appdata' is denied."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root_ / "appdata");
        fs::create_directories(root_ / "appdata");
        fs::remove(root_ / "test.log");
        if (c.existing) WriteText(Target(), "OLD");
        if (c.blockWrite) fs::create_directories(Target().string() + ".tmp");
        folderFails_ = c.folderFails;
        auto result = Speech::Unpack(MakePlatform());
        EXPECT_EQ(result.has_value(), c.expectPath);
        if (c.expectPath) {
            EXPECT_EQ(ReadText(*result), "OLD");
        }
        if (c.warning) {
            EXPECT_NE(LogText().find(std::string(" - WARNING - ") + c.warning), std::string::npos) << LogText();
        }
        EXPECT_FALSE(fs::exists(Licence()));
    }
}

TEST_F(SpeechTest, UnpackWithoutEmbeddedLibrary) {
    resources_.clear();
    EXPECT_EQ(Speech::Unpack(MakePlatform()), std::nullopt);
    EXPECT_TRUE(Logged("INFO", "No controller client is embedded in this build."));
    EXPECT_TRUE(fs::is_empty(root_ / "appdata"));
}

TEST_F(SpeechTest, UnreadableResourceIsAWarningAndTheOtherCandidatesAreTried) {
    resourceFails_ = true;
    EXPECT_NO_THROW(Speech::Init(MakePlatform()));
    EXPECT_TRUE(Logged("WARNING",
                       "Could not unpack the embedded NVDA controller client: LoadResource failed, error 1813"));
    EXPECT_TRUE(Speech::IsBound());
    EXPECT_EQ(tried_.front(), (root_ / "exe" / "nvdaControllerClientArm64.dll").string());
    EXPECT_FALSE(fs::exists(Target()));
}

TEST_F(SpeechTest, LicenceThatCannotBeWrittenStillUsesTheLibrary) {
    fs::create_directories(Licence());
    EXPECT_EQ(Speech::Unpack(MakePlatform()), Target());
    EXPECT_NE(LogText().find(" - WARNING - Could not write the controller client licence: "), std::string::npos);
}

TEST_F(SpeechTest, InitBindsFirstLoadableCandidateAfterUnpacking) {
    // A library beside the executable wins, yet the embedded copy is unpacked all the same.
    bindable_ = "nvdaControllerClient.dll";
    throwFor_ = "nvdaControllerClientArm64.dll";
    Speech::Init(MakePlatform());
    EXPECT_TRUE(Speech::IsBound());
    EXPECT_TRUE(fs::exists(Target()));
    ASSERT_EQ(tried_.size(), 2u);
    const std::string beside = (root_ / "exe" / "nvdaControllerClient.dll").string();
    EXPECT_EQ(tried_[1], beside);
    EXPECT_TRUE(Logged("WARNING", "Failed binding NVDA client " + (root_ / "exe" / "nvdaControllerClientArm64.dll").string() +
                                      ": bad image"));
    EXPECT_TRUE(Logged("INFO", "Loaded NVDA controller client: " + beside));
    EXPECT_TRUE(Logged("INFO", "Speech backend: NVDA controller client (NVDA running)"));

    // A second Init neither loads nor logs again.
    const std::string before = LogText();
    Speech::Init(MakePlatform());
    EXPECT_EQ(tried_.size(), 2u);
    EXPECT_EQ(LogText(), before);
}

TEST_F(SpeechTest, InitWithNothingBindableIsFinal) {
    bindable_.clear();
    resources_.clear();
    Speech::Init(MakePlatform());
    EXPECT_FALSE(Speech::IsBound());
    EXPECT_FALSE(Speech::NvdaRunning());
    EXPECT_EQ(Speech::Describe(), "none (NVDA controller client not found)");
    // Exe folder (two), no unpacked copy, two bare names.
    EXPECT_EQ(tried_.size(), 4u);
    EXPECT_TRUE(Logged("WARNING",
                       "No NVDA controller client found for Arm64; spoken announcements are disabled. Place "
                       "nvdaControllerClientArm64.dll next to the executable to enable them."));
    Speech::SpeakRaw("hello");
    EXPECT_TRUE(spoken_.empty());
}

TEST_F(SpeechTest, SpeakingRules) {
    Speech::Init(MakePlatform());
    ASSERT_TRUE(Speech::IsBound());

    Speech::SpeakRaw("");
    EXPECT_TRUE(spoken_.empty());

    Speech::Gate = [] { return false; };
    Speech::Speak("gated");
    EXPECT_TRUE(spoken_.empty());
    Speech::SpeakRaw("raw");
    EXPECT_EQ(spoken_, std::vector<std::string>{"raw"});

    Speech::Gate = [] { return true; };
    Speech::Speak("open");
    EXPECT_EQ(spoken_.back(), "open");

    // Any non-zero answer means NVDA is not running; nothing is queued for later.
    running_ = 1722;
    Speech::Speak("dropped");
    EXPECT_EQ(spoken_.size(), 2u);
    EXPECT_EQ(Speech::Describe(), "NVDA controller client (NVDA not running)");
    EXPECT_FALSE(LogText().find("dropped") != std::string::npos);

    running_ = 0;
    speakResult_ = 5;
    Speech::SpeakRaw("refused");
    EXPECT_TRUE(Logged("WARNING", "NVDA rejected an announcement."));
}

TEST_F(SpeechTest, FailingLibraryCallsAreSwallowed) {
    auto p = MakePlatform();
    p.bind = [](const Speech::Candidate&) -> std::optional<Speech::Client> {
        return Speech::Client{[]() -> int { throw std::runtime_error("gone"); },
                              [](std::string_view) -> int { return 0; }};
    };
    Speech::Init(p);
    EXPECT_FALSE(Speech::NvdaRunning());

    Speech::ResetForTesting();
    p.bind = [](const Speech::Candidate&) -> std::optional<Speech::Client> {
        return Speech::Client{[] { return 0; }, [](std::string_view) -> int { throw std::runtime_error("crashed"); }};
    };
    Speech::Init(p);
    Speech::SpeakRaw("x");
    EXPECT_TRUE(Logged("WARNING", "NVDA speak failed: crashed"));
}

}  // namespace
}  // namespace twr
