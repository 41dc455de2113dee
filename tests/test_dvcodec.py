"""dvcodec: the recorder's coders on the command line.

Peer decoders are the oracles: ffmpeg (and djpeg) decode the MPEG-4 and JPEG
output without a warning and close to the source; a reference IMA ADPCM
decoder written here decodes the audio blocks. Bad input ends with a clear
message and a non-zero status, never with a crash or a half-written file.
"""
import math
import os
import random
import re
import shutil
import struct
import subprocess
import wave
from pathlib import Path

import pytest

BUILD = Path(os.environ.get("DEEPVAULT_BUILD",
                            Path(__file__).resolve().parent.parent / "build"))
DVCODEC = BUILD / "bin" / "dvcodec"

needs_ffmpeg = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="no ffmpeg")

W, H = 176, 144  # a small picture keeps the pure-Python oracles quick
FRAMES = 12


# ---- helpers -----------------------------------------------------------------

def dvcodec(*args, stdin=None):
    assert DVCODEC.exists(), f"build dvcodec first ({DVCODEC})"
    r = subprocess.run([str(DVCODEC), *map(str, args)], input=stdin,
                       capture_output=True, timeout=120)
    err = r.stderr.decode(errors="replace")
    assert "Sanitizer" not in err and "runtime error" not in err, err
    assert r.returncode >= 0, f"dvcodec died of signal {-r.returncode}: {err}"
    return r


def ok(*args):
    r = dvcodec(*args)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    return r.stdout.decode()


