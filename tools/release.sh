#!/usr/bin/env bash
# Writes the files of a release as the updater reads them: Tapewright-win-arm64.exe,
# Tapewright-win-x64.exe and SHA256SUMS (sha256sum's layout: 64 hex digits, two spaces, the file
# name; LF line ends), in dist/ unless --out names another folder.
#
#   release.sh [--arm64 EXE] [--x64 EXE] [--out DIR]
#
# Without --arm64 and --x64 it builds first (tools/build.sh --win-only) and takes
# build/win-arm64/Tapewright.exe and build/win/Tapewright.exe. Each file must be a PE image of its
# architecture: a swapped asset would be offered to the wrong machines.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arm64= x64= out=$root/dist
while [ $# -gt 0 ]; do
  case $1 in
    --arm64) arm64=$2; shift 2 ;;
    --x64) x64=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "release: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$arm64$x64" ]; then
  "$root/tools/build.sh" --win-only
  arm64=$root/build/win-arm64/Tapewright.exe
  x64=$root/build/win/Tapewright.exe
fi
[ -n "$arm64" ] && [ -n "$x64" ] || { echo "release: give both --arm64 and --x64" >&2; exit 2; }

# The COFF machine of a PE image: 8664 for x64, aa64 for ARM64; empty when it is none.
pe_machine() {
  local off
  [ "$(head -c 2 "$1" 2>/dev/null)" = MZ ] || return 0
  off=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  [ -n "$off" ] && [ "$(od -An -tx1 -j"$off" -N4 "$1" | tr -d ' ')" = 50450000 ] || return 0
  od -An -tx2 -j$((off + 4)) -N2 "$1" | tr -d ' '
}

check() {
  local file=$1 want=$2 arch=$3 got
  [ -f "$file" ] || { echo "release: no $arch executable at $file" >&2; exit 1; }
  got=$(pe_machine "$file")
  [ "$got" = "$want" ] || { echo "release: $file is not an executable for $arch (machine '${got:-not a PE image}')" >&2; exit 1; }
}
check "$arm64" aa64 ARM64
check "$x64" 8664 x64

mkdir -p "$out"
cp "$arm64" "$out/Tapewright-win-arm64.exe.tmp"
cp "$x64" "$out/Tapewright-win-x64.exe.tmp"
mv "$out/Tapewright-win-arm64.exe.tmp" "$out/Tapewright-win-arm64.exe"
mv "$out/Tapewright-win-x64.exe.tmp" "$out/Tapewright-win-x64.exe"
(cd "$out" && sha256sum Tapewright-win-arm64.exe Tapewright-win-x64.exe >SHA256SUMS.tmp && mv SHA256SUMS.tmp SHA256SUMS)
echo "release: $(cd "$out" && pwd)"
cat "$out/SHA256SUMS"
