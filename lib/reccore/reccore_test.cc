// The recording decisions of libreccore, driven without memhub: notices are
// laid into a fake arena the way the hub lays them, state messages are
// handed in directly, and what the library sends to statekeeper is caught by
// the context's test seam.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hub/arena_tracker.h"
#include "lib/reccore/reccore.h"

namespace {

// A stream list with the given (number, type) pairs, as the hub's digest.
std::vector<uint8_t> make_digest(const std::vector<std::pair<int, uint8_t>>& streams) {
  std::vector<uint8_t> d = {0xB5, 0xB5, 0x05, 0xB5, 0, 0, 0, 0};
  auto add = [&d](const std::string& s) {
    for (char ch : s) d.push_back(static_cast<uint8_t>(ch));
    d.push_back(0);
  };
  add("dev");
  for (auto [n, t] : streams) {
    d.push_back(static_cast<uint8_t>(n));
    d.push_back(t);
    for (const char* s : {"c", "n", "-none"}) add(s);
  }
  size_t trailer = d.size();
  for (uint8_t tag = 1; tag <= 8; ++tag) {
    d.push_back(tag);
    d.push_back(0);
  }
  d[4] = static_cast<uint8_t>(trailer);
  d[5] = static_cast<uint8_t>(trailer >> 8);
  d[6] = static_cast<uint8_t>(d.size() - trailer);
  d[7] = 0;
  return d;
}

// An INI line list ("line\0line\0\0") from text lines.
std::vector<char> make_ini(const std::vector<std::string>& lines) {
  std::vector<char> v;
  for (const std::string& l : lines) {
    v.insert(v.end(), l.begin(), l.end());
    v.push_back('\0');
  }
  v.push_back('\0');
  return v;
}

struct Call {
  std::string what;
  int stream = -1;
  int id = -1;  // time_code of the notice: the tests' frame id
  int record = 0, schedule = 0, clip = 0;
};

struct Recorder {
  std::vector<Call> calls;
  std::vector<StateMessage> sent;
  int fail_save_at = -1;  // id whose SaveBlock fails
  int clip_answer = 0;
  std::string last_text;
  int notify_to_set = -1;
};

Recorder* rec(void* u) { return static_cast<Recorder*>(u); }

SaverCallbacks make_callbacks(Recorder* target) {
  SaverCallbacks cb;
  std::memset(&cb, 0, sizeof cb);
  cb.user = target;
  cb.OnConfigReload = [](void* u, ConfigHandle*, const char*, const uint8_t*, int32_t, int32_t,
                         int32_t, const uint8_t*, const uint8_t*, const uint8_t*, int* notify) {
    rec(u)->calls.push_back({"reload"});
    if (rec(u)->notify_to_set >= 0) *notify = rec(u)->notify_to_set;
  };
  cb.FileCloseCheck = [](void* u) { rec(u)->calls.push_back({"closecheck"}); };
  cb.BeforeSaveGOPData = [](void* u, HubMessage*) {
    rec(u)->calls.push_back({"before"});
    return 0;
  };
  cb.CalcActivAndEvents = [](void* u, HubMessage* m, int r, int s, int c) {
    rec(u)->calls.push_back({"calc", hub_stream(m->type), m->time_code, r, s, c});
  };
  cb.SaveBlock = [](void* u, HubMessage* m, int r, int s, int c) {
    rec(u)->calls.push_back({"save", hub_stream(m->type), m->time_code, r, s, c});
    return m->time_code == rec(u)->fail_save_at ? 1 : 0;
  };
  cb.CloseVids = [](void* u, int s) { rec(u)->calls.push_back({"closevids", s}); };
  cb.AfterSaveGOPData = [](void* u) { rec(u)->calls.push_back({"after"}); };
  cb.SyncFiles = [](void* u) { rec(u)->calls.push_back({"sync"}); };
  cb.SaveAllData = [](void* u) { rec(u)->calls.push_back({"saveall"}); };
  cb.CloseFiles = [](void* u) { rec(u)->calls.push_back({"close"}); };
  cb.VidsAchtung = [](void* u, int, int src, int32_t, const char* text) {
    rec(u)->calls.push_back({"achtung", src});
    rec(u)->last_text = text;
    return rec(u)->clip_answer;
  };
  cb.VidsRSAchtung = [](void* u, int input, int32_t) {
    rec(u)->calls.push_back({"rsachtung", input});
    return rec(u)->clip_answer;
  };
  cb.VidsCommonAchtung = [](void* u, int s) {
    rec(u)->calls.push_back({"commonachtung", s});
    return rec(u)->clip_answer;
  };
  cb.OnRecordEnable = [](void* u, int32_t) { rec(u)->calls.push_back({"enable"}); };
  return cb;
}

constexpr int32_t kMemsize = 0x200000;  // a small segment: the arena wraps soon

class Engine : public testing::Test {
 protected:
  void SetUp() override {
    hour_rec = 0;
    cb_ = make_callbacks(&r_);
    segment_.assign(kMemsize, 0);
  }
  void TearDown() override { hour_rec = 0; }

