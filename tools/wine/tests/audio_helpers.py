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


def tone_file(path, seconds, freq, amplitude):
    t = np.arange(int(48000 * seconds)) / 48000.0
    v = (amplitude * 32767 * np.sin(2 * np.pi * freq * t)).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(48000)
        w.writeframes(np.repeat(v, 2).tobytes())


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
