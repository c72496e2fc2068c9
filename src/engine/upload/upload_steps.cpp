// SPDX-License-Identifier: Apache-2.0
#include "engine/upload/upload_steps.h"

#include <algorithm>
#include <climits>

#include "engine/upload/upload_run.h"
#include "core/families.h"
#include "upload/geometry.h"

namespace quorvel::upload {

std::int32_t FlashCommandBytes(std::uint16_t writeBlock) {
  if (writeBlock == 0) return 0;
  return kMaxWriteCommand / writeBlock * writeBlock;
}

void RefuseUpload(UploadRun& run, UploadResult why, const QString& line) {
  run.LastUpload = {why, line};
  run.AppendError(line);
  run.ReturnControlsToIdle();
}

RunStep EndRunIfWaitFailed(UploadRun& run, TWaitResult result) {
  if (result == WaitAcknowledged) return RunStep::GoesOn;
  run.LastUpload = {UploadResult::DeviceError, Link::WaitErrorLine(result)};
  run.ReportWaitError(result);
  run.CloseConnection();
  return RunStep::Ended;
}

RunStep EndRunIfStopped(UploadRun& run) {
  if (run.UploadRunning()) return RunStep::GoesOn;
  run.AbortUpload();
  return RunStep::DeclinedOrStopped;
}

RunStep EndRunIfFailedOrStopped(UploadRun& run, TWaitResult result) {
  if (const RunStep step = EndRunIfWaitFailed(run, result); step != RunStep::GoesOn) return step;
  return EndRunIfStopped(run);
}

void BeginPhase(UploadRun& run, UploadPhase phase, std::uint64_t total) {
  run.Upload.PhaseDone = 0;
  run.Upload.PhaseTotal = total;
  run.UI().UploadProgress(phase, 0, total);
}

void AdvancePhase(UploadRun& run, UploadPhase phase, std::uint64_t bytes) {
  TUploadState& up = run.Upload;
  up.PhaseDone = std::min(up.PhaseDone + bytes, up.PhaseTotal);
  run.UI().UploadProgress(phase, up.PhaseDone, up.PhaseTotal);
}

RunStep EraseProgramRange(UploadRun& run, const ErasePlan& plan) {
  TUploadState& up = run.Upload;
  const std::uint8_t type = run.BootInfo.McuType;
  const FamilyFacts& family = *up.Area.family;
  up.BlocksLeft = plan.blocks;
  run.SetProgressMax(up.BlocksLeft);
  run.SetProgressPosition(0);
  run.AppendHistory(text::kFlashErase);
  // PIC32 keeps the button clickable so an erase can be stopped.
  if (!IsPic32(type)) run.SetEnabled(ButtonId::StartBootloader, false);
  run.EraseAnimation.setInterval(1000);
  run.EraseAnimation.start();
  BeginPhase(run, UploadPhase::Erase, EraseBytes(family, run.BootInfo.EraseBlock, plan, 0, plan.blocks));

  std::int32_t done = 0;
  while (up.BlocksLeft > 0) {
    up.BlockGroup = std::min(up.BlocksLeft, kMaxEraseGroup);
    up.BlocksLeft -= up.BlockGroup;
    up.CurrentAddress = EraseGroupAddress(family, run.BootInfo.EraseBlock, plan, done, up.BlockGroup);
    done += up.BlockGroup;
    const int perBlockMs = IsSectorErase(type) ? 4000 : 100;
    run.SendErase(up.CurrentAddress, static_cast<std::uint16_t>(up.BlockGroup));
    up.WaitResult = run.WaitResponse(kCmdErase, up.BlockGroup * perBlockMs);
    if (const RunStep step = EndRunIfWaitFailed(run, up.WaitResult); step != RunStep::GoesOn) return step;
    AdvancePhase(run, UploadPhase::Erase,
                 EraseBytes(family, run.BootInfo.EraseBlock, plan, done - up.BlockGroup, done));
    if (const RunStep step = EndRunIfStopped(run); step != RunStep::GoesOn) return step;
  }
  return RunStep::GoesOn;
}

void FinishEraseProgress(UploadRun& run) {
  run.EraseAnimation.stop();
  run.SetProgressPosition(run.Progress.Max);
}

void AdvanceProgress(UploadRun& run, std::int32_t bytes) {
  if (!run.UploadRunning() || bytes <= 0) return;
  const TProgressBar& bar = run.Progress;
  if (bar.Position >= bar.Max) return;
  const std::int64_t next =
      static_cast<std::int64_t>(bar.Position) + static_cast<std::int64_t>(bar.Step) * bytes;
  run.SetProgressPosition(static_cast<int>(std::min<std::int64_t>(next, bar.Max)));
}

void SetProgressMaxFor(UploadRun& run, std::int64_t value) {
  run.SetProgressMax(static_cast<int>(std::clamp<std::int64_t>(value, 0, INT_MAX)));
}

}  // namespace quorvel::upload
