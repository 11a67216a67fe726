#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time on its seed corpus.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
secs=${1:-30}
CC=clang CXX=clang++ cmake -G Ninja -S . -B build/fuzz -DTWR_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
targets=$(cd tests/fuzz && ls *_fuzz.cpp 2>/dev/null | sed 's/\.cpp$//')
[ -n "$targets" ] || { echo "no fuzz targets"; exit 0; }
ninja -C build/fuzz $targets || exit 1
status=0
for t in $targets; do
  corpus=tests/fuzz/corpus/${t%_fuzz}
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  if build/fuzz/$t -max_total_time="$secs" -print_final_stats=0 "$work" >build/fuzz/$t.log 2>&1; then
    echo "fuzz $t: ok ($(grep -c . build/fuzz/$t.log) log lines)"
  else
    echo "fuzz $t: FAILED"; tail -40 build/fuzz/$t.log; status=1
  fi
  rm -rf "$work"
done
exit $status
