#include "hub/hub_engine.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

struct Sent {
  int qid;
  HubMessage m;
  std::string text;  // for text replies
};

// The engine's world: records every send, fails sends to chosen queues.
struct FakeIo {
  std::vector<Sent> sent;
  std::set<int> failing;  // sends to these fail with EAGAIN (a full queue)
  std::set<int> gone;     // queues that no longer exist
  int32_t clock = 1000;
  int kicks = 0;
  int builds = 0;
  bool build_fails = false;

  static FakeIo* self(void* ctx) { return static_cast<FakeIo*>(ctx); }
  static int send(void* ctx, int qid, const HubMessage& m) {
    FakeIo* io = self(ctx);
    if (io->failing.count(qid) || io->gone.count(qid)) {
      errno = io->gone.count(qid) ? EINVAL : EAGAIN;
      return -1;
    }
    io->sent.push_back({qid, m, {}});
    return 0;
  }
  static int send_text(void* ctx, int qid, const char* text) {
    FakeIo* io = self(ctx);
    if (io->failing.count(qid)) {
      errno = EAGAIN;
      return -1;
    }
    HubMessage m;
    std::memset(&m, 0, sizeof m);
    m.type = 1;
    io->sent.push_back({qid, m, text});
    return 0;
  }
  static int32_t now(void* ctx) { return self(ctx)->clock; }
  static void kick(void* ctx) { ++self(ctx)->kicks; }
  static bool alive(void* ctx, int qid) { return self(ctx)->gone.count(qid) == 0; }
  static int build(void* ctx, uint8_t* dst, HubStreamTables* t, HubSettings* s) {
    FakeIo* io = self(ctx);
    ++io->builds;
    std::memset(t, 0, sizeof *t);
    if (io->build_fails) return -1;
    dst[0] = static_cast<uint8_t>(io->builds);
    t->configured[0] = 1;
    t->type_bits[0] = T_VIDEO;
    s->gop = 2;
    return 100 + io->builds;
  }
  std::vector<Sent> Take() {
    std::vector<Sent> out;
    out.swap(sent);
    return out;
  }
};

constexpr int kHubQ = 7;
constexpr int kShm = 99;
constexpr int32_t kMem = HUB_ARENA_START + 0x1000;  // a small arena: 4096 bytes

HubMessage Msg(uint32_t type, int32_t reply, int32_t size = 0) {
  HubMessage m;
  std::memset(&m, 0, sizeof m);
  m.type = type;
  m.reply_id = reply;
  m.size = size;
  return m;
}

class HubEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h_ = std::make_unique<HubState>();
    HubState* h = h_.get();
    h->io.ctx = &io_;
    h->io.send = FakeIo::send;
    h->io.send_text = FakeIo::send_text;
    h->io.now = FakeIo::now;
    h->io.kick = FakeIo::kick;
    h->io.queue_alive = FakeIo::alive;
    h->io.build_digest = FakeIo::build;
    h->hub_qid = kHubQ;
    h->shm_id = kShm;
    h->memsize = kMem;
    segment_.assign(0x20000, 0);
    h->base = segment_.data();
    std::memset(&h->streams, 0, sizeof h->streams);
    for (int s : {0, 1}) {
      h->streams.configured[s] = 1;
      h->streams.type_bits[s] = T_VIDEO;
    }
    h->streams.configured[16] = 1;
    h->streams.type_bits[16] = T_AUDIO;
    h->streams.configured[128] = 1;
    h->streams.type_bits[128] = T_TEXT;
    h->streams.configured[129] = 1;
    h->streams.type_bits[129] = T_TEXT;
    h->streams.alarm[129] = 1;
    h->streams.configured[130] = 1;
    h->streams.type_bits[130] = T_TEXT;
    h->streams.alarm[130] = -1;
    h->settings.gop = 3;
    std::strcpy(h->settings.prefix, "/videodata/");
    h->digest_length = 321;
    hub_start(h);
  }
  void Handle(const HubMessage& m) { hub_handle(h_.get(), m); }
  // Request, and return the grant sent to reply (fails the test if none).
  HubMessage Grant(int reply, int stream, int32_t size) {
    Handle(Msg(SHM_MSG_TYPE_REQ_MEM | static_cast<uint32_t>(stream), reply, size));
    std::vector<Sent> s = io_.Take();
    EXPECT_EQ(s.size(), 1u);
    if (s.empty()) return HubMessage{};
    EXPECT_EQ(s[0].qid, reply);
    return s[0].m;
  }
  // Acknowledge a grant with size; returns the messages sent in answer.
  std::vector<Sent> Ack(HubMessage g, int32_t size, uint32_t extra = 0) {
    g.size = size;
    g.type |= extra;
    Handle(g);
    return io_.Take();
  }
  void Connect(int q) { Handle(Msg(SHM_MSG_TYPE_CONNECT, q)); }

  FakeIo io_;
  std::unique_ptr<HubState> h_;
  std::vector<uint8_t> segment_;
};

