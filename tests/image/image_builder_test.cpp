// SPDX-License-Identifier: Apache-2.0
// The image builder fed directly with records, as a reader of another format (an ELF segment, a
// raw binary at a base address) would feed it.
#include "image/image_builder.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "core/families.h"
#include "support/hex_writer.h"

namespace quorvel {
namespace {

TBootInfo NewGeometry(std::uint8_t family, std::uint32_t mcuSize = 0x100000) {
  TBootInfo info;
  info.McuType = family;
  info.BootRevision = 0x1200;
  info.McuSize = mcuSize;
  return info;
}

class AddressOnly final : public SourceRecord {
 public:
  explicit AddressOnly(std::uint32_t address) : SourceRecord(address, 0, false) {}
  bool CopyBytes(std::uint8_t*) const override { return true; }
};

class FailingRecord final : public SourceRecord {
 public:
  FailingRecord(std::uint32_t address, std::uint32_t count) : SourceRecord(address, count, true) {}
  bool CopyBytes(std::uint8_t* out) const override {
    out[0] = 0x5A;  // the bytes before the unreadable one are kept
    return false;
  }
};

TEST(ImageBuilder, BinaryFedInPiecesBuildsWhatTheSameBytesGiveAsHex) {
  for (const std::uint8_t family : {mcu::STM32F4XX, mcu::PIC32, mcu::dsPIC33, mcu::PIC16}) {
    const std::uint32_t base = family == mcu::STM32F4XX ? 0x08000000u : family == mcu::PIC32 ? 0x1D000000u : 0u;
    std::vector<std::uint8_t> bytes(1000);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{7});

    THexImages fromBinary;
    ImageBuilder builder(NewGeometry(family), fromBinary);
    for (std::size_t at = 0; at < bytes.size(); at += 300) {
      const std::size_t n = std::min<std::size_t>(300, bytes.size() - at);
      const ByteRecord piece(base + 24 + static_cast<std::uint32_t>(at), {bytes.data() + at, n});
      ASSERT_EQ(builder.Take(piece), RecordVerdict::Taken);
    }
    builder.Finish();

    THexImages fromHex;
    const HexLoadResult r = LoadHexText(testhex::Make({{base + 24, bytes}}), "a.hex", NewGeometry(family), fromHex);
    ASSERT_EQ(r.status, HexLoadStatus::Loaded) << r.message;
    EXPECT_EQ(fromBinary.FlashImage, fromHex.FlashImage) << int{family};
    EXPECT_TRUE(fromBinary.HexLoaded);
    EXPECT_EQ(fromBinary.HexMcuType, family);
  }
}

TEST(ImageBuilder, Stm32RefusesEveryRecordBelowItsFlashEvenWithoutData) {
  THexImages images;
  ImageBuilder builder(NewGeometry(mcu::STM32F1XX), images);
  EXPECT_EQ(builder.Take(AddressOnly(0x07FFFFFF)), RecordVerdict::BelowFlashBase);
  const std::uint8_t one[] = {1};
  EXPECT_EQ(builder.Take(ByteRecord(0x07FFFFFF, one)), RecordVerdict::BelowFlashBase);
  EXPECT_EQ(builder.Take(AddressOnly(0x08000000)), RecordVerdict::Taken);
  EXPECT_TRUE(images.FlashImage.empty());
  // Other families ignore what lies below or outside their flash.
  ImageBuilder pic32(NewGeometry(mcu::PIC32), images);
  EXPECT_EQ(pic32.Take(ByteRecord(0x00000010, one)), RecordVerdict::Taken);
  EXPECT_TRUE(images.FlashImage.empty());
}

TEST(ImageBuilder, CountsTheDataNoWindowKeepsFromItsLowestAddress) {
  const std::uint8_t bytes[16] = {};
  THexImages images;
  ImageBuilder pic18(NewGeometry(mcu::PIC18, 0x8000), images);
  for (const auto& [address, count] : {std::pair{0x300000u, 14}, {0x10u, 16}, {0xF00000u, 4}, {0x7FFFu, 2}, {0x8000u, 2}}) {
    ASSERT_EQ(pic18.Take(ByteRecord(address, {bytes, static_cast<std::size_t>(count)})), RecordVerdict::Taken);
  }
  EXPECT_EQ(pic18.Take(AddressOnly(0x400000)), RecordVerdict::Taken);
  EXPECT_EQ(pic18.Dropped().bytes, 20u) << "config, EEPROM and the byte at the limit";
  EXPECT_EQ(pic18.Dropped().firstAddress, 0x8000u);

  // The PIC32 boot flash's configuration words are never taken, whichever view of them the file gives.
  ImageBuilder pic32(NewGeometry(mcu::PIC32), images);
  EXPECT_EQ(pic32.Take(ByteRecord(0xBFC02FF0u, {bytes, 16})), RecordVerdict::Taken);
  EXPECT_EQ(pic32.Take(ByteRecord(0x9D000000u, {bytes, 16})), RecordVerdict::Taken);
  EXPECT_EQ(pic32.Take(ByteRecord(0xA0000000u, {bytes, 0})), RecordVerdict::Taken) << "empty, so nothing dropped";
  EXPECT_EQ(pic32.Dropped().bytes, 16u);
  EXPECT_EQ(pic32.Dropped().firstAddress, 0xBFC02FF0u);
}

TEST(ImageBuilder, RefusesDataBeyondAnyDeviceBeforeGrowingTheImage) {
  THexImages images;
  ImageBuilder builder(NewGeometry(mcu::ARM, 0xFFFFFFFFu), images);
  const std::uint8_t two[] = {1, 2};
  EXPECT_EQ(builder.Take(ByteRecord(kMaxImageBytes - 1, two)), RecordVerdict::BeyondAnyDevice);
  EXPECT_TRUE(images.FlashImage.empty());
  EXPECT_EQ(builder.Take(ByteRecord(kMaxImageBytes - 2, two)), RecordVerdict::Taken);
  EXPECT_EQ(images.FlashImage.size(), kMaxImageBytes);
}

TEST(ImageBuilder, UnreadableBytesEndTheRecordAfterTheImageGrew) {
  THexImages images;
  ImageBuilder builder(NewGeometry(mcu::PIC18), images);
  EXPECT_EQ(builder.Take(FailingRecord(2, 3)), RecordVerdict::Unreadable);
  EXPECT_EQ(images.FlashImage, (TByteArray{0xFF, 0xFF, 0x5A, 0xFF, 0xFF}));
}

}  // namespace
}  // namespace quorvel
