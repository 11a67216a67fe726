"""What the user meets when a recording cannot start or goes wrong, in the real window: the start
checks' boxes, a silent input, a full disk; each read and answered through the driver."""
import os
import subprocess
import time

import numpy as np

from audio_helpers import monitor_ids
from recording_helpers import (DASHBOARD, IDLE, RECORDING, STATS, buttons, close_all, lines, notifications,
                               play, recorded, said_in_order, samples, shot, silent_runs, spoken,
                               start_recording, tone_of, wait, wait_recorded, wavs, window_of, write_settings)
from ui_helpers import Driver

WINDOW_TEST = True

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
NO_DEVICE = "No audio device has been configured yet. Please open Settings and explicitly select an input device."
GONE_ID = "{0.0.1.00000000}.{0badc0de-0000-4000-8000-000000000001}"


def _box(d, caption, text, icon, answer, name, owner=None):
    """Reads the box, keeps a screenshot, answers it and, with the window beneath it given, waits
    until the user is back in that window."""
    box = d.msgbox(caption)
    assert (box["text"], box["icon"]) == (text, icon), box
    assert [(b["id"], b["text"]) for b in box["buttons"]] == [(1, "OK")], box
    shot(d.h, d, name)
    if answer == "click":
        d("click", hwnd=box["hwnd"], id=1)
    else:
        d.key(box["hwnd"], answer)
    if owner:
        d.back_to(owner, box["hwnd"])
    else:
        d.gone(box["hwnd"])


def _refused(h, d, window, proc):
    """Nothing started: the buttons are idle, nothing was said, Escape does nothing and Alt+F4 closes
    cleanly."""
    assert buttons(d, window) == IDLE, buttons(d, window)
    d.key(window, "Escape", settle=400)
    assert proc.poll() is None and buttons(d, window) == IDLE, "Escape closed the window"
    assert lines(d, window, DASHBOARD)[4] == "Status: Ready"
    assert spoken(h) == [], spoken(h)
    d.key(window, "Alt+F4")
    assert proc.wait(timeout=60) == 0


def test_each_start_check_shows_its_box_and_starts_nothing(h):
    mic = monitor_ids(h)[1]
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
            _box(d, "Output Drive Missing", DRIVE_MISSING, "yellow", "Escape", "checks-2-drive-missing", window)
            os.symlink(target, link)
            d.key(window, "Alt+S")
            _box(d, "Warning", INPUT1_MISSING, "yellow", "click", "checks-3-input1-missing", window)
            _refused(h, d, window, proc)

            # Input 2 named but absent: no start, though input 1 is there.
            h.reset_appdata()
            write_settings(h, save_folder=h.winpath(target), device_id=mic, device2_id=GONE_ID)
            proc = h.popen([])
            procs.append(proc)
            window = window_of(h, d, proc)
            d.key(window, "Alt+S")
            _box(d, "Warning", INPUT2_MISSING, "yellow", "Enter", "checks-4-input2-missing", window)
            _refused(h, d, window, proc)

            # "none" for input 2 is one input; the bit depth is checked last.
            h.reset_appdata()
            write_settings(h, save_folder=h.winpath(target), device_id=mic, device2_id="none", bit_depth="20")
            proc = h.popen([])
            procs.append(proc)
            window = window_of(h, d, proc)
            d.key(window, "Alt+S")
            _box(d, "Audio Error", "Unsupported bit depth: 20", "red", "Enter", "checks-5-bit-depth", window)
            _refused(h, d, window, proc)

            # The first start of all, before any input was chosen: the box sends the user to Settings.
            h.reset_appdata()
            write_settings(h, save_folder=h.winpath(target))
            proc = h.popen([])
            procs.append(proc)
            window = window_of(h, d, proc)
            assert lines(d, window, DASHBOARD)[0] == "Recording Device is set to: Not set"
            d.key(window, "Alt+S")
            _box(d, "Warning", NO_DEVICE, "yellow", "Enter", "checks-6-no-device", window)
            _refused(h, d, window, proc)
    finally:
        if os.path.islink(link):
            os.remove(link)
        close_all(*procs)
    assert not wavs(target), wavs(target)


def _suspend(h, sink, on):
    subprocess.run(["pactl", "suspend-sink", sink, "1" if on else "0"], env=h.pulse_env, check=True)


