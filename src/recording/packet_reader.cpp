#include "recording/packet_reader.h"

#include <algorithm>
#include <cstring>
#include <string>

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
        if (source.NextPacketFrames() == 0) return n;
        const float* data = nullptr;
        uint32_t frames = 0;
        bool silent = false;
        if (!source.GetPacket(data, frames, silent)) return n;
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

}  // namespace twr
