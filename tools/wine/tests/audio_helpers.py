"""Shared by the Wine tests that play tones into the harness's null sinks and capture them."""
import os
import re
import subprocess
import time
import wave

import numpy as np

LOOPBACK = "Output (Loopback)"
# A null sink fed at the default latency renders about two seconds ahead, so its monitor (and a
# loopback stream, which Wine reads from that monitor) delivers its first audio a second or more
# after the capture starts. Players at a low latency that start this long before the capture keep
# the sink running in step with the clock: the first packet then arrives within tens of ms. At 20 ms
# a player starved for a moment (harnesses run side by side) left gaps in the sink itself; 100 ms
# rides that out and is still far inside the lead.
PLAYER_LATENCY_MS = 100
PLAYER_LEAD_SECONDS = 2.0

ENTRY = re.compile(r"(Input|Output \(Loopback\)): (.*)\n    id: (\{[^\r\n]*\})\r\n")


def devices(h):
    """The --devices entries as (kind, name, id); every byte of the output must belong to one."""
    r = h.run(["--devices"])
    assert r.rc == 0 and r.err == "", r
    entries = ENTRY.findall(r.out)
    assert "".join(f"{k}: {n}\n    id: {i}\r\n" for k, n, i in entries) == r.out, r
    return entries


def id_of(entries, kind, name):
    ids = [i for k, n, i in entries if k == kind and n == name]
    assert len(ids) == 1, (kind, name, entries)
    return ids[0]


def monitor_ids(h):
    entries = devices(h)
    return [id_of(entries, "Input", "Monitor of " + sink) for sink in h.sinks]


def loopback_works(h):
    """Wine 8 refuses loopback streams (no capture service); Wine 10 captures them."""
    return h.wine_version >= (10, 0)


def input_pairs(h):
    """The two-input recordings to make, as (label, id of input 1, id of input 2): both monitors,
    and where loopback works a monitor standing in for a microphone (sink b) with the loopback
    endpoint of sink a. Ids come from --devices: names and order differ between Wine versions."""
    entries = devices(h)
    a, b = h.sinks
    pairs = [("two monitors", id_of(entries, "Input", "Monitor of " + a), id_of(entries, "Input", "Monitor of " + b))]
    if loopback_works(h):
        pairs.append(("monitor and loopback", id_of(entries, "Input", "Monitor of " + b), id_of(entries, LOOPBACK, a)))
    return pairs


def _stereo_file(path, phase, amplitude):
    """A 48000 Hz 16-bit WAV file of sin(phase) on both channels."""
    v = (amplitude * 32767 * np.sin(phase)).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(48000)
        w.writeframes(np.repeat(v, 2).tobytes())


def tone_file(path, seconds, freq, amplitude):
    t = np.arange(int(48000 * seconds)) / 48000.0
    _stereo_file(path, 2 * np.pi * freq * t, amplitude)


def playing(h, players, timeout=30.0):
    """Waits until every player's stream runs on its sink (paplay connects in its own time, later
    on a busy machine), so that a lead counted from here is time the sink really plays."""
    pids = {str(p.pid) for p in players}
    end = time.time() + timeout
    while True:
        out = subprocess.run(["pactl", "list", "sink-inputs"], env=h.pulse_env, capture_output=True, text=True).stdout
        running = {m.group(1) for block in out.split("Sink Input #")[1:] if "Corked: no" in block
                   for m in [re.search(r'application\.process\.id = "(\d+)"', block)] if m}
        if pids <= running:
            return
        ended = [p.args for p in players if p.poll() is not None]
        if ended or time.time() >= end:
            raise AssertionError("players not running after %.0f s (ended: %r):\n%s" % (timeout, ended, out))
        time.sleep(0.05)


