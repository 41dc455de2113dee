"""An independent reader of deepvault archive file sets, for tests.

It is written from the file format alone (no code shared with the recorder),
walks a set's data file, index, event file, summaries and marker, and checks
that they agree with each other. Every disagreement becomes one line in
ArchiveSet.problems; nothing is trusted that was not checked first.

A set N in folder F (F ends in "/"):
  F/%08x.qvs3   data: configuration digest copy, then groups
  F/%08x.id3    index: 24-byte records, one per group
  F/%08x.evt    events: one entry per group with alarm texts
  F/%08x.hdr    marker: 8 zero bytes (optional)
  F/%08x.30m .1h .6h .12h .24h .7d   summaries (optional, all six or none)

Use from tests:
    s = archive_reader.read_set(folder, n)        # problems in s.problems
    archive_reader.check_set(folder, n)           # raises AssertionError
and from the shell:
    python3 tests/archive_reader.py FOLDER [SET] [--open]
"""
import os
import re
import struct
import sys

FILE_MAGIC = 0xB505B5B5
GROUP_MAGIC = 0xB5B5B505
RECORD = 24
CHUNK_MAX = 0xFFFF
LAST = 1 << 22
FIRST = 1 << 23
LEVEL_STREAMS = (0, 1, 2, 3, 16, 17)
SUMMARIES = (("30m", 18), ("1h", 36), ("6h", 216), ("12h", 432), ("24h", 864), ("7d", 6048))
T_VIDEO, T_AUDIO, T_TEXT = 1, 2, 4
_DATA_NAME = re.compile(r"^([0-9a-fA-F]{1,8})\.qvs3")


def file_name(folder, n, ext):
    return os.path.join(str(folder), "%08x.%s" % (n, ext))


def set_numbers(folder):
    """Sorted numbers of the sets whose data file is in folder."""
    nums = set()
    for name in os.listdir(folder):
        m = _DATA_NAME.match(name)
        if m:
            nums.add(int(m.group(1), 16))
    return sorted(nums)


def next_set_number(folder):
    nums = set_numbers(folder)
    return nums[-1] + 1 if nums else 0


class Stream:
    def __init__(self, number, type_, codec, name, params):
        self.number, self.type, self.codec, self.name, self.params = (
            number, type_, codec, name, params)

    def __repr__(self):
        return "Stream(%d, type %d, %r)" % (self.number, self.type, self.codec)


class Frame:
    """One frame block: its chunks put together."""

    def __init__(self, offset, stream, level, time_code, frame_no):
        self.offset = offset          # of its first chunk word
        self.stream = stream
        self.level = level
        self.time_code = time_code    # None for streams without a time word
        self.frame_no = frame_no
        self.chunks = []              # chunk lengths
        self.payload = b""

    def __repr__(self):
        return "Frame(@%d stream %d, %d bytes)" % (self.offset, self.stream, len(self.payload))


class Group:
    def __init__(self, offset, time, prev_len, alarm_streams):
        self.offset = offset
        self.time = time
        self.prev_len = prev_len
        self.alarm_streams = alarm_streams
        self.frames = []
        self.end = offset

    def texts(self, stream):
        """The texts (without NUL) of this group's frames of a stream."""
        return [f.payload.split(b"\0", 1)[0] for f in self.frames if f.stream == stream]


class IndexRecord:
    def __init__(self, raw):
        self.raw = raw
        (self.first_alarm, self.pair_count, self.reserved, self.time,
         self.offset) = struct.unpack_from("<BBHiI", raw, 0)
        self.pairs = [(raw[12 + 2 * i], raw[13 + 2 * i]) for i in range(6)]

    def __repr__(self):
        return "IndexRecord(t=%d off=%d alarm=%d %r)" % (
            self.time, self.offset, self.first_alarm, self.pairs[: self.pair_count])


class EventEntry:
    def __init__(self, offset, time, record, texts):
        self.offset, self.time, self.record, self.texts = offset, time, record, texts


class ArchiveSet:
    def __init__(self, folder, number):
        self.folder = str(folder)
        self.number = number
        self.device_id = None
        self.streams = []
        self.types = {}
        self.header_length = 0
        self.groups = []
        self.index = []
        self.events = []
        self.summaries = {}   # ext -> [IndexRecord]
        self.marker = None    # bytes of the .hdr file, None when absent
        self.problems = []

    def problem(self, where, text):
        self.problems.append("%08x.%s: %s" % (self.number, where, text))


