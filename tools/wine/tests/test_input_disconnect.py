"""An input whose capture fails mid-recording, in the real window: one input stops the recording;
of two, the lost one is named and the recording goes on with the other when the settings say so.

Under Wine a capture stream that dies (its PulseAudio source-output killed, the sink unloaded)
reports no failure while the reader is keeping up: GetNextPacketSize reads 0 for ever. Only packets
Wine had queued before the stream died make GetBuffer fail. So the reader thread is held (suspended
from outside) while its stream is killed, then released: its next read fails for real, exactly as
a device unplugged under Windows."""
import os
import re
import socket
import subprocess
import time

import numpy as np

from audio_helpers import monitor_ids
from recording_helpers import (IDLE, RECORDING, buttons, close_all, notifications, play, recorded, said_in_order,
                               samples, shot, spoken, start_recording, tone_of, wait, wait_recorded, wavs,
                               write_settings)
from ui_helpers import Driver

WINDOW_TEST = True

LOST = "CRITICAL ERROR: Microphone %d was unplugged or disabled during recording!\r\n\r\n"
GOES_ON = "However, because 'Continue recording' is enabled, the recording will continue using the remaining input."
STOPS = "Recording is stopping. File integrity has not yet been confirmed."
RATE = 48000


def _cli(h, command):
    """One command to the PulseAudio daemon's command line (pactl has no kill commands)."""
    path = os.path.join(h.work, "pulse-cli")
    if not os.path.exists(path):
        subprocess.run(["pactl", "load-module", "module-cli-protocol-unix", "socket=" + path], env=h.pulse_env,
                       check=True, capture_output=True)
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(path)
        s.settimeout(0.5)
        s.sendall((command + "\n").encode())
        out = b""
        try:
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    break
                out += chunk
        except socket.timeout:
            pass
    assert b"No " not in out and b"failed" not in out.lower(), out


def _streams_of(h, sink):
    """The indexes of the program's capture streams reading this sink's monitor."""
    sources = subprocess.run(["pactl", "list", "short", "sources"], env=h.pulse_env, capture_output=True, text=True,
                             check=True).stdout
    source = [line.split("\t")[0] for line in sources.splitlines() if line.split("\t")[1] == sink + ".monitor"][0]
    out = subprocess.run(["pactl", "list", "source-outputs"], env=h.pulse_env, capture_output=True, text=True,
                         check=True).stdout
    found = [int(b.split("\n")[0]) for b in out.split("Source Output #")[1:]
             if re.search(r"\bSource: %s\n" % source, b) and 'application.name = "Tapewright.exe"' in b]
    return found


def _hold(h, reader, how):
    r = h.run(["Tapewright.exe", reader, how], exe=h.tool("thread_hold"))
    assert r.rc == 0, r


def _fail_input(h, number, sink):
    """Kills input `number`'s stream while its reader is held, then lets the reader read again."""
    streams = _streams_of(h, sink)
    assert len(streams) == 1, streams
    _hold(h, "Reader%d" % number, "suspend")
    try:
        time.sleep(0.5)  # Wine queues packets meanwhile
        _cli(h, "kill-source-output %d" % streams[0])
        wait("the stream's end", lambda: not _streams_of(h, sink), 30)
    finally:
        _hold(h, "Reader%d" % number, "resume")
    return time.time()


