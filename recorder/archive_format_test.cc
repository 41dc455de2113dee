#include "recorder/archive_format.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <filesystem>
#include <string>
#include <vector>

#include "lib/platform/le.h"
#include "recorder/archive_testkit.h"

namespace dv {
namespace {

using Bytes = std::vector<uint8_t>;

// --------------------------------------------------------------- names

TEST(ArchiveNames, FileAndSummaryNames) {
  struct Case {
    const char* folder;
    uint32_t set;
    const char* ext;
    bool summary;
    const char* want;
  } cases[] = {
      {"/videodata/", 0, "qvs3", false, "/videodata/00000000.qvs3"},
      {"/videodata/", 0xa, "id3", false, "/videodata/0000000a.id3"},
      {"/mnt/disc/videodata/", 0xDEADBEEF, "evt", false, "/mnt/disc/videodata/deadbeef.evt"},
      {"/videodata/", 1, "hdr", false, "/videodata/00000001.hdr"},
      {"/videodata/", 0x1f, "30m", true, "/videodata//0000001f.30m"},
      {"/videodata/", 0xffffffff, "7d", true, "/videodata//ffffffff.7d"},
  };
  for (const Case& c : cases) {
    std::string got = c.summary ? arc_summary_name(c.folder, c.set, c.ext)
                                : arc_file_name(c.folder, c.set, c.ext);
    EXPECT_EQ(got, c.want);
  }
}

TEST(ArchiveNames, ParseDataName) {
  struct Case {
    const char* name;
    bool ok;
    uint32_t set;
  } cases[] = {
      {"00000000.qvs3", true, 0},
      {"0000000a.qvs3", true, 0xa},
      {"DEADBEEF.qvs3", true, 0xdeadbeef},
      {"ffffffff.qvs3", true, 0xffffffff},
      {"1f.qvs3", true, 0x1f},
      {"0000000a.qvs3.tmp", true, 0xa},
      {"0000000a.id3", false, 0},
      {"000000000.qvs3", false, 0},
      {".qvs3", false, 0},
      {"x0000001.qvs3", false, 0},
      {"0000001g.qvs3", false, 0},
      {"0000000a.qvs", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t n = 12345;
    EXPECT_EQ(arc_parse_data_name(c.name, &n), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(n, c.set) << c.name;
    }
  }
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/arcfmtXXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string path() const { return path_ + "/"; }
  void touch(const std::string& name) const {
    FILE* f = std::fopen((path_ + "/" + name).c_str(), "w");
    if (f) std::fclose(f);
  }

 private:
  std::string path_;
};

TEST(ArchiveNames, NextSetNumber) {
  struct Case {
    std::vector<const char*> files;
    uint32_t want;
  } cases[] = {
      {{}, 0},
      {{"0000000a.qvs3", "0000000a.id3"}, 0xb},
      {{"00000003.qvs3", "0000000c.id3", "00000001.qvs3"}, 4},  // only data names count
      {{"notes.qvs3", "0000000a.txt"}, 0},
      {{"0000ABCD.qvs3"}, 0xabce},
  };
  for (const Case& c : cases) {
    TempDir d;
    for (const char* f : c.files) d.touch(f);
    uint32_t n = 99;
    EXPECT_TRUE(arc_next_set_number(d.path(), &n));
    EXPECT_EQ(n, c.want);
  }
  uint32_t n = 99;
  EXPECT_FALSE(arc_next_set_number("/nonexistent/folder/", &n));
  EXPECT_EQ(n, 0u);
}

// --------------------------------------------------------------- file header

Bytes sample_header() {
  return arc_build_file_header("VideoServer", {{0, 1, "mpeg4", "cam", "-none"},
                                               {16, 2, "adpcm", "left", "-none"},
                                               {128, 4, "text", "motion", "-none"}});
}

TEST(ArchiveFileHeader, DecodesStreamList) {
  Bytes h = sample_header();
  ArcFileHeader fh;
  ASSERT_EQ(arc_decode_file_header(h.data(), h.size(), &fh), ArcStatus::kOk);
  EXPECT_EQ(fh.length, h.size());
  EXPECT_EQ(fh.device_id, "VideoServer");
  ASSERT_EQ(fh.streams.size(), 3u);
  EXPECT_EQ(fh.streams[1].number, 16);
  EXPECT_EQ(fh.streams[1].type, 2);
  EXPECT_EQ(fh.streams[1].codec, "adpcm");
  EXPECT_EQ(fh.streams[2].name, "motion");
  EXPECT_EQ(h[0], 0xB5);
  EXPECT_EQ(h[2], 0x05);
}

TEST(ArchiveFileHeader, RejectsDamage) {
  Bytes good = sample_header();
  size_t trailer = get_u16le(good.data() + 4);
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    ArcStatus want;
  } cases[] = {
      {"shorter than the fixed part", [](Bytes& b) { b.resize(7); }, ArcStatus::kTruncated},
      {"cut inside the trailer", [](Bytes& b) { b.pop_back(); }, ArcStatus::kTruncated},
      {"wrong magic", [](Bytes& b) { b[3] ^= 1; }, ArcStatus::kBadMagic},
      {"trailer before the device id", [](Bytes& b) { put_u16le(b.data() + 4, 8); },
       ArcStatus::kCorrupt},
      {"device id without end",
       [](Bytes& b) {
         for (size_t i = 8; i < 20; ++i) b[i] = 'x';
         put_u16le(b.data() + 4, 20);
       },
       ArcStatus::kCorrupt},
      {"stream string runs into the trailer", [&](Bytes& b) { b[trailer - 1] = 'x'; },
       ArcStatus::kCorrupt},
      {"trailer offset beyond the data",
       [](Bytes& b) { put_u16le(b.data() + 4, static_cast<uint16_t>(b.size())); },
       ArcStatus::kTruncated},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    c.damage(b);
    ArcFileHeader fh;
    EXPECT_EQ(arc_decode_file_header(b.data(), b.size(), &fh), c.want) << c.what;
  }
}

// --------------------------------------------------------------- group header

TEST(ArchiveGroupHeader, EncodesFieldsAtTheirOffsets) {
  ArcGroupHeader g;
  g.time = 0x11223344;
  g.prev_len = 0x01020304;
  g.count = 2;
  g.streams[0] = 128;
  g.streams[1] = 255;
  uint8_t out[ARC_GROUP_HEADER_MAX];
  ASSERT_EQ(arc_encode_group_header(g, out), 15u);
  const uint8_t want[] = {0x05, 0xB5, 0xB5, 0xB5, 0x44, 0x33, 0x22, 0x11,
                          0x04, 0x03, 0x02, 0x01, 2,    128,  255};
  EXPECT_EQ(Bytes(out, out + 15), Bytes(want, want + 15));
  ArcGroupHeader back;
  ASSERT_EQ(arc_decode_group_header(out, 15, &back), ArcStatus::kOk);
  EXPECT_EQ(back.time, g.time);
  EXPECT_EQ(back.prev_len, g.prev_len);
  EXPECT_EQ(back.count, 2);
  EXPECT_EQ(back.streams[1], 255);
}

TEST(ArchiveGroupHeader, DecoderChecksLengthMagicAndOrder) {
  ArcGroupHeader g;
  g.count = 3;
  g.streams[0] = 1;
  g.streams[1] = 128;
  g.streams[2] = 200;
  uint8_t buf[ARC_GROUP_HEADER_MAX];
  size_t n = arc_encode_group_header(g, buf);
  ArcGroupHeader out;
  for (size_t cut = 0; cut < n; ++cut) {
    EXPECT_EQ(arc_decode_group_header(buf, cut, &out), ArcStatus::kTruncated) << cut;
  }
  Bytes bad(buf, buf + n);
  bad[0] = 0x06;
  EXPECT_EQ(arc_decode_group_header(bad.data(), n, &out), ArcStatus::kBadMagic);
  bad = Bytes(buf, buf + n);
  bad[14] = 1;  // 1, 1, 200: not ascending
  EXPECT_EQ(arc_decode_group_header(bad.data(), n, &out), ArcStatus::kCorrupt);
}

// --------------------------------------------------------------- chunks

struct Piece {
  Bytes header;
  uint32_t off, len;
};

std::vector<Piece> pieces(const ArcFrame& f) {
  std::vector<Piece> v;
  for (uint32_t i = 0; i < arc_chunk_count(f.size); ++i) {
    uint8_t h[8];
    Piece p;
    size_t n = arc_chunk_header(f, i, h, &p.off, &p.len);
    p.header.assign(h, h + n);
    v.push_back(p);
  }
  return v;
}

TEST(ArchiveChunks, FrameSplitting) {
  struct Case {
    const char* what;
    uint32_t size;
    bool video;
    std::vector<uint32_t> lens;
  } cases[] = {
      {"70000-byte picture", 70000, true, {65535, 4465}},
      {"no-signal picture", 0, true, {0}},
      {"audio block", 512, false, {512}},
      {"exactly one chunk", 0xFFFF, true, {0xFFFF}},
      {"exactly two chunks", 2 * 0xFFFF, false, {0xFFFF, 0xFFFF}},
      {"three chunks", 2 * 0xFFFF + 1, true, {0xFFFF, 0xFFFF, 1}},
  };
  for (const Case& c : cases) {
    ArcFrame f;
    f.stream = 2;
    f.level = 0x2A;
    f.video = c.video;
    f.time_code = 1234;
    f.frame_no = 7;
    f.size = c.size;
    std::vector<Piece> ps = pieces(f);
    ASSERT_EQ(ps.size(), c.lens.size()) << c.what;
    uint64_t total = 0, off = 0;
    for (size_t i = 0; i < ps.size(); ++i) {
      ArcChunkWord w = arc_unpack_chunk_word(get_u32le(ps[i].header.data()));
      EXPECT_EQ(w.length, c.lens[i]) << c.what << " chunk " << i;
      EXPECT_EQ(w.first, i == 0) << c.what;
      EXPECT_EQ(w.last, i + 1 == ps.size()) << c.what;
      EXPECT_EQ(w.stream, 2);
      EXPECT_EQ(w.level, 0x2A);
      EXPECT_EQ(ps[i].header.size(), (i == 0 && c.video) ? 8u : 4u) << c.what;
      EXPECT_EQ(ps[i].off, off);
      EXPECT_EQ(ps[i].len, c.lens[i]);
      off += ps[i].len;
      total += ps[i].header.size() + ps[i].len;
    }
    EXPECT_EQ(off, c.size);
    EXPECT_EQ(total, arc_frame_block_size(f)) << c.what;
  }
}

TEST(ArchiveChunks, WordBitsOfAVideoFrame) {
  ArcFrame f;
  f.stream = 3;
  f.level = 0xFF;  // only the low 6 bits are stored
  f.video = true;
  f.time_code = 0xBEEF;
  f.frame_no = 0;
  f.size = 0;
  std::vector<Piece> ps = pieces(f);
  ASSERT_EQ(ps.size(), 1u);
  // length 0, level 63, last and first, stream 3; time code, key frame.
  EXPECT_EQ(get_u32le(ps[0].header.data()), 0x03FF0000u);
  EXPECT_EQ(get_u32le(ps[0].header.data() + 4), 0x0000BEEFu);
}

TEST(ArchiveChunks, LateFrameNumbersNeverReadAsKeyFrames) {
  struct Case {
    uint32_t in;
    uint8_t stored;
  } cases[] = {{0, 0}, {1, 1}, {255, 255}, {256, 255}, {512, 255}, {0xFFFFFFFF, 255}};
  for (const Case& c : cases) {
    ArcFrame f;
    f.video = true;
    f.frame_no = c.in;
    f.size = 1;
    std::vector<Piece> ps = pieces(f);
    ArcTimeWord t;
    ASSERT_EQ(arc_unpack_time_word(get_u32le(ps[0].header.data() + 4), &t), ArcStatus::kOk);
    EXPECT_EQ(t.frame_no, c.stored) << c.in;
  }
}

TEST(ArchiveChunks, TimeWordWithHighBitsIsCorrupt) {
  ArcTimeWord t;
  EXPECT_EQ(arc_unpack_time_word(0x00FF1234, &t), ArcStatus::kOk);
  EXPECT_EQ(t.frame_no, 0xFF);
  EXPECT_EQ(t.time_code, 0x1234);
  EXPECT_EQ(arc_unpack_time_word(0x01001234, &t), ArcStatus::kCorrupt);
}

// --------------------------------------------------------------- index records

TEST(ArchiveIndexRecord, LayoutAndRoundTrip) {
  uint8_t levels[256] = {};
  uint8_t alarms[256] = {};
  levels[0] = 10;
  levels[2] = 0x7F;  // stored as 63
  levels[17] = 5;
  levels[128] = 40;  // not carried
  alarms[130] = 1;
  alarms[255] = 1;
  ArcIndexRecord r = arc_make_index_record(0x5566, 0x11223344, levels, alarms);
  uint8_t out[ARC_INDEX_RECORD_SIZE];
  arc_encode_index_record(r, out);
  const uint8_t want[24] = {130, 6,  0, 0, 0x66, 0x55, 0, 0, 0x44, 0x33, 0x22, 0x11,
                            0,   10, 1, 0, 2,    63,   3, 0, 16,   0,    17,   5};
  EXPECT_EQ(Bytes(out, out + 24), Bytes(want, want + 24));
  ArcIndexRecord back;
  ASSERT_EQ(arc_decode_index_record(out, 24, &back), ArcStatus::kOk);
  EXPECT_EQ(back.time, 0x5566);
  EXPECT_EQ(back.offset, 0x11223344u);
  EXPECT_EQ(back.pair_count, 6);
  EXPECT_EQ(back.pairs[5].stream, 17);
  EXPECT_EQ(back.pairs[5].level, 5);
}

TEST(ArchiveIndexRecord, FirstAlarmByte) {
  struct Case {
    bool has;
    uint8_t lowest;
    uint8_t want;
  } cases[] = {{false, 0, 0},    {true, 0, 0x80},  {true, 3, 0x83}, {true, 4, 4},
               {true, 16, 0x90}, {true, 17, 0x91}, {true, 18, 18},  {true, 128, 128},
               {true, 254, 254}, {true, 255, 255}};
  for (const Case& c : cases) {
    EXPECT_EQ(arc_first_alarm_byte(c.has, c.lowest), c.want) << int(c.lowest);
  }
}

TEST(ArchiveIndexRecord, DecoderRefusesImpossibleRecords) {
  uint8_t good[24] = {0, 6, 0, 0, 1, 0, 0, 0};
  ArcIndexRecord r;
  EXPECT_EQ(arc_decode_index_record(good, 23, &r), ArcStatus::kTruncated);
  struct Case {
    size_t at;
    uint8_t value;
  } cases[] = {{1, 7}, {1, 255}, {2, 1}, {3, 0x80}};
  for (const Case& c : cases) {
    uint8_t b[24];
    std::memcpy(b, good, 24);
    b[c.at] = c.value;
    EXPECT_EQ(arc_decode_index_record(b, 24, &r), ArcStatus::kCorrupt) << c.at;
  }
}

// --------------------------------------------------------------- summaries

ArcIndexRecord rec(int32_t t, uint32_t off, std::vector<std::pair<uint8_t, uint8_t>> pairs,
                   uint8_t first = 0) {
  ArcIndexRecord r;
  r.time = t;
  r.offset = off;
  r.first_alarm = first;
  for (auto [s, l] : pairs) r.pairs[r.pair_count++] = {s, l};
  return r;
}

TEST(ArchiveSummary, PeriodEndsWithTheRecordThatReachesIt) {
  ArcSummary s(18);
  std::vector<ArcIndexRecord> out;
  // Groups every 3 seconds from t=100: 100 .. 118; 118 >= 100+18 closes the
  // first period and belongs to it; 121 opens the next.
  for (int i = 0; i <= 9; ++i) {
    ArcIndexRecord o;
    if (s.feed(rec(100 + 3 * i, 1000 * i, {{0, static_cast<uint8_t>(i)}}), &o)) out.push_back(o);
  }
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].time, 100);
  EXPECT_EQ(out[0].offset, 0u);
  EXPECT_EQ(out[0].pairs[0].level, 6);  // records 0..6 (t=100..118)
  ArcIndexRecord o;
  ASSERT_TRUE(s.flush(&o));
  EXPECT_EQ(o.time, 121);
  EXPECT_EQ(o.offset, 7000u);
  EXPECT_EQ(o.pairs[0].level, 9);
  EXPECT_FALSE(s.flush(&o));
}

