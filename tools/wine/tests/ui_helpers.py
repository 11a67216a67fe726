"""Driving dialogs under Wine as a keyboard and screen-reader user meets them.

`Driver` keeps one ui_driver.exe running and sends it one command per call (the command reference
is at the top of tools/wintools/ui_driver.cpp); `Host` runs a test host that prints "OPEN <hwnd>"
and its result lines; `walk_dialog` makes the checks every dialog must pass (focus start, tab
order both ways, accessible names, label mnemonics) and returns what it saw; `screenshot` keeps a
picture of the screen; `spoken`/`wait_spoken` read the stand-in controller client's log.
"""
import json
import os
import select
import shutil
import signal
import struct
import subprocess
import time
import zlib


class _Lines:
    """Standard output of a Wine process read line by line with a time-out, never blocking for ever."""

    def __init__(self, proc, what):
        self.proc, self.what, self._buf = proc, what, b""

    def line(self, timeout=30):
        deadline = time.time() + timeout
        while b"\n" not in self._buf:
            left = deadline - time.time()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                raise AssertionError("%s wrote no line within %.0f s" % (self.what, timeout))
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                raise AssertionError("%s ended (exit code %s)" % (self.what, self.proc.poll()))
            self._buf += chunk
        line, self._buf = self._buf.split(b"\n", 1)
        return line.decode("utf-8").rstrip("\r")

    def rest(self, timeout=60):
        """Waits for the process to end; returns its exit code and the lines it wrote meanwhile."""
        deadline = time.time() + timeout
        while True:
            left = deadline - time.time()
            if left <= 0:
                self.proc.kill()
                raise AssertionError("%s did not end within %.0f s" % (self.what, timeout))
            if select.select([self.proc.stdout], [], [], left)[0]:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                if not chunk:
                    break
                self._buf += chunk
        rc = self.proc.wait(timeout=10)
        text = self._buf.decode("utf-8")
        self._buf = b""
        return rc, [x.rstrip("\r") for x in text.split("\n") if x.rstrip("\r")]


class Host(_Lines):
    """A test host exe (tools/wintools) that shows a dialog and reports on standard output; as a
    context manager it ends the host if it is still running."""

    def __init__(self, h, tool, args, env=None):
        super().__init__(h.popen(args, exe=h.tool(tool), env=env, stderr=subprocess.DEVNULL), tool)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        # A host left over from a failed test would keep its dialog up for the next one.
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()

    def opened(self, timeout=30):
        """The window handle of the "OPEN <hwnd>" line the host writes once its dialog is up."""
        line = self.line(timeout)
        assert line.startswith("OPEN "), line
        return int(line.split()[1])


class Driver(_Lines):
    def __init__(self, h):
        self.h = h
        super().__init__(h.popen([], exe=h.tool("ui_driver"), stdin=subprocess.PIPE, stderr=subprocess.DEVNULL),
                         "ui_driver")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
                self.proc.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()

    def __call__(self, cmd, check=True, **args):
        """Runs one command; returns its answer as a dict. Raises when it failed and check is set."""
        parts = [cmd]
        for k, v in args.items():
            parts.append("%s=%s" % (k, v if isinstance(v, int) else json.dumps(str(v))))
        self.proc.stdin.write((" ".join(parts) + "\n").encode("utf-8"))
        self.proc.stdin.flush()
        waits = [int(args.get(k, 0)) for k in ("timeout", "settle", "ms", "ready")]
        answer = json.loads(self.line(30 + sum(waits) / 1000))
        if check and not answer["ok"]:
            raise AssertionError("%s %r: %s" % (cmd, args, answer["error"]))
        return answer

    # --- conveniences ------------------------------------------------------------------
    # Every wait is for a condition, and its bound is what a busy machine may need (the driver's
    # own defaults are a few seconds): a test that passes waits no longer for it.
    def find(self, caption, timeout=30000, **kw):
        return self("find", caption=caption, timeout=timeout, **kw)["hwnd"]

    def controls(self, hwnd):
        return self("controls", hwnd=hwnd)["controls"]

    def focus(self, hwnd, **kw):
        return self("focus", hwnd=hwnd, **kw)

    def key(self, hwnd, keys, **kw):
        kw.setdefault("ready", 30000)
        if kw.get("move"):
            kw.setdefault("timeout", 15000)
        return self("key", hwnd=hwnd, keys=keys, **kw)["focus"]

    def type(self, hwnd, text, **kw):
        kw.setdefault("ready", 30000)
        return self("type", hwnd=hwnd, text=text, **kw)

    def msgbox(self, caption, timeout=30000, **kw):
        return self("msgbox", caption=caption, timeout=timeout, **kw)

    def gone(self, hwnd, timeout=30000):
        return self("gone", hwnd=hwnd, timeout=timeout)

    def back_to(self, owner, closed, timeout=30000):
        """Waits until `closed` (a message box or dialog just answered) is gone and `owner`, the
        window beneath it, is active again with the focus inside it, as the user is then back
        in it; returns the owner's focus. The driver's keys wait for this too, but a test that
        reads the window before its next key must not read it half way."""
        self.gone(closed, timeout)
        return self("active", hwnd=owner, timeout=timeout)


