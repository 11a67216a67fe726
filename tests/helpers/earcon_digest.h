#pragma once
// One line per earcon of the catalogue: name, sample count and the FNV-1a 64 digest of the
// samples as little-endian bytes. The Windows driver and the native helper print the same text,
// so the Wine-hosted test can compare the two builds' synthesis line for line.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "feedback/sound_library.h"

namespace twr::earcon_digest {

inline std::uint64_t Fnv1a64(const SoundLibrary::Samples& samples) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (std::int16_t s : samples) {
        const auto u = static_cast<std::uint16_t>(s);
        for (unsigned byte : {u & 0xFFu, (u >> 8) & 0xFFu}) {
            h ^= byte;
            h *= 0x100000001b3ull;
        }
    }
    return h;
}

inline std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const std::string& name : SoundLibrary::Names()) {
        const SoundLibrary::Samples& samples = SoundLibrary::Get(name);
        char tail[64];
        std::snprintf(tail, sizeof tail, "\t%zu\t%016" PRIx64, samples.size(), Fnv1a64(samples));
        lines.push_back(name + tail);
    }
    return lines;
}

inline int Print() {
    for (const std::string& line : Lines()) std::printf("%s\n", line.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace twr::earcon_digest
