// SPDX-License-Identifier: Apache-2.0
#include "engine/upload/upload_steps.h"

#include <algorithm>
#include <climits>

#include "engine/pelmo.h"
#include "core/families.h"
#include "upload/geometry.h"

namespace quorvel::upload {

std::uint32_t DeviceAddressOf(const FamilyFacts& family, std::int64_t imageOffset) {
  const auto offset = static_cast<std::uint64_t>(std::max<std::int64_t>(imageOffset, 0));
  return static_cast<std::uint32_t>(CommandAddress(family, offset));
}

std::int32_t FlashCommandBytes(std::uint16_t writeBlock) {
  if (writeBlock == 0) return 0;
  return kMaxWriteCommand / writeBlock * writeBlock;
}

QString HexNumber(std::uint32_t value) { return QString::number(value, 16).toUpper(); }

void RefuseUpload(TPelmo& pelmo, UploadResult why, const QString& line) {
  pelmo.LastUpload = {why, line};
  pelmo.AppendError(line);
  pelmo.ReturnControlsToIdle();
}

RunStep EndRunIfWaitFailed(TPelmo& pelmo, TWaitResult result) {
  if (result == WaitAcknowledged) return RunStep::GoesOn;
  pelmo.LastUpload = {UploadResult::DeviceError, TPelmo::WaitErrorLine(result)};
  pelmo.ReportWaitError(result);
  pelmo.CloseConnection();
  return RunStep::Ended;
}

RunStep EndRunIfStopped(TPelmo& pelmo) {
  if (pelmo.UploadRunning()) return RunStep::GoesOn;
  pelmo.AbortUpload();
  return RunStep::DeclinedOrStopped;
}

RunStep EndRunIfFailedOrStopped(TPelmo& pelmo, TWaitResult result) {
  if (const RunStep step = EndRunIfWaitFailed(pelmo, result); step != RunStep::GoesOn) return step;
  return EndRunIfStopped(pelmo);
}

std::uint32_t EraseGroupAddress(const TPelmo& pelmo, const ErasePlan& plan, std::int32_t done,
                                std::int32_t group) {
  const std::int64_t highest = done + group - 1;
  std::int64_t offset = 0;
  if (plan.sectors) {
    const auto index = static_cast<std::int32_t>(std::clamp<std::int64_t>(plan.first + highest, 0, 12));
    offset = SectorStart(index);
  } else {
    offset = plan.first + highest * pelmo.BootInfo.EraseBlock;
  }
  return DeviceAddressOf(*pelmo.Upload.Area.family, offset);
}

namespace {
// Image bytes of erase units [from, to) of a plan.
std::uint64_t EraseBytes(const TPelmo& pelmo, const ErasePlan& plan, std::int32_t from, std::int32_t to) {
  if (!plan.sectors) return static_cast<std::uint64_t>(std::max(to - from, 0)) * pelmo.BootInfo.EraseBlock;
  std::uint64_t bytes = 0;
  for (std::int32_t k = from; k < to; ++k) {
    const auto index = static_cast<std::int32_t>(std::clamp<std::int64_t>(plan.first + k, 0, 11));
    bytes += static_cast<std::uint64_t>(std::max(SectorSize(index), 0));
  }
  return bytes;
}
}  // namespace

void BeginPhase(TPelmo& pelmo, UploadPhase phase, std::uint64_t total) {
  pelmo.Upload.PhaseDone = 0;
  pelmo.Upload.PhaseTotal = total;
  pelmo.UI().UploadProgress(phase, 0, total);
}

void AdvancePhase(TPelmo& pelmo, UploadPhase phase, std::uint64_t bytes) {
  TUploadState& up = pelmo.Upload;
  up.PhaseDone = std::min(up.PhaseDone + bytes, up.PhaseTotal);
  pelmo.UI().UploadProgress(phase, up.PhaseDone, up.PhaseTotal);
}

RunStep EraseProgramRange(TPelmo& pelmo, const ErasePlan& plan) {
  TUploadState& up = pelmo.Upload;
  const std::uint8_t type = pelmo.BootInfo.McuType;
  up.BlocksLeft = plan.blocks;
  pelmo.SetProgressMax(up.BlocksLeft);
  pelmo.SetProgressPosition(0);
  pelmo.AppendHistory(text::kFlashErase);
  // PIC32 keeps the button clickable so an erase can be stopped.
  if (!IsPic32(type)) pelmo.SetEnabled(ButtonId::StartBootloader, false);
  pelmo.EraseAnimation.setInterval(1000);
  pelmo.EraseAnimation.start();
  BeginPhase(pelmo, UploadPhase::Erase, EraseBytes(pelmo, plan, 0, plan.blocks));

  std::int32_t done = 0;
  while (up.BlocksLeft > 0) {
    up.BlockGroup = std::min(up.BlocksLeft, kMaxEraseGroup);
    up.BlocksLeft -= up.BlockGroup;
    up.CurrentAddress = EraseGroupAddress(pelmo, plan, done, up.BlockGroup);
    done += up.BlockGroup;
    const int perBlockMs = IsSectorErase(type) ? 4000 : 100;
    pelmo.SendErase(up.CurrentAddress, static_cast<std::uint16_t>(up.BlockGroup));
    up.WaitResult = pelmo.WaitResponse(kCmdErase, up.BlockGroup * perBlockMs);
    if (const RunStep step = EndRunIfWaitFailed(pelmo, up.WaitResult); step != RunStep::GoesOn) return step;
    AdvancePhase(pelmo, UploadPhase::Erase, EraseBytes(pelmo, plan, done - up.BlockGroup, done));
    if (const RunStep step = EndRunIfStopped(pelmo); step != RunStep::GoesOn) return step;
  }
  return RunStep::GoesOn;
}

void FinishEraseProgress(TPelmo& pelmo) {
  pelmo.EraseAnimation.stop();
  pelmo.SetProgressPosition(pelmo.Progress.Max);
}

void AdvanceProgress(TPelmo& pelmo, std::int32_t bytes) {
  if (!pelmo.UploadRunning() || bytes <= 0) return;
  const TProgressBar& bar = pelmo.Progress;
  if (bar.Position >= bar.Max) return;
  const std::int64_t next =
      static_cast<std::int64_t>(bar.Position) + static_cast<std::int64_t>(bar.Step) * bytes;
  pelmo.SetProgressPosition(static_cast<int>(std::min<std::int64_t>(next, bar.Max)));
}

void SetProgressMaxFor(TPelmo& pelmo, std::int64_t value) {
  pelmo.SetProgressMax(static_cast<int>(std::clamp<std::int64_t>(value, 0, INT_MAX)));
}

}  // namespace quorvel::upload
