// SPDX-License-Identifier: Apache-2.0
// Behaviour of the HEX loader: per-family placement, fill and limits, the two passes and their
// messages, and refusal of input that is malformed or addresses more than any device has.
#include "image/hex_loader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "core/families.h"
#include "image/firmware_file.h"
#include "io/file_sys.h"
#include "support/hex_writer.h"

namespace quorvel {
namespace {

namespace th = testhex;

TBootInfo NewGeometry(std::uint8_t family, std::uint32_t mcuSize = 0x100000) {
  TBootInfo info;
  info.McuType = family;
  info.BootRevision = 0x1200;
  info.McuSize = mcuSize;
  return info;
}

TBootInfo OldGeometry(std::uint8_t family, std::int32_t bootStart) {
  TBootInfo info;
  info.McuType = family;
  info.BootRevision = 0x11FF;
  info.BootStart = bootStart;
  return info;
}

std::string Lines(std::initializer_list<std::string> lines, std::string_view eol = "\r\n") {
  std::string out;
  for (const auto& l : lines) (out += l) += eol;
  return out;
}

std::string Data(std::uint16_t address, std::vector<std::uint8_t> bytes) { return th::Record(0, address, bytes); }

// ---------------------------------------------------------------------------------------------
// Placement and fill per family

struct PlacementRow {
  const char* name;
  std::uint8_t family;
  std::uint32_t address;
  std::vector<std::uint8_t> data;
  TByteArray flash;
  TByteArray boot;
};
void PrintTo(const PlacementRow& row, std::ostream* os) { *os << row.name; }

class HexPlacement : public ::testing::TestWithParam<PlacementRow> {};

TEST_P(HexPlacement, StoresDataAtTheFamilysOffsetAndFillsGaps) {
  const PlacementRow& row = GetParam();
  THexImages images;
  const std::string text = th::Make({{row.address, row.data}});
  const HexLoadResult r = LoadHexText(text, "a.hex", NewGeometry(row.family, 0x100000), images);
  ASSERT_EQ(r.status, HexLoadStatus::Loaded) << r.message;
  EXPECT_TRUE(r.message.empty());
  EXPECT_EQ(images.FlashImage, row.flash);
  EXPECT_EQ(images.BootFlashImage, row.boot);
  EXPECT_TRUE(images.HexLoaded);
  EXPECT_EQ(images.HexMcuType, row.family);
}

INSTANTIATE_TEST_SUITE_P(
    Families, HexPlacement,
    ::testing::Values(
        PlacementRow{"Pic16OddBytesFillWith3F", mcu::PIC16, 4, {0xAA, 0xBB}, {0xFF, 0x3F, 0xFF, 0x3F, 0xAA, 0xBB}, {}},
        PlacementRow{"Pic16OddStartFillsPerOffset", mcu::PIC16, 3, {0x11}, {0xFF, 0x3F, 0xFF, 0x11}, {}},
        PlacementRow{"Pic18", mcu::PIC18, 2, {0xAA, 0xBB}, {0xFF, 0xFF, 0xAA, 0xBB}, {}},
        PlacementRow{"Pic18FJ", mcu::PIC18FJ, 1, {0xAA}, {0xFF, 0xAA}, {}},
        PlacementRow{"Pic24DropsEveryFourthByte", mcu::PIC24, 0, {0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 4, 5, 6}, {}},
        PlacementRow{"DsPicCompactsFill", mcu::dsPIC, 4, {9, 8, 7, 6}, {0xFF, 0xFF, 0xFF, 9, 8, 7}, {}},
        PlacementRow{"DsPic33PartialWord", mcu::dsPIC33, 0, {1, 2, 3, 4, 5}, {1, 2, 3, 5}, {}},
        PlacementRow{"Pic32ProgramFlash", mcu::PIC32, 0x1D000002, {0xAA}, {0xFF, 0xFF, 0xAA}, {}},
        PlacementRow{"Pic32BootFlashStart", mcu::PIC32, 0x1FC00000, {0xAA}, {}, {0xAA}},
        PlacementRow{"Pic32BootFlashLastAcceptedAddress", mcu::PIC32, 0x1FC02FEF, {0xAA}, {},
                     [] { TByteArray b(0x2FF0, 0xFF); b[0x2FEF] = 0xAA; return b; }()},
        PlacementRow{"Pic32ConfigurationWordsAreDropped", mcu::PIC32, 0x1FC02FF0, {0xAA}, {}, {}},
        // KSEG0 and KSEG1 addresses name the same flash as the physical ones.
        PlacementRow{"Pic32Kseg0ProgramFlash", mcu::PIC32, 0x9D000002, {0xAA}, {0xFF, 0xFF, 0xAA}, {}},
        PlacementRow{"Pic32Kseg1BootFlash", mcu::PIC32, 0xBFC00001, {0xAA}, {}, {0xFF, 0xAA}},
        PlacementRow{"Arm", mcu::ARM, 2, {0xAA}, {0xFF, 0xFF, 0xAA}, {}},
        PlacementRow{"StellarisM3", mcu::STELLARIS_M3, 0, {0xAA}, {0xAA}, {}},
        PlacementRow{"TivaC", mcu::TIVA_C, 1, {0xAA}, {0xFF, 0xAA}, {}},
        PlacementRow{"Stm32L1", mcu::STM32L1XX, 0x08000001, {0xAA}, {0xFF, 0xAA}, {}},
        PlacementRow{"Stm32F4", mcu::STM32F4XX, 0x08000000, {0xAA, 0xBB}, {0xAA, 0xBB}, {}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(HexLoader, GapsReadAsFillAndTheLaterRecordWins) {
  THexImages images;
  const std::string text = Lines({Data(0, {1, 2, 3, 4}), Data(6, {6}), Data(1, {0xA1, 0xA2}), th::EndRecord()});
  ASSERT_EQ(LoadHexText(text, "a.hex", NewGeometry(mcu::PIC18), images).status, HexLoadStatus::Loaded);
  EXPECT_EQ(images.FlashImage, (TByteArray{1, 0xA1, 0xA2, 4, 0xFF, 0xFF, 6}));
}

TEST(HexLoader, Pic16GrowingFromAnOddLengthKeepsEachOffsetsFill) {
  THexImages images;
  const std::string text = Lines({Data(0, {0x11}), Data(4, {0x22}), th::EndRecord()});
  ASSERT_EQ(LoadHexText(text, "a.hex", NewGeometry(mcu::PIC16), images).status, HexLoadStatus::Loaded);
  EXPECT_EQ(images.FlashImage, (TByteArray{0x11, 0x3F, 0xFF, 0x3F, 0x22}));
}

TEST(HexLoader, RecordsSpanningExtendedAddressesLandAtTheirFullAddress) {
  THexImages images;
  const std::string text = th::Make({{0xFFFE, {1, 2, 3, 4}}});  // crosses into upper address 1
  ASSERT_EQ(LoadHexText(text, "a.hex", NewGeometry(mcu::ARM), images).status, HexLoadStatus::Loaded);
  ASSERT_EQ(images.FlashImage.size(), 0x10002u);
  EXPECT_EQ(images.FlashImage[0xFFFE], 1);
  EXPECT_EQ(images.FlashImage[0x10001], 4);
}

// Extended segment addresses (02) add to the extended linear address (04), as GNU objcopy reads
// them; start addresses (03, 05) move nothing.
struct SegmentRow {
  const char* name;
  std::vector<std::string> lines;
  std::uint32_t address;  // where the last data record's byte lands
};
void PrintTo(const SegmentRow& row, std::ostream* os) { *os << row.name; }

class HexSegments : public ::testing::TestWithParam<SegmentRow> {};

TEST_P(HexSegments, PlaceDataWhereObjcopyPlacesIt) {
  std::string text;
  for (const std::string& line : GetParam().lines) (text += line) += "\r\n";
  text += Data(0, {0xAA}) + "\r\n";
  THexImages images;
  ASSERT_EQ(LoadHexText(text, "a.hex", NewGeometry(mcu::ARM, 0x200000), images).status, HexLoadStatus::Loaded);
  const std::uint32_t at = GetParam().address;
  ASSERT_EQ(images.FlashImage.size(), at + 1u);
  EXPECT_EQ(images.FlashImage[at], 0xAA);
  if (at > 0) {
    EXPECT_EQ(images.FlashImage[0], 0x11) << "an earlier record at 0 is not overwritten";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Records, HexSegments,
    ::testing::Values(
        SegmentRow{"StartAddressesMoveNothing",
                   {th::Record(3, 0, {0, 0, 0, 0}), th::Record(5, 0, {0, 0, 0, 0})},
                   0},
        // objcopy writes this for a program at 0 that is larger than 64 KB.
        SegmentRow{"SegmentTimesSixteen", {Data(0, {0x11}), ":020000021000EC"}, 0x10000},
        SegmentRow{"BothBasesAdd",
                   {Data(0, {0x11}), th::LinearAddressRecord(1), th::Record(2, 0, {0x08, 0x00})},
                   0x18000},
        SegmentRow{"LinearRecordKeepsTheSegment",
                   {Data(0, {0x11}), th::Record(2, 0, {0x10, 0x00}), th::LinearAddressRecord(0)},
                   0x10000},
        SegmentRow{"SegmentRecordKeepsTheLinearBase",
                   {Data(0, {0x11}), th::LinearAddressRecord(1), th::Record(2, 0, {0x10, 0x00}),
                    th::Record(2, 0, {0, 0})},
                   0x10000}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(HexLoader, AcceptsLowerCaseDigitsAndEveryLineEnding) {
  THexImages images;
  std::string lower = Data(0, {0xAB, 0xCD});
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string text = lower + "\r" + Data(2, {1}) + "\n" + Data(3, {2}) + "\r\n" + Data(4, {3});
  ASSERT_EQ(LoadHexText(text, "a.hex", NewGeometry(mcu::ARM), images).status, HexLoadStatus::Loaded);
  EXPECT_EQ(images.FlashImage, (TByteArray{0xAB, 0xCD, 1, 2, 3}));
}

TEST(HexLoader, ByteOrderMarkDoesNotHideTheFirstRecord) {
  THexImages images;
  const std::string text = "\xEF\xBB\xBF" + th::Make({{0x1D000010, {0xAA}}});
  ASSERT_EQ(LoadHexText(text, "a.hex", NewGeometry(mcu::PIC32), images).status, HexLoadStatus::Loaded);
  ASSERT_EQ(images.FlashImage.size(), 0x11u);
  EXPECT_EQ(images.FlashImage[0x10], 0xAA);
}

TEST(HexLoader, EmptyFileOrNoDataCompletesWithEmptyImages) {
  for (const std::string& text : {std::string(), Lines({"; comment only"}), Lines({th::EndRecord()})}) {
    THexImages images;
    images.FlashImage = {1, 2, 3};
    ASSERT_EQ(LoadHexText(text, "a.hex", NewGeometry(mcu::PIC18), images).status, HexLoadStatus::Loaded);
    EXPECT_TRUE(images.FlashImage.empty());
    EXPECT_TRUE(images.HexLoaded);
    EXPECT_EQ(images.HexMcuType, mcu::PIC18);
  }
}

// ---------------------------------------------------------------------------------------------
// Acceptance limits

// Where each window ends (and, for STM32, where the flash starts), one byte before, at and after.
enum class Lands { Flash, BootFlash, Dropped, Refused };

struct LimitRow {
  const char* name;
  TBootInfo info;
  std::uint32_t address;
  Lands lands;
};
void PrintTo(const LimitRow& row, std::ostream* os) { *os << row.name; }

class HexLimits : public ::testing::TestWithParam<LimitRow> {};

TEST_P(HexLimits, KeepOnlyWhatTheDevicesWindowsTake) {
  const LimitRow& row = GetParam();
  THexImages images;
  const HexLoadResult r = LoadHexText(th::Make({{row.address, {0x5A}}}), "a.hex", row.info, images);
  if (row.lands == Lands::Refused) {
    EXPECT_EQ(r.status, HexLoadStatus::FlashOffset);
    return;
  }
  ASSERT_EQ(r.status, HexLoadStatus::Loaded) << r.message;
  EXPECT_EQ(!images.FlashImage.empty(), row.lands == Lands::Flash);
  EXPECT_EQ(!images.BootFlashImage.empty(), row.lands == Lands::BootFlash);
  EXPECT_EQ(r.dropped.bytes, row.lands == Lands::Dropped ? 1u : 0u);
}

constexpr auto F = Lands::Flash;
constexpr auto B = Lands::BootFlash;
constexpr auto D = Lands::Dropped;

INSTANTIATE_TEST_SUITE_P(
    Families, HexLimits,
    ::testing::Values(
        LimitRow{"Pic18NewBelow", NewGeometry(mcu::PIC18, 0x8000), 0x7FFF, F},
        LimitRow{"Pic18NewAt", NewGeometry(mcu::PIC18, 0x8000), 0x8000, D},
        LimitRow{"Pic18NewAbove", NewGeometry(mcu::PIC18, 0x8000), 0x8001, D},
        LimitRow{"Pic18OldBelowBootStart", OldGeometry(mcu::PIC18, 0x7C00), 0x7BFF, F},
        LimitRow{"Pic18OldAtBootStart", OldGeometry(mcu::PIC18, 0x7C00), 0x7C00, D},
        LimitRow{"Pic18OldAboveBootStart", OldGeometry(mcu::PIC18, 0x7C00), 0x7C01, D},
        LimitRow{"Pic16NewBelow", NewGeometry(mcu::PIC16, 0x100), 0xFF, F},
        LimitRow{"Pic16NewAt", NewGeometry(mcu::PIC16, 0x100), 0x100, D},
        LimitRow{"Pic24NewBelow", NewGeometry(mcu::PIC24, 0x300), 0x3FF, F},
        LimitRow{"Pic24NewAt", NewGeometry(mcu::PIC24, 0x300), 0x400, D},
        LimitRow{"Pic24NewAbove", NewGeometry(mcu::PIC24, 0x300), 0x401, D},
        LimitRow{"Pic24OldBelow", OldGeometry(mcu::PIC24, 0x200), 0x3FF, F},
        LimitRow{"Pic24OldAt", OldGeometry(mcu::PIC24, 0x200), 0x400, D},
        LimitRow{"Pic32NewBelow", NewGeometry(mcu::PIC32, 0x1000), 0x1D000FFF, F},
        LimitRow{"Pic32NewAt", NewGeometry(mcu::PIC32, 0x1000), 0x1D001000, D},
        LimitRow{"Pic32NewAbove", NewGeometry(mcu::PIC32, 0x1000), 0x1D001001, D},
        LimitRow{"Pic32BelowProgramFlash", NewGeometry(mcu::PIC32, 0x1000), 0x1CFFFFFF, D},
        LimitRow{"Pic32AtProgramFlash", NewGeometry(mcu::PIC32, 0x1000), 0x1D000000, F},
        LimitRow{"Pic32OldBelow", OldGeometry(mcu::PIC32, 0), 0x1F7FFFFF, F},
        LimitRow{"Pic32OldAt", OldGeometry(mcu::PIC32, 0), 0x1F800000, D},
        LimitRow{"Pic32BelowBootFlash", NewGeometry(mcu::PIC32, 0x1000), 0x1FBFFFFF, D},
        LimitRow{"Pic32AtBootFlash", NewGeometry(mcu::PIC32, 0x1000), 0x1FC00000, B},
        LimitRow{"Pic32BelowTheConfigurationWords", NewGeometry(mcu::PIC32, 0x1000), 0x1FC02FEF, B},
        LimitRow{"Pic32AtTheConfigurationWords", NewGeometry(mcu::PIC32, 0x1000), 0x1FC02FF0, D},
        LimitRow{"Pic32AboveTheConfigurationWords", NewGeometry(mcu::PIC32, 0x1000), 0x1FC02FF1, D},
        LimitRow{"Pic32Kseg0", NewGeometry(mcu::PIC32, 0x1000), 0x9D000000, F},
        LimitRow{"Pic32Kseg1", NewGeometry(mcu::PIC32, 0x1000), 0xBD000000, F},
        LimitRow{"Pic32Kseg1BootFlash", NewGeometry(mcu::PIC32, 0x1000), 0xBFC00000, B},
        LimitRow{"Pic32Kseg2IsNoFlash", NewGeometry(mcu::PIC32, 0x1000), 0xDD000000, D},
        LimitRow{"ArmOldBelow", OldGeometry(mcu::ARM, 0x1F000), 0x1EFFF, F},
        LimitRow{"ArmOldAt", OldGeometry(mcu::ARM, 0x1F000), 0x1F000, D},
        LimitRow{"Stm32BelowFlash", NewGeometry(mcu::STM32F1XX, 0x10000), 0x07FFFFFF, Lands::Refused},
        LimitRow{"Stm32AtFlash", NewGeometry(mcu::STM32F1XX, 0x10000), 0x08000000, F},
        LimitRow{"Stm32NewBelow", NewGeometry(mcu::STM32F1XX, 0x10000), 0x0800FFFF, F},
        LimitRow{"Stm32NewAt", NewGeometry(mcu::STM32F1XX, 0x10000), 0x08010000, D},
        LimitRow{"Stm32NewAbove", NewGeometry(mcu::STM32F1XX, 0x10000), 0x08010001, D},
        LimitRow{"UnknownFamilyHasNoLimit", NewGeometry(99, 0), 0x1000, F}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(HexLoader, OnlyTheFirstAddressOfARecordIsChecked) {
  THexImages images;
  ASSERT_EQ(LoadHexText(th::Make({{0x7FFE, {1, 2, 3, 4}}}), "a.hex", NewGeometry(mcu::PIC18, 0x8000), images).status,
            HexLoadStatus::Loaded);
  EXPECT_EQ(images.FlashImage.size(), 0x8002u);
}

TEST(HexLoader, BeforeTheDeviceReportsOnlyPic32KeepsData) {
  const std::string text = th::Make({{0x0, {1}}, {0x1D000000, {2}}, {0x1FC00000, {3}}});
  for (std::uint8_t family : kKnownFamilies) {
    SCOPED_TRACE(static_cast<int>(family));
    TBootInfo info;
    info.McuType = family;
    THexImages images;
    const HexLoadResult r = LoadHexText(text, "a.hex", info, images);
    if (IsStm32(family)) {
      EXPECT_EQ(r.status, HexLoadStatus::FlashOffset);
      continue;
    }
    ASSERT_EQ(r.status, HexLoadStatus::Loaded);
    EXPECT_TRUE(images.HexLoaded);
    EXPECT_EQ(images.HexMcuType, family);
    if (IsPic32(family)) {
      EXPECT_EQ(images.FlashImage, TByteArray{2});
      EXPECT_EQ(images.BootFlashImage, TByteArray{3});
    } else {
      EXPECT_TRUE(images.FlashImage.empty());
      EXPECT_TRUE(images.BootFlashImage.empty());
    }
  }
}

// ---------------------------------------------------------------------------------------------
// STM32 flash offset

TEST(HexLoaderStm32, EveryRecordTypeMustLieInInternalFlash) {
  THexImages images;
  const std::string text = th::Make({{0x1000, {1}}}, {.leadingLinearRecord = true});
  const HexLoadResult r = LoadHexText(text, "a.hex", NewGeometry(mcu::STM32F4XX), images);
  EXPECT_EQ(r.status, HexLoadStatus::FlashOffset);
  EXPECT_EQ(r.message, "Start address of hex input in line '0' violates internal flash offset.");
  EXPECT_FALSE(images.HexLoaded);
}

TEST(HexLoaderStm32, RecordsBeforeTheOffendingLineStayStored) {
  THexImages images;
  images.HexMcuType = 7;
  const std::string text = Lines({"; header", th::LinearAddressRecord(0x0800), Data(0, {0xAA}),
                                  th::LinearAddressRecord(0x0000), Data(0, {0xBB})});
  const HexLoadResult r = LoadHexText(text, "a.hex", NewGeometry(mcu::STM32F2XX), images);
  EXPECT_EQ(r.message, "Start address of hex input in line '3' violates internal flash offset.");
  EXPECT_EQ(images.FlashImage, TByteArray{0xAA});
  EXPECT_FALSE(images.HexLoaded);
  EXPECT_EQ(images.HexMcuType, 7);
}

// ---------------------------------------------------------------------------------------------
// Checksum pass, conversion errors and line numbers

TEST(HexLoaderChecksum, NamesTheFirstBadLineCountingFromZeroAndSkippedLines) {
  std::string bad = Data(0, {1, 2});
  bad.back() = bad.back() == '0' ? '1' : '0';
  // Lines: 0 comment, 1 empty (CR LF), 2 empty (lone CR), 3 good, 4 bad.
  const std::string text = "; comment\r\n\r\n\r" + Data(0, {1}) + "\n" + bad + "\r\n" + th::EndRecord();
  THexImages images;
  images.FlashImage = {9};
  images.BootFlashImage = {9};
  images.HexLoaded = true;
  images.HexMcuType = mcu::PIC18;
  const HexLoadResult r = LoadHexText(text, "/some/folder/fw.hex", NewGeometry(mcu::ARM), images);
  EXPECT_EQ(r.status, HexLoadStatus::ChecksumFailed);
  EXPECT_EQ(r.message, "CRC check failed. Invalid CRC at line 4 in file 'fw.hex'.\r\nNo data will be loaded.");
  EXPECT_TRUE(images.FlashImage.empty());
  EXPECT_TRUE(images.BootFlashImage.empty());
  EXPECT_TRUE(images.HexLoaded);
  EXPECT_EQ(images.HexMcuType, mcu::PIC18);
}

TEST(HexLoaderChecksum, LoneLastCharacterOfAnEvenLineCountsAsADigit) {
  for (const auto& [line, status] : {std::pair{":0100000001FE1", HexLoadStatus::ChecksumFailed},
                                     std::pair{":0100000001FE0", HexLoadStatus::Loaded}}) {
    THexImages images;
    EXPECT_EQ(LoadHexText(Lines({line, th::EndRecord()}), "a.hex", NewGeometry(mcu::PIC18), images).status,
              status)
        << line;
  }
}

struct ConversionRow {
  const char* name;
  std::string text;
  std::string message;
  bool imageBuilt;  // the failure came in the record pass, after some data was stored
};
void PrintTo(const ConversionRow& row, std::ostream* os) { *os << row.name; }

class HexConversionErrors : public ::testing::TestWithParam<ConversionRow> {};

TEST_P(HexConversionErrors, NameTheCharactersRead) {
  const ConversionRow& row = GetParam();
  THexImages images;
  const HexLoadResult r = LoadHexText(row.text, "a.hex", NewGeometry(mcu::ARM), images);
  EXPECT_EQ(r.status, HexLoadStatus::InvalidInteger);
  EXPECT_EQ(r.message, row.message);
  EXPECT_EQ(!images.FlashImage.empty(), row.imageBuilt);
  EXPECT_FALSE(images.HexLoaded);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HexConversionErrors,
    ::testing::Values(
        ConversionRow{"NonHexPairInChecksumPass", ":01000000G1FF\r\n", "'$G1' is not a valid integer value", false},
        ConversionRow{"NonHexSecondCharacter", ":0100000001Zz\r\n", "'$Zz' is not a valid integer value", false},
        ConversionRow{"OddLastCharacterNotHex", ":00000001FFX\r\n", "'$X' is not a valid integer value", false},
        ConversionRow{"EndMarkerFollowedByBlank", ":00000001FF \r\n", "'$ ' is not a valid integer value", false},
        ConversionRow{"LoneColonHasNoRecordType", ":\r\n", "'$' is not a valid integer value", false},
        ConversionRow{"TypeCutShort", ":00000000\r\n:0000000\r\n", "'$0' is not a valid integer value", false},
        // Checksum 0x00 of this line is read as the third data byte; the fourth does not exist.
        ConversionRow{"DataCutShort", ":01000000FF00\r\n:10000000F000\r\n", "'$' is not a valid integer value", true},
        ConversionRow{"DataCutInsideAPair", ":01000000FF00\r\n:10000000F0000\r\n", "'$0' is not a valid integer value",
                      true},
        ConversionRow{"ExtendedAddressCutShort", ":00000004FC\r\n", "'$FC' is not a valid integer value", false}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(HexLoaderChecksum, NoCompactionAfterAFailedRecordPass) {
  THexImages images;
  const std::string text = Lines({Data(0, {0, 1, 2, 3, 4, 5, 6, 7}), ":"});
  ASSERT_EQ(LoadHexText(text, "a.hex", NewGeometry(mcu::PIC24), images).status, HexLoadStatus::InvalidInteger);
  EXPECT_EQ(images.FlashImage, (TByteArray{0, 1, 2, 3, 4, 5, 6, 7}));
}

// ---------------------------------------------------------------------------------------------
// End marker

TEST(HexLoaderEndMarker, LinesAfterTheMarkerAreNeverRead) {
  for (const char* marker : {":00000001FF", ":00000001ff"}) {
    THexImages images;
    const std::string text = Lines({Data(0, {1}), marker, ":0100000001FF", ":zz", Data(1, {2})});
    ASSERT_EQ(LoadHexText(text, "a.hex", NewGeometry(mcu::ARM), images).status, HexLoadStatus::Loaded) << marker;
    EXPECT_EQ(images.FlashImage, TByteArray{1});
  }
}

TEST(HexLoaderEndMarker, WithoutMarkerEveryLineIsRead) {
  THexImages images;
  const std::string text = th::Make({{0, {1}}, {4, {2}}}, {.eol = "\n", .endRecord = false});
  ASSERT_EQ(LoadHexText(text, "a.hex", NewGeometry(mcu::ARM), images).status, HexLoadStatus::Loaded);
  EXPECT_EQ(images.FlashImage, (TByteArray{1, 0xFF, 0xFF, 0xFF, 2}));
}

// ---------------------------------------------------------------------------------------------
// State between loads

TEST(HexLoaderState, NoFamilyChangesNothing) {
  THexImages images;
  images.FlashImage = {1};
  images.BootFlashImage = {2};
  const HexLoadResult r = LoadHexText(th::Make({{0, {5}}}), "a.hex", TBootInfo{}, images);
  EXPECT_EQ(r.status, HexLoadStatus::NotLoaded);
  EXPECT_EQ(images.FlashImage, TByteArray{1});
  EXPECT_EQ(images.BootFlashImage, TByteArray{2});
  EXPECT_FALSE(images.HexLoaded);
}

TEST(HexLoaderState, AFailedLoadKeepsTheFlagsOfTheLastGoodOne) {
  THexImages images;
  ASSERT_EQ(LoadHexText(th::Make({{0, {5}}}), "a.hex", NewGeometry(mcu::PIC18), images).status,
            HexLoadStatus::Loaded);
  const HexLoadResult r = LoadHexText(":0100000005FF\r\n", "b.hex", NewGeometry(mcu::ARM), images);
  EXPECT_EQ(r.status, HexLoadStatus::ChecksumFailed);
  EXPECT_TRUE(images.HexLoaded);
  EXPECT_EQ(images.HexMcuType, mcu::PIC18);
  EXPECT_TRUE(images.FlashImage.empty());
}

// ---------------------------------------------------------------------------------------------
// Oversized input

TEST(HexLoaderOversize, UnknownFamilyStoresAtFullAddressButNoFurtherThanAnyDevice) {
  THexImages images;
  ASSERT_EQ(LoadHexText(th::Make({{0x100, {1}}}), "a.hex", NewGeometry(99), images).status, HexLoadStatus::Loaded);
  EXPECT_EQ(images.FlashImage.size(), 0x101u);

  THexImages big;
  big.HexLoaded = true;
  big.HexMcuType = mcu::ARM;
  const std::string text = th::Make({{0x10, {1}}, {0xF0000000, {2}}});
  const HexLoadResult r = LoadHexText(text, "/x/huge.hex", NewGeometry(99), big);
  EXPECT_EQ(r.status, HexLoadStatus::TooLarge);
  EXPECT_NE(r.message.find("'huge.hex'"), std::string::npos) << r.message;
  EXPECT_NE(r.message.find("0xF0000000"), std::string::npos) << r.message;
  EXPECT_TRUE(big.FlashImage.empty());
  EXPECT_TRUE(big.BootFlashImage.empty());
  EXPECT_TRUE(big.HexLoaded);
  EXPECT_EQ(big.HexMcuType, mcu::ARM);
}

TEST(HexLoaderOversize, HugeReportedFlashSizeDoesNotLetTheImageExplode) {
  THexImages images;
  const HexLoadResult r =
      LoadHexText(th::Make({{0x7FFFFFF0, {1}}}), "a.hex", NewGeometry(mcu::PIC18, 0xFFFFFFFF), images);
  EXPECT_EQ(r.status, HexLoadStatus::TooLarge);
  EXPECT_TRUE(images.FlashImage.empty());
}

TEST(HexLoaderOversize, TheLargestImageStillLoads) {
  THexImages images;
  const HexLoadResult r =
      LoadHexText(th::Make({{kMaxImageBytes - 1, {1}}}), "a.hex", NewGeometry(99), images);
  ASSERT_EQ(r.status, HexLoadStatus::Loaded) << r.message;
  EXPECT_EQ(images.FlashImage.size(), kMaxImageBytes);
}

// ---------------------------------------------------------------------------------------------
// Garbage: every outcome is a clean status with the documented state

TEST(HexLoaderRobustness, MutatedFilesNeverBreakTheInvariants) {
  std::mt19937 rng(1234);
  const std::string base = th::Make({{0x08000000, std::vector<std::uint8_t>(200, 0x42)}, {0x1D000000, {1, 2}}});
  const std::uint8_t families[] = {mcu::PIC16, mcu::PIC24, mcu::PIC32, mcu::STM32F4XX, 99};
  for (int round = 0; round < 3000; ++round) {
    std::string text = base;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = rng() % text.size();
      switch (rng() % 4) {
        case 0: text[at] = static_cast<char>(rng()); break;
        case 1: text.erase(at, 1 + rng() % 8); break;
        case 2: text.insert(at, 1, "\r\n:0F "[rng() % 6]); break;
        default: text.resize(at); break;
      }
      if (text.empty()) text.push_back(':');  // not = ":": GCC 12 -O3 misreads that as an overlapping copy
    }
    const std::uint8_t family = families[round % 5];
    THexImages images;
    images.HexMcuType = 1;
    const HexLoadResult r = LoadHexText(text, "m.hex", NewGeometry(family, 0x01000000), images);
    if (r.status == HexLoadStatus::Loaded) {
      EXPECT_TRUE(r.message.empty());
      EXPECT_EQ(images.HexMcuType, family);
      continue;
    }
    EXPECT_FALSE(r.message.empty());
    EXPECT_FALSE(images.HexLoaded);
    EXPECT_EQ(images.HexMcuType, 1);
    if (r.status == HexLoadStatus::ChecksumFailed || r.status == HexLoadStatus::TooLarge) {
      EXPECT_TRUE(images.FlashImage.empty());
    }
    EXPECT_LE(images.FlashImage.size(), kMaxImageBytes);
  }
}

// ---------------------------------------------------------------------------------------------
// Files

class HexLoaderFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');
    dir_ =
        std::filesystem::temp_directory_path() / ("quorvel-hex-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& text) {
    const auto path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  std::filesystem::path dir_;
};

TEST_F(HexLoaderFile, MissingFileChangesNothing) {
  THexImages images;
  images.FlashImage = {1};
  const HexLoadResult r = LoadHexFile((dir_ / "none.hex").string(), NewGeometry(mcu::ARM), images);
  EXPECT_EQ(r.status, HexLoadStatus::NotLoaded);
  EXPECT_EQ(images.FlashImage, TByteArray{1});
}

TEST_F(HexLoaderFile, DirectoriesAndPipesAreUnreadableWithoutBlocking) {
  const std::string fifo = (dir_ / "pipe.hex").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir_.string(), fifo}) {
    THexImages images;
    images.FlashImage = {1};
    const HexLoadResult r = LoadHexFile(path, NewGeometry(mcu::ARM), images);
    EXPECT_EQ(r.status, HexLoadStatus::Unreadable);
    EXPECT_NE(r.message.find(path), std::string::npos) << r.message;
    EXPECT_TRUE(images.FlashImage.empty());
  }
}

// System calls that fail where told; the others are the real ones.
class RefusingSys final : public io::FileSys {
 public:
  std::string failing;  // "open", "read", "lseek"
  int err = EACCES;
  long long claimedSize = -1;  // >= 0: the size the file claims
  int Fstat(int fd, struct stat* st) override {
    const int r = FileSys::Fstat(fd, st);
    if (claimedSize >= 0) st->st_size = claimedSize;
    return r;
  }
  int Open(const char* path, int flags, mode_t mode) override {
    return failing == "open" ? Fail() : FileSys::Open(path, flags, mode);
  }
  ssize_t Read(int fd, void* buffer, std::size_t size) override {
    return failing == "read" ? Fail() : FileSys::Read(fd, buffer, size);
  }
  off_t Lseek(int fd, off_t offset, int whence) override {
    return failing == "lseek" ? Fail() : FileSys::Lseek(fd, offset, whence);
  }

 private:
  int Fail() {
    errno = err;
    return -1;
  }
};

// Once through the seam and once for real, only as a normal user: root reads any file
// (tests/scripts/as_nobody.sh runs this as nobody).
class HexLoaderPermission : public HexLoaderFile, public ::testing::WithParamInterface<bool> {};

TEST_P(HexLoaderPermission, AFileTheUserMayNotReadNamesTheReason) {
  const bool real = GetParam();
  if (real && ::geteuid() == 0) GTEST_SKIP() << "root reads any file";
  const std::string path = Write("locked.hex", th::Make({{0, {1}}}));
  ASSERT_EQ(::chmod(path.c_str(), 0200), 0);
  RefusingSys refusing;
  refusing.failing = "open";
  THexImages images;
  images.FlashImage = {1};
  const HexLoadResult r =
      LoadHexFile(path, NewGeometry(mcu::ARM), images, real ? io::DefaultFileSys() : refusing);
  EXPECT_EQ(r.status, HexLoadStatus::Unreadable);
  EXPECT_EQ(r.message, "Cannot read file '" + path + "': Permission denied.");
  EXPECT_TRUE(images.FlashImage.empty());
  if (real) {
    // Telling the format reads the file's head first; that failure must not hide the reason.
    EXPECT_EQ(LoadFirmware({path, nullptr, "", {}, {}}, NewGeometry(mcu::ARM), images).load.message,
              r.message);
  }
}

INSTANTIATE_TEST_SUITE_P(Checks, HexLoaderPermission, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& row) {
                           return std::string(row.param ? "AsThisUser" : "ThroughTheSeam");
                         });

// Up to 1 GiB is read; a longer file is refused before a byte of it is read. The seam claims the size.
class HexFileCap : public HexLoaderFile, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(HexFileCap, LongerThan1GiBIsRefusedUnread) {
  const std::uint64_t size = GetParam();
  const std::string path = Write("huge.hex", th::Make({{0, {7}}}));
  RefusingSys sys;
  sys.claimedSize = static_cast<long long>(size);
  sys.failing = size > kMaxHexFileBytes ? "read" : "";
  THexImages images;
  images.FlashImage = {1};
  images.HexLoaded = true;
  images.HexMcuType = mcu::PIC18;
  const HexLoadResult r = LoadHexFile(path, NewGeometry(mcu::ARM), images, sys);
  if (size <= kMaxHexFileBytes) {
    ASSERT_EQ(r.status, HexLoadStatus::Loaded) << r.message;
    EXPECT_EQ(images.FlashImage, TByteArray{7});
    return;
  }
  EXPECT_EQ(r.status, HexLoadStatus::TooLarge);
  EXPECT_EQ(r.message, "HEX file 'huge.hex' is " + std::to_string(size) +
                           " bytes long, more than any device's flash could need. Nothing was loaded.");
  EXPECT_TRUE(images.FlashImage.empty());
  EXPECT_TRUE(images.HexLoaded) << "the last good load's flags stay";
  EXPECT_EQ(images.HexMcuType, mcu::PIC18);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, HexFileCap, ::testing::Values(kMaxHexFileBytes - 1, kMaxHexFileBytes, kMaxHexFileBytes + 1),
    [](const ::testing::TestParamInfo<std::uint64_t>& row) {
      return std::string(row.index == 0 ? "OneByteShort" : row.index == 1 ? "TheLimit" : "OneByteBeyond");
    });

TEST_F(HexLoaderFile, ReadErrorsInEitherPassLeaveNoImage) {
  const std::string path = Write("flaky.hex", th::Make({{0, {1, 2, 3}}}));
  for (const char* failing : {"read", "lseek"}) {
    RefusingSys sys;
    sys.failing = failing;
    sys.err = EIO;
    THexImages images;
    images.FlashImage = {1};
    const HexLoadResult r = LoadHexFile(path, NewGeometry(mcu::ARM), images, sys);
    EXPECT_EQ(r.status, HexLoadStatus::Unreadable) << failing;
    EXPECT_EQ(r.message, "Cannot read file '" + path + "': Input/output error.") << failing;
    EXPECT_TRUE(images.FlashImage.empty()) << failing;
    EXPECT_FALSE(images.HexLoaded) << failing;
  }
}

// The file is read in runs; lines, CR LF pairs and hex pairs that straddle a run boundary must give
// exactly what the same text gives from memory.
TEST_F(HexLoaderFile, RunBoundariesDoNotChangeTheResult) {
  const std::string good = Data(0x10, {1, 2, 3});
  std::string bad = Data(0x20, {4});
  bad.back() = bad.back() == '0' ? '1' : '0';
  const std::string longComment(300000, 'c');
  // A ':' line far longer than a run, valid but unusable as a record beyond its first fields.
  std::string longRecord = ":00000005";
  for (int i = 0; i < 150000; ++i) longRecord += (i % 2 == 0) ? "01" : "FF";
  for (std::size_t pad = 0; pad < 6; ++pad) {
    for (const std::string& tail : {good, bad}) {
      const std::string text = std::string(262144 - 20 - pad, ';') + "\r\n" + good + "\r\n" + longComment + "\r" +
                               longRecord + "\n" + tail + "\r\n" + longComment;
      const std::string path = Write("run.hex", text);
      THexImages fromFile, fromText;
      const HexLoadResult a = LoadHexFile(path, NewGeometry(mcu::ARM), fromFile);
      const HexLoadResult b = LoadHexText(text, "run.hex", NewGeometry(mcu::ARM), fromText);
      EXPECT_EQ(a.status, b.status) << pad;
      EXPECT_EQ(a.message, b.message) << pad;
      EXPECT_EQ(fromFile.FlashImage, fromText.FlashImage) << pad;
    }
  }
}

TEST_F(HexLoaderFile, CrLfSplitAcrossRunsIsOneLineEnd) {
  for (std::size_t cut = 262140; cut < 262148; ++cut) {
    std::string text = std::string(cut - 1, ';') + "\r\n" + ":0100000001FF\r\n";
    const std::string path = Write("crlf.hex", text);
    THexImages images;
    const HexLoadResult r = LoadHexFile(path, NewGeometry(mcu::ARM), images);
    EXPECT_EQ(r.message, "CRC check failed. Invalid CRC at line 1 in file 'crlf.hex'.\r\nNo data will be loaded.")
        << cut;
  }
}

TEST_F(HexLoaderFile, EndMarkerSplitAcrossRunsStillEndsTheFile) {
  for (std::size_t before = 1; before < 12; ++before) {
    const std::string text = std::string(262144 - before - 2, ';') + "\r\n:00000001ff\r\n:0100000001FF\r\n";
    const std::string path = Write("marker.hex", text);
    THexImages images;
    EXPECT_EQ(LoadHexFile(path, NewGeometry(mcu::ARM), images).status, HexLoadStatus::Loaded) << before;
  }
}

}  // namespace
}  // namespace quorvel
