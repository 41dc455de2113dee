#include "lib/devices/zarn3.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Zarn3, RoundTripAndRecordPlacement) {
  const int sizes[][2] = {{704, 288}, {352, 288}, {176, 144}, {8, 2}};
  for (auto& s : sizes) {
    int w = s[0], h = s[1];
    std::vector<uint8_t> planar(dv::yuv420_size(w, h)), z(planar.size()), back(planar.size());
    for (size_t i = 0; i < planar.size(); ++i) planar[i] = static_cast<uint8_t>(i * 7 + i / 13);
    ASSERT_EQ(dv::planar_to_zarn3(planar.data(), z.data(), w, h), 0);
    ASSERT_EQ(dv::zarn3_to_planar(z.data(), back.data(), w, h), 0);
    EXPECT_EQ(planar, back) << w << "x" << h;
    // Pixel (x=9, line 1) is in record 0's lower line; its Cb sample (x/2=4)
    // sits in group 1 at byte 8.
    if (w >= 16) {
      EXPECT_EQ(z[2 * w + 9], planar[w + 9]);
      EXPECT_EQ(z[16 + 8], planar[w * h + 4]);
      EXPECT_EQ(z[16 + 12], planar[w * h + (w / 2) * (h / 2) + 4]);
    }
  }
}

TEST(Zarn3, RefusesSizesTheLayoutCannotHold) {
  uint8_t buf[64] = {};
  EXPECT_EQ(dv::planar_to_zarn3(buf, buf, 12, 2), -1);
  EXPECT_EQ(dv::planar_to_zarn3(buf, buf, 8, 3), -1);
  EXPECT_EQ(dv::zarn3_to_planar(buf, buf, 0, 2), -1);
}

}  // namespace
