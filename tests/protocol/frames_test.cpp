// SPDX-License-Identifier: Apache-2.0
// The command frames' layout and the acknowledgement test, without any device.
#include "protocol/frames.h"

#include <gtest/gtest.h>

#include <vector>

namespace quorvel {
namespace {

TEST(FrameLayout, AddressFramesAreLittleEndian) {
  const auto write = AddressFrame(Write, 0x1800, 0x400);
  EXPECT_EQ(std::vector<std::uint8_t>(write.begin(), write.end()),
            (std::vector<std::uint8_t>{0x0F, 0x0B, 0x00, 0x18, 0x00, 0x00, 0x00, 0x04}));
  const auto erase = AddressFrame(Erase, 0x3C00, 3);
  EXPECT_EQ(std::vector<std::uint8_t>(erase.begin(), erase.end()),
            (std::vector<std::uint8_t>{0x0F, 0x15, 0x00, 0x3C, 0x00, 0x00, 0x03, 0x00}));
  const auto high = AddressFrame(Write, 0x9D00ABCD, 0x8000);
  EXPECT_EQ(high[2], 0xCD);
  EXPECT_EQ(high[5], 0x9D);
  EXPECT_EQ(high[7], 0x80);
}

TEST(FrameLayout, AcknowledgementNeedsMarkerAndCode) {
  const std::uint8_t ok[] = {0x0F, 21};
  const std::uint8_t wrongCode[] = {0x0F, 11};
  const std::uint8_t noMarker[] = {0x0E, 21};
  EXPECT_TRUE(IsAcknowledgement(ok, 2, Erase));
  EXPECT_FALSE(IsAcknowledgement(wrongCode, 2, Erase));
  EXPECT_FALSE(IsAcknowledgement(noMarker, 2, Erase));
  EXPECT_FALSE(IsAcknowledgement(ok, 1, Erase));
}

}  // namespace
}  // namespace quorvel
