#include "lib/devices/capture_device.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lib/devices/capture_sim.h"

namespace dv {
namespace {

class CaptureDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "capdevXXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string dir_;
};

TEST(CaptureResultWord, SplitsTheFields) {
  const int word = 3 | (2 << 8) | CAP_FRAME_NO_SIGNAL | (40 << 16);
  EXPECT_EQ(cap_frame_index(word), 3);
  EXPECT_EQ(cap_frame_camera(word), 2);
  EXPECT_TRUE(cap_frame_no_signal(word));
  EXPECT_EQ(cap_frame_delta(word), 40);
  EXPECT_EQ(cap_slot_arg(3, 1), 0x301u);
  EXPECT_EQ(cap_slot_off_arg(2), 0x80000202u);
}

// A character device is driven as the real driver: /dev/null answers every
// request with ENOTTY and cannot be mapped.
TEST_F(CaptureDeviceTest, CharacterDeviceIsTheRealDriver) {
  CaptureDevice dev;
  ASSERT_EQ(capture_open(&dev, "/dev/null"), 0);
  EXPECT_FALSE(capture_is_simulated(&dev));
  int size = 0;
  errno = 0;
  EXPECT_EQ(capture_ioctl(&dev, CAP_GET_BUFSIZE, &size), -1);
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_EQ(capture_ioctl(&dev, CAP_SET_MAIN, static_cast<int>(CAP_NONE)), -1);
  EXPECT_EQ(capture_mmap(&dev, 4096), nullptr);
  capture_close(&dev);
  EXPECT_FALSE(capture_is_open(&dev));
}

TEST_F(CaptureDeviceTest, OtherPathsAreTheSimulator) {
  CaptureDevice dev;
  // No file: the simulator with its defaults.
  std::string path = dir_ + "/tvp5150";
  ASSERT_EQ(capture_open(&dev, path.c_str()), 0);
  EXPECT_TRUE(capture_is_simulated(&dev));
  int size = 0;
  ASSERT_EQ(capture_ioctl(&dev, CAP_GET_BUFSIZE, &size), 0);
  EXPECT_EQ(size, kCapSimBuffers * 704 * 288 * 3 / 2);
  EXPECT_EQ(capture_ioctl(&dev, CAP_GET_WIDTH, 0), 704);
  // CAP_NONE passes through the int form unchanged.
  EXPECT_EQ(capture_ioctl(&dev, CAP_SET_MAIN, static_cast<int>(CAP_NONE)), 0);
  EXPECT_EQ(capture_ioctl(&dev, CAP_SET_SLOT, static_cast<int>(cap_slot_off_arg(3))), 0);
  errno = 0;
  EXPECT_EQ(capture_ioctl(&dev, CAP_GET_LATEST, 7), -1);
  EXPECT_EQ(errno, EINVAL);
  // The area: at most the reported size; unmapping checks what it gets.
  errno = 0;
  EXPECT_EQ(capture_mmap(&dev, static_cast<size_t>(size) + 1), nullptr);
  EXPECT_EQ(errno, EINVAL);
  void* area = capture_mmap(&dev, static_cast<size_t>(size));
  ASSERT_NE(area, nullptr);
  int dummy;
  EXPECT_EQ(capture_munmap(&dev, &dummy, static_cast<size_t>(size)), -1);
  EXPECT_EQ(capture_munmap(&dev, area, static_cast<size_t>(size)), 0);
  capture_close(&dev);
  capture_close(&dev);  // twice is fine
  errno = 0;
  EXPECT_EQ(capture_ioctl(&dev, CAP_START, 0), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(capture_mmap(&dev, 4096), nullptr);
  // A folder at the device path cannot be opened.
  errno = 0;
  EXPECT_EQ(capture_open(&dev, dir_.c_str()), -1);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_FALSE(capture_is_open(&dev));
}

// The whole capture loop through the device interface, real clock: start,
// take pictures, read statistics, stop. (No timing is asserted.)
TEST_F(CaptureDeviceTest, CaptureLoopThroughTheInterface) {
  std::string path = dir_ + "/tvp5150";
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs("# two cameras, one unplugged\ncam1.signal=0\n", f);
  std::fclose(f);
  CaptureDevice dev;
  ASSERT_EQ(capture_open(&dev, path.c_str()), 0);
  int size = 0;
  ASSERT_EQ(capture_ioctl(&dev, CAP_GET_BUFSIZE, &size), 0);
  auto* area = static_cast<uint8_t*>(capture_mmap(&dev, static_cast<size_t>(size)));
  ASSERT_NE(area, nullptr);
  ASSERT_EQ(capture_ioctl(&dev, CAP_SET_PAL, 0), 0);
  for (int slot = 0; slot < 4; ++slot) {
    ASSERT_EQ(capture_ioctl(&dev, CAP_SET_SLOT, static_cast<int>(cap_slot_arg(slot & 1, slot))), 0);
  }
  ASSERT_EQ(capture_ioctl(&dev, CAP_START, 0), 0);
  struct stat st;
  EXPECT_EQ(stat((path + ".state").c_str(), &st), 0);
  int seen[2] = {0, 0};
  for (int i = 0; i < 4; ++i) {
    int word = capture_ioctl(&dev, CAP_GET_FRAME, 0);
    ASSERT_GE(word, 0);
    int cam = cap_frame_camera(word);
    ASSERT_LT(cam, 2);
    ++seen[cam];
    EXPECT_EQ(cap_frame_no_signal(word), cam == 1);
    const uint8_t* pic = area + cap_frame_index(word) * 704 * 288 * 3 / 2;
    EXPECT_EQ(pic[0] == 16, cam == 1);  // black without signal
  }
  EXPECT_EQ(seen[0], 2);
  EXPECT_EQ(seen[1], 2);
  int stats[CAP_STATS_COUNT];
  ASSERT_EQ(capture_ioctl(&dev, CAP_GET_STATS, stats), 0);
  EXPECT_EQ(stats[CAP_STAT_FRAME_NUMBER], 4);
  EXPECT_EQ(stats[CAP_STAT_RESET], 1);
  ASSERT_EQ(capture_ioctl(&dev, CAP_STOP, 0), 0);
  EXPECT_EQ(capture_munmap(&dev, area, static_cast<size_t>(size)), 0);
  capture_close(&dev);
  EXPECT_NE(stat((path + ".state").c_str(), &st), 0);  // withdrawn at close
}

// Two real processes: a child programs the driver (camera 1 as main camera,
// NTSC) the way the capture daemon does; the parent, like the snapshot
// daemon, only asks for the newest pictures.
TEST_F(CaptureDeviceTest, AnotherProcessProgramsTheDriver) {
  const std::string path = dir_ + "/tvp5150";
  for (bool killed : {true, false}) {
    int ready[2], go[2];  // child -> parent, parent -> child
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      CaptureDevice dev;
      if (capture_open(&dev, path.c_str()) != 0) _exit(1);
      capture_ioctl(&dev, CAP_SET_NTSC, 0);
      capture_ioctl(&dev, CAP_SET_MAIN, 1);
      capture_ioctl(&dev, CAP_START, 0);
      char c = 'r';
      if (write(ready[1], &c, 1) != 1) _exit(1);
      if (read(go[0], &c, 1) != 1) _exit(1);  // wait for the parent
      capture_ioctl(&dev, CAP_STOP, 0);
      capture_close(&dev);
      _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    CaptureDevice dev;
    ASSERT_EQ(capture_open(&dev, path.c_str()), 0);
    EXPECT_EQ(capture_ioctl(&dev, CAP_GET_HEIGHT, 0), 240);
    EXPECT_EQ(capture_ioctl(&dev, CAP_GET_LATEST, 0), CAP_LATEST_NOT_CAPTURED);
    int idx = capture_ioctl(&dev, CAP_GET_LATEST, 1);
    EXPECT_GE(idx, 0);
    EXPECT_LT(idx, kCapSimBuffers);
    if (killed) {
      kill(child, SIGKILL);  // leaves its state file behind
    } else {
      ASSERT_EQ(write(go[1], "q", 1), 1);
    }
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WIFSIGNALED(status), killed);
    struct stat st;
    EXPECT_EQ(stat((path + ".state").c_str(), &st) == 0, killed);
    // Either way the programming is gone: every camera runs free again.
    EXPECT_EQ(capture_ioctl(&dev, CAP_GET_HEIGHT, 0), 288);
    EXPECT_GE(capture_ioctl(&dev, CAP_GET_LATEST, 0), 0);
    capture_close(&dev);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
  }
}

}  // namespace
}  // namespace dv
