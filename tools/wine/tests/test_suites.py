"""The built-in test suites on the real executable: --selftest, --uitest and --timing."""
import glob
import os
import re

SELFTEST_SECTIONS = ["JSON", "Config", "Duration text", "Percent and file naming", "Channel routing",
                     "Duration units", "Notification text", "RF64 writer", "Crash repair", "Sound cues",
                     "Updater", "Dialog templates"]
DEFAULT_CUES = ["Rising Sweep", "Falling Sweep", "Low Double Beep", "High Double Beep"]
SUMMARY = re.compile(r"^(\d+) checks passed, (\d+) failed\.$")


def _selftest(h, args=()):
    r = h.run(["--selftest", *args], timeout=180)
    lines = r.lines()
    report = os.path.join(h.temp, "twr_selftest_report.txt")
    with open(report, "rb") as f:
        data = f.read()
    assert data == r.out.encode("utf-8"), "the report file is the printed text, UTF-8 without BOM, CR LF"
    assert not glob.glob(os.path.join(h.temp, "twr_selftest_*[0-9a-f]")), "scratch folder left behind"
    m = SUMMARY.match(lines[len(SELFTEST_SECTIONS) + 1])
    assert m, r
    return r, lines, int(m.group(1)), lines[len(SELFTEST_SECTIONS) + 2:]


def test_selftest_passes_every_check(h):
    r, lines, passed, failures = _selftest(h)
    assert lines[:len(SELFTEST_SECTIONS) + 1] == ["-- " + s for s in SELFTEST_SECTIONS] + [""], lines
    assert failures == [] and r.rc == 0, r.out
    print(f"--selftest: {passed} checks passed, 0 failed")


def test_selftest_compares_against_a_reference_folder(h):
    refs = h.scratch()
    dump = h.run([h.winpath(refs), *DEFAULT_CUES], exe=h.tool("cue_reference_dump"))
    assert dump.rc == 0, dump
    _, _, plain, _ = _selftest(h)
    r, _, passed, failures = _selftest(h, [h.winpath(refs)])
    assert failures == [] and r.rc == 0, r.out
    assert passed == plain + 2 * len(DEFAULT_CUES), (plain, passed)

    os.remove(os.path.join(refs, "Low Double Beep.wav"))
    r, _, passed, failures = _selftest(h, [h.winpath(refs)])
    assert failures == ["  FAIL: reference Low Double Beep.wav not found"] and r.rc == 1, r.out
    assert passed == plain + 2 * (len(DEFAULT_CUES) - 1)
