"""The --devices report and the capture stream, against the harness's PulseAudio null sinks."""
import math
import os
import re
import struct
import subprocess
import time
import wave

ENTRY = re.compile(r"(Input|Output \(Loopback\)): (.*)\n    id: (\{[^\r\n]*\})\r\n")


def _devices(h):
    r = h.run(["--devices"])
    assert r.rc == 0, r
    assert r.err == "", r
    entries = ENTRY.findall(r.out)
    # Nothing but whole entries: every byte of the output belongs to one.
    assert "".join(f"{k}: {n}\n    id: {i}\r\n" for k, n, i in entries) == r.out, r
    return entries


def _id_of(entries, kind, name):
    ids = [i for k, n, i in entries if k == kind and n == name]
    assert len(ids) == 1, (kind, name, entries)
    return ids[0]


def test_devices_lists_capture_endpoints_then_loopback_outputs(h):
    entries = _devices(h)
    kinds = [k for k, _, _ in entries]
    assert kinds == sorted(kinds, key=lambda k: k != "Input"), entries
    for sink in h.sinks:
        assert _id_of(entries, "Input", "Monitor of " + sink).startswith("{0.0.1.")
        assert _id_of(entries, "Output (Loopback)", sink).startswith("{0.0.0.")
    # The same endpoint keeps its id from one enumeration to the next (Wine's order within a
    # data flow may change between processes; the report passes on whatever order it gets).
    again = _devices(h)
    assert sorted(again) == sorted(entries), (entries, again)


def _tone(path, seconds, amplitude=0.5, freq=1000):
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(48000)
        frames = bytearray()
        for i in range(int(48000 * seconds)):
            v = int(32767 * amplitude * math.sin(2 * math.pi * freq * i / 48000))
            frames += struct.pack("<hh", v, v)
        w.writeframes(bytes(frames))


def _probe(h, *args, timeout=60):
    return h.run(list(args), exe=h.tool("capture_probe"), timeout=timeout)


def _parse_probe(r):
    m = re.fullmatch(r"mode: (event|polling)\r\nframes: (\d+)\r\npeak: ([0-9.]+)\r\n", r.out)
    assert r.rc == 0 and m, r
    return m.group(1), int(m.group(2)), float(m.group(3))


def test_sink_monitor_captures_what_is_played_into_its_sink(h):
    entries = _devices(h)
    mon_a = _id_of(entries, "Input", "Monitor of twr_sink_a")
    mon_b = _id_of(entries, "Input", "Monitor of twr_sink_b")
    d = h.scratch()
    loud, quiet = os.path.join(d, "loud.wav"), os.path.join(d, "quiet.wav")
    _tone(loud, 20.0, amplitude=0.5)
    _tone(quiet, 20.0, amplitude=0.1, freq=440)
    players = [subprocess.Popen(["paplay", "-d", "twr_sink_a", loud], env=h.pulse_env),
               subprocess.Popen(["paplay", "-d", "twr_sink_b", quiet], env=h.pulse_env)]
    try:
        time.sleep(0.5)
        mode, frames, peak = _parse_probe(_probe(h, mon_a, "4"))
        _, frames_b, peak_b = _parse_probe(_probe(h, mon_b, "3"))
    finally:
        for p in players:
            p.kill()
            p.wait()
    # Four seconds at 48000 Hz, less the monitor's start-up latency (PulseAudio hands a new
    # record stream its first data only after a second or more on a busy machine); never more
    # than real time.
    assert 48000 * 1.5 <= frames <= 48000 * 4.2, frames
    assert 0.45 <= peak <= 0.55, peak
    assert mode in ("event", "polling")
    # Each monitor hears its own sink only: the stream reads the endpoint it was given.
    assert frames_b > 0 and 0.08 <= peak_b <= 0.12, (frames_b, peak_b)


def test_loopback_of_a_playback_endpoint_fails_with_the_capture_service_error(h):
    # Wine 8 gives loopback streams no capture service; the failure must arrive as the
    # stream's own error, with everything released (the probe exits normally).
    out_a = _id_of(_devices(h), "Output (Loopback)", "twr_sink_a")
    r = _probe(h, out_a, "1", "loopback")
    assert r.rc == 2 and r.out == "", r
    assert r.err == "error: GetService(IAudioCaptureClient) failed\r\n", r


def test_unknown_endpoint_id_is_device_not_found(h):
    r = _probe(h, "{0.0.1.00000000}.{00000000-0000-0000-0000-000000000000}", "1")
    assert r.rc == 2, r
    assert r.err == "error: Device not found: {0.0.1.00000000}.{00000000-0000-0000-0000-000000000000}\r\n", r


def _log(h):
    path = os.path.join(h.appdata, "twr_diagnostic.log")
    return open(path, "rb").read().decode("utf-8") if os.path.exists(path) else ""


def test_input_reader_queues_blocks_from_a_sink_monitor(h):
    mon_a = _id_of(_devices(h), "Input", "Monitor of twr_sink_a")
    tone = os.path.join(h.scratch(), "tone.wav")
    _tone(tone, 20.0)
    player = subprocess.Popen(["paplay", "-d", "twr_sink_a", tone], env=h.pulse_env)
    try:
        time.sleep(0.5)
        r = _probe(h, "reader", mon_a, "4")
    finally:
        player.kill()
        player.wait()
    m = re.fullmatch(r"blocks: (\d+)\r\ndropped: (\d+)\r\npeak: ([0-9.]+)\r\n", r.out)
    assert r.rc == 0 and m and r.err == "", r
    # 2048-frame blocks at 48000 Hz: about 23 a second once the monitor delivers.
    assert 10 <= int(m.group(1)) <= 95 and m.group(2) == "0", r
    assert 0.45 <= float(m.group(3)) <= 0.55, r
    log = _log(h)
    assert re.search(r" - Reader1 - INFO - Reader 1 is (event driven\.|polling every \d+ ms\.)\r\n", log), log
    assert " - Reader1 - INFO - Reader 1 thread shutting down\r\n" in log, log


def test_input_reader_reports_a_refused_loopback_and_ends(h):
    out_a = _id_of(_devices(h), "Output (Loopback)", "twr_sink_a")
    r = _probe(h, "reader", out_a, "3", "loopback")
    assert r.rc == 2 and r.err == "error: GetService(IAudioCaptureClient) failed\r\n", r
    log = _log(h)
    assert " - Reader1 - ERROR - Reader 1 error: GetService(IAudioCaptureClient) failed\r\n" in log, log
    assert " - Reader1 - INFO - Reader 1 thread shutting down\r\n" in log, log
