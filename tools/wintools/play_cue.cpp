// Test driver: plays catalogue cues through the program's own playback path and stays alive
// until they have sounded, so the Wine tests can record and measure them.
//   play_cue <name> [volume] [<name> [volume] ...]   plays each cue at once (they overlap),
//                                                     then waits for the longest to finish
//   play_cue --find <text>                            prints WaveOut::FindDevice(text)
#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>

#include "app/console.h"
#include "feedback/sound_library.h"
#include "feedback/sounds.h"
#include "feedback/wave_out.h"

int main(int argc, char** argv) {
    using namespace twr;
    Console::Attach();
    if (argc == 3 && std::string(argv[1]) == "--find") {
        Console::WriteLine(std::to_string(WaveOut::FindDevice(argv[2])));
        return 0;
    }
    if (argc < 2) {
        Console::ErrorLine("usage: play_cue <name> [volume] ... | --find <text>");
        return 2;
    }
    std::size_t longest = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        int volume = 100;
        if (i + 1 < argc && std::isdigit(static_cast<unsigned char>(argv[i + 1][0]))) volume = std::stoi(argv[++i]);
        if (i + 1 < argc && argv[i + 1][0] == '-') volume = std::stoi(argv[++i]);
        longest = std::max(longest, SoundLibrary::Get(name).size());
        Sounds::Play(name, volume);
    }
    // The reaper cleans up on its own; staying alive past the cue's end lets it finish sounding.
    const auto ms = WaveOut::ReaperLimitMs(longest, Sounds::kCueRate);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return 0;
}
