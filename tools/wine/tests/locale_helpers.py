"""The user's regional settings in the prefix, changed for one test and put back afterwards."""
import contextlib
import subprocess

INTERNATIONAL = r"HKCU\Control Panel\International"


def _reg(h, *args):
    return subprocess.run(["wine", "reg"] + list(args), env=h.env, capture_output=True, text=True, timeout=120)


def decimal_separator(h):
    """The prefix's sDecimal value, or None when the user has not set one."""
    for line in _reg(h, "query", INTERNATIONAL, "/v", "sDecimal").stdout.splitlines():
        parts = line.split()
        if parts[:2] == ["sDecimal", "REG_SZ"]:
            return line.split("REG_SZ", 1)[1].strip()
    return None


def set_decimal_separator(h, value):
    r = _reg(h, "add", INTERNATIONAL, "/v", "sDecimal", "/d", value, "/f") if value is not None else \
        _reg(h, "delete", INTERNATIONAL, "/v", "sDecimal", "/f")
    assert r.returncode == 0, r


@contextlib.contextmanager
def user_decimal_separator(h, value):
    """The user's decimal separator is value inside the block, and what it was after it."""
    before = decimal_separator(h)
    set_decimal_separator(h, value)
    try:
        yield
    finally:
        set_decimal_separator(h, before)
    assert decimal_separator(h) == before
