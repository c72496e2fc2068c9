// SPDX-License-Identifier: Apache-2.0
// The two ways an upload run ends: stopped by the user (the connection stays,
// the device stays in its bootloader) or closed after success or a device
// error (the connection is dropped and the device restarted, at a command
// boundary or not at all).
#include "engine/upload/upload_run.h"

namespace quorvel {

QString UploadRun::UploadFileName() const { return LastHexFile.isEmpty() ? FileDialogName : LastHexFile; }

void UploadRun::ReturnControlsToIdle() {
  SetEnabled(ButtonId::Connect, true);
  SetEnabled(ButtonId::OpenHex, true);
  EraseAnimation.stop();
  // While the run still counts as running: front ends show this last step of it.
  SetProgressPosition(0);
  if (State().UploadActive()) State().Set(Activity::UploadEnding);
  SetCaption(ButtonId::StartBootloader, text::kBeginUploading);
}

void UploadRun::AbortUpload(UploadResult why) {
  ReturnControlsToIdle();
  LastUpload = {why, text::kAbortContent};

  TTaskDialogTexts texts;
  texts.Title = text::kAbortTitle;
  texts.MainInstruction = text::kAbortInstruction;
  texts.Content = text::kAbortContent;
  texts.ExpandedText = QString(text::kAbortDetails).arg(UploadFileName());
  UI().ShowTaskDialog(texts);
  AppendHistory(text::kUploadAborted);
}

void UploadRun::CloseConnection() {
  Connected = false;
  SetCaption(ButtonId::Connect, text::kConnect);
  AppendHistory(text::kDisconnected);
  ReturnControlsToIdle();
  if (ActiveDevice == nullptr) {
    LastUpload.board = BoardAfterRun::Gone;
  } else {
    AppendHistory(text::kReset);
    const bool restarted = RestartBoard();
    LastUpload.board = restarted ? BoardAfterRun::Restarted : BoardAfterRun::NotRestarted;
    // "Reset..." alone would say the device restarts.
    if (!restarted) AppendError(text::kNotRestarted);
  }
  ReleaseBoardLock();
}

bool UploadRun::RestartBoard() {
  if (ActiveDevice == nullptr) return false;
  // A Reboot inside a Write's data would be stored as data, and the device
  // would stay in its bootloader in the middle of the command.
  if (!FinishWriteCommand()) return false;
  return SendReboot();
}

}  // namespace quorvel
