#include "recording/input_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <utility>
#include <thread>

#include "app/errors.h"
#include "recording/packet_reader.h"
#include "test_support.h"

namespace twr {
namespace {

using namespace std::chrono_literals;

// What the test watches of a stream and backend that live on the reader thread.
struct StreamProbe {
    std::atomic<bool> deliver{true};  // false: every read yields nothing
    // Frames the device holds ready; below 0 it never runs dry.
    std::atomic<int64_t> ready{-1};
    // While set, an idle wait lasts until it is cleared: the reader is held up, as a thread the
    // system does not run, and held tells that it is.
    std::atomic<bool> holdWaits{false}, held{false};
    Stopwatch clock;  // the session's
    std::atomic<double> heldFrom{-1.0};
    bool eventDriven = false, failOpen = false;
    std::atomic<int> disposed{0}, waits{0}, lastWaitMs{-1}, leftThread{0};
    std::atomic<int> next{0};  // running sample index
};

class FakeStream : public AudioStream {
public:
    explicit FakeStream(std::shared_ptr<StreamProbe> p) : p_(std::move(p)) {}
    int Read(std::span<float> buffer, int offset, int count) override {
        if (!p_->deliver) return 0;
        if (const int64_t ready = p_->ready.load(); ready >= 0) {
            count = static_cast<int>(std::min<int64_t>(count, 2 * ready));
            p_->ready -= count / 2;
        }
        for (int i = 0; i < count; ++i) buffer[static_cast<size_t>(offset + i)] = static_cast<float>(p_->next++);
        return count;
    }
    bool WaitForData(int timeoutMs) override {
        p_->waits++;
        p_->lastWaitMs = timeoutMs;
        if (p_->holdWaits) {
            p_->heldFrom = p_->clock.ElapsedSeconds();
            p_->held = true;
        }
        while (p_->holdWaits) std::this_thread::sleep_for(1ms);
        p_->held = false;
        std::this_thread::sleep_for(1ms);
        return true;
    }
    bool EventDriven() const noexcept override { return p_->eventDriven; }
    void Dispose() noexcept override { p_->disposed++; }

private:
    std::shared_ptr<StreamProbe> p_;
};

class FakeBackend : public CaptureBackend {
public:
    explicit FakeBackend(std::shared_ptr<StreamProbe> p) : p_(std::move(p)) {}
    std::shared_ptr<void> EnterThread() override {
        return std::shared_ptr<void>(nullptr, [p = p_](void*) { p->leftThread++; });
    }
    std::unique_ptr<AudioStream> Open(const std::string& id, bool, int, int channels) override {
        EXPECT_EQ(channels, 2);
        if (p_->failOpen) throw ComError("Device not found: " + id, 0x80070490);
        return std::make_unique<FakeStream>(p_);
    }

private:
    std::shared_ptr<StreamProbe> p_;
};

template <typename Pred>
bool WaitUntil(Pred pred) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class InputReaderTest : public ::testing::Test {
protected:
    // 64 frames a block unless told.
    std::shared_ptr<InputReader> Make(int sampleRate = 48000, int bufferFrames = 64) {
        return std::make_shared<InputReader>(1, "{mic}", false, sampleRate, bufferFrames, session_, session_->Clock,
                                             std::make_shared<FakeBackend>(probe_));
    }
    // A fresh session and device whose reader has queued two blocks and is now held up in an idle
    // wait with nothing ready.
    std::shared_ptr<InputReader> StartHeld(int sampleRate, int bufferFrames) {
        session_ = std::make_shared<RecordingSession>();
        probe_ = std::make_shared<StreamProbe>();
        probe_->clock = session_->Clock;
        probe_->ready = 3 * bufferFrames;  // the first block is the start-up transient
        probe_->holdWaits = true;
        auto reader = Make(sampleRate, bufferFrames);
        reader->Start();
        EXPECT_TRUE(WaitUntil([&] { return probe_->held.load(); }));
        EXPECT_EQ(reader->Queue().Count(), 2u);
        return reader;
    }

    testing::LogCapture log_;
    std::shared_ptr<RecordingSession> session_ = std::make_shared<RecordingSession>();
    std::shared_ptr<StreamProbe> probe_ = std::make_shared<StreamProbe>();
};

// The reader outpaces a writer that takes nothing: the queue fills, and later blocks are dropped
// and counted at once while the queued ones stay in order.
TEST_F(InputReaderTest, FirstBlockIsDiscardedLaterOnesQueueInOrderAndEveryDropIsCounted) {
    auto reader = Make();
    const size_t bound = InputReader::QueueBound(48000, 64);
    ASSERT_EQ(reader->Queue().Bound(), bound);
    reader->Start();
    ASSERT_TRUE(WaitUntil([&] { return session_->DroppedBlocks.load() >= 3; }));
    reader->ClearRunning();
    ASSERT_TRUE(reader->Join(5000));
    EXPECT_FALSE(reader->Failed());
    EXPECT_EQ(probe_->disposed.load(), 1);
    EXPECT_EQ(probe_->leftThread.load(), 1);
    EXPECT_TRUE(reader->Queue().IsAddingCompleted());
    ASSERT_EQ(reader->Queue().Count(), bound);
    // Every completed block after the first is either queued or counted as dropped.
    const int completed = probe_->next.load() / 128;
    EXPECT_EQ(completed - 1, static_cast<int>(bound) + session_->DroppedBlocks.load());
    EXPECT_TRUE(log_.Has("WARNING", "Reader 1: the queue is full (10 seconds of audio the writer has not taken)", false))
        << log_.Text();
    Block b;
    double lastTime = 0.0;
    // Samples 0..127 were the discarded first buffer; no queued block is missing or repeated.
    for (float start = 128; reader->Queue().TryTake(b, 0); start += 128) {
        ASSERT_EQ(b.Count, 128);
        ASSERT_EQ(b.Samples[0], start);
        ASSERT_EQ(b.Samples[127], start + 127);
        ASSERT_GE(b.Time, lastTime);
        lastTime = b.Time;
        ArrayPool::Shared().Return(b.Samples);
    }
}

TEST(InputReader, TheQueueHoldsTenSecondsWhateverTheFormat) {
    const struct {
        int rate, frames;
        size_t blocks;
    } cases[] = {
        {48000, 2048, 235},  // 10.03 s, about 4 MB of floats
        {96000, 512, 1875},  {44100, 441, 1000},      {384000, 2048, 1875},  // about 31 MB
        {384000, 480, 8000}, {8000, 1048576, 2},      {384000, 1048576, 4},  // a block longer than the queue's time
    };
    auto session = std::make_shared<RecordingSession>();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.frames) + "@" + std::to_string(c.rate));
        EXPECT_EQ(InputReader::QueueBound(c.rate, c.frames), c.blocks);
        EXPECT_GE(static_cast<double>(c.blocks) * c.frames, 10.0 * c.rate);
        InputReader reader(1, "x", false, c.rate, c.frames, session, session->Clock);
        EXPECT_EQ(reader.Queue().Bound(), c.blocks);
    }
}

