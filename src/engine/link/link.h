// SPDX-License-Identifier: Apache-2.0
#pragma once
// The link with the bootloader: the listed devices and the active one, the
// transfer buffer, the frames (Send*), the wait for an answer, the board lock,
// the information record received, and what the engine is doing while a wait
// processes events. It shows what it does on the controls below it and knows
// nothing of upload runs.
//
//   engine/link/link.cpp      devices, the board lock, busy sections, the record received
//   engine/link/exchange.cpp  frames, WriteTransfer, acknowledgement tests, WaitResponse, ShowRead,
//                             the data a Write command still owes the device
#include <QString>
#include <QTimer>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/boot_info.h"
#include "core/byte_array.h"
#include "engine/activity.h"
#include "engine/controls_model.h"
#include "hid/hid_types.h"
#include "protocol/wait_clock.h"
#include "protocol/wait_result.h"

namespace quorvel {

namespace hid {
class HidLock;
class HidPlatform;
class THidDevice;
class THidDeviceController;
}  // namespace hid

struct TDeviceEntry {
  std::string Label;                       // DeviceName of the device
  std::unique_ptr<hid::THidDevice> Device;  // checked-out device object, or none
  // Its removal has been handled once. A gone device stays listed until the
  // next (possibly deferred) re-listing, and the controller reports it again
  // with every scan; it must not log its removal twice.
  bool RemovalSeen = false;
};

class Link : public ControlsModel {
 public:
  static constexpr int TransferBufferMinimum = 64;

  Link(hid::HidPlatform& platform, Frontend& frontend);

  // --- frames and the wait for their answer (exchange.cpp) ---
  void SendSync();
  void SendInfo();
  void SendBoot();
  // True when the frame was written at a command boundary, so the device
  // reads it as a Reboot (and not as data of an unfinished Write).
  bool SendReboot();
  void SendWrite(std::uint32_t address, std::uint16_t count);
  void SendErase(std::uint32_t address, std::uint16_t count);
  int WriteTransfer(const TByteArray& data, int count);
  bool CheckResponse(std::uint8_t command);
  TWaitResult WaitResponse(std::uint8_t command, int timeoutMs);
  TWaitResult LastWaitResult = WaitAcknowledged;  // how the last WaitResponse ended
  void ReportWaitError(TWaitResult result);
  // The history line of a failed wait; empty for WaitAcknowledged and WaitCancelled.
  static QString WaitErrorLine(TWaitResult result);
  void Timer2Timer();
  // Puts the response wait on another clock (tests: a virtual one shared with
  // a simulated device); nullptr goes back to the machine's clock and ResponseTimer.
  void UseWaitClock(TWaitClock* clock);
  // Reception. A report is taken only from the active device and only while
  // one of its transfers awaits an answer; any other is dropped and counted.
  void ShowRead(hid::THidDevice* dev, std::uint8_t reportId, const std::uint8_t* data, std::uint16_t size);
  std::uint64_t DroppedReports = 0;

  // --- the data phase of a Write command (exchange.cpp) ---
  // After a Write frame the device takes every report as data until the
  // announced bytes have arrived; a frame sent meanwhile is stored as data.
  // Bytes the active device still expects for its Write command; 0 at a
  // command boundary.
  std::uint32_t DataOwed() const;
  // The device's place inside that command is unknown (a chunk answered with
  // anything but its acknowledgement, a report that may not have arrived):
  // nothing more may be sent to it, not even a Reboot.
  bool DataPhaseLost() const;
  // Sends `count` bytes of the open Write command without waiting for their
  // answer: each report must be taken by the device within `reportMs`, all of
  // them before the wait clock reads `deadlineMs`. Answers that come
  // meanwhile are looked at: anything but an acknowledgement loses the data
  // phase. False when a report was not taken in time, failed, or the device
  // went away (the data phase is then lost too).
  bool SendOwedData(const std::uint8_t* data, int count, int reportMs, std::int64_t deadlineMs);
  std::int64_t WaitClockNowMs() const;
  // Takes the information record from the transfer buffer into BootInfo.
  bool ParseBootInfo();

