#!/usr/bin/env bash
# The JSON and decimal-number tests built with the ARM64 build's C++ library (Zig's clang 16 and
# libc++ 16, here for x86_64 Linux so they run on this host) and run: the reader must give the same
# correctly rounded results with either library. GoogleTest is built from Debian's sources once into
# build/libcxx.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/libcxx
zig_home=${TWR_ZIG_HOME:-/var/cache/tapewright/zig-0.11.0}
cache=${TWR_ZIG_CACHE:-/var/cache/tapewright/zig-cache}
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$cache/global}
export ZIG_LOCAL_CACHE_DIR=${ZIG_LOCAL_CACHE_DIR:-$cache/local}
gtest=/usr/src/googletest/googletest
[ -f "$gtest/src/gtest-all.cc" ] || { echo "libc++ check: no GoogleTest sources in $gtest (libgtest-dev)" >&2; exit 1; }
mkdir -p "$out"
cxx=("$zig_home/zig" c++ -target x86_64-linux-gnu -std=c++20 -O1 -ffp-contract=off -fno-fast-math -Wall -Wextra
     -I"$root/src" -I"$root/tests" -I"$gtest/include" -I"$gtest")
# One file a compile: zig c++ -c with several sources makes one object of them all.
[ -f "$out/gtest-all.o" ] || "${cxx[@]}" -w -c "$gtest/src/gtest-all.cc" -o "$out/gtest-all.o"
[ -f "$out/gtest_main.o" ] || "${cxx[@]}" -w -c "$gtest/src/gtest_main.cc" -o "$out/gtest_main.o"
objs=()
pids=()
for src in src/app/json.cpp src/app/decimal.cpp src/app/errors.cpp tests/app/json_test.cpp tests/app/decimal_test.cpp; do
  obj=$out/$(basename "$src").o
  "${cxx[@]}" -c "$root/$src" -o "$obj" &
  pids+=($!)
  objs+=("$obj")
done
for p in "${pids[@]}"; do wait "$p"; done
"$zig_home/zig" c++ -target x86_64-linux-gnu "$out/gtest-all.o" "$out/gtest_main.o" "${objs[@]}" -lpthread \
  -o "$out/json_tests"
"$out/json_tests" --gtest_brief=1
