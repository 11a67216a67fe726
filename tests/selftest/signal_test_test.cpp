#include "selftest/signal_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "app/errors.h"
#include "recording/rf64_writer.h"
#include "test_support.h"

namespace twr {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// A 24-bit stereo RF64 file at 48000 Hz written by the recorder's own writer: a sine of the given
// frequency and amplitude on the left, and on the right scaled by rightScale.
fs::path WriteTone(const fs::path& path, double hz, double amplitude, std::size_t frames, double rightScale = 1) {
    Rf64Writer w(path, SignalTest::kRate, 2, 24);
    std::vector<float> block(2 * frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const double v = amplitude * std::sin(6.283185307179586 * hz * static_cast<double>(i) / SignalTest::kRate);
        block[2 * i] = static_cast<float>(v);
        block[2 * i + 1] = static_cast<float>(v * rightScale);
    }
    w.Write(block, 0, block.size());
    w.Close();
    return path;
}

// Prints nowhere; the report file is left to the run itself.
SuiteHarness Harness() {
    SuiteHarness h("twr_signaltest_unit_report.txt", [](std::string_view) {});
    h.PrintChecks(true);
    return h;
}

TEST(SignalTestArguments, CableNameAndSkipText) {
    const std::pair<Args, std::string> cases[] = {
        {{"--signaltest"}, "Line 1"},
        {{"--signaltest", "--cable", "twr_sink_b"}, "twr_sink_b"},
        {{"--signaltest", "--cable"}, "Line 1"},
        {{"--cable", "A", "--cable", "B"}, "B"},
        {{"--cable", "--cable", "C"}, "C"},
    };
    for (const auto& [args, cable] : cases) EXPECT_EQ(SignalTest::CableName(args), cable) << args.back();

    EXPECT_EQ(SignalTest::SkipLines("Line 1", "", -1),
              (Args{"Skipped: no virtual cable matching \"Line 1\" found.", "  loopback endpoint: not found",
                    "  waveOut device   : not found", "", "This test needs a virtual audio cable so nothing is played aloud."}));
    const Args found = SignalTest::SkipLines("sink", "Output (Loopback): sink", 0);
    EXPECT_EQ(found[1], "  loopback endpoint: Output (Loopback): sink");
    EXPECT_EQ(found[2], "  waveOut device   : 0");
}

TEST(SignalTestAnalysis, SamplesWindowsPeaksAndMagnitudes) {
    const struct {
        std::uint8_t bytes[3];
        std::int32_t value;
    } samples[] = {{{0, 0, 0}, 0}, {{0xFF, 0xFF, 0x7F}, 8388607}, {{0, 0, 0x80}, -8388608},
                   {{0xFF, 0xFF, 0xFF}, -1}, {{0x56, 0x34, 0x12}, 0x123456}};
    for (const auto& s : samples) EXPECT_EQ(SignalTest::Sample24(s.bytes, 0), s.value) << s.value;

    const struct {
        std::size_t frames, start, count;
    } windows[] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 1}, {48001, 16000, 32000}, {300000, 100000, 48000}};
    for (const auto& w : windows) {
        const auto got = SignalTest::AnalysisWindow(w.frames);
        EXPECT_EQ(std::pair(got.start, got.count), std::pair(w.start, w.count)) << w.frames;
    }

    std::vector<float> x(48000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(0.5 * std::sin(6.283185307179586 * 1000 * i / 48000.0));
    x[100] = -0.9f;  // outside the window below
    EXPECT_NEAR(SignalTest::Peak(x, 200, 24000), 0.5, 1e-6);
    EXPECT_NEAR(SignalTest::Peak(x, 0, 48000), 0.9, 1e-6);
    EXPECT_NEAR(SignalTest::Goertzel(x, 200, 24000, 48000, 1000), 0.5, 0.01);
    EXPECT_LT(SignalTest::Goertzel(x, 200, 24000, 48000, 3300), 0.01);
    EXPECT_EQ(SignalTest::Goertzel(x, 0, 0, 48000, 1000), 0.0);
}

