// SPDX-License-Identifier: Apache-2.0
#pragma once
// A QObject on the owning thread that other threads wake up by posting an
// empty event. Nothing the posting thread allocates is read on the receiving
// side: the work to do waits in state guarded by the caller's own mutex, so
// the hand-over stays visible to race checkers (Qt's internal queue locking
// is not).
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <functional>
#include <utility>

namespace quorvel::hid {

class WakeupReceiver : public QObject {
 public:
  explicit WakeupReceiver(std::function<void()> run) : run_(std::move(run)) {}

  // Any thread.
  void Wake() { QCoreApplication::postEvent(this, new QEvent(kWakeup)); }

  // Owning thread. Safe from inside run_: it is switched off, not destroyed.
  void Detach() { detached_ = true; }

  bool event(QEvent* e) override {
    // Every event counts as a wake-up; reading the event itself would touch
    // memory the posting thread wrote. A spurious wake-up finds nothing to do.
    if (!detached_ && run_) run_();
    return QObject::event(e);
  }

 private:
  static constexpr auto kWakeup = static_cast<QEvent::Type>(QEvent::User + 0x51);
  std::function<void()> run_;
  bool detached_ = false;
};

}  // namespace quorvel::hid
