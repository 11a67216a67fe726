#include "feedback/speech.h"

#include <gtest/gtest.h>

#include <map>

#include "app/errors.h"
#include "test_support.h"

namespace twr {
namespace {

namespace fs = std::filesystem;
using testing::ReadText;
using testing::WriteText;

// A process-like setting for Speech: an application-data folder, a log, embedded bytes and a
// library loader that records what it was asked for.
class SpeechTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root_ / "appdata");
        Speech::ResetForTesting();
    }
    void TearDown() override { Speech::ResetForTesting(); }

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

    testing::TempDir root_;
    testing::LogCapture log_;
    std::map<std::string, std::string> resources_ = {{"nvdaControllerClient.dll", "LIBRARY-BYTES"},
                                                      {"NVDA-controllerClient-LICENSE.txt", "LGPL"}};
    bool folderFails_ = false;
    bool resourceFails_ = false;
    std::string bindable_ = "nvdaControllerClientArm64.dll";
    std::string throwFor_;
    int running_ = 0;
    int speakResult_ = 0;
    std::vector<std::string> tried_;
    std::vector<std::string> spoken_;
};

std::vector<std::string> Listed(const std::vector<Speech::Candidate>& candidates) {
    std::vector<std::string> out;
    for (const auto& c : candidates) out.push_back((c.bareName ? "bare " : "") + c.path.string());
    return out;
}

TEST(SpeechText, DescribeAndCandidatesInOrderOfTrial) {
    // Without a library, whether NVDA runs cannot be known.
    EXPECT_EQ(Speech::DescribeText(false, true), "none (NVDA controller client not found)");
    EXPECT_EQ(Speech::DescribeText(true, false), "NVDA controller client (NVDA not running)");
    EXPECT_EQ(Listed(Speech::Candidates("/opt/app", fs::path("/data/nvdaControllerClientX64.dll"), "X64")),
              (std::vector<std::string>{"/opt/app/nvdaControllerClientX64.dll", "/opt/app/nvdaControllerClient.dll",
                                        "/data/nvdaControllerClientX64.dll", "bare nvdaControllerClientX64.dll",
                                        "bare nvdaControllerClient.dll"}));
    // Without an executable folder or an unpacked copy those places are empty and skipped.
    EXPECT_EQ(Listed(Speech::Candidates({}, std::nullopt, "Arm64")),
              (std::vector<std::string>{"", "", "", "bare nvdaControllerClientArm64.dll",
                                        "bare nvdaControllerClient.dll"}));
}

TEST_F(SpeechTest, UnpackWritesLibraryAndLicenceOnceAndReplacesACopyThatDiffers) {
    auto p = MakePlatform();
    ASSERT_EQ(Speech::Unpack(p), Target());
    EXPECT_EQ(ReadText(Target()), "LIBRARY-BYTES");
    EXPECT_EQ(ReadText(Licence()), "LGPL");
    EXPECT_TRUE(log_.Has("INFO", "Unpacked the embedded NVDA controller client to " + Target().string()));

    // An identical copy is left alone, and the licence is not written again.
    fs::remove(Licence());
    ASSERT_EQ(Speech::Unpack(p), Target());
    EXPECT_FALSE(fs::exists(Licence()));

    for (std::string stale : {"OLD", "LIBRARY-BYTEZ"}) {  // another length, the same length
        WriteText(Target(), stale);
        ASSERT_EQ(Speech::Unpack(p), Target());
        EXPECT_EQ(ReadText(Target()), "LIBRARY-BYTES") << stale;
        EXPECT_FALSE(fs::exists(Target().string() + ".tmp"));
    }
}

