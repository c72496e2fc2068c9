// SPDX-License-Identifier: Apache-2.0
// ELF, raw binary and format detection: each format must give exactly the images its HEX twin
// gives, and a damaged or unrecognised file a one-line refusal and no data.
#include "image/firmware_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/families.h"
#include "image/elf_reader.h"
#include "io/file_sys.h"
#include "support/elf_writer.h"
#include "support/family_row.h"
#include "support/hex_writer.h"

namespace quorvel {
namespace {

namespace th = testhex;
namespace te = testelf;

TBootInfo NewGeometry(std::uint8_t family, std::uint32_t mcuSize) {
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

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 7u);
  return out;
}

std::string_view View(const std::vector<std::uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

THexImages FromHex(const std::vector<th::Segment>& segments, const TBootInfo& info) {
  THexImages images;
  const HexLoadResult result = LoadHexText(th::Make(segments), "twin.hex", info, images);
  EXPECT_EQ(result.status, HexLoadStatus::Loaded) << result.message;
  return images;
}

void ExpectSameImages(const THexImages& actual, const THexImages& expected) {
  EXPECT_EQ(actual.FlashImage, expected.FlashImage);
  EXPECT_EQ(actual.BootFlashImage, expected.BootFlashImage);
  EXPECT_EQ(actual.HexLoaded, expected.HexLoaded);
  EXPECT_EQ(actual.HexMcuType, expected.HexMcuType);
}

class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/quorvel-fw-XXXXXX";
    const int fd = ::mkstemp(name);
    EXPECT_GE(fd, 0);
    ::close(fd);
    path_ = name;
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~TempFile() { ::unlink(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// ---------------------------------------------------------------------------------------------
// Pieces become the images of the HEX file holding the same bytes at the same addresses.

struct TwinRow {
  const char* name;
  TBootInfo info;
  std::vector<th::Segment> segments;
};
void PrintTo(const TwinRow& row, std::ostream* os) { *os << row.name; }

class PiecesLikeHex : public ::testing::TestWithParam<TwinRow> {};

TEST_P(PiecesLikeHex, GiveTheImagesOfTheirHexTwin) {
  const TwinRow& row = GetParam();
  FirmwarePieces pieces;
  for (const th::Segment& segment : row.segments) pieces.push_back({segment.address, View(segment.bytes)});
  THexImages images;
  const HexLoadResult result = BuildImagesFromPieces(pieces, "app.elf", row.info, images);
  ASSERT_EQ(result.status, HexLoadStatus::Loaded) << result.message;
  ExpectSameImages(images, FromHex(row.segments, row.info));
  EXPECT_FALSE(images.FlashImage.empty() && images.BootFlashImage.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Families, PiecesLikeHex,
    ::testing::Values(
        // Odd bytes of a PIC16 gap read 0x3F; a piece crossing a 64 KB boundary stays whole.
        TwinRow{"Pic16Fill", NewGeometry(mcu::PIC16, 0x4000), {{0x10, Bytes(5, 1)}, {0x41, Bytes(3, 9)}}},
        TwinRow{"Pic18OldGeometryDropsTheBootloaderArea",
                OldGeometry(mcu::PIC18, 0x7C00),
                {{0x0, Bytes(0x40, 2)}, {0x7C00, Bytes(0x20, 3)}}},
        TwinRow{"Pic24Compaction",
                NewGeometry(mcu::PIC24, 0x15800),
                {{0x0, Bytes(0x30, 4)}, {0x400, Bytes(8, 5)}}},
        TwinRow{"Pic32ProgramAndBootFlash",
                NewGeometry(mcu::PIC32, 0x80000),
                {{0x1D000000, Bytes(0x123, 6)}, {0x1FC00000, Bytes(0x40, 7)}, {0x1FC02FF0, Bytes(0x10, 8)}}},
        TwinRow{"Stm32AtItsFlashOffset",
                NewGeometry(mcu::STM32F4XX, 0x100000),
                {{0x08000000, Bytes(0x1C4, 9)}, {0x0800FFF0, Bytes(0x40, 10)}}},
        TwinRow{"ArmWithUnalignedPieces",
                NewGeometry(mcu::ARM, 0x40000),
                {{0x3, Bytes(0x25, 11)}, {0x1FFF9, Bytes(13, 12)}}},
        TwinRow{"LaterPieceWins",
                NewGeometry(mcu::ARM, 0x40000),
                {{0x0, Bytes(0x40, 13)}, {0x10, Bytes(4, 14)}}}),
    [](const ::testing::TestParamInfo<TwinRow>& row) { return std::string(row.param.name); });

// A piece is cut into records that never cross a 16-byte boundary, so a window's end cuts it exactly
// wherever it starts; a record reaching past the end would carry file bytes beyond it (on PIC32 into
// the configuration words at the end of boot flash).
struct WindowEndRow {
  const char* name;
  TBootInfo info;
  bool bootFlash;            // the window is the PIC32 boot flash's
  std::uint32_t windowEnd;   // address where the window ends
  std::int32_t startBefore;  // the piece starts this many bytes before it
  std::size_t length;
};
void PrintTo(const WindowEndRow& row, std::ostream* os) { *os << row.name; }

const TBootInfo kPic32 = NewGeometry(mcu::PIC32, 0x80000);

class PieceAcrossAWindowEnd : public ::testing::TestWithParam<WindowEndRow> {};

TEST_P(PieceAcrossAWindowEnd, IsCutExactlyAtTheEnd) {
  const WindowEndRow& row = GetParam();
  const std::uint32_t start = row.windowEnd - static_cast<std::uint32_t>(row.startBefore);
  const std::vector<std::uint8_t> bytes = Bytes(row.length, 1);
  THexImages images;
  const HexLoadResult result = BuildImagesFromPieces({{start, View(bytes)}}, "app.bin", row.info, images);
  ASSERT_EQ(result.status, HexLoadStatus::Loaded) << result.message;
  const std::uint32_t base = row.bootFlash ? kPic32BootFlash : test::FamilyRow(row.info.McuType).hexBase;
  const TByteArray& image = row.bootFlash ? images.BootFlashImage : images.FlashImage;
  const std::size_t kept = row.startBefore > 0 ? static_cast<std::size_t>(row.startBefore) : 0;
  EXPECT_EQ(image.size(), kept == 0 ? 0 : row.windowEnd - base);
  EXPECT_EQ(result.dropped.bytes, row.length - kept);
  if (kept > 0) {
    EXPECT_EQ(image.back(), bytes[kept - 1]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, PieceAcrossAWindowEnd,
    ::testing::Values(
        WindowEndRow{"Pic32BootFlashEightBytesBefore", kPic32, true, 0x1FC02FF0, 8, 16},
        WindowEndRow{"Pic32BootFlashOneByteBefore", kPic32, true, 0x1FC02FF0, 1, 2},
        WindowEndRow{"Pic32BootFlashSeventeenBytesBefore", kPic32, true, 0x1FC02FF0, 17, 40},
        WindowEndRow{"Pic32BootFlashAtTheEnd", kPic32, true, 0x1FC02FF0, 0, 16},
        WindowEndRow{"Pic32BootFlashOneByteAfter", kPic32, true, 0x1FC02FF0, -1, 16},
        WindowEndRow{"Pic18BootStartAligned", OldGeometry(mcu::PIC18, 0x7C00), false, 0x7C00, 0x20, 0x40},
        WindowEndRow{"Pic18BootStartUnaligned", OldGeometry(mcu::PIC18, 0x7C00), false, 0x7C00, 7, 0x20},
        WindowEndRow{"Stm32McuSizeUnaligned", NewGeometry(mcu::STM32F4XX, 0x100000), false, 0x08100000, 13,
                     0x20}),
    [](const ::testing::TestParamInfo<WindowEndRow>& row) { return std::string(row.param.name); });

TEST(FirmwarePieces, BelowStm32FlashNamesTheAddressNotALine) {
  const std::vector<std::uint8_t> bytes = Bytes(8, 1);
  THexImages images;
  const HexLoadResult result =
      BuildImagesFromPieces({{0x08000000, View(bytes)}, {0x20000, View(bytes)}}, "app.bin",
                            NewGeometry(mcu::STM32F4XX, 0x100000), images);
  EXPECT_EQ(result.status, HexLoadStatus::FlashOffset);
  EXPECT_EQ(result.message,
            "'app.bin' places data at 0x00020000, below the internal flash offset 0x08000000.");
}

TEST(FirmwarePieces, BeyondAnyDevicesFlashIsRefusedWithTheAddress) {
  const std::vector<std::uint8_t> bytes = Bytes(8, 1);
  THexImages images;
  images.FlashImage = {1, 2, 3};
  const HexLoadResult result = BuildImagesFromPieces({{0x0, View(bytes)}, {0x7F000000, View(bytes)}},
                                                     "app.bin", NewGeometry(99, 0), images);
  EXPECT_EQ(result.status, HexLoadStatus::TooLarge);
  EXPECT_EQ(result.message,
            "'app.bin' places data at 0x7F000000, beyond the flash of any device. Nothing was loaded.");
  EXPECT_TRUE(images.FlashImage.empty());
  EXPECT_FALSE(images.HexLoaded);
}

TEST(FirmwarePieces, NoFamilyYetLoadsNothing) {
  const std::vector<std::uint8_t> bytes = Bytes(8, 1);
  THexImages images;
  images.FlashImage = {7};
  EXPECT_EQ(BuildImagesFromPieces({{0, View(bytes)}}, "a.bin", TBootInfo{}, images).status,
            HexLoadStatus::NotLoaded);
  EXPECT_EQ(images.FlashImage, TByteArray{7});
}

// ---------------------------------------------------------------------------------------------
// ELF

struct ElfShape {
  const char* name;
  int elfClass;
  int byteOrder;
};
void PrintTo(const ElfShape& shape, std::ostream* os) { *os << shape.name; }

class ElfShapes : public ::testing::TestWithParam<ElfShape> {};

// PIC32 toolchains link for KSEG addresses and load at physical ones: the physical address counts.
TEST_P(ElfShapes, Pic32SegmentsLoadAtTheirPhysicalAddressesLikeTheHexTwin) {
  const te::Layout layout{GetParam().elfClass, GetParam().byteOrder, EM_MIPS, true};
  const std::vector<std::uint8_t> program = Bytes(0x210, 3);
  const std::vector<std::uint8_t> boot = Bytes(0x180, 4);
  te::Block programBlock{0x1D000000, 0x9D000000, program};
  programBlock.memExtra = 0x100;  // .bss after the file bytes is not loaded
  te::Block note{0x0, 0x0, Bytes(0x20, 5), 0, PT_NOTE, SHT_NOTE, 0};
  const std::string file = te::Write({programBlock, {0x1FC00000, 0xBFC00000, boot}, note}, layout);
  const ElfReadResult elf = ReadElfPieces(file, "app.elf", mcu::PIC32);
  ASSERT_TRUE(elf.ok()) << elf.error;
  ASSERT_EQ(elf.pieces.size(), 2u) << "the note is not loaded";

  const TBootInfo info = NewGeometry(mcu::PIC32, 0x80000);
  THexImages images;
  ASSERT_EQ(BuildImagesFromPieces(elf.pieces, "app.elf", info, images).status, HexLoadStatus::Loaded);
  ExpectSameImages(images, FromHex({{0x1D000000, program}, {0x1FC00000, boot}}, info));
  EXPECT_EQ(images.FlashImage.size(), program.size());
  EXPECT_EQ(images.BootFlashImage.size(), boot.size());
}

// Every allocated section with contents loads, whatever its type; objcopy keeps them all.
TEST_P(ElfShapes, WithoutProgramHeadersTheAllocatedSectionsWithContentsLoad) {
  const te::Layout layout{GetParam().elfClass, GetParam().byteOrder, EM_ARM, false};
  te::Block code{0, 0x08000000, Bytes(0x44, 1)};
  te::Block bss{0, 0x20000000, Bytes(0x10, 2)};
  bss.sectionType = SHT_NOBITS;
  te::Block comment{0, 0x0, Bytes(0x10, 3)};
  comment.sectionFlags = 0;
  te::Block empty{0, 0x08001000, {}};
  te::Block initArray{0, 0x08000100, Bytes(0x8, 4)};
  initArray.sectionType = SHT_INIT_ARRAY;
  te::Block exidx{0, 0x08000048, Bytes(0x10, 5)};
  exidx.sectionType = SHT_ARM_EXIDX;
  const std::string file = te::Write({code, bss, comment, empty, initArray, exidx}, layout);
  const ElfReadResult elf = ReadElfPieces(file, "app.elf");
  ASSERT_TRUE(elf.ok()) << elf.error;
  ASSERT_EQ(elf.pieces.size(), 3u);
  EXPECT_EQ(elf.pieces[0].address, 0x08000000u);
  EXPECT_EQ(elf.pieces[0].bytes, View(code.bytes));
  EXPECT_EQ(elf.pieces[1].address, 0x08000048u);
  EXPECT_EQ(elf.pieces[2].address, 0x08000100u);
}

INSTANTIATE_TEST_SUITE_P(ClassesAndByteOrders, ElfShapes,
                         ::testing::Values(ElfShape{"Elf32Little", ELFCLASS32, ELFDATA2LSB},
                                           ElfShape{"Elf32Big", ELFCLASS32, ELFDATA2MSB},
                                           ElfShape{"Elf64Little", ELFCLASS64, ELFDATA2LSB},
                                           ElfShape{"Elf64Big", ELFCLASS64, ELFDATA2MSB}),
                         [](const ::testing::TestParamInfo<ElfShape>& row) {
                           return std::string(row.param.name);
                         });

// Where objcopy puts each section: the load address its segment gives it, without the headers.
struct ObjcopyRow {
  const char* name;
  std::vector<te::Block> blocks;
  std::vector<std::uint32_t> addresses;  // of the pieces, in address order
};
void PrintTo(const ObjcopyRow& row, std::ostream* os) { *os << row.name; }

class ElfLikeObjcopy : public ::testing::TestWithParam<ObjcopyRow> {};

TEST_P(ElfLikeObjcopy, PlacesEachSectionAtItsLoadAddress) {
  const std::string file = te::Write(GetParam().blocks);  // the pieces point into it
  const ElfReadResult elf = ReadElfPieces(file, "app.elf", mcu::STM32F4XX);
  ASSERT_TRUE(elf.ok()) << elf.error;
  std::vector<std::uint32_t> addresses;
  for (const FirmwarePiece& piece : elf.pieces) addresses.push_back(piece.address);
  EXPECT_EQ(addresses, GetParam().addresses);
  for (const FirmwarePiece& piece : elf.pieces) EXPECT_NE(piece.bytes.substr(0, 4), "\x7F" "ELF");
}

te::Block WithHeaders(te::Block block) {
  block.segmentFromFileStart = true;
  return block;
}
te::Block InNote(te::Block block) {
  block.segmentType = PT_NOTE;
  return block;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ElfLikeObjcopy,
    ::testing::Values(
        ObjcopyRow{"HeadersInTheSegmentAreNotLoaded", {WithHeaders({0x08000200, 0x08000200, Bytes(0x40, 1)})}, {0x08000200}},
        ObjcopyRow{"DataLoadsAtItsPhysicalAddress",
                   {{0x08000000, 0x08000000, Bytes(0x40, 1)}, {0x08000040, 0x20000000, Bytes(0x10, 2)}},
                   {0x08000000, 0x08000040}},
        ObjcopyRow{"ASectionInNoLoadSegmentLoadsAtItsOwnAddress",
                   {{0x08000000, 0x08000000, Bytes(0x40, 1)}, InNote({0x0, 0x08000800, Bytes(0x10, 2)})},
                   {0x08000000, 0x08000800}},
        // Several segments all at physical address 0: each section at its own address, not piled up at 0.
        ObjcopyRow{"PhysicalAddressesAllZero",
                   {{0x0, 0x08000000, Bytes(0x40, 1)}, {0x0, 0x08000100, Bytes(0x10, 2)}},
                   {0x08000000, 0x08000100}},
        // ... but a single one is taken at its word, as objcopy takes it.
        ObjcopyRow{"OneSegmentAtPhysicalAddressZero", {{0x0, 0x08000000, Bytes(0x40, 1)}}, {0x0}}),
    [](const ::testing::TestParamInfo<ObjcopyRow>& row) { return std::string(row.param.name); });

// Each section must end before the next begins; one that reaches into a later one is refused
// naming both, whichever earlier section reaches furthest.
struct OverlapRow {
  const char* name;
  std::vector<std::pair<std::uint64_t, std::size_t>> sections;  // address, size
  const char* error;                                             // empty: taken
  std::vector<std::string> names = {};                           // of the sections, if they have any
};
void PrintTo(const OverlapRow& row, std::ostream* os) { *os << row.name; }

class ElfOverlap : public ::testing::TestWithParam<OverlapRow> {};

TEST_P(ElfOverlap, SectionsMustNotShareAnAddress) {
  std::vector<te::Block> blocks;
  for (const auto& [address, size] : GetParam().sections) blocks.push_back({0, address, Bytes(size, 1)});
  const std::string file = te::Write(blocks, {ELFCLASS32, ELFDATA2LSB, EM_ARM, false, ET_EXEC, GetParam().names});
  const ElfReadResult elf = ReadElfPieces(file, "app.elf");
  EXPECT_EQ(elf.error, GetParam().error);
  EXPECT_EQ(elf.pieces.size(), *GetParam().error == '\0' ? blocks.size() : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sections, ElfOverlap,
    ::testing::Values(
        OverlapRow{"OneByteApart", {{0x08000000, 0x40}, {0x08000041, 0x10}}, ""},
        OverlapRow{"Touching", {{0x08000000, 0x40}, {0x08000040, 0x10}}, ""},
        OverlapRow{"OneByteShared",
                   {{0x08000000, 0x40}, {0x0800003F, 0x10}},
                   "ELF file 'app.elf' has overlapping sections: its section 1 at 0x08000000 (64 bytes) and its "
                   "section 2 at 0x0800003F (16 bytes)."},
        OverlapRow{"InsideAnEarlierSection",
                   {{0x08000000, 0x40}, {0x08000100, 0x10}, {0x08000030, 0x20}},
                   "ELF file 'app.elf' has overlapping sections: its section 1 at 0x08000000 (64 bytes) and its "
                   "section 3 at 0x08000030 (32 bytes)."},
        OverlapRow{"NamedSections",
                   {{0x08000000, 0x40}, {0x0800003F, 0x10}},
                   "ELF file 'app.elf' has overlapping sections: its section '.text' at 0x08000000 (64 bytes) and "
                   "its section '.rodata' at 0x0800003F (16 bytes).",
                   {".text", ".rodata"}},
        OverlapRow{"IntoTheSecondOfThree",
                   {{0x08000000, 0x10}, {0x08000010, 0x10}, {0x0800001F, 0x10}},
                   "ELF file 'app.elf' has overlapping sections: its section 2 at 0x08000010 (16 bytes) and its "
                   "section 3 at 0x0800001F (16 bytes)."}),
    [](const ::testing::TestParamInfo<OverlapRow>& row) { return std::string(row.param.name); });

struct ForeignElf {
  const char* name;
  std::uint8_t family;
  std::uint16_t machine;
  std::uint16_t type;
  const char* error;  // empty: taken
};
void PrintTo(const ForeignElf& row, std::ostream* os) { *os << row.name; }

class ElfForTheBoard : public ::testing::TestWithParam<ForeignElf> {};

TEST_P(ElfForTheBoard, TakesOnlyLinkedProgramsForItsProcessor) {
  const ForeignElf& row = GetParam();
  const std::string file = te::Write({{0x1D000000, 0x9D000000, Bytes(0x10, 1)}},
                                     {ELFCLASS32, ELFDATA2LSB, row.machine, true, row.type});
  const ElfReadResult elf = ReadElfPieces(file, "main.o", row.family);
  EXPECT_EQ(elf.error, row.error);
  EXPECT_EQ(elf.pieces.empty(), !elf.error.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Machines, ElfForTheBoard,
    ::testing::Values(
        ForeignElf{"ArmOnTiva", mcu::TIVA_C, EM_ARM, ET_EXEC, ""},
        ForeignElf{"MipsOnPic32", mcu::PIC32, EM_MIPS, ET_EXEC, ""},
        ForeignElf{"DsPicOnPic24", mcu::PIC24, EM_DSPIC30F, ET_EXEC, ""},
        // A family this uploader does not know cannot say which processor it takes.
        ForeignElf{"AnyMachineOnAnUnknownFamily", 0xEE, EM_X86_64, ET_EXEC, ""},
        ForeignElf{"HostProgramOnTiva", mcu::TIVA_C, EM_X86_64, ET_EXEC,
                   "'main.o' is built for x86-64 (ELF machine 62), not for TIVA C Series, which takes ARM programs."},
        ForeignElf{"ArmOnPic32", mcu::PIC32, EM_ARM, ET_EXEC,
                   "'main.o' is built for ARM (ELF machine 40), not for PIC32, which takes MIPS programs."},
        ForeignElf{"RiscVOnStm32", mcu::STM32F1XX, EM_RISCV, ET_EXEC,
                   "'main.o' is built for RISC-V (ELF machine 243), not for STM32F1XX, which takes ARM programs."},
        ForeignElf{"AnyElfOnPic18", mcu::PIC18, EM_NONE, ET_EXEC,
                   "'main.o' is an ELF file, which PIC18 boards do not take: use the HEX file your toolchain writes."},
        ForeignElf{"ObjectFile", mcu::STM32F4XX, EM_ARM, ET_REL, "'main.o' is an object file, not a linked program."},
        ForeignElf{"PositionIndependent", mcu::ARM, EM_ARM, ET_DYN,
                   "'main.o' is a shared object or position-independent program, not a program linked for the "
                   "flash."}),
    [](const ::testing::TestParamInfo<ForeignElf>& row) { return std::string(row.param.name); });

struct DamagedElf {
  const char* name;
  std::string file;
  const char* error;
};
void PrintTo(const DamagedElf& row, std::ostream* os) { *os << row.name; }

std::string OnlyBss() {
  te::Block block{0x20000000, 0x20000000, {}};
  block.memExtra = 0x100;
  return te::Write({block});
}

class ElfDamaged : public ::testing::TestWithParam<DamagedElf> {};

TEST_P(ElfDamaged, IsRefusedOnOneLineWithoutData) {
  const ElfReadResult elf = ReadElfPieces(GetParam().file, "app.elf");
  EXPECT_TRUE(elf.pieces.empty());
  EXPECT_NE(elf.error.find(GetParam().error), std::string::npos) << elf.error;
  EXPECT_EQ(elf.error.rfind("ELF file 'app.elf' ", 0), 0u) << elf.error;
  EXPECT_EQ(elf.error.find('\n'), std::string::npos) << elf.error;

  // Through the file loader the images go and the load is refused.
  const TempFile file(GetParam().file);
  THexImages images;
  images.FlashImage = {1, 2};
  const FirmwareLoadResult result =
      LoadFirmware({file.path(), nullptr, "app.elf", {}, {}}, NewGeometry(mcu::STM32F4XX, 0x100000), images);
  EXPECT_EQ(result.format, FirmwareFormat::Elf);
  EXPECT_EQ(result.load.status, HexLoadStatus::Unreadable);
  EXPECT_EQ(result.load.message, elf.error);
  EXPECT_TRUE(images.FlashImage.empty());
  EXPECT_FALSE(images.HexLoaded);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ElfDamaged,
    ::testing::Values(
        DamagedElf{"MagicOnly",
                   std::string("\x7F"
                               "ELF",
                               4),
                   "is not a valid ELF file"},
        DamagedElf{"MagicAndJunk",
                   std::string("\x7F"
                               "ELF\x09\x09\x09") +
                       std::string(80, '\xEE'),
                   "is not a valid ELF file"},
        DamagedElf{"NothingButBss", OnlyBss(), "holds no data to load"}),
    [](const ::testing::TestParamInfo<DamagedElf>& row) { return std::string(row.param.name); });

// Every segment and section must end inside the file, also when the file is longer than the piece:
// the end is judged, not the length alone. `past`: how far the piece ends beyond the file's end.
std::uint32_t Get32(const std::string& file, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(file[at + static_cast<std::size_t>(i)]);
  return v;
}
void Put32(std::string& file, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) file[at + i] = static_cast<char>(v >> (8 * i));
}
// A 128-byte program whose segment (or section) header is made to end `past` bytes beyond the file.
std::string PieceEndingPast(bool section, std::int32_t past) {
  std::string file = te::Write({{0x08000000, 0x08000000, Bytes(0x80, 1)}});
  // ELF32 little-endian: p_offset/p_filesz of the first program header, sh_offset/sh_size of section 1.
  const std::size_t at = section ? Get32(file, 32) + 40 + 16 : Get32(file, 28) + 4;
  Put32(file, at + (section ? 4 : 12), static_cast<std::uint32_t>(file.size() - Get32(file, at) + past));
  return file;
}
std::string SegmentBeyondTheFile() {
  te::Block block{0x08000000, 0x08000000, Bytes(0x40, 1)};
  block.offsetOverride = 0x100000;
  return te::Write({block});
}

struct FileEndRow {
  const char* name;
  std::string file;
  bool loads;
};
void PrintTo(const FileEndRow& row, std::ostream* os) { *os << row.name; }

class ElfPieceEnd : public ::testing::TestWithParam<FileEndRow> {};

TEST_P(ElfPieceEnd, MustLieInsideTheFile) {
  const ElfReadResult elf = ReadElfPieces(GetParam().file, "app.elf");
  if (GetParam().loads) {
    ASSERT_TRUE(elf.ok()) << elf.error;
    ASSERT_EQ(elf.pieces.size(), 1u);
    EXPECT_EQ(elf.pieces[0].bytes.substr(0, 4), View(Bytes(4, 1)));
  } else {
    EXPECT_TRUE(elf.pieces.empty());
    EXPECT_NE(elf.error.find("reaches beyond the end of the file"), std::string::npos) << elf.error;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, ElfPieceEnd,
    ::testing::Values(FileEndRow{"SegmentEndsOneByteInside", PieceEndingPast(false, -1), true},
                      FileEndRow{"SegmentEndsWithTheFile", PieceEndingPast(false, 0), true},
                      FileEndRow{"SegmentEndsOneByteBeyond", PieceEndingPast(false, 1), false},
                      FileEndRow{"SegmentEndsAFewBytesBeyond", PieceEndingPast(false, 3), false},
                      FileEndRow{"SegmentStartsBeyondTheFile", SegmentBeyondTheFile(), false},
                      FileEndRow{"FileCutShorterThanTheSegment",
                                 te::Write({{0x08000000, 0x08000000, Bytes(0x400, 1)}}).substr(0, 0x100),
                                 false},
                      FileEndRow{"SectionEndsOneByteInside", PieceEndingPast(true, -1), true},
                      FileEndRow{"SectionEndsWithTheFile", PieceEndingPast(true, 0), true},
                      FileEndRow{"SectionEndsOneByteBeyond", PieceEndingPast(true, 1), false}),
    [](const ::testing::TestParamInfo<FileEndRow>& row) { return std::string(row.param.name); });

// No format may place data beyond 4 GB; data that ends exactly there is no refusal (STM32 keeps none
// of it, as it keeps nothing beyond its flash). A HEX record that only moves the address beyond 4 GB
// is no refusal either, and is not taken for one below the flash.
struct Limit4GRow {
  const char* name;
  std::string bytes;
  std::optional<std::uint32_t> base;  // a raw binary
  std::string refusal;                // empty: loads
};
void PrintTo(const Limit4GRow& row, std::ostream* os) { *os << row.name; }

std::string ElfAt(std::uint64_t address, std::size_t size, int elfClass = ELFCLASS32) {
  return te::Write({{address, address, Bytes(size, 1)}}, {elfClass, ELFDATA2LSB, EM_ARM, true});
}
// Extended linear 0xFFFF plus a segment base: one data byte at 0xFFFF0000 + segment * 16 + offset.
// A line that is no record makes the reader read the text again instead of its decoded records.
std::string HexAt(std::uint16_t segment, std::uint16_t offset, bool comment = false, bool data = true) {
  return std::string(comment ? "made by hand\r\n" : "") + th::LinearAddressRecord(0xFFFF) + "\r\n" +
         th::Record(2, 0, {static_cast<std::uint8_t>(segment >> 8), static_cast<std::uint8_t>(segment)}) +
         "\r\n" + (data ? th::Record(0, offset, {1}) + "\r\n" : "");
}

std::string ElfBeyond(const char* address) {
  return std::string("ELF file 'app' places its section 1 at ") + address +
         ", beyond 4 GB where no device has flash.";
}
std::string HexBeyond(int line, const char* address) {
  return "Line " + std::to_string(line) + " of HEX file 'app' places data at " + address +
         ", beyond the flash of any device. Nothing was loaded.";
}

class Ends4G : public ::testing::TestWithParam<Limit4GRow> {};

TEST_P(Ends4G, DataEndingAt4GBIsNoRefusal) {
  const Limit4GRow& row = GetParam();
  THexImages images;
  const FirmwareLoadResult result =
      LoadFirmware({"-", &row.bytes, "app", row.base, {}}, NewGeometry(mcu::STM32F4XX, 0x100000), images);
  if (row.refusal.empty()) {
    EXPECT_EQ(result.load.status, HexLoadStatus::Loaded) << result.load.message;
  } else {
    EXPECT_NE(result.load.status, HexLoadStatus::Loaded);
    EXPECT_EQ(result.load.message, row.refusal);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Ends4G,
    ::testing::Values(
        Limit4GRow{"BinaryOneByteShort", std::string(15, '\x11'), 0xFFFFFFF0u, ""},
        Limit4GRow{"BinaryExactlyAt4GB", std::string(16, '\x11'), 0xFFFFFFF0u, ""},
        Limit4GRow{"BinaryOneByteBeyond", std::string(17, '\x11'), 0xFFFFFFF0u,
                   "Binary file 'app' (17 bytes) at 0xFFFFFFF0 would reach beyond 4 GB."},
        Limit4GRow{"BinaryFarBeyond", std::string(0x20, '\x11'), 0xFFFFFFF0u,
                   "Binary file 'app' (32 bytes) at 0xFFFFFFF0 would reach beyond 4 GB."},
        Limit4GRow{"ElfSectionOneByteShort", ElfAt(0xFFFFFFF0u, 15), {}, ""},
        Limit4GRow{"ElfSectionExactlyAt4GB", ElfAt(0xFFFFFFF0u, 16), {}, ""},
        Limit4GRow{"ElfSectionOneByteBeyond", ElfAt(0xFFFFFFF0u, 17), {}, ElfBeyond("0xFFFFFFF0")},
        Limit4GRow{"ElfSectionAt4GB", ElfAt(0x100000000ull, 16, ELFCLASS64), {}, ElfBeyond("0x100000000")},
        Limit4GRow{"HexRecordAtTheLastByte", HexAt(0x0FFF, 0x000F), {}, ""},
        Limit4GRow{"HexRecordAt4GB", HexAt(0x1000, 0x0000), {}, HexBeyond(2, "0x100000000")},
        Limit4GRow{"HexRecordBeyond4GB", HexAt(0x1000, 0x0010), {}, HexBeyond(2, "0x100000010")},
        Limit4GRow{"HexTextRecordAtTheLastByte", HexAt(0x0FFF, 0x000F, true), {}, ""},
        Limit4GRow{"HexTextRecordAt4GB", HexAt(0x1000, 0x0000, true), {}, HexBeyond(3, "0x100000000")},
        Limit4GRow{"HexAddressRecordAt4GB", HexAt(0x1000, 0, false, false), {}, ""},
        Limit4GRow{"HexTextAddressRecordAt4GB", HexAt(0x1000, 0, true, false), {}, ""}),
    [](const ::testing::TestParamInfo<Limit4GRow>& row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------------------------
// Detection and the file loader

TEST(FirmwareDetection, ElfMagicWinsThenBaseThenHex) {
  EXPECT_EQ(DetectFirmwareFormat("\x7F"
                                 "ELF\x01",
                                 false),
            FirmwareFormat::Elf);
  EXPECT_EQ(DetectFirmwareFormat("\x7F"
                                 "ELF\x01",
                                 true),
            FirmwareFormat::Elf);
  EXPECT_EQ(DetectFirmwareFormat("\x7F"
                                 "EL",
                                 false),
            FirmwareFormat::IntelHex);
  EXPECT_EQ(DetectFirmwareFormat(":1000", true), FirmwareFormat::RawBinary);
  EXPECT_EQ(DetectFirmwareFormat("", false), FirmwareFormat::IntelHex);
}

TEST(FirmwareDetection, AHexRecordIsALineStartingWithAColon) {
  EXPECT_TRUE(HasHexRecord(":00000001FF"));
  EXPECT_TRUE(HasHexRecord("\xEF\xBB\xBF:00000001FF"));
  EXPECT_TRUE(HasHexRecord("comment\r:00"));
  EXPECT_TRUE(HasHexRecord("comment\n\n:"));
  EXPECT_FALSE(HasHexRecord(""));
  EXPECT_FALSE(HasHexRecord("no record: here\r\n  :indented"));
  EXPECT_FALSE(HasHexRecord(std::string("\x00\x20\x00\x08:", 5)));
}

TEST(FirmwareDetection, AFileOpeningWithAHexRecordLooksLikeHex) {
  EXPECT_TRUE(LooksLikeIntelHex(":020000040800F2\r\n"));
  EXPECT_TRUE(LooksLikeIntelHex("\xEF\xBB\xBF:1000000000"));
  EXPECT_FALSE(LooksLikeIntelHex(":00000001F"));
  EXPECT_FALSE(LooksLikeIntelHex(std::string(":\x00\x20\x00\x08\x41\x00\x00\x08\x43\x00\x00", 12)));
  EXPECT_FALSE(LooksLikeIntelHex("\r\n:020000040800F2"));
}

// --base with a HEX file would flash its text; --format bin says that is meant.
TEST(FirmwareFile, AHexFileGivenABaseIsRefusedUnlessTheFormatIsForced) {
  const std::string hex = th::Make({{0x08000000, Bytes(0x20, 1)}});
  const TempFile file(hex);
  const TBootInfo info = NewGeometry(mcu::STM32F4XX, 0x100000);
  for (const std::string* contents : {static_cast<const std::string*>(nullptr), &hex}) {
    THexImages images;
    images.FlashImage = {1};
    const FirmwareLoadResult refused = LoadFirmware({file.path(), contents, "app.hex", 0x08000000, {}}, info, images);
    EXPECT_EQ(refused.load.status, HexLoadStatus::Unreadable);
    EXPECT_EQ(refused.load.message, "'app.hex' is an Intel HEX file: leave out --base.");
    EXPECT_TRUE(images.FlashImage.empty());

    const FirmwareLoadResult forced =
        LoadFirmware({file.path(), contents, "app.hex", 0x08000000, FirmwareFormat::RawBinary}, info, images);
    ASSERT_EQ(forced.load.status, HexLoadStatus::Loaded) << forced.load.message;
    EXPECT_EQ(images.FlashImage, TByteArray(hex.begin(), hex.end()));
  }
}

TEST(FirmwareFile, AForcedFormatOverridesTheMagic) {
  const std::string elf = te::Write({{0x08000000, 0x08000000, Bytes(0x10, 1)}});
  const TBootInfo info = NewGeometry(mcu::STM32F4XX, 0x100000);
  THexImages images;
  const FirmwareLoadResult asHex = LoadFirmware({"-", &elf, "app", {}, FirmwareFormat::IntelHex}, info, images);
  EXPECT_EQ(asHex.format, FirmwareFormat::IntelHex);
  EXPECT_EQ(asHex.load.status, HexLoadStatus::Loaded) << "no line starts with ':', as the window would read it";
  EXPECT_TRUE(images.FlashImage.empty());

  const std::string text = "no ELF here";
  const FirmwareLoadResult asElf = LoadFirmware({"-", &text, "app", {}, FirmwareFormat::Elf}, info, images);
  EXPECT_EQ(asElf.load.message, "ELF file 'app' is not a valid ELF file.");
}

TEST(FirmwareFile, ABinaryWithoutBaseIsNotTakenForAnEmptyHexFile) {
  const TempFile file(std::string("\x00\x00\x02\x20\x41\x00\x00\x08", 8));
  THexImages images;
  const FirmwareLoadResult result =
      LoadFirmware({file.path(), nullptr, "", {}, {}}, NewGeometry(mcu::ARM, 0x40000), images);
  EXPECT_EQ(result.format, FirmwareFormat::Unknown);
  EXPECT_EQ(result.load.status, HexLoadStatus::Unreadable);
  EXPECT_EQ(result.load.message,
            "'" + file.path() + "' is not an Intel HEX or ELF file (give --base ADDR for a raw binary)");
  EXPECT_FALSE(images.HexLoaded);
}

TEST(FirmwareFile, ABinaryAtItsBaseGivesTheHexTwinsImages) {
  const std::vector<std::uint8_t> bytes = Bytes(0x300, 7);
  const TempFile file(std::string(View(bytes)));
  const TBootInfo info = NewGeometry(mcu::STM32F4XX, 0x100000);
  THexImages images;
  const FirmwareLoadResult result = LoadFirmware({file.path(), nullptr, "", 0x08004000, {}}, info, images);
  EXPECT_EQ(result.format, FirmwareFormat::RawBinary);
  ASSERT_EQ(result.load.status, HexLoadStatus::Loaded) << result.load.message;
  ExpectSameImages(images, FromHex({{0x08004000, bytes}}, info));
}

// ELF and binary files up to 1 GiB are read whole; a longer one is refused before it is read. The
// seam claims the size, and counts the descriptors: each one opened is closed, whatever the outcome.
class ClaimingSys final : public io::FileSys {
 public:
  explicit ClaimingSys(std::uint64_t size) : size_(size) {}
  int Fstat(int fd, struct stat* st) override {
    const int r = FileSys::Fstat(fd, st);
    st->st_size = static_cast<off_t>(size_);
    return r;
  }
  int Open(const char* path, int flags, mode_t mode) override {
    const int fd = FileSys::Open(path, flags, mode);
    if (fd >= 0) ++open;
    return fd;
  }
  int Close(int fd) override {
    --open;
    return FileSys::Close(fd);
  }
  int open = 0;

 private:
  std::uint64_t size_;
};

struct CapRow {
  const char* name;
  bool elf;
  std::uint64_t claimed;
};
void PrintTo(const CapRow& row, std::ostream* os) { *os << row.name; }

class FirmwareFileCap : public ::testing::TestWithParam<CapRow> {};

TEST_P(FirmwareFileCap, LongerThan1GiBIsRefused) {
  const CapRow& row = GetParam();
  const TempFile file(row.elf ? te::Write({{0x08000000, 0x08000000, Bytes(0x10, 1)}})
                              : std::string(0x10, '\x22'));
  ClaimingSys sys(row.claimed);
  THexImages images;
  images.FlashImage = {1};
  const FirmwareInput input{
      file.path(), nullptr, "app", row.elf ? std::nullopt : std::optional(0x08000000u), {}};
  const FirmwareLoadResult result = LoadFirmware(input, NewGeometry(mcu::STM32F4XX, 0x100000), images, sys);
  EXPECT_EQ(sys.open, 0) << "a descriptor left open";
  if (row.claimed <= kMaxHexFileBytes) {
    EXPECT_EQ(result.load.status, HexLoadStatus::Loaded) << result.load.message;
    EXPECT_EQ(images.FlashImage.size(), 0x10u);
    return;
  }
  EXPECT_EQ(result.load.status, HexLoadStatus::TooLarge);
  EXPECT_EQ(result.load.message,
            std::string(row.elf ? "ELF" : "Binary") +
                " file 'app' is longer than any device's flash could need. Nothing was loaded.");
  EXPECT_TRUE(images.FlashImage.empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, FirmwareFileCap,
                         ::testing::Values(CapRow{"BinaryOneByteShort", false, kMaxHexFileBytes - 1},
                                           CapRow{"BinaryAtTheLimit", false, kMaxHexFileBytes},
                                           CapRow{"BinaryOneByteBeyond", false, kMaxHexFileBytes + 1},
                                           CapRow{"ElfAtTheLimit", true, kMaxHexFileBytes},
                                           CapRow{"ElfOneByteBeyond", true, kMaxHexFileBytes + 1}),
                         [](const ::testing::TestParamInfo<CapRow>& row) {
                           return std::string(row.param.name);
                         });

TEST(FirmwareFile, HexFromMemoryOrFileKeepsTheHexLoadersWordsAndLines) {
  std::string hex = th::Make({{0x08000000, Bytes(16, 1)}});
  hex[hex.find("\r\n:10") + 13] ^= 1;  // a digit of the data record
  const TBootInfo info = NewGeometry(mcu::STM32F4XX, 0x100000);
  THexImages fromMemory;
  const FirmwareLoadResult memory = LoadFirmware({"-", &hex, "standard input", {}, {}}, info, fromMemory);
  EXPECT_EQ(memory.format, FirmwareFormat::IntelHex);
  EXPECT_EQ(memory.load.status, HexLoadStatus::ChecksumFailed);
  EXPECT_EQ(memory.load.message,
            "CRC check failed. Invalid CRC at line 1 in file 'standard input'.\r\nNo data will be loaded.");

  const TempFile file(hex);
  THexImages fromFile;
  const FirmwareLoadResult disk = LoadFirmware({file.path(), nullptr, "", {}, {}}, info, fromFile);
  EXPECT_EQ(disk.load.status, HexLoadStatus::ChecksumFailed);
  EXPECT_NE(disk.load.message.find("in file '" + file.path().substr(5) + "'"), std::string::npos)
      << disk.load.message;
}

TEST(FirmwareFile, MissingFileOrNoFamilyLoadsNothingAsForHex) {
  THexImages images;
  images.FlashImage = {5};
  EXPECT_EQ(LoadFirmware({"/nonexistent/app.elf", nullptr, "", {}, {}}, NewGeometry(mcu::ARM, 0x40000), images)
                .load.status,
            HexLoadStatus::NotLoaded);
  const std::string elf = te::Write({{0x0, 0x0, Bytes(4, 1)}});
  EXPECT_EQ(LoadFirmware({"-", &elf, "standard input", {}, {}}, TBootInfo{}, images).load.status,
            HexLoadStatus::NotLoaded);
  EXPECT_EQ(images.FlashImage, TByteArray{5});
}

// The format is not probed by reading a pipe: it is refused as the HEX loader refuses it.
TEST(FirmwareFile, APipeIsNoFileToProbe) {
  char dir[] = "/tmp/quorvel-fifo-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/app.bin";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  THexImages images;
  const FirmwareLoadResult r = LoadFirmware({fifo, nullptr, "", {}, {}}, NewGeometry(mcu::ARM, 0x40000), images);
  ::unlink(fifo.c_str());
  ::rmdir(dir);
  EXPECT_EQ(r.load.status, HexLoadStatus::Unreadable);
  EXPECT_EQ(r.load.message, "Cannot read file '" + fifo + "': not a regular file.");
}

// ---------------------------------------------------------------------------------------------
// Files real toolchains wrote (tests/image/corpus/Makefile), against objcopy's view of them.

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The data of a HEX file at the addresses GNU objcopy reads for it, through its S-record output.
std::vector<th::Segment> ObjcopyView(const std::string& hex) {
  const TempFile out("");
  const std::string command = std::string(QUORVEL_OBJCOPY) + " -I ihex -O srec --srec-forceS3 '" + hex + "' '" +
                              out.path() + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::vector<th::Segment> view;
  std::istringstream lines(ReadFile(out.path()));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("S3", 0) != 0) continue;
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(std::stoul(line.substr(2 + 2 * i, 2), nullptr, 16)); };
    const std::size_t count = byte(0);
    th::Segment segment{static_cast<std::uint32_t>(byte(1) << 24 | byte(2) << 16 | byte(3) << 8 | byte(4)), {}};
    for (std::size_t i = 5; i < count; ++i) segment.bytes.push_back(byte(i));
    view.push_back(std::move(segment));
  }
  return view;
}

// objcopy's bytes in a byte-addressed family's program memory: offset = address - the family's HEX
// base, below McuSize; erased elsewhere (PIC16's odd bytes 0x3F).
TByteArray FamilyImage(const std::vector<th::Segment>& view, const TBootInfo& info) {
  const FamilyFacts& f = test::FamilyRow(info.McuType);
  TByteArray image;
  for (const th::Segment& segment : view) {
    for (std::size_t i = 0; i < segment.bytes.size(); ++i) {
      const std::uint64_t offset = std::uint64_t{segment.address} + i - f.hexBase;
      if (segment.address + i < f.hexBase || offset >= info.McuSize) continue;
      while (image.size() <= offset) image.push_back(image.size() % 2 == 1 ? f.oddFill : 0xFF);
      image[offset] = segment.bytes[i];
    }
  }
  return image;
}

struct CorpusRow {
  const char* file;
  TBootInfo info;
  const char* objcopyBinary;  // objcopy -O binary --gap-fill 0xFF of the ELF; null: objcopy's view of `file`
  std::uint32_t binaryAt;     // the address of the binary's first byte
  std::uint64_t droppedBytes;
  std::uint32_t firstDropped;
};
void PrintTo(const CorpusRow& row, std::ostream* os) { *os << row.file; }

class Corpus : public ::testing::TestWithParam<CorpusRow> {};

TEST_P(Corpus, GivesObjcopysImageByteForByte) {
  const CorpusRow& row = GetParam();
  const std::string dir = QUORVEL_CORPUS_DIR "/";
  THexImages images;
  const FirmwareLoadResult result = LoadFirmware({dir + row.file, nullptr, "", {}, {}}, row.info, images);
  ASSERT_EQ(result.load.status, HexLoadStatus::Loaded) << result.load.message;
  TByteArray expected;
  if (row.objcopyBinary != nullptr) {
    expected.assign(row.binaryAt - test::FamilyRow(row.info.McuType).hexBase, 0xFF);
    const std::string binary = ReadFile(dir + row.objcopyBinary);
    ASSERT_FALSE(binary.empty());
    expected.insert(expected.end(), binary.begin(), binary.end());
  } else {
    expected = FamilyImage(ObjcopyView(dir + row.file), row.info);
  }
  EXPECT_EQ(images.FlashImage, expected);
  EXPECT_EQ(result.load.dropped.bytes, row.droppedBytes);
  EXPECT_EQ(result.load.dropped.firstAddress, row.firstDropped);
}

INSTANTIATE_TEST_SUITE_P(
    Toolchains, Corpus,
    ::testing::Values(
        // gpasm: configuration and EEPROM data lie outside program memory and are not written.
        CorpusRow{"pic16.hex", NewGeometry(mcu::PIC16, 0x1000), nullptr, 0, 16, 0x400E},
        CorpusRow{"pic18.hex", NewGeometry(mcu::PIC18, 0x8000), nullptr, 0, 19, 0x300000},
        // arm-none-eabi-gcc: sections of every kind, padding between them, .data's load image.
        CorpusRow{"stm32f1.elf", NewGeometry(mcu::STM32F1XX, 0x10000), "stm32f1.bin", 0x08000000, 0, 0},
        CorpusRow{"stm32f1.hex", NewGeometry(mcu::STM32F1XX, 0x10000), nullptr, 0, 0, 0},
        // The ELF and program headers share the first segment with the code: never loaded.
        CorpusRow{"stm32f4-headers.elf", NewGeometry(mcu::STM32F4XX, 0x100000), "stm32f4-headers.bin", 0x080000B4,
                  0, 0},
        CorpusRow{"stm32f4-headers.hex", NewGeometry(mcu::STM32F4XX, 0x100000), nullptr, 0, 0, 0},
        // 72 KB at address 0: objcopy's HEX needs segment records (02) for the part above 64 KB.
        CorpusRow{"tiva.elf", NewGeometry(mcu::TIVA_C, 0x40000), "tiva.bin", 0, 0, 0},
        CorpusRow{"tiva.hex", NewGeometry(mcu::TIVA_C, 0x40000), "tiva.bin", 0, 0, 0},
        CorpusRow{"tiva-srec.hex", NewGeometry(mcu::STELLARIS, 0x40000), "tiva.bin", 0, 0, 0}),
    [](const ::testing::TestParamInfo<CorpusRow>& row) {
      std::string name = row.param.file;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

}  // namespace
}  // namespace quorvel
