// SPDX-License-Identifier: Apache-2.0
#pragma once
// The clock of the response wait's time-out. The uploader runs on the
// machine's clock (ResponseTimer, a window timer). Tests put the wait and the
// simulated device on one virtual clock instead, so that an answer 1 ms
// inside or outside a time-out is judged the same way however loaded the
// machine is.
#include <cstdint>
#include <functional>
#include <memory>

class QTimer;

namespace quorvel {

class TWaitClock {
 public:
  virtual ~TWaitClock() = default;
  virtual std::int64_t NowMs() const = 0;
  // Starts (or restarts) the response timer: `tick` runs on the waiting
  // thread every `ms` until Stop.
  virtual void Start(int ms, std::function<void()> tick) = 0;
  virtual void Stop() = 0;
  // Milliseconds until the next tick; -1 when the timer is stopped.
  virtual int RemainingMs() const = 0;
  // The wait has tested everything and would now sleep until an event
  // arrives. A virtual clock moves on to its next due event here and returns
  // true (test again); false means: sleep until an event arrives.
  virtual bool Idle() = 0;
};

// The machine's clock, with `timer` as the response timer.
std::unique_ptr<TWaitClock> MakeTimerWaitClock(QTimer& timer);

}  // namespace quorvel