TEST_F(SpeechTest, UnpackFailures) {
    const struct {
        const char* name;
        bool existing;        // an older copy lies in the folder
        bool blockWrite;      // the temporary file cannot be written
        bool folderFails;
        bool expectPath;
        const char* warning;  // expected log text, or null
    } cases[] = {
        {"older copy cannot be replaced", true, true, false, true, nullptr},
        {"nothing to fall back on", false, true, false, false,
         "Could not unpack the embedded NVDA controller client: "},
        {"folder cannot be made", false, false, true, false,
         "Could not unpack the embedded NVDA controller client: Access to the path 'appdata' is denied."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root_ / "appdata");
        fs::create_directories(root_ / "appdata");
        log_.Clear();
        if (c.existing) WriteText(Target(), "OLD");
        if (c.blockWrite) fs::create_directories(Target().string() + ".tmp");
        folderFails_ = c.folderFails;
        auto result = Speech::Unpack(MakePlatform());
        EXPECT_EQ(result.has_value(), c.expectPath);
        EXPECT_EQ(result ? ReadText(*result) : "", c.expectPath ? "OLD" : "");
        EXPECT_TRUE(!c.warning || log_.Has("WARNING", c.warning, false)) << log_.Text();
        EXPECT_FALSE(fs::exists(Licence()));
    }
}

TEST_F(SpeechTest, UnreadableResourceIsAWarningAndTheOtherCandidatesAreTried) {
    resourceFails_ = true;
    EXPECT_NO_THROW(Speech::Init(MakePlatform()));
    EXPECT_TRUE(log_.Has("WARNING",
                       "Could not unpack the embedded NVDA controller client: LoadResource failed, error 1813"));
    EXPECT_TRUE(Speech::IsBound());
    EXPECT_EQ(tried_.front(), (root_ / "exe" / "nvdaControllerClientArm64.dll").string());
    EXPECT_FALSE(fs::exists(Target()));
}

TEST_F(SpeechTest, LicenceThatCannotBeWrittenStillUsesTheLibrary) {
    fs::create_directories(Licence());
    EXPECT_EQ(Speech::Unpack(MakePlatform()), Target());
    EXPECT_TRUE(log_.Has("WARNING", "Could not write the controller client licence: ", false));
}

TEST_F(SpeechTest, InitBindsFirstLoadableCandidateAfterUnpacking) {
    // A library beside the executable wins, yet the embedded copy is unpacked all the same.
    bindable_ = "nvdaControllerClient.dll";
    throwFor_ = "nvdaControllerClientArm64.dll";
    Speech::Init(MakePlatform());
    EXPECT_TRUE(Speech::IsBound());
    EXPECT_TRUE(fs::exists(Target()));
    const std::string first = (root_ / "exe" / "nvdaControllerClientArm64.dll").string();
    const std::string beside = (root_ / "exe" / "nvdaControllerClient.dll").string();
    EXPECT_EQ(tried_, (std::vector<std::string>{first, beside}));
    EXPECT_TRUE(log_.Has("WARNING", "Failed binding NVDA client " + first + ": bad image"));
    EXPECT_TRUE(log_.Has("INFO", "Loaded NVDA controller client: " + beside));
    EXPECT_TRUE(log_.Has("INFO", "Speech backend: NVDA controller client (NVDA running)"));

    // A second Init neither loads nor logs again.
    const std::string before = log_.Text();
    Speech::Init(MakePlatform());
    EXPECT_EQ(tried_.size(), 2u);
    EXPECT_EQ(log_.Text(), before);
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
    EXPECT_TRUE(log_.Has("INFO", "No controller client is embedded in this build."));
    EXPECT_TRUE(fs::is_empty(root_ / "appdata"));
    EXPECT_TRUE(log_.Has("WARNING",
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
    EXPECT_FALSE(log_.Text().find("dropped") != std::string::npos);

    running_ = 0;
    speakResult_ = 5;
    Speech::SpeakRaw("refused");
    EXPECT_TRUE(log_.Has("WARNING", "NVDA rejected an announcement."));
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
    EXPECT_TRUE(log_.Has("WARNING", "NVDA speak failed: crashed"));
}

}  // namespace
}  // namespace twr
