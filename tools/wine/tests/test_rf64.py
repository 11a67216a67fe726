"""The recording writer, verification and repair on the Windows file system (share modes,
create-new, positional writes), with the files checked by readers nobody here wrote."""
import os
import shutil
import subprocess


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
