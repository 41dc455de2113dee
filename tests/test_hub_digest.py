"""The configuration digest as consumers read it from the segment: byte for
byte for a few fixture configurations, written down here from the format
(header, device id, stream records in ascending number, trailer tags 1-8)."""
import signal
import struct

import pytest

from test_hub import Client, start_hub


def digest(device_id, records, trailer):
    """The digest bytes: records are (number, type, codec, name, params)."""
    body = device_id.encode() + b"\0"
    for number, type_bits, codec, name, params in records:
        body += bytes([number, type_bits])
        for s in (codec, name, params):
            body += s.encode() + b"\0"
    assert len(trailer) == 8
    tail = b"".join(bytes([i + 1]) + s.encode() + b"\0" for i, s in enumerate(trailer))
    return struct.pack("<IHH", 0xB505B5B5, 8 + len(body), len(tail)) + body + tail


def write_system_files(sandbox, files):
    """files: logical path -> text, or None to remove the file."""
    for logical, text in files.items():
        p = sandbox.path(logical)
        if text is None:
            if p.exists():
                p.unlink()
        else:
            p.write_text(text)


def read_digest(sandbox):
    c = Client()
    try:
        c.attach()
        off, size = c.config()
        assert off == 0
        return c.segment.read(off, size)
    finally:
        c.close()


MONDAY_EDGES = "[common]\nmode=2\n[monday]\nh0=1\nh23=1\n"

FIXTURES = {
    # The documented edge cases together: records in ascending order whatever
    # the file order, a switched-off stream kept with type 0, generated
    # parameters, "noname", skipped sections, hexadecimal numbers.
    "edge_cases": (
        """\
[common]
DeviceID = Box A
gop = 10
codepage = 'koi8-r'
[stream_2]
ON=1
type=T_AUDIO
codec=adpcm
name=right
params='-rate=22050'
[stream_0]
ON=1
type=T_VIDEO
codec=mpeg4
name='Cam 0'
width=720
height=576
nosnd=1
[stream_3]
ON=0
codec=mjpeg
name=Off cam
bits=24
[stream_4]
ON=1
type=T_MOVIE
codec=x
name=y
[stream_5]
ON=1
type=T_TEXT
name=no codec
[stream_6]
ON=1
type=T_TEXT
codec=t
[stream_0x11]
ON=1
type=t_image
codec=jpeg
name=''
quant=5
rate=3
fdiv=2
motion_mask=ff
base_fps=6
mono=1
stereo=0
utf-8=1
koi8=1
cp1251=1
bw=1
[stream_300]
ON=1
type=T_TEXT
codec=t
name=too big
[rsconfig]
device=/dev/ttyS2
[smtp_mail]
smtp_to=alarm@example.org
[camtap]
ntsc=1
""",
        {"/etc/timer.ini": MONDAY_EDGES, "/etc/TZ": "CET-1CEST,M3.5.0,M10.5.0/3\nx\n",
         "/etc/cserv": "server 10.0.0.1\n", "/etc/time.cfg": "1\n"},
        digest("Box A", [
            (0, 1, "mpeg4", "Cam 0", " -width=720 -height=576 -nosnd"),
            (2, 2, "adpcm", "right", "-rate=22050"),
            (3, 0, "mjpeg", "Off cam", " -bits=24"),
            (17, 8, "jpeg", "noname",
             " -quant=5 -rate=3 -fdiv=2 -motion_mask=ff -base_fps=6 -mono -utf-8 -koi8 -cp1251 -bw"),
        ], ["koi8-r", "CET-1CEST,M3.5.0,M10.5.0/3\n", "/dev/ttyS2", "2,800001" + "0" * 36,
            "alarm@example.org", "server 10.0.0.1\n", "1\n", "1"]),
        [" stream_4 unknown type T_MOVIE", " stream_5/codec Key is not found",
         " stream_6/name Key is not found", " stream_300: stream number not in 0..255, skipped",
         " - IS OFF"],
    ),
    # Nothing but one stream: every default, every trailer source missing.
    "bare": (
        "[stream_255]\nON=1\ntype=T_TEXT\ncodec=text\nname=Signal\n",
        {"/etc/timer.ini": None, "/etc/TZ": None, "/etc/cserv": None, "/etc/time.cfg": None},
        digest("VideoServer", [(255, 4, "text", "Signal", "-none")], [""] * 8),
        ["common/gop Section is not found", "common/prefix Section is not found",
         "common/DeviceID Section is not found", "common/codepage Section is not found",
         "Error: Can't open /etc/TZ", "rsconfig/device Section is not found",
         "Can't open /etc/timer.ini", "smtp_mail/smtp_to Section is not found",
         "Error: Can't open /etc/cserv", "Error: Can't open /etc/time.cfg",
         "camtap/ntsc Section is not found", "GOP = 75", "prefix = /videodata/",
         "DeviceID = VideoServer"],
    ),
    # Spelling freedom of the INI format, a full week, long values cut to
    # their bounds, an empty first line in a system file.
    "spelling": (
        """\
# comment
[ Common ]
deviceid = "Gate \xe4"
CODEPAGE=utf-8
[ STREAM_7 ]
on 1
TYPE t_binary
codec = abcdefghijklmnop
name = %s
params = %s
[stream_010]
ON = 5
type = T_UNDEF
codec = raw
name = octal eight
utf8 = 1
[ camtap ]
ntsc = '0'
""" % ("n" * 100, "-p" * 200),
        {"/etc/timer.ini": "[common]\nmode = 0\n" + "".join(
            "[%s]\nh%d=1\nh12=1\n" % (d, i) for i, d in enumerate(
                ["sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"])),
         "/etc/TZ": "\nUTC\n", "/etc/cserv": "", "/etc/time.cfg": "0"},
        digest("Gate \xe4", [
            (7, 16, "abcdefghi", "n" * 79, ("-p" * 200)[:255]),
            (8, 0, "raw", "octal eight", " -utf8"),
        ], ["utf-8", "\n", "", "0," + "".join(
            "%06X" % ((1 << (23 - h)) | (1 << 11)) for h in (1, 2, 3, 4, 5, 6, 0)),
            "", "", "0", "0"]),
        [],
    ),
}


