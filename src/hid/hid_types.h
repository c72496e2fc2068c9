// SPDX-License-Identifier: Apache-2.0
#pragma once
// Types shared by the HID device objects, the controller and the platforms.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace quorvel::hid {

class THidDevice;
class THidDeviceController;

// Identity and path of one HID interface, as a scan finds it.
struct THidPnPInfo {
  std::uint64_t DeviceInstance = 0;  // stable identity while the interface is plugged
  std::string InterfacePath;         // what the platform opens ("/dev/hidraw3", "sim:2")
};

struct THidAttributes {
  std::uint16_t VendorID = 0;
  std::uint16_t ProductID = 0;
  std::uint16_t VersionNumber = 0;
};

// Report lengths include the report-ID byte (65 for 64 data bytes).
struct THidCaps {
  std::uint16_t InputReportByteLength = 0;
  std::uint16_t OutputReportByteLength = 0;
};

// Event handlers. A handler is a callable plus an identity token so the
// controller can tell whether a device still carries the controller's default
// handler (std::function cannot be compared). Token 0 with an empty callable
// means "none".
template <typename Fn>
struct THandler {
  std::function<Fn> fn;
  std::uintptr_t token = 0;
  explicit operator bool() const { return static_cast<bool>(fn); }
  friend bool operator==(const THandler& a, const THandler& b) {
    return a.token == b.token && static_cast<bool>(a.fn) == static_cast<bool>(b.fn);
  }
};

using THidPlugEvent = THandler<void(THidDevice*)>;
using THidEnumerateEvent = THandler<bool(THidDevice*, std::int32_t idx)>;
using THidDataEvent = THandler<void(THidDevice*, std::uint8_t reportId, const std::uint8_t* data, std::uint16_t size)>;
using THidDataErrorEvent = THandler<void(THidDevice*, std::uint32_t error)>;
using TNotifyEvent = THandler<void(THidDeviceController*)>;

// Raised (as an exception) when an interface cannot be opened or identified;
// a scan skips such interfaces silently.
struct EControllerError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace quorvel::hid
