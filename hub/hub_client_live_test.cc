// The client helpers against a running memhub. These tests only run when a
// system test starts them inside a private IPC namespace with a hub running
// (tests/test_hub_client.py sets HUB_LIVE=1); anywhere else they skip and
// touch no IPC object.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hub/arena_tracker.h"
#include "hub/digest_reader.h"
#include "hub/hub_client.h"
#include "hub/hub_protocol.h"
#include "lib/platform/signals.h"

namespace {

const char* g_argv0 = "hub_client_live_test";

bool live() {
  const char* ns = std::getenv("DEEPVAULT_PRIVATE_NS");
  const char* on = std::getenv("HUB_LIVE");
  return ns != nullptr && std::strcmp(ns, "1") == 0 && on != nullptr && std::strcmp(on, "1") == 0;
}

#define REQUIRE_LIVE()                                                \
  do {                                                                \
    if (!live()) GTEST_SKIP() << "needs a running hub (system test)"; \
  } while (0)

void Open(HubClient* c, bool read_only) {
  ASSERT_EQ(hub_open(c), 0) << std::strerror(errno);
  ASSERT_GE(hub_create_reply_queue(c, g_argv0), 0) << std::strerror(errno);
  ASSERT_EQ(hub_request_shm(c, read_only), HUB_OK) << std::strerror(errno);
}

key_t QueueKey(int qid) {
  struct msqid_ds ds;
  if (msgctl(qid, IPC_STAT, &ds) != 0) return -1;
  return ds.msg_perm.__key;
}

TEST(HubClientLive, HandshakeAndDigest) {
  REQUIRE_LIVE();
  HubClient c;
  Open(&c, true);
  EXPECT_EQ(QueueKey(c.reply_qid), ftok(hub_program_path(g_argv0).c_str(), getpid()));
  EXPECT_EQ(c.shm_size, HUB_MIN_MEMSIZE);
  char text[256];
  ASSERT_EQ(hub_request_config_file(&c, text, sizeof text), HUB_OK);
  EXPECT_STREQ(text, "/etc/streams.ini");
  ASSERT_EQ(hub_request_prefix(&c, text, 8), HUB_OK);
  EXPECT_STREQ(text, "/mnt/di");  // cut to the caller's buffer
  int32_t off = -1, len = -1;
  ASSERT_EQ(hub_request_config(&c, &off, &len), HUB_OK);
  EXPECT_EQ(off, 0);
  const uint8_t* d = hub_digest_ptr(&c, off, len);
  ASSERT_NE(d, nullptr);
  DigestReader r;
  ASSERT_EQ(digest_reader_open(&r, d, static_cast<size_t>(len)), 0);
  EXPECT_STREQ(r.device_id, "Test box");
  std::vector<int> numbers;
  DigestStream s;
  while (digest_next_stream(&r, &s) == 1) numbers.push_back(s.number);
  EXPECT_EQ(numbers, (std::vector<int>{0, 1, 16, 128, 129, 130, 255}));
  EXPECT_STREQ(digest_trailer_text(&r, HUB_TAG_CODEPAGE), "utf-8");
  int qid = c.reply_qid;
  hub_close(&c);
  EXPECT_EQ(QueueKey(qid), -1);  // removed
}

TEST(HubClientLive, KeyClashFallsBackToAQueueOfItsOwn) {
  REQUIRE_LIVE();
  key_t key = ftok(hub_program_path(g_argv0).c_str(), getpid());
  ASSERT_NE(key, -1);
  int squatter = msgget(key, IPC_CREAT | IPC_EXCL | 0777);
  ASSERT_GE(squatter, 0);
  HubClient c;
  ASSERT_EQ(hub_open(&c), 0);
  EXPECT_EQ(hub_create_reply_queue_key(&c, key), -1);  // no fallback with an explicit key
  EXPECT_EQ(errno, EEXIST);
  ASSERT_GE(hub_create_reply_queue(&c, g_argv0), 0);
  EXPECT_NE(c.reply_qid, squatter);
  ASSERT_EQ(hub_request_shm(&c, true), HUB_OK);  // and it works
  hub_close(&c);
  EXPECT_EQ(QueueKey(squatter), key);  // somebody else's queue is left alone
  msgctl(squatter, IPC_RMID, nullptr);
}

TEST(HubClientLive, ProduceAndConsume) {
  REQUIRE_LIVE();
  HubClient prod, cons;
  Open(&prod, false);
  Open(&cons, true);
  ASSERT_EQ(hub_connect(&cons), HUB_OK);
  ASSERT_EQ(hub_publish_text(&prod, 255, "Camera 1 on", true), HUB_OK);
  HubMessage g;
  ASSERT_EQ(hub_request_mem(&prod, 0, HUB_VIDEO_REQUEST, &g), HUB_OK);
  EXPECT_TRUE(g.type & SHM_MSG_FLAG_KEY);
  uint8_t* dst = hub_grant_ptr(&prod, g, HUB_VIDEO_REQUEST);
  ASSERT_NE(dst, nullptr);
  EXPECT_EQ(hub_grant_ptr(&prod, g, prod.shm_size), nullptr);  // beyond the segment
  std::memset(dst, 0x5A, 1000);
  g.size = 1000;
  g.frame_no = 0;
  g.time_code = 40;
  g.level = 12;
  ASSERT_EQ(hub_ack_mem(&prod, g), HUB_OK);

  HubMessage n;
  ASSERT_EQ(hub_receive(&cons, &n, true), 1);
  EXPECT_EQ(hub_stream(n.type), 255);
  EXPECT_TRUE(n.type & SHM_MSG_FLAG_EVENT);
  EXPECT_TRUE(n.type & SHM_MSG_FLAG_GOP);
  const uint8_t* p = hub_payload(&cons, n);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(p), "Camera 1 on");
  ASSERT_EQ(hub_receive(&cons, &n, true), 1);
  EXPECT_EQ(hub_stream(n.type), 0);
  EXPECT_EQ(n.size, 1000);
  EXPECT_EQ(n.level, 12);
  p = hub_payload(&cons, n);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], 0x5A);
  EXPECT_EQ(p[999], 0x5A);
  EXPECT_EQ(hub_receive(&cons, &n, false), 0);  // nothing more
}

