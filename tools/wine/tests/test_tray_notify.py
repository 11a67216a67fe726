"""Tray notifications on Wine's shell: each one adds its own icon, turns it into a balloon and
removes it ten seconds later, with no warning logged; one asked for before the main window
exists never reaches the shell."""
import re


def test_notify_adds_modifies_and_removes_its_own_icons(h):
    r = h.run(["notify", "Recording Started", "Saved to\r\n  D:\\rec.wav", "1"], exe=h.tool("repair_host"),
              timeout=90)
    assert r.rc == 0, r
    lines = r.lines()
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
