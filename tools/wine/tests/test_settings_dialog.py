"""The settings dialog and its option dialogs under Wine, as a keyboard and screen-reader user
meets them: settings_host opens each dialog modally over a settings file, the UI driver walks and
changes it from the keyboard, and the file is compared afterwards."""
import json
import os

from ui_helpers import Driver, screenshot, wait_exit


def _file(h, content):
    folder = h.scratch()
    path = os.path.join(folder, "recorder_config.json")
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(content)
    return path


def _open(h, dialog, path):
    return h.popen([dialog, h.winpath(path)], exe=h.tool("settings_host"))


def test_settings_dialog_first_look(h):
    path = _file(h, "{}")
    host = _open(h, "settings", path)
    with Driver(h) as d:
        dlg = d.find("Recording Settings", timeout=20000)
        print(json.dumps(d.controls(dlg), indent=1)[:3000])
        screenshot(h, d, "settings-first")
        d.key(dlg, "Escape")
        d.gone(dlg)
    rc, out = wait_exit(host)
    assert (rc, out) == (0, "result 0\r\n"), (rc, out)
    assert open(path).read() == "{}"
