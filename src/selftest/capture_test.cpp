#include "selftest/capture_test.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "app/config.h"
#include "app/console.h"
#include "app/errors.h"
#include "app/platform.h"
#include "app/program.h"
#include "recording/recorder.h"
#include "recording/wasapi.h"
#include "recording/wav_file.h"
#include "selftest/suite_harness.h"

namespace twr {

namespace fs = std::filesystem;

namespace {

// Shared with the recorder's callbacks, which may still run after the harness stops waiting.
struct RunState {
    std::mutex errorsLock;
    std::vector<std::string> errors;
    std::mutex eventsLock;
    std::vector<std::string> events;
    std::atomic<int> splits{0};
};

const char* StatusName(FinalizationStatus s) {
    switch (s) {
        case FinalizationStatus::Recording: return "Recording";
        case FinalizationStatus::Success: return "Success";
        case FinalizationStatus::ClosedWithWarnings: return "ClosedWithWarnings";
        case FinalizationStatus::FinalizationFailed: return "FinalizationFailed";
    }
    return "Unknown";
}

int ParseNumber(const std::string& option, const std::string& value) {
    auto n = Program::ParseInt32(value);
    if (!n) throw InvalidArgument(option + " needs a whole number, not \"" + value + "\"");
    return *n;
}

// True when path is folder or lies inside it (both made absolute and normal).
bool IsInside(const fs::path& path, const fs::path& folder) {
    const fs::path p = fs::absolute(path).lexically_normal();
    const fs::path f = fs::absolute(folder).lexically_normal();
    auto rel = p.lexically_relative(f);
    return !rel.empty() && *rel.begin() != "..";
}

// The harness is shared with the recorder's callbacks, which say their lines from the writer
// thread and may still run after the wait for it gives up.
int RunRecording(const std::shared_ptr<SuiteHarness>& harness, const CaptureTestOptions& o, const fs::path& scratch) {
    SuiteHarness& h = *harness;
    const auto Fixed = SuiteHarness::Fixed;
    auto apartment = CaptureTest::EnterApartment();
    const std::vector<AudioDevice> devices = Wasapi::EnumerateDevices();
    const AudioDevice* input1 = nullptr;
    const AudioDevice* input2 = nullptr;
    for (const AudioDevice& d : devices) {
        if (o.device ? d.Id == *o.device : d.IsLoopback) {
            input1 = &d;
            break;
        }
    }
    if (!input1) {
        h.Say(std::string("No suitable capture device found") + (o.device ? " for id " + *o.device : ""));
        return 1;
    }
    if (o.device2) {
        for (const AudioDevice& d : devices)
            if (d.Id == *o.device2) {
                input2 = &d;
                break;
            }
        if (!input2) {
            h.Say("Second device not found: " + *o.device2);
            return 1;
        }
    }

    h.Say("Device : " + input1->DisplayName());
    if (input2) h.Say("Device2: " + input2->DisplayName());
    h.Say("Format : " + std::to_string(o.rate) + " Hz, " + std::to_string(o.bits) + "-bit, " +
          std::to_string(o.channels) + " ch, buffer " + std::to_string(o.buffer) + " frames");
    h.Say("Length : " + std::to_string(o.seconds) + " s" +
          (o.split >= 1 ? ", splitting every " + std::to_string(o.split) + " s" : ""));
    h.Say("Folder : " + platform::PathText(scratch));
    h.Say("");

    Config config(scratch / "config.json");
    config.Data().Set("save_folder", platform::PathText(scratch));
    config.Data().Set("sample_rate", std::to_string(o.rate));
    config.Data().Set("bit_depth", std::to_string(o.bits));
    config.Data().Set("channels", std::to_string(o.channels));
    config.Set("buffer_size", o.buffer);
    config.Set("auto_split_secs", o.split);
    config.Data().Set("group_splits", o.split >= 1);
    config.Data().Set("device_id", input1->Id);
    config.Data().Set("device2_id", input2 ? input2->Id : std::string("none"));

    auto run = std::make_shared<RunState>();
    Recorder recorder(config);
    // The callbacks keep the run state and the report alive: a writer still ending after the
    // shutdown wait must not reach freed memory.
    recorder.OnError = [run, harness](const std::string& message) {
        {
            std::lock_guard lock(run->errorsLock);
            run->errors.push_back(message);
        }
        harness->Say("   [error] " + message);
    };
    recorder.OnSplit = [run, harness] {
        run->splits.fetch_add(1);
        harness->Say("   [split]");
    };
    recorder.OnMicDisconnected = [run](int input, bool) {
        std::lock_guard lock(run->errorsLock);
        run->errors.push_back("mic " + std::to_string(input) + " disconnected");
    };
    recorder.OnMicStall = [run, harness](int input, bool stalled) {
        const std::string text = "input " + std::to_string(input) + (stalled ? " stalled" : " recovered");
        {
            std::lock_guard lock(run->eventsLock);
            run->events.push_back(text);
        }
        harness->Say("   [stall] " + text);
    };

    using Clock = std::chrono::steady_clock;
    auto seconds = [](Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); };
    const auto runStart = Clock::now();
    recorder.Start(*input1, input2, o.rate, o.channels, o.bits, o.buffer, "CapTest");
    auto splitStart = Clock::now();
    while (seconds(runStart) < o.seconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (o.split >= 1 && seconds(splitStart) >= o.split) {
            splitStart = Clock::now();
            recorder.RequestSplit();
        }
    }
    const int64_t framesBeforeStop = recorder.FramesCommitted();
    recorder.Stop();
    const auto shutdownStart = Clock::now();
    while (seconds(shutdownStart) < 15.0 && (recorder.WriterAlive() || recorder.ReadersAlive()))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    h.Say("Shutdown took " + Fixed(seconds(shutdownStart), 2) + " s");
    h.Say("");

