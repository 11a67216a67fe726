"""--signaltest: the skip text without a matching cable, and the whole loop-back path where a
loopback endpoint named after the cable can really be captured (Wine 10 on)."""
import glob
import os
import re
import subprocess
import wave

from audio_helpers import devices

# Wine 10's waveOut damages its own tone in the sink when the machine is busy.
ALONE = ("test_signaltest_records_a_tone_through_a_loopback_cable",)

REPORT = "twr_signaltest_report.txt"
LOOPBACK = "Output (Loopback)"


def _temp_dirs(h):
    # %TEMP% as the program sees it may be Wine's own C:\users\<user>\Temp rather than h.temp.
    return [h.temp] + glob.glob(os.path.join(h.prefix, "drive_c", "users", "*", "Temp"))


def _reports(h):
    return [p for t in _temp_dirs(h) for p in [os.path.join(t, REPORT)] if os.path.exists(p)]


def _scratch_left(h):
    return [d for t in _temp_dirs(h) for d in glob.glob(os.path.join(t, "twr_signaltest_*")) if os.path.isdir(d)]


def _sink_faults(path):
    """What the sink itself carried while the program played its tone, read from an independent
    recording of the sink's monitor: how long the tone lasted and where it fell silent or jumped
    in phase. Wine's waveOut underruns when the machine is loaded; its gaps then show here just as
    in the program's own recording, which tells them apart from faults of the capture path."""
    import numpy as np
    with wave.open(path) as w:
        rate = w.getframerate()
        x = np.frombuffer(w.readframes(w.getnframes()), dtype=np.int16).reshape(-1, 2)[:, 0] / 32767.0
    loud = np.nonzero(np.abs(x) > 0.01)[0]
    if len(loud) == 0:
        return "the sink's monitor held no tone", True
    a, b = int(loud[0]), int(loud[-1])
    quiet = np.abs(x[a:b]) < 1e-4
    edges = np.diff(np.concatenate([[0], quiet.astype(int), [0]]))
    gaps = [int(e - s) for s, e in zip(np.nonzero(edges == 1)[0], np.nonzero(edges == -1)[0]) if e - s >= 8]
    chunk = rate // 100
    phases = [np.angle(np.sum(x[c:c + chunk] * np.exp(-2j * np.pi * 1000 * np.arange(c, c + chunk) / rate)))
              for c in range(a, b - chunk, chunk)]
    jumps = int(np.sum(np.abs(np.angle(np.exp(1j * np.diff(phases)))) > 0.2))
    held = (b - a) / rate
    text = (f"the sink's monitor held {held:.3f} s of the 4 s tone, {len(gaps)} silent gaps "
            f"(frames {gaps[:10]}) and {jumps} phase jumps between 10 ms chunks")
    return text, bool(gaps) or jumps > 0 or held < 3.9


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


def _run_once(h, cable):
    for p in _reports(h):
        os.remove(p)
    monitor = os.path.join(h.temp, "signaltest_monitor.wav")
    parec = subprocess.Popen(["parec", "-d", cable + ".monitor", "--rate=48000", "--channels=2", "--format=s16le",
                              "--file-format=wav", monitor], env=h.pulse_env)
    try:
        r = h.run(["--signaltest", "--cable", cable], timeout=90)
    finally:
        parec.terminate()
        parec.wait(timeout=10)
    print("\n".join(line for line in r.lines() if line.startswith(("Read back", "Peak amplitude", "Goertzel"))))
    sink, bad = _sink_faults(monitor)
    return r, sink, bad


def test_signaltest_records_a_tone_through_a_loopback_cable(h):
    cable = h.sinks[0]
    if not any(k == LOOPBACK and cable.lower() in n.lower() for k, n, _ in devices(h)):
        raise h.Skip(f"no loopback endpoint whose name holds {cable!r}")
    # Wine 8 lists loopback endpoints but refuses to capture them; the Wine 10 run can.
    if getattr(h, "wine_version", (0, 0)) < (10, 0):
        raise h.Skip("loopback capture needs Wine 10")
    # A run whose tone was already damaged in the sink (Wine's waveOut underrunning on a loaded
    # machine) says nothing about the capture path: it is tried again, at most three times. A
    # failure while the sink carried a clean tone fails at once.
    damaged = []
    for _ in range(3):
        r, sink, bad = _run_once(h, cable)
        print(sink)
        if r.rc == 0 or not bad:
            break
        damaged.append(sink)
    else:
        raise h.Skip("the sink itself carried a damaged tone in every try: " + "; ".join(damaged))
    lines = r.lines()
    assert r.rc == 0 and "10 signal checks passed, 0 failed." in lines, r.out + "\n" + sink
    assert lines[0].startswith("Capturing : " + LOOPBACK + ": ") and cable in lines[0], lines
    assert re.match(r'^Playing   : waveOut device \d+ \("' + re.escape(cable) + r'"\)$', lines[1]), lines
    assert lines[2] == "Tone      : 1000 Hz, amplitude 0.5, both channels", lines
    reports = _reports(h)
    assert len(reports) == 1, reports
    with open(reports[0], "rb") as f:
        assert f.read() == r.out.encode("utf-8"), "the report is the printed text"
    assert _scratch_left(h) == [], "scratch folder left behind"