TEST_F(HubEngineTest, HandshakeReplies) {
  HubMessage shm = Msg(SHM_MSG_TYPE_REQ_SHM, 40);
  shm.frame_no = 5;
  Handle(shm);
  Handle(Msg(SHM_MSG_TYPE_REQ_CONFIG_FILE, 40));
  Handle(Msg(SHM_MSG_TYPE_REQ_PREFIX, 40));
  Handle(Msg(SHM_MSG_TYPE_REQ_CONFIG, 40));
  std::vector<Sent> s = io_.Take();
  ASSERT_EQ(s.size(), 4u);
  for (const Sent& x : s) EXPECT_EQ(x.qid, 40);
  EXPECT_EQ(s[0].m.type, SHM_MSG_TYPE_REQ_SHM);
  EXPECT_EQ(s[0].m.reply_id, kShm);
  EXPECT_EQ(s[0].m.size, kMem);
  EXPECT_EQ(s[0].m.frame_no, 5);  // the rest comes back as sent
  EXPECT_EQ(s[1].text, "/etc/streams.ini");
  EXPECT_EQ(s[2].text, "/videodata/");
  EXPECT_EQ(s[3].m.type, SHM_MSG_TYPE_REQ_CONFIG);
  EXPECT_EQ(s[3].m.offset, 0);
  EXPECT_EQ(s[3].m.size, 321);
}

TEST_F(HubEngineTest, InvalidReplyIdsAndUnknownKindsAnswerNothing) {
  const HubMessage bad[] = {
      Msg(SHM_MSG_TYPE_REQ_SHM, 0),
      Msg(SHM_MSG_TYPE_REQ_MEM, 0, 10),
      Msg(SHM_MSG_TYPE_CONNECT, kHubQ),
      Msg(SHM_MSG_TYPE_REQ_CONFIG, kHubQ),
      Msg(0x000, 40),
      Msg(0x900, 40),
      Msg(0xF00 | 3, 40),
  };
  for (const HubMessage& m : bad) Handle(m);
  EXPECT_TRUE(io_.Take().empty());
  for (int32_t slot : h_->clients) EXPECT_EQ(slot, 0);
  EXPECT_FALSE(h_->grant_outstanding);
}

TEST_F(HubEngineTest, PendingRequestsAreGrantedInArrivalOrder) {
  Connect(90);
  HubMessage a = Grant(41, 0, 100);
  Handle(Msg(SHM_MSG_TYPE_REQ_MEM | 1, 42, 200));
  Handle(Msg(SHM_MSG_TYPE_REQ_MEM | 128, 43, 30));
  Handle(Msg(SHM_MSG_TYPE_REQ_MEM | 5, 44, 30));  // stream 5 is not configured
  EXPECT_TRUE(io_.Take().empty());
  EXPECT_EQ(hub_pending_count(h_.get()), 3u);

  std::vector<Sent> s = Ack(a, 100);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].qid, 90);  // broadcast first
  EXPECT_EQ(s[0].m.offset, HUB_ARENA_START);
  EXPECT_EQ(s[1].qid, 42);  // then the next grant
  EXPECT_EQ(s[1].m.offset, HUB_ARENA_START + 100);
  HubMessage b = s[1].m;

  s = Ack(b, -1);  // nothing written: no broadcast, the arena moves on
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].qid, 43);
  EXPECT_EQ(s[0].m.offset, HUB_ARENA_START + 100);
  HubMessage c = s[0].m;

  s = Ack(c, 7);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].qid, 90);
  EXPECT_EQ(s[1].qid, 44);
  EXPECT_EQ(s[1].m.offset, HUB_ARENA_START + 108);  // 100 + 7 rounded up to 4
  HubMessage d = s[1].m;

  s = Ack(d, 30);  // unconfigured stream: "NOT SET", not broadcast, position kept
  EXPECT_TRUE(s.empty());
  EXPECT_FALSE(h_->grant_outstanding);
  EXPECT_EQ(h_->write_pos, HUB_ARENA_START + 108);
}

