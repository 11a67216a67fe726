#!/usr/bin/python3
"""Checks run_tests.py's side-by-side scheduling with stand-in harnesses (no Wine, a few seconds):
every verdict counted once, a hung test stopped with its harness cleaned up, a worker that dies
charged to its test, the ALONE tests run with nothing else running, a measurement that ends well
reported MEASURED and not counted as passed (one that raises still fails)."""
import contextlib
import io
import os
import shutil
import sys
import tempfile
import time
import types

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_tests  # noqa: E402


def main():
    work = tempfile.mkdtemp(prefix="twr-sched-")
    trace = os.path.join(work, "trace")

    def mark(what):
        with open(trace, "a") as f:
            f.write(f"{what} {os.getpid()} {time.time():.6f}\n")

    class StandIn:
        Skip = run_tests.Skip

        def __init__(self, build, path, own_display=False):
            self.exit_faults = []

        def start(self):
            mark("start -")

        def stop(self):
            mark("stop -")
            self.exit_faults.append("stopped")

        def reset_appdata(self):
            pass

    def test(name, body=None, seconds=0.3):
        def fn(h):
            mark("begin " + name)
            time.sleep(seconds)
            if body:
                body(h)
            print("said by " + name)
            mark("end " + name)
        return fn

    def fail(h):
        raise AssertionError("wrong")

    def skip(h):
        raise h.Skip("not here")

    tests = [
        ("m.dies", test("dies", lambda h: os._exit(3)), False),
        ("m.hangs", test("hangs", seconds=600), False),
        ("m.fails", test("fails", fail), False),
        ("m.skips", test("skips", skip), False),
    ] + [(f"m.p{i}", test(f"p{i}"), False) for i in range(4)] + [
        ("m.alone1", test("alone1", seconds=1.0), True),
        ("m.alone2", test("alone2", seconds=1.0), True, True),
        ("m.measure_fails", test("measure_fails", fail), False, True),
    ]
    run_tests.Harness = StandIn
    run_tests.TEST_LIMIT = 3
    tally = run_tests.Tally(t[0] for t in tests if t[3:] == (True,))
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            faults = run_tests.run_parallel(types.SimpleNamespace(build=work), work, tests, tally, 3)
        check(tally, faults, trace, printed.getvalue())
    except BaseException:
        print(printed.getvalue())
        raise
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("scheduler check: ok")


def check(tally, faults, trace, printed):
    assert (tally.passed, tally.failed, tally.skipped, tally.measured) == (5, 4, 1, ["m.alone2"]), vars(tally)
    # A measurement's figure is still printed, with its own verdict.
    assert "said by alone2\nMEASURED m.alone2 (" in printed, printed
    assert "PASS m.alone2" not in printed and "FAIL m.measure_fails" in printed, printed
    # The harness that died skipped its own stop; the one stopped for hanging still ran it.
    assert faults == ["stopped", "stopped"], faults
    events = [line.split() for line in open(trace)]
    spans = {}
    for what, *rest in events:
        if what in ("begin", "end"):
            spans.setdefault(rest[0], []).append(float(rest[2]))
    assert "end" not in [e[0] for e in events if e[1] == "hangs"]
    for name in ("alone1", "alone2"):
        a, b = spans[name]
        for n, s in spans.items():
            # Every other test ran wholly before or after (those that raise or die leave only their begin).
            if n != name:
                assert s[0] > b or s[-1] < a, (name, n, s, a, b)


if __name__ == "__main__":
    main()
