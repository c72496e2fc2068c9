// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the uploader knows about each MCU family, one row per family code the
// bootloader reports: its names, how image bytes map onto device addresses,
// which HEX addresses the loader takes, where the flash lies and how large it
// can be, how it is erased, where a PIC32 keeps its boot flash, the code with
// which the bootloader enters the application, and how the information record
// aligns its values. Code that needs a family fact asks this table; a new
// family is one row (families.cpp checks every row when it is compiled).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quorvel {

enum class FamilyGroup : std::uint8_t {
  Pic8,      // PIC16, PIC18, PIC18FJ: one address unit per image byte
  Pic16Bit,  // PIC24, dsPIC, dsPIC33: three image bytes per instruction word, two address units
  Pic32,     // MIPS, physical addresses, separate boot flash
  Arm,       // Cortex-M
};

enum class EraseKind : std::uint8_t {
  Blocks,   // uniform blocks of EraseBlock image bytes
  Sectors,  // the unequal sectors of the family's sector map
};

// HEX addresses below the family's HEX base.
enum class BelowHexBase : std::uint8_t {
  Ignored,  // skipped like any address outside the flash
  Refused,  // the whole file is refused: it was linked for another memory map
};

// What bounds the HEX addresses the loader takes from a bootloader before
// revision 0x1200 (from then on it is McuSize).
enum class OldHexLimit : std::uint8_t {
  BootStart,      // the bootloader's start
  ProgramWindow,  // the family's whole program window (maxProgramBytes)
};

// The code with which the bootloader enters the application, and the jump to
// the bootloader put into the application's reset entry in the top layout.
enum class EntryCode : std::uint8_t {
  None,     // the bootloader keeps no entry code
  Pic18,    // the first 4 bytes; GOTO
  Pic24,    // the first instruction words (6 bytes); GOTO
  Pic32,    // 16 bytes of the boot flash, or a jump into its start-up code; lui/ori/jr
  Thumb,    // 20 bytes loading the stack pointer and jumping to the reset handler
};

// First image offset of each sector, then the end of the last one.
inline constexpr std::int64_t kStm32F2F4SectorStarts[] = {0x00000, 0x04000, 0x08000, 0x0C000, 0x10000,
                                                          0x20000, 0x40000, 0x60000, 0x80000, 0xA0000,
                                                          0xC0000, 0xE0000, 0x100000};

// The memory maps the families share.
inline constexpr std::uint32_t kStm32Flash = 0x08000000u;        // STM32 internal flash
inline constexpr std::uint32_t kPic32ProgramFlash = 0x1D000000u;  // PIC32 program flash, physical
inline constexpr std::uint32_t kPic32ProgramWindow = 0x2800000u;  // up to 0x1F800000
inline constexpr std::uint32_t kPic32BootFlash = 0x1FC00000u;     // PIC32 boot flash, physical
inline constexpr std::uint32_t kPic32BootFlashBytes = 0x3000u;
// The last bytes of the PIC32 boot flash hold the device configuration; they
// are never taken from a file.
inline constexpr std::uint8_t kPic32ConfigurationBytes = 16;
// PIC32 addresses: KSEG0/KSEG1 virtual addresses map onto the same physical memory.
inline constexpr std::uint32_t kPhysicalAddressMask = 0x1FFFFFFFu;
inline constexpr std::uint32_t kKseg0 = 0x80000000u;  // cached virtual address = physical | kKseg0

// What a typical part reports in its information record: flash size (McuSize;
// for the 16-bit PICs in image bytes, three per instruction word, as the HEX
// loader reads it), erase and write block, bootloader start, and the program
// start of a bootloader at the bottom of flash, in device address units (PIC32:
// the bottom start as an offset from the program flash).
struct SamplePart {
  std::uint32_t size;
  std::uint16_t eraseBlock;
  std::uint16_t writeBlock;
  std::uint32_t bootStart;
  std::uint32_t bottomProgramStart;
};

