// SPDX-License-Identifier: Apache-2.0
#include "hid/report_descriptor.h"

#include <gtest/gtest.h>

#include <vector>

namespace quorvel::hid {
namespace {

std::optional<ReportDescriptorSummary> Parse(const std::vector<std::uint8_t>& d) {
  return ParseReportDescriptor(d.data(), d.size());
}

// A vendor-defined device with one 64-byte input and one 64-byte output report
// and no report IDs, as bootloaders of this kind describe themselves.
const std::vector<std::uint8_t> kVendor64 = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor Defined 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x19, 0x01, 0x29, 0x40,  // Usage Minimum/Maximum
    0x15, 0x00, 0x26, 0xFF, 0x00,  // Logical 0..255
    0x75, 0x08, 0x95, 0x40,  // Report Size 8, Count 64
    0x81, 0x00,              // Input
    0x19, 0x01, 0x29, 0x40,
    0x91, 0x00,  // Output
    0xC0,
};

// The standard boot keyboard descriptor (HID 1.11, appendix B.1): 8-byte input, 1-byte LED output.
const std::vector<std::uint8_t> kKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0,
};

// Keyboard (ID 1) plus consumer control (ID 2) plus a vendor report (ID 3)
// whose sizes are set between Push and Pop.
const std::vector<std::uint8_t> kMultiReport = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01,  // keyboard, ID 1
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02,              // 8 bits
    0x75, 0x08, 0x95, 0x06, 0x81, 0x00,              // 6 bytes -> 7 bytes
    0x75, 0x01, 0x95, 0x05, 0x91, 0x02, 0x75, 0x03, 0x95, 0x01, 0x91, 0x01,  // 1 byte output
    0xC0,
    0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02,  // consumer, ID 2
    0x75, 0x10, 0x95, 0x01, 0x81, 0x00,              // 2 bytes
    0xC0,
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x03,  // vendor, ID 3
    0xA4,                                                  // Push
    0x75, 0x08, 0x96, 0x1F, 0x00,                          // Report Count (2-byte item) 31
    0x81, 0x02, 0x91, 0x02,                                // 31 in, 31 out
    0xB4,                                                  // Pop: back to size 16, count 1
    0x81, 0x02,                                            // +16 bits input for ID 3
    0xC0,
};

TEST(ReportDescriptor, VendorDeviceWithoutIdsGives65ByteReports) {
  auto s = Parse(kVendor64);
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->numbered);
  EXPECT_EQ(s->InputReportByteLength(), 65);
  EXPECT_EQ(s->OutputReportByteLength(), 65);
}

TEST(ReportDescriptor, BootKeyboard) {
  auto s = Parse(kKeyboard);
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->numbered);
  EXPECT_EQ(s->maxInputBytes, 8u);
  EXPECT_EQ(s->maxOutputBytes, 1u);
  EXPECT_EQ(s->InputReportByteLength(), 9);
  EXPECT_EQ(s->OutputReportByteLength(), 2);
}

TEST(ReportDescriptor, LargestReportOfANumberedDeviceAndPushPop) {
  auto s = Parse(kMultiReport);
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->numbered);
  // ID 3: 31 bytes, then 16 bits from the restored globals (size 16, count 1).
  EXPECT_EQ(s->maxInputBytes, 33u);
  EXPECT_EQ(s->maxOutputBytes, 31u);
  EXPECT_EQ(s->InputReportByteLength(), 34);
  EXPECT_EQ(s->OutputReportByteLength(), 32);
}

TEST(ReportDescriptor, ReportsEndingInsideAByteTakeThatWholeByte) {
  // 12 bits of input (three 4-bit fields), 1 bit of output.
  auto s = Parse(
      {0x05, 0x01, 0xA1, 0x01, 0x75, 0x04, 0x95, 0x03, 0x81, 0x02, 0x75, 0x01, 0x95, 0x01, 0x91, 0x02, 0xC0});
  ASSERT_TRUE(s);
  EXPECT_EQ(s->InputReportByteLength(), 3);
  EXPECT_EQ(s->OutputReportByteLength(), 2);
}

TEST(ReportDescriptor, LongItemsAreSkippedWhole) {
  std::vector<std::uint8_t> d = {0xFE, 0x03, 0x10, 0x81, 0x81, 0x81};  // long item whose data looks like Inputs
  d.insert(d.end(), kVendor64.begin(), kVendor64.end());
  auto s = Parse(d);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->InputReportByteLength(), 65);
}

TEST(ReportDescriptor, NoReportsGivesZeroLengths) {
  auto s = Parse({0x05, 0x01, 0xA1, 0x01, 0xC0});
  ASSERT_TRUE(s);
  EXPECT_EQ(s->InputReportByteLength(), 0);
  EXPECT_EQ(s->OutputReportByteLength(), 0);
}

class MalformedDescriptor : public ::testing::TestWithParam<std::vector<std::uint8_t>> {};
TEST_P(MalformedDescriptor, IsRejected) { EXPECT_FALSE(Parse(GetParam())); }
INSTANTIATE_TEST_SUITE_P(Cases, MalformedDescriptor,
                         ::testing::Values(std::vector<std::uint8_t>{0x75},              // value cut off
                                           std::vector<std::uint8_t>{0x27, 0x01, 0x02},  // 4-byte value cut off
                                           std::vector<std::uint8_t>{0xFE, 0x05, 0x00, 0x01},  // long item cut off
                                           std::vector<std::uint8_t>{0xFE},
                                           std::vector<std::uint8_t>{0xB4},              // Pop without Push
                                           std::vector<std::uint8_t>{0x85, 0x00}));      // report ID 0

TEST(ReportDescriptor, HugeCountsDoNotOverflow) {
  auto s = Parse({0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x00, 0x81, 0x00});
  ASSERT_TRUE(s);
  EXPECT_EQ(s->InputReportByteLength(), 0xFFFF);
}

}  // namespace
}  // namespace quorvel::hid
