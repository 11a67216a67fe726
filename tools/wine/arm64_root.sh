#!/usr/bin/env bash
# The ARM64 build under emulation: a Debian 13 (trixie) arm64 root with its Wine 10, kept between
# runs, whose programs qemu-aarch64-static runs in private namespaces that vanish with the run.
#
#   arm64_root.sh prepare            make or complete the root, then stop
#   arm64_root.sh run [ARGS...]      prepare, then run tools/wine/run_tests.py ARGS (default build
#                                    build/win-arm64) with only Wine taken from the root
#   arm64_root.sh exec CMD [ARGS...] prepare, then run CMD in the same namespaces, with wine,
#                                    wineboot and wineserver taken from the root (by hand:
#                                    arm64_root.sh exec sh -c 'wineboot -i; wine build/win-arm64/Tapewright.exe --version')
#
# Needs root. The root lives in $TWR_ARM64_ROOT (default /var/cache/tapewright/trixie-arm64); it is
# made like the Debian 13 chroot (same mirror choice, lock and stamp; see debian_root.sh).
#
# Every run enters new user, mount, PID and network namespaces. The user namespace maps uids and
# gids 0-65535 onto the same ids outside (written from here as root: newuidmap would want
# /etc/subuid entries); it owns a binfmt_misc instance of its own, in which qemu is registered for
# aarch64 ELF files. The machine's own binfmt table never sees it, and the registration, every
# mount and every process are gone when the namespace's first process ends.
#
# The test harness itself, Xvfb, PulseAudio, sox and the native helpers run natively in those
# namespaces; only the Wine commands enter the root (the checkout and the private /tmp bound into
# it at the same paths, so paths and sockets mean the same on both sides).
#
# Two settings are not to be "simplified" away (docs/architecture.md says why):
# QEMU_CPU=cortex-a72, a CPU model without BTI, and Debian 13's Wine 10 rather than Debian 12's.
set -uo pipefail

ROOT_DIR=${TWR_ARM64_ROOT:-/var/cache/tapewright/trixie-arm64}
QEMU=${TWR_QEMU_HOME:-/var/cache/tapewright/qemu-user-static}/qemu-aarch64-static
export QEMU_CPU=cortex-a72
# Wine and what it loads at run time (its X11 driver's optional libraries, PulseAudio's client,
# its own fonts), without the recommendations' hundreds of megabytes.
PACKAGES="wine wine64 libx11-6 libxext6 libxrender1 libxrandr2 libxi6 libxcursor1 libxcomposite1
          libxfixes3 libxinerama1 libxxf86vm1 libpulse0 libfreetype6 libfontconfig1 fonts-wine"
PACKAGES=$(echo $PACKAGES)
LOCK_WAIT=1800
DEBOOTSTRAP_TIMEOUT=900
# The second stage and apt run every dpkg and maintainer script emulated.
SETUP_TIMEOUT=2400
RUN_TIMEOUT=${TWR_ARM64_RUN_TIMEOUT:-900}

fail() { echo "ARM64 emulated run: FAILED: $*" >&2; exit 1; }
# The script runs itself again inside the namespaces by a path that must hold there too: absolute
# (exec changes folder first) and free of symlinks (a checkout under /tmp is bound back over the
# private /tmp at its real path only).
self=$(cd "$(dirname "$0")" && pwd -P)/$(basename "$0")
checkout=$(cd "$(dirname "$self")/../.." && pwd -P)
. "$(dirname "$self")/debian_root.sh"

# qemu for aarch64 ELF executables (magic and mask as Debian's qemu-user-static registers them).
# F: the interpreter is opened now, so that it serves inside the root, which has no qemu of its own.
BINFMT=':twr-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$QEMU"':F'

# Enters the namespaces and runs "$self __inside ARGS" there. $1: "net" keeps the host's network (for
# apt), "nonet" gives the run a network of its own.
enter() {
  local net=$1
  shift
  local flags=(--user --mount --pid --fork --kill-child=SIGKILL --propagation private)
  [ "$net" = nonet ] && flags+=(--net)
  # The first program in the namespace waits for its id maps before it executes this script again:
  # only an exec after the maps exist gives it the namespace's root capabilities.
  unshare "${flags[@]}" -- /bin/sh -c \
      'while ! grep -q . /proc/self/uid_map 2>/dev/null; do sleep 0.01; done; exec "$@"' \
      sh "$self" __inside "$@" &
  local pid=$! i ours
  ours=$(readlink /proc/self/ns/user)
  for ((i = 0; i < 1000; i++)); do
    [ "$(readlink "/proc/$pid/ns/user" 2>/dev/null)" != "$ours" ] && break
    sleep 0.01
  done
  if ! { echo "0 0 65536" >"/proc/$pid/gid_map" && echo "0 0 65536" >"/proc/$pid/uid_map"; }; then
    kill -KILL "$pid" 2>/dev/null
    wait "$pid"
    fail "could not map the user namespace's ids"
  fi
  # A signal to this script reaches the namespace: its first process dies, and with it the rest.
  trap 'kill -KILL $pid 2>/dev/null' INT TERM HUP
  wait "$pid"
}

