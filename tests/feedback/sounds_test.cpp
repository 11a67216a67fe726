#include "feedback/sounds.h"

#include <gtest/gtest.h>

#include "feedback/sound_library.h"
#include "feedback/wave_out.h"

namespace twr {
namespace {

TEST(SoundsScaled, VolumeRules) {
    const std::vector<int16_t> cue = {-3, 3, 32767, -32768, 0, 1, -1};
    struct Case {
        int volume;
        std::vector<int16_t> expected;
    };
    const Case cases[] = {
        {0, {}},
        {-5, {}},
        {50, {-1, 1, 16383, -16384, 0, 0, 0}},  // truncation towards zero
        {100, cue},
        {250, cue},  // above 100 plays at full level, never louder
        {1, {0, 0, 327, -327, 0, 0, 0}},
    };
    for (const Case& c : cases) EXPECT_EQ(Sounds::Scaled(cue, c.volume), c.expected) << c.volume;
}

TEST(SoundsScaled, CachedCueIsNeverModified) {
    const SoundLibrary::Samples& cue = SoundLibrary::Get("Rising Sweep");
    ASSERT_FALSE(cue.empty());
    const SoundLibrary::Samples before = cue;
    auto copy = Sounds::Scaled(cue, 100);
    EXPECT_EQ(copy, before);
    EXPECT_NE(copy.data(), cue.data());
    (void)Sounds::Scaled(cue, 30);
    EXPECT_EQ(cue, before);
    // "None" has no samples, so nothing would be played at any volume.
    EXPECT_TRUE(Sounds::Scaled(SoundLibrary::Get("None"), 100).empty());
}

TEST(WaveOutLimit, BufferDurationPlusTwoSeconds) {
    struct Case {
        std::size_t samples;
        int rate;
        int64_t expected;
    };
    const Case cases[] = {
        {8820, 44100, 2200},         // a 200 ms mono cue
        {2 * 192000, 48000, 10000},  // stereo counts every channel's samples
        {0, 44100, 2000},
        {44099, 44100, 2999},        // integer division rounds down
        {1000, 0, 2000},             // a rate the device would refuse anyway
    };
    for (const Case& c : cases) EXPECT_EQ(WaveOut::ReaperLimitMs(c.samples, c.rate), c.expected) << c.samples;
}

}  // namespace
}  // namespace twr