    const auto& session = *recorder.Session();
    h.Check(!recorder.WriterAlive(), "writer thread stopped");
    h.Check(!recorder.ReadersAlive(), "reader threads stopped");
    std::vector<std::string> errors, events;
    {
        std::lock_guard lock(run->errorsLock);
        errors = run->errors;
    }
    {
        std::lock_guard lock(run->eventsLock);
        events = run->events;
    }
    std::string errorLabel = "no errors reported";
    if (!errors.empty()) {
        errorLabel += ": ";
        for (size_t i = 0; i < errors.size(); ++i) errorLabel += (i ? "; " : "") + errors[i];
    }
    h.Check(errors.empty(), errorLabel);
    const FinalizationStatus status = session.Status.load();
    h.Check(status == FinalizationStatus::Success, std::string("finalisation succeeded (was ") + StatusName(status) + ")");
    h.Check(session.DroppedBlocks.load() == 0, "no dropped blocks (" + std::to_string(session.DroppedBlocks.load()) + ")");
    h.Say("   Silence blocks substituted: " + std::to_string(session.SilenceBlocks.load()));
    h.Say("   Stall events: " + std::to_string(events.size()) +
          (events.empty() ? "" : "  (warning only; recording continued)"));

    // The scan stays inside the scratch folder whatever the recorder reports.
    fs::path scanRoot = recorder.OutputFolder();
    if (scanRoot.empty() || !IsInside(scanRoot, scratch))
        scanRoot = scratch;
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(scanRoot, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec) && it->path().extension() == ".wav") files.push_back(it->path());
    }
    std::sort(files.begin(), files.end(),
              [](const fs::path& a, const fs::path& b) { return platform::PathText(a) < platform::PathText(b); });
    h.Say("");
    h.Say("Files written: " + std::to_string(files.size()));
    const int frameBytes = o.channels * (o.bits / 8);
    int64_t totalFrames = 0;
    for (const fs::path& f : files) {
        const uint64_t length = platform::FileSize(f).value_or(0);
        const int64_t frames = length >= 80 ? static_cast<int64_t>((length - 80) / frameBytes) : 0;
        totalFrames += frames;
        const std::string name = platform::PathText(f.filename());
        h.Say("   " + name + ": " + std::to_string(length) + " bytes, " + std::to_string(frames) + " frames, " +
              Fixed(static_cast<double>(frames) / o.rate, 2) + " s");
        h.Check(WavFile::Verify(f, o.channels, o.rate), name + " verifies as a valid WAV");
    }
    h.Check(!files.empty(), "at least one file produced");
    if (o.split >= 1) {
        const int expected = o.seconds / o.split;
        h.Check(static_cast<int>(files.size()) >= expected, "produced at least " + std::to_string(expected) + " split files");
        h.Check(run->splits.load() >= expected, "split callbacks fired (" + std::to_string(run->splits.load()) + ")");
        h.Check(platform::PathText(recorder.OutputFolder()) != platform::PathText(scratch),
                "splits grouped into their own folder");
    }
    const double captured = static_cast<double>(totalFrames) / o.rate;
    h.Say("");
    h.Say("Captured " + Fixed(captured, 2) + " s of audio over a " + std::to_string(o.seconds) + " s run (" +
          Fixed(captured * 100 / o.seconds, 1) + "%).");
    h.Check(captured > o.seconds * 0.95, "captured audio covers at least 95% of the run");
    h.Check(captured < o.seconds * 1.15, "captured audio is not overrunning the run");
    h.Check(framesBeforeStop >= 1, "frames were being written before stop was requested");

    h.Summary("capture checks");
    return h.ExitCode();
}

}  // namespace