TEST(ArchiveSummary, PairsPackedLevelsMaxedHighBitsOred) {
  ArcSummary s(36);
  ArcIndexRecord o;
  EXPECT_FALSE(s.feed(rec(0, 24, {{17, 0x45}, {2, 3}}, 0x91), &o));
  EXPECT_FALSE(s.feed(rec(10, 48, {{2, 0x81}, {99, 60}}), &o));
  ASSERT_TRUE(s.feed(rec(40, 96, {{17, 0x0A}, {0, 1}}), &o));
  EXPECT_EQ(o.time, 0);
  EXPECT_EQ(o.offset, 24u);
  EXPECT_EQ(o.first_alarm, 0x91);
  ASSERT_EQ(o.pair_count, 3);  // streams 0, 2, 17 in the fixed order; 99 ignored
  EXPECT_EQ(o.pairs[0].stream, 0);
  EXPECT_EQ(o.pairs[0].level, 1);
  EXPECT_EQ(o.pairs[1].stream, 2);
  EXPECT_EQ(o.pairs[1].level, 0x83);  // largest low bits 3, high bits 0x80
  EXPECT_EQ(o.pairs[2].stream, 17);
  EXPECT_EQ(o.pairs[2].level, 0x4A);  // largest low bits 10, high bits 0x40
  EXPECT_FALSE(s.open());
}

