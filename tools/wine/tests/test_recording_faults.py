"""What the user meets when a recording cannot start or goes wrong, in the real window: the start
checks' boxes, a silent input, a full disk; each read and answered through the driver."""
import os
import time

from audio_helpers import monitor_ids
from recording_helpers import (DASHBOARD, IDLE, buttons, close_all, lines, shot, spoken, wavs, window_of,
                               write_settings)
from ui_helpers import Driver

DEVICE_NOT_FOUND = ("CRITICAL: Your explicitly configured audio device is missing!\r\n\r\nThe device matching "
                    "ID:\r\n'%s'\r\n\r\ncould not be found. It may be disconnected, powered off, or disabled in "
                    "Windows.\r\n\r\nFor safety and privacy, this application WILL NOT automatically fall back to "
                    "another microphone.\r\n\r\nAction Required:\r\n1. Reconnect your device and restart this "
                    "application, OR\r\n2. Open Settings and manually select a different input device.")
DRIVE_MISSING = ("The output drive you configured is currently disconnected.\r\n\r\nLike your microphone settings, "
                 "this app does not automatically default to another location to prevent lost files.\r\n\r\n"
                 "Please reconnect the drive or select a new output folder in Settings.")
INPUT1_MISSING = "Input 1 is disconnected. Please reconnect it or open Settings and select a valid audio device."
INPUT2_MISSING = "Input 2 is disconnected. Please reconnect or disable it in Settings."
GONE_ID = "{0.0.1.00000000}.{0badc0de-0000-4000-8000-000000000001}"


def _box(d, caption, text, icon, answer, name):
    box = d.msgbox(caption)
    assert (box["text"], box["icon"]) == (text, icon), box
    assert [(b["id"], b["text"]) for b in box["buttons"]] == [(1, "OK")], box
    shot(d.h, d, name)
    if answer == "click":
        d("click", hwnd=box["hwnd"], id=1)
    else:
        d.key(box["hwnd"], answer)
    d.gone(box["hwnd"])


def _refused(h, d, window, proc):
    """Nothing started: the buttons are idle, nothing was said, and Alt+F4 closes cleanly."""
    assert buttons(d, window) == IDLE, buttons(d, window)
    assert lines(d, window, DASHBOARD)[4] == "Status: Ready"
    assert spoken(h) == [], spoken(h)
    d.key(window, "Alt+F4")
    assert proc.wait(timeout=20) == 0


def test_each_start_check_shows_its_box_and_starts_nothing(h):
    mic = monitor_ids(h)[0]
    target = h.scratch()
    link = os.path.join(h.prefix, "dosdevices", "r:")
    procs = []
    try:
        with Driver(h) as d:
            # A missing input 1 is told at start-up, then the drive check comes first at Alt+S.
            write_settings(h, save_folder="R:\\Rec", device_id=GONE_ID)
            proc = h.popen([])
            procs.append(proc)
            _box(d, "Device Not Found", DEVICE_NOT_FOUND % GONE_ID, "red", "Enter", "checks-1-device-not-found")
            window = window_of(h, d, proc)
            assert lines(d, window, DASHBOARD)[0] == "Recording Device is set to: Disconnected"
            d.key(window, "Alt+S")
            _box(d, "Output Drive Missing", DRIVE_MISSING, "yellow", "Escape", "checks-2-drive-missing")
            os.symlink(target, link)
            d.key(window, "Alt+S")
            _box(d, "Warning", INPUT1_MISSING, "yellow", "click", "checks-3-input1-missing")
            _refused(h, d, window, proc)

            # Input 2 named but absent: no start, though input 1 is there.
            h.reset_appdata()
            write_settings(h, save_folder=h.winpath(target), device_id=mic, device2_id=GONE_ID)
            proc = h.popen([])
            procs.append(proc)
            window = window_of(h, d, proc)
            d.key(window, "Alt+S")
            _box(d, "Warning", INPUT2_MISSING, "yellow", "Enter", "checks-4-input2-missing")
            _refused(h, d, window, proc)

            # "none" for input 2 is one input; the bit depth is checked last.
            h.reset_appdata()
            write_settings(h, save_folder=h.winpath(target), device_id=mic, device2_id="none", bit_depth="20")
            proc = h.popen([])
            procs.append(proc)
            window = window_of(h, d, proc)
            d.key(window, "Alt+S")
            _box(d, "Audio Error", "Unsupported bit depth: 20", "red", "Enter", "checks-5-bit-depth")
            _refused(h, d, window, proc)
    finally:
        if os.path.islink(link):
            os.remove(link)
        close_all(*procs)
    assert not wavs(target), wavs(target)
