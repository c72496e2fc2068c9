#include "image/image_builder.h"

#include <algorithm>

#include "image/mcu_family.h"

namespace quorvel {

namespace {

constexpr std::uint32_t kStm32Base = 0x08000000u;
constexpr std::uint32_t kPic32ProgramBase = 0x1D000000u;
constexpr std::uint32_t kPic32OldLimit = 0x1F800000u;
constexpr std::uint32_t kPic32BootBase = 0x1FC00000u;
// The last 16 bytes of the 12 KB boot flash hold the device configuration and are never taken from a file.
constexpr std::uint32_t kPic32BootLast = 0x1FC02FEFu;

// Extends `image` to `length`; each new byte gets the erased value of its own offset.
void Grow(TByteArray& image, std::size_t length, bool pic16Fill) {
  const std::size_t old = image.size();
  if (length <= old) return;
  if (length > image.capacity()) {
    image.reserve(std::min<std::size_t>(std::max(length, 2 * image.capacity()), kMaxImageBytes));
  }
  image.resize(length, 0xFF);
  if (pic16Fill) {
    // Unwritten 14-bit words read 0x3FFF: high (odd) bytes are 0x3F.
    for (std::size_t i = old | 1u; i < length; i += 2) image[i] = 0x3F;
  }
}

// Keeps the bytes whose offset is not 3 mod 4: three image bytes per 24-bit instruction word.
void CompactPic24(TByteArray& image) {
  const std::size_t n = image.size();
  std::size_t out = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if ((i & 3u) != 3u) image[out++] = image[i];
  }
  image.resize(out);
}

}  // namespace

ImageBuilder::ImageBuilder(const TBootInfo& info, THexImages& images) : images_(images), family_(info.McuType) {
  const bool newGeometry = HasNewGeometry(info);
  const auto bootStart = static_cast<std::uint32_t>(info.BootStart);
  if (family_ == mcu::PIC16 || family_ == mcu::PIC18 || family_ == mcu::PIC18FJ || IsArm(family_)) {
    hasLimit_ = true;
    limit_ = newGeometry ? info.McuSize : bootStart;
  } else if (Is16BitPic(family_)) {
    hasLimit_ = true;
    limit_ = newGeometry ? std::uint64_t{info.McuSize} / 3u * 4u : std::uint64_t{bootStart} * 2u;
  } else if (IsPic32(family_)) {
    hasLimit_ = true;
    limit_ = newGeometry ? std::uint64_t{info.McuSize} + kPic32ProgramBase : kPic32OldLimit;
  }
}

RecordVerdict ImageBuilder::Take(const SourceRecord& record) {
  std::uint32_t a = record.address();
  if (IsStm32(family_)) {
    if (a < kStm32Base) return RecordVerdict::BelowFlashBase;
    a -= kStm32Base;
  }
  if (!record.carriesData()) return RecordVerdict::Taken;

  bool accepted = true;
  if (hasLimit_) {
    if (IsPic32(family_)) {
      accepted = a >= kPic32ProgramBase && a < limit_;
      if (accepted) a -= kPic32ProgramBase;
    } else {
      accepted = a < limit_;
    }
  }
  if (accepted) return Store(images_.FlashImage, a, record, family_ == mcu::PIC16);
  if (IsPic32(family_) && a >= kPic32BootBase && a <= kPic32BootLast) {
    return Store(images_.BootFlashImage, a - kPic32BootBase, record, false);
  }
  return RecordVerdict::Taken;
}

RecordVerdict ImageBuilder::Store(TByteArray& image, std::uint32_t offset, const SourceRecord& record,
                                  bool pic16Fill) {
  const std::uint64_t end = std::uint64_t{offset} + record.count();
  if (end > kMaxImageBytes) return RecordVerdict::BeyondAnyDevice;
  Grow(image, static_cast<std::size_t>(end), pic16Fill);
  return record.CopyBytes(image.data() + offset) ? RecordVerdict::Taken : RecordVerdict::Unreadable;
}

void ImageBuilder::Finish() {
  if (Is16BitPic(family_)) CompactPic24(images_.FlashImage);
  images_.HexLoaded = true;
  images_.HexMcuType = family_;
}

void ClearImages(THexImages& images) {
  TByteArray().swap(images.FlashImage);
  TByteArray().swap(images.BootFlashImage);
}

}  // namespace quorvel
