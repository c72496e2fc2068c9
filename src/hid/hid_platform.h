// SPDX-License-Identifier: Apache-2.0
#pragma once
// The seam between the device objects/controller and the operating system.
//
// Two implementations exist: the Linux one (hidraw + libudev, src/hid/linux)
// and the simulated one (src/sim). Everything here except HidReadChannel::Read,
// OpenReader and Lock is called on the thread that owns the controller (the
// Qt UI thread).
#include <cerrno>
#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/hid_types.h"

namespace quorvel::hid {

// A synchronous handle to one interface: what an open query handle allows.
// Opened read/write, or query-only when the system refused read/write access
// (then Write always fails). Closed by destruction.
class HidConnection {
 public:
  virtual ~HidConnection() = default;
  virtual bool ReadWriteAccess() const = 0;
  virtual bool GetAttributes(THidAttributes& attributes) = 0;
  // UTF-16 strings without terminator; false when the string cannot be read.
  virtual bool GetProductString(std::u16string& text) = 0;
  // An empty string with a true result means "the device has no serial number".
  virtual bool GetSerialString(std::u16string& text) = 0;
  // Report lengths including the report-ID byte; false when unknown.
  virtual bool GetCaps(THidCaps& caps) = 0;
  // Writes one whole output report (report-ID byte first). `error` receives a
  // system error code on failure.
  virtual bool Write(const std::uint8_t* data, std::size_t size, std::size_t& written, std::uint32_t& error) = 0;
};

// The reader's handle. Read runs on the reader thread; Close and Interrupt may
// be called on any thread at any time. Close wakes a Read in progress, which
// then returns kClosed, and the underlying descriptor is released only once no
// Read uses it.
class HidReadChannel {
 public:
  enum class Status { kData, kTimeout, kClosed, kError };
  struct Result {
    Status status = Status::kTimeout;
    std::size_t size = 0;     // kData: bytes in the buffer, report-ID byte first
    std::uint32_t error = 0;  // kError: system error code
  };
  virtual ~HidReadChannel() = default;
  // Waits at most `timeoutMs` for one input report. A device that sends no
  // report IDs has 0 put in front of its data so every report starts with its ID.
  virtual Result Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs) = 0;
  virtual void Close() = 0;
  // Ends the Read in progress, or else the next one, at once with kTimeout, so
  // a reader told to stop need not wait out its slice.
  virtual void Interrupt() = 0;
};

// An advisory lock on one interface, held for the object's life.
class HidLock {
 public:
  virtual ~HidLock() = default;
};

class HidPlatform;
class WakeupReceiver;
struct LockRequestState;

// A lock being taken on the platform's lock thread (HidPlatform::LockAsync),
// held by the thread that asked. Destroyed before it was taken, the lock is
// let go on the lock thread once it arrives.
class PendingHidLock {
 public:
  PendingHidLock(HidPlatform& platform, std::shared_ptr<LockRequestState> state);
  ~PendingHidLock();
  PendingHidLock(const PendingHidLock&) = delete;
  PendingHidLock& operator=(const PendingHidLock&) = delete;

  // Whether the result is in. Its arrival wakes the asking thread's event loop.
  bool Done() const;
  // The lock, or nullptr with `error` as HidPlatform::Lock gives it; only once Done().
  std::unique_ptr<HidLock> Take(std::uint32_t& error);

 private:
  HidPlatform& platform_;
  std::shared_ptr<LockRequestState> state_;
  WakeupReceiver* wake_;
};

class HidPlatform {
 public:
  // Waits for the reader threads still closing channels of this platform,
  // and for the lock thread's work.
  virtual ~HidPlatform();
  HidPlatform() = default;
  HidPlatform(const HidPlatform&) = delete;
  HidPlatform& operator=(const HidPlatform&) = delete;

