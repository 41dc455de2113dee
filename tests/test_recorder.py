"""The archive recorder as a whole: memhub, statekeeper (real or played by the
test), the recorder and a producer that publishes frames through the hub.

Every archive is checked by the independent reader (archive_reader.py): group
headers, chunks, time words, index and summary records, event entries. The
frames found in it are matched, payload CRC by payload CRC, against the list
of notices the hub broadcast (the producer listens as a consumer too), and
the groups recorded are compared with a model of the recording rules written
here from the rules themselves.

The helpers at the top are shared with test_recorder_crash.py.
"""
import json
import os
import signal
import struct
import subprocess
import time
import zlib
from pathlib import Path

import pytest

import archive_reader
import sysv
from conftest import BUILD, SLOW

FLAG_KEY = 0x1000
FLAG_GOP = 0x2000
FLAG_EVENT = 0x8000
T_VIDEO, T_AUDIO, T_TEXT = 1, 2, 4
STATE_KEY = 0x9F9F
ARCHIVE = "/mnt/disc/videodata/"
PRODUCER = BUILD / "tests" / "rec_producer"

pytestmark = pytest.mark.skipif(not PRODUCER.exists(), reason="rec_producer not built")


# ------------------------------------------------------------------ set-up

def ini_set(sandbox, section, key, value, path="/etc/streams.ini"):
    """Sets key in [ section ] of an INI file (added when missing)."""
    p = sandbox.path(path)
    lines = p.read_text().splitlines()
    out, in_sec, done = [], False, False
    for line in lines:
        s = line.strip()
        if s.startswith("["):
            if in_sec and not done:
                out.append(f"{key} = {value}")
                done = True
            in_sec = s.strip("[] ").lower() == section.lower()
        elif in_sec and not done and s and s[0] not in "#;/":
            if s.split()[0].split("=")[0].lower() == key.lower():
                out.append(f"{key} = {value}")
                done = True
                continue
        out.append(line)
    if not done:
        if not in_sec:
            out.append(f"[ {section} ]")
        out.append(f"{key} = {value}")
    p.write_text("\n".join(out) + "\n")


def configure(sandbox, gop=20, saver=None, streams=None):
    ini_set(sandbox, "common", "gop", gop)
    ini_set(sandbox, "saver", "maxisize", 100)
    for k, v in (saver or {}).items():
        ini_set(sandbox, "saver", k, v)
    for s, kv in (streams or {}).items():
        for k, v in kv.items():
            ini_set(sandbox, f"stream_{s}", k, v)


class System:
    """memhub, statekeeper (unless fake) and a recorder in a sandbox."""

    def __init__(self, sandbox, statekeeper=True):
        self.sb = sandbox
        self.hub = sandbox.start("memhub", ["-nowd"])
        sandbox.wait_log("memhub", "Found stream 255")
        time.sleep(0.1 * SLOW)
        self.keeper = None
        if statekeeper:
            self.keeper = sandbox.start("statekeeper")
            sandbox.wait_for(lambda: any(k == STATE_KEY for k, _, _ in sysv.queues()),
                             what="statekeeper queue")
        self.recorder = None
        self.runs = 0

    def configured(self):
        return len([l for l in self.sb.log_lines("recorder") if l.startswith("Maximum capture")])

    def start_recorder(self, args=(), wait=True, **kw):
        before = self.configured()
        self.recorder = self.sb.start("recorder", list(args), **kw)
        self.runs += 1
        if wait:
            self.sb.wait_for(lambda: self.configured() > before,
                             what="recorder configuration read")
            time.sleep(0.2 * SLOW)  # the connect follows the configuration read
        return self.recorder

    def stop_recorder(self, sig=signal.SIGTERM):
        return self.sb.stop(self.recorder, sig)

    def folder(self):
        return self.sb.path(ARCHIVE)


def produce(sandbox, args, manifest=True, timeout=120, wait=True):
    """Runs rec_producer; returns (notices, stdout) or the Popen (wait=False)."""
    man = sandbox.root / f"manifest-{time.monotonic_ns()}.jsonl"
    argv = [str(PRODUCER)] + [str(a) for a in args]
    if manifest:
        argv += ["--manifest", str(man)]
    if not wait:
        p = subprocess.Popen(argv, env=sandbox.env, stdout=subprocess.PIPE)
        sandbox.procs.append(p)
        p.manifest = man
        return p
    r = subprocess.run(argv, env=sandbox.env, capture_output=True, timeout=timeout * SLOW)
    assert r.returncode == 0, r.stderr.decode()
    return (load_manifest(man) if manifest else []), r.stdout.decode()


