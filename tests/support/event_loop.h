// SPDX-License-Identifier: Apache-2.0
#pragma once
// Running the Qt event loop from a test: the engine's deliveries, timers and
// device notifications all arrive as events.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>

namespace quorvel::test {

// Processes events for `ms` milliseconds (at least one pass).
inline void RunEventsFor(int ms) {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  if (ms <= 0) return;
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// Processes events until `done` holds or `timeoutMs` passed; returns `done()`.
inline bool RunUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() >= timeoutMs) return done();
    RunEventsFor(2);
  }
  return true;
}

}  // namespace quorvel::test