TEST(ArchiveSummary, PeriodNearTheEndOfTimeDoesNotWrap) {
  ArcSummary s(6048);
  ArcIndexRecord o;
  EXPECT_FALSE(s.feed(rec(INT32_MAX - 10, 0, {}), &o));
  EXPECT_FALSE(s.feed(rec(INT32_MAX, 0, {}), &o));
}

// --------------------------------------------------------------- events

TEST(ArchiveEvents, EntryRoundTripAndDamage) {
  Bytes e(ARC_EVENT_HEAD_SIZE);
  arc_encode_event_head(0x01020304, 7, 2, e.data());
  EXPECT_EQ(e, (Bytes{4, 3, 2, 1, 7, 0, 0, 0, 2}));
  const uint8_t t1[] = {'M', 'o', 't', 0, 'x'};
  e.push_back(128);
  size_t n1 = arc_event_text_length(t1, sizeof t1);
  EXPECT_EQ(n1, 3u);
  e.insert(e.end(), t1, t1 + n1);
  e.push_back(0);
  const uint8_t t2[] = {'A', 'B'};  // no NUL inside the notice's size
  EXPECT_EQ(arc_event_text_length(t2, 2), 2u);
  e.push_back(255);
  e.insert(e.end(), t2, t2 + 2);
  e.push_back(0);

  ArcEventEntry out;
  size_t used = 0;
  ASSERT_EQ(arc_decode_event_entry(e.data(), e.size(), &out, &used), ArcStatus::kOk);
  EXPECT_EQ(used, e.size());
  EXPECT_EQ(out.time, 0x01020304);
  EXPECT_EQ(out.record, 7u);
  ASSERT_EQ(out.texts.size(), 2u);
  EXPECT_EQ(out.texts[0].stream, 128);
  EXPECT_EQ(out.texts[0].text, "Mot");
  EXPECT_EQ(out.texts[1].text, "AB");

  for (size_t cut = 0; cut < e.size(); ++cut) {
    EXPECT_EQ(arc_decode_event_entry(e.data(), cut, &out, &used), ArcStatus::kTruncated) << cut;
  }
  Bytes zero = e;
  zero[8] = 0;
  EXPECT_EQ(arc_decode_event_entry(zero.data(), zero.size(), &out, &used), ArcStatus::kCorrupt);
}

