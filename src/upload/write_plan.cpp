// SPDX-License-Identifier: Apache-2.0
#include "upload/write_plan.h"

#include <algorithm>
#include <cstdio>

#include "core/families.h"
#include "protocol/frames.h"
#include "upload/flash_area.h"
#include "upload/geometry.h"
#include "upload/relocation.h"

namespace quorvel::upload {

namespace {

bool SixteenBit(const FamilyFacts& f) { return f.group == FamilyGroup::Pic16Bit; }

std::uint32_t AddressOf(const FamilyFacts& f, std::int64_t imageOffset) {
  return static_cast<std::uint32_t>(
      CommandAddress(f, static_cast<std::uint64_t>(std::max<std::int64_t>(imageOffset, 0))));
}

std::int64_t RoundUp(std::int64_t value, std::int64_t block) {
  return block <= 0 ? value : (value + block - 1) / block * block;
}

std::uint64_t WritesBytes(const std::vector<PlannedWrite>& writes) {
  std::uint64_t n = 0;
  for (const PlannedWrite& w : writes) n += static_cast<std::uint64_t>(w.bytes);
  return n;
}

}  // namespace

std::uint64_t StagedRange::BytesToSend() const { return WritesBytes(writes); }

std::uint64_t UploadPlan::BytesToSend() const {
  std::uint64_t n = boot.BytesToSend();
  for (const StagedRange& r : program) n += r.BytesToSend();
  return n;
}

WriteShape ProgramWriteShape(const TBootInfo& info, const FamilyFacts& family) {
  WriteShape shape;
  shape.family = &family;
  shape.writeBlock = info.WriteBlock;
  shape.commandBytes = info.WriteBlock == 0 ? 0 : MaxWriteCount / info.WriteBlock * info.WriteBlock;
  shape.chunkBytes = info.EraseBlock;
  return shape;
}

WriteShape BootWriteShape(const TBootInfo& info, const FamilyFacts& family) {
  WriteShape shape;
  shape.family = &family;
  shape.writeBlock = info.WriteBlock;
  shape.commandBytes =
      info.WriteBlock == 0 || info.WriteBlock >= MaxWriteCount ? 0 : MaxWriteCount - info.WriteBlock;
  shape.chunkBytes = info.EraseBlock;
  return shape;
}

StagedRange StageRange(const TByteArray& source, std::int64_t sourceIndex, std::uint32_t address,
                       std::int64_t count, const WriteShape& shape, const EntryPlacement& entry) {
  StagedRange range;
  range.address = address;
  if (count <= 0 || shape.family == nullptr || shape.commandBytes <= 0 || shape.chunkBytes <= 0) return range;
  range.bytes.reserve(static_cast<std::size_t>(count));

  // Staged transfer by transfer, as the writer's buffer is: the entry code is
  // placed relative to the whole buffer, and only the transfer's bytes go out.
  const std::size_t bufferSize = static_cast<std::size_t>(shape.chunkBytes);
  TByteArray buffer(bufferSize, 0xFF);
  const auto sourceSize = static_cast<std::int64_t>(source.size());
  std::uint32_t chunkAddress = address;
  std::int64_t index = sourceIndex;
  std::int64_t remaining = count;
  while (remaining > 0) {
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(shape.commandBytes, remaining));
    remaining -= n;
    range.writes.push_back({chunkAddress, static_cast<std::int64_t>(range.bytes.size()), n});
    std::int32_t sent = 0;
    while (sent < n) {
      const std::int32_t j = std::min(n - sent, shape.chunkBytes);
      const std::int64_t from = index + sent;
      for (std::int32_t k = 0; k < j; ++k) {
        const std::int64_t at = from + k;
        buffer[static_cast<std::size_t>(k)] =
            at >= 0 && at < sourceSize ? source[static_cast<std::size_t>(at)] : 0xFF;
      }
      if (entry.code != nullptr && chunkAddress == entry.address && !entry.code->empty() &&
          entry.code->size() <= bufferSize) {
        const std::size_t place = entry.atEnd ? bufferSize - entry.code->size() : 0;
        std::copy(entry.code->begin(), entry.code->end(),
                  buffer.begin() + static_cast<std::ptrdiff_t>(place));
      }
      range.bytes.insert(range.bytes.end(), buffer.begin(), buffer.begin() + j);
      sent += j;
      // The 16-bit PICs count two address units per three bytes, transfer by transfer.
      chunkAddress +=
          SixteenBit(*shape.family) ? static_cast<std::uint32_t>(j / 3 * 2) : static_cast<std::uint32_t>(j);
    }
    index += n;
  }
  return range;
}

