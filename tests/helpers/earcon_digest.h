#pragma once
// One line per earcon of the catalogue: name, sample count and the FNV-1a 64 digest of the
// samples as little-endian bytes. The Windows driver and the native helper print the same text,
// so the Wine-hosted test can compare the two builds' synthesis line for line. With "--time N"
// both instead render the whole catalogue N times and print the quickest run.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "feedback/sound_library.h"
#include "feedback/stable_math.h"

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

// "render: min 41.2 ms over 20 runs, 1052253 samples, 3703 slow calls per run"
inline int Time(int runs) {
    double best = 1e300;
    std::size_t samples = 0;
    std::uint64_t slow = 0;
    for (int run = 0; run < runs; ++run) {
        const std::uint64_t before = StableMath::SlowEvaluations();
        const auto start = std::chrono::steady_clock::now();
        const std::vector<SoundLibrary::Samples> all = SoundLibrary::RenderAll();
        const auto end = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(end - start).count());
        slow = StableMath::SlowEvaluations() - before;
        samples = 0;
        for (std::size_t i = 0; i < all.size(); ++i) {
            samples += all[i].size();
            // Rendering the cues together must give what rendering each alone gives.
            if (all[i] != SoundLibrary::Get(SoundLibrary::Names()[i])) {
                std::fprintf(stderr, "%s differs when rendered with the catalogue\n", SoundLibrary::Names()[i].c_str());
                return 1;
            }
        }
    }
    std::printf("render: min %.1f ms over %d runs, %zu samples, %" PRIu64 " slow calls per run\n", best, runs,
                samples, slow);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

inline int Main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--time") == 0) return Time(std::max(1, std::atoi(argv[2])));
    if (argc != 1) {
        std::fprintf(stderr, "usage: earcon_dump [--time <runs>]\n");
        return 2;
    }
    return Print();
}

}  // namespace twr::earcon_digest
