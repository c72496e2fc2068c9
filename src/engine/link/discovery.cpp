// SPDX-License-Identifier: Apache-2.0
// Discovery: the device list filled from the transport, the bootloader
// opened and asked for its record, and what happens when it goes away.
#include <QString>

#include "engine/link/link.h"
#include "engine/texts.h"
#include "protocol/bootloader_id.h"
#include "protocol/frames.h"

namespace quorvel {

void Link::BoardsChanged() { HidCtlDeviceChange(); }

void Link::BoardRemoved(BoardConnection* listed, std::uint64_t instance, bool bootloaderProduct) {
  if (!bootloaderProduct) return;
  HidCtlRemoval(listed, instance);
}

void Link::HidCtlDeviceChange() {
  // While an exchange runs, re-listing would destroy the device object in
  // use and the information request would land in the middle of it. The
  // change is handled when the outermost busy section ends.
  if (Busy()) {
    State().SetDeviceChangePending(true);
    return;
  }
  State().SetDeviceChangePending(false);
  ClearDeviceList();
  for (ListedBoard& board : source_->List()) DeviceList.push_back({board.label, std::move(board.connection)});
  OpenBootloaderDevice();
  ++ChangesHandled;
}

void Link::HidCtlRemoval(BoardConnection* dev, std::uint64_t instance) {
  if (dev != nullptr) {
    for (TDeviceEntry& entry : DeviceList) {
      if (entry.Device.get() != dev) continue;
      // A gone device that is still listed is reported again by every scan.
      if (entry.RemovalSeen) return;
      entry.RemovalSeen = true;
    }
  }
  // Its lock goes with it: there is nothing left to keep others off.
  DropBoardLock(instance);
  // Another device with the bootloader's name went away; the one in use is
  // still there and the connection with it stays.
  if (ActiveDevice != nullptr && ActiveDevice != dev) return;

  SetActiveDevice(nullptr);
  BoardLoss loss = BoardLoss::Quiet;
  if (Connected) {
    // During an upload its wait notices the loss and ends the run.
    loss = UploadRunning() ? BoardLoss::DuringUpload : BoardLoss::ConnectionEnded;
    if (!UploadRunning()) Connected = false;
  } else if (ReenterHint) {
    loss = BoardLoss::ReenterHint;
  } else {
    ReenterHint = true;
  }
  events_.BoardLost(loss);
}

void Link::OpenBootloaderDevice() {
  ActiveDevice = nullptr;
  BoardInUse.clear();
  LastWait = WaitAcknowledged;
  if (listOnly_) return;
  const auto chosen = [this] {
    BoardConnection* dev = nullptr;
    for (const TDeviceEntry& entry : DeviceList) {
      BoardConnection* candidate = entry.Device.get();
      if (candidate == nullptr) continue;
      const std::u16string product = candidate->Product();
      if (!IsBootloaderProduct(product)) continue;
      // With several bootloaders on one bench the user names the one to use.
      if (!Preferred.serial.empty() && candidate->Serial() != Preferred.serial) continue;
      if (!Preferred.path.empty() && candidate->Path() != Preferred.path) continue;
      if (dev == nullptr) dev = candidate;
      // Every interface of a composite device carries the device's product
      // string: the bootloader's is the one whose reports fit.
      if (IsBootloader(product, candidate->InputReportBytes(), candidate->OutputReportBytes()).reportsFit) {
        dev = candidate;
        break;
      }
    }
    return dev;
  };
  BoardConnection* dev = chosen();
  if (dev == nullptr && Preferred.orFirst) {
    // The window's chosen board is gone: back to the first, as if never chosen.
    Preferred = {};
    dev = chosen();
  }
  if (dev == nullptr || !dev->ReadWrite()) {
    // None, or one usable for nothing but its name (later exchanges end by time-out).
    SetActiveDevice(dev);
    return;
  }
  const LockOutcome locked = LockBoard(dev, true);
  if (locked == LockOutcome::Gone) {
    // Unplugged while the lock was taken: its removal was reported, and the
    // deferred device change lists what is attached now.
    SetActiveDevice(nullptr);
    return;
  }
  if (locked == LockOutcome::InUseElsewhere) {
    // Another program is talking to it: a request now would land in the middle.
    SetActiveDevice(nullptr);
    BoardInUse = ListedLabel(dev);
    return;
  }
  SetActiveDevice(dev);
  TWaitResult result = WaitAcknowledged;
  {
    const TBusySection busy(*this);
    SendInfo();
    result = WaitResponse(Info, 1000);
  }
  if (result != WaitAcknowledged) {
    events_.AppendHistory(text::kNotInBootloaderMode);
    events_.AppendHistory(text::kResetDevice);
    ReenterHint = false;
    SetActiveDevice(nullptr);
  } else {
    events_.BoardAnswered();
  }
  ReleaseBoardLock();
}

}  // namespace quorvel
