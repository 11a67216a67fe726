#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "app/config.h"
#include "app/platform.h"
#include "app/win_raii.h"
#include "feedback/wave_out.h"
#include "recording/recorder.h"
#include "recording/wasapi.h"
#include "selftest/signal_test.h"

namespace twr {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::search(text.begin(), text.end(), part.begin(), part.end(),
                       [&](char a, char b) { return fold(a) == fold(b); }) != text.end();
}

// What the recorder's error callback reaches from the writer thread. It says its line through
// the harness only while the main thread leaves the harness alone (from the start of the
// recording until the wait for its end is over); a writer still running after that only adds
// to the list, which nobody reads any more.
struct CaptureErrors {
    std::mutex lock;
    std::vector<std::string> messages;
    SuiteHarness* harness = nullptr;

    std::vector<std::string> Close() {
        std::lock_guard guard(lock);
        harness = nullptr;
        return messages;
    }
};

int RunWithCable(SuiteHarness& h, const std::string& cable, const fs::path& scratch) {
    win::ComScope apartment(COINIT_APARTMENTTHREADED);

    const std::vector<AudioDevice> devices = Wasapi::EnumerateDevices();
    const auto endpoint = std::find_if(devices.begin(), devices.end(), [&](const AudioDevice& d) {
        return d.IsLoopback && ContainsIgnoringCase(d.Name, cable);
    });
    const int deviceNumber = WaveOut::FindDevice(cable);
    if (endpoint == devices.end() || deviceNumber < 0) {
        // Nothing was checked: no report file.
        for (const std::string& line : SignalTest::SkipLines(
                 cable, endpoint == devices.end() ? std::string() : endpoint->DisplayName(), deviceNumber))
            h.Say(line);
        return 0;
    }

    h.Say("Capturing : " + endpoint->DisplayName());
    h.Say("Playing   : waveOut device " + std::to_string(deviceNumber) + " (\"" + cable + "\")");
    h.Say("Tone      : " + SuiteHarness::Text(SignalTest::kToneHz) + " Hz, amplitude " +
          SuiteHarness::Text(SignalTest::kAmplitude) + ", both channels");
    h.Say("");

    // Private settings, never saved.
    Config config(scratch / "config.json");
    config.Data().Set("save_folder", platform::PathText(scratch));
    config.Data().Set("sample_rate", std::string("48000"));
    config.Data().Set("bit_depth", std::string("24"));
    config.Data().Set("channels", std::string("2"));
    config.Set("buffer_size", 2048);
    config.Set("auto_split_secs", 0);
    config.Data().Set("group_splits", false);
    config.Data().Set("device_id", endpoint->Id);
    config.Data().Set("device2_id", std::string("none"));

    auto errors = std::make_shared<CaptureErrors>();
    errors->harness = &h;
    Recorder recorder(config);
    recorder.OnError = [errors](const std::string& message) {
        std::lock_guard guard(errors->lock);
        errors->messages.push_back(message);
        if (errors->harness) errors->harness->Say("   [error] " + message);
    };
    // However this ends, the recording threads are told to stop and leave the harness alone
    // before it is used again or goes away.
    struct StopOnExit {
        Recorder& recorder;
        CaptureErrors& errors;
        ~StopOnExit() {
            recorder.Stop();
            (void)errors.Close();
        }
    } stopOnExit{recorder, *errors};
    recorder.Start(*endpoint, nullptr, SignalTest::kRate, 2, 24, 2048, "Signal");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    SignalTest::PlayTone(deviceNumber);
    recorder.Stop();
    const auto stopped = Clock::now();
    while ((recorder.WriterAlive() || recorder.ReadersAlive()) && Clock::now() - stopped < std::chrono::seconds(15))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

    h.Check(errors->Close().empty(), "no errors during capture");
    std::vector<fs::path> files;
    std::error_code ec;
    const fs::path folder = recorder.OutputFolder().empty() ? scratch : recorder.OutputFolder();
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec) && it->path().extension() == ".wav") files.push_back(it->path());
    std::sort(files.begin(), files.end());
    SignalTest::CheckRecording(h, files);
    return SignalTest::Finish(h);
}

}  // namespace

void SignalTest::PlayTone(int deviceNumber) {
    WaveOut::PlayAsync(Tone(), kRate, 2, deviceNumber);
    std::this_thread::sleep_for(std::chrono::milliseconds(4300));
}

int SignalTest::Run(const std::vector<std::string>& args) {
    const std::string cable = CableName(args);
    SuiteHarness h(kReportName);
    h.PrintChecks(true);
    const fs::path scratch = platform::TempDir() / SuiteHarness::UniqueName("twr_signaltest_");
    int result;
    try {
        platform::CreateDirectories(scratch);
        result = RunWithCable(h, cable, scratch);
    } catch (...) {
        h.Say(SuiteHarness::CrashText(std::current_exception()));
        h.Fail("harness crash");
        result = Finish(h);
    }
    std::error_code ec;
    fs::remove_all(scratch, ec);
    return result;
}

}  // namespace twr
