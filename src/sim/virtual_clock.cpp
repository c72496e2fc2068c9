// SPDX-License-Identifier: Apache-2.0
#include "sim/virtual_clock.h"

#include <algorithm>

#include "hid/wakeup_receiver.h"

namespace quorvel::sim {

// The wake-up only ends the wait's sleep; the wait then asks Idle again.
VirtualClock::VirtualClock() : waker_(std::make_unique<hid::WakeupReceiver>([] {})) {}

VirtualClock::~VirtualClock() = default;

std::int64_t VirtualClock::NowMs() const {
  std::lock_guard lock(m_);
  return now_;
}

void VirtualClock::Start(int ms, std::function<void()> tick) {
  std::lock_guard lock(m_);
  tickInterval_ = std::max(ms, 0);
  tickAt_ = now_ + tickInterval_;
  tick_ = std::move(tick);
}

void VirtualClock::Stop() {
  std::lock_guard lock(m_);
  tickAt_.reset();
  tick_ = nullptr;
}

int VirtualClock::RemainingMs() const {
  std::lock_guard lock(m_);
  return tickAt_ ? static_cast<int>(*tickAt_ - now_) : -1;
}

bool VirtualClock::Idle() {
  std::function<bool()> settled;
  {
    std::lock_guard lock(m_);
    settled = settled_;
  }
  if (settled && !settled()) return false;

  std::function<void()> run;
  {
    std::lock_guard lock(m_);
    const auto first = std::min_element(due_.begin(), due_.end(), [](const Due& a, const Due& b) {
      return a.at != b.at ? a.at < b.at : a.order < b.order;
    });
    if (first != due_.end() && (!tickAt_ || first->at <= *tickAt_)) {
      now_ = std::max(now_, first->at);
      run = std::move(first->action);
      due_.erase(first);
    } else if (tickAt_) {
      now_ = std::max(now_, *tickAt_);
      tickAt_ = now_ + std::max(tickInterval_, 1);  // a repeating timer, like the machine's
      run = tick_;
    } else {
      return false;
    }
  }
  if (run) run();
  return true;
}

void VirtualClock::At(std::int64_t atMs, std::function<void()> action) {
  {
    std::lock_guard lock(m_);
    due_.push_back({atMs, nextOrder_++, std::move(action)});
  }
  Poke();
}

void VirtualClock::SetSettledCheck(std::function<bool()> settled) {
  std::lock_guard lock(m_);
  settled_ = std::move(settled);
}

void VirtualClock::Poke() { waker_->Wake(); }

}  // namespace quorvel::sim
