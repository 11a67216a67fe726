#!/usr/bin/python3
"""Runs the Wine-hosted integration tests against the real Tapewright.exe.

Starts what the tests need and stops it again: a private WINEPREFIX for this run, an Xvfb
display and a PulseAudio daemon with two null sinks whose monitors serve as capture endpoints.
Each test module in tools/wine/tests/ holds functions test_<what>(h); a test fails by raising. A
module that drives windows sets WINDOW_TEST = True; --skip-window leaves it out (the Wine 10 run).
Prints which Wine it runs under, one line per test and a closing line "<wine --version>: N passed,
N failed"; exits 1 when any failed.
"""
import argparse
import importlib.util
import os
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

    def __init__(self, build_dir, work):
        self.build_dir = os.path.abspath(build_dir)
        self.exe = os.path.join(self.build_dir, "Tapewright.exe")
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
        if not os.environ.get("DISPLAY"):
            # Xvfb picks a free display itself: a fixed number may belong to another run on this machine,
            # whose end would then take this run's windows with it.
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
        for _ in range(100):
            if subprocess.run(["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0:
                break
            time.sleep(0.1)
        else:
            raise RuntimeError("PulseAudio did not start")
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
        if p.returncode == 0 and self.wine_version >= (10, 0):
            err = self._drop_exit_faults(args, err)
        return Result(p.returncode, out.decode("utf-8", "replace"), err)

    # Wine 10 now and then reports a page fault in one of its own threads while a process that has
    # finished its work and set exit code 0 tears down (seen after --devices and --signaltest with
    # complete output). It is counted and printed at the end of the run instead of failing the
    # test that happened to start that process; any other standard error still reaches the test.
    EXIT_FAULT = re.compile(r"^wine: Unhandled page fault on write access to [0-9A-F]+ at address [0-9A-F]+ "
                            r"\(thread [0-9a-f]+\), starting debugger\.\.\.\r?\n", re.M)

    def _drop_exit_faults(self, args, err):
        found = self.EXIT_FAULT.findall(err)
        if found:
            self.exit_faults.append(" ".join(args))
            err = self.EXIT_FAULT.sub("", err)
        return err


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
        for name in sorted(vars(mod)):
            if name.startswith("test_") and callable(getattr(mod, name)):
                full = f"{fn[:-3]}.{name}"
                if not pattern or any(p in full for p in pattern):
                    tests.append((full, getattr(mod, name)))
    return tests


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "win"))
    ap.add_argument("--native", default=os.environ.get("TWR_NATIVE_BUILD", os.path.join(ROOT, "build", "native")))
    ap.add_argument("-k", action="append", default=[], help="run only tests whose name contains this")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("--skip-window", action="store_true", help="leave out modules marked WINDOW_TEST")
    a = ap.parse_args()
    os.environ["TWR_NATIVE_BUILD"] = os.path.abspath(a.native)
    work = tempfile.mkdtemp(prefix="twr-wine-")
    h = Harness(a.build, work)
    passed = failed = skipped = 0
    print(f"Wine-hosted tests under {h.wine_label}", flush=True)
    try:
        h.start()
        for name, fn in load_tests(a.k, a.skip_window):
            h.reset_appdata()
            t0 = time.time()
            try:
                fn(h)
            except Skip as s:
                skipped += 1
                print(f"SKIP {name}: {s}", flush=True)
                continue
            except Exception:
                failed += 1
                print(f"FAIL {name} ({time.time() - t0:.1f}s)\n" + traceback.format_exc(), flush=True)
                continue
            passed += 1
            print(f"PASS {name} ({time.time() - t0:.1f}s)", flush=True)
    finally:
        h.stop()
        if not a.keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("work folder kept:", work)
    if h.exit_faults:
        print(f"{h.wine_label}: Wine reported a page fault during process exit (exit code 0) after: "
              + "; ".join(h.exit_faults))
    line = f"{h.wine_label}: {passed} passed, {failed} failed"
    if skipped:
        line += f", {skipped} skipped"
    print(line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
