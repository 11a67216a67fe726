#include "feedback/sound_library.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>

#include "feedback/stable_math.h"

// The arithmetic below is written in the exact order the reference recordings were made with:
// products left to right, every millisecond argument converted on its own, doubles throughout.
// Reordering an expression changes the last bit of a sample often enough to fail a comparison.

namespace twr {

namespace {

using Samples = SoundLibrary::Samples;
constexpr double kRate = SoundLibrary::kSampleRate;

using StableMath::Exp;
using StableMath::Sin;

// Milliseconds to a sample count that can size an array: negative lengths are none.
int Len(int ms) noexcept { return std::max(0, SoundLibrary::Canvas::Ms(ms)); }

// Truncation towards zero, as the reference recordings were made. Every caller keeps the value
// within full scale; the guard only keeps a non-finite value from being undefined.
std::int16_t ToSample(double v) noexcept {
    if (!(v > -32768.0)) return -32768;
    if (!(v < 32768.0)) return 32767;
    return static_cast<std::int16_t>(static_cast<int>(v));
}

// Fills n samples from start with one tone of frequency f; level maps (sample index in the
// tone, t, w) to the unconverted value.
template <typename Level>
void Tone(Samples& out, std::size_t start, int n, double f, Level level) {
    const double w = f * SoundLibrary::kTwoPi;
    for (int j = 0; j < n; ++j) {
        const double t = j / kRate;
        out[start + static_cast<std::size_t>(j)] = ToSample(level(j, t, w));
    }
}

char Fold(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

struct LessIgnoreCase {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
            return static_cast<unsigned char>(Fold(x)) < static_cast<unsigned char>(Fold(y));
        });
    }
};

// The envelope of a canvas layer at sample i of n: the decay, then linear ramps of r samples at
// both ends (both apply where they overlap).
double Envelope(double e, int i, int n, int r) noexcept {
    if (i < r) e = (static_cast<double>(i) / r) * e;
    if (n - i < r) e = (static_cast<double>(n - i) / r) * e;
    return e;
}

int Ramp(int n, int divisor, int capMs) noexcept {
    return std::min(SoundLibrary::Canvas::Ms(capMs), std::max(1, n / divisor));
}

Samples OneOff(int lengthMs, std::initializer_list<std::array<double, 5>> partials);

struct Row {
    const char* name;
    Samples (*render)();
};

using S = SoundLibrary;