TEST(HubClientLive, TrackerFollowsTheWriterAcrossAWrap) {
  REQUIRE_LIVE();
  HubClient prod, cons;
  Open(&prod, false);
  Open(&cons, true);
  ASSERT_EQ(hub_connect(&cons), HUB_OK);
  ArenaTracker t;
  arena_tracker_init(&t, cons.shm_size);
  const int32_t mib = 1 << 20;
  std::vector<uint64_t> stamps;
  for (int i = 0; i < 20; ++i) {  // 20 MiB through a 16 MiB segment
    HubMessage g;
    ASSERT_EQ(hub_request_mem(&prod, 255, mib, &g), HUB_OK);
    g.size = mib;
    ASSERT_EQ(hub_ack_mem(&prod, g), HUB_OK);
    HubMessage n;
    ASSERT_EQ(hub_receive(&cons, &n, true), 1);
    uint64_t st = arena_observe(&t, n);
    ASSERT_NE(st, kArenaNoStamp);
    stamps.push_back(st);
  }
  EXPECT_EQ(t.lap, 1u);
  EXPECT_FALSE(arena_intact(&t, stamps[0]));  // written over by the last frames
  EXPECT_TRUE(arena_intact(&t, stamps[19]));
  EXPECT_TRUE(arena_intact(&t, stamps[10]));
}

dv::SigFlag g_stop = 0;
dv::SigFlag g_other = 0;

TEST(HubClientLive, InterruptedReceiveGoesOnUntilTheStopFlag) {
  REQUIRE_LIVE();
  HubClient cons;
  Open(&cons, true);
  cons.stop.a = &g_stop;
  ASSERT_EQ(dv::on_signal(SIGUSR1, &g_other), 0);
  ASSERT_EQ(dv::on_signal(SIGALRM, &g_stop), 0);
  // SIGUSR1 after 100 ms (not a stop), then SIGALRM after 300 ms (stop).
  pid_t self = getpid();
  pid_t kid = fork();
  if (kid == 0) {
    usleep(100000);
    kill(self, SIGUSR1);
    usleep(200000);
    kill(self, SIGALRM);
    _exit(0);
  }
  auto t0 = std::chrono::steady_clock::now();
  HubMessage n;
  int r = hub_receive(&cons, &n, true);
  int e = errno;
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(r, -1);
  EXPECT_EQ(e, EINTR);
  EXPECT_TRUE(g_other);
  EXPECT_GE(waited, 0.25);  // the first interruption was retried
  int status = 0;
  waitpid(kid, &status, 0);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc > 0) g_argv0 = argv[0];
  return RUN_ALL_TESTS();
}