def mnemonic(text):
    """The letter after a single "&" (upper case), or None; "&&" is a literal ampersand."""
    i = 0
    while i < len(text) - 1:
        if text[i] == "&":
            if text[i + 1] != "&":
                return text[i + 1].upper()
            i += 1
        i += 1
    return None


def plain(text):
    """The text as a screen reader reads it: the mnemonic markers gone, "&&" read as "&"."""
    return text.replace("&&", "\0").replace("&", "").replace("\0", "&")


def is_label(c):
    return c["class"].lower() == "static" and c["id"] == 0xFFFF


def is_group(c):
    return c["class"].lower() == "button" and c["style"] & 0xF == 7  # BS_GROUPBOX


def tab_stops(controls):
    return [c for c in controls if c["tabstop"] and c["visible"] and c["enabled"]]


def label_of(controls, c):
    """The label a screen reader speaks for an edit or list: the Static just before it."""
    i = controls.index(c)
    return controls[i - 1] if i > 0 and is_label(controls[i - 1]) else None


def spoken_name(controls, c):
    """The accessible name of a tab stop. Wine's MSAA gives edits and buttons their names; a
    drop-down or list box (Wine gives the current item or nothing) is named by the nearest label
    before it, so the unit list of a duration field shares its number's label."""
    cls = c["class"].lower()
    if cls in ("combobox", "listbox"):
        before = [x for x in controls[:controls.index(c)] if is_label(x)]
        return plain(before[-1]["text"]) if before else ""
    return c.get("name") or ""


def walk_dialog(d, hwnd, first_id):
    """Checks the keyboard view of a dialog and returns it as {"order": [...], "names": [...]}:
    the focus starts on first_id; Tab visits exactly the tab stops in template order and comes
    round again, Shift+Tab the same backwards; every tab stop has an accessible name (an edit's
    is its label, a button's its own text); every label's or group box's mnemonic moves the focus
    to the control after it, and no two mnemonics clash. Button mnemonics are read (MSAA shortcut), not pressed,
    since pressing them acts."""
    controls = d.controls(hwnd)
    stops = tab_stops(controls)
    ids = [c["id"] for c in stops]
    start = d.focus(hwnd)
    assert start["id"] == first_id, ("focus starts on", start["id"], "not", first_id)
    i0 = ids.index(first_id)
    forward = ids[i0:] + ids[:i0 + 1]
    seen = [start["id"]]
    for _ in range(len(ids)):
        seen.append(d.key(hwnd, "Tab", move=1)["id"])
    assert seen == forward, ("Tab order", seen, "template order", forward)
    back = [first_id]
    for _ in range(len(ids)):
        back.append(d.key(hwnd, "Shift+Tab", move=1)["id"])
    assert back == forward[::-1], ("Shift+Tab order", back, "expected", forward[::-1])

    names = []
    for c in stops:
        name = spoken_name(controls, c)
        assert name.strip(), ("tab stop without an accessible name", c)
        cls = c["class"].lower()
        if cls == "edit":
            label = label_of(controls, c)
            assert label and name == plain(label["text"]), ("edit not named by its label", c, label)
        elif cls == "button":
            assert name == plain(c["text"]), ("button name", name, c["text"])
        names.append(name)

    letters = {}
    for i, c in enumerate(controls):
        m = mnemonic(c["text"]) if c["visible"] and (is_label(c) or c["class"].lower() == "button") else None
        if not m:
            continue
        assert m not in letters, ("mnemonic used twice", m, letters[m], c["text"])
        letters[m] = c["text"]
        if is_label(c) or is_group(c):
            # The dialog manager moves to the next control that can take the focus.
            target = next(x for x in controls[i + 1:] if x in stops)
            got = d.key(hwnd, "Alt+" + m, move=int(d.focus(hwnd)["id"] != target["id"]))
            assert got["id"] == target["id"], ("Alt+" + m, "moved to", got["id"], "not", target["id"])
            assert target["class"].lower() != "edit" or got.get("shortcut") == "Alt+" + m, got
        else:
            assert c.get("shortcut") == "Alt+" + m, ("button shortcut", c)
    return {"order": [plain(c["text"]) or c["class"] for c in stops], "names": names}


