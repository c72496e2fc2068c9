// SPDX-License-Identifier: Apache-2.0
// Family lookups by name, and the consistency of the family table, checked
// when it is compiled: a row that leaves a fact out fails here.
#include "core/families.h"

#include <cctype>
#include <charconv>
#include <string>

namespace quorvel {
namespace {

constexpr char FoldedChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr bool Skipped(char c) { return c == ' ' || c == '_' || c == '\t'; }

// Equal ignoring case, blanks and underscores: "Tiva_C Series" == "TIVA C SERIES".
constexpr bool SameFolded(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  for (;;) {
    while (i < a.size() && Skipped(a[i])) ++i;
    while (j < b.size() && Skipped(b[j])) ++j;
    if (i == a.size() || j == b.size()) return i == a.size() && j == b.size();
    if (FoldedChar(a[i]) != FoldedChar(b[j])) return false;
    ++i;
    ++j;
  }
}

constexpr bool CodesAreUnique() {
  for (std::size_t i = 0; i < kFamilyTable.size(); ++i) {
    for (std::size_t j = i + 1; j < kFamilyTable.size(); ++j) {
      if (kFamilyTable[i].code == kFamilyTable[j].code) return false;
    }
  }
  return true;
}

// No name or keyword of one row may also name another, or ParseMcuFamily would pick by position.
constexpr bool NamesAreUnique() {
  for (std::size_t i = 0; i < kFamilyTable.size(); ++i) {
    for (std::size_t j = i + 1; j < kFamilyTable.size(); ++j) {
      const FamilyFacts& a = kFamilyTable[i];
      const FamilyFacts& b = kFamilyTable[j];
      for (std::string_view x : {a.name, a.keyword}) {
        for (std::string_view y : {b.name, b.keyword}) {
          if (SameFolded(x, y)) return false;
        }
      }
      if (!a.argumentKeyword.empty() && a.argumentKeyword == b.argumentKeyword) return false;
    }
  }
  return true;
}

constexpr std::uint8_t EntryStubBytes(EntryCode entry) {
  switch (entry) {
    case EntryCode::None:
      return 0;
    case EntryCode::Pic18:
      return 4;
    case EntryCode::Pic24:
      return 6;
    case EntryCode::Pic32:
      return 16;
    case EntryCode::Thumb:
      return 20;
  }
  return 0;
}

constexpr bool RowsAreConsistent() {
  for (const FamilyFacts& f : kFamilyTable) {
    if (f.name.empty() || f.keyword.empty()) return false;
    if (f.wordBytes == 0 || f.wordUnits == 0 || f.hexWordBytes < f.wordBytes || f.maxProgramBytes == 0) return false;
    if ((f.group == FamilyGroup::Pic16Bit) != (f.hexWordBytes != f.wordBytes)) return false;
    if ((f.erase == EraseKind::Sectors) == f.sectorStarts.empty()) return false;
    for (std::size_t i = 1; i < f.sectorStarts.size(); ++i) {
      if (f.sectorStarts[i] <= f.sectorStarts[i - 1]) return false;
    }
    // A sector map must describe all the flash the family may use.
    if (!f.sectorStarts.empty() && f.sectorStarts.back() < static_cast<std::int64_t>(f.maxProgramBytes))
      return false;
    if ((f.bootFlashBytes == 0) != (f.group != FamilyGroup::Pic32)) return false;
    if ((f.bootFlashBytes == 0) != (f.bootConfigBytes == 0) || f.bootConfigBytes > f.bootFlashBytes) return false;
    if (f.belowHexBase == BelowHexBase::Refused && f.hexBase == 0) return false;
    if (f.entryStubBytes != EntryStubBytes(f.entry)) return false;
    // Each Cortex-M family needs its entry code, or the application would never be entered.
    if (f.group == FamilyGroup::Arm && f.entry != EntryCode::Thumb) return false;
    if (f.recordAlign != 1 && f.recordAlign != 2 && f.recordAlign != 4) return false;
    // The simulated bootloader stands in for the sample part: it must describe one.
    if (f.sample.size == 0 || f.sample.eraseBlock == 0 || f.sample.writeBlock == 0 || f.sample.bootStart == 0)
      return false;
    // The last column, so that a row cut short leaves it 0.
    if (f.oddFill == 0) return false;
  }
  return true;
}

// The row of a code that must be in the table: a reference, since GCC's
// sanitizers make pointer tests non-constant.
constexpr const FamilyFacts& FamilyRow(std::uint8_t code) {
  for (const FamilyFacts& f : kFamilyTable) {
    if (f.code == code) return f;
  }
  throw "no row for this family code";  // reached only at compile time, where it fails the build
}

// Each named code is in the table under that keyword.
constexpr bool Names(std::uint8_t code, std::string_view keyword) { return FamilyRow(code).keyword == keyword; }

static_assert(CodesAreUnique());
static_assert(NamesAreUnique());
static_assert(RowsAreConsistent());
static_assert(Names(mcu::PIC16, "PIC16") && Names(mcu::PIC18, "PIC18") && Names(mcu::PIC18FJ, "PIC18FJ") &&
              Names(mcu::PIC24, "PIC24") && Names(mcu::dsPIC, "dsPIC") && Names(mcu::dsPIC33, "dsPIC33") &&
              Names(mcu::PIC32, "PIC32") && Names(mcu::ARM, "ARM") && Names(mcu::STELLARIS_M3, "STELLARIS_M3") &&
              Names(mcu::STELLARIS_M4, "STELLARIS_M4") && Names(mcu::STELLARIS, "STELLARIS") &&
              Names(mcu::STM32L1XX, "STM32L1XX") && Names(mcu::STM32F1XX, "STM32F1XX") &&
              Names(mcu::STM32F2XX, "STM32F2XX") && Names(mcu::STM32F4XX, "STM32F4XX") &&
              Names(mcu::TIVA_C, "TIVA_C"));
// The loader never builds an image larger than the PIC32 program window.
constexpr bool WindowIs(std::uint8_t code, std::uint64_t bytes) { return FamilyRow(code).maxProgramBytes == bytes; }
static_assert(WindowIs(mcu::PIC32, kPic32ProgramWindow));

}  // namespace

std::optional<std::uint8_t> ParseMcuFamily(std::string_view text) {
  std::string key;
  for (char c : text) {
    if (!Skipped(c)) key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  if (key.empty()) return std::nullopt;
  unsigned value = 0;
  const auto* end = key.data() + key.size();
  if (auto [p, ec] = std::from_chars(key.data(), end, value); ec == std::errc{} && p == end) {
    if (value <= 255 && IsKnownFamily(static_cast<std::uint8_t>(value))) return static_cast<std::uint8_t>(value);
    return std::nullopt;
  }
  for (const FamilyFacts& f : kFamilyTable) {
    if (SameFolded(f.name, key) || SameFolded(f.keyword, key)) return f.code;
  }
  return std::nullopt;
}

const FamilyFacts* FamilyInArgument(std::string_view argument) {
  for (const FamilyFacts& f : kFamilyTable) {
    if (!f.argumentKeyword.empty() && argument.find(f.argumentKeyword) != std::string_view::npos) return &f;
  }
  return nullptr;
}

}  // namespace quorvel
