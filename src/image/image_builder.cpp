// SPDX-License-Identifier: Apache-2.0
#include "image/image_builder.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

namespace quorvel {

namespace {

// End of the PIC32's KSEG1 window (and of KSEG0 + KSEG1, which start at kKseg0).
constexpr std::uint32_t kKseg2 = 0xC0000000u;

// A large image takes a page fault for every 4 KB it grows by, which costs more than filling it;
// huge pages, where the kernel grants them on request, take one for every 2 MB.
void AllowHugePages(TByteArray& image) {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(image.data());
  const std::uintptr_t from = (start + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t to = (start + image.capacity()) & ~(kHuge - 1);
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);  // a hint: failure is harmless
}

// Extends `image` to `length`; each new byte gets the erased value of its own offset. `room` is
// what the image may reach: reserved at once, since memory the image never reaches costs no page,
// while growing step by step would copy the image again and again.
void Grow(TByteArray& image, std::size_t length, std::uint8_t oddFill, std::uint64_t room) {
  const std::size_t old = image.size();
  if (length <= old) return;
  if (length > image.capacity()) {
    const std::uint64_t wanted = std::max<std::uint64_t>(length, std::max<std::uint64_t>(room, 2 * image.capacity()));
    image.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(wanted, kMaxImageBytes)));
    AllowHugePages(image);
  }
  image.resize(length, 0xFF);
  if (oddFill != 0xFF) {
    // PIC16: unwritten 14-bit words read 0x3FFF, so high (odd) bytes are 0x3F.
    for (std::size_t i = old | 1u; i < length; i += 2) image[i] = oddFill;
  }
}

// Keeps the first wordBytes of every hexWordBytes: the 16-bit PICs' HEX files carry a phantom
// fourth byte per 24-bit instruction word.
void CompactWords(TByteArray& image, std::size_t wordBytes, std::size_t hexWordBytes) {
  const std::size_t n = image.size();
  std::size_t out = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % hexWordBytes < wordBytes) image[out++] = image[i];
  }
  image.resize(out);
}

}  // namespace

ImageBuilder::ImageBuilder(const TBootInfo& info, THexImages& images)
    : images_(images), code_(info.McuType), family_(FindFamily(info.McuType)) {
  if (family_ == nullptr) return;  // an unknown family takes every address as it stands
  const FamilyFacts& f = *family_;
  // In HEX bytes from the family's HEX base. McuSize counts image bytes, BootStart address units.
  if (HasNewGeometry(info)) {
    limit_ = std::uint64_t{info.McuSize} / f.wordBytes * f.hexWordBytes;
  } else if (f.oldHexLimit == OldHexLimit::BootStart) {
    limit_ = std::uint64_t{static_cast<std::uint32_t>(info.BootStart)} * f.hexWordBytes / f.wordUnits;
  } else {
    limit_ = f.maxProgramBytes;
  }
}

RecordVerdict ImageBuilder::Take(const SourceRecord& record) {
  std::uint32_t address = record.address();
  if (family_ == nullptr) {
    return record.carriesData() ? Store(images_.FlashImage, address, record, 0xFF) : RecordVerdict::Taken;
  }
  const FamilyFacts& f = *family_;
  // XC32-style files give the cached (KSEG0) or uncached (KSEG1) view of the flash.
  if (f.group == FamilyGroup::Pic32 && address >= kKseg0 && address < kKseg2) address &= kPhysicalAddressMask;
  const bool belowBase = address < f.hexBase;
  if (belowBase && f.belowHexBase == BelowHexBase::Refused) return RecordVerdict::BelowFlashBase;
  if (!record.carriesData()) return RecordVerdict::Taken;

  if (!belowBase && address - f.hexBase < limit_) return Store(images_.FlashImage, address - f.hexBase, record, f.oddFill);
  if (f.bootFlashBytes != 0 && address >= f.bootFlashBase &&
      address - f.bootFlashBase < f.bootFlashBytes - f.bootConfigBytes) {
    return Store(images_.BootFlashImage, address - f.bootFlashBase, record, 0xFF);
  }
  if (record.count() > 0) {
    if (dropped_.bytes == 0 || record.address() < dropped_.firstAddress) dropped_.firstAddress = record.address();
    dropped_.bytes += record.count();
  }
  return RecordVerdict::Taken;
}

RecordVerdict ImageBuilder::Store(TByteArray& image, std::uint32_t offset, const SourceRecord& record,
                                  std::uint8_t oddFill) {
  const std::uint64_t end = std::uint64_t{offset} + record.count();
  if (end > kMaxImageBytes) return RecordVerdict::BeyondAnyDevice;
  // A record is stored only below the limit, but may reach a little beyond it.
  const std::uint64_t room = &image == &images_.FlashImage ? limit_ + 256 : 0;
  Grow(image, static_cast<std::size_t>(end), oddFill, room);
  return record.CopyBytes(image.data() + offset) ? RecordVerdict::Taken : RecordVerdict::Unreadable;
}

void ImageBuilder::Restart() {
  ClearImages(images_);
  dropped_ = {};
}

void ImageBuilder::Finish() {
  if (family_ != nullptr && family_->hexWordBytes != family_->wordBytes) {
    CompactWords(images_.FlashImage, family_->wordBytes, family_->hexWordBytes);
  }
  images_.HexLoaded = true;
  images_.HexMcuType = code_;
}

void ClearImages(THexImages& images) {
  TByteArray().swap(images.FlashImage);
  TByteArray().swap(images.BootFlashImage);
}

}  // namespace quorvel