# --- screenshots -----------------------------------------------------------------------

def _bmp_to_png(src, dst):
    b = open(src, "rb").read()
    off = struct.unpack_from("<I", b, 10)[0]
    w, hgt = struct.unpack_from("<ii", b, 18)
    assert struct.unpack_from("<H", b, 28)[0] == 24
    stride = (w * 3 + 3) & ~3
    rows = []
    for y in range(abs(hgt)):
        sy = abs(hgt) - 1 - y if hgt > 0 else y
        bgr = b[off + sy * stride: off + sy * stride + w * 3]
        rgb = bytearray(bgr)
        rgb[0::3], rgb[2::3] = bgr[2::3], bgr[0::3]
        rows.append(b"\0" + bytes(rgb))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    open(dst, "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, abs(hgt), 8, 2, 0, 0, 0))
                          + chunk(b"IDAT", zlib.compress(b"".join(rows), 6)) + chunk(b"IEND", b""))


def screenshot(h, d, name):
    """Saves the screen as <name>.png among the run's output (ui-screens in the harness's work
    folder) and copies it to build/ui-screens, which outlives the run. Returns the kept path."""
    folder = os.path.join(h.work, "ui-screens")
    os.makedirs(folder, exist_ok=True)
    bmp = os.path.join(folder, name + ".bmp")
    png = os.path.join(folder, name + ".png")
    # The driver reads the X screen through Wine, so no image tools are needed on the machine.
    d("shot", file=h.winpath(bmp))
    _bmp_to_png(bmp, png)
    os.remove(bmp)
    kept = os.path.join(os.path.dirname(h.build_dir), "ui-screens")
    os.makedirs(kept, exist_ok=True)
    shutil.copy(png, kept)
    return os.path.join(kept, name + ".png")


def spoken(h):
    """What the stand-in controller client was asked to speak, in order."""
    if not os.path.exists(h.standin_log):
        return []
    return open(h.standin_log, encoding="utf-8").read().splitlines()


def wait_text(d, hwnd, control_id, expected, timeout=30):
    """The control's text once it reads as expected, or its last text after the time-out: keys
    are handled by the dialog's thread in its own time."""
    deadline = time.time() + timeout
    while True:
        text = d("info", hwnd=hwnd, id=control_id)["text"]
        if text == expected or time.time() > deadline:
            return text
        time.sleep(0.05)


def wait_spoken(h, count, timeout=30):
    """The spoken texts once there are at least count of them (speech is written as it happens)."""
    deadline = time.time() + timeout
    while len(spoken(h)) < count and time.time() < deadline:
        time.sleep(0.05)
    return spoken(h)


def wait_exit(proc, timeout=60):
    """The exit code and standard output of a process started with h.popen, once it has ended."""
    out, _ = proc.communicate(timeout=timeout)
    return proc.returncode, out.decode("utf-8", "replace")
