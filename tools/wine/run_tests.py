#!/usr/bin/python3
"""Runs the Wine-hosted integration tests against the real Tapewright.exe.

Starts what the tests need and stops it again: a private WINEPREFIX for this run, an Xvfb
display and a PulseAudio daemon with two null sinks whose monitors serve as capture endpoints.
Each test module in tools/wine/tests/ holds functions test_<what>(h); a test fails by raising. A
module that drives windows sets WINDOW_TEST = True; --skip-window leaves it out (the Wine 10 run).
With --jobs N the tests are shared out among N harnesses, each with its own prefix, display and
PulseAudio, as each becomes free; a module names in ALONE the tests that load the whole machine or
measure it, and those run afterwards with nothing else running. A module names in MEASURE the tests
that print a figure for a person to read and check nothing that decides a pass: one that ends
without raising is reported MEASURED, with its figure, and is not counted as passed.
Prints which Wine it runs under, one line per test and a closing line "<wine --version>: N passed,
N failed[, N skipped]" (the measurements named on the line before it); exits 1 when any failed.
"""
import argparse
import contextlib
import importlib.util
import io
import multiprocessing
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SINKS = ["twr_sink_a", "twr_sink_b"]


class Skip(Exception):
    pass


class Result:
    def __init__(self, rc, out, err):
        self.rc, self.out, self.err = rc, out, err

    def __repr__(self):
        return f"Result(rc={self.rc}, out={self.out!r}, err={self.err!r})"

    def lines(self):
        """Standard output as lines; every line, the last too, must end in CR LF."""
        assert self.out.endswith("\r\n"), self
        return self.out.split("\r\n")[:-1]


