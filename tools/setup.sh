#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine (as root). The update
# tests need openssl (their test CA), iproute2 (loopback in their network namespace) and the system's
# CA bundle, which they extend with that CA; without them they would only skip. The slow-drive
# recording test mounts a FUSE file system through python3-fusepy.
set -euo pipefail
pkgs=(cmake ninja-build g++ clang lld g++-mingw-w64-x86-64-posix mingw-w64-tools libgtest-dev libbenchmark-dev
      wine wine64 xvfb xauth pulseaudio pulseaudio-utils python3 python3-numpy
      sox libsndfile1-dev sndfile-programs ffmpeg debootstrap wget
      openssl iproute2 ca-certificates python3-fusepy)
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
