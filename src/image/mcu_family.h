#pragma once
// MCU family codes as the bootloader reports them in its information record,
// with their display names and the groups the loader and the upload engine
// branch on.
#include <cstdint>
#include <optional>
#include <string_view>

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
  switch (code) {
    case 1: return "PIC16";
    case 2: return "PIC18";
    case 3: return "PIC18FJ";
    case 4: return "PIC24";
    case 10: return "dsPIC";
    case 11: return "dsPIC33";
    case 20: return "PIC32";
    case 30: return "ARM";
    case 31: return "STELLARIS M3";
    case 32: return "STELLARIS M4";
    case 33: return "STELLARIS";
    case 34: return "STM32L1XX";
    case 35: return "STM32F1XX";
    case 36: return "STM32F2XX";
    case 37: return "STM32F4XX";
    case 38: return "TIVA C Series";
    default: return {};
  }
}

constexpr bool IsKnownFamily(std::uint8_t c) { return !McuFamilyName(c).empty(); }
// Three image bytes per 24-bit instruction word; two address units per word.
constexpr bool Is16BitPic(std::uint8_t c) { return c == 4 || c == 10 || c == 11; }
constexpr bool IsPic32(std::uint8_t c) { return c == 20; }
constexpr bool IsArm(std::uint8_t c) { return c >= 30 && c <= 38; }
constexpr bool Is32BitFamily(std::uint8_t c) { return c == 20 || IsArm(c); }
// Internal flash at 0x08000000.
constexpr bool IsStm32(std::uint8_t c) { return c >= 34 && c <= 37; }
// STM32F2xx/F4xx erase in sectors of unequal size.
constexpr bool IsSectorErase(std::uint8_t c) { return c == 36 || c == 37; }

// Looks a family up by code ("37") or display name ("STM32F4XX", "tiva c series",
// "Tiva_C_Series"), ignoring case, blanks and underscores.
std::optional<std::uint8_t> ParseMcuFamily(std::string_view text);

}  // namespace quorvel
