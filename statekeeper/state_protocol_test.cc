#include "statekeeper/state_protocol.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "statekeeper/state_client.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(StateProtocol, BodyLayoutPinsEveryFieldLittleEndian) {
  StateMessage m = state_message(-1, 0x01020304, 0x0A0B0C15, 0x77, 0x01, 0x01);
  m.reserved[0] = 1;
  StateWire w;
  state_to_wire(m, &w);
  EXPECT_EQ(w.mtype, 1);
  // Offsets counted from the type word: kind 4, reply 8, alarm 12, reserved
  // 13, state 17 (unaligned), value 21, hold 22.
  const uint8_t want[19] = {0xFF, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01, 0x01, 0x01,
                            0x00, 0x00, 0x00, 0x15, 0x0C, 0x0B, 0x0A, 0x77, 0x01};
  EXPECT_EQ(Bytes(w.body, w.body + 19), Bytes(want, want + 19));

  StateMessage back;
  ASSERT_TRUE(state_from_body(w.mtype, w.body, 19, &back));
  EXPECT_EQ(back.type, STATE_MSG_STATE);
  EXPECT_EQ(back.kind, -1);
  EXPECT_EQ(back.reply_id, 0x01020304);
  EXPECT_EQ(back.alarm, 1);
  EXPECT_EQ(back.reserved[0], 1);
  EXPECT_EQ(back.state, 0x0A0B0C15u);
  EXPECT_EQ(back.value, 0x77);
  EXPECT_EQ(back.hold, 1);
}

TEST(StateProtocol, OnlyNineteenByteBodiesAreStateMessages) {
  uint8_t body[24] = {};
  StateMessage m;
  m.state = 99;
  for (size_t n : {0u, 18u, 20u, 24u}) {
    EXPECT_FALSE(state_from_body(1, body, n, &m)) << n;
    EXPECT_EQ(m.state, 99u);
  }
  EXPECT_TRUE(state_from_body(1, body, 19, &m));
}

// The client helpers over a real (private) queue.
class StateClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("DEEPVAULT_PRIVATE_NS") == nullptr) {
      GTEST_SKIP() << "needs a private IPC namespace (run under tests/run_in_ns)";
    }
    // Id 0 (the first queue of a fresh namespace) is no client's id.
    zero_ = msgget(IPC_PRIVATE, 0600);
    q_ = msgget(IPC_PRIVATE, 0600);
    ASSERT_GE(q_, 1);
  }
  void TearDown() override {
    if (q_ >= 0) msgctl(q_, IPC_RMID, nullptr);
    if (zero_ >= 0) msgctl(zero_, IPC_RMID, nullptr);
  }
  int q_ = -1;
  int zero_ = -1;
};

TEST_F(StateClientTest, SendersAndMixedReceive) {
  ASSERT_EQ(state_register(q_, STATE_CLASS_ONLINE, 1234), 0);
  ASSERT_EQ(state_report(q_, STATE_KIND_RSEVENT, 1234, 7, 1, 1, 1), 0);
  // A hub notice (24 bytes), then an oversized message, then unregister.
  struct {
    long mtype;
    uint8_t body[64];
  } other = {0x2800, {}};
  other.body[0] = 0x42;
  ASSERT_EQ(msgsnd(q_, &other, 24, 0), 0);
  ASSERT_EQ(msgsnd(q_, &other, 40, 0), 0);
  ASSERT_EQ(state_unregister(q_, 1234), 0);

  StateMessage m;
  MixedWire raw;
  size_t n = 0;
  ASSERT_EQ(state_recv(q_, &m, &raw, &n, IPC_NOWAIT), STATE_RECV_STATE);
  EXPECT_EQ(m.type, STATE_MSG_REGISTER);
  EXPECT_EQ(m.kind, STATE_CLASS_ONLINE);
  EXPECT_EQ(m.reply_id, 1234);
  ASSERT_EQ(state_recv(q_, &m, &raw, &n, IPC_NOWAIT), STATE_RECV_STATE);
  EXPECT_EQ(m.type, STATE_MSG_STATE);
  EXPECT_EQ(m.kind, STATE_KIND_RSEVENT);
  EXPECT_EQ(m.state, 7u);
  EXPECT_EQ(m.hold, 1);
  ASSERT_EQ(state_recv(q_, &m, &raw, &n, IPC_NOWAIT), STATE_RECV_OTHER);
  EXPECT_EQ(n, 24u);
  EXPECT_EQ(raw.mtype, 0x2800);
  EXPECT_EQ(raw.body[0], 0x42);
  // The 40-byte message is dropped on the way to the next one.
  ASSERT_EQ(state_recv(q_, &m, &raw, &n, IPC_NOWAIT), STATE_RECV_STATE);
  EXPECT_EQ(m.type, STATE_MSG_UNREGISTER);
  EXPECT_EQ(state_recv(q_, &m, &raw, &n, IPC_NOWAIT), STATE_RECV_NONE);
}

TEST_F(StateClientTest, NoQueueNoSend) {
  EXPECT_EQ(state_send(0, state_message(0, 1, 16, 1)), -2);
  EXPECT_EQ(state_send(-1, state_message(0, 1, 16, 1)), -2);
  int gone = msgget(IPC_PRIVATE, 0600);
  ASSERT_GE(gone, 0);
  msgctl(gone, IPC_RMID, nullptr);
  EXPECT_EQ(state_send(gone, state_message(0, 1, 16, 1)), -1);
}

}  // namespace
