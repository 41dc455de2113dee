"""memhub as its clients see it: the handshake, grants, broadcasts, the
arena, GOP marks, reload, the watchdog, start and stop, and bad input.

Each test starts a real memhub in a sandbox root (private IPC namespace) and
speaks the hub protocol through SysV queues, as producers and consumers do.
The helpers here are also used by the other test_hub_* files.
"""
import os
import signal
import struct
import time

import pytest

import sysv

HUB_KEY = 0x5F5A
SEGMENT_KEY = 0x6F5A

REQ_SHM = 0x100
REQ_CONFIG_FILE = 0x200
REQ_PREFIX = 0x300
REQ_CONFIG = 0x400
REQ_MEM = 0x500
CONNECT = 0x600
DISCONNECT = 0x700
ACK_MEM = 0x800
FLAG_KEY = 0x1000
FLAG_GOP = 0x2000
FLAG_RELOAD = 0x4000
FLAG_EVENT = 0x8000

ARENA = 0x20000
MIB16 = 0x1000000

BODY = struct.Struct("<iiiiiHBB")  # reply_id offset size frame_no gop_time time_code level stream_type
FIELDS = ("reply_id", "offset", "size", "frame_no", "gop_time", "time_code", "level",
          "stream_type")


class Msg:
    """One hub message: the type word and the 24-byte body."""

    def __init__(self, type, **kw):
        self.type = type
        for f in FIELDS:
            setattr(self, f, kw.get(f, 0))

    @classmethod
    def unpack(cls, mtype, body):
        assert len(body) == 24, body
        return cls(mtype, **dict(zip(FIELDS, BODY.unpack(body))))

    def pack(self):
        return BODY.pack(*(getattr(self, f) for f in FIELDS))

    @property
    def stream(self):
        return self.type & 0xFF

    @property
    def kind(self):
        return self.type & 0xF00

    def copy(self, **kw):
        m = Msg(self.type, **{f: getattr(self, f) for f in FIELDS})
        for k, v in kw.items():
            setattr(m, k, v)
        return m

    def __repr__(self):
        return "Msg(0x%x, %s)" % (self.type, ", ".join(f"{f}={getattr(self, f)}" for f in FIELDS))


class Client:
    """A hub client with its own reply queue."""

    def __init__(self):
        self.hub = sysv.msgget(HUB_KEY, 0o777)
        self.q = sysv.msgget(sysv.IPC_PRIVATE, 0o777 | sysv.IPC_CREAT)
        self.segment = None

    def send(self, mtype, reply_id=None, **kw):
        m = Msg(mtype, **kw)
        m.reply_id = self.q if reply_id is None else reply_id
        sysv.msgsnd(self.hub, m.type, m.pack())

    def recv(self, mtype=0, timeout=5.0):
        t, body = sysv.msgrcv(self.q, 64, mtype, timeout=timeout)
        return Msg.unpack(t, body)

    def recv_text(self, timeout=5.0):
        t, body = sysv.msgrcv(self.q, 256, 1, timeout=timeout)
        assert t == 1 and len(body) == 256
        return body.split(b"\0", 1)[0].decode()

    def shm(self):
        self.send(REQ_SHM)
        m = self.recv(REQ_SHM)
        return m.reply_id, m.size

    def attach(self, readonly=True):
        shmid, size = self.shm()
        self.segment = sysv.Segment(shmid, size, readonly=readonly)
        return self.segment

    def config(self):
        self.send(REQ_CONFIG)
        m = self.recv(REQ_CONFIG)
        return m.offset, m.size

    def digest(self):
        off, size = self.config()
        return self.segment.read(off, size)

    def connect(self):
        self.send(CONNECT)

    def disconnect(self):
        self.send(DISCONNECT)

    def request(self, stream, size, **kw):
        self.send(REQ_MEM | stream, size=size, **kw)

    def grant(self, timeout=5.0):
        m = self.recv(-(FLAG_KEY | ACK_MEM | 0xFF), timeout=timeout)
        assert m.kind == ACK_MEM, m
        return m

    def produce(self, stream, size, written=None, flags=0, data=None, **kw):
        """One producer cycle: request, grant, write data, acknowledge.

        The acknowledged size is written, else len(data), else size."""
        self.request(stream, size)
        g = self.grant()
        if data is not None:
            self.segment.write(g.offset, data)
            if written is None:
                written = len(data)
        self.ack(g, size if written is None else written, flags, **kw)
        return g

    def ack(self, grant, size, flags=0, **kw):
        m = grant.copy(size=size, **kw)
        m.type |= flags
        sysv.msgsnd(self.hub, m.type, m.pack())

    def notices(self):
        """Every message queued now."""
        out = []
        while True:
            try:
                out.append(self.recv(0, timeout=0))
            except TimeoutError:
                return out

    def expect_nothing(self, wait=0.2):
        time.sleep(wait)
        assert self.notices() == []

    def close(self):
        if self.segment is not None:
            self.segment.detach()
        try:
            sysv.msgrmid(self.q)
        except OSError:
            pass


