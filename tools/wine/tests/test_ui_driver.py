"""The UI test driver against a dialog of its own, so that a fault in the driver is not read as a
fault in the program's dialogs."""
import os

from ui_helpers import Driver, Host, screenshot, walk_dialog

WINDOW_TEST = True

NAME = "Zoë ☃ 𝄞"  # a letter outside ASCII, a symbol and a surrogate pair


def _demo(h, mode):
    return Host(h, "ui_driver", ["--demo", mode])


def test_ui_driver_walks_a_dialog_modal_and_modeless(h):
    for mode in ("modal", "modeless"):
        with _demo(h, mode) as host, Driver(h) as d:
            dlg = d.find("Driver Demo")
            seen = walk_dialog(d, dlg, 101)
            assert seen["names"] == ["Name:", "Colour:", "Takes:", "Loud", "Warn", "OK", "Cancel"], seen
            # walk_dialog pressed the group box's Alt+O last: the check box has the focus.
            assert d.key(dlg, "Alt+N")["id"] == 101
            typed = d.type(dlg, text=NAME)["focus"]
            assert typed["text"] == NAME and typed["value"] == NAME, typed
            assert d.key(dlg, "Alt+C Down")["sel"] == 1
            assert d.key(dlg, "Alt+L")["check"] == 1
            if mode == "modal":
                screenshot(h, d, "driver-demo")
                assert os.path.getsize(os.path.join(h.work, "ui-screens", "driver-demo.png")) > 1000
                d.key(dlg, "Alt+W")
                warn = d.msgbox("Demo Warning")
                assert (warn["text"], warn["icon"], warn["icon_kind"]) == ("Careful.", "yellow", "warning"), warn
                # Keys wait until the dialog beneath has its activation back; meanwhile they say why not.
                error = d("active", hwnd=dlg, timeout=300, check=False)["error"]
                assert "was not active with the focus inside it within 300 ms: active " in error, error
                assert "Demo Warning" in error, error
                d.key(warn["hwnd"], "Enter")
                assert d.back_to(dlg, warn["hwnd"])["id"] == 105
            d.key(dlg, "Enter")
            box = d.msgbox("Demo Result")
            assert (box["text"], box["icon_kind"]) == ("Name: " + NAME, "information"), box
            assert [(b["id"], b["text"], b["default"]) for b in box["buttons"]] == [
                (1, "OK", True), (2, "Cancel", False)], box
            d("click", hwnd=box["hwnd"], id=2)
            d.gone(dlg)
            assert d("clipboard")["text"] == NAME
            assert host.rest() == (0, ["result 1 name=%s colour=1 loud=1 box=2" % NAME]), mode


def test_ui_driver_escape_and_errors(h):
    with _demo(h, "modeless") as host, Driver(h) as d:
        dlg = d.find("Driver Demo")
        assert not d("find", caption="No Such Window", timeout=100, check=False)["ok"]
        assert "unknown key" in d("key", hwnd=dlg, keys="Ctrl+Nokey", check=False)["error"]
        assert "unknown command" in d("frobnicate", check=False)["error"]
        assert d("focus", hwnd="12abc", check=False)["error"] == "not a number: hwnd=12abc"
        d.key(dlg, "Escape")
        d.gone(dlg)
        assert host.rest() == (0, ["result 2 name= colour=0 loud=0 box=0"])