def _case(h, d, label, settings, fail, sink, text, kind, goes_on):
    folder = h.scratch()
    write_settings(h, save_folder=h.winpath(folder), **settings)
    proc = h.popen([])
    try:
        window = start_recording(h, d, proc)
        wait_recorded(d, window, 3)
        failed = _fail_input(h, fail, sink)
        box = d.msgbox("Microphone Disconnected", timeout=30000)
        print("    %s: box after %.1f s" % (label, time.time() - failed))
        assert (box["text"], box["icon"]) == (LOST % fail + text, "red"), box
        shot(h, d, "disconnect-" + label)
        if goes_on:
            assert buttons(d, window) == RECORDING, buttons(d, window)
        d.key(box["hwnd"], "Enter")
        d.back_to(window, box["hwnd"])
        if goes_on:
            wait_recorded(d, window, recorded(d, window) + 2)
            assert buttons(d, window) == RECORDING, buttons(d, window)
            d.key(window, "Alt+T")
        said_in_order(h, ["Recording started", "Recording stopped"], 30)
        result = wait("the result", lambda: spoken(h)[-1] if spoken(h)[-1].startswith("Recording saved") else None,
                      30)
        assert buttons(d, window) == IDLE, buttons(d, window)
        print("    %s: spoken %r" % (label, spoken(h)))
        d.key(window, "Alt+X")
        assert proc.wait(timeout=60) == 0
    finally:
        close_all(proc)
    notes = notifications(h)
    assert (kind, "Microphone Disconnected", "Microphone %d disconnected. %s" % (fail, "Continuing on the remaining "
            "input." if goes_on else "Recording stopped.")) in notes, notes
    assert "Mic %d thread died unexpectedly" % fail in h.log_text(), h.log_text()[-2000:]
    parts = wavs(folder)
    assert len(parts) == 1, parts
    x, info = samples(parts[0])
    print("    %s: %s, %.1f s on disk" % (label, result, info["frames"] / RATE))
    h.reset_appdata()
    return x


def _unattended(h, d, mic, sink):
    folder = h.scratch()
    write_settings(h, save_folder=h.winpath(folder), device_id=mic, auto_resume_unattended=True)
    proc = h.popen([])
    try:
        window = start_recording(h, d, proc)
        wait_recorded(d, window, 2)
        _fail_input(h, 1, sink)
        said_in_order(h, ["Recording started", "Waiting for microphone to reconnect before resuming...",
                          "Microphone found. Recording again after error.", "Recording started"], 30)
        assert not [w for w in d("windows", pid=d("find", caption="Tapewright")["pid"])["windows"]
                    if w["text"] == "Microphone Disconnected"]
        assert buttons(d, window) == RECORDING, buttons(d, window)
        wait_recorded(d, window, 1)
        d.key(window, "Alt+T")
        wait("the result", lambda: spoken(h)[-1].startswith("Recording saved"), 30)
        print("    unattended: spoken %r" % spoken(h))
        d.key(window, "Alt+X")
        assert proc.wait(timeout=60) == 0
    finally:
        close_all(proc)
    assert (2, "Microphone Disconnected", "Microphone 1 disconnected. Recording stopped.") in notifications(h)
    parts = wavs(folder)
    assert len(parts) == 2 and len(set(os.path.basename(f) for f in parts)) == 2, parts
    for f in parts:
        x, _ = samples(f)
        assert abs(tone_of(x[:, 0], RATE)[0] - 440) < 2, f


def test_a_failed_input_stops_the_recording_or_with_two_and_continue_set_the_other_goes_on(h):
    ids = monitor_ids(h)
    a, b = h.sinks
    players = [play(h, a, 90, 660, 0.3, lead=0), play(h, b, 90, 440, 0.3)]
    try:
        with Driver(h) as d:
            # One input: the recording stops; the box tells the file is still being checked.
            x = _case(h, d, "one-input", dict(device_id=ids[1]), 1, b, STOPS, 2, False)
            freq, _ = tone_of(x[:, 0], RATE)
            assert abs(freq - 440) < 2 and len(x) > 2 * RATE, (freq, len(x))

            # Two inputs, continue set: input 1 (660 Hz) goes, input 2 (440 Hz) is recorded on.
            x = _case(h, d, "two-continue", dict(device_id=ids[0], device2_id=ids[1], continue_on_mic_disconnect=True),
                      1, a, GOES_ON, 1, True)
            late = x[-int(1.5 * RATE):, 0]
            assert abs(tone_of(late, RATE)[0] - 440) < 2, tone_of(late, RATE)
            spec = np.abs(np.fft.rfft(late))
            assert spec[int(660 * len(late) / RATE)] < 0.05 * spec.max(), "input 1 still heard after its loss"

            # Two inputs, continue not set: losing input 2 stops the recording.
            x = _case(h, d, "two-stop", dict(device_id=ids[0], device2_id=ids[1]), 2, b, STOPS, 2, False)
            assert len(x) > 2 * RATE, len(x)

            # Unattended: no box; the wait is spoken, and as the input is still listed the recording
            # starts again in a new file.
            _unattended(h, d, ids[1], b)
    finally:
        close_all(*players)
