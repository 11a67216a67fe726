#!/usr/bin/env bash
# A cheap guard that the ARM64 branches of the Windows sources compile: clang with the
# aarch64 mingw target, syntax only, against the mingw-w64 headers.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
gccinc=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++ | head -1)
flags=(--target=aarch64-w64-mingw32 -std=c++20 -fsyntax-only -nostdinc++
       -isystem "$gccinc" -isystem "$gccinc/x86_64-w64-mingw32" -isystem /usr/share/mingw-w64/include
       -isystem /usr/x86_64-w64-mingw32/include
       -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00
       -I "$root/src" -Wno-everything)
status=0
for f in $(cd "$root" && ls src/*/*_win.cpp src/app/version.h); do
  clang++ "${flags[@]}" -x c++ "$root/$f" 2>/tmp/arm64_check.log || { echo "arm64: $f failed"; head -20 /tmp/arm64_check.log; status=1; }
done
# The architecture names must follow the target.
echo '#include "app/version.h"
static_assert(__builtin_strcmp(twr::kArchSuffix, "win-arm64") == 0);
static_assert(__builtin_strcmp(twr::kArchName, "Arm64") == 0);' | clang++ "${flags[@]}" -x c++ - || status=1
[ $status -eq 0 ] && echo "arm64 guard: ok"
exit $status
