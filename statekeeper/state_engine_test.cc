#include "statekeeper/state_engine.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "lib/platform/log.h"

namespace {

// 2024-01-01 was a monday; times are UTC (TZ=UTC0 in these tests).
constexpr time_t kMonday = 1704067200;
constexpr time_t kHour = 3600;

// Queue ids of the clients in these tests.
constexpr int kOwn = 500;
constexpr int kRec = 10, kRec2 = 11, kLive = 20, kLive2 = 21, kRs = 40, kGen = 50, kCli = 60;

struct Sent {
  int q;
  StateMessage m;
};

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);
    tzset();
    char tmpl[] = "/tmp/state_engine_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("DEEPVAULT_LOG", ("dir:" + dir_).c_str(), 1);
    dv::log_open("statekeeper");
    std::memset(&sched_, 0, sizeof sched_);
    Start(kMonday + 3 * kHour + 600);  // monday 03:10
  }
  void TearDown() override {
    dv::log_close();
    std::filesystem::remove_all(dir_);
  }

  void Start(time_t now) {
    StateIo io;
    io.ctx = this;
    io.send = [](void* ctx, int q, const StateMessage& m) {
      Engine* t = static_cast<Engine*>(ctx);
      t->sent_.push_back({q, m});
      return t->down_.count(q) ? -1 : 0;
    };
    io.alive = [](void* ctx, int q) { return static_cast<Engine*>(ctx)->dead_.count(q) == 0; };
    state_keeper_init(&k_, sched_, kOwn, io, now);
    sent_.clear();
  }

  void Msg(uint32_t type, int32_t kind, int32_t reply) {
    StateMessage m;
    m.type = type;
    m.kind = kind;
    m.reply_id = reply;
    state_keeper_message(&k_, m);
  }
  void Reg(int32_t cls, int32_t q) { Msg(STATE_MSG_REGISTER, cls, q); }
  void Unreg(int32_t q) { Msg(STATE_MSG_UNREGISTER, 0, q); }
  void State(int32_t kind, int32_t from, uint32_t s, uint8_t v, uint8_t alarm = 0,
             uint8_t hold = 0) {
    state_keeper_message(&k_, state_message(kind, from, s, v, alarm, hold));
  }

  // (state, value) pairs sent to q since the last Take, in order.
  std::vector<std::pair<uint32_t, int>> To(int q) const {
    std::vector<std::pair<uint32_t, int>> v;
    for (const Sent& s : sent_) {
      if (s.q == q) v.push_back({s.m.state, s.m.value});
    }
    return v;
  }
  std::vector<Sent> Take() {
    std::vector<Sent> v;
    v.swap(sent_);
    return v;
  }
  std::vector<std::string> Log() const {
    std::ifstream f(dir_ + "/statekeeper.log");
    std::vector<std::string> lines;
    for (std::string l; std::getline(f, l);) lines.push_back(l);
    return lines;
  }
  bool Logged(const std::string& line) const {
    std::vector<std::string> l = Log();
    return std::find(l.begin(), l.end(), line) != l.end();
  }

  using SV = std::vector<std::pair<uint32_t, int>>;
  WeekSchedule sched_;
  StateKeeper k_;
  std::vector<Sent> sent_;
  std::set<int> down_, dead_;
  std::string dir_;
};

// ------------------------------------------------------------ registration