def test_a_sink_suspended_mid_recording_is_a_stall_and_the_recording_goes_on(h):
    # A suspended sink's monitor delivers nothing while its capture stream stays alive: a stall and
    # only a stall. (An unloaded sink kills the stream, and a packet Wine still held then makes the
    # next read fail: a disconnect whenever the reader lagged behind, which a loaded machine makes
    # likely. The disconnect has its own test.)
    folder = h.scratch()
    sink = h.sinks[1]
    ids = monitor_ids(h)
    write_settings(h, save_folder=h.winpath(folder), device_id=ids[1])
    player = play(h, sink, 60)
    proc = h.popen([])
    suspended = False
    stalled_text = "The input stopped delivering audio. Still recording."
    recovered_text = "The input is delivering audio again."
    try:
        with Driver(h) as d:
            window = start_recording(h, d, proc)
            at = wait_recorded(d, window, 2)
            _suspend(h, sink, True)
            suspended = True
            said_in_order(h, ["Recording started", stalled_text], 30)
            assert buttons(d, window) == RECORDING, buttons(d, window)
            shot(h, d, "faults-stalled")
            # The stall's silence goes into the file: the recorded time grows without any input.
            wait_recorded(d, window, recorded(d, window) + 2)

            _suspend(h, sink, False)
            suspended = False
            said_in_order(h, ["Recording started", stalled_text, recovered_text], 30)
            wait_recorded(d, window, recorded(d, window) + 2)
            d.key(window, "Alt+T")
            said_in_order(h, ["Recording started", stalled_text, recovered_text, "Recording stopped"], 30)
            result = wait("the result", lambda: spoken(h)[-1] if spoken(h)[-1].startswith("Recording saved") else
                          None, 30)
            d.key(window, "Alt+X")
            rc = proc.wait(timeout=30)
    finally:
        close_all(player, proc)
        if suspended:
            _suspend(h, sink, False)
    assert rc == 0, rc
    notes = notifications(h)
    assert (1, "Input Stalled", "The input stopped delivering audio. Recording continues.") in notes, notes
    assert (0, "Input Recovered", recovered_text) in notes, notes
    print("    result: %s; %s" % (result, [n for n in notes if n[1] == "Recording Saved"]))
    # The silence put in the stalled input's place is reported, never called a clean save.
    assert result == "Recording saved with quality warnings.", result
    parts = wavs(folder)
    assert len(parts) == 1, parts
    x, info = samples(parts[0])
    gaps = silent_runs(x[:, 0], 48000, 1.0)
    print("    on disk %.1f s, %d s of it before the stall; silent runs %s" % (info["frames"] / 48000, at, gaps))
    saved = [n for n in notes if n[1] == "Recording Saved"][-1][2]
    silence_blocks = int(saved.split(" blocks dropped and ")[1].split()[0])
    # One gap, after what was recorded before the suspension, made of the writer's silence blocks
    # (one per block time plus 50 ms without input, so shorter than the stall itself); the tone is
    # there before it and again after it.
    assert len(gaps) == 1 and at - 0.1 < gaps[0][0], (gaps, at)
    start, length = int(gaps[0][0] * 48000), int(gaps[0][1] * 48000)
    assert abs(gaps[0][1] - silence_blocks * 2048 / 48000) < 0.3, (gaps, silence_blocks)
    assert abs(tone_of(x[:start, 0], 48000)[0] - 440) < 2
    assert abs(tone_of(x[start + length:, 0], 48000)[0] - 440) < 2, info["frames"] / 48000 - gaps[0][0] - gaps[0][1]


class _InNamespace:
    """The harness, with every Wine process started inside a private mount namespace (where a
    small tmpfs is mounted); its wineserver then starts there too and sees the same size."""

    def __init__(self, h, holder_pid):
        self._h, self._pid = h, holder_pid

    def __getattr__(self, name):
        return getattr(self._h, name)

    def popen(self, args, env=None, exe=None, cwd=None, **kw):
        kw.setdefault("stdout", subprocess.PIPE)
        kw.setdefault("stderr", subprocess.PIPE)
        return subprocess.Popen(["nsenter", "-t", str(self._pid), "-m", "--", "wine", exe or self._h.exe] + list(args),
                                env=self._h._env(env), cwd=cwd, start_new_session=True, **kw)

    def inside(self, *cmd):
        return subprocess.run(["nsenter", "-t", str(self._pid), "-m", "--"] + list(cmd), env=self._h.env,
                              capture_output=True, text=True, check=True).stdout


