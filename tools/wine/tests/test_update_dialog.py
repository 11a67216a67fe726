"""The update offer (Updater::Offer with the real UpdateDialog) as a keyboard and screen-reader
user meets it, through update_offer_host and the UI driver."""
from ui_helpers import Driver, Host, screenshot

WINDOW_TEST = True

NOTES = "What changed\\n- Fixed a crash\\n* Faster start\\n\\n   - indented item\\nplain line\\n-\\n"
FAILED = ("Update Failed: The update could not be installed. Your current version is untouched.  "
          "No network in the test host: https://release.invalid/Tapewright-win-x64.exe")


def _open(h, notes=NOTES):
    host = Host(h, "update_offer_host", ["--tag", "v9.9.9", "--notes", notes])
    line = host.line(30)
    assert line.startswith("OPEN ") and line.endswith(" busy=1"), line
    return host, int(line.split()[1])


def test_update_dialog_layout_notes_and_focus(h):
    host, dlg = _open(h)
    with Driver(h) as d:
        assert d("info", hwnd=dlg)["text"] == "Update Available"
        controls = d.controls(dlg)
        # The live styles: Wine adds WS_EX_NOPARENTNOTIFY to every child, and a list box shows
        # WS_VSCROLL (and its border, drawn as the client edge) only as it needs them.
        assert [(c["id"], c["class"], c["text"], c["style"] & ~0xA00000, c["exstyle"] & ~0x4)
                for c in controls] == [
            (1501, "Static", "There's an update available. You will be upgrading from version v2.2.4 to v9.9.9.",
             0x50000080, 0),
            (1502, "Static", "&What's new:", 0x50000000, 0),
            (1503, "ListBox", "", 0x50010141, 0x200),
            (1504, "Button", "&Update Now", 0x50010001, 0),
            (1505, "Button", "&Don't Update", 0x50010000, 0)], controls
        notes = d("info", hwnd=dlg, id=1503)
        # One entry per line: bullets, indentation and empty lines are gone.
        assert notes["items"] == ["What changed", "Fixed a crash", "Faster start", "indented item", "plain line"]
        assert notes["sel"] == 0, notes
        # The label carries its own id (1502), so the shared walk, which takes only id -1 statics
        # for labels, is done here: focus start, Tab both ways, the label's mnemonic, the names.
        assert d.focus(dlg)["id"] == 1503
        assert [d.key(dlg, "Tab", move=1)["id"] for _ in range(3)] == [1504, 1505, 1503]
        assert [d.key(dlg, "Shift+Tab", move=1)["id"] for _ in range(3)] == [1505, 1504, 1503]
        d.key(dlg, "Tab", move=1)
        assert d.key(dlg, "Alt+W", move=1)["id"] == 1503
        assert [(c["name"], c["shortcut"]) for c in controls[1:] if c["id"] != 1503] == [
            ("What's new:", "Alt+W"), ("Update Now", "Alt+U"), ("Don't Update", "Alt+D")], controls
        screenshot(h, d, "update-dialog")
        d.key(dlg, "Escape")
    assert host.rest() == (0, ["RESULT 0"])

    # Without notes the list stays empty and still takes the focus first.
    host, dlg = _open(h, "")
    with Driver(h) as d:
        notes = d.focus(dlg)
        assert notes["id"] == 1503 and notes["items"] == [], notes
        d("close", hwnd=dlg)
    assert host.rest() == (0, ["RESULT 0"])


def test_update_dialog_answers(h):
    # Enter on the notes list presses the default "&Update Now"; agreeing starts the installation.
    cases = [("Enter", 1), ("Alt+U", 1), ("Tab Enter", 1), ("Tab Tab Enter", 0), ("Alt+D", 0),
             ("Alt+W Enter", 1), ("Escape", 0), ("close box", 0)]
    for keys, result in cases:
        host, dlg = _open(h)
        with Driver(h) as d:
            if keys == "close box":
                d("close", hwnd=dlg)
            else:
                d.key(dlg, keys)
        expected = [FAILED, "RESULT 1"] if result else ["RESULT 0"]
        assert host.rest() == (0, expected), keys