# In the namespaces: the mounts every use needs, then the command. $1: the root, $2: the checkout
# to bind at its own path in the root and outside it (this script is run from there again).
inside() {
  local r=$1 src=$2
  shift 2
  mount -t proc proc /proc || fail "could not mount /proc"
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
    fail "could not mount a binfmt_misc of the namespace's own (needs Linux 6.7 or later)"
  [ -x "$QEMU" ] || fail "$QEMU is missing (tools/setup.sh unpacks it from Debian's qemu-user-static)"
  printf '%s' "$BINFMT" >/proc/sys/fs/binfmt_misc/register || fail "could not register qemu for aarch64"
  ip link set lo up 2>/dev/null
  mount --bind "$r" "$r" || fail "could not bind $r"
  mount --rbind /dev "$r/dev" || fail "could not bind /dev"
  mount --rbind /proc "$r/proc" || fail "could not bind /proc"
  mount --rbind /sys "$r/sys" || fail "could not bind /sys"
  # The private /tmp is made in the root and covers the host's /tmp only once the checkout is bound
  # into the root: a checkout under /tmp is then still there, in the root and out of it, through
  # that bind.
  mount -t tmpfs -o mode=1777 tmp "$r/tmp" || fail "could not mount a private /tmp"
  mkdir -p "$r$src"
  mount --bind "$src" "$r$src" || fail "could not bind $src"
  mount --rbind "$r/tmp" /tmp || fail "could not bind the private /tmp over /tmp"
  # In the background, so that a signal to this shell acts at once: its exit ends every process
  # of the namespace.
  "$@" &
  wait $!
}

# Runs a command inside the root as it is being made.
in_root() {
  local r=$1
  shift
  chroot "$r" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
      QEMU_CPU="$QEMU_CPU" DEBIAN_FRONTEND=noninteractive "$@"
}

want_stamp() { echo "trixie arm64 minbase; packages: $PACKAGES"; }

