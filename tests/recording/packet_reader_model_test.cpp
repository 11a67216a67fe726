// The packet reader's loss count against a simulated capture engine: thousands of seeded runs, each
// an engine of its own kind read on a schedule of its own, where the engine knows exactly what it
// discarded. TWR_PACKET_MODEL_SEED=<seed> replays one run and prints its packets;
// TWR_PACKET_MODEL_RUNS=<n> runs more seeds than the suite does.
#include "recording/packet_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace twr {
namespace {

constexpr uint64_t kTicksPerMs = 10'000;
constexpr uint64_t kPacketTicks = 10 * kTicksPerMs;  // the engine's 10 ms period
constexpr uint64_t kReadTicks = 50;                  // what taking one packet costs the reader

// SplitMix64: the standard library's distributions differ between implementations, and a seed
// must replay the same run on every build.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    uint64_t Between(uint64_t lo, uint64_t hi) { return lo + Next() % (hi - lo + 1); }
    bool Chance(int percent) { return Next() % 100 < static_cast<uint64_t>(percent); }
    template <typename T, size_t N>
    T Pick(const T (&options)[N]) {
        return options[Next() % N];
    }

private:
    uint64_t state_;
};

// What an engine does when its buffer is full and more audio comes: refuse it and mark the next
// packet it keeps; drop its oldest packets and mark the first one the reader finds; or, as Wine's
// does, drop its oldest packet once, mark the next one with a position only one packet on, and
// then overwrite its newest packet over and over.
enum class Overflow { RefusesNew, KeepsNewest, DropsOldestThenOverwrites };
enum class Timing { None, True, StandsStill };

struct Scenario {
    uint64_t seed = 0;
    int rate = 48000;
    Overflow overflow = Overflow::RefusesNew;
    bool loopback = false;
    bool marksLoss = true;   // the engine flags the packet after audio it discarded
    bool marksIdle = false;  // and the first packet after its output played nothing
    Timing timing = Timing::True;
    uint64_t standsFrom = 0;  // the capture time from which StandsStill stands
    bool garbage = false;     // now and then a driver's garbage position
    uint32_t bufferPackets = 100;
    int blockFrames = 480;
    int pollMs = 0;  // 0: woken by each packet
    std::vector<std::pair<uint64_t, uint64_t>> idle;  // [from, to) in ticks: its output played nothing
    struct Hold {
        uint64_t at, ticks;
    };
    std::vector<Hold> holds;  // the reader is not scheduled for ticks from at on
    uint64_t end = 0;

    uint32_t PacketFrames() const { return static_cast<uint32_t>(rate / 100); }
    uint64_t BufferTicks() const { return bufferPackets * kPacketTicks; }
    bool Idle(uint64_t from, uint64_t to) const {
        return std::any_of(idle.begin(), idle.end(), [&](const auto& i) { return i.first < to && from < i.second; });
    }
    std::string Text() const {
        static const char* const overflows[] = {"refuses new audio", "keeps its newest audio",
                                                "drops its oldest packet, then overwrites its newest"};
        static const char* const timings[] = {"no capture times", "capture times", "capture times standing"};
        std::string t = "seed " + std::to_string(seed) + ": " + (loopback ? "loopback" : "microphone") + " at " +
                        std::to_string(rate) + " Hz, buffer " + std::to_string(bufferPackets) +
                        " packets, engine " + overflows[static_cast<int>(overflow)] + ", " +
                        (marksLoss ? "marks a loss" : "marks no loss") + (marksIdle ? " and an idle gap" : "") +
                        ", " + timings[static_cast<int>(timing)];
        if (timing == Timing::StandsStill) t += " from " + std::to_string(standsFrom / kTicksPerMs) + " ms";
        t += garbage ? ", garbage positions" : "";
        t += ", blocks of " + std::to_string(blockFrames) + " frames, " +
             (pollMs ? "polling every " + std::to_string(pollMs) + " ms" : std::string("event driven"));
        for (const auto& i : idle)
            t += "; idle " + std::to_string(i.first / kTicksPerMs) + "-" + std::to_string(i.second / kTicksPerMs) +
                 " ms";
        return t;
    }
};

