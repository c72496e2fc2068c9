// SPDX-License-Identifier: Apache-2.0
#pragma once
// The command-line shell shared by the programs that put the simulated
// bootloader on a kernel device interface (quorvel-uhid, quorvel-gadget): the
// common options, the firmware model with its faults and trace, the ready file
// and the stop signals. Each program adds its own options and builds the
// DeviceSession that moves the reports.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device_session.h"
#include "sim/sim_profile.h"

namespace quorvel::sim {

// Help text of the options every device program takes.
extern const char* const kDeviceProgramCommonHelp;

struct DeviceProgramOption {
  const char* name;  // "--udc"
  bool takesValue;
  // Applies the option; false refuses its value (a usage error).
  std::function<bool(std::string_view value)> apply;
};

struct DeviceProgramDescription {
  const char* name;                          // for messages: "quorvel-uhid"
  std::string usage;                         // the whole --help text
  std::vector<DeviceProgramOption> options;  // besides the common ones
  // Builds the session once every option is known; nullptr when that failed
  // (after saying why on stderr): the program then ends with status 2.
  std::function<std::unique_ptr<DeviceSession>(const SimProfile&, const DeviceTiming&, DeviceCallbacks)>
      makeSession;
};

// Runs a device program; returns its exit status: 0 ended normally, 1 usage
// error, 2 the device interface failed.
int RunDeviceProgram(int argc, char** argv, const DeviceProgramDescription& profileText);

// A non-negative number up to 0x7FFFFFFF, decimal or 0x-hex.
std::optional<std::int64_t> ParseProgramNumber(std::string_view text);

}  // namespace quorvel::sim
