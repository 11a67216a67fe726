#pragma once
// Verification and repair of WAV and RF64 recordings, both from the first 8192 bytes.
// Verify tells whether a finished file is a plausible WAV/RF64 with audio in it; Repair makes a
// file that was never closed readable again by rewriting its size fields from its length.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include "recording/audio_file.h"

namespace twr {

struct WavFormat {
    int channels = 0;
    int sampleRate = 0;
    int blockAlign = 0;
    int bitsPerSample = 0;
};

class WavFile {
public:
    static constexpr size_t kHeaderScan = 8192;

    // True when the file is a RIFF/RF64 WAVE with a usable format, at least one whole frame of
    // audio that the file really holds, and (when the expectation is 1 or more) the expected
    // channel count and sample rate. Never throws; tolerates a writer holding the file.
    [[nodiscard]] static bool Verify(const std::filesystem::path& path, int expectedChannels,
                                     int expectedSampleRate) noexcept;
    // Rewrites the size fields of an unfinished recording from its length, keeping a backup
    // (path + ".backup") while it works. True when the file was repaired and then verified.
    // After a failure the file is as it was. Never throws.
    [[nodiscard]] static bool Repair(const std::filesystem::path& path) noexcept;

    // Offset of the header of the chunk with this four-character id, walking the chunk list from
    // offset 12; -1 when absent from the first n bytes. The walk ends at the data chunk, whose
    // size is not to be trusted in an unfinished file.
    [[nodiscard]] static int64_t IndexOf(const uint8_t* buffer, size_t n, std::string_view tag) noexcept;
    // The format of the first "fmt " chunk; all zero when there is none in the first n bytes.
    [[nodiscard]] static WavFormat ReadFormat(const uint8_t* buffer, size_t n) noexcept;

    // Tests only: the files Verify and Repair open (the backup included) come from here; an empty
    // function goes back to the platform's. A repair copies the whole recording into its backup,
    // which for one past 4 GiB is more disk traffic than a unit test should cause.
    using FileOpener = std::function<std::unique_ptr<AudioFile>(const std::filesystem::path&, FileAccess)>;
    static void SetFileOpenerForTesting(FileOpener opener);
};

}  // namespace twr
