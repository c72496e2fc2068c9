// SPDX-License-Identifier: Apache-2.0
#include "upload/write_plan.h"

#include <algorithm>

#include "core/families.h"
#include "protocol/frames.h"
#include "upload/flash_area.h"
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

UploadPlan PlanUpload(const TBootInfo& info, const TByteArray& flashImage, const TByteArray& bootImage,
                      bool skipBlank) {
  UploadPlan plan;
  const TGeometryCheck check = CheckUploadGeometry(info);
  if (!check.problem.empty()) {
    plan.problem = check.problem;
    return plan;
  }
  TUploadState up;
  up.Area = check.area;
  up.Data = ImageDataFor(check.area, flashImage, bootImage);
  if (up.Data == TImageData::None) {
    plan.problem = "Error: Nothing to write: the HEX file holds no data for this device.";
    return plan;
  }
  const TFlashArea& area = up.Area;
  const FamilyFacts& family = *area.family;
  const bool pic32 = family.bootFlashBytes != 0;
  up.ImageCopy = flashImage;
  up.BootImageCopy = bootImage;
  up.BaseAddress = area.appAddress;
  up.BootBaseAddress = family.bootFlashBase;
  auto length = [&] { return static_cast<std::int64_t>(up.ImageCopy.size()); };
  auto bootOverflows = [&] {
    return pic32 && static_cast<std::int64_t>(up.BootImageCopy.size()) > area.bootFlashBytes;
  };

  if (!area.bottom) {
    up.BootLimit = area.bootLimit;
    BuildResetTrampoline(up, info);
    if (up.Data != TImageData::Program) up.ImageCopy.clear();
    const std::int64_t fits = area.appEnd - static_cast<std::int64_t>(up.EntryStub.size());
    const bool programOverflows = length() > 0 && fits < length();
    // Judged after the boot image got its jump, as the top layout does.
    const bool patchedBootOverflows = bootOverflows();
    plan.trimmed = programOverflows || patchedBootOverflows;
    if (programOverflows) up.ImageCopy.resize(static_cast<std::size_t>(fits));
    if (patchedBootOverflows) up.BootImageCopy.resize(static_cast<std::size_t>(area.bootFlashBytes));
  } else {
    if (up.Data != TImageData::Program) up.ImageCopy.clear();
    if (length() > area.appEnd) {
      plan.trimmed = true;
      up.ImageCopy.resize(static_cast<std::size_t>(area.appEnd));
    }
    if (bootOverflows()) {
      plan.trimmed = true;
      up.BootImageCopy.resize(static_cast<std::size_t>(area.bootFlashBytes));
    }
    if (length() > 0) {
      BuildResetTrampoline(up, info);
      up.ImageCopy.erase(up.ImageCopy.begin(),
                         up.ImageCopy.begin() + static_cast<std::ptrdiff_t>(area.appStart));
    }
  }

  plan.program = StageProgramRanges(up, info, skipBlank);
  if (pic32 && !up.BootImageCopy.empty()) {
    plan.hasBoot = true;
    plan.boot = StageBootRange(up, info, skipBlank);
  }
  return plan;
}

}  // namespace quorvel::upload
