#!/usr/bin/env bash
# Sets up, builds and runs Tapewright under Wine; arguments pass through (e.g. --version).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh"
"$root/tools/build.sh" --win-only >/dev/null
export WINEPREFIX=${WINEPREFIX:-$HOME/.wine-tapewright} WINEDEBUG=${WINEDEBUG:--all}
if [ -z "${DISPLAY:-}" ]; then
  Xvfb :77 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  trap 'kill $xvfb 2>/dev/null' EXIT
  export DISPLAY=:77
fi
wine "$root/build/win/Tapewright.exe" "$@"
