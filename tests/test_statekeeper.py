"""statekeeper as its clients see it: registrations and their replies, state
relaying, the general event, the weekly schedule at GOP marks, the repeats of
active alarm inputs, unregistering and the stop notices.

Test clients are SysV queues of their own that register on statekeeper's
queue (0x9F9F) exactly as the recorder framework, the live servers and
serialalarm do. GOP marks come from memhub itself (a text posted with
msgsend) or, to control their time, as hub notices put straight onto
statekeeper's queue, which is its reply queue towards the hub.
"""
import signal
import struct
import time

import pytest

import sysv

HUB_KEY = 0x5F5A
SEGMENT_KEY = 0x6F5A
STATE_KEY = 0x9F9F

STATE, IGNORED, REGISTER, UNREGISTER = 1, 2, 3, 4
SAVER, ONLINE, CLIENT, RSEVENT, GENERIC = 0, 1, 2, 4, 5
GOP_FLAG = 0x2000
ACK_MEM = 0x800

DAYS = ["sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"]


def state_body(kind=0, reply=0, state=0, value=0, alarm=0, hold=0, reserved=b"\0\0\0\0"):
    """The 19 bytes after the type word; the state number is unaligned."""
    body = struct.pack("<iiB4sIBB", kind, reply, alarm, reserved, state, value, hold)
    assert len(body) == 19
    return body


class Msg:
    def __init__(self, mtype, body):
        assert len(body) == 19, body
        self.type = mtype
        (self.kind, self.reply, self.alarm, self.reserved, self.state, self.value,
         self.hold) = struct.unpack("<iiB4sIBB", body)

    def sv(self):
        return (self.state, self.value)

    def __repr__(self):
        return "Msg(type %d kind %d state %d value %d alarm %d hold %d)" % (
            self.type, self.kind, self.state, self.value, self.alarm, self.hold)


class Client:
    """A client with its own reply queue."""

    def __init__(self, keeper_q):
        self.keeper = keeper_q
        self.q = sysv.msgget(sysv.IPC_PRIVATE, 0o777 | sysv.IPC_CREAT)
        if self.q == 0:  # id 0 is no client's id: take the next one
            self.q = sysv.msgget(sysv.IPC_PRIVATE, 0o777 | sysv.IPC_CREAT)

    def send(self, mtype, **fields):
        fields.setdefault("reply", self.q)
        sysv.msgsnd(self.keeper, mtype, state_body(**fields))

    def register(self, cls):
        self.send(REGISTER, kind=cls)

    def unregister(self):
        self.send(UNREGISTER)

    def state(self, kind, state, value, alarm=0, hold=0):
        self.send(STATE, kind=kind, state=state, value=value, alarm=alarm, hold=hold)

    def recv(self, timeout=5):
        t, body = sysv.msgrcv(self.q, 64, timeout=timeout)
        return Msg(t, body)

    def recv_sv(self, n):
        return [self.recv().sv() for _ in range(n)]

    def empty(self):
        return not any(qid == self.q and n for _, qid, n in sysv.queues())


def hub_notice(gop_time, stream=0, flags=GOP_FLAG):
    body = struct.pack("<iiiiiHBB", 1, 0x20000, 100, 0, gop_time, 0, 0, 1)
    return ACK_MEM | flags | stream, body


def queue_id(key):
    for k, qid, _ in sysv.queues():
        if k == key:
            return qid
    return None


def timer_ini(mode, hours=None):
    """Text of /etc/timer.ini: mode and {C weekday: [hours on]}."""
    text = "[ common ]\n" if mode is None else "[ common ]\nmode = %d\n" % mode
    for wday, hs in (hours or {}).items():
        text += "[ %s ]\n" % DAYS[wday] + "".join("h%d = 1\n" % h for h in hs)
    return text


