"""Shared by the Wine tests that play tones into the harness's null sinks and capture them."""
import os
import re
import subprocess
import time
import wave

import numpy as np

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


def tone_file(path, seconds, freq, amplitude):
    t = np.arange(int(48000 * seconds)) / 48000.0
    v = (amplitude * 32767 * np.sin(2 * np.pi * freq * t)).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(48000)
        w.writeframes(np.repeat(v, 2).tobytes())


def play(h, seconds, tones):
    """Starts one player per (sink, freq, amplitude); returns the processes."""
    d = h.scratch()
    players = []
    for sink, freq, amp in tones:
        path = os.path.join(d, f"{sink}.wav")
        tone_file(path, seconds, freq, amp)
        players.append(subprocess.Popen(["paplay", "-d", sink, path], env=h.pulse_env))
    time.sleep(0.5)
    return players


def stop(players):
    for p in players:
        p.kill()
        p.wait()