  // Configures the run as a configuration read would.
  void configure(const std::vector<std::string>& ini,
                 const std::vector<std::pair<int, uint8_t>>& streams, int report = 1) {
    rc_context_reset(&ctx_, &cb_, report);
    ASSERT_EQ(rc_queue_alloc(&ctx_), 0);
    ctx_.base = segment_.data();
    ctx_.shm_size = kMemsize;
    ctx_.budget = kMemsize * 2 / 3;
    arena_tracker_init(&ctx_.tracker, kMemsize);
    ctx_.test_data = &r_;
    ctx_.send_state = [](SaverContext* c, const StateMessage& m) {
      static_cast<Recorder*>(c->test_data)->sent.push_back(m);
      return 0;
    };
    ini_ = make_ini(ini);
    digest_ = make_digest(streams);
    ConfigHandle* h = ConfigOpenMem(ini_.data(), static_cast<int32_t>(ini_.size()));
    ASSERT_NE(h, nullptr);
    rc_apply_config(&ctx_, h, digest_.data(), digest_.size());
    ConfigClose(h);
    r_.calls.clear();
  }

  // Publishes one frame the way memhub lays it into the arena and hands its
  // notice to the library. id goes into time_code.
  int publish(int stream, int32_t size, uint32_t flags = 0, int frame_no = 1,
              uint8_t type = T_VIDEO, const char* text = nullptr) {
    if (pos_ + size >= kMemsize) pos_ = HUB_ARENA_START;
    HubMessage m;
    std::memset(&m, 0, sizeof m);
    m.type = SHM_MSG_TYPE_ACK_MEM | flags | static_cast<uint32_t>(stream);
    m.offset = pos_;
    m.size = size;
    m.frame_no = frame_no;
    m.gop_time = 1000 + gop_;
    m.time_code = static_cast<uint16_t>(next_id_);
    m.stream_type = type;
    if (text != nullptr) std::memcpy(segment_.data() + pos_, text, static_cast<size_t>(size));
    if (flags & SHM_MSG_FLAG_GOP) ++gop_;
    pos_ = (pos_ + size + 3) & ~3;
    uint64_t stamp = arena_observe(&ctx_.tracker, m);
    last_rc_ = rc_on_notice(&ctx_, m, stamp);
    return next_id_++;
  }

  // One group: a key frame carrying the GOP mark, then more frames of stream.
  std::vector<int> group(int stream = 0, int frames = 3, int32_t size = 100) {
    std::vector<int> ids;
    ids.push_back(publish(stream, size, SHM_MSG_FLAG_GOP | SHM_MSG_FLAG_KEY, 0));
    for (int i = 1; i < frames; ++i) ids.push_back(publish(stream, size, 0, i));
    return ids;
  }

  void state(uint32_t st, uint8_t value, uint8_t alarm = 0, uint8_t hold = 0, int32_t kind = 4) {
    StateMessage m = state_message(kind, 77, st, value, alarm, hold);
    rc_on_state(&ctx_, m);
  }

