"""The settings dialog and its option dialogs under Wine, as a keyboard and screen-reader user
meets them: settings_host opens each dialog modally over a settings file, the UI driver walks and
changes it from the keyboard, and the file is compared afterwards."""
import json
import os
import shutil
import signal
import subprocess
import threading
import time

import numpy as np

import release_host as rh
from test_update import NEWER, VERSION, _release

from audio_helpers import monitor_ids, play, stop
from ui_helpers import Driver, mnemonic, screenshot, spoken, spoken_name, tab_stops, wait_exit, walk_dialog

WINDOW_TEST = True

# The settings dialog's tab stops in template order, with what a screen reader names them.
SETTINGS_STOPS = [
    (2001, "Device Sort Order:"), (2002, "Primary Input 1:"), (2003, "Secondary Input 2:"),
    (2004, ""), (2005, "Change Folder"), (2006, "Sample Rate (Hz):"), (2007, "Bit Depth:"),
    (2008, "Channels:"), (2009, "Buffer Size (Frames):"), (2010, "File Prefix:"),
    (2011, "Auto-start recording on launch"), (2012, "Start Delay:"), (2023, ""),
    (2013, "Max Recording Length (0=off):"), (2024, ""), (2014, "Time Auto-Split every:"), (2025, ""),
    (2015, "Automatically place all splits into a unified folder"), (2016, "Window Title:"),
    (2017, "Check for updates on startup"), (2018, "Check for Updates Now"),
    (2019, "Configure Notifications"), (2020, "Configure Sounds"), (2021, "Configure Audio Channels"),
    (2022, "Copy Diagnostic Logs"), (1, "Save & Close"),
]


def _file(h, content):
    path = os.path.join(h.scratch(), "recorder_config.json")
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(content)
    return path


def _read(path):
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


def _json(pairs):
    """The settings file as the program writes it: one member per line, four spaces."""
    return "{\n" + ",\n".join("    %s: %s" % (json.dumps(k), json.dumps(v, ensure_ascii=False))
                              for k, v in pairs) + "\n}"


def _host_args(h, dialog, path):
    """settings_host's arguments, with a speech folder that holds the stand-in controller client."""
    speech = h.scratch()
    shutil.copy(os.path.join(h.build_dir, "tools", "nvda_standin", "nvdaControllerClient_standin.dll"),
                os.path.join(speech, "nvdaControllerClient.dll"))
    return [dialog, h.winpath(path), h.winpath(speech)]


class _Host:
    """settings_host with one dialog over the file; a test that fails midway leaves no dialog
    behind for the next one to find."""

    def __init__(self, h, dialog, path):
        self.proc = h.popen(_host_args(h, dialog, path), exe=h.tool("settings_host"))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()

    def window(self, d, caption, timeout=20000):
        """The dialog's window; when it does not come, the error says what became of the host."""
        try:
            return d.find(caption, timeout=timeout)
        except AssertionError as e:
            rc = self.proc.poll()
            err = self.proc.communicate(timeout=10)[1].decode("utf-8", "replace") if rc is not None else ""
            raise AssertionError("%s; settings_host %s %s; windows %r" % (
                e, "ended with %s:" % rc if rc is not None else "still running", err, d("windows")["windows"]))

    def result(self, expected):
        rc, out = wait_exit(self.proc)
        assert (rc, out) == (0, "result %d\r\n" % expected), (rc, out)


def _press(d, hwnd, keys):
    """Keys that open another window: the focus read after them may meet a thread busy creating
    that window, so only the window that comes is checked."""
    d("key", hwnd=hwnd, keys=keys, check=False)


def _goto(d, dlg, control_id, limit=30):
    """Tabs forward until the control has the focus, as a keyboard user gets to a control
    that has no mnemonic of its own."""
    for _ in range(limit):
        focus = d.focus(dlg)
        if focus["id"] == control_id:
            return focus
        d.key(dlg, "Tab")
    raise AssertionError("Tab never reached %d" % control_id)