TEST_F(Engine, RegistrationRepliesPerClass) {
  State(STATE_KIND_RECORDER, kRec, 17, 1);  // camera 1 records (nobody listens yet)
  Take();
  struct Case {
    int32_t cls;
    int32_t q;
    std::vector<std::pair<int, SV>> want;  // per queue
  } cases[] = {
      {STATE_CLASS_SAVER, kRec, {{kRec, {{21, 0}}}}},
      {STATE_CLASS_ONLINE,
       kLive,
       {{kRec, {{21, 0}}}, {kLive, {{21, 0}, {16, 0}, {17, 1}, {18, 0}, {19, 0}}}}},
      {STATE_CLASS_CLIENT, kCli, {}},
      {STATE_CLASS_CLIENT3, kCli + 1, {}},
      {STATE_CLASS_RSEVENT, kRs, {{kRs, {{16, 0}, {17, 1}, {18, 0}, {19, 0}}}}},
      {STATE_CLASS_GENERIC, kGen, {{kRs, {{16, 0}, {17, 0}, {18, 0}, {19, 0}}}}},
      {7, 70, {}},
  };
  for (const Case& c : cases) {
    Reg(c.cls, c.q);
    std::vector<Sent> s = Take();
    size_t total = 0;
    for (const auto& [q, sv] : c.want) {
      SV got;
      for (const Sent& x : s) {
        if (x.q == q) got.push_back({x.m.state, x.m.value});
      }
      EXPECT_EQ(got, sv) << "class " << c.cls << " queue " << q;
      total += sv.size();
    }
    EXPECT_EQ(s.size(), total) << "class " << c.cls;
  }
  EXPECT_EQ(k_.rsevent_id, kRs);
  EXPECT_EQ(k_.generic_cli_id, kGen);
  EXPECT_EQ(k_.clients[0], kCli);
  EXPECT_EQ(k_.clients[1], kCli + 1);
  EXPECT_EQ(k_.clients_notify[0], kLive);
  EXPECT_TRUE(Logged("Unknown client type: 7"));
}

TEST_F(Engine, BrokenIdsAndFullListsAreRefused) {
  Reg(STATE_CLASS_SAVER, 0);
  Reg(STATE_CLASS_ONLINE, -3);
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(k_.saver_id[0], 0);
  EXPECT_TRUE(Logged("Can't connect client with broken id"));

  for (int i = 0; i < STATE_MAX_CLIENTS; ++i) {
    Reg(STATE_CLASS_SAVER, 100 + i);
    Reg(STATE_CLASS_ONLINE, 200 + i);
    Reg(STATE_CLASS_CLIENT, 300 + i);
  }
  Take();
  Reg(STATE_CLASS_SAVER, 199);
  Reg(STATE_CLASS_ONLINE, 299);
  Reg(STATE_CLASS_CLIENT, 399);
  EXPECT_TRUE(To(199).empty());
  EXPECT_TRUE(To(299).empty());
  EXPECT_TRUE(Logged("Can't attach client 199, max clients connected"));
  EXPECT_TRUE(Logged("Error: can't register video.online"));
  EXPECT_TRUE(Logged("Can't attach client 399, max clients connected"));
}

TEST_F(Engine, RegisteringTwiceKeepsOneSlot) {
  Reg(STATE_CLASS_SAVER, kRec);
  Reg(STATE_CLASS_SAVER, kRec);
  Take();
  Msg(STATE_MSG_STATE, STATE_KIND_RSEVENT, kRs);  // nothing (state 0, value 0)
  State(STATE_KIND_RSEVENT, kRs, 6, 1);
  EXPECT_EQ(To(kRec), (SV{{6, 1}}));
  EXPECT_EQ(std::count(k_.saver_id, k_.saver_id + STATE_MAX_CLIENTS, kRec), 1);
}

TEST_F(Engine, SerialAlarmSlotIsTakenWhileItsQueueLives) {
  Reg(STATE_CLASS_RSEVENT, kRs);
  Take();
  Reg(STATE_CLASS_RSEVENT, kRs + 1);
  EXPECT_TRUE(To(kRs + 1).empty());
  EXPECT_EQ(k_.rsevent_id, kRs);
  EXPECT_TRUE(Logged("RSevent already registered"));
  // The first program died without unregistering: its queue is gone.
  dead_.insert(kRs);
  Reg(STATE_CLASS_RSEVENT, kRs + 1);
  EXPECT_EQ(k_.rsevent_id, kRs + 1);
  EXPECT_EQ(To(kRs + 1).size(), 4u);

  Reg(STATE_CLASS_GENERIC, kGen);
  Reg(STATE_CLASS_GENERIC, kGen + 1);
  EXPECT_EQ(k_.generic_cli_id, kGen);
  dead_.insert(kGen);
  Reg(STATE_CLASS_GENERIC, kGen + 1);
  EXPECT_EQ(k_.generic_cli_id, kGen + 1);
}

// ------------------------------------------------------------ schedule