TEST(SignalTestAnalysis, AGoodRecordingPassesWithTheseLines) {
    testing::TempDir dir;
    SuiteHarness r = Harness();
    const fs::path file = WriteTone(dir / "Signal_1.wav", 1000, 0.5, 96000);
    SignalTest::CheckRecording(r, {file});
    EXPECT_EQ(r.Failures(), std::vector<std::string>{});
    EXPECT_EQ(r.Passed(), 9);
    const std::string text = r.Report();
    for (const char* line : {"   ok   exactly one file produced\r\n", "   ok   file verifies\r\n",
                             "Read back 96000 frames (2.00 s)\r\n", "   ok   at least a second of audio captured\r\n",
                             "Peak amplitude: left 0.5000, right 0.5000\r\n",
                             "   ok   left channel amplitude is ~0.5 (got 0.500)\r\n",
                             "   ok   right channel amplitude is ~0.5 (got 0.500)\r\n", "Goertzel magnitude: 1000 Hz = 0.5000, 500 Hz = ",
                             "   ok   energy is concentrated at 1000 Hz\r\n",
                             "   ok   not running at half the expected sample rate\r\n",
                             "   ok   not running at double the expected sample rate\r\n",
                             "   ok   tone magnitude is in the right range\r\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
}

// Each fault of the recording path fails its own check, and only the checks that it should.
TEST(SignalTestAnalysis, EachFaultFailsItsCheck) {
    const std::string half = "not running at half the expected sample rate";
    const std::string twice = "not running at double the expected sample rate";
    const struct {
        const char* what;
        double hz, amplitude, rightScale;
        std::size_t frames;
        std::vector<std::string> mustFail, mustPass;
    } cases[] = {
        // A device running at twice the rate the file claims plays the tone back at half its pitch.
        // The level is right; with nothing at 1000 Hz the other pitch checks fail as well.
        {"twice the rate", 500, 0.5, 1, 96000, {half}, {"left channel amplitude is ~0.5 (got 0.500)"}},
        {"half the rate", 2000, 0.5, 1, 96000, {twice}, {"right channel amplitude is ~0.5 (got 0.500)"}},
        {"too quiet", 1000, 0.4, 1, 96000,
         {"left channel amplitude is ~0.5 (got 0.400)", "right channel amplitude is ~0.5 (got 0.400)"},
         {"tone magnitude is in the right range"}},
        {"too loud", 1000, 0.6, 1, 96000, {"left channel amplitude is ~0.5 (got 0.600)"}, {half, twice}},
        {"right channel silent", 1000, 0.5, 0, 96000, {"right channel amplitude is ~0.5 (got 0.000)"},
         {"left channel amplitude is ~0.5 (got 0.500)"}},
        {"exactly one second", 1000, 0.5, 1, 48000, {"at least a second of audio captured"}, {"file verifies"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::TempDir dir;
        SuiteHarness r = Harness();
        SignalTest::CheckRecording(r, {WriteTone(dir / "Signal.wav", c.hz, c.amplitude, c.frames, c.rightScale)});
        const auto failures = r.Failures();
        const std::string text = r.Report();
        for (const auto& f : c.mustFail) EXPECT_NE(std::find(failures.begin(), failures.end(), f), failures.end()) << f;
        for (const auto& p : c.mustPass) EXPECT_NE(text.find("   ok   " + p + "\r\n"), std::string::npos) << p;
    }
    // A recording of exactly one second stops there: no level or pitch lines.
    testing::TempDir dir;
    SuiteHarness r = Harness();
    SignalTest::CheckRecording(r, {WriteTone(dir / "Signal.wav", 1000, 0.5, 48000)});
    EXPECT_EQ(r.Report().find("Peak amplitude"), std::string::npos);
    EXPECT_EQ(r.Passed(), 2);
}

TEST(SignalTestAnalysis, FileCountsAndFilesShorterThanTheyClaim) {
    testing::TempDir dir;
    {
        SuiteHarness none = Harness();
        SignalTest::CheckRecording(none, {});
        EXPECT_EQ(none.Failures(), std::vector<std::string>{"exactly one file produced"});
        EXPECT_EQ(none.Passed(), 0);
    }
    {
        // Two files: the count fails, the first is still analysed.
        SuiteHarness two = Harness();
        const fs::path a = WriteTone(dir / "a.wav", 1000, 0.5, 96000);
        const fs::path b = WriteTone(dir / "b.wav", 1000, 0.5, 96000);
        SignalTest::CheckRecording(two, {a, b});
        EXPECT_EQ(two.Failures(), std::vector<std::string>{"exactly one file produced"});
        EXPECT_EQ(two.Passed(), 8);
    }
    // A recording cut short: its header claims 96000 frames, the file holds 60000 and a half.
    const fs::path cut = WriteTone(dir / "cut.wav", 1000, 0.5, 96000);
    fs::resize_file(cut, Rf64Writer::kHeaderBytes + 60000 * 6 + 4);
    const auto pcm = SignalTest::ReadPcm24Stereo(cut);
    EXPECT_EQ(pcm.left.size(), 60000u);
    EXPECT_EQ(pcm.right.size(), 60000u);
    EXPECT_NEAR(SignalTest::Peak(pcm.left, 0, 60000), 0.5, 1e-4);
    SuiteHarness r = Harness();
    SignalTest::CheckRecording(r, {cut});
    EXPECT_NE(r.Report().find("Read back 60000 frames (1.25 s)\r\n"), std::string::npos) << r.Report();

    // Too short to hold the header at all: a format error, which the harness reports as a crash.
    fs::resize_file(cut, 50);
    EXPECT_THROW((void)SignalTest::ReadPcm24Stereo(cut), FormatError);
    EXPECT_THROW((void)SignalTest::ReadPcm24Stereo(dir / "missing.wav"), IoError);
}

}  // namespace
}  // namespace twr