// Display order is the order of the sound choosers, the --sounds report and the test suites.
const Row kCatalogue[] = {
    {"None", [] { return Samples{}; }},
    {"Rising Sweep", [] { return S::Sweep(200, 440, 880); }},
    {"Falling Sweep", [] { return S::Sweep(200, 880, 440); }},
    {"Low Double Beep", [] { return S::DoubleBeep(80, 40, 400); }},
    {"High Double Beep", [] { return S::DoubleBeep(80, 40, 800); }},
    {"Two Tone Up", [] { return S::TwoTone(95, 25, 523.25, 783.99); }},
    {"Two Tone Down", [] { return S::TwoTone(95, 25, 783.99, 523.25); }},
    {"Soft Chime", [] { return S::Chime(380, 880, 1320); }},
    {"Short Blip", [] { return S::Blip(60, 1000); }},
    {"Triple Blip", [] { return S::TripleBlip(45, 35, 1200); }},
    {"Low Thud", [] { return S::Thud(170, 150); }},
    {"Alert Warble", [] { return S::Warble(3, 60, 700, 900); }},
    {"Major Triad Up", [] { return S::Melody({523.25, 659.25, 783.99}, 110, 0, 0); }},
    {"Major Triad Down", [] { return S::Melody({783.99, 659.25, 523.25}, 110, 0, 0); }},
    {"Minor Triad Up", [] { return S::Melody({523.25, 622.25, 783.99}, 110, 0, 0); }},
    {"Minor Triad Down", [] { return S::Melody({783.99, 622.25, 523.25}, 110, 0, 0); }},
    {"Perfect Fifth", [] { return S::Melody({523.25, 783.99}, 140, 10, 0); }},
    {"Octave Leap", [] { return S::Melody({523.25, 1046.5}, 130, 10, 0); }},
    {"Fanfare", [] { return S::Melody({523.25, 659.25, 783.99, 1046.5}, 95, 0, 1); }},
    {"Little Fanfare", [] { return S::Melody({783.99, 783.99, 1046.5}, 90, 25, 1); }},
    {"Pentatonic Run Up", [] { return S::Melody({523.25, 587.33, 659.25, 783.99, 880}, 70, 0, 2); }},
    {"Pentatonic Run Down", [] { return S::Melody({880, 783.99, 659.25, 587.33, 523.25}, 70, 0, 2); }},
    {"Question", [] { return S::Melody({659.25, 880}, 130, 20, 0); }},
    {"Answer", [] { return S::Melody({880, 659.25}, 130, 20, 0); }},
    {"Music Box", [] { return S::Melody({1046.5, 1318.51, 783.99, 1046.5}, 95, 15, 3); }},
    {"Lullaby", [] { return S::Melody({783.99, 659.25, 523.25}, 200, 30, 3); }},
    {"Waltz", [] { return S::Melody({523.25, 783.99, 783.99}, 105, 20, 0); }},
    {"Skip Step", [] { return S::Melody({523.25, 659.25, 587.33, 783.99}, 85, 10, 2); }},
    {"Cascade", [] { return S::Melody({1046.5, 880, 783.99, 659.25, 523.25}, 65, 0, 3); }},
    {"Staircase", [] { return S::Melody({523.25, 587.33, 659.25, 698.46, 783.99}, 65, 0, 0); }},
    {"Gentle Ping", [] { return OneOff(420, {{0, 420, 880, 0.55, 7}}); }},
    {"Bright Ping", [] { return OneOff(340, {{0, 340, 1318.51, 0.5, 9}}); }},
    {"Soft Pop", [] { return S::Pop(70, 420); }},
    {"Bubble", [] { return S::Bubble(); }},
    {"Marimba", [] { return OneOff(300, {{0, 300, 523.25, 0.35, 14}, {0, 300, 1569.75, 0.105, 22.400000000000002}}); }},
    {"Wood Block", [] { return S::WoodBlock(); }},
    {"Glass Tap", [] { return OneOff(260, {{0, 260, 1174.66, 0.3, 16}, {0, 260, 4933.572, 0.09, 25.6}}); }},
    {"Crystal", [] { return S::Bells({1046.5, 1318.51, 1567.98}, 520, 6); }},
    {"Bell Ding", [] { return S::Bells({880, 1760}, 500, 5); }},
    {"Doorbell", [] { return S::Melody({659.25, 523.25}, 260, 20, 3); }},
    {"Elevator Chime", [] { return S::Melody({783.99, 1046.5}, 220, 20, 3); }},
    {"Submarine Ping", [] { return OneOff(700, {{0, 700, 698.46, 0.45, 4}, {0, 700, 1746.15, 0.135, 6.4}}); }},
    {"Radar Blip", [] { return S::Blip(45, 1600); }},
    {"Harp Pluck", [] { return OneOff(380, {{0, 380, 783.99, 0.4, 10}, {0, 380, 1724.7780000000002, 0.12, 16}}); }},
    {"Kalimba", [] { return OneOff(340, {{0, 340, 659.25, 0.4, 11}, {0, 340, 3296.25, 0.12, 17.6}}); }},
    {"Celesta", [] { return S::Bells({783.99, 1046.5, 1318.51}, 460, 7); }},
    {"Gentle Alert", [] { return S::Melody({880, 880}, 110, 45, 0); }},
    {"Urgent Alert", [] { return S::Melody({880, 880, 880}, 80, 35, 1); }},
    {"Siren Sweep", [] { return S::Siren(2, 130, 500, 1100); }},
    {"Warning Trill", [] { return S::Warble(4, 45, 880, 1046.5); }},
    {"Error Low", [] { return OneOff(380, {{0, 380, 196, 0.7, 8}, {0, 380, 313.6, 0.21, 12.8}}); }},
    {"Error Double", [] { return S::Melody({196, 174.61}, 170, 25, 4); }},
    {"Attention Rise", [] { return S::Melody({523.25, 659.25, 783.99, 1046.5}, 60, 0, 1); }},
    {"Attention Fall", [] { return S::Melody({1046.5, 783.99, 659.25, 523.25}, 60, 0, 1); }},
    {"Klaxon", [] { return S::Siren(3, 110, 320, 520); }},
    {"Buzz", [] { return S::Buzz(220, 160); }},
    {"Tick", [] { return S::Pop(22, 1800); }},
    {"Tock", [] { return S::Pop(28, 900); }},
    {"Soft Click", [] { return S::Pop(16, 1200); }},
    {"Whoosh Up", [] { return S::Whoosh(true); }},
    {"Whoosh Down", [] { return S::Whoosh(false); }},
    {"Air Puff", [] { return S::AirPuff(); }},
    {"Heartbeat", [] { return S::Heartbeat(); }},
    {"Pulse", [] { return S::Melody({330, 330}, 70, 60, 4); }},
    {"Drip", [] { return S::Drip(); }},
    {"Ripple", [] { return S::Melody({880, 1046.5, 1318.51, 1046.5}, 55, 0, 3); }},
};