HOLD_BACK = 256 * 1024 * 1024
BYTES_PER_MINUTE = 8000 * 1 * 2 * 60  # the settings below: 8 kHz, mono, 16 bits


def test_a_filling_disk_warns_at_each_level_then_stops_and_a_nearly_full_one_warns_at_start(h):
    disk = os.path.join(h.scratch(), "disk")
    os.makedirs(disk)
    link = os.path.join(h.prefix, "dosdevices", "s:")
    mic = monitor_ids(h)[1]
    # The prefix's wineserver must not outlive this: the one that serves the namespace starts in it.
    subprocess.run(["wineserver", "-k"], env=h.env, capture_output=True)
    subprocess.run(["wineserver", "-w"], env=h.env, timeout=60)
    size = (HOLD_BACK + 70 * BYTES_PER_MINUTE) // 4096 * 4096
    holder = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c",
                               "mount -t tmpfs -o size=%d tmpfs %s && mkdir %s/Rec && echo up && exec sleep 600"
                               % (size, disk, disk)], stdout=subprocess.PIPE, text=True)
    ns = None
    proc = player = None
    try:
        assert holder.stdout.readline().strip() == "up"
        ns = _InNamespace(h, holder.pid)
        os.symlink(disk, link)
        write_settings(h, save_folder="S:\\Rec", device_id=mic, sample_rate="8000", channels="1",
                       bit_depth="16")

        def fill_to(minutes):
            used = int(ns.inside("df", "-B1", "--output=used", disk).split()[-1])
            free_now = size - used
            want = HOLD_BACK + int(minutes * BYTES_PER_MINUTE)
            n = len(ns.inside("ls", disk).split())
            ns.inside("fallocate", "-l", str(free_now - want), "%s/fill%d" % (disk, n))

        levels = ["Warning: Less than 60 minutes of disk space remaining.",
                  "Critical Warning: Less than 15 minutes of disk space remaining.",
                  "Urgent Warning: Less than 5 minutes of disk space remaining!",
                  "Emergency: Less than 1 minute of disk space! Stopping recording."]
        player = play(h, h.sinks[1], 90)
        proc = ns.popen([])
        with Driver(ns) as d:
            window = window_of(ns, d, proc)
            d.key(window, "Alt+S")
            said_in_order(h, ["Recording started"])
            time.sleep(5.5)  # one check above an hour: nothing said
            assert spoken(h) == ["Recording started"], spoken(h)
            heard = ["Recording started"]
            for minutes, text in zip((40, 10, 3, 0.5), levels):
                fill_to(minutes)
                heard.append(text)
                said_in_order(h, heard, 30)
                if minutes == 3:
                    shot(h, d, "faults-disk-urgent")
            said_in_order(h, heard + ["Recording stopped"], 30)
            first = wait("the result", lambda: spoken(h)[-1] if spoken(h)[-1].startswith("Recording saved") else
                         None, 30)
            assert buttons(d, window) == IDLE, buttons(d, window)
            first_spoken = spoken(h)
            assert first_spoken == heard + ["Recording stopped", first], first_spoken

            # Under a quarter of an hour left: the start warns, goes on, and the first check stops
            # it with the emergency alone.
            used = int(ns.inside("df", "-B1", "--output=used", disk).split()[-1])
            ns.inside("fallocate", "-l", str(size - used - 8 * 1024 * 1024), disk + "/fill_last")
            d.key(window, "Alt+S")
            box = d.msgbox("Low Disk Space")
            assert box["text"] == ("You have very little disk space left on this drive (less than 15 minutes of "
                                   "recording time)!") and box["icon"] == "yellow", box
            shot(h, d, "faults-disk-low-at-start")
            d.key(box["hwnd"], "Enter")
            d.back_to(window, box["hwnd"])
            said_in_order(h, first_spoken + ["Recording started", levels[3], "Recording stopped"], 30)
            wait("the result", lambda: spoken(h)[-1].startswith("Recording saved"), 30)
            d.key(window, "Alt+X")
            rc = proc.wait(timeout=60)
            files = ns.inside("sh", "-c", "ls %s/Rec/*.wav" % disk).split()
            out = h.scratch()
            for f in files:
                ns.inside("cp", f, out)
        log = h.log_text()
    finally:
        close_all(player, proc)
        if ns:
            subprocess.run(["nsenter", "-t", str(holder.pid), "-m", "--", "wineserver", "-k"], env=h.env,
                           capture_output=True)
            subprocess.run(["nsenter", "-t", str(holder.pid), "-m", "--", "wineserver", "-w"], env=h.env, timeout=60)
        holder.kill()
        holder.wait()
        if os.path.islink(link):
            os.remove(link)
    assert rc == 0, rc
    for text in levels[:3]:
        assert log.count(" - WARNING - " + text + "\r\n") == 1, (text, log[-3000:])
    assert log.count(" - ERROR - " + levels[3] + "\r\n") == 2, log[-3000:]
    parts = wavs(out)
    assert len(parts) == 2, parts
    x, info = samples(parts[0])
    assert (info["rate"], info["channels"], info["bits"]) == (8000, 1, 16), info
    freq, _ = tone_of(x[:, 0], 8000)
    print("    first recording %.1f s at 8 kHz, tone at %.1f Hz" % (info["frames"] / 8000, freq))
    assert abs(freq - 440) < 2, freq


