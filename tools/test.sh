#!/usr/bin/env bash
# Sets up, builds and runs every test: native unit tests (ASan/UBSan), the fuzz targets for a
# bounded time, and the Wine-hosted integration tests against the real Tapewright.exe.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/tools/setup.sh" || exit 1
status=0

echo "== build"
"$root/tools/build.sh" || exit 1

echo "== ARM64 guard: the arm64 branches compile"
"$root/tools/arm64_check.sh" || status=1

echo "== native unit tests"
(cd build/native && ctest --output-on-failure -j "$(nproc)" --timeout 300) || status=1

echo "== fuzz targets"
"$root/tools/fuzz.sh" "${TWR_FUZZ_SECONDS:-30}" || status=1

echo "== Wine-hosted tests"
/usr/bin/python3 "$root/tools/wine/run_tests.py" --build build/win --native build/native || status=1
exit $status