@pytest.mark.parametrize("name", sorted(FIXTURES))
def test_digest_bytes(sandbox, name):
    ini, files, want, lines = FIXTURES[name]
    write_system_files(sandbox, files)
    start_hub(sandbox, ini)
    assert read_digest(sandbox) == want
    log = sandbox.log_lines("memhub")
    for line in lines:
        assert line in log, line


def test_reload_writes_the_new_digest_into_the_other_half(sandbox):
    ini, files, want, _ = FIXTURES["edge_cases"]
    write_system_files(sandbox, files)
    proc = start_hub(sandbox, FIXTURES["bare"][0])
    c = Client()
    try:
        c.attach()
        c.connect()
        first = c.digest()
        sandbox.path("/etc/streams.ini").write_text(ini)
        proc.send_signal(signal.SIGHUP)
        n = c.recv()
        assert (n.type, n.offset, n.size) == (0x4800, 0x10000, len(want))
        assert c.segment.read(0x10000, n.size) == want
        assert c.segment.read(0, len(first)) == first
    finally:
        c.close()


def test_streams_missing_from_the_digest_are_not_set(sandbox):
    """A section the digest leaves out is "NOT SET" for the hub."""
    ini, files, _, _ = FIXTURES["edge_cases"]
    write_system_files(sandbox, files)
    start_hub(sandbox, ini)
    prod, cons = Client(), Client()
    try:
        cons.connect()
        for stream in (4, 5, 6):
            prod.produce(stream, 10, written=10)
        prod.produce(17, 10, written=10)
        n = cons.recv()
        assert (n.stream, n.stream_type) == (17, 8)
        assert cons.notices() == []
        log = sandbox.log_lines("memhub")
        for stream in (4, 5, 6):
            assert "STREAM %d is NOT SET!!" % stream in log
    finally:
        prod.close()
        cons.close()


def test_huge_configuration_stays_within_the_digest_bounds(sandbox):
    ini = "[common]\nDeviceID = %s\n" % ("D" * 300)
    for n in range(256):
        ini += "[stream_%d]\nON=1\ntype=T_TEXT\ncodec=text\nname=%s\nparams=%s\n" % (
            n, "n" * 79, "p" * 255)
    start_hub(sandbox, ini)
    d = read_digest(sandbox)
    toff, tlen = struct.unpack_from("<HH", d, 4)
    assert len(d) == toff + tlen <= 65535
    assert d[8:8 + 256] == b"D" * 255 + b"\0"
    pos, numbers = 8 + 256, []
    while pos < toff:
        numbers.append(d[pos])
        pos += 2
        for _ in range(3):
            pos = d.index(b"\0", pos) + 1
    assert pos == toff
    assert numbers == list(range(len(numbers))) and 100 < len(numbers) < 256
    assert " stream 255 does not fit in the digest, left out" in sandbox.log_lines("memhub")
