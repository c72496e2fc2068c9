#pragma once
// Flash geometry: the STM32F2xx/F4xx sector table and the conversions between
// image offsets and the addresses Erase and Write commands carry.
#include <cstdint>

namespace quorvel {

// Sector holding an image offset (distance from the start of internal flash).
// Offsets of 0xE0000 or more, and negative offsets, give 11.
std::int32_t SectorIndex(std::int32_t offset);
// Size of a sector in bytes: 0x4000 for 0-3, 0x10000 for 4, 0x20000 for every
// other index up to 11 (negative ones included), -1 above 11.
std::int32_t SectorSize(std::int32_t index);
// First image offset of a sector (sum of the sizes before it); index 0..12
// (12 gives the end of sector 11). Other indexes give -1.
std::int64_t SectorStart(std::int32_t index);

// Command address of an image offset for the 16-bit PICs: (offset div 3) * 2.
// Every other family: unchanged. (Callers add BaseAddress themselves.)
std::uint32_t ImageToDeviceAddress(std::uint8_t mcuType, std::uint32_t imageValue);
// BootStart as image units in the top layout: 16-bit PICs (BootStart shr 1) * 3,
// PIC32 BootStart and 0x1FFFFFFF, others BootStart.
std::uint32_t BootStartToImageUnits(std::uint8_t mcuType, std::int32_t bootStart);
// Program-memory limit of the bottom layout: 16-bit PICs (McuSize div 2) * 3,
// PIC32 McuSize and 0x1FFFFFFF, others McuSize.
std::uint32_t ProgramLimitBottom(std::uint8_t mcuType, std::uint32_t mcuSize);

inline constexpr std::uint32_t kPic32ProgramBase = 0x1D000000u;
inline constexpr std::uint32_t kPic32ProgramEnd = 0x1F800000u;  // old-geometry limit
inline constexpr std::uint32_t kPic32BootBase = 0x1FC00000u;
inline constexpr std::uint32_t kPic32BootEnd = 0x1FC03000u;     // end of the 12 KB boot flash
inline constexpr std::uint32_t kStm32FlashBase = 0x08000000u;

}  // namespace quorvel
