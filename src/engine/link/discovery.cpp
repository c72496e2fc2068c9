// SPDX-License-Identifier: Apache-2.0
// Discovery: the device list filled from the controller, the bootloader
// opened and asked for its record, and what happens when it goes away.
#include <QString>

#include "engine/pelmo.h"
#include "hid/hid_controller.h"
#include "hid/hid_device.h"
#include "hid/hid_platform.h"
#include "protocol/frames.h"

namespace quorvel {

bool TPelmo::HidCtlEnumerate(hid::THidDevice* dev, std::int32_t idx) {
  DeviceList.push_back({DeviceName(dev), nullptr});
  const std::size_t i = DeviceList.size() - 1;
  hid::THidDevice* checkedOut = nullptr;
  if (HidCtl->CheckOutByIndex(checkedOut, idx)) DeviceList[i].Device.reset(checkedOut);
  return true;
}

void TPelmo::HidCtlDeviceChange(hid::THidDeviceController* /*sender*/) {
  // While an exchange runs, re-listing would destroy the device object in
  // use and the information request would land in the middle of it. The
  // change is handled when the outermost busy section ends.
  if (Busy()) {
    State().SetDeviceChangePending(true);
    return;
  }
  State().SetDeviceChangePending(false);
  ClearDeviceList();
  HidCtl->Enumerate();
  OpenBootloaderDevice(text::kBootloaderProductName);
  ++DeviceChangesHandled;
}

void TPelmo::HidCtlRemoval(hid::THidDevice* dev) {
  if (!IsBootloaderProduct(dev)) return;
  for (TDeviceEntry& entry : DeviceList) {
    if (entry.Device.get() != dev) continue;
    // A gone device that is still listed is reported again by every scan.
    if (entry.RemovalSeen) return;
    entry.RemovalSeen = true;
  }
  // Its lock goes with it: there is nothing left to keep others off.
  DropBoardLock(dev);
  // Another device with the bootloader's name went away; the one in use is
  // still there and the connection with it stays.
  if (ActiveDevice != nullptr && ActiveDevice != dev) return;

  SetActiveDevice(nullptr);
  if (Connected) {
    ClearTerminal();
    // During an upload its wait notices the loss and ends the run.
    if (!UploadRunning()) {
      Connected = false;
      SetCaption(ButtonId::Connect, text::kConnect);
      AppendHistory(text::kDeviceRemovedLine);
      AppendHistory(text::kDisconnected);
    }
  } else if (ReenterHint) {
    AppendHistory(text::kReenterHint);
  } else {
    ReenterHint = true;
  }
  MCUComboBox.Items.clear();
  MCUComboBox.ItemIndex = -1;
  DeviceComboBox.Items.clear();
  DeviceComboBox.ItemIndex = -1;
  LinkIndicator = 0;
  UI().DeviceInfoChanged();
}

void TPelmo::HidCtlArrival(hid::THidDevice* /*dev*/) {}

void TPelmo::HidCtlDeviceDataError(hid::THidDevice* /*dev*/, std::uint32_t /*error*/) {}

void TPelmo::OpenBootloaderDevice(const std::string& name) {
  ActiveDevice = nullptr;
  BoardInUse.clear();
  LastWaitResult = WaitAcknowledged;
  const std::u16string wanted = QString::fromStdString(name).toStdU16String();
  hid::THidDevice* dev = nullptr;
  for (const TDeviceEntry& entry : DeviceList) {
    hid::THidDevice* candidate = entry.Device.get();
    if (candidate == nullptr || candidate->ProductString() != wanted) continue;
    // With several bootloaders on one bench the command line names the one to use.
    if (!PreferredSerial.empty() && candidate->SerialString() != PreferredSerial) continue;
    if (!PreferredPath.empty() && candidate->PnPInfo().InterfacePath != PreferredPath) continue;
    if (dev == nullptr) dev = candidate;
    // Every interface of a composite device carries the device's product
    // string: the bootloader's is the one whose reports fit.
    if (BootloaderReportsFit(candidate)) {
      dev = candidate;
      break;
    }
  }
  if (dev == nullptr || !dev->ReadWriteAccess()) {
    // None, or one usable for nothing but its name (later exchanges end by time-out).
    SetActiveDevice(dev);
    return;
  }
  if (!LockBoard(dev, true)) {
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
    AppendHistory(text::kNotInBootloaderMode);
    AppendHistory(text::kResetDevice);
    ReenterHint = false;
    SetActiveDevice(nullptr);
  } else {
    ShowBootInfo();
  }
  ReleaseBoardLock();
}









}  // namespace quorvel
