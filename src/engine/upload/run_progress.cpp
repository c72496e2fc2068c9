// SPDX-License-Identifier: Apache-2.0
#include "engine/upload/run_progress.h"

#include <algorithm>
#include <climits>

namespace quorvel {

void RunProgress::BeginPhase(UploadPhase phase, std::uint64_t total) {
  done_ = 0;
  total_ = total;
  controls_.UI().UploadProgress(phase, 0, total);
}

void RunProgress::AdvancePhase(UploadPhase phase, std::uint64_t bytes) {
  done_ = std::min(done_ + bytes, total_);
  controls_.UI().UploadProgress(phase, done_, total_);
}

void RunProgress::SetBarMax(std::int64_t value) {
  controls_.SetProgressMax(static_cast<int>(std::clamp<std::int64_t>(value, 0, INT_MAX)));
  controls_.SetProgressPosition(0);
}

void RunProgress::AdvanceBar(std::int32_t bytes) {
  if (bytes <= 0) return;
  const TProgressBar& bar = controls_.Progress();
  if (bar.Position >= bar.Max) return;
  const std::int64_t next =
      static_cast<std::int64_t>(bar.Position) + static_cast<std::int64_t>(bar.Step) * bytes;
  controls_.SetProgressPosition(static_cast<int>(std::min<std::int64_t>(next, bar.Max)));
}

void RunProgress::FinishErase() {
  controls_.StopEraseAnimation();
  controls_.SetProgressPosition(controls_.Progress().Max);
}

}  // namespace quorvel
