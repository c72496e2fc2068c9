// SPDX-License-Identifier: Apache-2.0
// The window program's own options, taken out before FormCreate sees the rest.
#include "ui/app_options.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include "core/families.h"

namespace quorvel::ui {
namespace {

struct OptionsCase {
  QStringList args;
  QString open;
  QStringList remaining;
  bool error = false;
  bool help = false;
  bool version = false;
};

TEST(AppOptions, TakesItsOwnOptionsAndLeavesTheRest) {
  const OptionsCase cases[] = {
      {{"--open", "a.hex"}, "a.hex", {}},
      {{"--open"}, "", {}},  // a launcher's "--open %f" without a file
      {{"P18", "x.hex", "--open=b.hex"}, "b.hex", {"P18", "x.hex"}},
      {{"--open", "--simulate"}, "--simulate", {}},
      {{"-platform", "offscreen", "--help"}, "", {"-platform", "offscreen"}, false, true},
      {{"--version", "P24"}, "", {"P24"}, false, false, true},
      {{"--simulate"}, "", {}, true},
      {{"--screenshot"}, "", {}, true},
  };
  for (const OptionsCase& c : cases) {
    const TAppOptions o = ParseAppOptions(c.args);
    const QString name = c.args.join(' ');
    EXPECT_EQ(o.open, c.open) << name.toStdString();
    EXPECT_EQ(o.remaining, c.remaining) << name.toStdString();
    EXPECT_EQ(!o.error.isEmpty(), c.error) << name.toStdString();
    EXPECT_EQ(o.help, c.help) << name.toStdString();
    EXPECT_EQ(o.version, c.version) << name.toStdString();
  }
}

// The help names every keyword the family table lets the first argument
// hold, in the order they are tried, within the help's width.
TEST(AppOptions, HelpListsTheTablesFamilyKeywords) {
  const QString usage = AppUsage();
  qsizetype from = 0;
  for (const FamilyFacts& family : kFamilyTable) {
    if (family.argumentKeyword.empty()) continue;
    const QString word = QString::fromLatin1(family.argumentKeyword.data(),
                                             static_cast<qsizetype>(family.argumentKeyword.size()));
    const qsizetype at = usage.indexOf(QRegularExpression(QStringLiteral("[ (]%1[,)]").arg(word)), from);
    EXPECT_GE(at, 0) << word.toStdString() << " missing or out of order";
    if (at >= 0) from = at;
  }
  for (const QString& line : usage.split(QLatin1Char('\n'))) EXPECT_LE(line.size(), 79) << line.toStdString();
}

}  // namespace
}  // namespace quorvel::ui