def test_a_drive_letter_lost_mid_recording_stops_within_5_s_and_unattended_resumes_on_its_return(h):
    target = h.scratch()
    os.makedirs(os.path.join(target, "Rec"))
    link = os.path.join(h.prefix, "dosdevices", "p:")
    os.symlink(target, link)
    mic = monitor_ids(h)[1]
    write_settings(h, save_folder="P:\\Rec", device_id=mic)
    player = play(h, h.sinks[1], 90)
    proc = None
    waiting = "Waiting for output drive to reconnect before resuming..."
    try:
        with Driver(h) as d:
            proc = h.popen([])
            window = start_recording(h, d, proc)
            wait_recorded(d, window, 2)
            os.remove(link)
            lost = time.time()
            box = d.msgbox("Drive Disconnected", timeout=30000)
            took = time.time() - lost
            print("    drive loss: box after %.1f s" % took)
            # The drive monitor looks every 5 s; the window's own fallback would report it only after
            # 10 s. The margin is for a busy machine's box.
            assert took < 8.0, took
            assert box["text"] == ("The output drive (P:) was suddenly removed or disconnected.\r\n\r\nThe active "
                                   "recording was automatically stopped. Recording is stopping. File integrity has not "
                                   "yet been confirmed.\r\n\r\nPlease reconnect the drive or go to Settings to select a "
                                   "new Output Directory.") and box["icon"] == "red", box
            shot(h, d, "drive-lost-box")
            d.key(box["hwnd"], "Enter")
            d.back_to(window, box["hwnd"])
            said_in_order(h, ["Recording started", "Recording stopped"])
            result = wait("the result", lambda: spoken(h)[2:3], 30)[0]
            print("    result after the drive loss: " + result)
            assert (2, "Drive Disconnected", "Drive P: disconnected. Recording stopped.") in notifications(h)
            first = wavs(target)
            assert len(first) == 1, first
            x, info = samples(first[0])
            freq, _ = tone_of(x[:, 0], 48000)
            assert abs(freq - 440) < 2 and info["frames"] / 48000 > 1.5, (freq, info)
            d.key(window, "Alt+X")
            assert proc.wait(timeout=60) == 0

            # Unattended: no box; the wait is spoken and shown, and the drive's return starts a new file.
            h.reset_appdata()
            write_settings(h, save_folder="P:\\Rec", device_id=mic, auto_resume_unattended=True)
            os.symlink(target, link)
            proc = h.popen([])
            if os.path.exists(os.path.join(target, "Rec", "active_recording.json")):
                # The journal of a recording stopped by a lost drive could not be deleted then.
                print("    the drive-loss recording's journal was left: the next start offers it")
                prompt = d.find("Incomplete Recording Detected", timeout=30000)
                d.key(prompt, "Alt+F")
            window = start_recording(h, d, proc)
            wait_recorded(d, window, 2)
            os.remove(link)
            # The wait is spoken at once; the stop is reported when the file is finalized.
            said_in_order(h, ["Recording started", waiting, "Recording stopped"], 30)
            # The wait's status line lasts only until the stop completes, which shows "Status: Ready".
            status = lines(d, window, DASHBOARD)[4]
            print("    status while waiting for the drive: " + status)
            assert status in ("Status: Error - " + waiting, "Status: Ready"), status
            assert not [w for w in d("windows", pid=d("find", caption="Tapewright")["pid"])["windows"]
                        if w["text"] == "Drive Disconnected"]
            shot(h, d, "drive-lost-waiting")
            time.sleep(1)
            os.symlink(target, link)
            back = time.time()
            said_in_order(h, ["Recording started", waiting, "Recording stopped",
                              "Output drive found. Recording again after error.", "Recording started"], 30)
            print("    drive back: recording again after %.1f s" % (time.time() - back))
            assert buttons(d, window) == RECORDING
            wait_recorded(d, window, 1)
            d.key(window, "Alt+T")
            wait("the result", lambda: spoken(h)[-1].startswith("Recording saved"), 30)
            d.key(window, "Alt+X")
            assert proc.wait(timeout=30) == 0
    finally:
        close_all(player, proc)
        if os.path.islink(link):
            os.remove(link)
    files = wavs(target)
    assert len(files) == 3 and len(set(os.path.basename(f) for f in files)) == 3, files
    for f in files:
        x, info = samples(f)
        assert abs(tone_of(x[:, 0], 48000)[0] - 440) < 2, f


