// SPDX-License-Identifier: Apache-2.0
#include "engine/install_layout.h"

#include <filesystem>
#include <system_error>

namespace quorvel {

namespace {

constexpr const char* kBinDir = QUORVEL_INSTALL_BINDIR;        // "bin"
constexpr const char* kUdevRulesDir = QUORVEL_UDEV_RULES_DIR;  // "lib/udev/rules.d"

}  // namespace

std::string InstallPrefix(const std::string& executableDir) {
  std::string dir = std::filesystem::path(executableDir).lexically_normal().string();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const std::string bin = std::filesystem::path(kBinDir).lexically_normal().string();
  if (bin.empty()) return {};
  if (bin.front() == '/')
    return dir == bin ? std::filesystem::path(bin).parent_path().string() : std::string();
  const std::string suffix = "/" + bin;
  if (dir.size() < suffix.size() || dir.compare(dir.size() - suffix.size(), suffix.size(), suffix) != 0)
    return {};
  const std::string prefix = dir.substr(0, dir.size() - suffix.size());
  return prefix.empty() ? std::string("/") : prefix;
}

std::string InstalledUdevRulesDir(const std::string& prefix) {
  const std::filesystem::path rules(kUdevRulesDir);
  return rules.is_absolute() ? rules.string() : (std::filesystem::path(prefix) / rules).string();
}

std::string ExecutableDir() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : exe.parent_path().string();
}

}  // namespace quorvel
