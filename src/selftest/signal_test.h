#pragma once
// --signaltest: plays a 1000 Hz tone into a virtual audio cable, records the cable's loopback
// endpoint with the real Recorder into a 24-bit stereo RF64 file at 48000 Hz, reads the file back
// and checks its level and pitch. Everything after the recording (reading, windows, peaks,
// Goertzel magnitudes, the checks and their lines) is portable; finding the devices, playing and
// recording are platform code (signal_test_win.cpp).
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "selftest/suite_harness.h"

namespace twr {

class SignalTest {
public:
    static constexpr int kRate = 48000;
    static constexpr double kToneHz = 1000;
    static constexpr double kAmplitude = 0.5;
    static constexpr int kToneFrames = 192000;
    // Accepted peaks lie strictly between these.
    static constexpr double kPeakLow = 0.425;
    static constexpr double kPeakHigh = 0.575;
    static constexpr const char* kDefaultCable = "Line 1";
    static constexpr const char* kReportName = "twr_signaltest_report.txt";

    // Runs the test with the whole command line; 0 when every check passed or the test was
    // skipped, 1 otherwise. Windows only.
    static int Run(const std::vector<std::string>& args);

    // The text after the last "--cable" that is not the last argument, else "Line 1".
    [[nodiscard]] static std::string CableName(const std::vector<std::string>& args);
    // The lines printed when the cable's loopback endpoint (given by its display name, empty when
    // not found) or its output device (-1 when not found) is missing.
    [[nodiscard]] static std::vector<std::string> SkipLines(const std::string& cable, const std::string& endpoint,
                                                            int deviceNumber);
    // The tone: 192000 stereo frames of 16-bit samples, both channels alike.
    [[nodiscard]] static std::vector<std::int16_t> Tone();
    // Hands the tone to the waveform output device and sleeps while it plays. Windows only.
    static void PlayTone(int deviceNumber);

    // The checks on the files a recording left, from "exactly one file produced" on, with their
    // lines; the files are the *.wav directly in the output folder. A check that ends the run early
    // leaves the later ones out.
    static void CheckRecording(SuiteHarness& h, const std::vector<std::filesystem::path>& files);
    // The summary ("signal checks"), the report file; the exit code.
    static int Finish(SuiteHarness& h);

    struct Stereo {
        std::vector<float> left;
        std::vector<float> right;
    };
    // The samples of a 24-bit stereo RF64 file as this recorder writes it (data from byte 80, the
    // data size at byte 28). The frame count is what the size claims, but never more than the file
    // holds. IoError when the file cannot be read, FormatError when it is too short for its header.
    [[nodiscard]] static Stereo ReadPcm24Stereo(const std::filesystem::path& path);
    // Signed 24-bit little-endian at offset, sign-extended.
    [[nodiscard]] static std::int32_t Sample24(const std::uint8_t* bytes, std::size_t offset) noexcept;
    // The analysis window of a recording: from a third in, at most one second long.
    struct Window {
        std::size_t start;
        std::size_t count;
    };
    [[nodiscard]] static Window AnalysisWindow(std::size_t frames) noexcept;
    // Largest absolute sample of samples[start, start + count).
    [[nodiscard]] static double Peak(const std::vector<float>& samples, std::size_t start, std::size_t count) noexcept;
    // Magnitude at the frequency over samples[start, start + count); a sine of amplitude a there gives about a.
    [[nodiscard]] static double Goertzel(const std::vector<float>& samples, std::size_t start, std::size_t count,
                                         double sampleRate, double frequency) noexcept;
};

}  // namespace twr
