// SPDX-License-Identifier: Apache-2.0
#pragma once
// The Linux HID platform: hidraw device nodes found and watched through libudev.
//
// Identity of an interface: a hash of its hidraw sysfs path. The path holds the
// HID device's sequence number ("0003:04D8:003C.0007"), which the kernel never
// reuses while running, so a device replugged between two scans is a new
// interface even when it gets the same /dev/hidrawN.
//
// Strings: product and serial from the USB device's sysfs attributes, else from
// the HID uevent (HID_NAME, HID_UNIQ; a uhid device has no USB parent). The
// language-ID list (string descriptor 0) cannot be read through hidraw, so the
// serial number is taken as the system reports it, without that comparison.
//
// All of these are read from sysfs, so a scan, a listing and the device names
// open no node: an open of a usbhid node costs ~60 ms and takes the lock the
// kernel shares among all hidraw nodes. Whether another program holds a node's
// lock is read from /proc/locks. Only the board being talked to is opened.
//
// Report lengths from the report descriptor (sysfs, readable without access to
// the node, else HIDIOCGRDESC). An unnumbered device's input reports arrive
// without an ID byte and are handed on with a 0 in front; writes go out as the
// caller gives them (a leading 0 is the hidraw convention for "no report ID").
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "hid/hid_platform.h"
#include "hid/linux/linux_sys.h"

struct udev;
struct udev_monitor;
class QSocketNotifier;
class QTimer;

namespace quorvel::hid::linux_hid {

// What sysfs and udev say about one hidraw interface.
struct InterfaceFacts {
  std::string devnode;  // /dev/hidrawN
  std::string syspath;
  std::string hidId;    // HID_ID from the HID parent's uevent: "0003:000004D8:0000003C"
  std::string hidName;  // HID_NAME
  std::string hidUniq;  // HID_UNIQ
  bool hasUsbParent = false;
  std::string usbProduct, usbSerial, usbBcdDevice;
  std::vector<std::uint8_t> descriptor;  // empty when sysfs did not give it
};

std::uint64_t IdentityOf(const std::string& syspath);
// Reads the facts of the interface at info.InterfacePath from sysfs (through
// `sys`, so tests can give a tree of their own). False when it is gone or its
// node now belongs to another device than the one scanned.
bool ReadFacts(LinuxSys& sys, const THidPnPInfo& info, InterfaceFacts& facts);
// Whether /proc/locks (its text in `locks`) shows a flock on the file
// `device`:`inode` held by a process other than `self`. Waiters and lines
// that cannot be read hold nothing.
bool FlockHeldElsewhere(const std::string& locks, unsigned major, unsigned minor, std::uint64_t inode, long self);
// "0003:000004D8:0000003C" -> vendor/product; false when malformed.
bool ParseHidId(const std::string& hidId, std::uint16_t& vendor, std::uint16_t& product);

// One open descriptor of a hidraw node, shared by what talks to one board
// (its lock, reader and writer): each open and close of a node takes the lock
// the kernel shares among all hidraw nodes, and usbhid sleeps ~50 ms in open,
// so a board costs one open, not three. Closed when the last holder lets go,
// on that holder's (I/O) thread.
class SharedNode {
 public:
  SharedNode(LinuxSys& sys, int fd, bool readWrite) : sys_(sys), fd_(fd), readWrite_(readWrite) {}
  ~SharedNode() { sys_.Close(fd_); }
  SharedNode(const SharedNode&) = delete;
  SharedNode& operator=(const SharedNode&) = delete;
  int Fd() const { return fd_; }
  bool ReadWrite() const { return readWrite_; }
  // flock(LOCK_EX | LOCK_NB) through this description. A second lock while
  // one is held is refused with EWOULDBLOCK, as a lock on a description of
  // its own would be: one holder at a time, in this program too.
  bool TryLock(std::uint32_t& error);
  void Unlock();
  // Every open description gets its own copy of each input report; two
  // readers on one would take reports from each other. Waits at most `wait`
  // for the reader it has (an older device object's, closing) to let go;
  // false when it has not.
  bool AttachReader(std::chrono::milliseconds wait);
  void DetachReader();

