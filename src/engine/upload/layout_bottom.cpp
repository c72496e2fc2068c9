// SPDX-License-Identifier: Apache-2.0
// Upload with the bootloader at the bottom of program memory. The bootloader
// keeps the reset vector and everything below ProgramStart; the application
// area from ProgramStart to the end of program memory is erased and written,
// with the application's entry code in its first bytes.
//
// The geometry has been checked when the run started (Upload.Area): the
// application area starts on an erase-unit boundary inside the flash and
// ends at the last whole unit below the end of flash. The record's addresses
// are device addresses and the image is indexed by image offsets; the area
// holds both, so the right bytes land at the right addresses:
//   16-bit PICs: image offset = (address div 2) * 3;
//   PIC32: ProgramStart masked to its physical address (a value below the
//     program-flash base is an offset into it), image offset from 0x1D000000;
//   STM32: a ProgramStart in the 0x08000000 window is reduced to its offset.
// BaseAddress is always the device address of the first application byte.
#include <algorithm>

#include "engine/upload/upload_run.h"
#include "upload/geometry.h"
#include "upload/relocation.h"
#include "engine/upload/upload_proof.h"
#include "engine/upload/upload_steps.h"
#include "upload/write_plan.h"

namespace quorvel {

using namespace upload;

RunStep UploadRun::UploadBootBottom() {
  TUploadState& up = Upload;
  const TFlashArea& area = up.Area;
  const FamilyFacts& family = *area.family;
  const bool pic32 = family.bootFlashBytes != 0;
  const bool sectors = family.erase == EraseKind::Sectors;

  TransferBuffer.resize(BootInfo.EraseBlock, 0);
  up.ImageCopy = FlashImage;
  up.BootImageCopy = BootFlashImage;
  up.BaseAddress = area.appAddress;
  up.BootBaseAddress = family.bootFlashBase;
  auto length = [&] { return static_cast<std::int64_t>(up.ImageCopy.size()); };
  // Program memory is left alone when the image holds nothing for it (a
  // PIC32 image with boot flash only).
  if (up.Data != TImageData::Program) up.ImageCopy.clear();

  if (length() > area.appEnd) {
    if (!UI().AskYesNo(text::kOverProgramMemory)) {
      AbortUpload(UploadResult::Declined);
      return RunStep::DeclinedOrStopped;
    }
    up.ImageCopy.resize(static_cast<std::size_t>(area.appEnd));
  }

  // Asked on its own, and also without a program image: the boot flash's last
  // erase block must stay untouched either way.
  if (pic32 && static_cast<std::int64_t>(up.BootImageCopy.size()) > area.bootFlashBytes) {
    if (!UI().AskYesNo(text::kOverBootSpace)) {
      AbortUpload(UploadResult::Declined);
      return RunStep::DeclinedOrStopped;
    }
    up.BootImageCopy.resize(static_cast<std::size_t>(area.bootFlashBytes));
  }

  if (length() > 0) {
    const std::int64_t L = length();
    const std::int64_t appBytes = L - area.appStart;  // positive: the image holds application data

    ErasePlan plan;
    plan.sectors = sectors;
    if (sectors) {
      // From the sector holding ProgramStart to the one holding offset L, but
      // never past the last sector of the area.
      const std::int32_t first = SectorIndex(family, area.appStart);
      const std::int32_t lastInArea = SectorIndex(family, area.appEnd - 1);
      plan.first = first;
      plan.blocks = std::min(SectorIndex(family, L), lastInArea) - first + 1;
    } else {
      plan.first = area.appStart;
      plan.blocks = static_cast<std::int32_t>((appBytes + BootInfo.EraseBlock - 1) / BootInfo.EraseBlock);
    }
    if (const RunStep step = EraseProgramRange(*this, plan); step != RunStep::GoesOn) return step;

    FinishEraseProgress(*this);
    up.CurrentAddress = up.BaseAddress;

    // The entry code comes from the application's own reset entry at the
    // start of the image; the image itself stays as it is in this layout.
    BuildResetTrampoline(up, BootInfo);
    up.ImageCopy.erase(up.ImageCopy.begin(),
                       up.ImageCopy.begin() + static_cast<std::ptrdiff_t>(area.appStart));
    const std::vector<StagedRange> ranges = StageProgramRanges(up, BootInfo, SkipBlank);
    up.Proof.programSha256 = Sha256Hex(ranges);
    const std::uint64_t toSend = ranges[0].BytesToSend();
    up.ByteCount = static_cast<std::int32_t>(ranges[0].bytes.size());
    SetProgressMaxFor(*this, static_cast<std::int64_t>(toSend) * 7);
    SetProgressPosition(0);
    AppendHistory(text::kFlashWrite);
    BeginPhase(*this, UploadPhase::Write, toSend);
    if (const RunStep step = WriteFlashRange(ranges[0]); step != RunStep::GoesOn) return step;
  }

  if (pic32) WriteBootFlash();
  // The boot-flash writer has ended the run if it did not get through.
  return UploadRunning() ? RunStep::GoesOn : RunStep::Ended;
}

}  // namespace quorvel