  // Ids handed to SaveBlock with the record or schedule flag.
  std::vector<int> saved_recorded() const {
    std::vector<int> v;
    for (const Call& c : r_.calls) {
      if (c.what == "save" && (c.record || c.schedule)) v.push_back(c.id);
    }
    return v;
  }
  std::vector<int> saved_all() const {
    std::vector<int> v;
    for (const Call& c : r_.calls) {
      if (c.what == "save") v.push_back(c.id);
    }
    return v;
  }
  int count(const std::string& what) const {
    int n = 0;
    for (const Call& c : r_.calls) n += c.what == what;
    return n;
  }
  std::vector<std::pair<uint32_t, uint8_t>> sent_states() const {
    std::vector<std::pair<uint32_t, uint8_t>> v;
    for (const StateMessage& m : r_.sent) v.push_back({m.state, m.value});
    return v;
  }

  Recorder r_;
  SaverCallbacks cb_;
  SaverContext ctx_;
  std::vector<uint8_t> segment_;
  std::vector<char> ini_;
  std::vector<uint8_t> digest_;
  int32_t pos_ = HUB_ARENA_START;
  int next_id_ = 1;
  int gop_ = 0;
  int last_rc_ = 0;
};

const std::vector<std::pair<int, uint8_t>> kCam0 = {{0, T_VIDEO}, {128, T_TEXT}};

// ---------------------------------------------------------------------------
// Configuration.

struct ConfigCase {
  const char* name;
  std::vector<std::string> ini;
  int32_t prerecord;
  int32_t dtime0;
  int32_t record0;
  int report_map_128;
};

class ConfigTest : public Engine, public testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigTest, ReadsPrerecordAndStreamKeys) {
  const ConfigCase& c = GetParam();
  configure(c.ini, kCam0);
  EXPECT_EQ(ctx_.prerecord, c.prerecord);
  EXPECT_EQ(ctx_.dtime[0], c.dtime0);
  EXPECT_EQ(ctx_.record[0], c.record0);
  EXPECT_EQ(ctx_.report_map[128], c.report_map_128);
  EXPECT_EQ(ctx_.notify, 1);
}

const ConfigCase kConfigCases[] = {
    {"NoRmoveMeansNoPrerecord",
     {"[ saver ]", "prerecord = 9", "[ stream_0 ]", "ON = 1", "dtime = 6", "drep = 128"},
     1,
     3,
     -1,
     0},
    {"PrerecordNineIsFourGroups",
     {"[ saver ]", "prerecord = 9", "[ stream_0 ]", "ON = 1", "dtime = 6", "rmove = 1"},
     4,
     3,
     0,
     128},
    {"NegativePrerecordIsForever",
     {"[ saver ]", "prerecord = -1", "[ stream_0 ]", "rmove = 1"},
     (0x0FFFFFFF + 3) / 3,
     1,
     0,
     128},
    {"MissingPrerecordIsZeroSeconds", {"[ stream_0 ]", "rmove = 1", "dtime = 0"}, 1, 1, 0, 128},
    {"DtimeNegativeKeepsOneGroup", {"[ stream_0 ]", "rmove = 1", "dtime = -5"}, 1, 1, 0, 128},
    {"DrepOutOfRangeIgnored", {"[ stream_0 ]", "drep = 999"}, 1, 1, -1, 128},
};

INSTANTIATE_TEST_SUITE_P(Reccore, ConfigTest, testing::ValuesIn(kConfigCases),
                         [](const testing::TestParamInfo<ConfigCase>& i) { return i.param.name; });

TEST_F(Engine, ConfigReadCallsSlotOneAndProgramMayClearNotify) {
  r_.notify_to_set = 0;
  rc_context_reset(&ctx_, &cb_, 1);
  ASSERT_EQ(rc_queue_alloc(&ctx_), 0);
  auto ini = make_ini({"[ stream_0 ]", "ON = 1", "fdiv = 2"});
  auto dg = make_digest({{0, T_VIDEO}, {5, T_VIDEO}});
  ConfigHandle* h = ConfigOpenMem(ini.data(), static_cast<int32_t>(ini.size()));
  rc_apply_config(&ctx_, h, dg.data(), dg.size());
  ConfigClose(h);
  EXPECT_EQ(count("reload"), 1);
  EXPECT_EQ(ctx_.notify, 0);
  EXPECT_EQ(ctx_.on[0], 1);
  EXPECT_EQ(ctx_.fdiv[0], 2);
  EXPECT_EQ(ctx_.on[5], 0);
  EXPECT_EQ(ctx_.fdiv[5], 1);  // missing: 1
}

