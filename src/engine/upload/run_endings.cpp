// SPDX-License-Identifier: Apache-2.0
// The two ways an upload run ends: stopped by the user (the connection stays,
// the device stays in its bootloader) or closed after success or a device
// error (the connection is dropped and the device restarted).
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
  if (ActiveDevice != nullptr) {
    AppendHistory(text::kReset);
    SendReboot();
  }
  ReleaseBoardLock();
}

}  // namespace quorvel
