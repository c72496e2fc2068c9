// SPDX-License-Identifier: Apache-2.0
#pragma once
// GadgetBootloader: the simulated bootloader as a USB device, made with the
// kernel's USB gadget framework. configfs describes the device and its HID
// function(s); a UDC (dummy_hcd's in the VM test, device-side USB hardware
// elsewhere) connects it to a USB host; /dev/hidgN carries the reports.
//
// Plugging in is binding the gadget to the UDC, unplugging is unbinding it.
// The kernel creates the hidg node at each bind and removes it at each unbind,
// so the node is opened anew every time. While the firmware hangs (stall) the
// node is not read: the host's writes then fill the OUT endpoint's queue and
// wait, as they would on a board that stopped reading.
//
// The configfs tree is built on the first plug-in and removed when the object
// is destroyed; a tree of the same name left by a killed run is replaced.
#include <cstdint>
#include <string>
#include <vector>

#include "sim/device_session.h"

namespace quorvel::sim {

// The boot keyboard's report descriptor (HID 1.11, appendix B.1): an 8-byte
// input report and a 1-byte LED output report.
const std::vector<std::uint8_t>& BootKeyboardReportDescriptor();

struct GadgetIdentity {
  std::string product = "USB HID Bootloader";
  std::string serial;  // empty: the device has no serial number
  std::string manufacturer = "Quorvel";
  std::uint16_t vendorId = 0x04D8;
  std::uint16_t productId = 0x003C;
  std::uint16_t bcdDevice = 0x0100;
};

struct GadgetOptions {
  GadgetIdentity identity;
  DeviceTiming timing;
  std::string configfs = "/sys/kernel/config/usb_gadget";
  std::string name = "quorvel";  // the gadget's directory under `configfs`
  std::string udc;               // the UDC to bind to (an entry of /sys/class/udc)
  std::string devDir = "/dev";   // where the kernel puts hidgN
  // A boot keyboard as interface 0 and the bootloader as interface 1, under
  // the same product string, as some boards present themselves.
  bool composite = false;
};

// The file operations the gadget needs, behind a seam so tests can put a plain
// directory in place of configfs and a socket in place of the hidg node. All
// return false (or -1) with errno set on failure.
class GadgetFs {
 public:
  virtual ~GadgetFs() = default;
  virtual bool MakeDir(const std::string& path);  // configfs fills in its attributes
  virtual bool RemoveDir(const std::string& path);
  virtual bool Exists(const std::string& path);
  virtual bool WriteFile(const std::string& path, const std::string& contents);
  virtual bool ReadFile(const std::string& path, std::string& contents);
  virtual bool Symlink(const std::string& target, const std::string& link);
  virtual bool Unlink(const std::string& path);
  // Opens a hidg node for reading and writing, non-blocking.
  virtual int OpenNode(const std::string& path);
};

GadgetFs& DefaultGadgetFs();

class GadgetBootloader : public DeviceSession {
 public:
  GadgetBootloader(GadgetFs& fs, GadgetOptions options, DeviceCallbacks callbacks);
  ~GadgetBootloader() override;

 private:
  bool Create() override;
  void Destroy() override;
  int InputFd() const override;
  bool OnReadable(int stopFd) override;
  bool SendInput(const DeviceReport& report, int stopFd) override;

  bool Configure();
  void Teardown();
  bool AddFunction(const std::string& instance, const std::string& protocol, const std::string& subclass,
                   const std::string& reportLength, const std::vector<std::uint8_t>& descriptor,
                   bool outEndpoint);
  bool OpenBootloaderNode();
  bool Failed(const std::string& what);  // notes what failed with errno; false
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

  GadgetFs& fs_;
  GadgetOptions options_;
  std::string root_;
  std::vector<std::string> functions_;  // instances linked into the configuration, in order
  bool configured_ = false;
  int node_ = -1;
};

}  // namespace quorvel::sim