// A canvas of partials only, each {start ms, duration ms, frequency, amplitude, decay}.
Samples OneOff(int lengthMs, std::initializer_list<std::array<double, 5>> partials) {
    SoundLibrary::Canvas c(lengthMs);
    for (const auto& p : partials)
        c.Partial(static_cast<int>(p[0]), static_cast<int>(p[1]), p[2], p[3], p[4]);
    return c.Build(4, 0.82);
}

// Set on a thread while RenderAll runs: the series every canvas there shares.
thread_local std::vector<SoundLibrary::Canvas::Series>* sharedSeries = nullptr;

const std::shared_ptr<const Samples>& EmptyPtr() {
    static const auto empty = std::make_shared<const Samples>();
    return empty;
}

struct Cache {
    std::mutex lock;
    std::map<std::string, std::shared_ptr<const Samples>, LessIgnoreCase> entries;
};

Cache& TheCache() {
    static Cache cache;
    return cache;
}

}  // namespace

// ---- catalogue and cache ----

const std::vector<std::string>& SoundLibrary::Names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const Row& row : kCatalogue) v.emplace_back(row.name);
        return v;
    }();
    return names;
}

bool SoundLibrary::IsKnown(std::string_view name) {
    for (const Row& row : kCatalogue)
        if (EqualsIgnoreCase(row.name, name)) return true;
    return false;
}

const SoundLibrary::Samples& SoundLibrary::Empty() noexcept { return *EmptyPtr(); }

const SoundLibrary::Samples& SoundLibrary::Get(std::string_view name) {
    if (name.empty() || EqualsIgnoreCase(name, "none")) return Empty();
    Cache& cache = TheCache();
    // Rendering runs under the lock so that two threads asking together compute a cue once.
    std::lock_guard<std::mutex> guard(cache.lock);
    if (auto it = cache.entries.find(name); it != cache.entries.end()) return *it->second;
    std::shared_ptr<const Samples> samples = EmptyPtr();
    if (Samples rendered = Render(name); !rendered.empty())
        samples = std::make_shared<const Samples>(std::move(rendered));
    // Unknown names are cached too, as the empty array, so asking again is a lookup.
    auto it = cache.entries.emplace(std::string(name), std::move(samples)).first;
    return *it->second;
}

