// SPDX-License-Identifier: Apache-2.0
// quorvel-gadget: the simulated bootloader firmware as a USB device.
//
// Builds a USB gadget in configfs (the profile's vendor and product IDs, product
// string and serial number, a HID function with 64-byte reports) and binds it
// to a UDC, so the host side sees a USB HID bootloader with endpoints, a USB
// parent in sysfs and a USB-level unplug. With dummy_hcd the host is the same
// machine. Runs until SIGTERM/SIGINT, or until the device vanished and is not
// to come back; then the gadget is unbound and removed.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/device_program.h"
#include "sim/gadget_device.h"

namespace {

// The first UDC in name order; empty when there is none.
std::string FirstUdc() {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir("/sys/class/udc")) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names.empty() ? std::string{} : names.front();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quorvel::sim;
  GadgetOptions gadget;
  std::string name;

  DeviceProgramDescription profileText;
  profileText.name = "quorvel-gadget";
  profileText.usage = std::string(
                   "Usage: quorvel-gadget [options]\n"
                   "Exposes the simulated bootloader as a USB device through the kernel's USB gadget\n"
                   "framework (configfs, libcomposite, usb_f_hid, a UDC such as dummy_hcd). Needs root.\n"
                   "\n") +
               kDeviceProgramCommonHelp +
               "  --udc NAME             UDC to bind to (default: the first in /sys/class/udc)\n"
               "  --gadget NAME          gadget directory in configfs (default: quorvel-<udc>)\n"
               "  --configfs DIR         the usb_gadget folder of configfs\n"
               "                         (default /sys/kernel/config/usb_gadget)\n"
               "  --composite            a boot keyboard as interface 0 and the bootloader as\n"
               "                         interface 1, under the same product string\n"
               "\n"
               "Plugging in binds the gadget to the UDC, unplugging (reboot, unplug fault) unbinds it.\n"
               "\n"
               "Exit status: 0 ended normally, 1 usage error, 2 the gadget could not be set up or\n"
               "failed.\n";
  auto text = [](std::string& field) {
    return [&field](std::string_view v) {
      field = v;
      return !field.empty();
    };
  };
  profileText.options = {
      {"--udc", true, text(gadget.udc)},
      {"--gadget", true, text(name)},
      {"--configfs", true, text(gadget.configfs)},
      {"--composite", false,
       [&](std::string_view) {
         gadget.composite = true;
         return true;
       }},
  };
  profileText.makeSession = [&](const SimProfile& profile, const DeviceTiming& timing,
                         DeviceCallbacks callbacks) -> std::unique_ptr<DeviceSession> {
    if (gadget.udc.empty()) gadget.udc = FirstUdc();
    if (gadget.udc.empty()) {
      std::fprintf(stderr,
                   "quorvel-gadget: no UDC in /sys/class/udc (load a UDC driver such as dummy_hcd)\n");
      return nullptr;
    }
    // Named after the UDC, so a gadget left by a killed run is found and replaced.
    gadget.name = name.empty() ? "quorvel-" + gadget.udc : name;
    gadget.identity.product = profile.product;
    gadget.identity.serial = profile.serial;
    gadget.identity.vendorId = profile.vendorId;
    gadget.identity.productId = profile.productId;
    gadget.timing = timing;
    return std::make_unique<GadgetBootloader>(DefaultGadgetFs(), gadget, std::move(callbacks));
  };
  return RunDeviceProgram(argc, argv, profileText);
}
