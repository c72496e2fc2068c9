// SPDX-License-Identifier: Apache-2.0
// Upload with the bootloader at the top of program memory. The application
// owns flash from its start up to the bootloader. Everything but the last
// erase unit below the bootloader is erased and written first; that unit is
// then erased and written on its own, carrying the application's entry code
// in its last bytes, so the jump that keeps the bootloader in control after
// reset (patched into the image) and the way back into the application are
// never out of step for longer than necessary.
//
// The geometry has been checked when the run started (Upload.Area): the
// bootloader starts inside the flash on an erase-unit boundary, with at least
// one unit below it. Sizes and offsets here are image offsets, 64-bit.
#include <algorithm>

#include "engine/upload/upload_run.h"
#include "upload/geometry.h"
#include "upload/relocation.h"
#include "engine/upload/upload_proof.h"
#include "engine/upload/upload_steps.h"
#include "upload/write_plan.h"

namespace quorvel {

using namespace upload;

RunStep UploadRun::UploadBootTop() {
  TUploadState& up = Upload;
  const TFlashArea& area = up.Area;
  const FamilyFacts& family = *area.family;
  const bool pic32 = family.bootFlashBytes != 0;

  TransferBuffer.resize(BootInfo.EraseBlock, 0);
  up.ImageCopy = FlashImage;
  up.BootImageCopy = BootFlashImage;
  up.BaseAddress = area.appAddress;
  up.BootBaseAddress = family.bootFlashBase;
  up.BootLimit = area.bootLimit;
  BuildResetTrampoline(up, BootInfo);

  const std::int64_t end = area.appEnd;  // image offset of the bootloader's start
  const std::int64_t lastSize = area.lastUnitBytes;
  const std::int64_t lastStart = end - lastSize;
  const auto stub = static_cast<std::int64_t>(up.EntryStub.size());
  auto length = [&] { return static_cast<std::int64_t>(up.ImageCopy.size()); };
  // Program memory is left alone when the image holds nothing for it (a
  // PIC32 image with boot flash only).
  if (up.Data != TImageData::Program) up.ImageCopy.clear();

  // Fit check. Both parts are judged on their own (a program image that
  // overflows must not hide an overflowing boot-flash image), and the boot
  // flash is judged even when there is no program image.
  const bool programOverflows = length() > 0 && end - stub < length();
  const bool bootOverflows =
      pic32 && static_cast<std::int64_t>(up.BootImageCopy.size()) > area.bootFlashBytes;
  if (programOverflows || bootOverflows) {
    if (!UI().AskYesNo(text::kOverBootloaderArea)) {
      AbortUpload(UploadResult::Declined);
      return RunStep::DeclinedOrStopped;
    }
    if (programOverflows) up.ImageCopy.resize(static_cast<std::size_t>(end - stub));
    if (bootOverflows) up.BootImageCopy.resize(static_cast<std::size_t>(area.bootFlashBytes));
  }

  if (length() > 0) {
    const std::int64_t L = length();
    const bool reachesLast = lastStart < L;

    // Erase from the start of flash; the last unit below the bootloader is
    // left to its own erase when the image reaches into it.
    ErasePlan plan;
    plan.sectors = family.erase == EraseKind::Sectors;
    plan.first = 0;
    plan.blocks = plan.sectors
                      ? SectorIndex(family, L) + 1
                      : static_cast<std::int32_t>((L + BootInfo.EraseBlock - 1) / BootInfo.EraseBlock);
    if (reachesLast && plan.blocks > 0) --plan.blocks;
    if (const RunStep step = EraseProgramRange(*this, plan); step != RunStep::GoesOn) return step;

    FinishEraseProgress(*this);
    up.CurrentAddress = up.BaseAddress;
    // Everything below the last unit, then the last unit with the entry code.
    const std::vector<StagedRange> ranges = StageProgramRanges(up, BootInfo, SkipBlank);
    up.Proof.programSha256 = Sha256Hex(ranges);
    const std::uint64_t toSend = ranges[0].BytesToSend() + ranges[1].BytesToSend();
    up.ByteCount = static_cast<std::int32_t>(ranges[0].bytes.size());
    SetProgressMaxFor(*this, static_cast<std::int64_t>(toSend) * 7);
    SetProgressPosition(0);
    AppendHistory(text::kFlashWrite);
    // The last unit's erase below counts as part of writing, so that no phase
    // is ever entered twice.
    BeginPhase(*this, UploadPhase::Write, toSend);

    if (const RunStep step = WriteFlashRange(ranges[0]); step != RunStep::GoesOn) return step;

    // The last unit below the bootloader, with the entry code in its last bytes.
    up.StartIndex = static_cast<std::int32_t>(lastStart);
    up.CurrentAddress = DeviceAddressOf(family, lastStart);
    up.ByteCount = static_cast<std::int32_t>(lastSize);
    SendErase(up.CurrentAddress, 1);
    up.WaitResult = WaitResponse(kCmdErase, plan.sectors ? 4000 : 1000);
    if (const RunStep step = EndRunIfFailedOrStopped(*this, up.WaitResult); step != RunStep::GoesOn) return step;
    if (const RunStep step = WriteFlashRange(ranges[1]); step != RunStep::GoesOn) return step;
  }

  if (pic32) WriteBootFlash();
  // The boot-flash writer has ended the run if it did not get through.
  return UploadRunning() ? RunStep::GoesOn : RunStep::Ended;
}

}  // namespace quorvel
