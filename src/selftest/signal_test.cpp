#include "selftest/signal_test.h"

#include <algorithm>
#include <cmath>

#include "app/errors.h"
#include "app/platform.h"
#include "feedback/stable_math.h"
#include "recording/rf64_writer.h"
#include "recording/wav_file.h"

namespace twr {

namespace {

constexpr std::size_t kDataSizeOffset = 28;
constexpr std::size_t kFrameBytes = 6;
constexpr double kFullScale24 = 8388607;

std::uint64_t ReadU64(const std::string& bytes, std::size_t offset) noexcept {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[offset + static_cast<std::size_t>(i)]);
    return v;
}

}  // namespace

std::string SignalTest::CableName(const std::vector<std::string>& args) {
    std::string cable = kDefaultCable;
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--cable") cable = args[i + 1];
    return cable;
}

std::vector<std::string> SignalTest::SkipLines(const std::string& cable, const std::string& endpoint,
                                               int deviceNumber) {
    return {
        "Skipped: no virtual cable matching \"" + cable + "\" found.",
        "  loopback endpoint: " + (endpoint.empty() ? std::string("not found") : endpoint),
        "  waveOut device   : " + (deviceNumber < 0 ? std::string("not found") : std::to_string(deviceNumber)),
        "",
        "This test needs a virtual audio cable so nothing is played aloud.",
    };
}

std::vector<std::int16_t> SignalTest::Tone() {
    std::vector<std::int16_t> samples(2 * static_cast<std::size_t>(kToneFrames));
    for (int i = 0; i < kToneFrames; ++i) {
        const double v = StableMath::Sin(i * 6283.185307179586 / kRate) * kAmplitude * 32767;
        const auto s = static_cast<std::int16_t>(static_cast<int>(v));
        samples[2 * static_cast<std::size_t>(i)] = s;
        samples[2 * static_cast<std::size_t>(i) + 1] = s;
    }
    return samples;
}

std::int32_t SignalTest::Sample24(const std::uint8_t* bytes, std::size_t offset) noexcept {
    const std::uint32_t u = static_cast<std::uint32_t>(bytes[offset]) | (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
                            (static_cast<std::uint32_t>(bytes[offset + 2]) << 16);
    return static_cast<std::int32_t>(u ^ 0x800000u) - 0x800000;
}

SignalTest::Stereo SignalTest::ReadPcm24Stereo(const std::filesystem::path& path) {
    const std::string bytes = platform::ReadFileBytes(path);
    if (bytes.size() < Rf64Writer::kHeaderBytes)
        throw FormatError("The recording " + platform::PathText(path) + " is too short to hold its header");
    // A size that claims more than the file holds (a recording cut short) reads what is there.
    const std::uint64_t held = (bytes.size() - Rf64Writer::kHeaderBytes) / kFrameBytes;
    const std::size_t frames = static_cast<std::size_t>(std::min(ReadU64(bytes, kDataSizeOffset) / kFrameBytes, held));
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data()) + Rf64Writer::kHeaderBytes;
    Stereo out;
    out.left.resize(frames);
    out.right.resize(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        out.left[i] = static_cast<float>(Sample24(data, kFrameBytes * i)) / static_cast<float>(kFullScale24);
        out.right[i] = static_cast<float>(Sample24(data, kFrameBytes * i + 3)) / static_cast<float>(kFullScale24);
    }
    return out;
}

SignalTest::Window SignalTest::AnalysisWindow(std::size_t frames) noexcept {
    const std::size_t start = frames / 3;
    const std::size_t rest = frames - start;
    return {start, std::min<std::size_t>(kRate, rest > 0 ? rest - 1 : 0)};
}

double SignalTest::Peak(const std::vector<float>& samples, std::size_t start, std::size_t count) noexcept {
    double peak = 0;
    const std::size_t end = std::min(samples.size(), start + count);
    for (std::size_t i = start; i < end; ++i) peak = std::max(peak, std::fabs(static_cast<double>(samples[i])));
    return peak;
}

double SignalTest::Goertzel(const std::vector<float>& samples, std::size_t start, std::size_t count,
                            double sampleRate, double frequency) noexcept {
    if (count == 0) return 0;
    const double c = 2 * std::cos(frequency * 6.283185307179586 / sampleRate);
    double s1 = 0;
    double s2 = 0;
    const std::size_t end = std::min(samples.size(), start + count);
    for (std::size_t i = start; i < end; ++i) {
        const double s = samples[i] + c * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return std::sqrt(s1 * s1 + s2 * s2 - c * s1 * s2) / (static_cast<double>(count) * 0.5);
}

int SignalTest::Finish(SuiteHarness& h) {
    h.Summary("signal checks");
    h.WriteReport();
    return h.ExitCode();
}

void SignalTest::CheckRecording(SuiteHarness& h, const std::vector<std::filesystem::path>& files) {
    const auto Fixed = SuiteHarness::Fixed;
    h.Check(files.size() == 1, "exactly one file produced");
    if (files.empty()) return;
    const std::filesystem::path& file = files.front();
    h.Check(WavFile::Verify(file, 2, kRate), "file verifies");

    const Stereo pcm = ReadPcm24Stereo(file);
    const std::size_t frames = pcm.left.size();
    h.Say("");
    h.Say("Read back " + std::to_string(frames) + " frames (" + Fixed(static_cast<double>(frames) / kRate, 2) + " s)");
    h.Check(frames > static_cast<std::size_t>(kRate), "at least a second of audio captured");
    if (frames <= static_cast<std::size_t>(kRate)) return;

    const Window w = AnalysisWindow(frames);
    const double left = Peak(pcm.left, w.start, w.count);
    const double right = Peak(pcm.right, w.start, w.count);
    h.Say("Peak amplitude: left " + Fixed(left, 4) + ", right " + Fixed(right, 4));
    const std::string amplitude = SuiteHarness::Text(kAmplitude);
    h.Check(left > kPeakLow && left < kPeakHigh, "left channel amplitude is ~" + amplitude + " (got " + Fixed(left, 3) + ")");
    h.Check(right > kPeakLow && right < kPeakHigh,
            "right channel amplitude is ~" + amplitude + " (got " + Fixed(right, 3) + ")");

    const double m1000 = Goertzel(pcm.left, w.start, w.count, kRate, kToneHz);
    const double m500 = Goertzel(pcm.left, w.start, w.count, kRate, kToneHz / 2);
    const double m2000 = Goertzel(pcm.left, w.start, w.count, kRate, kToneHz * 2);
    const double m3300 = Goertzel(pcm.left, w.start, w.count, kRate, 3300);
    const std::string tone = SuiteHarness::Text(kToneHz);
    h.Say("Goertzel magnitude: " + tone + " Hz = " + Fixed(m1000, 4) + ", " + SuiteHarness::Text(kToneHz / 2) +
          " Hz = " + Fixed(m500, 4) + ", " + SuiteHarness::Text(kToneHz * 2) + " Hz = " + Fixed(m2000, 4) +
          ", 3300 Hz = " + Fixed(m3300, 4));
    h.Check(m1000 > 20 * m3300, "energy is concentrated at " + tone + " Hz");
    h.Check(m1000 > 10 * m500, "not running at half the expected sample rate");
    h.Check(m1000 > 10 * m2000, "not running at double the expected sample rate");
    h.Check(m1000 > 0.2, "tone magnitude is in the right range");
}

}  // namespace twr