def finish(prod):
    """Stops a producer started with wait=False; returns its notices."""
    if prod.poll() is None:
        prod.send_signal(signal.SIGTERM)
    prod.wait(30 * SLOW)
    return load_manifest(prod.manifest)


def load_manifest(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def manifest_groups(notices):
    """The notices cut into groups at the GOP flag (the first must carry it)."""
    groups = []
    for n in notices:
        if n["type"] & FLAG_GOP or not groups:
            groups.append([])
        groups[-1].append(n)
    return groups


def stream_of(n):
    return n["type"] & 0xFF


def notice_key(n):
    return (stream_of(n), n["size"], n["crc"])


def frame_key(f):
    return (f.stream, len(f.payload), zlib.crc32(f.payload) & 0xFFFFFFFF)


def check_frame(f, n, where):
    assert f.level == n["level"] & 0x3F, where
    if n["stream_type"] & T_VIDEO:
        assert f.time_code == n["time_code"], where
        assert f.frame_no == min(n["frame_no"], 255), where
        chunks = max(1, -(-n["size"] // 0xFFFF))
        assert len(f.chunks) == chunks, where
    else:
        assert f.time_code is None, where


def match_archive(sets, notices, recorded=lambda n: True):
    """Matches every archived group with the broadcast group it came from.

    Each archived group must hold exactly the recorded notices of one
    broadcast group, in order, with their payloads, levels, time codes and
    frame numbers, and the group time of that group. Returns the list of
    (set number, group index in the manifest) in archive order.
    """
    groups = manifest_groups(notices)
    where_is = {}
    for gi, g in enumerate(groups):
        for n in g:
            where_is.setdefault(notice_key(n), []).append(gi)
    out = []
    last = -1
    for s in sets:
        for k, g in enumerate(s.groups):
            assert g.frames, f"set {s.number:08x} group {k} is empty"
            key = frame_key(g.frames[0])
            cands = [gi for gi in where_is.get(key, []) if gi > last]
            assert cands, f"set {s.number:08x} group {k}: first frame {key} not broadcast"
            gi = cands[0]
            want = [n for n in groups[gi] if recorded(n)]
            got = [frame_key(f) for f in g.frames]
            assert got == [notice_key(n) for n in want], \
                f"set {s.number:08x} group {k} differs from broadcast group {gi}"
            for f, n in zip(g.frames, want):
                check_frame(f, n, f"set {s.number:08x} group {k}")
            assert g.time == groups[gi][0]["gop_time"]
            out.append((s.number, gi))
            last = gi
    return out


def model(notices, prerecord_groups=1, streams=None, hour_rec=1):
    """The groups the recording rules write, as (manifest group index,
    [notices recorded]) - from the rules, independently of the library.

    streams: {number: {"rmove": 0/1, "dtime": groups, "drep": text stream}}.
    Only the rules these tests use: continuous and motion recording, events
    from notices with the event flag, pre-record in groups.
    """
    streams = streams or {}
    record = {}
    dtime = {}
    rmap = {}
    any_rmove = False
    for s, c in streams.items():
        record[s] = 0 if c.get("rmove") else -1
        dtime[s] = c.get("dtime", 1)
        any_rmove = any_rmove or bool(c.get("rmove"))
        if "drep" in c:
            rmap[c["drep"]] = s
    pre = prerecord_groups if any_rmove else 1
    queue = []      # [(group index, [notices])]
    complete = 0
    written = []

    def write_oldest():
        nonlocal complete
        gi, g = queue.pop(0)
        kept = [n for n in g if record.get(stream_of(n), -1) > 0
                or (hour_rec and record.get(stream_of(n), -1) != 0)]
        if kept:
            written.append((gi, kept))
        if complete:
            complete -= 1
        for s in record:
            if record[s] > 0:
                record[s] -= 1

    for gi, g in enumerate(manifest_groups(notices)):
        for k, n in enumerate(g):
            if k == 0:
                if queue:
                    complete += 1
                while queue and complete >= pre:
                    write_oldest()
                queue.append((gi, []))
            if n["type"] & FLAG_EVENT and hour_rec:
                m = rmap.get(stream_of(n), stream_of(n))
                if streams.get(m, {}).get("rmove"):
                    record[m] = dtime[m] + complete
            queue[-1][1].append(n)
    while queue:
        write_oldest()
    return written


def archive_sets(sandbox, closed=True, folder=ARCHIVE):
    return archive_reader.check_folder(sandbox.path(folder), closed=closed)


# ------------------------------------------------------------------ a fake statekeeper

STATE_BODY = struct.Struct("<iiB4sIBB")


class FakeKeeper:
    """statekeeper's queue, played by the test: takes the registration and
    the recorder's state reports, sends schedule and alarm states."""

    def __init__(self):
        # In a fresh IPC namespace the first queue gets id 0, which the
        # protocol reserves ("no queue"); on the device memhub's queue comes
        # first. Take that id with a queue of no use.
        spare = sysv.msgget(sysv.IPC_PRIVATE, 0o777 | sysv.IPC_CREAT)
        self.q = sysv.msgget(STATE_KEY, 0o777 | sysv.IPC_CREAT)
        if spare != 0:
            sysv.msgrmid(spare)
        self.recorder_q = None
        self.reports = []

    def pump(self, timeout=0.0):
        deadline = time.monotonic() + timeout * SLOW
        while True:
            try:
                t, body = sysv.msgrcv(self.q, 64, 0, timeout=0.01)
            except TimeoutError:
                if time.monotonic() >= deadline:
                    return
                continue
            if len(body) != 19:
                continue
            kind, reply, alarm, reserved, state, value, hold = STATE_BODY.unpack(body)
            if t == 3:
                self.recorder_q = reply
            elif t == 1:
                self.reports.append((state, value, alarm, reserved[0], hold))

    def wait_registered(self, timeout=10):
        deadline = time.monotonic() + timeout * SLOW
        while self.recorder_q is None:
            assert time.monotonic() < deadline, "the recorder did not register"
            self.pump(0.05)

    def send(self, state, value, kind=-1, alarm=0, hold=0, mtype=1):
        body = STATE_BODY.pack(kind, self.q, alarm, b"\0\0\0\0", state, value, hold)
        sysv.msgsnd(self.recorder_q, mtype, body)


# ------------------------------------------------------------------ tests

def test_continuous_recording_stores_every_broadcast_frame(sandbox):
    configure(sandbox, gop=20)
    sysm = System(sandbox)
    sysm.start_recorder()
    notices, out = produce(sandbox, ["--video", 2, "--audio", "--frames", 400, "--fps", 250,
                                     "--big", 37, "--nosignal", 50, "--nosignal", 51,
                                     "--text", "60:255:Camera 1 off", "--start-delay", 300])
    time.sleep(0.3 * SLOW)
    assert sysm.stop_recorder() == 0
    sets = archive_sets(sandbox)
    assert [s.number for s in sets] == [0]
    matched = match_archive(sets, notices)
    # Every group, from the first one the recorder saw to the last.
    want = [(gi, g) for gi, g in model(notices)]
    assert [gi for _, gi in matched] == [gi for gi, _ in want]
    assert matched[0][1] == 0
    s = sets[0]
    assert s.marker is None and len(s.summaries) == 6
    assert s.device_id == "DeepVault NVR"
    # A 70000-byte frame is two chunks, a no-signal frame one empty chunk.
    frames = [f for g in s.groups for f in g.frames]
    assert any(f.chunks == [65535, 4465] for f in frames)
    assert sum(1 for f in frames if f.stream in (0, 1) and f.chunks == [0]) == 2
    log = sandbox.log_lines("recorder")
    assert log[:4] == ["RecCore v1.0", "Config Reload", "Config filename = '/etc/streams.ini'",
                       "Prerecord will be off!"]
    assert "Maximum capture size = 104857600" in log


def test_motion_records_prerecord_and_dtime_groups(sandbox):
    # prerecord 9 s = 4 groups, dtime 6 s = 3 groups: a motion frame records
    # the 3 groups the pre-record keeps, its own, and 2 after it.
    configure(sandbox, gop=10, saver={"prerecord": 9},
              streams={0: {"rmove": 1, "dtime": 6}})
    sysm = System(sandbox)
    sysm.start_recorder()
    notices, _ = produce(sandbox, ["--video", 1, "--frames", 400, "--fps", 150,
                                   "--motion", 205, "--start-delay", 300])
    time.sleep(0.3 * SLOW)
    assert sysm.stop_recorder() == 0
    sets = archive_sets(sandbox)
    groups = manifest_groups(notices)
    event_group = next(gi for gi, g in enumerate(groups)
                       if any(n["type"] & FLAG_EVENT and stream_of(n) == 0 for n in g))
    want = model(notices, prerecord_groups=4,
                 streams={0: {"rmove": 1, "dtime": 3, "drep": 128}})
    recorded_video = [gi for gi, g in want if any(stream_of(n) == 0 for n in g)]
    assert recorded_video == list(range(event_group - 3, event_group + 3))
    ids = {n["n"] for _, g in want for n in g}
    matched = match_archive(sets, notices, recorded=lambda n: n["n"] in ids)
    assert [gi for _, gi in matched] == [gi for gi, _ in want]
    # The alarm text is in the event file and marked in its group header.
    s = sets[0]
    entries = [(st, t) for e in s.events for st, t in e.texts]
    assert entries == [(128, b"Motion 205 on camera 0")]
    k = next(i for i, (_, gi) in enumerate(matched) if gi == event_group)
    assert s.groups[k].alarm_streams == [128]
    assert s.index[k].first_alarm == 128


def test_motion_model_matches_archive_with_two_events(sandbox):
    # Two events: the second while the first still runs extends it.
    configure(sandbox, gop=10, saver={"prerecord": 6},
              streams={0: {"rmove": 1, "dtime": 3}})
    sysm = System(sandbox)
    sysm.start_recorder()
    notices, _ = produce(sandbox, ["--video", 1, "--frames", 500, "--fps", 150,
                                   "--motion", 150, "--motion", 175, "--motion", 400,
                                   "--start-delay", 300])
    time.sleep(0.3 * SLOW)
    assert sysm.stop_recorder() == 0
    want = model(notices, prerecord_groups=3,
                 streams={0: {"rmove": 1, "dtime": 2, "drep": 128}})
    ids = {n["n"] for _, g in want for n in g}
    matched = match_archive(archive_sets(sandbox), notices, recorded=lambda n: n["n"] in ids)
    assert [gi for _, gi in matched] == [gi for gi, _ in want]


def test_schedule_state_switches_continuous_recording_and_reports(sandbox):
    configure(sandbox, gop=10)
    keeper = FakeKeeper()
    sysm = System(sandbox, statekeeper=False)
    sysm.start_recorder()
    prod = produce(sandbox, ["--video", 1, "--seconds", 600, "--fps", 100], wait=False)
    keeper.wait_registered()
    keeper.pump(0.5)
    assert keeper.reports == []
    # Nothing is recorded until the schedule allows it.
    time.sleep(1.0 * SLOW)
    keeper.send(21, 1)
    keeper.pump(2.0)
    keeper.send(21, 0)
    keeper.pump(2.0)
    keeper.send(21, 1)
    keeper.pump(2.0)
    notices = finish(prod)
    time.sleep(0.3 * SLOW)
    assert sysm.stop_recorder() == 0
    keeper.pump(0.3)
    # The cameras are on and record continuously: each reported on, off, on.
    for st in (16, 17, 18, 19):
        assert [v for s_, v, *_ in keeper.reports if s_ == st] == [1, 0, 1], keeper.reports
    sets = archive_sets(sandbox)
    matched = [gi for _, gi in match_archive(sets, notices)]
    # Two runs of groups: while enabled, a gap of about 2 s (20 groups) while
    # not, then the rest.
    runs = []
    for gi in matched:
        if runs and gi == runs[-1][-1] + 1:
            runs[-1].append(gi)
        else:
            runs.append([gi])
    assert len(runs) == 2, runs
    assert 12 * SLOW / 2 <= runs[1][0] - runs[0][-1] <= 30 * SLOW
    assert runs[1][-1] == len(manifest_groups(notices)) - 1
    # The unregister at the end.
    assert sandbox.log_lines("recorder").count("Can't send message to statekeeper") == 0


def test_serial_alarm_records_its_camera(sandbox):
    configure(sandbox, gop=10, streams={2: {"rmove": 1, "dtime": 3}})
    keeper = FakeKeeper()
    sysm = System(sandbox, statekeeper=False)
    sysm.start_recorder()
    prod = produce(sandbox, ["--video", 3, "--seconds", 600, "--fps", 150], wait=False)
    keeper.wait_registered()
    keeper.send(21, 1)
    keeper.pump(1.0)
    keeper.reports.clear()
    keeper.send(8, 1, kind=4)  # serial input 2 active
    keeper.pump(1.5)
    notices = finish(prod)
    time.sleep(0.3 * SLOW)
    assert sysm.stop_recorder() == 0
    keeper.pump(0.3)
    # Camera 2 reported recording, then stopped after its dtime (2 groups).
    cam2 = [(v, a) for st, v, a, *_ in keeper.reports if st == 18]
    assert cam2 == [(1, 0), (0, 0)]
    sets = archive_sets(sandbox)
    # dtime 3 s = 2 groups: camera 2 is in two whole groups, one after the
    # other; cameras 0 and 1 record continuously.
    keys2 = {frame_key(f) for s in sets for g in s.groups for f in g.frames if f.stream == 2}
    matched = match_archive(sets, notices,
                            recorded=lambda n: stream_of(n) != 2 or notice_key(n) in keys2)
    groups = manifest_groups(notices)
    with2 = [gi for _, gi in matched if any(notice_key(n) in keys2 for n in groups[gi])]
    assert len(with2) == 2 and with2[1] == with2[0] + 1, with2


def test_alarm_texts_go_to_the_event_file(sandbox):
    # A name no other file has: a text that ran as a command would create it.
    marker = f"/tmp/dv-injected-{os.getpid()}-{time.time_ns()}"
    configure(sandbox, gop=20)
    sysm = System(sandbox)
    sysm.start_recorder()
    prod = produce(sandbox, ["--video", 1, "--seconds", 600, "--fps", 100,
                             "--alarm", "100:255:Camera 0 off",
                             "--text", "100:254:plain text",
                             "--alarm", f"150:128:Motion \"quoted\" $(touch {marker})"],
                   wait=False)
    time.sleep(1.2 * SLOW)
    r = sandbox.run(["msgsend", "-n", "254", "-a", "-s", "Switch 0 - activating"])
    assert r.returncode == 0, r.stderr
    time.sleep(2.0 * SLOW)  # past frame 150 of the producer
    notices = finish(prod)
    time.sleep(0.3 * SLOW)
    assert sysm.stop_recorder() == 0
    sets = archive_sets(sandbox)
    match_archive(sets, notices)
    texts = [(st, t) for s in sets for e in s.events for st, t in e.texts]
    assert (255, b"Camera 0 off") in texts
    assert (254, b"Switch 0 - activating") in texts
    assert (128, f'Motion "quoted" $(touch {marker})'.encode()) in texts
    assert all(t != b"plain text" for _, t in texts)
    assert not sandbox.path(marker).exists() and not Path(marker).exists()
    for s in sets:
        for e in s.events:
            g = s.groups[e.record]
            assert sorted({st for st, _ in e.texts}) == g.alarm_streams
            assert s.index[e.record].first_alarm == min(g.alarm_streams)


def test_rollover_with_a_small_maximum(sandbox):
    configure(sandbox, gop=20)
    sysm = System(sandbox)
    sysm.start_recorder(["-s", "1500000"])
    notices, _ = produce(sandbox, ["--video", 2, "--frames", 600, "--fps", 300,
                                   "--size", "8000:12000", "--start-delay", 300])
    time.sleep(0.3 * SLOW)
    assert sysm.stop_recorder() == 0
    sets = archive_sets(sandbox)
    assert len(sets) >= 3
    matched = match_archive(sets, notices)
    assert [gi for _, gi in matched] == list(range(len(manifest_groups(notices))))
    for s in sets[:-1]:
        size = os.path.getsize(archive_reader.file_name(sysm.folder(), s.number, "qvs3"))
        last = s.groups[-1]
        # Closed at the first GOP mark past the maximum: never split.
        assert size > 1500000
        assert last.offset <= 1500000
    assert "Maximum capture size = 1500000" in sandbox.log_lines("recorder")


def test_summary_periods(sandbox):
    # One group a second for 40 s: two closed 18 s periods in .30m, one
    # closed 36 s period in .1h; the reader checks every record.
    configure(sandbox, gop=10)
    sysm = System(sandbox)
    sysm.start_recorder()
    produce(sandbox, ["--video", 1, "--seconds", 40, "--fps", 10, "--start-delay", 200])
    assert sysm.stop_recorder() == 0
    s = archive_sets(sandbox)[0]
    assert len(s.summaries["30m"]) >= 3
    assert len(s.summaries["1h"]) >= 2
    assert len(s.summaries["7d"]) == 1
    for r in s.summaries["30m"][:-1]:
        nxt = [x for x in s.index if x.time >= r.time + 18]
        assert nxt, r


@pytest.mark.parametrize("safe_mode", [0, 1])
def test_disc_safe_mode_writes_what_live_writing_writes(sandbox, safe_mode):
    hooks = sandbox.path("/tmp/hooks.txt")
    configure(sandbox, gop=10, saver={
        "disc_safe": safe_mode, "safe_start_ival": 1, "safe_stop_ival": 3,
        "on_safe_start": f"'echo start >> {hooks}'", "on_safe_stop": f"'echo stop >> {hooks}'",
    })
    sysm = System(sandbox)
    sysm.start_recorder()
    notices, _ = produce(sandbox, ["--video", 2, "--audio", "--frames", 1200, "--fps", 120,
                                   "--motion", 500, "--start-delay", 300])
    time.sleep(0.3 * SLOW)
    assert sysm.stop_recorder() == 0
    sets = archive_sets(sandbox)
    matched = match_archive(sets, notices)
    assert [gi for _, gi in matched] == [gi for gi, _ in model(notices)]
    log = sandbox.log_lines("recorder")
    bursts = [l for l in log if l.startswith("Disc safe mode: Begin Time: ")]
    if safe_mode:
        assert "Disc Safe Mode - enable, safe_start_ival=1, safe_stop_ival=3" in log
        assert any(l.startswith("Disc safe mode Next Time: ") for l in log)
        assert len(bursts) >= 2
        text = hooks.read_text().split()
        assert text[:4] == ["start", "stop", "start", "stop"]
        assert f"On safe start 'echo start >> {hooks}'" in log
    else:
        assert bursts == [] and not hooks.exists()


def test_hooks_on_exit(sandbox):
    done = sandbox.path("/tmp/exit.txt")
    configure(sandbox, saver={"on_exit": f"'echo bye > {done}'",
                              "on_error": f"'echo no > {done}.err'"})
    sysm = System(sandbox)
    sysm.start_recorder()
    produce(sandbox, ["--frames", 50, "--fps", 200])
    assert sysm.stop_recorder() == 0
    assert done.read_text() == "bye\n"
    assert not Path(f"{done}.err").exists()
    assert f"On exit execute 'echo bye > {done}'" in sandbox.log_lines("recorder")


def test_options_marker_summaries_notify_folder(sandbox):
    keeper = FakeKeeper()
    configure(sandbox, gop=10)
    other = sandbox.path("/mnt/disc/other")
    other.mkdir()
    sysm = System(sandbox, statekeeper=False)
    sysm.start_recorder(["-p", "/mnt/disc/other", "-h", "1", "-i", "0", "-m", "0", "-n", "5",
                         "-s", "0x100000"])
    prod = produce(sandbox, ["--seconds", 600, "--fps", 200], wait=False)
    keeper.wait_registered()
    keeper.send(21, 1)
    time.sleep(2.0 * SLOW)
    finish(prod)
    time.sleep(0.3 * SLOW)
    assert sysm.stop_recorder() == 0
    keeper.pump(0.3)
    assert keeper.reports == []  # -m 0: no camera states
    sets = archive_sets(sandbox, folder="/mnt/disc/other/")
    assert len(sets) >= 2  # -s 0x100000 = 1 MiB
    for s in sets:
        assert s.marker == b"\0" * 8
        assert s.summaries == {}
    assert list(sandbox.path(ARCHIVE).iterdir()) == []
    assert "Maximum capture size = 1048576" in sandbox.log_lines("recorder")


def test_unknown_option_prints_usage(sandbox):
    configure(sandbox)
    sysm = System(sandbox)
    err = sandbox.root / "err.txt"
    with open(err, "wb") as f:
        sysm.recorder = sandbox.start("recorder", ["-z", "1"], stderr=f)
        sandbox.wait_log("recorder", "Maximum capture size = 104857600")
    assert sysm.stop_recorder() == 0
    text = err.read_text()
    assert text.count("-p [dir] videodata folder\n") == 2  # "-z" and "1"
    assert "Usage " in text and "[-p dir] [-s size] [-h 0|1]\n" in text


def test_reload_in_the_middle_of_a_group(sandbox):
    configure(sandbox, gop=40)
    sysm = System(sandbox)
    sysm.start_recorder()
    prod = produce(sandbox, ["--video", 2, "--seconds", 600, "--fps", 200], wait=False)
    time.sleep(2.0 * SLOW)
    sysm.hub.send_signal(signal.SIGHUP)  # the hub reloads: a notice to every consumer
    sandbox.wait_log("recorder", "(sighup) config reloading!")
    time.sleep(1.5 * SLOW)
    sysm.recorder.send_signal(signal.SIGHUP)  # and the recorder on its own
    sandbox.wait_log("recorder", "(sighup) config reloading!", count=2)
    time.sleep(1.5 * SLOW)
    notices = finish(prod)
    time.sleep(0.3 * SLOW)
    assert sysm.stop_recorder() == 0
    sets = archive_sets(sandbox)
    assert [s.number for s in sets] == [0, 1, 2]
    # Each run's groups are whole broadcast groups, except that the group in
    # progress at a reload ends where the run ended.
    groups = manifest_groups(notices)
    for s in sets:
        for k, g in enumerate(s.groups):
            assert g.frames
    frames = [(f.stream, zlib.crc32(f.payload)) for s in sets for g in s.groups
              for f in g.frames]
    assert len(frames) == len(set(frames))
    assert len(frames) > 0.8 * sum(len(g) for g in groups)


def test_statekeeper_that_disappears(sandbox):
    configure(sandbox, gop=10)
    sysm = System(sandbox)
    sysm.start_recorder()
    prod = produce(sandbox, ["--seconds", 600, "--fps", 200], wait=False)
    time.sleep(1.0 * SLOW)
    sysm.keeper.send_signal(signal.SIGKILL)
    sysm.keeper.wait()
    sysv.msgrmid(next(qid for k, qid, _ in sysv.queues() if k == STATE_KEY))
    time.sleep(2.0 * SLOW)
    notices = finish(prod)
    time.sleep(0.3 * SLOW)
    assert sysm.stop_recorder() == 0
    matched = match_archive(archive_sets(sandbox), notices)
    # Recording went on to the end (the schedule state stays as it was).
    assert matched[-1][1] == len(manifest_groups(notices)) - 1
    assert [gi for _, gi in matched] == list(range(matched[0][1], matched[-1][1] + 1))


def test_statekeeper_that_stops_unregisters_the_recorder(sandbox):
    configure(sandbox, gop=10)
    sysm = System(sandbox)
    sysm.start_recorder()
    prod = produce(sandbox, ["--seconds", 600, "--fps", 200], wait=False)
    time.sleep(1.0 * SLOW)
    assert sandbox.stop(sysm.keeper) == 0
    time.sleep(1.0 * SLOW)
    finish(prod)
    assert sysm.stop_recorder() == 0
    archive_sets(sandbox)
    assert "Can't send message to statekeeper" not in sandbox.log_lines("recorder")


# ------------------------------------------------------------------ bad input

def _mount_tmpfs(path, size, ro=False):
    path.mkdir(parents=True, exist_ok=True)
    opts = f"size={size}" + (",ro" if ro else "")
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", opts, "tmpfs", str(path)],
                       capture_output=True)
    if r.returncode != 0:
        pytest.skip("cannot mount a tmpfs in this namespace: " + r.stderr.decode())


def test_full_disc_ends_the_run_without_a_damaged_set(sandbox):
    folder = sandbox.path(ARCHIVE)
    _mount_tmpfs(folder, "3m")
    err = sandbox.path("/tmp/error.txt")
    configure(sandbox, gop=10, saver={"on_error": f"'echo failed > {err}'"})
    sysm = System(sandbox)
    try:
        sysm.start_recorder(["-s", "1000000"])
        prod = produce(sandbox, ["--video", 2, "--seconds", 600, "--fps", 400,
                                 "--size", "10000:20000"], wait=False)
        code = sysm.recorder.wait(60 * SLOW)
        notices = finish(prod)
        assert code == 255
        assert err.read_text() == "failed\n"
        log = sandbox.log_lines("recorder")
        assert any("No space left on device" in l for l in log), log[-10:]
        assert f"On error execute 'echo failed > {err}'" in log
        sets = archive_sets(sandbox)
        assert sum(len(s.groups) for s in sets) > 5
        match_archive(sets, notices)
        # No file of a half-made set is left behind.
        nums = {s.number for s in sets}
        for name in os.listdir(folder):
            assert int(name.split(".")[0], 16) in nums, name
    finally:
        subprocess.run(["umount", "-l", str(folder)])


def test_unwritable_folder(sandbox):
    folder = sandbox.path(ARCHIVE)
    _mount_tmpfs(folder, "1m", ro=True)
    try:
        configure(sandbox, saver={"on_error": "'echo failed > /dev/null'"})
        sysm = System(sandbox)
        sysm.start_recorder()
        produce(sandbox, ["--frames", 60, "--fps", 200])
        assert sysm.recorder.wait(20 * SLOW) == 255
        log = sandbox.log_lines("recorder")
        assert f"Unable to open file {ARCHIVE}00000000.id3 (Read-only file system).. exiting!!" \
            in log
        assert "On error execute 'echo failed > /dev/null'" in log
    finally:
        subprocess.run(["umount", "-l", str(folder)])


def test_foreign_and_damaged_files_are_left_alone(sandbox):
    folder = sandbox.path(ARCHIVE)
    foreign = {
        "notes.txt": b"hello",
        "zzz.qvs3": b"not a set",
        "00000005.qvs3": os.urandom(3000),   # damaged: no header
        "00000005.id3": os.urandom(50),
        "00000003.id3": b"\0" * 24,          # index without its data file
    }
    for n, b in foreign.items():
        (folder / n).write_bytes(b)
    configure(sandbox)
    sysm = System(sandbox)
    sysm.start_recorder()
    notices, _ = produce(sandbox, ["--frames", 200, "--fps", 200, "--start-delay", 300])
    assert sysm.stop_recorder() == 0
    for n, b in foreign.items():
        assert (folder / n).read_bytes() == b, n
    assert any(l.startswith("Set /mnt/disc/videodata/00000005.qvs3 left as it is")
               for l in sandbox.log_lines("recorder"))
    s = archive_reader.check_set(folder, 6)
    match_archive([s], notices)


def test_set_numbers_used_up(sandbox):
    folder = sandbox.path(ARCHIVE)
    (folder / "ffffffff.qvs3").write_bytes(b"x")
    configure(sandbox)
    sysm = System(sandbox)
    sysm.start_recorder()
    produce(sandbox, ["--frames", 60, "--fps", 200])
    assert sysm.recorder.wait(20 * SLOW) == 255
    assert (f"Unable to open file {ARCHIVE}00000000.qvs3 (Value too large for defined data "
            "type).. exiting!!") in sandbox.log_lines("recorder")
    assert sorted(os.listdir(folder)) == ["ffffffff.qvs3"]


def test_last_set_number_is_used(sandbox):
    folder = sandbox.path(ARCHIVE)
    (folder / "fffffffe.qvs3").write_bytes(b"x")
    configure(sandbox)
    sysm = System(sandbox)
    sysm.start_recorder()
    notices, _ = produce(sandbox, ["--frames", 100, "--fps", 200, "--start-delay", 300])
    assert sysm.stop_recorder() == 0
    match_archive([archive_reader.check_set(folder, 0xFFFFFFFF)], notices)


def test_no_hub(sandbox):
    r = sandbox.run(["recorder"], timeout=10)
    assert r.returncode == 255
    log = sandbox.log_lines("recorder")
    assert log[0] == "RecCore v1.0"
    assert log[-1].startswith("shmsgid error ")


# ------------------------------------------------------------------ with camtap

@pytest.mark.skipif(not (BUILD / "bin" / "camtap").exists(), reason="camtap not built")
def test_camtap_frames_from_the_archive_decode(sandbox, tmp_path):
    # Camera 0 in MPEG-4, camera 1 in Motion-JPEG, from the capture simulator
    # through memhub into the archive; what comes back out of the archive
    # decodes with ffmpeg: every group of camera 0 alone (it starts with its
    # key frame), every picture of camera 1.
    configure(sandbox, gop=8, streams={1: {"codec": "mjpeg"}, 2: {"ON": 0}, 3: {"ON": 0}})
    sysm = System(sandbox)
    sysm.start_recorder()
    cam = sandbox.start("camtap")
    sandbox.wait_for(lambda: any(l.startswith("AudioRate") or l == "audio.dsp error!"
                                 for l in sandbox.log_lines("camtap")), timeout=10,
                     what="capture start")
    time.sleep(4.0 * SLOW)
    assert sandbox.stop(cam) == 0
    time.sleep(0.3 * SLOW)
    assert sysm.stop_recorder() == 0
    sets = archive_sets(sandbox)
    groups = [g for s in sets for g in s.groups]
    assert len(groups) >= 6

    def decode(data, fmt, name):
        path = tmp_path / name
        path.write_bytes(data)
        p = subprocess.run(["ffmpeg", "-v", "warning", "-xerror", "-f", fmt, "-i", str(path),
                            "-fps_mode", "passthrough", "-f", "framemd5", "-"],
                           capture_output=True, timeout=60)
        assert p.returncode == 0, p.stderr
        return len([l for l in p.stdout.splitlines() if l and not l.startswith(b"#")])

    decoded = 0
    for k, g in enumerate(groups):
        f0 = [f for f in g.frames if f.stream == 0 and f.payload]
        if not f0:
            continue
        assert f0[0].frame_no == 0, f"group {k} does not start with a key frame"
        assert decode(b"".join(f.payload for f in f0), "m4v", f"g{k}.m4v") == len(f0)
        decoded += len(f0)
    assert decoded >= 20
    f1 = [f for g in groups for f in g.frames if f.stream == 1 and f.payload]
    assert f1 and all(f.payload[:2] == b"\xff\xd8" and f.payload[-2:] == b"\xff\xd9" for f in f1)
    assert decode(b"".join(f.payload for f in f1), "mjpeg", "all.mjpeg") == len(f1)
    # camtap's frames carry their time codes and frame numbers into the
    # archive: each group of camera 0 counts 0, 1, 2, ...
    for g in groups:
        nums = [f.frame_no for f in g.frames if f.stream == 0]
        assert nums == list(range(len(nums)))
