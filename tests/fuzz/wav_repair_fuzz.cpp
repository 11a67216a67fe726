// Repair on arbitrary bytes, on a scratch copy: it never crashes, a failed repair leaves the
// file byte for byte as it was, and a successful one leaves a file that verifies, the same
// length, with only size fields changed.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "recording/wav_file.h"
#include "wav_fuzz_support.h"

namespace {

std::vector<uint8_t> ReadAll(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto& path = twr::fuzz::ScratchFile();
    twr::fuzz::WriteInput(path, data, size);
    const bool repaired = twr::WavFile::Repair(path);
    const auto after = ReadAll(path);
    if (after.size() != size) __builtin_trap();
    if (!repaired) {
        if (size && std::memcmp(after.data(), data, size) != 0) __builtin_trap();
        return 0;
    }
    if (!twr::WavFile::Verify(path, 0, 0)) __builtin_trap();
    const size_t n = std::min<size_t>(size, twr::WavFile::kHeaderScan);
    const int64_t d = twr::WavFile::IndexOf(data, n, "data");
    if (d < 0) __builtin_trap();
    const bool rf64 = std::memcmp(data, "RF64", 4) == 0;
    for (size_t k = 0; k < size; ++k) {
        const bool sizeField = (k >= 4 && k < 8) || (rf64 && k >= 20 && k < 44) ||
                               (k >= static_cast<size_t>(d) + 4 && k < static_cast<size_t>(d) + 8);
        if (!sizeField && after[k] != data[k]) __builtin_trap();
    }
    std::filesystem::remove(std::filesystem::path(path.string() + ".backup"));
    return 0;
}
