// SPDX-License-Identifier: Apache-2.0
#include "ui/progress_text.h"

#include <algorithm>

namespace quorvel::ui {

namespace {

constexpr std::int64_t kEstimateAfterMs = 1000;
constexpr std::uint64_t kEstimateAfterPercent = 5;

// "0:07", "12:30", "1:02:03".
QString Duration(std::int64_t seconds) {
  const auto twoDigits = [](std::int64_t n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
  const std::int64_t h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
  if (h > 0) return QStringLiteral("%1:%2:%3").arg(QString::number(h), twoDigits(m), twoDigits(s));
  return QStringLiteral("%1:%2").arg(QString::number(m), twoDigits(s));
}

}  // namespace

QString PhaseText(UploadPhase phase) {
  switch (phase) {
    case UploadPhase::Erase:
      return QStringLiteral("Erasing");
    case UploadPhase::Write:
      return QStringLiteral("Writing");
    case UploadPhase::BootErase:
      return QStringLiteral("Erasing boot flash");
    case UploadPhase::BootWrite:
      return QStringLiteral("Writing boot flash");
  }
  return {};
}

int PercentDone(std::uint64_t done, std::uint64_t total) {
  if (total == 0) return 0;
  if (done >= total) return 100;
  // 100 % only once it is all done.
  return std::min(99, static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(total)));
}

std::optional<std::int64_t> SecondsLeft(std::uint64_t done, std::uint64_t total, std::int64_t elapsedMs) {
  if (done == 0 || done >= total || elapsedMs < kEstimateAfterMs) return std::nullopt;
  if (static_cast<double>(done) * 100.0 < static_cast<double>(total) * kEstimateAfterPercent) return std::nullopt;
  const double msLeft = static_cast<double>(elapsedMs) * static_cast<double>(total - done) / static_cast<double>(done);
  return static_cast<std::int64_t>((msLeft + 999.0) / 1000.0);
}

QString ProgressBarText(UploadPhase phase, std::uint64_t done, std::uint64_t total, std::int64_t elapsedMs) {
  QString text = QStringLiteral("%1 %2 %").arg(PhaseText(phase)).arg(PercentDone(done, total));
  if (const auto left = SecondsLeft(done, total, elapsedMs)) {
    text += QStringLiteral(" — %1 left").arg(Duration(*left));
  }
  return text;
}

QString ProgressTitle(UploadPhase phase, std::uint64_t done, std::uint64_t total, const QString& caption) {
  return QStringLiteral("%1 % %2 — %3").arg(PercentDone(done, total)).arg(PhaseText(phase), caption);
}

}  // namespace quorvel::ui
