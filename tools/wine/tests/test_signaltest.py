"""--signaltest: the skip text without a matching cable, and the whole loop-back path where a
loopback endpoint named after the cable can really be captured (Wine 10 on)."""
import glob
import os
import re

from audio_helpers import devices

REPORT = "twr_signaltest_report.txt"
LOOPBACK = "Output (Loopback)"


def _temp_dirs(h):
    # %TEMP% as the program sees it may be Wine's own C:\users\<user>\Temp rather than h.temp.
    return [h.temp] + glob.glob(os.path.join(h.prefix, "drive_c", "users", "*", "Temp"))


def _reports(h):
    return [p for t in _temp_dirs(h) for p in [os.path.join(t, REPORT)] if os.path.exists(p)]


def _scratch_left(h):
    return [d for t in _temp_dirs(h) for d in glob.glob(os.path.join(t, "twr_signaltest_*")) if os.path.isdir(d)]


def test_signaltest_skips_without_a_matching_cable(h):
    for p in _reports(h):
        os.remove(p)
    for args, cable in ((["--signaltest"], "Line 1"), (["--signaltest", "--cable", "No Such Cable 7"], "No Such Cable 7"),
                        (["--signaltest", "--cable", "x", "--cable"], "x")):
        r = h.run(args, timeout=60)
        assert r.rc == 0 and r.err == "", r
        assert r.lines() == [f'Skipped: no virtual cable matching "{cable}" found.',
                             "  loopback endpoint: not found",
                             "  waveOut device   : not found",
                             "",
                             "This test needs a virtual audio cable so nothing is played aloud."], r.out
        assert _reports(h) == [], "a skipped run writes no report"
        assert _scratch_left(h) == [], "scratch folder left behind"


def test_signaltest_records_a_tone_through_a_loopback_cable(h):
    cable = h.sinks[0]
    if not any(k == LOOPBACK and cable.lower() in n.lower() for k, n, _ in devices(h)):
        raise h.Skip(f"no loopback endpoint whose name holds {cable!r}")
    # Wine 8 lists loopback endpoints but refuses to capture them; the Wine 10 run can.
    if getattr(h, "wine_version", (0, 0)) < (10, 0):
        raise h.Skip("loopback capture needs Wine 10")
    for p in _reports(h):
        os.remove(p)
    r = h.run(["--signaltest", "--cable", cable], timeout=90)
    lines = r.lines()
    print("\n".join(line for line in lines if line.startswith(("Read back", "Peak amplitude", "Goertzel"))))
    assert r.rc == 0 and "10 signal checks passed, 0 failed." in lines, r.out
    assert lines[0].startswith("Capturing : " + LOOPBACK + ": ") and cable in lines[0], lines
    assert re.match(r'^Playing   : waveOut device \d+ \("' + re.escape(cable) + r'"\)$', lines[1]), lines
    assert lines[2] == "Tone      : 1000 Hz, amplitude 0.5, both channels", lines
    reports = _reports(h)
    assert len(reports) == 1, reports
    with open(reports[0], "rb") as f:
        assert f.read() == r.out.encode("utf-8"), "the report is the printed text"
    assert _scratch_left(h) == [], "scratch folder left behind"