# A configuration with two cameras, audio and text streams (one always an
# alarm, one never), and a GOP every 4 video frames.
CONFIG = """\
[common]
DeviceID = 'Test box'
prefix = /mnt/disc/videodata
memsize = 0x1000000
gop = 4
codepage = utf-8
[stream_0]
ON = 1
type = T_VIDEO
codec = mpeg4
name = 'Camera 0'
width = 704
height = 288
[stream_1]
ON = 1
type = T_VIDEO
codec = mjpeg
name = 'Camera 1'
[stream_16]
ON = 1
type = T_AUDIO
codec = adpcm
name = Left
[stream_128]
ON = 1
type = T_TEXT
codec = text
name = Motion
[stream_129]
ON = 1
type = T_TEXT
codec = text
name = Always
ACHTUNG = 1
[stream_130]
ON = 1
type = T_TEXT
codec = text
name = Never
ACHTUNG = -1
[stream_255]
ON = 1
type = T_TEXT
codec = text
name = Signal
"""


def hub_objects():
    return ([q for q in sysv.queues() if q[0] == HUB_KEY],
            [s for s in sysv.segments() if s[0] == SEGMENT_KEY])


def start_hub(sandbox, config=CONFIG, args=("-nowd",)):
    """Starts memhub on config and waits until its queue and segment exist."""
    if config is not None:
        sandbox.path("/etc/streams.ini").write_text(config)
    proc = sandbox.start("memhub", list(args))
    sandbox.wait_for(lambda: all(hub_objects()) or proc.poll() is not None, what="memhub start")
    assert proc.poll() is None, sandbox.log_lines("memhub")
    return proc


@pytest.fixture
def clients():
    made = []

    def make():
        c = Client()
        made.append(c)
        return c

    yield make
    for c in made:
        c.close()


def wait_log(sandbox, line, count=1):
    return sandbox.wait_log("memhub", line, count=count)


# --- handshake ------------------------------------------------------------


def test_handshake_answers(sandbox, clients):
    proc = start_hub(sandbox)
    c = clients()
    shmid, size = c.shm()
    [(_, seg_id, seg_size)] = hub_objects()[1]
    assert (shmid, size) == (seg_id, MIB16) and seg_size == MIB16
    c.send(REQ_CONFIG_FILE)
    assert c.recv_text() == "/etc/streams.ini"
    c.send(REQ_PREFIX)
    assert c.recv_text() == "/mnt/disc/videodata/"
    c.attach()
    off, length = c.config()
    assert off == 0 and 8 < length < 0x10000
    d = c.digest()
    assert d[:4] == b"\xb5\xb5\x05\xb5"
    assert struct.unpack_from("<HH", d, 4)[0] + struct.unpack_from("<HH", d, 4)[1] == length
    assert d[8:17] == b"Test box\0"
    # The arena starts zero-filled.
    assert c.segment.read(ARENA, 4096) == bytes(4096)
    lines = sandbox.log_lines("memhub")
    for line in ("memhub v2.3", "Watchdog off", "GOP = 4", "prefix = /mnt/disc/videodata/",
                 "memsize = 16777216", "DeviceID = Test box", "Found stream 0",
                 " type = 0x1", " codec = 'mpeg4'", " name = 'Camera 0'",
                 " params = ' -width=704 -height=288'", "stream_129 achtung = 1",
                 "stream_130 achtung = -1"):
        assert line in lines, line
    assert sandbox.stop(proc) == 0