TEST_F(HubEngineTest, GrantPlacementAndWrap) {
  struct Step {
    int32_t request, written, offset;
  };
  // Arena 0x20000 .. 0x21000 (4096 bytes).
  const Step steps[] = {
      {1001, 1001, HUB_ARENA_START},         // next at +1004
      {3000, 3000, HUB_ARENA_START + 1004},  // 1004 + 3000 < 4096: fits; next at +4004
      {92, 0, HUB_ARENA_START},              // 4004 + 92 == 4096: wraps
      {10, 1, HUB_ARENA_START},              // the empty frame did not move the position
      {4095, 4095, HUB_ARENA_START},         // 4 + 4095 >= 4096: wraps
  };
  for (const Step& st : steps) {
    HubMessage g = Grant(41, 128, st.request);
    EXPECT_EQ(g.offset, st.offset) << st.request;
    EXPECT_EQ(g.size, st.request);
    Ack(g, st.written);
  }
  // The whole arena fits, at its start; one byte more can never fit and is refused.
  HubMessage whole = Grant(41, 128, 4096);
  EXPECT_EQ(whole.offset, HUB_ARENA_START);
  Ack(whole, 4096);
  Handle(Msg(SHM_MSG_TYPE_REQ_MEM | 128, 41, 4097));
  EXPECT_TRUE(io_.Take().empty());
  EXPECT_FALSE(h_->grant_outstanding);
}

TEST_F(HubEngineTest, GrantCarriesStreamTypeZeroLevelAndEchoesTheRest) {
  HubMessage req = Msg(SHM_MSG_TYPE_REQ_MEM | 16, 41, 512);
  req.frame_no = 9;
  req.time_code = 1234;
  req.level = 50;
  req.gop_time = 77;
  Handle(req);
  std::vector<Sent> s = io_.Take();
  ASSERT_EQ(s.size(), 1u);
  const HubMessage& g = s[0].m;
  EXPECT_EQ(g.type, SHM_MSG_TYPE_ACK_MEM | 16 | SHM_MSG_FLAG_KEY);
  EXPECT_EQ(g.reply_id, 41);
  EXPECT_EQ(g.level, 0);
  EXPECT_EQ(g.stream_type, T_AUDIO);
  EXPECT_EQ(g.frame_no, 9);
  EXPECT_EQ(g.time_code, 1234);
  EXPECT_EQ(g.gop_time, 77);
}

TEST_F(HubEngineTest, GopMarksDemandKeyFramesAndKickTheWatchdog) {
  Connect(90);
  io_.clock = 5000;
  // First grant of every stream carries the key flag; the first broadcast the GOP flag.
  HubMessage g = Grant(41, 0, 64);
  EXPECT_TRUE(g.type & SHM_MSG_FLAG_KEY);
  std::vector<Sent> s = Ack(g, 10);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].m.type & (SHM_MSG_FLAG_GOP | SHM_MSG_FLAG_KEY),
            SHM_MSG_FLAG_GOP | SHM_MSG_FLAG_KEY);
  EXPECT_EQ(s[0].m.gop_time, 5000);

  io_.clock = 5001;
  g = Grant(41, 0, 64);  // countdown 3 -> 1 (2 video requests so far)
  EXPECT_FALSE(g.type & SHM_MSG_FLAG_KEY);
  s = Ack(g, 10);
  EXPECT_FALSE(s[0].m.type & SHM_MSG_FLAG_GOP);
  EXPECT_EQ(s[0].m.gop_time, 5000);

  for (int i = 0; i < 5; ++i) {  // audio and text do not count
    g = Grant(41, i % 2 ? 16 : 128, 64);
    Ack(g, 10);
  }
  EXPECT_EQ(io_.kicks, 0);

  io_.clock = 5002;
  g = Grant(41, 1, 64);  // third video request: the mark, with a key frame
  EXPECT_EQ(io_.kicks, 1);
  EXPECT_TRUE(g.type & SHM_MSG_FLAG_KEY);
  s = Ack(g, 10);
  EXPECT_TRUE(s[0].m.type & SHM_MSG_FLAG_GOP);
  EXPECT_EQ(s[0].m.gop_time, 5002);
  // Every stream's next grant carries the key flag, once.
  g = Grant(41, 16, 64);
  EXPECT_TRUE(g.type & SHM_MSG_FLAG_KEY);
  s = Ack(g, 10);
  EXPECT_FALSE(s[0].m.type & SHM_MSG_FLAG_GOP);
  g = Grant(41, 16, 64);
  EXPECT_FALSE(g.type & SHM_MSG_FLAG_KEY);
  Ack(g, 10);
}

