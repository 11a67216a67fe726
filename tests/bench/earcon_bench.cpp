// Time to render the whole earcon catalogue afresh (no cache), and the cost of one StableMath
// call over the arguments the synthesis uses. Counters: samples per catalogue and how many calls
// per catalogue the fast evaluation handed to the slow one. Other work on the machine only ever
// slows a run down, so read the minimum over repetitions:
//   build/bench/earcon_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "feedback/sound_library.h"
#include "feedback/stable_math.h"

namespace {

using twr::SoundLibrary;
namespace StableMath = twr::StableMath;

double Min(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

void BM_RenderCatalogue(benchmark::State& state) {
    double samples = 0;
    std::uint64_t slow = 0;
    for (auto _ : state) {
        samples = 0;
        const std::uint64_t before = StableMath::SlowEvaluations();
        for (const SoundLibrary::Samples& s : SoundLibrary::RenderAll()) samples += static_cast<double>(s.size());
        slow = StableMath::SlowEvaluations() - before;
    }
    state.counters["samples"] = samples;
    state.counters["slow_calls"] = static_cast<double>(slow);
}
BENCHMARK(BM_RenderCatalogue)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Min);

// Arguments spread like the earcons': phases up to a few thousand radians, decays to -100.
void Calls(benchmark::State& state, double (*f)(double) noexcept, double scale) {
    std::vector<double> args(4096);
    for (std::size_t i = 0; i < args.size(); ++i)
        args[i] = scale * static_cast<double>(i * 2654435761u % 100000) / 100000;
    for (auto _ : state)
        for (double x : args) benchmark::DoNotOptimize(f(x));
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(args.size()));
}
void BM_Sin(benchmark::State& state) { Calls(state, StableMath::Sin, 5000.0); }
void BM_Exp(benchmark::State& state) { Calls(state, StableMath::Exp, -100.0); }
BENCHMARK(BM_Sin)->ComputeStatistics("min", Min);
BENCHMARK(BM_Exp)->ComputeStatistics("min", Min);

}  // namespace

BENCHMARK_MAIN();