@pytest.mark.parametrize("setting,size,logged", [
    ("", MIB16, "common/memsize Key is not found"),
    ("memsize = 0x2000000", 0x2000000, None),
    ("memsize = 4096", MIB16, None),
    ("memsize = -5", MIB16, None),
])
def test_memsize(sandbox, clients, setting, size, logged):
    start_hub(sandbox, CONFIG.replace("memsize = 0x1000000", setting))
    c = clients()
    assert c.shm()[1] == size
    assert hub_objects()[1][0][2] == size
    if logged:
        assert logged in sandbox.log_lines("memhub")


# --- grants, broadcasts, the arena ---------------------------------------------


def test_frame_reaches_every_consumer_in_place(sandbox, clients):
    start_hub(sandbox)
    prod, cons1, cons2 = clients(), clients(), clients()
    prod.attach(readonly=False)
    for c in (cons1, cons2):
        c.attach()
        c.connect()
    payload = bytes(range(256)) * 10
    g = prod.produce(0, 0x20000, data=payload, frame_no=0, time_code=40, level=33)
    assert g.type == ACK_MEM | FLAG_KEY | 0 and g.offset == ARENA and g.level == 0
    assert g.stream_type == 1 and g.size == 0x20000
    now = int(time.time())
    for c in (cons1, cons2):
        [n] = [c.recv()] + c.notices()
        assert n.type == ACK_MEM | FLAG_KEY | FLAG_GOP
        assert (n.reply_id, n.offset, n.size) == (prod.q, ARENA, len(payload))
        assert (n.frame_no, n.time_code, n.level, n.stream_type) == (0, 40, 33, 1)
        assert abs(n.gop_time - now) <= 2
        assert c.segment.read(n.offset, n.size) == payload
    # The next frame follows on a 4-byte boundary.
    g = prod.produce(16, 1000, written=333)
    assert g.offset == ARENA + len(payload)
    n = cons1.recv()
    assert (n.offset, n.size, n.stream_type, n.type) == (ARENA + 2560, 333, 2, ACK_MEM | FLAG_KEY | 16)
    g = prod.produce(128, 100, written=6)
    assert g.offset == ARENA + 2560 + 336


def test_pending_requests_are_granted_in_arrival_order(sandbox, clients):
    start_hub(sandbox)
    cons = clients()
    cons.connect()
    p = [clients() for _ in range(4)]
    p[0].request(0, 100)
    g0 = p[0].grant()
    p[2].request(128, 50)
    p[1].request(1, 70)
    p[3].request(16, 30)
    time.sleep(0.2)
    for x in (p[1], p[2], p[3]):
        with pytest.raises(TimeoutError):
            x.grant(timeout=0.1)
    p[0].ack(g0, 100)
    g2 = p[2].grant()
    assert g2.offset == ARENA + 100
    for x in (p[1], p[3]):
        with pytest.raises(TimeoutError):
            x.grant(timeout=0.1)
    p[2].ack(g2, 50)
    g1 = p[1].grant()
    assert g1.offset == ARENA + 152
    p[1].ack(g1, 70)
    g3 = p[3].grant()
    assert g3.offset == ARENA + 224
    p[3].ack(g3, 1)
    got = [(n.stream, n.offset, n.size) for n in [cons.recv() for _ in range(4)]]
    assert got == [(0, ARENA, 100), (128, ARENA + 100, 50), (1, ARENA + 152, 70),
                   (16, ARENA + 224, 1)]


def test_negative_and_unconfigured_acks_hand_the_arena_on(sandbox, clients):
    start_hub(sandbox)
    cons = clients()
    cons.connect()
    a, b, c = clients(), clients(), clients()
    a.request(0, 500)
    ga = a.grant()
    b.request(7, 300)  # stream 7 is not configured
    c.request(128, 20)
    a.ack(ga, -1)
    gb = b.grant()
    assert gb.offset == ARENA and gb.stream_type == 0
    b.ack(gb, 300)
    gc = c.grant()
    assert gc.offset == ARENA
    c.ack(gc, 20)
    [n] = [cons.recv()] + cons.notices()
    assert (n.stream, n.offset, n.size) == (128, ARENA, 20)
    wait_log(sandbox, "STREAM 7 is NOT SET!!")