// --------------------------------------------------------------- walker

// A data file: header, two groups; group 0: a 70000-byte picture of stream
// 0, audio; group 1: a no-signal picture and an alarm text.
struct SampleFile {
  Bytes data;
  size_t group1 = 0;
  SampleFile() {
    ArcSetBuilder b(sample_header());
    b.begin_group(100);
    ArcFrame v;
    v.stream = 0;
    v.level = 9;
    b.add_frame(v, std::string(70000, 'v'));
    ArcFrame a;
    a.stream = 16;
    a.level = 4;
    b.add_frame(a, std::string(300, 'a'));
    b.end_group();
    group1 = b.data().size();
    b.begin_group(103);
    v.frame_no = 0;
    b.add_frame(v, "");
    b.add_text(128, "Motion", true);
    b.end_group();
    data = b.data();
  }
};

std::vector<ArcUnit> walk_all(const Bytes& d, ArcStatus* last) {
  ArcDataWalker w(d.data(), d.size());
  std::vector<ArcUnit> units;
  ArcUnit u;
  while ((*last = w.next(&u)) == ArcStatus::kOk) units.push_back(u);
  return units;
}

TEST(ArchiveWalker, WalksAWholeFile) {
  SampleFile f;
  ArcStatus last;
  std::vector<ArcUnit> u = walk_all(f.data, &last);
  EXPECT_EQ(last, ArcStatus::kTruncated);  // the end
  ASSERT_EQ(u.size(), 8u);
  EXPECT_EQ(u[0].kind, ArcUnit::kFileHeader);
  EXPECT_EQ(u[1].kind, ArcUnit::kGroupHeader);
  EXPECT_EQ(u[1].group.time, 100);
  EXPECT_EQ(u[1].group.prev_len, 0u);
  EXPECT_EQ(u[2].chunk.length, 0xFFFF);
  EXPECT_TRUE(u[2].has_time);
  EXPECT_EQ(u[3].chunk.length, 70000 - 0xFFFF);
  EXPECT_FALSE(u[3].has_time);
  EXPECT_TRUE(u[3].chunk.last);
  EXPECT_EQ(u[4].chunk.stream, 16);
  EXPECT_FALSE(u[4].has_time);
  EXPECT_EQ(u[5].offset, f.group1);
  EXPECT_EQ(u[5].group.prev_len, f.group1 - u[1].offset);
  ASSERT_EQ(u[5].group.count, 1);
  EXPECT_EQ(u[5].group.streams[0], 128);
  EXPECT_EQ(u[6].chunk.length, 0);
  EXPECT_TRUE(u[6].has_time);
  EXPECT_EQ(u[7].chunk.stream, 128);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f.data[u[7].payload]), 7),
            std::string("Motion\0", 7));
}

