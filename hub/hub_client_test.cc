#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hub/arena_tracker.h"
#include "hub/digest_reader.h"
#include "hub/hub_client.h"
#include "hub/hub_protocol.h"

namespace {

HubMessage Notice(int32_t offset, int32_t size, uint32_t type = SHM_MSG_TYPE_ACK_MEM) {
  HubMessage m;
  std::memset(&m, 0, sizeof m);
  m.type = type;
  m.offset = offset;
  m.size = size;
  return m;
}

TEST(HubWire, BodyBytesSitAtTheirOffsets) {
  HubMessage m;
  m.type = 0x9812;
  m.reply_id = 0x04030201;
  m.offset = 0x08070605;
  m.size = -2;
  m.frame_no = 0x100F0E0D;
  m.gop_time = 0x14131211;
  m.time_code = 0x1615;
  m.level = 0x17;
  m.stream_type = 0x18;
  HubWire w;
  hub_to_wire(m, &w);
  EXPECT_EQ(w.mtype, 0x9812);
  const uint8_t want[24] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFE, 0xFF, 0xFF, 0xFF,
                            0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18};
  EXPECT_EQ(std::memcmp(w.body, want, 24), 0);
  HubMessage back;
  hub_from_wire(w, &back);
  EXPECT_EQ(std::memcmp(&back, &m, sizeof m), 0);
}

TEST(HubWire, KindNamesAndTypeWordFields) {
  EXPECT_STREQ(hub_kind_name(0x500 | 3), "SHM_MSG_TYPE_REQ_MEM");
  EXPECT_STREQ(hub_kind_name(0x1800 | 0xFF), "SHM_MSG_TYPE_ACK_MEM");
  EXPECT_STREQ(hub_kind_name(0x900), "UNKNOWN");
  EXPECT_EQ(hub_stream(0x9812), 0x12);
  EXPECT_EQ(hub_kind(0x9812), 0x800u);
}

TEST(HubNotice, ArenaBounds) {
  const int32_t mem = 0x1000000;
  struct Case {
    int32_t offset, size;
    bool ok;
  };
  const Case cases[] = {
      {HUB_ARENA_START, 0, true},
      {HUB_ARENA_START, mem - HUB_ARENA_START, true},
      {HUB_ARENA_START, mem - HUB_ARENA_START + 1, false},
      {mem - 4, 4, true},
      {mem - 4, 5, false},
      {0, 10, false},  // a digest half is no frame
      {HUB_ARENA_START - 1, 1, false},
      {HUB_ARENA_START, -1, false},
      {0x7FFFFFFF, 0x7FFFFFFF, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hub_notice_in_arena(Notice(c.offset, c.size), mem), c.ok)
        << c.offset << " " << c.size;
  }
}

// A digest written by hand: device "dev", streams 0 and 17, all eight tags.
std::vector<uint8_t> SampleDigest() {
  std::vector<uint8_t> d = {0xB5, 0xB5, 0x05, 0xB5, 0, 0, 0, 0};
  auto put = [&](const std::string& s) {
    d.insert(d.end(), s.begin(), s.end());
    d.push_back(0);
  };
  put("dev");
  d.push_back(0);
  d.push_back(1);
  put("mpeg4");
  put("cam");
  put("-none");
  d.push_back(17);
  d.push_back(2);
  put("adpcm");
  put("right");
  put(" -stereo");
  size_t toff = d.size();
  const char* tags[8] = {"cp", "UTC\n", "", "2,0", "", "", "", "1"};
  for (int t = 0; t < 8; ++t) {
    d.push_back(static_cast<uint8_t>(t + 1));
    put(tags[t]);
  }
  size_t tlen = d.size() - toff;
  d[4] = static_cast<uint8_t>(toff);
  d[6] = static_cast<uint8_t>(tlen);
  return d;
}

TEST(DigestReader, WalksRecordsAndTrailer) {
  std::vector<uint8_t> d = SampleDigest();
  DigestReader r;
  ASSERT_EQ(digest_reader_open(&r, d.data(), d.size()), 0);
  EXPECT_STREQ(r.device_id, "dev");
  DigestStream s;
  ASSERT_EQ(digest_next_stream(&r, &s), 1);
  EXPECT_EQ(s.number, 0);
  EXPECT_EQ(s.type, 1);
  EXPECT_STREQ(s.codec, "mpeg4");
  EXPECT_STREQ(s.name, "cam");
  EXPECT_STREQ(s.params, "-none");
  ASSERT_EQ(digest_next_stream(&r, &s), 1);
  EXPECT_EQ(s.number, 17);
  EXPECT_STREQ(s.params, " -stereo");
  EXPECT_EQ(digest_next_stream(&r, &s), 0);
  EXPECT_STREQ(digest_trailer_text(&r, 2), "UTC\n");
  EXPECT_STREQ(digest_trailer_text(&r, 3), "");
  EXPECT_STREQ(digest_trailer_text(&r, 8), "1");
  EXPECT_EQ(digest_trailer_text(&r, 9), nullptr);
  digest_rewind(&r);
  ASSERT_EQ(digest_next_stream(&r, &s), 1);
  EXPECT_EQ(s.number, 0);
}

