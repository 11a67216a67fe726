#!/usr/bin/env bash
# A check of the harness, not of the product: the Debian 13 roots are entered from a checkout under
# /tmp, reached through a symlink, which a run's private /tmp hides unless the scripts keep their way
# back to it. A copy of tools/wine stands for that checkout. A root that is not made is left out: its
# own run has failed already, and making it again here would double the wait.
set -uo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd -P)
arm64_root=${TWR_ARM64_ROOT:-/var/cache/tapewright/trixie-arm64}
chroot_dir=${TWR_CHROOT:-/var/cache/tapewright/trixie-chroot}
dir=$(mktemp -d /tmp/twr-tmp-checkout.XXXXXX) || exit 1
trap 'rm -rf --one-file-system "$dir"' EXIT
mkdir -p "$dir/checkout/tools" && cp -r "$src/tools/wine" "$dir/checkout/tools/" &&
  ln -s checkout "$dir/via" || exit 1
status=0

if [ -f "$arm64_root/.twr-complete" ]; then
  # The harness outside the root and Wine inside it both look for the checkout at its own path.
  probe='test -f "$PWD/tools/wine/run_tests.py" &&
         /usr/sbin/chroot "$1" /bin/sh -c "test -f \"\$0/tools/wine/run_tests.py\"" "$PWD" &&
         wine --version >/dev/null'
  if (cd / && "$dir/via/tools/wine/arm64_root.sh" exec sh -c "$probe" sh "$arm64_root"); then
    echo "arm64 root from a checkout under /tmp: ok"
  else
    echo "arm64 root from a checkout under /tmp: FAILED"
    status=1
  fi
else
  echo "arm64 root from a checkout under /tmp: skipped ($arm64_root is not made)"
fi

if [ -f "$chroot_dir/.twr-complete" ]; then
  # The harness starts in the chroot from /checkout and stops at --help; -k keeps the update
  # test's served build out.
  if (cd / && "$dir/via/tools/wine/trixie_chroot.sh" run -k test_program. --help >/dev/null); then
    echo "Debian 13 chroot from a checkout under /tmp: ok"
  else
    echo "Debian 13 chroot from a checkout under /tmp: FAILED"
    status=1
  fi
else
  echo "Debian 13 chroot from a checkout under /tmp: skipped ($chroot_dir is not made)"
fi
exit $status
