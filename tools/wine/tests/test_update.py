"""The update check and install of the real executable against a local release host
(release_host.py: private namespaces, a test CA, HTTPS on 127.0.0.1:443)."""
import os
import shutil
import struct
import subprocess
import sys

import release_host as rh

FEED = rh.FEED_PATH
FEED_ERROR = "Update check failed: HTTP {} from api.github.com" + FEED
HOST = "https://api.github.com"
EXE_NAME = "Tapewright-win-x64.exe"
SUMS = "SHA256SUMS"
VERSION = "v2.2.4"
NEWER = "v2.3.0"
HEAD = ["Installed  : v2.2.4 (win-x64)", "Feed       : https://github.com/halvard9/tapewright-win/releases/latest"]


def _lines(step):
    assert step["out"].endswith("\r\n"), step
    return step["out"].split("\r\n")[:-1]


def _release(h, x64=None, x64_bytes=None, tag=NEWER, body="## New\n- first\n* second `code`", drop=(),
             checksum=None, size=None):
    """Routes of one release: what tools/release.sh writes for the x64 executable (x64, or a file of
    x64_bytes; default the one under test) and the ARM64 build, every file an asset of the feed.
    A release gone wrong on purpose: drop leaves assets out of the feed, checksum replaces the x64
    line's digest, size the x64 executable's listed size."""
    if x64_bytes is not None:
        x64 = os.path.join(h.scratch(), "Tapewright.exe")
        with open(x64, "wb") as f:
            f.write(x64_bytes)
    files = rh.make_release(h.scratch(), x64 or h.exe, rh.arm64_build(h))
    if checksum is not None:
        real = rh.sha256(files[EXE_NAME]).lower()
        files[SUMS] = files[SUMS].replace(real.encode(), checksum.encode())
    assets = [(name, HOST + "/dl/" + name, size if name == EXE_NAME and size is not None else len(data))
              for name, data in files.items() if name not in drop]
    routes = {"/dl/" + name: rh.route(data) for name, data in files.items()}
    routes[FEED] = rh.route(rh.feed(tag, assets, body))
    return routes


def _tiny_pe():
    """A file release.sh takes for an x64 executable (MZ, a PE header, machine x64) that is far too
    small to be the application."""
    head = b"MZ" + b"\0" * 58 + struct.pack("<I", 64) + b"PE\0\0" + struct.pack("<H", 0x8664)
    return head + b"x" * (1023 - len(head))


def test_checkupdate_reports(h):
    s = rh.Session(h)
    newer = _release(h)
    exe = open(h.exe, "rb").read()
    bom = dict(newer)
    bom[FEED] = rh.route(b"\xef\xbb\xbf" + rh.feed(NEWER, [(EXE_NAME, HOST + "/dl/x", 5)], ""))
    r = s.run([
        {"routes": {FEED: rh.route(rh.feed(VERSION))}, "args": ["--checkupdate"]},
        {"routes": newer, "args": ["--checkupdate"]},
        {"routes": _release(h, drop=(EXE_NAME,)), "args": ["--checkupdate"]},
        {"routes": _release(h, drop=(SUMS,), size=0), "args": ["--checkupdate"]},
        {"routes": bom, "args": ["--checkupdate"]},
    ])
    up_to_date, available, other_arch, unpublished, with_bom = r

    assert (up_to_date["rc"], _lines(up_to_date)) == (0, HEAD + ["Result     : up to date"]), up_to_date
    assert up_to_date["requests"] == [{"path": FEED, "accept": "application/vnd.github+json",
                                       "agent": "Tapewright/v2.2.4"}], up_to_date

    assert available["rc"] == 10, available
    assert _lines(available) == HEAD + [
        "Result     : v2.3.0 available",
        "Download   : https://api.github.com/dl/" + EXE_NAME,
        f"Size       : {len(exe):,} bytes",
        # The x64 line of the release's own checksum file, not the ARM64 one before it.
        "SHA-256    : " + rh.sha256(exe),
        "Notes      :",
        "             New",
        "             first",
        "             second code",
    ], available
    # Every request, the checksum file's too, names the feed's media type.
    assert [q["path"] for q in available["requests"]] == [FEED, "/dl/SHA256SUMS"], available
    assert all(q["accept"] == "application/vnd.github+json" for q in available["requests"]), available

    assert other_arch["rc"] == 0 and _lines(other_arch)[-1] == "Result     : up to date", other_arch
    assert " - WARNING - Release v2.3.0 has no executable for win-x64.\r\n" in other_arch["log"], other_arch

    assert unpublished["rc"] == 10, unpublished
    assert _lines(unpublished)[4:6] == ["Size       : 0 bytes",
                                       "SHA-256    : NOT PUBLISHED - would refuse to install"], unpublished

    assert with_bom["rc"] == 10 and _lines(with_bom)[2] == "Result     : v2.3.0 available", with_bom
    assert len(_lines(with_bom)) == 6, with_bom


