// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the progress bar and the window title say while an upload runs: the
// phase, how far it is and, once it can be estimated, the time left.
#include <QString>
#include <cstdint>
#include <optional>

#include "engine/frontend.h"

namespace quorvel::ui {

// "Erasing", "Writing", "Erasing boot flash", "Writing boot flash".
QString PhaseText(UploadPhase phase);
// Whole percent done of a phase, 0 to 100.
int PercentDone(std::uint64_t done, std::uint64_t total);
// Seconds left in a phase at the rate of the bytes done so far, once that
// rate means something: a second into the phase and 5 % of it done.
std::optional<std::int64_t> SecondsLeft(std::uint64_t done, std::uint64_t total, std::int64_t elapsedMs);
// "Writing 42 % — 0:12 left", or "Writing 42 %" without an estimate.
QString ProgressBarText(UploadPhase phase, std::uint64_t done, std::uint64_t total, std::int64_t elapsedMs);
// "42 % Writing — <caption>".
QString ProgressTitle(UploadPhase phase, std::uint64_t done, std::uint64_t total, const QString& caption);

}  // namespace quorvel::ui