// ---------------------------------------------------------------------------
// Pre-record and events.

TEST_F(Engine, MotionWithThreeQueuedGroupsRecordsTheNextSix) {
  configure({"[ saver ]", "prerecord = 9", "[ stream_0 ]", "ON = 1", "rmove = 1", "dtime = 6",
             "drep = 128"},
            kCam0);
  hour_rec = 1;
  std::vector<std::vector<int>> g;
  for (int i = 0; i < 4; ++i) g.push_back(group());  // 3 complete + the current
  EXPECT_EQ(ctx_.groups, 3);
  EXPECT_TRUE(saved_all().empty());  // pre-record keeps them
  // A motion frame in the current group.
  g[3].push_back(publish(0, 100, SHM_MSG_FLAG_EVENT, 3));
  EXPECT_EQ(ctx_.record[0], 6);
  for (int i = 0; i < 6; ++i) g.push_back(group());
  // The next GOP mark flushes what the pre-record does not keep.
  ASSERT_EQ(SaveALLData(&ctx_), 0);
  std::vector<int> want;
  for (int i = 0; i < 6; ++i) want.insert(want.end(), g[i].begin(), g[i].end());
  EXPECT_EQ(saved_recorded(), want);
  // Camera 0 was reported recording once, then stopped after dtime groups.
  auto states = sent_states();
  ASSERT_GE(states.size(), 2u);
  EXPECT_EQ(states.front(), std::make_pair(16u, uint8_t{1}));
  EXPECT_EQ(states.back(), std::make_pair(16u, uint8_t{0}));
}

TEST_F(Engine, SteadyPrerecordKeepsPrerecordMinusOneGroups) {
  configure({"[ saver ]", "prerecord = 9", "[ stream_0 ]", "rmove = 1", "dtime = 6"}, kCam0);
  hour_rec = 1;
  for (int i = 0; i < 10; ++i) group();
  EXPECT_EQ(ctx_.groups, 3);
  EXPECT_EQ(count("before"), 6);  // 10 groups seen, 1 growing, 3 kept
  EXPECT_TRUE(saved_recorded().empty());
  EXPECT_EQ(count("sync"), 6);  // once before each forced write
}

TEST_F(Engine, EventsNeedTheSchedule) {
  configure({"[ stream_0 ]", "rmove = 1", "dtime = 6"}, kCam0);
  hour_rec = 0;
  group();
  publish(0, 100, SHM_MSG_FLAG_EVENT);
  EXPECT_EQ(ctx_.record[0], 0);
  EXPECT_TRUE(r_.sent.empty());
}

TEST_F(Engine, AlarmTextOfDrepStreamRecordsItsCamera) {
  configure({"[ stream_0 ]", "ON = 1", "rmove = 1", "dtime = 3", "drep = 128"}, kCam0);
  hour_rec = 1;
  r_.clip_answer = 1;
  group();
  const char text[] = "Motion 1 on camera 0";
  publish(128, sizeof text, SHM_MSG_FLAG_EVENT, 0, T_TEXT, text);
  EXPECT_EQ(ctx_.record[0], 2);  // dtime 2 groups + 0 complete queued
  EXPECT_EQ(ctx_.clip[0], 2);
  EXPECT_EQ(r_.last_text, text);
  EXPECT_EQ(count("achtung"), 1);
}

TEST_F(Engine, AlarmTextHandedOverIsTerminatedAndBounded) {
  configure({"[ stream_0 ]", "rmove = 1", "drep = 128"}, kCam0);
  hour_rec = 1;
  group();
  std::string text(400, 'x');  // no NUL anywhere
  publish(128, static_cast<int32_t>(text.size()), SHM_MSG_FLAG_EVENT, 0, T_TEXT, text.c_str());
  EXPECT_EQ(r_.last_text, std::string(255, 'x'));
}