def test_settings_dialog_keyboard_walk(h):
    path = _file(h, "{}")
    with _Host(h, "settings", path) as host:
        with Driver(h) as d:
            dlg = host.window(d, "Recording Settings")
            controls = d.controls(dlg)
            stops = tab_stops(controls)
            # Every tab stop in template order; unit lists and the read-only folder are named by their
            # neighbours (Wine names a combo box by its item), so only labelled ones are compared.
            assert [c["id"] for c in stops] == [i for i, _ in SETTINGS_STOPS]
            for c, (_, name) in zip(stops, SETTINGS_STOPS):
                if name:
                    assert spoken_name(controls, c) == name, (c["id"], spoken_name(controls, c), name)
            assert d.focus(dlg)["id"] == 2001
            seen = [d.key(dlg, "Tab")["id"] for _ in SETTINGS_STOPS]
            assert seen == [i for i, _ in SETTINGS_STOPS[1:]] + [2001], seen
            back = [d.key(dlg, "Shift+Tab")["id"] for _ in SETTINGS_STOPS]
            assert back == [i for i, _ in reversed(SETTINGS_STOPS)], back
            # Label mnemonics reach the control after the label; the letter that two labels share
            # reaches them in turn.
            for keys, target in [("Alt+S", 2001), ("Alt+1", 2002), ("Alt+2", 2003), ("Alt+M", 2006),
                                 ("Alt+B", 2007), ("Alt+C", 2008), ("Alt+L", 2012), ("Alt+T", 2016),
                                 ("Alt+S Alt+P", 2010), ("Alt+P", 2014)]:
                assert d.key(dlg, keys)["id"] == target, (keys, target)
            buttons = {c["id"]: c for c in controls if c["class"].lower() == "button" and c["id"] != 0xFFFF}
            for bid in (2005, 2011, 2017, 2018):
                assert buttons[bid]["shortcut"].upper() == "ALT+" + mnemonic(buttons[bid]["text"]), buttons[bid]
            screenshot(h, d, "settings-dialog")
            d.key(dlg, "Escape")
            d.gone(dlg)
        host.result(0)
    assert _read(path) == "{}"


def test_settings_dialog_saves_what_the_keyboard_changed(h):
    path = _file(h, _json([("zz_first", "keep"), ("sample_rate", "22050"), ("buffer_size", 333),
                           ("bit_depth", "20"), ("device_id", "{gone}"), ("window_title", "Old"),
                           ("zz_last", 7)]))
    with _Host(h, "settings", path) as host:
        with Driver(h) as d:
            dlg = host.window(d, "Recording Settings")
            info = lambda i: d("info", hwnd=dlg, id=i)
            # Offered values keep what the file holds; a bit depth not offered shows the first.
            rates = info(2006)
            assert rates["items"][-1] == "22050" and len(rates["items"]) == 7 and rates["sel"] == 6, rates
            sizes = info(2009)
            assert sizes["items"][-1] == "333" and len(sizes["items"]) == 6 and sizes["sel"] == 5, sizes
            assert (info(2007)["items"], info(2007)["sel"]) == (["16", "24", "32"], 0)
            primary = info(2002)
            assert primary["items"][0] == "DISCONNECTED: {gone}" and primary["sel"] == 0, primary
            assert info(2003)["items"][0] == "None" and info(2003)["sel"] == 0

            d.key(dlg, "Alt+T")
            d.type(dlg, text="My Recorder")
            d.key(dlg, "Alt+S Alt+P")
            d.type(dlg, text=" take ")
            assert d.key(dlg, "Alt+C Up")["sel"] == 0
            assert d.key(dlg, "Alt+A")["check"] == 1
            start = len(spoken(h))
            d.key(dlg, "Alt+L Up Up Up Down")
            assert info(2012)["text"] == "2 seconds"
            _goto(d, dlg, 2013)
            d.key(dlg, "Home End")
            assert info(2013)["text"] == "2000000 seconds"
            _goto(d, dlg, 2025)
            d.key(dlg, "Down")
            assert info(2014)["text"] == "0 minutes"
            d.key(dlg, "Shift+Tab Up")
            assert spoken(h)[start:] == ["1 second", "2 seconds", "3 seconds", "2 seconds",
                                          "0 seconds", "2000000 seconds", "1 minute"], spoken(h)[start:]
            d.key(dlg, "Enter")
            d.gone(dlg)
        host.result(1)
    assert _read(path) == _json([
        ("zz_first", "keep"), ("sample_rate", "22050"), ("buffer_size", 333), ("bit_depth", "16"),
        ("device_id", "{gone}"), ("window_title", "My Recorder"), ("zz_last", 7),
        ("device2_id", "none"), ("auto_start", True), ("auto_start_delay", 2), ("auto_split_secs", 60),
        ("max_length_secs", 2000000), ("group_splits", True), ("channels", "1"),
        ("filename_prefix", " take "), ("check_updates_startup", True), ("device_sort_order", "Inputs First"),
    ])


