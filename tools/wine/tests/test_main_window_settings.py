"""The Settings button of the main window: the real settings dialog opens over it, an auto-start
that comes due while it is open waits for it to close, and a title saved there renames the window."""
import time

from audio_helpers import monitor_ids
from test_main_window import _buttons, _lines, _said_in_order, _settings, _spoken, _wait, _window
from ui_helpers import Driver

WINDOW_TEST = True


def test_settings_hold_a_due_auto_start_until_closed_and_rename_the_window(h):
    folder = h.scratch()
    _settings(h, folder, monitor_ids(h)[0], confirm_exit=False, auto_start=True, auto_start_delay=3)
    proc = h.popen([])
    rc = None
    try:
        with Driver(h) as d:
            window = _window(h, d, proc)
            assert _lines(d, window, 3005)[4] == "Status: Auto-recording in 3 seconds...", _lines(d, window, 3005)
            d.key(window, "Alt+T")
            dlg = d.find("Recording Settings", timeout=20000)
            d.key(dlg, "Alt+T")
            d("type", hwnd=dlg, text="Take Two")
            # The countdown ends while the dialog is open: nothing may start under it.
            time.sleep(4.5)
            assert "Recording started" not in _spoken(h), _spoken(h)
            d.key(dlg, "Enter")
            d.gone(dlg)
            _said_in_order(h, ["Recording started"])
            assert d.find("Take Two") == window
            d.key(window, "Alt+T")
            _said_in_order(h, ["Recording started", "Recording stopped"])
            _wait("Start enabled again", lambda: _buttons(d, window)[2] == ("&Start Recording", True))
            d.key(window, "Alt+X")
        rc = proc.wait(timeout=20)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert rc == 0, rc