def test_wrap_to_arena_start(sandbox, clients):
    start_hub(sandbox)
    prod, cons = clients(), clients()
    prod.attach(readonly=False)
    cons.attach()
    cons.connect()
    half = 8 * 1024 * 1024
    g = prod.produce(255, half, written=half)
    assert g.offset == ARENA
    pos = ARENA + half
    # Room that ends exactly one byte before the end still fits ...
    fits = MIB16 - pos - 1
    g = prod.produce(255, fits, data=b"tail\0")
    assert g.offset == pos
    pos += 8
    # ... room that reaches the end does not: the grant is at the arena's start.
    g = prod.produce(255, MIB16 - pos, data=b"wrapped\0")
    assert g.offset == ARENA
    notices = [cons.recv() for _ in range(3)]
    assert [n.offset for n in notices] == [ARENA, ARENA + half, ARENA]
    assert cons.segment.read(notices[1].offset, 5) == b"tail\0"
    assert cons.segment.read(notices[2].offset, 8) == b"wrapped\0"
    # A frame at the very end of the segment.
    g = prod.produce(255, 0x20000, written=0x20000)
    g = prod.produce(255, MIB16 - (ARENA + 8 + 0x20000) - 1, written=0)
    assert g.offset == ARENA + 8 + 0x20000
    # Room for the whole arena: granted at its start, ending at the segment's end.
    g = prod.produce(255, MIB16 - ARENA, data=b"whole\0")
    assert g.offset == ARENA


def test_gop_marks_and_key_flags(sandbox, clients):
    start_hub(sandbox)  # gop = 4
    prod, cons = clients(), clients()
    cons.connect()

    def frame(stream):
        g = prod.produce(stream, 64, written=8)
        return g, cons.recv()

    g, n = frame(0)  # countdown 4 -> 3; first grant of every stream is a key frame
    assert g.type & FLAG_KEY and n.type & FLAG_GOP and n.type & FLAG_KEY
    first_mark = n.gop_time
    g, n = frame(1)  # 3 -> 2
    assert g.type & FLAG_KEY and not n.type & FLAG_GOP
    g, n = frame(0)  # 2 -> 1
    assert not g.type & FLAG_KEY and not n.type & FLAG_GOP and n.gop_time == first_mark
    for s in (16, 128, 255, 16):  # audio and text do not count
        g, n = frame(s)
    time.sleep(1.1)
    g, n = frame(1)  # 1 -> 0: the GOP mark; this grant demands a key frame
    assert g.type & FLAG_KEY
    assert n.type & FLAG_GOP and n.gop_time > first_mark
    assert abs(n.gop_time - time.time()) <= 2
    for s in (16, 0, 128):  # every stream's next grant carries the key flag, once
        g, n = frame(s)
        assert g.type & FLAG_KEY and not n.type & FLAG_GOP, s
        g, n = frame(s)
        assert not g.type & FLAG_KEY, s


def test_alarm_overrides(sandbox, clients):
    start_hub(sandbox)
    prod, cons = clients(), clients()
    cons.connect()
    for stream, flags, want in [(128, 0, 0), (128, FLAG_EVENT, FLAG_EVENT), (129, 0, FLAG_EVENT),
                                (130, FLAG_EVENT, 0)]:
        prod.produce(stream, 10, written=10, flags=flags)
        assert cons.recv().type & FLAG_EVENT == want, stream


# --- the client table ------------------------------------------------------------


