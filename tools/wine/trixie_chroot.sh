#!/usr/bin/env bash
# The Wine 10 run of the Wine-hosted tests: a Debian 13 (trixie) chroot made with debootstrap and
# kept between runs, entered in private namespaces so that nothing of it outlives the run.
#
#   trixie_chroot.sh prepare          make or complete the chroot, then stop
#   trixie_chroot.sh run [ARGS...]    prepare, then run tools/wine/run_tests.py ARGS inside it
#
# Needs root. The chroot lives in $TWR_CHROOT (default /var/cache/tapewright/trixie-chroot); it
# counts as complete once its stamp file names the current package list, so a later run on the
# same machine fetches nothing. The mirror is $TWR_DEBIAN_MIRROR, else the host's own Debian mirror
# from its apt sources; with neither, making the chroot stops with one FAILED line.
#
# --build and --native name host folders inside the checkout (default build/win, build/native);
# they are passed on as the same folders under /checkout.
#
# Each run enters new mount, PID and network namespaces: the mounts (/proc, /dev, /dev/pts, a
# private /dev/shm and /tmp, the checkout read-only at /checkout) exist only in that mount
# namespace, every process started inside dies with the namespace's first process, and Xvfb and
# PulseAudio there cannot meet the host's displays or sockets. The trap unmounts explicitly as
# well, on every path.
set -uo pipefail

CHROOT=${TWR_CHROOT:-/var/cache/tapewright/trixie-chroot}
STAMP=.twr-complete
# What the Wine-hosted tests need inside: Wine, a display, a sound server and the tools the tests
# check recordings with, plus the runtime of the native helpers (built with ASan/UBSan); the update
# tests' release host wants openssl for its test CA, the system CA bundle to add it to and ip.
PACKAGES="wine wine64 xvfb xauth pulseaudio pulseaudio-utils python3 python3-numpy sox libsndfile1
          sndfile-programs libasan8 libubsan1 iproute2 openssl ca-certificates"
PACKAGES=$(echo $PACKAGES)
LOCK_WAIT=1800   # another run making the chroot
DEBOOTSTRAP_TIMEOUT=900
APT_TIMEOUT=1200
RUN_TIMEOUT=${TWR_CHROOT_RUN_TIMEOUT:-1500}

fail() { echo "Wine 10 run: FAILED: $*" >&2; exit 1; }
. "$(dirname "$0")/debian_root.sh"

# Runs a command in the chroot $1 inside the namespaces already entered (see enter).
# $2 is the checkout to bind read-only at /checkout, or "" for none.
inside() {
  local c=$1 src=$2
  shift 2
  mounted=()
  cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
      umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null
    done
    mounted=()
  }
  trap cleanup EXIT
  trap 'exit 130' INT TERM HUP
  mnt() {
    mount "$@" || fail "could not mount ${*: -1}"
    mounted+=("${*: -1}")
  }
  # The chroot's root a mount point of its own, so that inside it "/" can be made private again
  # (the update tests' release host enters namespaces of its own with unshare --propagation).
  mnt --bind "$c" "$c"
  mnt -t proc proc "$c/proc"
  mnt --bind /dev "$c/dev"
  mnt --bind /dev/pts "$c/dev/pts"
  mnt -t tmpfs -o mode=1777,nosuid,nodev shm "$c/dev/shm"
  mnt -t tmpfs -o mode=1777 tmp "$c/tmp"
  if [ -n "$src" ]; then
    mkdir -p "$c/checkout"
    mnt --bind "$src" "$c/checkout"
    mount -o remount,bind,ro "$c/checkout" || fail "could not make /checkout read-only"
  fi
  # The network namespace starts with its loopback down; some tests serve on 127.0.0.1.
  ip link set lo up 2>/dev/null
  # In the background, so that a signal to this shell (the namespace's first process) acts at once:
  # its exit ends every process of the namespace.
  chroot "$c" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
      PYTHONDONTWRITEBYTECODE=1 DEBIAN_FRONTEND=noninteractive "$@" &
  wait $!
  local rc=$?
  cleanup
  return $rc
}

# Enters fresh namespaces and runs `inside` there. $1: "net" keeps the host's network (for apt),
# "nonet" gives the run a network of its own.
enter() {
  local net=$1
  shift
  local flags=(--mount --pid --fork --kill-child=SIGTERM --propagation private)
  [ "$net" = nonet ] && flags+=(--net)
  exec unshare "${flags[@]}" -- "$0" __inside "$@"
}

want_stamp() { echo "trixie minbase; packages: $PACKAGES"; }

