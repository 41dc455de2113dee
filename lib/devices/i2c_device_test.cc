#include "lib/devices/i2c_device.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace dv {
namespace {

class I2cTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "i2cXXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::vector<std::string> lines(const std::string& name) {
    std::ifstream in(dir_ + "/" + name);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }
  // The lines without their time stamps ("<sec>.<msec> ").
  std::vector<std::string> writes(const std::string& name) {
    std::vector<std::string> out;
    for (const std::string& l : lines(name)) {
      size_t dot = l.find('.');
      bool ok = dot != std::string::npos && dot > 0 && l.size() > dot + 5 && l[dot + 4] == ' ';
      for (size_t i = 0; ok && i < dot + 4; ++i) {
        ok = i == dot || (l[i] >= '0' && l[i] <= '9');
      }
      EXPECT_TRUE(ok) << l;
      out.push_back(ok ? l.substr(dot + 5) : l);
    }
    return out;
  }
  std::string path(const char* name) { return dir_ + "/" + name; }
  std::string dir_;
};

// What the capture daemon writes to reset one decoder, then camtune's
// brightness write of "-d 2 -b 300".
TEST_F(I2cTest, LogsOneLinePerWrite) {
  I2cDevice dev;
  ASSERT_EQ(i2c_open(&dev, path("i2c-1").c_str()), 0);
  EXPECT_TRUE(i2c_is_simulated(&dev));
  ASSERT_EQ(i2c_ioctl(&dev, I2C_SLAVE, 0xBA / 2), 0);
  const uint8_t std_pal[] = {0x28, 4}, mode[] = {0x08, 0x00}, chroma[] = {0x1A, 0x02, 0x00};
  EXPECT_EQ(i2c_write(&dev, std_pal, 2), 2);
  EXPECT_EQ(i2c_write(&dev, mode, 2), 2);
  EXPECT_EQ(i2c_write(&dev, chroma, 3), 3);
  i2c_close(&dev);
  ASSERT_EQ(i2c_open(&dev, path("i2c-1").c_str()), 0);  // appends
  ASSERT_EQ(i2c_ioctl(&dev, I2C_SLAVE, 0xB8 / 2), 0);
  const uint8_t bright[] = {0x09, 300 % 256};
  EXPECT_EQ(i2c_write(&dev, bright, 2), 2);
  i2c_close(&dev);
  EXPECT_EQ(writes("i2c-1"), (std::vector<std::string>{
                                 "write 1 0x5d 28 04",
                                 "write 1 0x5d 08 00",
                                 "write 1 0x5d 1a 02 00",
                                 "write 1 0x5c 09 2c",
                             }));
  // A device name without a bus number logs bus -1.
  ASSERT_EQ(i2c_open(&dev, path("bus").c_str()), 0);
  ASSERT_EQ(i2c_ioctl(&dev, I2C_SLAVE, 0x10), 0);
  EXPECT_EQ(i2c_write(&dev, bright, 1), 1);
  i2c_close(&dev);
  EXPECT_EQ(writes("bus"), std::vector<std::string>{"write -1 0x10 09"});
}

TEST_F(I2cTest, ReadsGiveDecoderRegisters) {
  I2cDevice dev;
  ASSERT_EQ(i2c_open(&dev, path("i2c-0").c_str()), 0);
  ASSERT_EQ(i2c_ioctl(&dev, I2C_SLAVE, 0x5C), 0);
  uint8_t id_reg = 0x80, id[2] = {};
  ASSERT_EQ(i2c_write(&dev, &id_reg, 1), 1);
  ASSERT_EQ(i2c_read(&dev, id, 2), 2);
  EXPECT_EQ(id[0], 0x51);
  EXPECT_EQ(id[1], 0x50);
  // Written registers read back; the pointer auto-increments.
  const uint8_t set[] = {0x09, 0x33, 0x44};
  ASSERT_EQ(i2c_write(&dev, set, 3), 3);
  uint8_t reg = 0x09, got[4] = {};
  ASSERT_EQ(i2c_write(&dev, &reg, 1), 1);
  ASSERT_EQ(i2c_read(&dev, got, 4), 4);
  EXPECT_EQ(got[0], 0x33);  // brightness
  EXPECT_EQ(got[1], 0x44);  // saturation
  EXPECT_EQ(got[2], 0x00);  // hue
  EXPECT_EQ(got[3], 0x80);  // contrast, power-on value
  // Another chip keeps its own registers.
  ASSERT_EQ(i2c_ioctl(&dev, I2C_SLAVE, 0x5D), 0);
  ASSERT_EQ(i2c_write(&dev, &reg, 1), 1);
  ASSERT_EQ(i2c_read(&dev, got, 1), 1);
  EXPECT_EQ(got[0], 0x80);
  i2c_close(&dev);
}