void SoundLibrary::Preload() {
    std::vector<Samples> all = RenderAll();
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> guard(cache.lock);
    for (std::size_t i = 1; i < all.size(); ++i) {
        // A cue some caller already holds keeps its array.
        if (cache.entries.find(kCatalogue[i].name) != cache.entries.end()) continue;
        std::shared_ptr<const Samples> samples = EmptyPtr();
        if (!all[i].empty()) samples = std::make_shared<const Samples>(std::move(all[i]));
        cache.entries.emplace(kCatalogue[i].name, std::move(samples));
    }
}

std::vector<SoundLibrary::Samples> SoundLibrary::RenderAll() {
    std::vector<Canvas::Series> shared;
    sharedSeries = &shared;
    struct Restore {
        ~Restore() { sharedSeries = nullptr; }
    } restore;
    std::vector<Samples> all;
    all.reserve(std::size(kCatalogue));
    for (const Row& row : kCatalogue) all.push_back(row.render());
    return all;
}

SoundLibrary::Samples SoundLibrary::Render(std::string_view name) {
    for (const Row& row : kCatalogue)
        if (EqualsIgnoreCase(row.name, name)) return row.render();
    return {};
}

bool SoundLibrary::IsCached(std::string_view name) {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> guard(cache.lock);
    return cache.entries.find(name) != cache.entries.end();
}

// ---- direct primitives ----

double SoundLibrary::Fade(int i, int n, int k) noexcept {
    if (k <= 0 || n <= 0) return 1.0;
    if (i < k) return static_cast<double>(i) / k;
    if (i <= n - k) return 1.0;
    return static_cast<double>(n - i) / k;
}

SoundLibrary::Samples SoundLibrary::Sweep(int ms, double f0, double f1) {
    const int n = Len(ms);
    Samples out(static_cast<std::size_t>(n));
    double phase = 0.0;
    for (int j = 0; j < n; ++j) {
        phase += (static_cast<double>(j) / n * (f1 - f0) + f0) * kTwoPi / kRate;
        out[static_cast<std::size_t>(j)] = ToSample(Sin(phase) * Fade(j, n, 400) * 32767);
    }
    return out;
}

SoundLibrary::Samples SoundLibrary::DoubleBeep(int toneMs, int gapMs, double f) {
    const int n = Len(toneMs);
    const int g = Len(gapMs);
    Samples out(2 * static_cast<std::size_t>(n) + static_cast<std::size_t>(g));
    auto level = [n](int j, double t, double w) { return Sin(w * t) * Fade(j, n, 400) * 32767; };
    Tone(out, 0, n, f, level);
    Tone(out, static_cast<std::size_t>(n) + static_cast<std::size_t>(g), n, f, level);
    return out;
}

SoundLibrary::Samples SoundLibrary::TwoTone(int toneMs, int gapMs, double fa, double fb) {
    const int n = Len(toneMs);
    const int g = Len(gapMs);
    Samples out(2 * static_cast<std::size_t>(n) + static_cast<std::size_t>(g));
    auto level = [n](int j, double t, double w) { return Sin(w * t) * Fade(j, n, 500) * 0.85 * 32767; };
    Tone(out, 0, n, fa, level);
    Tone(out, static_cast<std::size_t>(n) + static_cast<std::size_t>(g), n, fb, level);
    return out;
}

SoundLibrary::Samples SoundLibrary::Chime(int ms, double f1, double f2) {
    const int n = Len(ms);
    Samples out(static_cast<std::size_t>(n));
    const double w1 = f1 * kTwoPi;
    const double w2 = f2 * kTwoPi;
    for (int j = 0; j < n; ++j) {
        const double t = j / kRate;
        double v = (Sin(w1 * t) * 0.65 + Sin(w2 * t) * 0.35) * Exp(-t * 9);
        if (j < 200) v = v * (j / 200.0);
        out[static_cast<std::size_t>(j)] = ToSample(v * 0.9 * 32767);
    }
    return out;
}

