"""The read-only settings report (--config) on the real executable."""
import json
import os

from audio_helpers import devices
from locale_helpers import user_decimal_separator


def _win(h, unix_path):
    return "C:" + unix_path.split("drive_c", 1)[1].replace("/", "\\")


def _config_path(h):
    return os.path.join(h.appdata, "recorder_config.json")


def _write(h, text):
    os.makedirs(h.appdata, exist_ok=True)
    with open(_config_path(h), "w", encoding="utf-8") as f:
        f.write(text)


def _section(lines, header):
    i = lines.index(header) + 1
    out = []
    while i < len(lines) and lines[i] != "":
        out.append(lines[i])
        i += 1
    return out


def test_config_without_a_file(h):
    r = h.run(["--config"])
    assert r.rc == 1, r
    assert r.lines() == ["Config file : " + _win(h, _config_path(h)), "Exists      : False", "",
                         "No configuration file yet; defaults would be used."], r
    assert not os.path.exists(_config_path(h))


def test_config_empty_object_shows_every_default(h):
    _write(h, "{}")
    r = h.run(["--config"])
    assert r.rc == 0, r
    rows = [("save_folder", h.winpath(h.build_dir)), ("sample_rate", "48000"), ("bit_depth", "24"),
            ("channels", "2"), ("buffer_size", "2048"), ("filename_prefix", '""'), ("auto_start", "False"),
            ("auto_start_delay", "0 s"), ("auto_split_secs", "0 s"), ("max_length_secs", "0 s"),
            ("group_splits", "True"), ("in1_route", "Both Channels"), ("in2_route", "Both Channels"),
            ("in1_gain / in2_gain", "1 / 0.5"), ("window_title", "Tapewright"), ("confirm_exit", "True"),
            ("speak_in_focus_only", "False"), ("auto_resume_unattended", "False"),
            ("continue_on_mic_disconnect", "False"), ("check_updates_startup", "True"), ("snd_volume", "100"),
            ("sound for start", "Rising Sweep"), ("sound for stop", "Falling Sweep"),
            ("sound for pause", "Low Double Beep"), ("sound for unpause", "High Double Beep"),
            ("device_id", ""), ("device2_id", "none")]
    expected = ["Config file : " + _win(h, _config_path(h)), "Exists      : True", "", "As read by this build:"]
    expected += ["  %-26s %s" % row for row in rows]
    expected += ["", "Device resolution:", "  Input 1  NOT CONNECTED", "  Input 2  not configured", "",
                 "Keys present in the file that this build does not use:", "  none", "",
                 "Nothing was written. This command is read-only."]
    assert r.lines() == expected, r.lines()
    assert open(_config_path(h)).read() == "{}"


def test_config_migration_and_a_real_device_without_writing(h):
    kind, name, first_id = devices(h)[0]
    text = json.dumps({"auto_split_mins": 2, "snd_pause": False, "in1_gain": "0.8", "device_id": first_id,
                       "device2_id": "{gone}", "Sample_Rate": 1, "future_key": None}, indent=4)
    _write(h, text)
    r = h.run(["--config"])
    assert r.rc == 0, r
    lines = r.lines()
    rows = _section(lines, "As read by this build:")
    assert "  auto_split_secs            120 s" in rows, rows
    assert "  in1_gain / in2_gain        0.8 / 0.5" in rows, rows
    assert _section(lines, "Device resolution:") == [f"  Input 1  FOUND   {kind}: {name}",
                                                     "  Input 2  NOT CONNECTED"], lines
    # Read-only: the legacy key is still in the file.
    assert open(_config_path(h)).read() == text



def test_config_gains_in_the_users_number_format(h):
    _write(h, json.dumps({"in1_gain": 0.75}))
    with user_decimal_separator(h, ","):
        r = h.run(["--config"])
    assert r.rc == 0, r
    assert "  in1_gain / in2_gain        0,75 / 0,5" in _section(r.lines(), "As read by this build:"), r.lines()