# ---------------------------------------------------------------- data file

def _cstring(data, pos, limit):
    """(string, next position) or (None, pos) when no NUL before limit."""
    end = data.find(b"\0", pos, limit)
    if end < 0:
        return None, pos
    return data[pos:end], end + 1


def _read_header(s, data):
    if len(data) < 8:
        s.problem("qvs3", "file shorter than a header (%d bytes)" % len(data))
        return None
    magic, trailer, trailer_len = struct.unpack_from("<IHH", data, 0)
    if magic != FILE_MAGIC:
        s.problem("qvs3", "header magic 0x%08x" % magic)
        return None
    end = trailer + trailer_len
    if trailer < 9 or end > len(data):
        s.problem("qvs3", "header trailer %d+%d outside the file (%d bytes)"
                  % (trailer, trailer_len, len(data)))
        return None
    dev, pos = _cstring(data, 8, trailer)
    if dev is None:
        s.problem("qvs3", "device id not terminated before the trailer")
        return None
    s.device_id = dev.decode("latin-1")
    while pos < trailer:
        if trailer - pos < 2:
            s.problem("qvs3@%d" % pos, "stream record cut by the trailer")
            return None
        number, type_ = data[pos], data[pos + 1]
        fields = []
        p = pos + 2
        for _ in range(3):
            v, p = _cstring(data, p, trailer)
            if v is None:
                s.problem("qvs3@%d" % pos, "stream %d: string runs into the trailer" % number)
                return None
            fields.append(v.decode("latin-1"))
        if number in s.types:
            s.problem("qvs3@%d" % pos, "stream %d listed twice" % number)
        if s.streams and number <= s.streams[-1].number:
            s.problem("qvs3@%d" % pos, "stream %d out of ascending order" % number)
        s.streams.append(Stream(number, type_, *fields))
        s.types[number] = type_
        pos = p
    # Trailer: tags 1..8, each a tag byte and a NUL-terminated string.
    p = trailer
    for tag in range(1, 9):
        if p >= end or data[p] != tag:
            s.problem("qvs3@%d" % p, "trailer tag %d missing" % tag)
            break
        v, p2 = _cstring(data, p + 1, end)
        if v is None:
            s.problem("qvs3@%d" % p, "trailer tag %d not terminated" % tag)
            break
        p = p2
    else:
        if p != end:
            s.problem("qvs3@%d" % p, "%d bytes after the trailer's last tag" % (end - p))
    s.header_length = end
    return end