const std::string& CaptureTest::Next(const std::vector<std::string>& args, size_t& position) {
    if (position + 1 >= args.size()) throw InvalidArgument("Missing value after " + args[position]);
    return args[++position];
}

CaptureTestOptions CaptureTest::ParseArguments(const std::vector<std::string>& args) {
    CaptureTestOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--bits") o.bits = ParseNumber(a, Next(args, i));
        else if (a == "--rate") o.rate = ParseNumber(a, Next(args, i));
        else if (a == "--split") o.split = ParseNumber(a, Next(args, i));
        else if (a == "--buffer") o.buffer = ParseNumber(a, Next(args, i));
        else if (a == "--channels") o.channels = ParseNumber(a, Next(args, i));
        else if (a == "--device") o.device = Next(args, i);
        else if (a == "--device2") o.device2 = Next(args, i);
        else if (a == "--keep") o.keep = true;
        else if (a == "--captest") continue;
        else if (auto n = Program::ParseInt32(a)) o.seconds = *n;
    }
    // The recorder refuses these too, but only after the scratch folder and the devices: say so first.
    if (o.rate < Recorder::kMinSampleRate || o.rate > Recorder::kMaxSampleRate)
        throw InvalidArgument("--rate must be between 8000 and 384000");
    if (o.bits != 16 && o.bits != 24 && o.bits != 32) throw InvalidArgument("--bits must be 16, 24 or 32");
    if (o.channels < 1 || o.channels > 2) throw InvalidArgument("--channels must be 1 or 2");
    if (o.buffer < 1 || o.buffer > Recorder::kMaxBufferFrames)
        throw InvalidArgument("--buffer must be between 1 and 1048576 frames");
    if (o.seconds < 1) throw InvalidArgument("the run length must be at least 1 second");
    return o;
}

int CaptureTest::Run(const std::vector<std::string>& args) {
    CaptureTestOptions options;
    try {
        options = ParseArguments(args);
    } catch (const std::exception& e) {
        Console::ErrorLine(std::string("Error: ") + e.what());
        return 1;
    }
    auto h = std::make_shared<SuiteHarness>("twr_captest_report.txt");
    h->PrintChecks(true);
    const fs::path scratch = platform::TempDir() / SuiteHarness::UniqueName("twr_captest_");
    int result = 1;
    try {
        platform::CreateDirectories(scratch);
        result = RunRecording(h, options, scratch);
    } catch (...) {
        // No summary after a crash: the line and exit code 1.
        h->Say(SuiteHarness::CrashText(std::current_exception()));
        result = 1;
    }
    h->WriteReport();
    if (!options.keep) {
        std::error_code ec;
        fs::remove_all(scratch, ec);
    }
    return result;
}

}  // namespace twr
