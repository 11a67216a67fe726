#include "selftest/timing_test.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <thread>

#include "app/config.h"
#include "app/errors.h"
#include "app/platform.h"
#include "feedback/sound_library.h"
#include "feedback/speech.h"
#include "recording/drive_watchers.h"
#include "recording/wasapi.h"
#include "update/updater.h"

namespace twr {

namespace {

std::string Pad(std::string_view text, size_t width) {
    std::string out(text);
    if (out.size() < width) out.append(width - out.size(), ' ');
    return out;
}

}  // namespace

std::string TimingTest::N1(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", std::fabs(value));
    std::string text(buf);
    const size_t point = text.find('.');
    std::string digits = text.substr(0, point);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    const bool negative = value < 0 && text != "0.0";
    return (negative ? "-" : "") + grouped + text.substr(point);
}

std::string TimingTest::PhaseLine(std::string_view label, double milliseconds) {
    const std::string number = N1(milliseconds);
    return "  " + Pad(label, 42) + " " + std::string(number.size() < 7 ? 7 - number.size() : 0, ' ') + number + " ms";
}

std::string TimingTest::FailedLine(std::string_view label, std::string_view message) {
    return "  " + Pad(label, 42) + " FAILED: " + std::string(message);
}

int64_t TimingTest::Time(SuiteHarness& h, std::string_view label, const std::function<void()>& action) {
    const double start = platform::MonotonicSeconds();
    try {
        action();
    } catch (...) {
        h.Say(FailedLine(label, SuiteHarness::MessageOf(std::current_exception())));
        return -1;
    }
    const double ms = (platform::MonotonicSeconds() - start) * 1000.0;
    h.Say(PhaseLine(label, ms));
    return static_cast<int64_t>(ms);
}

int TimingTest::Run() {
    SuiteHarness h("twr_timing_report.txt");
    h.Say("STARTUP PHASES");
    Time(h, "Updater.CleanupOnStartup", [] { (void)Updater::CleanupOnStartup(); });
    Time(h, "Win32.EnableDpiAwareness + common controls", [] { PrepareWindowing(); });
    Time(h, "Speech.Init (load + unpack NVDA client)", [] { Speech::Init(); });
    Time(h, "Config load", [] { Config config; });
    std::shared_ptr<void> apartment;
    size_t endpoints = 0;
    Time(h, "WASAPI device enumeration", [&] {
        apartment = EnterApartment();
        endpoints = Wasapi::EnumerateDevices().size();
    });
    h.Say("      (" + std::to_string(endpoints) + " endpoints)");
    Time(h, "Sound library, render every cue", [] { SoundLibrary::Preload(); });
    h.Say("      (" + std::to_string(SoundLibrary::Names().size()) + " sounds)");

    const double start = platform::MonotonicSeconds();
    std::string result;
    try {
        const auto info = Updater::Check();
        result = info ? info->Tag + " available" : "up to date";
    } catch (...) {
        result = "failed: " + SuiteHarness::MessageOf(std::current_exception());
    }
    h.Say(PhaseLine("Updater.Check (startup update check)", (platform::MonotonicSeconds() - start) * 1000.0) +
          "   <-- network");
    h.Say("      (" + result + ")");

    h.Say("");
    h.Say("SHUTDOWN PHASES");
    // Starting a watcher can fail too (no thread): that phase then shows its failure, and the run
    // still ends with 0 like every other failing phase.
    auto shutdownPhase = [&](std::string_view label, const std::function<std::function<void()>()>& start) {
        try {
            std::function<void()> stop = start();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            Time(h, label, stop);
        } catch (...) {
            h.Say(FailedLine(label, SuiteHarness::MessageOf(std::current_exception())));
        }
    };
    std::unique_ptr<DriveMonitor> monitor;
    shutdownPhase("DriveMonitor.Stop", [&]() -> std::function<void()> {
        monitor = std::make_unique<DriveMonitor>([] { return std::string("C:\\"); }, [](const std::string&) {});
        monitor->Start();
        return [&] { monitor->Stop(); };
    });
    std::unique_ptr<AutoResumeWatcher> watcher;
    shutdownPhase("AutoResumeWatcher.Stop", [&]() -> std::function<void()> {
        watcher = std::make_unique<AutoResumeWatcher>("C:\\", "none", "none", "drive", [](const std::string&) {});
        watcher->Start();
        return [&] {
            watcher->SetRunning(false);
            watcher->Wake();
        };
    });
    h.Say("");
    h.Say("Anything above roughly 100 ms is felt as a delay.");
    h.WriteReport();
    return 0;
}

}  // namespace twr