TEST(DigestReader, RefusesDamagedDigests) {
  const std::vector<uint8_t> good = SampleDigest();
  const size_t toff = good[4];
  struct Case {
    const char* what;
    void (*damage)(std::vector<uint8_t>*, size_t toff);
    size_t cut;  // bytes given to the reader less than the digest's size
  };
  const Case cases[] = {
      {"short header", [](std::vector<uint8_t>*, size_t) {}, good.size() - 7},
      {"bad magic", [](std::vector<uint8_t>* d, size_t) { (*d)[0] ^= 1; }, 0},
      {"trailer beyond the length", [](std::vector<uint8_t>* d, size_t) { (*d)[6] += 1; }, 0},
      {"trailer offset beyond the length", [](std::vector<uint8_t>* d, size_t) { (*d)[5] = 0x10; },
       0},
      {"truncated", [](std::vector<uint8_t>*, size_t) {}, 1},
      {"device id without NUL",
       [](std::vector<uint8_t>* d, size_t) {
         (*d)[4] = 10;  // trailer right after "dev" without its NUL
         (*d)[6] = static_cast<uint8_t>(d->size() - 10);
         (*d)[11] = 'x';
       },
       0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> d = good;
    c.damage(&d, toff);
    DigestReader r;
    EXPECT_EQ(digest_reader_open(&r, d.data(), d.size() - c.cut), -1) << c.what;
  }
}

TEST(DigestReader, RecordRunningIntoTheTrailerStopsTheWalk) {
  std::vector<uint8_t> d = SampleDigest();
  // Move the trailer offset back into the second record's name: its strings
  // then have no NUL before the trailer.
  size_t toff = d[4];
  size_t second = 8 + 4 + 2 + 6 + 4 + 6;  // header, "dev", first record
  ASSERT_LT(second + 4, toff);
  size_t new_off = second + 2 + 3;  // inside "adpcm"
  d[4] = static_cast<uint8_t>(new_off);
  d[6] = static_cast<uint8_t>(d.size() - new_off);
  DigestReader r;
  ASSERT_EQ(digest_reader_open(&r, d.data(), d.size()), 0);
  DigestStream s;
  EXPECT_EQ(digest_next_stream(&r, &s), 1);
  EXPECT_EQ(digest_next_stream(&r, &s), -1);
  EXPECT_EQ(digest_next_stream(&r, &s), 0);  // stays at the end
  // The bytes now taken as the trailer have a tag without a NUL-terminated
  // string at the end: damaged trailers give null, never a read past the end.
  std::vector<uint8_t> t = SampleDigest();
  t.back() = 'x';
  ASSERT_EQ(digest_reader_open(&r, t.data(), t.size()), 0);
  EXPECT_EQ(digest_trailer_text(&r, 8), nullptr);
  EXPECT_STREQ(digest_trailer_text(&r, 1), "cp");
}

// Arena of 1000 bytes, so positions are easy to follow.
constexpr int32_t kMem = HUB_ARENA_START + 1000;
constexpr int32_t A = HUB_ARENA_START;

TEST(ArenaTracker, PayloadsStayIntactUntilTheWriterLapsThem) {
  ArenaTracker t;
  arena_tracker_init(&t, kMem, 100);
  uint64_t f0 = arena_observe(&t, Notice(A, 200));        // [0, 200)
  uint64_t f1 = arena_observe(&t, Notice(A + 200, 300));  // [200, 500)
  uint64_t f2 = arena_observe(&t, Notice(A + 500, 300));  // [500, 800); writer may reach 900
  EXPECT_EQ(f0, 0u);
  EXPECT_EQ(f1, 200u);
  EXPECT_EQ(f2, 500u);
  EXPECT_TRUE(arena_intact(&t, f0));
  // 800 + 100 < 1000: the next grant follows at 800; nothing is at risk yet.
  uint64_t f3 = arena_observe(&t, Notice(A + 800, 150));  // [800, 950), next at 952
  // 952 + 100 >= 1000: the next grant may start the next lap and write
  // [1000, 1100), the bytes of f0 again.
  EXPECT_FALSE(arena_intact(&t, f0));
  EXPECT_TRUE(arena_intact(&t, f1));
  uint64_t f4 = arena_observe(&t, Notice(A, 100));  // wrapped: lap 1, [1000, 1100)
  EXPECT_EQ(f4, 1000u);
  EXPECT_FALSE(arena_intact(&t, f0));
  EXPECT_TRUE(arena_intact(&t, f1));  // the writer may reach 1200, f1 starts at 200 + 1000
  EXPECT_TRUE(arena_intact(&t, f2));
  EXPECT_TRUE(arena_intact(&t, f3));
  EXPECT_TRUE(arena_intact(&t, f4));
  uint64_t f5 = arena_observe(&t, Notice(A + 100, 350));  // [1100, 1450): reach 1552
  EXPECT_FALSE(arena_intact(&t, f1));
  EXPECT_FALSE(arena_intact(&t, f2));
  EXPECT_TRUE(arena_intact(&t, f3));
  EXPECT_TRUE(arena_intact(&t, f5));
}

TEST(ArenaTracker, EmptyFramesAndForeignNoticesDoNotMoveIt) {
  ArenaTracker t;
  arena_tracker_init(&t, kMem, 0);
  uint64_t a = arena_observe(&t, Notice(A + 100, 0));
  uint64_t b = arena_observe(&t, Notice(A + 100, 10));  // same offset: not a wrap
  EXPECT_EQ(a, 100u);
  EXPECT_EQ(b, 100u);
  EXPECT_EQ(arena_observe(&t, Notice(HUB_DIGEST_HALF_B, 300, SHM_MSG_RELOAD_NOTICE)),
            kArenaNoStamp);
  EXPECT_EQ(arena_observe(&t, Notice(A + 990, 20)), kArenaNoStamp);  // past the segment
  EXPECT_EQ(arena_observe(&t, Notice(A, 10, SHM_MSG_TYPE_REQ_MEM)), kArenaNoStamp);
  EXPECT_EQ(t.lap, 0u);
  EXPECT_EQ(t.end, A + 112);
  EXPECT_FALSE(arena_intact(&t, kArenaNoStamp));
  EXPECT_FALSE(arena_intact(&t, 5000));  // a stamp from the future is not ours
}

}  // namespace