def local_clock(hour, minute):
    """A TZ value under which the local time is now hour:minute, and the C
    weekday and the UNIX time of that local day's 00:00."""
    now = int(time.time())
    off = now % 86400 - (hour * 3600 + minute * 60)  # local = UTC - off
    a = abs(off)
    tz = "XXX%s%d:%02d:%02d" % ("+" if off >= 0 else "-", a // 3600, a % 3600 // 60, a % 60)
    wday = (time.gmtime(now - off).tm_wday + 1) % 7
    midnight = now - (hour * 3600 + minute * 60) - (now - off) % 60
    return tz, wday, midnight


class System:
    def __init__(self, sandbox, timer=None, tz=None, hub=True, config=True):
        self.sandbox = sandbox
        if timer is None:
            sandbox.path("/etc/timer.ini").unlink(missing_ok=True)
        else:
            sandbox.path("/etc/timer.ini").write_text(timer)
        if tz is None:
            sandbox.path("/etc/TZ").unlink(missing_ok=True)
        else:
            sandbox.path("/etc/TZ").write_text(tz + "\n")
        self.hub = None
        if hub:
            self.hub = sandbox.start("memhub", ["-nowd"])
            sandbox.wait_for(lambda: queue_id(HUB_KEY) is not None and any(
                k == SEGMENT_KEY for k, _, _ in sysv.segments()), what="memhub")
        if not config:
            sandbox.path("/etc/streams.ini").unlink()
        self.proc = sandbox.start("statekeeper")

    def wait_ready(self):
        self.sandbox.wait_for(lambda: queue_id(STATE_KEY) is not None, what="statekeeper queue")
        self.q = queue_id(STATE_KEY)
        return self

    def client(self):
        return Client(self.q)

    def notice(self, gop_time, **kw):
        sysv.msgsnd(self.q, *hub_notice(gop_time, **kw))

    def log(self):
        return self.sandbox.log_lines("statekeeper")


@pytest.fixture
def system(sandbox):
    return System(sandbox, timer=timer_ini(3), tz="UTC0").wait_ready()


# ---------------------------------------------------------------- start and stop

@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGQUIT, signal.SIGHUP])
def test_stop_tells_every_client_once_and_removes_the_queue(sandbox, sig):
    s = System(sandbox, timer=timer_ini(3), tz="UTC0").wait_ready()
    clients = {cls: s.client() for cls in (SAVER, ONLINE, CLIENT, RSEVENT, GENERIC)}
    for cls, c in clients.items():
        c.register(cls)
    # The registrations are served: the recorder has its schedule state.
    assert clients[SAVER].recv().sv() == (21, 1)
    # statekeeper serves its queue in order: once a live server registered
    # last has its answer, every earlier registration (and what it relayed)
    # has been served, and the queues can be drained.
    probe = s.client()
    probe.register(ONLINE)
    assert probe.recv().sv()[0] == 21
    for c in clients.values():
        while not c.empty():
            c.recv()
    assert sandbox.stop(s.proc, sig) == 0
    for cls, c in clients.items():
        m = c.recv()
        assert (m.type, m.reply) == (UNREGISTER, s.q), cls
        assert c.empty(), cls
    assert queue_id(STATE_KEY) is None
    assert queue_id(HUB_KEY) is not None  # the hub goes on


def test_fault_signal_logs_and_stops_cleanly(system):
    rec = system.client()
    rec.register(SAVER)
    assert rec.recv().sv() == (21, 1)
    assert system.sandbox.stop(system.proc, signal.SIGSEGV) == 0
    assert "Sigfault :)" in system.log()
    assert rec.recv().type == UNREGISTER
    assert queue_id(STATE_KEY) is None


@pytest.mark.parametrize("hub,config,line", [
    (False, True, "shm_id error No such file or directory"),
    (True, False, "Can't read config"),
])
def test_start_failures(sandbox, hub, config, line):
    s = System(sandbox, timer=timer_ini(3), tz="UTC0", hub=hub, config=config)
    assert s.proc.wait(10) != 0
    assert line in s.log()
    assert queue_id(STATE_KEY) is None


def test_missing_schedule_and_time_zone_files(sandbox):
    # No timer.ini: nothing is allowed by the schedule (mode 0, no hours).
    s = System(sandbox, timer=None, tz=None).wait_ready()
    rec, live = s.client(), s.client()
    rec.register(SAVER)
    assert rec.recv().sv() == (21, 0)
    live.register(ONLINE)
    assert live.recv().sv() == (21, 0)
    assert "Error: Can't open time zone info /etc/TZ" in s.log()


# ---------------------------------------------------------------- registration

