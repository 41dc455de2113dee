// Transform co-processor interface: the residual and output group packing
// (byte order of values, sign-mask bit order), the simulator backend and the
// real backend's open/close on a character device.
#include "lib/devices/dct_device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace dv {
namespace {

TEST(DctPackingTest, InputGroupsRoundTripWithSignInBit31First) {
  int16_t values[384], back[384];
  std::mt19937 rng(5);
  for (int i = 0; i < 384; ++i)
    values[i] = static_cast<int16_t>(static_cast<int>(rng() % 511) - 255);
  values[0] = -1;     // group 0, first value: bit 31 of the mask
  values[1] = 255;    // second value positive: bit 30 clear
  values[31] = -256;  // last of group 0: bit 0
  uint8_t data[kDctGroups * kDctGroupBytes];
  dct_pack_input(values, data);
  uint32_t mask0 = 0;
  std::memcpy(&mask0, data, 4);
  EXPECT_TRUE(mask0 & 0x80000000u);
  EXPECT_FALSE(mask0 & 0x40000000u);
  EXPECT_TRUE(mask0 & 1u);
  EXPECT_EQ(data[4], 0xFF);   // low byte of -1
  EXPECT_EQ(data[5], 0xFF);   // low byte of 255
  EXPECT_EQ(data[35], 0x00);  // low byte of -256
  dct_unpack_input(data, back);
  EXPECT_EQ(0, std::memcmp(values, back, sizeof values));
}

TEST(DctPackingTest, OutputGroupsRoundTripWithSignInBit0First) {
  int16_t values[384], back[384];
  for (int i = 0; i < 384; ++i) values[i] = static_cast<int16_t>((i * 37) % 512 - 256);
  values[32] = -5;  // group 1, first value
  values[33] = 7;
  uint8_t data[kDctGroups * kDctGroupBytes];
  dct_pack_output(values, data);
  uint32_t mask1 = 0;
  std::memcpy(&mask1, data + kDctGroupBytes + 32, 4);
  EXPECT_TRUE(mask1 & 1u);
  EXPECT_FALSE(mask1 & 2u);
  EXPECT_EQ(data[kDctGroupBytes], 0xFB);  // low byte of -5
  dct_unpack_output(data, back);
  EXPECT_EQ(0, std::memcmp(values, back, sizeof values));
}

TEST(DctWordTest, NativeOrderWords) {
  uint8_t work[kDctWorkSize] = {};
  dct_put_word(work, kDctControlOffset, 4u | kDctControlInter);
  EXPECT_EQ(dct_get_word(work, kDctControlOffset), 0x80000024u);
  uint32_t raw;
  std::memcpy(&raw, work + kDctControlOffset, 4);
  EXPECT_EQ(raw, 0x80000024u);
}

uint8_t* g_seen = nullptr;
void record(uint8_t* work) {
  g_seen = work;
  dct_put_word(work, kDctIndicatorOffset, 42);
}

TEST(DctDeviceTest, SimulatorRunsTheEmulationAtSubmit) {
  DctDevice dev;
  dct_device_open_simulated(&dev, record);
  uint8_t work[kDctWorkSize] = {};
  g_seen = nullptr;
  int t1 = dct_device_submit(&dev, work);
  EXPECT_EQ(g_seen, work);
  EXPECT_EQ(dct_get_word(work, kDctIndicatorOffset), 42u);
  int t2 = dct_device_submit(&dev, work);
  EXPECT_NE(t1, t2);
  dct_device_wait(&dev, t1);
  dct_device_close(&dev);
  EXPECT_EQ(dev.emulator, nullptr);
}

TEST(DctDeviceTest, RealBackendOpensCharacterDeviceAndReportsMissingOne) {
  DctDevice dev;
  EXPECT_EQ(dct_device_open(&dev, "/nonexistent/dctidct"), -1);
  EXPECT_EQ(dev.fd, -1);
  // /dev/null stands in for a character device: the requests fail there,
  // and their results are not examined.
  ASSERT_EQ(dct_device_open(&dev, "/dev/null"), 0);
  EXPECT_GE(dev.fd, 0);
  uint8_t work[kDctWorkSize] = {};
  int ticket = dct_device_submit(&dev, work);
  dct_device_wait(&dev, ticket);
  dct_device_close(&dev);
  EXPECT_EQ(dev.fd, -1);
  dct_device_close(&dev);  // closing twice is harmless
}

}  // namespace
}  // namespace dv