def ffmpeg(*args):
    """Runs ffmpeg with warnings as errors; returns its standard error."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-v", "warning", "-xerror",
                        *map(str, args)], capture_output=True, timeout=120)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    return r.stderr.decode(errors="replace")


def make_pictures(w=W, h=H, n=FRAMES, seed=1):
    """Planar 4:2:0 pictures: gradients, a square moving across, light noise."""
    rnd = random.Random(seed)
    base = bytearray((2 * i + j) % 180 + 30 for j in range(h) for i in range(w))
    cw, ch = w // 2, h // 2
    u = bytes((i * 3 + 64) % 256 for j in range(ch) for i in range(cw))
    v = bytes((j * 5 + 96) % 256 for j in range(ch) for i in range(cw))
    pics = []
    for k in range(n):
        y = bytearray(base)
        sx, sy = (k * 7) % (w - 24), (k * 3) % (h - 24)
        for j in range(sy, sy + 24):
            y[j * w + sx:j * w + sx + 24] = bytes([235]) * 24
        noise = rnd.randbytes(len(y))
        y = bytes(min(255, max(0, s + (r % 5) - 2)) for s, r in zip(y, noise))
        pics.append(y + u + v)
    return pics


def write_y4m(path, pics, w=W, h=H, rate="10:1", colour="C420jpeg"):
    with open(path, "wb") as f:
        f.write(f"YUV4MPEG2 W{w} H{h} F{rate} Ip A1:1 {colour}\n".encode())
        for p in pics:
            f.write(b"FRAME\n" + p)


def psnr(a, b):
    assert len(a) == len(b)
    sse = sum((x - y) * (x - y) for x, y in zip(a, b))
    return 99.0 if sse == 0 else 10 * math.log10(255 * 255 * len(a) / sse)


def to_zarn3(planar, w, h):
    """The capture layout, written out independently of the code under test:
    per line pair, per 8 columns 8 Y of the upper line, 4 Cb, 4 Cr; then the
    lower line's Y."""
    ysz, csz = w * h, w * h // 4
    y, u, v = planar[:ysz], planar[ysz:ysz + csz], planar[ysz + csz:]
    out = bytearray()
    for p in range(h // 2):
        up = 2 * p * w
        c = p * (w // 2)
        for g in range(w // 8):
            out += y[up + 8 * g:up + 8 * g + 8]
            out += u[c + 4 * g:c + 4 * g + 4]
            out += v[c + 4 * g:c + 4 * g + 4]
        out += y[up + w:up + 2 * w]
    return bytes(out)


@pytest.fixture(scope="module")
def pics():
    return make_pictures()


@pytest.fixture
def src(tmp_path, pics):
    """The pictures as Y4M (10 frames per second) and as raw planar."""
    write_y4m(tmp_path / "in.y4m", pics)
    (tmp_path / "in.yuv").write_bytes(b"".join(pics))
    return tmp_path


def vlines(out, word):
    return [dict(zip(l.split()[::2], l.split()[1::2])) for l in out.splitlines()
            if l.startswith(word + " ")]


# ---- MPEG-4 ------------------------------------------------------------------

@needs_ffmpeg
def test_mpeg4_stream_decodes_in_ffmpeg_to_the_coders_reconstruction(src, pics):
    out = ok("mpeg4", "-v", "--gop", 5, "--recon", src / "recon.yuv", src / "in.y4m",
             src / "out.m4v")
    frames = vlines(out, "frame")
    assert [f["vop"] for f in frames] == list("IPPPPIPPPPIP")
    assert all(f["quant"] == "4" for f in frames)
    assert sum(int(f["bytes"]) for f in frames) == (src / "out.m4v").stat().st_size
    assert re.search(r"^mpeg4: 12 frames 176x144, 3 I, 9 P, 0 empty, ", out, re.M), out

    assert ffmpeg("-i", src / "out.m4v", "-fps_mode", "passthrough", "-f", "rawvideo",
                  "-pix_fmt", "yuv420p", "-y", src / "dec.yuv") == ""
    dec = (src / "dec.yuv").read_bytes()
    size = W * H * 3 // 2
    assert len(dec) == FRAMES * size
    # What the coder says a decoder shows is what ffmpeg shows.
    assert dec == (src / "recon.yuv").read_bytes()
    for k in (0, 6, 11):
        assert psnr(pics[k][:W * H], dec[k * size:k * size + W * H]) > 38

    # The Y4M frame rate is the stream's time resolution.
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=r_frame_rate",
                        "-of", "csv=p=0", str(src / "out.m4v")], capture_output=True)
    assert r.stdout.decode().strip() == "10/1"


def test_mpeg4_same_stream_from_planar_via_zarn3_and_from_zarn3(src):
    ok("to-zarn3", src / "in.y4m", src / "in.zarn3")
    ok("mpeg4", "--size", f"{W}x{H}", "-r", 10, src / "in.yuv", src / "a.m4v")
    ok("mpeg4", "--via-zarn3", src / "in.y4m", src / "b.m4v")
    ok("mpeg4", "--zarn3", "-s", f"{W}x{H}", "-r", 10, src / "in.zarn3", src / "c.m4v")
    a = (src / "a.m4v").read_bytes()
    assert a == (src / "b.m4v").read_bytes() == (src / "c.m4v").read_bytes()


@needs_ffmpeg
@pytest.mark.parametrize("args,check", [
    (["-q", "12"], lambda f: {x["quant"] for x in f} == {"12"}),
    (["--gop", "1"], lambda f: {x["vop"] for x in f} == {"I"}),
    (["--frames", "3"], lambda f: len(f) == 3),
    # Over the target the quantiser rises at each intra VOP (by 3 when the
    # rate is over three times the target)...
    (["-b", "100000", "--minquant", "2", "--maxquant", "31", "-g", "4", "-r", "25"],
     lambda f: [x["quant"] for x in f if x["vop"] == "I"] == ["2", "5", "6"]
     and {x["vop"] for x in f} == {"I", "P"}),
    # ...and at the upper bound predicted VOPs become empty.
    (["--bitrate", "70000", "--minquant", "2", "--maxquant", "3", "--gop", "4", "-r", "25"],
     lambda f: "".join(x["vop"] for x in f) == "IPPPIEEEIEEE"),
], ids=["quant", "gop1", "frames", "rate-raises-quant", "empty-vops"])
def test_mpeg4_options(src, args, check):
    out = ok("mpeg4", "-v", *args, src / "in.y4m", src / "out.m4v")
    frames = vlines(out, "frame")
    assert check(frames), out
    ffmpeg("-i", src / "out.m4v", "-fps_mode", "passthrough", "-f", "null", "-")


@needs_ffmpeg
def test_mpeg4_rate_option_sets_the_stream_rate(src):
    ok("mpeg4", "--rate", 30, src / "in.y4m", src / "out.m4v")
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=r_frame_rate",
                        "-of", "csv=p=0", str(src / "out.m4v")], capture_output=True)
    assert r.stdout.decode().strip() == "30/1"


