"""Shared by the recording-road Wine tests: the main window's settings, its buttons and lists as
the driver reads them, the spoken log and the log's notifications as witnesses, low-latency tones
into the null sinks, and readers of the recordings that are not ours (sox, ffprobe, numpy)."""
import glob
import json
import os
import re
import subprocess
import time

import numpy as np

from audio_helpers import PLAYER_LATENCY_MS, playing, sweep_file, sweep_moments, sweep_stretches, tone_file
from ui_helpers import screenshot

TITLE = "Tapewright"
EXIT, SETTINGS, START, PAUSE, DASHBOARD, STATS = 3001, 3002, 3003, 3004, 3005, 3006
IDLE = [("E&xit", True), ("Se&ttings", True), ("&Start Recording", True), ("&Pause", False)]
RECORDING = [("E&xit", True), ("Se&ttings", False), ("S&top Recording", True), ("&Pause", True)]
PAUSED = [("E&xit", True), ("Se&ttings", False), ("S&top Recording", True), ("R&esume", True)]


def spoken(h):
    if not os.path.exists(h.standin_log):
        return []
    return open(h.standin_log, encoding="utf-8").read().splitlines()


def wait(what, check, timeout=30.0, step=0.1):
    end = time.time() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.time() >= end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(step)


def said_in_order(h, texts, timeout=30.0):
    """Waits until the texts were spoken in this order (other texts may come between)."""
    def seen():
        i = 0
        for line in spoken(h):
            if i < len(texts) and line == texts[i]:
                i += 1
        return i == len(texts)
    try:
        wait(" then ".join(texts), seen, timeout)
    except AssertionError:
        raise AssertionError("spoken so far: %r" % spoken(h))


def notifications(h):
    """(kind, title, text) of every notification the log recorded, in order."""
    out = []
    for line in h.log_text().splitlines():
        head = " - INFO - Notification ("
        if head in line:
            rest = line.split(head, 1)[1]
            kind, rest = rest.split("): ", 1)
            title, text = rest.split(" - ", 1)
            out.append((int(kind), title, text))
    return out


def write_settings(h, **values):
    os.makedirs(h.appdata, exist_ok=True)
    data = {"check_updates_startup": False, "notify_start_stop": True, "confirm_exit": False}
    data.update(values)
    with open(os.path.join(h.appdata, "recorder_config.json"), "w", encoding="utf-8") as f:
        json.dump(data, f)


def window_of(h, d, proc, timeout=30000):
    try:
        return d.find(TITLE, timeout=timeout)
    except AssertionError:
        err = b""
        if proc.poll() is not None:
            err = proc.communicate()[1]
        raise AssertionError("no main window (exit %s): %r\n%s" % (proc.poll(), err[-2000:], h.log_text()[-3000:]))


def start_recording(h, d, proc):
    """Waits for proc's main window, starts recording with Alt+S as a user does, and waits until
    "Recording started" is spoken; returns the window."""
    window = window_of(h, d, proc)
    d.key(window, "Alt+S")
    said_in_order(h, ["Recording started"])
    return window


def buttons(d, window):
    by_id = {c["id"]: c for c in d.controls(window)}
    return [(by_id[i]["text"], by_id[i]["enabled"]) for i in (EXIT, SETTINGS, START, PAUSE)]


def lines(d, window, list_id):
    return d("info", hwnd=window, id=list_id)["items"]


def recorded(d, window):
    """Whole seconds of audio the statistics line says are in the file (0 before its first line)."""
    stats = lines(d, window, STATS)
    m = re.match(r"^Recording time, (?:(\d+) minutes, )?(\d+) seconds\.", stats[0]) if stats else None
    return int(m.group(1) or 0) * 60 + int(m.group(2)) if m else 0


def wait_recorded(d, window, seconds, timeout=30.0):
    """Waits until the file holds at least this much audio, the recording's own clock: wall time
    on a busy machine may pass before the inputs deliver. Returns what the line says then."""
    return wait("%g s in the file" % seconds, lambda: recorded(d, window) >= seconds and recorded(d, window),
                timeout, 0.2)


def visible(d, window, list_id):
    return d("info", hwnd=window, id=list_id)["visible"]


def focus_id(d, window):
    return d.focus(window).get("id")


def shot(h, d, name):
    path = screenshot(h, d, name)
    print("    screenshot: " + path)


def close_all(*procs):
    for p in procs:
        if p is not None and p.poll() is None:
            p.kill()
            p.wait()


