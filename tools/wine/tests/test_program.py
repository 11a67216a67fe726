"""The entry point's dispatch and the diagnostic log, on the real executable."""
import json
import os
import re
import signal
import time


def test_version_line_and_exit_code(h):
    # Neither a case variant nor a single hyphen is an option; the first real option decides.
    for args in (["--version"], ["hello", "--version"], ["--finish-update", "nonsense", "--version"],
                 ["--version", "--config"], ["--VERSION", "-version", "--version", "--sounds"]):
        r = h.run(args)
        assert r.rc == 0, (args, r)
        assert r.out == f"v2.2.4 ({h.suffix})\r\n", (args, r)


def test_version_output_reaches_a_file(h):
    d = h.scratch()
    out = os.path.join(d, "out.txt")
    with open(out, "wb") as f:
        p = h.popen(["--version"], stdout=f)
        err = p.communicate(timeout=60)[1]
        assert p.returncode == 0, (p.returncode, err)
    assert open(out, "rb").read() == f"v2.2.4 ({h.suffix})\r\n".encode()


LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} - (.*?) - (INFO|WARNING|ERROR) - (.*)$")


def _log_lines(h):
    data = open(os.path.join(h.appdata, "twr_diagnostic.log"), "rb").read()
    assert not data.startswith(b"\xef\xbb\xbf")
    assert data.endswith(b"\r\n")
    return data.decode("utf-8").split("\r\n")[:-1]


def test_window_start_line_names_the_process_and_version(h):
    os.makedirs(h.appdata, exist_ok=True)
    with open(os.path.join(h.appdata, "recorder_config.json"), "w", encoding="utf-8") as f:
        json.dump({"check_updates_startup": False}, f)
    proc = h.popen([])
    try:
        end = time.time() + 60
        while time.time() < end and "App started" not in h.log_text() and proc.poll() is None:
            time.sleep(0.2)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    started = [l for l in h.log_text().split("\r\n") if " - MainThread - INFO - App started. OS: " in l]
    arch = {"x64": "X64", "arm64": "Arm64"}[h.arch]
    assert len(started) == 1 and started[0].endswith(f", process {arch}, version v2.2.4"), h.log_text()


def test_log_line_form(h):
    probe = h.tool("log_probe")
    assert h.run(["named", "Writer", "WARNING", "disk almost full"], exe=probe).rc == 0
    assert h.run(["unnamed", "from nowhere"], exe=probe).rc == 0
    assert h.run(["named", "MainThread", "ERROR", "two\r\nlines é"], exe=probe).rc == 0
    entries = _log_lines(h)
    m = LINE.match(entries[0])
    assert m and m.group(1) == "Writer" and m.group(2) == "WARNING" and m.group(3) == "disk almost full", entries
    m = LINE.match(entries[1])
    assert m and re.fullmatch(r"Thread-\d+", m.group(1)) and m.group(3) == "from nowhere", entries
    m = LINE.match(entries[2])
    assert m and m.group(3) == "two" and entries[3] == "lines é", entries


def test_log_rotation_at_exactly_five_mebibytes(h):
    os.makedirs(h.appdata, exist_ok=True)
    log = os.path.join(h.appdata, "twr_diagnostic.log")
    for i in range(1, 6):
        with open(f"{log}.{i}", "w") as f:
            f.write(f"old {i}\n")
    with open(log, "wb") as f:
        f.write(b"x" * 5242879)
    probe = h.tool("log_probe")
    h.run(["named", "T", "INFO", "below limit"], exe=probe)
    # 5,242,879 bytes was below the limit: the line was appended, no rotation.
    assert open(f"{log}.1").read() == "old 1\n"
    assert os.path.getsize(log) > 5242880
    h.run(["named", "T", "INFO", "after limit"], exe=probe)
    assert open(f"{log}.1", "rb").read().startswith(b"x" * 100)
    assert [open(f"{log}.{i}").read() for i in range(2, 6)] == [f"old {i}\n" for i in range(1, 5)]
    lines = _log_lines(h)
    assert len(lines) == 1 and lines[0].endswith(" - T - INFO - after limit"), lines


def test_log_read_all_reports_a_missing_file(h):
    r = h.run(["readall"], exe=h.tool("log_probe"))
    assert r.out.startswith("Failed to read log: Could not find file '"), r
    assert r.out.rstrip().endswith("twr_diagnostic.log'."), r
