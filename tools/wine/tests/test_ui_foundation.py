"""The foundation dialogs under Wine as a keyboard and screen-reader user meets them, modal and
modeless, through the ui_host test host and the UI driver."""
import os

from ui_helpers import Driver, Host, screenshot, spoken, wait_spoken, wait_text, walk_dialog

WINDOW_TEST = True

MODES = [("modal", []), ("modeless", ["--modeless"])]
CONFIRM = ["confirm", "--title", "External Drive Warning",
           "--message", "Save to E:\\Music & Co?\nSecond line.",
           "--accept", "&Use This Folder", "--reject", "&Choose Another"]


def test_confirm_dialog_walk_texts_and_results(h):
    for mode, flag in MODES:
        with Host(h, "ui_host", CONFIRM + flag) as host, Driver(h) as d:
            dlg = host.opened()
            top = d("info", hwnd=dlg)
            assert top["text"] == "External Drive Warning", top
            controls = d.controls(dlg)
            assert [(c["id"], c["class"], c["text"], c["style"], c["tabstop"]) for c in controls] == [
                (1601, "Static", "Save to E:\\Music & Co?\nSecond line.", 0x50000080, False),
                (1602, "Button", "&Use This Folder", 0x50010001, True),
                (1603, "Button", "&Choose Another", 0x50010000, True)], controls
            seen = walk_dialog(d, dlg, 1602)
            assert seen["names"] == ["Use This Folder", "Choose Another"], seen
            if mode == "modal":
                screenshot(h, d, "confirm-dialog")
            d.key(dlg, "Escape")
            assert host.rest() == (0, ["RESULT 0"]), mode


def test_confirm_dialog_keys_give_the_results(h):
    cases = [("Enter", 1), ("Tab Enter", 0), ("Alt+U", 1), ("Alt+C", 0), ("Escape", 0), ("close box", 0)]
    for mode, flag in MODES:
        for keys, result in cases:
            with Host(h, "ui_host", CONFIRM + flag) as host, Driver(h) as d:
                dlg = host.opened()
                if keys == "close box":
                    d("close", hwnd=dlg)
                else:
                    d.key(dlg, keys)
                assert host.rest() == (0, ["RESULT %d" % result]), (mode, keys)


def test_spin_and_duration_fields_speak_and_normalise(h):
    # Volume 1..100 percent; length at most an hour, shown as 5 minutes (spin maximum 60).
    args = ["fields", "--volume", "50", "--seconds", "300", "--max-seconds", "3600"]
    steps = [
        # keys, field, text after, spoken
        ("Up", 201, "51 percent", "51 percent"),
        ("Down", 201, "50 percent", "50 percent"),
        ("End", 201, "100 percent", "100 percent"),
        ("Up", 201, "100 percent", "100 percent"),  # at the limit it still speaks
        ("Home", 201, "1 percent", "1 percent"),
        ("Down", 201, "1 percent", "1 percent"),
        ("Alt+L", 202, "5 minutes", None),
        ("Up", 202, "6 minutes", "6 minutes"),
        ("End", 202, "60 minutes", "60 minutes"),
        ("Up", 202, "60 minutes", "60 minutes"),
        ("Home", 202, "0 minutes", "0 minutes"),
        ("Down", 202, "0 minutes", "0 minutes"),
        ("Up", 202, "1 minute", "1 minute"),
        ("Left", 202, "1 minute", None),  # moves the caret; not spoken, not changed
    ]
    for mode, flag in MODES:
        h.reset_appdata()
        with Host(h, "ui_host", args + flag) as host, Driver(h) as d:
            dlg = host.opened()
            if mode == "modal":
                seen = walk_dialog(d, dlg, 201)
                assert seen["names"] == ["Volume:", "Length:", "Length:", "OK", "Cancel"], seen
                screenshot(h, d, "spin-fields")
                d.key(dlg, "Alt+V", move=1)
            said = []
            for keys, field, text, speech in steps:
                d.key(dlg, keys, move=int(keys.startswith("Alt+")))
                if speech:
                    said.append(speech)
                assert wait_spoken(h, len(said)) == said, (mode, keys, spoken(h))
                assert wait_text(d, dlg, field, text) == text, (mode, keys)
                assert d.focus(dlg)["id"] == field, (mode, keys)
            # Typed text is parsed and rewritten when the focus leaves the field.
            for field, typed, shown in [(201, "abc 45xyz", "45 percent"), (201, "250", "100 percent"),
                                        (202, "x90 hours", "60 minutes"), (202, "", "0 minutes")]:
                d.key(dlg, "Alt+V" if field == 201 else "Alt+L", move=1)
                d.key(dlg, "Ctrl+A Delete")
                if typed:
                    d.type(dlg, text=typed)
                assert wait_text(d, dlg, field, typed) == typed
                d.key(dlg, "Tab", move=1)
                assert wait_text(d, dlg, field, shown) == shown, (mode, typed)
            assert spoken(h) == said, "leaving a field speaks nothing"
            # Another unit keeps the number, read in the new unit within its limit.
            d.key(dlg, "Alt+L", move=1)
            d.type(dlg, text="2")
            d.key(dlg, "Tab", move=1)
            d.key(dlg, "Down")
            assert wait_text(d, dlg, 202, "1 hour") == "1 hour"
            unit = d.focus(dlg)
            assert (unit["id"], unit["sel"]) == (203, 2), unit
            d.key(dlg, "Enter")
            assert host.rest() == (0, ["RESULT 1 volume=100 seconds=3600 unit=2"]), mode