Scenario MakeScenario(uint64_t seed) {
    Random random(seed);
    Scenario s;
    s.seed = seed;
    s.rate = random.Chance(70) ? 48000 : 44100;
    s.overflow = static_cast<Overflow>(random.Between(0, 2));
    s.loopback = random.Chance(50);
    s.marksLoss = random.Chance(70);
    s.marksIdle = s.loopback && random.Chance(50);
    s.timing = static_cast<Timing>(random.Between(0, 2));
    s.standsFrom = random.Chance(50) ? 0 : random.Between(0, 5000) * kTicksPerMs;
    s.garbage = random.Chance(25);
    // Longer than a reader's idle wait, as every engine grants for the second asked for: a
    // buffer shorter than the wait makes every wait a hold-up of its own.
    s.bufferPackets = static_cast<uint32_t>(random.Chance(50) ? 100 : random.Between(30, 120));
    s.blockFrames = random.Pick({64, 256, 441, 480, 512, 1024, 2048, 4800});
    s.pollMs = random.Pick({0, 0, 5, 10, 20, 30});
    // Hold-ups shorter than the buffer, about as long and far longer, apart from each other.
    uint64_t at = random.Between(100, 1500) * kTicksPerMs;
    for (int n = static_cast<int>(random.Between(0, 4)); n > 0; --n) {
        const uint64_t buffer = s.BufferTicks();
        uint64_t ticks = 0;
        switch (random.Between(0, 3)) {
            case 0: ticks = buffer * random.Between(10, 90) / 100; break;
            case 1: ticks = buffer * random.Between(95, 110) / 100; break;
            default: ticks = buffer * random.Between(120, 500) / 100; break;
        }
        s.holds.push_back({at, ticks});
        at += ticks + random.Between(random.Chance(20) ? 0 : 300, 3000) * kTicksPerMs;
    }
    s.end = at + 2000 * kTicksPerMs;
    if (s.loopback) {
        const uint64_t last = s.end;
        for (int n = static_cast<int>(random.Between(0, 3)); n > 0; --n) {
            const uint64_t from = random.Between(0, last / kTicksPerMs) * kTicksPerMs;
            const uint64_t length = random.Pick({20, 100, 500, 1500, 2000, 5000}) * random.Between(50, 150) / 100;
            s.idle.push_back({from, from + length * kTicksPerMs});
            // The output plays again before the end, or a loss behind the idle stretch never shows.
            s.end = std::max(s.end, s.idle.back().second + 1000 * kTicksPerMs);
        }
    }
    return s;
}

// The engine: captures a packet every 10 ms unless its output is idle, hands over the oldest it
// holds, and keeps count of every frame it discarded.
class SimulatedEngine final : public PacketSource {
public:
    SimulatedEngine(const Scenario& s, uint64_t& now, Random& random)
        : s_(s), now_(now), random_(random), frames_(s.PacketFrames()), samples_(2 * frames_) {}