  // False when the platform cannot list devices at all (the controller then
  // stays inert: no scans, no events).
  virtual bool Available() const { return true; }
  // Every HID interface present now, in a stable order.
  virtual std::vector<THidPnPInfo> Scan() = 0;
  // What Scan() would list for the interface at `interfacePath` (nothing when
  // it is not present), without looking at any other.
  virtual std::vector<THidPnPInfo> ScanPath(const std::string& interfacePath) {
    std::vector<THidPnPInfo> found;
    for (THidPnPInfo& info : Scan()) {
      if (info.InterfacePath == interfacePath) found.push_back(std::move(info));
    }
    return found;
  }
  // Opens read/write, or query-only when read/write is refused; nullptr when
  // the interface cannot be opened at all (gone, or not a HID interface).
  virtual std::unique_ptr<HidConnection> Open(const THidPnPInfo& info) = 0;
  // What the system knows of the interface without opening it: attributes,
  // strings and report lengths, and whether an Open would get read/write
  // access. Its Write always fails. Opening a node costs tens of milliseconds
  // and takes a lock the kernel shares among all HID nodes, so scans and
  // listings use this; a platform that can learn nothing without opening
  // opens.
  virtual std::unique_ptr<HidConnection> Inspect(const THidPnPInfo& info) { return Open(info); }
  // Opens the reader's handle; nullptr (and `error`) on failure. May be called
  // on the reader thread.
  virtual std::shared_ptr<HidReadChannel> OpenReader(const THidPnPInfo& info, std::uint32_t& error) = 0;
  // Takes an exclusive advisory lock on the interface without waiting, so two
  // programs that both take it never write to one device at once. Runs on the
  // lock thread (LockAsync); a lock is destroyed there too (ReleaseAsync). nullptr
  // with `error` EWOULDBLOCK when another holder has it; any other error means
  // the lock cannot be taken at all (no access, gone). A platform without
  // locks has nothing to keep apart.
  virtual std::unique_ptr<HidLock> Lock(const THidPnPInfo& info, std::uint32_t& error) {
    (void)info;
    error = 0;
    return std::make_unique<HidLock>();
  }
  // Lock() on the platform's lock thread: opening and locking a node can wait
  // seconds on the kernel's lock shared by all HID nodes, which must not
  // freeze the UI thread. Requests and releases run one after the other in
  // the order made, so a lock let go is gone before the next one is taken.
  std::unique_ptr<PendingHidLock> LockAsync(const THidPnPInfo& info);
  // Lets `lock` go on the lock thread (closing a node can wait as long).
  void ReleaseAsync(std::unique_ptr<HidLock> lock);
  // Another program holds the interface's lock. A platform that can see
  // locks without taking them says so without touching the interface; the
  // fallback tries the lock and lets it go at once.
  virtual bool LockedElsewhere(const THidPnPInfo& info) {
    std::uint32_t error = 0;
    return !Lock(info, error) && error == EWOULDBLOCK;
  }
  // Installs the change notification. The platform calls it on the Qt event
  // loop of the thread that installed it, after interfaces came or went (bursts
  // may be coalesced). An empty function uninstalls it.
  virtual void SetChangeHandler(std::function<void()> handler) = 0;
  // The first protocol violation the device itself saw in what it was sent,
  // or an empty string. Only a simulated bootloader checks that; a real one
  // reports nothing here.
  virtual std::string ReportedViolation(const THidPnPInfo& /*info*/) { return {}; }

  // A device's reader thread closes its channel itself, after the device may
  // be gone (a close can wait seconds on the kernel's lock shared by all HID
  // nodes). The platform counts such threads and outlives them.
  void ReaderStarted() {
    std::lock_guard lock(readersM_);
    ++readers_;
  }
  void ReaderEnded() {
    std::lock_guard lock(readersM_);
    --readers_;
    readersCv_.notify_all();
  }

 protected:
  // A platform whose channels or locks use its own members calls this first
  // in its destructor.
  void WaitForReaders() {
    std::unique_lock lock(readersM_);
    readersCv_.wait(lock, [&] { return readers_ == 0; });
  }

 private:
  struct LockJob {
    std::shared_ptr<LockRequestState> take;
    std::unique_ptr<HidLock> release;
  };
  void Queue(LockJob job);
  void LockThread();

  std::mutex readersM_;
  std::condition_variable readersCv_;
  int readers_ = 0;
  // The lock thread, started with the first job; each queued job counts as a reader until done.
  std::mutex jobsM_;
  std::condition_variable jobsCv_;
  std::deque<LockJob> jobs_;
  bool jobsStop_ = false;
  std::thread lockThread_;
};

}  // namespace quorvel::hid
