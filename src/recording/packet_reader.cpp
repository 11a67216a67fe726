#include "recording/packet_reader.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "app/errors.h"

namespace twr {

int PacketReader::Read(PacketSource& source, std::span<float> buffer, int offset, int count) {
    if (offset < 0 || count < 0 || static_cast<size_t>(offset) + static_cast<size_t>(count) > buffer.size())
        throw InvalidArgument("Read range " + std::to_string(offset) + "+" + std::to_string(count) +
                              " lies outside a buffer of " + std::to_string(buffer.size()) + " samples.");
    float* out = buffer.data() + offset;
    int n = 0;
    if (leftoverCount_ > 0) {
        const int k = std::min(count, leftoverCount_);
        std::memcpy(out, leftover_.data() + leftoverOffset_, sizeof(float) * static_cast<size_t>(k));
        leftoverOffset_ += k;
        leftoverCount_ -= k;
        if (leftoverCount_ == 0) leftoverOffset_ = 0;
        if (k == count) return k;
        n = k;
    }
    while (n < count) {
        CapturePacket packet;
        if (source.NextPacketFrames() == 0 || !source.GetPacket(packet)) {
            ranDry_ = true;
            emptyAt_ = source.Now();
            return n;
        }
        Account(packet);
        const float* data = packet.data;
        const uint32_t frames = packet.frames;
        bool silent = packet.silent;
        const size_t samples = static_cast<size_t>(frames) * static_cast<size_t>(channels_);
        const size_t take = std::min(static_cast<size_t>(count - n), samples);
        const size_t surplus = samples - take;
        // A packet without data is treated as silent rather than read through a null pointer.
        silent = silent || data == nullptr;
        if (take > 0) {
            if (silent)
                std::fill_n(out + n, take, 0.0f);
            else
                std::memcpy(out + n, data, sizeof(float) * take);
            n += static_cast<int>(take);
        }
        if (surplus > 0) {
            if (leftover_.size() < surplus) leftover_.assign(std::max(surplus, kMinLeftover), 0.0f);
            if (silent)
                std::fill_n(leftover_.data(), surplus, 0.0f);
            else
                std::memcpy(leftover_.data(), data + take, sizeof(float) * surplus);
            leftoverOffset_ = 0;
            leftoverCount_ = static_cast<int>(surplus);
        }
        source.ReleasePacket(frames);
        if (surplus > 0) return n;
    }
    return n;
}

uint64_t PacketReader::TakeDiscardedFrames() noexcept { return std::exchange(discarded_, 0); }

namespace {
constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr uint64_t kToleranceTicks = PacketReader::kTimeToleranceMs * kTicksPerSecond / 1000;
}  // namespace

uint64_t PacketReader::FramesIn(uint64_t ticks) const noexcept {
    const auto rate = static_cast<uint64_t>(sampleRate_);
    // In two steps, so that a time far off cannot overflow the product.
    return ticks / kTicksPerSecond * rate + ticks % kTicksPerSecond * rate / kTicksPerSecond;
}

uint64_t PacketReader::TicksIn(uint64_t frames) const noexcept {
    return frames * kTicksPerSecond / static_cast<uint64_t>(sampleRate_);
}

void PacketReader::Anchor(const CapturePacket& packet) noexcept {
    anchorTime_ = packet.time;
    framesSinceAnchor_ = packet.frames;
}

void PacketReader::NoteLag(uint64_t now, uint64_t captured, uint64_t filledFrom) noexcept {
    // Taken short by the engine's jitter, so that a reader just past its buffer is not held to
    // less than the engine may really have discarded.
    const uint64_t full = TicksIn(bufferFrames_);
    const uint64_t buffer = full - std::min(full, kToleranceTicks);
    if (now - std::min(now, captured) > buffer) {
        // The buffer cannot have been full before it had held the audio after the last packet
        // read for its whole length, nor lost again what was reckoned at an earlier read.
        const uint64_t from = std::max(lagReckonedUntil_, filledFrom + buffer);
        if (now > from) mayBeLost_ += FramesIn(now - from);
        lastOverflow_ = now;
    }
    lagReckonedUntil_ = std::max(lagReckonedUntil_, now);
}

void PacketReader::Account(CapturePacket packet) {
    if (sampleRate_ < 1) return;
    const auto rate = static_cast<uint64_t>(sampleRate_);
    // No audio is read before it was captured: such a capture time is broken.
    if (packet.time && packet.readTime && *packet.time > *packet.readTime + kToleranceTicks) packet.time.reset();
    const std::optional<uint64_t> expectedPosition = std::exchange(nextPosition_, std::nullopt);
    const std::optional<uint64_t> previousEnd = std::exchange(previousEnd_, std::nullopt);
    const std::optional<uint64_t> previousRead = std::exchange(previousRead_, packet.readTime);
    if (packet.position) nextPosition_ = *packet.position + packet.frames;
    if (packet.time) previousEnd_ = *packet.time + TicksIn(packet.frames);
    const bool ranDry = std::exchange(ranDry_, false);
    // What the lag allowed before the reader last caught up can only show in the first packet
    // after: an engine that refuses audio while full keeps the next packet once it has room,
    // which a reader emptying the buffer in one burst meets only after it found the engine empty.
    const uint64_t mayBeLostBefore = ranDry ? std::exchange(mayBeLost_, 0) : 0;
    if (packet.readTime) {
        // A stream's first packet may have waited a whole buffer. After that the engine had handed
        // over everything when the reader last found it empty; a source without a clock is taken
        // as found empty when the packet before was read.
        if (!caughtUp_) caughtUp_ = *packet.readTime - std::min(*packet.readTime, TicksIn(bufferFrames_));
        if (ranDry && (emptyAt_ || previousRead)) caughtUp_ = emptyAt_ ? *emptyAt_ : *previousRead;
        // Every packet handed over since was captured after that, whatever its capture time says
        // (it may stand still), and so was the audio behind the packet before it.
        const uint64_t captured = std::max(packet.time.value_or(0), *caughtUp_);
        NoteLag(*packet.readTime, captured, std::max(previousCapturedEnd_.value_or(captured), *caughtUp_));
        previousCapturedEnd_ = captured + TicksIn(packet.frames);
    }
    const std::optional<uint64_t> previousCaughtUp = std::exchange(previousCaughtUp_, caughtUp_);
    if (!seenPacket_) {
        // The first packet has nothing to follow on from; a stream's start is often marked. So is
        // the first packet an engine keeps after it dropped its oldest, when the reader came late,
        // and what it then overwrote only the capture times after the mark show.
        seenPacket_ = true;
        Anchor(packet);
        if (packet.discontinuity) watchFrames_ = kWatchSeconds * rate;
        watchFrames_ -= std::min<uint64_t>(watchFrames_, packet.frames);
        return;
    }
    const uint64_t tolerance =
        std::max<uint64_t>(kTimeToleranceMs * rate / 1000, 2 * static_cast<uint64_t>(packet.frames));
    uint64_t lost = 0;
    if (packet.position && expectedPosition && *packet.position > *expectedPosition) {
        const uint64_t jump = *packet.position - *expectedPosition;
        // A jump further than the time allows is a broken position: a driver's garbage would
        // otherwise count as hours of lost audio. The packet before was captured after the reader
        // last found the engine empty before it read that packet, so the reader's own clock since
        // then bounds the jump whatever the engine's times say (they may stand still); without
        // it, the capture times. Its clock since it last found the engine empty would not do:
        // back from a hold-up, it empties the full buffer in one burst and meets the jump after.
        std::optional<uint64_t> passed;
        if (packet.readTime && previousCaughtUp)
            passed = FramesIn(*packet.readTime - std::min(*packet.readTime, *previousCaughtUp));
        else if (packet.time && previousEnd)
            passed = FramesIn(*packet.time - std::min(*packet.time, *previousEnd));
        if (!passed || jump <= *passed + tolerance) lost = jump;
    }
    // The capture time tells a loss that the position does not show; it is only trusted near a
    // marked one, where the clocks cannot have drifted apart.
    if ((packet.discontinuity || lost > 0 || watchFrames_ > 0) && packet.time && anchorTime_) {
        const uint64_t expected = *anchorTime_ + TicksIn(framesSinceAnchor_);
        if (*packet.time > expected) {
            const uint64_t late = FramesIn(*packet.time - expected);
            if (late > tolerance) lost = std::max(lost, late);
        }
    }
    if (idleLeavesGaps_) {
        // An output that played nothing leaves the same gaps as audio discarded: only what the
        // reader's lag allows is counted.
        lost = std::min(lost, mayBeLostBefore + mayBeLost_);
        mayBeLost_ -= lost - std::min(lost, mayBeLostBefore);
        // A packet captured after the reader was last found behind has shown every gap the
        // engine left while it was.
        if (packet.time && *packet.time >= lastOverflow_) mayBeLost_ = 0;
    }
    discarded_ += lost;
    if (packet.discontinuity || lost > 0) {
        Anchor(packet);
        watchFrames_ = kWatchSeconds * rate;
    } else if (ranDry || watchFrames_ == 0 || !anchorTime_) {
        Anchor(packet);
        if (ranDry) watchFrames_ = 0;
    } else {
        framesSinceAnchor_ += packet.frames;
    }
    watchFrames_ -= std::min<uint64_t>(watchFrames_, packet.frames);
}

}  // namespace twr
