// SPDX-License-Identifier: Apache-2.0
#pragma once
// Builds a family's flash images from the records of an input file: which
// addresses the family takes (and up to where its geometry lets them go),
// the image offset each lands on, the erased value of the bytes no record
// fills, the PIC32 boot flash, and the packing of 16-bit PIC images into
// three bytes per instruction word. PIC32 KSEG0/KSEG1 addresses are taken at
// the physical address they stand for. Knows no file format (see
// image/record_source.h).
#include <cstdint>

#include "core/boot_info.h"
#include "core/families.h"
#include "image/hex_loader.h"
#include "image/record_source.h"

namespace quorvel {

class ImageBuilder final : public RecordSink {
 public:
  // Builds into `images` for info.McuType, whose images the caller has
  // cleared; the limits come from the geometry in `info`.
  ImageBuilder(const TBootInfo& info, THexImages& images);

  RecordVerdict Take(const SourceRecord& record) override;
  void Restart() override;

  // After the last record: packs a 16-bit PIC image and marks the images
  // loaded for the family.
  void Finish();

  // The data records taken so far that no window kept.
  const DroppedData& Dropped() const { return dropped_; }

 private:
  RecordVerdict Store(TByteArray& image, std::uint32_t offset, const SourceRecord& record, std::uint8_t oddFill);

  THexImages& images_;
  std::uint8_t code_;
  const FamilyFacts* family_;  // nullptr for a code the uploader does not know
  // HEX bytes from the family's HEX base that program flash may take; 64-bit:
  // a limit near 4 GB must not wrap to a small one.
  std::uint64_t limit_ = 0;
  DroppedData dropped_;
};

// Empties both images and gives their memory back.
void ClearImages(THexImages& images);

}  // namespace quorvel