def _read_data(s, data, closed):
    pos = _read_header(s, data)
    if pos is None:
        return
    group = None
    frame = None       # frame whose last chunk is still due
    while pos < len(data):
        if len(data) - pos < 4:
            if closed:
                s.problem("qvs3@%d" % pos, "%d stray bytes at the end" % (len(data) - pos))
            break
        (word,) = struct.unpack_from("<I", data, pos)
        if word == FILE_MAGIC:
            s.problem("qvs3@%d" % pos, "file header inside the file")
            return
        if word == GROUP_MAGIC:
            if frame is not None:
                s.problem("qvs3@%d" % pos, "group header inside a frame of stream %d"
                          % frame.stream)
                return
            if len(data) - pos < 13 or len(data) - pos < 13 + data[pos + 12]:
                if closed:
                    s.problem("qvs3@%d" % pos, "group header cut by the end of the file")
                break
            time, prev_len, n = struct.unpack_from("<iIB", data, pos + 4)
            streams = list(data[pos + 13: pos + 13 + n])
            if streams != sorted(set(streams)):
                s.problem("qvs3@%d" % pos, "alarm streams not ascending: %r" % streams)
            expect_prev = 0 if group is None else pos - group.offset
            if prev_len != expect_prev:
                s.problem("qvs3@%d" % pos, "previous-group length %d, the previous group "
                          "is %d bytes" % (prev_len, expect_prev))
            group = Group(pos, time, prev_len, streams)
            s.groups.append(group)
            pos += 13 + n
            group.end = pos
            continue
        # A chunk word.
        length = word & 0xFFFF
        level = (word >> 16) & 0x3F
        stream = word >> 24
        first, last = bool(word & FIRST), bool(word & LAST)
        where = "qvs3@%d" % pos
        if group is None:
            s.problem(where, "chunk before the first group header")
            return
        if stream not in s.types:
            s.problem(where, "chunk of stream %d, not listed in the header" % stream)
            return
        if not last and length != CHUNK_MAX:
            s.problem(where, "chunk of %d bytes that is not its frame's last" % length)
            return
        video = bool(s.types[stream] & T_VIDEO)
        if first:
            if frame is not None:
                s.problem(where, "new frame of stream %d before the last chunk of the "
                          "frame at %d" % (stream, frame.offset))
                return
            head = 8 if video else 4
            if len(data) - pos < head:
                if closed:
                    s.problem(where, "chunk header cut by the end of the file")
                break
            time_code = frame_no = None
            if video:
                (tw,) = struct.unpack_from("<I", data, pos + 4)
                if tw >> 24:
                    s.problem(where, "time word 0x%08x has bits 24-31 set" % tw)
                    return
                time_code, frame_no = tw & 0xFFFF, (tw >> 16) & 0xFF
            frame = Frame(pos, stream, level, time_code, frame_no)
        else:
            if frame is None or frame.stream != stream:
                s.problem(where, "continuation chunk of stream %d without its first chunk"
                          % stream)
                return
            if level != frame.level:
                s.problem(where, "chunk level %d, its frame has %d" % (level, frame.level))
            head = 4
        if len(data) - pos - head < length:
            if closed:
                s.problem(where, "chunk of %d bytes runs past the end of the file" % length)
            break
        frame.payload += data[pos + head: pos + head + length]
        frame.chunks.append(length)
        pos += head + length
        group.end = pos
        if last:
            group.frames.append(frame)
            frame = None
    if frame is not None and closed:
        s.problem("qvs3@%d" % frame.offset, "file ends inside a frame of stream %d"
                  % frame.stream)


# ---------------------------------------------------------------- index

def _read_records(s, ext, raw, closed):
    if len(raw) % RECORD:
        if closed:
            s.problem(ext, "size %d is not a multiple of %d" % (len(raw), RECORD))
        raw = raw[: len(raw) - len(raw) % RECORD]
    return [IndexRecord(raw[i: i + RECORD]) for i in range(0, len(raw), RECORD)]


def _first_alarm(streams):
    if not streams:
        return 0
    low = min(streams)
    return low + 0x80 if low <= 3 or low in (16, 17) else low


def _check_index(s, closed):
    prev = None
    for k, r in enumerate(s.index):
        where = "id3[%d]" % k
        if r.pair_count != 6:
            s.problem(where, "pair count %d" % r.pair_count)
        if r.reserved:
            s.problem(where, "bytes 2-3 are 0x%04x" % r.reserved)
        if [p[0] for p in r.pairs] != list(LEVEL_STREAMS):
            s.problem(where, "pair streams %r" % [p[0] for p in r.pairs])
        if any(p[1] > 63 for p in r.pairs):
            s.problem(where, "level above 63 in %r" % r.pairs)
        if prev is not None and r.time < prev.time:
            s.problem(where, "time %d before the previous record's %d" % (r.time, prev.time))
        prev = r
        if k >= len(s.groups):
            # A set still being written flushes its files separately: the
            # index may be ahead of the data file or behind it.
            if closed:
                s.problem(where, "no group at offset %d" % r.offset)
            continue
        g = s.groups[k]
        if r.offset != g.offset:
            s.problem(where, "offset %d, group %d is at %d" % (r.offset, k, g.offset))
        if r.time != g.time:
            s.problem(where, "time %d, group %d has %d" % (r.time, k, g.time))
        if r.first_alarm != _first_alarm(g.alarm_streams):
            s.problem(where, "first alarm byte %d, group %d has alarm streams %r"
                      % (r.first_alarm, k, g.alarm_streams))
        growing = not closed and k == len(s.groups) - 1  # frames may be missing
        for stream, level in r.pairs:
            want = max((f.level for f in g.frames if f.stream == stream), default=0)
            if level != want and not (growing and level > want):
                s.problem(where, "stream %d level %d, its frames reach %d"
                          % (stream, level, want))
    if closed and len(s.groups) > len(s.index):
        s.problem("id3", "%d records for %d groups" % (len(s.index), len(s.groups)))