 private:
  LinuxSys& sys_;
  const int fd_;
  const bool readWrite_;
  std::mutex m_;
  std::condition_variable readerGone_;
  bool locked_ = false;
  bool reader_ = false;
};

// The nodes this program has open, one per interface identity (which a
// replugged device never shares with the one before it).
class NodeTable {
 public:
  // The open node of interface `identity` at `devnode`, opened now (read/write,
  // else read-only where read/write is refused) when nobody holds it;
  // `fresh` tells which. nullptr with `error` when it cannot be opened. Two
  // threads asking at once get one open; other nodes never wait for it.
  std::shared_ptr<SharedNode> Acquire(LinuxSys& sys, std::uint64_t identity, const std::string& devnode,
                                      std::uint32_t& error, bool* fresh = nullptr);
  // A description of its own, shared with nobody.
  static std::shared_ptr<SharedNode> OpenPrivate(LinuxSys& sys, const std::string& devnode, std::uint32_t& error);

 private:
  struct Slot {
    std::mutex openM;
    std::weak_ptr<SharedNode> node;
  };
  std::mutex m_;
  std::map<std::pair<std::uint64_t, std::string>, std::shared_ptr<Slot>> slots_;
};

// Opens read/write, or query-only when the node refuses access (EACCES/EPERM);
// nullptr when it cannot be opened otherwise (gone).
std::unique_ptr<HidConnection> OpenConnection(LinuxSys& sys, NodeTable& nodes, const InterfaceFacts& facts);
// Answers from the facts alone, opening nothing; its read/write access is what
// an open would get. nullptr when the node is gone.
std::unique_ptr<HidConnection> InspectConnection(LinuxSys& sys, const InterfaceFacts& facts);

// The reader's handle on an open hidraw descriptor (owned from now on).
class LinuxReadChannel : public HidReadChannel {
 public:
  LinuxReadChannel(LinuxSys& sys, int fd, int wakeFd, bool numbered);
  // On `node`, whose reader it becomes (AttachReader done by the caller).
  LinuxReadChannel(LinuxSys& sys, std::shared_ptr<SharedNode> node, int wakeFd, bool numbered);
  ~LinuxReadChannel() override;
  Result Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs) override;
  void Close() override;
  void Interrupt() override;

 private:
  void ReleaseLocked();
  void WakeLocked();
  LinuxSys& sys_;
  std::mutex m_;
  std::shared_ptr<SharedNode> node_;
  int fd_;
  int wakeFd_;
  bool numbered_;
  bool closed_ = false;
  int inUse_ = 0;
};
// On the board's shared node; reports queued there while it had no reader are
// dropped, as they would have been with a description of the reader's own.
std::shared_ptr<HidReadChannel> OpenReadChannel(LinuxSys& sys, NodeTable& nodes, const InterfaceFacts& facts,
                                                std::uint32_t& error);
// flock(LOCK_EX | LOCK_NB) on the board's shared node, let go when the lock is
// destroyed (or the program ends, however it ends).
std::unique_ptr<HidLock> LockNode(LinuxSys& sys, NodeTable& nodes, const InterfaceFacts& facts, std::uint32_t& error);

class LinuxHidPlatform : public HidPlatform {
 public:
  explicit LinuxHidPlatform(LinuxSys& sys = DefaultSys());
  ~LinuxHidPlatform() override;

  bool Available() const override { return udev_ != nullptr; }
  std::vector<THidPnPInfo> Scan() override;
  std::vector<THidPnPInfo> ScanPath(const std::string& interfacePath) override;
  std::unique_ptr<HidConnection> Open(const THidPnPInfo& info) override;
  std::unique_ptr<HidConnection> Inspect(const THidPnPInfo& info) override;
  bool LockedElsewhere(const THidPnPInfo& info) override;
  std::shared_ptr<HidReadChannel> OpenReader(const THidPnPInfo& info, std::uint32_t& error) override;
  std::unique_ptr<HidLock> Lock(const THidPnPInfo& info, std::uint32_t& error) override;
  void SetChangeHandler(std::function<void()> handler) override;
  // "udev", "kernel", or empty when no monitor could be set up.
  const std::string& MonitorSource() const { return monitorSource_; }

 private:
  bool Facts(const THidPnPInfo& info, InterfaceFacts& facts);
  void OnMonitorReadable();

  LinuxSys& sys_;
  // Facts read whole, per interface; its identity never comes back once gone.
  std::mutex factsMutex_;
  std::map<std::uint64_t, InterfaceFacts> facts_;
  NodeTable nodes_;
  std::mutex udevMutex_;  // libudev objects are not thread-safe; OpenReader may run on a reader thread
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  std::string monitorSource_;
  QSocketNotifier* notifier_ = nullptr;
  QTimer* coalesce_ = nullptr;
  std::function<void()> handler_;
};

std::unique_ptr<HidPlatform> MakeLinuxHidPlatform();

}  // namespace quorvel::hid::linux_hid
