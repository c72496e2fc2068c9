// SPDX-License-Identifier: Apache-2.0
// The STM32F2xx/F4xx sector map as the geometry reads it, and the conversions between image offsets and command addresses.
#include "upload/geometry.h"

#include <gtest/gtest.h>

#include "core/families.h"
#include "upload/flash_area.h"

namespace quorvel {
namespace {

const FamilyFacts& F4() { return *FindFamily(mcu::STM32F4XX); }

TEST(SectorIndex, FindsTheSectorHoldingAnOffset) {
  const std::pair<std::int32_t, std::int32_t> rows[] = {
      {0, 0},        {0x3FFF, 0},   {0x4000, 1},   {0xFFFF, 3},   {0x10000, 4},   {0x1FFFF, 4},
      {0x20000, 5},  {0x3FFFF, 5},  {0x40000, 6},  {0xDFFFF, 10}, {0xE0000, 11},  {0x100000, 11},
      {-1, 11},      {INT32_MIN, 11}, {INT32_MAX, 11}};
  for (const auto& [offset, index] : rows) EXPECT_EQ(SectorIndex(F4(), offset), index) << std::hex << offset;
}

TEST(SectorSize, FollowsTheTableAndRejectsIndexesAboveEleven) {
  const std::pair<std::int32_t, std::int32_t> rows[] = {{0, 0x4000},   {3, 0x4000},  {4, 0x10000}, {5, 0x20000},
                                                        {11, 0x20000}, {12, -1},     {100, -1},    {-1, 0x20000}};
  for (const auto& [index, size] : rows) EXPECT_EQ(SectorSize(F4(), index), size) << index;
}

TEST(SectorStart, IsTheSumOfTheSizesBefore) {
  std::int64_t sum = 0;
  for (std::int32_t i = 0; i <= 11; ++i) {
    EXPECT_EQ(SectorStart(F4(), i), sum) << i;
    EXPECT_EQ(SectorIndex(F4(), sum), i);
    sum += SectorSize(F4(), i);
  }
  EXPECT_EQ(SectorStart(F4(), 12), 0x100000);
  EXPECT_EQ(SectorStart(F4(), 13), -1);
  EXPECT_EQ(SectorStart(F4(), -1), -1);
}

TEST(AddressUnits, SixteenBitPicsCountTwoAddressUnitsPerThreeImageBytes) {
  for (std::uint8_t family : {mcu::PIC24, mcu::dsPIC, mcu::dsPIC33}) {
    const FamilyFacts* row = FindFamily(family);
    ASSERT_NE(row, nullptr) << int{family};
    const FamilyFacts& f = *row;
    EXPECT_EQ(ImageToUnits(f, 1536), 1024u);
    EXPECT_EQ(ImageToUnits(f, 1538), 1024u);  // rounds down to the word
    EXPECT_EQ(UnitsToImage(f, 0x1000), 0x1800u);
    // Round trip through the address space: the image offset of an address maps back onto it.
    EXPECT_EQ(ImageToUnits(f, UnitsToImage(f, 0x2AC00)), 0x2AC00u);
  }
}

TEST(AddressUnits, Pic32BootStartIsReadAsItsPhysicalAddress) {
  TBootInfo info;
  info.McuType = mcu::PIC32;
  info.BootRevision = 0x1200;
  info.McuSize = 0x80000;
  info.EraseBlock = 4096;
  info.WriteBlock = 512;
  for (const std::uint32_t bootStart : {0x9D008000u, 0xBD008000u, 0x1D008000u}) {
    info.BootStart = static_cast<std::int32_t>(bootStart);
    const TGeometryCheck check = CheckUploadGeometry(info);
    EXPECT_EQ(check.problem, "") << std::hex << bootStart;
    EXPECT_EQ(check.area.bootLimit, 0x1D008000u) << std::hex << bootStart;
    EXPECT_EQ(check.area.appEnd, 0x8000) << std::hex << bootStart;
  }
  // The boot flash is no place for the application's end.
  info.BootStart = static_cast<std::int32_t>(0xBFC00000u);
  EXPECT_NE(CheckUploadGeometry(info).problem, "");
}

TEST(AddressUnits, OtherFamiliesCountOneUnitPerImageByte) {
  for (std::uint8_t family : {mcu::PIC16, mcu::PIC18, mcu::PIC32, mcu::ARM, mcu::STM32F4XX}) {
    const FamilyFacts* row = FindFamily(family);
    ASSERT_NE(row, nullptr) << int{family};
    const FamilyFacts& f = *row;
    EXPECT_EQ(ImageToUnits(f, 1537), 1537u);
    EXPECT_EQ(UnitsToImage(f, 0x7C00), 0x7C00u);
  }
}

}  // namespace
}  // namespace quorvel