@pytest.mark.parametrize("mode,hour_on,rec21,live21", [
    (0, False, 0, 0),
    (2, False, 0, 1),
    (1, False, 1, 0),
    (0, True, 1, 1),
])
def test_schedule_state_when_registering_at_three(sandbox, mode, hour_on, rec21, live21):
    tz, wday, _ = local_clock(3, 30)
    hours = {wday: [3] if hour_on else [2, 4]}
    s = System(sandbox, timer=timer_ini(mode, hours), tz=tz).wait_ready()
    rec, live = s.client(), s.client()
    rec.register(SAVER)
    assert rec.recv().sv() == (21, rec21)
    live.register(ONLINE)
    assert rec.recv().sv() == (21, rec21)
    assert live.recv_sv(5) == [(21, live21), (16, 0), (17, 0), (18, 0), (19, 0)]


def test_registration_refusals(system):
    bad = system.client()
    bad.send(REGISTER, kind=SAVER, reply=0)
    bad.send(REGISTER, kind=9)
    rs1, rs2 = system.client(), system.client()
    rs1.register(RSEVENT)
    assert rs1.recv_sv(4) == [(16, 0), (17, 0), (18, 0), (19, 0)]
    rs2.register(RSEVENT)
    lines = system.sandbox.wait_log("statekeeper", "RSevent already registered")
    assert "Can't connect client with broken id" in lines
    assert "Unknown client type: 9" in lines
    assert rs2.empty()
    # A serial alarm program that died without unregistering is replaced.
    sysv.msgrmid(rs1.q)
    rs2.register(RSEVENT)
    assert rs2.recv_sv(4) == [(16, 0), (17, 0), (18, 0), (19, 0)]


def test_full_live_server_list(system):
    lives = [system.client() for _ in range(25)]
    for c in lives:
        c.register(ONLINE)
    system.sandbox.wait_log("statekeeper", "Error: can't register video.online")
    assert lives[-1].empty()
    assert lives[23].recv().sv() == (21, 1)


# ---------------------------------------------------------------- relaying

def test_recorder_state_passed_on_once(system):
    live, rs = system.client(), system.client()
    live.register(ONLINE)
    rs.register(RSEVENT)
    assert len(live.recv_sv(5)) == 5
    assert len(rs.recv_sv(4)) == 4
    rec = system.client()
    rec.state(0, 18, 1)   # camera 2 records
    rec.state(0, 18, 1)   # again: not passed on
    rec.state(0, 19, 1)   # a marker that follows
    assert live.recv_sv(2) == [(18, 1), (19, 1)]
    assert rs.recv_sv(2) == [(18, 1), (19, 1)]
    # A newly registered live server learns the stored states.
    late = system.client()
    late.register(ONLINE)
    assert late.recv_sv(5) == [(21, 1), (16, 0), (17, 0), (18, 1), (19, 1)]


def test_general_event_needs_both_inputs_cleared(system):
    rs, rec = system.client(), system.client()
    rs.register(RSEVENT)
    rec.register(SAVER)
    rs.recv_sv(4)
    rec.recv()
    rs.state(4, 6, 1, alarm=1)
    assert rs.recv().sv() == (20, 1)
    rs.state(4, 7, 1, alarm=1)
    rs.state(4, 6, 0, alarm=1)
    assert rec.recv_sv(2) == [(6, 1), (7, 1)]   # recorders get inputs going active
    rs.state(4, 7, 0, alarm=1)
    m = rs.recv()
    assert (m.state, m.value, m.kind, m.hold) == (20, 0, 0, 0)
    assert rs.empty()


def test_stuck_live_server_does_not_stall_the_others(system):
    stuck, live = system.client(), system.client()
    stuck.register(ONLINE)
    live.register(ONLINE)
    live.recv_sv(5)
    # Fill the stuck server's queue to the brim.
    for size in (1000, 100, 10, 1):
        try:
            while True:
                sysv.msgsnd(stuck.q, 99, b"x" * size, sysv.IPC_NOWAIT)
        except OSError:
            pass
    rec = system.client()
    rec.state(0, 16, 1)
    rec.state(0, 16, 0)
    assert live.recv_sv(2) == [(16, 1), (16, 0)]
    system.sandbox.wait_log("statekeeper", "Client %d is down" % stuck.q)


def test_odd_messages_do_not_block_the_queue(system):
    c = system.client()
    sysv.msgsnd(system.q, 9, state_body(reply=c.q))
    sysv.msgsnd(system.q, STATE, b"y" * 40)      # longer than any message
    sysv.msgsnd(system.q, STATE, b"z" * 10)      # neither size: ignored
    c.register(SAVER)
    assert c.recv().sv() == (21, 1)
    assert "unknown action: 0x00000009" in system.log()


