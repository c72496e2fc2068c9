// SPDX-License-Identifier: Apache-2.0
#pragma once
// DeviceSession: the life of a simulated bootloader on a kernel device
// interface, whatever the interface is (/dev/uhid, a USB gadget's /dev/hidgN).
//
// The device is plugged in after a delay, hands every 64-byte output report to
// a responder and sends the responder's replies back as input reports. When the
// responder says the device vanished (reboot, unplug fault) it is unplugged
// and, if asked, plugged in again; when the responder says it hangs (stall
// fault) no further report is taken. A derived class plugs and unplugs the
// device and moves the reports.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quorvel::sim {

inline constexpr std::size_t kDeviceReportSize = 64;
using DeviceReport = std::array<std::uint8_t, kDeviceReportSize>;

// The report descriptor every simulated device carries: one 64-byte input and
// one 64-byte output report, vendor-defined, no report IDs.
const std::vector<std::uint8_t>& BootloaderReportDescriptor();

struct DeviceReaction {
  std::vector<DeviceReport> replies;
  bool vanish = false;        // unplug after sending the replies
  bool stall = false;         // take no further report
  std::uint32_t delayMs = 0;  // wait this long before the first reply
};

struct DeviceTiming {
  std::uint32_t createAfterMs = 0;    // first plug-in this long after Run() starts
  std::int64_t recreateAfterMs = -1;  // after a vanish: plug in again after this delay; < 0: stop running
  std::uint32_t paceMs = 0;           // delay per report, each direction
};

struct DeviceCallbacks {
  // One output report, without a report-ID byte, padded to 64 bytes.
  std::function<DeviceReaction(const DeviceReport&)> onReport;
  // The device is plugged in and the kernel has taken it (its nodes follow).
  std::function<void(int incarnation)> onStarted;
  // The device was unplugged; it comes back iff `willReturn`.
  std::function<void(bool willReturn)> onDestroyed;
  // The host closed its last handle to the device (after every report it wrote).
  std::function<void()> onClosed;
  // Diagnostics (unexpected events, odd sizes); one line, no newline.
  std::function<void(const std::string&)> onNote;
  // Why the device interface failed; one line, no newline.
  std::function<void(const std::string&)> onError;
};

class DeviceSession {
 public:
  DeviceSession(DeviceTiming timing, DeviceCallbacks callbacks);
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;
  virtual ~DeviceSession() = default;

  // Serves the device until `stopFd` becomes readable (a signalfd, a pipe) or
  // the device vanished for good. Returns 0 on a normal end, 2 when the device
  // interface failed (creation refused, read/write error).
  int Run(int stopFd);

  int Incarnation() const { return incarnation_; }

 protected:
  enum class State { kWaitingToCreate, kAwaitingStart, kRunning, kGone };

  // Plugs the device in as incarnation Incarnation(); false when the interface
  // refused (Run then ends with 2). The device counts as started once the
  // derived class calls MarkStarted().
  virtual bool Create() = 0;
  // Unplugs the device; nothing to do when the interface already failed.
  virtual void Destroy() = 0;
  // Descriptor that signals work while the device is created (or gone); -1: none.
  virtual int InputFd() const = 0;
  // InputFd() is readable. False when serving must end (see FdFailed()).
  virtual bool OnReadable(int stopFd) = 0;
  // Sends one input report; false when the interface failed or stop was requested.
  virtual bool SendInput(const DeviceReport& report, int stopFd) = 0;

  // One output report of a running device: pace, responder, replies, vanish.
  bool Serve(const DeviceReport& report, int stopFd);
  void MarkStarted();
  // Unplugs the device if it is plugged in (for destructors of derived classes).
  void UnplugIfPresent();
  bool Pause(int stopFd, std::uint32_t ms);  // false: stop requested
  void Note(const std::string& text);
  void Closed();
  void Error(const std::string& text);
  void MarkFdFailed() { fdFailed_ = true; }
  bool FdFailed() const { return fdFailed_; }
  bool Stalled() const { return stalled_; }
  State CurrentState() const { return state_; }

 private:
  void Unplug();

  DeviceTiming timing_;
  DeviceCallbacks callbacks_;
  State state_ = State::kWaitingToCreate;
  std::int64_t deadlineMs_ = 0;  // for kWaitingToCreate and kGone, on the monotonic clock
  int incarnation_ = 0;
  bool stopRequested_ = false;
  bool fdFailed_ = false;
  bool stalled_ = false;
};

}  // namespace quorvel::sim