    uint32_t NextPacketFrames() override {
        Produce();
        return held_.empty() ? 0 : frames_;
    }
    bool GetPacket(CapturePacket& packet) override {
        if (held_.empty()) return false;
        const Held& h = held_.front();
        packet.data = samples_.data();
        packet.frames = frames_;
        packet.discontinuity = h.flagged;
        packet.position = Position(h);
        // Garbage only where the packets around it follow on, so that it hides no loss.
        if (s_.garbage && !h.flagged && handedEnd_ == packet.position && held_.size() > 1 &&
            !held_[1].flagged && !held_[1].afterDrop && Position(held_[1]) == *packet.position + frames_ &&
            random_.Chance(1))
            packet.position = (uint64_t{1} << 62) + random_.Between(0, 1u << 30);
        const uint64_t captured = h.index * kPacketTicks;
        if (s_.timing == Timing::True) packet.time = captured;
        if (s_.timing == Timing::StandsStill) packet.time = std::min(captured, s_.standsFrom);
        packet.readTime = now_;
        if (trace_)
            std::printf("    %8.3f ms: packet %llu%s at %llu%s\n", static_cast<double>(now_) / kTicksPerMs,
                        static_cast<unsigned long long>(h.index), h.flagged ? " (marked)" : "",
                        static_cast<unsigned long long>(*packet.position),
                        packet.time ? (", time " + std::to_string(*packet.time / kTicksPerMs) + " ms").c_str() : "");
        return true;
    }
    void ReleasePacket(uint32_t frames) override {
        EXPECT_EQ(frames, frames_);
        handedEnd_ = Position(held_.front()) + frames_;
        handed_.push_back(held_.front().index);
        released_ += held_.front().afterDrop ? 2 * frames_ : frames_;
        held_.pop_front();
        now_ += kReadTicks;
    }
    std::optional<uint64_t> Now() override { return now_; }

    // When the next packet is ready, for a reader woken by the engine.
    uint64_t NextReady() const {
        uint64_t index = produced_;
        while (s_.Idle(index * kPacketTicks, (index + 1) * kPacketTicks) && index * kPacketTicks < s_.end) ++index;
        return (index + 1) * kPacketTicks;
    }
    uint64_t Discarded() const { return discarded_; }
    // The packets handed over so far, by when they were captured (in packets).
    const std::vector<uint64_t>& Handed() const { return handed_; }
    void Trace() { trace_ = true; }
    // Discarded frames that a position shows, whatever the capture times say.
    uint64_t DiscardedInPositions() const { return discarded_ - overwritten_; }

private:
    struct Held {
        uint64_t index;    // captured at index x 10 ms
        bool flagged;      // what the engine says
        bool afterDrop;    // an overwriting engine's position counts the packet dropped before it
    };
    uint64_t Position(const Held& h) const {
        // An overwriting engine counts what it handed over; the others their device's clock.
        if (s_.overflow == Overflow::DropsOldestThenOverwrites) return released_ + (h.afterDrop ? frames_ : 0);
        return h.index * frames_;
    }
    void Produce() {
        for (; (produced_ + 1) * kPacketTicks <= now_; ++produced_) {
            if (s_.Idle(produced_ * kPacketTicks, (produced_ + 1) * kPacketTicks)) {
                flagNext_ = flagNext_ || s_.marksIdle;
                continue;
            }
            if (held_.size() < s_.bufferPackets) {
                held_.push_back({produced_, std::exchange(flagNext_, false), false});
                continue;
            }
            discarded_ += frames_;
            switch (s_.overflow) {
                case Overflow::RefusesNew:
                    flagNext_ = flagNext_ || s_.marksLoss;
                    break;
                case Overflow::KeepsNewest:
                    held_.pop_front();
                    held_.front().flagged = held_.front().flagged || s_.marksLoss;
                    held_.push_back({produced_, std::exchange(flagNext_, false), false});
                    break;
                case Overflow::DropsOldestThenOverwrites:
                    if (!held_.front().afterDrop) {
                        held_.pop_front();
                        held_.front().afterDrop = true;
                        held_.front().flagged = held_.front().flagged || s_.marksLoss;
                        held_.push_back({produced_, std::exchange(flagNext_, false), false});
                    } else {
                        overwritten_ += frames_;
                        held_.back() = {produced_, std::exchange(flagNext_, false), false};
                    }
                    break;
            }
        }
    }

    const Scenario& s_;
    uint64_t& now_;  // the reader's clock, which runs on while it takes packets
    Random& random_;
    const uint32_t frames_;
    const std::vector<float> samples_;
    std::deque<Held> held_;
    uint64_t produced_ = 0;
    uint64_t released_ = 0;
    uint64_t handedEnd_ = 0;
    bool flagNext_ = false;
    uint64_t discarded_ = 0;
    uint64_t overwritten_ = 0;
    std::vector<uint64_t> handed_;
    bool trace_ = false;
};

