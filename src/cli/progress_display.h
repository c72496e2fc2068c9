// SPDX-License-Identifier: Apache-2.0
#pragma once
// How upload progress reads on a terminal and in JSON: the phase's word, and
// one bar line such as "Write [#####.....] 96/256 KiB 58 KiB/s 0:02".
#include <cstdint>
#include <string>

#include "engine/frontend.h"

namespace quorvel::cli {

// "erase", "write", "boot-erase", "boot-write": the JSON `phase` values.
const char* PhaseKey(UploadPhase phase);
// "Erase", "Write", "Boot erase", "Boot write": the bar's label.
const char* PhaseLabel(UploadPhase phase);

// The bar's text without the leading carriage return. `phaseMs` is the time
// spent in this phase (for the rate), `elapsedMs` since the upload began.
std::string ProgressLine(UploadPhase phase, std::uint64_t done, std::uint64_t total, std::int64_t phaseMs,
                         std::int64_t elapsedMs, int width = 10);

// "96/256 KiB", "512/1024 B", "1.5/3.0 MiB": both numbers in the unit that fits the total.
std::string SizePair(std::uint64_t done, std::uint64_t total);
// "58 KiB/s"; "-" before a rate can be told.
std::string RateText(std::uint64_t bytes, std::int64_t ms);
// "0:02", "1:05:09".
std::string ClockText(std::int64_t ms);

}  // namespace quorvel::cli