SoundLibrary::Samples SoundLibrary::Blip(int ms, double f) {
    const int n = Len(ms);
    Samples out(static_cast<std::size_t>(n));
    Tone(out, 0, n, f, [n](int j, double t, double w) { return Sin(w * t) * Fade(j, n, 300) * 0.8 * 32767; });
    return out;
}

SoundLibrary::Samples SoundLibrary::TripleBlip(int blipMs, int gapMs, double f) {
    const std::size_t n = static_cast<std::size_t>(Len(blipMs));
    const std::size_t g = static_cast<std::size_t>(Len(gapMs));
    Samples out(3 * n + 2 * g);
    const int tone = static_cast<int>(n);
    auto level = [tone](int j, double t, double w) { return Sin(w * t) * Fade(j, tone, 250) * 0.8 * 32767; };
    for (std::size_t b = 0; b < 3; ++b) Tone(out, b * (n + g), tone, f, level);
    return out;
}

SoundLibrary::Samples SoundLibrary::Thud(int ms, double f) {
    const int n = Len(ms);
    Samples out(static_cast<std::size_t>(n));
    Tone(out, 0, n, f, [](int j, double t, double w) {
        double v = Sin(w * t) * Exp(-t * 16);
        if (j < 150) v = v * (j / 150.0);
        return v * 0.95 * 32767;
    });
    return out;
}

SoundLibrary::Samples SoundLibrary::Warble(int cycles, int toneMs, double fa, double fb) {
    const std::size_t n = static_cast<std::size_t>(Len(toneMs));
    const std::size_t c = static_cast<std::size_t>(std::max(0, cycles));
    Samples out(2 * c * n);
    const int tone = static_cast<int>(n);
    auto level = [tone](int j, double t, double w) { return Sin(w * t) * Fade(j, tone, 200) * 0.8 * 32767; };
    for (std::size_t i = 0; i < c; ++i) {
        Tone(out, 2 * i * n, tone, fa, level);
        Tone(out, 2 * i * n + n, tone, fb, level);
    }
    return out;
}

// ---- canvas ----

int SoundLibrary::Canvas::Ms(int ms) noexcept {
    const double samples = ms / 1000.0 * kRate;
    // Beyond the range of int no cue could be held in memory anyway; saturate rather than
    // leave the conversion undefined.
    if (samples >= 2147483647.0) return INT_MAX;
    if (samples <= -2147483648.0) return INT_MIN;
    return static_cast<int>(samples);
}

SoundLibrary::Canvas::Canvas(int lengthMs) : buffer_(static_cast<std::size_t>(std::max(1, Ms(lengthMs))), 0.0) {}

void SoundLibrary::Canvas::Add(long long index, double value) noexcept {
    // Layers are clipped to the canvas; their phase and noise still advance over the clipped part.
    if (index < 0 || static_cast<std::size_t>(index) >= buffer_.size()) return;
    double& slot = buffer_[static_cast<std::size_t>(index)];
    slot = slot + value;
}

const double* SoundLibrary::Canvas::Values(bool sine, double scale, int n) {
    std::vector<Series>& list = sharedSeries ? *sharedSeries : series_;
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const Series& s) { return s.sine == sine && s.scale == scale; });
    if (it == list.end()) it = list.insert(list.end(), Series{sine, scale, {}});
    std::vector<double>& v = it->values;
    if (static_cast<int>(v.size()) >= n) return v.data();
    v.reserve(static_cast<std::size_t>(n));
    if (sine)
        for (int i = static_cast<int>(v.size()); i < n; ++i) v.push_back(Sin(scale * (i / kRate)));
    else
        for (int i = static_cast<int>(v.size()); i < n; ++i) v.push_back(Exp(-(i / kRate) * scale));
    return v.data();
}