def test_65th_connect_and_double_connect(sandbox, clients):
    start_hub(sandbox)
    cs = [clients() for _ in range(65)]
    for c in cs:
        c.connect()
    wait_log(sandbox, "!!!!!! NO PLACE TO CLIENT!")
    prod = clients()
    prod.produce(255, 8, written=8)
    for c in cs[:64]:
        assert len([c.recv()] + c.notices()) == 1
    cs[64].expect_nothing()
    # A second connect from the same queue takes a second slot.
    cs[0].disconnect()
    cs[2].connect()
    prod.produce(255, 8, written=8)
    time.sleep(0.2)
    assert len(cs[2].notices()) == 2
    assert cs[0].notices() == []
    cs[0].disconnect()
    wait_log(sandbox, "CLIENT is not found!")


def test_consumer_that_went_away_is_dropped(sandbox, clients):
    start_hub(sandbox)
    gone, stays, prod = clients(), clients(), clients()
    gone.connect()
    stays.connect()
    time.sleep(0.1)
    sysv.msgrmid(gone.q)
    prod.produce(255, 8, written=8)
    wait_log(sandbox, "BCAST Invalid argument")
    prod.produce(255, 8, written=8)
    assert len([stays.recv(), stays.recv()]) == 2
    assert sandbox.log_lines("memhub").count("BCAST Invalid argument") == 1


def test_stuck_consumer_does_not_stall_the_producer(sandbox, clients):
    start_hub(sandbox)
    stuck, healthy, prod = clients(), clients(), clients()
    stuck.connect()
    healthy.connect()
    prod.attach(readonly=False)
    healthy.attach()
    got = []
    frames = 1500  # far more notices than a queue holds
    for i in range(frames):
        prod.produce(255, 16, data=b"frame %06d\0" % i)
        got.extend(healthy.notices())
    deadline = time.monotonic() + 5
    while len(got) < frames and time.monotonic() < deadline:
        got.extend(healthy.notices())
    assert len(got) == frames
    assert [healthy.segment.read(n.offset, n.size) for n in got[-3:]] == [
        b"frame %06d\0" % i for i in range(frames - 3, frames)]
    wait_log(sandbox, "BCAST Resource temporarily unavailable")
    # The stuck consumer kept what fitted into its queue and was dropped.
    kept = len(stuck.notices())
    assert 0 < kept < frames


def test_grant_of_a_producer_that_left_is_taken_back(sandbox, clients):
    start_hub(sandbox)
    a, b = clients(), clients()
    a.request(0, 100)
    a.grant()
    sysv.msgrmid(a.q)  # left without acknowledging
    b.request(1, 100)
    g = b.grant()
    assert g.offset == ARENA
    wait_log(sandbox, "Grant holder %d is gone" % a.q)


# --- bad input ------------------------------------------------------------------


def test_bad_requests_are_logged_and_the_hub_goes_on(sandbox, clients):
    proc = start_hub(sandbox)
    c, cons = clients(), clients()
    cons.connect()
    c.send(REQ_SHM, reply_id=0)
    wait_log(sandbox, "INVALID REPLYID!!")
    c.send(REQ_CONFIG, reply_id=sysv.msgget(HUB_KEY, 0o777))  # the hub's own queue
    wait_log(sandbox, "INVALID REPLYID!!", count=2)
    c.send(0x900 | 5)
    wait_log(sandbox, "Unknown request %d(0x%x)" % (0x905, 0x905))
    c.send(0xF00)
    wait_log(sandbox, "Unknown request 3840(0xf00)")
    sysv.msgsnd(c.hub, REQ_SHM, b"short")  # not a hub message
    wait_log(sandbox, "Bad request size 5")
    sysv.msgsnd(c.hub, REQ_SHM, bytes(100))
    wait_log(sandbox, "Bad request size 64")
    c.request(0, MIB16 - ARENA + 1)  # can never fit
    wait_log(sandbox, "SHM_MSG_TYPE_REQ_MEM size %d does not fit" % (MIB16 - ARENA + 1))
    c.request(0, -1)  # nothing to write
    g = c.grant()
    c.ack(g, 50)  # more than asked: not announced
    wait_log(sandbox, "SHM_MSG_TYPE_ACK_MEM size 50 over the -1 granted")
    c.ack(g, 10)  # no grant is out any more
    wait_log(sandbox, "SHM_MSG_TYPE_ACK_MEM without a grant from %d" % c.q)
    c.send(ACK_MEM | 3, size=100, offset=0)
    wait_log(sandbox, "SHM_MSG_TYPE_ACK_MEM without a grant from %d" % c.q, count=2)
    cons.expect_nothing()
    # Replies to a queue that does not exist are logged by kind.
    c.send(REQ_SHM, reply_id=123456)
    wait_log(sandbox, "SHM_MSG_TYPE_REQ_SHM Invalid argument")
    c.send(REQ_PREFIX, reply_id=123456)
    wait_log(sandbox, "SHM_MSG_TYPE_REQ_PREFIX Invalid argument")
    # Still serving.
    assert c.shm()[1] == MIB16
    g = c.produce(128, 8, written=8)
    assert g.offset == ARENA
    assert cons.recv().offset == ARENA
    assert proc.poll() is None


