"""Cue playback through the waveform output, recorded from the default sink's monitor."""
import os
import subprocess
import time

import numpy as np

RATE = 48000
SINK = "twr_sink_a"


def _grown(path, size, rec, timeout=30.0):
    """Waits until the recording in path holds at least size bytes."""
    deadline = time.time() + timeout
    while os.path.getsize(path) < size:
        assert time.time() < deadline and rec.poll() is None, ("parec wrote %d of %d bytes" % (os.path.getsize(path), size))
        time.sleep(0.05)


def _record(h, args):
    raw = os.path.join(h.scratch(), "rec.raw")
    with open(raw, "wb") as f:
        rec = subprocess.Popen(["parec", "-d", SINK + ".monitor", "--raw", "--format=s16le", f"--rate={RATE}",
                                "--channels=1", "--latency-msec=20"], stdout=f, env=h.pulse_env)
        try:
            # A null sink's monitor delivers its first audio only after a while on a busy machine:
            # play only once the recording is really running.
            _grown(raw, RATE * 2 // 5, rec)
            r = h.run(args, exe=h.tool("play_cue"), env={"PULSE_SINK": SINK})
            # The cue's tail is still on its way through the sink when the player ends.
            _grown(raw, os.path.getsize(raw) + RATE * 2 // 2, rec)
        finally:
            rec.terminate()
            rec.wait(timeout=5)
    assert r.rc == 0, r
    return np.fromfile(raw, dtype="<i2").astype(np.float64)


def _active(x, floor=300.0):
    """The stretch from the first to the last sample above a level relative to the peak."""
    peak = np.max(np.abs(x)) if len(x) else 0.0
    if peak < floor:
        return None, peak
    idx = np.nonzero(np.abs(x) > max(floor, 0.1 * peak))[0]
    return x[idx[0]:idx[-1] + 1], peak


def _spectrum(x):
    w = x * np.hanning(len(x))
    n = 1 << int(np.ceil(np.log2(len(w) * 4)))
    mag = np.abs(np.fft.rfft(w, n))
    return np.fft.rfftfreq(n, 1.0 / RATE), mag


def _dominant(x):
    freqs, mag = _spectrum(x)
    return freqs[np.argmax(mag)]


def test_cue_duration_and_pitch(h):
    # cue, duration in ms, dominant frequency in Hz
    for name, ms, hz in (("Low Double Beep", 200, 400.0), ("High Double Beep", 200, 800.0), ("Short Blip", 60, 1000.0)):
        # The emulated sound stack now and then stretches a buffer with a dropout (mostly the
        # first sound after its start); a fault of the program would show in every take.
        takes = []
        for _ in range(3):
            seg, peak = _active(_record(h, [name]))
            if seg is None:
                takes.append(("silent", peak))
                continue
            got_ms, got_hz = len(seg) * 1000.0 / RATE, _dominant(seg)
            takes.append((got_ms, got_hz))
            if abs(got_ms - ms) <= 25 and abs(got_hz - hz) <= 15:
                break
        else:
            raise AssertionError((name, ms, hz, takes))


def test_rising_sweep_rises(h):
    seg, _ = _active(_record(h, ["Rising Sweep"]))
    assert seg is not None
    third = len(seg) // 3
    low, high = _dominant(seg[:third]), _dominant(seg[-third:])
    assert 420 <= low <= 640 and 680 <= high <= 900 and high > low, (low, high)


def test_volume_scales_and_silences(h):
    full = np.max(np.abs(_record(h, ["Low Double Beep", "100"])))
    assert full > 1000, full
    # Volume 0, a negative volume and "None" sound nothing; above 100 plays at full level.
    silent = 50 / full
    for args, low, high in ((["Low Double Beep", "50"], 0.42, 0.58), (["Low Double Beep", "250"], 0.9, 1.1),
                            (["Low Double Beep", "0"], 0, silent), (["Low Double Beep", "-5"], 0, silent),
                            (["None"], 0, silent)):
        level = np.max(np.abs(_record(h, args))) / full
        assert low <= level <= high, (args, level, full)


def test_two_cues_overlap(h):
    # Both are started at once on their own handles; neither waits for the other.
    seg, _ = _active(_record(h, ["Low Double Beep", "High Double Beep"]))
    assert seg is not None
    got_ms = len(seg) * 1000.0 / RATE
    assert got_ms < 300, got_ms  # overlapping, not one after the other (400 ms)
    freqs, mag = _spectrum(seg)
    def level(hz):
        band = (freqs > hz - 20) & (freqs < hz + 20)
        return np.max(mag[band])
    assert level(400) > 0.3 * level(800) and level(800) > 0.3 * level(400), (level(400), level(800))


def test_find_device(h):
    # One process: Wine numbers the output devices afresh in each, in an order of its own.
    r = h.run(["--find", "no such device anywhere", "", "TWR_SINK_A", "twr_sink_b", "Twr_Sink_"],
              exe=h.tool("play_cue"))
    assert r.rc == 0, r
    none, empty, a, b, both = (int(x) for x in r.lines())
    assert none == -1 and empty == 0, (none, empty)
    # Case is ignored, and of two devices that match the lower number wins.
    assert a >= 0 and b >= 0 and a != b, (a, b)
    assert both == min(a, b), (a, b, both)
