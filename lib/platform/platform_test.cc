#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "lib/platform/exec.h"
#include "lib/platform/ipc.h"
#include "lib/platform/le.h"
#include "lib/platform/log.h"
#include "lib/platform/signals.h"
#include "lib/platform/sysroot.h"

namespace {

TEST(LittleEndian, RoundTripAndByteOrder) {
  uint8_t b[4];
  dv::put_u32le(b, 0x11223344u);
  EXPECT_EQ(b[0], 0x44);
  EXPECT_EQ(b[3], 0x11);
  EXPECT_EQ(dv::get_u32le(b), 0x11223344u);
  dv::put_i32le(b, -2);
  EXPECT_EQ(dv::get_i32le(b), -2);
  dv::put_u16le(b, 0xBEEF);
  EXPECT_EQ(b[0], 0xEF);
  EXPECT_EQ(dv::get_i16le(b), static_cast<int16_t>(0xBEEF));
}

TEST(LittleEndian, ReaderNeverReadsPastTheEnd) {
  const uint8_t data[5] = {1, 0, 0, 0, 9};
  dv::ByteReader r{data, sizeof data};
  uint32_t v;
  uint16_t w;
  ASSERT_TRUE(r.u32(&v));
  EXPECT_EQ(v, 1u);
  EXPECT_FALSE(r.u16(&w));
  EXPECT_EQ(r.pos, 4u);
  EXPECT_FALSE(r.skip(2));
  uint8_t c;
  EXPECT_TRUE(r.u8(&c));
  EXPECT_EQ(c, 9);
  EXPECT_FALSE(r.u8(&c));
}

TEST(SysRoot, PrefixesFixedPathsButNotTheProcessTable) {
  // sys_root() is read once per process; this test binary runs with the root
  // set by the harness below or unset, so check both forms through the rule.
  const std::string& root = dv::sys_root();
  struct Case {
    const char* in;
    bool prefixed;
  } cases[] = {
      {"/etc/streams.ini", true}, {"/proc/partitions", true},
      {"/proc/uptime", true},     {"/proc/self/exe", false},
      {"/proc/123/stat", false},  {"/proc/12x", true},
      {"relative/file", false},   {"", false},
  };
  for (const Case& c : cases) {
    std::string want = (c.prefixed ? root : std::string()) + c.in;
    EXPECT_EQ(dv::sys_path(c.in), want) << c.in;
  }
}

TEST(Exec, QuotedDataNeverBecomesShellSyntax) {
  const char* nasty[] = {"plain",         "it's",     "$(touch /tmp/x)", "a b\tc",
                         "`id`;rm -rf /", "'\"'\"\\", "new\nline",       "-n"};
  for (const char* s : nasty) {
    std::string out;
    ASSERT_EQ(dv::run_capture("printf %s " + dv::shell_quote(s), &out), 0) << s;
    EXPECT_EQ(out, s);
  }
}

TEST(Exec, RunArgvReportsExitStatus) {
  EXPECT_EQ(dv::run_argv({"sh", "-c", "exit 3"}), 3);
  EXPECT_EQ(dv::run_argv({"/nonexistent/program"}), 127);
  EXPECT_EQ(dv::run_argv({}), -1);
  EXPECT_EQ(dv::run_shell("exit 7"), 7);
}

TEST(Log, DirectoryModeWritesOneLinePerMessage) {
  char tmpl[] = "/tmp/dvlogXXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  setenv("DEEPVAULT_LOG", ("dir:" + dir).c_str(), 1);
  dv::log_open("logtest");
  dv::log_msg("BCAST %s\n", "x");
  dv::log_msg("no newline %d", 5);
  dv::log_msg("two\n\n");
  dv::log_close();
  unsetenv("DEEPVAULT_LOG");
  std::ifstream f(dir + "/logtest.log");
  std::stringstream ss;
  ss << f.rdbuf();
  EXPECT_EQ(ss.str(), "BCAST x\nno newline 5\ntwo\n");
  std::remove((dir + "/logtest.log").c_str());
  rmdir(dir.c_str());
}

volatile sig_atomic_t g_stop = 0;

TEST(Ipc, ReceiveRetriesAfterSignalsUntilStopIsRaised) {
  if (std::getenv("DEEPVAULT_PRIVATE_NS") == nullptr) {
    GTEST_SKIP() << "needs a private IPC namespace (run under tests/run_in_ns)";
  }
  dv::OwnedQueue q;
  ASSERT_GE(q.create(IPC_PRIVATE), 0);
  static volatile sig_atomic_t alarm_seen = 0;
  ASSERT_EQ(dv::on_signal(SIGALRM, &alarm_seen), 0);
  struct {
    long type;
    char body[8];
  } m{};
  // A signal without the stop flag: the receive goes on and gets the message
  // sent by the child after the signal.
  pid_t child = fork();
  if (child == 0) {
    usleep(100000);
    kill(getppid(), SIGALRM);
    usleep(100000);
    struct {
      long type;
      char body[8];
    } s{5, "hello"};
    msgsnd(q.id(), &s, sizeof s.body, 0);
    _exit(0);
  }
  ssize_t n = dv::msg_recv(q.id(), &m, sizeof m.body, 0, 0, {&g_stop});
  EXPECT_EQ(n, 8);
  EXPECT_EQ(alarm_seen, 1);
  EXPECT_STREQ(m.body, "hello");
  waitpid(child, nullptr, 0);
  // With the stop flag raised by the signal, the receive gives up with EINTR.
  ASSERT_EQ(dv::on_signal(SIGALRM, &g_stop), 0);
  alarm(1);
  n = dv::msg_recv(q.id(), &m, sizeof m.body, 0, 0, {&g_stop});
  EXPECT_EQ(n, -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_EQ(g_stop, 1);
  dv::default_signal(SIGALRM);
}

}  // namespace
