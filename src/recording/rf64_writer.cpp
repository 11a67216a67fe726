#include "recording/rf64_writer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "app/errors.h"

namespace twr {

namespace {

static_assert(std::endian::native == std::endian::little, "sample conversion assumes a little-endian host");

constexpr uint64_t kRiffSizeOffset = 20;

void PutU16(uint8_t* p, uint32_t v) noexcept {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void PutU32(uint8_t* p, uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutU64(uint8_t* p, uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutTag(uint8_t* p, const char* tag) noexcept { std::memcpy(p, tag, 4); }

// Clamps to [-1, 1]; NaN becomes silence rather than a full-scale click.
inline float Clamp(float x) noexcept {
    return x >= -1.0f ? (x <= 1.0f ? x : 1.0f) : (x < -1.0f ? -1.0f : 0.0f);
}

// Round to nearest, ties to even, for |v| < 2^51: adding 1.5 * 2^52 leaves the rounded integer
// in the low mantissa bits. Exact where the libm call would be, and it vectorizes.
inline int32_t RoundToInt(double v) noexcept {
    double shifted = v + 6755399441055744.0;
    int64_t bits;
    std::memcpy(&bits, &shifted, sizeof bits);
    return static_cast<int32_t>(bits);
}

void Convert16(const float* in, size_t count, uint8_t* out) noexcept {
    for (size_t i = 0; i < count; ++i) {
        // The product is taken in single precision on purpose: it decides the tie cases.
        float v = Clamp(in[i]) * 32767.0f;
        int16_t s = static_cast<int16_t>(RoundToInt(v));
        std::memcpy(out + 2 * i, &s, 2);
    }
}

void Convert24(const float* in, size_t count, uint8_t* out) noexcept {
    if (count == 0) return;
    // Each sample is stored as 4 bytes whose top byte the next sample overwrites: one store
    // instead of three. The last sample is stored byte by byte so nothing lands past the block.
    for (size_t i = 0; i + 1 < count; ++i) {
        float v = Clamp(in[i]) * 8388607.0f;
        int32_t s = RoundToInt(v);
        std::memcpy(out + 3 * i, &s, 4);
    }
    const uint32_t last = static_cast<uint32_t>(RoundToInt(Clamp(in[count - 1]) * 8388607.0f));
    uint8_t* p = out + 3 * (count - 1);
    p[0] = static_cast<uint8_t>(last);
    p[1] = static_cast<uint8_t>(last >> 8);
    p[2] = static_cast<uint8_t>(last >> 16);
}

void Convert32(const float* in, size_t count, uint8_t* out) noexcept {
    for (size_t i = 0; i < count; ++i) {
        // After clamping the product lies within +-2147483647 exactly, so no saturation is needed.
        double v = static_cast<double>(Clamp(in[i])) * 2147483647.0;
        int32_t s = RoundToInt(v);
        std::memcpy(out + 4 * i, &s, 4);
    }
}

}  // namespace

void Rf64Writer::CheckFormat(int sampleRate, int channels, int bitsPerSample) {
    if (bitsPerSample != 16 && bitsPerSample != 24 && bitsPerSample != 32)
        throw InvalidArgument("Unsupported bit depth: " + std::to_string(bitsPerSample));
    if (channels < 1 || channels > 2)
        throw InvalidArgument("Unsupported channel count: " + std::to_string(channels));
    if (sampleRate < 8000 || sampleRate > 384000)
        throw InvalidArgument("Unsupported sample rate: " + std::to_string(sampleRate));
}

std::vector<uint8_t> Rf64Writer::BuildHeader(int sampleRate, int channels, int bitsPerSample) {
    CheckFormat(sampleRate, channels, bitsPerSample);
    const uint32_t blockAlign = static_cast<uint32_t>(channels * (bitsPerSample / 8));
    std::vector<uint8_t> h(kHeaderBytes, 0);
    uint8_t* p = h.data();
    PutTag(p + 0, "RF64");
    PutU32(p + 4, 0xFFFFFFFFu);
    PutTag(p + 8, "WAVE");
    PutTag(p + 12, "ds64");
    PutU32(p + 16, 28);
    // 20..43: RIFF size, data size and frame count stay 0 until the first size update; 44: no table.
    PutTag(p + 48, "fmt ");
    PutU32(p + 52, 16);
    PutU16(p + 56, 1);
    PutU16(p + 58, static_cast<uint32_t>(channels));
    PutU32(p + 60, static_cast<uint32_t>(sampleRate));
    PutU32(p + 64, static_cast<uint32_t>(sampleRate) * blockAlign);
    PutU16(p + 68, blockAlign);
    PutU16(p + 70, static_cast<uint32_t>(bitsPerSample));
    PutTag(p + 72, "data");
    PutU32(p + 76, 0xFFFFFFFFu);
    return h;
}

Rf64Writer::Rf64Writer(const std::filesystem::path& path, int sampleRate, int channels, int bitsPerSample)
    : Rf64Writer((CheckFormat(sampleRate, channels, bitsPerSample),
                  OpenAudioFile(path, FileAccess::CreateNewWrite)),
                 sampleRate, channels, bitsPerSample) {}

Rf64Writer::Rf64Writer(std::unique_ptr<AudioFile> file, int sampleRate, int channels, int bitsPerSample)
    : file_(std::move(file)),
      sampleRate_(sampleRate),
      channels_(channels),
      bitsPerSample_(bitsPerSample),
      bytesPerSample_(bitsPerSample / 8),
      blockAlign_(static_cast<uint32_t>(channels * (bitsPerSample / 8))) {
    if (!file_) throw InvalidArgument("Rf64Writer needs an open file");
    auto header = BuildHeader(sampleRate_, channels_, bitsPerSample_);
    file_->WriteAt(0, header.data(), header.size());
}

Rf64Writer::~Rf64Writer() {
    try {
        Close();
    } catch (...) {
        // Close() is where failures are reported; a destructor only makes sure the file is released.
    }
}

void Rf64Writer::Write(std::span<const float> samples, size_t offset, size_t count) {
    if (!file_) throw InvalidOperation("Cannot write to a closed file. Object name: 'Rf64Writer'.");
    if (offset > samples.size() || count > samples.size() - offset)
        throw InvalidArgument("Sample range " + std::to_string(offset) + "+" + std::to_string(count) +
                              " lies outside a buffer of " + std::to_string(samples.size()) + " samples");
    // A partial frame would shift every later frame by a sample and leave the sizes short of the data.
    if (count % static_cast<size_t>(channels_) != 0)
        throw InvalidArgument("Sample count " + std::to_string(count) + " is not a whole number of " +
                              std::to_string(channels_) + "-channel frames");
    if (count == 0) return;

    const size_t bytes = count * static_cast<size_t>(bytesPerSample_);
    if (scratch_.size() - pending_ < bytes) {
        FlushBuffer();
        if (scratch_.size() < bytes) scratch_ = std::vector<uint8_t>(std::max(bytes, kBufferBytes));
    }
    uint8_t* out = scratch_.data() + pending_;
    const float* in = samples.data() + offset;
    switch (bitsPerSample_) {
        case 16: Convert16(in, count, out); break;
        case 24: Convert24(in, count, out); break;
        default: Convert32(in, count, out); break;
    }
    pending_ += bytes;
    framesWritten_ += count / static_cast<size_t>(channels_);
}

void Rf64Writer::FlushBuffer() {
    if (pending_ == 0) return;
    // Positional, so a failed attempt is simply repeated in place by the next flush.
    file_->WriteAt(kHeaderBytes + flushed_, scratch_.data(), pending_);
    flushed_ += pending_;
    pending_ = 0;
}

void Rf64Writer::Flush() {
    if (!file_) throw InvalidOperation("Cannot flush a closed file. Object name: 'Rf64Writer'.");
    FlushBuffer();
}

void Rf64Writer::AppendSilenceForTesting(uint64_t frames) {
    if (!file_) throw InvalidOperation("Cannot write to a closed file. Object name: 'Rf64Writer'.");
    FlushBuffer();
    flushed_ += frames * blockAlign_;
    framesWritten_ += frames;
    file_->Truncate(kHeaderBytes + flushed_);
}

void Rf64Writer::WriteSizes(bool padWritten) {
    // Only bytes already handed to the file are claimed: a copy taken, or a crash happening, right
    // after this call finds the header and the data in agreement.
    uint8_t sizes[24];
    PutU64(sizes, 72 + flushed_ + (padWritten ? 1 : 0));
    PutU64(sizes + 8, flushed_);
    PutU64(sizes + 16, flushed_ / blockAlign_);
    file_->WriteAt(kRiffSizeOffset, sizes, sizeof sizes);
}

void Rf64Writer::UpdateSizes() {
    if (!file_) throw InvalidOperation("Cannot update a closed file. Object name: 'Rf64Writer'.");
    FlushBuffer();
    WriteSizes(false);
}

void Rf64Writer::Close() {
    if (!file_) return;
    std::unique_ptr<AudioFile> file;
    try {
        FlushBuffer();
        const bool pad = (flushed_ & 1) != 0;
        if (pad) {
            const uint8_t zero = 0;
            file_->WriteAt(kHeaderBytes + flushed_, &zero, 1);
        }
        WriteSizes(pad);
        file_->FlushToDisk();
    } catch (...) {
        file = std::move(file_);
        try {
            file->Close();
        } catch (...) {
            // The first failure is the one worth reporting.
        }
        throw;
    }
    file = std::move(file_);
    file->Close();
}

}  // namespace twr
