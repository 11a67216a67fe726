"""Recordings under conditions that users' machines bring and the harness's own sinks do not: an
input whose device runs at another rate and so is slow to deliver its first audio, and a save
folder on a drive that takes seconds to force a file to the disk, which leaves the writer behind
while pauses, splits, a lost input and the stop come. Each recording is made from the keyboard in
the real window and judged by what the user is told and by the files themselves; on the slow drive
the input hears a linear sweep, so the files tell which moments of the source they kept."""
import datetime
import os
import subprocess
import time

from audio_helpers import devices, id_of, sweep_jumps, tone_file
from recording_helpers import (close_all, notifications, play, play_sweep, samples, spoken, sweep_parts, tone_of,
                               wait, wavs, window_of, write_settings)
from slow_drive import SlowDrive
from ui_helpers import Driver

WINDOW_TEST = True
# Timing-sensitive: recordings on a drive that stalls for seconds, with keys pressed inside
# particular stalls.
ALONE = ("test_a_drive_slow_to_flush_costs_the_recording_nothing",
         "test_a_stop_while_a_split_part_is_forced_to_a_slow_drive_keeps_the_audio_before_it",
         "test_pauses_while_split_parts_are_forced_to_a_slow_drive_leave_out_just_the_paused_audio",
         "test_the_second_input_is_kept_whole_through_slow_splits_after_the_first_is_lost")

SAVED = "Recording saved successfully."
PAUSED, RESUMED = "Recording paused", "Recording resumed"


def _results(h):
    return [s for s in spoken(h) if s.startswith("Recording saved") or s.startswith("Warning.")]


def _record(h, d, window, seconds, stop_wait=15):
    """One recording by keyboard: Alt+S, `seconds` of recording, Alt+T; returns (the result spoken,
    seconds from "Recording started" to the stop)."""
    before = len(_results(h))
    started = spoken(h).count("Recording started")
    d.key(window, "Alt+S")
    wait("Recording started", lambda: spoken(h).count("Recording started") > started)
    t0 = time.time()
    time.sleep(seconds)
    d.key(window, "Alt+T")
    stopped = time.time()
    result = wait("the result", lambda: _results(h)[before:], stop_wait)[0]
    return result, stopped - t0