TEST_F(Engine, ScheduleStateAtRegistrationByMode) {
  // Monday 03:10; hour 3 of monday off unless said otherwise.
  struct Case {
    int32_t mode;
    uint32_t monday;
    int rec, live;
  } cases[] = {
      {0, 0, 0, 0},  {2, 0, 0, 1},       {1, 0, 1, 0},       {3, 0, 1, 1},
      {-1, 0, 1, 1}, {0, 1u << 3, 1, 1}, {2, 1u << 3, 1, 1}, {0, ~(1u << 3) & 0xFFFFFF, 0, 0},
  };
  for (const Case& c : cases) {
    sched_.mode = c.mode;
    sched_.day[1] = c.monday;
    Start(kMonday + 3 * kHour + 600);
    Reg(STATE_CLASS_SAVER, kRec);
    Reg(STATE_CLASS_ONLINE, kLive);
    // The live server's registration repeats state 21 to the recorder.
    EXPECT_EQ(To(kRec), (SV{{21, c.rec}, {21, c.rec}})) << "mode " << c.mode;
    EXPECT_EQ(To(kLive)[0], (std::pair<uint32_t, int>{21, c.live})) << "mode " << c.mode;
  }
}

TEST_F(Engine, ScheduleStateFollowsGopMarksOnly) {
  sched_.day[1] = 1u << 4;   // monday 04:00-04:59
  sched_.day[2] = 0xFFFFFF;  // tuesday all day
  Start(kMonday + 3 * kHour + 600);
  Reg(STATE_CLASS_SAVER, kRec);
  Reg(STATE_CLASS_ONLINE, kLive);
  Take();
  struct Step {
    time_t t;
    SV rec;  // state 21 to the recorder (live: the same in mode 0)
  } steps[] = {
      {kMonday + 3 * kHour + 3000, {}},               // same hour
      {kMonday + 4 * kHour, {{21, 1}}},               // hour changed: on
      {kMonday + 4 * kHour + 1800, {}},               //
      {kMonday + 5 * kHour, {{21, 0}}},               // off
      {kMonday + 24 * kHour + 5 * kHour, {{21, 1}}},  // tuesday 05:00: other day mask
      {kMonday + 48 * kHour + 5 * kHour, {{21, 0}}},  // wednesday 05:00
  };
  for (const Step& s : steps) {
    state_keeper_gop(&k_, static_cast<int32_t>(s.t));
    EXPECT_EQ(To(kRec), s.rec) << s.t;
    EXPECT_EQ(To(kLive), s.rec) << s.t;
    Take();
  }
}

// ------------------------------------------------------------ states

TEST_F(Engine, RecorderStateIsPassedOnOnlyWhenItChanges) {
  Reg(STATE_CLASS_ONLINE, kLive);
  Reg(STATE_CLASS_RSEVENT, kRs);
  Take();
  State(STATE_KIND_RECORDER, kRec, 18, 1);
  State(STATE_KIND_RECORDER, kRec, 18, 1);
  State(STATE_KIND_RECORDER, kRec, 18, 0);
  EXPECT_EQ(To(kLive), (SV{{18, 1}, {18, 0}}));
  EXPECT_EQ(To(kRs), (SV{{18, 1}, {18, 0}}));
  // Relayed unchanged: the recorder's own reply id stays in the message.
  EXPECT_EQ(Take()[0].m.reply_id, kRec);
}

TEST_F(Engine, GeneralEventNeedsEveryAlarmCleared) {
  Reg(STATE_CLASS_RSEVENT, kRs);
  Reg(STATE_CLASS_SAVER, kRec);
  Take();
  struct Step {
    uint32_t s;
    uint8_t v;
    SV to_rs;  // state 20 to the serial alarm program
  } steps[] = {
      {6, 1, {{20, 1}}}, {7, 1, {}}, {6, 0, {}}, {7, 0, {{20, 0}}}, {7, 1, {{20, 1}}},
  };
  for (const Step& st : steps) {
    State(STATE_KIND_RSEVENT, kRs, st.s, st.v, 1);
    EXPECT_EQ(To(kRs), st.to_rs) << st.s << "=" << int(st.v);
    Take();
  }
}

