"""The main road of a recording driven from the keyboard in the real window: start, pause, resume,
an auto-split and stop, heard through the stand-in's spoken log, seen through the driver, and the
files read back by sox, ffprobe and numpy; then the closing rules while a recording runs."""
import os
import re
import time

from audio_helpers import monitor_ids
from recording_helpers import (DASHBOARD, IDLE, PAUSED, RECORDING, START, STATS, buttons, close_all, lines,
                               notifications, play, probe, said_in_order, samples, shot, silent_runs, spoken,
                               start_recording, tone_of, visible, wait, wait_recorded, wavs, window_of, write_settings)
from ui_helpers import Driver

WINDOW_TEST = True

STATS_LINE = re.compile(r"^Recording time, (\d+ minutes, )?\d+ seconds\. \d+\.\d\d MB Storage used on current split"
                        r"( \(Split (\d+)\))?\.$")


def test_start_pause_resume_split_stop_heard_seen_and_read_back(h):
    folder = h.scratch()
    write_settings(h, save_folder=h.winpath(folder), device_id=monitor_ids(h)[1], auto_split_secs=8)
    player = play(h, h.sinks[1], 40)
    proc = h.popen([])
    try:
        with Driver(h) as d:
            window = window_of(h, d, proc)
            assert buttons(d, window) == IDLE, buttons(d, window)
            assert lines(d, window, DASHBOARD)[2:] == ["Auto-Recording is: Off", "Auto-Split is: 8 seconds",
                                                      "Status: Ready"], lines(d, window, DASHBOARD)
            assert not visible(d, window, STATS)
            shot(h, d, "road-1-idle")

            d.key(window, "Alt+S")
            t0 = time.time()
            said_in_order(h, ["Recording started"])
            assert buttons(d, window) == RECORDING, buttons(d, window)
            status = lines(d, window, DASHBOARD)[4]
            assert re.match(r"^Status: Recording Split 1 to .+\.wav$", status), status
            assert visible(d, window, STATS)
            wait_recorded(d, window, 1)
            stats = lines(d, window, STATS)
            assert len(stats) == 1 and STATS_LINE.match(stats[0]) and "(Split" not in stats[0], stats
            shot(h, d, "road-2-recording")

            d.key(window, "Alt+P")
            said_in_order(h, ["Recording started", "Recording paused"])
            paused_at = time.time()
            assert buttons(d, window) == PAUSED, buttons(d, window)
            assert lines(d, window, DASHBOARD)[4] == "Status: Paused (Split 1)", lines(d, window, DASHBOARD)
            shot(h, d, "road-3-paused")
            time.sleep(2.0)  # how long the pause lasts
            d.key(window, "Alt+E")
            said_in_order(h, ["Recording started", "Recording paused", "Recording resumed"])
            pause_s = time.time() - paused_at
            assert buttons(d, window) == RECORDING, buttons(d, window)
            assert lines(d, window, DASHBOARD)[4] == status, lines(d, window, DASHBOARD)

            # The split timer counts wall-clock time from the start: the pause does not delay it. (t0 is
            # taken before the start, so a split the pause delayed came 8 s plus the pause after it.)
            said_in_order(h, ["Recording started", "Recording paused", "Recording resumed", "Split 2 started"], 30)
            split_s = time.time() - t0
            print("    split 2 announced %.1f s after the start (split every 8 s, paused %.1f s)" % (split_s, pause_s))
            assert 7.0 <= split_s < 8.0 + pause_s, (split_s, pause_s)
            status2 = lines(d, window, DASHBOARD)[4]
            assert re.match(r"^Status: Recording Split 2 to .+\.wav$", status2) and status2 != status, status2
            stats = wait("the split's statistics", lambda: [s for s in lines(d, window, STATS) if "(Split 2)" in s], 30)
            assert STATS_LINE.match(stats[0]), stats
            shot(h, d, "road-4-split2")
            wait_recorded(d, window, 1)

            d.key(window, "Alt+T")
            stopped_at = time.time()
            said_in_order(h, ["Recording started", "Recording paused", "Recording resumed", "Split 2 started",
                              "Recording stopped"])
            result = wait("the result", lambda: spoken(h)[5:6], 30)[0]
            assert buttons(d, window) == IDLE, buttons(d, window)
            assert lines(d, window, DASHBOARD)[4] == "Status: Ready"
            assert not visible(d, window, STATS)
            shot(h, d, "road-5-stopped")
            d.key(window, "Alt+X")
            rc = proc.wait(timeout=60)
            total_s = stopped_at - t0
    finally:
        close_all(player, proc)
    assert rc == 0, rc
    assert result == "Recording saved successfully.", (result, notifications(h))
    assert spoken(h) == ["Recording started", "Recording paused", "Recording resumed", "Split 2 started",
                         "Recording stopped", "Recording saved successfully."], spoken(h)
    assert notifications(h) == [(0, "Recording Started", "Audio recording has begun."),
                                (0, "File Split", "Split 2 started"),
                                (0, "Recording Saved", "File safely saved to disk.")], notifications(h)
    parts = wavs(folder)
    assert len(parts) == 2, parts
    assert not [f for f in os.listdir(folder) if f.endswith(".json")]
    frames = 0
    for i, path in enumerate(parts):
        x, info = samples(path)
        assert (info["rate"], info["channels"], info["bits"]) == (48000, 2, 24), info
        frames += info["frames"]
        for ch in range(2):
            freq, rms = tone_of(x[:, ch], 48000)
            # Only the tone: no cue, no doubled or clipped block.
            assert abs(freq - 440) < 2 and 0.34 < rms < 0.37 and abs(x[:, ch]).max() < 0.52, (path, ch, freq, rms)
        gaps = silent_runs(x[:, 0], 48000)
        print("    part %d: %.2f s, silent runs %s" % (i + 1, info["frames"] / 48000.0, gaps))
        assert not gaps, (path, gaps)
    # Everything from start to stop except the pause is on disk (the stop itself takes a moment).
    print("    on disk %.2f s; start to stop %.2f s less the pause %.2f s" % (frames / 48000.0, total_s, pause_s))
    assert abs(frames / 48000.0 - (total_s - pause_s)) < 1.0, (frames, total_s, pause_s)


