"""The --devices report and the capture stream, against the harness's PulseAudio null sinks."""
import re

from audio_helpers import LOOPBACK, devices, id_of, loopback_works, monitor_ids, play, stop

LOOPBACK_REFUSED = "GetService(IAudioCaptureClient) failed"


def test_devices_lists_capture_endpoints_then_loopback_outputs(h):
    entries = devices(h)
    kinds = [k for k, _, _ in entries]
    assert kinds == sorted(kinds, key=lambda k: k != "Input"), entries
    for sink in h.sinks:
        assert id_of(entries, "Input", "Monitor of " + sink).startswith("{0.0.1.")
        assert id_of(entries, "Output (Loopback)", sink).startswith("{0.0.0.")
    # Wine's order within a data flow may change between processes; the report passes it on, and
    # each endpoint keeps its id.
    again = devices(h)
    assert sorted(again) == sorted(entries), (entries, again)


def _probe(h, *args):
    return h.run(list(args), exe=h.tool("capture_probe"))


def _stream(r):
    m = re.fullmatch(r"mode: (event|polling)\r\nframes: (\d+)\r\npeak: ([0-9.]+)\r\n", r.out)
    assert r.rc == 0 and m, r
    return int(m.group(2)), float(m.group(3))


def test_sink_monitor_captures_its_own_sink_by_stream_and_reader(h):
    mon_a, mon_b = monitor_ids(h)
    players = play(h, 40, [("twr_sink_a", 1000, 0.5), ("twr_sink_b", 440, 0.1)])
    try:
        frames, peak = _stream(_probe(h, mon_a, "4"))
        frames_b, peak_b = _stream(_probe(h, mon_b, "3"))
        r = _probe(h, "reader", mon_a, "4")
    finally:
        stop(players)
    # The players keep the sinks running in step, so the stream delivers from its start.
    assert 48000 * 3.6 <= frames <= 48000 * 4.2, frames
    assert 0.45 <= peak <= 0.55, peak
    assert frames_b > 0 and 0.08 <= peak_b <= 0.12, (frames_b, peak_b)
    m = re.fullmatch(r"blocks: (\d+)\r\ndropped: (\d+)\r\npeak: ([0-9.]+)\r\n", r.out)
    assert r.rc == 0 and m and r.err == "", r
    # 2048-frame blocks at 48000 Hz: about 23 a second.
    assert 80 <= int(m.group(1)) <= 95 and m.group(2) == "0", r
    assert 0.45 <= float(m.group(3)) <= 0.55, r
    log = h.log_text()
    assert re.search(r" - Reader1 - INFO - Reader 1 is (event driven\.|polling every \d+ ms\.)\r\n", log), log
    assert " - Reader1 - INFO - Reader 1 thread shutting down\r\n" in log, log


def test_a_reader_whose_queue_is_full_reads_on_and_counts_what_it_drops(h):
    """A consumer that takes nothing for 12.5 s from the first second: the queue (10 s of audio) fills,
    every block that finds no room is counted as dropped as the reader reads on, so the device
    discards nothing, and every 2048-frame block of the 14 s is either taken or counted."""
    mon_a, _ = monitor_ids(h)
    players = play(h, 30, [("twr_sink_a", 1000, 0.5)])
    try:
        r = _probe(h, "reader", mon_a, "14", "hold=12.5")
    finally:
        stop(players)
    m = re.fullmatch(r"blocks: (\d+)\r\ndropped: (\d+)\r\npeak: ([0-9.]+)\r\n", r.out)
    assert r.rc == 0 and m and r.err == "", r
    blocks, dropped = int(m.group(1)), int(m.group(2))
    log = h.log_text()
    lost = re.findall(r"Reader 1 lost ([\d.]+) seconds of audio in all that the device discarded\.", log)
    print("    %d blocks taken, %d dropped (%.2f s); the log: %s s lost at the device"
          % (blocks, dropped, dropped * 2048 / 48000, lost))
    # The hold outlasts the queue by about 2.5 s: that is what is dropped, block by block.
    assert 1.5 < dropped * 2048 / 48000 < 3.5, (blocks, dropped)
    assert "the queue is full" in log, log[-3000:]
    assert not lost, log[-3000:]
    # Opening the stream takes a moment, the first block is discarded by design and the last may be
    # cut short by the stop.
    assert (blocks + dropped) * 2048 / 48000 > 14 - 0.8, (blocks, dropped)


def test_capture_failures_are_the_streams_own_errors(h):
    unknown = "{0.0.1.00000000}.{00000000-0000-0000-0000-000000000000}"
    r = _probe(h, unknown, "1")
    assert r.rc == 2 and r.out == "" and r.err == f"error: Device not found: {unknown}\r\n", r


def test_wine8_refuses_loopback_streams(h):
    if loopback_works(h):
        raise h.Skip(f"{h.wine_label} captures loopback streams")
    # No capture service for a loopback stream; the probe and a reader must still end normally.
    out_a = id_of(devices(h), LOOPBACK, "twr_sink_a")
    for args in ([out_a, "1", "loopback"], ["reader", out_a, "3", "loopback"]):
        h.reset_appdata()
        r = _probe(h, *args)
        assert r.rc == 2 and r.out == "" and r.err == f"error: {LOOPBACK_REFUSED}\r\n", (args, r)
    log = h.log_text()
    assert f" - Reader1 - ERROR - Reader 1 error: {LOOPBACK_REFUSED}\r\n" in log, log
    assert " - Reader1 - INFO - Reader 1 thread shutting down\r\n" in log, log


def test_loopback_stream_captures_what_its_sink_plays(h):
    if not loopback_works(h):
        raise h.Skip(f"{h.wine_label} refuses loopback streams")
    entries = devices(h)
    out_a, out_b = (id_of(entries, LOOPBACK, sink) for sink in h.sinks)
    players = play(h, 30, [("twr_sink_a", 1000, 0.5), ("twr_sink_b", 440, 0.1)])
    try:
        frames, peak = _stream(_probe(h, out_a, "4", "loopback"))
        _, peak_b = _stream(_probe(h, out_b, "2", "loopback"))
        r = _probe(h, "reader", out_a, "4", "loopback")
    finally:
        stop(players)
    # Each endpoint hears its own sink only, from the start of the stream.
    assert 48000 * 3.6 <= frames <= 48000 * 4.2 and 0.45 <= peak <= 0.55, (frames, peak)
    assert 0.08 <= peak_b <= 0.12, peak_b
    m = re.fullmatch(r"blocks: (\d+)\r\ndropped: 0\r\npeak: ([0-9.]+)\r\n", r.out)
    assert r.rc == 0 and m and r.err == "", r
    assert 80 <= int(m.group(1)) <= 95 and 0.45 <= float(m.group(2)) <= 0.55, r
