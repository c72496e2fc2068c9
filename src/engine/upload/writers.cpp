// SPDX-License-Identifier: Apache-2.0
// The block writer for program memory and the PIC32 boot-flash writer. Both
// send the Write commands of a staged range (write_plan.h) in transfers of one
// erase block (the length of TransferBuffer), each acknowledged by the device
// before the next; and the rest of an unfinished command, sent when a run ends
// in its middle so the Reboot that follows is read as a command.
#include <algorithm>
#include <stdexcept>

#include "engine/upload/upload_run.h"
#include "engine/upload/upload_proof.h"
#include "engine/upload/upload_steps.h"
#include "core/families.h"
#include "upload/geometry.h"
#include "upload/write_plan.h"

namespace quorvel {

using namespace upload;

namespace {

// Finishing a Write command before a restart: each report must be taken
// within the first figure, all of them within the second.
constexpr int kOwedReportMs = 1000;
constexpr int kOwedTotalMs = 2000;

// Sends a staged range's Write commands, each in transfers of at most one
// transfer buffer, each transfer acknowledged before the next. `enableStop`:
// the button becomes clickable (as Stop) once the first transfer is answered.
RunStep SendStagedRange(UploadRun& run, const StagedRange& range, UploadPhase phase, bool enableStop) {
  TUploadState& up = run.Upload;
  TByteArray& buffer = run.TransferBuffer;
  for (const PlannedWrite& write : range.writes) {
    // Kept until the command is done, so an ending can finish it (FinishWriteCommand).
    const auto command = range.bytes.begin() + static_cast<std::ptrdiff_t>(write.offset);
    up.WriteCommand.assign(command, command + write.bytes);
    run.SendWrite(write.address, static_cast<std::uint16_t>(write.bytes));
    std::int32_t sent = 0;
    while (sent < write.bytes) {
      const auto j = static_cast<std::int32_t>(
          std::min<std::int64_t>(write.bytes - sent, static_cast<std::int64_t>(buffer.size())));
      const auto from = range.bytes.begin() + static_cast<std::ptrdiff_t>(write.offset + sent);
      std::copy(from, from + j, buffer.begin());
      sent += j;
      AdvanceProgress(run, j);
      run.WriteTransfer(buffer, j);
      up.WaitResult = run.WaitResponse(kCmdWrite, 1000);
      if (enableStop && !run.ButtonStartBootloader.Enabled)
        run.SetEnabled(ButtonId::StartBootloader, true);
      if (const RunStep step = EndRunIfWaitFailed(run, up.WaitResult); step != RunStep::GoesOn) return step;
      up.Proof.bytesWritten += static_cast<std::uint64_t>(j);
      AdvancePhase(run, phase, static_cast<std::uint64_t>(j));
    }
    // A command announced to the device is always completed; a stop takes
    // effect between commands.
    if (const RunStep step = EndRunIfStopped(run); step != RunStep::GoesOn) return step;
  }
  return RunStep::GoesOn;
}

}  // namespace

RunStep UploadRun::WriteFlashRange(const StagedRange& range) {
  if (range.writes.empty()) return RunStep::GoesOn;
  if (FlashCommandBytes(BootInfo.WriteBlock) <= 0 || TransferBuffer.empty() ||
      Upload.Area.family == nullptr) {
    // The run's geometry check rules this out; a call without it must not loop or guess.
    throw std::logic_error("block writer started without a checked geometry");
  }
  return SendStagedRange(*this, range, UploadPhase::Write, !IsPic32(BootInfo.McuType));
}

bool UploadRun::FinishWriteCommand() {
  if (DataOwed() == 0) return true;
  const TByteArray& planned = Upload.WriteCommand;
  // After a refusal, or a report that may not have arrived, the device's
  // place in the command is unknown: it must not be sent bytes it did not ask for.
  if (DataPhaseLost() || DataOwed() > planned.size() || TransferBuffer.empty()) return false;
  // The rest goes in the transfers the device expects (chunks of the
  // transfer buffer), answers not waited for: a device that no longer
  // answers may still take data.
  const std::int64_t deadline = WaitClockNowMs() + kOwedTotalMs;
  while (DataOwed() > 0) {
    const std::size_t at = planned.size() - DataOwed();
    const int j = static_cast<int>(std::min<std::size_t>(DataOwed(), TransferBuffer.size()));
    if (!SendOwedData(planned.data() + at, j, kOwedReportMs, deadline)) return false;
  }
  return true;
}

void UploadRun::WriteBootFlash(const UploadPlan& plan) {
  TUploadState& up = Upload;
  const std::int32_t erase = BootInfo.EraseBlock;
  const std::int32_t write = BootInfo.WriteBlock;
  if (erase <= 0 || write <= 0 || write >= kMaxWriteCommand || TransferBuffer.empty()) {
    throw std::logic_error("boot-flash writer started without a checked geometry");
  }

  const StagedRange& range = plan.boot;
  up.Proof.bootSha256 = Sha256Hex(range);
  AppendHistory(text::kBootErase);
  SetEnabled(ButtonId::StartBootloader, false);

  up.BlockGroup = plan.bootEraseBlocks;
  up.BlocksLeft = 0;
  const auto eraseBytes = static_cast<std::uint64_t>(up.BlockGroup) * static_cast<std::uint64_t>(erase);
  BeginPhase(*this, UploadPhase::BootErase, eraseBytes);
  up.CurrentAddress = range.address + static_cast<std::uint32_t>((up.BlockGroup - 1) * erase);
  SendErase(up.CurrentAddress, static_cast<std::uint16_t>(up.BlockGroup));
  up.WaitResult = WaitResponse(kCmdErase, up.BlockGroup * 100);
  if (EndRunIfWaitFailed(*this, up.WaitResult) != RunStep::GoesOn) return;
  AdvancePhase(*this, UploadPhase::BootErase, eraseBytes);
  if (EndRunIfStopped(*this) != RunStep::GoesOn) return;

  up.CurrentAddress = range.address;
  SetProgressMaxFor(*this, static_cast<std::int64_t>(range.BytesToSend()) * 7);
  SetProgressPosition(0);
  AppendHistory(text::kBootWrite);
  BeginPhase(*this, UploadPhase::BootWrite, range.BytesToSend());
  SendStagedRange(*this, range, UploadPhase::BootWrite, true);
}

}  // namespace quorvel
