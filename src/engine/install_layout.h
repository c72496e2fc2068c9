// SPDX-License-Identifier: Apache-2.0
#pragma once
// Where an installed program finds its own files. `cmake --install` and the
// Debian package lay them out under one prefix (/usr, /usr/local, ~/.local):
// programs in <prefix>/bin, the udev rule in <prefix>/lib/udev/rules.d. A
// program elsewhere (a build folder, an unpacked copy) is not installed.
#include <string>

namespace quorvel {

// The prefix of a program whose executable is in `executableDir`: the folder
// above the install layout's binary folder ("/usr" for "/usr/bin"), or empty
// when `executableDir` is not such a folder.
std::string InstallPrefix(const std::string& executableDir);

// Where a program installed under `prefix` put the udev rule's folder.
std::string InstalledUdevRulesDir(const std::string& prefix);

// The folder of the running executable (empty when it cannot be told).
std::string ExecutableDir();

}  // namespace quorvel
