// SPDX-License-Identifier: Apache-2.0
// Main for the window's tests: a QApplication on the offscreen platform, so
// widgets can be created, shown and grabbed without a display.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quorvel"));
  return RUN_ALL_TESTS();
}
