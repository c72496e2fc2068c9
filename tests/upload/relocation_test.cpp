// SPDX-License-Identifier: Apache-2.0
// Entry stubs and reset-entry patches per family and layout, and their placement in the buffer.
#include "upload/relocation.h"

#include <gtest/gtest.h>

#include "core/families.h"
#include "upload/geometry.h"

namespace quorvel {
namespace {

constexpr std::uint16_t kTop = 0x1200;
constexpr std::uint16_t kBottom = 0x1201;

TBootInfo Info(std::uint8_t family, std::uint16_t revision, std::int32_t bootStart) {
  TBootInfo info;
  info.McuType = family;
  info.BootRevision = revision;
  info.BootStart = bootStart;
  return info;
}

TUploadState TopState(const TBootInfo& info, TByteArray image) {
  TUploadState state;
  // BootStart in image units: three bytes per two address units, PIC32 physical.
  const auto bootStart = static_cast<std::uint32_t>(info.BootStart);
  state.BootLimit = Is16BitPic(info.McuType) ? (bootStart >> 1) * 3
                    : IsPic32(info.McuType)  ? bootStart & 0x1FFFFFFFu
                                             : bootStart;
  if (IsPic32(info.McuType)) {
    state.BootImageCopy = std::move(image);
  } else {
    state.ImageCopy = std::move(image);
  }
  return state;
}

TByteArray Sequence(std::size_t n, std::uint8_t first = 0x10) {
  TByteArray out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

// `head` followed by distinct filler bytes up to `n`.
TByteArray Padded(TByteArray head, std::size_t n) {
  for (std::size_t i = head.size(); i < n; ++i) head.push_back(static_cast<std::uint8_t>(0xA0 + i));
  return head;
}

TByteArray Prefix(const TByteArray& bytes, std::size_t n) { return TByteArray(bytes.begin(), bytes.begin() + n); }

// ---------------------------------------------------------------------------------------------

struct StubRow {
  const char* name;
  std::uint8_t family;
  std::int32_t bootStart;
  TByteArray image;
  TByteArray stub;
  TByteArray patchedHead;  // first bytes of the working image after the top-layout patch
};
void PrintTo(const StubRow& row, std::ostream* os) { *os << row.name; }

class ResetTrampoline : public ::testing::TestWithParam<StubRow> {};

TEST_P(ResetTrampoline, TopLayoutKeepsTheEntryAndJumpsToTheBootloader) {
  const StubRow& row = GetParam();
  const TBootInfo info = Info(row.family, kTop, row.bootStart);
  TUploadState state = TopState(info, row.image);
  BuildResetTrampoline(state, info);
  EXPECT_EQ(state.EntryStub, row.stub);
  EXPECT_EQ(Prefix(state.ImageCopy, row.patchedHead.size()), row.patchedHead);
  EXPECT_EQ(state.ImageCopy.size(), row.image.size());
  // Bytes after the patch are the application's own.
  EXPECT_TRUE(std::equal(state.ImageCopy.begin() + static_cast<std::ptrdiff_t>(row.patchedHead.size()),
                         state.ImageCopy.end(), row.image.begin() + static_cast<std::ptrdiff_t>(row.patchedHead.size())));
}

TEST_P(ResetTrampoline, BottomLayoutBuildsTheSameStubAndLeavesTheImage) {
  const StubRow& row = GetParam();
  const TBootInfo info = Info(row.family, kBottom, row.bootStart);
  TUploadState state;
  state.ImageCopy = row.image;
  BuildResetTrampoline(state, info);
  EXPECT_EQ(state.EntryStub, row.stub);
  EXPECT_EQ(state.ImageCopy, row.image);
}

TEST_P(ResetTrampoline, ShortImageGivesAZeroStubAndNoPatch) {
  const StubRow& row = GetParam();
  const TBootInfo info = Info(row.family, kTop, row.bootStart);
  const TByteArray shortImage = Prefix(row.image, row.stub.size() - 1);
  TUploadState state = TopState(info, shortImage);
  BuildResetTrampoline(state, info);
  EXPECT_EQ(state.EntryStub, TByteArray(row.stub.size(), 0));
  EXPECT_EQ(state.ImageCopy, shortImage);
}

INSTANTIATE_TEST_SUITE_P(
    Families, ResetTrampoline,
    ::testing::Values(
        StubRow{"Pic18", mcu::PIC18, 0x7C00, Sequence(8), {0x10, 0x11, 0x12, 0x13}, {0x00, 0xEF, 0x3E, 0xF0}},
        StubRow{"Pic18FJHighAddress", mcu::PIC18FJ, 0x1FC00, Sequence(8), {0x10, 0x11, 0x12, 0x13},
                {0x00, 0xEF, 0xFE, 0xF0}},
        StubRow{"Pic18AboveOneMegabyte", mcu::PIC18, 0x13C00, Sequence(4), {0x10, 0x11, 0x12, 0x13},
                {0x00, 0xEF, 0x9E, 0xF0}},
        StubRow{"Pic24", mcu::PIC24, 0x1000, Sequence(9), Sequence(6), {0x00, 0x10, 0x04, 0x00, 0x00, 0x00}},
        StubRow{"DsPic33HighWord", mcu::dsPIC33, 0x2AC00, Sequence(9), Sequence(6),
                {0x00, 0xAC, 0x04, 0x02, 0x00, 0x00}},
        StubRow{"Arm", mcu::ARM, 0x1F000,
                Padded({0xF8, 0xFF, 0x00, 0x20, 0xCD, 0xAB, 0x00, 0x08}, 24),
                {0x4F, 0xF6, 0xF8, 0x70, 0xC2, 0xF2, 0x00, 0x00, 0x85, 0x46,
                 0x4A, 0xF6, 0xCD, 0x30, 0xC0, 0xF6, 0x00, 0x00, 0x00, 0x47},
                {0xF8, 0xFF, 0x00, 0x20, 0x01, 0xF0, 0x01, 0x00}},
        StubRow{"Stm32", mcu::STM32F4XX, 0x08010000,
                Padded({0x00, 0x00, 0x02, 0x20, 0x01, 0x02, 0x00, 0x08}, 20),
                {0x40, 0xF2, 0x00, 0x00, 0xC2, 0xF2, 0x02, 0x00, 0x85, 0x46,
                 0x40, 0xF2, 0x01, 0x20, 0xC0, 0xF6, 0x00, 0x00, 0x00, 0x47},
                {0x00, 0x00, 0x02, 0x20, 0x01, 0x00, 0x01, 0x08}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ResetTrampolineArm, MovEncodingSpreadsEveryImmediateBit) {
  // Each immediate bit group lands in its own field: imm8, imm3, i, imm4.
  const TBootInfo info = Info(mcu::TIVA_C, kBottom, 0);
  TUploadState state;
  state.ImageCopy = Padded({0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x08, 0x00, 0x00}, 20);
  BuildResetTrampoline(state, info);
  const TByteArray expectedHead = {0x4F, 0xF6, 0xFF, 0x70, 0xCF, 0xF6, 0xFF, 0x70, 0x85, 0x46,
                                   0x40, 0xF6, 0x00, 0x00, 0xC0, 0xF2, 0x00, 0x00, 0x00, 0x47};
  EXPECT_EQ(state.EntryStub, expectedHead);
}

TEST(ResetTrampolinePic32, RecognisedStartupKeepsItsFirst64BytesAndPatchesAfterThem) {
  for (std::uint32_t word : {0x27BDFFFCu, 0x70000000u}) {
    const TBootInfo info = Info(mcu::PIC32, kTop, static_cast<std::int32_t>(0x9FC00490u));
    TByteArray boot = Sequence(96);
    boot[0] = static_cast<std::uint8_t>(word);
    boot[1] = static_cast<std::uint8_t>(word >> 8);
    boot[2] = static_cast<std::uint8_t>(word >> 16);
    boot[3] = static_cast<std::uint8_t>(word >> 24);
    TUploadState state = TopState(info, boot);
    BuildResetTrampoline(state, info);
    EXPECT_TRUE(state.StartupRecognised);
    EXPECT_EQ(state.EntryStub, (TByteArray{0xC0, 0xBF, 0x1E, 0x3C, 0x50, 0x00, 0xDE, 0x37, 0x08, 0x00, 0xC0, 0x03,
                                           0x00, 0x00, 0x00, 0x70}));
    EXPECT_EQ(Prefix(state.BootImageCopy, 64), Prefix(boot, 64));
    const TByteArray patch(state.BootImageCopy.begin() + 64, state.BootImageCopy.begin() + 80);
    EXPECT_EQ(patch, (TByteArray{0xC0, 0x9F, 0x1E, 0x3C, 0x90, 0x04, 0xDE, 0x37, 0x08, 0x00, 0xC0, 0x03,
                                 0x00, 0x00, 0x00, 0x70}));
    EXPECT_TRUE(std::equal(state.BootImageCopy.begin() + 80, state.BootImageCopy.end(), boot.begin() + 80));
  }
}

TEST(ResetTrampolinePic32, OtherStartupIsSavedThenOverwritten) {
  const TBootInfo info = Info(mcu::PIC32, kTop, 0x1D07F000);
  const TByteArray boot = Sequence(32);
  TUploadState state = TopState(info, boot);
  BuildResetTrampoline(state, info);
  EXPECT_FALSE(state.StartupRecognised);
  EXPECT_EQ(state.EntryStub, Prefix(boot, 16));
  EXPECT_EQ(Prefix(state.BootImageCopy, 16), (TByteArray{0x07, 0x1D, 0x1E, 0x3C, 0x00, 0xF0, 0xDE, 0x37, 0x08,
                                                         0x00, 0xC0, 0x03, 0x00, 0x00, 0x00, 0x70}));
  EXPECT_EQ(state.BootImageCopy.size(), 32u);
}

TEST(ResetTrampolinePic32, ShortRecognisedBootImageIsPaddedSoThePatchLandsWhole) {
  const TBootInfo info = Info(mcu::PIC32, kTop, static_cast<std::int32_t>(0xBFC00490u));
  TUploadState state = TopState(info, {0xFC, 0xFF, 0xBD, 0x27, 0x11, 0x22, 0x33, 0x44,
                                       0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD});
  BuildResetTrampoline(state, info);
  ASSERT_EQ(state.BootImageCopy.size(), 80u);
  EXPECT_EQ(state.BootImageCopy[16], 0xDD);
  EXPECT_EQ(TByteArray(state.BootImageCopy.begin() + 17, state.BootImageCopy.begin() + 64), TByteArray(47, 0xFF));
  EXPECT_EQ(state.BootImageCopy[64], 0xC0);
  EXPECT_EQ(state.BootImageCopy[79], 0x70);
}

TEST(ResetTrampoline, FamiliesWithoutAStubDoNothing) {
  for (std::uint8_t family : {mcu::PIC16, std::uint8_t{0}, std::uint8_t{99}}) {
    const TBootInfo info = Info(family, kTop, 0x1000);
    TUploadState state = TopState(info, Sequence(32));
    BuildResetTrampoline(state, info);
    EXPECT_TRUE(state.EntryStub.empty());
    EXPECT_EQ(state.ImageCopy, Sequence(32));
  }
}

// ---------------------------------------------------------------------------------------------

TEST(PlaceTrampoline, TopLayoutFillsTheLastBytesOfTheBuffer) {
  TUploadState state;
  state.EntryStub = {1, 2, 3, 4};
  TByteArray buffer(8, 0xEE);
  PlaceTrampoline(state, Info(mcu::PIC18, kTop, 0), buffer);
  EXPECT_EQ(buffer, (TByteArray{0xEE, 0xEE, 0xEE, 0xEE, 1, 2, 3, 4}));
}

TEST(PlaceTrampoline, BottomLayoutFillsTheFirstBytes) {
  TUploadState state;
  state.EntryStub = {1, 2, 3, 4};
  TByteArray buffer(8, 0xEE);
  PlaceTrampoline(state, Info(mcu::PIC18, kBottom, 0), buffer);
  EXPECT_EQ(buffer, (TByteArray{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST(PlaceTrampoline, AStubLongerThanTheBufferIsNotPlaced) {
  TUploadState state;
  state.EntryStub = TByteArray(20, 7);
  for (std::uint16_t revision : {kTop, kBottom}) {
    TByteArray buffer(16, 0xEE);
    PlaceTrampoline(state, Info(mcu::ARM, revision, 0), buffer);
    EXPECT_EQ(buffer, TByteArray(16, 0xEE));
  }
  TByteArray exact(20, 0xEE);
  PlaceTrampoline(state, Info(mcu::ARM, kTop, 0), exact);
  EXPECT_EQ(exact, TByteArray(20, 7));
}

}  // namespace
}  // namespace quorvel
