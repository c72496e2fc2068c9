// SPDX-License-Identifier: Apache-2.0
// Whole uploads for every family, with the bootloader at the top and at the
// bottom of flash: the frames and chunks the device received, and what its
// flash holds afterwards.
#include "engine/upload/upload_fixture.h"

namespace quorvel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Flash = std::vector<std::optional<std::uint8_t>>;

// ---------------------------------------------------------------------------
// Bootloader at the top. Geometry of the simulator's default parts; indexes
// are flash byte indexes (image offsets; physical addresses for PIC32).
struct TopCase {
  const char* name;
  const char* profileText;
  int family;
  std::uint32_t length;     // program image bytes
  std::uint32_t bootStart;  // as the device reports it
  std::uint32_t bootIndex;  // flash index where the bootloader begins
  std::uint32_t lastSize;   // the erase unit just below the bootloader
  std::uint32_t writeBlock;
  std::vector<std::string> shape;
};
void PrintTo(const TopCase& c, std::ostream* os) { *os << c.name; }

const TopCase kTopCases[] = {
    {"PIC16RunsUpToTheBootloader", "family=PIC16", 1, 0x3000, 0x3000, 0x3000, 64, 64,
     {"ERASE 0x00002F80 191", "WRITE 0x00000000 12224", "DATA 64 x191", "ERASE 0x00002FC0 1",
      "WRITE 0x00002FC0 64", "DATA 64", "REBOOT"}},
    {"PIC18SmallImage", "family=PIC18", 2, 100, 0x7C00, 0x7C00, 64, 64,
     {"ERASE 0x00000040 2", "WRITE 0x00000000 128", "DATA 64 x2", "ERASE 0x00007BC0 1", "WRITE 0x00007BC0 64",
      "DATA 64", "REBOOT"}},
    {"PIC18FJEndsAtTheEntryCode", "family=PIC18FJ", 3, 0xEFFC, 0xF000, 0xF000, 1024, 64,
     {"ERASE 0x0000E800 59", "WRITE 0x00000000 32768", "DATA 1024 x32", "WRITE 0x00008000 27648",
      "DATA 1024 x27", "ERASE 0x0000EC00 1", "WRITE 0x0000EC00 1024", "DATA 1024", "REBOOT"}},
    {"PIC24", "family=PIC24", 4, 3000, 0x9C00, 0xEA00, 1536, 192,
     {"ERASE 0x00000400 2", "WRITE 0x00000000 3072", "DATA 1536 x2", "ERASE 0x00009800 1",
      "WRITE 0x00009800 1536", "DATA 1536", "REBOOT"}},
    {"DsPicTwoCommandsUpToTheEntryCode", "family=dsPIC", 10, 0xA7FA, 0x7000, 0xA800, 96, 96,
     {"ERASE 0x00006F80 447", "WRITE 0x00000000 32736", "DATA 96 x341", "WRITE 0x00005540 10176",
      "DATA 96 x106", "ERASE 0x00006FC0 1", "WRITE 0x00006FC0 96", "DATA 96", "REBOOT"}},
    {"DsPic33", "family=dsPIC33", 11, 6000, 0x2A000, 0x3F000, 3072, 384,
     {"ERASE 0x00000800 2", "WRITE 0x00000000 6144", "DATA 3072 x2", "ERASE 0x00029800 1",
      "WRITE 0x00029800 3072", "DATA 3072", "REBOOT"}},
    {"Pic32", "family=PIC32", 20, 5000, 0x9D07C000, 0x1D07C000, 4096, 512,
     {"ERASE 0x1D001000 2", "WRITE 0x1D000000 5120", "DATA 4096", "DATA 1024", "ERASE 0x1D07B000 1",
      "WRITE 0x1D07B000 4096", "DATA 4096", "ERASE 0x1FC00000 1", "WRITE 0x1FC00000 512", "DATA 512",
      "REBOOT"}},
    {"ArmTwoWriteCommands", "family=ARM", 30, 40000, 0x3C000, 0x3C000, 1024, 64,
     {"ERASE 0x00009C00 40", "WRITE 0x00000000 32768", "DATA 1024 x32", "WRITE 0x00008000 7232",
      "DATA 1024 x7", "DATA 64", "ERASE 0x0003BC00 1", "WRITE 0x0003BC00 1024", "DATA 1024", "REBOOT"}},
    {"StellarisM3", "family=31", 31, 300, 0x3C000, 0x3C000, 1024, 64,
     {"ERASE 0x00000000 1", "WRITE 0x00000000 320", "DATA 320", "ERASE 0x0003BC00 1", "WRITE 0x0003BC00 1024",
      "DATA 1024", "REBOOT"}},
    {"StellarisM4", "family=32", 32, 300, 0x3C000, 0x3C000, 1024, 64,
     {"ERASE 0x00000000 1", "WRITE 0x00000000 320", "DATA 320", "ERASE 0x0003BC00 1", "WRITE 0x0003BC00 1024",
      "DATA 1024", "REBOOT"}},
    {"Stellaris", "family=33", 33, 300, 0x3C000, 0x3C000, 1024, 64,
     {"ERASE 0x00000000 1", "WRITE 0x00000000 320", "DATA 320", "ERASE 0x0003BC00 1", "WRITE 0x0003BC00 1024",
      "DATA 1024", "REBOOT"}},
    {"Stm32L1EndsAtTheEntryCode", "family=STM32L1XX", 34, 0x1BFEC, 0x1C000, 0x1C000, 256, 64,
     {"ERASE 0x0001BE00 447", "WRITE 0x00000000 32768", "DATA 256 x128", "WRITE 0x00008000 32768",
      "DATA 256 x128", "WRITE 0x00010000 32768", "DATA 256 x128", "WRITE 0x00018000 16128", "DATA 256 x63",
      "ERASE 0x0001BF00 1", "WRITE 0x0001BF00 256", "DATA 256", "REBOOT"}},
    {"Stm32F1", "family=STM32F1XX", 35, 300, 0x1C000, 0x1C000, 1024, 64,
     {"ERASE 0x00000000 1", "WRITE 0x00000000 320", "DATA 320", "ERASE 0x0001BC00 1", "WRITE 0x0001BC00 1024",
      "DATA 1024", "REBOOT"}},
    // Ends exactly where the last block starts: all of it goes with the main erase and write.
    {"Stm32F1EndsWhereTheLastBlockStarts", "family=STM32F1XX,boot-start=0x2000", 35, 0x1C00, 0x2000, 0x2000, 1024, 64,
     {"ERASE 0x00001800 7", "WRITE 0x00000000 7168", "DATA 1024 x7", "ERASE 0x00001C00 1", "WRITE 0x00001C00 1024",
      "DATA 1024", "REBOOT"}},
    {"Stm32F2SectorBelowTheBootloader", "family=STM32F2XX", 36, 300, 0xE0000, 0xE0000, 0x20000, 64,
     {"ERASE 0x00000000 1", "WRITE 0x00000000 320", "DATA 320", "ERASE 0x000C0000 1", "WRITE 0x000C0000 32768",
      "DATA 1024 x32", "WRITE 0x000C8000 32768", "DATA 1024 x32", "WRITE 0x000D0000 32768", "DATA 1024 x32",
      "WRITE 0x000D8000 32768", "DATA 1024 x32", "REBOOT"}},
    // 0x4000 bytes end exactly at sector 1, which is erased too.
    {"Stm32F4ImageOfOneSector", "family=STM32F4XX", 37, 0x4000, 0xE0000, 0xE0000, 0x20000, 64,
     {"ERASE 0x00004000 2", "WRITE 0x00000000 16384", "DATA 1024 x16", "ERASE 0x000C0000 1",
      "WRITE 0x000C0000 32768", "DATA 1024 x32", "WRITE 0x000C8000 32768", "DATA 1024 x32",
      "WRITE 0x000D0000 32768", "DATA 1024 x32", "WRITE 0x000D8000 32768", "DATA 1024 x32", "REBOOT"}},
    {"TivaC", "family=38", 38, 300, 0x3C000, 0x3C000, 1024, 64,
     {"ERASE 0x00000000 1", "WRITE 0x00000000 320", "DATA 320", "ERASE 0x0003BC00 1", "WRITE 0x0003BC00 1024",
      "DATA 1024", "REBOOT"}},
};

