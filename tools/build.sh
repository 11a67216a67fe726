#!/usr/bin/env bash
# Builds the Windows executable (build/win) and the native core with its unit tests (build/native).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${TWR_JOBS:-$(nproc)}
cmake -G Ninja -S . -B build/win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release ${TWR_NVDA_DLL:+-DTWR_NVDA_DLL="$TWR_NVDA_DLL"} >/dev/null
ninja -C build/win -j "$jobs"
if [ "${1:-}" != "--win-only" ]; then
  cmake -G Ninja -S . -B build/native -DCMAKE_BUILD_TYPE=Debug >/dev/null
  ninja -C build/native -j "$jobs"
fi
