#pragma once
// The named earcons: their synthesis from a few parameters and the process-wide cache of
// rendered cues. No sound files are carried; every cue is computed on first use.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace twr {

class SoundLibrary {
public:
    // 16-bit mono samples at kSampleRate, full scale 32767; empty means no sound.
    using Samples = std::vector<std::int16_t>;
    static constexpr int kSampleRate = 44100;
    static constexpr double kTwoPi = 6.283185307179586;

    // The catalogue in display order; index 0 is "None".
    [[nodiscard]] static const std::vector<std::string>& Names();
    // True when the name is in the catalogue, ignoring ASCII letter case ("none" included).
    [[nodiscard]] static bool IsKnown(std::string_view name);
    // The cached samples of the named cue, rendered on first use. The reference stays valid for
    // the life of the process and is shared: callers read it, and scale a copy. Unknown names,
    // "None" and the empty name give the one shared empty array. Safe from any thread.
    [[nodiscard]] static const Samples& Get(std::string_view name);
    // Renders and caches every cue of the catalogue.
    static void Preload();
    // Renders the named cue afresh, bypassing the cache; unknown names and "None" give no samples.
    [[nodiscard]] static Samples Render(std::string_view name);
    // Renders every cue afresh, in display order, computing each series of values the cues
    // have in common once: much quicker than rendering them one by one.
    [[nodiscard]] static std::vector<Samples> RenderAll();
    // Whether the cache holds an entry for the name (ignoring case); for diagnostics and tests.
    [[nodiscard]] static bool IsCached(std::string_view name);
    // The shared empty array.
    [[nodiscard]] static const Samples& Empty() noexcept;

    // Edge fade factor of sample i in n samples with k-sample ramps at both ends.
    [[nodiscard]] static double Fade(int i, int n, int k) noexcept;

    // Direct primitives: 16-bit samples at a fixed level, no normalisation.
    [[nodiscard]] static Samples Sweep(int ms, double f0, double f1);
    [[nodiscard]] static Samples DoubleBeep(int toneMs, int gapMs, double f);
    [[nodiscard]] static Samples TwoTone(int toneMs, int gapMs, double fa, double fb);
    [[nodiscard]] static Samples Chime(int ms, double f1, double f2);
    [[nodiscard]] static Samples Blip(int ms, double f);
    [[nodiscard]] static Samples TripleBlip(int blipMs, int gapMs, double f);
    [[nodiscard]] static Samples Thud(int ms, double f);
    [[nodiscard]] static Samples Warble(int cycles, int toneMs, double fa, double fb);

    // Canvas primitives: mixed in double precision, normalised to 0.82 of full scale.
    [[nodiscard]] static Samples Melody(const std::vector<double>& freqs, int noteMs, int gapMs, int voice);
    [[nodiscard]] static Samples Bells(const std::vector<double>& freqs, int totalMs, double decay);
    [[nodiscard]] static Samples Pop(int ms, double f);
    [[nodiscard]] static Samples Bubble();
    [[nodiscard]] static Samples WoodBlock();
    [[nodiscard]] static Samples Siren(int cycles, int halfMs, double lo, double hi);
    [[nodiscard]] static Samples Buzz(int ms, double f);
    [[nodiscard]] static Samples Whoosh(bool up);
    [[nodiscard]] static Samples AirPuff();
    [[nodiscard]] static Samples Heartbeat();
    [[nodiscard]] static Samples Drip();

    struct Voice {
        std::vector<double> ratios;
        std::vector<double> amplitudes;
        double decay;
        int tailMs;
    };
    // Voices 0 to 3; any other number is voice 4.
    [[nodiscard]] static Voice VoiceSpec(int voice);

    // The floating-point mixing buffer behind the canvas primitives. Only the primitives above
    // use it; it is public so the tests can look at a mix before it is normalised.
    class Canvas {
    public:
        explicit Canvas(int lengthMs);
        // Milliseconds to samples, truncated: 700 ms is 30869 samples, not 30870.
        [[nodiscard]] static int Ms(int ms) noexcept;

        void Partial(int startMs, int durMs, double f, double amp, double decay);
        void Sweep(int startMs, int durMs, double f0, double f1, double amp, double decay);
        void Noise(int startMs, int durMs, double amp, double decay, double smooth);
        // Normalises the mix to level and converts it; a silent mix gives the empty array.
        [[nodiscard]] Samples Build(int fadeMs, double level) const;

        [[nodiscard]] const std::vector<double>& Buffer() const noexcept { return buffer_; }
        [[nodiscard]] std::uint32_t NoiseState() const noexcept { return noiseState_; }

        // Sin(w * t) (sine) or Exp(-t * decay) for t = i / kSampleRate, by the scale w or decay.
        struct Series {
            bool sine;
            double scale;
            std::vector<double> values;
        };

    private:
        void Add(long long index, double value) noexcept;
        // The first n values of a series, each computed once per canvas, or once per catalogue
        // while RenderAll runs: the layers of a cue share their decay and the cues their notes.
        const double* Values(bool sine, double scale, int n);

        std::vector<Series> series_;
        std::vector<double> buffer_;
        std::uint32_t noiseState_ = 0x13579BDFu;
    };
};

}  // namespace twr
