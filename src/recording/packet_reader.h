#pragma once
// Cutting the platform's capture packets into the reader's requests. Packets come in whatever
// size the audio engine chooses; a request takes what fits and the rest of a packet is kept so
// that no sample is ever dropped here. It also tells from the packets how much audio the engine
// discarded because it was not read in time. Portable, so that the bookkeeping is tested natively.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace twr {

// One packet as the capture service hands it over.
struct CapturePacket {
    const float* data = nullptr;  // may be null for a silent packet
    uint32_t frames = 0;
    bool silent = false;
    // The engine says this packet does not follow on from the one before (audio was lost).
    bool discontinuity = false;
    // The stream position of the packet's first frame, in frames, when the platform gives one.
    std::optional<uint64_t> position;
    // When the packet's first frame was captured, in units of 100 ns of the performance counter,
    // when the platform gives a time it stands behind.
    std::optional<uint64_t> time;
    // When the reader took the packet, on the clock of time: how far behind the audio it is.
    std::optional<uint64_t> readTime;
};

// The capture service as one packet at a time (IAudioCaptureClient on Windows).
class PacketSource {
public:
    virtual ~PacketSource() = default;
    // Frames in the next packet, 0 when none is ready. Throws "GetNextPacketSize failed".
    [[nodiscard]] virtual uint32_t NextPacketFrames() = 0;
    // The next packet; false when the platform reports the buffer empty. Throws "GetBuffer failed".
    [[nodiscard]] virtual bool GetPacket(CapturePacket& packet) = 0;
    // The packet of the last GetPacket is consumed. Throws "ReleaseBuffer failed".
    virtual void ReleasePacket(uint32_t frames) = 0;
    // This moment on the clock of CapturePacket::readTime; none where the source keeps no such
    // clock. Asked when the engine is found empty: every packet after that was captured later.
    [[nodiscard]] virtual std::optional<uint64_t> Now() { return std::nullopt; }
};

class PacketReader {
public:
    static constexpr size_t kMinLeftover = 4096;
    // After a discontinuity the capture times are compared for this long: an engine may keep the
    // oldest audio of its full buffer and mark that, and lose the rest behind it unmarked.
    static constexpr int kWatchSeconds = 2;
    // A capture time later than expected by less than this is taken for the engine's jitter.
    static constexpr int kTimeToleranceMs = 50;

    // idleLeavesGaps: the stream may deliver nothing for a while and then go on further along
    // (the loopback of an output that plays nothing), so a gap is a loss only as far as the
    // packets' capture and read times show the reader fell behind by more than the device's
    // buffer of bufferFrames holds: before that the engine has no reason to discard anything.
    PacketReader(int channels, int sampleRate, bool idleLeavesGaps = false, uint32_t bufferFrames = 0) noexcept
        : channels_(channels), sampleRate_(sampleRate), idleLeavesGaps_(idleLeavesGaps), bufferFrames_(bufferFrames) {}

    // Delivers up to count samples into buffer[offset...]: first what is left of the last
    // packet, then whole ready packets, stopping at the first packet that does not fit (its rest
    // is kept for the next call). Never waits. Throws InvalidArgument for a range outside the
    // buffer.
    [[nodiscard]] int Read(PacketSource& source, std::span<float> buffer, int offset, int count);

    [[nodiscard]] int LeftoverCount() const noexcept { return leftoverCount_; }
    [[nodiscard]] size_t LeftoverCapacity() const noexcept { return leftover_.size(); }

    // Frames the engine discarded, by the packets' positions and capture times, since the last
    // call.
    [[nodiscard]] uint64_t TakeDiscardedFrames() noexcept;

private:
    void Account(CapturePacket packet);
    void Anchor(const CapturePacket& packet) noexcept;
    // Adds to mayBeLost_ what the engine can have discarded by now, when a packet captured no
    // earlier than captured is read now and the audio after the packet before was captured no
    // earlier than filledFrom.
    void NoteLag(uint64_t now, uint64_t captured, uint64_t filledFrom) noexcept;
    [[nodiscard]] uint64_t FramesIn(uint64_t ticks) const noexcept;
    [[nodiscard]] uint64_t TicksIn(uint64_t frames) const noexcept;

    int channels_;
    int sampleRate_;
    bool idleLeavesGaps_;
    uint32_t bufferFrames_;
    std::vector<float> leftover_;
    int leftoverOffset_ = 0;
    int leftoverCount_ = 0;

    bool seenPacket_ = false;
    bool ranDry_ = false;  // the source had nothing ready since the last packet
    std::optional<uint64_t> emptyAt_;  // when it last had nothing, by the source's clock
    std::optional<uint64_t> nextPosition_;
    std::optional<uint64_t> anchorTime_;  // the capture time that later packets are measured from
    uint64_t framesSinceAnchor_ = 0;
    uint64_t watchFrames_ = 0;  // frames left in which capture times are compared
    uint64_t discarded_ = 0;

    std::optional<uint64_t> previousEnd_;   // the capture time just after the last packet
    std::optional<uint64_t> previousRead_;  // when the last packet was read
    // A read time by which the reader had taken everything the engine had captured, and what it
    // was when the last packet was read.
    std::optional<uint64_t> caughtUp_;
    std::optional<uint64_t> previousCaughtUp_;
    // The earliest the audio just after the last packet can have been captured.
    std::optional<uint64_t> previousCapturedEnd_;
    // What the reader's lag says the engine may have discarded since it last caught up that no gap
    // has shown yet, and the reader's time up to which that is reckoned and at which it last grew.
    uint64_t mayBeLost_ = 0;
    uint64_t lagReckonedUntil_ = 0;
    uint64_t lastOverflow_ = 0;
};

}  // namespace twr
