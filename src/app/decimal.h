#pragma once

#include <string_view>

namespace twr {

// The double nearest to a decimal number (ties to even), as an IEEE reader gives it, without the
// locale or the C library: digits is the mantissa's digits with at most one '.', exponent the
// power of ten it is scaled by, any long long taken exactly. Past the largest double the result is
// infinity, below half the smallest subnormal it is zero. The sign is the caller's.
[[nodiscard]] double DecimalToDouble(std::string_view digits, long long exponent) noexcept;

}  // namespace twr