TEST_F(Engine, ContinuousStreamsFollowTheSchedule) {
  configure({"[ stream_0 ]", "ON = 1"}, kCam0);
  hour_rec = 1;
  auto a = group();
  auto b = group();  // writes a
  hour_rec = 0;
  auto c = group();  // writes b, not scheduled
  (void)c;
  std::vector<int> want = a;
  EXPECT_EQ(saved_recorded(), want);
  EXPECT_EQ(saved_all().size(), a.size() + b.size());
}

TEST_F(Engine, ScheduleStateReportsContinuousCameras) {
  configure(
      {"[ stream_0 ]", "ON = 1", "[ stream_1 ]", "ON = 1", "rmove = 1", "[ stream_2 ]", "ON = 0"},
      {{0, T_VIDEO}, {1, T_VIDEO}, {2, T_VIDEO}});
  state(STATE_SCHEDULE, 1, 0, 0, -1);
  EXPECT_EQ(hour_rec, 1);
  EXPECT_EQ(count("enable"), 1);
  std::vector<std::pair<uint32_t, uint8_t>> on = {{16, 1}, {17, 0}, {18, 0}, {19, 0}};
  EXPECT_EQ(sent_states(), on);
  r_.sent.clear();
  state(STATE_SCHEDULE, 0, 0, 0, -1);
  std::vector<std::pair<uint32_t, uint8_t>> off = {{16, 0}, {17, 0}, {18, 0}, {19, 0}};
  EXPECT_EQ(sent_states(), off);
}

TEST_F(Engine, ProgramThatDoesNotReportSendsNoCameraStates) {
  configure({"[ stream_0 ]", "ON = 1", "rmove = 1", "grevt = 1"}, kCam0, 0);
  state(STATE_SCHEDULE, 1, 0, 0, -1);
  publish(0, 10, SHM_MSG_FLAG_GOP | SHM_MSG_FLAG_EVENT, 0);
  EXPECT_TRUE(r_.sent.empty());
  // ...but the end of a general event goes out with only the notify flag.
  for (int i = 0; i < 3; ++i) group();
  ASSERT_EQ(SaveALLData(&ctx_), 0);
  auto s = sent_states();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0], std::make_pair(20u, uint8_t{0}));
}

TEST_F(Engine, GeneralEventStartsRgevtStreamsAndEndsWhenHoldsRunOut) {
  configure({"[ stream_0 ]", "ON = 1", "grevt = 1", "dtime = 3", "[ stream_1 ]", "ON = 1",
             "rmove = 1", "rgevt = 1", "dtime = 6"},
            {{0, T_VIDEO}, {1, T_VIDEO}});
  hour_rec = 1;
  group(1);
  publish(0, 10, SHM_MSG_FLAG_EVENT);  // camera 0 records continuously: no rmove
  EXPECT_EQ(ctx_.record[1], 3);
  EXPECT_EQ(ctx_.ge_hold[0], 2);
  auto s = sent_states();
  // General event on, camera 1 recording (alarm byte 0 for a reached stream).
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0], std::make_pair(20u, uint8_t{1}));
  EXPECT_EQ(r_.sent[0].alarm, 1);
  EXPECT_EQ(r_.sent[0].reserved[0], 1);
  EXPECT_EQ(r_.sent[0].hold, 1);
  EXPECT_EQ(s[1], std::make_pair(17u, uint8_t{1}));
  EXPECT_EQ(r_.sent[1].alarm, 0);
  r_.sent.clear();
  for (int i = 0; i < 4; ++i) group(1);
  ASSERT_EQ(SaveALLData(&ctx_), 0);
  s = sent_states();
  EXPECT_NE(std::find(s.begin(), s.end(), std::make_pair(20u, uint8_t{0})), s.end());
  EXPECT_NE(std::find(s.begin(), s.end(), std::make_pair(17u, uint8_t{0})), s.end());
}

