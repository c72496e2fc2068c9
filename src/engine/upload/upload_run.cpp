// SPDX-License-Identifier: Apache-2.0
// A run of "Begin uploading": the plan checked before anything is erased,
// the plan run, and its success; the engine has checked it may start.
#include "engine/upload/upload_run.h"

#include <exception>

#include "engine/texts.h"
#include "engine/upload/upload_proof.h"

namespace quorvel {

using namespace upload;

namespace {

// Clears the working state when the run ends, however it ends, so the copies
// of the images do not outlive it.
class TRunScope {
 public:
  TRunScope(Link& link, TUploadState& state) : link_(link), state_(state), busy_(link) {
    state_ = TUploadState{};
    link_.State().Set(Activity::Uploading);
  }
  ~TRunScope() {
    link_.State().Set(Activity::Idle);
    state_ = TUploadState{};
  }
  TRunScope(const TRunScope&) = delete;
  TRunScope& operator=(const TRunScope&) = delete;

 private:
  Link& link_;
  TUploadState& state_;
  TBusySection busy_;
};

}  // namespace

UploadRun::UploadRun(Link& link, ControlsModel& controls)
    : link_(link), controls_(controls), progress_(controls) {}

void UploadRun::RunUpload(bool skipBlank) {
  TRunScope run(link_, Upload);
  SkipBlank = skipBlank;
  LastUpload = {};
  // A run that leaves program flash alone has written no program bytes.
  Upload.Proof.programSha256 = Sha256Hex(std::vector<StagedRange>{});
  try {
    controls_.SetEnabled(ButtonId::Connect, false);
    controls_.SetEnabled(ButtonId::OpenHex, false);
    controls_.SetCaption(ButtonId::StartBootloader, text::kStopUploading);
    controls_.AppendHistory(text::kUploading);
    const UploadPlan plan = PlanUpload(link_.Record(), images_.FlashImage, images_.BootFlashImage, SkipBlank);
    if (!PrepareUpload(plan)) return;
    if (RunPlan(plan) != RunStep::GoesOn) return;
    if (!NoViolationReported()) return;
    Succeed();
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
      RefuseUpload(UploadResult::Refused, QString::fromStdString(plan.problem));
      return false;
    case Refusal::NothingToWrite:
      RefuseUpload(UploadResult::NothingToWrite, QString::fromStdString(plan.problem));
      return false;
    case Refusal::None:
      break;
  }
  Upload.Area = plan.area;
  if (plan.data == TImageData::BootFlashOnly) controls_.AppendHistory(text::kBootFlashOnly);
  return true;
}

bool UploadRun::NoViolationReported() {
  if (link_.Active() == nullptr) return true;
  const std::string violation = link_.ReportedViolation();
  if (violation.empty()) return true;
  const QString line = QString(text::kViolation).arg(QString::fromStdString(violation));
  LastUpload = {UploadResult::DeviceError, line};
  controls_.AppendError(line);
  CloseConnection();
  return false;
}

void UploadRun::Succeed() {
  TTaskDialogTexts texts;
  texts.Title = text::kSuccessTitle;
  texts.MainInstruction = text::kSuccessInstruction;
  texts.Content = text::kSuccessContent;
  texts.ExpandedText = QString(text::kSuccessDetails).arg(UploadFileName());
  texts.Wrote = Upload.Proof;
  controls_.AppendHistory(text::kCompleted);
  LastUpload = {UploadResult::Succeeded, text::kSuccessContent, Upload.Proof};
  CloseConnection();
  controls_.UI().ShowTaskDialog(texts);
  if (controls_.CloseWhenFinished()) controls_.UI().CloseMainWindow();
}

void UploadRun::EndRunAfterError(const QString& line) {
  // Not swallowed: the run ends as after a device error, and the log says why.
  LastUpload = {UploadResult::DeviceError, line};
  controls_.AppendError(line);
  if (!link_.IsConnected() && !link_.UploadRunning()) return;  // the run had already ended
  try {
    CloseConnection();
  } catch (...) {
    // The device cannot even take the restart; the controls must still come back.
    link_.SetConnected(false);
    controls_.SetConnectOffer(ConnectOffer::Connect);
    ReturnControlsToIdle();
  }
}

}  // namespace quorvel
