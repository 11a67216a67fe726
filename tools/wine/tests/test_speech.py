"""The screen-reader bridge (--speech) on the real executable with the stand-in controller client."""
import os
import shutil

PHRASE = "Tapewright speech test. If you can hear this, announcements are working."


def _arch(h):
    suffix = h.run(["--version"]).out.strip().split("(")[1].rstrip(")")
    return {"win-x64": "X64", "win-arm64": "Arm64"}[suffix]


def _header(arch, loaded, running):
    backend = ("NVDA controller client (NVDA running)" if running else
               "NVDA controller client (NVDA not running)") if loaded else "none (NVDA controller client not found)"
    return ["Process architecture : " + arch,
            "Controller client    : " + ("loaded" if loaded else "NOT FOUND"),
            "NVDA running         : " + ("yes" if running else "no"),
            "Backend              : " + backend]


def _spoken(h):
    if not os.path.exists(h.standin_log):
        return []
    return open(h.standin_log, encoding="utf-8").read().splitlines()


def _standin(h):
    return os.path.join(h.build_dir, "tools", "nvda_standin", "nvdaControllerClient_standin.dll")


def test_speech_modes_exit_codes_and_spoken_text(h):
    arch = _arch(h)
    sending = ["", "Sending a test phrase to NVDA..."]
    cases = [
        # args, mode, exit code, running, lines after the header, spoken texts
        (["--speech"], "running", 0, True, [], []),
        (["--speech", "say"], "running", 0, True, sending, [PHRASE]),
        (["--speech", "say"], "notrunning", 2, False, sending, []),
        (["--speech", "say"], "reject", 0, True, sending, []),
        # The stand-in's own default, which a user of a build that carries it gets: no screen reader.
        (["--speech"], "", 2, False, [], []),
        (["--speech", "say"], "", 2, False, sending, []),
        (["--speech"], "speaking", 2, False, [], []),
    ]
    for args, mode, rc, running, tail, spoken in cases:
        h.reset_appdata()
        r = h.run(args, env={"TWR_STANDIN_MODE": mode})
        assert r.rc == rc, (args, mode, r)
        assert r.lines() == _header(arch, True, running) + tail, (args, mode, r)
        assert _spoken(h) == spoken, (args, mode, _spoken(h))
        log = h.log_text()
        assert ("WARNING - NVDA rejected an announcement." in log) == (mode == "reject"), log


def test_speech_unpacks_the_embedded_library_and_licence(h):
    arch = _arch(h)
    r = h.run(["--speech"])
    assert r.rc == 0, r
    dll = os.path.join(h.appdata, f"nvdaControllerClient{arch}.dll")
    lic = os.path.join(h.appdata, "NVDA-controllerClient-LICENSE.txt")
    assert open(dll, "rb").read() == open(_standin(h), "rb").read()
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../../src/resources/LICENSE-LGPL-2.1.txt")
    assert open(lic, "rb").read() == open(source, "rb").read()
    win_dll = "C:" + dll.split("drive_c", 1)[1].replace("/", "\\")
    log = h.log_text()
    assert "INFO - Unpacked the embedded NVDA controller client to " + win_dll + "\r\n" in log, log
    assert "INFO - Loaded NVDA controller client: " + win_dll + "\r\n" in log, log
    assert "INFO - Speech backend: NVDA controller client (NVDA running)\r\n" in log, log

    # A copy of the same length with other bytes is replaced, licence and all.
    os.remove(lic)
    data = bytearray(open(dll, "rb").read())
    data[-1] ^= 0xFF
    open(dll, "wb").write(bytes(data))
    assert h.run(["--speech"]).rc == 0
    assert open(dll, "rb").read() == open(_standin(h), "rb").read()
    assert os.path.exists(lic)


def test_speech_library_beside_the_executable_wins(h):
    arch = _arch(h)
    d = h.scratch()
    exe = os.path.join(d, "Tapewright.exe")
    shutil.copy(h.exe, exe)
    shutil.copy(_standin(h), os.path.join(d, f"nvdaControllerClient{arch}.dll"))
    r = h.run(["--speech"], exe=exe)
    assert r.rc == 0, r
    log = h.log_text()
    assert "INFO - Loaded NVDA controller client: " + h.winpath(d) + f"\\nvdaControllerClient{arch}.dll\r\n" in log, log
    # The embedded copy is unpacked at every start all the same.
    assert os.path.exists(os.path.join(h.appdata, f"nvdaControllerClient{arch}.dll"))


def test_speech_without_a_library_and_never_from_the_current_folder(h):
    arch = _arch(h)
    # The application-data folder cannot be made (a file stands in its place), so nothing is
    # unpacked; a library planted in the current folder must not be picked up instead.
    os.makedirs(os.path.dirname(h.appdata), exist_ok=True)
    open(h.appdata, "w").close()
    try:
        cwd = h.scratch()
        for name in (f"nvdaControllerClient{arch}.dll", "nvdaControllerClient.dll"):
            shutil.copy(_standin(h), os.path.join(cwd, name))
        r = h.run(["--speech", "say"], cwd=cwd)
        assert r.rc == 1, r
        assert r.lines() == _header(arch, False, False) + [
            "", f"Place nvdaControllerClient{arch}.dll next to this executable."], r
        assert _spoken(h) == []
    finally:
        os.remove(h.appdata)
