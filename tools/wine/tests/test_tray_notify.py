"""Tray notifications on Wine's shell: each one adds its own icon, turns it into a balloon and
removes it ten seconds later, with no warning logged; one asked for before the main window
exists never reaches the shell."""
import re
import time

from ui_helpers import Driver, screenshot, wait_exit

WINDOW_TEST = True


def test_notify_adds_modifies_and_removes_its_own_icons(h):
    host = h.popen(["notify", "Recording Started", "Saved to\r\n  D:\\rec.wav", "1"], exe=h.tool("repair_host"))
    with Driver(h) as d:
        # Wine's tray shows the balloon a few seconds later as a tooltip window of its own.
        balloons, deadline = [], time.monotonic() + 9
        while not balloons and time.monotonic() < deadline:
            balloons = d("windows", **{"class": "tooltips_class32"})["windows"]
            time.sleep(0.2)
        if balloons:
            screenshot(h, d, "tray-balloon")
    rc, out = wait_exit(host, timeout=60)
    assert rc == 0, (rc, out)
    lines = out.split("\r\n")
    early = lines.index("early notification given")
    calls = [l for l in lines if l.startswith("shell ")]
    assert lines.index(calls[0]) > early, lines  # the early one was dropped before the shell
    parsed = [re.fullmatch(r"shell (NIM_\w+) id (\d+) (ok|failed)", l).groups() for l in calls]
    assert all(ok == "ok" for _, _, ok in parsed), calls
    first, second = parsed[0][1], parsed[2][1]
    assert first != second, calls
    assert [(m, i) for m, i, _ in parsed] == [
        ("NIM_ADD", first), ("NIM_MODIFY", first), ("NIM_ADD", second), ("NIM_MODIFY", second),
        ("NIM_DELETE", first), ("NIM_DELETE", second)], calls
    log = h.log_text()
    assert " - WARNING - " not in log and " - ERROR - " not in log, log
    assert balloons, "no balloon window appeared"
