#include "cli/hidraw_access.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

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

}  // namespace quorvel::cli
