// Upload with the bootloader at the top of program memory. The application
// owns flash from its start up to the bootloader. Everything but the last
// erase unit below the bootloader is erased and written first; that unit is
// then erased and written on its own, carrying the application's entry code
// in its last bytes, so the jump that keeps the bootloader in control after
// reset (patched into the image) and the way back into the application are
// never out of step for longer than necessary.
//
// Units: ImageCopy index 0 sits at BaseAddress (0x1D000000 for PIC32, else 0).
// BootLimit is BootStart in the image's units (physical address for PIC32, so
// BootLimit - BaseAddress is its image offset).
#include <algorithm>

#include "app/pelmo.h"
#include "image/mcu_family.h"
#include "upload/geometry.h"
#include "upload/relocation.h"
#include "upload/upload_steps.h"

namespace quorvel {

using namespace upload;

namespace {

bool BootFlashOverflows(const TUploadState& up, std::uint16_t eraseBlock) {
  // The last erase block of the boot flash is the bootloader's own.
  return static_cast<std::int64_t>(kPic32BootEnd) - eraseBlock <
         static_cast<std::int64_t>(up.BootBaseAddress) + static_cast<std::int64_t>(up.BootImageCopy.size());
}

void TrimBootFlash(TUploadState& up, std::uint16_t eraseBlock) {
  const std::int64_t keep = static_cast<std::int64_t>(kPic32BootEnd) - eraseBlock - up.BootBaseAddress;
  up.BootImageCopy.resize(static_cast<std::size_t>(std::max<std::int64_t>(keep, 0)));
}

}  // namespace

int TPelmo::UploadBootTop() {
  TUploadState& up = Upload;
  const std::uint8_t type = BootInfo.McuType;
  const bool pic32 = IsPic32(type);
  const bool sectors = IsSectorErase(type);

  if (const QString problem = GeometryProblem(BootInfo); !problem.isEmpty()) {
    RefuseUpload(*this, problem);
    return kRunDeclinedOrStopped;
  }
  TransferBuffer.resize(BootInfo.EraseBlock, 0);

  up.ImageCopy = FlashImage;
  up.BootImageCopy = BootFlashImage;
  up.BaseAddress = pic32 ? kPic32ProgramBase : 0;
  up.BootBaseAddress = pic32 ? kPic32BootBase : 0;
  up.BootLimit = BootStartToImageUnits(type, BootInfo.BootStart);
  BuildResetTrampoline(up, BootInfo);

  const std::int64_t base = up.BaseAddress;
  const std::int64_t limit = up.BootLimit;
  const std::int64_t erase = BootInfo.EraseBlock;
  const auto stub = static_cast<std::int64_t>(up.EntryStub.size());
  auto length = [&] { return static_cast<std::int64_t>(up.ImageCopy.size()); };

  // The erase unit just below the bootloader: a sector for STM32F2/F4.
  std::int64_t lastSize = erase;
  if (sectors) lastSize = SectorSize(SectorIndex(static_cast<std::int32_t>(std::min<std::int64_t>(limit - 1, INT32_MAX))));
  const std::int64_t lastStart = limit - lastSize;  // in image units, like BootLimit

  if (length() > 0 && (lastStart < base || limit - stub < base)) {
    RefuseUpload(*this, QStringLiteral("Error: Bootloader start 0x%1 leaves no room for the application.")
                            .arg(HexNumber(static_cast<std::uint32_t>(BootInfo.BootStart))));
    return kRunDeclinedOrStopped;
  }

  // Fit check. Both parts are judged on their own (a program image that
  // overflows must not hide an overflowing boot-flash image), and the boot
  // flash is judged even when there is no program image.
  const bool programOverflows = length() > 0 && limit - stub < base + length();
  const bool bootOverflows = pic32 && BootFlashOverflows(up, BootInfo.EraseBlock);
  if (programOverflows || bootOverflows) {
    const bool yes = UI().AskYesNo(QStringLiteral(
        "HEX file contains code over device bootloader area.\r\nThis code will be ignored.\r\nContinue?"));
    up.DialogResult = yes ? 6 : 7;
    if (!yes) {
      AbortUpload();
      return kRunDeclinedOrStopped;
    }
    if (programOverflows) up.ImageCopy.resize(static_cast<std::size_t>(limit - stub - base));
    if (bootOverflows) TrimBootFlash(up, BootInfo.EraseBlock);
  }

  if (length() > 0) {
    const std::int64_t L = length();
    const bool reachesLast = lastStart < base + L;

    ErasePlan plan;
    plan.sectors = sectors;
    if (sectors) {
      plan.first = 0;
      plan.blocks = SectorIndex(static_cast<std::int32_t>(std::min<std::int64_t>(L, INT32_MAX))) + 1;
    } else {
      plan.first = 0;
      plan.blocks = static_cast<std::int32_t>((L + erase - 1) / erase);
    }
    if (reachesLast && plan.blocks > 0) --plan.blocks;
    if (const int r = EraseProgramRange(*this, plan); r != kRunGoesOn) return r;

    FinishEraseProgress(*this);
    up.CurrentAddress = up.BaseAddress;
    const std::int64_t lastIndex = lastStart - base;  // image index of the last unit
    std::int64_t count = L;
    if (reachesLast) {
      count = lastIndex;
    } else {
      const std::int64_t write = BootInfo.WriteBlock;
      // Rounded up to whole write blocks, but never into the last unit, which
      // is erased after this write.
      count = std::min((L + write - 1) / write * write, lastIndex);
    }
    up.ByteCount = static_cast<std::int32_t>(count);
    SetProgressMaxFor(*this, (up.ByteCount + lastSize) * 7);
    SetProgressPosition(0);
    AppendHistory(QStringLiteral("Flash Write..."));

    if (WriteFlashRange(up.ImageCopy, 0, up.CurrentAddress, up.ByteCount) > 0) return kRunEnded;

    // The last unit below the bootloader, with the entry code in its last bytes.
    up.StartIndex = static_cast<std::int32_t>(lastIndex);
    up.CurrentAddress = DeviceAddressOf(type, up.BaseAddress, lastIndex);
    up.ByteCount = static_cast<std::int32_t>(lastSize);
    SendErase(up.CurrentAddress, 1);
    up.WaitResult = WaitResponse(kCmdErase, sectors ? 4000 : 1000);
    if (up.WaitResult != WaitAcknowledged) {
      ReportWaitError(up.WaitResult);
      CloseConnection();
      return kRunEnded;
    }
    if (!UploadRunning(*this)) {
      AbortUpload();
      return kRunDeclinedOrStopped;
    }
    if (WriteFlashRange(up.ImageCopy, up.StartIndex, up.CurrentAddress, up.ByteCount) > 0) return kRunEnded;
  }

  if (pic32) WriteBootFlash();
  return UploadRunning(*this) ? kRunGoesOn : kRunDeclinedOrStopped;
}

}  // namespace quorvel
