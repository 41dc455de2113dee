"""System tests of camtap: memhub and camtap on the simulated capture driver,
I2C buses and sound card, read by a consumer that takes every notice from
the hub and copies its payload out of the shared segment.

The simulator runs in real time (25 pictures/s in all for PAL), so every case
runs a few seconds with short GOPs.
"""
import os
import signal
import struct
import subprocess
import time

import pytest

import sysv

HUB_KEY = 0x5F5A
KEY = 0x1000
GOP = 0x2000
EVENT = 0x8000
BODY = "<iiiiiHBB"
W, H = 704, 288


# ---- configuration -------------------------------------------------------------

def streams_ini(cams, gop=10, camtap="", video=None, audio=None, common=""):
    """streams.ini with the given cameras on; video: {camera: extra key lines};
    audio: {16 or 17: extra key lines} (streams not named are off)."""
    video = video or {}
    audio = audio or {}
    out = [f"[common]\nmemsize = 16777216\ngop = {gop}\nDeviceID = 'test'\n{common}",
           f"[camtap]\n{camtap}"]
    for c in range(4):
        on = 1 if c in cams else 0
        extra = video.get(c, "")
        codec = "" if "codec =" in extra else "codec = mpeg4\n"
        out.append(f"[stream_{c}]\nON = {on}\ntype = T_VIDEO\n{codec}"
                   f"name = 'Camera {c}'\n{extra}")
    for s in (16, 17):
        on = 1 if s in audio else 0
        out.append(f"[stream_{s}]\nON = {on}\ntype = T_AUDIO\ncodec = adpcm\n"
                   f"name = 'Audio {s}'\n{audio.get(s, '')}")
    for s in (128, 129, 130, 131, 145, 146, 255):
        out.append(f"[stream_{s}]\nON = 1\ntype = T_TEXT\ncodec = text\nname = 'Text {s}'\n")
    return "\n".join(out) + "\n"


def write_atomic(path, text):
    tmp = path.with_name(path.name + ".tmp")
    tmp.write_text(text)
    os.replace(tmp, path)


