#pragma once
// MCU family codes as the bootloader reports them in its information record,
// with their display names and the groups the loader and the upload engine
// branch on; all read from the family table.
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

#include "core/families.h"

namespace quorvel {

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

// Every family code the uploader knows, in table order.
inline constexpr std::uint8_t kKnownFamilies[] = {1, 2, 3, 4, 10, 11, 20, 30, 31, 32, 33, 34, 35, 36, 37, 38};

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
constexpr bool Is32BitFamily(std::uint8_t c) { return IsPic32(c) || IsArm(c); }
// Internal flash at 0x08000000.
constexpr bool IsStm32(std::uint8_t c) {
  // One lookup, tested: the release build cannot see that IsArm implies a hit.
  const FamilyFacts* f = FindFamily(c);
  return f != nullptr && f->group == FamilyGroup::Arm && f->hexBase == family_detail::kStm32Flash;
}
// STM32F2xx/F4xx erase in sectors of unequal size.
constexpr bool IsSectorErase(std::uint8_t c) {
  const FamilyFacts* f = FindFamily(c);
  return f != nullptr && f->erase == EraseKind::Sectors;
}

static_assert(std::size(kKnownFamilies) == kFamilyTable.size());

// Looks a family up by code ("37") or display name ("STM32F4XX", "tiva c series",
// "Tiva_C_Series"), ignoring case, blanks and underscores.
std::optional<std::uint8_t> ParseMcuFamily(std::string_view text);

}  // namespace quorvel