# ---------------------------------------------------------------- events

def _read_events(s, raw, closed):
    pos = 0
    while pos < len(raw):
        start = pos
        if len(raw) - pos < 9:
            if closed:
                s.problem("evt@%d" % pos, "entry head cut by the end of the file")
            return
        time, record, count = struct.unpack_from("<iIB", raw, pos)
        pos += 9
        if count == 0:
            s.problem("evt@%d" % start, "entry with no alarm text")
            return
        texts = []
        for _ in range(count):
            if pos >= len(raw):
                break
            stream = raw[pos]
            text, nxt = _cstring(raw, pos + 1, len(raw))
            if text is None:
                break
            texts.append((stream, text))
            pos = nxt
        if len(texts) != count:
            if closed:
                s.problem("evt@%d" % start, "entry of %d texts cut after %d"
                          % (count, len(texts)))
            return
        s.events.append(EventEntry(start, time, record, texts))


def _check_events(s, closed):
    by_record = {}
    for e in s.events:
        where = "evt@%d" % e.offset
        if e.record in by_record:
            s.problem(where, "second entry for index record %d" % e.record)
        elif by_record and e.record < max(by_record):
            s.problem(where, "index record %d after %d" % (e.record, max(by_record)))
        by_record[e.record] = e
        if e.record >= len(s.groups):
            if closed:
                s.problem(where, "index record %d, the set has %d groups"
                          % (e.record, len(s.groups)))
            continue
        g = s.groups[e.record]
        if e.time != g.time:
            s.problem(where, "time %d, group %d has %d" % (e.time, e.record, g.time))
        streams = sorted({st for st, _ in e.texts})
        if streams != g.alarm_streams:
            s.problem(where, "text streams %r, group %d marks %r"
                      % (streams, e.record, g.alarm_streams))
        for st in streams:
            if not s.types.get(st, 0) & T_TEXT:
                s.problem(where, "alarm text on stream %d, which is not a text stream" % st)
            # The entry's texts must be texts of that stream in the group, in
            # the same order.
            mine = [t for x, t in e.texts if x == st]
            have = iter(g.texts(st))
            if not all(any(t == h for h in have) for t in mine):
                s.problem(where, "texts %r of stream %d are not in group %d (%r)"
                          % (mine, st, e.record, g.texts(st)))
    last = max(by_record, default=-1)
    for k, g in enumerate(s.groups):
        if not closed and k > last:
            break  # entries of the newest groups may not be flushed yet
        if g.alarm_streams and k not in by_record:
            s.problem("evt", "no entry for group %d with alarm streams %r"
                      % (k, g.alarm_streams))


# ---------------------------------------------------------------- summaries

def summarise(index, period):
    """The summary records (as (first_alarm, time, offset, pairs)) of a list
    of index records, closed periods and the open one last."""
    out = []
    cur = None
    for r in index:
        if cur is None:
            cur = {"start": r.time, "head": r, "low": {}, "high": {}}
        for stream, level in r.pairs[: min(r.pair_count, 6)]:
            if stream in LEVEL_STREAMS:
                cur["low"][stream] = max(cur["low"].get(stream, 0), level & 0x3F)
                cur["high"][stream] = cur["high"].get(stream, 0) | (level & 0xC0)
        if r.time >= cur["start"] + period:
            out.append(_period_record(cur))
            cur = None
    closed = len(out)
    if cur is not None:
        out.append(_period_record(cur))
    return out, closed


def _period_record(cur):
    head = cur["head"]
    pairs = [(st, cur["low"][st] | cur["high"][st]) for st in LEVEL_STREAMS if st in cur["low"]]
    return (head.first_alarm, head.time, head.offset, pairs)


