// SPDX-License-Identifier: Apache-2.0
#include "ui/path_shortener.h"

namespace quorvel::ui {

namespace {
const QString kCutMark = QStringLiteral(".../");
}  // namespace

void CutFirstFolder(QString& dir) {
  if (dir == QLatin1String("/")) {
    dir.clear();
    return;
  }
  const bool rooted = dir.startsWith(QLatin1Char('/'));
  if (rooted) dir.remove(0, 1);
  // Only the mark of an earlier cut is skipped; a folder whose name merely
  // begins with "." (".config") is a real folder and is cut like any other.
  if (dir.startsWith(kCutMark)) dir.remove(0, kCutMark.size());
  const qsizetype slash = dir.indexOf(QLatin1Char('/'));
  if (slash >= 0) {
    dir = kCutMark + dir.mid(slash + 1);
  } else {
    dir.clear();
  }
  if (rooted) dir.prepend(QLatin1Char('/'));
}

QString ShortenPathToWidth(const QString& text, const TextWidthFn& width, int maxWidth) {
  QString result = text;
  // "/" is the only separator: ":" is an ordinary character in a Linux file
  // name, and there are no drive letters.
  const qsizetype split = text.lastIndexOf(QLatin1Char('/'));
  QString dir = text.left(split + 1);
  const QString name = text.mid(split + 1);
  // Every step shortens dir, so this ends; the cap only guards against a
  // future change breaking that.
  for (int guard = 0; !dir.isEmpty() && width(result) > maxWidth && guard < 100000; ++guard) {
    if (dir == QLatin1String("/.../")) {
      dir = kCutMark;  // the root goes with the last cut folder
    } else {
      CutFirstFolder(dir);
    }
    result = dir + name;
  }
  return result;
}

}  // namespace quorvel::ui
