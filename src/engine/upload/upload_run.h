// SPDX-License-Identifier: Apache-2.0
#pragma once
// The upload run: the images to write, the command that runs them to the
// device inside the click on "Begin uploading", its two flash layouts, the
// block writers and the ways a run ends. It drives the link and the controls
// below it.
//
//   engine/upload/upload_command.cpp  ButtonStartBootloaderClick, PrepareUpload, EndRunAfterError
//   engine/upload/run_plan.cpp        RunPlan: the layouts, planned by upload/write_plan
//   engine/upload/writers.cpp         WriteFlashRange, WriteBootFlash
//   engine/upload/run_endings.cpp     AbortUpload, CloseConnection, ReturnControlsToIdle
//   engine/upload/upload_steps.*      erase loop, progress, the checks after each wait
#include <QString>
#include <cstdint>

#include "core/byte_array.h"
#include "engine/link/link.h"
#include "engine/outcomes.h"
#include "upload/run_state.h"

namespace quorvel {

namespace upload {
struct StagedRange;
struct UploadPlan;
}

class UploadRun : public Link {
 public:
  UploadRun(hid::HidPlatform& platform, Frontend& frontend) : Link(platform, frontend) {}

  void ButtonStartBootloaderClick();
  // Before anything is erased: false when the plan refuses the run (history
  // line, controls back to idle).
  bool PrepareUpload(const upload::UploadPlan& plan);
  // Runs the plan: its questions, program memory, the PIC32 boot flash.
  RunStep RunPlan(const upload::UploadPlan& plan);
  // Sends a staged range's planned Write commands.
  RunStep WriteFlashRange(const upload::StagedRange& range);
  void WriteBootFlash(const upload::UploadPlan& plan);
  // Ends a run the user stopped (or, `why` Declined, a question answered No):
  // controls back to idle, its dialog, the connection kept.
  void AbortUpload(UploadResult why = UploadResult::Stopped);
  // Ends a run after success or a device error: the connection dropped, the
  // board restarted (LastUpload.board says whether that could be done).
  void CloseConnection();
  // Restarts the active device with a Reboot it reads as a command: an
  // unfinished Write command is finished first. False when the Reboot could
  // not go out at a command boundary (then it is not sent at all).
  bool RestartBoard();
  // Sends the planned bytes the open Write command still owes the device,
  // without waiting for their answers, within a bound; false when that
  // cannot be done safely.
  bool FinishWriteCommand();
  // Controls back to how they are between runs: buttons enabled, no
  // animation, empty bar, "Begin uploading".
  void ReturnControlsToIdle();
  // True while an upload runs and no stop has been asked for.
  bool UploadRunning() const { return State().Current() == Activity::Uploading; }
  QString UploadFileName() const;  // LastHexFile, or the dialog's file name
  // Ends a run that an unexpected error cut short: logs the line and closes the
  // connection as after a device error.
  void EndRunAfterError(const QString& line);

  // The images built from the last file loaded, for BootInfo's family.
  TByteArray FlashImage;
  TByteArray BootFlashImage;
  bool HexLoaded = false;
  std::uint8_t HexMcuType = 0;
  // Path of the HEX file the images were last built from, whichever way it
  // was opened (dialog, drop, command line, the reload when a device reports):
  // the name the upload's result dialogs show. Set by LoadHexFile; while
  // empty, the dialog's file name is shown.
  QString LastHexFile;

  TUploadState Upload;  // the current run's working state
  // Write only the blocks that differ from erased flash (quorvel-cli --skip-blank).
  bool SkipBlank = false;
  // How the last click on Begin uploading ended (a stop request or a
  // deferred click leaves it as it was).
  UploadOutcome LastUpload;

 protected:
  ~UploadRun() = default;
};

}  // namespace quorvel
