// Upload with the bootloader at the bottom of program memory. The bootloader
// keeps the reset vector and everything below ProgramStart; the application
// area from ProgramStart to the end of program memory is erased and written,
// with the application's entry code in its first bytes.
//
// Units. The device reports ProgramStart and McuSize as device addresses; the
// image is indexed by image offsets. They differ for two groups, and both are
// converted here so the right bytes land at the right addresses:
//   16-bit PICs: image offset = (address div 2) * 3 (three image bytes per
//     two-unit instruction word); ProgramStart must be an instruction address.
//   PIC32: ProgramStart is masked to its physical address (a value below the
//     program-flash base is read as an offset into program flash); the image
//     offset is that address - 0x1D000000. McuSize is the size of program
//     memory (read the same way when it is given as an address).
//   STM32: a ProgramStart given as an address in the 0x08000000 window is
//     reduced to its offset, the unit every command uses for these parts.
// BaseAddress is always the device address of the first application byte.
#include <algorithm>

#include "app/pelmo.h"
#include "image/mcu_family.h"
#include "upload/geometry.h"
#include "upload/relocation.h"
#include "upload/upload_steps.h"

namespace quorvel {

using namespace upload;

namespace {

struct ApplicationArea {
  std::uint32_t deviceAddress = 0;  // where writing starts
  std::int64_t imageOffset = 0;     // the same place in ImageCopy
  std::int64_t imageLimit = 0;      // end of program memory in image bytes
  QString problem;                  // non-empty: the area cannot be used
};

ApplicationArea LocateApplication(const TBootInfo& info) {
  ApplicationArea area;
  const std::uint8_t type = info.McuType;
  const auto start = static_cast<std::uint32_t>(info.ProgramStart);
  const std::uint32_t size = info.McuSize;
  if (IsPic32(type)) {
    std::uint32_t physical = start & 0x1FFFFFFFu;
    if (physical < kPic32ProgramBase) physical += kPic32ProgramBase;
    if (physical >= kPic32ProgramEnd) {
      area.problem = QStringLiteral("Error: Program start 0x%1 lies outside program flash.").arg(HexNumber(start));
      return area;
    }
    area.deviceAddress = physical;
    area.imageOffset = physical - kPic32ProgramBase;
    std::uint32_t end = size & 0x1FFFFFFFu;
    if (end >= kPic32ProgramBase) end -= kPic32ProgramBase;
    area.imageLimit = end;
  } else if (Is16BitPic(type)) {
    if (info.ProgramStart < 0 || (start & 1u) != 0) {
      area.problem =
          QStringLiteral("Error: Program start 0x%1 is not an instruction address.").arg(HexNumber(start));
      return area;
    }
    area.deviceAddress = start;
    area.imageOffset = static_cast<std::int64_t>(start / 2) * 3;
    area.imageLimit = static_cast<std::int64_t>(size / 2) * 3;
  } else {
    std::uint32_t offset = start;
    if (IsStm32(type) && offset >= kStm32FlashBase) offset -= kStm32FlashBase;
    if (info.ProgramStart < 0 && offset == start) {
      area.problem = QStringLiteral("Error: Program start 0x%1 lies outside program flash.").arg(HexNumber(start));
      return area;
    }
    area.deviceAddress = offset;
    area.imageOffset = offset;
    area.imageLimit = size;
  }
  return area;
}

}  // namespace

int TPelmo::UploadBootBottom() {
  TUploadState& up = Upload;
  const std::uint8_t type = BootInfo.McuType;
  const bool pic32 = IsPic32(type);
  const bool sectors = IsSectorErase(type);

  if (const QString problem = GeometryProblem(BootInfo); !problem.isEmpty()) {
    RefuseUpload(*this, problem);
    return kRunDeclinedOrStopped;
  }
  const ApplicationArea area = LocateApplication(BootInfo);
  if (!area.problem.isEmpty()) {
    RefuseUpload(*this, area.problem);
    return kRunDeclinedOrStopped;
  }
  TransferBuffer.resize(BootInfo.EraseBlock, 0);

  up.ImageCopy = FlashImage;
  up.BootImageCopy = BootFlashImage;
  up.BaseAddress = area.deviceAddress;
  up.BootBaseAddress = pic32 ? kPic32BootBase : 0;
  auto length = [&] { return static_cast<std::int64_t>(up.ImageCopy.size()); };

  if (length() > 0 && area.imageLimit < length()) {
    const bool yes = UI().AskYesNo(QStringLiteral(
        "HEX file contains code that exceed device program memory.\r\nThis code will be ignored.\r\nContinue?"));
    up.DialogResult = yes ? 6 : 7;
    if (!yes) {
      AbortUpload();
      return kRunDeclinedOrStopped;
    }
    up.ImageCopy.resize(static_cast<std::size_t>(area.imageLimit));
  }

  // Asked on its own, and also without a program image: the boot flash's last
  // erase block must stay untouched either way.
  if (pic32 && static_cast<std::int64_t>(kPic32BootEnd) - BootInfo.EraseBlock <
                   static_cast<std::int64_t>(up.BootBaseAddress) + static_cast<std::int64_t>(up.BootImageCopy.size())) {
    const bool yes = UI().AskYesNo(QStringLiteral(
        "HEX file contains code that exceed available boot space.\r\nThis code will be ignored.\r\nContinue?"));
    up.DialogResult = yes ? 6 : 7;
    if (!yes) {
      AbortUpload();
      return kRunDeclinedOrStopped;
    }
    up.BootImageCopy.resize(kPic32BootEnd - BootInfo.EraseBlock - up.BootBaseAddress);
  }

  if (length() > 0) {
    const std::int64_t L = length();
    const std::int64_t appBytes = L - area.imageOffset;  // not positive: only bootloader-area data

    ErasePlan plan;
    plan.sectors = sectors;
    if (appBytes > 0) {
      if (sectors) {
        const std::int32_t firstSector = SectorIndex(static_cast<std::int32_t>(area.imageOffset));
        plan.first = firstSector;
        plan.blocks = SectorIndex(static_cast<std::int32_t>(std::min<std::int64_t>(L, INT32_MAX))) - firstSector + 1;
      } else {
        plan.first = area.imageOffset;
        plan.blocks = static_cast<std::int32_t>((appBytes + BootInfo.EraseBlock - 1) / BootInfo.EraseBlock);
      }
    }
    if (const int r = EraseProgramRange(*this, plan); r != kRunGoesOn) return r;

    FinishEraseProgress(*this);
    up.CurrentAddress = up.BaseAddress;
    const std::int64_t write = BootInfo.WriteBlock;
    up.ByteCount = appBytes > 0 ? static_cast<std::int32_t>((appBytes + write - 1) / write * write) : 0;
    SetProgressMaxFor(*this, static_cast<std::int64_t>(up.ByteCount) * 7);
    SetProgressPosition(0);
    AppendHistory(QStringLiteral("Flash Write..."));

    // The entry code comes from the application's own reset entry at the
    // start of the image; the image itself stays as it is in this layout.
    BuildResetTrampoline(up, BootInfo);
    if (appBytes > 0) {
      up.ImageCopy.erase(up.ImageCopy.begin(), up.ImageCopy.begin() + area.imageOffset);
    } else {
      up.ImageCopy.clear();
    }
    if (WriteFlashRange(up.ImageCopy, 0, up.CurrentAddress, up.ByteCount) > 0) return kRunEnded;
  }

  if (pic32) WriteBootFlash();
  return UploadRunning(*this) ? kRunGoesOn : kRunDeclinedOrStopped;
}

}  // namespace quorvel