  // --- devices (link.cpp) ---
  std::string DeviceName(hid::THidDevice* dev);
  std::string ListedLabel(hid::THidDevice* dev) const;  // its DeviceList label; empty when not listed
  // The bootloader's reports carry 64 data bytes each way, after the report
  // ID; the other interfaces of a composite device, same product string, do not.
  static bool BootloaderReportsFit(hid::THidDevice* dev);
  // The device calls itself the bootloader (so do the other interfaces of a composite one).
  static bool IsBootloaderProduct(hid::THidDevice* dev);
  bool WaitForDevice();
  bool DevicePresent() const;
  // Makes `dev` (or none) the active device. Only its reports can reach the
  // exchange: every other listed board loses the data handler, and with it
  // its reader; `dev` gets it unless it may not be read.
  void SetActiveDevice(hid::THidDevice* dev);
  // Drops the active device and gives every listed device back.
  void ClearDeviceList();
  // One program per board: the bootloader's interface is locked before
  // anything is written to it, and kept while connected (the window) or for
  // the whole run (KeepBoardLock: the command line). False when another
  // program has it; `announce` logs the line saying so.
  bool LockBoard(hid::THidDevice* dev, bool announce);
  void ReleaseBoardLock();  // unless kept or connected
  bool BoardInUseElsewhere(hid::THidDevice* dev);
  // Gives the board lock up: the one held on `dev` (a device gone), or any (nullptr).
  void DropBoardLock(hid::THidDevice* dev = nullptr);

  // --- what the engine is doing, while waits process events ---
  const ActivityState& State() const { return activity_; }
  ActivityState& State() { return activity_; }
  // An exchange, handshake or upload runs: device changes are deferred (a
  // removal of the active device is still noticed at once).
  bool Busy() const { return activity_.Busy(); }
  // Ends a busy section; the outermost one hands over to BusyEnded.
  void EndBusy();

  TBootInfo BootInfo;  // the record the device sent
  bool ReenterHint = true;
  bool WaitExpired = false;
  bool Connected = false;
  std::vector<TDeviceEntry> DeviceList;
  hid::THidDevice* ActiveDevice = nullptr;
  TByteArray TransferBuffer = TByteArray(64, 0);
  bool RxReady = false;
  std::uint16_t RxCount = 0;
  // Non-empty: discovery takes only the bootloader with this serial number
  // (quorvel-cli --serial, for benches with several bootloaders attached).
  std::u16string PreferredSerial;
  // Non-empty: discovery takes only the interface at this platform path
  // (quorvel-cli --device).
  std::string PreferredPath;
  bool KeepBoardLock = false;
  // The label of the bootloader discovery chose last when another program
  // had it (nothing was sent to it); empty otherwise.
  std::string BoardInUse;
  // The front end gives up on the device's answers (a second interrupt of the
  // command line): every wait, running or later, ends at once as cancelled,
  // so the run ends through CloseConnection and its Reboot.
  bool WaitsAbandoned = false;

  QTimer ResponseTimer;  // ticks the response wait's time-out
  std::unique_ptr<hid::THidDeviceController> HidCtl;

 protected:
  ~Link();
  // The outermost busy section ended: the work deferred meanwhile may run.
  virtual void BusyEnded() {}

  hid::HidPlatform& platform_;
  std::uint64_t busyAnnounced_ = 0;  // the interface whose "in use" line was logged last

 private:
  // Which reports the link takes: none, the answer of the transfer in
  // progress, or (while owed data is sent) answers to look at, not wait for.
  enum class Expecting { Nothing, Answer, DataAnswers };
  int Transmit(const std::uint8_t* data, int count, Expecting expecting);
  template <std::size_t N>
  int SendFrame(const std::array<std::uint8_t, N>& frame, Expecting expecting);
  hid::THidDataEvent DataHandler();

  ActivityState activity_;
  Expecting expecting_ = Expecting::Nothing;
  // The last Write command sent: to which device, the data it still expects,
  // whether the device's place in it is known.
  struct OpenWrite {
    hid::THidDevice* device = nullptr;
    std::uint32_t owed = 0;
    bool lost = false;
  };
  OpenWrite openWrite_;
  std::unique_ptr<TWaitClock> machineClock_;
  TWaitClock* waitClock_ = nullptr;
  std::unique_ptr<hid::HidLock> boardLock_;
  std::uint64_t boardLockInstance_ = 0;  // the interface boardLock_ holds
};

// Marks a busy section (exchange, handshake, upload) for its lifetime, so
// device changes are deferred until the outermost one ends.
class TBusySection {
 public:
  explicit TBusySection(Link& link) : link_(link) { link_.State().EnterBusy(); }
  ~TBusySection() { link_.EndBusy(); }
  TBusySection(const TBusySection&) = delete;
  TBusySection& operator=(const TBusySection&) = delete;

 private:
  Link& link_;
};

}  // namespace quorvel
