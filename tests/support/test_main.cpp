// SPDX-License-Identifier: Apache-2.0
// Shared main for every test binary: a QCoreApplication exists for the whole
// run, so tests that need Qt's event loop (timers, queued deliveries) can use it.
// Test binaries that need widgets provide their own main instead.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