def test_dialog_failure_takes_the_fatal_path(h):
    for flag in ([], ["--modeless"]):
        h.reset_appdata()
        with Host(h, "ui_host", ["throw"] + flag) as host, Driver(h) as d:
            dlg = host.opened()
            d.key(dlg, "Enter")
            box = d.msgbox("Tapewright")
            head, failure, where = box["text"].split("\r\n\r\n")
            assert head == "Tapewright hit an unrecoverable error and has to close.", box
            assert failure.endswith("Test failure from a dialog command"), box
            assert where.startswith("Details were written to:\r\n") and where.endswith("twr_diagnostic.log"), box
            assert box["icon_kind"] == "error", box
            if not flag:
                screenshot(h, d, "fatal-box")
            d.key(box["hwnd"], "Enter")
            rc, lines = host.rest()
        assert rc == 1 and not any(x.startswith("RESULT") for x in lines), (flag, rc, lines)
        assert "ERROR - Fatal error: Test failure from a dialog command" in h.log_text(), h.log_text()


def test_folder_picker_cancel_and_choose(h):
    folder = h.scratch()
    os.makedirs(os.path.join(folder, "sub"))
    missing = h.winpath(os.path.join(folder, "missing"))
    # Wine's folder dialog accepts nothing with an empty name box; a name typed there is read in
    # the preset folder, which shows that the folder was preset.
    cases = [(h.winpath(folder), "Escape", "RESULT 0"),
             (h.winpath(folder), "type", "RESULT 1 " + h.winpath(os.path.join(folder, "sub"))),
             (missing, "Escape", "RESULT 0")]  # a folder that does not exist only loses the preset
    for initial, action, expected in cases:
        args = ["folder", "--title", "Choose the Save Folder", "--initial", initial]
        with Host(h, "ui_host", args) as host, Driver(h) as d:
            dlg = host.opened()
            assert d("info", hwnd=dlg)["text"] == "Choose the Save Folder"
            if action == "type":
                screenshot(h, d, "folder-picker")
                for _ in range(12):  # Wine's dialog, not ours: tab round to its name box
                    if d.focus(dlg)["id"] == 1152:
                        break
                    d.key(dlg, "Tab", move=1)
                d.type(dlg, text="sub")
                d.key(dlg, "Enter")
            else:
                d.key(dlg, action)
            assert host.rest() == (0, [expected]), (initial, action)
