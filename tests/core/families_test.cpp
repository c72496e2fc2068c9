// SPDX-License-Identifier: Apache-2.0
// Looking families up by what users and bootloaders call them, and the facts
// other code derives from a row.
#include "core/families.h"

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
  EXPECT_FALSE(ParseMcuFamily("TIVA"));
}

TEST(McuFamilyName, EveryKeywordAndNameLeadsBackToItsRow) {
  for (const FamilyFacts& f : kFamilyTable) {
    EXPECT_EQ(ParseMcuFamily(f.keyword), f.code) << f.keyword;
    EXPECT_EQ(ParseMcuFamily(f.name), f.code) << f.name;
    EXPECT_EQ(McuFamilyName(f.code), f.name);
  }
  EXPECT_EQ(McuFamilyName(0), "");
}

// The first keyword in table order that occurs anywhere in the argument wins.
TEST(FamilyInArgument, FindsTheFirstKeywordAnywhereInTheArgument) {
  const auto code = [](std::string_view argument) {
    const FamilyFacts* f = FamilyInArgument(argument);
    return f != nullptr ? int{f->code} : -1;
  };
  EXPECT_EQ(code("P16"), mcu::PIC16);
  EXPECT_EQ(code("ARM_P16"), mcu::PIC16);
  EXPECT_EQ(code("x_P33_y"), mcu::dsPIC33);
  EXPECT_EQ(code("STELLARIS_M4"), mcu::STELLARIS_M4);
  EXPECT_EQ(code("STELLARIS"), mcu::STELLARIS);
  EXPECT_EQ(code("TIVA_C"), mcu::TIVA_C);
  EXPECT_EQ(code("STM32F4XX"), -1);
  EXPECT_EQ(code("p16"), -1);  // keywords are matched as written
}

TEST(RecordValueAlignment, WordsAlignToTheBootloadersNativeWidth) {
  EXPECT_EQ(RecordValueAlignment(mcu::PIC18, 4), 1u);
  EXPECT_EQ(RecordValueAlignment(mcu::PIC24, 2), 2u);
  EXPECT_EQ(RecordValueAlignment(mcu::PIC24, 4), 2u);
  EXPECT_EQ(RecordValueAlignment(mcu::PIC32, 2), 2u);
  EXPECT_EQ(RecordValueAlignment(mcu::STM32F4XX, 4), 4u);
  EXPECT_EQ(RecordValueAlignment(0, 4), 1u);
}

}  // namespace
}  // namespace quorvel
