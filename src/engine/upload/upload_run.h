// SPDX-License-Identifier: Apache-2.0
#pragma once
// The upload run: the images to write, a run of the write plan to the
// device (started by the engine's Upload, which is the click on "Begin
// uploading"), the block writers and the ways a run ends. It drives the link
// and the controls.
//
//   engine/upload/upload_run.cpp   RunUpload (the run of "Begin uploading"), PrepareUpload
//   engine/upload/run_plan.cpp     RunPlan: the layouts (UploadBootTop, UploadBootBottom) as planned by
//                                  upload/write_plan, and EraseProgramRange
//   engine/upload/writers.cpp      WriteFlashRange, WriteBootFlash, FinishWriteCommand
//   engine/upload/run_endings.cpp  AbortUpload, CloseConnection, RestartBoard, ReturnControlsToIdle,
//                                  the checks after each wait
#include <QString>
#include <cstdint>

#include "core/byte_array.h"
#include "engine/controls_model.h"
#include "engine/link/link.h"
#include "engine/outcomes.h"
#include "engine/upload/run_progress.h"
#include "image/hex_loader.h"
#include "upload/run_state.h"
#include "upload/write_plan.h"

namespace quorvel {

class EngineProbe;

class UploadRun {
 public:
  UploadRun(Link& link, ControlsModel& controls);
  UploadRun(const UploadRun&) = delete;
  UploadRun& operator=(const UploadRun&) = delete;

  // --- the images ---
  // Built from the last file loaded, for BootInfo's family (FlashImage,
  // BootFlashImage, HexLoaded, HexMcuType).
  THexImages& Images() { return images_; }
  const THexImages& Images() const { return images_; }
  // Path of the file the images were last built from, whichever way it was
  // opened: the name the upload's result dialogs show. While empty, the
  // file dialog's name is shown.
  void SetLastHexFile(const QString& name) { LastHexFile = name; }
  QString UploadFileName() const;

  // --- a run ---
  // Runs an upload to its end; the engine has checked it may start.
  // `skipBlank`: write only the blocks that differ from erased flash.
  void RunUpload(bool skipBlank);
  // No run: a precondition failed; the line says which.
  void NotStarted(const QString& line);
  // How the last run ended.
  const UploadOutcome& LastOutcome() const { return LastUpload; }
  void ForgetOutcome() { LastUpload = {}; }
  // Restarts the active device with a Reboot it reads as a command: an
  // unfinished Write command is finished first. False when the Reboot could
  // not go out at a command boundary (then it is not sent at all).
  bool RestartBoard();

 private:
  friend class EngineProbe;

  // --- upload_run.cpp ---
  // Before anything is erased: false when the plan refuses the run (history
  // line, controls back to idle).
  bool PrepareUpload(const upload::UploadPlan& plan);
  // After every block was acknowledged: a device that checks what it is sent
  // (the simulated one) may have seen flash written wrongly. False when the
  // run has been ended for it.
  bool NoViolationReported();
  void Succeed();
  // Ends a run that an unexpected error cut short: logs the line and closes the
  // connection as after a device error.
  void EndRunAfterError(const QString& line);

  // --- run_plan.cpp ---
  RunStep RunPlan(const upload::UploadPlan& plan);
  // The program erase: history line, progress maximum, button, EraseAnimation,
  // then the Erase commands. GoesOn, or the run has been ended.
  RunStep EraseProgramRange(const upload::ErasePlan& plan);

  // --- writers.cpp ---
  // Sends a staged range's planned Write commands.
  RunStep WriteFlashRange(const upload::StagedRange& range);
  void WriteBootFlash(const upload::UploadPlan& plan);
  // Sends a staged range's Write commands, each in transfers of at most one
  // transfer buffer, each transfer acknowledged before the next. `enableStop`:
  // the button becomes clickable (as Stop) once the first transfer is answered.
  RunStep SendStagedRange(const upload::StagedRange& range, UploadPhase phase, bool enableStop);
  // Sends the planned bytes the open Write command still owes the device,
  // without waiting for their answers, within a bound; false when that
  // cannot be done safely.
  bool FinishWriteCommand();

  // --- run_endings.cpp ---
  // Ends a run that was refused before anything was erased: one history line,
  // controls back to idle, connection kept (like a stop, without its dialog).
  // `why`: Refused or NothingToWrite.
  void RefuseUpload(UploadResult why, const QString& line);
  // After each wait of a run. An unacknowledged one ends the run: its error
  // line, then the connection closed. Returns Ended, or GoesOn.
  RunStep EndRunIfWaitFailed(TWaitResult result);
  // Between commands: a stop asked for meanwhile ends the run (its dialog, the
  // connection kept). Returns DeclinedOrStopped, or GoesOn.
  RunStep EndRunIfStopped();
  // Both checks, in that order: after an erase, and after a command's last chunk.
  RunStep EndRunIfFailedOrStopped(TWaitResult result);
  // Ends a run the user stopped (or, `why` Declined, a question answered No):
  // controls back to idle, its dialog, the connection kept.
  void AbortUpload(UploadResult why = UploadResult::Stopped);
  // Ends a run after success or a device error: the connection dropped, the
  // board restarted (LastUpload.board says whether that could be done).
  void CloseConnection();
  // Controls back to how they are between runs: buttons enabled, no
  // animation, empty bar, "Begin uploading".
  void ReturnControlsToIdle();

  Link& link_;
  ControlsModel& controls_;
  RunProgress progress_;
  THexImages images_;
  QString LastHexFile;
  TUploadState Upload;  // the current run's working state
  bool SkipBlank = false;
  UploadOutcome LastUpload;  // how the last run ended
};

}  // namespace quorvel
