#include "selftest/self_test.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <set>
#include <system_error>
#include <tuple>

#include "app/config.h"
#include "app/json.h"
#include "app/platform.h"
#include "app/text_formats.h"
#include "feedback/sound_library.h"
#include "recording/recorder.h"
#include "recording/rf64_writer.h"
#include "recording/wav_file.h"
#include "ui/crash_recovery.h"
#include "ui/notifier.h"
#include "ui/spin_rules.h"
#include "ui/utf16.h"
#include "update/updater.h"

namespace twr {

namespace fs = std::filesystem;

namespace {

std::string Str(int64_t n) { return std::to_string(n); }

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// Little-endian fields of a file read whole; a field past the end reads as 0, so a short
// file fails its checks instead of reading out of bounds.
struct Bytes {
    std::string data;
    explicit Bytes(const fs::path& path) : data(platform::ReadFileBytes(path)) {}
    [[nodiscard]] uint64_t Le(size_t offset, size_t size) const {
        if (offset + size > data.size()) return 0;
        uint64_t v = 0;
        for (size_t i = 0; i < size; ++i) v |= uint64_t(static_cast<uint8_t>(data[offset + i])) << (8 * i);
        return v;
    }
    [[nodiscard]] uint16_t U16(size_t o) const { return static_cast<uint16_t>(Le(o, 2)); }
    [[nodiscard]] int16_t S16(size_t o) const { return static_cast<int16_t>(U16(o)); }
    [[nodiscard]] uint32_t U32(size_t o) const { return static_cast<uint32_t>(Le(o, 4)); }
    [[nodiscard]] int32_t S32(size_t o) const { return static_cast<int32_t>(U32(o)); }
    [[nodiscard]] int64_t S64(size_t o) const { return static_cast<int64_t>(Le(o, 8)); }
    [[nodiscard]] std::string Ascii(size_t o, size_t n) const { return o + n <= data.size() ? data.substr(o, n) : ""; }
};

void PutLe(std::string& out, uint64_t value, int size) {
    for (int i = 0; i < size; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void WriteRf64(const fs::path& path, int rate, int channels, int bits, const std::vector<float>& samples) {
    Rf64Writer w(path, rate, channels, bits);
    w.Write(samples, 0, samples.size());
    w.Close();
}

int Magnitude(int16_t sample) { return std::abs(static_cast<int>(sample)); }

// The sample of largest magnitude, the first one on ties; 0 for no samples.
int16_t Peak(const SelfTest::Samples& s) {
    int16_t peak = 0;
    for (int16_t x : s)
        if (Magnitude(x) > Magnitude(peak)) peak = x;
    return peak;
}

}  // namespace

int SelfTest::Run() {
    SuiteHarness h("twr_selftest_report.txt");
    const fs::path scratch = platform::TempDir() / SuiteHarness::UniqueName("twr_selftest_");
    h.Guard([&] {
        platform::CreateDirectories(scratch);
        TestJson(h, scratch);
        TestConfig(h, scratch);
        TestTimeText(h);
        TestPercentAndNaming(h);
        TestRouting(h);
        TestDurationUnits(h);
        TestNotificationText(h);
        TestRf64(h, scratch);
        TestRepair(h, scratch);
        TestSounds(h);
        TestUpdater(h, scratch);
        TestTemplates(h);
    });
    std::error_code ec;
    fs::remove_all(scratch, ec);
    h.Summary("checks");
    h.WriteReport();
    return h.ExitCode();
}

void SelfTest::TestJson(SuiteHarness& h, const fs::path&) {
    h.Section("JSON");
    const std::string deviceId = "{0.0.1.00000000}.{1bbd4f04-1fa9-44a5-9db6-1c80c85190e2}";
    const std::string fixture =
        "{\r\n"
        "    \"auto_start\": true,\r\n"
        "    \"auto_start_delay\": 5,\r\n"
        "    \"save_folder\": \"C:/Users/Admin/Downloads/code\",\r\n"
        "    \"sample_rate\": \"44100\",\r\n"
        "    \"bit_depth\": \"16\",\r\n"
        "    \"channels\": \"2\",\r\n"
        "    \"group_splits\": true,\r\n"
        "    \"buffer_size\": 512,\r\n"
        "    \"device_id\": \"" + deviceId + "\",\r\n"
        "    \"device2_id\": \"none\",\r\n"
        "    \"snd_volume\": 15,\r\n"
        "    \"split_silence_sec\": 0,\r\n"
        "    \"split_threshold_db\": -40\r\n"
        "}";
    const JsonObject o = JsonObject::ParseObject(fixture);
    h.Eq(o.GetBool("auto_start", false), true, "auto_start parsed");
    h.Eq(o.GetInt("auto_start_delay", 0), 5, "auto_start_delay parsed");
    h.Eq(o.GetString("sample_rate", ""), std::string("44100"), "quoted sample_rate kept as string");
    h.Eq(o.GetInt("sample_rate", 0), 44100, "quoted sample_rate readable as int");
    h.Eq(o.GetInt("split_threshold_db", 0), -40, "negative number parsed");
    h.Eq(o.GetString("device_id", ""), deviceId, "device id with braces parsed");
    const std::string written = o.ToJson(4);
    const JsonObject again = JsonObject::ParseObject(written);
    h.Eq(again.GetInt("buffer_size", 0), 512, "round-trip keeps numbers");
    h.Eq(again.GetInt("split_silence_sec", -1), 0, "round-trip keeps unknown keys");
    h.Check(Contains(written, "\"split_threshold_db\": -40"), "negative number re-serialised without decimals");
    const std::string folder = "D:\\Recordings\\Take \"1\"";
    JsonObject paths;
    paths.Set("save_folder", folder);
    h.Eq(JsonObject::ParseObject(paths.ToJson(4)).GetString("save_folder", ""), folder,
         "backslashes and quotes round-trip");
    h.Check(!o.Keys().empty() && o.Keys().front() == "auto_start", "key order preserved");
}

void SelfTest::TestConfig(SuiteHarness& h, const fs::path& scratch) {
    h.Section("Config");
    const fs::path path = scratch / "recorder_config.json";
    platform::WriteFileDurable(path, R"({"auto_split_mins": 7, "window_title": "TWR", "future_key": "keep me"})");
    Config c(path);
    h.Eq(c.Data().GetInt("auto_split_secs", Config::kDefaultAutoSplitSecs), 420, "auto_split_mins migrated to seconds");
    h.Eq(c.WindowTitle(), std::string("TWR"), "window_title read");
    h.Eq(c.SampleRate(), std::string("48000"), "missing key falls back to default");
    h.Eq(c.In1Gain(), 1.0, "in1_gain defaults to 1.0 with no second input");
    h.Eq(platform::PathText(c.SaveFolder()), platform::PathText(Config::AppFolder()),
         "an unchosen save folder is the program's own folder");
    h.Eq(c.DeviceId(), std::string(""), "no recording device is chosen by default");
    c.Data().Set("device2_id", "{0.0.1.0}.{abc}");
    h.Eq(c.In1Gain(), 0.5, "in1_gain drops to 0.5 once a second input is set");
    c.Set("snd_volume", 42);
    c.Save();
    const std::string saved = platform::ReadFileBytes(path);
    h.Check(Contains(saved, "future_key"), "unknown key survives a save");
    h.Check(!Contains(saved, "auto_split_mins"), "migrated key is not written back");
    const Config reloaded(path);
    h.Eq(reloaded.Data().GetInt("snd_volume", Config::kDefaultSndVolume), 42, "saved value reloads");
    h.Eq(reloaded.Data().GetInt("auto_split_secs", Config::kDefaultAutoSplitSecs), 420, "migrated value persisted");
    platform::WriteFileDurable(path, "{ this is not json");
    h.Eq(Config(path).SampleRate(), std::string("48000"), "corrupt config falls back to defaults");
}

void SelfTest::TestTimeText(SuiteHarness& h) {
    h.Section("Duration text");
    const std::vector<std::tuple<int32_t, std::string, std::string>> formats = {
        {0, "0 seconds (off)", "zero formats as off"},
        {1, "1 second", "singular second"},
        {60, "1 minute", "singular minute"},
        {3600, "1 hour", "singular hour"},
        {5400, "1 hour, 30 minutes", "hour plus minutes"},
        {3661, "1 hour, 1 minute, 1 second", "all three units"},
        {7325, "2 hours, 2 minutes, 5 seconds", "plurals"},
        {86400, "24 hours", "a full day"},
    };
    for (const auto& [seconds, text, label] : formats) h.Eq(TimeText::Format(seconds), text, label);
    const std::vector<std::tuple<std::string, int32_t, std::string>> parses = {
        {"90", 90, "bare number is seconds"},
        {"90s", 90, "suffix s"},
        {"5m", 300, "suffix m"},
        {"2h", 7200, "suffix h"},
        {"1h30m", 5400, "compound with no spaces"},
        {"1 hour, 30 minutes", 5400, "spoken form parses back"},
        {"0 seconds (off)", 0, "off form parses back to zero"},
        {"1h 30", 5400, "bare number after hours means minutes"},
        {"5m 30", 330, "bare number after minutes means seconds"},
        {"", 0, "empty is zero"},
        {"abc", 0, "no digits is zero"},
    };
    for (const auto& [text, seconds, label] : parses) h.Eq(TimeText::Parse(text), seconds, label);
    for (int32_t v : {0, 1, 7, 59, 60, 61, 119, 3599, 3600, 3601, 5400, 7325, 86399, 86400, 2000000})
        h.Eq(TimeText::Parse(TimeText::Format(v)), v, "round-trip " + Str(v));
    h.Eq(TimeText::Format(TimeText::Parse("90m")), std::string("1 hour, 30 minutes"), "normalise rewrites shorthand");
    h.Eq(TimeText::Format(std::min(TimeText::Parse("999999"), int32_t{3600})), std::string("1 hour"),
         "normalise clamps to max");
}

void SelfTest::TestPercentAndNaming(SuiteHarness& h) {
    h.Section("Percent and file naming");
    h.Eq(PercentText::Format(15), std::string("15 percent"), "percent formatting");
    h.Eq(PercentText::Parse("15 percent", 100), 15, "percent parses back");
    h.Eq(PercentText::Parse("", 77), 77, "empty percent uses fallback");
    h.Eq(PercentText::Parse("abc", 77), 77, "non-numeric percent uses fallback");
    for (int32_t v : {1, 15, 50, 100}) h.Eq(PercentText::Parse(Str(v) + " percent", -1), v, "percent round-trip " + Str(v));
    h.Eq(Naming::SanitizePrefix("  My*Rec:ord/ing?  "), std::string("MyRecording"), "illegal characters stripped");
    h.Eq(Naming::SanitizePrefix(""), std::string(""), "empty prefix stays empty");
    h.Eq(Naming::SanitizePrefix("Interview 12"), std::string("Interview 12"), "spaces and digits kept");
    h.Eq(Naming::Timestamp(platform::LocalTime{2026, 8, 26, 14, 3, 9, 0}), std::string("20260826_140309"),
         "timestamp format");
}

void SelfTest::TestRouting(SuiteHarness& h) {
    h.Section("Channel routing");
    const float source[4] = {0.8f, -0.6f, 0.4f, 0.2f};
    auto route = [&](std::string_view name, int channels, float gain) {
        std::vector<float> out(8, 0.0f);
        Recorder::ApplyRouting(source, 2, name, channels, out.data(), gain);
        return out;
    };
    const auto both = route("Both Channels", 2, 1);
    h.Eq(both[0], 0.8f, "stereo both: L preserved");
    h.Eq(both[1], -0.6f, "stereo both: R preserved");
    h.Eq(both[3], 0.2f, "stereo both: second frame R");
    const auto left = route("Left Channel Only", 2, 1);
    h.Eq(left[0], 0.8f, "stereo left-only: L on left");
    h.Eq(left[1], 0.0f, "stereo left-only: right silent");
    const auto right = route("Right Channel Only", 2, 1);
    h.Eq(right[0], 0.0f, "stereo right-only: left silent");
    h.Eq(right[1], -0.6f, "stereo right-only: R on right");
    const auto mono = route("Both Channels", 1, 1);
    // The averages as 32-bit arithmetic gives them, not the decimal values they stand for.
    h.Eq(mono[0], std::bit_cast<float>(0x3DCCCCCCu), "mono both: average of L and R");
    h.Eq(mono[1], std::bit_cast<float>(0x3E99999Au), "mono both: second frame average");
    h.Eq(route("Left Channel Only", 1, 1)[0], 0.8f, "mono left-only takes L");
    h.Eq(route("Right Channel Only", 1, 1)[0], -0.6f, "mono right-only takes R");
    h.Eq(route("Both Channels", 2, 0.5f)[0], 0.4f, "gain applied");
}

void SelfTest::TestDurationUnits(SuiteHarness& h) {
    h.Section("Duration units");
    auto parts = [](int64_t seconds) {
        const auto p = DurationRules::Decompose(seconds);
        return std::pair<int32_t, int32_t>(p.value, p.unit);
    };
    const std::vector<std::tuple<int64_t, std::pair<int32_t, int32_t>, std::string>> cases = {
        {0, {0, 0}, "zero is 0 seconds"},
        {45, {45, 0}, "45 stays in seconds"},
        {60, {1, 1}, "60 becomes 1 minute"},
        {90, {90, 0}, "90 stays in seconds, not 1.5 minutes"},
        {300, {5, 1}, "300 becomes 5 minutes"},
        {3600, {1, 2}, "3600 becomes 1 hour"},
        {5400, {90, 1}, "5400 becomes 90 minutes, not 1.5 hours"},
        {7200, {2, 2}, "7200 becomes 2 hours"},
        {86400, {24, 2}, "a full day becomes 24 hours"},
        {3661, {3661, 0}, "an awkward value stays in seconds"},
        {-5, {0, 0}, "a negative duration clamps to zero"},
    };
    for (const auto& [seconds, expected, label] : cases) h.Eq(parts(seconds), expected, label);
    for (int32_t v : {0, 1, 30, 59, 60, 61, 120, 299, 300, 3599, 3600, 5400, 7200, 86400, 2000000}) {
        const auto p = DurationRules::Decompose(v);
        const bool known = p.unit >= 0 && p.unit < static_cast<int>(DurationRules::kMultipliers.size());
        h.Eq(known ? p.value * DurationRules::kMultipliers[static_cast<size_t>(p.unit)] : -1, v,
             "round-trip " + Str(v) + " seconds");
    }
    h.Eq(static_cast<int32_t>(DurationRules::kUnitNames.size()), 3, "three unit choices");
    h.Eq(std::string(DurationRules::kUnitNames.front()), std::string("Seconds"), "first unit is Seconds");
    h.Eq(std::string(DurationRules::kUnitNames.back()), std::string("Hours"), "last unit is Hours");
}

void SelfTest::TestNotificationText(SuiteHarness& h) {
    h.Section("Notification text");
    h.Eq(Notifier::Flatten("one\r\ntwo\nthree"), std::string("one two three"), "newlines collapse to spaces");
    h.Eq(Notifier::Flatten("a    b"), std::string("a b"), "runs of spaces collapse");
    h.Eq(Notifier::Flatten("  padded  "), std::string("padded"), "surrounding whitespace trimmed");
    h.Eq(Notifier::Flatten(""), std::string(""), "empty stays empty");
    h.Eq(Notifier::Fit("short", 50), std::string("short"), "text within the limit is untouched");
    const std::string t = Notifier::Fit(std::string(40, 'a') + " " + std::string(40, 'b'), 50);
    const size_t length = Utf16::Length(t);
    h.Check(length <= 50, "truncated text respects the limit (" + Str(static_cast<int64_t>(length)) + ")");
    const std::string ellipsis = "\xE2\x80\xA6";
    h.Check(t.size() >= ellipsis.size() && t.compare(t.size() - ellipsis.size(), ellipsis.size(), ellipsis) == 0,
            "truncation is marked with an ellipsis");
    h.Check(!Contains(t, "bbbb"), "truncation broke on the word boundary");
    h.Check(Utf16::Length(Notifier::Fit(std::string(100, 'x'), 20)) <= 20, "unbreakable text is hard-cut to the limit");
    for (const char* body : {"Recording has begun.", "File safely saved to disk.",
                             "Saved, but 12 blocks dropped and 34 silence blocks substituted.",
                             "Saved with warnings. Please verify the recording.",
                             "File finalization failed. The recording may be incomplete.",
                             "Stopped: maximum recording length reached.", "Drive D: disconnected. Recording stopped.",
                             "Microphone 1 disconnected. Continuing on the remaining input.",
                             "Microphone 2 disconnected. Recording stopped.", "Split 12 started", "Recording failed."})
        h.Check(Utf16::Length(body) <= 255 && Notifier::Fit(Notifier::Flatten(body), 255) == body,
                std::string("notification body fits uncut: \"") + body + "\"");
    for (const char* title : {"Recording Started", "Recording Saved", "File Split", "Max Length Reached",
                              "Drive Disconnected", "Microphone Disconnected", "Error"})
        h.Check(Utf16::Length(title) <= 63, std::string("notification title fits uncut: \"") + title + "\"");
}

void SelfTest::TestRf64(SuiteHarness& h, const fs::path& scratch) {
    h.Section("RF64 writer");
    const fs::path p24 = scratch / "test24.wav";
    {
        std::vector<float> samples(2000);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(std::sin(0.01 * static_cast<double>(i)));
        Rf64Writer w(p24, 48000, 2, 24);
        w.Write(samples, 0, samples.size());
        h.Eq(static_cast<int64_t>(w.FramesWritten()), int64_t{1000}, "frame count tracked");
        w.Close();
        w.Close();
    }
    const Bytes f(p24);
    const auto length = static_cast<int64_t>(f.data.size());
    h.Eq(f.Ascii(0, 4), std::string("RF64"), "RF64 magic");
    h.Eq(f.U32(4), uint32_t{4294967295u}, "riff size is the -1 sentinel");
    h.Eq(f.Ascii(8, 4), std::string("WAVE"), "WAVE signature");
    h.Eq(f.Ascii(12, 4), std::string("ds64"), "ds64 chunk first");
    h.Eq(f.U32(16), uint32_t{28}, "ds64 chunk size");
    h.Eq(f.S64(20), length - 8, "ds64 riff size");
    h.Eq(f.S64(28), int64_t{6000}, "ds64 data size");
    h.Eq(f.S64(36), int64_t{1000}, "ds64 sample count");
    h.Eq(f.Ascii(48, 4), std::string("fmt "), "fmt chunk offset");
    h.Eq(f.U16(56), uint16_t{1}, "PCM format tag");
    h.Eq(f.U16(58), uint16_t{2}, "channel count");
    h.Eq(f.U32(60), uint32_t{48000}, "sample rate");
    h.Eq(f.U16(68), uint16_t{6}, "block align");
    h.Eq(f.U16(70), uint16_t{24}, "bit depth");
    h.Eq(f.Ascii(72, 4), std::string("data"), "data chunk at offset 72");
    h.Eq(f.U32(76), uint32_t{4294967295u}, "data size is the -1 sentinel");
    h.Eq(static_cast<int32_t>(length), 6080, "total file size");
    h.Check(WavFile::Verify(p24, 2, 48000), "written file verifies");
    h.Check(!WavFile::Verify(p24, 1, 48000), "verify rejects a channel mismatch");

    const fs::path clip = scratch / "clip16.wav";
    WriteRf64(clip, 44100, 1, 16, {2.0f, -2.0f, 0.0f});
    const Bytes c(clip);
    h.Eq(c.S16(80), int16_t{32767}, "positive clip");
    h.Eq(c.S16(82), int16_t{-32767}, "negative clip");
    h.Eq(c.S16(84), int16_t{0}, "silence stays zero");

    const fs::path odd = scratch / "odd24.wav";
    WriteRf64(odd, 44100, 1, 24, {0.5f, 0.25f, 0.125f});
    h.Eq(static_cast<int64_t>(platform::FileSize(odd).value_or(1) % 2), int64_t{0},
         "odd data length padded to an even file size");
    h.Check(WavFile::Verify(odd, 1, 44100), "padded 24-bit mono file verifies");

    const fs::path p32 = scratch / "test32.wav";
    WriteRf64(p32, 96000, 2, 32, {1.0f, -1.0f});
    const Bytes d(p32);
    h.Eq(d.S32(80), int32_t{2147483647}, "32-bit positive full scale");
    h.Eq(d.S32(84), int32_t{-2147483647}, "32-bit negative full scale");
    h.Check(WavFile::Verify(p32, 2, 96000), "32-bit file verifies");
}

void SelfTest::TestRepair(SuiteHarness& h, const fs::path& scratch) {
    h.Section("Crash repair");
    const fs::path unfinished = scratch / "unfinalised.wav";
    {
        std::string b = "RF64";
        PutLe(b, 0xFFFFFFFFu, 4);
        b += "WAVEds64";
        PutLe(b, 28, 4);
        PutLe(b, 0, 8);
        PutLe(b, 0, 8);
        PutLe(b, 0, 8);
        PutLe(b, 0, 4);  // empty table
        b += "fmt ";
        PutLe(b, 16, 4);
        PutLe(b, 1, 2);
        PutLe(b, 2, 2);
        PutLe(b, 48000, 4);
        PutLe(b, 288000, 4);
        PutLe(b, 6, 2);
        PutLe(b, 24, 2);
        b += "data";
        PutLe(b, 0, 4);
        b.append(3000, '\0');
        platform::WriteFileDurable(unfinished, b);
    }
    h.Check(!WavFile::Verify(unfinished, 0, 0), "unfinalised file fails verification");
    h.Check(WavFile::Repair(unfinished), "repair reports success");
    h.Check(WavFile::Verify(unfinished, 2, 48000), "repaired file verifies");
    h.Check(!platform::FileExists(platform::U8Path(platform::PathText(unfinished) + ".backup")),
            "backup removed after a successful repair");
    const Bytes repaired(unfinished);
    h.Eq(repaired.S64(28), int64_t{3000}, "repair restored the data size");
    h.Eq(repaired.S64(36), int64_t{500}, "repair restored the sample count");

    const fs::path riff = scratch / "unfinalised_riff.wav";
    {
        std::string b = "RIFF";
        PutLe(b, 0, 4);
        b += "WAVEfmt ";
        PutLe(b, 16, 4);
        PutLe(b, 1, 2);
        PutLe(b, 2, 2);
        PutLe(b, 44100, 4);
        PutLe(b, 176400, 4);
        PutLe(b, 4, 2);
        PutLe(b, 16, 2);
        b += "data";
        PutLe(b, 0, 4);
        b.append(400, '\0');
        platform::WriteFileDurable(riff, b);
    }
    h.Check(WavFile::Repair(riff), "RIFF repair reports success");
    h.Check(WavFile::Verify(riff, 2, 44100), "repaired RIFF file verifies");

    const fs::path live = scratch / "live.wav";
    {
        auto writer = HoldForWriting(live, std::string(100, '\0'));
        h.Check(CrashRecovery::IsInUse(live), "a file held open for writing is detected as in use");
    }
    h.Check(!CrashRecovery::IsInUse(live), "the same file is free once the writer closes it");
    h.Check(!CrashRecovery::IsInUse(scratch / "does-not-exist.wav"), "a missing file is not reported as in use");

    const fs::path junk = scratch / "junk.wav";
    platform::WriteFileDurable(junk, std::string(200, '\0'));
    h.Check(!WavFile::Repair(junk), "repair refuses a file with no RIFF/RF64 magic");
}

bool SelfTest::SameAudio(const Samples& a, const Samples& b) noexcept { return a == b; }

void SelfTest::CompareToReference(SuiteHarness& h, std::string_view name, const Samples& samples) {
    if (ReferenceFolder.empty()) return;
    const std::string file = std::string(name) + ".wav";
    const fs::path path = platform::U8Path(ReferenceFolder) / platform::U8Path(file);
    if (!platform::FileExists(path)) {
        h.Fail("reference " + file + " not found");
        return;
    }
    const std::string bytes = platform::ReadFileBytes(path);
    const int64_t frames = bytes.size() >= 44 ? static_cast<int64_t>((bytes.size() - 44) / 2) : 0;
    h.Eq(frames, static_cast<int64_t>(samples.size()), std::string(name) + " reference frame count");
    const int64_t n = std::min(frames, static_cast<int64_t>(samples.size()));
    int64_t mismatches = 0, first = -1;
    for (int64_t i = 0; i < n; ++i) {
        const size_t at = 44 + static_cast<size_t>(i) * 2;
        const auto value = static_cast<int16_t>(static_cast<uint8_t>(bytes[at]) |
                                                (static_cast<uint16_t>(static_cast<uint8_t>(bytes[at + 1])) << 8));
        if (value != samples[static_cast<size_t>(i)]) {
            if (first < 0) first = i;
            ++mismatches;
        }
    }
    h.Check(mismatches == 0, std::string(name) + " is sample-identical to gen_sounds.py output (" + Str(mismatches) +
                                 " mismatches, first at index " + Str(first) + ")");
}

void SelfTest::TestSounds(SuiteHarness& h) {
    h.Section("Sound cues");
    const std::vector<std::pair<std::string, std::string>> defaults = {
        {"start", "Rising Sweep"}, {"stop", "Falling Sweep"}, {"pause", "Low Double Beep"},
        {"unpause", "High Double Beep"}};
    for (const auto& [event, name] : defaults) {
        const Samples& s = SoundLibrary::Get(name);
        h.Eq(static_cast<int32_t>(s.size()), 8820, name + " length matches gen_sounds.py");
        h.Eq(s.empty() ? int16_t{-1} : s.front(), int16_t{0}, name + " starts at silence (fade in)");
        const int last = s.empty() ? 0 : Magnitude(s.back());
        h.Check(!s.empty() && last < 100, name + " ends inside the fade-out (" + Str(last) + ")");
        h.Check(Magnitude(Peak(s)) > 30000, name + " reaches near full scale");
        CompareToReference(h, name, s);
        h.Eq(Config::DefaultSoundFor(event), name, event + " still defaults to " + name);
    }
    const Samples& low = SoundLibrary::Get("Low Double Beep");
    h.Eq(low.size() > 4328 ? low[4328] : int16_t{-1}, int16_t{0}, "double beep gap is silent");
    const auto& names = SoundLibrary::Names();
    h.Eq(names.empty() ? std::string() : names.front(), std::string("None"), "None is the first choice");
    h.Eq(static_cast<int32_t>(SoundLibrary::Get("None").size()), 0, "None renders as no audio");
    for (const std::string& name : names) h.Check(SoundLibrary::IsKnown(name), name + " is recognised by IsKnown");
    for (const std::string& name : names) {
        if (name == "None") continue;
        const Samples& s = SoundLibrary::Get(name);
        const int peak = Peak(s);
        const int first = s.empty() ? 0 : Magnitude(s.front());
        const int last = s.empty() ? 0 : Magnitude(s.back());
        h.Check(!s.empty(), name + " renders audio");
        h.Check(s.size() <= 44100, name + " is at most one second (" + Str(static_cast<int64_t>(s.size())) + " samples)");
        h.Check(std::abs(peak) > 8000, name + " is loud enough to hear (peak " + Str(peak) + ")");
        h.Check(std::abs(peak) < 32767, name + " does not hit full scale (peak " + Str(peak) + ")");
        h.Check(first < 1500, name + " starts near silence (" + Str(first) + ")");
        h.Check(last < 1500, name + " ends near silence (" + Str(last) + ")");
    }
    h.Check(!SoundLibrary::IsKnown("Nonexistent Sound"), "an unknown name is rejected");
    const std::set<std::string> distinct(names.begin(), names.end());
    h.Eq(static_cast<int32_t>(names.size()), static_cast<int32_t>(distinct.size()), "every sound name is unique");
    std::string identical;
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == "None") continue;
        for (size_t j = i + 1; j < names.size(); ++j) {
            if (names[j] == "None") continue;
            if (SameAudio(SoundLibrary::Get(names[i]), SoundLibrary::Get(names[j])))
                identical = " (" + names[i] + " and " + names[j] + ")";
        }
    }
    h.Check(identical.empty(), "no two sounds are identical" + identical);
    h.Check(names.size() >= 60,
            "the library offers at least 60 sounds (" + Str(static_cast<int64_t>(names.size())) + ")");
}

void SelfTest::TestUpdater(SuiteHarness& h, const fs::path& scratch) {
    h.Section("Updater");
    h.Check(Updater::CompareVersions("v1.10.0", "v1.9.0") > 0, "v1.10.0 is newer than v1.9.0");
    h.Check(Updater::CompareVersions("v2.0.0", "v2.0.0") == 0, "identical versions compare equal");
    h.Check(Updater::CompareVersions("v2.0.1", "v2.0.0") > 0, "patch bump is newer");
    h.Check(Updater::CompareVersions("v1.9.9", "v2.0.0") < 0, "major bump is newer");
    h.Check(Updater::CompareVersions("2.1", "v2.0.5") > 0, "a missing v and short form still compare");
    h.Check(Updater::CompareVersions("v2.0", "v2.0.0") == 0, "absent components count as zero");
    h.Check(Updater::CompareVersions("garbage", "v0.0.1") < 0, "unparseable is treated as oldest");
    std::string joined;
    for (int part : Updater::ParseVersion("v3.4.5")) {
        if (!joined.empty()) joined += '.';
        joined += Str(part);
    }
    h.Eq(joined, std::string("3.4.5"), "tag parses to components");
    const std::string a(64, 'A'), b(64, 'B');
    const std::string sums = a + "  Tapewright-win-arm64.exe\n" + b + "  Tapewright-win-x64.exe";
    h.Eq(Updater::FindHashFor(sums, "win-arm64"), std::optional<std::string>(a), "arm64 hash selected");
    h.Eq(Updater::FindHashFor(sums, "win-x64"), std::optional<std::string>(b), "x64 hash selected");
    h.Check(!Updater::FindHashFor(sums, "win-x86"), "a missing architecture yields no hash");
    h.Check(!Updater::FindHashFor("", "win-x64"), "an empty checksum file yields no hash");
    h.Check(!Updater::FindHashFor("not a checksum line", "win-x64"), "junk yields no hash");
    const std::string notes = Updater::CleanNotes("## Heading\n- Fixed **a thing**\n\n* Added `stuff`\n");
    h.Check(notes.find_first_of("#*`") == std::string::npos, "markdown symbols stripped from release notes");
    h.Check(Contains(notes, "Fixed a thing"), "release note text survives cleaning");
    h.Check(!Contains(notes, "\n\n"), "blank lines removed from release notes");

    const fs::path sweep = scratch / "sweep";
    platform::CreateDirectories(sweep);
    platform::WriteFileDurable(sweep / "Tapewright.exe", "current");
    platform::WriteFileDurable(sweep / "Tapewright.exe.old-update", "previous");
    platform::WriteFileDurable(sweep / "Tapewright.exe.new", "staged");
    platform::WriteFileDurable(sweep / "recording.wav", "keep me");
    h.Eq(Updater::CleanupLeftovers(sweep), 0, "sweep reports nothing left behind");
    h.Check(!platform::FileExists(sweep / "Tapewright.exe.old-update"), "old executable deleted");
    h.Check(!platform::FileExists(sweep / "Tapewright.exe.new"), "staged download deleted");
    h.Check(platform::FileExists(sweep / "Tapewright.exe"), "the live executable is kept");
    h.Check(platform::FileExists(sweep / "recording.wav"), "unrelated files are untouched");
    int32_t files = 0;
    std::error_code ec;
    for (fs::directory_iterator it(sweep, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec)) ++files;
    h.Eq(files, 2, "only the executable and the recording remain");
    h.Eq(Updater::CleanupLeftovers(sweep), 0, "sweeping a clean folder is harmless");
    const std::string arch = Updater::ArchSuffix();
    h.Check(arch == "win-arm64" || arch == "win-x64" || arch == "win-x86",
            "architecture suffix is a known value (" + arch + ")");
    auto lower = [](std::string s) {
        for (char& ch : s)
            if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        return s;
    };
    h.Check(Contains(lower("Tapewright-" + arch + ".exe"), lower(arch)),
            "published asset name carries the architecture the updater matches on");
}

void SelfTest::CheckTemplate(SuiteHarness& h, std::string_view name, const std::vector<uint8_t>& bytes) {
    const std::string n(name);
    auto le = [&](size_t offset, size_t size) {
        uint32_t v = 0;
        for (size_t i = 0; i < size && offset + i < bytes.size(); ++i) v |= uint32_t(bytes[offset + i]) << (8 * i);
        return v;
    };
    const uint32_t style = le(0, 4);
    const uint16_t count = static_cast<uint16_t>(le(8, 2));
    const auto width = static_cast<int16_t>(le(14, 2));
    const auto height = static_cast<int16_t>(le(16, 2));
    h.Check(bytes.size() > 32, n + " template is non-empty");
    h.Check(count > 0, n + " declares controls");
    h.Check(width > 0 && height > 0, n + " has a positive size");
    h.Check(height <= 420, n + " fits a 768px-tall screen (" + Str(height) + " dlu)");
    h.Check((style & 0x40) != 0, n + " sets a dialog font");
}

}  // namespace twr
