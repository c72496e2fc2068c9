#pragma once
// Finds hidraw nodes this user may not open, so "no bootloader found" can say
// why: on a stock Linux system a freshly plugged HID device is root-only
// until a udev rule grants access.
#include <functional>
#include <string>
#include <vector>

namespace quorvel::cli {

struct LockedHidraw {
  std::string node;  // "/dev/hidraw3"
  std::string name;  // HID_NAME from sysfs, empty when unknown
};

// 0 when `path` may be opened for reading and writing, else the errno why not.
using AccessCheck = std::function<int(const std::string& path)>;
int SystemAccessCheck(const std::string& path);

// Nodes named hidraw* under devDir that cannot be opened for reading and
// writing because of their permissions. sysClassDir is where
// <node>/device/uevent is read for the device's name.
std::vector<LockedHidraw> FindLockedHidrawNodes(const std::string& devDir = "/dev",
                                                const std::string& sysClassDir = "/sys/class/hidraw",
                                                const AccessCheck& check = SystemAccessCheck);

// The advice printed when access is the likely problem.
inline constexpr const char* kUdevAdvice =
    "Give your user access with the udev rule packaging/60-quorvel-bootloader.rules: "
    "'sudo cp packaging/60-quorvel-bootloader.rules /etc/udev/rules.d/', then "
    "'sudo udevadm control --reload-rules && sudo udevadm trigger', and plug the device in again "
    "(details in packaging/README-udev.md).";

}  // namespace quorvel::cli