TEST(ArchiveWalker, SeekToAGroupWithAHeaderReadElsewhere) {
  SampleFile f;
  ArcFileHeader h;
  ASSERT_EQ(arc_decode_file_header(f.data.data(), f.data.size(), &h), ArcStatus::kOk);
  ArcDataWalker w(f.data.data(), f.data.size());
  ArcUnit u;
  ASSERT_TRUE(w.seek(f.group1));
  EXPECT_EQ(w.next(&u), ArcStatus::kBadMagic);  // no stream list yet
  w.use_header(h);
  ASSERT_EQ(w.next(&u), ArcStatus::kOk);
  EXPECT_EQ(u.kind, ArcUnit::kGroupHeader);
  EXPECT_FALSE(w.seek(f.data.size() + 1));
}

TEST(ArchiveWalker, ReportsDamageInsteadOfTrustingIt) {
  SampleFile good;
  ArcStatus last;
  std::vector<ArcUnit> u = walk_all(good.data, &last);
  size_t first_chunk = u[2].offset, second_chunk = u[3].offset, audio = u[4].offset;
  size_t text = u[7].offset;
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    ArcStatus want;
    size_t units_before;  // units read before the failure
    bool at_end;
  } cases[] = {
      {"chunk of an unlisted stream", [&](Bytes& b) { b[audio + 3] = 99; }, ArcStatus::kCorrupt, 4,
       false},
      {"continuation without first chunk", [&](Bytes& b) { b[first_chunk + 2] &= 0x3F; },
       ArcStatus::kCorrupt, 2, false},
      {"frame cut by the next frame", [&](Bytes& b) { b[second_chunk + 2] |= 0x80; },
       ArcStatus::kCorrupt, 3, false},
      {"short chunk that is not the last",
       [&](Bytes& b) {
         b[second_chunk + 2] &= 0xBF;  // clear last
       },
       ArcStatus::kCorrupt, 3, false},
      {"time word with high bits", [&](Bytes& b) { b[first_chunk + 7] = 1; }, ArcStatus::kCorrupt,
       2, false},
      {"chunk longer than the file", [&](Bytes& b) { b.resize(text + 6); }, ArcStatus::kTruncated,
       7, false},
      {"file header in the middle", [&](Bytes& b) { put_u32le(&b[audio], ARC_FILE_MAGIC); },
       ArcStatus::kCorrupt, 4, false},
      {"file ends inside a frame", [&](Bytes& b) { b.resize(second_chunk); }, ArcStatus::kTruncated,
       3, true},
      {"no file header", [](Bytes& b) { b[0] = 0; }, ArcStatus::kBadMagic, 0, false},
  };
  for (const Case& c : cases) {
    Bytes b = good.data;
    c.damage(b);
    ArcDataWalker w(b.data(), b.size());
    ArcUnit unit;
    size_t n = 0;
    ArcStatus s;
    while ((s = w.next(&unit)) == ArcStatus::kOk) ++n;
    EXPECT_EQ(s, c.want) << c.what;
    EXPECT_EQ(n, c.units_before) << c.what;
    EXPECT_EQ(w.at_end(), c.at_end) << c.what;
    if (c.at_end) {
      EXPECT_TRUE(w.frame_open()) << c.what;
    }
  }
}

