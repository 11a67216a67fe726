#pragma once
// Sine and exponential that give the same bits on every build. The earcons are compared sample by
// sample between builds and against reference recordings, and the C runtimes disagree: the
// mingw-w64 runtime computes sin with the x87 fsin instruction, whose argument reduction loses
// accuracy far from zero. These are correctly rounded for all practical purposes and rely only on
// IEEE double operations: a fast evaluation from tables gives the result when its error bound
// shows that the rounding cannot change, and a slow one in double-double arithmetic otherwise.
#include <cstdint>

namespace twr::StableMath {

[[nodiscard]] double Sin(double x) noexcept;
[[nodiscard]] double Exp(double x) noexcept;

// How many calls in this process so far needed the slow evaluation; for the tests and benchmarks.
[[nodiscard]] std::uint64_t SlowEvaluations() noexcept;

}  // namespace twr::StableMath
