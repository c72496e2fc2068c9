// SPDX-License-Identifier: Apache-2.0
// A run of the write plan (upload/write_plan.h), which has laid the images out
// for the bootloader's layout (UploadBootTop: PlanTopLayout; UploadBootBottom:
// PlanBottomLayout): its questions, the erase and the ranges of program
// memory, then the PIC32 boot flash.
#include <algorithm>

#include "engine/texts.h"
#include "engine/upload/upload_proof.h"
#include "engine/upload/upload_run.h"
#include "protocol/frames.h"

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
  link_.SizeTransferBuffer(link_.Record().EraseBlock);
  for (const FitQuestion question : plan.questions) {
    if (!controls_.UI().AskYesNo(QuestionText(question))) {
      AbortUpload(UploadResult::Declined);
      return RunStep::DeclinedOrStopped;
    }
  }

  if (!plan.program.empty()) {
    if (const RunStep step = EraseProgramRange(plan.erase); step != RunStep::GoesOn) return step;
    progress_.FinishErase();
    Upload.Proof.programSha256 = Sha256Hex(plan.program);
    std::uint64_t toSend = 0;
    for (const StagedRange& range : plan.program) toSend += range.BytesToSend();
    progress_.SetBarMax(static_cast<std::int64_t>(toSend) * 7);
    controls_.AppendHistory(text::kFlashWrite);
    // In the top layout the last unit's erase counts as part of writing, so
    // that no phase is ever entered twice.
    progress_.BeginPhase(UploadPhase::Write, toSend);
    if (const RunStep step = WriteFlashRange(plan.program.front()); step != RunStep::GoesOn) return step;

    if (plan.program.size() > 1) {
      // Top layout: the last unit below the bootloader, with the entry code in its last bytes.
      Upload.CurrentAddress = plan.lastUnitAddress;
      link_.SendErase(plan.lastUnitAddress, 1);
      Upload.WaitResult = link_.WaitResponse(Erase, plan.erase.sectors ? 4000 : 1000);
      if (const RunStep step = EndRunIfFailedOrStopped(Upload.WaitResult); step != RunStep::GoesOn) return step;
      if (const RunStep step = WriteFlashRange(plan.program.back()); step != RunStep::GoesOn) return step;
    }
  }

  if (plan.hasBoot) WriteBootFlash(plan);
  // The boot-flash writer has ended the run if it did not get through.
  return link_.UploadRunning() ? RunStep::GoesOn : RunStep::Ended;
}

RunStep UploadRun::EraseProgramRange(const ErasePlan& plan) {
  TUploadState& up = Upload;
  const TBootInfo& info = link_.Record();
  const FamilyFacts& family = *up.Area.family;
  up.BlocksLeft = plan.blocks;
  controls_.SetProgressMax(up.BlocksLeft);
  controls_.SetProgressPosition(0);
  controls_.AppendHistory(text::kFlashErase);
  // PIC32 keeps the button clickable so an erase can be stopped.
  if (!IsPic32(info.McuType)) controls_.SetEnabled(ButtonId::StartBootloader, false);
  controls_.StartEraseAnimation(1000);
  progress_.BeginPhase(UploadPhase::Erase, EraseBytes(family, info.EraseBlock, plan, 0, plan.blocks));

  std::int32_t done = 0;
  while (up.BlocksLeft > 0) {
    up.BlockGroup = std::min<std::int32_t>(up.BlocksLeft, MaxEraseCount);
    up.BlocksLeft -= up.BlockGroup;
    up.CurrentAddress = EraseGroupAddress(family, info.EraseBlock, plan, done, up.BlockGroup);
    done += up.BlockGroup;
    const int perBlockMs = IsSectorErase(info.McuType) ? 4000 : 100;
    link_.SendErase(up.CurrentAddress, static_cast<std::uint16_t>(up.BlockGroup));
    up.WaitResult = link_.WaitResponse(Erase, up.BlockGroup * perBlockMs);
    if (const RunStep step = EndRunIfWaitFailed(up.WaitResult); step != RunStep::GoesOn) return step;
    progress_.AdvancePhase(UploadPhase::Erase, EraseBytes(family, info.EraseBlock, plan, done - up.BlockGroup, done));
    if (const RunStep step = EndRunIfStopped(); step != RunStep::GoesOn) return step;
  }
  return RunStep::GoesOn;
}

}  // namespace quorvel
