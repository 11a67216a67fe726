#!/usr/bin/env bash
# Checks a built Tapewright.exe for what it must be wherever it is copied alone: the expected
# architecture, the GUI subsystem, a TLS directory (thread_local state lives there) and imports from
# Windows' own DLLs only, so no compiler runtime DLL has to travel beside it.
#
#   check_image.sh EXE aarch64|x86_64
set -uo pipefail
exe=$1 arch=$2
dump=$(llvm-objdump-14 -f -p "$exe" 2>&1) || { echo "image check: cannot read $exe" >&2; exit 1; }
problems=()
grep -qx "architecture: $arch" <<<"$dump" || problems+=("not $arch: $(grep '^architecture:' <<<"$dump")")
grep -qE '^Subsystem[[:space:]]+0*2[[:space:]]' <<<"$dump" || problems+=("not the GUI subsystem")
grep -q 'Thread Storage Directory \[\.tls\]' <<<"$dump" || problems+=("no TLS directory")
system_dlls='^(kernel32|user32|gdi32|comctl32|comdlg32|shell32|shlwapi|ole32|oleaut32|winmm|bcrypt|advapi32|winhttp|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
while read -r dll; do
  [[ ${dll,,} =~ $system_dlls ]] || problems+=("imports $dll, which is no system DLL")
done < <(awk '/DLL Name:/ {print $3}' <<<"$dump" | sort -u)
if [ ${#problems[@]} -gt 0 ]; then
  printf 'image check: %s: %s\n' "$exe" "${problems[@]}" >&2
  exit 1
fi
echo "image check: $exe: $arch, GUI, TLS directory, system DLLs only"