TEST_F(I2cTest, RefusesBadRequests) {
  std::ofstream(path("i2c-0.absent")) << "0x5d, 22\n";
  I2cDevice dev;
  uint8_t b[2] = {0x09, 1};
  errno = 0;
  EXPECT_EQ(i2c_write(&dev, b, 2), -1);  // not open
  EXPECT_EQ(errno, EBADF);
  ASSERT_EQ(i2c_open(&dev, path("i2c-0").c_str()), 0);
  struct Case {
    const char* what;
    unsigned long request;
    unsigned long arg;
    int err;  // 0 = succeeds
  };
  const Case ioctls[] = {
      {"8-bit address", I2C_SLAVE, 0xB8, EINVAL},
      {"unknown request", 0x0705, 1, ENOTTY},
      {"force", I2C_SLAVE_FORCE, 0x5C, 0},
      {"absent chip is selectable", I2C_SLAVE, 0x5D, 0},
  };
  for (const Case& c : ioctls) {
    errno = 0;
    EXPECT_EQ(i2c_ioctl(&dev, c.request, c.arg), c.err ? -1 : 0) << c.what;
    EXPECT_EQ(errno, c.err) << c.what;
  }
  // 0x5d and 0x22 are off the bus: no acknowledge, nothing logged.
  errno = 0;
  EXPECT_EQ(i2c_write(&dev, b, 2), -1);
  EXPECT_EQ(errno, ENXIO);
  EXPECT_EQ(i2c_read(&dev, b, 1), -1);
  ASSERT_EQ(i2c_ioctl(&dev, I2C_SLAVE, 0x22), 0);
  EXPECT_EQ(i2c_write(&dev, b, 2), -1);
  ASSERT_EQ(i2c_ioctl(&dev, I2C_SLAVE, 0x5C), 0);
  EXPECT_EQ(i2c_write(&dev, b, 2), 2);
  i2c_close(&dev);
  // "*" takes every chip off; a fresh open with no slave selected fails too.
  std::ofstream(path("i2c-0.absent")) << "*\n";
  ASSERT_EQ(i2c_open(&dev, path("i2c-0").c_str()), 0);
  errno = 0;
  EXPECT_EQ(i2c_write(&dev, b, 2), -1);
  EXPECT_EQ(errno, ENXIO);
  ASSERT_EQ(i2c_ioctl(&dev, I2C_SLAVE, 0x5C), 0);
  EXPECT_EQ(i2c_write(&dev, b, 2), -1);
  i2c_close(&dev);
  EXPECT_EQ(writes("i2c-0"), std::vector<std::string>{"write 0 0x5c 09 01"});
  // A folder at the device path: the bus is not there.
  errno = 0;
  EXPECT_EQ(i2c_open(&dev, dir_.c_str()), -1);
  EXPECT_EQ(errno, EISDIR);
}

TEST_F(I2cTest, CharacterDeviceIsTheRealInterface) {
  I2cDevice dev;
  ASSERT_EQ(i2c_open(&dev, "/dev/null"), 0);
  EXPECT_FALSE(i2c_is_simulated(&dev));
  errno = 0;
  EXPECT_EQ(i2c_ioctl(&dev, I2C_SLAVE, 0x5C), -1);
  EXPECT_EQ(errno, ENOTTY);
  i2c_close(&dev);
}

}  // namespace
}  // namespace dv
