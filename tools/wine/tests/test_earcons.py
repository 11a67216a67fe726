"""Earcon synthesis gives the same samples in the Windows build as in the native build."""
import os
import subprocess

ALONE = ("test_catalogue_render_time",)  # a benchmark
MEASURE = ("test_catalogue_render_time",)


def _lines(text):
    return [line for line in text.splitlines() if line]


def test_windows_and_native_earcons_identical(h):
    native = os.path.join(os.environ.get("TWR_NATIVE_BUILD", ""), "earcon_dump_native")
    if not os.path.isfile(native):
        raise h.Skip("no native build with earcon_dump_native at " + native)
    r = h.run([], exe=h.tool("earcon_dump"), timeout=180)
    assert r.rc == 0, r
    win = _lines(r.out)
    nat = _lines(subprocess.run([native], check=True, capture_output=True, text=True, timeout=300).stdout)
    assert len(win) == 66, win
    assert win[0].split("\t")[:2] == ["None", "0"], win[0]
    for w, n in zip(win, nat):
        assert w == n, f"Windows: {w!r}\nnative:  {n!r}"
    assert len(win) == len(nat), (len(win), len(nat))


def test_earcons_identical_to_the_x64_builds(h):
    # Two instruction sets and two toolchains (GCC with libstdc++, clang with libc++): every cue's
    # sample count and digest must still agree with the x64 build's, run here under the host's Wine.
    if h.arch == "x64":
        raise h.Skip("the x64 build is the reference; this compares another build with it")
    x64 = os.path.join(os.environ.get("TWR_X64_BUILD", ""), "earcon_dump.exe")
    if not os.path.isfile(x64) or not os.path.isfile("/usr/bin/wine"):
        raise h.Skip("no x64 build (TWR_X64_BUILD) or no host Wine to run its earcon_dump.exe")
    env = dict(os.environ, WINEPREFIX=os.path.join(h.scratch(), "x64-prefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d", DISPLAY="")
    ref = subprocess.run(["/usr/bin/wine", x64], env=env, capture_output=True, text=True, timeout=300)
    subprocess.run(["/usr/bin/wineserver", "-k"], env=env, capture_output=True, timeout=60)
    assert ref.returncode == 0, ref
    r = h.run([], exe=h.tool("earcon_dump"), timeout=180)
    assert r.rc == 0, r
    mine, theirs = _lines(r.out), _lines(ref.stdout)
    assert len(mine) == len(theirs) == 66, (len(mine), len(theirs))
    for m, t in zip(mine, theirs):
        assert m == t, f"{h.suffix}: {m!r}\nwin-x64: {t!r}"


def test_sounds_report(h):
    r = h.run(["--sounds"], timeout=180)
    assert r.rc == 0, r
    lines = r.lines()
    assert len(lines) == 69 and lines[-2:] == ["", "66 sounds."], lines
    assert lines[:3] == ["SOUND                   DURATION     PEAK", "None                           -        -",
                         "Rising Sweep                200ms    32766"], lines[:3]


def test_catalogue_render_time(h):
    # The figure is printed for the record; machines differ too much for it to decide a pass.
    r = h.run(["--time", "20"], exe=h.tool("earcon_dump"), timeout=180)
    assert r.rc == 0, r
    line = _lines(r.out)[-1]
    print("Windows build under Wine: " + line)
    assert line.startswith("render: min ") and ", 1052253 samples, " in line, line