def _level_at(x, rate, freq):
    """Magnitude of one frequency in the signal, as a sine's amplitude: the median over 100 ms
    windows. On a busy machine an input's block may come after the writer's take time-out, and the
    writer mixes silence in its place as designed; the median reads the level the mix has, not the
    share of blocks that came in time."""
    n = rate // 10
    levels = []
    for i in range(0, len(x) - n + 1, n):
        spec = np.abs(np.fft.rfft(x[i:i + n] * np.hanning(n))) / (n / 4)
        k = int(round(freq * n / rate))
        levels.append(spec[max(0, k - 2):k + 3].max())
    return float(np.median(levels))


def test_two_inputs_mix_and_a_stalled_second_input_is_named(h):
    folder = h.scratch()
    ids = monitor_ids(h)
    write_settings(h, save_folder=h.winpath(folder), device_id=ids[0], device2_id=ids[1])
    players = [play(h, h.sinks[0], 40, 660, 0.3, lead=0), play(h, h.sinks[1], 40, 440, 0.3)]
    proc = None
    suspended = False
    stalled = "Input 2 stopped delivering audio. Still recording."
    try:
        with Driver(h) as d:
            proc = h.popen([])
            window = start_recording(h, d, proc)
            wait_recorded(d, window, 3)
            # Its player goes first: PulseAudio would move it to the other sink, into input 1.
            close_all(players[1])
            _suspend(h, h.sinks[1], True)
            suspended = True
            said_in_order(h, ["Recording started", stalled], 30)
            wait_recorded(d, window, recorded(d, window) + 2)
            d.key(window, "Alt+T")
            wait("the result", lambda: spoken(h)[-1].startswith("Recording saved"), 30)
            d.key(window, "Alt+X")
            rc = proc.wait(timeout=30)
    finally:
        close_all(proc, *players)
        if suspended:
            _suspend(h, h.sinks[1], False)
    assert rc == 0, rc
    assert (1, "Input Stalled", "Input 2 stopped delivering audio. Recording continues.") in notifications(h)
    parts = wavs(folder)
    assert len(parts) == 1, parts
    x, info = samples(parts[0])
    # Past the start cue (it plays into input 1's sink, and on a busy machine Wine starts it a few
    # hundred ms late), before the sink went once 3 s were in the file.
    both = x[int(1.0 * 48000):int(2.8 * 48000), 0]
    one = x[-int(1.5 * 48000):, 0]                    # input 2 stalled: its silence in the mix
    levels = [(round(_level_at(both, 48000, f), 3), round(_level_at(one, 48000, f), 3)) for f in (660, 440)]
    print("    660 Hz (input 1), 440 Hz (input 2) levels, both then one: %s" % levels)
    # With two inputs each is taken at half level by default, so the mix cannot clip.
    assert all(0.13 < v < 0.17 for v in (levels[0][0], levels[1][0], levels[0][1])), levels
    assert levels[1][1] < 0.01, levels
    assert np.abs(both).max() < 0.32, (np.abs(both).max(), 1.0 + np.argmax(np.abs(both)) / 48000)
    assert monitor_ids(h) == ids