# --- reload ---------------------------------------------------------------------


def test_sighup_reloads_into_the_other_half(sandbox, clients):
    proc = start_hub(sandbox)
    cons, prod = clients(), clients()
    cons.attach()
    cons.connect()
    old = cons.digest()
    prod.produce(0, 64, written=8)  # frame 1 of the group
    cons.recv()
    sandbox.path("/etc/streams.ini").write_text(
        CONFIG.replace("Test box", "Reloaded").replace("gop = 4", "gop = 2")
              .replace("prefix = /mnt/disc/videodata", "prefix = /x"))
    proc.send_signal(signal.SIGHUP)
    n = cons.recv()
    assert n.type == 0x4800
    assert n.offset == 0x10000
    assert abs(n.gop_time - time.time()) <= 2
    new = cons.segment.read(n.offset, n.size)
    assert new[8:17] == b"Reloaded\0"
    assert cons.segment.read(0, len(old)) == old  # the old half stays as it was
    assert cons.config() == (0x10000, n.size)
    prod.send(REQ_PREFIX)
    assert prod.recv_text() == "/x/"
    lines = wait_log(sandbox, "(sighup)RELOAD CONFIG FILE")
    assert "SIGHUP" in lines
    # A new group starts: key frames for everyone, the GOP flag on the next frame.
    g = prod.produce(16, 64, written=8)
    assert g.type & FLAG_KEY
    assert cons.recv().type & FLAG_GOP
    g = prod.produce(0, 64, written=8)
    assert g.type & FLAG_KEY and not cons.recv().type & FLAG_GOP
    g = prod.produce(1, 64, written=8)  # gop = 2 now: the second video request marks
    assert g.type & FLAG_KEY and cons.recv().type & FLAG_GOP
    # And back to the first half.
    proc.send_signal(signal.SIGHUP)
    n = cons.recv()
    assert (n.type, n.offset) == (0x4800, 0)
    assert cons.segment.read(0, n.size)[8:17] == b"Reloaded\0"


def test_failed_reload_shuts_the_hub_down(sandbox, clients):
    proc = start_hub(sandbox)
    sandbox.path("/etc/streams.ini").unlink()
    proc.send_signal(signal.SIGHUP)
    assert proc.wait(10) != 0
    lines = sandbox.log_lines("memhub")
    assert "Unable to reload config!!! exiting!!" in lines
    assert "Done, WATCH DOG CONTINUE WORK" in lines
    assert hub_objects() == ([], [])


# --- start and stop ----------------------------------------------------------------


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGQUIT])
def test_stop_removes_the_queue_and_segment(sandbox, clients, sig):
    proc = start_hub(sandbox)
    c = clients()
    c.attach()
    assert sandbox.stop(proc, sig) == 0
    assert sandbox.log_lines("memhub")[-1] == "Done, WATCH DOG CONTINUE WORK"
    assert hub_objects()[0] == []
    # The segment goes away once its last client detaches.
    c.segment.detach()
    c.segment = None
    assert hub_objects() == ([], [])


def test_left_over_segment_refuses_the_start(sandbox):
    sandbox.path("/etc/streams.ini").write_text(CONFIG)
    left = sysv.shmget(SEGMENT_KEY, 4096, 0o777 | sysv.IPC_CREAT)
    proc = sandbox.start("memhub", ["-nowd"])
    assert proc.wait(10) == 255
    assert "shmID error File exists" in sandbox.log_lines("memhub")
    queues, segments = hub_objects()
    assert queues == []  # the queue it made is gone again
    assert [s[1] for s in segments] == [left]


