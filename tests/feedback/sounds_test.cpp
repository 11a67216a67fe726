#include "feedback/sounds.h"

#include <gtest/gtest.h>

#include "feedback/wave_out.h"

namespace twr {
namespace {

TEST(SoundsScaled, VolumeRules) {
    const std::vector<int16_t> cue = {-3, 3, 32767, -32768, 0, 1, -1};
    const struct { int volume; std::vector<int16_t> expected; } cases[] = {
        {0, {}}, {-5, {}}, {100, cue}, {1, {0, 0, 327, -327, 0, 0, 0}},
        {50, {-1, 1, 16383, -16384, 0, 0, 0}},  // truncation towards zero
        {250, cue},                             // above 100 plays at full level, never louder
    };
    for (const auto& c : cases) EXPECT_EQ(Sounds::Scaled(cue, c.volume), c.expected) << c.volume;
}

TEST(WaveOutLimit, BufferDurationPlusTwoSeconds) {
    const struct { std::size_t samples; int rate; int64_t expected; } cases[] = {
        {2 * 192000, 48000, 10000},  // stereo counts every channel's samples
        {44099, 44100, 2999},        // integer division rounds down
        {1000, 0, 2000},             // a rate the device would refuse anyway
    };
    for (const auto& c : cases) EXPECT_EQ(WaveOut::ReaperLimitMs(c.samples, c.rate), c.expected) << c.samples;
}

}  // namespace
}  // namespace twr
