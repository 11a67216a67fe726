#!/usr/bin/env bash
# Sets up, builds and runs Tapewright under Wine; arguments pass through (e.g. --version). With no
# arguments the window opens on the user's display, or on a private Xvfb when there is none; the
# script ends with the program's exit code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh"
"$root/tools/build.sh" --win-only >/dev/null
export WINEPREFIX=${WINEPREFIX:-$HOME/.wine-tapewright} WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko install prompts on a new prefix; the program needs neither.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml=;winemenubuilder.exe=d"}
if [ -z "${DISPLAY:-}" ]; then
  # -displayfd lets Xvfb take a free display and tell us which once it is ready.
  dfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dfile" >/dev/null 2>&1 &
  xvfb=$!
  # Wine's own processes let go of the display before it goes away, so nothing complains. set +e:
  # under -e a failing step here (no prefix to wait for) would leave Xvfb running and replace the
  # program's exit code with its own.
  trap 'set +e; timeout 15 wineserver -w 2>/dev/null; kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -f "$dfile"' EXIT
  for _ in $(seq 100); do
    [ -s "$dfile" ] && break
    kill -0 $xvfb 2>/dev/null || { echo "Xvfb did not start" >&2; exit 1; }
    sleep 0.1
  done
  [ -s "$dfile" ] || { echo "Xvfb did not report a display" >&2; exit 1; }
  export DISPLAY=":$(head -n1 "$dfile")"
fi
# Wine makes a missing prefix on the way and reports it on standard error ("failed to open
# ...rundll32.exe", "configuration ... has been updated"), which reads like an error to a newcomer;
# made beforehand, its output is shown only when making it fails.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Making the Wine prefix $WINEPREFIX (first run only)" >&2
  # Into a file: a capture would wait for the wineserver and services that inherit its output.
  boot_log=$(mktemp)
  if ! wineboot -i >"$boot_log" 2>&1; then
    cat "$boot_log" >&2
    rm -f "$boot_log"
    echo "Making the Wine prefix failed" >&2
    exit 1
  fi
  rm -f "$boot_log"
fi
rc=0
if [ $# -eq 0 ]; then
  # The window reports through itself and its log; what Wine prints on the way is noise.
  wine "$root/build/win/Tapewright.exe" 2>/dev/null || rc=$?
else
  wine "$root/build/win/Tapewright.exe" "$@" || rc=$?
fi
exit $rc