TEST_F(HubEngineTest, BroadcastAppliesAlarmOverridesAndOwnsItsFlags) {
  Connect(90);
  struct Case {
    int stream;
    uint32_t sent_flags;
    bool event;
  };
  const Case cases[] = {
      {128, 0, false}, {128, SHM_MSG_FLAG_EVENT, true},   // as sent
      {129, 0, true},  {129, SHM_MSG_FLAG_EVENT, true},   // always
      {130, 0, false}, {130, SHM_MSG_FLAG_EVENT, false},  // never
  };
  for (const Case& c : cases) {
    HubMessage g = Grant(41, c.stream, 8);
    std::vector<Sent> s = Ack(g, 8, c.sent_flags | SHM_MSG_FLAG_RELOAD);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ((s[0].m.type & SHM_MSG_FLAG_EVENT) != 0, c.event) << c.stream;
    EXPECT_FALSE(s[0].m.type & SHM_MSG_FLAG_RELOAD);
    EXPECT_EQ(s[0].m.stream_type, T_TEXT);
  }
}

TEST_F(HubEngineTest, ClientTableLimitsDuplicatesAndDrops) {
  for (int q = 100; q < 164; ++q) Connect(q);
  Connect(500);  // the 65th: no place
  for (int32_t slot : h_->clients) EXPECT_NE(slot, 500);
  Handle(Msg(SHM_MSG_TYPE_DISCONNECT, 100));
  Handle(Msg(SHM_MSG_TYPE_DISCONNECT, 100));  // "CLIENT is not found!"
  Connect(101);                               // second slot for 101
  io_.failing.insert(150);                    // a stuck consumer
  HubMessage g = Grant(41, 128, 8);
  std::vector<Sent> s = Ack(g, 8);
  EXPECT_EQ(s.size(), 63u);  // 64 slots, one of them failing
  int to101 = 0;
  for (const Sent& x : s) to101 += x.qid == 101;
  EXPECT_EQ(to101, 2);
  EXPECT_EQ(s[0].qid, 101);  // slot order: the freed slot 0 was taken again
  for (int32_t slot : h_->clients) EXPECT_NE(slot, 150);  // dropped
  io_.failing.clear();
  g = Grant(41, 128, 8);
  EXPECT_EQ(Ack(g, 8).size(), 63u);
}

TEST_F(HubEngineTest, AcknowledgementsThatDoNotMatchTheGrantAreIgnored) {
  Connect(90);
  HubMessage stray = Msg(SHM_MSG_TYPE_ACK_MEM | 128, 41, 8);
  Handle(stray);  // no grant at all
  EXPECT_TRUE(io_.Take().empty());
  EXPECT_EQ(h_->write_pos, HUB_ARENA_START);

  HubMessage g = Grant(41, 128, 8);
  Handle(Msg(SHM_MSG_TYPE_REQ_MEM | 128, 42, 8));
  HubMessage other = g;
  other.reply_id = 42;  // not the holder
  other.size = 8;
  Handle(other);
  HubMessage wrong_stream = g;
  wrong_stream.type = SHM_MSG_TYPE_ACK_MEM | 129;
  wrong_stream.size = 8;
  Handle(wrong_stream);
  EXPECT_TRUE(io_.Take().empty());
  EXPECT_TRUE(h_->grant_outstanding);

  std::vector<Sent> s = Ack(g, 9);  // more than granted: not announced, arena handed on
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].qid, 42);
  EXPECT_EQ(h_->write_pos, HUB_ARENA_START);

  HubMessage g2 = s[0].m;
  g2.offset = 0;  // a producer that names another offset
  s = Ack(g2, 8);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].m.offset, HUB_ARENA_START);  // announced where it was granted
}