def test_mpeg4_reads_standard_input(src, pics):
    r = dvcodec("mpeg4", "-s", f"{W}x{H}", "-", src / "out.m4v", stdin=b"".join(pics[:4]))
    assert r.returncode == 0, r.stderr
    assert "mpeg4: 4 frames" in r.stdout.decode()


# ---- JPEG --------------------------------------------------------------------

@needs_ffmpeg
def test_jpeg_motion_jpeg_and_numbered_files_decode_in_ffmpeg(src, pics):
    out = ok("jpeg", "-v", src / "in.y4m", "--mjpeg", src / "out.mjpeg",
             "--jpg", src / "pic%03d.jpg")
    frames = vlines(out, "frame")
    assert len(frames) == FRAMES
    files = [src / f"pic{k:03d}.jpg" for k in range(FRAMES)]
    assert [int(f["bytes"]) for f in frames] == [p.stat().st_size for p in files]
    # The Motion-JPEG file is the pictures one after another.
    assert b"".join(p.read_bytes() for p in files) == (src / "out.mjpeg").read_bytes()
    # The moving square changes the picture: activity is measured.
    assert all("activity" in f for f in frames)

    # Decoded in the pictures' own format (full-range 4:2:0), so that no
    # conversion is involved.
    assert ffmpeg("-f", "mjpeg", "-i", src / "out.mjpeg", "-f", "rawvideo", "-y",
                  src / "dec.yuv") == ""
    dec = (src / "dec.yuv").read_bytes()
    size = W * H * 3 // 2
    assert len(dec) == FRAMES * size
    for k in (0, 11):
        assert psnr(pics[k][:W * H], dec[k * size:k * size + W * H]) > 32
    assert ffmpeg("-i", src / "pic%03d.jpg", "-f", "null", "-") == ""
    if shutil.which("djpeg"):
        r = subprocess.run(["djpeg", "-outfile", str(src / "p.ppm"), str(files[5])],
                           capture_output=True)
        assert r.returncode == 0 and r.stderr == b"", r.stderr


def test_jpeg_from_zarn3_equals_jpeg_from_planar(src):
    ok("to-zarn3", src / "in.y4m", src / "in.zarn3")
    ok("jpeg", src / "in.y4m", "--mjpeg", src / "a.mjpeg")
    ok("jpeg", "--zarn3", "--size", f"{W}x{H}", src / "in.zarn3", "--mjpeg", src / "b.mjpeg")
    assert (src / "a.mjpeg").read_bytes() == (src / "b.mjpeg").read_bytes()


# ---- ZARN3 -------------------------------------------------------------------

def test_zarn3_layout_and_round_trip(src, pics):
    out = ok("to-zarn3", src / "in.y4m", src / "in.zarn3")
    assert out.strip() == f"to-zarn3: {FRAMES} frames {W}x{H}"
    z = (src / "in.zarn3").read_bytes()
    size = W * H * 3 // 2
    assert z[:size] == to_zarn3(pics[0], W, H)
    assert z[-size:] == to_zarn3(pics[-1], W, H)
    ok("from-zarn3", "-s", f"{W}x{H}", src / "in.zarn3", src / "back.yuv")
    assert (src / "back.yuv").read_bytes() == b"".join(pics)
    # Y4M output carries the size and the rate asked for.
    ok("from-zarn3", "-s", f"{W}x{H}", "-r", 15, src / "in.zarn3", src / "back.y4m")
    y4m = (src / "back.y4m").read_bytes()
    head, _, rest = y4m.partition(b"\n")
    assert head.split()[:4] == [b"YUV4MPEG2", b"W176", b"H144", b"F15:1"]
    assert rest.count(b"FRAME\n") >= FRAMES
    assert rest[6:6 + size] == pics[0]


