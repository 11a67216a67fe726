#include "selftest/capture_test.h"

#include <gtest/gtest.h>

#include "app/errors.h"

namespace twr {
namespace {

using Args = std::vector<std::string>;

TEST(CaptureTestArguments, OptionsTakeTheirValuesAndTheLastRunLengthWins) {
    const auto o = CaptureTest::ParseArguments({"--captest", "--device", "7", "9", "--bits", "16", "--rate", "44100",
                                                "--channels", "1", "--buffer", "512", "--split", "-3", "stray", "12",
                                                "--keep", "--device2", "{b}"});
    EXPECT_EQ(o.device, "7") << "an option's value is not read again as the run length";
    EXPECT_EQ(o.device2, "{b}");
    EXPECT_EQ((std::tuple{o.seconds, o.bits, o.rate, o.channels, o.buffer, o.split, o.keep}),
              (std::tuple{12, 16, 44100, 1, 512, -3, true}));

    const auto d = CaptureTest::ParseArguments({"--captest"});
    EXPECT_FALSE(d.device || d.device2 || d.keep);
    EXPECT_EQ((std::tuple{d.seconds, d.rate, d.bits, d.channels, d.buffer, d.split}),
              (std::tuple{4, 48000, 24, 2, 2048, 0}));
}

TEST(CaptureTestArguments, BadArgumentsAreRefusedWithTheProblem) {
    const std::vector<std::pair<Args, std::string>> cases = {
        {{"--captest", "--rate"}, "Missing value after --rate"},
        {{"--captest", "--device2"}, "Missing value after --device2"},
        {{"--captest", "--bits", "24.0"}, "--bits"}, {{"--captest", "--bits", "8"}, "--bits"},
        {{"--captest", "--rate", "7999"}, "--rate"}, {{"--captest", "--rate", "384001"}, "--rate"},
        {{"--captest", "--buffer", "99999999999"}, "--buffer"}, {{"--captest", "--buffer", "0"}, "--buffer"},
        {{"--captest", "--channels", "3"}, "--channels"}, {{"--captest", "-2"}, "second"},
    };
    for (const auto& [args, problem] : cases) {
        try {
            (void)CaptureTest::ParseArguments(args);
            ADD_FAILURE() << args.back() << " was accepted";
        } catch (const InvalidArgument& e) {
            EXPECT_NE(std::string(e.what()).find(problem), std::string::npos) << e.what();
        }
    }
    EXPECT_NO_THROW((void)CaptureTest::ParseArguments({"--rate", "8000", "--bits", "32", "--buffer", "1", "1"}));
}

}  // namespace
}  // namespace twr
