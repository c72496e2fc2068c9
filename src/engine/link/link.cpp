// SPDX-License-Identifier: Apache-2.0
// The link's devices: the active one, the board lock; busy sections; the
// information record received.
#include "engine/link/link.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "engine/texts.h"

namespace quorvel {

Link::Link(LinkEvents& events, const EngineOptions& options)
    : events_(events), keepBoardLock_(options.keepBoardLock), listOnly_(options.listOnly) {
  ResponseTimer.setInterval(10);
  ResponseTimer.setSingleShot(false);
  ResponseTimer.setTimerType(Qt::PreciseTimer);
  // Its ticks reach Timer2Timer through the clock, which each wait starts.
  machineClock_ = MakeTimerWaitClock(ResponseTimer);
  waitClock_ = machineClock_.get();
}

Link::~Link() = default;

void Link::EndBusy() {
  if (activity_.LeaveBusy()) events_.LinkIdle();
}

void Link::SetActiveDevice(BoardConnection* dev) {
  // A board that gave its device object back carries the handler into the
  // fresh object; only the active board may keep it.
  for (const TDeviceEntry& entry : DeviceList) {
    BoardConnection* listed = entry.Device.get();
    if (listed != nullptr && listed != dev && listed->Listening()) listed->Listen(false);
  }
  ActiveDevice = dev;
  if (dev == nullptr) return;
  // One that may not be read has nothing to listen to.
  dev->Listen(dev->ReadWrite());
}

void Link::ClearDeviceList() {
  ActiveDevice = nullptr;
  // Taken out of the list first: giving a device back may process events.
  std::vector<TDeviceEntry> entries = std::move(DeviceList);
  DeviceList.clear();
  entries.clear();
}

void Link::DropBoardLock(std::optional<std::uint64_t> instance) {
  if (!instance || (boardLock_ && *instance == boardLockInstance_)) boardLock_.reset();
}

bool Link::ParseBootInfo() {
  if (!RxReady) return false;
  RxReady = false;
  // Only the bytes actually received count; the rest of the buffer may hold an older answer.
  const std::size_t received = std::min<std::size_t>(RxCount, TransferBuffer.size());
  ParseBootInfoRecord(TransferBuffer.data(), received, BootInfo);
  return true;
}

void Link::SizeTransferBuffer(std::size_t bytes) {
  TransferBuffer.resize(std::max<std::size_t>(bytes, TransferBufferMinimum), 0);
  RxCount = static_cast<std::uint16_t>(std::min<std::size_t>(RxCount, TransferBuffer.size()));
}

bool Link::StillListed(const BoardConnection* dev) const {
  return std::any_of(DeviceList.begin(), DeviceList.end(),
                     [&](const TDeviceEntry& entry) { return entry.Device.get() == dev && !entry.RemovalSeen; });
}

Link::LockOutcome Link::LockBoard(BoardConnection* dev, bool announce) {
  const std::uint64_t instance = dev->Instance();
  if (boardLock_ && boardLockInstance_ == instance) return LockOutcome::Locked;
  boardLock_.reset();
  std::uint32_t error = 0;
  std::unique_ptr<BoardLock> lock;
  {
    // Busy: a device change meanwhile is deferred, so `dev` stays a listed
    // object; a removal is still noticed and ends the wait.
    const TBusySection busy(*this);
    const std::unique_ptr<PendingBoardLock> pending = source_->StartLock(*dev);
    while (!pending->Done() && StillListed(dev) && !WaitsAbandoned) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    if (!StillListed(dev) || WaitsAbandoned) return LockOutcome::Gone;
    lock = pending->Take(error);
  }
  // Unplugged while the lock was taken, and not yet seen going (the removal
  // may wait for the device change that is running now): nothing goes out.
  // A lock taken meanwhile is let go with `lock`.
  if (!source_->Attached(*dev)) return LockOutcome::Gone;
  if (lock) {
    boardLock_ = std::move(lock);
    boardLockInstance_ = instance;
    busyAnnounced_ = 0;
    return LockOutcome::Locked;
  }
  // Only a lock held elsewhere stops us; one that cannot be taken at all (a
  // node gone an instant ago) leaves the exchange to fail on its own.
  if (error != EWOULDBLOCK) return LockOutcome::Locked;
  // Said once per board, not at every device change while the other program runs.
  if (announce && busyAnnounced_ != instance) {
    busyAnnounced_ = instance;
    events_.AppendHistory(QString::fromStdString(ListedLabel(dev)) + text::kInUseElsewhere);
  }
  return LockOutcome::InUseElsewhere;
}

void Link::ReleaseBoardLock() {
  if (!keepBoardLock_ && !Connected) boardLock_.reset();
}

bool Link::BoardInUseElsewhere(BoardConnection* dev) {
  if (dev == nullptr || (boardLock_ && boardLockInstance_ == dev->Instance())) return false;
  return source_->LockedElsewhere(*dev);
}

std::string Link::ReportedViolation() {
  return ActiveDevice != nullptr ? source_->ReportedViolation(*ActiveDevice) : std::string();
}

std::string Link::ListedLabel(const BoardConnection* dev) const {
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
