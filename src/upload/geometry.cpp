// SPDX-License-Identifier: Apache-2.0
#include "upload/geometry.h"

namespace quorvel {

std::int32_t SectorCount(const FamilyFacts& family) {
  const auto starts = static_cast<std::int32_t>(family.sectorStarts.size());
  return starts > 0 ? starts - 1 : 0;
}

std::int32_t SectorIndex(const FamilyFacts& family, std::int64_t offset) {
  const std::int32_t last = SectorCount(family) - 1;
  for (std::int32_t i = 0; i < last; ++i) {
    if (family.sectorStarts[i] <= offset && offset < family.sectorStarts[i + 1]) return i;
  }
  return last;
}

std::int32_t SectorSize(const FamilyFacts& family, std::int32_t index) {
  const std::int32_t last = SectorCount(family) - 1;
  if (index > last || last < 0) return -1;
  if (index < 0) index = last;  // as SectorIndex maps negative offsets
  return static_cast<std::int32_t>(family.sectorStarts[index + 1] - family.sectorStarts[index]);
}

std::int64_t SectorStart(const FamilyFacts& family, std::int32_t index) {
  if (index < 0 || index > SectorCount(family)) return -1;
  return family.sectorStarts[index];
}

}  // namespace quorvel
