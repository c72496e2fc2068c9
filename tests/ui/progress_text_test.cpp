// SPDX-License-Identifier: Apache-2.0
// The upload's progress as the bar and the title word it.
#include "ui/progress_text.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace quorvel::ui {
namespace {

TEST(ProgressText, BarTextWithTimeLeftOnceItCanBeEstimated) {
  constexpr std::uint64_t kHuge = std::uint64_t{1} << 63;
  const struct {
    UploadPhase phase;
    std::uint64_t done, total;
    std::int64_t elapsedMs;
    const char* expected;
  } cases[] = {
      {UploadPhase::Erase, 0, 4096, 0, "Erasing 0 %"},
      {UploadPhase::Write, 42, 100, 999, "Writing 42 %"},            // under a second: no estimate yet
      {UploadPhase::Write, 4, 100, 5000, "Writing 4 %"},              // under 5 % done: none either
      {UploadPhase::Write, 5, 100, 1000, "Writing 5 % — 0:19 left"},  // both met
      {UploadPhase::Write, 42, 100, 8400, "Writing 42 % — 0:12 left"},
      {UploadPhase::Write, 99, 100, 99000, "Writing 99 % — 0:01 left"},
      {UploadPhase::Write, 999, 1000, 1000, "Writing 99 % — 0:01 left"},  // 100 % only when all is done
      {UploadPhase::Write, 100, 100, 5000, "Writing 100 %"},
      {UploadPhase::Write, kHuge - 1, kHuge, 0, "Writing 99 %"},  // rounds to 100.0 as a double
      {UploadPhase::BootErase, 10, 100, 600000, "Erasing boot flash 10 % — 1:30:00 left"},
      {UploadPhase::BootWrite, kHuge / 2, kHuge, 2000, "Writing boot flash 50 % — 0:02 left"},
      {UploadPhase::Write, 0, 0, 2000, "Writing 0 %"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProgressBarText(c.phase, c.done, c.total, c.elapsedMs), QString::fromUtf8(c.expected))
        << c.done << " of " << c.total << " after " << c.elapsedMs << " ms";
  }
}

TEST(ProgressText, TitleLeadsWithPercentAndPhase) {
  EXPECT_EQ(ProgressTitle(UploadPhase::Write, 42, 100, QStringLiteral("Caption v1")),
            QStringLiteral("42 % Writing — Caption v1"));
  EXPECT_EQ(ProgressTitle(UploadPhase::Erase, 0, 8, QStringLiteral("%1 %2")), QStringLiteral("0 % Erasing — %1 %2"))
      << "a caption is shown as it is";
}

}  // namespace
}  // namespace quorvel::ui