// A PIC32 boot-flash image that starts with the stack set-up word.
Bytes Pic32BootImage(std::uint32_t firstWord) {
  Bytes boot = ProgramBytes(200, 11);
  for (int k = 0; k < 4; ++k) boot[k] = static_cast<std::uint8_t>(firstWord >> (8 * k));
  return boot;
}

class TopLayout : public UploadFixture, public ::testing::WithParamInterface<TopCase> {};

TEST_P(TopLayout, WritesImageWithJumpAndEntryCodeBelowTheBootloader) {
  const TopCase& c = GetParam();
  const Bytes image = ProgramBytes(c.length);
  const Bytes boot = Pic32BootImage(0x27BDFFFC);
  auto segments = HexForImage(c.family, image);
  if (c.family == 20) segments.push_back({0x1FC00000, boot});
  Prepare(c.profileText, segments);
  const qsizetype mark = ui.history.size();

  ClickStart();

  EXPECT_THAT(UploadShape(), ElementsAreArray(c.shape));
  std::vector<QString> lines = {"Uploading:", "Flash Erase...", "Flash Write..."};
  if (c.family == 20) lines.insert(lines.end(), {"Boot Erase...", "Boot Write..."});
  lines.insert(lines.end(), {"Completed successfully.", "Disconnected.", "Reset..."});
  EXPECT_THAT(ui.HistorySince(mark), ElementsAreArray(lines));
  ASSERT_EQ(ui.taskDialogs.size(), 1u);
  EXPECT_EQ(ui.taskDialogs[0].Title, "Success");
  EXPECT_TRUE(ui.questions.isEmpty());

  // Program flash: the image with its reset entry patched, padded to whole
  // write blocks, then the last unit: 0xFF and the entry code at its end.
  const std::uint32_t base = c.family == 20 ? 0x1D000000 : 0;
  const std::uint32_t bootOffset = c.bootIndex - base;
  const std::uint32_t lastStart = bootOffset - c.lastSize;
  const Bytes patched = c.family == 20 ? image : WithJumpToBootloader(c.family, image, c.bootStart);
  const Bytes entry = EntryCode(c.family, image, boot);
  Flash expected(bootOffset + 64);
  const std::uint32_t mainEnd =
      c.length > lastStart ? lastStart : std::min(lastStart, (c.length + c.writeBlock - 1) / c.writeBlock * c.writeBlock);
  for (std::uint32_t i = 0; i < mainEnd; ++i) expected[i] = i < c.length ? patched[i] : 0xFF;
  for (std::uint32_t i = lastStart; i < bootOffset; ++i) expected[i] = i < c.length ? patched[i] : 0xFF;
  PutRange(expected, bootOffset - static_cast<std::uint32_t>(entry.size()), entry);
  ExpectFlash(base, expected);

  if (c.family == 20) {
    Flash bootExpected(0x1000);
    Bytes written = WithPic32Jump(boot, c.bootStart);
    written.resize(512, 0xFF);
    PutRange(bootExpected, 0, written);
    ExpectFlash(0x1FC00000, bootExpected);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryFamily, TopLayout, ::testing::ValuesIn(kTopCases),
                         [](const auto& row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------
// Bootloader at the bottom: the application area from ProgramStart is erased
// and written; its first bytes carry the entry code built from the image's
// own reset entry; the image is not patched.
struct BottomCase {
  const char* name;
  const char* profileText;
  int family;
  std::uint32_t appIndex;  // flash index of ProgramStart
  std::uint32_t appBytes;  // image bytes from there on
  std::uint32_t writeBlock;
  std::vector<std::string> shape;
};
void PrintTo(const BottomCase& c, std::ostream* os) { *os << c.name; }

const BottomCase kBottomCases[] = {
    {"PIC16", "family=PIC16,revision=0x1201", 1, 0x1000, 128, 64,
     {"ERASE 0x00001040 2", "WRITE 0x00001000 128", "DATA 64 x2", "REBOOT"}},
    {"PIC18", "family=PIC18,revision=0x1201", 2, 0x1000, 300, 64,
     {"ERASE 0x00001100 5", "WRITE 0x00001000 320", "DATA 64 x5", "REBOOT"}},
    {"PIC18FJ", "family=PIC18FJ,revision=0x1201", 3, 0x1000, 2000, 64,
     {"ERASE 0x00001400 2", "WRITE 0x00001000 2048", "DATA 1024 x2", "REBOOT"}},
    // ProgramStart 0x1000 is image offset 0x1800 (three bytes per two address units).
    {"PIC24", "family=PIC24,revision=0x1201", 4, 0x1800, 3000, 192,
     {"ERASE 0x00001400 2", "WRITE 0x00001000 3072", "DATA 1536 x2", "REBOOT"}},
    {"DsPic33", "family=dsPIC33,revision=0x1201", 11, 0x1800, 6000, 384,
     {"ERASE 0x00001800 2", "WRITE 0x00001000 6144", "DATA 3072 x2", "REBOOT"}},
    {"Pic32", "family=PIC32,revision=0x1201", 20, 0x1D004000, 5000, 512,
     {"ERASE 0x1D005000 2", "WRITE 0x1D004000 5120", "DATA 4096", "DATA 1024", "ERASE 0x1FC00000 1",
      "WRITE 0x1FC00000 512", "DATA 512", "REBOOT"}},
    {"Arm", "family=ARM,revision=0x1201", 30, 0x4000, 3000, 64,
     {"ERASE 0x00004800 3", "WRITE 0x00004000 3008", "DATA 1024 x2", "DATA 960", "REBOOT"}},
    {"Stm32L1", "family=STM32L1XX,revision=0x1201", 34, 0x4000, 1000, 64,
     {"ERASE 0x00004300 4", "WRITE 0x00004000 1024", "DATA 256 x4", "REBOOT"}},
    {"Stm32F1", "family=STM32F1XX,revision=0x1201", 35, 0x4000, 3000, 64,
     {"ERASE 0x00004800 3", "WRITE 0x00004000 3008", "DATA 1024 x2", "DATA 960", "REBOOT"}},
    // Sectors 2 to 5: the image ends exactly at the start of sector 5.
    {"Stm32F4Sectors", "family=STM32F4XX,revision=0x1201", 37, 0x8000, 0x18000, 64,
     {"ERASE 0x00020000 4", "WRITE 0x00008000 32768", "DATA 1024 x32", "WRITE 0x00010000 32768", "DATA 1024 x32",
      "WRITE 0x00018000 32768", "DATA 1024 x32", "REBOOT"}},
    {"TivaC", "family=38,revision=0x1201", 38, 0x4000, 3000, 64,
     {"ERASE 0x00004800 3", "WRITE 0x00004000 3008", "DATA 1024 x2", "DATA 960", "REBOOT"}},
};

class BottomLayout : public UploadFixture, public ::testing::WithParamInterface<BottomCase> {};

TEST_P(BottomLayout, WritesApplicationAreaWithEntryCodeFirst) {
  const BottomCase& c = GetParam();
  const std::uint32_t base = c.family == 20 ? 0x1D000000 : 0;
  const std::uint32_t appOffset = c.appIndex - base;
  // The file holds the application's reset entry at the start of flash and
  // the application itself from ProgramStart on.
  const Bytes image = ProgramBytes(appOffset + c.appBytes);
  const Bytes boot = Pic32BootImage(0x70000000);
  auto segments = HexForImage(c.family, image);
  if (c.family == 20) segments.push_back({0x1FC00000, boot});
  Prepare(c.profileText, segments);
  const qsizetype mark = ui.history.size();

  ClickStart();

  EXPECT_THAT(UploadShape(), ElementsAreArray(c.shape));
  EXPECT_EQ(ui.HistorySince(mark).back(), "Reset...");
  EXPECT_EQ(Count("Completed successfully."), 1);

  const Bytes entry = EntryCode(c.family, image, boot);
  const std::uint32_t written = (c.appBytes + c.writeBlock - 1) / c.writeBlock * c.writeBlock;
  Flash expected(appOffset + written + 64);
  for (std::uint32_t i = 0; i < written; ++i) {
    expected[appOffset + i] = i < c.appBytes ? image[appOffset + i] : 0xFF;
  }
  PutRange(expected, appOffset, entry);
  ExpectFlash(base, expected);

  if (c.family == 20) {
    Flash bootExpected(0x1000);
    Bytes unpatched = boot;
    unpatched.resize(512, 0xFF);
    PutRange(bootExpected, 0, unpatched);
    ExpectFlash(0x1FC00000, bootExpected);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryFamily, BottomLayout, ::testing::ValuesIn(kBottomCases),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace quorvel::test
