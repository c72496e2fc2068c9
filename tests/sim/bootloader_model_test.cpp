// SPDX-License-Identifier: Apache-2.0
#include "sim/bootloader_model.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <variant>
#include <vector>

#include "core/boot_info.h"
#include "core/families.h"

namespace quorvel::sim {
namespace {

using Report = BootloaderModel::Report;

Report Frame(std::uint8_t code, std::uint32_t address = 0, std::uint16_t count = 0) {
  Report r{};
  r[0] = 0x0F;
  r[1] = code;
  for (int k = 0; k < 4; ++k) r[2 + k] = static_cast<std::uint8_t>(address >> (8 * k));
  r[6] = static_cast<std::uint8_t>(count);
  r[7] = static_cast<std::uint8_t>(count >> 8);
  return r;
}

BootloaderModel::Reaction Send(BootloaderModel& m, const Report& r) { return m.OnOutputReport(r.data(), r.size()); }

// Sends `data` as the chunk reports of an open Write: 64 bytes per report.
std::vector<BootloaderModel::Reaction> SendData(BootloaderModel& m, const std::vector<std::uint8_t>& data) {
  std::vector<BootloaderModel::Reaction> out;
  for (std::size_t i = 0; i < data.size(); i += 64) {
    Report r{};
    for (std::size_t k = 0; k < 64 && i + k < data.size(); ++k) r[k] = data[i + k];
    out.push_back(Send(m, r));
  }
  return out;
}

bool IsAck(const BootloaderModel::Reaction& r, std::uint8_t code) {
  return r.replies.size() == 1 && r.replies[0][0] == 0x0F && r.replies[0][1] == code;
}

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed = 1) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

SimProfile Defaults(std::uint8_t family) {
  SimProfile p;
  EXPECT_TRUE(DefaultProfile(family, p));
  return p;
}

// --- information record ---------------------------------------------------

class InfoRecordPerFamily : public ::testing::TestWithParam<std::uint8_t> {};

TEST_P(InfoRecordPerFamily, ParsesBackToTheProfile) {
  SimProfile p = Defaults(GetParam());
  p.revision = 0x1201;
  p.programStart = 0x12345678;
  BootloaderModel model(p);
  const auto reaction = Send(model, Frame(2));
  ASSERT_EQ(reaction.replies.size(), 1u);
  TBootInfo info;  // all zero, as before the first record
  ParseBootInfoRecord(reaction.replies[0].data(), reaction.replies[0].size(), info);
  EXPECT_EQ(info.McuType, p.family);
  EXPECT_EQ(info.EraseBlock, p.eraseBlock);
  EXPECT_EQ(info.WriteBlock, p.writeBlock);
  EXPECT_EQ(info.BootRevision, 0x1201);
  EXPECT_EQ(static_cast<std::uint32_t>(info.BootStart), p.bootStart);
  EXPECT_EQ(static_cast<std::uint32_t>(info.ProgramStart), 0x12345678u);
  EXPECT_EQ(info.McuSize, p.size);
  EXPECT_EQ(info.DeviceDescription, p.description);
  EXPECT_EQ(model.TraceText(), "INFO\n");
}

TEST_P(InfoRecordPerFamily, DefaultGeometryLeavesRoomForAnApplication) {
  const SimProfile p = Defaults(GetParam());
  BootloaderModel model(p);
  const std::uint32_t boot = model.ByteIndex(p.bootStart);
  const std::uint32_t flashBase = IsPic32(p.family) ? 0x1D000000u : 0u;
  EXPECT_EQ(p.revision & 1, 0);
  EXPECT_GT(boot, flashBase + p.size / 2);
  EXPECT_LT(boot, flashBase + p.size);
  EXPECT_GE(p.eraseBlock, 64);  // a chunk buffer must take one whole report
  EXPECT_EQ(p.eraseBlock % p.writeBlock, 0);
  if (!IsSectorErase(p.family)) {
    EXPECT_EQ((boot - flashBase) % p.eraseBlock, 0u);
  }
  const std::uint32_t programStart = DefaultProgramStart(p.family);
  EXPECT_GT(programStart, 0u);
  if (!IsSectorErase(p.family) && !Is16BitPic(p.family)) {
    EXPECT_EQ(programStart % p.eraseBlock, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(AllFamilies, InfoRecordPerFamily, ::testing::ValuesIn(kKnownFamilies));

TEST(InfoRecord, LongDescriptionIsCutToFitOneReport) {
  SimProfile p = Defaults(mcu::PIC32);
  p.description = std::string(100, 'x');
  const TByteArray rec = BootloaderModel::BuildInfoRecord(p);
  ASSERT_LE(rec.size(), 64u);
  EXPECT_EQ(rec[0], rec.size());
  EXPECT_EQ(rec.back(), 0);
  TBootInfo info;
  ParseBootInfoRecord(rec.data(), rec.size(), info);
  EXPECT_EQ(info.McuSize, p.size);
  EXPECT_EQ(info.DeviceDescription, std::string(rec.size() - 1 - 37, 'x'));
}

// --- answers ---------------------------------------------------------------

TEST(Firmware, AcknowledgesBootAndSyncAndVanishesOnReboot) {
  BootloaderModel model(Defaults(mcu::PIC18));
  EXPECT_TRUE(IsAck(Send(model, Frame(3)), 3));
  EXPECT_TRUE(IsAck(Send(model, Frame(1)), 1));
  const auto reboot = Send(model, Frame(4));
  EXPECT_TRUE(reboot.replies.empty());
  EXPECT_TRUE(reboot.vanish);
  EXPECT_TRUE(Send(model, Frame(1)).replies.empty()) << "a vanished device answers nothing";
  EXPECT_EQ(model.TraceText(), "BOOT\nSYNC\nREBOOT\n");
  EXPECT_TRUE(model.Violations().empty());
}

TEST(Firmware, UnknownReportIsTracedAsFrameAndIgnored) {
  BootloaderModel model(Defaults(mcu::PIC18));
  Report r{};
  r[0] = 0x0F;
  r[1] = 0x63;
  r[2] = 0xAB;
  EXPECT_TRUE(Send(model, r).replies.empty());
  const std::uint8_t shortReport[] = {0x00};
  EXPECT_TRUE(model.OnOutputReport(shortReport, 1).replies.empty());
  // Each violation follows the event that caused it; it is not an event itself.
  EXPECT_EQ(model.TraceText(),
            "FRAME 0f63ab\nVIOLATION unexpected frame 0f63ab\nFRAME 0000\nVIOLATION unexpected frame 0000\n");
  EXPECT_EQ(model.Violations().size(), 2u);
}

// --- erase, write, chunking, flash model -------------------------------------

TEST(Firmware, WriteReassemblesChunksOfTheEraseBlock) {
  SimProfile p = Defaults(mcu::TIVA_C);  // erase 1024
  BootloaderModel model(p);
  EXPECT_TRUE(IsAck(Send(model, Frame(21, 0x400, 2)), 21));  // blocks 0x000 and 0x400
  EXPECT_TRUE(model.IsErased(0));
  EXPECT_TRUE(model.IsErased(0x7FF));
  EXPECT_FALSE(model.IsErased(0x800));

  const auto data = Pattern(1124);
  EXPECT_TRUE(Send(model, Frame(11, 0, 1124)).replies.empty()) << "the Write frame itself is not answered";
  auto reactions = SendData(model, data);
  ASSERT_EQ(reactions.size(), 18u);  // 16 reports for 1024 bytes, 2 for the last 100
  for (std::size_t i = 0; i < reactions.size(); ++i) {
    const bool chunkEnds = i == 15 || i == 17;
    EXPECT_EQ(IsAck(reactions[i], 11), chunkEnds) << "report " << i;
    if (!chunkEnds) {
      EXPECT_TRUE(reactions[i].replies.empty());
    }
  }
  EXPECT_EQ(model.FlashRange(0, 1124), data);
  EXPECT_FALSE(model.FlashByte(1124).has_value());
  EXPECT_EQ(model.WrittenCount(), 1124u);
  ASSERT_EQ(model.Trace().size(), 4u);
  EXPECT_EQ(model.Trace()[0], "ERASE 0x00000400 2");
  EXPECT_EQ(model.Trace()[1], "WRITE 0x00000000 1124");
  EXPECT_EQ(model.Trace()[3].size(), 5u + 200u);
  EXPECT_EQ(model.Trace()[3].substr(0, 9), "DATA 0108");  // bytes 1024 and 1025 of the pattern
  EXPECT_TRUE(model.Violations().empty());
  // After the announced bytes, reports are frames again.
  EXPECT_TRUE(IsAck(Send(model, Frame(1)), 1));
}

TEST(Firmware, SixteenBitPicAddressesCountTwoUnitsPerThreeBytes) {
  SimProfile p = Defaults(mcu::dsPIC33);  // erase 3072 image bytes = 0x800 address units
  BootloaderModel model(p);
  EXPECT_TRUE(IsAck(Send(model, Frame(21, 0x800, 2)), 21));
  EXPECT_TRUE(model.IsErased(0));
  EXPECT_TRUE(model.IsErased(6143));
  EXPECT_FALSE(model.IsErased(6144));
  const auto data = Pattern(4608);  // a full chunk and a half one
  Send(model, Frame(11, 0, 4608));
  const auto reactions = SendData(model, data);
  EXPECT_TRUE(IsAck(reactions.back(), 11));
  EXPECT_EQ(model.FlashRange(model.ByteIndex(0), 4608), data);
  EXPECT_EQ(model.ByteIndex(0x800), 3072u);
  EXPECT_TRUE(model.Violations().empty());
}

TEST(Firmware, SectorFamiliesEraseWholeSectorsBelowTheNamedOne) {
  BootloaderModel model(Defaults(mcu::STM32F4XX));
  EXPECT_TRUE(IsAck(Send(model, Frame(21, 0x20000, 4)), 21));  // sectors 2..5
  EXPECT_FALSE(model.IsErased(0x7FFF));
  EXPECT_TRUE(model.IsErased(0x8000));
  EXPECT_TRUE(model.IsErased(0x3FFFF));
  EXPECT_FALSE(model.IsErased(0x40000));
  EXPECT_TRUE(model.Violations().empty());
  Send(model, Frame(21, 0x20400, 1));
  ASSERT_EQ(model.Violations().size(), 1u);
  EXPECT_NE(model.Violations()[0].find("not the start of a sector"), std::string::npos);
}

TEST(Firmware, Pic32UsesPhysicalAddressesAndKeepsTheLastBootFlashBlock) {
  BootloaderModel model(Defaults(mcu::PIC32));
  Send(model, Frame(21, 0x1D001000, 2));
  EXPECT_TRUE(model.IsErased(0x1D000000));
  EXPECT_TRUE(model.IsErased(0x1D001FFF));
  Send(model, Frame(21, 0x1FC01000, 2));  // boot flash blocks 0 and 1: allowed
  EXPECT_TRUE(model.Violations().empty());
  Send(model, Frame(21, 0x1FC02000, 1));  // the last boot-flash block
  ASSERT_EQ(model.Violations().size(), 1u);
  EXPECT_NE(model.Violations()[0].find("inside the bootloader"), std::string::npos);
}

struct ViolationCase {
  const char* name;
  std::vector<Report> frames;
  std::vector<std::uint8_t> data;
  const char* expected;
};

class Violations : public ::testing::TestWithParam<ViolationCase> {};

TEST_P(Violations, AreRecorded) {
  BootloaderModel model(Defaults(mcu::PIC18));  // boot-start 0x7C00, size 0x8000, erase 64
  for (const auto& f : GetParam().frames) Send(model, f);
  SendData(model, GetParam().data);
  ASSERT_FALSE(model.Violations().empty());
  EXPECT_NE(model.Violations().back().find(GetParam().expected), std::string::npos) << model.Violations().back();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Violations,
    ::testing::Values(
        ViolationCase{"WriteToUnerased", {Frame(11, 0, 64)}, Pattern(64), "unerased"},
        ViolationCase{"EraseInsideBootloader", {Frame(21, 0x7C00, 1)}, {}, "inside the bootloader"},
        ViolationCase{"EraseReachingIntoBootloader", {Frame(21, 0x7C40, 2)}, {}, "inside the bootloader"},
        ViolationCase{"WriteInsideBootloader", {Frame(11, 0x7BC0, 128)}, Pattern(128), "inside the bootloader"},
        ViolationCase{"EraseOutsideFlash", {Frame(21, 0x9000, 1)}, {}, "outside flash"},
        ViolationCase{"EraseBelowFlash", {Frame(21, 0x40, 3)}, {}, "below the start"},
        ViolationCase{"EraseMisaligned", {Frame(21, 0x41, 1)}, {}, "boundary"},
        ViolationCase{"ChunkLongerThanAnnounced", {Frame(21, 0, 2), Frame(11, 0, 64)}, Pattern(128),
                      "longer than announced"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Firmware, SecondWriteToTheSameBytesIsAViolation) {
  BootloaderModel model(Defaults(mcu::PIC18));
  Send(model, Frame(21, 0, 1));
  Send(model, Frame(11, 0, 64));
  SendData(model, Pattern(64));
  EXPECT_TRUE(model.Violations().empty());
  Send(model, Frame(11, 0, 64));
  SendData(model, Pattern(64, 9));
  ASSERT_EQ(model.Violations().size(), 1u);
  EXPECT_NE(model.Violations()[0].find("unerased"), std::string::npos);
}

TEST(Firmware, BottomLayoutProtectsTheFlashBelowProgramStart) {
  SimProfile p = Defaults(mcu::STM32F1XX);
  p.revision = 0x1201;
  p.programStart = 0x4000;
  BootloaderModel model(p);
  Send(model, Frame(21, 0x4000, 1));
  EXPECT_TRUE(model.Violations().empty());
  Send(model, Frame(21, 0x3C00, 1));
  EXPECT_EQ(model.Violations().size(), 1u);
}

// --- faults ------------------------------------------------------------------

TEST(Faults, DropAndNakChangeOnlyTheAnswer) {
  SimProfile p = Defaults(mcu::PIC18);
  p.dropEvent = 2;  // the erase
  p.nakEvent = 4;   // the data chunk
  BootloaderModel model(p);
  EXPECT_TRUE(IsAck(Send(model, Frame(3)), 3));
  EXPECT_TRUE(Send(model, Frame(21, 0, 1)).replies.empty());
  EXPECT_TRUE(model.IsErased(0));
  Send(model, Frame(11, 0, 64));
  const auto r = SendData(model, Pattern(64));
  EXPECT_TRUE(IsAck(r.back(), 0)) << "0F 00";
  EXPECT_EQ(model.FlashRange(0, 64), Pattern(64));
}

// The uploader's last handle closed: between commands that is fine, inside
// a Write's data the device is left mid-command.
TEST(Connection, EndingInsideAWriteIsAViolationOnce) {
  SimProfile p = Defaults(mcu::PIC18);
  p.eraseBlock = 256;  // chunks of four reports
  BootloaderModel model(p);
  Send(model, Frame(21, 256, 2));
  Send(model, Frame(11, 0, 256));
  SendData(model, Pattern(256));
  model.ConnectionEnded();
  EXPECT_TRUE(model.Violations().empty());

  Send(model, Frame(21, 768, 2));
  Send(model, Frame(11, 256, 512));
  SendData(model, Pattern(256 + 64));  // a chunk and the first report of the next
  model.ConnectionEnded();
  model.ConnectionEnded();
  EXPECT_EQ(model.Violations(), std::vector<std::string>{"ended inside Write: 192 of 512 bytes missing"});
  EXPECT_EQ(model.Trace().back(), "VIOLATION ended inside Write: 192 of 512 bytes missing");
}

TEST(Faults, RefusedChunkEndsItsWriteAndTheNextReportIsAFrame) {
  SimProfile p = Defaults(mcu::PIC18);
  p.nakEvent = 3;  // the first of two chunks
  BootloaderModel model(p);
  Send(model, Frame(21, 64, 2));
  Send(model, Frame(11, 0, 128));
  EXPECT_TRUE(IsAck(SendData(model, Pattern(64)).back(), 0));
  EXPECT_TRUE(IsAck(Send(model, Frame(1)), 1)) << "a Sync after the refusal is read as a Sync";
  EXPECT_TRUE(model.Violations().empty());
}

TEST(Faults, SkippedEraseIsAnsweredAndTheWriteOnTopIsAViolationLine) {
  SimProfile p = Defaults(mcu::PIC18);
  p.skipEvent = 1;  // the erase
  p.nakEvent = 4;   // the Sync after the chunk
  BootloaderModel model(p);
  EXPECT_TRUE(IsAck(Send(model, Frame(21, 0, 1)), 21));
  EXPECT_FALSE(model.IsErased(0));
  Send(model, Frame(11, 0, 64));
  SendData(model, Pattern(64));
  EXPECT_TRUE(IsAck(Send(model, Frame(1)), 0)) << "a violation line is not an event";
  ASSERT_EQ(model.Trace().size(), 5u);
  EXPECT_EQ(model.Trace()[3], "VIOLATION WRITE chunk at 0x00000000: write to unerased flash");
  EXPECT_EQ(model.Trace()[4], "SYNC");
}

TEST(Faults, UnplugTracesTheEventSkipsItAndVanishes) {
  SimProfile p = Defaults(mcu::PIC18);
  p.unplugEvent = 2;
  BootloaderModel model(p);
  Send(model, Frame(2));
  const auto r = Send(model, Frame(21, 0, 1));
  EXPECT_TRUE(r.vanish);
  EXPECT_TRUE(r.replies.empty());
  EXPECT_FALSE(model.IsErased(0));
  EXPECT_EQ(model.TraceText(), "INFO\nERASE 0x00000000 1\n");
}

// A hung firmware: the Write is traced but not opened, and nothing after it is
// taken, answered or traced (the data it announced included).
TEST(Faults, StallTracesTheEventAndTakesNothingMore) {
  SimProfile p = Defaults(mcu::PIC18);
  p.stallEvent = 2;
  BootloaderModel model(p);
  Send(model, Frame(21, 0, 1));
  const auto r = Send(model, Frame(11, 0, 64));
  EXPECT_TRUE(r.stall);
  EXPECT_FALSE(r.vanish);
  EXPECT_TRUE(SendData(model, Pattern(64)).back().replies.empty());
  EXPECT_TRUE(Send(model, Frame(2)).replies.empty());
  EXPECT_TRUE(Send(model, Frame(4)).replies.empty());
  EXPECT_FALSE(model.IsWritten(0));
  EXPECT_FALSE(model.Vanished());
  EXPECT_EQ(model.TraceText(), "ERASE 0x00000000 1\nWRITE 0x00000000 64\n");
}

TEST(Faults, NakOnInfoAnswersWithoutARecord) {
  SimProfile p = Defaults(mcu::PIC18);
  p.nakEvent = 1;
  BootloaderModel model(p);
  const auto r = Send(model, Frame(2));
  EXPECT_TRUE(IsAck(r, 0));
}

// --- profiles ----------------------------------------------------------------

TEST(SimProfile, FamilyDefaultsAndOverrides) {
  auto parsed = ParseSimProfile("erase=0x800, family=tiva c series,serial=0001,pace=2,drop=5");
  ASSERT_TRUE(std::holds_alternative<SimProfile>(parsed));
  const auto& p = std::get<SimProfile>(parsed);
  EXPECT_EQ(p.family, mcu::TIVA_C);
  EXPECT_EQ(p.eraseBlock, 0x800);
  EXPECT_EQ(p.size, 0x40000u);
  EXPECT_EQ(p.serial, "0001");
  EXPECT_EQ(p.paceMs, 2u);
  EXPECT_EQ(p.dropEvent, 5u);
  EXPECT_EQ(p.description, "Simulated TIVA C Series");
}

TEST(SimProfile, BottomRevisionGetsAProgramStart) {
  auto parsed = ParseSimProfile("family=PIC32,revision=0x1201");
  ASSERT_TRUE(std::holds_alternative<SimProfile>(parsed));
  const auto& p = std::get<SimProfile>(parsed);
  EXPECT_EQ(p.programStart, DefaultProgramStart(mcu::PIC32));
  EXPECT_EQ(p.bootStart, 0x9D000000u);
  auto given = std::get<SimProfile>(ParseSimProfile("family=PIC18,revision=0x1201,program-start=0x2000"));
  EXPECT_EQ(given.programStart, 0x2000u);
}

TEST(SimProfile, EmptyProfileIsTheStm32F4Default) {
  auto parsed = ParseSimProfile("");
  ASSERT_TRUE(std::holds_alternative<SimProfile>(parsed));
  EXPECT_EQ(std::get<SimProfile>(parsed).family, mcu::STM32F4XX);
  EXPECT_EQ(std::get<SimProfile>(parsed).bootStart, 0xE0000u);
}

class BadSimProfile : public ::testing::TestWithParam<const char*> {};
TEST_P(BadSimProfile, IsRefusedWithAMessage) {
  auto parsed = ParseSimProfile(GetParam());
  ASSERT_TRUE(std::holds_alternative<SimProfileError>(parsed));
  EXPECT_FALSE(std::get<SimProfileError>(parsed).message.empty());
}
INSTANTIATE_TEST_SUITE_P(Cases, BadSimProfile,
                         ::testing::Values("family=Z80", "erase=0x10000", "erase=12abc", "size", "colour=red",
                                           "erase=1,erase=2", "pace=-1", "revision=0x", "family=5"));

}  // namespace
}  // namespace quorvel::sim
