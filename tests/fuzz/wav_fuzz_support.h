#pragma once
// A private scratch folder per fuzzing process, and the log pointed into it so that repair
// failures do not fill the user's diagnostic log.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/log.h"
#include "app/platform.h"

namespace twr::fuzz {

inline const std::filesystem::path& ScratchFile() {
    static const std::filesystem::path path = [] {
        auto dir = std::filesystem::temp_directory_path() / ("twr_wav_fuzz_" + std::to_string(platform::ProcessId()));
        std::filesystem::create_directories(dir);
        Log::SetPathForTesting(dir / "log.txt");
        return dir / "input.wav";
    }();
    return path;
}

inline void WriteInput(const std::filesystem::path& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) __builtin_trap();
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

}  // namespace twr::fuzz
