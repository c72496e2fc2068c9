// SPDX-License-Identifier: Apache-2.0
#pragma once
// What both programs (the window and quorvel-cli) assemble before the engine
// runs: the HID platform, either the machine's devices or the simulated
// bootloaders named by --simulate, with their protocol violations counted
// and the ones that appear later plugged in from the event loop.
#include <QObject>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim_profile.h"

namespace quorvel {
namespace hid {
class HidPlatform;
}
namespace sim {
class SimHidPlatform;
}
}  // namespace quorvel

namespace quorvel::assembly {

struct SimulateError {
  std::string profileText;     // the --simulate value as given
  std::string message;  // why it was refused
};

// Parses every --simulate value in order; stops at the first bad one.
// True when all were good (`profiles` holds them), else `error` says which.
bool ParseSimulateProfiles(const std::vector<std::string>& profileTexts, std::vector<sim::SimProfile>& profiles,
                        SimulateError& error);

// The machine's HID platform (hidraw + libudev).
std::unique_ptr<hid::HidPlatform> MakeSystemHidPlatform();

class ProgramPlatform {
 public:
  // Simulated bootloaders when `profiles` is not empty (each violation is
  // counted, then handed to `onViolation`); otherwise `system`, or the
  // machine's platform when that is null.
  ProgramPlatform(std::vector<sim::SimProfile> profiles, std::function<void(const std::string&)> onViolation,
                  std::unique_ptr<hid::HidPlatform> system = nullptr);
  ~ProgramPlatform();
  ProgramPlatform(const ProgramPlatform&) = delete;
  ProgramPlatform& operator=(const ProgramPlatform&) = delete;

  hid::HidPlatform& Platform() { return *platform_; }
  bool Simulated() const { return sim_ != nullptr; }
  sim::SimHidPlatform* Sim() { return sim_; }
  const std::vector<sim::SimProfile>& Profiles() const { return profiles_; }

  // Plugs the simulated bootloaders: those without plug-after at once, like
  // hardware already attached, the others that much later from the event loop.
  // `onPlugged(i, id)` runs for each device as it is plugged, also later.
  void PlugDevices(std::function<void(std::size_t index, int id)> onPlugged = nullptr);
  // Bootloaders not plugged yet stay away.
  void CancelPendingPlugs() { plugTimers_.reset(); }
  // The simulator's handle of the i-th --simulate device; -1 until plugged.
  int SimId(std::size_t i) const { return i < simIds_.size() ? simIds_[i] : -1; }
  // Which --simulate device (1 for the first) the plugged simulated device at
  // `interfacePath` is, as users count them; 0 for any other path.
  std::size_t SimNumber(const std::string& interfacePath) const;

  int Violations() const { return violations_; }

 private:
  std::vector<sim::SimProfile> profiles_;
  std::unique_ptr<hid::HidPlatform> platform_;
  sim::SimHidPlatform* sim_ = nullptr;
  std::vector<int> simIds_;
  std::unique_ptr<QObject> plugTimers_;  // context of the plug-after timers
  std::function<void(std::size_t, int)> onPlugged_;
  int violations_ = 0;
};

}  // namespace quorvel::assembly