def play(h, sink, seconds, freq=440, amplitude=0.5, lead=2.0):
    """A tone into the sink at low latency, started `lead` seconds before the caller captures,
    so the monitor delivers from the first moment. The program's cues play on the default output,
    the first sink: a recording made from the second sink's monitor holds the tone alone."""
    path = os.path.join(h.scratch(), "%s-%d.wav" % (sink, freq))
    tone_file(path, seconds, freq, amplitude)
    p = subprocess.Popen(["paplay", f"--latency-msec={PLAYER_LATENCY_MS}", "-d", sink, path], env=h.pulse_env)
    playing(h, [p])
    time.sleep(lead)
    return p


def wavs(folder):
    return sorted(glob.glob(os.path.join(folder, "**", "*.wav"), recursive=True))


def probe(path):
    """What sox and ffprobe read in the file: rate, channels, bits, frames; both must agree."""
    r = subprocess.run(["soxi", path], capture_output=True, text=True)
    assert r.returncode == 0, (path, r.stderr)
    rate = int(subprocess.run(["soxi", "-r", path], capture_output=True, text=True).stdout)
    channels = int(subprocess.run(["soxi", "-c", path], capture_output=True, text=True).stdout)
    bits = int(subprocess.run(["soxi", "-b", path], capture_output=True, text=True).stdout)
    frames = int(subprocess.run(["soxi", "-s", path], capture_output=True, text=True).stdout)
    f = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                        "stream=codec_name,sample_rate,channels,bits_per_sample,duration_ts", "-of", "json", path],
                       capture_output=True, text=True)
    assert f.returncode == 0 and f.stderr == "", (path, f.stderr)
    s = json.loads(f.stdout)["streams"][0]
    assert (int(s["sample_rate"]), s["channels"], s["bits_per_sample"]) == (rate, channels, bits), (s, rate)
    assert s["codec_name"] == "pcm_s%dle" % bits, s
    return {"rate": rate, "channels": channels, "bits": bits, "frames": frames}


def samples(path):
    """The audio as floats, frames x channels, decoded by sox."""
    info = probe(path)
    raw = subprocess.run(["sox", path, "-t", "raw", "-e", "floating-point", "-b", "32", "-"],
                         capture_output=True, check=True).stdout
    return np.frombuffer(raw, dtype="<f4").reshape(-1, info["channels"]), info


def tone_of(x, rate):
    """(frequency of the strongest bin, RMS) of the loud part of one channel; (0, 0) when silent."""
    loud = np.abs(x) > 0.05
    if loud.sum() < rate // 10:
        return 0.0, 0.0
    first, last = np.argmax(loud), len(x) - np.argmax(loud[::-1])
    part = x[first:last]
    spec = np.abs(np.fft.rfft(part * np.hanning(len(part))))
    return float(np.argmax(spec) * rate / len(part)), float(np.sqrt(np.mean(part ** 2)))


def silent_runs(x, rate, least=0.2):
    """Runs of digital silence of at least `least` seconds: [(start s, length s)]."""
    quiet = np.concatenate(([False], np.abs(x) < 1e-6, [False]))
    edges = np.flatnonzero(np.diff(quiet.astype(np.int8)))
    runs = [(a / rate, (b - a) / rate) for a, b in zip(edges[::2], edges[1::2])]
    return [r for r in runs if r[1] >= least]


def play_sweep(h, sink, seconds, lead=2.0):
    """As play, with the linear sweep of audio_helpers instead of a tone, so the recording tells
    which moments of the source it kept."""
    path = os.path.join(h.scratch(), "%s-sweep.wav" % sink)
    sweep_file(path, seconds)
    p = subprocess.Popen(["paplay", f"--latency-msec={PLAYER_LATENCY_MS}", "-d", sink, path], env=h.pulse_env)
    playing(h, [p])
    time.sleep(lead)
    return p


def sweep_parts(paths):
    """What a recording in parts holds of a sweep played into its input: (what probe reads in each
    part, the stretches of the parts joined in order as sweep_stretches gives them). Every part
    must read whole."""
    infos, joined = [], []
    for path in paths:
        x, info = samples(path)
        assert info["frames"] > 0 and len(x) == info["frames"], (path, len(x), info)
        infos.append(info)
        joined.append(x[:, 0])
    return infos, sweep_stretches(sweep_moments(np.concatenate(joined), infos[0]["rate"])) if joined else []
