// Opens one capture stream the way an input reader does and reports what came through, so the
// Wine-hosted tests can check capture without the window.
//   capture_probe <endpoint id> <seconds> [loopback] [rate]
// Prints "mode: event|polling", "frames: N" and "peak: X" (largest magnitude, 6 decimals); exit
// code 0. An open or read failure prints "error: " + its message on standard error; exit code 2.
//   capture_probe reader <endpoint id> <seconds> [loopback] [hold=<seconds>]
// Runs a real input reader (2048 frames at 48000 Hz) and takes its blocks as the writer would;
// with hold, it takes none for that long from the first second on, as a writer held up by a slow
// drive. Prints "blocks: N", "dropped: N", "peak: X"; a reader that failed prints "error: " + its
// message on standard error; exit code 2.
#include <windows.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/win_raii.h"
#include "recording/input_reader.h"
#include "recording/wasapi_win.h"

namespace {

int RunReader(const std::string& id, double seconds, bool loopback, double hold) {
    using namespace twr;
    auto session = std::make_shared<RecordingSession>();
    auto reader = std::make_shared<InputReader>(1, id, loopback, 48000, 2048, session, session->Clock);
    reader->Start();
    int blocks = 0;
    float peak = 0.0f;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    const auto holdFrom = start + std::chrono::seconds(1);
    const auto holdUntil = holdFrom + std::chrono::duration<double>(hold);
    while (std::chrono::steady_clock::now() < end && !reader->Failed()) {
        const auto now = std::chrono::steady_clock::now();
        if (hold > 0 && now >= holdFrom && now < holdUntil) {
            Sleep(10);
            continue;
        }
        Block b;
        if (!reader->Queue().TryTake(b, 100)) continue;
        ++blocks;
        for (int i = 0; i < b.Count; ++i) peak = std::max(peak, std::fabs(b.Samples[static_cast<size_t>(i)]));
        ArrayPool::Shared().Return(b.Samples);
    }
    reader->ClearRunning();
    if (!reader->Join(3000)) Console::ErrorLine("reader did not end within 3 seconds");
    // The thread lets go of the reader only after signalling its end; leaving main before that would
    // tear the process down under a thread still destroying the reader (a rare crash at exit).
    for (int i = 0; i < 300 && reader.use_count() > 1; ++i) Sleep(10);
    if (reader->Failed()) {
        Console::ErrorLine("error: " + reader->Error());
        return 2;
    }
    char line[64];
    std::snprintf(line, sizeof line, "peak: %.6f", static_cast<double>(peak));
    Console::WriteLine("blocks: " + std::to_string(blocks));
    Console::WriteLine("dropped: " + std::to_string(session->DroppedBlocks.load()));
    Console::WriteLine(line);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace twr;
    if (argc >= 4 && std::string(argv[1]) == "reader") {
        bool loopback = false;
        double hold = 0;
        for (int i = 4; i < argc; ++i) {
            const std::string option = argv[i];
            if (option == "loopback") loopback = true;
            if (option.rfind("hold=", 0) == 0) hold = std::strtod(option.c_str() + 5, nullptr);
        }
        return RunReader(argv[2], std::strtod(argv[3], nullptr), loopback, hold);
    }
    if (argc < 3) {
        Console::ErrorLine("usage: capture_probe <endpoint id> <seconds> [loopback] [rate]");
        return 64;
    }
    const std::string id = argv[1];
    const double seconds = std::strtod(argv[2], nullptr);
    const bool loopback = argc > 3 && std::string(argv[3]) == "loopback";
    const int rate = argc > 4 ? static_cast<int>(std::strtol(argv[4], nullptr, 10)) : 48000;

    win::ComScope com(COINIT_MULTITHREADED);
    try {
        auto stream = Wasapi::CaptureStream::Open(id, loopback, rate, 2);
        const int wait = InputReader::IdleWaitMs(stream->EventDriven(), 2048, rate);
        Console::WriteLine(std::string("mode: ") + (stream->EventDriven() ? "event" : "polling"));
        std::vector<float> buffer(4096);
        long long samples = 0;
        float peak = 0.0f;
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            const int got = stream->Read(buffer, 0, static_cast<int>(buffer.size()));
            for (int i = 0; i < got; ++i) peak = std::max(peak, std::fabs(buffer[static_cast<size_t>(i)]));
            samples += got;
            if (got == 0) stream->WaitForData(wait);
        }
        stream->Dispose();
        char line[64];
        Console::WriteLine("frames: " + std::to_string(samples / 2));
        std::snprintf(line, sizeof line, "peak: %.6f", static_cast<double>(peak));
        Console::WriteLine(line);
        return 0;
    } catch (const std::exception& e) {
        Console::ErrorLine(std::string("error: ") + e.what());
        return 2;
    }
}
