#include "recording/packet_reader.h"

#include <gtest/gtest.h>

#include <deque>
#include <numeric>
#include <vector>

#include "app/errors.h"

namespace twr {
namespace {

// Packets ready in the capture service; samples carry their running index so that any lost,
// repeated or reordered sample shows.
class FakePackets : public PacketSource {
public:
    void Queue(uint32_t frames, bool silent) {
        std::vector<float> p(static_cast<size_t>(frames) * 2);
        std::iota(p.begin(), p.end(), static_cast<float>(next_));
        next_ += static_cast<int>(p.size());
        packets_.push_back({std::move(p), silent});
    }
    uint32_t NextPacketFrames() override { return packets_.empty() ? 0 : Frames(); }
    bool GetPacket(const float*& data, uint32_t& frames, bool& silent) override {
        if (packets_.empty()) return false;
        data = packets_.front().first.data();
        frames = Frames();
        silent = packets_.front().second;
        return true;
    }
    void ReleasePacket(uint32_t frames) override {
        EXPECT_EQ(frames, Frames());
        packets_.pop_front();
    }

private:
    uint32_t Frames() const { return static_cast<uint32_t>(packets_.front().first.size() / 2); }
    int next_ = 0;
    std::deque<std::pair<std::vector<float>, bool>> packets_;  // samples, silent
};

TEST(PacketReader, DeliversEverySampleOnceAcrossSplitPackets) {
    const struct {
        const char* name;
        std::vector<uint32_t> packetFrames;
        std::vector<int> requests;  // samples per Read
        std::vector<int> expected;  // samples each Read returns
        bool silent = false;
    } cases[] = {
        {"nothing ready", {}, {8}, {0}},
        {"smaller packets are joined", {2, 2}, {16}, {8}},
        {"larger packet fills and keeps the rest", {10}, {8, 16}, {8, 12}},
        {"leftover only when the request is smaller", {10}, {8, 4, 8}, {8, 4, 8}},
        {"leftover first, then new packets", {6, 6}, {8, 16}, {8, 16}},
        {"stops at the packet that does not fit", {3, 6, 3}, {10, 100}, {10, 14}},
        {"a packet larger than the leftover store", {10, 5000}, {8, 16, 2, 9990}, {8, 16, 2, 9990}},
        {"a silent packet is zeros, also in the leftover", {4}, {5, 3}, {5, 3}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePackets source;
        for (auto f : c.packetFrames) source.Queue(f, c.silent);
        PacketReader reader(2);
        std::vector<float> buffer(10100, -1.0f);
        int delivered = 0;
        for (size_t i = 0; i < c.requests.size(); ++i) {
            int got = reader.Read(source, buffer, delivered, c.requests[i]);
            EXPECT_EQ(got, c.expected[i]) << "read " << i;
            delivered += got;
        }
        for (int i = 0; i < delivered; ++i)
            ASSERT_EQ(buffer[i], c.silent ? 0.0f : static_cast<float>(i)) << "sample " << i;
        EXPECT_EQ(buffer[delivered], -1.0f) << "wrote past what it returned";
    }
}

TEST(PacketReader, RangeOutsideTheBufferIsRefused) {
    FakePackets source;
    PacketReader reader(2);
    std::vector<float> buffer(8);
    EXPECT_THROW((void)reader.Read(source, buffer, 4, 5), InvalidArgument);
    EXPECT_THROW((void)reader.Read(source, buffer, -1, 2), InvalidArgument);
    EXPECT_EQ(reader.Read(source, buffer, 8, 0), 0);
}

}  // namespace
}  // namespace twr
