// SPDX-License-Identifier: Apache-2.0
#pragma once
// VirtualClock: simulated time shared by the engine's response wait and the
// simulated devices, for tests that pin time-outs to the millisecond.
//
// Time stands still while anything is on its way: a report the device has not
// handled yet, an answer not yet delivered to the engine, a device change not
// yet seen. Only when the waiting engine has nothing left to test (Idle) does
// the clock jump to its next due event, which is either an answer the device
// scheduled or the wait's own time-out tick. An answer due at the very moment
// of the tick comes first. So the outcome depends on the simulated times
// alone, never on how fast the machine runs, and no thread ever sleeps for
// simulated time.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "protocol/wait_clock.h"

namespace quorvel::hid {
class WakeupReceiver;
}

namespace quorvel::sim {

class VirtualClock : public TWaitClock {
 public:
  // Made on the thread whose waits drive it (the UI thread).
  VirtualClock();
  ~VirtualClock() override;
  VirtualClock(const VirtualClock&) = delete;
  VirtualClock& operator=(const VirtualClock&) = delete;

  // --- TWaitClock, on the waiting thread ---
  std::int64_t NowMs() const override;
  void Start(int ms, std::function<void()> tick) override;
  void Stop() override;
  int RemainingMs() const override;
  bool Idle() override;

  // --- the simulated devices' side, any thread ---
  // Runs `action` on the waiting thread once the clock has reached `atMs`.
  void At(std::int64_t atMs, std::function<void()> action);
  // Time moves on only while `settled` holds (nothing on its way).
  void SetSettledCheck(std::function<bool()> settled);
  // Something may have settled: wakes a wait that sleeps for events.
  void Poke();

 private:
  struct Due {
    std::int64_t at = 0;
    std::uint64_t order = 0;
    std::function<void()> action;
  };

  mutable std::mutex m_;
  std::int64_t now_ = 0;
  std::vector<Due> due_;
  std::uint64_t nextOrder_ = 0;
  std::optional<std::int64_t> tickAt_;
  int tickInterval_ = 0;
  std::function<void()> tick_;
  std::function<bool()> settled_;
  std::unique_ptr<hid::WakeupReceiver> waker_;
};

}  // namespace quorvel::sim
