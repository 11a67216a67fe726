#pragma once
// A simulated world for the writer loop: a clock that moves only when the loop sleeps or waits
// for a block, and inputs that deliver blocks at their own pace into queues of their own.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "recording/writer_loop.h"

namespace twr::testing {

class FakeWorld : public WriterClock {
public:
    double now = 0.0, stopAt = 1e9;
    bool stop = false;
    double stopTime = -1.0;  // when the stop came
    std::vector<std::function<void(FakeWorld&)>> hooks;  // run at every step of time

    double Now() override { return now; }
    bool StopSet() override { return stop; }
    bool WaitStop(int ms) override { return AdvanceTo(now + ms / 1000.0), stop; }
    double StopTime() override { return stopTime >= 0 ? stopTime : now; }
    void Stop() {
        if (!stop) stop = true, stopTime = now;
    }
    void AdvanceTo(double t) {
        if (t < now) return;
        now = t;
        // A stop key pressed at stopAt, whatever the writer was doing then.
        if (now >= stopAt && !stop) stop = true, stopTime = stopAt;
        for (auto& h : hooks) h(*this);
    }
};

constexpr int kFrames = 480;  // 10 ms blocks at 48000 Hz
constexpr double kBlockSec = kFrames / 48000.0;

// Produces a block every blockSec while `delivering` says so, into a queue of `capacity` blocks
// that drops (and counts) what finds it full, as a reader does.
class FakeInput : public WriterInput {
public:
    FakeInput(FakeWorld& world, int number, int frames = kFrames, double blockSec = kBlockSec)
        : world_(world), number_(number), frames_(frames), blockSec_(blockSec), nextAt_(blockSec) {}

    std::function<bool(double)> delivering = [](double) { return true; };
    std::function<float(double)> value = [](double) { return 0.25f; };
    bool settled = true, failed = false, alive = true;
    std::string error;
    int taken = 0;
    size_t capacity = SIZE_MAX;
    int dropped = 0;
    // Runs when a take finds the queue empty, before it waits.
    std::function<void()> onEmptyTake;

    std::vector<double> delivered;  // the stamp of every block that reached the queue

    // Puts a block into the queue now, stamped with an arbitrary time.
    void Inject(double stamp, float v) {
        if (queue_.size() >= capacity) {
            ++dropped;
            return;
        }
        delivered.push_back(stamp);
        queue_.push_back({stamp, v});
    }

    int Number() const noexcept override { return number_; }
    bool Settled() const noexcept override { return settled; }
    bool Failed() const noexcept override { return failed; }
    std::string Error() const override { return error; }
    bool ThreadAlive() const noexcept override { return alive; }
    size_t QueuedCount() const override {
        const_cast<FakeInput*>(this)->Produce();
        return queue_.size();
    }
    const float* Take(int timeoutMs, double& time, int& count) override {
        EXPECT_FALSE(holding_) << "a second block taken before the first was released";
        Produce();
        if (queue_.empty() && onEmptyTake) onEmptyTake();
        if (queue_.empty()) {
            const double deadline = world_.now + timeoutMs / 1000.0;
            double t = nextAt_;
            while (t <= deadline && !(alive && delivering(t))) t += blockSec_;
            world_.AdvanceTo(t <= deadline ? t : deadline);
            Produce();
            if (queue_.empty()) return nullptr;
        }
        // The samples are made as the block is taken, into the one buffer the writer may hold:
        // a queue seconds long costs no allocation per block.
        time = queue_.front().first;
        held_.assign(2 * static_cast<size_t>(frames_), queue_.front().second);
        queue_.pop_front();
        holding_ = true;
        ++taken;
        count = static_cast<int>(held_.size());
        return held_.data();
    }
    void ReleaseTaken() noexcept override { holding_ = false; }
    void ClearRunning() noexcept override {}
    bool WaitEnded(int) override { return true; }
    void Drain() noexcept override { queue_.clear(); }

private:
    void Produce() {
        for (; nextAt_ <= world_.now; nextAt_ += blockSec_)
            if (alive && delivering(nextAt_)) Inject(nextAt_, value(nextAt_));
    }

    FakeWorld& world_;
    const int number_;
    const int frames_;
    const double blockSec_;
    double nextAt_;
    bool holding_ = false;
    std::deque<std::pair<double, float>> queue_;  // stamp and value of each queued block
    std::vector<float> held_;
};

}  // namespace twr::testing