def _check_summaries(s, closed):
    for ext, period in SUMMARIES:
        if ext not in s.summaries:
            continue
        got = []
        for k, r in enumerate(s.summaries[ext]):
            if r.reserved or r.pair_count > 6:
                s.problem("%s[%d]" % (ext, k), "pair count %d, bytes 2-3 0x%04x"
                          % (r.pair_count, r.reserved))
            pairs = r.pairs[: min(r.pair_count, 6)]
            if any(p != (0, 0) for p in r.pairs[len(pairs):]):
                s.problem("%s[%d]" % (ext, k), "bytes after the last pair are not 0")
            got.append((r.first_alarm, r.time, r.offset, pairs))
        want, n_closed = summarise(s.index, period)
        if closed:
            ok = got == want
        else:
            # While the set is open the summaries (synced at every record)
            # and the index (synced now and then) may each be ahead: compare
            # the periods that both show closed.
            k = min(len(got), n_closed)
            got, want = got[:k], want[:k]
            ok = got == want
        if not ok:
            for k in range(max(len(got), len(want))):
                g = got[k] if k < len(got) else None
                w = want[k] if k < len(want) else None
                if g != w:
                    s.problem("%s[%d]" % (ext, k), "record %r, the index gives %r" % (g, w))
                    break
            else:
                s.problem(ext, "%d records, the index gives %d" % (len(got), len(want)))


# ---------------------------------------------------------------- a set

def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def read_set(folder, number, closed=True):
    """Reads and checks set `number` of folder; problems in .problems.

    closed=False accepts what a set still being written may show: a data
    file, index or event file that ends inside a unit, an index record ahead
    of its group header, summaries without their open periods.
    """
    s = ArchiveSet(folder, number)
    data = _read(file_name(folder, number, "qvs3"))
    if data is None:
        s.problem("qvs3", "missing")
        return s
    _read_data(s, data, closed)

    raw = _read(file_name(folder, number, "id3"))
    if raw is None:
        s.problem("id3", "missing")
        raw = b""
    s.index = _read_records(s, "id3", raw, closed)
    _check_index(s, closed)

    raw = _read(file_name(folder, number, "evt"))
    if raw is None:
        s.problem("evt", "missing")
        raw = b""
    _read_events(s, raw, closed)
    _check_events(s, closed)

    present = 0
    for ext, _ in SUMMARIES:
        raw = _read(file_name(folder, number, ext))
        if raw is not None:
            present += 1
            s.summaries[ext] = _read_records(s, ext, raw, closed)
    if present not in (0, len(SUMMARIES)):
        s.problem("summaries", "%d of the %d summary files present" % (present, len(SUMMARIES)))
    _check_summaries(s, closed)

    s.marker = _read(file_name(folder, number, "hdr"))
    if s.marker is not None and s.marker != b"\0" * 8:
        s.problem("hdr", "marker is %r, not 8 zero bytes" % s.marker)
    return s


def check_set(folder, number, closed=True):
    """read_set, raising AssertionError with every problem found."""
    s = read_set(folder, number, closed)
    if s.problems:
        raise AssertionError("archive set %08x in %s:\n  %s"
                             % (number, folder, "\n  ".join(s.problems)))
    return s


def check_folder(folder, closed=True):
    """Checks every set of folder (the newest may be open when closed=False)
    and that their times do not go back from one set to the next."""
    sets = []
    nums = set_numbers(folder)
    for i, n in enumerate(nums):
        newest = i == len(nums) - 1
        sets.append(check_set(folder, n, closed or not newest))
    problems = []
    for a, b in zip(sets, sets[1:]):
        if a.index and b.index and b.index[0].time < a.index[-1].time:
            problems.append("set %08x starts at %d, before set %08x ends (%d)"
                            % (b.number, b.index[0].time, a.number, a.index[-1].time))
    if problems:
        raise AssertionError("\n".join(problems))
    return sets


def main(argv):
    args = [a for a in argv[1:] if not a.startswith("--")]
    closed = "--open" not in argv
    if not args:
        print("usage: archive_reader.py FOLDER [SET] [--open]", file=sys.stderr)
        return 2
    folder = args[0]
    nums = [int(args[1], 16)] if len(args) > 1 else set_numbers(folder)
    bad = 0
    for n in nums:
        s = read_set(folder, n, closed)
        frames = sum(len(g.frames) for g in s.groups)
        print("%08x: %d groups, %d frames, %d index records, %d event entries, "
              "summaries %s%s" % (n, len(s.groups), frames, len(s.index), len(s.events),
                                   ",".join(s.summaries) or "none",
                                   ", marker" if s.marker is not None else ""))
        for p in s.problems:
            print("  " + p)
        bad += len(s.problems)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