void SoundLibrary::Canvas::Partial(int startMs, int durMs, double f, double amp, double decay) {
    const int s = Ms(startMs);
    const int n = Ms(durMs);
    if (n <= 0) return;
    const int r = Ramp(n, 8, 3);
    const double* decays = Values(false, decay, n);
    const double* sines = Values(true, f * kTwoPi, n);
    for (int i = 0; i < n; ++i) {
        const double e = Envelope(decays[i], i, n, r);
        Add(static_cast<long long>(s) + i, sines[i] * amp * e);
    }
}

void SoundLibrary::Canvas::Sweep(int startMs, int durMs, double f0, double f1, double amp, double decay) {
    const int s = Ms(startMs);
    const int n = Ms(durMs);
    if (n <= 0) return;
    const int r = Ramp(n, 8, 4);
    const double* decays = decay <= 0 ? nullptr : Values(false, decay, n);
    double phase = 0.0;
    for (int i = 0; i < n; ++i) {
        phase += (static_cast<double>(i) / n * (f1 - f0) + f0) * kTwoPi / kRate;
        const double e = Envelope(decays ? decays[i] : 1.0, i, n, r);
        Add(static_cast<long long>(s) + i, Sin(phase) * amp * e);
    }
}

void SoundLibrary::Canvas::Noise(int startMs, int durMs, double amp, double decay, double smooth) {
    const int s = Ms(startMs);
    const int n = Ms(durMs);
    if (n <= 0) return;
    const int r = Ramp(n, 6, 5);
    const double* decays = Values(false, decay, n);
    double y = 0.0;
    for (int i = 0; i < n; ++i) {
        noiseState_ = noiseState_ * 1664525u + 1013904223u;
        const double white = static_cast<double>((noiseState_ >> 8) & 0xFFFFu) * (1.0 / 32768) - 1;
        y = (white - y) * smooth + y;
        const double e = Envelope(decays[i], i, n, r);
        Add(static_cast<long long>(s) + i, y * amp * e);
    }
}

SoundLibrary::Samples SoundLibrary::Canvas::Build(int fadeMs, double level) const {
    double m = 0.0;
    for (double v : buffer_) m = std::max(m, std::abs(v));
    if (m <= 0) return {};
    const double scale = level / m;
    const int length = static_cast<int>(buffer_.size());
    const int k = std::max(1, Ms(fadeMs));
    Samples out(buffer_.size());
    for (int j = 0; j < length; ++j) {
        double x = buffer_[static_cast<std::size_t>(j)] * scale * Fade(j, length, k);
        x = std::clamp(x, -1.0, 1.0);
        out[static_cast<std::size_t>(j)] = ToSample(x * 32767);
    }
    return out;
}

// ---- canvas earcons ----

SoundLibrary::Voice SoundLibrary::VoiceSpec(int voice) {
    switch (voice) {
        case 0: return {{1, 2}, {1, 0.08}, 4.5, 90};
        case 1: return {{1, 2, 3}, {1, 0.35, 0.12}, 5, 90};
        case 2: return {{1, 2, 3}, {1, 0.25, 0.08}, 12, 140};
        case 3: return {{1, 2.76, 5.4}, {1, 0.3, 0.12}, 6, 260};
        default: return {{0.5, 1}, {0.5, 1}, 9, 90};
    }
}

SoundLibrary::Samples SoundLibrary::Melody(const std::vector<double>& freqs, int noteMs, int gapMs, int voice) {
    const Voice v = VoiceSpec(voice);
    const long long step = static_cast<long long>(noteMs) + gapMs;
    const int length = static_cast<int>(std::min<long long>(static_cast<long long>(freqs.size()) * step + v.tailMs, 1000));
    Canvas c(length);
    for (std::size_t i = 0; i < freqs.size(); ++i) {
        const long long start = static_cast<long long>(i) * step;
        const long long dur = std::min<long long>(static_cast<long long>(noteMs) + v.tailMs, length - start);
        if (dur <= 0) break;
        for (std::size_t h = 0; h < v.ratios.size(); ++h)
            c.Partial(static_cast<int>(start), static_cast<int>(dur), freqs[i] * v.ratios[h], v.amplitudes[h],
                      v.decay);
    }
    return c.Build(4, 0.82);
}

