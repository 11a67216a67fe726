#include "feedback/sound_library.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <thread>

#include "../helpers/earcon_digest.h"
#include "feedback/stable_math.h"

namespace twr {
namespace {

using Samples = SoundLibrary::Samples;

int Peak(const Samples& s) {
    int peak = 0;
    for (std::int16_t v : s) peak = std::max(peak, std::abs(static_cast<int>(v)));
    return peak;
}

// Every cue in display order with its sample count, peak and digest; every sounded cue starts from
// silence. The digests come from a separate evaluation of the recipes written apart from this code,
// so a misread constant or a reordered expression shows up here, not only in the self-test. Canvas
// cues peak at 26868 (0.82 of full scale, truncated) unless their loudest sample lies in a fade.
struct CueRow {
    const char* name;
    size_t length;
    int peak;
    std::uint64_t digest;
};

const CueRow kCues[] = {
    {"None", 0, 0, 0xcbf29ce484222325},                      {"Rising Sweep", 8820, 32766, 0x02450483e9c5400f},
    {"Falling Sweep", 8820, 32766, 0xa29034d0c2d5fdc1},      {"Low Double Beep", 8820, 32766, 0xc9d644829db12e35},
    {"High Double Beep", 8820, 32766, 0x5763fa5109e69795},   {"Two Tone Up", 9480, 27851, 0x758b82c57b9c610e},
    {"Two Tone Down", 9480, 27851, 0xc5ccd70519d8a2b6},      {"Soft Chime", 16758, 26853, 0x9459d5c5053ad667},
    {"Short Blip", 2646, 26213, 0x2728fbe1ef038ecf},         {"Triple Blip", 9038, 26212, 0x43da00029cf68178},
    {"Low Thud", 7497, 28738, 0x20e8ffa3c2ca848a},           {"Alert Warble", 15876, 26205, 0x115b27bdc0402180},
    {"Major Triad Up", 18522, 26868, 0x2db8c271ab4caafd},    {"Major Triad Down", 18522, 26868, 0xa0bbdb9cf205a3b9},
    {"Minor Triad Up", 18522, 26868, 0xae0b3c7b3aaa2f4e},    {"Minor Triad Down", 18522, 26868, 0xb55d4c9b6b8761b8},
    {"Perfect Fifth", 17199, 26868, 0x5555003a729bcca2},     {"Octave Leap", 16317, 26868, 0xf209ed515d961f2e},
    {"Fanfare", 20727, 26868, 0x91a355bbb449c0ba},           {"Little Fanfare", 19183, 26868, 0xc83cda9a0085f44a},
    {"Pentatonic Run Up", 21609, 26868, 0x34f0a7d3f32d5e81}, {"Pentatonic Run Down", 21609, 26868, 0x1613d3995e6f264a},
    {"Question", 17199, 26868, 0x5564296ab2afecfe},          {"Answer", 17199, 26868, 0xfd0e7ed3f746db34},
    {"Music Box", 30869, 26868, 0x06e4e23474b26311},         {"Lullaby", 41895, 26868, 0xd352cf6ed15bdaeb},
    {"Waltz", 20506, 26868, 0x84e65a54324e90af},             {"Skip Step", 22932, 26868, 0xce46b1a8c8adf9d8},
    {"Cascade", 25798, 26868, 0x86e3d27644dd5861},           {"Staircase", 18301, 26868, 0x2dc2e41103796904},
    {"Gentle Ping", 18522, 26662, 0x8c39d51ba9552337},       {"Bright Ping", 14994, 26616, 0xe811012e1b8605f8},
    {"Soft Pop", 3087, 26572, 0xfc475ab1e49b7fb4},           {"Bubble", 6615, 26868, 0xcfa3a2611317fe83},
    {"Marimba", 13230, 26467, 0x09faecc7b123339e},           {"Wood Block", 5292, 26868, 0xbdf2fd893b7bca3b},
    {"Glass Tap", 11466, 25740, 0xcf985e68da0f13a0},         {"Crystal", 22932, 26868, 0x7bc9f14fbb4c34ff},
    {"Bell Ding", 22050, 26868, 0x3e72a3a757ff0ec9},         {"Doorbell", 36162, 26868, 0x5785878a34baa14a},
    {"Elevator Chime", 32634, 26868, 0x32a08d08a4e116f2},    {"Submarine Ping", 30869, 26804, 0xfc383d58c3b74d1d},
    {"Radar Blip", 1984, 26213, 0xcaeca76567b4277b},         {"Harp Pluck", 16758, 26868, 0x8b766b7a7031aedc},
    {"Kalimba", 14994, 26798, 0x9c78da1a6d53cafd},           {"Celesta", 20286, 26868, 0x59165a69f39fd7f8},
    {"Gentle Alert", 17640, 26727, 0xf1d17b6c73a0a267},      {"Urgent Alert", 19183, 26868, 0x841ffe18aa4c5d8e},
    {"Siren Sweep", 22932, 26868, 0x5af170fb66cb980d},       {"Warning Trill", 15872, 26213, 0x7d397fac8b965485},
    {"Error Low", 16758, 26868, 0x2797dfe6b62f5656},         {"Error Double", 21168, 26868, 0x51eaff607152df25},
    {"Attention Rise", 14553, 26868, 0xddc5127033d98e6a},    {"Attention Fall", 14553, 26868, 0xdc571f59c636aad4},
    {"Klaxon", 29106, 26868, 0xa63f910552626c97},            {"Buzz", 9702, 26868, 0xaeb3c32220fcc1c7},
    {"Tick", 970, 25595, 0x2c6305cab9ceb2d3},                {"Tock", 1234, 25595, 0xb4be989b8ef1729c},
    {"Soft Click", 705, 25071, 0xa10d9d8c592e767f},          {"Whoosh Up", 14112, 26868, 0x52b62aa058dad90f},
    {"Whoosh Down", 14112, 26868, 0x927f8b68bdab5e3c},       {"Air Puff", 6174, 26868, 0x31a16d46491c55b9},
    {"Heartbeat", 24696, 24374, 0xeb67bfabe6c5f707},         {"Pulse", 15434, 26868, 0xd36b2fec1e93f10e},
    {"Drip", 8820, 26868, 0x524b2979223bde40},               {"Ripple", 21168, 26868, 0xcc0569ba702adc2d},
};

// Cue by cue (each canvas computing its own series) and all together (the cues sharing theirs),
// the samples are those of the digests, which were taken before the fast evaluation of the
// mathematics existed: the places where it handed over to the slow one came out right too.
TEST(SoundLibraryCatalogue, EveryCueInOrderWithItsLengthFirstSamplePeakAndDigest) {
    const auto& names = SoundLibrary::Names();
    ASSERT_EQ(names.size(), std::size(kCues));
    const std::uint64_t slowBefore = StableMath::SlowEvaluations();
    const std::vector<Samples> together = SoundLibrary::RenderAll();
    const std::uint64_t slow = StableMath::SlowEvaluations() - slowBefore;
    ASSERT_EQ(together.size(), names.size());

    std::set<Samples> sounds;
    for (size_t i = 0; i < names.size(); ++i) {
        const CueRow& row = kCues[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(names[i], row.name);
        const Samples s = SoundLibrary::Render(names[i]);
        ASSERT_EQ(s.size(), row.length);
        EXPECT_EQ(together[i], s);
        if (s.empty()) continue;
        EXPECT_EQ(s.front(), 0);
        EXPECT_EQ(Peak(s), row.peak);
        EXPECT_EQ(earcon_digest::Fnv1a64(s), row.digest);
        sounds.insert(s);
    }
    EXPECT_EQ(sounds.size(), 65u) << "two cues render to the same samples";
    // About 1.5 million calls: the slow evaluation must have served some and only a few.
    EXPECT_GT(slow, 100u);
    EXPECT_LT(slow, 15000u);
    std::printf("slow evaluations over the catalogue: %llu\n", static_cast<unsigned long long>(slow));
}

TEST(SoundLibraryCatalogue, LookupsIgnoreLetterCaseAndShareOneArray) {
    for (auto [name, known] : {std::pair{"none", true}, {"WHOOSH down", true}, {"Whoosh", false}, {"", false}})
        EXPECT_EQ(SoundLibrary::IsKnown(name), known) << name;

    for (const char* silent : {"None", "NONE", "nOnE", ""}) {
        EXPECT_EQ(&SoundLibrary::Get(silent), &SoundLibrary::Empty()) << silent;
        EXPECT_FALSE(SoundLibrary::IsCached(silent)) << silent;
    }

    const Samples& lowerFirst = SoundLibrary::Get("falling sweep");
    EXPECT_EQ(&SoundLibrary::Get("Falling Sweep"), &lowerFirst);

    const Samples& unknown = SoundLibrary::Get("Not A Cue");
    EXPECT_TRUE(unknown.empty());
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
}

TEST(SoundLibraryCatalogue, PreloadCachesEverySoundedCue) {
    SoundLibrary::Preload();
    for (const std::string& name : SoundLibrary::Names())
        EXPECT_EQ(SoundLibrary::IsCached(name), name != "None") << name;
}

TEST(SoundLibrarySynthesis, FadeRampsAtBothEnds) {
    const struct { int i, n, k; double expected; } cases[] = {
        {0, 1000, 100, 0.0},    {50, 1000, 100, 0.5},   {100, 1000, 100, 1.0}, {900, 1000, 100, 1.0},
        {901, 1000, 100, 0.99}, {999, 1000, 100, 0.01}, {5, 1000, 0, 1.0},     {5, 0, 10, 1.0},
        {3, 10, -1, 1.0},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(SoundLibrary::Fade(c.i, c.n, c.k), c.expected) << c.i;
}

TEST(SoundLibrarySynthesis, BoundsAndVoices) {
    for (const Samples& empty : {SoundLibrary::Sweep(0, 440, 880), SoundLibrary::Blip(0, 1000),
                                 SoundLibrary::Warble(0, 60, 700, 900), SoundLibrary::Thud(-5, 150),
                                 SoundLibrary::DoubleBeep(0, 0, 400)})
        EXPECT_TRUE(empty.empty());

    // Notes past one second are cut at 44100 samples, later notes not added.
    const Samples longMelody = SoundLibrary::Melody({440, 550, 660, 770, 880}, 300, 0, 0);
    EXPECT_EQ(longMelody.size(), 44100u);
    EXPECT_EQ(longMelody, SoundLibrary::Melody({440, 550, 660, 770, 880, 990, 1100}, 300, 0, 0));

    // Layers wholly outside the canvas leave it silent, which builds to no sound.
    SoundLibrary::Canvas outside(100);
    outside.Partial(200, 50, 440, 1, 0);
    outside.Noise(-300, 100, 1, 0, 1);
    EXPECT_TRUE(outside.Build(4, 0.82).empty());
    EXPECT_TRUE(SoundLibrary::Melody({}, 100, 0, 0).empty());

    // A voice out of range falls back to voice 4.
    for (int voice : {-1, 5, 99})
        EXPECT_EQ(SoundLibrary::Melody({330}, 70, 0, voice), SoundLibrary::Melody({330}, 70, 0, 4)) << voice;
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
