// Test driver: a real recording that the Wine tests can cut off like a crash, to leave the
// recovery journal and the unfinished file that the next start offers to repair.
//   record_probe <save folder> <seconds>   records from the first capture endpoint (48000 Hz,
//                                          stereo, 24-bit) into the folder; prints
//                                          "recording <file>" once the journal names a file with
//                                          samples written, then records on for the given time
//                                          and stops cleanly (exit code 0) unless killed first.
#include <chrono>
#include <string>
#include <thread>

#include "app/config.h"
#include "app/console.h"
#include "app/errors.h"
#include "app/platform.h"
#include "app/win_error.h"
#include "app/win_raii.h"
#include "recording/recorder.h"
#include "recording/wasapi.h"

int main() {
    using namespace twr;
    Console::Attach();
    const auto args = win::CommandLineArgs();
    if (args.size() != 2) {
        Console::ErrorLine("usage: record_probe <save folder> <seconds>");
        return 2;
    }
    try {
        const win::ComScope com(COINIT_APARTMENTTHREADED);
        const auto settings = platform::TempDir() / ("record_probe_" + std::to_string(platform::ProcessId()) + ".json");
        Config config(settings);
        config.Data().Set("save_folder", args[0]);
        AudioDevice input;
        for (const auto& d : Wasapi::EnumerateDevices())
            if (!d.IsLoopback) {
                input = d;
                break;
            }
        if (input.Id.empty()) throw InvalidOperation("no capture endpoint");
        Recorder recorder(config);
        recorder.Start(input, nullptr, 48000, 2, 24, 2048, "crash");
        using namespace std::chrono;
        const auto deadline = steady_clock::now() + seconds(20);
        while (!(platform::FileExists(recorder.JournalPath()) && recorder.FramesCommitted() > 0)) {
            if (steady_clock::now() > deadline || !recorder.WriterAlive()) throw InvalidOperation("no journal written");
            std::this_thread::sleep_for(milliseconds(50));
        }
        Console::WriteLine("recording " + platform::PathText(recorder.CurrentFile()));
        std::this_thread::sleep_for(milliseconds(static_cast<int>(std::stod(args[1]) * 1000)));
        recorder.Stop();
        while (recorder.WriterAlive()) std::this_thread::sleep_for(milliseconds(50));
        return 0;
    } catch (const std::exception& e) {
        Console::ErrorLine("error: " + FullText(e));
        return 1;
    }
}
