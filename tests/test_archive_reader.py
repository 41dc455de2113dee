"""The independent archive reader against sets written by the archive format
library (build/tests/archive_sample), whole and damaged byte by byte."""
import struct
import subprocess

import pytest

import archive_reader as ar
from conftest import BUILD

SAMPLE = BUILD / "tests" / "archive_sample"


def write_sample(folder, number, *opts):
    folder.mkdir(parents=True, exist_ok=True)
    subprocess.run([str(SAMPLE), str(folder), str(number), *map(str, opts)], check=True)
    return folder


@pytest.fixture
def sample(tmp_path):
    return write_sample(tmp_path / "videodata", 0xA)


def test_sample_set_reads_clean(sample):
    s = ar.check_set(sample, 0xA)
    assert s.device_id == "VideoServer"
    assert [st.number for st in s.streams] == [0, 1, 16, 128, 255]
    assert len(s.groups) == len(s.index) == 12
    assert s.groups[0].prev_len == 0
    assert [g.time for g in s.groups] == [1700000000 + 3 * k for k in range(12)]
    # The 70000-byte picture: first chunk 65535 bytes, last 4465, one time word.
    big = s.groups[0].frames[0]
    assert (big.stream, big.chunks, big.frame_no, len(big.payload)) == (0, [65535, 4465], 0, 70000)
    # The no-signal picture keeps its time word and has no bytes.
    nosig = [f for f in s.groups[2].frames if f.stream == 1 and f.frame_no == 0][0]
    assert nosig.payload == b"" and nosig.time_code == 0
    # Audio carries no time word.
    assert all(f.time_code is None for f in s.groups[0].frames if f.stream == 16)
    # Alarm texts: groups 3 and 4.
    assert [(e.record, e.texts) for e in s.events] == [
        (3, [(128, b"Motion on camera 1"), (255, b"General alarm")]),
        (4, [(128, b"Motion on camera 1"), (128, b"Motion again")]),
    ]
    assert s.index[3].first_alarm == 128 and s.index[4].first_alarm == 128
    assert s.index[0].first_alarm == 0
    # 12 groups 3 s apart: .30m closes after 7 records and flushes the rest.
    assert [r.time for r in s.summaries["30m"]] == [1700000000, 1700000021]
    assert len(s.summaries["7d"]) == 1
    assert s.marker is None


def test_options_marker_and_no_summaries(tmp_path):
    folder = write_sample(tmp_path / "v", 0, "-i", 0, "-h", 1)
    s = ar.check_set(folder, 0)
    assert s.summaries == {}
    assert s.marker == b"\0" * 8


def test_set_numbering(tmp_path):
    folder = tmp_path / "v"
    folder.mkdir()
    assert ar.next_set_number(folder) == 0
    write_sample(folder, 0xA)
    (folder / "0000000c.id3").write_bytes(b"")
    assert ar.set_numbers(folder) == [0xA]
    assert ar.next_set_number(folder) == 0xB
    write_sample(folder, 0xB, "-t", 1700000100)
    assert len(ar.check_folder(folder)) == 2


def test_sets_going_back_in_time_are_reported(tmp_path):
    folder = write_sample(tmp_path / "v", 1)
    write_sample(folder, 2, "-t", 1600000000)
    with pytest.raises(AssertionError, match="before set 00000001 ends"):
        ar.check_folder(folder)


def _patch(path, offset, fmt, value):
    b = bytearray(path.read_bytes())
    struct.pack_into(fmt, b, offset, value)
    path.write_bytes(bytes(b))


def _xor(path, offset, mask):
    b = bytearray(path.read_bytes())
    b[offset] ^= mask
    path.write_bytes(bytes(b))


def _cut(path, n):
    b = path.read_bytes()
    path.write_bytes(b[: len(b) - n])


