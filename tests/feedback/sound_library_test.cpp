#include "feedback/sound_library.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <thread>

#include "../helpers/earcon_digest.h"

namespace twr {
namespace {

using Samples = SoundLibrary::Samples;

int Peak(const Samples& s) {
    int peak = 0;
    for (std::int16_t v : s) peak = std::max(peak, std::abs(static_cast<int>(v)));
    return peak;
}

// Every cue in display order: sample count, first sample, peak magnitude and the digest of all
// its samples. The counts follow from the recipes; the peaks show the level rules (a canvas cue
// whose loudest sample lies inside its fades stays below 26868, the truncation of 0.82 of full
// scale). The digests were reproduced by a separate evaluation of the recipes written apart from
// this code, so a misread constant or a reordered expression shows up here, not only against the
// four reference recordings of the self-test.
struct CueRow {
    const char* name;
    size_t length;
    int first;
    int peak;
    bool canvas;
    std::uint64_t digest;
};

const CueRow kCues[] = {
    {"None", 0, 0, 0, false, 0xcbf29ce484222325ull},
    {"Rising Sweep", 8820, 0, 32766, false, 0x02450483e9c5400full},
    {"Falling Sweep", 8820, 0, 32766, false, 0xa29034d0c2d5fdc1ull},
    {"Low Double Beep", 8820, 0, 32766, false, 0xc9d644829db12e35ull},
    {"High Double Beep", 8820, 0, 32766, false, 0x5763fa5109e69795ull},
    {"Two Tone Up", 9480, 0, 27851, false, 0x758b82c57b9c610eull},
    {"Two Tone Down", 9480, 0, 27851, false, 0xc5ccd70519d8a2b6ull},
    {"Soft Chime", 16758, 0, 26853, false, 0x9459d5c5053ad667ull},
    {"Short Blip", 2646, 0, 26213, false, 0x2728fbe1ef038ecfull},
    {"Triple Blip", 9038, 0, 26212, false, 0x43da00029cf68178ull},
    {"Low Thud", 7497, 0, 28738, false, 0x20e8ffa3c2ca848aull},
    {"Alert Warble", 15876, 0, 26205, false, 0x115b27bdc0402180ull},
    {"Major Triad Up", 18522, 0, 26868, true, 0x2db8c271ab4caafdull},
    {"Major Triad Down", 18522, 0, 26868, true, 0xa0bbdb9cf205a3b9ull},
    {"Minor Triad Up", 18522, 0, 26868, true, 0xae0b3c7b3aaa2f4eull},
    {"Minor Triad Down", 18522, 0, 26868, true, 0xb55d4c9b6b8761b8ull},
    {"Perfect Fifth", 17199, 0, 26868, true, 0x5555003a729bcca2ull},
    {"Octave Leap", 16317, 0, 26868, true, 0xf209ed515d961f2eull},
    {"Fanfare", 20727, 0, 26868, true, 0x91a355bbb449c0baull},
    {"Little Fanfare", 19183, 0, 26868, true, 0xc83cda9a0085f44aull},
    {"Pentatonic Run Up", 21609, 0, 26868, true, 0x34f0a7d3f32d5e81ull},
    {"Pentatonic Run Down", 21609, 0, 26868, true, 0x1613d3995e6f264aull},
    {"Question", 17199, 0, 26868, true, 0x5564296ab2afecfeull},
    {"Answer", 17199, 0, 26868, true, 0xfd0e7ed3f746db34ull},
    {"Music Box", 30869, 0, 26868, true, 0x06e4e23474b26311ull},
    {"Lullaby", 41895, 0, 26868, true, 0xd352cf6ed15bdaebull},
    {"Waltz", 20506, 0, 26868, true, 0x84e65a54324e90afull},
    {"Skip Step", 22932, 0, 26868, true, 0xce46b1a8c8adf9d8ull},
    {"Cascade", 25798, 0, 26868, true, 0x86e3d27644dd5861ull},
    {"Staircase", 18301, 0, 26868, true, 0x2dc2e41103796904ull},
    {"Gentle Ping", 18522, 0, 26662, true, 0x8c39d51ba9552337ull},
    {"Bright Ping", 14994, 0, 26616, true, 0xe811012e1b8605f8ull},
    {"Soft Pop", 3087, 0, 26572, true, 0xfc475ab1e49b7fb4ull},
    {"Bubble", 6615, 0, 26868, true, 0xcfa3a2611317fe83ull},
    {"Marimba", 13230, 0, 26467, true, 0x09faecc7b123339eull},
    {"Wood Block", 5292, 0, 26868, true, 0xbdf2fd893b7bca3bull},
    {"Glass Tap", 11466, 0, 25740, true, 0xcf985e68da0f13a0ull},
    {"Crystal", 22932, 0, 26868, true, 0x7bc9f14fbb4c34ffull},
    {"Bell Ding", 22050, 0, 26868, true, 0x3e72a3a757ff0ec9ull},
    {"Doorbell", 36162, 0, 26868, true, 0x5785878a34baa14aull},
    {"Elevator Chime", 32634, 0, 26868, true, 0x32a08d08a4e116f2ull},
    {"Submarine Ping", 30869, 0, 26804, true, 0xfc383d58c3b74d1dull},
    {"Radar Blip", 1984, 0, 26213, false, 0xcaeca76567b4277bull},
    {"Harp Pluck", 16758, 0, 26868, true, 0x8b766b7a7031aedcull},
    {"Kalimba", 14994, 0, 26798, true, 0x9c78da1a6d53cafdull},
    {"Celesta", 20286, 0, 26868, true, 0x59165a69f39fd7f8ull},
    {"Gentle Alert", 17640, 0, 26727, true, 0xf1d17b6c73a0a267ull},
    {"Urgent Alert", 19183, 0, 26868, true, 0x841ffe18aa4c5d8eull},
    {"Siren Sweep", 22932, 0, 26868, true, 0x5af170fb66cb980dull},
    {"Warning Trill", 15872, 0, 26213, false, 0x7d397fac8b965485ull},
    {"Error Low", 16758, 0, 26868, true, 0x2797dfe6b62f5656ull},
    {"Error Double", 21168, 0, 26868, true, 0x51eaff607152df25ull},
    {"Attention Rise", 14553, 0, 26868, true, 0xddc5127033d98e6aull},
    {"Attention Fall", 14553, 0, 26868, true, 0xdc571f59c636aad4ull},
    {"Klaxon", 29106, 0, 26868, true, 0xa63f910552626c97ull},
    {"Buzz", 9702, 0, 26868, true, 0xaeb3c32220fcc1c7ull},
    {"Tick", 970, 0, 25595, true, 0x2c6305cab9ceb2d3ull},
    {"Tock", 1234, 0, 25595, true, 0xb4be989b8ef1729cull},
    {"Soft Click", 705, 0, 25071, true, 0xa10d9d8c592e767full},
    {"Whoosh Up", 14112, 0, 26868, true, 0x52b62aa058dad90full},
    {"Whoosh Down", 14112, 0, 26868, true, 0x927f8b68bdab5e3cull},
    {"Air Puff", 6174, 0, 26868, true, 0x31a16d46491c55b9ull},
    {"Heartbeat", 24696, 0, 24374, true, 0xeb67bfabe6c5f707ull},
    {"Pulse", 15434, 0, 26868, true, 0xd36b2fec1e93f10eull},
    {"Drip", 8820, 0, 26868, true, 0x524b2979223bde40ull},
    {"Ripple", 21168, 0, 26868, true, 0xcc0569ba702adc2dull},
};

TEST(SoundLibraryCatalogue, EveryCueInOrderWithItsLengthFirstSampleAndPeak) {
    const auto& names = SoundLibrary::Names();
    ASSERT_EQ(names.size(), std::size(kCues));
    std::set<std::string> distinct(names.begin(), names.end());
    EXPECT_EQ(distinct.size(), names.size());

    std::set<Samples> sounds;
    for (size_t i = 0; i < names.size(); ++i) {
        const CueRow& row = kCues[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(names[i], row.name);
        const Samples& s = SoundLibrary::Get(names[i]);
        ASSERT_EQ(s.size(), row.length);
        if (s.empty()) continue;
        EXPECT_LE(s.size(), 44100u);
        EXPECT_EQ(s.front(), row.first);
        EXPECT_EQ(Peak(s), row.peak);
        EXPECT_EQ(earcon_digest::Fnv1a64(s), row.digest);
        if (row.canvas) EXPECT_LE(Peak(s), 26868);
        sounds.insert(s);
    }
    EXPECT_EQ(sounds.size(), 65u) << "two cues render to the same samples";
}

TEST(SoundLibraryCatalogue, LookupsIgnoreLetterCaseAndShareOneArray) {
    EXPECT_TRUE(SoundLibrary::IsKnown("none"));
    EXPECT_TRUE(SoundLibrary::IsKnown("WHOOSH down"));
    EXPECT_FALSE(SoundLibrary::IsKnown("Whoosh"));
    EXPECT_FALSE(SoundLibrary::IsKnown(""));

    for (const char* silent : {"None", "NONE", "nOnE", ""}) {
        EXPECT_EQ(&SoundLibrary::Get(silent), &SoundLibrary::Empty()) << silent;
        EXPECT_FALSE(SoundLibrary::IsCached(silent)) << silent;
    }

    // Either spelling may come first; both reach the same cached array.
    const Samples& lowerFirst = SoundLibrary::Get("falling sweep");
    EXPECT_EQ(&SoundLibrary::Get("Falling Sweep"), &lowerFirst);
    const Samples& properFirst = SoundLibrary::Get("Low Thud");
    EXPECT_EQ(&SoundLibrary::Get("LOW THUD"), &properFirst);
    EXPECT_EQ(lowerFirst, SoundLibrary::Sweep(200, 880, 440));

    const Samples& unknown = SoundLibrary::Get("Not A Cue");
    EXPECT_TRUE(unknown.empty());
    EXPECT_FALSE(SoundLibrary::IsKnown("Not A Cue"));
    EXPECT_TRUE(SoundLibrary::IsCached("not a cue"));
    EXPECT_EQ(&SoundLibrary::Get("NOT A CUE"), &unknown);
}

TEST(SoundLibraryCatalogue, ConcurrentFirstUseRendersOnce) {
    constexpr int kThreads = 6;
    const Samples* seen[kThreads] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&seen, i] { seen[i] = &SoundLibrary::Get(i % 2 ? "HEARTBEAT" : "heartbeat"); });
    for (auto& t : threads) t.join();
    for (const Samples* p : seen) EXPECT_EQ(p, seen[0]);
    EXPECT_EQ(seen[0]->size(), 24696u);
}

TEST(SoundLibraryCatalogue, PreloadCachesEverySoundedCue) {
    SoundLibrary::Preload();
    for (const std::string& name : SoundLibrary::Names())
        EXPECT_EQ(SoundLibrary::IsCached(name), name != "None") << name;
}

TEST(SoundLibrarySynthesis, MillisecondsTruncateToSamples) {
    const std::pair<int, int> cases[] = {{0, 0},    {3, 132},    {4, 176},      {5, 220},
                                         {80, 3528}, {200, 8820}, {700, 30869}, {1000, 44100}};
    for (auto [ms, samples] : cases) EXPECT_EQ(SoundLibrary::Canvas::Ms(ms), samples) << ms;
}

TEST(SoundLibrarySynthesis, FadeRampsAtBothEnds) {
    struct Case {
        int i, n, k;
        double expected;
    };
    const Case cases[] = {
        {0, 1000, 100, 0.0},     {50, 1000, 100, 0.5},  {100, 1000, 100, 1.0}, {900, 1000, 100, 1.0},
        {901, 1000, 100, 0.99},  {999, 1000, 100, 0.01}, {5, 1000, 0, 1.0},    {5, 0, 10, 1.0},
        {3, 10, -1, 1.0},
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(SoundLibrary::Fade(c.i, c.n, c.k), c.expected) << c.i;
    EXPECT_EQ(SoundLibrary::Fade(999, 1000, 100), 1.0 / 100);
}

TEST(SoundLibrarySynthesis, DirectPrimitiveShapes) {
    const Samples sweep = SoundLibrary::Sweep(200, 440, 880);
    ASSERT_EQ(sweep.size(), 8820u);
    EXPECT_EQ(sweep.front(), 0);
    EXPECT_LE(std::abs(sweep.back()), 100);

    const Samples beep = SoundLibrary::DoubleBeep(80, 40, 400);
    ASSERT_EQ(beep.size(), 8820u);
    for (size_t j = 3528; j < 5292; ++j) ASSERT_EQ(beep[j], 0) << j;  // the gap
    // The second tone restarts its phase: it repeats the first.
    EXPECT_TRUE(std::equal(beep.begin(), beep.begin() + 3528, beep.begin() + 5292));

    const Samples triple = SoundLibrary::TripleBlip(45, 35, 1200);
    ASSERT_EQ(triple.size(), 3u * 1984 + 2u * 1543);
    EXPECT_TRUE(std::equal(triple.begin(), triple.begin() + 1984, triple.begin() + 1984 + 1543));

    for (const Samples& empty : {SoundLibrary::Sweep(0, 440, 880), SoundLibrary::Blip(0, 1000),
                                 SoundLibrary::Warble(0, 60, 700, 900), SoundLibrary::Thud(-5, 150),
                                 SoundLibrary::DoubleBeep(0, 0, 400)})
        EXPECT_TRUE(empty.empty());
}

TEST(SoundLibrarySynthesis, CanvasBoundsAndVoices) {
    // Notes past one second are cut at 44100 samples, later notes not added.
    const Samples longMelody = SoundLibrary::Melody({440, 550, 660, 770, 880}, 300, 0, 0);
    EXPECT_EQ(longMelody.size(), 44100u);
    EXPECT_EQ(SoundLibrary::Melody({440, 550, 660, 770, 880}, 300, 0, 0),
              SoundLibrary::Melody({440, 550, 660, 770, 880, 990, 1100}, 300, 0, 0));

    // Layers wholly outside the canvas leave it silent, which builds to no sound.
    SoundLibrary::Canvas outside(100);
    outside.Partial(200, 50, 440, 1, 0);
    outside.Noise(-300, 100, 1, 0, 1);
    EXPECT_TRUE(outside.Build(4, 0.82).empty());
    EXPECT_TRUE(SoundLibrary::Melody({}, 100, 0, 0).empty());

    for (int voice : {-1, 5, 99}) {
        const auto v = SoundLibrary::VoiceSpec(voice);
        const auto four = SoundLibrary::VoiceSpec(4);
        EXPECT_EQ(v.ratios, four.ratios);
        EXPECT_EQ(v.amplitudes, four.amplitudes);
        EXPECT_EQ(v.tailMs, four.tailMs);
        EXPECT_EQ(SoundLibrary::Melody({330}, 70, 0, voice), SoundLibrary::Melody({330}, 70, 0, 4));
    }
}

TEST(SoundLibrarySynthesis, NoiseLayersContinueOneGeneratorSequence) {
    // With smoothing 1 and no decay the layer adds the white value itself between its ramps.
    SoundLibrary::Canvas c(300);
    c.Noise(0, 100, 1, 0, 1);  // 4410 samples, ramps of 220
    EXPECT_EQ(c.NoiseState(), 4264243937u);
    c.Noise(200, 10, 1, 0, 1);  // 441 samples from 8820, ramps of 73
    EXPECT_EQ(c.NoiseState(), 2995189604u);
    const auto& b = c.Buffer();
    EXPECT_EQ(b[220], -0x1.0018p-1);
    EXPECT_EQ(b[221], -0x1.0dp-6);
    EXPECT_EQ(b[2000], 0x1.59dp-3);
    EXPECT_EQ(b[4189], 0x1.9b9p-3);
    EXPECT_EQ(b[8820 + 100], 0x1.fcb8p-1);  // the 4511th value of the sequence
    EXPECT_EQ(b[4500], 0.0);

    // A fresh canvas starts the sequence again.
    SoundLibrary::Canvas fresh(300);
    fresh.Noise(0, 100, 1, 0, 1);
    EXPECT_EQ(fresh.Buffer()[220], b[220]);
}

}  // namespace
}  // namespace twr
