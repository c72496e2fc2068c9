// SPDX-License-Identifier: Apache-2.0
// The block writer for program memory and the PIC32 boot-flash writer. Both
// send the Write commands of a staged range (write_plan.h) in transfers of one
// erase block (the length of TransferBuffer), each acknowledged by the device
// before the next; and the rest of an unfinished command, sent when a run ends
// in its middle so the Reboot that follows is read as a command.
#include <algorithm>
#include <stdexcept>

#include "core/families.h"
#include "engine/texts.h"
#include "engine/upload/upload_proof.h"
#include "engine/upload/upload_run.h"
#include "protocol/frames.h"

namespace quorvel {

using namespace upload;

namespace {

// Finishing a Write command before a restart: each report must be taken
// within the first figure, all of them within the second.
constexpr int kOwedReportMs = 1000;
constexpr int kOwedTotalMs = 2000;

// Bytes per Write command in the program-memory writer: the largest multiple
// of WriteBlock that fits a command. 0 when WriteBlock is 0 or too large.
std::int32_t FlashCommandBytes(std::uint16_t writeBlock) {
  if (writeBlock == 0) return 0;
  return MaxWriteCount / writeBlock * writeBlock;
}

}  // namespace

RunStep UploadRun::SendStagedRange(const StagedRange& range, UploadPhase phase, bool enableStop) {
  TUploadState& up = Upload;
  const auto chunk = static_cast<std::int64_t>(link_.TransferBufferSize());
  for (const PlannedWrite& write : range.writes) {
    // Kept until the command is done, so an ending can finish it (FinishWriteCommand).
    const auto command = range.bytes.begin() + static_cast<std::ptrdiff_t>(write.offset);
    up.WriteCommand.assign(command, command + write.bytes);
    link_.SendWrite(write.address, static_cast<std::uint16_t>(write.bytes));
    std::int32_t sent = 0;
    while (sent < write.bytes) {
      const auto j = static_cast<std::int32_t>(std::min<std::int64_t>(write.bytes - sent, chunk));
      const std::uint8_t* from = range.bytes.data() + write.offset + sent;
      sent += j;
      if (link_.UploadRunning()) progress_.AdvanceBar(j);
      link_.WriteTransfer(from, j);
      up.WaitResult = link_.WaitResponse(Write, 1000);
      if (enableStop && !controls_.Button(ButtonId::StartBootloader).Enabled)
        controls_.SetEnabled(ButtonId::StartBootloader, true);
      if (const RunStep step = EndRunIfWaitFailed(up.WaitResult); step != RunStep::GoesOn) return step;
      up.Proof.bytesWritten += static_cast<std::uint64_t>(j);
      progress_.AdvancePhase(phase, static_cast<std::uint64_t>(j));
    }
    // A command announced to the device is always completed; a stop takes
    // effect between commands.
    if (const RunStep step = EndRunIfStopped(); step != RunStep::GoesOn) return step;
  }
  return RunStep::GoesOn;
}

RunStep UploadRun::WriteFlashRange(const StagedRange& range) {
  if (range.writes.empty()) return RunStep::GoesOn;
  if (FlashCommandBytes(link_.Record().WriteBlock) <= 0 || Upload.Area.family == nullptr) {
    // The run's geometry check rules this out; a call without it must not loop or guess.
    throw std::logic_error("block writer started without a checked geometry");
  }
  return SendStagedRange(range, UploadPhase::Write, !IsPic32(link_.Record().McuType));
}

bool UploadRun::FinishWriteCommand() {
  const std::uint32_t owed = link_.DataOwed();
  if (owed == 0) return true;
  const TByteArray& planned = Upload.WriteCommand;
  // After a refusal, or a report that may not have arrived, the device's
  // place in the command is unknown: it must not be sent bytes it did not ask for.
  if (link_.DataPhaseLost() || owed > planned.size()) return false;
  // The rest goes in the transfers the device expects (chunks of the
  // transfer buffer), answers not waited for: a device that no longer
  // answers may still take data.
  const std::int64_t deadline = link_.WaitClockNowMs() + kOwedTotalMs;
  while (link_.DataOwed() > 0) {
    const std::size_t at = planned.size() - link_.DataOwed();
    const int j = static_cast<int>(std::min<std::size_t>(link_.DataOwed(), link_.TransferBufferSize()));
    if (!link_.SendOwedData(planned.data() + at, j, kOwedReportMs, deadline)) return false;
  }
  return true;
}

void UploadRun::WriteBootFlash(const UploadPlan& plan) {
  TUploadState& up = Upload;
  const std::int32_t erase = link_.Record().EraseBlock;
  const std::int32_t write = link_.Record().WriteBlock;
  if (erase <= 0 || write <= 0 || write >= MaxWriteCount) {
    throw std::logic_error("boot-flash writer started without a checked geometry");
  }

  const StagedRange& range = plan.boot;
  up.Proof.bootSha256 = Sha256Hex(range);
  controls_.AppendHistory(text::kBootErase);
  controls_.SetEnabled(ButtonId::StartBootloader, false);

  up.BlockGroup = plan.bootEraseBlocks;
  up.BlocksLeft = 0;
  const auto eraseBytes = static_cast<std::uint64_t>(up.BlockGroup) * static_cast<std::uint64_t>(erase);
  progress_.BeginPhase(UploadPhase::BootErase, eraseBytes);
  up.CurrentAddress = range.address + static_cast<std::uint32_t>((up.BlockGroup - 1) * erase);
  link_.SendErase(up.CurrentAddress, static_cast<std::uint16_t>(up.BlockGroup));
  up.WaitResult = link_.WaitResponse(Erase, up.BlockGroup * 100);
  if (EndRunIfWaitFailed(up.WaitResult) != RunStep::GoesOn) return;
  progress_.AdvancePhase(UploadPhase::BootErase, eraseBytes);
  if (EndRunIfStopped() != RunStep::GoesOn) return;

  up.CurrentAddress = range.address;
  progress_.SetBarMax(static_cast<std::int64_t>(range.BytesToSend()) * 7);
  controls_.AppendHistory(text::kBootWrite);
  progress_.BeginPhase(UploadPhase::BootWrite, range.BytesToSend());
  SendStagedRange(range, UploadPhase::BootWrite, true);
}

}  // namespace quorvel