CONFIRM_TAIL = ("\r\n\r\nAre you sure you'd like to exit? If you do, your recording will be saved, and if you have "
                "notifications enabled, you will be sent a notification before the program exits.")
FINALIZING = "Finalizing recording before exit. Please do not turn off the computer."


def _check_tone_file(folder):
    parts = wavs(folder)
    assert len(parts) == 1, parts
    x, info = samples(parts[0])
    freq, rms = tone_of(x[:, 0], info["rate"])
    assert abs(freq - 440) < 2 and 0.34 < rms < 0.37 and abs(x[:, 0]).max() < 0.52, \
        (parts[0], freq, rms, info["frames"], silent_runs(x[:, 0], info["rate"], 0.005))
    assert not [f for f in os.listdir(folder) if f.endswith(".json")], os.listdir(folder)
    return info["frames"] / info["rate"]


def test_exit_while_recording_asks_then_finalizes_and_a_close_while_finalizing_waits(h):
    # Confirmed with Yes: the recording is finalized, then the window goes.
    folder = h.scratch()
    mic = monitor_ids(h)[1]
    write_settings(h, save_folder=h.winpath(folder), device_id=mic, confirm_exit=True)
    player = play(h, h.sinks[1], 30)
    proc = h.popen([])
    try:
        with Driver(h) as d:
            window = start_recording(h, d, proc)
            wait_recorded(d, window, 1)
            d.key(window, "Alt+F4")
            box = d.msgbox("Confirm Exit")
            text = box["text"]
            assert text.startswith("You are currently recording.\r\n\r\n") and text.endswith(CONFIRM_TAIL), text
            middle = text[len("You are currently recording.\r\n\r\n"):-len(CONFIRM_TAIL)]
            assert re.match(r"^Recording time, \d+ seconds\. \d+\.\d\d MB Storage used\.$", middle), text
            assert box["icon"] == "blue" and [(b["id"], b["default"]) for b in box["buttons"]] == \
                [(6, False), (7, True)], box
            shot(h, d, "close-1-confirm-exit")
            d.key(box["hwnd"], "Alt+Y")
            rc = proc.wait(timeout=30)
    finally:
        close_all(player, proc)
    assert rc == 0, rc
    assert spoken(h) == ["Recording started", FINALIZING, "Recording stopped", "Recording saved successfully."], \
        spoken(h)
    assert notifications(h)[-1] == (0, "Recording Saved", "File safely saved to disk."), notifications(h)
    _check_tone_file(folder)

    # Stop pressed, then two closes before the finalization ends: the first marks the exit pending,
    # the second is told to wait; the window goes once the file is saved.
    h.reset_appdata()
    folder = h.scratch()
    write_settings(h, save_folder=h.winpath(folder), device_id=mic)
    player = play(h, h.sinks[1], 30)
    proc = h.popen([])
    try:
        with Driver(h) as d:
            window = start_recording(h, d, proc)
            wait_recorded(d, window, 1)
            # One batch, so all three reach the window within a few milliseconds: the click is a
            # sent message, handled before the two posted closes.
            d.proc.stdin.write(("click hwnd=%d id=3003\nclose hwnd=%d\nclose hwnd=%d\n" % (window, window, window))
                               .encode())
            d.proc.stdin.flush()
            for _ in range(3):
                d.line(10)
            rc = proc.wait(timeout=30)
    finally:
        close_all(player, proc)
    assert rc == 0, rc
    assert spoken(h) == ["Recording started", FINALIZING, "Still finalizing the recording. Please wait.",
                         "Recording stopped", "Recording saved successfully."], spoken(h)
    assert " - INFO - App exiting normally.\r\n" in h.log_text()
    _check_tone_file(folder)