bool IsErasedValue(const FamilyFacts& family, std::uint64_t address, std::uint8_t value) {
  return value == 0xFF || ((address & 1u) != 0 && family.wordBytes == 1 && value == family.oddFill);
}

void SkipBlankBlocks(StagedRange& range, const WriteShape& shape) {
  if (shape.family == nullptr || shape.writeBlock <= 0) return;
  const FamilyFacts& family = *shape.family;
  // A block never splits an instruction word, so its address stays exact.
  std::int64_t unit = shape.writeBlock;
  if (SixteenBit(family) && unit % family.wordBytes != 0) unit *= family.wordBytes;
  const std::int64_t maxCommand = shape.commandBytes / unit * unit;
  if (maxCommand <= 0) return;  // no block fits a command: keep the full plan

  const auto size = static_cast<std::int64_t>(range.bytes.size());
  auto blank = [&](std::int64_t from, std::int64_t to) {
    for (std::int64_t i = from; i < to; ++i) {
      const std::uint64_t address = range.address + ImageToUnits(family, static_cast<std::uint64_t>(i));
      if (!IsErasedValue(family, address, range.bytes[static_cast<std::size_t>(i)])) return false;
    }
    return true;
  };

  std::vector<PlannedWrite> writes;
  std::int64_t at = 0;
  while (at < size) {
    if (blank(at, std::min(at + unit, size))) {
      at = std::min(at + unit, size);
      continue;
    }
    const std::int64_t start = at;
    while (at < size && at - start < maxCommand && !blank(at, std::min(at + unit, size))) {
      at = std::min(at + unit, size);
    }
    writes.push_back(
        {range.address + static_cast<std::uint32_t>(ImageToUnits(family, static_cast<std::uint64_t>(start))),
         start, static_cast<std::int32_t>(at - start)});
  }
  range.writes = std::move(writes);
}

std::vector<StagedRange> StageProgramRanges(const TUploadState& up, const TBootInfo& info, bool skipBlank) {
  std::vector<StagedRange> ranges;
  const TFlashArea& area = up.Area;
  const auto length = static_cast<std::int64_t>(up.ImageCopy.size());
  if (area.family == nullptr || length == 0) return ranges;
  const FamilyFacts& family = *area.family;
  const WriteShape shape = ProgramWriteShape(info, family);
  const std::int64_t write = info.WriteBlock;

  EntryPlacement entry;
  entry.code = &up.EntryStub;
  entry.atEnd = !area.bottom;
  if (area.bottom) {
    entry.address = up.BaseAddress;
    ranges.push_back(StageRange(up.ImageCopy, 0, up.BaseAddress, RoundUp(length, write), shape, entry));
  } else {
    entry.address = AddressOf(family, area.appEnd - info.EraseBlock);
    const std::int64_t lastStart = area.appEnd - area.lastUnitBytes;
    // Up to the last unit below the bootloader, which is erased after this
    // write; an image that ends below it is rounded up to whole write blocks.
    const std::int64_t count = lastStart < length ? lastStart : std::min(RoundUp(length, write), lastStart);
    ranges.push_back(StageRange(up.ImageCopy, 0, up.BaseAddress, count, shape, entry));
    ranges.push_back(
        StageRange(up.ImageCopy, lastStart, AddressOf(family, lastStart), area.lastUnitBytes, shape, entry));
  }
  if (skipBlank) {
    for (StagedRange& r : ranges) SkipBlankBlocks(r, shape);
  }
  return ranges;
}

StagedRange StageBootRange(const TUploadState& up, const TBootInfo& info, bool skipBlank) {
  if (up.Area.family == nullptr || up.BootImageCopy.empty()) return {};
  const WriteShape shape = BootWriteShape(info, *up.Area.family);
  const auto count = RoundUp(static_cast<std::int64_t>(up.BootImageCopy.size()), info.WriteBlock);
  StagedRange range = StageRange(up.BootImageCopy, 0, up.BootBaseAddress, count, shape, {});
  if (skipBlank) SkipBlankBlocks(range, shape);
  return range;
}

