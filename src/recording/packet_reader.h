#pragma once
// Cutting the platform's capture packets into the reader's requests. Packets come in whatever
// size the audio engine chooses; a request takes what fits and the rest of a packet is kept so
// that no sample is ever dropped here. Portable, so that the bookkeeping is tested natively.
#include <cstdint>
#include <span>
#include <vector>

namespace twr {

// The capture service as one packet at a time (IAudioCaptureClient on Windows).
class PacketSource {
public:
    virtual ~PacketSource() = default;
    // Frames in the next packet, 0 when none is ready. Throws "GetNextPacketSize failed".
    [[nodiscard]] virtual uint32_t NextPacketFrames() = 0;
    // The next packet; false when the platform reports the buffer empty. data may be null for
    // a silent packet. Throws "GetBuffer failed".
    [[nodiscard]] virtual bool GetPacket(const float*& data, uint32_t& frames, bool& silent) = 0;
    // The packet of the last GetPacket is consumed. Throws "ReleaseBuffer failed".
    virtual void ReleasePacket(uint32_t frames) = 0;
};

class PacketReader {
public:
    static constexpr size_t kMinLeftover = 4096;

    explicit PacketReader(int channels) noexcept : channels_(channels) {}

    // Delivers up to count samples into buffer[offset...]: first what is left of the last
    // packet, then whole ready packets, stopping at the first packet that does not fit (its rest
    // is kept for the next call). Never waits. Throws InvalidArgument for a range outside the
    // buffer.
    [[nodiscard]] int Read(PacketSource& source, std::span<float> buffer, int offset, int count);

    [[nodiscard]] int LeftoverCount() const noexcept { return leftoverCount_; }
    [[nodiscard]] size_t LeftoverCapacity() const noexcept { return leftover_.size(); }

private:
    int channels_;
    std::vector<float> leftover_;
    int leftoverOffset_ = 0;
    int leftoverCount_ = 0;
};

}  // namespace twr