def _focus_to(d, window, want, keys="Tab"):
    for _ in range(8):
        got = d.key(window, keys)
        if got.get("id") == want:
            return
    raise AssertionError("focus never reached %d" % want)


def test_auto_start_at_once_the_focused_lists_wait_and_a_countdown_cancelled_by_start(h):
    # No delay: the recording starts right after start-up, without a countdown line. The focused
    # dashboard keeps its text through a split until the focus leaves; the focused statistics list
    # is not rewritten; the maximum length stops the recording and hiding the focused list moves
    # the focus to Start.
    folder = h.scratch()
    mic = monitor_ids(h)[1]
    write_settings(h, save_folder=h.winpath(folder), device_id=mic, auto_start=True, auto_start_delay=0,
                   auto_split_secs=4, max_length_secs=10)
    player = play(h, h.sinks[1], 40)
    proc = h.popen([])
    try:
        with Driver(h) as d:
            window = window_of(h, d, proc)
            shown = time.time()
            status = lines(d, window, DASHBOARD)[4]
            assert not status.startswith("Status: Auto-recording"), status
            said_in_order(h, ["Recording started"], 30)
            print("    auto-start with no delay: started %.2f s after the window was shown" % (time.time() - shown))
            t0 = time.time()
            _focus_to(d, window, DASHBOARD)
            before = lines(d, window, DASHBOARD)
            assert before[4].startswith("Status: Recording Split 1 to "), before
            said_in_order(h, ["Recording started", "Split 2 started"], 30)
            time.sleep(0.5)
            assert lines(d, window, DASHBOARD) == before, "the focused dashboard was rewritten"
            shot(h, d, "focus-1-dashboard-kept")
            _focus_to(d, window, STATS)
            after = lines(d, window, DASHBOARD)
            assert after[4].startswith("Status: Recording Split 2 to "), after
            kept = lines(d, window, STATS)
            time.sleep(2.2)
            assert lines(d, window, STATS) == kept, "the focused statistics list was rewritten"
            # Stay on the list until the maximum length stops the recording.
            wait("the stop at the maximum length", lambda: buttons(d, window) == IDLE, 10 - (time.time() - t0) + 30)
            print("    stopped at the maximum length %.1f s after the start" % (time.time() - t0 + 0.1))
            assert not visible(d, window, STATS)
            focus = d.focus(window)
            assert focus.get("id") == START, focus
            shot(h, d, "focus-2-stats-hidden-start-focused")
            time.sleep(0.5)
            d.key(window, "Alt+X")
            rc = proc.wait(timeout=60)
    finally:
        close_all(player, proc)
    assert rc == 0, rc
    # The maximum length stops without a word; only its own notification tells.
    assert spoken(h) == ["Recording started", "Split 2 started", "Split 3 started"], spoken(h)
    assert notifications(h)[-1] == (0, "Max Length Reached", "Stopped: maximum recording length reached."), \
        notifications(h)
    assert len(wavs(folder)) == 3 and all(probe(p)["frames"] > 0 for p in wavs(folder)), wavs(folder)

    # A countdown cancelled by Start: the recording starts at once, and none starts when the
    # countdown would have ended.
    h.reset_appdata()
    folder = h.scratch()
    # A long countdown, so that a start it made cannot pass for the key's on a busy machine.
    write_settings(h, save_folder=h.winpath(folder), device_id=mic, auto_start=True, auto_start_delay=10)
    proc = h.popen([])
    try:
        with Driver(h) as d:
            window = window_of(h, d, proc)
            shown = time.time()
            assert lines(d, window, DASHBOARD)[4] == "Status: Auto-recording in 10 seconds...", \
                lines(d, window, DASHBOARD)
            shot(h, d, "countdown-1")
            d.key(window, "Alt+S")
            said_in_order(h, ["Recording started"], 30)
            print("    started by the key %.1f s after the countdown was shown" % (time.time() - shown))
            assert time.time() - shown < 8, time.time() - shown
            assert lines(d, window, DASHBOARD)[4].startswith("Status: Recording to ")
            d.key(window, "Alt+T")
            said_in_order(h, ["Recording started", "Recording stopped"])
            time.sleep(max(0.0, shown + 11.5 - time.time()))  # past the countdown's end
            assert buttons(d, window) == IDLE and lines(d, window, DASHBOARD)[4] == "Status: Ready"
            d.key(window, "Alt+X")
            rc = proc.wait(timeout=60)
    finally:
        close_all(proc)
    assert rc == 0, rc
    assert spoken(h)[:2] == ["Recording started", "Recording stopped"] and spoken(h).count("Recording started") == 1, \
        spoken(h)
    assert len(wavs(folder)) == 1