// One stretch in which the reader did not find the engine empty and was held up at least once:
// from the empty check before it to the one after it.
struct Away {
    uint64_t caughtUp = 0, back = 0, caughtUpAgain = 0;
    // The end of the last packet the reader had taken before, the start of the first it took after.
    uint64_t lastTaken = 0, firstAfter = UINT64_MAX;
    size_t handedBy = 0;  // packets handed over by the empty check after it
    uint64_t discarded = 0, inPositions = 0;
};

struct Outcome {
    uint64_t counted = 0, discarded = 0, least = 0, most = 0;
    std::string story;
};

Outcome Simulate(const Scenario& s, bool trace) {
    Random random(s.seed * 0x2545F4914F6CDD1Du + 1);
    uint64_t now = 0;
    SimulatedEngine engine(s, now, random);
    if (trace) engine.Trace();
    const uint32_t packet = s.PacketFrames();
    const uint64_t buffer = uint64_t{s.bufferPackets} * packet;
    PacketReader reader(2, s.rate, s.loopback, static_cast<uint32_t>(buffer));
    std::vector<float> block(2 * static_cast<size_t>(s.blockFrames));
    const int size = static_cast<int>(block.size());
    int fill = 0;
    Outcome o;
    std::vector<Away> aways;
    uint64_t caughtUp = 0;
    bool behind = false;  // held up since the reader last found the engine empty
    size_t nextHold = 0;
    const auto close = [&] {
        Away& a = aways.back();
        a.discarded = engine.Discarded() - a.discarded;
        a.inPositions = engine.DiscardedInPositions() - a.inPositions;
        a.caughtUpAgain = now;
        a.handedBy = engine.Handed().size();
    };
    while (now < s.end) {
        if (nextHold < s.holds.size() && now >= s.holds[nextHold].at) {
            if (!behind) {
                const uint64_t lastTaken = engine.Handed().empty() ? 0 : (engine.Handed().back() + 1) * kPacketTicks;
                aways.push_back({caughtUp, 0, 0, lastTaken, UINT64_MAX, 0, engine.Discarded(),
                                 engine.DiscardedInPositions()});
            }
            behind = true;
            now += s.holds[nextHold++].ticks;
            aways.back().back = now;
        }
        const int want = size - fill;
        const int got = reader.Read(engine, block, fill, want);
        const uint64_t counted = reader.TakeDiscardedFrames();
        if (trace && got < want) std::printf("    %8.3f ms: empty\n", static_cast<double>(now) / kTicksPerMs);
        if (trace && counted > 0) std::printf("    counted %llu\n", static_cast<unsigned long long>(counted));
        if (counted > 0)
            o.story += "; counted " + std::to_string(counted) + " at " + std::to_string(now / kTicksPerMs) + " ms";
        o.counted += counted;
        fill += got;
        if (fill == size) fill = 0;
        if (got < want) {
            if (behind) close();
            behind = false;
            caughtUp = now;
            const uint64_t wake = s.pollMs ? now + static_cast<uint64_t>(s.pollMs) * kTicksPerMs
                                           : std::min(engine.NextReady() + random.Between(0, 20) * 100,
                                                      now + 200 * kTicksPerMs);
            now = std::max(wake, now + 1);
        }
    }
    if (behind) close();
    for (Away& a : aways)
        if (a.handedBy < engine.Handed().size()) a.firstAfter = engine.Handed()[a.handedBy] * kPacketTicks;
    o.discarded = engine.Discarded();
    const auto frames = [&](uint64_t ticks) { return ticks * static_cast<uint64_t>(s.rate) / 10'000'000; };
    uint64_t accounted = 0;
    bool spills = false;
    for (size_t i = 0; i < aways.size(); ++i) {
        const Away& a = aways[i];
        accounted += a.discarded;
        // What the hold-up can have cost at most: the engine captured no more than the time
        // between the reader's empty checks and kept its buffer of that, which the reader has to
        // take short by the jitter it allows real engines.
        const uint64_t away = frames(a.caughtUpAgain - a.caughtUp);
        const uint64_t jitter = frames(PacketReader::kTimeToleranceMs * kTicksPerMs);
        const uint64_t cost = away + jitter > buffer ? away + jitter - buffer : 0;
        // Position and capture time are exact to a packet, a capture time's lateness to the
        // jitter the reader has to allow for it.
        uint64_t slack = a.discarded > 0 ? packet : 0;
        if (a.discarded > a.inPositions && s.timing == Timing::True) slack += jitter;
        uint64_t least = a.discarded;
        uint64_t most = a.discarded;
        // Audio overwritten in place leaves no gap in the positions; without capture times the
        // reader knows only that the engine was full for no longer than the hold-up allows.
        if (s.timing != Timing::True && a.discarded > a.inPositions) {
            least = a.inPositions;
            most = std::max(most, cost);
        }
        // Before the first packet the reader takes there is nothing for a gap to follow on from:
        // only an engine that refuses new audio shows a jump after the packets it kept, and one
        // that overwrites in place marks the packet that the capture times after it follow.
        if (a.lastTaken == 0) {
            if (s.overflow == Overflow::KeepsNewest) least = 0;
            if (s.overflow == Overflow::DropsOldestThenOverwrites)
                least = s.marksLoss && s.timing == Timing::True ? a.discarded - a.inPositions : 0;
        }
        // No reader can tell a loopback's idle output from audio discarded while it was away past
        // its buffer: both leave the same gap, and the engine is found just as full. The gaps it
        // may mistake are those it meets first after the away, made from the last packet it had
        // taken before to the first it takes after it has caught up again (capture times could
        // place a gap before the away, but they may stand still); and where the next hold-up came
        // before it took a packet again, it cannot tell which away a gap belongs to either.
        const bool mistakes =
            s.loopback && cost > 0 && (spills || s.Idle(a.lastTaken, a.firstAfter + kPacketTicks));
        if (mistakes) most = std::max(most, cost);
        spills = mistakes && i + 1 < aways.size() && aways[i + 1].caughtUp == a.caughtUpAgain;
        o.least += least - std::min(least, slack);
        o.most += most + slack;
        o.story += "; away " + std::to_string(a.caughtUp / kTicksPerMs) + "-" + std::to_string(a.back / kTicksPerMs) +
                   " ms, discarded " + std::to_string(a.discarded) + " (" + std::to_string(a.inPositions) +
                   " in positions)";
    }
    EXPECT_EQ(accounted, o.discarded) << "the engine discarded audio while the reader kept up";
    return o;
}

