// SPDX-License-Identifier: Apache-2.0
#include "cli/progress_display.h"

#include <algorithm>
#include <cstdio>

namespace quorvel::cli {

const char* PhaseKey(UploadPhase phase) {
  switch (phase) {
    case UploadPhase::Erase:
      return "erase";
    case UploadPhase::Write:
      return "write";
    case UploadPhase::BootErase:
      return "boot-erase";
    case UploadPhase::BootWrite:
      return "boot-write";
  }
  return "write";
}

const char* PhaseLabel(UploadPhase phase) {
  switch (phase) {
    case UploadPhase::Erase:
      return "Erase";
    case UploadPhase::Write:
      return "Write";
    case UploadPhase::BootErase:
      return "Boot erase";
    case UploadPhase::BootWrite:
      return "Boot write";
  }
  return "Write";
}

std::string SizePair(std::uint64_t done, std::uint64_t total) {
  char text[64];
  if (total < 1024) {
    std::snprintf(text, sizeof text, "%llu/%llu B", static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(total));
  } else if (total < 4ull * 1024 * 1024) {
    // Whole KiB, rounded down, so a phase never shows done before it is.
    std::snprintf(text, sizeof text, "%llu/%llu KiB", static_cast<unsigned long long>(done / 1024),
                  static_cast<unsigned long long>((total + 1023) / 1024));
  } else {
    std::snprintf(text, sizeof text, "%.1f/%.1f MiB", static_cast<double>(done) / (1024.0 * 1024.0),
                  static_cast<double>(total) / (1024.0 * 1024.0));
  }
  return text;
}

std::string RateText(std::uint64_t bytes, std::int64_t ms) {
  // Under a tenth of a second the rate is mostly noise.
  if (ms < 100) return "-";
  const double perSecond = static_cast<double>(bytes) * 1000.0 / static_cast<double>(ms);
  char text[32];
  if (perSecond < 1024.0) {
    std::snprintf(text, sizeof text, "%.0f B/s", perSecond);
  } else if (perSecond < 1024.0 * 1024.0) {
    std::snprintf(text, sizeof text, "%.0f KiB/s", perSecond / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB/s", perSecond / (1024.0 * 1024.0));
  }
  return text;
}

std::string ClockText(std::int64_t ms) {
  const std::int64_t seconds = std::max<std::int64_t>(ms, 0) / 1000;
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

std::string ProgressLine(UploadPhase phase, std::uint64_t done, std::uint64_t total, std::int64_t phaseMs,
                         std::int64_t elapsedMs, int width) {
  done = std::min(done, total);
  const int filled = total == 0 ? 0 : static_cast<int>(done * static_cast<std::uint64_t>(width) / total);
  std::string line = PhaseLabel(phase);
  line += " [";
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(width - filled), '.');
  line += "] " + SizePair(done, total) + " " + RateText(done, phaseMs) + " " + ClockText(elapsedMs);
  return line;
}

}  // namespace quorvel::cli
