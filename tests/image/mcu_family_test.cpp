#include "image/mcu_family.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(McuFamilyName, ParsesCodesNamesAndSpellingsUsersType) {
  EXPECT_EQ(ParseMcuFamily("37"), 37);
  EXPECT_EQ(ParseMcuFamily("STM32F4XX"), 37);
  EXPECT_EQ(ParseMcuFamily("stm32f4xx"), 37);
  EXPECT_EQ(ParseMcuFamily("TIVA C Series"), 38);
  EXPECT_EQ(ParseMcuFamily("tiva_c_series"), 38);
  EXPECT_EQ(ParseMcuFamily("TIVA_C"), 38);
  EXPECT_EQ(ParseMcuFamily("Stellaris M3"), 31);
  EXPECT_EQ(ParseMcuFamily("dspic33"), 11);
}

TEST(McuFamilyName, RefusesUnknownFamiliesAndCodes) {
  EXPECT_FALSE(ParseMcuFamily(""));
  EXPECT_FALSE(ParseMcuFamily("5"));
  EXPECT_FALSE(ParseMcuFamily("300"));
  EXPECT_FALSE(ParseMcuFamily("STM32F7XX"));
  EXPECT_FALSE(ParseMcuFamily("37x"));
}

}  // namespace
}  // namespace quorvel
