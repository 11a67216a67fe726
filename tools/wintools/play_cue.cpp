// Test driver: plays catalogue cues through the program's own playback path and stays alive
// until they have sounded, so the Wine tests can record and measure them.
//   play_cue <name> [volume] [<name> [volume] ...]   plays each cue at once (they overlap),
//                                                     then waits for the longest to finish
//   play_cue --find <text> [<text> ...]               prints WaveOut::FindDevice(text), one line
//                                                     each, all from one look at the devices
#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/console.h"
#include "app/win_error.h"
#include "feedback/sound_library.h"
#include "feedback/sounds.h"
#include "feedback/wave_out.h"

int main() {
    using namespace twr;
    Console::Attach();
    // The arguments as UTF-8: a device name may hold characters the ANSI code page lacks.
    const std::vector<std::string> args = win::CommandLineArgs();
    // Wine numbers the devices afresh in every process: lookups compared with each other must
    // share one process.
    if (args.size() >= 2 && args[0] == "--find") {
        for (std::size_t i = 1; i < args.size(); ++i) Console::WriteLine(std::to_string(WaveOut::FindDevice(args[i])));
        return 0;
    }
    if (args.empty()) {
        Console::ErrorLine("usage: play_cue <name> [volume] ... | --find <text> ...");
        return 2;
    }
    std::size_t longest = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        int volume = 100;
        // [0] of an empty argument is its terminating null, which is neither digit nor sign.
        if (i + 1 < args.size() && std::isdigit(static_cast<unsigned char>(args[i + 1][0])))
            volume = std::stoi(args[++i]);
        if (i + 1 < args.size() && args[i + 1][0] == '-') volume = std::stoi(args[++i]);
        longest = std::max(longest, SoundLibrary::Get(name).size());
        Sounds::Play(name, volume);
    }
    // The reaper cleans up on its own; staying alive past the cue's end lets it finish sounding.
    const auto ms = WaveOut::ReaperLimitMs(longest, Sounds::kCueRate);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return 0;
}