struct FamilyFacts {
  std::uint8_t code;
  std::string_view name;     // as the MCU combo box shows it
  std::string_view keyword;  // on the command line and in --simulate profiles
  // Picks the family from the window's first start-up argument wherever it
  // occurs there; the first row whose keyword occurs wins. Empty: none.
  std::string_view argumentKeyword;
  FamilyGroup group;
  // Image bytes and device address units per instruction word: 3 and 2 for
  // the 16-bit PICs, 1 and 1 for every byte-addressed family.
  std::uint8_t wordBytes;
  std::uint8_t wordUnits;
  // HEX bytes per instruction word: 4 for the 16-bit PICs (their HEX files
  // carry a phantom fourth byte per word), else wordBytes.
  std::uint8_t hexWordBytes;
  std::uint32_t hexBase;  // HEX address of image offset 0 (STM32 internal flash, PIC32 program flash)
  BelowHexBase belowHexBase;
  OldHexLimit oldHexLimit;
  std::uint32_t commandBase;  // command address of image offset 0 (PIC32: physical program flash)
  // Largest program memory any part of the family has, in image bytes from
  // image offset 0: the family's program address space (PIC16 15-bit, PIC18
  // 21-bit, 16-bit PICs 0x800000 units, the PIC32 program-flash window, the
  // Cortex-M code region), the 1 MB flash window of Stellaris/Tiva parts, and
  // the largest flash of the STM32 lines (for F2/F4, the part the sector map covers).
  std::uint64_t maxProgramBytes;
  EraseKind erase;
  std::span<const std::int64_t> sectorStarts;  // EraseKind::Sectors only
  std::uint32_t bootFlashBase;                 // PIC32 boot flash; 0 when there is none
  std::uint32_t bootFlashBytes;
  std::uint8_t bootConfigBytes;  // at the end of the boot flash, never taken from a file
  EntryCode entry;
  std::uint8_t entryStubBytes;  // code the bootloader keeps to enter the application
  // Alignment of a 32-bit value in the information record (a 16-bit value's
  // is at most 2): bootloaders that store the record as an array of native
  // words align each value to its own width, up to their word size.
  std::uint8_t recordAlign;
  // A typical part of the family, which the simulated bootloader stands in
  // for unless told otherwise.
  SamplePart sample;
  std::uint8_t oddFill;  // erased value of odd image bytes (PIC16: high byte of a 14-bit word)
};