def test_zarn3_of_a_tiny_picture_byte_by_byte(tmp_path):
    w, h = 8, 2
    planar = bytes(range(16)) + bytes([100, 101, 102, 103]) + bytes([200, 201, 202, 203])
    (tmp_path / "p.yuv").write_bytes(planar)
    ok("to-zarn3", "-s", f"{w}x{h}", tmp_path / "p.yuv", tmp_path / "p.z")
    assert (tmp_path / "p.z").read_bytes() == bytes(
        list(range(8)) + [100, 101, 102, 103, 200, 201, 202, 203] + list(range(8, 16)))


# ---- ADPCM -------------------------------------------------------------------

STEPS = [7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 21, 23, 25, 28, 31, 34, 37, 41, 45, 50, 55,
         60, 66, 73, 80, 88, 97, 107, 118, 130, 143, 157, 173, 190, 209, 230, 253, 279, 307,
         337, 371, 408, 449, 494, 544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411,
         1552, 1707, 1878, 2066, 2272, 2499, 2749, 3024, 3327, 3660, 4026, 4428, 4871, 5358,
         5894, 6484, 7132, 7845, 8630, 9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500,
         20350, 22385, 24623, 27086, 29794, 32767]
INDEX = [-1, -1, -1, -1, 2, 4, 6, 8] * 2


class ImaDecoder:
    """The IMA ADPCM decoder of the standard (Interactive Multimedia
    Association, 1992): nibbles, earlier sample in the high nibble."""

    def __init__(self):
        self.pred, self.index = 0, 0

    def nibble(self, code):
        step = STEPS[self.index]
        diff = step >> 3
        if code & 4:
            diff += step
        if code & 2:
            diff += step >> 1
        if code & 1:
            diff += step >> 2
        self.pred = max(-32768, min(32767, self.pred - diff if code & 8 else self.pred + diff))
        self.index = max(0, min(88, self.index + INDEX[code]))
        return self.pred

    def block(self, data):
        out = []
        for b in data:
            out.append(self.nibble(b >> 4))
            out.append(self.nibble(b & 15))
        return out


def write_wav(path, channels, frames, rate=22050, width=2):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        if width == 2:
            w.writeframes(b"".join(struct.pack("<" + "h" * channels, *f) for f in frames))
        else:
            w.writeframes(bytes(s & 255 for f in frames for s in f))


def test_adpcm_blocks_decode_with_the_reference_decoder(tmp_path):
    n = 10507  # ten blocks of 1000 and one of 507 (its last sample is dropped)
    rnd = random.Random(5)
    left = [int(9000 * math.sin(i / 9)) for i in range(n)]
    right = [int(14000 * math.sin(i / 23) + 4000 * math.sin(i / 3.1) + rnd.randint(-300, 300))
             for i in range(n)]
    write_wav(tmp_path / "in.wav", 2, zip(left, right))
    out = ok("adpcm", "-v", "--channel", "right", "--block", 1000, "--gop", 4,
             "--decoded", tmp_path / "dec.wav", tmp_path / "in.wav", tmp_path / "out.adpcm")
    blocks = vlines(out, "block")
    assert [int(b["samples"]) for b in blocks] == [1000] * 10 + [507]
    assert [int(b["bytes"]) for b in blocks] == [500] * 10 + [253]
    data = (tmp_path / "out.adpcm").read_bytes()
    assert len(data) == 5253

    # The reference decoder starts afresh every 4 blocks, as at every GOP.
    decoded, at = [], 0
    dec = ImaDecoder()
    for k, b in enumerate(blocks):
        if k % 4 == 0:
            dec = ImaDecoder()
        size = int(b["bytes"])
        decoded += dec.block(data[at:at + size])
        at += size
        assert (dec.pred, dec.index) == (int(b["predictor"]), int(b["index"])), k
    assert len(decoded) == n - 1
    sig = sum(s * s for s in right[:n - 1])
    noise = sum((s - d) ** 2 for s, d in zip(right, decoded))
    assert 10 * math.log10(sig / noise) > 20
    # The tool's own decoded sound is the reference decoder's.
    with wave.open(str(tmp_path / "dec.wav")) as w:
        assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (1, 2, 22050)
        assert list(struct.unpack(f"<{w.getnframes()}h", w.readframes(w.getnframes()))) == decoded


