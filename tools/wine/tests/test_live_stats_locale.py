"""The live statistics in the user's own number format: with a decimal comma in the user's regional
settings the real window shows the storage used as "0,27 MB", from the first line on."""
import re

from audio_helpers import monitor_ids
from locale_helpers import user_decimal_separator
from recording_helpers import STATS, close_all, lines, said_in_order, start_recording, wait, write_settings
from ui_helpers import Driver

WINDOW_TEST = True


def test_live_statistics_use_the_users_decimal_comma(h):
    folder = h.scratch()
    write_settings(h, save_folder=h.winpath(folder), device_id=monitor_ids(h)[1])
    proc = None
    with user_decimal_separator(h, ","):
        try:
            proc = h.popen([])
            with Driver(h) as d:
                window = start_recording(h, d, proc)
                first = lines(d, window, STATS)
                # The start's own line, unless the first tick has already replaced it.
                assert re.match(r"^Recording time, \d+ seconds\. \d+,\d\d MB Storage used\.$", first[0]), first
                ticked = wait("a second's statistics",
                              lambda: [s for s in lines(d, window, STATS) if not s.startswith("Recording time, 0 ")], 5)
                assert re.match(r"^Recording time, [1-9]\d* seconds\. \d+,\d\d MB Storage used\.$", ticked[0]), ticked
                print("    " + ticked[0])
                d.key(window, "Alt+X")
                said_in_order(h, ["Recording started", "Recording stopped"])
                assert proc.wait(timeout=30) == 0
        finally:
            close_all(proc)
