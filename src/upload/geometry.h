// SPDX-License-Identifier: Apache-2.0
#pragma once
// Flash geometry of the families that erase in sectors of unequal size, read
// from the family's sector map. (The conversions between image offsets and
// command addresses are the family table's.)
#include <cstdint>

#include "core/families.h"

namespace quorvel {

// Sector holding an image offset (distance from the start of internal flash).
// Offsets at or past the start of the last sector, and negative offsets, give
// the last sector.
std::int32_t SectorIndex(const FamilyFacts& family, std::int64_t offset);
// Size of a sector in bytes; negative indexes are taken as the last sector
// (as SectorIndex maps negative offsets), indexes past the last give -1.
std::int32_t SectorSize(const FamilyFacts& family, std::int32_t index);
// First image offset of a sector (the sum of the sizes before it); the index
// one past the last sector gives the end of flash. Other indexes give -1.
std::int64_t SectorStart(const FamilyFacts& family, std::int32_t index);
// The number of sectors in the family's map (0 for a family erased in blocks).
std::int32_t SectorCount(const FamilyFacts& family);

}  // namespace quorvel