TEST_F(Engine, SerialInputsGoToRecordersOrToTheStandIn) {
  Reg(STATE_CLASS_SAVER, kRec);
  Reg(STATE_CLASS_SAVER, kRec2);
  Reg(STATE_CLASS_RSEVENT, kRs);
  Take();
  State(STATE_KIND_RSEVENT, kRs, 6, 1);
  EXPECT_EQ(To(kRec), (SV{{6, 1}}));
  EXPECT_EQ(To(kRec2), (SV{{6, 1}}));
  Take();
  State(STATE_KIND_RSEVENT, kRs, 6, 1);  // unchanged, no hold: ignored
  State(STATE_KIND_RSEVENT, kRs, 6, 0);  // value 0: recorders are not told
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(k_.state[6], 0);
  // Hold: passed on even when unchanged, not stored.
  State(STATE_KIND_RSEVENT, kRs, 7, 0, 0, 1);
  State(STATE_KIND_RSEVENT, kRs, 7, 1, 1, 1);
  EXPECT_EQ(To(kRec), (SV{{7, 1}}));
  EXPECT_EQ(k_.state[7], 0);
  EXPECT_EQ(k_.common[7], 1);
  Take();

  Reg(STATE_CLASS_GENERIC, kGen);
  Take();
  State(STATE_KIND_RSEVENT, kRs, 8, 1);
  State(STATE_KIND_RSEVENT, kRs, 8, 0);
  EXPECT_TRUE(To(kRec).empty());
  EXPECT_EQ(To(kGen), (SV{{8, 1}, {8, 0}}));
  // The stand-in fails: it is dropped and the serial alarm program gets the
  // camera states back.
  Take();
  down_.insert(kGen);
  State(STATE_KIND_RSEVENT, kRs, 9, 1);
  EXPECT_EQ(k_.generic_cli_id, 0);
  EXPECT_EQ(To(kRs), (SV{{16, 0}, {17, 0}, {18, 0}, {19, 0}}));
  Take();
  State(STATE_KIND_RSEVENT, kRs, 9, 0);
  State(STATE_KIND_RSEVENT, kRs, 9, 1);
  EXPECT_EQ(To(kRec), (SV{{9, 1}}));
}

TEST_F(Engine, KindFiveGoesToTheSerialAlarmProgramOnly) {
  Reg(STATE_CLASS_RSEVENT, kRs);
  Reg(STATE_CLASS_ONLINE, kLive);
  Take();
  State(STATE_KIND_TO_RSEVENT, kGen, 17, 1, 1);
  State(STATE_KIND_TO_RSEVENT, kGen, 17, 1, 1);
  EXPECT_EQ(To(kRs), (SV{{17, 1}, {17, 1}}));
  EXPECT_TRUE(To(kLive).empty());
  EXPECT_EQ(k_.state[17], 0);
  EXPECT_EQ(k_.common[17], 0);  // no general event
}

TEST_F(Engine, CameraStatesGoToTheStandInInsteadOfTheSerialProgram) {
  Reg(STATE_CLASS_RSEVENT, kRs);
  Reg(STATE_CLASS_GENERIC, kGen);
  Take();
  State(STATE_KIND_RECORDER, kRec, 16, 1);
  EXPECT_TRUE(To(kRs).empty());
  Unreg(kGen);
  EXPECT_EQ(To(kRs), (SV{{16, 1}, {17, 0}, {18, 0}, {19, 0}}));
}

TEST_F(Engine, ReceiverThatCannotBeReachedIsDropped) {
  Reg(STATE_CLASS_ONLINE, kLive);
  Reg(STATE_CLASS_ONLINE, kLive2);
  Take();
  down_.insert(kLive);
  State(STATE_KIND_RECORDER, kRec, 16, 1);
  State(STATE_KIND_RECORDER, kRec, 16, 0);
  EXPECT_EQ(To(kLive), (SV{{16, 1}}));
  EXPECT_EQ(To(kLive2), (SV{{16, 1}, {16, 0}}));
  EXPECT_TRUE(Logged("Client 20 is down"));
}

