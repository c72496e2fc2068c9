// SPDX-License-Identifier: Apache-2.0
// How paths are fitted into the window: the status bar's shortening, measured
// with a fake font (one pixel per character) so every step of the cutting is
// visible, and the history log's break marks.
#include "ui/path_shortener.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "ui/controls.h"

namespace quorvel::ui {
namespace {

int CharWidth(const QString& text) { return static_cast<int>(text.size()); }

TEST(CutFirstFolder, DropsOneFolderAndKeepsTheRootAndMark) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"/", ""},
      {"/a/b/", "/.../b/"},
      {"/.../b/c/", "/.../c/"},
      {"/.../c/", "/.../"},
      {"a/b/", ".../b/"},
      {".../b/", ".../"},
      {".../", ""},
      {": /home/u/", ".../home/u/"},
      {"abc:", ""},
      // A real folder that starts with "." is not mistaken for the cut mark.
      {".config/quorvel/", ".../quorvel/"},
      {"/.config/x/", "/.../x/"},
  };
  for (const Case& c : cases) {
    QString dir = QString::fromLatin1(c.in);
    CutFirstFolder(dir);
    EXPECT_EQ(dir, QString::fromLatin1(c.out)) << "input " << c.in;
  }
}

TEST(ShortenPathToWidth, LeavesAFittingTextAlone) {
  const QString text = QStringLiteral(": /work/proj/app.hex");
  EXPECT_EQ(ShortenPathToWidth(text, CharWidth, static_cast<int>(text.size())), text);
}

// The budget decides how many whole folders go; a cut that does not make the
// text narrower enough is followed by the next one in the same call.
TEST(ShortenPathToWidth, CutsWholeFoldersUntilTheTextFits) {
  const QString text = QStringLiteral(": /work/proj/app.hex");  // 20 wide
  const std::pair<int, const char*> steps[] = {
      {20, ": /work/proj/app.hex"}, {19, ".../proj/app.hex"}, {16, ".../proj/app.hex"},
      {15, ".../app.hex"},          {11, ".../app.hex"},      {10, "app.hex"},
  };
  for (const auto& [budget, expected] : steps) {
    EXPECT_EQ(ShortenPathToWidth(text, CharWidth, budget), QString::fromLatin1(expected))
        << "budget " << budget;
  }
}

TEST(ShortenPathToWidth, EndsAsTheBareNameHoweverWide) {
  EXPECT_EQ(ShortenPathToWidth(QStringLiteral(": /a/b/very-long-firmware-name.hex"), CharWidth, 3),
            QStringLiteral("very-long-firmware-name.hex"));
  EXPECT_EQ(ShortenPathToWidth(QStringLiteral("name.hex"), CharWidth, 0), QStringLiteral("name.hex"));
  EXPECT_EQ(ShortenPathToWidth(QString(), CharWidth, -5), QString());
}

TEST(ShortenPathToWidth, RootedTextWithoutPrefixKeepsItsRootWhileFolderLeft) {
  const QString text = QStringLiteral("/a/b/c/f.hex");
  EXPECT_EQ(ShortenPathToWidth(text, CharWidth, 12), text);
  EXPECT_EQ(ShortenPathToWidth(text, CharWidth, 11), QStringLiteral("/.../f.hex"));
  EXPECT_EQ(ShortenPathToWidth(text, CharWidth, 9), QStringLiteral(".../f.hex"));
  EXPECT_EQ(ShortenPathToWidth(text, CharWidth, 8), QStringLiteral("f.hex"));
}

// ":" is an ordinary character of a Linux name: it neither ends a folder nor
// makes a drive.
TEST(ShortenPathToWidth, ColonBelongsToTheName) {
  const std::tuple<const char*, int, const char*> cases[] = {
      {": /home/user/fw/app:v2.hex", 17, ".../fw/app:v2.hex"},
      {": /home/user/fw/app:v2.hex", 14, ".../app:v2.hex"},
      {": /home/user/fw/app:v2.hex", 13, "app:v2.hex"},
      {": /srv/a:b/c:d/f.hex", 14, ".../c:d/f.hex"},
      {"C:/a/f.hex", 9, ".../f.hex"},
      {"C:/a/f.hex", 6, "f.hex"},
  };
  for (const auto& [text, budget, expected] : cases) {
    EXPECT_EQ(ShortenPathToWidth(QString::fromLatin1(text), CharWidth, budget), QString::fromLatin1(expected))
        << text << " in " << budget;
  }
}

// The marks change where a line may wrap, never the text: words without a
// "/" are left as they are, and removing the marks gives the line back.
TEST(PathBreaks, OnlyPathsAreMarkedAndTheMarksComeOffAgain) {
  const QString lines[] = {
      QStringLiteral("Opened: /home/user/2024/stm32-blink-demo/app.hex"),
      QStringLiteral("Error: Cannot read file '/a b/c': Permission denied."),
      QStringLiteral("File not found: relative/x-y.hex"),
      QStringLiteral("/"),
      QString(),
  };
  for (const QString& line : lines) {
    EXPECT_EQ(WithoutPathBreaks(WithPathBreaks(line)), line) << line.toStdString();
  }
  const QString plain = QStringLiteral("USB HID device is not in bootloader mode.  Reset-device.");
  EXPECT_EQ(WithPathBreaks(plain), plain);
  // A break after the "/" even before a digit, none inside "1/".
  EXPECT_EQ(WithPathBreaks(QStringLiteral("x 1/2")), QStringLiteral("x 1\u2060/\u200B2"));
}

}  // namespace
}  // namespace quorvel::ui
