#pragma once
// The build's identity. The architecture follows the compiler's target so that the
// same source builds the x64 and the ARM64 release.

namespace twr {

#ifdef TWR_VERSION_TEXT
// Test builds only: a build that differs from this one in nothing but its version text.
inline constexpr const char* kVersion = TWR_VERSION_TEXT;
#else
inline constexpr const char* kVersion = "v2.2.4";
#endif

#if defined(__aarch64__) || defined(_M_ARM64)
inline constexpr const char* kArchSuffix = "win-arm64";
inline constexpr const char* kArchName = "Arm64";
#else
inline constexpr const char* kArchSuffix = "win-x64";
inline constexpr const char* kArchName = "X64";
#endif

}  // namespace twr
