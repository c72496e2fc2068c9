#pragma once
// UhidBootloader: a bootloader that the kernel sees as a real HID device.
//
// It speaks the /dev/uhid protocol on a file descriptor: creates a device with
// a vendor-defined descriptor (64-byte input and output reports, no report
// IDs), hands every output report to a responder and sends the responder's
// replies back as input reports. When the responder says the device vanished
// (reboot, unplug fault) the device is destroyed and, if asked, created again.
//
// The file descriptor is usually /dev/uhid; tests pass one end of a
// SOCK_SEQPACKET socket pair and play the kernel on the other end.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quorvel::sim {

inline constexpr std::size_t kUhidReportSize = 64;
using UhidReport = std::array<std::uint8_t, kUhidReportSize>;

// The report descriptor every created device carries.
const std::vector<std::uint8_t>& BootloaderReportDescriptor();

struct UhidIdentity {
  std::string name = "USB HID Bootloader";  // becomes HID_NAME (the product string)
  std::string serial;                        // becomes HID_UNIQ
  std::uint16_t vendorId = 0x04D8;
  std::uint16_t productId = 0x003C;
  std::uint16_t version = 0x0100;
  // HID_PHYS becomes "<physPrefix>/<incarnation>": tells devices and their
  // re-creations apart in sysfs.
  std::string physPrefix = "quorvel-uhid";
};

struct UhidReaction {
  std::vector<UhidReport> replies;
  bool vanish = false;  // destroy the device after sending the replies
};

struct UhidOptions {
  UhidIdentity identity;
  std::uint32_t createAfterMs = 0;   // first creation this long after Run() starts
  std::int64_t recreateAfterMs = -1; // after a vanish: create again after this delay; < 0: stop running
  std::uint32_t paceMs = 0;          // delay per report, each direction
};

struct UhidCallbacks {
  // One output report, report-ID byte already removed, padded to 64 bytes.
  std::function<UhidReaction(const UhidReport&)> onReport;
  // The device exists and the kernel has started it (hidraw node follows).
  std::function<void(int incarnation)> onStarted;
  // The device was destroyed; it will be created again iff `willReturn`.
  std::function<void(bool willReturn)> onDestroyed;
  // Diagnostics (unexpected events, short writes); one line, no newline.
  std::function<void(const std::string&)> onNote;
};

class UhidBootloader {
 public:
  UhidBootloader(int uhidFd, UhidOptions options, UhidCallbacks callbacks);
  UhidBootloader(const UhidBootloader&) = delete;
  UhidBootloader& operator=(const UhidBootloader&) = delete;
  ~UhidBootloader();

  // Serves the device until `stopFd` becomes readable (a signalfd, a pipe) or
  // the device vanished for good. Returns 0 on a normal end, 2 when the uhid
  // file descriptor failed (creation refused, read/write error).
  int Run(int stopFd);

  int Incarnation() const { return incarnation_; }

 private:
  enum class State { kWaitingToCreate, kAwaitingStart, kRunning, kGone };

  bool Create();
  void Destroy();
  bool HandleEvent(int stopFd);
  bool SendInput(const UhidReport& report);
  bool WriteEvent(const void* event, std::size_t size);
  bool Pause(int stopFd, std::uint32_t ms);  // false: stop requested
  void Note(const std::string& text);

  int fd_;
  UhidOptions options_;
  UhidCallbacks callbacks_;
  State state_ = State::kWaitingToCreate;
  std::int64_t deadlineMs_ = 0;  // for kWaitingToCreate, on the monotonic clock
  int incarnation_ = 0;
  bool stopRequested_ = false;
  bool fdFailed_ = false;
};

}  // namespace quorvel::sim
