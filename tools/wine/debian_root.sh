# Shared by the scripts that keep a Debian 13 (trixie) root under /var/cache/tapewright for the
# Wine-hosted tests (trixie_chroot.sh, arm64_root.sh); sourced, never run. The sourcing script
# defines fail() (one FAILED line naming its run, then exit).

# The host's Debian archive, one candidate a line: every http(s) URI of an enabled "deb" source for
# the host's own release (a suite exactly its codename, so not -security, -updates or a third
# party's "cloud-sdk-bookworm"), from one-line .list files and deb822 .sources files alike; a deb822
# stanza may list several URIs, span continuation lines and carry comments.
host_mirrors() {
  local codename
  codename=$( (. /etc/os-release && echo "${VERSION_CODENAME:-}") 2>/dev/null)
  local files=() f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && files+=("$f")
  done
  [ ${#files[@]} -gt 0 ] || return 0
  awk -v codename="$codename" '
    function suite_ok(s) {
      return codename != "" ? s == codename : (s == "sid" || s == "unstable" || s == "testing")
    }
    function emit(uri) {
      if (uri ~ /^https?:\/\//) { sub(/\/+$/, "", uri); print uri }
    }
    function flush(   n, i, list, ok) {
      if (types ~ /(^| )deb( |$)/ && tolower(enabled) != "no") {
        n = split(suites, list, " ")
        for (i = 1; i <= n; i++) if (suite_ok(list[i])) ok = 1
        if (ok) { n = split(uris, list, " "); for (i = 1; i <= n; i++) emit(list[i]) }
      }
      types = suites = uris = enabled = key = ""
    }
    FNR == 1 { if (deb822) flush(); deb822 = FILENAME ~ /\.sources$/ }
    { sub(/\r$/, "") }
    !deb822 {
      sub(/#.*/, "")
      if ($1 != "deb") next
      line = $0
      sub(/^[ \t]*deb[ \t]+/, "", line)
      if (line ~ /^\[/) sub(/^\[[^]]*\][ \t]*/, "", line)
      split(line, f, /[ \t]+/)
      if (suite_ok(f[2])) emit(f[1])
      next
    }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { flush(); next }
    /^[ \t]/ { if (key != "") value_of(key, $0); next }
    {
      key = tolower(substr($0, 1, index($0, ":") - 1))
      value_of(key, substr($0, index($0, ":") + 1))
    }
    function value_of(k, v) {
      gsub(/[ \t]+/, " ", v)
      if (k == "types") types = types " " v
      else if (k == "suites") suites = suites " " v
      else if (k == "uris") uris = uris " " v
      else if (k == "enabled") { gsub(/ /, "", v); enabled = v }
    }
    END { if (deb822) flush() }
  ' "${files[@]}" | awk '!seen[$0]++'
}

# Refuses to delete a folder that has anything mounted below it (a bind of /dev or the checkout
# left by some other tool would otherwise be emptied too).
safe_remove() {
  local dir=$1
  [ -e "$dir" ] || return 0
  if awk -v d="$dir" '$5 == d || index($5, d "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
    fail "something is mounted below $dir; not removing it"
  fi
  rm -rf --one-file-system "$dir"
}

# Sets mirror to $TWR_DEBIAN_MIRROR or else the first of the host's mirrors that serves trixie.
pick_mirror() {
  local candidates m
  if [ -n "${TWR_DEBIAN_MIRROR:-}" ]; then
    candidates=${TWR_DEBIAN_MIRROR%/}
  else
    candidates=$(host_mirrors)
    [ -n "$candidates" ] ||
      fail "no Debian mirror: TWR_DEBIAN_MIRROR is not set and the host's apt sources name none for its release"
  fi
  mirror=
  for m in $candidates; do
    if timeout 30 wget -q -T 10 -t 2 -O /dev/null "$m/dists/trixie/InRelease"; then
      mirror=$m
      return 0
    fi
  done
  fail "no Debian mirror with trixie could be reached (tried $(echo $candidates); no network?)"
}

# Takes $1.lock exclusively while the root $1 is made or completed, then calls prepare; afterwards
# the lock is held shared, so that runs share a finished root and only making it is exclusive.
# The lock stays on descriptor 9 for the rest of the script.
locked_prepare() {
  local root=$1
  mkdir -p "$(dirname "$root")"
  exec 9>"$root.lock"
  flock -w "${LOCK_WAIT:-1800}" -x 9 || fail "another run held $root.lock for ${LOCK_WAIT:-1800}s"
  prepare
  flock -s 9
}

# True once the root $1 carries the stamp $2: the description of what it was made with, so that a
# change of package list completes the root instead of trusting it.
stamp_is() {
  [ -f "$1/.twr-complete" ] && [ "$(cat "$1/.twr-complete")" = "$2" ]
}
