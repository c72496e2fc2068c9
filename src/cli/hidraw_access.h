// SPDX-License-Identifier: Apache-2.0
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

inline constexpr const char* kUdevRuleName = "60-quorvel-bootloader.rules";

// The folders udev reads rules from (udev(7)), the local administrator's first.
std::vector<std::string> UdevRuleDirs();

// The advice printed when access is the likely problem. It names the rule
// where it is: in one of `udevRuleDirs` (in force, so it only needs a reload
// and a replug), else in `installedRuleDir` (installed where udev does not
// look, e.g. under ~/.local: it must be copied), else in the source tree.
std::string UdevAdvice(const std::vector<std::string>& udevRuleDirs, const std::string& installedRuleDir);
// The same for this system and this program's installation.
std::string UdevAdvice();

}  // namespace quorvel::cli
