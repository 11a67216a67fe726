"""The built-in test suites on the real executable: --selftest, --uitest and --timing."""
import glob
import os
import re

WINDOW_TEST = True

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


TIMED = re.compile(r"^  (.{42}) (?:([ \d,]{5,}\.\d) ms|FAILED: .+)$")


def test_timing_prints_every_phase(h):
    r = h.run(["--timing"], timeout=180)
    assert r.rc == 0, r
    lines = r.lines()
    with open(os.path.join(h.temp, "twr_timing_report.txt"), "rb") as f:
        assert f.read() == r.out.encode("utf-8")
    startup = ["Updater.CleanupOnStartup", "Win32.EnableDpiAwareness + common controls",
               "Speech.Init (load + unpack NVDA client)", "Config load", "WASAPI device enumeration", None,
               "Sound library, render every cue", None]
    assert lines[0] == "STARTUP PHASES", lines
    figures = {}
    for line, label in zip(lines[1:9], startup):
        if label is None:
            assert re.fullmatch(r"      \((\d+) (endpoints|sounds)\)", line), line
            continue
        m = TIMED.match(line)
        assert m and m.group(1).rstrip() == label, line
        figures[label] = m.group(2) or "FAILED"
    assert lines[8] == "      (66 sounds)", lines
    m = re.fullmatch(r"  (.{42}) ([ \d,]{5,}\.\d) ms   <-- network", lines[9])
    assert m and m.group(1).rstrip() == "Updater.Check (startup update check)", lines[9]
    figures["Updater.Check"] = m.group(2)
    assert re.fullmatch(r"      \((v[\d.]+ available|up to date|failed: .+)\)", lines[10]), lines[10]
    assert lines[11:13] == ["", "SHUTDOWN PHASES"], lines
    for line, label in zip(lines[13:15], ["DriveMonitor.Stop", "AutoResumeWatcher.Stop"]):
        m = TIMED.match(line)
        assert m and m.group(1).rstrip() == label, line
        figures[label] = m.group(2) or "FAILED"
    assert lines[15:] == ["", "Anything above roughly 100 ms is felt as a delay."], lines
    print("--timing figures (ms): " + "; ".join(f"{k}={v.strip()}" for k, v in figures.items()))
    print("--timing " + lines[6].strip() + " " + lines[10].strip())


UI_HEADERS = ["-- Recording Settings", "-- Notification Settings", "-- Configure Sounds",
              "-- Configure Audio Channels", "-- Repair / Update / Confirm", "-- Read-only text lists"]
UI_SUMMARY = re.compile(r"^(\d+) UI checks passed, (\d+) failed\.$")


def _uitest(h, env=None):
    r = h.run(["--uitest"], timeout=180, env=env)
    lines = r.lines()
    with open(os.path.join(h.temp, "twr_uitest_report.txt"), "rb") as f:
        assert f.read() == r.out.encode("utf-8")
    assert not glob.glob(os.path.join(h.temp, "twr_uitest_*.json")), "temporary settings left behind"
    note = [l for l in lines if l.startswith("   (device enumeration unavailable: ")]
    body = [l for l in lines if l not in note]
    assert body[:len(UI_HEADERS) + 1] == UI_HEADERS + [""], lines
    m = UI_SUMMARY.match(body[len(UI_HEADERS) + 1])
    assert m, lines
    assert m.group(2) == "0" and r.rc == 0, r.out
    return int(m.group(1)), note


def _endpoint_count(h, env=None):
    r = h.run(["--devices"], env=env)
    return r.rc, r.out.count("\n")


def test_uitest_passes_with_endpoints(h):
    rc, lines = _endpoint_count(h)
    assert rc == 0 and lines > 1
    passed, note = _uitest(h)
    assert note == []
    print(f"--uitest: {passed} UI checks passed, 0 failed (with the null sinks)")


def test_uitest_passes_when_enumeration_finds_nothing(h):
    # Without its PulseAudio server Wine's audio driver offers no endpoint at all.
    env = {"PULSE_SERVER": "unix:/nonexistent/twr-no-pulse"}
    assert _endpoint_count(h, env) == (0, 0), "--devices still lists endpoints"
    passed, note = _uitest(h, env)
    print(f"--uitest: {passed} UI checks passed, 0 failed (no endpoints) {note}")