TEST(PacketReaderModel, CountsWhatTheEngineDiscardedOverSeededRuns) {
    uint64_t first = 1, runs = 2000;
    if (const char* many = std::getenv("TWR_PACKET_MODEL_RUNS")) runs = std::strtoull(many, nullptr, 10);
    if (const char* one = std::getenv("TWR_PACKET_MODEL_SEED")) {
        first = std::strtoull(one, nullptr, 10);
        runs = 1;
    }
    int failures = 0;
    uint64_t done = 0, holds = 0;
    double discarded = 0;
    for (uint64_t seed = first; seed < first + runs; ++seed, ++done) {
        const Scenario s = MakeScenario(seed);
        const Outcome o = Simulate(s, runs == 1);
        discarded += static_cast<double>(o.discarded) / s.rate;
        holds += s.holds.size();
        if (runs == 1) std::printf("%s\n  %s\n", s.Text().c_str(), o.story.c_str());
        if (o.counted < o.least || o.counted > o.most) {
            ADD_FAILURE() << s.Text() << "\n  counted " << o.counted << " frames, discarded " << o.discarded
                          << ", allowed " << o.least << "-" << o.most << o.story;
            if (++failures == 10) break;
        }
    }
    std::printf("%llu runs, %llu hold-ups, %.1f s discarded\n", static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(holds), discarded);
}

}  // namespace
}  // namespace twr