def _logged(h, prefix, since=None):
    """Seconds at which the log wrote each line of the last recording session whose message starts
    with `prefix`: after the session began, or after `since` (a time.time() of this test) when
    given. The log writes this machine's local time."""
    events = []
    for line in h.log_text().splitlines():
        try:
            stamp, _, _, message = line.split(" - ", 3)
            events.append((datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S,%f").timestamp(), message))
        except ValueError:
            pass  # the continuation of a message that spans lines
    begun = [t for t, m in events if m.startswith("Starting recording session")][-1]
    origin = begun if since is None else since
    return [t - origin for t, m in events if m.startswith(prefix) and t >= begun]


def test_a_device_at_44100_hz_slow_to_start_saves_a_clean_48000_hz_recording_as_clean(h):
    # A sink of PulseAudio's default rate, fed by a player at 1 s latency: its monitor's first block
    # comes 0.2-0.3 s after the capture starts, later than the writer's take time-out, every time
    # (with the tests' usual 100 ms player it came at once on an idle machine, 3 times in 5 late on a
    # loaded one), and the writer puts silence at the start of the file meanwhile.
    sink = "twr_sink_44k"
    module = subprocess.run(["pactl", "load-module", "module-null-sink", f"sink_name={sink}", "rate=44100",
                             "channels=2", f"sink_properties=device.description={sink}"],
                            env=h.pulse_env, capture_output=True, text=True, check=True).stdout.strip()
    player = proc = None
    try:
        folder = h.scratch()
        write_settings(h, save_folder=h.winpath(folder), device_id=id_of(devices(h), "Input", "Monitor of " + sink),
                       sample_rate="48000")
        tone = os.path.join(h.scratch(), "tone.wav")
        tone_file(tone, 90, 440, 0.5)
        player = subprocess.Popen(["paplay", "--latency-msec=1000", "-d", sink, tone], env=h.pulse_env)
        time.sleep(3.0)
        proc = h.popen([])
        results = []
        with Driver(h) as d:
            window = window_of(h, d, proc)
            for _ in range(3):
                results.append(_record(h, d, window, 4.0)[0])
            d.key(window, "Alt+X")
            rc = proc.wait(timeout=20)
    finally:
        close_all(player, proc)
        subprocess.run(["pactl", "unload-module", module], env=h.pulse_env, capture_output=True)
    assert rc == 0, rc
    saved = [n for n in notifications(h) if n[1] == "Recording Saved"]
    print("    results: %s; %s" % (results, saved))
    assert results == [SAVED] * 3, (results, saved)
    assert saved == [(0, "Recording Saved", "File safely saved to disk.")] * 3, saved
    files = wavs(folder)
    assert len(files) == 3, files
    leads = []
    for path in files:
        x, info = samples(path)
        assert (info["rate"], info["channels"]) == (48000, 2), info
        loud = abs(x[:, 0]) > 1e-6
        lead = int(loud.argmax()) if loud.any() else info["frames"]
        freq, _ = tone_of(x[:, 0], 48000)
        print("    %s: %.2f s, %d frames of silence before the first audio" %
              (os.path.basename(path), info["frames"] / 48000.0, lead))
        assert abs(freq - 440) < 2 and info["frames"] / 48000.0 > 3.0, (path, freq, info)
        leads.append(lead)
    # The wait for the first audio is still in the file as silence (the timeline is kept): the late
    # start was really met.
    assert any(lead >= 2048 for lead in leads), leads


def _record_on(h, drive, user, **settings):
    """One recording by keyboard into the slow drive from the second sink's monitor (unless the
    settings name the inputs) while a sweep plays into that sink, then the program closed.
    `user(d, window, started)` does what the user does from "Recording started" (heard at
    time.time() `started`) up to the stop key, and returns what the test needs of it. Returns
    (the result spoken, what user returned, exit code). The result may wait for closes forced to
    the drive and the journal's last write."""
    if "device_id" not in settings:
        settings["device_id"] = id_of(devices(h), "Input", "Monitor of " + h.sinks[1])
    write_settings(h, save_folder=h.winpath(drive.path), **settings)
    player = play_sweep(h, h.sinks[1], 60)
    proc = h.popen([])
    try:
        with Driver(h) as d:
            window = window_of(h, d, proc)
            d.key(window, "Alt+S")
            wait("Recording started", lambda: "Recording started" in spoken(h), 30, 0.02)
            did = user(d, window, time.time())
            result = wait("the result", lambda: _results(h), 60)[0]
            d.key(window, "Alt+X")
            return result, did, proc.wait(timeout=30)
    finally:
        close_all(player, proc)


def _at(started, seconds):
    time.sleep(max(0.0, started + seconds - time.time()))


def _stop_at(seconds):
    """A user who stops the recording `seconds` after it started; gives the seconds to the stop."""
    def user(d, window, started):
        _at(started, seconds)
        d.key(window, "Alt+T")
        return time.time() - started
    return user


def _press(h, d, window, started, seconds, keys, heard):
    """Presses `keys` `seconds` after the start; returns when the program said `heard` for them,
    in seconds after the start: the moment it took the key, not the moment it was sent."""
    _at(started, seconds)
    said = spoken(h).count(heard)
    d.key(window, keys)
    wait(heard, lambda: spoken(h).count(heard) > said, 10, 0.02)
    return time.time() - started


def _leftovers(drive):
    return [f for _, _, names in os.walk(drive.path) for f in names if f.endswith((".json", ".tmp"))]


def _span(stretch):
    return "%.2f-%.2f" % stretch[1:]


def _jumps(stretches):
    return ", ".join("%+.2f s" % j for j in sweep_jumps(stretches)) or "none"


def _seconds(parts):
    return [info["frames"] / info["rate"] for info in parts]


def _check_kept_whole(h, result, recorded, parts, stretches):
    """All the recording's audio is in its parts but the start-up's latency, without a cut in the
    sweep, and the user is told the save was clean."""
    lengths = _seconds(parts)
    on_disk = sum(lengths)
    saved = [n for n in notifications(h) if n[1] == "Recording Saved"]
    print("    %d parts (%s s); on disk %.2f s of %.2f s recorded; the source's moments kept: %s s, jumps %s; %s; %s"
          % (len(lengths), ", ".join("%.2f" % x for x in lengths), on_disk, recorded,
             ", ".join(_span(s) for s in stretches), _jumps(stretches),
             result, saved))
    missing = recorded - on_disk
    # Never a success with audio missing, spoken or shown.
    assert missing < 0.6 or ("successfully" not in result and
                             not [n for n in saved if "safely saved" in n[2]]), (
        "reported saved with %.2f s of the recording missing" % missing, result, saved)
    assert len(stretches) == 1, ("the source is cut between the parts", stretches)
    assert missing < 0.6, (on_disk, recorded)
    assert result == SAVED, (result, saved)
    assert saved == [(0, "Recording Saved", "File safely saved to disk.")], saved


def test_a_drive_slow_to_flush_costs_the_recording_nothing(h):
    # Every fsync under the save folder takes 3 s: the journal beside the recording is forced to
    # the disk at once and every 2 s on its own thread, and each part at its close on the writer's,
    # so with a split every 5 s the writer takes nothing from the queue from 5 s to 8 s and from
    # 10 s to 13 s, where the stop comes. At 96000 Hz in 512-frame blocks that is some 560 blocks.
    with SlowDrive(h, 3.0) as drive:
        result, recorded, rc = _record_on(h, drive, _stop_at(12.0), sample_rate="96000", buffer_size="512",
                                          auto_split_secs=5)
        journal_syncs = [s for s in drive.fsyncs() if s[0].startswith("active_recording")]
        parts, stretches = sweep_parts(wavs(drive.path))
        left = _leftovers(drive)
    assert rc == 0, rc
    print("    %d journal fsyncs of 3 s while recording" % len(journal_syncs))
    # The slow path was taken: the journal was forced out while the recording ran.
    assert len(journal_syncs) >= 2 and all(t >= 2.9 for _, t in journal_syncs), journal_syncs
    assert not left, left
    assert [info["rate"] for info in parts] == [96000] * 3, parts
    _check_kept_whole(h, result, recorded, parts, stretches)


def test_a_stop_while_a_split_part_is_forced_to_a_slow_drive_keeps_the_audio_before_it(h):
    # The default format: 48000 Hz in 2048-frame blocks. Every fsync under the save folder takes
    # 6 s and a part is forced to the disk at its close, so with a split every 5 s the close of
    # part 1 runs from 5 s to 11 s, the next split is asked for meanwhile, and the close of part 2
    # follows at once, to about 17 s: twice the writer takes nothing from the queue for 6 s. A
    # stop 14 s after "Recording started" comes inside the second close, with the audio of 10 s
    # to 14 s still queued and for the drain to write, and before the third split is asked for.
    # The last part's close takes 6 s more, and the window waits 10 s for the writer after a stop
    # before it calls the finalization failed: a stop at 12 s would leave it no time to spare.
    with SlowDrive(h, 6.0) as drive:
        result, recorded, rc = _record_on(h, drive, _stop_at(14.0), sample_rate="48000", buffer_size="2048",
                                          auto_split_secs=5)
        parts, stretches = sweep_parts(wavs(drive.path))
        left = _leftovers(drive)
    assert rc == 0, rc
    closed = _logged(h, "Split file closed")
    stop = _logged(h, "Stop event set")
    print("    stop at %s s, parts closed at %s s" % (", ".join("%.2f" % t for t in stop),
                                                      ", ".join("%.2f" % t for t in closed)))
    # The run met the case: the stop came while part 2 was being forced to the disk.
    assert len(stop) == 1 and len(closed) >= 2 and closed[1] - 6.0 <= stop[0] < closed[1], (
        "the stop missed the close of part 2", stop, closed)
    assert not left, left
    _check_kept_whole(h, result, recorded, parts, stretches)


# The keys of the pause test, in seconds after "Recording started". With a split every 5 s and
# every fsync taking 3 s, the close of part k holds the writer from 5k s to 5k + 3 s while the
# audio of those seconds waits in the queue: the first pause and its resume come inside the close
# of part 1; the second pause inside the close of part 2, its resume after it; the third pause and
# the stop inside the close of part 3, with the audio captured between its split and that pause
# still queued.
SHORT_PAUSE = (5.9, 7.0)
LONG_PAUSE = (11.5, 14.5)
LAST_PAUSE, STOP = 15.8, 17.3
SPLIT = 5


def test_pauses_while_split_parts_are_forced_to_a_slow_drive_leave_out_just_the_paused_audio(h):
    def user(d, window, started):
        keys = []
        for pause, resume in (SHORT_PAUSE, LONG_PAUSE):
            keys.append((_press(h, d, window, started, pause, "Alt+P", PAUSED),
                         _press(h, d, window, started, resume, "Alt+E", RESUMED)))
        keys.append((_press(h, d, window, started, LAST_PAUSE, "Alt+P", PAUSED), None))
        _at(started, STOP)
        d.key(window, "Alt+T")
        return started, keys

    with SlowDrive(h, 3.0) as drive:
        result, (started, keys), rc = _record_on(h, drive, user, sample_rate="48000", buffer_size="2048",
                                                 auto_split_secs=SPLIT)
        part_syncs = [t for name, t in drive.fsyncs() if name.endswith(".wav")]
        parts, stretches = sweep_parts(wavs(drive.path))
        left = _leftovers(drive)
    assert rc == 0, rc
    lengths = _seconds(parts)
    begun = _logged(h, "Starting recording session", started)
    closed = _logged(h, "Split file closed", started)
    stop = _logged(h, "Stop event set", started)
    jumps = sweep_jumps(stretches)
    saved = [n for n in notifications(h) if n[1] == "Recording Saved"]
    print("    paused and resumed at %s s, stop at %s s, parts closed at %s s (fsyncs %s s)" % (
        ", ".join("%.2f-%s" % (p, "%.2f" % r if r else "stop") for p, r in keys),
        ", ".join("%.2f" % t for t in stop), ", ".join("%.2f" % t for t in closed),
        ", ".join("%.1f" % t for t in part_syncs)))
    print("    %d parts (%s s); the source's moments kept: %s s, jumps %s; %s; %s" % (
        len(lengths), ", ".join("%.2f" % x for x in lengths), ", ".join(_span(s) for s in stretches),
        _jumps(stretches), result, saved))
    # The log writes this machine's clock: the session began just before "Recording started".
    assert len(begun) == 1 and -5.0 < begun[0] <= 0.1, begun
    (p1, r1), (p2, r2), (p3, _) = keys
    assert len(stop) == 1 and len(closed) == 3, (stop, closed)
    (c1, c2, c3), s = closed, stop[0]
    # The run met the cases: each key came while the part named for it was being forced out.
    assert all(t >= 2.9 for t in part_syncs), part_syncs
    assert c1 - 3.0 <= p1 < r1 < c1, ("the short pause missed the close of part 1", p1, r1, c1)
    assert c2 - 3.0 <= p2 < c2 < r2, ("the long pause missed the close of part 2", p2, r2, c2)
    assert c3 - 3.0 <= p3 < s < c3, ("the last pause and the stop missed the close of part 3", p3, s, c3)
    # The files hold the source from the start to each pause and from each resume on, all of it:
    # the only cuts are the pauses, each as long as it lasted, and the stop while paused keeps
    # what came before the pause.
    assert len(stretches) == 3, ("the cuts are not the two pauses", stretches, jumps)
    for (first, last), (_, begin, end) in zip(((0.0, p1), (r1, p2), (r2, p3)), stretches):
        assert abs((end - begin) - (last - first)) < 0.6, ("kept %.2f s of %.2f-%.2f" % (end - begin, first, last),
                                                           stretches)
    for (pause, resume), jump in zip(keys, jumps):
        assert abs(jump - (resume - pause)) < 0.6, ("a pause of %.2f s cut %.2f s" % (resume - pause, jump), jumps)
    # A split falls where it was asked for, every 5 s from the start however far behind the
    # writer was: each part holds its 5 s less what of them was paused.
    ends = list(range(0, int(s) // SPLIT * SPLIT + 1, SPLIT)) + [s]
    paused = [(p1, r1), (p2, r2), (p3, s)]
    expected = [(b - a) - sum(max(0.0, min(b, y) - max(a, x)) for x, y in paused) for a, b in zip(ends, ends[1:])]
    assert len(lengths) == len(expected) and all(abs(x - e) < 0.6 for x, e in zip(lengths, expected)), (
        lengths, expected)
    assert not left, left
    assert result == SAVED, (result, saved)
    assert saved == [(0, "Recording Saved", "File safely saved to disk.")], saved


def test_the_second_input_is_kept_whole_through_slow_splits_after_the_first_is_lost(h):
    # Input 1 is the monitor of a sink of the test's own, unloaded 2 s in: under Wine its stream
    # then delivers nothing and reports nothing, a stall that never ends. Input 2 hears the sweep.
    # With continue_on_mic_disconnect the recording goes on through 5-s splits whose closes hold
    # the writer for 3 s each while input 1 has nothing to pair with input 2's queued blocks.
    sink = "twr_sink_lost"
    module = subprocess.run(["pactl", "load-module", "module-null-sink", f"sink_name={sink}", "rate=48000",
                             "channels=2", f"sink_properties=device.description={sink}"],
                            env=h.pulse_env, capture_output=True, text=True, check=True).stdout.strip()
    quiet = None
    unloaded = []

    def user(d, window, started):
        _at(started, 2.0)
        subprocess.run(["pactl", "unload-module", module], env=h.pulse_env, capture_output=True, check=True)
        unloaded.append(time.time() - started)
        _at(started, 14.0)
        d.key(window, "Alt+T")
        return time.time() - started

    try:
        entries = devices(h)
        # Silence at the tests' low latency, so input 1 delivers from the start as input 2 does.
        quiet = play(h, sink, 60, amplitude=0.0, lead=0.0)
        with SlowDrive(h, 3.0) as drive:
            result, recorded, rc = _record_on(
                h, drive, user, device_id=id_of(entries, "Input", "Monitor of " + sink),
                device2_id=id_of(entries, "Input", "Monitor of " + h.sinks[1]), continue_on_mic_disconnect=True,
                sample_rate="48000", buffer_size="2048", auto_split_secs=5)
            parts, stretches = sweep_parts(wavs(drive.path))
    finally:
        close_all(quiet)
        if not unloaded:
            subprocess.run(["pactl", "unload-module", module], env=h.pulse_env, capture_output=True)
    assert rc == 0, rc
    lengths = _seconds(parts)
    on_disk = sum(lengths)
    saved = [n for n in notifications(h) if n[1] == "Recording Saved"]
    print("    input 1's sink unloaded at %.2f s; %d parts (%s s); on disk %.2f s of %.2f s recorded; input 2's moments "
          "kept: %s s, jumps %s; %s; %s" % (
              unloaded[0], len(lengths), ", ".join("%.2f" % x for x in lengths), on_disk, recorded,
              ", ".join(_span(s) for s in stretches), _jumps(stretches),
              result, saved))
    assert len(lengths) == 3, lengths
    # Input 2 is whole across the parts, all but the start-up's latency.
    assert len(stretches) == 1, ("input 2 is cut", stretches)
    assert recorded - on_disk < 0.6, (on_disk, recorded)
    # Input 1 was lost for 12 s: the silence in its place keeps the save from being called clean.
    assert result == "Recording saved with quality warnings.", (result, saved)
    assert len(saved) == 1 and saved[0][2].endswith(" silence blocks substituted.") and \
        not saved[0][2].endswith(" 0 silence blocks substituted."), saved
