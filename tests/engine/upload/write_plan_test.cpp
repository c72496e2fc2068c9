// SPDX-License-Identifier: Apache-2.0
// The write plan on its own: how a range is cut into Write commands and
// transfers, which blocks skip-blank leaves out per family, the ranges of
// each layout (boot flash, overflow and refusals included) and the hashes of
// a plan. The frames of every layout stay pinned by the layout and sweep tests.
#include "upload/write_plan.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/upload/upload_fixture.h"
#include "engine/upload/upload_proof.h"
#include "support/family_row.h"

namespace quorvel::test {
namespace {

using ::testing::ElementsAre;
using upload::PlannedWrite;
using upload::StagedRange;
using upload::WriteShape;

MATCHER_P3(IsWrite, address, offset, bytes, "") {
  return arg.address == static_cast<std::uint32_t>(address) && arg.offset == offset && arg.bytes == bytes;
}

const FamilyFacts& Family(int code) { return test::FamilyRow(static_cast<std::uint8_t>(code)); }

WriteShape Shape(int code, std::int32_t writeBlock, std::int32_t commandBytes, std::int32_t chunkBytes) {
  return {&Family(code), writeBlock, commandBytes, chunkBytes};
}

Bytes Filled(std::size_t n, std::uint8_t value) { return Bytes(n, value); }

// --- staging and cutting ----------------------------------------------------

TEST(WritePlanStage, CommandsOfTheLargestSizeAndErasedFillPastTheImage) {
  const Bytes source = ProgramBytes(100);
  const StagedRange r = upload::StageRange(source, 0, 0x1000, 70000, Shape(37, 64, 32768, 1024), {});
  ASSERT_EQ(r.bytes.size(), 70000u);
  EXPECT_TRUE(std::equal(source.begin(), source.end(), r.bytes.begin()));
  EXPECT_TRUE(std::all_of(r.bytes.begin() + 100, r.bytes.end(), [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_THAT(r.writes, ElementsAre(IsWrite(0x1000, 0, 32768), IsWrite(0x9000, 32768, 32768),
                                    IsWrite(0x11000, 65536, 4464)));
  EXPECT_EQ(r.BytesToSend(), 70000u);
}

TEST(WritePlanStage, SixteenBitPicsCountTwoUnitsPerThreeBytesTransferByTransfer) {
  const Bytes source = ProgramBytes(600);
  const StagedRange r = upload::StageRange(source, 0, 0x800, 600, Shape(4, 192, 384, 192), {});
  EXPECT_THAT(r.writes, ElementsAre(IsWrite(0x800, 0, 384), IsWrite(0x800 + 256, 384, 216)));
  // Transfers that split a word lose its units, as the device's own count does.
  const StagedRange split = upload::StageRange(source, 0, 0, 400, Shape(4, 200, 200, 100), {});
  EXPECT_THAT(split.writes, ElementsAre(IsWrite(0, 0, 200), IsWrite(132, 200, 200)));
}

// --- skip-blank ---------------------------------------------------------------

StagedRange Staged(std::uint32_t address, Bytes bytes, const WriteShape& shape) {
  return upload::StageRange(bytes, 0, address, static_cast<std::int64_t>(bytes.size()), shape, {});
}

TEST(WritePlanSkipBlank, SendsOnlyBlocksThatDifferFromErasedFlash) {
  const WriteShape shape = Shape(37, 64, 32768, 1024);
  Bytes bytes = Filled(4096, 0xFF);
  bytes[10] = 0;
  for (int i = 3000; i < 3100; ++i) bytes[static_cast<std::size_t>(i)] = 0x55;
  StagedRange r = Staged(0x08000, bytes, shape);
  upload::SkipBlankBlocks(r, shape);
  // Block 0, then blocks 46..48 (2944..3136) joined into one Write.
  EXPECT_THAT(r.writes, ElementsAre(IsWrite(0x08000, 0, 64), IsWrite(0x08000 + 2944, 2944, 192)));
  EXPECT_TRUE(r.bytes == bytes) << "the staged bytes (and so the hash) stay whole";
  EXPECT_EQ(r.BytesToSend(), 256u);
}

TEST(WritePlanSkipBlank, RunsAreCutToTheCommandSizeAndALastShortBlockGoesWhole) {
  const WriteShape shape = Shape(30, 64, 128, 64);
  StagedRange run = Staged(0, Filled(320, 0x00), shape);
  upload::SkipBlankBlocks(run, shape);
  EXPECT_THAT(run.writes, ElementsAre(IsWrite(0, 0, 128), IsWrite(128, 128, 128), IsWrite(256, 256, 64)));

  Bytes tail = Filled(100, 0xFF);
  tail[90] = 1;
  StagedRange shortEnd = Staged(0, tail, shape);
  upload::SkipBlankBlocks(shortEnd, shape);
  EXPECT_THAT(shortEnd.writes, ElementsAre(IsWrite(64, 64, 36)));

  StagedRange blank = Staged(0, Filled(256, 0xFF), shape);
  upload::SkipBlankBlocks(blank, shape);
  EXPECT_TRUE(blank.writes.empty());
  EXPECT_EQ(blank.bytes.size(), 256u);
}

TEST(WritePlanSkipBlank, Pic16UpperBytesAreBlankAsErasedOrAsTheLoadersFill) {
  const WriteShape shape = Shape(1, 4, 32768, 64);
  // Words: 3FFF (loader fill), FFFF (padding), then 3FFF with the bytes swapped: a real value.
  StagedRange r =
      Staged(0x100, {0xFF, 0x3F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x3F, 0x3F, 0xFF, 0xFF, 0xFF}, shape);
  upload::SkipBlankBlocks(r, shape);
  EXPECT_THAT(r.writes, ElementsAre(IsWrite(0x108, 8, 4)));
  EXPECT_TRUE(upload::IsErasedValue(Family(1), 0x101, 0x3F));
  EXPECT_FALSE(upload::IsErasedValue(Family(1), 0x100, 0x3F));
  EXPECT_FALSE(upload::IsErasedValue(Family(2), 0x101, 0x3F)) << "only PIC16 has the six-bit upper byte";
}

TEST(WritePlanSkipBlank, SixteenBitPicsKeepWholeInstructionWords) {
  // A 64-byte write block does not hold whole words: blocks grow to 192 bytes (64 words).
  const WriteShape shape = Shape(4, 64, 32704, 1536);
  Bytes bytes = Filled(768, 0xFF);
  bytes[200] = 0;
  StagedRange r = Staged(0x1000, bytes, shape);
  upload::SkipBlankBlocks(r, shape);
  EXPECT_THAT(r.writes, ElementsAre(IsWrite(0x1000 + 128, 192, 192)));
}

// --- the ranges of a run ------------------------------------------------------

TBootInfo Info(int family, std::uint16_t revision, std::int32_t bootStart, std::int32_t programStart,
               std::uint32_t size, std::uint16_t erase, std::uint16_t write) {
  TBootInfo info;
  info.McuType = static_cast<std::uint8_t>(family);
  info.BootRevision = revision;
  info.BootStart = bootStart;
  info.ProgramStart = programStart;
  info.McuSize = size;
  info.EraseBlock = erase;
  info.WriteBlock = write;
  return info;
}

TEST(WritePlanRun, TopLayoutWritesUpToTheLastUnitThenThatUnitWithTheEntryCode) {
  const TBootInfo info = Info(35, 0x1200, 0x1C000, 0, 0x20000, 1024, 64);
  const Bytes image = ProgramBytes(700);
  const upload::UploadPlan plan = upload::PlanUpload(info, image, {}, false);
  ASSERT_TRUE(plan.problem.empty()) << plan.problem;
  ASSERT_EQ(plan.program.size(), 2u);
  EXPECT_FALSE(plan.hasBoot);
  EXPECT_FALSE(plan.trimmed);

  const StagedRange& main = plan.program[0];
  EXPECT_EQ(main.address, 0u);
  ASSERT_EQ(main.bytes.size(), 704u);
  const Bytes patched = WithJumpToBootloader(35, image, 0x1C000);
  EXPECT_TRUE(std::equal(patched.begin(), patched.end(), main.bytes.begin()));

  const StagedRange& last = plan.program[1];
  EXPECT_EQ(last.address, 0x1BC00u);
  ASSERT_EQ(last.bytes.size(), 1024u);
  const Bytes entry = ArmEntry(Le32(image, 0), Le32(image, 4));
  EXPECT_TRUE(
      std::equal(entry.begin(), entry.end(), last.bytes.end() - static_cast<std::ptrdiff_t>(entry.size())));
  EXPECT_TRUE(
      std::all_of(last.bytes.begin(), last.bytes.end() - 20, [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(plan.BytesToSend(), 704u + 1024u);

  const upload::UploadPlan skipping = upload::PlanUpload(info, image, {}, true);
  EXPECT_EQ(skipping.BytesToSend(), 704u + 64u);
}

TEST(WritePlanRun, BottomLayoutWritesTheApplicationAreaWithTheEntryCodeFirst) {
  const TBootInfo info = Info(35, 0x1201, 0, 0x4000, 0x20000, 1024, 64);
  const Bytes image = ProgramBytes(0x4000 + 300);
  const upload::UploadPlan plan = upload::PlanUpload(info, image, {}, false);
  ASSERT_EQ(plan.program.size(), 1u);
  const StagedRange& app = plan.program[0];
  EXPECT_EQ(app.address, 0x4000u);
  ASSERT_EQ(app.bytes.size(), 320u);
  const Bytes entry = ArmEntry(Le32(image, 0), Le32(image, 4));
  EXPECT_TRUE(std::equal(entry.begin(), entry.end(), app.bytes.begin()));
  EXPECT_TRUE(std::equal(image.begin() + 0x4000 + 20, image.end(), app.bytes.begin() + 20));
}

TEST(WritePlanRun, Pic32BootFlashIsItsOwnRangeAndHash) {
  const TBootInfo info = Info(20, 0x1200, static_cast<std::int32_t>(0x9D07C000u), 0, 0x80000, 4096, 512);
  const Bytes image = ProgramBytes(100, 3);
  const Bytes boot = ProgramBytes(300, 5);
  const upload::UploadPlan plan = upload::PlanUpload(info, image, boot, false);
  ASSERT_TRUE(plan.hasBoot);
  EXPECT_EQ(plan.boot.address, 0x1FC00000u);
  ASSERT_EQ(plan.boot.bytes.size(), 512u);
  const Bytes jumped = WithPic32Jump(boot, 0x9D07C000u);
  EXPECT_TRUE(std::equal(jumped.begin(), jumped.end(), plan.boot.bytes.begin()));

  const UploadProof proof = upload::ProofOf(plan);
  EXPECT_EQ(proof.bootSha256, upload::Sha256Hex(plan.boot));
  EXPECT_NE(proof.bootSha256, proof.programSha256);
  EXPECT_EQ(proof.bytesWritten, plan.BytesToSend());
}

// An image is cut (after the user's Yes) only when it reaches past what the area takes: at the top
// up to the entry code below the bootloader, at the bottom up to the area's end, and on PIC32 the boot
// flash up to its last block.
struct OverflowRow {
  const char* name;
  TBootInfo info;
  std::size_t program;  // image bytes
  std::size_t boot;     // PIC32 boot flash image bytes
  bool trimmed;
  std::size_t area;  // program bytes the area holds: nothing is staged past it
};
void PrintTo(const OverflowRow& row, std::ostream* os) { *os << row.name; }

class WritePlanOverflow : public ::testing::TestWithParam<OverflowRow> {};

TEST_P(WritePlanOverflow, IsCutOnlyPastTheArea) {
  const OverflowRow& row = GetParam();
  const upload::UploadPlan plan =
      upload::PlanUpload(row.info, ProgramBytes(row.program), ProgramBytes(row.boot), false);
  ASSERT_EQ(plan.problem, "");
  EXPECT_EQ(plan.trimmed, row.trimmed);
  std::size_t staged = 0;
  for (const StagedRange& range : plan.program) staged += range.bytes.size();
  EXPECT_LE(staged, row.area);
}

const TBootInfo kStm32Top = Info(35, 0x1200, 0x2000, 0, 0x20000, 1024, 64);  // entry code: 20 bytes
const TBootInfo kStm32Bottom = Info(35, 0x1201, 0, 0x4000, 0x20000, 1024, 64);
const TBootInfo kPic32Top = Info(20, 0x1200, static_cast<std::int32_t>(0x9D07C000u), 0, 0x80000, 4096, 512);
const TBootInfo kPic32Bottom = Info(20, 0x1201, 0, 0x4000, 0x80000, 4096, 512);

INSTANTIATE_TEST_SUITE_P(
    Edges, WritePlanOverflow,
    ::testing::Values(
        OverflowRow{"TopOneByteBelowTheEntryCode", kStm32Top, 0x2000 - 21, 0, false, 0x2000},
        OverflowRow{"TopUpToTheEntryCode", kStm32Top, 0x2000 - 20, 0, false, 0x2000},
        OverflowRow{"TopOneByteIntoTheEntryCode", kStm32Top, 0x2000 - 19, 0, true, 0x2000},
        OverflowRow{"TopOverTheBootloader", kStm32Top, 0x2100, 0, true, 0x2000},
        OverflowRow{"BottomUpToTheEnd", kStm32Bottom, 0x20000, 0, false, 0x1C000},
        OverflowRow{"BottomOneByteBeyond", kStm32Bottom, 0x20001, 0, true, 0x1C000},
        OverflowRow{"Pic32TopBootUpToItsLastBlock", kPic32Top, 0x100, 0x2000, false, 0x7C000},
        OverflowRow{"Pic32TopBootOneByteIntoItsLastBlock", kPic32Top, 0x100, 0x2001, true, 0x7C000},
        OverflowRow{"Pic32BottomBootUpToItsLastBlock", kPic32Bottom, 0x4100, 0x2000, false, 0x7C000},
        OverflowRow{"Pic32BottomBootOneByteIntoItsLastBlock", kPic32Bottom, 0x4100, 0x2001, true, 0x7C000}),
    [](const ::testing::TestParamInfo<OverflowRow>& row) { return std::string(row.param.name); });

TEST(WritePlanRun, RefusalsAreSaid) {
  EXPECT_FALSE(upload::PlanUpload(kStm32Top, {}, {}, false).problem.empty());
  EXPECT_FALSE(upload::PlanUpload(Info(35, 0x1200, 0x2000, 0, 0x20000, 0, 64), ProgramBytes(10), {}, false)
                   .problem.empty());
}

// What a run does before and around the ranges: one plan per row, as each
// layout lays it out.
TEST(WritePlanRun, ErasesAndQuestionsFollowTheLayout) {
  const TBootInfo f4Top = Info(37, 0x1200, 0xE0000, 0, 0x100000, 1024, 64);
  const TBootInfo f4Bottom = Info(37, 0x1201, 0, 0x8000, 0x100000, 1024, 64);
  const TBootInfo f1Top = Info(35, 0x1200, 0x1C000, 0, 0x20000, 1024, 64);
  const TBootInfo pic32Bottom = Info(20, 0x1201, static_cast<std::int32_t>(0x9D000000u), 0x4000, 0x80000, 4096, 512);
  struct Row {
    const char* what;
    TBootInfo info;
    Bytes image;
    Bytes boot;
    upload::ErasePlan erase;  // expected
    std::vector<upload::FitQuestion> questions;
  };
  using Q = upload::FitQuestion;
  const Row rows[] = {
      // Sectors 0..3 hold 0x10000 bytes; the image reaches into sector 4.
      {"sectors from the start", f4Top, ProgramBytes(0x10010), {}, {0, 5, true}, {}},
      // Reaching the last sector below the bootloader: it is left to its own erase.
      {"up to the bootloader", f4Top, ProgramBytes(0xE0000 + 8), {}, {0, 10, true}, {Q::OverBootloaderArea}},
      {"blocks, last one apart", f1Top, ProgramBytes(0x1C000), {}, {0, 111, false}, {Q::OverBootloaderArea}},
      // From the sector holding the program start (2) to the one holding the image's end (4).
      {"bottom sectors", f4Bottom, ProgramBytes(0x10010), {}, {2, 3, true}, {}},
      // Asked one after the other, the program first.
      {"both parts overflow", pic32Bottom, ProgramBytes(0x80010), ProgramBytes(0x3000), {0x4000, 124, false},
       {Q::OverProgramMemory, Q::OverBootSpace}},
  };
  for (const Row& row : rows) {
    const upload::UploadPlan plan = upload::PlanUpload(row.info, row.image, row.boot, false);
    ASSERT_EQ(plan.refusal, upload::Refusal::None) << row.what << ": " << plan.problem;
    EXPECT_EQ(plan.erase.first, row.erase.first) << row.what;
    EXPECT_EQ(plan.erase.blocks, row.erase.blocks) << row.what;
    EXPECT_EQ(plan.erase.sectors, row.erase.sectors) << row.what;
    EXPECT_EQ(plan.questions, row.questions) << row.what;
    EXPECT_EQ(plan.trimmed, !row.questions.empty()) << row.what;
  }
}

// The refusals `image` shows are the lines an upload logs: one for each case.
TEST(WritePlanRun, RefusalsNameWhatIsMissing) {
  const Bytes f4High = [] {
    Bytes image(0xE0004, 0xFF);
    std::fill(image.end() - 4, image.end(), 0x12);
    return image;
  }();
  const struct {
    TBootInfo info;
    Bytes image;
    upload::Refusal refusal;
    std::string line;
  } rows[] = {
      {Info(37, 0x1200, 0xE0000, 0, 0x100000, 1024, 64), {}, upload::Refusal::NothingToWrite,
       "Error: Nothing to write: the HEX file holds no data for this device."},
      {Info(37, 0x1200, 0xE0000, 0, 0x100000, 1024, 64), f4High, upload::Refusal::NothingToWrite,
       "Error: Nothing to write: the HEX file holds no data below bootloader start 0xE0000."},
      {Info(35, 0x1201, 0, 0x4000, 0x20000, 1024, 64), ProgramBytes(0x100), upload::Refusal::NothingToWrite,
       "Error: Nothing to write: the HEX file holds no data between program start 0x4000 and the end of flash "
       "0x20000; was it linked for this bootloader?"},
      {Info(35, 0x1200, 0x2000, 0, 0x20000, 0, 64), ProgramBytes(10), upload::Refusal::UnsafeGeometry, ""},
  };
  for (const auto& row : rows) {
    const upload::UploadPlan plan = upload::PlanUpload(row.info, row.image, {}, false);
    EXPECT_EQ(plan.refusal, row.refusal) << plan.problem;
    if (!row.line.empty()) {
      EXPECT_EQ(plan.problem, row.line);
    }
    EXPECT_FALSE(plan.problem.empty());
    EXPECT_TRUE(plan.program.empty());
  }
}

TEST(WritePlanHash, LowerCaseHexOfTheRangesInOrder) {
  EXPECT_EQ(upload::Sha256Hex(std::vector<StagedRange>{}),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  StagedRange a;
  a.bytes = {'a'};
  StagedRange bc;
  bc.bytes = {'b', 'c'};
  EXPECT_EQ(upload::Sha256Hex(std::vector<StagedRange>{a, bc}),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_NE(upload::Sha256Hex(std::vector<StagedRange>{bc, a}),
            upload::Sha256Hex(std::vector<StagedRange>{a, bc}));
}

}  // namespace
}  // namespace quorvel::test
