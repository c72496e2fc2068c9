// SPDX-License-Identifier: Apache-2.0
#pragma once
// Flash geometry: the STM32F2xx/F4xx sector table. (The conversions between
// image offsets and command addresses are the family table's.)
#include <cstdint>

namespace quorvel {

// Sector holding an image offset (distance from the start of internal flash).
// Offsets of 0xE0000 or more, and negative offsets, give 11.
std::int32_t SectorIndex(std::int32_t offset);
// Size of a sector in bytes: 0x4000 for 0-3, 0x10000 for 4, 0x20000 for 5-11
// and for negative indexes (taken as sector 11), -1 above 11.
std::int32_t SectorSize(std::int32_t index);
// First image offset of a sector (sum of the sizes before it); index 0..12
// (12 gives the end of sector 11). Other indexes give -1.
std::int64_t SectorStart(std::int32_t index);

}  // namespace quorvel
