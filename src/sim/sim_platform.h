// SPDX-License-Identifier: Apache-2.0
#pragma once
// SimHidPlatform: a HidPlatform whose interfaces are virtual and can be
// plugged, unplugged and faulted at run time.
//
// Bootloader interfaces answer through a BootloaderModel on the platform's own
// device thread, with the profile's pace per report in each direction, so the
// device objects' reader threads and their hand-over to the UI thread run
// exactly as with real hardware. A firmware that hangs (the stall fault)
// takes no further report: a write to it blocks and fails as on USB. Changes
// are announced through the change handler on the Qt event loop of the thread
// that installed it.
//
// All public functions may be called from the UI thread (tests, --simulate).
#include <QObject>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/hid_platform.h"
#include "sim/bootloader_model.h"

namespace quorvel::hid {
class WakeupReceiver;
}  // namespace quorvel::hid

namespace quorvel::sim {

struct GenericHidDescription {
  std::u16string product = u"Simulated HID";
  std::u16string serial;
  std::uint16_t vendorId = 0x1234;
  std::uint16_t productId = 0x5678;
  std::uint16_t version = 0x0100;
  std::uint16_t inputLength = 65;   // with the report-ID byte
  std::uint16_t outputLength = 65;
  bool queryOnly = false;
};

struct SimInterface;
class SimReadChannel;
class VirtualClock;
struct SimPlatformLink;

class SimHidPlatform : public hid::HidPlatform {
 public:
  SimHidPlatform();
  ~SimHidPlatform() override;

  // Plugs a simulated bootloader; returns its id (stable, never reused).
  int PlugBootloader(const SimProfile& profile);
  // Plugs a plain HID interface that answers nothing.
  int PlugGeneric(const GenericHidDescription& profileText);
  // Removes an interface. With `notify` false the change handler is not told,
  // so a controller still lists it (an interface that vanished an instant ago).
  void Unplug(int id, bool notify = true);
  void SetQueryOnly(int id, bool queryOnly);
  // The next `count` string reads of the interface fail.
  void FailStringReads(int id, int count);
  // The next `count` report writes to the interface block for `ms` and then
  // fail with `error`, as a USB device that stopped reading makes them do
  // (ETIMEDOUT after about 5 s).
  void StallWrites(int id, int count, int ms, std::uint32_t error);
  // Another program takes (or gives up) the interface's lock.
  void SetLockedElsewhere(int id, bool locked);
  // Puts one input report (report-ID byte first) into every open reader of the interface.
  void InjectInputReport(int id, const std::vector<std::uint8_t>& report);
  // Raises the change notification without any change.
  void NotifyChange();
  bool IsPlugged(int id) const;

  // The firmware model of a bootloader interface; nullptr for generic or
  // unknown ids. Survives unplugging until Forget(id). Read it only while the
  // device is idle (no exchange in progress), or through the locked helpers.
  BootloaderModel* Model(int id);
  std::string TraceText(int id) const;
  // The trace's lines from index `first` on, without line ends: a reader that
  // follows a running device asks only for what is new.
  std::vector<std::string> TraceLines(int id, std::size_t first) const;
  // Waits until every report written so far has been handled by the firmware
  // (its answers sent), or `timeoutMs` passed. Returns whether it got idle.
  // Callers that read the trace right after their last write use it.
  bool WaitIdle(int timeoutMs) const;
  // Waits until no read channel is open any more, or `timeoutMs` passed:
  // readers close theirs on their own threads, after their device is gone.
  bool WaitReadersClosed(int timeoutMs) const;
  std::vector<std::string> Violations(int id) const;
  // Runs `action` on the calling thread's event loop once interface `id` has
  // traced event `event` (1-based), before that event's answer reaches any
  // reader; simulated time stands still until it has run. One at a time.
  void AtEvent(int id, std::uint32_t event, std::function<void()> action);
  // Tells `handler` (on the Qt event loop of the thread that installed it)
  // of every protocol violation a simulated bootloader sees, as it happens.
  void SetViolationHandler(std::function<void(int id, const std::string& text)> handler);
  // Runs the simulated bootloaders on `clock` (nullptr: the machine's time).
  // Their answer times then pass on it, and it moves on only when no report
  // or answer is on its way. Call before plugging, on the clock's thread.
  void UseClock(VirtualClock* clock);
  void Forget(int id);
  // Reports written to / read from interface `id` so far.
  std::size_t OutputReportCount(int id) const;
  // Connections (write handles) opened to interface `id` so far; inspecting it
  // for its name and report lengths opens nothing.
  std::size_t OpenCount(int id) const;
  // Read channels of interface `id` open now. A reader opens its channel on
  // its own thread, so reports injected before it is open reach nobody.
  std::size_t ReaderCount(int id) const;
  // Product and serial reads of interface `id` so far, failed ones included.
  std::size_t StringReadCount(int id) const;

