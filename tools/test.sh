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

echo "== native unit tests"
(cd build/native && ctest --output-on-failure -j "$(nproc)" --timeout 300) || status=1

echo "== JSON and decimal tests with libc++ (the ARM64 build's C++ library)"
"$root/tools/libcxx_check.sh" || status=1

echo "== fuzz targets"
"$root/tools/fuzz.sh" "${TWR_FUZZ_SECONDS:-30}" || status=1

# The Wine-hosted suite runs twice against the x64 build: under the host's Wine 8 and under Wine 10
# in a Debian 13 chroot (made on first use, then kept); then part of it against the ARM64 build
# under emulation. The closing line sums the three runs.
wine_passed=0 wine_failed=0 wine_skipped=0
wine_suite() {
  local log rc line
  log=$(mktemp)
  "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  line=$(grep -E '[0-9]+ passed, [0-9]+ failed(, [0-9]+ skipped)?$' "$log" | tail -n1)
  rm -f "$log"
  if [[ $line =~ ([0-9]+)\ passed,\ ([0-9]+)\ failed(,\ ([0-9]+)\ skipped)?$ ]]; then
    wine_passed=$((wine_passed + BASH_REMATCH[1]))
    wine_failed=$((wine_failed + BASH_REMATCH[2]))
    wine_skipped=$((wine_skipped + ${BASH_REMATCH[4]:-0}))
    # A run that failed after its summary still counts as a failure.
    [ "$rc" = 0 ] || [ "${BASH_REMATCH[2]}" != 0 ] || wine_failed=$((wine_failed + 1))
  else
    echo "Wine-hosted run ended without a summary (exit $rc); counted as one failure"
    wine_failed=$((wine_failed + 1))
  fi
  [ "$rc" = 0 ] || status=1
}

# Most Wine tests wait on real time (recordings, windows), so several harnesses share the machine;
# those that load or measure it run afterwards on their own.
jobs=${TWR_WINE_JOBS:-$(( $(nproc) / 2 ))}
[ "$jobs" -ge 1 ] || jobs=1
[ "$jobs" -le 3 ] || jobs=3

# A check of the harness itself, not of the product: it fails the run when it fails, but is no
# product test and stays out of the counts.
echo "== Wine harness: side-by-side scheduling"
harness_ok=1
/usr/bin/python3 "$root/tools/wine/scheduler_check.py" || { harness_ok=0; status=1; }

echo "== Wine-hosted tests under the host's Wine"
wine_suite /usr/bin/python3 "$root/tools/wine/run_tests.py" --build build/win --native build/native --jobs "$jobs"

echo "== Wine-hosted tests under Wine 10 (Debian 13 chroot)"
wine_suite "$root/tools/wine/trixie_chroot.sh" run --skip-window --jobs "$jobs"

# The ARM64 executable, the one the system is, under Wine 10 for arm64 emulated by qemu (an arm64
# Debian 13 root made on first use, then kept): a chosen part of the suite, as emulation is slow.
echo "== ARM64 build under emulation (Debian 13 arm64, Wine 10, qemu)"
wine_suite "$root/tools/wine/arm64_root.sh" run --jobs "$jobs"

# Another check of the harness, out of the counts like the first, once both roots are made: each
# run hides /tmp behind a private one, which must not hide a checkout there.
echo "== Wine harness: the Debian 13 roots from a checkout under /tmp"
tmp_checkout_ok=1
"$root/tools/wine/tmp_checkout_check.sh" || { tmp_checkout_ok=0; status=1; }

[ "$harness_ok" = 1 ] || echo "Wine harness scheduling check: FAILED (see its output above)"
[ "$tmp_checkout_ok" = 1 ] || echo "Wine harness check from a checkout under /tmp: FAILED (see its output above)"
line="$wine_passed passed, $wine_failed failed"
[ "$wine_skipped" = 0 ] || line+=", $wine_skipped skipped"
echo "$line"
exit $status
