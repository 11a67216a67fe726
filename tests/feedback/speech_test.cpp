#include "feedback/speech.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "app/errors.h"
#include "test_support.h"

namespace twr {
namespace {

namespace fs = std::filesystem;
using testing::ReadText;
using testing::WriteText;

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
                [this] { return runningThrows_ ? throw std::runtime_error("gone") : running_; },
                [this](std::string_view text) {
                    if (speakThrows_) throw std::runtime_error("crashed");
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
    bool runningThrows_ = false;
    bool speakThrows_ = false;
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

TEST_F(SpeechTest, UnpackFailuresAreWarningsAndKeepAnOlderCopy) {
    const auto blockTemp = [&] { fs::create_directories(Target().string() + ".tmp"); };
    const std::string unpackFailed = "Could not unpack the embedded NVDA controller client: ";
    const struct {
        const char* name;
        std::function<void()> arrange;
        const char* content;  // of the copy returned; null when none is
        std::string warning;
    } cases[] = {
        {"older copy cannot be replaced", [&] { WriteText(Target(), "OLD"); blockTemp(); }, "OLD", ""},
        {"nothing to fall back on", blockTemp, nullptr, unpackFailed},
        {"folder cannot be made", [&] { folderFails_ = true; }, nullptr,
         unpackFailed + "Access to the path 'appdata' is denied."},
        {"resource cannot be read", [&] { resourceFails_ = true; }, nullptr,
         unpackFailed + "LoadResource failed, error 1813"},
        {"licence cannot be written", [&] { fs::create_directories(Licence()); }, "LIBRARY-BYTES",
         "Could not write the controller client licence: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root_ / "appdata");
        fs::create_directories(root_ / "appdata");
        log_.Clear();
        folderFails_ = resourceFails_ = false;
        c.arrange();
        auto result = Speech::Unpack(MakePlatform());
        EXPECT_EQ(result.has_value(), c.content != nullptr);
        EXPECT_EQ(fs::exists(Target()), c.content != nullptr);
        EXPECT_EQ(result ? ReadText(*result) : "", c.content ? c.content : "");
        EXPECT_TRUE(c.warning.empty() || log_.Has("WARNING", c.warning, false)) << log_.Text();
        EXPECT_FALSE(fs::is_regular_file(Licence()));
    }
}

TEST_F(SpeechTest, InitBindsFirstLoadableCandidateAfterUnpacking) {
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

    // A library that fails its calls must not take the program down with it.
    speakThrows_ = true;
    Speech::SpeakRaw("x");
    EXPECT_TRUE(log_.Has("WARNING", "NVDA speak failed: crashed"));
    runningThrows_ = true;
    EXPECT_FALSE(Speech::NvdaRunning());
}

}  // namespace
}  // namespace twr