TEST_F(Engine, ActiveInputsRepeatAtEveryGopMark) {
  Reg(STATE_CLASS_SAVER, kRec);
  Take();
  State(STATE_KIND_RSEVENT, kRs, 6, 1, 1);     // recording input with alarm byte
  State(STATE_KIND_RSEVENT, kRs, 8, 1, 1, 1);  // general-event-only input (hold)
  Take();
  for (int i = 0; i < 2; ++i) {
    state_keeper_gop(&k_, static_cast<int32_t>(kMonday + 3 * kHour + 700 + i));
    std::vector<Sent> s = Take();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].m.state, 6u);
    EXPECT_EQ(s[0].m.kind, STATE_KIND_REPEAT);
    EXPECT_EQ(s[0].m.value, 1);
    EXPECT_EQ(s[0].m.alarm, 1);
    EXPECT_EQ(s[0].m.hold, 0);
    EXPECT_EQ(s[0].m.reply_id, kOwn);
    EXPECT_EQ(s[1].m.state, 8u);
    EXPECT_EQ(s[1].m.hold, 1);
  }
  State(STATE_KIND_RSEVENT, kRs, 6, 0, 1);
  State(STATE_KIND_RSEVENT, kRs, 8, 0, 1, 1);
  Take();
  state_keeper_gop(&k_, static_cast<int32_t>(kMonday + 3 * kHour + 800));
  EXPECT_TRUE(Take().empty());
}

TEST_F(Engine, OddMessagesAreHarmless) {
  Reg(STATE_CLASS_ONLINE, kLive);
  Take();
  Msg(9, 0, kLive);
  Msg(STATE_MSG_IGNORED, 0, kLive);
  State(STATE_KIND_RECORDER, kRec, 300, 1);
  State(STATE_KIND_RECORDER, kRec, 0xFFFFFFFF, 1);
  EXPECT_TRUE(Take().empty());
  EXPECT_TRUE(Logged("unknown action: 0x00000009"));
  EXPECT_TRUE(Logged("Bad state number 300"));
}

// ------------------------------------------------------------ leaving

TEST_F(Engine, MainRecorderLeavingClearsCameraStatesAndTheGeneralEvent) {
  Reg(STATE_CLASS_SAVER, kRec);
  Reg(STATE_CLASS_SAVER, kRec2);
  Reg(STATE_CLASS_ONLINE, kLive);
  Reg(STATE_CLASS_RSEVENT, kRs);
  State(STATE_KIND_RECORDER, kRec, 17, 1, 1);  // camera 1 on an event, general
  Take();
  Unreg(kRec2);  // not the first slot: camera states stay
  EXPECT_TRUE(Take().empty());
  Unreg(kRec);
  EXPECT_EQ(To(kLive), (SV{{16, 0}, {17, 0}, {18, 0}, {19, 0}}));
  EXPECT_EQ(To(kRs), (SV{{16, 0}, {17, 0}, {18, 0}, {19, 0}, {20, 0}}));
  EXPECT_EQ(k_.state[17], 0);
  EXPECT_EQ(k_.saver_id[0], 0);
  EXPECT_EQ(k_.saver_id[1], 0);
}

TEST_F(Engine, UnregisterEachKind) {
  Reg(STATE_CLASS_ONLINE, kLive);
  Reg(STATE_CLASS_CLIENT, kCli);
  Reg(STATE_CLASS_RSEVENT, kRs);
  Take();
  Unreg(kLive);
  Unreg(kCli);
  Unreg(kRs);
  Unreg(0);
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(k_.online_id[0], 0);
  EXPECT_EQ(k_.clients_notify[0], 0);
  EXPECT_EQ(k_.clients[0], 0);
  EXPECT_EQ(k_.rsevent_id, 0);
  State(STATE_KIND_RECORDER, kRec, 16, 1);
  EXPECT_TRUE(Take().empty());
}

TEST_F(Engine, StopTellsEveryClientOnce) {
  Reg(STATE_CLASS_SAVER, kRec);
  Reg(STATE_CLASS_SAVER, kRec2);
  Reg(STATE_CLASS_ONLINE, kLive);
  Reg(STATE_CLASS_CLIENT, kCli);
  Reg(STATE_CLASS_RSEVENT, kRs);
  Reg(STATE_CLASS_GENERIC, kGen);
  Take();
  state_keeper_stop(&k_);
  std::vector<Sent> s = Take();
  std::multiset<int> qs;
  for (const Sent& x : s) {
    EXPECT_EQ(x.m.type, STATE_MSG_UNREGISTER);
    EXPECT_EQ(x.m.reply_id, kOwn);
    qs.insert(x.q);
  }
  EXPECT_EQ(qs, (std::multiset<int>{kRec, kRec2, kLive, kCli, kRs, kGen}));
}

}  // namespace
