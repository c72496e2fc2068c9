// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the engine's actions came to, as values a front end can act on
// without reading the texts it showed.
#include <QString>
#include <utility>

#include "image/firmware_file.h"
#include "image/hex_loader.h"
#include "protocol/wait_result.h"
#include "upload/run_state.h"

namespace quorvel {

// How far a step of an upload run got: on to the next step, or the run has
// been ended (stopped or declined: connection kept; ended: connection closed).
enum class RunStep { GoesOn, DeclinedOrStopped, Ended };

enum class UploadResult {
  NotStarted,      // no run: a precondition failed, or the click was a stop request or deferred
  Succeeded,       // written, the device restarted
  Stopped,         // the user stopped it; the device stays in its bootloader
  Declined,        // a question about ignored code was answered No
  DeviceError,     // a wait failed, the device reported a violation, or the run broke off
  Refused,         // the device's geometry is unsafe to upload to; nothing erased
  NothingToWrite,  // the images hold no byte for the device; nothing erased
};

// Where the end of a run left the board.
enum class BoardAfterRun {
  InBootloader,  // connection kept (stopped, declined, refused): waiting at a command boundary
  Restarted,     // a Reboot went out at a command boundary
  NotRestarted,  // still attached, but no Reboot could go out at a command boundary
  Gone,          // it went away before the run ended
};

struct UploadOutcome {
  UploadOutcome() = default;
  UploadOutcome(UploadResult r, QString why, UploadProof wrote = {})
      : result(r), reason(std::move(why)), proof(std::move(wrote)) {}

  UploadResult result = UploadResult::NotStarted;
  // The history line that says why the run did not succeed (empty when none
  // was logged); for runs that ended with a dialog, the dialog's sentence.
  QString reason;
  UploadProof proof;  // what a successful run wrote
  BoardAfterRun board = BoardAfterRun::InBootloader;
};

struct HexLoadOutcome {
  HexLoadStatus status = HexLoadStatus::NotLoaded;
  bool threw = false;  // the load broke off with an exception (shown as an application error)
  QString shown;       // the text of the message box the load showed; empty when none
  FirmwareFormat format = FirmwareFormat::IntelHex;  // what the file was read as
  DroppedData dropped{};  // data of the file the device does not keep

  // The file is not fit for a run: the user was told why.
  bool Refused() const { return threw || (status != HexLoadStatus::Loaded && status != HexLoadStatus::NotLoaded); }
  // The action that loaded the file ends here (nothing was loaded that can be used).
  bool EndsAction() const {
    return threw || status == HexLoadStatus::InvalidInteger || status == HexLoadStatus::Unreadable ||
           status == HexLoadStatus::TooLarge;
  }
};

}  // namespace quorvel
