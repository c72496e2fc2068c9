// SPDX-License-Identifier: Apache-2.0
#include "assembly/program_platform.h"

#include <QTimer>
#include <algorithm>
#include <utility>
#include <variant>

#include "hid/hid_platform.h"
#include "hid/linux/linux_platform.h"
#include "sim/sim_platform.h"

namespace quorvel::assembly {

bool ParseSimulateProfiles(const std::vector<std::string>& profileTexts, std::vector<sim::SimProfile>& profiles,
                        SimulateError& error) {
  profiles.clear();
  for (const std::string& profileText : profileTexts) {
    auto parsed = sim::ParseSimProfile(profileText);
    if (auto* bad = std::get_if<sim::SimProfileError>(&parsed)) {
      error = {profileText, bad->message};
      return false;
    }
    profiles.push_back(std::get<sim::SimProfile>(parsed));
  }
  return true;
}

std::unique_ptr<hid::HidPlatform> MakeSystemHidPlatform() { return hid::linux_hid::MakeLinuxHidPlatform(); }

ProgramPlatform::ProgramPlatform(std::vector<sim::SimProfile> profiles,
                                 std::function<void(const std::string&)> onViolation,
                                 std::unique_ptr<hid::HidPlatform> system)
    : profiles_(std::move(profiles)) {
  if (profiles_.empty()) {
    platform_ = system ? std::move(system) : MakeSystemHidPlatform();
    return;
  }
  auto simPlatform = std::make_unique<sim::SimHidPlatform>();
  sim_ = simPlatform.get();
  sim_->SetViolationHandler([this, onViolation = std::move(onViolation)](int, const std::string& text) {
    ++violations_;
    if (onViolation) onViolation(text);
  });
  platform_ = std::move(simPlatform);
}

ProgramPlatform::~ProgramPlatform() { CancelPendingPlugs(); }

std::size_t ProgramPlatform::SimNumber(const std::string& interfacePath) const {
  // The simulator numbers its devices in plug order; users count --simulate options.
  for (std::size_t i = 0; i < simIds_.size(); ++i) {
    if (simIds_[i] >= 0 && interfacePath == "sim:" + std::to_string(simIds_[i])) return i + 1;
  }
  return 0;
}

void ProgramPlatform::PlugDevices(std::function<void(std::size_t index, int id)> onPlugged) {
  if (sim_ == nullptr) return;
  onPlugged_ = std::move(onPlugged);
  simIds_.assign(profiles_.size(), -1);
  plugTimers_ = std::make_unique<QObject>();
  for (std::size_t i = 0; i < profiles_.size(); ++i) {
    const sim::SimProfile& profile = profiles_[i];
    const auto plug = [this, i] {
      simIds_[i] = sim_->PlugBootloader(profiles_[i]);
      if (onPlugged_) onPlugged_(i, simIds_[i]);
    };
    if (profile.plugAfterMs == 0) {
      plug();
    } else {
      QTimer::singleShot(static_cast<int>(std::min<std::uint32_t>(profile.plugAfterMs, 86400000u)),
                         plugTimers_.get(), plug);
    }
  }
}

}  // namespace quorvel::assembly