def _damages(folder):
    """(name, damage function, expected problem text) over a clean parse."""
    s = ar.check_set(folder, 0xA)
    f = lambda ext: folder / ("0000000a." + ext)  # noqa: E731
    g3 = s.groups[3]
    big = s.groups[5].frames[0]          # 70000 bytes, two chunks
    second_chunk = big.offset + 8 + 65535
    audio = [fr for fr in s.groups[1].frames if fr.stream == 16][0]
    text = [fr for fr in g3.frames if fr.stream == 128][0]
    return [
        ("header magic", lambda: _xor(f("qvs3"), 0, 1), "header magic"),
        ("trailer tag", lambda: _patch(f("qvs3"), s.header_length - 2, "B", 9),
         "trailer tag 8"),
        ("group moved", lambda: _patch(f("id3"), 24 * 2 + 8, "<I", s.groups[2].offset + 1),
         "id3[2]: offset"),
        ("index time", lambda: _patch(f("id3"), 24 * 6 + 4, "<i", 5), "id3[6]: time 5"),
        ("index time order", lambda: _patch(f("id3"), 24 * 6 + 4, "<i", s.index[5].time - 1),
         "before the previous record"),
        ("index level", lambda: _xor(f("id3"), 24 * 1 + 13, 1), "stream 0 level"),
        ("index pair streams", lambda: _patch(f("id3"), 24 * 1 + 20, "B", 18), "pair streams"),
        ("index pair count", lambda: _patch(f("id3"), 24 * 1 + 1, "B", 5), "pair count 5"),
        ("index reserved", lambda: _patch(f("id3"), 24 * 1 + 2, "B", 1), "bytes 2-3"),
        ("first alarm byte", lambda: _patch(f("id3"), 24 * 3, "B", 255), "first alarm byte"),
        ("index cut", lambda: _cut(f("id3"), 1), "not a multiple of 24"),
        ("index record lost", lambda: _cut(f("id3"), 24), "11 records for 12 groups"),
        ("previous-group length", lambda: _patch(f("qvs3"), s.groups[4].offset + 8, "<I", 7),
         "previous-group length 7"),
        ("alarm streams order", lambda: _patch(f("qvs3"), g3.offset + 13, "B", 255),
         "not ascending"),
        ("unlisted stream", lambda: _patch(f("qvs3"), audio.offset + 3, "B", 99),
         "stream 99, not listed"),
        ("chunk length", lambda: _patch(f("qvs3"), second_chunk, "<H", 100),
         "id3[6]: no group at offset"),
        ("last bit lost", lambda: _xor(f("qvs3"), second_chunk + 2, 0x40),
         "not its frame's last"),
        ("first chunk lost", lambda: _xor(f("qvs3"), big.offset + 2, 0x80),
         "without its first chunk"),
        ("time word", lambda: _patch(f("qvs3"), big.offset + 7, "B", 1), "bits 24-31"),
        ("chunk level", lambda: _xor(f("qvs3"), second_chunk + 2, 0x01), "chunk level"),
        ("data cut", lambda: _cut(f("qvs3"), 10), "runs past the end"),
        ("event record", lambda: _patch(f("evt"), s.events[0].offset + 4, "<I", 2),
         "text streams"),
        ("event time", lambda: _patch(f("evt"), s.events[0].offset, "<i", 1), "time 1"),
        ("event text", lambda: _xor(f("evt"), s.events[0].offset + 10, 0x20),
         "are not in group 3"),
        ("event cut", lambda: _cut(f("evt"), 1), "cut after 1"),
        ("event entry lost", lambda: f("evt").write_bytes(
            f("evt").read_bytes()[: s.events[1].offset]), "no entry for group 4"),
        ("summary level", lambda: _xor(f("30m"), 13, 2), "30m[0]"),
        ("summary lost", lambda: f("6h").unlink(), "5 of the 6 summary files"),
        ("summary record extra", lambda: f("7d").write_bytes(f("7d").read_bytes() * 2),
         "7d[1]"),
        ("marker", lambda: f("hdr").write_bytes(b"\0" * 7 + b"\1"), "not 8 zero bytes"),
        ("text frame payload", lambda: _xor(f("qvs3"), text.offset + 4, 0x20),
         "are not in group 3"),
    ]


@pytest.mark.parametrize("case", range(31))
def test_damage_is_reported(tmp_path, case):
    folder = write_sample(tmp_path / "v", 0xA)
    cases = _damages(folder)
    assert len(cases) == 31
    name, damage, expected = cases[case]
    damage()
    s = ar.read_set(folder, 0xA)
    assert any(expected in p for p in s.problems), (name, s.problems)


def test_set_being_written_is_accepted_open_only(tmp_path):
    folder = write_sample(tmp_path / "v", 0xA)
    s = ar.check_set(folder, 0xA)
    # The data file stops inside the last group's big frame; the index already
    # has the record; the newest summary periods are not written yet.
    data = folder / "0000000a.qvs3"
    data.write_bytes(data.read_bytes()[: s.groups[10].frames[0].offset + 1000])
    for ext in ("30m", "1h", "6h", "12h", "24h", "7d"):
        p = folder / ("0000000a." + ext)
        p.write_bytes(p.read_bytes()[:-24])
    assert ar.read_set(folder, 0xA).problems
    ar.check_set(folder, 0xA, closed=False)


def test_command_line(sample):
    r = subprocess.run(["/usr/bin/python3", ar.__file__, str(sample)], capture_output=True)
    assert r.returncode == 0, r.stdout
    assert b"0000000a: 12 groups" in r.stdout
    _cut(sample / "0000000a.id3", 24)
    r = subprocess.run(["/usr/bin/python3", ar.__file__, str(sample), "a"], capture_output=True)
    assert r.returncode == 1
    assert b"11 records for 12 groups" in r.stdout
