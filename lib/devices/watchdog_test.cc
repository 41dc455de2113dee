#include "lib/devices/watchdog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The requests of the simulator log, without their time stamps.
std::vector<std::string> Requests(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  std::string line;
  while (std::getline(in, line)) {
    size_t sp = line.find(' ');
    EXPECT_NE(sp, std::string::npos) << line;
    // "<sec>.<msec>": digits, a dot, three digits.
    std::string stamp = line.substr(0, sp);
    size_t dot = stamp.find('.');
    EXPECT_NE(dot, std::string::npos) << line;
    EXPECT_EQ(stamp.size() - dot, 4u) << line;
    out.push_back(line.substr(sp + 1));
  }
  return out;
}

class WatchdogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/watchdog_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/rtc";
  }
  void TearDown() override {
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_, path_;
};

TEST_F(WatchdogTest, SimulatorLogsEveryRequestInOrder) {
  dv::Watchdog wd;
  ASSERT_EQ(dv::watchdog_open(&wd, path_.c_str()), 0);
  EXPECT_TRUE(wd.simulated);
  EXPECT_EQ(dv::watchdog_set_timeout(&wd, 120), 0);
  EXPECT_EQ(dv::watchdog_set_options(&wd, dv::kWatchdogEnable), 0);
  EXPECT_EQ(dv::watchdog_kick(&wd), 0);
  EXPECT_EQ(dv::watchdog_kick(&wd), 0);
  dv::watchdog_close(&wd);
  EXPECT_FALSE(dv::watchdog_is_open(&wd));
  dv::watchdog_close(&wd);  // twice is harmless
  EXPECT_EQ(Requests(path_), (std::vector<std::string>{"open", "settimeout 120", "setoptions 2",
                                                       "keepalive", "keepalive", "close"}));
}

TEST_F(WatchdogTest, SimulatorAppends) {
  for (int i = 0; i < 2; ++i) {
    dv::Watchdog wd;
    ASSERT_EQ(dv::watchdog_open(&wd, path_.c_str()), 0);
    EXPECT_EQ(dv::watchdog_set_options(&wd, dv::kWatchdogDisable), 0);
    dv::watchdog_close(&wd);
  }
  EXPECT_EQ(Requests(path_), (std::vector<std::string>{"open", "setoptions 1", "close", "open",
                                                       "setoptions 1", "close"}));
}

TEST_F(WatchdogTest, RequestsOnAClosedRecordFail) {
  dv::Watchdog wd;
  EXPECT_EQ(dv::watchdog_set_timeout(&wd, 1), -1);
  EXPECT_EQ(dv::watchdog_set_options(&wd, dv::kWatchdogEnable), -1);
  EXPECT_EQ(dv::watchdog_kick(&wd), -1);
}

TEST_F(WatchdogTest, UnopenablePathFails) {
  // A folder at the device path cannot be opened for writing.
  ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
  dv::Watchdog wd;
  EXPECT_EQ(dv::watchdog_open(&wd, path_.c_str()), -1);
  EXPECT_FALSE(dv::watchdog_is_open(&wd));
  rmdir(path_.c_str());
}

}  // namespace