TEST_F(Engine, SerialAlarmRecordsItsCamera) {
  configure({"[ stream_2 ]", "ON = 1", "rmove = 1", "dtime = 6"}, {{2, T_VIDEO}});
  hour_rec = 1;
  r_.clip_answer = 1;
  group(2);
  group(2);
  state(STATE_SERIAL_INPUT_0 + 2, 1);
  EXPECT_EQ(ctx_.record[2], 3);  // dtime 3 + 0 complete groups (pre-record off)
  EXPECT_EQ(ctx_.clip[2], 3);
  EXPECT_EQ(count("rsachtung"), 1);
  EXPECT_EQ(sent_states(), (std::vector<std::pair<uint32_t, uint8_t>>{{18, 1}}));
  // A periodic repeat with the hold flag does not restart it, nor a clip.
  state(STATE_SERIAL_INPUT_0 + 2, 1, 0, 1, STATE_KIND_REPEAT);
  EXPECT_EQ(count("rsachtung"), 1);
  // Value 0 or no schedule: nothing.
  hour_rec = 0;
  state(STATE_SERIAL_INPUT_0 + 1, 1);
  EXPECT_EQ(ctx_.record[1], -1);
}

TEST_F(Engine, StatekeeperUnregisterStopsReports) {
  configure({"[ stream_0 ]", "ON = 1"}, kCam0);
  ctx_.state_qid = 5;
  StateMessage m;
  m.type = STATE_MSG_UNREGISTER;
  rc_on_state(&ctx_, m);
  EXPECT_EQ(ctx_.state_qid, -1);
}

TEST_F(Engine, ReloadNoticeAndForeignKindsAreNotQueued) {
  configure({"[ stream_0 ]", "ON = 1"}, kCam0);
  HubMessage m;
  std::memset(&m, 0, sizeof m);
  m.type = SHM_MSG_RELOAD_NOTICE;
  ASSERT_EQ(rc_on_notice(&ctx_, m, kArenaNoStamp), 0);
  EXPECT_TRUE(ctx_.reload);
  m.type = SHM_MSG_TYPE_REQ_SHM;
  ASSERT_EQ(rc_on_notice(&ctx_, m, kArenaNoStamp), 0);
  EXPECT_EQ(ctx_.msgs, 0);
}

TEST_F(Engine, ClipCountdownClosesVids) {
  configure({"[ stream_0 ]", "ON = 1", "rmove = 1", "dtime = 3", "drep = 128"}, kCam0);
  hour_rec = 1;
  r_.clip_answer = 1;
  group();
  const char text[] = "m";
  publish(128, 2, SHM_MSG_FLAG_EVENT, 0, T_TEXT, text);
  for (int i = 0; i < 3; ++i) group();
  ASSERT_EQ(SaveALLData(&ctx_), 0);
  EXPECT_EQ(count("closevids"), 1);
}

TEST_F(Engine, FailingSaveBlockEndsTheWrite) {
  configure({"[ stream_0 ]", "ON = 1"}, kCam0);
  hour_rec = 1;
  auto a = group();
  r_.fail_save_at = a[1];
  publish(0, 100, SHM_MSG_FLAG_GOP | SHM_MSG_FLAG_KEY, 0);
  EXPECT_EQ(last_rc_, -1);
  EXPECT_TRUE(ctx_.failed);
  EXPECT_EQ(count("after"), 0);
}

TEST_F(Engine, QueueGrowsPastItsFirstCapacity) {
  configure({"[ saver ]", "prerecord = 300", "[ stream_0 ]", "rmove = 1"}, kCam0);
  group(0, 3000, 0);  // no-signal frames: no bytes, many notices
  EXPECT_EQ(ctx_.msgs, 3000);
  EXPECT_GE(ctx_.max_msgs, 4096);
}

// ---------------------------------------------------------------------------
// Payload validity.

