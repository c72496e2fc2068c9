// SPDX-License-Identifier: Apache-2.0
#pragma once
// How a run shows its progress: the window's bar (per erase group, then per
// byte staged, scaled by the bar's step) and the front end's phases (bytes
// done of each phase's total, never going back within a phase).
#include <cstdint>

#include "engine/controls_model.h"
#include "engine/frontend.h"

namespace quorvel {

class RunProgress {
 public:
  explicit RunProgress(ControlsModel& controls) : controls_(controls) {}

  // Reports 0 of `total` for a phase.
  void BeginPhase(UploadPhase phase, std::uint64_t total);
  // Adds bytes done and reports them.
  void AdvancePhase(UploadPhase phase, std::uint64_t bytes);

  // The bar's maximum from a byte count, saturating at the int range; position 0.
  void SetBarMax(std::int64_t value);
  // One step per staged byte, never beyond the maximum. One update per chunk
  // keeps the front end's work per report constant.
  void AdvanceBar(std::int32_t bytes);
  // The erase animation stops and the bar is full.
  void FinishErase();

 private:
  ControlsModel& controls_;
  std::uint64_t done_ = 0;  // of the current phase
  std::uint64_t total_ = 0;
};

}  // namespace quorvel