prepare() {
  stamp_is "$ROOT_DIR" "$(want_stamp)" && return 0
  command -v debootstrap >/dev/null || fail "debootstrap is not installed (tools/setup.sh installs it)"
  [ -x "$QEMU" ] || fail "$QEMU is missing (tools/setup.sh unpacks it from Debian's qemu-user-static)"
  local target t0=$SECONDS
  if [ -f "$ROOT_DIR/.twr-complete" ]; then
    target=$ROOT_DIR
  else
    target=$ROOT_DIR.partial
    pick_mirror
    safe_remove "$target"
    safe_remove "$ROOT_DIR"
    echo "Making the Debian 13 arm64 root in $ROOT_DIR from $mirror (about 10 minutes, 1.3 GB)"
    timeout --kill-after=5 "$DEBOOTSTRAP_TIMEOUT" debootstrap --foreign --arch=arm64 --variant=minbase \
        trixie "$target" "$mirror" >"$ROOT_DIR.debootstrap.log" 2>&1 ||
      fail "debootstrap of trixie arm64 from $mirror failed or timed out; see $ROOT_DIR.debootstrap.log"
    printf '#!/bin/sh\nexit 101\n' >"$target/usr/sbin/policy-rc.d"
    chmod 755 "$target/usr/sbin/policy-rc.d"
    # "lxc" makes debootstrap skip the device node it cannot create in a user namespace; /dev,
    # /proc and /sys are already there (bound above), so it mounts nothing itself.
    timeout --kill-after=5 "$SETUP_TIMEOUT" "$self" __enter net "$target" "$checkout" \
        "$self" __in_root "$target" container=lxc /debootstrap/debootstrap --second-stage \
        >>"$ROOT_DIR.debootstrap.log" 2>&1 ||
      fail "debootstrap's second stage (emulated) failed or timed out; see $ROOT_DIR.debootstrap.log"
  fi
  timeout --kill-after=5 "$SETUP_TIMEOUT" "$self" __enter net "$target" "$checkout" \
      "$self" __in_root "$target" /bin/sh -c \
      "apt-get -qq -o Acquire::http::Timeout=30 update &&
       apt-get -qq -o Acquire::http::Timeout=30 install -y --no-install-recommends $PACKAGES" \
      >"$ROOT_DIR.apt.log" 2>&1 ||
    fail "installing Wine into the arm64 root failed or timed out; see $ROOT_DIR.apt.log"
  rm -rf "$target"/var/cache/apt/archives/*.deb
  if [ "$target" != "$ROOT_DIR" ]; then
    mv "$target" "$ROOT_DIR" || fail "could not move $target to $ROOT_DIR"
  fi
  want_stamp >"$ROOT_DIR/.twr-complete"
  echo "The arm64 root took $((SECONDS - t0)) s to make"
}

# The Wine commands of a run, as the harness calls them: each enters the root with the caller's
# environment and working folder (the same paths inside), and Wine's QEMU_CPU. No core files: qemu
# would write one into the working folder for every emulated process that dies of a signal.
wine_shims() {
  local dir=$1 name
  mkdir -p "$dir"
  for name in wine wineboot wineserver; do
    cat >"$dir/$name" <<EOF
#!/bin/sh
ulimit -c 0
exec /usr/sbin/chroot "$ROOT_DIR" /usr/bin/env PATH=/usr/bin:/bin QEMU_CPU=$QEMU_CPU \\
    /bin/sh -c 'cd "\$0" 2>/dev/null || cd /; exec "\$@"' "\$PWD" $name "\$@"
EOF
    chmod 755 "$dir/$name"
  done
}

case "${1:-}" in
  __enter)
    shift
    enter "$@"
    exit $?
    ;;
  __inside)
    shift
    inside "$@"
    exit $?
    ;;
  __in_root)
    shift
    in_root "$@"
    exit $?
    ;;
  __shimmed)
    # In the namespaces: the command with the root's Wine first on PATH.
    shift
    wine_shims /tmp/.twr-arm64-bin
    export PATH=/tmp/.twr-arm64-bin:$PATH
    "$@"
    exit $?
    ;;
  prepare|run|exec)
    ;;
  *)
    echo "usage: $0 prepare | run [run_tests.py arguments] | exec COMMAND [ARGS...]" >&2
    exit 2
    ;;
esac

# The whole of what follows is read before any of it runs: a run outlives edits to this file.
main() {
  [ "$(id -u)" = 0 ] || fail "needs root (debootstrap, namespaces and mounts)"
  local mode=$1
  shift
  locked_prepare "$ROOT_DIR"
  [ "$mode" = prepare ] && exit 0
  local root=$checkout t args rc EMULATED_TESTS

  if [ "$mode" = exec ]; then
    [ $# -gt 0 ] || fail "exec needs a command"
    cd "$root" || exit 1
    exec "$self" __enter nonet "$ROOT_DIR" "$root" "$self" __shimmed env WINEPREFIX=/tmp/prefix XDG_RUNTIME_DIR=/tmp \
        WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" "$@"
  fi

  # What runs against the ARM64 build unless -k picks otherwise: what that build says and does
  # differently (its texts, its library, its toolchain's arithmetic and file I/O), the recording
  # road and its crash safety in the window, and as many dialogs as fit in a few minutes of
  # emulated Wine. Left out: the settings' update check (it fails under Wine 10 for x64 as well),
  # the tray test (its shell calls pass, but emulated Wine's tray shows the balloon later than the
  # test waits for it) and the tests that measure the machine, whose figures emulation distorts.
  EMULATED_TESTS=(
    test_program.test_version_line_and_exit_code
    test_program.test_window_start_line_names_the_process_and_version
    test_speech.test_speech_modes_exit_codes_and_spoken_text
    test_speech.test_speech_unpacks_the_embedded_library_and_licence
    test_suites.test_selftest_passes_every_check
    test_suites.test_uitest_passes_with_endpoints
    test_earcons.test_windows_and_native_earcons_identical
    test_earcons.test_earcons_identical_to_the_x64_builds
    test_earcons.test_sounds_report
    test_config_report.
    test_devices.test_devices_lists_capture_endpoints_then_loopback_outputs
    test_captest.test_captest_splits_into_a_grouped_folder
    test_rf64.test_writer_share_modes_verify_and_repair
    test_ui_driver.test_ui_driver_walks_a_dialog_modal_and_modeless
    test_recording_road.test_start_pause_resume_split_stop_heard_seen_and_read_back
    test_recording_road.test_exit_while_recording_asks_then_finalizes_and_a_close_while_finalizing_waits
    test_recording_road.test_the_end_of_the_session_finalizes_the_file_before_it_answers
    test_repair_prompt.test_repair_prompt_repairs_a_killed_recording
    test_settings_dialog.test_settings_dialog_keyboard_walk
    test_settings_dialog.test_settings_from_the_main_window
    test_suites.test_uitest_passes_when_enumeration_finds_nothing
    test_ui_foundation.test_confirm_dialog_walk_texts_and_results
    test_ui_utilities.
    test_update_dialog.test_update_dialog_layout_notes_and_focus
  )
  args=()
  [[ " $* " == *" --build"* ]] || args+=(--build "$root/build/win-arm64")
  [[ " $* " == *" --native"* ]] || args+=(--native "$root/build/native")
  [[ " $* " == *" -k"* ]] || for t in "${EMULATED_TESTS[@]}"; do args+=(-k "$t"); done
  timeout --foreground --kill-after=5 "$RUN_TIMEOUT" "$self" __enter nonet "$ROOT_DIR" "$root" \
      "$self" __shimmed env TWR_X64_BUILD="$root/build/win" /usr/bin/python3 "$root/tools/wine/run_tests.py" "${args[@]}" "$@"
  rc=$?
  { [ $rc = 124 ] || [ $rc = 137 ]; } && fail "the run did not end within ${RUN_TIMEOUT}s"
  exit $rc
}
main "$@"
exit $?
