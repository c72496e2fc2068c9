// SPDX-License-Identifier: Apache-2.0
#include "cli/hidraw_access.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "engine/install_layout.h"

namespace quorvel::cli {

namespace {

std::string HidName(const std::string& sysClassDir, const std::string& node) {
  std::ifstream uevent(sysClassDir + "/" + node + "/device/uevent");
  std::string line;
  while (std::getline(uevent, line)) {
    if (line.rfind("HID_NAME=", 0) == 0) return line.substr(9);
  }
  return {};
}

}  // namespace

int SystemAccessCheck(const std::string& path) {
  // access() asks the kernel the same question open() would, without
  // opening (and so without disturbing) the device.
  return ::access(path.c_str(), R_OK | W_OK) == 0 ? 0 : errno;
}

std::vector<LockedHidraw> FindLockedHidrawNodes(const std::string& devDir, const std::string& sysClassDir,
                                                const AccessCheck& check) {
  std::vector<LockedHidraw> locked;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(devDir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("hidraw", 0) != 0) continue;
    const int error = check(entry.path().string());
    if (error != EACCES && error != EPERM) continue;
    locked.push_back({entry.path().string(), HidName(sysClassDir, name)});
  }
  std::sort(locked.begin(), locked.end(),
            [](const LockedHidraw& a, const LockedHidraw& b) { return a.node < b.node; });
  return locked;
}

std::vector<std::string> UdevRuleDirs() {
  return {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/local/lib/udev/rules.d", "/usr/lib/udev/rules.d",
          "/lib/udev/rules.d"};
}

std::string UdevAdvice(const std::vector<std::string>& udevRuleDirs, const std::string& installedRuleDir) {
  const std::string reload = "'sudo udevadm control --reload-rules && sudo udevadm trigger'";
  std::error_code error;
  for (const std::string& dir : udevRuleDirs) {
    const std::string rule = dir + "/" + kUdevRuleName;
    if (!std::filesystem::exists(rule, error)) continue;
    return "The udev rule " + rule +
           " grants access to the user logged in at this machine's seat. "
           "If it was installed after the device was plugged in, run " +
           reload + " and plug the device in again; for remote logins see 'man quorvel-cli'.";
  }
  if (!installedRuleDir.empty()) {
    const std::string rule = installedRuleDir + "/" + kUdevRuleName;
    if (std::filesystem::exists(rule, error)) {
      return "Give your user access with the udev rule " + rule +
             ", which udev does not read from there: "
             "'sudo cp " +
             rule + " /etc/udev/rules.d/', then " + reload +
             ", and plug the device in again (details: 'man quorvel-cli').";
    }
  }
  return std::string("Give your user access with the udev rule packaging/") + kUdevRuleName +
         ": 'sudo cp packaging/" + kUdevRuleName + " /etc/udev/rules.d/', then " + reload +
         ", and plug the device in again (details in packaging/README-udev.md).";
}

std::string UdevAdvice() {
  const std::string prefix = InstallPrefix(ExecutableDir());
  return UdevAdvice(UdevRuleDirs(), prefix.empty() ? std::string() : InstalledUdevRulesDir(prefix));
}

}  // namespace quorvel::cli
