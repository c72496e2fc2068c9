// SPDX-License-Identifier: Apache-2.0
#include "engine/upload/upload_steps.h"

#include <algorithm>
#include <climits>

#include "engine/upload/upload_run.h"
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

std::uint32_t EraseGroupAddress(const UploadRun& run, const ErasePlan& plan, std::int32_t done,
                                std::int32_t group) {
  const std::int64_t highest = done + group - 1;
  std::int64_t offset = 0;
  const FamilyFacts& family = *run.Upload.Area.family;
  if (plan.sectors) {
    const auto index =
        static_cast<std::int32_t>(std::clamp<std::int64_t>(plan.first + highest, 0, SectorCount(family)));
    offset = SectorStart(family, index);
  } else {
    offset = plan.first + highest * run.BootInfo.EraseBlock;
  }
  return DeviceAddressOf(family, offset);
}

namespace {
// Image bytes of erase units [from, to) of a plan.
std::uint64_t EraseBytes(const UploadRun& run, const ErasePlan& plan, std::int32_t from, std::int32_t to) {
  if (!plan.sectors) return static_cast<std::uint64_t>(std::max(to - from, 0)) * run.BootInfo.EraseBlock;
  const FamilyFacts& family = *run.Upload.Area.family;
  std::uint64_t bytes = 0;
  for (std::int32_t k = from; k < to; ++k) {
    const auto index =
        static_cast<std::int32_t>(std::clamp<std::int64_t>(plan.first + k, 0, SectorCount(family) - 1));
    bytes += static_cast<std::uint64_t>(std::max(SectorSize(family, index), 0));
  }
  return bytes;
}
}  // namespace

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
  up.BlocksLeft = plan.blocks;
  run.SetProgressMax(up.BlocksLeft);
  run.SetProgressPosition(0);
  run.AppendHistory(text::kFlashErase);
  // PIC32 keeps the button clickable so an erase can be stopped.
  if (!IsPic32(type)) run.SetEnabled(ButtonId::StartBootloader, false);
  run.EraseAnimation.setInterval(1000);
  run.EraseAnimation.start();
  BeginPhase(run, UploadPhase::Erase, EraseBytes(run, plan, 0, plan.blocks));

  std::int32_t done = 0;
  while (up.BlocksLeft > 0) {
    up.BlockGroup = std::min(up.BlocksLeft, kMaxEraseGroup);
    up.BlocksLeft -= up.BlockGroup;
    up.CurrentAddress = EraseGroupAddress(run, plan, done, up.BlockGroup);
    done += up.BlockGroup;
    const int perBlockMs = IsSectorErase(type) ? 4000 : 100;
    run.SendErase(up.CurrentAddress, static_cast<std::uint16_t>(up.BlockGroup));
    up.WaitResult = run.WaitResponse(kCmdErase, up.BlockGroup * perBlockMs);
    if (const RunStep step = EndRunIfWaitFailed(run, up.WaitResult); step != RunStep::GoesOn) return step;
    AdvancePhase(run, UploadPhase::Erase, EraseBytes(run, plan, done - up.BlockGroup, done));
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