TEST_F(Engine, BudgetWritesWholeGroupsBetweenMarks) {
  configure({"[ saver ]", "prerecord = 300", "[ stream_0 ]", "rmove = 1"}, kCam0);
  // Budget: 2/3 of 2 MiB, a little over 21 frames of 64 KiB.
  auto a = group(0, 4, 0x10000);
  publish(0, 0x10000, SHM_MSG_FLAG_GOP | SHM_MSG_FLAG_KEY, 0);
  for (int i = 1; i < 18; ++i) publish(0, 0x10000, 0, i);
  EXPECT_TRUE(saved_all().empty());  // 22 frames queued, the budget just passed
  publish(0, 0x10000, 0, 18);        // the next notice sends the complete group
  EXPECT_EQ(saved_all(), a);
  EXPECT_EQ(ctx_.groups, 0);
  EXPECT_EQ(count("sync"), 1);
}

TEST_F(Engine, OverwrittenPayloadsNeverReachTheCallbacks) {
  // Pre-record keeps far more than the arena holds, and the budget is made
  // useless: the oldest groups have been overwritten when they are written.
  configure({"[ saver ]", "prerecord = 3000", "[ stream_0 ]", "rmove = 1"}, kCam0);
  ctx_.budget = INT32_MAX;
  std::vector<std::vector<int>> g;
  for (int i = 0; i < 25; ++i) g.push_back(group(0, 4, 0x8000));
  ASSERT_EQ(SaveALLData(&ctx_), 0);
  std::vector<int> saved = saved_all();
  std::vector<int> calc;
  for (const Call& c : r_.calls) {
    if (c.what == "calc") calc.push_back(c.id);
  }
  EXPECT_EQ(saved, calc);
  // The arena (0x1E0000 bytes) takes 59 frames of 32 KiB before the writer
  // wraps; 100 frames in, with one grant (4 frames) ahead, frames 0..44 may
  // be overwritten. Frame 44 is the key frame of group 11, whose later
  // frames go with it: groups 12..24 are left.
  std::vector<int> want;
  for (int i = 12; i < 25; ++i) want.insert(want.end(), g[i].begin(), g[i].end());
  EXPECT_EQ(saved, want);
}

TEST_F(Engine, LostKeyFrameDropsTheStreamUntilItsNextKey) {
  configure({"[ saver ]", "prerecord = 3000", "[ stream_0 ]", "rmove = 1"},
            {{0, T_VIDEO}, {1, T_VIDEO}});
  ctx_.budget = INT32_MAX;
  int k1 = publish(1, 0x8000, SHM_MSG_FLAG_GOP | SHM_MSG_FLAG_KEY, 0);
  int p1 = publish(1, 0x100, 0, 1);
  // Stream 0 codes key frames only (Motion-JPEG): a lost one takes nothing
  // along. 62 frames of 32 KiB wrap the arena over k1 and p1.
  std::vector<int> later;
  for (int i = 0; i < 62; ++i) later.push_back(publish(0, 0x8000, SHM_MSG_FLAG_KEY, 0));
  int p2 = publish(1, 0x100, 0, 2);
  ASSERT_EQ(SaveALLData(&ctx_), 0);
  std::vector<int> saved = saved_all();
  auto has = [&saved](int id) { return std::find(saved.begin(), saved.end(), id) != saved.end(); };
  EXPECT_FALSE(has(k1));
  EXPECT_FALSE(has(p1));
  EXPECT_FALSE(has(p2));  // intact, but useless without its key frame
  EXPECT_FALSE(has(later.front()));
  EXPECT_TRUE(has(later.back()));
}

TEST_F(Engine, NoticeOutsideTheArenaIsDropped) {
  configure({"[ stream_0 ]", "ON = 1"}, kCam0);
  hour_rec = 1;
  group();
  HubMessage m;
  std::memset(&m, 0, sizeof m);
  m.type = SHM_MSG_TYPE_ACK_MEM;
  m.offset = kMemsize - 4;
  m.size = 100;  // runs past the segment
  m.time_code = 999;
  m.stream_type = T_VIDEO;
  ASSERT_EQ(rc_on_notice(&ctx_, m, arena_observe(&ctx_.tracker, m)), 0);
  ASSERT_EQ(SaveALLData(&ctx_), 0);
  for (int id : saved_all()) EXPECT_NE(id, 999);
}

}  // namespace
