// SPDX-License-Identifier: Apache-2.0
// The information record parser, without any device.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "core/boot_info.h"

namespace quorvel {
namespace {

TBootInfo Parse(const std::vector<std::uint8_t>& record, TBootInfo start = {}) {
  ParseBootInfoRecord(record.data(), record.size(), start);
  return start;
}

TEST(RecordParser, Pic18RecordReadsValuesBeyondTheRecordLength) {
  const TBootInfo info = Parse({0x0A, 0x01, 0x02, 0x03, 0x40, 0x00, 0x04, 0x40, 0x00, 0x05, 0x01, 0x00});
  EXPECT_EQ(info.McuType, 2);
  EXPECT_EQ(info.EraseBlock, 64);
  EXPECT_EQ(info.WriteBlock, 64);
  EXPECT_EQ(info.BootRevision, 1);
  EXPECT_TRUE(BootAtBottom(info));
}

// Family, position of a tag, the bytes after it, and the value expected.
struct AlignmentCase {
  const char* name;
  std::vector<std::uint8_t> record;
  std::uint32_t expected;
  bool wordField;  // tag 6 (BootStart) rather than tag 3 (EraseBlock)
};

void PrintTo(const AlignmentCase& c, std::ostream* os) { *os << c.name; }

class RecordAlignment : public ::testing::TestWithParam<AlignmentCase> {};

TEST_P(RecordAlignment, ValueStartsWhereTheFamilyAlignsIt) {
  const AlignmentCase& c = GetParam();
  const TBootInfo info = Parse(c.record);
  if (c.wordField)
    EXPECT_EQ(static_cast<std::uint32_t>(info.BootStart), c.expected);
  else
    EXPECT_EQ(info.EraseBlock, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Families, RecordAlignment,
    ::testing::Values(
        // PIC32: tag 6 at position 3 is followed by an aligned value at 4..7.
        AlignmentCase{"pic32_tag6_at_3", {0x10, 0x01, 20, 0x06, 0x00, 0x30, 0x00, 0x9D}, 0x9D003000u, true},
        // PIC32: tag 6 at position 4 skips 5..7 and takes 8..11.
        AlignmentCase{"pic32_tag6_at_4",
                      {0x10, 0x01, 20, 0x00, 0x06, 0xEE, 0xEE, 0xEE, 0x00, 0x00, 0xC0, 0x1F},
                      0x1FC00000u,
                      true},
        // PIC24: tag 3 at an even position skips one filler byte.
        AlignmentCase{"pic24_tag3_even", {0x10, 0x01, 4, 0x00, 0x03, 0xEE, 0x00, 0x04}, 0x400u, false},
        // PIC24: tag 3 at an odd position takes the next two bytes.
        AlignmentCase{"pic24_tag3_odd", {0x10, 0x01, 4, 0x03, 0x00, 0x04}, 0x400u, false},
        // PIC24: tag 6 needs only even alignment.
        AlignmentCase{
            "pic24_tag6_at_4", {0x10, 0x01, 4, 0x00, 0x06, 0xEE, 0x00, 0x54, 0x01, 0x00}, 0x15400u, true},
        // PIC18: no alignment at all.
        AlignmentCase{"pic18_tag6_at_4", {0x10, 0x01, 2, 0x00, 0x06, 0x00, 0x7C, 0x00, 0x00}, 0x7C00u, true},
        // An unknown family code aligns nothing.
        AlignmentCase{"unknown_family_tag3", {0x10, 0x01, 5, 0x00, 0x03, 0x40, 0x00}, 0x40u, false},
        // STM32: tag 3 aligned to two.
        AlignmentCase{"stm32_tag3_even", {0x10, 0x01, 37, 0x00, 0x03, 0xEE, 0x00, 0x40}, 0x4000u, false}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(RecordParser, TagBeforeFamilyUsesThePreviousFamily) {
  // Tag 3 at position 2 (even): a PIC24 from the previous record skips a filler.
  const std::vector<std::uint8_t> record{0x10, 0x00, 0x03, 0xEE, 0x00, 0x08, 0x01, 0x02};
  TBootInfo previous;
  previous.McuType = 4;
  const TBootInfo afterPic24 = Parse(record, previous);
  EXPECT_EQ(afterPic24.EraseBlock, 0x800);
  EXPECT_EQ(afterPic24.McuType, 2);
  const TBootInfo afterNothing = Parse(record);
  EXPECT_EQ(afterNothing.EraseBlock, 0x00EE);
}

TEST(RecordParser, DescriptionEndsAtZeroAndParsingResumesAfterIt) {
  const TBootInfo info = Parse({0x10, 0x07, 0x41, 0x42, 0x00, 0x01, 0x02});
  EXPECT_EQ(info.DeviceDescription, "AB");
  EXPECT_EQ(info.McuType, 2);

  TBootInfo start;
  start.DeviceDescription = "old";
  EXPECT_EQ(Parse({0x10, 0x07, 0x00}, start).DeviceDescription, "");
}

TEST(RecordParser, AbsentTagsKeepTheirValuesAndUnknownTagsAreSingleBytes) {
  TBootInfo start;
  start.McuSize = 0x8000;
  start.ProgramStart = 0x1000;
  const TBootInfo info = Parse({0x06, 0x00, 0x02, 0x0A, 0xFF, 0x01, 0x03}, start);
  EXPECT_EQ(info.McuType, 3);
  EXPECT_EQ(info.McuSize, 0x8000u);
  EXPECT_EQ(info.ProgramStart, 0x1000);
}

TEST(RecordParser, MeaninglessReportsChangeNothing) {
  TBootInfo start;
  start.McuType = 37;
  start.EraseBlock = 0x400;
  const TBootInfo zeros = Parse(std::vector<std::uint8_t>(64, 0), start);
  EXPECT_EQ(zeros.McuType, 37);
  EXPECT_EQ(zeros.EraseBlock, 0x400);
  ParseBootInfoRecord(nullptr, 0, start);
  EXPECT_EQ(start.McuType, 37);
}

// A record cut off by the end of the received bytes: nothing is read past
// them (the vector's exact size lets AddressSanitizer see any overrun).
TEST(RecordParser, TruncatedRecordsStopAtTheReceivedBytes) {
  // Record length claims 200 bytes, but only 4 arrived: a half value.
  const TBootInfo half = Parse({0xC8, 0x03, 0x40});
  EXPECT_EQ(half.EraseBlock, 0x40);
  const TBootInfo cutValue = Parse({0xC8, 0x01, 37, 0x06});
  EXPECT_EQ(cutValue.BootStart, 0);

  // A text without its zero byte ends with the received bytes.
  const TBootInfo text = Parse({0xC8, 0x07, 'a', 'b', 'c'});
  EXPECT_EQ(text.DeviceDescription, "abc");

  // A tag as the very last received byte.
  const TBootInfo lastTag = Parse({0xC8, 0x01});
  EXPECT_EQ(lastTag.McuType, 0);

  // A full 64-byte report of 0x07 with no zero byte anywhere.
  std::vector<std::uint8_t> noZero(64, 0x07);
  noZero[0] = 0xFF;
  EXPECT_EQ(Parse(noZero).DeviceDescription.size(), 62u);
}

}  // namespace
}  // namespace quorvel