  // HidPlatform
  std::vector<hid::THidPnPInfo> Scan() override;
  std::unique_ptr<hid::HidConnection> Open(const hid::THidPnPInfo& info) override;
  std::unique_ptr<hid::HidConnection> Inspect(const hid::THidPnPInfo& info) override;
  bool LockedElsewhere(const hid::THidPnPInfo& info) override;
  std::shared_ptr<hid::HidReadChannel> OpenReader(const hid::THidPnPInfo& info, std::uint32_t& error) override;
  std::unique_ptr<hid::HidLock> Lock(const hid::THidPnPInfo& info, std::uint32_t& error) override;
  void SetChangeHandler(std::function<void()> handler) override;
  std::string ReportedViolation(const hid::THidPnPInfo& info) override;

  // Used by the connection objects.
  bool WriteOutput(int id, const std::uint8_t* data, std::size_t size, std::uint32_t& error);
  bool ReadString(int id, bool serial, std::u16string& text);
  // A connection or reader of interface `id` went away.
  void HandleClosed(int id);

 private:
  struct Job {
    int id = 0;
    std::vector<std::uint8_t> report;  // 64 data bytes
    bool closed = false;               // instead: the uploader's last handle was closed
  };
  std::shared_ptr<SimInterface> Find(int id) const;
  std::shared_ptr<SimInterface> FindByPath(const std::string& path) const;
  int Add(std::shared_ptr<SimInterface> iface);
  void Vanish(int id, bool notify);
  void PostChange();
  void DeviceThread();
  void HandleJob(std::unique_lock<std::mutex>& lock, Job& job);
  // Sends a reaction's replies and carries out its vanishing (device thread).
  void SendReaction(std::unique_lock<std::mutex>& lock, int id, const BootloaderModel::Reaction& reaction);
  // Sends a reaction's replies and carries out its vanishing (clock's thread).
  void Answer(int id, const BootloaderModel::Reaction& reaction);
  bool Settled() const;
  void PokeClock();
  void DeliverViolations();
  void RunAtEvent();

  std::shared_ptr<SimPlatformLink> link_;  // cut when the platform goes
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  mutable std::condition_variable idle_;
  bool processing_ = false;  // the device thread is handling a job (guarded by mutex_)
  std::map<int, std::shared_ptr<SimInterface>> interfaces_;  // plugged or forgotten-not-yet
  int nextId_ = 1;
  std::uint64_t nextInstance_ = 1;
  std::deque<Job> jobs_;
  // Answers the firmware gives later, on the machine's clock (a virtual
  // clock keeps its own); in order of `due`, then of `order`.
  struct DueAnswer {
    std::chrono::steady_clock::time_point due;
    std::uint64_t order = 0;
    int id = 0;
    BootloaderModel::Reaction reaction;
  };
  std::vector<DueAnswer> answers_;
  std::uint64_t nextAnswer_ = 0;
  bool stopping_ = false;
  std::function<void()> changeHandler_;
  hid::WakeupReceiver* changeContext_ = nullptr;  // where change notifications are posted (guarded by mutex_)
  bool changePending_ = false;                    // a change notification has not reached its handler yet
  VirtualClock* clock_ = nullptr;
  std::function<void(int, const std::string&)> violationHandler_;
  hid::WakeupReceiver* violationContext_ = nullptr;
  struct EventAction {
    int id = 0;
    std::uint32_t event = 0;
    std::function<void()> action;
  };
  EventAction atEvent_;
  bool atEventDue_ = false;  // its time came; it has not run yet
  hid::WakeupReceiver* atEventContext_ = nullptr;
  std::deque<std::pair<int, std::string>> pendingViolations_;
  std::thread device_;
};

}  // namespace quorvel::sim