def test_settings_dialog_input_pair_checks(h):
    original = _json([("device_id", "{gone}"), ("device2_id", "{gone}")])
    path = _file(h, original)
    with _Host(h, "settings", path) as host:
        with Driver(h) as d:
            dlg = host.window(d, "Recording Settings")
            assert d("info", hwnd=dlg, id=2003)["items"][:2] == ["None", "DISCONNECTED: {gone}"]
            _press(d, dlg, "Enter")
            box = d.msgbox("Invalid Selection")
            assert (box["text"], box["icon"]) == ("Input 1 and Input 2 cannot be the same device.", "yellow"), box
            d.key(box["hwnd"], "Enter")
            # Back where the user was when saving.
            assert d.back_to(dlg, box["hwnd"])["id"] == 2001
            assert _read(path) == original
            # Another second input: the question comes on every save, and No writes nothing.
            second = d.key(dlg, "Alt+2 Down")
            assert second["sel"] == 2, second
            for answer in ("Enter", "Alt+N"):
                _press(d, dlg, "Enter")
                box = d.msgbox("Hardware Clock Drift Warning")
                assert box["text"].startswith("You have selected two independent audio devices.\r\n\r\n"), box
                assert box["text"].endswith("\r\n\r\nDo you still want to use two independent devices?"), box
                assert [(b["id"], b["default"]) for b in box["buttons"]] == [(6, False), (7, True)], box
                d.key(box["hwnd"], answer)
                assert d.back_to(dlg, box["hwnd"])["id"] == 2003
                assert _read(path) == original
            _press(d, dlg, "Enter")
            box = d.msgbox("Hardware Clock Drift Warning")
            d.key(box["hwnd"], "Alt+Y")
            d.gone(dlg)
        host.result(1)
    saved = _read(path)
    assert saved.startswith(_json([("device_id", "{gone}")])[:-2] + ",\n    \"device2_id\": \""), saved
    assert "\"device2_id\": \"{gone}\"" not in saved and "\"device2_id\": \"none\"" not in saved, saved