def test_checkupdate_failures(h):
    s = rh.Session(h)
    moved = {FEED: rh.route(status=302, headers={"Location": HOST + "/moved"}),
             "/moved": rh.route(rh.feed(VERSION))}
    unreadable_sums = _release(h)
    del unreadable_sums["/dl/" + SUMS]
    r = s.run([
        {"routes": {}, "args": ["--checkupdate"]},
        {"routes": {FEED: rh.route(b"oops", 500)}, "args": ["--checkupdate"]},
        {"routes": {FEED: rh.route(status=304)}, "args": ["--checkupdate"]},
        {"routes": moved, "args": ["--checkupdate"]},
        {"routes": {FEED: rh.route(rh.feed(VERSION))}, "args": ["--checkupdate"], "cert": "rogue"},
        {"routes": unreadable_sums, "args": ["--checkupdate"]},
        {"routes": {FEED: rh.route(b"<html>not json</html>")}, "args": ["--checkupdate"]},
        {"routes": {FEED: rh.route(b" " * (1024 * 1024 + 1))}, "args": ["--checkupdate"]},
    ])
    missing, broken, not_modified, redirected, untrusted, no_sums, not_json, oversized = r
    for step, status in ((missing, 404), (broken, 500), (not_modified, 304)):
        assert step["rc"] == 1 and step["err"] == FEED_ERROR.format(status) + "\r\n", step
        assert _lines(step) == HEAD, step

    # Redirects are WinHTTP's to follow.
    assert redirected["rc"] == 0 and _lines(redirected)[-1] == "Result     : up to date", redirected
    assert [q["path"] for q in redirected["requests"]] == [FEED, "/moved"], redirected

    # A certificate from a CA nobody trusts ends the exchange before any request is sent.
    assert untrusted["rc"] == 1, untrusted
    assert untrusted["err"].startswith("Update check failed: WinHttpSendRequest failed (Win32 error "), untrusted
    assert untrusted["requests"] == [], untrusted

    assert no_sums["rc"] == 10 and "NOT PUBLISHED" in _lines(no_sums)[5], no_sums
    assert (" - WARNING - Could not read the checksum file: HTTP 404 from api.github.com/dl/SHA256SUMS\r\n"
            in no_sums["log"]), no_sums

    assert not_json["rc"] == 1 and not_json["err"].startswith("Update check failed: "), not_json
    assert oversized["rc"] == 1, oversized
    assert oversized["err"] == ("Update check failed: The response from api.github.com" + FEED +
                                " is larger than 1048576 bytes and was not accepted.\r\n"), oversized


def _app_folder(h):
    folder = os.path.join(h.scratch(), "app")
    os.makedirs(folder)
    exe = os.path.join(folder, "Tapewright.exe")
    shutil.copy2(h.exe, exe)
    return folder, exe