// --------------------------------------------------------------- set builder

TEST(ArchiveSetBuilder, IndexEventsAndSummariesAgreeWithTheData) {
  ArcSetBuilder b(sample_header());
  for (int g = 0; g < 10; ++g) {
    b.begin_group(1000 + 3 * g);
    ArcFrame v;
    v.stream = 0;
    v.level = static_cast<uint8_t>(g);
    b.add_frame(v, std::string(100, 'x'));
    if (g == 4) b.add_text(128, "alarm", true);
    b.end_group();
  }
  b.begin_group(2000);  // a group with nothing recorded leaves no trace
  b.end_group();
  b.close();
  ASSERT_EQ(b.index().size(), 10 * ARC_INDEX_RECORD_SIZE);
  ArcIndexRecord r4;
  ASSERT_EQ(arc_decode_index_record(&b.index()[4 * 24], 24, &r4), ArcStatus::kOk);
  EXPECT_EQ(r4.first_alarm, 128);
  EXPECT_EQ(r4.time, 1012);
  ArcGroupHeader g4;
  ASSERT_EQ(arc_decode_group_header(&b.data()[r4.offset], b.data().size() - r4.offset, &g4),
            ArcStatus::kOk);
  EXPECT_EQ(g4.time, 1012);
  ArcEventEntry e;
  size_t used;
  ASSERT_EQ(arc_decode_event_entry(b.events().data(), b.events().size(), &e, &used),
            ArcStatus::kOk);
  EXPECT_EQ(used, b.events().size());
  EXPECT_EQ(e.record, 4u);
  // .30m: 1000..1018 (7 records) then 1021..1027 flushed at close.
  ASSERT_EQ(b.summary(0).size(), 2 * ARC_INDEX_RECORD_SIZE);
  ArcIndexRecord s0;
  ASSERT_EQ(arc_decode_index_record(b.summary(0).data(), 24, &s0), ArcStatus::kOk);
  EXPECT_EQ(s0.time, 1000);
  EXPECT_EQ(s0.first_alarm, 0);
  EXPECT_EQ(s0.pairs[0].level, 6);
  // .7d: everything in one period flushed at close.
  ASSERT_EQ(b.summary(5).size(), ARC_INDEX_RECORD_SIZE);

  TempDir d;
  ASSERT_EQ(b.write(d.path(), 0xa, true, true), 0);
  EXPECT_EQ(std::filesystem::file_size(d.path() + "0000000a.hdr"), 8u);
  EXPECT_EQ(std::filesystem::file_size(d.path() + "0000000a.7d"), 24u);
  uint32_t next;
  ASSERT_TRUE(arc_next_set_number(d.path(), &next));
  EXPECT_EQ(next, 0xbu);
}

}  // namespace
}  // namespace dv
