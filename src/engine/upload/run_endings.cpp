// SPDX-License-Identifier: Apache-2.0
// The ways an upload run ends: refused before anything was erased, stopped
// by the user (the connection stays, the device stays in its bootloader) or
// closed after success or a device error (the connection is dropped and the
// device restarted, at a command boundary or not at all); and the checks
// after each wait that choose between them.
#include "engine/texts.h"
#include "engine/upload/upload_run.h"

namespace quorvel {

QString UploadRun::UploadFileName() const {
  return LastHexFile.isEmpty() ? controls_.FileDialogName() : LastHexFile;
}

void UploadRun::ReturnControlsToIdle() {
  controls_.SetEnabled(ButtonId::Connect, true);
  controls_.SetEnabled(ButtonId::OpenHex, true);
  controls_.StopEraseAnimation();
  // While the run still counts as running: front ends show this last step of it.
  controls_.SetProgressPosition(0);
  if (link_.State().UploadActive()) link_.State().Set(Activity::UploadEnding);
  controls_.SetCaption(ButtonId::StartBootloader, text::kBeginUploading);
}

void UploadRun::NotStarted(const QString& line) {
  LastUpload = {UploadResult::NotStarted, line};
  controls_.AppendError(line);
}

void UploadRun::RefuseUpload(UploadResult why, const QString& line) {
  LastUpload = {why, line};
  controls_.AppendError(line);
  ReturnControlsToIdle();
}

RunStep UploadRun::EndRunIfWaitFailed(TWaitResult result) {
  if (result == WaitAcknowledged) return RunStep::GoesOn;
  LastUpload = {UploadResult::DeviceError, Link::WaitErrorLine(result)};
  link_.ReportWaitError(result);
  CloseConnection();
  return RunStep::Ended;
}

RunStep UploadRun::EndRunIfStopped() {
  if (link_.UploadRunning()) return RunStep::GoesOn;
  AbortUpload();
  return RunStep::DeclinedOrStopped;
}

RunStep UploadRun::EndRunIfFailedOrStopped(TWaitResult result) {
  if (const RunStep step = EndRunIfWaitFailed(result); step != RunStep::GoesOn) return step;
  return EndRunIfStopped();
}

void UploadRun::AbortUpload(UploadResult why) {
  ReturnControlsToIdle();
  LastUpload = {why, text::kAbortContent};

  TTaskDialogTexts texts;
  texts.Title = text::kAbortTitle;
  texts.MainInstruction = text::kAbortInstruction;
  texts.Content = text::kAbortContent;
  texts.ExpandedText = QString(text::kAbortDetails).arg(UploadFileName());
  controls_.UI().ShowTaskDialog(texts);
  controls_.AppendHistory(text::kUploadAborted);
}

void UploadRun::CloseConnection() {
  link_.SetConnected(false);
  controls_.SetConnectOffer(ConnectOffer::Connect);
  controls_.AppendHistory(text::kDisconnected);
  ReturnControlsToIdle();
  if (link_.Active() == nullptr) {
    LastUpload.board = BoardAfterRun::Gone;
  } else {
    controls_.AppendHistory(text::kReset);
    const bool restarted = RestartBoard();
    LastUpload.board = restarted ? BoardAfterRun::Restarted : BoardAfterRun::NotRestarted;
    // "Reset..." alone would say the device restarts.
    if (!restarted) controls_.AppendError(text::kNotRestarted);
  }
  link_.ReleaseBoardLock();
}

bool UploadRun::RestartBoard() {
  if (link_.Active() == nullptr) return false;
  // A Reboot inside a Write's data would be stored as data, and the device
  // would stay in its bootloader in the middle of the command.
  if (!FinishWriteCommand()) return false;
  return link_.SendReboot();
}

}  // namespace quorvel
