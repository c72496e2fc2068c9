// SPDX-License-Identifier: Apache-2.0
#pragma once
// The link with the bootloader: the listed boards and the active one, the
// transfer buffer, the frames (Send*), the wait for an answer, the board lock,
// the information record received, discovery (what happens when boards come
// and go), and what the engine is doing while a wait processes events. It
// reaches boards through its transport (engine/link/board_connection.h), says
// what it did through LinkEvents, and knows nothing of controls or runs.
//
//   engine/link/link.cpp       boards, the board lock, busy sections, the record received
//   engine/link/discovery.cpp  BoardsChanged (HidCtlDeviceChange), BoardRemoved (HidCtlRemoval),
//                              OpenBootloaderDevice
//   engine/link/exchange.cpp   frames, WriteTransfer, acknowledgement tests, WaitResponse, ShowRead,
//                              the data a Write command still owes the device
#include <QString>
#include <QTimer>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/boot_info.h"
#include "core/byte_array.h"
#include "engine/activity.h"
#include "engine/engine_types.h"
#include "engine/link/board_connection.h"
#include "protocol/wait_clock.h"
#include "protocol/wait_result.h"

namespace quorvel {

class EngineProbe;

struct TDeviceEntry {
  std::string Label;                         // DeviceName of the device
  std::unique_ptr<BoardConnection> Device;   // checked-out device object, or none
  // Its removal has been handled once. A gone device stays listed until the
  // next (possibly deferred) re-listing, and the controller reports it again
  // with every scan; it must not log its removal twice.
  bool RemovalSeen = false;
};

// How the active board's removal left things, for what the window shows.
enum class BoardLoss {
  ConnectionEnded,  // it was connected: the connection is over
  DuringUpload,     // it was connected and a run goes on: the run's wait notices it
  ReenterHint,      // not connected: the user is told how to bring it back
  Quiet,            // not connected, and it was expected to go (a restart)
};

// What the link tells the engine above it.
class LinkEvents {
 public:
  virtual ~LinkEvents() = default;
  virtual void AppendHistory(const QString& line) = 0;
  // A history line that says why something failed.
  virtual void AppendError(const QString& line) = 0;
  // Discovery opened the chosen board and it sent its information record.
  virtual void BoardAnswered() = 0;
  // The active board went away (it is no longer active).
  virtual void BoardLost(BoardLoss loss) = 0;
  // The outermost busy section ended: the work deferred meanwhile may run.
  virtual void LinkIdle() = 0;
};

class Link final : public BoardEvents {
 public:
  static constexpr int TransferBufferMinimum = 64;

  Link(LinkEvents& events, const EngineOptions& options);
  ~Link() override;
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  // The transport the boards come from; set once, before the first event.
  void UseSource(BoardSource& source) { source_ = &source; }

  // --- frames and the wait for their answer (exchange.cpp) ---
  void SendSync();
  void SendInfo();
  void SendBoot();
  // True when the frame was written at a command boundary, so the device
  // reads it as a Reboot (and not as data of an unfinished Write).
  bool SendReboot();
  void SendWrite(std::uint32_t address, std::uint16_t count);
  void SendErase(std::uint32_t address, std::uint16_t count);
  // Stages `count` bytes in the transfer buffer (at most its length) and
  // sends them; the answer that follows overwrites them there.
  int WriteTransfer(const std::uint8_t* data, int count);
  bool CheckResponse(std::uint8_t command);
  TWaitResult WaitResponse(std::uint8_t command, int timeoutMs);
  TWaitResult LastWaitResult() const { return LastWait; }
  void ReportWaitError(TWaitResult result);
  // The history line of a failed wait; empty for WaitAcknowledged and WaitCancelled.
  static QString WaitErrorLine(TWaitResult result);
  void Timer2Timer();
  // Puts the response wait on another clock (tests: a virtual one shared with
  // a simulated device); nullptr goes back to the machine's clock and ResponseTimer.
  void UseWaitClock(TWaitClock* clock);
  // Reception. A report is taken only from the active device and only while
  // one of its transfers awaits an answer; any other is dropped and counted.
  void ShowRead(BoardConnection* from, const std::uint8_t* data, std::uint16_t size);
  std::uint64_t DroppedReportCount() const { return DroppedReports; }
  // The transfer buffer's length: chunks are this long; never below TransferBufferMinimum.
  std::size_t TransferBufferSize() const { return TransferBuffer.size(); }
  void SizeTransferBuffer(std::size_t bytes);

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

  // --- BoardEvents: what the transport reports (discovery.cpp, exchange.cpp) ---
  void BoardsChanged() override;
  void BoardRemoved(BoardConnection* listed, std::uint64_t instance, bool bootloaderProduct) override;
  void ReportReceived(BoardConnection* from, const std::uint8_t* data, std::uint16_t size) override;

  // --- discovery (discovery.cpp) ---
  // Takes the chosen bootloader among the listed devices, asks it for its
  // record and shows it (LinkEvents::BoardAnswered).
  void OpenBootloaderDevice();
  int DeviceChangesHandled() const { return ChangesHandled; }

