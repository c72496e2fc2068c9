// SPDX-License-Identifier: Apache-2.0
// The STM32F2xx/F4xx sector map as the geometry reads it, and the conversions between image offsets and command addresses.
#include "upload/geometry.h"

#include <gtest/gtest.h>

#include "core/families.h"
#include "support/family_row.h"
#include "upload/flash_area.h"

namespace quorvel {
namespace {

const FamilyFacts& F4() { return test::FamilyRow(mcu::STM32F4XX); }

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

// Every rule of the check at its limit and one step either side. The devices are the family's
// typical part with one value changed.
TBootInfo Top(std::uint8_t family, std::uint32_t bootStart, std::uint32_t size, std::uint16_t erase,
              std::uint16_t write) {
  TBootInfo info;
  info.McuType = family;
  info.BootRevision = 0x1200;
  info.BootStart = static_cast<std::int32_t>(bootStart);
  info.McuSize = size;
  info.EraseBlock = erase;
  info.WriteBlock = write;
  return info;
}
TBootInfo Bottom(std::uint8_t family, std::uint32_t programStart, std::uint32_t size, std::uint16_t erase,
                 std::uint16_t write) {
  TBootInfo info = Top(family, 0, size, erase, write);
  info.BootRevision = 0x1201;
  info.ProgramStart = static_cast<std::int32_t>(programStart);
  return info;
}
TBootInfo Arm(std::uint16_t erase, std::uint16_t write, std::uint32_t bootStart = 0x3C000) {
  return Top(mcu::ARM, bootStart, 0x40000, erase, write);
}

struct GeometryRow {
  const char* name;
  TBootInfo info;
  std::string problem;  // empty: accepted
};
void PrintTo(const GeometryRow& row, std::ostream* os) { *os << row.name; }

class GeometryRule : public ::testing::TestWithParam<GeometryRow> {};

TEST_P(GeometryRule, RefusesExactlyPastItsLimit) {
  EXPECT_EQ(CheckUploadGeometry(GetParam().info).problem, GetParam().problem);
}

constexpr const char* kOk = "";
std::string Blocks(int erase, int write, const char* why) {
  return "Error: Erase block size " + std::to_string(erase) + " and write block size " +
         std::to_string(write) + " reported by the device are not supported: " + why;
}
std::string Unsupported(const char* which, int size, const char* why = "") {
  return std::string("Error: ") + which + " block size " + std::to_string(size) + " reported by the device " +
         (*why == '\0' ? "is not supported." : why);
}
using namespace mcu;

INSTANTIATE_TEST_SUITE_P(
    Rules, GeometryRule,
    ::testing::Values(
        GeometryRow{"UnknownFamily", Top(99, 0x3C000, 0x40000, 1024, 64),
                    "Error: MCU family code 99 is not supported for uploading."},
        // An erase block holds one input report.
        GeometryRow{"EraseBlockZero", Arm(0, 64), Unsupported("Erase", 0)},
        GeometryRow{"EraseBlock63", Arm(63, 1), Unsupported("Erase", 63)},
        GeometryRow{"EraseBlock64", Arm(64, 64), kOk},
        GeometryRow{"EraseBlock65", Arm(65, 65),
                    "Error: Bootloader start 0x3C000 is not on an erase-block boundary (65 bytes)."},
        GeometryRow{"WriteBlockZero", Arm(1024, 0), Unsupported("Write", 0)},
        GeometryRow{"WriteBlockOne", Arm(1024, 1), kOk},
        GeometryRow{"WriteBlockAboveTheEraseBlock", Top(STM32F1XX, 0x1C000, 0x20000, 1024, 1025),
                    Blocks(1024, 1025, "a write block must not be larger than an erase block.")},
        GeometryRow{"WriteBlockIsTheEraseBlock", Top(STM32F1XX, 0x1C000, 0x20000, 1024, 1024), kOk},
        GeometryRow{"EraseBlockNotWholeWriteBlocks", Arm(1024, 384),
                    Blocks(1024, 384, "an erase block must be a whole number of write blocks.")},
        GeometryRow{"EraseBlockOneWriteBlockShort", Top(STM32F1XX, 0x1C000, 0x20000, 1024, 1023),
                    Blocks(1024, 1023, "an erase block must be a whole number of write blocks.")},
        // One chunk, one erase block, goes out in one Write command (PIC32: one write block less).
        GeometryRow{"EraseBlockBelowOneCommand", Arm(0x7FFF, 0x7FFF, 0x7FFF * 7), kOk},
        GeometryRow{"EraseBlockIsOneCommand", Arm(0x8000, 0x8000, 0x38000), kOk},
        GeometryRow{"EraseBlockBeyondOneCommand", Arm(0x8001, 0x8001),
                    Blocks(32769, 32769, "an erase block must fit one Write command.")},
        GeometryRow{"EraseBlockBeyondOneCommandInWriteBlocks", Arm(0xC000, 0x4000, 0x30000),
                    Blocks(49152, 16384, "an erase block must fit one Write command.")},
        GeometryRow{"Pic32EraseBlockIsOneBootCommand", Top(PIC32, 0x9D076200, 0x80000, 0x7E00, 0x200), kOk},
        GeometryRow{"Pic32EraseBlockBeyondOneBootCommand", Top(PIC32, 0x9D078000, 0x80000, 0x8000, 0x200),
                    Blocks(32768, 512, "an erase block must fit one Write command.")},
        GeometryRow{"EraseBlockTilingTheSectors", Top(STM32F4XX, 0xE0000, 0x100000, 0x4000, 64), kOk},
        GeometryRow{"EraseBlockNotTilingTheSectors", Top(STM32F4XX, 0xE0000, 0x100000, 192, 64),
                    Unsupported("Erase", 192, "does not divide the flash sectors.")},
        GeometryRow{"EraseBlockLargerThanASector", Top(STM32F4XX, 0xE0000, 0x100000, 0x8000, 64),
                    Unsupported("Erase", 32768, "does not divide the flash sectors.")},
        GeometryRow{"EraseBlockNotWholeWords", Top(PIC24, 0x9C00, 0x10200, 1024, 64),
                    Unsupported("Erase", 1024, "is not a whole number of instruction words.")},
        GeometryRow{"WriteBlockNotWholeWords", Top(PIC24, 0x9C00, 0x10200, 1536, 64),
                    Unsupported("Write", 64, "is not a whole number of instruction words.")},
        GeometryRow{"BlocksOfWholeWords", Top(PIC24, 0x9C00, 0x10200, 1536, 192), kOk},
        // Top: the bootloader starts inside the flash, on a unit boundary, above the first unit.
        GeometryRow{"BootloaderAtTheEndOfFlash", Top(STM32F1XX, 0x20000, 0x20000, 1024, 64), kOk},
        GeometryRow{"BootloaderOneBlockBeyondTheFlash", Top(STM32F1XX, 0x20400, 0x20000, 1024, 64),
                    "Error: Bootloader start 0x20400 lies outside the flash (0x0 to 0x20000)."},
        GeometryRow{"BootloaderAtTheTopOfTheAddressSpace", Top(STM32F4XX, 0xFFFFF000, 0x100000, 1024, 64),
                    "Error: Bootloader start 0xFFFFF000 lies outside the flash (0x0 to 0x100000)."},
        GeometryRow{"Pic32BootloaderBelowProgramFlash", Top(PIC32, 0x1000, 0x80000, 4096, 512),
                    "Error: Bootloader start 0x1000 lies outside the flash (0x1D000000 to 0x1D080000)."},
        GeometryRow{"Pic32BootloaderAtTheStartOfProgramFlash", Top(PIC32, 0x1D000000, 0x80000, 4096, 512),
                    "Error: Bootloader start 0x1D000000 leaves no room for the application."},
        GeometryRow{"BootloaderAtTheStartOfFlash", Arm(1024, 64, 0),
                    "Error: Bootloader start 0x0 leaves no room for the application."},
        GeometryRow{"BootloaderInsideTheFirstBlock", Arm(1024, 64, 0x3FF),
                    "Error: Bootloader start 0x3FF leaves no room for the application."},
        GeometryRow{"BootloaderAfterTheFirstBlock", Arm(1024, 64, 0x400), kOk},
        GeometryRow{"BootloaderOneByteAfterABlock", Top(PIC18, 0x7C01, 0x8000, 64, 64),
                    "Error: Bootloader start 0x7C01 is not on an erase-block boundary (64 bytes)."},
        GeometryRow{"BootloaderOneByteBeforeABlock", Top(PIC18, 0x7BFF, 0x8000, 64, 64),
                    "Error: Bootloader start 0x7BFF is not on an erase-block boundary (64 bytes)."},
        GeometryRow{"BootloaderInsideASector", Top(STM32F2XX, 0xD0000, 0x100000, 1024, 64),
                    "Error: Bootloader start 0xD0000 is not on a sector boundary."},
        GeometryRow{"BootloaderAtASector", Top(STM32F2XX, 0xC0000, 0x100000, 1024, 64), kOk},
        GeometryRow{"BootloaderBetweenInstructions", Top(dsPIC33, 0x2A001, 0x40800, 3072, 384),
                    "Error: Bootloader start 0x2A001 is not an instruction address."},
        GeometryRow{"BootloaderAtAnInstruction", Top(dsPIC33, 0x2A000, 0x40800, 3072, 384), kOk},
        // Bottom: the application starts above the first unit, on a unit boundary, a whole unit below the
        // end.
        GeometryRow{"ProgramStartAtTheEndOfFlash", Bottom(STM32F1XX, 0x20000, 0x20000, 1024, 64),
                    "Error: Program start 0x20000 lies outside the flash (0x0 to 0x20000)."},
        GeometryRow{"ProgramStartOneBlockBeforeTheEnd", Bottom(STM32F1XX, 0x1FC00, 0x20000, 1024, 64), kOk},
        GeometryRow{
            "NoWholeBlockAboveProgramStart", Bottom(STM32F1XX, 0x1FC00, 0x1FFFF, 1024, 64),
            "Error: Program start 0x1FC00 leaves no room for the application: the flash ends at 0x1FFFF."},
        GeometryRow{"ProgramStartInTheFlashWindow", Bottom(STM32F1XX, 0x08004000, 0x20000, 1024, 64), kOk},
        GeometryRow{"ProgramStartAtTheFlashWindow", Bottom(STM32F1XX, 0x08000000, 0x20000, 1024, 64),
                    "Error: Program start 0x8000000 leaves no room for the bootloader."},
        GeometryRow{"ProgramStartBelowTheFlashWindow", Bottom(STM32F1XX, 0x07FFFC00, 0x20000, 1024, 64),
                    "Error: Program start 0x7FFFC00 lies outside the flash (0x0 to 0x20000)."},
        GeometryRow{"ProgramStartAtTheStartOfFlash", Bottom(ARM, 0, 0x40000, 1024, 64),
                    "Error: Program start 0x0 leaves no room for the bootloader."},
        GeometryRow{"ProgramStartAfterTheFirstBlock", Bottom(ARM, 0x400, 0x40000, 1024, 64), kOk},
        GeometryRow{"ProgramStartOneByteBeforeABlock", Bottom(PIC18, 0x0FFF, 0x8000, 64, 64),
                    "Error: Program start 0xFFF is not on an erase-block boundary (64 bytes)."},
        GeometryRow{"ProgramStartOneByteAfterABlock", Bottom(PIC18, 0x1001, 0x8000, 64, 64),
                    "Error: Program start 0x1001 is not on an erase-block boundary (64 bytes)."},
        GeometryRow{"ProgramStartInsideASector", Bottom(STM32F4XX, 0x6000, 0x100000, 1024, 64),
                    "Error: Program start 0x6000 is not on a sector boundary."},
        GeometryRow{"ProgramStartAtASector", Bottom(STM32F4XX, 0x4000, 0x100000, 1024, 64), kOk},
        GeometryRow{"ProgramStartBetweenInstructions", Bottom(PIC24, 0x1001, 0x10200, 1536, 192),
                    "Error: Program start 0x1001 is not an instruction address."},
        GeometryRow{"Pic32ProgramStartAsAnOffset", Bottom(PIC32, 0x4000, 0x80000, 4096, 512), kOk},
        GeometryRow{"Pic32ProgramStartAsAnAddress", Bottom(PIC32, 0x1D004000, 0x80000, 4096, 512), kOk}),
    [](const ::testing::TestParamInfo<GeometryRow>& row) { return std::string(row.param.name); });

// What an upload counts as data: a byte that differs from erased flash inside the area (at the top
// below the entry code), or in the PIC32 boot flash below its last block.
struct DataRow {
  const char* name;
  TBootInfo info;
  std::int64_t at;  // image offset of the one byte that is set
  bool boot;        // in the boot flash image
  std::uint8_t value;
  TImageData data;
};
void PrintTo(const DataRow& row, std::ostream* os) { *os << row.name; }

class ImageData : public ::testing::TestWithParam<DataRow> {};

TEST_P(ImageData, CountsOnlyBytesTheAreaWrites) {
  const DataRow& row = GetParam();
  const TGeometryCheck check = CheckUploadGeometry(row.info);
  ASSERT_EQ(check.problem, "");
  TByteArray image(static_cast<std::size_t>(row.at + 1), 0xFF);
  for (std::size_t i = 1; i < image.size(); i += 2) image[i] = check.area.family->oddFill;
  image.back() = row.value;
  EXPECT_EQ(row.boot ? ImageDataFor(check.area, {}, image) : ImageDataFor(check.area, image, {}), row.data);
}

const TBootInfo kStm32Top = Top(STM32F1XX, 0x2000, 0x20000, 1024, 64);  // entry code: 20 bytes
const TBootInfo kStm32Bottom = Bottom(STM32F1XX, 0x4000, 0x20000, 1024, 64);
const TBootInfo kPic32 = Top(PIC32, 0x9D07C000, 0x80000, 4096, 512);  // 0x2000 of boot flash usable

INSTANTIATE_TEST_SUITE_P(
    Edges, ImageData,
    ::testing::Values(
        DataRow{"TopBelowTheEntryCode", kStm32Top, 0x2000 - 21, false, 0, TImageData::Program},
        DataRow{"TopUnderTheEntryCode", kStm32Top, 0x2000 - 20, false, 0, TImageData::None},
        DataRow{"BottomBelowTheArea", kStm32Bottom, 0x3FFF, false, 0, TImageData::None},
        DataRow{"BottomAtTheAreasStart", kStm32Bottom, 0x4000, false, 0, TImageData::Program},
        DataRow{"BottomAtTheAreasLastByte", kStm32Bottom, 0x1FFFF, false, 0, TImageData::Program},
        DataRow{"BottomBeyondTheArea", kStm32Bottom, 0x20000, false, 0, TImageData::None},
        DataRow{"Pic16ErasedHighByte", Top(PIC16, 0x3000, 0x4000, 64, 64), 1, false, 0x3F, TImageData::None},
        DataRow{"Pic16HighByte", Top(PIC16, 0x3000, 0x4000, 64, 64), 1, false, 0x3E, TImageData::Program},
        DataRow{"ErasedByte", kStm32Top, 0x10, false, 0xFF, TImageData::None},
        DataRow{"Pic32BootBelowItsLastBlock", kPic32, 0x1FFF, true, 0, TImageData::BootFlashOnly},
        DataRow{"Pic32BootInItsLastBlock", kPic32, 0x2000, true, 0, TImageData::None}),
    [](const ::testing::TestParamInfo<DataRow>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace quorvel
