// SPDX-License-Identifier: Apache-2.0
#pragma once
// UhidBootloader: a bootloader that the kernel sees as a real HID device.
//
// It speaks the /dev/uhid protocol on a file descriptor: plugging in is
// creating a device with the bootloader's report descriptor, unplugging is
// destroying it; output reports arrive as events and input reports leave as
// events (see DeviceSession for the rest of its life).
//
// The file descriptor is usually /dev/uhid; tests pass one end of a
// SOCK_SEQPACKET socket pair and play the kernel on the other end.
#include <cstdint>
#include <string>

#include "sim/device_session.h"

namespace quorvel::sim {

struct UhidIdentity {
  std::string name = "USB HID Bootloader";  // becomes HID_NAME (the product string)
  std::string serial;                       // becomes HID_UNIQ
  std::uint16_t vendorId = 0x04D8;
  std::uint16_t productId = 0x003C;
  std::uint16_t version = 0x0100;
  // HID_PHYS becomes "<physPrefix>/<incarnation>": tells devices and their
  // re-creations apart in sysfs.
  std::string physPrefix = "quorvel-uhid";
};

struct UhidOptions {
  UhidIdentity identity;
  DeviceTiming timing;
};

class UhidBootloader : public DeviceSession {
 public:
  UhidBootloader(int uhidFd, UhidOptions options, DeviceCallbacks callbacks);
  ~UhidBootloader() override;

 private:
  bool Create() override;
  void Destroy() override;
  int InputFd() const override { return fd_; }
  bool OnReadable(int stopFd) override;
  bool SendInput(const DeviceReport& report, int stopFd) override;
  bool WriteEvent(const void* event, std::size_t size);

  int fd_;
  UhidIdentity identity_;
};

}  // namespace quorvel::sim
