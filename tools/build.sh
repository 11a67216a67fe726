#!/usr/bin/env bash
# Builds the Windows executables, ARM64 (build/win-arm64, the one the system is) and x64
# (build/win), and the native core with its unit tests (build/native). --win-only skips the native
# tree. TWR_NVDA_DLL and TWR_NVDA_DLL_ARM64 name a real controller client for x64 and ARM64; empty
# embeds the stand-in built for that architecture, "none" embeds nothing; either stays in its tree's
# CMake cache until given again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${TWR_JOBS:-$(nproc)}
cmake -G Ninja -S . -B build/win-arm64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/zig-aarch64-windows.cmake" \
      -DCMAKE_BUILD_TYPE=Release ${TWR_NVDA_DLL_ARM64:+-DTWR_NVDA_DLL="$TWR_NVDA_DLL_ARM64"} >/dev/null
ninja -C build/win-arm64 -j "$jobs"
"$root/tools/check_image.sh" build/win-arm64/Tapewright.exe aarch64
cmake -G Ninja -S . -B build/win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release ${TWR_NVDA_DLL:+-DTWR_NVDA_DLL="$TWR_NVDA_DLL"} >/dev/null
ninja -C build/win -j "$jobs"
"$root/tools/check_image.sh" build/win/Tapewright.exe x86_64
if [ "${1:-}" != "--win-only" ]; then
  cmake -G Ninja -S . -B build/native -DCMAKE_BUILD_TYPE=Debug >/dev/null
  ninja -C build/native -j "$jobs"
fi