TEST_F(InputReaderTest, OpenFailureSettlesFailsAndCompletesTheQueue) {
    probe_->failOpen = true;
    auto reader = Make();
    EXPECT_TRUE(reader->Join(0));  // never started: nothing to wait for
    reader->Start();
    ASSERT_TRUE(reader->Join(5000));
    EXPECT_FALSE(reader->ThreadAlive());
    EXPECT_TRUE(reader->Failed());
    EXPECT_TRUE(reader->Settled());
    EXPECT_EQ(reader->Error(), "Device not found: {mic}");
    EXPECT_TRUE(reader->Queue().IsCompleted());
    EXPECT_EQ(probe_->leftThread.load(), 1);  // the apartment is left also after a failure
    const std::string log = log_.Text();
    EXPECT_NE(log.find(" - ERROR - Reader 1 error: Device not found: {mic}\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" - INFO - Reader 1 thread shutting down\r\n"), std::string::npos) << log;
}

// An idle reader waits as its stream allows and ends on either stop signal, keeping what is queued.
TEST_F(InputReaderTest, StopEndsAnIdleReaderAndKeepsQueuedBlocks) {
    const struct {
        bool eventDriven, useStopEvent;
        int waitMs;
        const char* logged;
    } cases[] = {
        {false, false, 5, "Reader 1 is polling every 5 ms.\r\n"},  // 64 frames at 48000 Hz
        {false, true, 5, "Reader 1 is polling every 5 ms.\r\n"},
        {true, false, 200, "Reader 1 is event driven.\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.logged) + (c.useStopEvent ? " stop event" : " running flag"));
        log_.Clear();
        session_ = std::make_shared<RecordingSession>();
        probe_ = std::make_shared<StreamProbe>();
        probe_->deliver = false;
        probe_->eventDriven = c.eventDriven;
        auto reader = Make();
        Block kept{ArrayPool::Shared().Rent(128)};
        ASSERT_TRUE(reader->Queue().TryAdd(kept, 0));
        reader->Start();
        ASSERT_TRUE(WaitUntil([&] { return probe_->waits.load() > 0; }));
        EXPECT_TRUE(reader->Settled());
        EXPECT_TRUE(reader->ThreadAlive());
        if (c.useStopEvent)
            session_->StopEvent.Set();
        else
            reader->ClearRunning();
        EXPECT_TRUE(reader->Join(5000));
        EXPECT_FALSE(reader->Failed());
        EXPECT_EQ(reader->Queue().Count(), 1u);
        EXPECT_EQ(probe_->lastWaitMs.load(), c.waitMs);
        EXPECT_NE(log_.Text().find(c.logged), std::string::npos);
    }
}

// A stop while the reader is held up takes what the device still holds, up to the stop's bound,
// into blocks stamped with the stop time; the partial block left is neither queued nor counted.
TEST_F(InputReaderTest, AStopQueuesWhatTheDeviceStillHeldStampedWithTheStopTime) {
    const struct {
        const char* name;
        int rate, frames;
        int64_t ready;  // at the stop; below 0 the device never runs dry
        size_t queued;
    } cases[] = {
        {"nothing ready", 48000, 64, 0, 0},
        {"one 10 ms packet in 512-frame blocks at 96000 Hz", 96000, 512, 960, 1},
        {"half a second", 48000, 2048, 24000, 11},
        {"exactly the bound", 48000, 480, 48000, 100},
        {"a device that never runs dry ends at the bound", 48000, 480, -1, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto reader = StartHeld(c.rate, c.frames);
        probe_->ready = c.ready;
        session_->RequestStop();
        const double stop = session_->StopTime();
        probe_->holdWaits = false;
        ASSERT_TRUE(reader->Join(5000));
        EXPECT_FALSE(reader->Failed());
        EXPECT_EQ(session_->DroppedBlocks.load(), 0);
        EXPECT_EQ(log_.Text().find("WARNING"), std::string::npos) << log_.Text();
        const int64_t read = c.ready >= 0 ? c.ready : int64_t{InputReader::kStopReadSeconds} * c.rate;
        EXPECT_EQ(probe_->next.load(), 2 * (3 * c.frames + read));
        ASSERT_EQ(reader->Queue().Count(), 2 + c.queued);
        Block b;
        float start = static_cast<float>(2 * c.frames);
        for (size_t i = 0; reader->Queue().TryTake(b, 0); ++i, start += static_cast<float>(2 * c.frames)) {
            ASSERT_EQ(b.Samples[0], start);
            if (i < 2)
                EXPECT_LT(b.Time, stop);
            else
                EXPECT_EQ(b.Time, stop);
            ArrayPool::Shared().Return(b.Samples);
        }
    }
}

// A reader held up for longer than the stop's bound leaves the rest of what the device captured
// before the stop unread: that is counted, in blocks rounded up, by the time it was held.
TEST_F(InputReaderTest, AStopBeyondTheBoundCountsTheRestItLeavesUnread) {
    auto reader = StartHeld(48000, 480);
    const double heldFrom = probe_->heldFrom.load();
    std::this_thread::sleep_for(1500ms);
    session_->RequestStop();
    const double stop = session_->StopTime();
    // What the device captured meanwhile, a little less than the reader reckons from its own last
    // read, which came just before the hold.
    const auto captured = static_cast<int64_t>((stop - heldFrom) * 48000);
    probe_->ready = captured;
    probe_->holdWaits = false;
    ASSERT_TRUE(reader->Join(5000));
    EXPECT_EQ(reader->Queue().Count(), 2u + 100u) << "one second of blocks taken at the stop";
    const int64_t rest = (captured - 48000 + 479) / 480;
    EXPECT_GE(session_->DroppedBlocks.load(), rest);
    EXPECT_LE(session_->DroppedBlocks.load(), rest + 1);
    EXPECT_TRUE(log_.Has("WARNING", "Reader 1: ", false)) << log_.Text();
    EXPECT_NE(log_.Text().find(" seconds of audio captured before the stop were left unread; the reader was behind."),
              std::string::npos)
        << log_.Text();
    Block b;
    while (reader->Queue().TryTake(b, 0)) ArrayPool::Shared().Return(b.Samples);
}

// A capture engine whose buffer holds capacity packets of 10 ms at 48000 Hz, filled as real time
// passes. When the reader does not empty it in time, the engine loses audio in one of the two
// ways platforms do: it refuses the new audio and marks the next packet it keeps, which carries
// its true position; or it drops its oldest packet, marks the next one with its position one
// packet on, and then overwrites its newest packet, which only the capture time tells.
enum class Overflow { RefusesNew, KeepsOldest };

struct DeviceProbe {
    std::atomic<uint64_t> discarded{0};
};

class FakeDevice final : public PacketSource {
public:
    static constexpr uint32_t kFrames = 480;
    FakeDevice(Overflow mode, size_t capacity, std::shared_ptr<DeviceProbe> probe)
        : mode_(mode), capacity_(capacity), probe_(std::move(probe)), zeros_(2 * kFrames) {}

    uint32_t NextPacketFrames() override {
        Produce();
        return buffer_.empty() ? 0 : kFrames;
    }
    bool GetPacket(CapturePacket& packet) override {
        if (buffer_.empty()) return false;
        const Held& h = buffer_.front();
        packet.data = zeros_.data();
        packet.frames = kFrames;
        packet.discontinuity = h.marked;
        packet.time = static_cast<uint64_t>(h.index) * 100000;
        packet.readTime = Now();
        if (mode_ == Overflow::RefusesNew)
            packet.position = static_cast<uint64_t>(h.index) * kFrames;
        else
            packet.position = released_ + (h.marked ? kFrames : 0);
        return true;
    }
    void ReleasePacket(uint32_t) override {
        released_ += buffer_.front().marked ? 2 * kFrames : kFrames;
        buffer_.pop_front();
    }
    std::optional<uint64_t> Now() override {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count() *
            10);
    }

private:
    struct Held {
        int64_t index;
        bool marked;
    };
    void Produce() {
        const auto due = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                               start_).count() / 10000;
        for (; produced_ < due; ++produced_) {
            if (buffer_.size() < capacity_) {
                buffer_.push_back({produced_, std::exchange(markNext_, false)});
                continue;
            }
            probe_->discarded += kFrames;
            if (mode_ == Overflow::RefusesNew) {
                markNext_ = true;
            } else if (!buffer_.front().marked) {
                buffer_.pop_front();
                buffer_.front().marked = true;
                buffer_.push_back({produced_, false});
            } else {
                buffer_.back() = {produced_, false};
            }
        }
    }

    const Overflow mode_;
    const size_t capacity_;
    const std::shared_ptr<DeviceProbe> probe_;
    const std::vector<float> zeros_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::deque<Held> buffer_;
    int64_t produced_ = 0;
    uint64_t released_ = 0;
    bool markNext_ = false;
};

// A stream over a test's packets, read through the product's packet reader.
class PacketStream final : public AudioStream {
public:
    PacketStream(std::unique_ptr<PacketSource> source, bool loopback, uint32_t bufferFrames)
        : source_(std::move(source)), reader_(2, 48000, loopback, bufferFrames) {}
    int Read(std::span<float> buffer, int offset, int count) override {
        return reader_.Read(*source_, buffer, offset, count);
    }
    bool WaitForData(int) override {
        std::this_thread::sleep_for(2ms);
        return true;
    }
    bool EventDriven() const noexcept override { return false; }
    uint64_t TakeDiscardedFrames() noexcept override { return reader_.TakeDiscardedFrames(); }
    void Dispose() noexcept override {}

private:
    std::unique_ptr<PacketSource> source_;
    PacketReader reader_;
};

// Opens whatever stream a test makes for the loopback flag it is asked for.
class StreamBackend final : public CaptureBackend {
public:
    using Make = std::function<std::unique_ptr<AudioStream>(bool loopback)>;
    explicit StreamBackend(Make make) : make_(std::move(make)) {}
    std::unique_ptr<AudioStream> Open(const std::string&, bool loopback, int, int) override { return make_(loopback); }

private:
    Make make_;
};

// A stream as the reader sees it, over another: counts the samples read and, while told to, holds
// the reader in its idle wait as a thread the system does not run.
class HeldStream final : public AudioStream {
public:
    struct Probe {
        std::atomic<int64_t> samples{0};
        std::atomic<bool> hold{false}, held{false};
    };
    HeldStream(std::unique_ptr<AudioStream> inner, std::shared_ptr<Probe> probe)
        : inner_(std::move(inner)), probe_(std::move(probe)) {}
    int Read(std::span<float> buffer, int offset, int count) override {
        const int got = inner_->Read(buffer, offset, count);
        probe_->samples += got;
        return got;
    }
    bool WaitForData(int timeoutMs) override {
        probe_->held = probe_->hold.load();
        while (probe_->hold) std::this_thread::sleep_for(1ms);
        probe_->held = false;
        return inner_->WaitForData(timeoutMs);
    }
    bool EventDriven() const noexcept override { return inner_->EventDriven(); }
    uint64_t TakeDiscardedFrames() noexcept override { return inner_->TakeDiscardedFrames(); }
    void Dispose() noexcept override { inner_->Dispose(); }

private:
    std::unique_ptr<AudioStream> inner_;
    std::shared_ptr<Probe> probe_;
};

// A reader over a device of 10 ms packets and a second of buffer, read through HeldStream.
std::shared_ptr<InputReader> DeviceReader(const std::shared_ptr<RecordingSession>& session, Overflow mode,
                                          bool loopback, int sampleRate,
                                          const std::shared_ptr<DeviceProbe>& device,
                                          const std::shared_ptr<HeldStream::Probe>& held) {
    return std::make_shared<InputReader>(
        1, "{mic}", loopback, sampleRate, 480, session, session->Clock,
        std::make_shared<StreamBackend>([mode, device, held](bool lb) -> std::unique_ptr<AudioStream> {
            return std::make_unique<HeldStream>(
                std::make_unique<PacketStream>(std::make_unique<FakeDevice>(mode, 100, device), lb,
                                               100 * FakeDevice::kFrames),
                held);
        }));
}

// The writer takes nothing for longer than the queue holds: the queue fills to its bound, every
// later block is dropped and counted as it is completed, and the device is read throughout, so it
// never overflows. The reader is told its device runs at 4800 Hz, so that its queue of ten
// "seconds" fills in one second of the device's real 48000 Hz.
TEST(InputReader, AWriterHeldLongerThanTheQueueHoldsCostsCountedBlocksNotTheDevicesBuffer) {
    testing::LogCapture log;
    auto session = std::make_shared<RecordingSession>();
    auto device = std::make_shared<DeviceProbe>();
    auto held = std::make_shared<HeldStream::Probe>();
    auto reader = DeviceReader(session, Overflow::RefusesNew, false, 4800, device, held);
    ASSERT_EQ(reader->Queue().Bound(), 100u);
    reader->Start();
    std::this_thread::sleep_for(2500ms);
    const int32_t droppedWhileHeld = session->DroppedBlocks.load();
    session->RequestStop();
    ASSERT_TRUE(reader->Join(5000));
    EXPECT_FALSE(reader->Failed());

    EXPECT_EQ(device->discarded.load(), 0u);
    EXPECT_EQ(reader->Queue().Count(), 100u);
    // About a second and a half of 10 ms blocks found the queue full.
    EXPECT_GT(droppedWhileHeld, 100);
    // Every completed block after the first was queued or counted, the stop's included.
    const int64_t completed = held->samples.load() / 960;
    EXPECT_EQ(completed - 1, 100 + session->DroppedBlocks.load());
    const std::string text = log.Text();
    EXPECT_EQ(text.find("discarded"), std::string::npos) << text;
    EXPECT_NE(text.find(" - WARNING - Reader 1: the queue is full"), std::string::npos) << text;
    Block b;
    while (reader->Queue().TryTake(b, 0)) ArrayPool::Shared().Return(b.Samples);
}

// The reader's thread is not run for 2 s, so the device's second of buffer overflows: what the
// device lost is counted with the dropped blocks, in whole blocks, and logged in seconds. A
// loopback's loss is counted the same way.
TEST(InputReader, AReaderHeldUpForTwoSecondsCountsWhatTheDeviceDiscarded) {
    for (auto [mode, loopback] : {std::pair{Overflow::RefusesNew, false}, std::pair{Overflow::KeepsOldest, false},
                                  std::pair{Overflow::RefusesNew, true}, std::pair{Overflow::KeepsOldest, true}}) {
        SCOPED_TRACE(std::string(mode == Overflow::RefusesNew ? "refuses new audio" : "keeps its oldest audio") +
                     (loopback ? ", loopback" : ""));
        testing::LogCapture log;
        auto session = std::make_shared<RecordingSession>();
        auto device = std::make_shared<DeviceProbe>();
        auto held = std::make_shared<HeldStream::Probe>();
        auto reader = DeviceReader(session, mode, loopback, 48000, device, held);
        reader->Start();
        std::this_thread::sleep_for(100ms);
        held->hold = true;
        ASSERT_TRUE(WaitUntil([&] { return held->held.load(); }));
        std::this_thread::sleep_for(2s);
        held->hold = false;
        std::this_thread::sleep_for(300ms);
        reader->ClearRunning();
        ASSERT_TRUE(reader->Join(5000));
        Block b;
        while (reader->Queue().TryTake(b, 0)) ArrayPool::Shared().Return(b.Samples);

        const uint64_t discarded = device->discarded.load();
        EXPECT_GT(discarded, 24000u) << "the hold outlasted the device buffer by half a second at least";
        EXPECT_EQ(static_cast<uint64_t>(session->DroppedBlocks.load()), (discarded + 479) / 480);
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f", static_cast<double>(discarded) / 48000);
        const std::string text = log.Text();
        EXPECT_NE(text.find(std::string(" - WARNING - Reader 1 lost ") + seconds +
                            " seconds of audio in all that the device discarded.\r\n"),
                  std::string::npos)
            << text;
    }
}

// Packets handed over as a driver lists them.
class ScriptedPackets final : public PacketSource {
public:
    ScriptedPackets(std::deque<CapturePacket> packets, std::shared_ptr<std::atomic<bool>> drained)
        : packets_(std::move(packets)), drained_(std::move(drained)) {}
    uint32_t NextPacketFrames() override {
        if (packets_.empty()) *drained_ = true;
        return packets_.empty() ? 0 : packets_.front().frames;
    }
    bool GetPacket(CapturePacket& packet) override {
        packet = packets_.front();
        packet.data = zeros_.data();
        return true;
    }
    void ReleasePacket(uint32_t) override { packets_.pop_front(); }

private:
    std::deque<CapturePacket> packets_;
    const std::shared_ptr<std::atomic<bool>> drained_;
    const std::vector<float> zeros_ = std::vector<float>(2 * 480);
};

// One position from a driver that returns garbage once, after a real loss: the loss is counted,
// the garbage is not, and the count cannot come out below one (the report's "clean").
TEST(InputReader, ABrokenPositionAfterARealLossCountsOnlyTheLoss) {
    std::deque<CapturePacket> packets;
    auto add = [&](uint64_t position, uint64_t frame) {
        CapturePacket p;
        p.frames = 480;
        p.position = position;
        p.time = frame * 10'000'000 / 48000;
        p.readTime = *p.time + 100'000;
        packets.push_back(p);
    };
    for (uint64_t f = 0; f <= 1440; f += 480) add(f, f);
    add(1930, 1930);  // 10 frames lost
    add(uint64_t{1} << 62, 2410);
    for (uint64_t f = 2890; f < 2890 + 10 * 480; f += 480) add(f, f);

    testing::LogCapture log;
    auto session = std::make_shared<RecordingSession>();
    auto drained = std::make_shared<std::atomic<bool>>(false);
    auto reader = std::make_shared<InputReader>(
        1, "{mic}", false, 48000, 480, session, session->Clock,
        std::make_shared<StreamBackend>([&packets, drained](bool) -> std::unique_ptr<AudioStream> {
            return std::make_unique<PacketStream>(std::make_unique<ScriptedPackets>(std::move(packets), drained),
                                                  false, 48000);
        }));
    reader->Start();
    ASSERT_TRUE(WaitUntil([&] { return drained->load(); }));
    reader->ClearRunning();
    ASSERT_TRUE(reader->Join(5000));
    EXPECT_FALSE(reader->Failed());
    EXPECT_EQ(session->DroppedBlocks.load(), 1);
}

TEST(InputReader, IdleWaitAndFormatsThatCannotMakeBlocks) {
    const struct {
        bool eventDriven;
        int frames, rate, expected;
    } cases[] = {{false, 2048, 48000, 21}, {false, 4096, 44100, 30}, {false, 256, 96000, 5},
                 {true, 2048, 48000, 200}, {false, 1000000000, 8000, 30}};
    for (const auto& c : cases)
        EXPECT_EQ(InputReader::IdleWaitMs(c.eventDriven, c.frames, c.rate), c.expected) << c.frames << "@" << c.rate;

    auto session = std::make_shared<RecordingSession>();
    auto make = [&](int rate, int frames) {
        return std::make_shared<InputReader>(2, "x", true, rate, frames, session, session->Clock);
    };
    EXPECT_THROW(make(48000, 0), InvalidArgument);
    EXPECT_THROW(make(48000, -5), InvalidArgument);
    EXPECT_THROW(make(0, 2048), InvalidArgument);
    EXPECT_FALSE(make(48000, 2048)->Settled()) << "not settled before it starts";
}

}  // namespace
}  // namespace twr