def play(h, seconds, tones):
    """Starts one low-latency player per (sink, freq, amplitude) and gives the sinks time to run
    in step; returns the processes."""
    d = h.scratch()
    players = []
    for sink, freq, amp in tones:
        path = os.path.join(d, f"{sink}.wav")
        tone_file(path, seconds, freq, amp)
        players.append(subprocess.Popen(["paplay", f"--latency-msec={PLAYER_LATENCY_MS}", "-d", sink, path],
                                        env=h.pulse_env))
    playing(h, players)
    time.sleep(PLAYER_LEAD_SECONDS)
    return players


def stop(players):
    for p in players:
        p.kill()
        p.wait()


# A linear sweep names the moment of the source that each stretch of a recording holds: its
# frequency is SWEEP_START + SWEEP_SLOPE * t at moment t, so a recording that skipped part of the
# source, or holds audio that never came from it, shows a jump in those moments.
SWEEP_START = 500.0
SWEEP_SLOPE = 200.0


def sweep_file(path, seconds, amplitude=0.5):
    t = np.arange(int(48000 * seconds)) / 48000.0
    _stereo_file(path, 2 * np.pi * (SWEEP_START * t + SWEEP_SLOPE * t * t / 2), amplitude)


def sweep_moments(x, rate, window=0.01):
    """The moment of the sweep's source (seconds) that each `window` seconds of one recorded
    channel holds; NaN where the window is silent or is no single sinusoid (a cut runs through it)."""
    n = max(8, int(rate * window))
    rows = np.asarray(x[:len(x) // n * n], dtype=np.float64).reshape(-1, n)
    mid, sides = rows[:, 1:-1], rows[:, :-2] + rows[:, 2:]
    power = (mid * mid).sum(axis=1)
    # One sinusoid whose phase advances by w per sample meets x[i-1] + x[i+1] = 2 cos(w) x[i] at
    # every sample: a least-squares cos(w) per window, and how far the window is from meeting it.
    with np.errstate(invalid="ignore", divide="ignore"):
        c = (mid * sides).sum(axis=1) / (2 * power)
        misfit = ((sides - 2 * c[:, None] * mid) ** 2).sum(axis=1) / power
    freq = np.arccos(np.clip(c, -1.0, 1.0)) * rate / (2 * np.pi)
    clean = (power / (n - 2) > 1e-4) & (misfit < 1e-4)
    return np.where(clean, (freq - SWEEP_START) / SWEEP_SLOPE, np.nan)


def sweep_stretches(moments, window=0.01, tolerance=0.01):
    """The stretches in which a recorded sweep runs on without a cut, as (where in the recording
    it starts, the source's first moment, its last moment), all in seconds. A stretch starts
    wherever the source moved on by more or less than the recording did, by over `tolerance`,
    and after more than 0.1 s without the sweep (silence put in where as much of the source was
    lost would otherwise read as no cut at all)."""
    runs = []
    for i in np.flatnonzero(~np.isnan(moments)):
        at, m = i * window, float(moments[i])
        if runs and at - runs[-1][3] <= 0.1 and abs((m - runs[-1][2]) - (at - runs[-1][3])) <= tolerance:
            runs[-1][2:] = [m, at]
        else:
            runs.append([at, m, m, at])
    # A window across a small cut can pass for clean and read a moment between the two sides: a
    # run of one or two windows is that, not audio of its own, and what it split is joined again.
    stretches = []
    for at, first, last, last_at in (r for r in runs if r[3] - r[0] >= 2 * window):
        if stretches and at - stretches[-1][3] <= 0.1 and \
                abs((first - stretches[-1][2]) - (at - stretches[-1][3])) <= tolerance:
            stretches[-1][2:] = [last, last_at]
        else:
            stretches.append([at, first, last, last_at])
    return [(at - window / 2, first - window / 2, last + window / 2) for at, first, last, _ in stretches]


def sweep_jumps(stretches):
    """How far the source moved on between each stretch and the next, beyond the recording's own
    time between them: positive where the recording skipped that much of the source, negative
    where it holds that much that is not from it."""
    out = []
    for (at0, first0, last0), (at1, first1, _) in zip(stretches, stretches[1:]):
        out.append((first1 - last0) - (at1 - (at0 + last0 - first0)))
    return out
