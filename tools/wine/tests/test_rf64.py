"""The recording writer, verification and repair on the Windows file system (share modes,
create-new, positional writes), with the files checked by readers nobody here wrote."""
import ctypes
import ctypes.util
import os
import re
import shutil
import subprocess


class _SfInfo(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int), ("channels", ctypes.c_int),
                ("format", ctypes.c_int), ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]


SF_FORMAT_RF64 = 0x220000


def _libsndfile_frames(path):
    """(major format, rate, channels, frames read to the end) as libsndfile itself reads the file."""
    name = ctypes.util.find_library("sndfile")
    if not name:
        return None
    lib = ctypes.CDLL(name)
    lib.sf_open.restype = ctypes.c_void_p
    lib.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(_SfInfo)]
    lib.sf_readf_int.restype = ctypes.c_int64
    lib.sf_readf_int.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
    lib.sf_close.argtypes = [ctypes.c_void_p]
    info = _SfInfo()
    f = lib.sf_open(path.encode(), 0x10, ctypes.byref(info))  # SFM_READ
    assert f, path
    try:
        buf = (ctypes.c_int * (1024 * info.channels))()
        read = 0
        while True:
            n = lib.sf_readf_int(f, buf, 1024)
            if n <= 0:
                break
            read += n
    finally:
        lib.sf_close(f)
    assert read == info.frames, (path, read, info.frames)
    return info.format & 0xFFF0000, info.samplerate, info.channels, read


def test_writer_share_modes_verify_and_repair(h):
    folder = h.scratch()
    r = h.run([h.winpath(folder)], exe=h.tool("rf64_probe"), timeout=120)
    lines = [line for line in r.out.splitlines() if line]
    assert r.rc == 0, r
    assert lines and all(line.startswith("ok ") for line in lines), r.out

    probe = os.path.join(folder, "probe.wav")
    data = open(probe, "rb").read()
    assert len(data) == 6080
    assert data[0:4] == b"RF64" and data[72:76] == b"data"
    assert int.from_bytes(data[28:36], "little") == 6000
    assert int.from_bytes(data[36:44], "little") == 1000

    if shutil.which("sox"):
        for name, samples in (("probe.wav", "1000"), ("cut.wav", "4410")):
            out = subprocess.run(["sox", "--i", "-s", os.path.join(folder, name)], capture_output=True, text=True,
                                 check=True).stdout
            assert out.strip() == samples, (name, out)

    # The closed file and the repaired cut one (every whole frame back, the odd byte left over
    # not a frame) as libsndfile and its sndfile-info read them.
    for name, rate, channels, frames in (("probe.wav", 48000, 2, 1000), ("cut.wav", 44100, 1, 4410)):
        path = os.path.join(folder, name)
        got = _libsndfile_frames(path)
        assert got in (None, (SF_FORMAT_RF64, rate, channels, frames)), (name, got)
        if shutil.which("sndfile-info"):
            info = subprocess.run(["sndfile-info", path], capture_output=True, text=True).stdout
            m = re.search(r"^Frames\s*:\s*(\d+)$", info, re.M)
            assert "RF64" in info and m and int(m.group(1)) == frames, (name, info)
