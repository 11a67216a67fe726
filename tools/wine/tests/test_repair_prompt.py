"""The crash-recovery prompt end to end: a recording killed mid-way leaves its journal, the next
start's scan finds it and the repair dialog offers it; each answer leaves the file and the journal
as the user chose, checked with readers that are not ours (soxi, sndfile-info)."""
import json
import os
import re
import signal
import struct
import subprocess
import time

from audio_helpers import monitor_ids
from recording_helpers import play, said_in_order, spoken, wait, write_settings
from ui_helpers import Driver, screenshot, walk_dialog, wait_exit

WINDOW_TEST = True

TITLE = "Incomplete Recording Detected"
MESSAGE = ("Tapewright was closed unexpectedly during your last session, and a recording may not have been "
           "finalized correctly.\n\nFile: {}\n\nWould you like to attempt to repair this audio file now?")
REPAIRED = "The audio file was successfully repaired and should now be playable."
NOT_REPAIRED = "Could not repair the audio file. It may be too corrupted or not a valid recording."
JOURNAL = "active_recording.json"


def _unix(h, winpath):
    assert winpath.startswith("Z:"), winpath
    return winpath[2:].replace("\\", "/")


def _prompt(h, folder):
    return h.popen(["prompt", h.winpath(folder)], exe=h.tool("repair_host"))


def _finish(host):
    rc, out = wait_exit(host)
    assert rc == 0 and out.endswith("done\r\n"), (rc, out)
    return [l[len("found "):].split("\t") for l in out.split("\r\n") if l.startswith("found ")]


def _killed_recording(h, folder, seconds):
    """A real recording into folder, killed `seconds` after its journal first named it."""
    p = h.popen([h.winpath(folder), "60"], exe=h.tool("record_probe"))
    # It prints its line once the journal names a file with samples, or ends with an error.
    line = p.stdout.readline()
    m = re.fullmatch(r"recording (.+)", line.decode("utf-8").strip())
    assert m, line
    time.sleep(seconds)
    os.killpg(p.pid, signal.SIGKILL)
    p.communicate()
    return m.group(1)


def _unfinished_rf64(path, data_bytes):
    """An RF64 file as a crash before its first size update leaves it: every size still 0."""
    fmt = struct.pack("<HHIIHH", 1, 2, 48000, 48000 * 6, 6, 24)
    header = (b"RF64" + struct.pack("<I", 0xFFFFFFFF) + b"WAVE" + b"ds64" + struct.pack("<IQQQI", 28, 0, 0, 0, 0)
              + b"fmt " + struct.pack("<I", 16) + fmt + b"data" + struct.pack("<I", 0xFFFFFFFF))
    assert len(header) == 80
    open(path, "wb").write(header + bytes((i * 7) & 0xFF for i in range(data_bytes)))


def _journal(h, folder, recording):
    text = ('{\n    "session_id": "20260101_120000",\n    "current_file": "%s",\n    "frames_committed": 0,\n'
            '    "clean_close": false\n}' % h.winpath(recording).replace("\\", "\\\\"))
    path = os.path.join(folder, JOURNAL)
    open(path, "w", encoding="utf-8").write(text)
    return path


def _frames(path):
    soxi = int(subprocess.run(["soxi", "-s", path], capture_output=True, text=True, check=True).stdout)
    info = subprocess.run(["sndfile-info", path], capture_output=True, text=True).stdout
    m = re.search(r"Frames\s*:\s*(\d+)", info)
    assert m and "RF64" in info, info
    return soxi, int(m.group(1))


def test_repair_prompt_repairs_a_killed_recording(h):
    folder = h.scratch()
    wav_win = _killed_recording(h, folder, 2.5)
    wav = _unix(h, wav_win)
    assert os.path.exists(os.path.join(folder, JOURNAL))
    on_disk = (os.path.getsize(wav) - 80) // 6
    host = _prompt(h, folder)
    with Driver(h) as d:
        dlg = d.find(TITLE)
        controls = d.controls(dlg)
        assert [(c["id"], c["class"].lower()) for c in controls] == [
            (1401, "static"), (1402, "button"), (1403, "button"), (1404, "button")], controls
        message = controls[0]
        assert message["text"] == MESSAGE.format(wav_win), message
        assert message["style"] & 0x80 and not message["tabstop"], message
        seen = walk_dialog(d, dlg, 1402)
        assert seen["names"] == ["Yes, Repair Recording", "No, Leave it alone", "Forget this recovery information"]
        screenshot(h, d, "repair-prompt")
        d.key(dlg, "Enter")
        box = d.msgbox("Repair Successful")
        assert (box["text"], box["icon"]) == (REPAIRED, "blue"), box
        assert [(b["id"], b["text"]) for b in box["buttons"]] == [(1, "OK")], box
        screenshot(h, d, "repair-successful")
        d.key(box["hwnd"], "Enter")
        d.gone(box["hwnd"])
    assert _finish(host) == [[h.winpath(os.path.join(folder, JOURNAL)), wav_win]]
    assert not os.path.exists(os.path.join(folder, JOURNAL))
    assert not os.path.exists(wav + ".backup")
    # Every whole frame that reached the disk is read back by both readers.
    assert on_disk > 48000 and _frames(wav) == (on_disk, on_disk), (on_disk, _frames(wav))