def test_settings_dialog_escape_keeps_only_what_a_sub_dialog_saved(h):
    # Each option dialog opened from the settings dialog saves on its own OK; Escape in the settings
    # dialog afterwards drops only that dialog's own edits.
    original = _json([("zz", 1), ("window_title", "Old")])
    path = _file(h, original)
    with _Host(h, "settings", path) as host:
        with Driver(h) as d:
            dlg = host.window(d, "Recording Settings")
            d.key(dlg, "Alt+T")
            d.type(dlg, text="Never saved")
            d.key(dlg, "Alt+A")
            _goto(d, dlg, 2019)
            _press(d, dlg, "Space")
            sub = d.find("Notification Settings")
            assert d.focus(sub)["id"] == 1101
            d.key(sub, "Space Tab Tab Tab Tab Tab Tab Space")  # start/stop off, speak-in-focus on
            d.key(sub, "Enter")
            assert d.back_to(dlg, sub)["id"] == 2019

            d.key(dlg, "Tab")
            _press(d, dlg, "Space")
            sub = d.find("Configure Sounds")
            assert d.focus(sub)["id"] == 1201
            start = len(spoken(h))
            assert d.key(sub, "Alt+P")["check"] == 0
            d.key(sub, "Alt+V End Down")
            assert spoken(h)[start:] == ["100 percent", "99 percent"], spoken(h)[start:]
            screenshot(h, d, "settings-sounds-changed")
            d.key(sub, "Enter")
            assert d.back_to(dlg, sub)["id"] == 2020
            saved_sounds = _read(path)

            d.key(dlg, "Tab")
            _press(d, dlg, "Space")
            sub = d.find("Configure Audio Channels")
            assert d.focus(sub)["id"] == 1301
            assert d.key(sub, "Down")["sel"] == 1
            d.key(sub, "Alt+2 Down Down")
            assert d("info", hwnd=sub, id=1302)["sel"] == 2
            screenshot(h, d, "settings-channels-changed")
            d.key(sub, "Enter")
            assert d.back_to(dlg, sub)["id"] == 2021
            # The settings dialog still shows its own edits, unsaved.
            assert d("info", hwnd=dlg, id=2016)["text"] == "Never saved"
            d.key(dlg, "Escape")
            d.gone(dlg)
        host.result(0)
    notifications = [("notify_start_stop", False), ("notify_split", True), ("notify_error", True),
                     ("notify_drive_disconnect", True), ("notify_mic_disconnect", True),
                     ("speak_in_focus_only", True), ("auto_resume_unattended", False), ("confirm_exit", True)]
    sounds = [("snd_start", True), ("snd_stop", False), ("snd_pause", True), ("snd_unpause", True),
              ("snd_volume", 99), ("snd_start_sound", "Rising Sweep"), ("snd_stop_sound", "Falling Sweep"),
              ("snd_pause_sound", "Low Double Beep"), ("snd_unpause_sound", "High Double Beep")]
    before = [("zz", 1), ("window_title", "Old")] + notifications
    assert saved_sounds == _json(before + sounds), saved_sounds
    assert _read(path) == _json(before + sounds + [
        ("in1_route", "Left Channel Only"), ("in2_route", "Right Channel Only"),
        ("continue_on_mic_disconnect", False)])


def test_settings_dialog_copies_the_diagnostic_log(h):
    path = _file(h, "{}")
    with _Host(h, "settings", path) as host:
        with Driver(h) as d:
            dlg = host.window(d, "Recording Settings")
            _goto(d, dlg, 2022)
            _press(d, dlg, "Space")
            box = d.msgbox("Logs Copied")
            assert (box["text"], box["icon"]) == ("Diagnostic logs have been copied to your clipboard!", "blue"), box
            clip = d("clipboard")["text"]
            d.key(box["hwnd"], "Enter")
            assert d.back_to(dlg, box["hwnd"])["id"] == 2022
            d.key(dlg, "Escape")
            d.gone(dlg)
        host.result(0)
    log = h.log_text()
    # The host's own start-up lines are in the log; the copy is the log as it stood.
    assert "Speech backend: " in clip and log.startswith(clip), (clip, log)
    assert _read(path) == "{}"


def test_option_dialogs_walk_and_save_in_their_order(h):
    # Notifications on a file without its keys: the eight keys in saving order, defaults kept.
    path = _file(h, _json([("zz", "x")]))
    with _Host(h, "notifications", path) as host:
        with Driver(h) as d:
            dlg = host.window(d, "Notification Settings")
            seen = walk_dialog(d, dlg, 1101)
            assert seen["names"][-1] == "Save & Close" and len(seen["names"]) == 9, seen
            d.key(dlg, "Enter")
            d.gone(dlg)
        host.result(1)
    assert _read(path) == _json([
        ("zz", "x"), ("notify_start_stop", True), ("notify_split", True), ("notify_error", True),
        ("notify_drive_disconnect", True), ("notify_mic_disconnect", True), ("speak_in_focus_only", False),
        ("auto_resume_unattended", False), ("confirm_exit", True)])

    # Channels: a stored route in another letter case is not offered and saves as the first.
    path = _file(h, _json([("in1_route", "left channel only"), ("in2_route", "Right Channel Only")]))
    with _Host(h, "channels", path) as host:
        with Driver(h) as d:
            dlg = host.window(d, "Configure Audio Channels")
            seen = walk_dialog(d, dlg, 1301)
            assert seen["names"] == ["Input 1 Routing:", "Input 2 Routing:",
                                     "Continue recording if a mic disconnects", "Save & Close"], seen
            assert d("info", hwnd=dlg, id=1301)["sel"] == 0
            assert d.key(dlg, "Alt+2 Up")["sel"] == 1
            d.key(dlg, "Tab Space Enter")
            d.gone(dlg)
        host.result(1)
    assert _read(path) == _json([("in1_route", "Both Channels"), ("in2_route", "Left Channel Only"),
                                 ("continue_on_mic_disconnect", True)])

    # Escape in each writes nothing.
    for name, caption in (("notifications", "Notification Settings"), ("sounds", "Configure Sounds"),
                          ("channels", "Configure Audio Channels")):
        path = _file(h, "{}")
        with _Host(h, name, path) as host:
            with Driver(h) as d:
                dlg = host.window(d, caption)
                d.key(dlg, "Space Tab Down")
                d.key(dlg, "Escape")
                d.gone(dlg)
            host.result(0)
        assert _read(path) == "{}", name


