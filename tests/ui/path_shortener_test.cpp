// Status-bar path shortening, measured with a fake font (one pixel per
// character) so every step of the cutting is visible.
#include "ui/path_shortener.h"

#include <gtest/gtest.h>

#include <utility>

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

TEST(ShortenPathToWidth, DriveGoesTogetherWithTheLastRootedCut) {
  EXPECT_EQ(ShortenPathToWidth(QStringLiteral("C:/a/f.hex"), CharWidth, 9), QStringLiteral(".../f.hex"));
  EXPECT_EQ(ShortenPathToWidth(QStringLiteral("C:/a/f.hex"), CharWidth, 6), QStringLiteral("f.hex"));
}

}  // namespace
}  // namespace quorvel::ui
