// Records the test signal until it is killed. Usage:
//   rf64_crash_child <path> <sampleRate> <channels> <bits> <blocksPerUpdate>
// After every size update it prints the frame count the header now claims, so the parent knows
// what the file must hold however abruptly it dies.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "../recording/test_signal.h"
#include "recording/rf64_writer.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: rf64_crash_child path rate channels bits blocksPerUpdate\n");
        return 2;
    }
    const int rate = std::atoi(argv[2]);
    const int channels = std::atoi(argv[3]);
    const int bits = std::atoi(argv[4]);
    const int blocksPerUpdate = std::atoi(argv[5]);
    constexpr size_t kBlock = 480;
    constexpr uint64_t kMaxFrames = 4'000'000;
    try {
        twr::Rf64Writer writer(argv[1], rate, channels, bits);
        uint64_t frame = 0;
        int blocks = 0;
        while (frame < kMaxFrames) {
            writer.Write(twr::testing::TestBlock(frame, kBlock, channels), 0, kBlock * channels);
            frame += kBlock;
            if (++blocks % blocksPerUpdate == 0) {
                writer.UpdateSizes();
                std::printf("%llu\n", static_cast<unsigned long long>(frame));
                std::fflush(stdout);
            }
        }
        // Never closes: the parent kills it.
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