def test_repair_prompt_forget_leave_and_failed_repair(h):
    folder = h.scratch()
    # Grouped split parts lie in a subfolder of the save folder, with their own journal.
    group = os.path.join(folder, "take & one")
    os.makedirs(group)
    wav = os.path.join(group, "take & one_part0001.wav")
    _unfinished_rf64(wav, 6000)
    original = open(wav, "rb").read()
    journal = _journal(h, group, wav)

    # Escape, then "&No, Leave it alone": everything stays, and the next start asks again.
    for keys in ("Escape", "Alt+N"):
        host = _prompt(h, folder)
        with Driver(h) as d:
            dlg = d.find(TITLE)
            # SS_NOPREFIX: the ampersand in the name shows as itself.
            assert "File: " + h.winpath(wav) + "\n" in d.controls(dlg)[0]["text"]
            d.key(dlg, keys)
            d.gone(dlg)
        assert len(_finish(host)) == 1
        assert os.path.exists(journal) and open(wav, "rb").read() == original, keys

    # "&Forget this recovery information" deletes the journal only.
    host = _prompt(h, folder)
    with Driver(h) as d:
        dlg = d.find(TITLE)
        d.key(dlg, "Alt+F")
        d.gone(dlg)
    _finish(host)
    assert not os.path.exists(journal) and open(wav, "rb").read() == original

    # A file that is no recording: the repair fails, says so, and the journal stays for next time.
    junk = os.path.join(folder, "junk.wav")
    open(junk, "wb").write(b"x" * 100)
    journal = _journal(h, folder, junk)
    host = _prompt(h, folder)
    with Driver(h) as d:
        d.key(d.find(TITLE), "Alt+R")
        box = d.msgbox("Repair Failed")
        assert (box["text"], box["icon"]) == (NOT_REPAIRED, "yellow"), box
        screenshot(h, d, "repair-failed")
        d.key(box["hwnd"], "Enter")
        d.gone(box["hwnd"])
    _finish(host)
    assert os.path.exists(journal) and open(junk, "rb").read() == b"x" * 100
    assert " - ERROR - Error repairing WAV: " not in h.log_text()  # refused, not failed half-way


def test_repair_prompt_skips_a_recording_still_being_made(h):
    """A recording another process is still writing has a journal too: it is not offered."""
    folder = h.scratch()
    recorder = h.popen([h.winpath(folder), "60"], exe=h.tool("record_probe"))
    try:
        wav_win = recorder.stdout.readline().decode("utf-8").strip()[len("recording "):]
        assert wav_win, recorder.communicate()
        assert h.run(["inuse", wav_win], exe=h.tool("repair_host")).lines() == ["in use"]
        assert _finish(_prompt(h, folder)) == []
        assert (" - INFO - Skipping recovery prompt: %s is still open, so a recording is in progress.\r\n"
                % wav_win) in h.log_text()
    finally:
        os.killpg(recorder.pid, signal.SIGKILL)
        recorder.communicate()
    assert os.path.exists(os.path.join(folder, JOURNAL))
    assert h.run(["inuse", wav_win], exe=h.tool("repair_host")).lines() == ["free"]
    assert h.run(["inuse", wav_win + ".missing"], exe=h.tool("repair_host")).lines() == ["free"]


def test_repair_dialog_modeless_gives_each_answer(h):
    """The same template created modeless: the keyboard walk holds, and each way out gives its
    result (the close box is Escape's)."""
    for keys, result in (("Escape", 0), ("Alt+N", 0), ("Alt+F", 2), ("Enter", 1), (None, 0)):
        host = h.popen(["modeless", "D:\\Recordings\\20260826_140309.wav"], exe=h.tool("repair_host"))
        with Driver(h) as d:
            dlg = d.find(TITLE)
            if keys == "Escape":
                walk_dialog(d, dlg, 1402)
            if keys:
                d.key(dlg, keys)
            else:
                d("close", hwnd=dlg)
            d.gone(dlg)
        assert wait_exit(host) == (0, "result %d\r\n" % result), keys


