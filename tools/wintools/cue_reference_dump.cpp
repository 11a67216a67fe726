// Writes named earcons as this build renders them into a folder, one "<name>.wav" each: a 44-byte
// RIFF header and 16-bit mono samples at 44100 Hz, the form the self-test compares against.
// Usage: cue_reference_dump <folder> <name>...
#include <cstdio>
#include <string>

#include "app/platform.h"
#include "feedback/sound_library.h"

namespace {

void Le(std::string& out, uint32_t value, int size) {
    for (int i = 0; i < size; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: cue_reference_dump <folder> <name>...\n");
        return 2;
    }
    const auto folder = twr::platform::U8Path(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const auto& samples = twr::SoundLibrary::Get(argv[i]);
        const auto dataBytes = static_cast<uint32_t>(samples.size() * 2);
        std::string b = "RIFF";
        Le(b, 36 + dataBytes, 4);
        b += "WAVEfmt ";
        Le(b, 16, 4);
        Le(b, 1, 2);
        Le(b, 1, 2);
        Le(b, twr::SoundLibrary::kSampleRate, 4);
        Le(b, twr::SoundLibrary::kSampleRate * 2, 4);
        Le(b, 2, 2);
        Le(b, 16, 2);
        b += "data";
        Le(b, dataBytes, 4);
        for (int16_t s : samples) Le(b, static_cast<uint16_t>(s), 2);
        twr::platform::WriteFileDurable(folder / twr::platform::U8Path(std::string(argv[i]) + ".wav"), b);
        std::printf("%s %zu\n", argv[i], samples.size());
    }
    return 0;
}