def test_update_refusals_keep_the_running_build(h):
    s = rh.Session(h)
    folder, exe = _app_folder(h)
    original = open(exe, "rb").read()
    r = s.run([
        {"routes": _release(h, checksum="F" * 64), "args": ["--update"], "exe": exe},
        {"routes": _release(h, x64_bytes=_tiny_pe()), "args": ["--update"], "exe": exe},
        {"routes": {FEED: rh.route(rh.feed(VERSION))}, "args": ["--update"], "exe": exe},
    ])
    mismatch, too_small, current = r
    installing = "Installing v2.3.0 over v2.2.4..."
    expected = {
        "mismatch": (mismatch, "Update Failed: The downloaded update did not match its published checksum, so it "
                               "was not installed. Your current version is untouched."),
        "too small": (too_small, "Update Failed: The update could not be installed. Your current version is "
                                 "untouched.  The downloaded file is too small to be the application."),
    }
    for name, (step, line) in expected.items():
        assert step["rc"] == 1 and _lines(step) == [installing, line], (name, step)
        assert f" - INFO - {line}\r\n" in step["log"], (name, step)
    assert " - ERROR - Checksum mismatch: expected " + "F" * 64 + ", got " + rh.sha256(original) in mismatch["log"]
    assert (current["rc"], _lines(current)) == (0, ["Already up to date (v2.2.4)."]), current
    assert os.listdir(folder) == ["Tapewright.exe"]
    assert open(exe, "rb").read() == original


def served_build(build_dir):
    """The path of an executable that differs from the one in build_dir only in its version text,
    built with -DTWR_VERSION_TEXT=v2.2.5 beside it (<build>-served; a full build the first time, a few
    files after a change). Patching the text into a copy is no substitute: the compiler folds short
    strings into instructions."""
    out = build_dir.rstrip("/") + "-served"
    toolchain = os.path.join(rh.ROOT, "cmake", "mingw-w64-x86_64.cmake")
    subprocess.run(["cmake", "-G", "Ninja", "-S", rh.ROOT, "-B", out, "-DCMAKE_TOOLCHAIN_FILE=" + toolchain,
                    "-DCMAKE_BUILD_TYPE=Release", "-DTWR_VERSION_TEXT=v2.2.5"], check=True, timeout=300,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["ninja", "-C", out, "-j", os.environ.get("TWR_JOBS", "3"), "Tapewright"], check=True,
                   timeout=1800, stdout=subprocess.DEVNULL)
    return os.path.join(out, "Tapewright.exe")


def _served_build(h):
    """The served executable: the one TWR_UPDATE_SERVED_EXE names (the Wine 10 chroot has no
    compiler and a read-only checkout, so trixie_chroot.sh builds it outside), else served_build."""
    return os.environ.get("TWR_UPDATE_SERVED_EXE") or served_build(h.build_dir)


def test_update_swaps_restarts_and_cleans_up(h):
    s = rh.Session(h)
    folder, exe = _app_folder(h)
    served_exe = _served_build(h)
    served = open(served_exe, "rb").read()
    r = s.run([{"routes": _release(h, x64=served_exe, tag="v2.2.5"), "args": ["--update"], "exe": exe,
                "timeout": 120}])[0]
    # The old process hands over and ends with 0; the new one finishes the update and prints its version.
    assert r["rc"] == 0, r
    assert _lines(r) == ["Installing v2.2.5 over v2.2.4...", "v2.2.5 (win-x64)"], r
    assert os.listdir(folder) == ["Tapewright.exe"], os.listdir(folder)
    assert open(exe, "rb").read() == served
    for line in ("INFO - Downloading https://api.github.com/dl/" + EXE_NAME, "INFO - Checksum verified.",
                 "INFO - Update staged; relaunching v2.2.5", "INFO - Update complete; previous executable removed."):
        assert f" - {line}\r\n" in r["log"], (line, r["log"])


if __name__ == "__main__":
    # trixie_chroot.sh: build the served executable for the build folder given, print its path.
    print(served_build(os.path.abspath(sys.argv[1])))