SoundLibrary::Samples SoundLibrary::Bells(const std::vector<double>& freqs, int totalMs, double decay) {
    Canvas c(totalMs);
    for (std::size_t i = 0; i < freqs.size(); ++i) {
        const int start = 12 * static_cast<int>(i);
        const int dur = totalMs - 12 * static_cast<int>(i);
        const double f = freqs[i];
        c.Partial(start, dur, f, 1 - static_cast<int>(i) * 0.2, decay);
        c.Partial(start, dur, f * 2.76, 0.18, decay * 1.5);
    }
    return c.Build(4, 0.82);
}

SoundLibrary::Samples SoundLibrary::Pop(int ms, double f) {
    Canvas c(ms);
    c.Partial(0, ms, f, 1, 40);
    c.Partial(0, ms, f + f, 0.3, 60);
    return c.Build(4, 0.82);
}

SoundLibrary::Samples SoundLibrary::Bubble() {
    Canvas c(150);
    c.Sweep(0, 140, 350, 900, 1, 14);
    return c.Build(4, 0.82);
}

SoundLibrary::Samples SoundLibrary::WoodBlock() {
    Canvas c(120);
    c.Partial(0, 110, 1200, 1, 45);
    c.Partial(0, 60, 2400, 0.35, 70);
    c.Noise(0, 25, 0.5, 90, 0.55);
    return c.Build(4, 0.82);
}

SoundLibrary::Samples SoundLibrary::Siren(int cycles, int halfMs, double lo, double hi) {
    Canvas c(static_cast<int>(std::min<long long>(static_cast<long long>(cycles) * halfMs * 2, 1000)));
    for (int i = 0; i < cycles; ++i) {
        const long long up = 2LL * i * halfMs;
        // Cycles that would start beyond the one-second canvas add nothing.
        if (up >= 1000) break;
        c.Sweep(static_cast<int>(up), halfMs, lo, hi, 0.9, 0);
        c.Sweep(static_cast<int>(up + halfMs), halfMs, hi, lo, 0.9, 0);
    }
    return c.Build(4, 0.82);
}

SoundLibrary::Samples SoundLibrary::Buzz(int ms, double f) {
    Canvas c(ms);
    for (int k = 1; k <= 6; ++k) c.Partial(0, ms, f * k, 1.0 / k, 2);
    return c.Build(4, 0.82);
}

SoundLibrary::Samples SoundLibrary::Whoosh(bool up) {
    Canvas c(320);
    if (up) {
        c.Noise(0, 300, 1, 1.5, 0.1);
        c.Sweep(0, 300, 220, 900, 0.25, 2.5);
    } else {
        c.Noise(0, 300, 1, 4.5, 0.35);
        c.Sweep(0, 300, 900, 220, 0.25, 2.5);
    }
    return c.Build(4, 0.82);
}

SoundLibrary::Samples SoundLibrary::AirPuff() {
    Canvas c(140);
    c.Noise(0, 130, 1, 22, 0.25);
    return c.Build(4, 0.82);
}

SoundLibrary::Samples SoundLibrary::Heartbeat() {
    Canvas c(560);
    c.Partial(0, 170, 62, 1, 13);
    c.Partial(0, 90, 124, 0.25, 20);
    c.Partial(230, 200, 55, 0.8, 12);
    c.Partial(230, 90, 110, 0.2, 20);
    return c.Build(4, 0.82);
}

SoundLibrary::Samples SoundLibrary::Drip() {
    Canvas c(200);
    c.Sweep(0, 90, 1500, 700, 1, 22);
    c.Partial(70, 120, 700, 0.5, 16);
    return c.Build(4, 0.82);
}

}  // namespace twr