def test_the_end_of_the_session_finalizes_the_file_before_it_answers(h):
    folder = h.scratch()
    write_settings(h, save_folder=h.winpath(folder), device_id=monitor_ids(h)[1], confirm_exit=True)
    player = play(h, h.sinks[1], 30)
    proc = h.popen([])
    try:
        with Driver(h) as d:
            window = start_recording(h, d, proc)
            wait_recorded(d, window, 2)
            r = h.run([str(window)], exe=h.tool("end_session"), timeout=90)
            assert r.rc == 0 and r.out.startswith("answer 1 ms "), r
            print("    end of session answered TRUE after %s ms" % r.out.split()[-1])
            # By the time the answer arrives the file is whole and its journal gone.
            seconds = _check_tone_file(folder)
            assert seconds > 1.5, seconds
            assert proc.poll() is None and buttons(d, window) == IDLE, buttons(d, window)
            assert lines(d, window, DASHBOARD)[4] == "Status: Ready"
            shot(h, d, "end-session-answered")
            d.key(window, "Alt+X")  # not recording: no question
            rc = proc.wait(timeout=60)
    finally:
        close_all(player, proc)
    assert rc == 0, rc
    # The stop at the end of the session is not announced, and a fine file adds nothing.
    assert spoken(h) == ["Recording started"], spoken(h)


def test_speech_only_in_front_counts_the_programs_own_box_as_in_front(h):
    folder = h.scratch()
    write_settings(h, save_folder=h.winpath(folder), device_id=monitor_ids(h)[1], speak_in_focus_only=True,
                   auto_split_secs=4, confirm_exit=True)
    other = h.popen(["--demo", "modeless"], exe=h.tool("ui_driver"))
    proc = h.popen([])
    try:
        with Driver(h) as d:
            demo = d.find("Driver Demo", timeout=30000)
            window = start_recording(h, d, proc)
            t0 = time.time()
            d.key(demo, "Tab")  # another program in front
            wait("split 2", lambda: (0, "File Split", "Split 2 started") in notifications(h), 30)
            time.sleep(0.3)
            assert spoken(h) == ["Recording started"], spoken(h)
            shot(h, d, "gate-1-other-program-in-front")
            # The program's own box in front counts as the program: the next split is spoken.
            d.key(window, "Alt+X")
            box = d.msgbox("Confirm Exit")
            said_in_order(h, ["Recording started", "Split 3 started"], 10 - (time.time() - t0) + 30)
            d.key(box["hwnd"], "Enter")  # No
            d.back_to(window, box["hwnd"])
            d.key(window, "Alt+T")
            said_in_order(h, ["Recording started", "Split 3 started", "Recording stopped"])
            d.key(window, "Alt+X")
            rc = proc.wait(timeout=60)
    finally:
        close_all(proc, other)
    assert rc == 0, rc
    assert "Split 2 started" not in spoken(h), spoken(h)
