// SPDX-License-Identifier: Apache-2.0
// The engine's side of the HID link: the device list, picking the bootloader
// by its product string, and reacting when it goes away.
#include <QString>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "engine/pelmo.h"
#include "hid/hid_controller.h"
#include "hid/hid_device.h"
#include "io/display_text.h"
#include "hid/hid_platform.h"
#include "protocol/frames.h"

namespace quorvel {

// A device chooses its strings: nothing in them may steer a terminal or a label.
std::string TPelmo::DeviceName(hid::THidDevice* dev) {
  std::string label;
  const std::u16string product = dev->ProductString();
  if (!product.empty()) {
    label = io::PrintableText(QString::fromStdU16String(product).toStdString());
  } else {
    char text[40];
    std::snprintf(text, sizeof text, "Device VID=%.4X PID=%.4X",
                  static_cast<unsigned>(dev->Attributes().VendorID),
                  static_cast<unsigned>(dev->Attributes().ProductID));
    label = text;
  }
  const std::u16string serial = dev->SerialString();
  if (!serial.empty())
    label += " (Serial=" + io::PrintableText(QString::fromStdU16String(serial).toStdString()) + ")";
  return label;
}

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
    activity_.SetDeviceChangePending(true);
    return;
  }
  activity_.SetDeviceChangePending(false);
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
  if (boardLock_ && dev->PnPInfo().DeviceInstance == boardLockInstance_) boardLock_.reset();
  // Another device with the bootloader's name went away; the one in use is
  // still there and the connection with it stays.
  if (ActiveDevice != nullptr && ActiveDevice != dev) return;

  ActiveDevice = nullptr;
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
  if (dev == nullptr) return;

  if (!dev->ReadWriteAccess()) {
    // Usable for nothing but its name: later exchanges end by time-out.
    dev->SetDataHandler({});
    ActiveDevice = dev;
    return;
  }
  if (!LockBoard(dev, true)) {
    // Another program is talking to it: a request now would land in the middle.
    BoardInUse = ListedLabel(dev);
    return;
  }
  ActiveDevice = dev;
  dev->SetDataHandler({[this](hid::THidDevice* from, std::uint8_t id, const std::uint8_t* data,
                              std::uint16_t size) { ShowRead(from, id, data, size); },
                       reinterpret_cast<std::uintptr_t>(this) + 1});
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
    ActiveDevice = nullptr;
  } else {
    ShowBootInfo();
  }
  ReleaseBoardLock();
}

bool TPelmo::LockBoard(hid::THidDevice* dev, bool announce) {
  const std::uint64_t instance = dev->PnPInfo().DeviceInstance;
  if (boardLock_ && boardLockInstance_ == instance) return true;
  boardLock_.reset();
  std::uint32_t error = 0;
  boardLock_ = platform_.Lock(dev->PnPInfo(), error);
  if (boardLock_) {
    boardLockInstance_ = instance;
    busyAnnounced_ = 0;
    return true;
  }
  // Only a lock held elsewhere stops us; one that cannot be taken at all (a
  // node gone an instant ago) leaves the exchange to fail on its own.
  if (error != EWOULDBLOCK) return true;
  // Said once per board, not at every device change while the other program runs.
  if (announce && busyAnnounced_ != instance) {
    busyAnnounced_ = instance;
    AppendHistory(QString::fromStdString(ListedLabel(dev)) + text::kInUseElsewhere);
  }
  return false;
}

void TPelmo::ReleaseBoardLock() {
  if (!KeepBoardLock && !Connected) boardLock_.reset();
}

bool TPelmo::BoardInUseElsewhere(hid::THidDevice* dev) {
  if (dev == nullptr || (boardLock_ && boardLockInstance_ == dev->PnPInfo().DeviceInstance)) return false;
  std::uint32_t error = 0;
  const std::unique_ptr<hid::HidLock> probe = platform_.Lock(dev->PnPInfo(), error);
  return !probe && error == EWOULDBLOCK;
}

bool TPelmo::IsBootloaderProduct(hid::THidDevice* dev) {
  return dev->ProductString() == QString::fromLatin1(text::kBootloaderProductName).toStdU16String();
}

bool TPelmo::BootloaderReportsFit(hid::THidDevice* dev) {
  hid::THidCaps caps;
  dev->ReportCaps(caps);
  return caps.InputReportByteLength == 65 && caps.OutputReportByteLength == 65;
}

std::string TPelmo::ListedLabel(hid::THidDevice* dev) const {
  for (const TDeviceEntry& entry : DeviceList) {
    if (entry.Device.get() == dev) return entry.Label;
  }
  return {};
}

bool TPelmo::DevicePresent() const { return ActiveDevice != nullptr; }

bool TPelmo::WaitForDevice() {
  // Nothing can set ActiveDevice during the pauses (no events are processed):
  // this only gives a device that is being opened a few milliseconds.
  for (int pauses = 0;; ++pauses) {
    if (DevicePresent()) return true;
    if (pauses == 10) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace quorvel
