// SPDX-License-Identifier: Apache-2.0
#include "sim/device_session.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace quorvel::sim {
namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

const std::vector<std::uint8_t>& BootloaderReportDescriptor() {
  static const std::vector<std::uint8_t> descriptor = {
      0x06, 0x00, 0xFF,  // Usage Page (vendor defined 0xFF00)
      0x09, 0x01,        // Usage (1)
      0xA1, 0x01,        // Collection (Application)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x75, 0x08,        //   Report Size (8 bits)
      0x95, 0x40,        //   Report Count (64)
      0x09, 0x01,        //   Usage (1)
      0x81, 0x02,        //   Input (Data, Variable, Absolute)
      0x95, 0x40,        //   Report Count (64)
      0x09, 0x01,        //   Usage (1)
      0x91, 0x02,        //   Output (Data, Variable, Absolute)
      0xC0,              // End Collection
  };
  return descriptor;
}

DeviceSession::DeviceSession(DeviceTiming timing, DeviceCallbacks callbacks)
    : timing_(timing), callbacks_(std::move(callbacks)) {}

void DeviceSession::Note(const std::string& text) {
  if (callbacks_.onNote) callbacks_.onNote(text);
}

void DeviceSession::Closed() {
  if (callbacks_.onClosed) callbacks_.onClosed();
}

void DeviceSession::Error(const std::string& text) {
  if (callbacks_.onError) callbacks_.onError(text);
}

void DeviceSession::MarkStarted() {
  state_ = State::kRunning;
  if (callbacks_.onStarted) callbacks_.onStarted(incarnation_);
}

void DeviceSession::Unplug() {
  state_ = State::kGone;
  Destroy();
}

void DeviceSession::UnplugIfPresent() {
  if (state_ == State::kAwaitingStart || state_ == State::kRunning) Unplug();
}

bool DeviceSession::Pause(int stopFd, std::uint32_t ms) {
  if (ms == 0) return !stopRequested_;
  const std::int64_t until = NowMs() + ms;
  for (;;) {
    const std::int64_t left = until - NowMs();
    if (left <= 0) return true;
    pollfd p{stopFd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left));
    if (r > 0) {
      stopRequested_ = true;
      return false;
    }
    if (r < 0 && errno != EINTR) return true;
  }
}

bool DeviceSession::Serve(const DeviceReport& report, int stopFd) {
  if (stalled_) return true;  // a hung firmware takes nothing more
  if (!Pause(stopFd, timing_.paceMs)) return false;
  DeviceReaction reaction = callbacks_.onReport ? callbacks_.onReport(report) : DeviceReaction{};
  if (!reaction.replies.empty() && !Pause(stopFd, reaction.delayMs)) return false;
  for (const auto& reply : reaction.replies) {
    if (!Pause(stopFd, timing_.paceMs)) return false;
    if (!SendInput(reply, stopFd)) return false;
  }
  if (reaction.stall) stalled_ = true;
  if (reaction.vanish) {
    Unplug();
    const bool willReturn = timing_.recreateAfterMs >= 0;
    if (callbacks_.onDestroyed) callbacks_.onDestroyed(willReturn);
    if (!willReturn) return false;
    deadlineMs_ = NowMs() + timing_.recreateAfterMs;
  }
  return true;
}

int DeviceSession::Run(int stopFd) {
  state_ = State::kWaitingToCreate;
  deadlineMs_ = NowMs() + timing_.createAfterMs;
  for (;;) {
    const bool waiting = state_ == State::kWaitingToCreate || state_ == State::kGone;
    if (waiting && NowMs() >= deadlineMs_) {
      ++incarnation_;
      state_ = State::kAwaitingStart;
      stalled_ = false;
      if (!Create()) {
        state_ = State::kGone;
        return 2;
      }
      continue;
    }
    int timeout = -1;
    if (waiting) timeout = static_cast<int>(std::max<std::int64_t>(0, deadlineMs_ - NowMs()));

    // Before the first creation the device interface has nothing to say.
    const int fd = state_ == State::kWaitingToCreate ? -1 : InputFd();
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd, POLLIN, 0}};
    const nfds_t count = fd >= 0 ? 2 : 1;
    const int r = ::poll(fds, count, timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      return 2;
    }
    if (fds[0].revents != 0) stopRequested_ = true;
    if (stopRequested_) break;
    if (count == 2 && (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 &&
        (fds[1].revents & POLLIN) == 0) {
      Error("device file descriptor closed");
      fdFailed_ = true;
      break;
    }
    if (count == 2 && (fds[1].revents & POLLIN) != 0) {
      if (!OnReadable(stopFd)) break;
    }
  }
  UnplugIfPresent();
  return fdFailed_ ? 2 : 0;
}

}  // namespace quorvel::sim