  // --- boards (link.cpp) ---
  const std::vector<TDeviceEntry>& Devices() const { return DeviceList; }
  BoardConnection* Active() const { return ActiveDevice; }
  // Its DeviceList label; empty when not listed.
  std::string ListedLabel(const BoardConnection* dev) const;
  bool WaitForDevice();
  bool DevicePresent() const;
  // Makes `dev` (or none) the active device. Only its reports can reach the
  // exchange: every other listed board stops listening; `dev` listens unless
  // it may not be read.
  void SetActiveDevice(BoardConnection* dev);
  // Drops the active device and gives every listed device back.
  void ClearDeviceList();
  // One program per board: the bootloader's interface is locked before
  // anything is written to it, and kept while connected (the window) or for
  // the whole run (keepBoardLock: the command line). The lock is taken on an
  // I/O thread while events are processed (a busy section). InUseElsewhere
  // when another program has it (`announce` logs the line saying so); Gone
  // when `dev` went away meanwhile, is no longer attached once the lock is in,
  // or the waits were abandoned: then nothing may be sent to it.
  enum class LockOutcome { Locked, InUseElsewhere, Gone };
  LockOutcome LockBoard(BoardConnection* dev, bool announce);
  void ReleaseBoardLock();  // unless kept or connected
  bool BoardInUseElsewhere(BoardConnection* dev);
  // Gives the board lock up: the one held on `instance` (a device gone), or any.
  void DropBoardLock(std::optional<std::uint64_t> instance = std::nullopt);
  // The next "in use by another program" line is said again (a click is answered).
  void AnnounceBusyAgain() { busyAnnounced_ = 0; }
  // Which bootloader discovery takes when several are attached.
  void Choose(const BoardChoice& choice) { Preferred = choice; }
  const BoardChoice& Choice() const { return Preferred; }
  // The label of the bootloader discovery chose last when another program
  // had it (nothing was sent to it); empty otherwise.
  const std::string& BoardInUseLabel() const { return BoardInUse; }
  // The front end gives up on the device's answers (a second interrupt of the
  // command line): every wait, running or later, ends at once as cancelled.
  void AbandonWaits() { WaitsAbandoned = true; }
  // What the active board saw wrong in what it was sent (a simulated one).
  std::string ReportedViolation();

  // --- the board's record and the connection ---
  const TBootInfo& Record() const { return BootInfo; }
  // Before any board reported: the family named on the window's command line.
  void AssumeFamily(std::uint8_t code) { BootInfo.McuType = code; }
  bool IsConnected() const { return Connected; }
  void SetConnected(bool connected) { Connected = connected; }
  // Whether the next removal while disconnected tells how to re-enter the bootloader.
  void SetReenterHint(bool hint) { ReenterHint = hint; }
  bool ReenterHintSet() const { return ReenterHint; }

  // --- what the engine is doing, while waits process events ---
  const ActivityState& State() const { return activity_; }
  ActivityState& State() { return activity_; }
  // An exchange, handshake or upload runs: device changes are deferred (a
  // removal of the active device is still noticed at once).
  bool Busy() const { return activity_.Busy(); }
  // True while an upload runs and no stop has been asked for.
  bool UploadRunning() const { return activity_.Current() == Activity::Uploading; }
  // Ends a busy section; the outermost one hands over to LinkEvents::LinkIdle.
  void EndBusy();
  // Stops the response timer (the engine is going).
  void StopTimers() { ResponseTimer.stop(); }

 private:
  friend class EngineProbe;
  // Which reports the link takes: none, the answer of the transfer in
  // progress, or (while owed data is sent) answers to look at, not wait for.
  enum class Expecting { Nothing, Answer, DataAnswers };
  int Transmit(const std::uint8_t* data, int count, Expecting expecting);
  template <std::size_t N>
  int SendFrame(const std::array<std::uint8_t, N>& frame, Expecting expecting);
  void HidCtlDeviceChange();
  void HidCtlRemoval(BoardConnection* dev, std::uint64_t instance);
  // `dev` is still in the list and was not seen going away.
  bool StillListed(const BoardConnection* dev) const;

  LinkEvents& events_;
  BoardSource* source_ = nullptr;
  const bool keepBoardLock_;
  const bool listOnly_;

  TBootInfo BootInfo;  // the record the device sent
  bool ReenterHint = true;
  bool Connected = false;
  std::vector<TDeviceEntry> DeviceList;
  BoardConnection* ActiveDevice = nullptr;
  // The one staging buffer for both directions: frames and chunks from index
  // 0, received report payloads appended at RxCount.
  TByteArray TransferBuffer = TByteArray(64, 0);
  bool RxReady = false;
  std::uint16_t RxCount = 0;
  bool WaitExpired = false;
  TWaitResult LastWait = WaitAcknowledged;  // how the last WaitResponse ended
  std::uint64_t DroppedReports = 0;
  int ChangesHandled = 0;  // completed (not deferred) device-change handlings
  BoardChoice Preferred;
  std::string BoardInUse;
  bool WaitsAbandoned = false;
  QTimer ResponseTimer;  // ticks the response wait's time-out (Timer2)

  ActivityState activity_;
  Expecting expecting_ = Expecting::Nothing;
  // The last Write command sent: to which device, the data it still expects,
  // whether the device's place in it is known.
  struct OpenWrite {
    BoardConnection* device = nullptr;
    std::uint32_t owed = 0;
    bool lost = false;
  };
  OpenWrite openWrite_;
  std::unique_ptr<TWaitClock> machineClock_;
  TWaitClock* waitClock_ = nullptr;
  std::unique_ptr<BoardLock> boardLock_;
  std::uint64_t boardLockInstance_ = 0;  // the interface boardLock_ holds
  std::uint64_t busyAnnounced_ = 0;      // the interface whose "in use" line was logged last
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
