#pragma once
// Sine and exponential that give the same bits on every build. The earcons are compared sample by
// sample between builds and against reference recordings, and the C runtimes disagree: the
// mingw-w64 runtime computes sin with the x87 fsin instruction, whose argument reduction loses
// accuracy far from zero. These evaluate in double-double arithmetic and round once, so they are
// correctly rounded for all practical purposes and rely only on IEEE double operations.

namespace twr::StableMath {

[[nodiscard]] double Sin(double x) noexcept;
[[nodiscard]] double Exp(double x) noexcept;

}  // namespace twr::StableMath