def test_start_up_offers_a_killed_recording_before_the_main_window(h):
    """The program's own start: the prompt comes last in the main window's start-up, before the
    window is shown, and the window opens once it is answered."""
    folder = h.scratch()
    wav_win = _killed_recording(h, folder, 2.5)
    os.makedirs(h.appdata, exist_ok=True)
    with open(os.path.join(h.appdata, "recorder_config.json"), "w", encoding="utf-8") as f:
        json.dump({"save_folder": h.winpath(folder), "check_updates_startup": False, "confirm_exit": False}, f)
    proc = h.popen([])
    try:
        with Driver(h) as d:
            dlg = d.find(TITLE, timeout=30000)
            assert d.controls(dlg)[0]["text"] == MESSAGE.format(wav_win)
            assert not d("windows", caption="Tapewright")["windows"]  # not shown yet
            d.key(dlg, "Alt+R")
            box = d.msgbox("Repair Successful")
            d.key(box["hwnd"], "Enter")
            window = d.find("Tapewright", timeout=30000)
            d.key(window, "Alt+X")
            assert proc.wait(timeout=60) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert not os.path.exists(os.path.join(folder, JOURNAL))
    on_disk = (os.path.getsize(_unix(h, wav_win)) - 80) // 6
    assert _frames(_unix(h, wav_win)) == (on_disk, on_disk)


def test_unattended_auto_start_records_while_the_repair_prompt_waits(h):
    """A machine nobody attends restarts after a power cut: the repair prompt waits for an answer,
    and the auto-start records meanwhile into the same folder. Repairing the old file afterwards
    leaves the new recording and its journal alone."""
    folder = h.scratch()
    old_win = _killed_recording(h, folder, 2.5)
    old = _unix(h, old_win)
    old_frames = (os.path.getsize(old) - 80) // 6
    journal = os.path.join(folder, JOURNAL)
    write_settings(h, save_folder=h.winpath(folder), device_id=monitor_ids(h)[1], auto_start=True,
                   auto_start_delay=0)
    player = play(h, h.sinks[1], 40)
    proc = h.popen([])
    try:
        with Driver(h) as d:
            dlg = d.find(TITLE, timeout=30000)
            assert d.controls(dlg)[0]["text"] == MESSAGE.format(old_win)
            said_in_order(h, ["Recording started"], 30)

            def new_file():
                names = [n for n in os.listdir(folder) if n.endswith(".wav") and os.path.join(folder, n) != old]
                return names[0] if len(names) == 1 else None
            new = os.path.join(folder, wait("the new recording's file", new_file, 30))
            size = os.path.getsize(new)
            wait("the new file to grow", lambda: os.path.getsize(new) > size, 30)
            assert [w["hwnd"] for w in d("windows", caption=TITLE)["windows"]] == [dlg], "the prompt still waits"
            screenshot(h, d, "repair-prompt-while-recording")

            d.key(dlg, "Enter")
            box = d.msgbox("Repair Successful")
            assert box["text"] == REPAIRED, box
            d.key(box["hwnd"], "Enter")
            d.gone(box["hwnd"])
            assert _frames(old) == (old_frames, old_frames), (old_frames, _frames(old))
            # The new recording goes on, and its journal, written in the same folder, was kept.
            with open(journal, encoding="utf-8") as f:
                assert json.load(f)["current_file"] == h.winpath(new)
            grown = os.path.getsize(new)
            wait("the new file to grow on", lambda: os.path.getsize(new) > grown, 30)

            window = d.find("Tapewright", timeout=30000)
            d.key(window, "Alt+T")
            said_in_order(h, ["Recording started", "Recording stopped", "Recording saved successfully."], 30)
            d.key(window, "Alt+X")
            assert proc.wait(timeout=60) == 0
    finally:
        for p in (proc, player):
            if p.poll() is None:
                p.kill()
                p.wait()
    assert not os.path.exists(journal)
    for path in (old, new):
        frames = (os.path.getsize(path) - 80) // 6
        assert _frames(path) == (frames, frames), (path, frames, _frames(path))
    assert spoken(h).count("Recording started") == 1, spoken(h)