def _grown(path, size, rec, timeout=30.0):
    """Waits until the recording in path holds at least size bytes."""
    deadline = time.time() + timeout
    while os.path.getsize(path) < size:
        assert time.time() < deadline and rec.poll() is None, ("parec wrote %d of %d bytes" % (os.path.getsize(path), size))
        time.sleep(0.05)


def _peak_while(h, action, seconds):
    """The peak level on the default sink while `action` runs and for `seconds` of recorded audio
    after it (the sink's clock, not the wall's: a busy machine plays late)."""
    raw = os.path.join(h.scratch(), "rec.raw")
    with open(raw, "wb") as f:
        rec = subprocess.Popen(["parec", "-d", "twr_sink_a.monitor", "--raw", "--format=s16le", "--rate=48000",
                                "--channels=1", "--latency-msec=20"], stdout=f, env=h.pulse_env)
        try:
            _grown(raw, 48000 * 2 // 5, rec)
            action()
            _grown(raw, os.path.getsize(raw) + int(48000 * 2 * seconds), rec)
        finally:
            rec.terminate()
            rec.wait(timeout=5)
    x = np.fromfile(raw, dtype="<i2").astype(np.float64)
    return float(np.max(np.abs(x))) if len(x) else 0.0


def test_sounds_dialog_volume_and_preview(h):
    path = _file(h, _json([("snd_volume", 0), ("snd_pause_sound", "low double beep")]))
    state = {}
    with _Host(h, "sounds", path) as host:
        with Driver(h) as d:
            def open_dialog():
                state["dlg"] = host.window(d, "Configure Sounds")
            # Filling and selecting the lists while the dialog opens plays nothing.
            assert _peak_while(h, open_dialog, 1.5) < 300
            dlg = state["dlg"]
            controls = d.controls(dlg)
            stops = [c["id"] for c in tab_stops(controls)]
            assert stops == [1201, 1211, 1202, 1212, 1203, 1213, 1204, 1214, 1205, 1], stops
            assert [d.key(dlg, "Tab")["id"] for _ in stops] == stops[1:] + stops[:1]
            volume = next(c for c in controls if c["id"] == 1205)
            assert spoken_name(controls, volume) == "Sound Effects Volume:"
            assert d("info", hwnd=dlg, id=1205)["text"] == "1 percent"
            assert d("info", hwnd=dlg, id=1213)["sel"] == 0  # only the exact name is selected
            start = len(spoken(h))
            d.key(dlg, "Alt+V End Down Down")
            assert spoken(h)[start:] == ["100 percent", "99 percent", "98 percent"], spoken(h)[start:]
            # A cue the user picks plays at the volume shown (saved or not), also for a row whose
            # box is not checked (Alt+S has just cleared it).
            assert d.key(dlg, "Alt+S")["check"] == 0
            d.key(dlg, "Tab")
            picked = {}

            def pick():
                picked.update(d.key(dlg, "Down"))
            preview = _peak_while(h, pick, 1.5)
            name = picked["items"][picked["sel"]]
            full = _peak_while(h, lambda: h.run([name, "100"], exe=h.tool("play_cue")), 0.5)
            assert full > 1000 and abs(preview / full - 0.98) < 0.05, (name, preview, full)
            d.key(dlg, "Enter")
            d.gone(dlg)
        host.result(1)
    assert _read(path) == _json([
        ("snd_volume", 98), ("snd_pause_sound", "None"), ("snd_start", False), ("snd_stop", True),
        ("snd_pause", True), ("snd_unpause", True), ("snd_start_sound", name),
        ("snd_stop_sound", "Falling Sweep"), ("snd_unpause_sound", "High Double Beep")]), _read(path)


def test_settings_dialog_change_folder(h):
    path = _file(h, "{}")
    other = h.winpath(h.scratch())  # Z: under Wine: a drive other than the system drive
    with _Host(h, "settings", path) as host:
        with Driver(h) as d:
            dlg = host.window(d, "Recording Settings")
            folder = lambda: d("info", hwnd=dlg, id=2004)["text"]
            shown = folder()

            def pick(text, keys="Enter", warned=False):
                _press(d, dlg, "Alt+H")
                picker = host.window(d, "Select Output Directory")
                assert d.focus(picker)["name"] == "File name:"
                if text:
                    d.type(picker, text=text)
                _press(d, picker, keys)
                if warned:  # the warning comes over the dialog next
                    d.gone(picker)
                else:
                    d.back_to(dlg, picker)

            pick("", "Escape")
            assert folder() == shown
            pick("C:\\windows")
            assert folder().lower() == "c:\\windows", folder()
            for answer, expected in (("Tab Space", "c:\\windows"), ("Enter", other.lower())):
                pick(other, warned=True)
                warn = d.find("External Drive Warning")
                focus = d.focus(warn)
                assert (focus["id"], focus["text"]) == (1602, "I understand"), focus
                assert d("info", hwnd=warn, id=1601)["text"] == (
                    "You have selected a directory on drive Z:.\n\nWhile this will work perfectly, it can be "
                    "dangerous. If this is a removable USB drive or external hard drive and it gets disconnected "
                    "or bumped while the app is running, your recording could be abruptly terminated.\n\n"
                    "Please ensure the drive remains securely connected.")
                d.key(warn, answer)
                d.back_to(dlg, warn)
                assert folder().lower() == expected, (answer, folder())
            screenshot(h, d, "settings-folder")
            d.key(dlg, "Enter")
            d.gone(dlg)
        host.result(1)
    with open(path, encoding="utf-8") as f:
        assert json.load(f)["save_folder"].lower() == other.lower()


class _InSession:
    """The harness with its Wine processes started inside a release host session's namespaces and
    on its prefix, where they share the wineserver of the steps that session runs."""

    def __init__(self, h, session):
        self._h, self._session = h, session
        self.pid = None

    def __getattr__(self, name):
        return getattr(self._h, name)

    def find_namespaces(self, running, timeout=60):
        """The session's process inside the namespaces: release_host.py running its plan (unshare,
        which starts it, may be a process of its own that stays outside)."""
        plan = os.path.join(self._session.dir, "plan.json").encode()
        own = os.readlink("/proc/self/ns/net")
        deadline = time.time() + timeout
        while time.time() < deadline and running():
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open("/proc/%s/cmdline" % pid, "rb") as f:
                        cmd = f.read().split(b"\0")
                    named = len(cmd) > 2 and cmd[1].endswith(b"release_host.py") and cmd[2] == plan
                    if named and os.readlink("/proc/%s/ns/net" % pid) != own:
                        self.pid = int(pid)
                        return
                except OSError:
                    continue
            time.sleep(0.05)
        raise AssertionError("the release host session did not start")

    def _cmd(self, *cmd):
        return ["nsenter", "-t", str(self.pid), "-m", "-n", "--"] + list(cmd)

    def _session_env(self, env=None):
        return dict(self._h._env(env), WINEPREFIX=self._session.prefix)

    def popen(self, args, env=None, exe=None, **kw):
        kw.setdefault("stdout", subprocess.PIPE)
        kw.setdefault("stderr", subprocess.PIPE)
        return subprocess.Popen(self._cmd("wine", exe or self._h.exe, *args), env=self._session_env(env),
                                start_new_session=True, **kw)

    def end_wine(self):
        """Ends every Wine process of the session, so a step left waiting for its window ends now."""
        if self.pid:
            subprocess.run(self._cmd("wineserver", "-k"), env=self._session_env(), capture_output=True, timeout=60)


def _settings_in_release_session(h, path, routes, drive):
    """Opens the settings dialog over the file inside a release host session that serves the routes,
    and calls drive(driver, dialog) to work it; returns the session's one step. One step only: the
    wineserver may be started by the step's program, and then holds that step's standard error
    until it ends, which the driver's connection puts off until the driver quits."""
    session = rh.Session(h)  # skips where private namespaces or the test CA cannot be had
    step = {"exe": h.tool("settings_host"), "args": _host_args(h, "settings", path), "routes": routes,
            "timeout": 180}
    outcome = {}

    def run():
        try:
            outcome["steps"] = session.run([step])
        except BaseException as e:  # reported by the test's own thread
            outcome["error"] = e
    runner = threading.Thread(target=run, daemon=True)
    runner.start()
    ns = _InSession(h, session)
    try:
        ns.find_namespaces(runner.is_alive)
        with Driver(ns) as d:
            drive(d, d.find("Recording Settings", timeout=60000))
        runner.join(120)
        assert not runner.is_alive(), "the release host's step did not end"
    except BaseException:
        while runner.is_alive():
            ns.end_wine()
            runner.join(5)
        # What the step's program wrote tells why a window did not come.
        print("    release host step: %r" % (outcome.get("steps") or outcome.get("error")))
        raise
    if "error" in outcome:
        raise outcome["error"]
    result = outcome["steps"][0]
    assert (result["rc"], result["out"]) == (0, "result 0\r\n"), result
    assert " - INFO - Manual update check triggered\r\n" in result["log"], result["log"]
    return result


def test_check_for_updates_now_saves_first_then_says_up_to_date_or_offers_the_release(h):

    path = _file(h, _json([("window_title", "Old"), ("check_updates_startup", True)]))

    def up_to_date(d, dlg):
        # The edit is saved before the check, and the box says there is nothing newer.
        d.key(dlg, "Alt+T")
        d.type(dlg, text="Checked")
        _goto(d, dlg, 2018)
        _press(d, dlg, "Space")
        box = d.msgbox("Up to Date", timeout=60000)
        assert '"window_title": "Checked"' in _read(path), _read(path)
        assert box["text"] == ("You are already on the latest version.\r\n\r\nInstalled version: %s"
                               "\r\nBuild: %s" % (VERSION, h.suffix)), box
        assert (box["icon_kind"], [(b["id"], b["text"]) for b in box["buttons"]]) == \
            ("information", [(1, "OK")]), box
        screenshot(h, d, "settings-update-up-to-date")
        d.key(box["hwnd"], "Enter")
        assert d.back_to(dlg, box["hwnd"])["id"] == 2018
        d.key(dlg, "Escape")
        d.gone(dlg)
    step = _settings_in_release_session(h, path, {rh.FEED_PATH: rh.route(rh.feed(VERSION))}, up_to_date)
    assert [q["path"] for q in step["requests"]] == [rh.FEED_PATH], step

    def offered(d, dlg):
        # A newer release: the offer comes over the settings dialog, and declining it installs nothing.
        _goto(d, dlg, 2018)
        _press(d, dlg, "Space")
        offer = d.find("Update Available", timeout=60000)
        assert d("info", hwnd=offer, id=1501)["text"] == (
            "There's an update available. You will be upgrading from version %s to %s." % (VERSION, NEWER))
        notes = d.focus(offer)
        assert (notes["id"], notes["items"]) == (1503, ["New", "first", "second code"]), notes
        screenshot(h, d, "settings-update-offered")
        d.key(offer, "Alt+D")
        assert d.back_to(dlg, offer)["id"] == 2018
        d.key(dlg, "Escape")
        d.gone(dlg)
    step = _settings_in_release_session(h, path, _release(h), offered)
    # Declined: the checksum file was read for the offer, the executable never fetched.
    assert [q["path"] for q in step["requests"]] == [rh.FEED_PATH, "/dl/SHA256SUMS"], step

    # The boxes speak for themselves; nothing else was said.
    assert spoken(h) == [], spoken(h)
    assert _read(path) == _json([("window_title", "Checked"), ("check_updates_startup", True),
                                 ("device_id", ""), ("device2_id", "none"), ("auto_start", False),
                                 ("auto_start_delay", 0), ("auto_split_secs", 0), ("max_length_secs", 0),
                                 ("group_splits", True), ("sample_rate", "48000"), ("bit_depth", "24"),
                                 ("channels", "2"), ("filename_prefix", ""), ("buffer_size", 2048),
                                 ("device_sort_order", "Inputs First")]), _read(path)


def test_a_settings_file_that_cannot_be_written_is_reported(h):
    original = _json([("window_title", "Old")])
    for dialog, caption in (("settings", "Recording Settings"), ("channels", "Configure Audio Channels")):
        path = _file(h, original)
        os.mkdir(path + ".tmp")  # the save's temporary file cannot be made
        with _Host(h, dialog, path) as host:
            with Driver(h) as d:
                dlg = host.window(d, caption)
                _press(d, dlg, "Enter")
                box = d.msgbox("Settings Not Saved")
                assert box["icon"] == "yellow", box
                assert box["text"].startswith("The settings could not be saved to %s.\r\n\r\n" % h.winpath(path)), box
                assert box["text"].endswith("\r\n\r\nThe new settings apply until the program closes."), box
                d.key(box["hwnd"], "Enter")
                d.gone(dlg)
            host.result(1)
        assert _read(path) == original
        assert "Failed to save config: " in h.log_text()


def test_settings_from_the_main_window(h):
    """Alt+T in the running main window opens the dialog; an auto-start that falls due while it is
    open waits for it, and the new title shows once it closes."""

    folder = h.scratch()
    os.makedirs(h.appdata, exist_ok=True)
    with open(os.path.join(h.appdata, "recorder_config.json"), "w", encoding="utf-8") as f:
        json.dump({"save_folder": h.winpath(folder), "device_id": monitor_ids(h)[0], "check_updates_startup": False,
                   "auto_start": True, "auto_start_delay": 2, "confirm_exit": False}, f)

    def wait(what, check, timeout=15.0):
        end = time.time() + timeout
        while time.time() < end:
            if check():
                return
            time.sleep(0.1)
        raise AssertionError("timed out waiting for %s; spoken %r" % (what, spoken(h)))

    players = play(h, 30, [(h.sinks[0], 440, 0.5)])
    proc = h.popen([])
    try:
        with Driver(h) as d:
            window = d.find("Tapewright", timeout=30000)
            status = d("info", hwnd=window, id=3005)["items"][-1]
            assert status.startswith("Status: Auto-recording in "), status
            _press(d, window, "Alt+T")
            dlg = d.find("Recording Settings")
            primary = d("info", hwnd=dlg, id=2002)
            assert primary["items"][primary["sel"]] == "Input: Monitor of " + h.sinks[0], primary
            # The countdown ends while the dialog is open, and puts its start off.
            wait("the countdown's end", lambda: d("info", hwnd=window, id=3005)["items"][-1] == "Status: Ready", 30)
            assert "Recording started" not in spoken(h), spoken(h)
            d.key(dlg, "Alt+T")
            d.type(dlg, text="Studio One")
            d.key(dlg, "Alt+P Alt+P")  # the second label with that letter: the auto-split interval
            d.type(dlg, text="5")
            d.key(dlg, "Enter")
            d.gone(dlg)
            assert d.find("Studio One") == window
            assert d("info", hwnd=window, id=3005)["items"][3] == "Auto-Split is: 5 seconds"
            wait("the deferred start", lambda: "Recording started" in spoken(h), 30)
            d.key(window, "Alt+T")  # S&top Recording
            wait("the stop", lambda: d("info", hwnd=window, id=3005)["items"][-1] == "Status: Ready", 30)
            wait("the stop spoken", lambda: "Recording stopped" in spoken(h))
            start = next(c for c in d.controls(window) if c["id"] == 3003)
            assert (start["text"], start["enabled"]) == ("&Start Recording", True), start
            d.key(window, "Alt+X")
            assert proc.wait(timeout=60) == 0
    finally:
        stop(players)
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    with open(os.path.join(h.appdata, "recorder_config.json"), encoding="utf-8") as f:
        saved = json.load(f)
    assert saved["window_title"] == "Studio One" and saved["auto_start"] is True, saved
