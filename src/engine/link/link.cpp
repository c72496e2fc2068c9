// SPDX-License-Identifier: Apache-2.0
// The link's devices: their labels, the bootloader among them, the board
// lock; busy sections; the information record received.
#include "engine/link/link.h"

#include <QString>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "hid/hid_controller.h"
#include "hid/hid_device.h"
#include "hid/hid_platform.h"
#include "io/display_text.h"

namespace quorvel {

Link::Link(hid::HidPlatform& platform, Frontend& frontend) : ControlsModel(frontend), platform_(platform) {
  ResponseTimer.setInterval(10);
  ResponseTimer.setSingleShot(false);
  ResponseTimer.setTimerType(Qt::PreciseTimer);
  // Its ticks reach Timer2Timer through the clock, which each wait starts.
  machineClock_ = MakeTimerWaitClock(ResponseTimer);
  waitClock_ = machineClock_.get();
}

Link::~Link() = default;

void Link::EndBusy() {
  if (activity_.LeaveBusy()) BusyEnded();
}

hid::THidDataEvent Link::DataHandler() {
  return {[this](hid::THidDevice* from, std::uint8_t id, const std::uint8_t* data, std::uint16_t size) {
            ShowRead(from, id, data, size);
          },
          reinterpret_cast<std::uintptr_t>(this) + 1};
}

void Link::SetActiveDevice(hid::THidDevice* dev) {
  const hid::THidDataEvent handler = DataHandler();
  // A board that gave its device object back carries the handler into the
  // fresh object; only the active board may keep it.
  for (const TDeviceEntry& entry : DeviceList) {
    hid::THidDevice* listed = entry.Device.get();
    if (listed != nullptr && listed != dev && listed->DataHandler() == handler) listed->SetDataHandler({});
  }
  ActiveDevice = dev;
  if (dev == nullptr) return;
  if (!dev->ReadWriteAccess()) {
    dev->SetDataHandler({});  // it has nothing to read from
  } else if (!(dev->DataHandler() == handler)) {
    dev->SetDataHandler(handler);
  }
}

void Link::ClearDeviceList() {
  ActiveDevice = nullptr;
  // Taken out of the list first: giving a device back may process events.
  std::vector<TDeviceEntry> entries = std::move(DeviceList);
  DeviceList.clear();
  entries.clear();
}

void Link::DropBoardLock(hid::THidDevice* dev) {
  if (dev == nullptr || (boardLock_ && dev->PnPInfo().DeviceInstance == boardLockInstance_)) boardLock_.reset();
}

bool Link::ParseBootInfo() {
  if (!RxReady) return false;
  RxReady = false;
  // Only the bytes actually received count; the rest of the buffer may hold an older answer.
  const std::size_t received = std::min<std::size_t>(RxCount, TransferBuffer.size());
  ParseBootInfoRecord(TransferBuffer.data(), received, BootInfo);
  return true;
}

// A device chooses its strings: nothing in them may steer a terminal or a label.
std::string Link::DeviceName(hid::THidDevice* dev) {
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

bool Link::LockBoard(hid::THidDevice* dev, bool announce) {
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

void Link::ReleaseBoardLock() {
  if (!KeepBoardLock && !Connected) boardLock_.reset();
}

bool Link::BoardInUseElsewhere(hid::THidDevice* dev) {
  if (dev == nullptr || (boardLock_ && boardLockInstance_ == dev->PnPInfo().DeviceInstance)) return false;
  std::uint32_t error = 0;
  const std::unique_ptr<hid::HidLock> probe = platform_.Lock(dev->PnPInfo(), error);
  return !probe && error == EWOULDBLOCK;
}

bool Link::IsBootloaderProduct(hid::THidDevice* dev) {
  return dev->ProductString() == QString::fromLatin1(text::kBootloaderProductName).toStdU16String();
}

bool Link::BootloaderReportsFit(hid::THidDevice* dev) {
  hid::THidCaps caps;
  dev->ReportCaps(caps);
  return caps.InputReportByteLength == 65 && caps.OutputReportByteLength == 65;
}

std::string Link::ListedLabel(hid::THidDevice* dev) const {
  for (const TDeviceEntry& entry : DeviceList) {
    if (entry.Device.get() == dev) return entry.Label;
  }
  return {};
}

bool Link::DevicePresent() const { return ActiveDevice != nullptr; }

bool Link::WaitForDevice() {
  // Nothing can set ActiveDevice during the pauses (no events are processed):
  // this only gives a device that is being opened a few milliseconds.
  for (int pauses = 0;; ++pauses) {
    if (DevicePresent()) return true;
    if (pauses == 10) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace quorvel
