#include "upload/geometry.h"

#include "image/mcu_family.h"

namespace quorvel {

namespace {
// First offsets of sectors 0..11 of STM32F2xx/F4xx internal flash, and the end of sector 11.
constexpr std::int64_t kSectorStarts[] = {0x00000, 0x04000, 0x08000, 0x0C000, 0x10000, 0x20000, 0x40000,
                                          0x60000, 0x80000, 0xA0000, 0xC0000, 0xE0000, 0x100000};
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
  if (index >= 0 && index <= 3) return 0x4000;
  if (index == 4) return 0x10000;
  return 0x20000;
}

std::int64_t SectorStart(std::int32_t index) {
  if (index < 0 || index > kLastSector + 1) return -1;
  return kSectorStarts[index];
}

std::uint32_t ImageToDeviceAddress(std::uint8_t mcuType, std::uint32_t imageValue) {
  return Is16BitPic(mcuType) ? (imageValue / 3u) * 2u : imageValue;
}

std::uint32_t BootStartToImageUnits(std::uint8_t mcuType, std::int32_t bootStart) {
  const auto value = static_cast<std::uint32_t>(bootStart);
  if (Is16BitPic(mcuType)) return (value >> 1) * 3u;
  // KSEG0/KSEG1 virtual addresses map onto the same physical flash.
  if (IsPic32(mcuType)) return value & 0x1FFFFFFFu;
  return value;
}

std::uint32_t ProgramLimitBottom(std::uint8_t mcuType, std::uint32_t mcuSize) {
  if (Is16BitPic(mcuType)) return (mcuSize / 2u) * 3u;
  if (IsPic32(mcuType)) return mcuSize & 0x1FFFFFFFu;
  return mcuSize;
}

}  // namespace quorvel
