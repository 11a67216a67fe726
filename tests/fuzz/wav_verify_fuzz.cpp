// Verify and the header parsers on arbitrary bytes: no crash, no read outside the buffer.
#include <cstdint>
#include <vector>

#include "recording/wav_file.h"
#include "wav_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that ASan sees any read past n.
    const std::vector<uint8_t> header(data, data + std::min<size_t>(size, twr::WavFile::kHeaderScan));
    for (const char* tag : {"data", "fmt ", "ds64"}) (void)twr::WavFile::IndexOf(header.data(), header.size(), tag);
    (void)twr::WavFile::ReadFormat(header.data(), header.size());

    const auto& path = twr::fuzz::ScratchFile();
    twr::fuzz::WriteInput(path, data, size);
    (void)twr::WavFile::Verify(path, 0, 0);
    (void)twr::WavFile::Verify(path, 2, 48000);
    return 0;
}
