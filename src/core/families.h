#pragma once
// What the uploader knows about each MCU family, one row per family code the
// bootloader reports: how image bytes map onto device addresses, where the
// flash lies and how large it can be, how it is erased, where a PIC32 keeps
// its boot flash, and how long the code is with which the bootloader enters
// the application. Code that needs a family fact asks this table.
#include <cstdint>
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

// First image offset of each sector, then the end of the last one.
inline constexpr std::int64_t kStm32F2F4SectorStarts[] = {0x00000, 0x04000, 0x08000, 0x0C000, 0x10000,
                                                          0x20000, 0x40000, 0x60000, 0x80000, 0xA0000,
                                                          0xC0000, 0xE0000, 0x100000};

struct FamilyFacts {
  std::uint8_t code;
  std::string_view name;  // as the MCU combo box shows it
  FamilyGroup group;
  // Image bytes and device address units per instruction word: 3 and 2 for
  // the 16-bit PICs, 1 and 1 for every byte-addressed family.
  std::uint8_t wordBytes;
  std::uint8_t wordUnits;
  std::uint32_t hexBase;      // HEX address of image offset 0 (STM32 internal flash, PIC32 program flash)
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
  std::uint8_t entryStubBytes;  // code the bootloader keeps to enter the application
  std::uint8_t oddFill;         // erased value of odd image bytes (PIC16: high byte of a 14-bit word)
};

namespace family_detail {
using G = FamilyGroup;
inline constexpr std::span<const std::int64_t> kNoSectors{};
inline constexpr std::span<const std::int64_t> kF2F4Sectors{kStm32F2F4SectorStarts};
inline constexpr std::uint32_t kStm32Flash = 0x08000000u;
inline constexpr std::uint32_t kPic32Flash = 0x1D000000u;

// clang-format off
inline constexpr FamilyFacts kFamilies[] = {
  // code name             group        word  hexBase      commandBase  max program   erase               sectors       boot flash               stub  odd fill
  { 1, "PIC16",            G::Pic8,     1, 1, 0,           0,           0x10000,      EraseKind::Blocks,  kNoSectors,   0,           0,          0, 0x3F},
  { 2, "PIC18",            G::Pic8,     1, 1, 0,           0,           0x200000,     EraseKind::Blocks,  kNoSectors,   0,           0,          4, 0xFF},
  { 3, "PIC18FJ",          G::Pic8,     1, 1, 0,           0,           0x200000,     EraseKind::Blocks,  kNoSectors,   0,           0,          4, 0xFF},
  { 4, "PIC24",            G::Pic16Bit, 3, 2, 0,           0,           0xC00000,     EraseKind::Blocks,  kNoSectors,   0,           0,          6, 0xFF},
  {10, "dsPIC",            G::Pic16Bit, 3, 2, 0,           0,           0xC00000,     EraseKind::Blocks,  kNoSectors,   0,           0,          6, 0xFF},
  {11, "dsPIC33",          G::Pic16Bit, 3, 2, 0,           0,           0xC00000,     EraseKind::Blocks,  kNoSectors,   0,           0,          6, 0xFF},
  {20, "PIC32",            G::Pic32,    1, 1, kPic32Flash, kPic32Flash, 0x2800000,    EraseKind::Blocks,  kNoSectors,   0x1FC00000u, 0x3000,    16, 0xFF},
  {30, "ARM",              G::Arm,      1, 1, 0,           0,           0x20000000,   EraseKind::Blocks,  kNoSectors,   0,           0,         20, 0xFF},
  {31, "STELLARIS M3",     G::Arm,      1, 1, 0,           0,           0x100000,     EraseKind::Blocks,  kNoSectors,   0,           0,         20, 0xFF},
  {32, "STELLARIS M4",     G::Arm,      1, 1, 0,           0,           0x100000,     EraseKind::Blocks,  kNoSectors,   0,           0,         20, 0xFF},
  {33, "STELLARIS",        G::Arm,      1, 1, 0,           0,           0x100000,     EraseKind::Blocks,  kNoSectors,   0,           0,         20, 0xFF},
  {34, "STM32L1XX",        G::Arm,      1, 1, kStm32Flash, 0,           0x80000,      EraseKind::Blocks,  kNoSectors,   0,           0,         20, 0xFF},
  {35, "STM32F1XX",        G::Arm,      1, 1, kStm32Flash, 0,           0x100000,     EraseKind::Blocks,  kNoSectors,   0,           0,         20, 0xFF},
  {36, "STM32F2XX",        G::Arm,      1, 1, kStm32Flash, 0,           0x100000,     EraseKind::Sectors, kF2F4Sectors, 0,           0,         20, 0xFF},
  {37, "STM32F4XX",        G::Arm,      1, 1, kStm32Flash, 0,           0x100000,     EraseKind::Sectors, kF2F4Sectors, 0,           0,         20, 0xFF},
  {38, "TIVA C Series",    G::Arm,      1, 1, 0,           0,           0x100000,     EraseKind::Blocks,  kNoSectors,   0,           0,         20, 0xFF},
};
// clang-format on
}  // namespace family_detail

inline constexpr std::span<const FamilyFacts> kFamilyTable{family_detail::kFamilies};

// The row of a family code, or nullptr for a code the uploader does not know.
constexpr const FamilyFacts* FindFamily(std::uint8_t code) {
  for (const FamilyFacts& f : kFamilyTable) {
    if (f.code == code) return &f;
  }
  return nullptr;
}

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

// PIC32 addresses: KSEG0/KSEG1 virtual addresses map onto the same physical memory.
inline constexpr std::uint32_t kPhysicalAddressMask = 0x1FFFFFFFu;

}  // namespace quorvel
