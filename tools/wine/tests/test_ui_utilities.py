"""The interface's control utilities and dialog creation under Wine, through tools/wintools/ui_host.
The keyboard walks of the dialogs themselves live with the UI driver's tests."""
import re

WINDOW_TEST = True


def _checks(r):
    assert r.rc == 0, r
    lines = r.lines()
    assert lines[-1] == "RESULT 0", r
    return dict(line[len("CHECK "):].split("=", 1) for line in lines if line.startswith("CHECK "))


def test_control_utilities(h):
    got = _checks(h.run(["utilities"], exe=h.tool("ui_host")))
    assert got == {
        # CR LF, a blank line and a lone CR split; trailing blanks go; 7 pixels per unit.
        "list_lines": "a|b|c", "list_extent": "7", "list_line_past_end": "",
        # An empty text empties the list and leaves the extent; blank lines are not added.
        "list_after_empty_count": "0", "list_after_empty_extent": "7",
        "list_blank_count": "0", "list_blank_extent": "0", "list_missing": "",
        # Data is sign-extended; a text differing in case selects item 0; an empty box nothing.
        "combo_add_index": "0", "combo_insert_index": "0", "combo_none_data": "-1", "combo_none_text": "",
        "combo_case_differs": "Hours,-5", "combo_exact": "Minutes,20", "combo_empty_selection": "-1",
        "item_text": "Caf\u00e9 \U0001F399", "item_missing": "", "item_emptied": "",
        "clipboard": "Copied \u2713|line two",
    }, got


def test_refused_template(h):
    # Modal: the creating call's own failure value; modeless: the exact failure text.
    r = h.run(["broken"], exe=h.tool("ui_host"))
    assert r.rc == 0 and r.lines() in (["RESULT -1"], ["RESULT 0"]), r
    r = h.run(["broken", "--modeless"], exe=h.tool("ui_host"))
    assert r.rc == 1 and re.fullmatch(r"ERROR CreateDialogIndirectParam failed, error \d+", r.lines()[0]), r
