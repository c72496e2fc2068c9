// SPDX-License-Identifier: Apache-2.0
#pragma once
// Shortening of a file path for the status bar: whole leading folders are
// replaced by ".../" until the text fits the available width.
#include <QString>
#include <functional>

namespace quorvel::ui {

// Measures the width of a text in pixels (the status bar's font metrics in
// the window, a fake in tests).
using TextWidthFn = std::function<int(const QString&)>;

// Drops the first folder of a directory string ("/a/b/" -> "/.../b/",
// ".../b/c/" -> ".../c/", "/" -> "").
void CutFirstFolder(QString& dir);

// Returns `text` shortened by whole folders until `width(result) <= maxWidth`,
// or the bare file name when nothing is left to cut. The directory part ends
// at the last "/".
QString ShortenPathToWidth(const QString& text, const TextWidthFn& width, int maxWidth);

}  // namespace quorvel::ui
