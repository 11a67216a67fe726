#include "recording/packet_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "app/errors.h"

namespace twr {
namespace {

// Packets ready in the capture service; samples carry their running index so that any lost,
// repeated or reordered sample shows.
class FakePackets : public PacketSource {
public:
    // marks: what the engine says of the packet besides its samples (discontinuity, position, time).
    void Queue(uint32_t frames, bool silent, CapturePacket marks = {}) {
        std::vector<float> p(static_cast<size_t>(frames) * 2);
        std::iota(p.begin(), p.end(), static_cast<float>(next_));
        next_ += static_cast<int>(p.size());
        marks.silent = silent;
        packets_.push_back({std::move(p), marks});
    }
    uint32_t NextPacketFrames() override { return packets_.empty() ? 0 : Frames(); }
    bool GetPacket(CapturePacket& packet) override {
        if (packets_.empty()) return false;
        packet = packets_.front().second;
        packet.data = packets_.front().first.data();
        packet.frames = Frames();
        return true;
    }
    void ReleasePacket(uint32_t frames) override {
        EXPECT_EQ(frames, Frames());
        packets_.pop_front();
    }
    std::optional<uint64_t> Now() override { return now; }

    std::optional<uint64_t> now;  // the clock of the read times, as the reader finds it

private:
    uint32_t Frames() const { return static_cast<uint32_t>(packets_.front().first.size() / 2); }
    int next_ = 0;
    std::deque<std::pair<std::vector<float>, CapturePacket>> packets_;
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
        PacketReader reader(2, 48000);
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
    PacketReader reader(2, 48000);
    std::vector<float> buffer(8);
    EXPECT_THROW((void)reader.Read(source, buffer, 4, 5), InvalidArgument);
    EXPECT_THROW((void)reader.Read(source, buffer, -1, 2), InvalidArgument);
    EXPECT_EQ(reader.Read(source, buffer, 8, 0), 0);
}

// 10 ms packets at 48000 Hz: packet i starts at frame 480 i, captured at 100000 i (units of 100 ns).
struct Marked {
    int64_t index;                       // where the packet's audio lies in the stream
    bool discontinuity = false;
    std::optional<int64_t> position{};   // as the engine states it; default: index x 480
    bool timed = true;
    std::optional<uint64_t> time{};      // as the engine states it; default: index x 100000
};

// Each phase queues its packets and reads them; a phase that "runs dry" asks for more than is
// there, as a reader that keeps up does, and finds the engine empty at dryAtMs (by default when
// it read its last packet). A packet is read behindMs after its capture, but not before
// heldUntilMs.
struct Phase {
    std::vector<Marked> packets;
    bool runsDry;
    int64_t behindMs = 10;
    int64_t heldUntilMs = 0;
    std::optional<int64_t> dryAtMs{};
};

// Packets from to to (not included), in order.
Phase Packets(int64_t from, int64_t to, bool dry) {
    Phase p{{}, dry};
    for (int64_t i = from; i < to; ++i) p.packets.push_back({i});
    return p;
}
Phase WithTail(Phase p, const std::vector<Marked>& more) {
    p.packets.insert(p.packets.end(), more.begin(), more.end());
    return p;
}
Phase Late(Phase p, int64_t behindMs, int64_t heldUntilMs = 0) {
    p.behindMs = behindMs;
    p.heldUntilMs = heldUntilMs;
    return p;
}
Phase Untimed(Phase p) {
    for (auto& m : p.packets) m.timed = false;
    return p;
}
// Capture times that stand still at 0.
Phase Standing(Phase p) {
    for (auto& m : p.packets) m.time = 0;
    return p;
}
Phase DryAt(Phase p, int64_t ms) {
    p.dryAtMs = ms;
    return p;
}

// What the engine tells of its packets, read back as the frames the reader counts discarded; the
// engine's buffer holds one second.
uint64_t CountDiscarded(const std::vector<Phase>& phases, bool loopback) {
    FakePackets source;
    PacketReader reader(2, 48000, loopback, 48000);
    std::vector<float> buffer(2 * 480 * 400);
    uint64_t discarded = 0;
    for (const Phase& phase : phases) {
        uint64_t lastRead = 0;
        for (const Marked& m : phase.packets) {
            CapturePacket marks;
            marks.discontinuity = m.discontinuity;
            marks.position = static_cast<uint64_t>(m.position.value_or(m.index * 480));
            if (m.timed) marks.time = m.time.value_or(static_cast<uint64_t>(m.index * 100000));
            lastRead = static_cast<uint64_t>(
                std::max((m.index * 10 + phase.behindMs) * 10000, phase.heldUntilMs * 10000));
            marks.readTime = lastRead;
            source.Queue(480, false, marks);
        }
        source.now = phase.dryAtMs ? static_cast<uint64_t>(*phase.dryAtMs * 10000) : lastRead;
        const int samples = static_cast<int>(phase.packets.size()) * 960;
        EXPECT_EQ(reader.Read(source, buffer, 0, samples + (phase.runsDry ? 2 : 0)), samples);
        discarded += reader.TakeDiscardedFrames();
    }
    EXPECT_EQ(reader.TakeDiscardedFrames(), 0u) << "taken once";
    return discarded;
}

TEST(PacketReader, CountsWhatTheEngineDiscardedAndNothingElse) {
    auto shifted = [](int64_t from, int64_t to, int64_t missing) {
        std::vector<Marked> v;
        for (int64_t i = from; i < to; ++i) v.push_back({i, false, (i - missing) * 480});
        return v;
    };
    // Packets 0-9, then the stream goes on at a marked packet 30.
    const Phase resumesAt30 = WithTail(WithTail(Packets(0, 10, false), {{30, true}}), Packets(31, 40, false).packets);
    // Packets 2-101 wait in the full buffer until the reader comes back at 2 s; the engine
    // refuses the audio after them and marks the first packet it takes again.
    const Phase heldRefusingNew = Late(WithTail(Packets(2, 102, false), {{200, true}}), 10, 2000);
    // The engine keeps its newest second instead: what the reader finds first is marked.
    const Phase heldKeepingNewest =
        Late(WithTail(Phase{{{100, true}}, false}, Packets(101, 200, false).packets), 10, 2000);
    // Held up for 5 s after it had caught up, so packets 2-101 wait in the full buffer and the
    // audio up to packet 500 is lost; every packet without a capture time.
    const Phase heldUntimed = Untimed(Late(WithTail(Packets(2, 102, false), {{500, true}}), 10, 5000));
    const struct {
        const char* name;
        std::vector<Phase> phases;
        uint64_t discarded;
        bool loopback = false;
    } cases[] = {
        {"contiguous packets", {Packets(0, 50, true), Packets(50, 60, false)}, 0},
        {"the position jumps while the reader was held up",
         {Packets(0, 2, false), Phase{{{5, true}, {6}}, false}}, 3 * 480},
        {"the position jumps without the mark", {Packets(0, 2, false), Phase{{{102}}, false}}, 100 * 480},
        {"a loopback's gap after it ran dry: the output played nothing",
         {Packets(0, 2, true), Phase{{{100, true}, {101}}, false}}, 0, true},
        {"a microphone's gap after it ran dry: the reader was not scheduled",
         {Packets(0, 2, true), Phase{{{100, true}, {101}}, false}}, 98 * 480},
        // The oldest packet is dropped and its successor marked (position one packet on); the
        // rest is lost behind the buffer's last packet, which only its capture time shows.
        {"the loss behind an engine's full buffer, by the capture time",
         {Packets(0, 2, false), WithTail(Phase{{{3, true, 3 * 480}}, false},
                                         {{4, false, 4 * 480}, {5, false, 5 * 480}, {60, false, 6 * 480}})},
         480 + 54 * 480},
        {"a late capture time far from any mark is clock drift",
         {Packets(0, 2, false), Phase{{{900, false, 2 * 480}}, false}}, 0},
        {"a late capture time within the engine's jitter",
         {Packets(0, 2, false), Phase{{{5, true, 2 * 480}}, false}}, 0},
        // 49 packets go missing within two seconds of the mark, 548 more after them.
        {"the capture time is watched for two seconds after a mark only",
         {Packets(0, 2, false), WithTail(WithTail(Phase{{{3, true}}, false}, Packets(4, 101, false).packets),
                                         [&] {
                                             auto v = shifted(150, 352, 49);
                                             v.push_back({900, false, 303 * 480});
                                             return v;
                                         }())},
         480 + 49 * 480},
        {"a mark without a capture time still counts by the position",
         {Packets(0, 2, false), Phase{{{5, true, std::nullopt, false}}, false}}, 3 * 480},
        {"a marked first packet", {Phase{{{7, true}}, false}, Packets(8, 10, true)}, 0},
        // The reader came late to the stream: the engine dropped its oldest packet, marked the
        // next and overwrote its newest 50 times, the first packet taken being that mark.
        {"the capture times after a marked first packet are watched too",
         {[] {
             Phase p = Late(Packets(1, 100, false), 10, 1600);
             p.packets.front().discontinuity = true;
             p.packets.push_back({150, false, 100 * 480});
             return p;
         }()},
         50 * 480},
        {"a loopback 300 ms behind: the buffer held everything, the output played nothing",
         {Late(resumesAt30, 300)}, 0, true},
        {"a microphone 300 ms behind: the jump is the device's own", {Late(resumesAt30, 300)}, 20 * 480},
        {"a loopback held up past its buffer, the engine refusing new audio",
         {Packets(0, 2, false), heldRefusingNew}, 98 * 480, true},
        {"a loopback held up past its buffer, the engine keeping its newest audio",
         {Packets(0, 2, false), heldKeepingNewest}, 98 * 480, true},
        {"a loopback's later gap while it keeps up owes nothing to the hold-up before",
         {Packets(0, 2, false), heldRefusingNew, Packets(201, 210, false), Phase{{{400, true}}, false}},
         98 * 480, true},
        {"a position beyond what the capture times allow is broken",
         {Packets(0, 2, false), Phase{{{2, false, int64_t{1} << 62}, {3}, {4}}, false}}, 0},
        {"a capture time later than the packet was read is broken",
         {Packets(0, 2, false), Phase{{{2, true, std::nullopt, true, uint64_t{1} << 62}, {3}}, false}}, 0},
        // Read in one burst, the packets before the gap say nothing of how long the reader was away.
        {"a microphone held up past its buffer, without capture times",
         {Untimed(Packets(0, 2, true)), heldUntimed}, 398 * 480},
        {"a loopback held up past its buffer, without capture times",
         {Untimed(Packets(0, 2, true)), heldUntimed}, 398 * 480, true},
        // The hold-up leaves more to its lag than it cost; once the reader has caught up and taken
        // a packet again, nothing of that is owed to an idle gap after it.
        {"a loopback's idle gap after a hold-up it has caught up with, capture times standing",
         {Standing(Packets(0, 2, true)), Standing(Late(Packets(2, 102, true), 10, 2000)),
          Standing(Phase{{{200, true}, {201}}, true}), Standing(DryAt(Packets(202, 210, true), 3995)),
          Standing(Phase{{{400, true}, {401}}, false})},
         98 * 480, true},
        // Capture times that stand still are no reason to call a real jump broken.
        {"capture times that stand still",
         {Phase{{{0, false, std::nullopt, true, 0}, {1, false, std::nullopt, true, 0}}, false},
          Phase{{{30, false, std::nullopt, true, 0}}, false}}, 28 * 480},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CountDiscarded(c.phases, c.loopback), c.discarded);
    }
}

// The reader is away for 2 s or 5 s after it caught up at 20 ms: the engine holds packets 2-101
// and refuses the audio after them until the reader has emptied it in one burst and found it
// empty; only then does it hand over the first packet it kept again. However it shows that jump,
// it is counted.
TEST(PacketReader, AHoldUpPastTheBufferCountsHoweverTheEngineShowsIt) {
    for (const int64_t backMs : {2000, 5000})
        for (const bool loopback : {false, true})
            for (const bool marked : {false, true})
                for (const bool timed : {false, true}) {
                    SCOPED_TRACE(std::to_string(backMs) + " ms, " + (loopback ? "loopback" : "microphone") +
                                 (marked ? ", marked" : ", unmarked") +
                                 (timed ? ", capture times" : ", no capture times"));
                    const int64_t kept = backMs / 10;
                    std::vector<Phase> phases = {Packets(0, 2, true), Late(Packets(2, 102, true), 10, backMs),
                                                 Phase{{{kept, marked}, {kept + 1}}, false}};
                    if (!timed)
                        for (auto& p : phases) p = Untimed(p);
                    EXPECT_EQ(CountDiscarded(phases, loopback), static_cast<uint64_t>(kept - 102) * 480);
                }
}

// A loopback's output plays nothing after packet 1, so the engine hands over nothing until the
// packet after the idle stretch, whose position jumps by it. The reader polls throughout and last
// finds the engine empty 5 ms before it reads that packet: it never fell behind.
TEST(PacketReader, ALoopbacksIdleOutputIsNoLoss) {
    const struct {
        const char* name;
        int64_t resumesAt;  // the packet after the idle stretch
        bool marked, standing;
    } cases[] = {
        {"2 s, no capture times", 199, true, false},
        {"5 s, no capture times", 499, false, false},
        {"2 s, capture times standing", 199, false, true},
        {"5 s, capture times standing", 499, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Phase> phases = {DryAt(Packets(0, 2, true), c.resumesAt * 10 + 5),
                                     Phase{{{c.resumesAt, c.marked}, {c.resumesAt + 1}}, true}};
        for (auto& p : phases) p = c.standing ? Standing(p) : Untimed(p);
        EXPECT_EQ(CountDiscarded(phases, true), 0u);
    }
}

}  // namespace
}  // namespace twr
