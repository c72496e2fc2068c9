// SPDX-License-Identifier: Apache-2.0
// How a button's caption is marked for its Alt letter.
#include "ui/controls.h"

#include <gtest/gtest.h>

namespace quorvel::ui {
namespace {

TEST(MnemonicCaption, MarksTheFirstLetterOfEitherCaseAndDoublesAmpersands) {
  const struct {
    const char* caption;
    char letter;  // 0: none
    const char* marked;
  } cases[] = {
      {"Connect", 'C', "&Connect"},
      {"Begin uploading", 'U', "Begin &uploading"},
      {"Browse      for HEX", 'B', "&Browse      for HEX"},
      {"R&D board", 'D', "R&&&D board"},  // the caption's own "&" is no marker
      {"Stop uploading", 'X', "Stop uploading"},
      {"Save & exit", 0, "Save && exit"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MnemonicCaption(QString::fromUtf8(c.caption), c.letter ? QChar(c.letter) : QChar()),
              QString::fromUtf8(c.marked))
        << c.caption;
  }
}

}  // namespace
}  // namespace quorvel::ui
