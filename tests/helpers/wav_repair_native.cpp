// Runs the program's own repair on one file, for the Wine-hosted crash-survival tests:
// wav_repair_native <path>; prints "repaired" and exits 0, or prints "failed" and exits 1.
#include <cstdio>

#include "app/platform.h"
#include "recording/wav_file.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: wav_repair_native <path>\n");
        return 2;
    }
    const bool ok = twr::WavFile::Repair(twr::platform::U8Path(argv[1]));
    std::puts(ok ? "repaired" : "failed");
    return ok ? 0 : 1;
}