std::uint32_t EraseGroupAddress(const FamilyFacts& family, std::uint16_t eraseBlock, const ErasePlan& plan,
                                std::int32_t done, std::int32_t group) {
  const std::int64_t highest = done + group - 1;
  std::int64_t offset = 0;
  if (plan.sectors) {
    const auto index =
        static_cast<std::int32_t>(std::clamp<std::int64_t>(plan.first + highest, 0, SectorCount(family)));
    offset = SectorStart(family, index);
  } else {
    offset = plan.first + highest * eraseBlock;
  }
  return AddressOf(family, offset);
}

std::uint64_t EraseBytes(const FamilyFacts& family, std::uint16_t eraseBlock, const ErasePlan& plan,
                         std::int32_t from, std::int32_t to) {
  if (!plan.sectors) return static_cast<std::uint64_t>(std::max(to - from, 0)) * eraseBlock;
  std::uint64_t bytes = 0;
  for (std::int32_t k = from; k < to; ++k) {
    const auto index =
        static_cast<std::int32_t>(std::clamp<std::int64_t>(plan.first + k, 0, SectorCount(family) - 1));
    bytes += static_cast<std::uint64_t>(std::max(SectorSize(family, index), 0));
  }
  return bytes;
}

namespace {

std::string UpperHex(std::uint32_t value) {
  char text[12];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
  return text;
}

// The line refusing images that hold nothing for the device.
std::string NothingToWriteLine(const TBootInfo& info, const TFlashArea& area, const TByteArray& flashImage,
                               const TByteArray& bootImage) {
  if (flashImage.empty() && bootImage.empty()) {
    return "Error: Nothing to write: the HEX file holds no data for this device.";
  }
  if (area.bottom) {
    // Most often an application linked for the start of flash, over the bootloader.
    return "Error: Nothing to write: the HEX file holds no data between program start 0x" +
           UpperHex(area.appAddress) + " and the end of flash 0x" + UpperHex(AddressOf(*area.family, area.appEnd)) +
           "; was it linked for this bootloader?";
  }
  return "Error: Nothing to write: the HEX file holds no data below bootloader start 0x" +
         UpperHex(static_cast<std::uint32_t>(info.BootStart)) + ".";
}

bool BootOverflows(const TUploadState& up) {
  return up.Area.family->bootFlashBytes != 0 &&
         static_cast<std::int64_t>(up.BootImageCopy.size()) > up.Area.bootFlashBytes;
}

std::int64_t Length(const TUploadState& up) { return static_cast<std::int64_t>(up.ImageCopy.size()); }

// Top layout: everything but the last erase unit below the bootloader is
// erased and written first; that unit is then erased and written on its own,
// carrying the application's entry code in its last bytes, so the jump that
// keeps the bootloader in control after reset (patched into the image) and
// the way back into the application are never out of step for longer than
// necessary.
void PlanTopLayout(const TBootInfo& info, TUploadState& up, UploadPlan& plan) {
  const TFlashArea& area = up.Area;
  const FamilyFacts& family = *area.family;
  up.BootLimit = area.bootLimit;
  BuildResetTrampoline(up, info);
  // Program memory is left alone when the image holds nothing for it (a
  // PIC32 image with boot flash only).
  if (up.Data != TImageData::Program) up.ImageCopy.clear();

  // Both parts are judged on their own (a program image that overflows must
  // not hide an overflowing boot-flash image), the boot flash after it got
  // its jump, and also when there is no program image.
  const std::int64_t fits = area.appEnd - static_cast<std::int64_t>(up.EntryStub.size());
  const bool programOverflows = Length(up) > 0 && fits < Length(up);
  const bool bootOverflows = BootOverflows(up);
  if (programOverflows || bootOverflows) plan.questions.push_back(FitQuestion::OverBootloaderArea);
  if (programOverflows) up.ImageCopy.resize(static_cast<std::size_t>(fits));
  if (bootOverflows) up.BootImageCopy.resize(static_cast<std::size_t>(area.bootFlashBytes));
  if (Length(up) == 0) return;

  // Erase from the start of flash; the last unit below the bootloader is
  // left to its own erase when the image reaches into it.
  const std::int64_t length = Length(up);
  const std::int64_t lastStart = area.appEnd - area.lastUnitBytes;
  plan.erase.sectors = family.erase == EraseKind::Sectors;
  plan.erase.first = 0;
  plan.erase.blocks = plan.erase.sectors ? SectorIndex(family, length) + 1
                                         : static_cast<std::int32_t>((length + info.EraseBlock - 1) / info.EraseBlock);
  if (lastStart < length && plan.erase.blocks > 0) --plan.erase.blocks;
  plan.lastUnitAddress = AddressOf(family, lastStart);
}

// Bottom layout: the bootloader keeps the reset vector and everything below
// ProgramStart; the application area from ProgramStart to the end of program
// memory is erased and written, with the application's entry code in its
// first bytes. The image itself stays as it is.
void PlanBottomLayout(const TBootInfo& info, TUploadState& up, UploadPlan& plan) {
  const TFlashArea& area = up.Area;
  const FamilyFacts& family = *area.family;
  if (up.Data != TImageData::Program) up.ImageCopy.clear();
  // Asked one after the other; the boot flash also without a program image:
  // its last erase block must stay untouched either way.
  if (Length(up) > area.appEnd) {
    plan.questions.push_back(FitQuestion::OverProgramMemory);
    up.ImageCopy.resize(static_cast<std::size_t>(area.appEnd));
  }
  if (BootOverflows(up)) {
    plan.questions.push_back(FitQuestion::OverBootSpace);
    up.BootImageCopy.resize(static_cast<std::size_t>(area.bootFlashBytes));
  }
  if (Length(up) == 0) return;

  const std::int64_t length = Length(up);
  plan.erase.sectors = family.erase == EraseKind::Sectors;
  if (plan.erase.sectors) {
    // From the sector holding ProgramStart to the one holding the image's
    // end, but never past the last sector of the area.
    const std::int32_t first = SectorIndex(family, area.appStart);
    const std::int32_t lastInArea = SectorIndex(family, area.appEnd - 1);
    plan.erase.first = first;
    plan.erase.blocks = std::min(SectorIndex(family, length), lastInArea) - first + 1;
  } else {
    plan.erase.first = area.appStart;
    plan.erase.blocks = static_cast<std::int32_t>((length - area.appStart + info.EraseBlock - 1) / info.EraseBlock);
  }
  // The entry code comes from the application's own reset entry at the
  // start of the image.
  BuildResetTrampoline(up, info);
  up.ImageCopy.erase(up.ImageCopy.begin(), up.ImageCopy.begin() + static_cast<std::ptrdiff_t>(area.appStart));
}

}  // namespace