def test_adpcm_mono_default_channel_and_one_stream(tmp_path):
    samples = [int(3000 * math.sin(i / 5)) for i in range(4096)]
    write_wav(tmp_path / "m.wav", 1, ((s,) for s in samples), rate=8000)
    out = ok("adpcm", tmp_path / "m.wav", tmp_path / "m.adpcm")
    assert "channel 0 of 1, 8000 Hz, 4096 samples in 2 blocks" in out
    # Without --gop the coder carries its state from block to block: the
    # blocks are one continuous stream, as if coded in one block.
    ok("adpcm", "--block", 4096, tmp_path / "m.wav", tmp_path / "one.adpcm")
    data = (tmp_path / "m.adpcm").read_bytes()
    assert len(data) == 2048
    assert data == (tmp_path / "one.adpcm").read_bytes()
    decoded = ImaDecoder().block(data)
    assert max(abs(a - b) for a, b in zip(samples[200:], decoded[200:])) < 500


# ---- bad input -----------------------------------------------------------------

def _bad_inputs(d):
    """Builds the damaged inputs; returns {name: path}."""
    pic = make_pictures(64, 64, 2, seed=3)
    f = {}
    f["raw64"] = d / "raw64.yuv"
    f["raw64"].write_bytes(b"".join(pic))
    f["raw100x64"] = d / "raw100x64.yuv"
    f["raw100x64"].write_bytes(bytes(100 * 64 * 3 // 2))
    f["raw64x40"] = d / "raw64x40.yuv"
    f["raw64x40"].write_bytes(bytes(64 * 40 * 3 // 2))
    f["big"] = d / "big.yuv"
    f["big"].write_bytes(bytes(4096 * 16 * 3 // 2))
    f["trunc_raw"] = d / "trunc.yuv"
    f["trunc_raw"].write_bytes(b"".join(pic) + pic[0][:1000])
    f["y4m100"] = d / "w100.y4m"
    write_y4m(f["y4m100"], [bytes(100 * 64 * 3 // 2)], 100, 64)
    f["trunc_y4m"] = d / "trunc.y4m"
    write_y4m(f["trunc_y4m"], pic, 64, 64)
    f["trunc_y4m"].write_bytes(f["trunc_y4m"].read_bytes()[:-500])
    f["y4m422"] = d / "c422.y4m"
    write_y4m(f["y4m422"], [bytes(64 * 64 * 2)], 64, 64, colour="C422")
    f["empty"] = d / "empty.yuv"
    f["empty"].write_bytes(b"")
    f["wav8"] = d / "w8.wav"
    write_wav(f["wav8"], 1, [(i % 50,) for i in range(100)], width=1)
    f["wavfloat"] = d / "float.wav"
    body = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + 8, b"WAVE", b"fmt ", 16, 3, 1,
                       22050, 22050 * 4, 4, 32, b"data", 8) + bytes(8)
    f["wavfloat"].write_bytes(body)
    f["wavtrunc"] = d / "trunc.wav"
    write_wav(f["wavtrunc"], 2, [(i, -i) for i in range(1000)])
    f["wavtrunc"].write_bytes(f["wavtrunc"].read_bytes()[:-1001])
    f["notwav"] = d / "not.wav"
    f["notwav"].write_bytes(b"just some text, not a RIFF file\n")
    f["mono"] = d / "mono.wav"
    write_wav(f["mono"], 1, [(i,) for i in range(100)])
    return f


BAD = [
    # (name, arguments, status, part of the message); {x} names an input, {o} the output
    ("width not a multiple of 16", ["mpeg4", "-s", "100x64", "{raw100x64}", "{o}"], 1,
     "width and height must be multiples of 16"),
    ("height not a multiple of 16", ["jpeg", "-s", "64x40", "{raw64x40}", "--mjpeg", "{o}"], 1,
     "width and height must be multiples of 16"),
    ("Y4M width not a multiple of 16", ["mpeg4", "{y4m100}", "{o}"], 1, "multiples of 16"),
    ("zero size", ["mpeg4", "-s", "0x0", "{raw64}", "{o}"], 1, "out of range"),
    ("odd size", ["to-zarn3", "-s", "63x64", "{raw64}", "{o}"], 1, "even"),
    ("MPEG-4 too wide", ["mpeg4", "-s", "4096x16", "{big}", "{o}"], 1,
     "out of range (each side 16 to 2048)"),
    ("JPEG too wide", ["jpeg", "-s", "4096x16", "{big}", "--mjpeg", "{o}"], 1,
     "out of range (each side 16 to 4080)"),
    ("truncated raw file", ["mpeg4", "-s", "64x64", "{trunc_raw}", "{o}"], 1, "truncated"),
    ("truncated raw for ZARN3", ["to-zarn3", "-s", "64x64", "{trunc_raw}", "{o}"], 1,
     "truncated"),
    ("truncated Y4M file", ["jpeg", "{trunc_y4m}", "--mjpeg", "{o}"], 1,
     "picture 1 is truncated"),
    ("empty file", ["mpeg4", "-s", "64x64", "{empty}", "{o}"], 1, "holds no picture"),
    ("Y4M 4:2:2", ["mpeg4", "{y4m422}", "{o}"], 1, "unsupported Y4M colour space 'C422'"),
    ("raw without a size", ["mpeg4", "{raw64}", "{o}"], 1, "--size"),
    ("Y4M as ZARN3", ["from-zarn3", "-s", "64x64", "{trunc_y4m}", "{o}"], 1, "not ZARN3"),
    ("8-bit WAV", ["adpcm", "{wav8}", "{o}"], 1, "not a 16-bit WAV (8 bits per sample)"),
    ("float WAV", ["adpcm", "{wavfloat}", "{o}"], 1, "not uncompressed PCM"),
    ("truncated WAV", ["adpcm", "{wavtrunc}", "{o}"], 1, "truncated"),
    ("not a WAV", ["adpcm", "{notwav}", "{o}"], 1, "not a RIFF/WAVE file"),
    ("right channel of mono", ["adpcm", "--channel", "right", "{mono}", "{o}"], 1,
     "has 1 channel, no channel 1"),
    ("missing picture file", ["mpeg4", "-s", "64x64", "{d}/none.yuv", "{o}"], 1,
     "No such file"),
    ("missing WAV file", ["adpcm", "{d}/none.wav", "{o}"], 1, "No such file"),
    ("output folder missing", ["mpeg4", "-s", "64x64", "{raw64}", "{d}/no/out.m4v"], 1,
     "No such file"),
    ("numbered files in a missing folder",
     ["jpeg", "-s", "64x64", "{raw64}", "--jpg", "{d}/no/p%d.jpg"], 1, "No such file"),
    ("no arguments", [], 2, "Usage: dvcodec"),
    ("unknown command", ["mp3", "{raw64}", "{o}"], 2, "unknown command 'mp3'"),
    ("unknown option", ["mpeg4", "--fast", "{raw64}", "{o}"], 2, "unknown option '--fast'"),
    ("option of another command", ["adpcm", "--quant", "4", "{mono}", "{o}"], 2,
     "unknown option '--quant'"),
    ("quant 0", ["mpeg4", "-q", "0", "-s", "64x64", "{raw64}", "{o}"], 2,
     "--quant: expected a whole number from 1 to 31, got '0'"),
    ("quant 32", ["mpeg4", "-q", "32", "-s", "64x64", "{raw64}", "{o}"], 2, "got '32'"),
    ("quant text", ["mpeg4", "--quant=abc", "-s", "64x64", "{raw64}", "{o}"], 2, "got 'abc'"),
    ("gop 0", ["mpeg4", "-g", "0", "-s", "64x64", "{raw64}", "{o}"], 2, "--gop"),
    ("bad size text", ["mpeg4", "-s", "64*64", "{raw64}", "{o}"], 2, "expected WxH"),
    ("missing value", ["mpeg4", "{raw64}", "{o}", "--rate"], 2, "needs a value"),
    ("too many files", ["mpeg4", "{raw64}", "{o}", "{o}"], 2, "got 3 file name(s)"),
    ("JPEG without output", ["jpeg", "-s", "64x64", "{raw64}"], 2, "--mjpeg FILE, --jpg"),
    ("pattern without number", ["jpeg", "-s", "64x64", "{raw64}", "--jpg", "{d}/p.jpg"], 2,
     "one %d or %0Nd"),
    ("pattern with %s", ["jpeg", "-s", "64x64", "{raw64}", "--jpg", "{d}/p%s.jpg"], 2,
     "one %d or %0Nd"),
    ("pattern with two numbers", ["jpeg", "-s", "64x64", "{raw64}", "--jpg", "{d}/%d_%d.jpg"],
     2, "one %d or %0Nd"),
    ("odd block", ["adpcm", "--block", "999", "{mono}", "{o}"], 2, "must be even"),
    ("bad channel", ["adpcm", "--channel", "middle", "{mono}", "{o}"], 2, "--channel"),
    ("from-zarn3 without size", ["from-zarn3", "{raw64}", "{o}"], 2, "--size"),
]


@pytest.mark.parametrize("name,args,status,message", BAD, ids=[b[0] for b in BAD])
def test_bad_input_is_refused_clearly(tmp_path, name, args, status, message):
    files = _bad_inputs(tmp_path)
    before = set(tmp_path.rglob("*"))
    names = {k: str(v) for k, v in files.items()}
    argv = [a.format(o=tmp_path / "out.bin", d=tmp_path, **names) for a in args]
    r = dvcodec(*argv)
    err = r.stderr.decode(errors="replace")
    assert r.returncode == status, (name, r.returncode, err)
    assert message in err, (name, err)
    if status == 1:
        assert err.startswith("dvcodec: ")
    # No half-written output is left behind.
    assert set(tmp_path.rglob("*")) == before


def test_truncated_input_after_good_pictures_leaves_no_output(tmp_path):
    pics = make_pictures(64, 64, 3, seed=4)
    write_y4m(tmp_path / "in.y4m", pics, 64, 64)
    data = (tmp_path / "in.y4m").read_bytes()
    (tmp_path / "in.y4m").write_bytes(data[:-10])
    for args in (["mpeg4", "--recon", tmp_path / "r.y4m", tmp_path / "in.y4m",
                  tmp_path / "o.m4v"],
                 ["jpeg", tmp_path / "in.y4m", "--mjpeg", tmp_path / "o.mjpeg", "--jpg",
                  tmp_path / "p%d.jpg"]):
        r = dvcodec(*args)
        assert r.returncode == 1
        assert "picture 2 is truncated" in r.stderr.decode()
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in.y4m"]


@pytest.mark.parametrize("args", [
    ["mpeg4", "-s", "64x64", "{i}", "{i}"],
    ["mpeg4", "-s", "64x64", "--recon", "{d}/link.yuv", "{i}", "{d}/o.m4v"],
    ["jpeg", "-s", "64x64", "{i}", "--mjpeg", "{d}/o0.jpg", "--jpg", "{d}/o%d.jpg"],
    ["to-zarn3", "-s", "64x64", "{i}", "{d}/link.yuv"],
    ["adpcm", "{w}", "{w}"],
], ids=["output-is-input", "recon-is-input-by-link", "jpg-is-mjpeg", "zarn3-over-input",
        "adpcm-over-input"])
def test_output_never_overwrites_the_input(tmp_path, args):
    pic = b"".join(make_pictures(64, 64, 2, seed=6))
    (tmp_path / "in.yuv").write_bytes(pic)
    os.link(tmp_path / "in.yuv", tmp_path / "link.yuv")
    write_wav(tmp_path / "in.wav", 1, [(i,) for i in range(100)])
    wav = (tmp_path / "in.wav").read_bytes()
    argv = [a.format(i=tmp_path / "in.yuv", d=tmp_path, w=tmp_path / "in.wav")
            for a in args]
    r = dvcodec(*argv)
    assert r.returncode == 1
    assert "is the input or another output of this run" in r.stderr.decode()
    assert (tmp_path / "in.yuv").read_bytes() == pic
    assert (tmp_path / "in.wav").read_bytes() == wav
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.wav", "in.yuv", "link.yuv"]


def test_help_lists_every_command():
    r = dvcodec("--help")
    assert r.returncode == 0
    text = r.stdout.decode()
    for word in ("mpeg4", "jpeg", "adpcm", "to-zarn3", "from-zarn3", "--quant", "--bitrate",
                 "--minquant", "--maxquant", "--gop", "--rate", "--mjpeg", "--jpg", "--channel",
                 "--verbose", "Exit status"):
        assert word in text, word
