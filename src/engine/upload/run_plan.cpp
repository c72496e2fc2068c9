// SPDX-License-Identifier: Apache-2.0
// A run of the write plan (upload/write_plan.h), which has laid the images out
// for the bootloader's layout (UploadBootTop: PlanTopLayout; UploadBootBottom:
// PlanBottomLayout): its questions, the erase and the ranges of program
// memory, then the PIC32 boot flash.
#include "engine/upload/upload_proof.h"
#include "engine/upload/upload_run.h"
#include "engine/upload/upload_steps.h"
#include "upload/write_plan.h"

namespace quorvel {

using namespace upload;

namespace {

QLatin1String QuestionText(FitQuestion question) {
  switch (question) {
    case FitQuestion::OverBootloaderArea:
      return text::kOverBootloaderArea;
    case FitQuestion::OverProgramMemory:
      return text::kOverProgramMemory;
    case FitQuestion::OverBootSpace:
      break;
  }
  return text::kOverBootSpace;
}

}  // namespace

RunStep UploadRun::RunPlan(const UploadPlan& plan) {
  TransferBuffer.resize(BootInfo.EraseBlock, 0);
  for (const FitQuestion question : plan.questions) {
    if (!UI().AskYesNo(QuestionText(question))) {
      AbortUpload(UploadResult::Declined);
      return RunStep::DeclinedOrStopped;
    }
  }

  if (!plan.program.empty()) {
    if (const RunStep step = EraseProgramRange(*this, plan.erase); step != RunStep::GoesOn) return step;
    FinishEraseProgress(*this);
    Upload.Proof.programSha256 = Sha256Hex(plan.program);
    std::uint64_t toSend = 0;
    for (const StagedRange& range : plan.program) toSend += range.BytesToSend();
    SetProgressMaxFor(*this, static_cast<std::int64_t>(toSend) * 7);
    SetProgressPosition(0);
    AppendHistory(text::kFlashWrite);
    // In the top layout the last unit's erase counts as part of writing, so
    // that no phase is ever entered twice.
    BeginPhase(*this, UploadPhase::Write, toSend);
    if (const RunStep step = WriteFlashRange(plan.program.front()); step != RunStep::GoesOn) return step;

    if (plan.program.size() > 1) {
      // Top layout: the last unit below the bootloader, with the entry code in its last bytes.
      Upload.CurrentAddress = plan.lastUnitAddress;
      SendErase(plan.lastUnitAddress, 1);
      Upload.WaitResult = WaitResponse(kCmdErase, plan.erase.sectors ? 4000 : 1000);
      if (const RunStep step = EndRunIfFailedOrStopped(*this, Upload.WaitResult); step != RunStep::GoesOn)
        return step;
      if (const RunStep step = WriteFlashRange(plan.program.back()); step != RunStep::GoesOn) return step;
    }
  }

  if (plan.hasBoot) WriteBootFlash(plan);
  // The boot-flash writer has ended the run if it did not get through.
  return UploadRunning() ? RunStep::GoesOn : RunStep::Ended;
}

}  // namespace quorvel