namespace family_detail {
using G = FamilyGroup;
using E = EntryCode;
inline constexpr std::span<const std::int64_t> kNoSectors{};
inline constexpr std::span<const std::int64_t> kF2F4Sectors{kStm32F2F4SectorStarts};
inline constexpr auto kIgnored = BelowHexBase::Ignored;
inline constexpr auto kRefused = BelowHexBase::Refused;
inline constexpr auto kBootStart = OldHexLimit::BootStart;
inline constexpr auto kWindow = OldHexLimit::ProgramWindow;
inline constexpr auto kBlocks = EraseKind::Blocks;
inline constexpr auto kSectors = EraseKind::Sectors;
inline constexpr std::uint32_t kStm32 = kStm32Flash;
inline constexpr std::uint32_t kPic32 = kPic32ProgramFlash;
inline constexpr std::uint32_t kBoot = kPic32BootFlash;
inline constexpr std::uint32_t kBootBytes = kPic32BootFlashBytes;
inline constexpr std::uint8_t kConfig = kPic32ConfigurationBytes;

// clang-format off
// Sample parts: PIC16F1459, PIC18F4550, PIC18F46J50, PIC24FJ64GB002,
// dsPIC30F4013, dsPIC33EP256MU806, PIC32MX460F512L, TM4C123/LM3S, STM32L151,
// STM32F103, STM32F2xx/F4xx with 1 MB.
inline constexpr FamilyFacts kFamilies[] = {
  // code name             keyword          argument        group        word     hexBase below     old limit   commandBase max program   erase     sectors       boot flash  bytes       config   entry     stub align sample: size  erase write boot start program odd fill
  { 1, "PIC16",            "PIC16",         "P16",          G::Pic8,     1, 1, 1, 0,      kIgnored, kBootStart, 0,          0x10000,      kBlocks,  kNoSectors,   0,     0,          0,       E::None,   0,  1, {0x4000,     64,  64,     0x3000, 0x1000}, 0x3F},
  { 2, "PIC18",            "PIC18",         "P18",          G::Pic8,     1, 1, 1, 0,      kIgnored, kBootStart, 0,          0x200000,     kBlocks,  kNoSectors,   0,     0,          0,       E::Pic18,  4,  1, {0x8000,     64,  64,     0x7C00, 0x1000}, 0xFF},
  { 3, "PIC18FJ",          "PIC18FJ",       "",             G::Pic8,     1, 1, 1, 0,      kIgnored, kBootStart, 0,          0x200000,     kBlocks,  kNoSectors,   0,     0,          0,       E::Pic18,  4,  1, {0x10000,  1024,  64,     0xF000, 0x1000}, 0xFF},
  { 4, "PIC24",            "PIC24",         "P24",          G::Pic16Bit, 3, 2, 4, 0,      kIgnored, kBootStart, 0,          0xC00000,     kBlocks,  kNoSectors,   0,     0,          0,       E::Pic24,  6,  2, {0x10200,  1536, 192,     0x9C00, 0x1000}, 0xFF},
  {10, "dsPIC",            "dsPIC",         "",             G::Pic16Bit, 3, 2, 4, 0,      kIgnored, kBootStart, 0,          0xC00000,     kBlocks,  kNoSectors,   0,     0,          0,       E::Pic24,  6,  2, {0xC000,     96,  96,     0x7000, 0x1000}, 0xFF},
  {11, "dsPIC33",          "dsPIC33",       "P33",          G::Pic16Bit, 3, 2, 4, 0,      kIgnored, kBootStart, 0,          0xC00000,     kBlocks,  kNoSectors,   0,     0,          0,       E::Pic24,  6,  2, {0x40800,  3072, 384,    0x2A000, 0x1000}, 0xFF},
  {20, "PIC32",            "PIC32",         "PIC32",        G::Pic32,    1, 1, 1, kPic32, kIgnored, kWindow,    kPic32,     kPic32ProgramWindow,
                                                                                                                                          kBlocks,  kNoSectors,   kBoot, kBootBytes, kConfig, E::Pic32, 16,  4, {0x80000,  4096, 512, 0x9D07C000, 0x4000}, 0xFF},
  {30, "ARM",              "ARM",           "ARM",          G::Arm,      1, 1, 1, 0,      kIgnored, kBootStart, 0,          0x20000000,   kBlocks,  kNoSectors,   0,     0,          0,       E::Thumb, 20,  4, {0x40000,  1024,  64,    0x3C000, 0x4000}, 0xFF},
  {31, "STELLARIS M3",     "STELLARIS_M3",  "STELLARIS_M3", G::Arm,      1, 1, 1, 0,      kIgnored, kBootStart, 0,          0x100000,     kBlocks,  kNoSectors,   0,     0,          0,       E::Thumb, 20,  4, {0x40000,  1024,  64,    0x3C000, 0x4000}, 0xFF},
  {32, "STELLARIS M4",     "STELLARIS_M4",  "STELLARIS_M4", G::Arm,      1, 1, 1, 0,      kIgnored, kBootStart, 0,          0x100000,     kBlocks,  kNoSectors,   0,     0,          0,       E::Thumb, 20,  4, {0x40000,  1024,  64,    0x3C000, 0x4000}, 0xFF},
  {33, "STELLARIS",        "STELLARIS",     "STELLARIS",    G::Arm,      1, 1, 1, 0,      kIgnored, kBootStart, 0,          0x100000,     kBlocks,  kNoSectors,   0,     0,          0,       E::Thumb, 20,  4, {0x40000,  1024,  64,    0x3C000, 0x4000}, 0xFF},
  {34, "STM32L1XX",        "STM32L1XX",     "",             G::Arm,      1, 1, 1, kStm32, kRefused, kBootStart, 0,          0x80000,      kBlocks,  kNoSectors,   0,     0,          0,       E::Thumb, 20,  4, {0x20000,   256,  64,    0x1C000, 0x4000}, 0xFF},
  {35, "STM32F1XX",        "STM32F1XX",     "",             G::Arm,      1, 1, 1, kStm32, kRefused, kBootStart, 0,          0x100000,     kBlocks,  kNoSectors,   0,     0,          0,       E::Thumb, 20,  4, {0x20000,  1024,  64,    0x1C000, 0x4000}, 0xFF},
  {36, "STM32F2XX",        "STM32F2XX",     "",             G::Arm,      1, 1, 1, kStm32, kRefused, kBootStart, 0,          0x100000,     kSectors, kF2F4Sectors, 0,     0,          0,       E::Thumb, 20,  4, {0x100000, 1024,  64,    0xE0000, 0x8000}, 0xFF},
  {37, "STM32F4XX",        "STM32F4XX",     "",             G::Arm,      1, 1, 1, kStm32, kRefused, kBootStart, 0,          0x100000,     kSectors, kF2F4Sectors, 0,     0,          0,       E::Thumb, 20,  4, {0x100000, 1024,  64,    0xE0000, 0x8000}, 0xFF},
  {38, "TIVA C Series",    "TIVA_C",        "TIVA_C",       G::Arm,      1, 1, 1, 0,      kIgnored, kBootStart, 0,          0x100000,     kBlocks,  kNoSectors,   0,     0,          0,       E::Thumb, 20,  4, {0x40000,  1024,  64,    0x3C000, 0x4000}, 0xFF},
};
// clang-format on

constexpr std::array<std::uint8_t, std::size(kFamilies)> Codes() {
  std::array<std::uint8_t, std::size(kFamilies)> codes{};
  for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = kFamilies[i].code;
  return codes;
}
}  // namespace family_detail

inline constexpr std::span<const FamilyFacts> kFamilyTable{family_detail::kFamilies};