prepare() {
  stamp_is "$CHROOT" "$(want_stamp)" && return 0
  local target
  command -v debootstrap >/dev/null || fail "debootstrap is not installed (tools/setup.sh installs it)"
  if [ -f "$CHROOT/$STAMP" ]; then
    # Complete, but for an older package list: add what is missing in place.
    target=$CHROOT
  else
    target=$CHROOT.partial
    pick_mirror
    safe_remove "$target"
    safe_remove "$CHROOT"
    echo "Making the Debian 13 chroot in $CHROOT from $mirror (1-4 minutes, 1.6 GB)"
    timeout --kill-after=5 "$DEBOOTSTRAP_TIMEOUT" debootstrap --variant=minbase trixie "$target" "$mirror" \
        >"$CHROOT.debootstrap.log" 2>&1 ||
      fail "debootstrap of trixie from $mirror failed or timed out; see $CHROOT.debootstrap.log"
    # No daemon of an installed package is started inside the chroot.
    printf '#!/bin/sh\nexit 101\n' >"$target/usr/sbin/policy-rc.d"
    chmod 755 "$target/usr/sbin/policy-rc.d"
  fi
  timeout --kill-after=5 "$APT_TIMEOUT" "$0" __enter net "$target" "" /bin/sh -c \
      "apt-get -qq -o Acquire::http::Timeout=30 update &&
       apt-get -qq -o Acquire::http::Timeout=30 install -y --no-install-recommends $PACKAGES" \
      >"$CHROOT.apt.log" 2>&1 ||
    fail "installing the test packages into the chroot failed or timed out; see $CHROOT.apt.log"
  rm -rf "$target"/var/cache/apt/archives/*.deb
  if [ "$target" != "$CHROOT" ]; then
    mv "$target" "$CHROOT" || fail "could not move $target to $CHROOT"
  fi
  want_stamp >"$CHROOT/$STAMP"
}

case "${1:-}" in
  __inside)
    shift
    inside "$@"
    exit $?
    ;;
  __enter)
    shift
    enter "$@"
    exit $?
    ;;
  prepare|run)
    ;;
  *)
    echo "usage: $0 prepare | run [run_tests.py arguments]" >&2
    exit 2
    ;;
esac

[ "$(id -u)" = 0 ] || fail "needs root (debootstrap, chroot and mounts)"
mode=$1
shift
locked_prepare "$CHROOT"
[ "$mode" = prepare ] && exit 0
# Its real path: in_checkout compares it with realpath's answers.
root=$(cd "$(dirname "$0")/../.." && pwd -P)

# A host folder as the chroot sees it; the checkout is all it sees.
in_checkout() {
  local p
  p=$(realpath -m -- "$1")
  case $p in
    "$root") echo /checkout ;;
    "$root"/*) echo "/checkout${p#"$root"}" ;;
    *) echo "Wine 10 run: FAILED: $1 is not inside the checkout $root, the only folder the chroot sees" >&2
       return 1 ;;
  esac
}
build=$root/build/win native=$root/build/native
args=() picked=()
while [ $# -gt 0 ]; do
  case $1 in
    --build|--native)
      [ $# -ge 2 ] || fail "$1 needs a folder"
      [ "$1" = --build ] && build=$2 || native=$2
      shift 2 ;;
    --build=*) build=${1#*=}; shift ;;
    --native=*) native=${1#*=}; shift ;;
    -k) [ $# -ge 2 ] || fail "-k needs a pattern"
        args+=("$1" "$2"); picked+=("$2"); shift 2 ;;
    -k*) args+=("$1"); picked+=("${1#-k}"); shift ;;
    *) args+=("$1"); shift ;;
  esac
done
build_in=$(in_checkout "$build") || exit 1
native_in=$(in_checkout "$native") || exit 1

# The update install test serves a second build of this source that differs only in its version
# text; the chroot has no compiler, so that build is made here (beside the build under test, as the
# test itself does on the host) and handed to the test inside.
served=()
install_test=test_update.test_update_swaps_restarts_and_cleans_up
wants_served=$([ ${#picked[@]} = 0 ] && echo 1)
for k in "${picked[@]}"; do
  [[ $install_test == *"$k"* ]] && wants_served=1
done
if [ -n "$wants_served" ]; then
  exe=$(/usr/bin/python3 "$root/tools/wine/tests/test_update.py" "$build") ||
    fail "could not build the served executable beside $build for the update test"
  exe=$(in_checkout "$exe") || exit 1
  served=("TWR_UPDATE_SERVED_EXE=$exe")
fi

# unshare ignores SIGTERM; the SIGKILL that follows reaches the namespace through --kill-child.
timeout --foreground --kill-after=5 "$RUN_TIMEOUT" "$0" __enter nonet "$CHROOT" "$root" \
    "${served[@]}" /usr/bin/python3 /checkout/tools/wine/run_tests.py --build "$build_in" \
    --native "$native_in" "${args[@]}"
rc=$?
{ [ $rc = 124 ] || [ $rc = 137 ]; } && fail "the run did not end within ${RUN_TIMEOUT}s"
exit $rc