def raw_frames(path, values):
    """Raw planar 4:2:0 704x288 pictures; each value a grey level, or None
    for noise."""
    with open(path, "wb") as f:
        for v in values:
            if v is None:
                f.write(os.urandom(W * H * 3 // 2))
            else:
                f.write(bytes([v]) * (W * H) + bytes([128]) * (W * H // 2))


# ---- a consumer of the hub -------------------------------------------------------

class Notice:
    __slots__ = ("type", "stream", "offset", "size", "frame_no", "gop_time", "time_code",
                 "level", "stream_type", "payload", "t")

    @property
    def key(self):
        return bool(self.type & KEY)

    @property
    def gop(self):
        return bool(self.type & GOP)

    @property
    def event(self):
        return bool(self.type & EVENT)

    def text(self):
        return self.payload.split(b"\0", 1)[0].decode()


class Consumer:
    def __init__(self):
        self.hub = sysv.msgget(HUB_KEY)
        self.own = sysv.msgget(sysv.IPC_PRIVATE, 0o777 | sysv.IPC_CREAT)
        self._send(0x100)
        _, body = sysv.msgrcv(self.own, 24, timeout=5)
        rid, off, size = struct.unpack(BODY, body)[:3]
        self.seg = sysv.Segment(rid, size)
        self._send(0x600)
        self.notices = []

    def _send(self, mtype):
        sysv.msgsnd(self.hub, mtype, struct.pack(BODY, self.own, 0, 0, 0, 0, 0, 0, 0))

    def collect(self, seconds):
        """Takes notices for that long; returns those of this call."""
        got = []
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                mtype, body = sysv.msgrcv(self.own, 24, timeout=0.2)
            except TimeoutError:
                continue
            n = Notice()
            n.type = mtype
            n.stream = mtype & 0xFF
            (_, n.offset, n.size, n.frame_no, n.gop_time, n.time_code, n.level,
             n.stream_type) = struct.unpack(BODY, body)
            n.payload = self.seg.read(n.offset, n.size) if n.size > 0 else b""
            n.t = time.monotonic()
            got.append(n)
        self.notices += got
        return got

    def close(self):
        self.seg.detach()
        sysv.msgrmid(self.own)


def frames(notices, stream):
    return [n for n in notices if n.stream == stream and (n.type & 0xF00) == 0x800]


def texts(notices, stream):
    return [n.text() for n in frames(notices, stream)]


class System:
    """memhub and camtap in a sandbox, with a consumer."""

    def __init__(self, sandbox, ini, tvp=None, dsp=None):
        self.sb = sandbox
        sandbox.path("/etc/streams.ini").write_text(ini)
        if tvp is not None:
            sandbox.path("/dev/tvp5150").write_text(tvp)
        if dsp is not None:
            sandbox.path("/dev/dsp").write_text(dsp)
        self.hub = sandbox.start("memhub", ["-nowd"])
        sandbox.wait_log("memhub", "DeviceID = test")
        self.consumer = Consumer()
        self.cam = None

    def start_camtap(self, wait=True):
        self.cam = self.sb.start("camtap")
        if wait:
            self.sb.wait_for(self._started, timeout=10, what="capture start")
        return self.cam

    def _started(self):
        """The audio device is opened last before the capture starts."""
        return any(line.startswith("AudioRate") or line == "audio.dsp error!"
                   for line in self.sb.log_lines("camtap"))

    def log(self):
        return self.sb.log_lines("camtap")


@pytest.fixture
def system(sandbox):
    made = []

    def make(ini, **kw):
        s = System(sandbox, ini, **kw)
        made.append(s)
        return s

    yield make
    for s in made:
        s.consumer.close()


# ---- frame rates -----------------------------------------------------------------

RATE_CASES = [
    # cameras, camtap keys, expected pictures/s per camera, FPS log lines
    ([0], "", {0: 25}, {0: 25}),
    ([1, 3], "", {1: 12.5, 3: 12.5}, {1: 12, 3: 12}),
    ([0, 1, 2], "", {0: 12.5, 1: 6.25, 2: 6.25}, {0: 12, 1: 6, 2: 6}),
    ([0, 1, 2, 3], "", {c: 6.25 for c in range(4)}, {c: 6 for c in range(4)}),
    ([0, 1], "auto_mode = 1\n", {0: 18.75, 1: 6.25}, {0: 25, 1: 6}),
]


@pytest.mark.parametrize("cams,camtap,rates,fps", RATE_CASES,
                         ids=["one", "two", "three", "four", "auto_mode"])
def test_frame_rates_per_camera(system, cams, camtap, rates, fps):
    s = system(streams_ini(cams, gop=20, camtap=camtap))
    s.start_camtap()
    s.consumer.collect(0.8)
    window = s.consumer.collect(3.2)
    span = window[-1].t - window[0].t
    for c, rate in rates.items():
        got = len([n for n in frames(window, c) if n.size > 0]) / span
        assert abs(got - rate) <= 0.12 * rate + 0.4, (c, got, rate)
        assert f"Camera {c} FPS = {fps[c]}" in s.log()
    for c in set(range(4)) - set(cams):
        assert not frames(window, c)


def test_auto_mode_needs_two_cameras(system):
    s = system(streams_ini([0, 1, 2], camtap="auto_mode = 1\n"))
    cam = s.start_camtap(wait=False)
    assert cam.wait(10) == 0
    assert "Error: there must be exactly two cameras 0 and 1 for auto_mode!" in s.log()


def test_fdiv_three_takes_every_third_picture(system):
    s = system(streams_ini([0], gop=30, camtap="stat_gops = 2\n", video={0: "fdiv = 3\n"}))
    s.start_camtap()
    s.consumer.collect(0.8)
    window = s.consumer.collect(3.2)
    span = window[-1].t - window[0].t
    f0 = frames(window, 0)
    assert abs(len(f0) / span - 25 / 3) < 1.2
    assert " fdiv = 3" in s.log() and "Camera 0 FPS = 8" in s.log()
    # Driver statistics at the first cycle and every second one after it.
    assert "stat_gops = 2" in s.log()
    assert s.log().count("Reset 1") >= 2
    # The untaken pictures are acknowledged with -1 and never announced: the
    # frame numbers of the announced ones still count 0, 1, 2, ... in a GOP.
    for a, b in zip(f0, f0[1:]):
        assert b.frame_no == (0 if b.key else a.frame_no + 1), (a.frame_no, b.frame_no)


# ---- GOPs --------------------------------------------------------------------------

def ffmpeg_frames(data, fmt, tmp_path, name):
    path = tmp_path / name
    path.write_bytes(data)
    p = subprocess.run(["ffmpeg", "-v", "warning", "-xerror", "-f", fmt, "-i", str(path),
                        "-fps_mode", "passthrough", "-f", "framemd5", "-"],
                       capture_output=True, timeout=60)
    assert p.returncode == 0, p.stderr
    assert p.stderr == b"", p.stderr.decode()
    return len([line for line in p.stdout.splitlines() if line and not line.startswith(b"#")])


def test_key_frames_at_gop_marks_and_gops_decode_alone(system, tmp_path):
    s = system(streams_ini([0, 1], gop=8, video={1: "codec = mjpeg\n"}))
    s.start_camtap()
    got = s.consumer.collect(4.0)
    video = [n for n in got if n.stream in (0, 1)]
    # Key frames are exactly the first frame of each camera after a GOP mark.
    seen_in_group = set()
    started = False
    for n in got:
        if n.gop:
            seen_in_group = set()
            started = True
        if n.stream not in (0, 1):
            continue
        assert n.key == (n.frame_no == 0), (n.stream, n.frame_no, hex(n.type))
        if started:
            assert n.key == (n.stream not in seen_in_group), (n.stream, hex(n.type))
            seen_in_group.add(n.stream)
    assert sum(1 for n in got if n.gop) >= 8
    # Every MPEG-4 GOP decodes by itself, frames taken from the segment.
    f0 = frames(video, 0)
    starts = [i for i, n in enumerate(f0) if n.key]
    assert len(starts) >= 5
    for a, b in zip(starts, starts[1:]):
        data = b"".join(n.payload for n in f0[a:b])
        assert ffmpeg_frames(data, "m4v", tmp_path, f"gop{a}.m4v") == b - a
    # Every Motion-JPEG picture is a whole JPEG.
    f1 = frames(video, 1)
    assert all(n.payload[:2] == b"\xff\xd8" and n.payload[-2:] == b"\xff\xd9" for n in f1)
    assert ffmpeg_frames(b"".join(n.payload for n in f1), "mjpeg", tmp_path, "all.mjpeg") == len(f1)


# ---- motion -----------------------------------------------------------------------

def test_motion_texts_and_marks(system, sandbox):
    # A clip of three grey levels: every picture of every camera differs from
    # the one before, so every watched macroblock is coded intra (level 63).
    raw_frames(sandbox.path("/dev/flash.yuv"), [30, 130, 230])
    tvp = "".join(f"cam{c}.file=flash.yuv\n" for c in range(4))
    video = {
        0: "dval = 16\ndtime = 1\nmessage = 'Motion %d cam0'\n",
        1: "dval = 16\ndtime = 4\nmessage = 'Motion %d cam1'\n",
        # Every macroblock ignored: no active cell, level 0.
        2: "dval = 2\nmotion_mask = '" + "F" * 100 + "'\n",
        # Default threshold 64: the level (at most 63) never passes it.
        3: "",
    }
    s = system(streams_ini([0, 1, 2, 3], gop=8, video=video), tvp=tvp)
    s.start_camtap()
    got = s.consumer.collect(5.0)
    marks = {}
    group = 0
    for n in got:
        if n.gop:
            group += 1
        if n.stream in range(4) and n.event:
            marks.setdefault(n.stream, []).append(group)
    # At most one mark per camera and GOP, in every GOP for the watched ones.
    for c in (0, 1):
        assert len(marks[c]) == len(set(marks[c])) >= group - 2, (c, marks.get(c), group)
    assert 2 not in marks and 3 not in marks
    assert all(n.level == 0 for n in frames(got, 2))
    assert max(n.level for n in frames(got, 3)) == 63
    # Texts with running numbers, flagged as events. Every mark reloads the
    # hold-off: with dtime 1 (hold-off 1 GOP) the counter is back at 0 by the
    # next GOP, so continuous motion gives a text per GOP; with dtime 4
    # (hold-off 2) it never gets there while the motion lasts: one text.
    t0, t1 = texts(got, 128), texts(got, 129)
    assert t0[:3] == ["Motion 0 cam0", "Motion 1 cam0", "Motion 2 cam0"]
    assert len(t0) >= group - 2
    assert t1 == ["Motion 0 cam1"]
    assert all(n.event for n in frames(got, 128) + frames(got, 129))
    assert not frames(got, 130) and not frames(got, 131)


# ---- camera signal ------------------------------------------------------------------

def intra_vop(payload):
    i = payload.find(b"\x00\x00\x01\xb6")
    return i >= 0 and (payload[i + 4] >> 6) == 0


def test_camera_off_and_on_texts(system, sandbox, tmp_path):
    tvp_path = sandbox.path("/dev/tvp5150")
    s = system(streams_ini([0, 1], gop=50,
                           camtap="nosig = 'Lost camera %d'\nsig = 'Camera %d is back'\n"),
               tvp="cam1.signal=1\n")
    s.start_camtap()
    s.consumer.collect(1.0)
    write_atomic(tvp_path, "cam1.signal=0\n")
    lost = s.consumer.collect(1.5)
    write_atomic(tvp_path, "cam1.signal=1\n")
    back = s.consumer.collect(1.5)
    assert texts(lost, 255) == ["Lost camera 1"]
    assert texts(back, 255) == ["Camera 1 is back"]
    assert all(n.event for n in frames(lost + back, 255))
    # The picture that enters the lost state is announced empty; camera 0 goes on.
    f1 = frames(lost, 1)
    assert f1 and f1[0].size == 0 and all(n.size <= 0 for n in f1[1:])
    assert all(n.size > 0 for n in frames(lost, 0))
    # The stream resumes with an intra picture, then decodes on.
    resumed = [n for n in frames(back, 1) if n.size > 0]
    assert resumed and intra_vop(resumed[0].payload)
    data = b"".join(n.payload for n in resumed if not n.key)
    assert ffmpeg_frames(data, "m4v", tmp_path, "resumed.m4v") == len(
        [n for n in resumed if not n.key])
    s.sb.stop(s.cam)
    assert any(line.startswith("No Video Frames ") and int(line.split()[-1]) > 0
               for line in s.log())


# ---- audio ---------------------------------------------------------------------------

STEPS = [7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 21, 23, 25, 28, 31, 34, 37, 41, 45, 50, 55,
         60, 66, 73, 80, 88, 97, 107, 118, 130, 143, 157, 173, 190, 209, 230, 253, 279, 307,
         337, 371, 408, 449, 494, 544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411,
         1552, 1707, 1878, 2066, 2272, 2499, 2749, 3024, 3327, 3660, 4026, 4428, 4871, 5358,
         5894, 6484, 7132, 7845, 8630, 9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500,
         20350, 22385, 24623, 27086, 29794, 32767]
INDEX = [-1, -1, -1, -1, 2, 4, 6, 8] * 2


def adpcm_decode(blocks):
    """IMA ADPCM blocks (high nibble first), state reset at each key block."""
    out = []
    pred = idx = 0
    for key, data in blocks:
        if key:
            pred = idx = 0
        for byte in data:
            for code in (byte >> 4, byte & 15):
                step = STEPS[idx]
                diff = step >> 3
                if code & 4:
                    diff += step
                if code & 2:
                    diff += step >> 1
                if code & 1:
                    diff += step >> 2
                pred = max(-32767, min(32767, pred - diff if code & 8 else pred + diff))
                idx = max(0, min(88, idx + INDEX[code]))
                out.append(pred)
    return out


def test_audio_blocks_quiet_blocks_and_sound_texts(system):
    audio = {16: "rate = 11025\ndval = 20\nmessage = 'Sound %d left'\n",
             17: "rate = 22050\nnosnd = 1\ndval = 2\n"}
    s = system(streams_ini([0], gop=10, audio=audio),
               dsp="source=tone\nfrequency=440\namplitude=8000\n")
    s.start_camtap()
    got = s.consumer.collect(3.0)
    left, right = frames(got, 16), frames(got, 17)
    assert len(left) >= 10 and len(left) == len(right) or abs(len(left) - len(right)) <= 1
    # Right: quiet blocks only, 2 bytes holding the count of silent samples,
    # twice the left channel's samples (rate 22050 against 11025).
    for l, r in zip(left, right):
        assert r.size == 2 and r.level == 0
        count = struct.unpack("<H", r.payload)[0]
        assert l.size == (count // 2) // 2, (l.size, count)
    # Left: ADPCM of the tone, loud enough for sound marks and texts.
    assert all(n.size > 2 and n.level > 10 for n in left)
    decoded = adpcm_decode([(n.key, n.payload) for n in left])
    tail = decoded[len(decoded) // 2:]
    rms = (sum(v * v for v in tail) / len(tail)) ** 0.5
    assert 4500 < rms < 6800, rms
    t16 = texts(got, 145)
    assert t16[:2] == ["Sound 0 left", "Sound 1 left"]
    assert not frames(got, 146)
    assert any(n.event for n in left) and not any(n.event for n in right)


def test_silence_gives_quiet_blocks(system):
    audio = {16: "rate = 22050\n", 17: "rate = 11025\n"}
    s = system(streams_ini([0], audio=audio), dsp="source=silence\n")
    s.start_camtap()
    got = s.consumer.collect(2.0)
    for stream, div in ((16, 1), (17, 2)):
        f = frames(got, stream)
        assert f and all(n.size == 2 and n.level == 0 for n in f)
        assert all(struct.unpack("<H", n.payload)[0] > 0 for n in f)


# ---- settings ----------------------------------------------------------------------

@pytest.mark.parametrize("ntsc", [0, 1], ids=["pal", "ntsc"])
def test_heights_corrected_and_differing_camera_left_off(system, sandbox, tmp_path, ntsc):
    std = 240 if ntsc else 288
    video = {
        0: f"height = {2 * std}\ncodec = mjpeg\n",
        1: f"height = {528 - std}\n",  # the other standard's height
        2: "width = 352\n",
        3: "",
    }
    s = system(streams_ini([0, 1, 2], camtap=f"ntsc = {ntsc}\n", video=video))
    s.start_camtap()
    got = s.consumer.collect(2.0)
    log = s.log()
    assert ("NTSC setup" if ntsc else "PAL/SECAM setup") in log
    assert f" height = {std}" in log
    name = "NTSC" if ntsc else "PAL/SECAM"
    assert (f" WARNING!! invalid height = {528 - std} for {name} standart setitng to {std}"
            in log)
    assert f"Invalid with or height 352x{std} (base 704x{std})" in log
    assert "Channel will be off!!" in log
    assert "camera mask = 0x3" in log
    assert frames(got, 0) and frames(got, 1) and not frames(got, 2)
    jpeg = tmp_path / "pic.jpg"
    jpeg.write_bytes(frames(got, 0)[-1].payload)
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=width,height",
                            "-of", "csv=p=0", str(jpeg)], capture_output=True, text=True)
    assert probe.stdout.strip() == f"704,{std}"
    # The four decoders got the standard over I2C (bus, 7-bit address, bytes).
    value = "0a" if ntsc else "04"
    for bus in (0, 1):
        lines = sandbox.path(f"/dev/i2c-{bus}").read_text().splitlines()
        writes = [line.split(" ", 1)[1] for line in lines]
        for addr in ("0x5c", "0x5d"):
            assert f"write {bus} {addr} 28 {value}" in writes
            assert f"write {bus} {addr} 08 00" in writes
            assert f"write {bus} {addr} 1a 02 00" in writes


def test_sighup_reloads_and_keeps_streaming(system, sandbox):
    s = system(streams_ini([0], gop=10))
    cam = s.start_camtap()
    before = s.consumer.collect(1.0)
    assert frames(before, 0) and not frames(before, 1)
    sandbox.path("/etc/streams.ini").write_text(streams_ini([0, 1], gop=10))
    cam.send_signal(signal.SIGHUP)
    sandbox.wait_log("camtap", "RELOADING CONFIG!")
    s.consumer.collect(1.0)
    after = s.consumer.collect(2.0)
    assert frames(after, 0) and frames(after, 1)
    log = s.log()
    assert log.count("SIGHUP") == 1
    assert log.count("Request shared memory from memhub") == 2
    assert log.index("SIGHUP") < log.index("RELOADING CONFIG!")
    assert cam.poll() is None
    # One reply queue of camtap's at a time: hub, consumer, camtap.
    assert len(sysv.queues()) == 3
    assert sandbox.stop(cam) == 0
    assert len(sysv.queues()) == 2


# ---- bad input -----------------------------------------------------------------------

def attachments():
    rows = sysv._table("shm")
    return sum(int(r["nattch"]) for r in rows)


@pytest.mark.parametrize("video,tvp_dir,status,line", [
    ({}, False, 255, "no video source found!!"),
    ({0: "width = 100\n"}, False, 1, "MP4encodeOPEN error!"),
    ({0: "width = 100\ncodec = mjpeg\n"}, False, 1, "MJPEGencodeOPEN error!"),
    ({0: ""}, True, 1, "TVP5150 OPEN : /dev/tvp5150 Is a directory"),
], ids=["no-camera", "mpeg4-open", "mjpeg-open", "no-capture-device"])
def test_start_failures_stop_cleanly(system, sandbox, video, tvp_dir, status, line):
    if tvp_dir:
        sandbox.path("/dev/tvp5150").mkdir()
    s = system(streams_ini(list(video), video=video))
    cam = s.start_camtap(wait=False)
    assert cam.wait(10) & 0xFF == status
    assert line in s.log()
    # Queue removed, segment detached: only the hub's and the consumer's remain.
    assert len(sysv.queues()) == 2
    assert attachments() == 2


def test_wrong_types_and_bad_values_keep_streaming(system, sandbox):
    raw_frames(sandbox.path("/dev/noise.yuv"), [None, None, None])
    video = {
        0: "quant = 'abc'\nfdiv = 'x'\ndrep = 999\ndtime = -4\nbitrate = -5\n"
           "motion_mask = 'zz" + "F" * 600 + "'\n",
        # Noise does not fit the 131072 granted bytes as Motion-JPEG: such a
        # picture is dropped, never written past the grant.
        1: "codec = mjpeg\n",
    }
    s = system(streams_ini([0, 1], video=video), tvp="cam1.file=noise.yuv\n")
    cam = s.start_camtap()
    got = s.consumer.collect(2.0)
    assert len(frames(got, 0)) > 15
    assert all(n.size <= 131072 for n in frames(got, 1))
    assert " quant = 2" in s.log()
    assert cam.poll() is None


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGKILL], ids=["stopped", "killed"])
def test_hub_going_away_stops_camtap_cleanly(system, sandbox, sig):
    s = system(streams_ini([0, 1], gop=10))
    cam = s.start_camtap()
    s.consumer.collect(1.0)
    s.hub.send_signal(sig)
    s.hub.wait(5)  # reaped, as init does on the device
    assert cam.wait(8) == 1
    log = s.log()
    assert any(line.startswith(("send SHM_MSG_TYPE_REQ_MEM", "recv SHM_MSG_TYPE_REQ_MEM",
                                "send SHM_MSG_TYPE_ACK_MEM")) for line in log), log[-10:]
    assert "Reset 1" in log  # the stop sequence ran
    # camtap's own queue is gone (a killed hub leaves its own behind).
    assert len(sysv.queues()) == (2 if sig == signal.SIGKILL else 1)