# ---------------------------------------------------------------- schedule and GOP marks

def test_schedule_state_changes_at_the_next_gop_mark(sandbox):
    tz, wday, midnight = local_clock(3, 30)
    s = System(sandbox, timer=timer_ini(0, {wday: [4]}), tz=tz).wait_ready()
    rec, live = s.client(), s.client()
    rec.register(SAVER)
    live.register(ONLINE)
    assert rec.recv_sv(2) == [(21, 0), (21, 0)]
    live.recv_sv(5)
    # A serial alarm program's registration is answered to itself only: its
    # answer shows that statekeeper has handled everything sent before.
    fence = s.client()
    steps = [
        (midnight + 3 * 3600 + 3000, None),   # 03:50: same hour, nothing
        (midnight + 4 * 3600 + 60, 1),        # 04:01: the hour is on
        (midnight + 4 * 3600 + 1800, None),
        (midnight + 5 * 3600, 0),             # 05:00: off again
        (midnight + 86400 + 5 * 3600, 0),     # the next day: another mask, sent again
    ]
    for t, want in steps:
        s.notice(t)
        s.notice(t + 1, flags=0)              # a frame without the mark: nothing
        fence.register(RSEVENT)
        assert len(fence.recv_sv(4)) == 4
        if want is not None:
            assert rec.recv().sv() == (21, want), t
            assert live.recv().sv() == (21, want), t
        assert rec.empty() and live.empty(), t


def test_active_inputs_repeat_at_gop_marks_from_the_hub(system):
    rec, rs = system.client(), system.client()
    rec.register(SAVER)
    assert rec.recv().sv() == (21, 1)
    rs.register(RSEVENT)
    rs.state(4, 6, 1, alarm=1)               # input 0 records
    rs.state(4, 9, 1, alarm=1, hold=1)       # input 3 counts for the general event only
    assert rec.recv_sv(2) == [(6, 1), (9, 1)]
    # A text through memhub: its broadcast carries the GOP mark.
    r = system.sandbox.run(["msgsend", "-n", "255", "-s", "hello"])
    assert r.returncode == 0, r.stderr
    a, b = rec.recv(), rec.recv()
    assert (a.kind, a.state, a.value, a.alarm, a.hold) == (-1, 6, 1, 1, 0)
    assert (b.kind, b.state, b.value, b.alarm, b.hold) == (-1, 9, 1, 1, 1)
    assert (a.reply, b.reply) == (system.q, system.q)


# ---------------------------------------------------------------- leaving

def test_main_recorder_leaving_resets_camera_states(system):
    rec, clip, live, rs = (system.client() for _ in range(4))
    rec.register(SAVER)
    clip.register(SAVER)
    live.register(ONLINE)
    rs.register(RSEVENT)
    rs.recv_sv(4)
    rec.state(0, 17, 1, alarm=1)
    assert rs.recv_sv(2) == [(17, 1), (20, 1)]
    clip.unregister()                      # a second recorder: states stay
    rec.unregister()
    assert rs.recv_sv(5) == [(16, 0), (17, 0), (18, 0), (19, 0), (20, 0)]
    while not live.empty():
        live.recv()
    live.unregister()
    rs.unregister()
    rec.state(0, 16, 1)
    fence = system.client()
    fence.register(SAVER)
    fence.recv()
    assert live.empty() and rs.empty()


def test_stand_in_takes_over_the_serial_outputs(system):
    rs, gen = system.client(), system.client()
    rs.register(RSEVENT)
    rs.recv_sv(4)
    rec = system.client()
    rec.state(0, 16, 1)
    assert rs.recv().sv() == (16, 1)
    gen.register(GENERIC)
    assert rs.recv_sv(4) == [(16, 0), (17, 0), (18, 0), (19, 0)]
    rs.state(4, 7, 1)
    assert gen.recv().sv() == (7, 1)
    gen.state(5, 17, 1)                     # kind 5: to the serial alarm program
    assert rs.recv().sv() == (17, 1)
    gen.unregister()
    assert rs.recv_sv(4) == [(16, 1), (17, 0), (18, 0), (19, 0)]