TEST_F(HubEngineTest, FailedGrantsKeepTheKeyDemandAndServeTheNextInLine) {
  HubMessage a = Grant(41, 0, 8);
  io_.gone.insert(42);
  Handle(Msg(SHM_MSG_TYPE_REQ_MEM | 1, 42, 8));  // its grant will fail
  Handle(Msg(SHM_MSG_TYPE_REQ_MEM | 1, 43, 8));
  std::vector<Sent> s = Ack(a, 8);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].qid, 43);
  EXPECT_TRUE(s[0].m.type & SHM_MSG_FLAG_KEY);  // stream 1's demand survived the failed grant

  // A failed direct grant leaves no grant outstanding.
  Ack(s[0].m, 8);
  io_.failing.insert(44);
  Handle(Msg(SHM_MSG_TYPE_REQ_MEM | 128, 44, 8));
  EXPECT_FALSE(h_->grant_outstanding);
}

TEST_F(HubEngineTest, GrantOfAHolderThatIsGoneIsTakenBack) {
  HubMessage a = Grant(41, 0, 8);
  (void)a;
  io_.gone.insert(41);
  Handle(Msg(SHM_MSG_TYPE_REQ_MEM | 1, 42, 8));
  std::vector<Sent> s = io_.Take();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].qid, 42);
  EXPECT_EQ(s[0].m.offset, HUB_ARENA_START);
}

TEST_F(HubEngineTest, PendingRingIsBounded) {
  Grant(41, 128, 8);
  for (uint32_t i = 0; i < HUB_PENDING_SIZE + 10; ++i) {
    Handle(Msg(SHM_MSG_TYPE_REQ_MEM | 128, static_cast<int32_t>(1000 + i), 8));
  }
  EXPECT_EQ(hub_pending_count(h_.get()), HUB_PENDING_SIZE);
  EXPECT_TRUE(io_.Take().empty());
}

TEST_F(HubEngineTest, ReloadAlternatesHalvesAndAnnounces) {
  Connect(90);
  Connect(91);
  io_.clock = 7000;
  ASSERT_EQ(hub_reload(h_.get()), 0);
  std::vector<Sent> s = io_.Take();
  ASSERT_EQ(s.size(), 2u);
  for (const Sent& x : s) {
    EXPECT_EQ(x.m.type, 0x4800u);
    EXPECT_EQ(x.m.offset, HUB_DIGEST_HALF_B);
    EXPECT_EQ(x.m.size, 101);
    EXPECT_EQ(x.m.gop_time, 7000);
  }
  EXPECT_EQ(segment_[HUB_DIGEST_HALF_B], 1);
  EXPECT_EQ(segment_[0], 0);  // the half in use stayed untouched
  Handle(Msg(SHM_MSG_TYPE_REQ_CONFIG, 40));
  s = io_.Take();
  EXPECT_EQ(s[0].m.offset, HUB_DIGEST_HALF_B);
  EXPECT_EQ(s[0].m.size, 101);

  // A new group: key frames demanded, the next broadcast carries the GOP flag.
  HubMessage g = Grant(41, 0, 8);
  EXPECT_TRUE(g.type & SHM_MSG_FLAG_KEY);
  io_.clock = 7001;
  s = Ack(g, 8);
  EXPECT_TRUE(s[0].m.type & SHM_MSG_FLAG_GOP);
  EXPECT_EQ(s[0].m.gop_time, 7001);
  EXPECT_EQ(h_->gop_countdown, 1);  // reloaded from the new gop (2), one request since

  ASSERT_EQ(hub_reload(h_.get()), 0);
  EXPECT_EQ(h_->digest_offset, HUB_DIGEST_HALF_A);
  io_.build_fails = true;
  EXPECT_EQ(hub_reload(h_.get()), -1);
}

}  // namespace
