"""Audio lost while the writer is held up is told truthfully. The "Writer" thread of the real window
is held (suspended from outside), as a drive that stops answering holds it, for longer than an
input's queue holds (10 s): once the queue is full, what the device delivers is lost. The report must
count what went missing: the dropped blocks it names cover the seconds the file lacks, also when the
stop comes while the writer is still held and the writer, let go, drains what was queued before it."""
import re
import time

from audio_helpers import monitor_ids
from recording_helpers import close_all, notifications, play, said_in_order, spoken, start_recording, wait, \
    wavs, write_settings, samples
from ui_helpers import Driver

WINDOW_TEST = True

RATE = 48000
BLOCK = 2048
HELD = 14.0
# Into the hold: the queue is full by then and blocks have been lost for 2.5 s, and the writer is
# let go 1.5 s later, well inside the window's 10-s wait for it to end.
STOP_IN_HOLD = 12.5


def _hold(h, how):
    r = h.run(["Tapewright.exe", "Writer", how], exe=h.tool("thread_hold"))
    assert r.rc == 0, r


def _held_recording(h, stop_in_hold=None):
    """A recording of the second sink's tone whose writer is held 1.5 s in for HELD seconds; the stop
    comes 2 s after the writer is let go, or `stop_in_hold` seconds into the hold. Returns (the
    result spoken, the notification's text, seconds on disk, seconds from the start to the stop)."""
    folder = h.scratch()
    write_settings(h, save_folder=h.winpath(folder), device_id=monitor_ids(h)[1])
    player = play(h, h.sinks[1], 40)
    proc = None
    try:
        proc = h.popen([])
        with Driver(h) as d:
            window = start_recording(h, d, proc)
            started = time.time()
            time.sleep(1.5)
            _hold(h, "suspend")
            held = time.time()
            try:
                if stop_in_hold is not None:
                    time.sleep(stop_in_hold)
                    d.key(window, "Alt+T")
                    stopped = time.time()
                time.sleep(max(0.0, held + HELD - time.time()))
            finally:
                _hold(h, "resume")
            if stop_in_hold is None:
                time.sleep(2.0)
                stopped = time.time()
                d.key(window, "Alt+T")
            said_in_order(h, ["Recording started", "Recording stopped"], 30)
            result = wait("the result", lambda: spoken(h)[-1] if spoken(h)[-1].startswith("Recording saved") else None,
                          30)
            d.key(window, "Alt+X")
            assert proc.wait(timeout=30) == 0
    finally:
        close_all(proc, player)
    saved = [n for n in notifications(h) if n[1] == "Recording Saved"]
    assert len(saved) == 1, notifications(h)
    parts = wavs(folder)
    assert len(parts) == 1, parts
    _, info = samples(parts[0])
    return result, saved[0][2], info["frames"] / RATE, stopped - started


def _check_counted(h, result, text, on_disk, span):
    m = re.match(r"Saved, but (\d+) blocks dropped and (\d+) silence blocks substituted\.$", text)
    dropped = int(m.group(1)) if m else 0
    readers = [line.split(" - ", 3)[-1] for line in h.log_text().splitlines() if " - Reader 1" in line]
    print("    %s; %.2f s on disk of about %.2f s; %d blocks dropped (%.2f s); the log: %s"
          % (text, on_disk, span, dropped, dropped * BLOCK / RATE, readers))
    # The hold outlasted the queue: audio really went missing.
    assert span - on_disk > 1.5, (on_disk, span)
    assert result == "Recording saved with quality warnings." and m, (result, text)
    # Whatever the file lacks is in the count (start and stop cost a few tenths of a second).
    assert on_disk + dropped * BLOCK / RATE > span - 0.6, (on_disk, dropped, span)


def test_audio_lost_behind_a_held_writer_is_counted_in_the_report(h):
    _check_counted(h, *_held_recording(h))


def test_a_stop_while_the_writer_is_held_drains_the_queue_and_counts_what_is_missing(h):
    _check_counted(h, *_held_recording(h, STOP_IN_HOLD))