UploadPlan PlanUpload(const TBootInfo& info, const TByteArray& flashImage, const TByteArray& bootImage,
                      bool skipBlank) {
  UploadPlan plan;
  const TGeometryCheck check = CheckUploadGeometry(info);
  if (!check.problem.empty()) {
    plan.refusal = Refusal::UnsafeGeometry;
    plan.problem = check.problem;
    return plan;
  }
  plan.area = check.area;
  plan.data = ImageDataFor(check.area, flashImage, bootImage);
  if (plan.data == TImageData::None) {
    plan.refusal = Refusal::NothingToWrite;
    plan.problem = NothingToWriteLine(info, check.area, flashImage, bootImage);
    return plan;
  }
  TUploadState up;
  up.Area = check.area;
  up.Data = plan.data;
  up.ImageCopy = flashImage;
  up.BootImageCopy = bootImage;
  up.BaseAddress = check.area.appAddress;
  up.BootBaseAddress = check.area.family->bootFlashBase;
  if (check.area.bottom) {
    PlanBottomLayout(info, up, plan);
  } else {
    PlanTopLayout(info, up, plan);
  }
  plan.trimmed = !plan.questions.empty();
  plan.program = StageProgramRanges(up, info, skipBlank);
  if (!up.BootImageCopy.empty() && check.area.family->bootFlashBytes != 0) {
    plan.hasBoot = true;
    plan.boot = StageBootRange(up, info, skipBlank);
    const auto bytes = static_cast<std::int64_t>(up.BootImageCopy.size());
    plan.bootEraseBlocks = static_cast<std::int32_t>((bytes + info.EraseBlock - 1) / info.EraseBlock);
  }
  return plan;
}

}  // namespace quorvel::upload