def test_second_hub_does_not_take_the_first_ones_queue(sandbox, clients):
    first = start_hub(sandbox)
    second = sandbox.start("memhub", ["-nowd"])
    assert second.wait(10) == 255
    assert first.poll() is None
    c = clients()
    assert c.shm()[1] == MIB16


@pytest.mark.parametrize("config,line", [
    (None, "Config file is not found /etc/streams.ini"),
    ("[common]\ngop=3\n[camtap]\nntsc=0\n", "streams not found"),
])
def test_start_without_usable_configuration(sandbox, config, line):
    path = sandbox.path("/etc/streams.ini")
    if config is None:
        if path.exists():
            path.unlink()
    else:
        path.write_text(config)
    proc = sandbox.start("memhub", ["-nowd"])
    assert proc.wait(10) == 1
    assert line in sandbox.log_lines("memhub")
    assert hub_objects() == ([], [])


def test_daemonises_without_the_foreground_switch(sandbox, clients):
    sandbox.path("/etc/streams.ini").write_text(CONFIG)
    env = dict(sandbox.env)
    del env["DEEPVAULT_FOREGROUND"]
    parent = sandbox.start("memhub", ["-nowd"], env=env)
    assert parent.wait(10) == 0
    sandbox.wait_for(lambda: all(hub_objects()), what="the daemon's queue and segment")
    c = clients()
    assert c.shm()[1] == MIB16
    pids = [int(p) for p in os.listdir("/proc") if p.isdigit() and int(p) != os.getpid()]
    hub = [p for p in pids if open(f"/proc/{p}/comm").read().strip() == "memhub"]
    assert len(hub) == 1
    os.kill(hub[0], signal.SIGTERM)
    sandbox.wait_for(lambda: hub_objects()[0] == [], what="the daemon to stop")


# --- the watchdog ------------------------------------------------------------------


def watchdog_requests(sandbox):
    path = sandbox.path("/dev/rtc")
    if not path.exists():
        return []
    return [line.split(" ", 1)[1] for line in path.read_text().splitlines()]


def test_watchdog_is_armed_and_kicked_at_every_gop_mark(sandbox, clients):
    rtc = sandbox.path("/dev/rtc")
    if rtc.exists():
        rtc.unlink()
    proc = start_hub(sandbox, args=())
    wait_log(sandbox, "WD enabled")
    assert watchdog_requests(sandbox) == ["open", "settimeout 120", "setoptions 2"]
    prod = clients()
    for i in range(9):  # gop = 4: marks at the 4th and 8th video request
        prod.produce(i % 2, 64, written=8)
        prod.produce(16, 64, written=8)  # audio does not count
    assert watchdog_requests(sandbox).count("keepalive") == 2
    assert sandbox.stop(proc) == 0
    # Closed, never disarmed.
    assert watchdog_requests(sandbox)[-1] == "close"
    assert "setoptions 1" not in watchdog_requests(sandbox)
    assert "Done, WATCH DOG CONTINUE WORK" in sandbox.log_lines("memhub")


def test_nowd_leaves_the_watchdog_alone(sandbox, clients):
    rtc = sandbox.path("/dev/rtc")
    if rtc.exists():
        rtc.unlink()
    start_hub(sandbox, args=("-nowdog",))
    wait_log(sandbox, "Watchdog off")
    prod = clients()
    for _ in range(8):
        prod.produce(0, 64, written=8)
    assert watchdog_requests(sandbox) == []


def test_watchdog_that_cannot_be_opened(sandbox, clients):
    rtc = sandbox.path("/dev/rtc")
    if rtc.exists():
        rtc.unlink()
    rtc.mkdir()
    start_hub(sandbox, args=())
    wait_log(sandbox, "Can't open wd")
    prod = clients()
    for _ in range(8):
        prod.produce(0, 64, written=8)  # GOP marks without a watchdog
    assert "WD enabled" not in sandbox.log_lines("memhub")
