// SPDX-License-Identifier: Apache-2.0
#include "upload/geometry.h"

#include "core/families.h"

namespace quorvel {

namespace {
constexpr const auto& kSectorStarts = kStm32F2F4SectorStarts;
constexpr std::int32_t kLastSector = 11;
}  // namespace

std::int32_t SectorIndex(std::int32_t offset) {
  for (std::int32_t i = 0; i < kLastSector; ++i) {
    if (kSectorStarts[i] <= offset && offset < kSectorStarts[i + 1]) return i;
  }
  return kLastSector;
}

std::int32_t SectorSize(std::int32_t index) {
  if (index > kLastSector) return -1;
  if (index < 0) index = kLastSector;  // as SectorIndex maps negative offsets
  return static_cast<std::int32_t>(kSectorStarts[index + 1] - kSectorStarts[index]);
}

std::int64_t SectorStart(std::int32_t index) {
  if (index < 0 || index > kLastSector + 1) return -1;
  return kSectorStarts[index];
}

}  // namespace quorvel