class Harness:
    Skip = Skip

    def __init__(self, build_dir, work, own_display=False):
        self.own_display = own_display
        self.build_dir = os.path.abspath(build_dir)
        self.exe = os.path.join(self.build_dir, "Tapewright.exe")
        # "x64" or "arm64": the tests expect the texts of the build they run against.
        self.arch = pe_arch(self.exe)
        self.suffix = "win-" + self.arch
        self.work = work
        self.prefix = os.path.join(work, "prefix")
        self.pulse_dir = os.path.join(work, "pulse")
        self.standin_log = os.path.join(work, "spoken.txt")
        self.procs = []
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            "XDG_RUNTIME_DIR": self.pulse_dir,
            "PULSE_SERVER": "unix:" + os.path.join(self.pulse_dir, "native"),
            "TWR_STANDIN_LOG": "",
        })
        self.pulse_env = dict(os.environ, PULSE_SERVER=self.env["PULSE_SERVER"],
                              XDG_RUNTIME_DIR=self.env["XDG_RUNTIME_DIR"])
        self.sinks = SINKS
        self._scratch_n = 0
        self.wine_label, self.wine_version = wine_version(self.env)
        self.exit_faults = []

    # --- services -------------------------------------------------------
    def start(self):
        os.makedirs(self.pulse_dir, mode=0o700, exist_ok=True)
        if self.own_display or not os.environ.get("DISPLAY"):
            # Xvfb picks a free display itself: a fixed number may belong to another run on this machine,
            # whose end would then take this run's windows with it. Harnesses running side by side
            # never share one: keys and focus are per display.
            r, w = os.pipe()
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(w,))
            os.close(w)
            self.procs.append(xvfb)
            number = b""
            while not number.endswith(b"\n"):
                chunk = os.read(r, 16)
                if not chunk:
                    raise RuntimeError("Xvfb did not start")
                number += chunk
            os.close(r)
            self.env["DISPLAY"] = ":" + number.decode().strip()
        args = ["pulseaudio", "--system=false", "-n", "--daemonize=no", "--exit-idle-time=-1",
                "--disallow-exit", "--use-pid-file=no", "--log-target=file:" + os.path.join(self.work, "pulse.log"),
                "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + os.path.join(self.pulse_dir, "native")]
        for s in SINKS:
            args += ["-L", f"module-null-sink sink_name={s} rate=48000 channels=2 "
                           f"sink_properties=device.description={s}"]
        pa = subprocess.Popen(args, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(pa)
        deadline = time.time() + 60
        while subprocess.run(["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL).returncode != 0:
            if time.time() > deadline or pa.poll() is not None:
                raise RuntimeError("PulseAudio did not start")
            time.sleep(0.1)
        subprocess.run(["pactl", "set-default-sink", SINKS[0]], env=self.env, check=False)
        subprocess.run(["pactl", "set-default-source", SINKS[0] + ".monitor"], env=self.env, check=False)
        subprocess.run(["wineboot", "-i"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=300)
        # Report a current Windows version, as the users' machines do.
        subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", "win10", "/f"],
                       env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=120)
        self.drive_c = os.path.join(self.prefix, "drive_c")
        user = os.listdir(os.path.join(self.drive_c, "users"))
        user = [u for u in user if u != "Public"][0]
        self.profile = os.path.join(self.drive_c, "users", user)
        self.appdata = os.path.join(self.profile, "AppData", "Local", "Tapewright")
        # The Windows %TEMP% of this prefix (Wine puts it under the profile, not AppData).
        out = subprocess.run(["wine", "cmd", "/c", "echo %TEMP%"], env=self.env, capture_output=True,
                             timeout=120).stdout.decode("utf-8", "replace").strip()
        if len(out) > 3 and out[1:3] == ":\\" and out[0].upper() == "C":
            self.temp = os.path.join(self.drive_c, *out[3:].split("\\"))
        else:
            self.temp = os.path.join(self.profile, "Temp")
        os.makedirs(self.temp, exist_ok=True)
        # Wine starts the sound driver lazily; a first run settles it so tests do not race it.
        self.run(["--version"], timeout=120)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        for p in reversed(self.procs):
            p.terminate()
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()

    # --- API for tests --------------------------------------------------
    def tool(self, name):
        return os.path.join(self.build_dir, name + ".exe")

    def winpath(self, unix_path):
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    def scratch(self):
        self._scratch_n += 1
        d = os.path.join(self.work, "scratch", "%03d" % self._scratch_n)
        os.makedirs(d, exist_ok=True)
        return d

    def log_text(self):
        """The diagnostic log as text, line ends kept; "" when there is none."""
        path = os.path.join(self.appdata, "twr_diagnostic.log")
        return open(path, encoding="utf-8", newline="").read() if os.path.exists(path) else ""

    def reset_appdata(self):
        shutil.rmtree(self.appdata, ignore_errors=True)
        if os.path.exists(self.standin_log):
            os.remove(self.standin_log)

    def _env(self, env):
        e = dict(self.env)
        e["TWR_STANDIN_LOG"] = self.winpath(self.standin_log)
        # The stand-in says no screen reader runs unless asked otherwise; the tests listen to
        # what would be spoken, so they ask for a speaking one unless they pass their own mode.
        e["TWR_STANDIN_MODE"] = "running"
        if env:
            e.update(env)
        return e

    def popen(self, args, env=None, exe=None, cwd=None, **kw):
        kw.setdefault("stdout", subprocess.PIPE)
        kw.setdefault("stderr", subprocess.PIPE)
        return subprocess.Popen(["wine", exe or self.exe] + list(args), env=self._env(env), cwd=cwd,
                                start_new_session=True, **kw)

    def run(self, args, timeout=60, env=None, cwd=None, exe=None):
        p = self.popen(args, env=env, exe=exe, cwd=cwd)
        try:
            out, err = p.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            out, err = p.communicate()
            raise AssertionError(f"timed out after {timeout}s: {args}\nstdout: {out!r}\nstderr: {err!r}")
        err = err.decode("utf-8", "replace")
        if p.returncode == 0:
            err = self._drop_exit_faults(args, err)
        return Result(p.returncode, out.decode("utf-8", "replace"), err)

    # Wine 10 now and then reports a page fault in one of its own threads while a process that has
    # finished its work and set exit code 0 tears down (seen after --devices and --signaltest with
    # complete output); emulated by qemu, the same teardown also faults on read access, or ends in
    # qemu's "uncaught target signal" line. On a loaded machine Wine 8 and 10 alike now and then lose a
    # thread's line to the wineserver in that teardown ("wine client error:104: ..." or "...: sendmsg: Socket
    # operation on non-socket", seen after --checkupdate and --signaltest with complete output). It is counted
    # and printed at the end of the run instead of failing the test that happened to start that process; any
    # other standard error still reaches the test.
    EXIT_FAULT = re.compile(r"^(wine: Unhandled page fault on (?:read|write) access to [0-9A-F]+ at address [0-9A-F]+ "
                            r"\(thread [0-9a-f]+\), starting debugger\.\.\.|"
                            r"wine client error:[0-9a-f]+: .*|"
                            r"qemu: uncaught target signal 11 \(Segmentation fault\) - core dumped)\r?\n", re.M)

    def _drop_exit_faults(self, args, err):
        found = self.EXIT_FAULT.findall(err)
        if found:
            self.exit_faults.append(" ".join(args))
            err = self.EXIT_FAULT.sub("", err)
        return err


def pe_arch(path):
    """The architecture a PE image was built for, from its COFF header's machine field."""
    machines = {0x8664: "x64", 0xAA64: "arm64"}
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
        pe = int.from_bytes(head[0x3C:0x40], "little")
        assert head[:2] == b"MZ" and head[pe:pe + 4] == b"PE\0\0"
        return machines[int.from_bytes(head[pe + 4:pe + 6], "little")]
    except (OSError, AssertionError, KeyError):
        return "x64"  # no build yet, or not one of ours: the tests then fail on what they run


def wine_version(env):
    """`wine --version` as text and as (major, minor); tests branch on the major version where Wine
    8 and 10 differ (loopback capture works from 10 on)."""
    try:
        out = subprocess.run(["wine", "--version"], env=env, capture_output=True, text=True, timeout=60).stdout
    except (OSError, subprocess.TimeoutExpired):
        out = ""
    m = re.search(r"wine-(\d+)\.(\d+)[^\n]*", out)
    return (m.group(0).strip(), (int(m.group(1)), int(m.group(2)))) if m else ("unknown Wine", (0, 0))


def load_tests(pattern, skip_window=False):
    """(name, function, alone, measure) of every test to run, in name order."""
    tests = []
    tdir = os.path.join(HERE, "tests")
    sys.path.insert(0, tdir)
    for fn in sorted(os.listdir(tdir)):
        if not (fn.startswith("test_") and fn.endswith(".py")):
            continue
        spec = importlib.util.spec_from_file_location(fn[:-3], os.path.join(tdir, fn))
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
        # Window tests run under one Wine only (the host's): twice would push CI past its time.
        if skip_window and getattr(mod, "WINDOW_TEST", False):
            continue
        alone = set(getattr(mod, "ALONE", ()))
        measure = set(getattr(mod, "MEASURE", ()))
        for name in sorted(vars(mod)):
            if name.startswith("test_") and callable(getattr(mod, name)):
                full = f"{fn[:-3]}.{name}"
                if not pattern or any(p in full for p in pattern):
                    tests.append((full, getattr(mod, name), name in alone, name in measure))
    return tests


def run_one(h, fn):
    """Runs one test on h: (PASS|FAIL|SKIP, seconds, what it printed, why it failed or skipped)."""
    h.reset_appdata()
    printed = io.StringIO()
    t0 = time.time()
    try:
        with contextlib.redirect_stdout(printed):
            fn(h)
        status, why = "PASS", ""
    except Skip as s:
        status, why = "SKIP", str(s)
    except Exception:
        status, why = "FAIL", traceback.format_exc()
    return status, time.time() - t0, printed.getvalue(), why


def _worker(index, build, work, tests, commands, results):
    """One harness in its own process: takes test names until it is given None."""
    def ended(*_):
        raise SystemExit(1)
    signal.signal(signal.SIGTERM, ended)  # so a test over its time still stops what this harness started
    h = Harness(build, work, own_display=True)
    try:
        try:
            h.start()
        except Exception:
            results.put((index, "broken", traceback.format_exc()))
            return
        results.put((index, "ready", None))
        while True:
            name = commands.get()
            if name is None:
                break
            results.put((index, name, run_one(h, tests[name])))
    finally:
        h.stop()
        results.put((index, "done", h.exit_faults))


class Tally:
    """Counts verdicts; a test named in measures that passes is a measurement, not a pass."""

    def __init__(self, measures=()):
        self.passed = self.failed = self.skipped = 0
        self.measures = set(measures)
        self.measured = []

    def report(self, name, status, seconds, printed, why):
        if printed:
            print(printed, end="" if printed.endswith("\n") else "\n")
        if status == "PASS" and name in self.measures:
            self.measured.append(name)
            print(f"MEASURED {name} ({seconds:.1f}s)", flush=True)
        elif status == "PASS":
            self.passed += 1
            print(f"PASS {name} ({seconds:.1f}s)", flush=True)
        elif status == "SKIP":
            self.skipped += 1
            print(f"SKIP {name}: {why}", flush=True)
        else:
            self.failed += 1
            print(f"FAIL {name} ({seconds:.1f}s)\n" + why, flush=True)


# A test that has not ended after this long has hung; its harness is stopped and the test failed.
TEST_LIMIT = 900


def run_serial(a, work, tests, tally):
    h = Harness(a.build, work)
    try:
        h.start()
        for name, fn, *_ in tests:
            tally.report(name, *run_one(h, fn))
    finally:
        h.stop()
    return h.exit_faults


def run_parallel(a, work, tests, tally, jobs):
    ctx = multiprocessing.get_context("fork")
    by_name = {t[0]: t[1] for t in tests}
    shared = [t[0] for t in tests if not t[2]]
    alone = [t[0] for t in tests if t[2]]
    results = ctx.Queue()
    workers = {}
    for i in range(jobs):
        commands = ctx.Queue()
        p = ctx.Process(target=_worker, args=(i, a.build, os.path.join(work, f"h{i}"), by_name, commands, results),
                        daemon=True)
        p.start()
        workers[i] = (p, commands)
    starting, idle, running, ended, faults = set(workers), [], {}, set(), []

    def finish(i):
        ended.add(i)
        starting.discard(i)
        if i in idle:
            idle.remove(i)

    try:
        while True:
            while idle and shared:
                i = idle.pop(0)
                running[i] = (shared.pop(0), time.time())
                workers[i][1].put(running[i][0])
            # The measuring tests wait until no other test runs and no harness is still starting.
            if not shared and alone and idle and not running and not starting:
                i = idle.pop(0)
                running[i] = (alone.pop(0), time.time())
                workers[i][1].put(running[i][0])
            if not running and (not (shared or alone) or not (starting or idle)):
                break
            try:
                i, what, detail = results.get(timeout=5)
            except queue.Empty:
                for i, (p, _) in workers.items():
                    if i in ended:
                        continue
                    name, since = running.get(i, (None, 0.0))
                    alive = p.is_alive()
                    if alive and not (name and time.time() - since > TEST_LIMIT):
                        continue
                    p.terminate()
                    p.join(30)
                    finish(i)
                    if name:
                        del running[i]
                        tally.report(name, "FAIL", time.time() - since, "",
                                     f"stopped after {TEST_LIMIT}s\n" if alive else "its harness ended under it\n")
                    elif not alive:
                        tally.failed += 1
                        print(f"FAIL harness {i} ended without a word", flush=True)
                continue
            if i in ended and what != "done":
                continue  # a verdict that came as its worker was being stopped; already reported
            if what == "ready":
                starting.discard(i)
                idle.append(i)
            elif what == "broken":
                finish(i)
                tally.failed += 1
                print(f"FAIL harness {i} did not start\n" + detail, flush=True)
            elif what == "done":
                faults += detail
                finish(i)
                if i in running:  # ended by something no test catches (an interrupt)
                    name, since = running.pop(i)
                    tally.report(name, "FAIL", time.time() - since, "", "its harness ended under it\n")
            else:
                del running[i]
                tally.report(what, *detail)
                idle.append(i)
        for name in shared + alone:
            tally.report(name, "FAIL", 0.0, "", "not run: no harness was left to run it\n")
    finally:
        for p, commands in workers.values():
            if p.is_alive():
                commands.put(None)
        deadline = time.time() + 60
        for p, _ in workers.values():
            p.join(max(0.0, deadline - time.time()))
            if p.is_alive():
                p.terminate()
                p.join(30)
        while True:
            try:
                i, what, detail = results.get(timeout=1)
            except queue.Empty:
                break
            if what == "done":
                faults += detail
    return faults


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "win"))
    ap.add_argument("--native", default=os.environ.get("TWR_NATIVE_BUILD", os.path.join(ROOT, "build", "native")))
    ap.add_argument("-k", action="append", default=[], help="run only tests whose name contains this")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("--skip-window", action="store_true", help="leave out modules marked WINDOW_TEST")
    ap.add_argument("--jobs", type=int, default=1, help="harnesses running tests side by side")
    a = ap.parse_args()
    os.environ["TWR_NATIVE_BUILD"] = os.path.abspath(a.native)
    # Harnesses are forked after the tests (and numpy) are loaded; a BLAS thread pool does not
    # survive a fork, and side by side it would only compete with Wine.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    label = wine_version(os.environ)[0]
    arch = pe_arch(os.path.join(a.build, "Tapewright.exe"))
    if arch != "x64":
        label += f", win-{arch} build"
    print(f"Wine-hosted tests under {label}", flush=True)
    tests = load_tests(a.k, a.skip_window)
    jobs = max(1, min(a.jobs, sum(1 for t in tests if not t[2]) or 1))
    work = tempfile.mkdtemp(prefix="twr-wine-")
    tally = Tally(t[0] for t in tests if t[3])
    try:
        faults = run_serial(a, work, tests, tally) if jobs == 1 else run_parallel(a, work, tests, tally, jobs)
    finally:
        if not a.keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("work folder kept:", work)
    if faults:
        print(f"{label}: Wine reported a fault during process exit (exit code 0) after: " + "; ".join(faults))
    if tally.measured:
        print(f"{label}: measured, not counted as passed: " + ", ".join(sorted(tally.measured)))
    line = f"{label}: {tally.passed} passed, {tally.failed} failed"
    if tally.skipped:
        line += f", {tally.skipped} skipped"
    print(line)
    return 1 if tally.failed else 0


if __name__ == "__main__":
    sys.exit(main())
