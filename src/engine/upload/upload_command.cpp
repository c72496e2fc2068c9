// SPDX-License-Identifier: Apache-2.0
// "Begin uploading" / "Stop uploading": starts an upload and runs it to its
// end inside the click handler, or asks a running one to stop.
#include <exception>

#include "engine/upload/upload_run.h"
#include "hid/hid_device.h"
#include "hid/hid_platform.h"
#include "upload/flash_area.h"
#include "upload/write_plan.h"
#include "engine/upload/upload_proof.h"
#include "engine/upload/upload_steps.h"

namespace quorvel {

using namespace upload;

namespace {

// Clears the working state when the run ends, however it ends, so the copies
// of the images do not outlive it.
class TRunScope {
 public:
  explicit TRunScope(UploadRun& run) : run_(run), busy_(run) {
    run_.Upload = TUploadState{};
    run_.State().Set(Activity::Uploading);
  }
  ~TRunScope() {
    run_.State().Set(Activity::Idle);
    run_.Upload = TUploadState{};
  }
  TRunScope(const TRunScope&) = delete;
  TRunScope& operator=(const TRunScope&) = delete;

 private:
  UploadRun& run_;
  TBusySection busy_;
};

}  // namespace

void UploadRun::ButtonStartBootloaderClick() {
  const auto notStarted = [this](QLatin1String line) {
    LastUpload = {UploadResult::NotStarted, line};
    AppendError(line);
  };
  if (!Connected) return notStarted(text::kConnectFirst);
  if (!HexLoaded) return notStarted(text::kLoadHexFirst);
  if (BootInfo.McuType != HexMcuType) return notStarted(text::kReloadHex);
  if (State().Current() == Activity::Uploading) {
    // The stop request; the running upload notices it at its next check.
    State().Set(Activity::UploadEnding);
    return;
  }
  // A stop is pending (or a result dialog is open) in a run that is still
  // inside this handler further up the stack: starting another run here
  // would nest two uploads on one transfer buffer.
  if (State().UploadActive()) return;
  // Another exchange is waiting for its answer (the information request of a
  // device change, say): Erase frames now would land in the middle of it. The
  // click is acted on, preconditions checked again, once that exchange is over.
  if (Busy()) {
    State().DeferClick(ButtonId::StartBootloader);
    return;
  }

  TRunScope run(*this);
  LastUpload = {};
  // A run that leaves program flash alone has written no program bytes.
  Upload.Proof.programSha256 = Sha256Hex(std::vector<StagedRange>{});
  try {
    SetEnabled(ButtonId::Connect, false);
    SetEnabled(ButtonId::OpenHex, false);
    SetCaption(ButtonId::StartBootloader, text::kStopUploading);
    AppendHistory(text::kUploading);
    const UploadPlan plan = PlanUpload(BootInfo, FlashImage, BootFlashImage, SkipBlank);
    if (!PrepareUpload(plan)) return;
    if (RunPlan(plan) != RunStep::GoesOn) return;
    // Every block was acknowledged, but a device that checks what it is sent
    // (the simulated one) may have seen flash written wrongly: never a success.
    if (ActiveDevice != nullptr) {
      if (const std::string violation = platform_.ReportedViolation(ActiveDevice->PnPInfo());
          !violation.empty()) {
        const QString line = QString(text::kViolation).arg(QString::fromStdString(violation));
        LastUpload = {UploadResult::DeviceError, line};
        AppendError(line);
        CloseConnection();
        return;
      }
    }

    TTaskDialogTexts texts;
    texts.Title = text::kSuccessTitle;
    texts.MainInstruction = text::kSuccessInstruction;
    texts.Content = text::kSuccessContent;
    texts.ExpandedText = QString(text::kSuccessDetails).arg(UploadFileName());
    AppendHistory(text::kCompleted);
    LastUpload = {UploadResult::Succeeded, text::kSuccessContent, Upload.Proof};
    CloseConnection();
    UI().ShowTaskDialog(texts);
    if (CheckBoxClose) UI().CloseMainWindow();
  } catch (const std::exception& e) {
    EndRunAfterError(QString(text::kUploadFailedBecause).arg(QString::fromUtf8(e.what())));
  } catch (...) {
    EndRunAfterError(text::kUploadFailed);
  }
}

bool UploadRun::PrepareUpload(const UploadPlan& plan) {
  // Nothing is erased before the device's geometry is known to be safe and
  // the images are known to hold something for it.
  switch (plan.refusal) {
    case Refusal::UnsafeGeometry:
      RefuseUpload(*this, UploadResult::Refused, QString::fromStdString(plan.problem));
      return false;
    case Refusal::NothingToWrite:
      RefuseUpload(*this, UploadResult::NothingToWrite, QString::fromStdString(plan.problem));
      return false;
    case Refusal::None:
      break;
  }
  Upload.Area = plan.area;
  if (plan.data == TImageData::BootFlashOnly) AppendHistory(text::kBootFlashOnly);
  return true;
}

void UploadRun::EndRunAfterError(const QString& line) {
  // Not swallowed: the run ends as after a device error, and the log says why.
  LastUpload = {UploadResult::DeviceError, line};
  AppendError(line);
  if (!Connected && !UploadRunning()) return;  // the run had already ended
  try {
    CloseConnection();
  } catch (...) {
    // The device cannot even take the restart; the controls must still come back.
    Connected = false;
    SetCaption(ButtonId::Connect, text::kConnect);
    ReturnControlsToIdle();
  }
}

}  // namespace quorvel
