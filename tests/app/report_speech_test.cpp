#include <gtest/gtest.h>

#include "app/program.h"
#include "app/version.h"
#include "feedback/speech.h"
#include "test_support.h"

namespace twr {
namespace {

TEST(SpeechCheck, ReportsTheThreeStates) {
    const std::string arch = kArchName;
    const std::string phrase = "Tapewright speech test. If you can hear this, announcements are working.";
    const std::string sending = "Sending a test phrase to NVDA...";
    const struct {
        const char* name;
        bool bound;
        int running;  // what testIfRunning answers
        bool say;
        int exitCode;
        const char *client, *nvda, *backend;
        std::vector<std::string> tail, spoken;
    } cases[] = {
        {"no library", false, 0, true, 1, "NOT FOUND", "no", "none (NVDA controller client not found)",
         {"", "Place nvdaControllerClient" + arch + ".dll next to this executable."}, {}},
        {"running, say", true, 0, true, 0, "loaded", "yes", "NVDA controller client (NVDA running)", {"", sending},
         {phrase}},
        {"running", true, 0, false, 0, "loaded", "yes", "NVDA controller client (NVDA running)", {}, {}},
        {"not running, say", true, 1, true, 2, "loaded", "no", "NVDA controller client (NVDA not running)",
         {"", sending}, {}},
    };
    const testing::TempDir dir;
    const testing::LogCapture log;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Speech::ResetForTesting();
        std::vector<std::string> spoken;
        Speech::Platform p;
        p.architecture = kArchName;
        p.resource = [](std::string_view) -> std::optional<std::string_view> { return std::nullopt; };
        p.appDataDir = [&] { return dir.path(); };
        p.bind = [&](const Speech::Candidate&) -> std::optional<Speech::Client> {
            if (!c.bound) return std::nullopt;
            return Speech::Client{[&] { return c.running; }, [&](std::string_view t) {
                                      spoken.emplace_back(t);
                                      return 0;
                                  }};
        };
        Speech::Init(p);
        // The gate never holds back the test phrase.
        Speech::Gate = [] { return false; };

        ::testing::internal::CaptureStdout();
        const int rc = Program::SpeechCheck(c.say);
        const std::string out = ::testing::internal::GetCapturedStdout();
        std::string expected = "Process architecture : " + arch + "\nController client    : " + c.client +
                               "\nNVDA running         : " + c.nvda + "\nBackend              : " + c.backend + "\n";
        for (const auto& line : c.tail) expected += line + "\n";
        EXPECT_EQ(rc, c.exitCode);
        EXPECT_EQ(out, expected);
        EXPECT_EQ(spoken, c.spoken);
    }
    Speech::ResetForTesting();
}

}  // namespace
}  // namespace twr