// Every family code the uploader knows, in table order.
inline constexpr std::array<std::uint8_t, std::size(family_detail::kFamilies)> kKnownFamilies =
    family_detail::Codes();

// The row of a family code, or nullptr for a code the uploader does not know.
constexpr const FamilyFacts* FindFamily(std::uint8_t code) {
  for (const FamilyFacts& f : kFamilyTable) {
    if (f.code == code) return &f;
  }
  return nullptr;
}

// Family codes by name, for code that must name one family; each is checked
// against its row's keyword in families.cpp.
namespace mcu {
inline constexpr std::uint8_t PIC16 = 1;
inline constexpr std::uint8_t PIC18 = 2;
inline constexpr std::uint8_t PIC18FJ = 3;
inline constexpr std::uint8_t PIC24 = 4;
inline constexpr std::uint8_t dsPIC = 10;
inline constexpr std::uint8_t dsPIC33 = 11;
inline constexpr std::uint8_t PIC32 = 20;
inline constexpr std::uint8_t ARM = 30;
inline constexpr std::uint8_t STELLARIS_M3 = 31;
inline constexpr std::uint8_t STELLARIS_M4 = 32;
inline constexpr std::uint8_t STELLARIS = 33;
inline constexpr std::uint8_t STM32L1XX = 34;
inline constexpr std::uint8_t STM32F1XX = 35;
inline constexpr std::uint8_t STM32F2XX = 36;
inline constexpr std::uint8_t STM32F4XX = 37;
inline constexpr std::uint8_t TIVA_C = 38;
}  // namespace mcu

// Display name shown in the MCU combo box, or empty for an unknown code.
constexpr std::string_view McuFamilyName(std::uint8_t code) {
  const FamilyFacts* f = FindFamily(code);
  return f != nullptr ? f->name : std::string_view{};
}

constexpr bool IsKnownFamily(std::uint8_t c) { return FindFamily(c) != nullptr; }

namespace family_detail {
constexpr bool InGroup(std::uint8_t c, FamilyGroup group) {
  const FamilyFacts* f = FindFamily(c);
  return f != nullptr && f->group == group;
}
}  // namespace family_detail

// Three image bytes per 24-bit instruction word; two address units per word.
constexpr bool Is16BitPic(std::uint8_t c) { return family_detail::InGroup(c, FamilyGroup::Pic16Bit); }
constexpr bool IsPic32(std::uint8_t c) { return family_detail::InGroup(c, FamilyGroup::Pic32); }
constexpr bool IsArm(std::uint8_t c) { return family_detail::InGroup(c, FamilyGroup::Arm); }
// Internal flash at 0x08000000.
constexpr bool IsStm32(std::uint8_t c) {
  // One lookup, tested: the release build cannot see that IsArm implies a hit.
  const FamilyFacts* f = FindFamily(c);
  return f != nullptr && f->group == FamilyGroup::Arm && f->hexBase == kStm32Flash;
}
// STM32F2xx/F4xx erase in sectors of unequal size.
constexpr bool IsSectorErase(std::uint8_t c) {
  const FamilyFacts* f = FindFamily(c);
  return f != nullptr && f->erase == EraseKind::Sectors;
}

// Looks a family up by code ("37"), display name ("STM32F4XX", "tiva c series")
// or keyword ("TIVA_C"), ignoring case, blanks and underscores.
std::optional<std::uint8_t> ParseMcuFamily(std::string_view text);

// The family the window's start-up argument names (see argumentKeyword), or nullptr.
const FamilyFacts* FamilyInArgument(std::string_view argument);

// Image bytes -> device address units, rounding down to whole words.
constexpr std::uint64_t ImageToUnits(const FamilyFacts& f, std::uint64_t imageBytes) {
  return imageBytes / f.wordBytes * f.wordUnits;
}
// Device address units -> image bytes, rounding down to whole words.
constexpr std::uint64_t UnitsToImage(const FamilyFacts& f, std::uint64_t units) {
  return units / f.wordUnits * f.wordBytes;
}

// Command address (what Erase and Write carry) of a program-memory image offset.
constexpr std::uint64_t CommandAddress(const FamilyFacts& f, std::uint64_t imageOffset) {
  return f.commandBase + ImageToUnits(f, imageOffset);
}

// Alignment of a `width`-byte value (2 or 4) in the information record of
// family `code`; 1 for an unknown code.
constexpr std::size_t RecordValueAlignment(std::uint8_t code, std::size_t width) {
  const FamilyFacts* f = FindFamily(code);
  if (f == nullptr) return 1;
  return f->recordAlign < width ? f->recordAlign : width;
}

}  // namespace quorvel
