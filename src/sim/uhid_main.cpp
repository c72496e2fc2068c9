// SPDX-License-Identifier: Apache-2.0
// quorvel-uhid: the simulated bootloader firmware as a real kernel HID device.
//
// Creates a HID device through /dev/uhid that any program (quorvel, quorvel-cli,
// hidraw tools) finds and talks to exactly like a USB bootloader, so the Linux
// backend can be tested end to end without hardware. Runs until SIGTERM/SIGINT,
// or until the device vanished and is not to come back.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/device_program.h"
#include "sim/uhid_device.h"

int main(int argc, char** argv) {
  using namespace quorvel::sim;
  std::string device = "/dev/uhid";
  bool realtime = true;
  int uhidFd = -1;

  DeviceProgramDescription profileText;
  profileText.name = "quorvel-uhid";
  profileText.usage = std::string(
                   "Usage: quorvel-uhid [options]\n"
                   "Exposes the simulated bootloader as a kernel HID device through /dev/uhid.\n"
                   "\n") +
               kDeviceProgramCommonHelp +
               "  --device PATH          uhid character device (default /dev/uhid)\n"
               "  --no-realtime          do not ask for real-time scheduling (see below)\n"
               "\n"
               "The device's HID_PHYS is quorvel-uhid-<pid>/<incarnation>.\n"
               "\n"
               "A USB device holds the host's write until it has taken the report; uhid does not:\n"
               "the kernel queues at most 32 events for this program and drops the rest. So the\n"
               "program asks for real-time scheduling (when permitted), which lets it take each\n"
               "report as soon as it is written, even on a single CPU.\n"
               "\n"
               "Exit status: 0 ended normally, 1 usage error, 2 the uhid device failed.\n";
  profileText.options = {
      {"--device", true,
       [&](std::string_view v) {
         device = v;
         return !device.empty();
       }},
      {"--no-realtime", false,
       [&](std::string_view) {
         realtime = false;
         return true;
       }},
  };
  profileText.makeSession = [&](const SimProfile& profile, const DeviceTiming& timing,
                         DeviceCallbacks callbacks) -> std::unique_ptr<DeviceSession> {
    if (realtime) {
      sched_param param{};
      param.sched_priority = 10;
      if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
        std::fprintf(stderr, "quorvel-uhid: no real-time scheduling (%s); bursts of reports may be lost\n",
                     std::strerror(errno));
      }
    }
    uhidFd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (uhidFd < 0) {
      std::fprintf(stderr, "quorvel-uhid: cannot open %s: %s\n", device.c_str(), std::strerror(errno));
      return nullptr;
    }
    UhidOptions options;
    options.identity.name = profile.product;
    options.identity.serial = profile.serial;
    options.identity.vendorId = profile.vendorId;
    options.identity.productId = profile.productId;
    options.identity.physPrefix = "quorvel-uhid-" + std::to_string(::getpid());
    options.timing = timing;
    return std::make_unique<UhidBootloader>(uhidFd, options, std::move(callbacks));
  };
  const int rc = RunDeviceProgram(argc, argv, profileText);
  if (uhidFd >= 0) ::close(uhidFd);
  return rc;
}
