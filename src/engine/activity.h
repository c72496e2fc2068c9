// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the engine is doing, and the work that waits until it is done. The
// nested waits process events, so clicks and device changes can arrive in
// the middle of an exchange: this state decides which of them run at once,
// which are ignored and which wait for the engine to be idle.
#include <algorithm>
#include <utility>
#include <vector>

#include "engine/frontend.h"

namespace quorvel {

enum class Activity {
  Idle,
  Handshake,            // Connect's Boot and Sync exchange
  HandshakeCancelling,  // ... and the user clicked "Waiting... Disconnect"
  Uploading,            // a run, from its start until it is stopped or ends
  UploadEnding,         // a stop was asked for, or the run ended and its handler is returning
};

class ActivityState {
 public:
  Activity Current() const { return current_; }
  void Set(Activity activity) { current_ = activity; }

  bool Handshaking() const { return current_ == Activity::Handshake || current_ == Activity::HandshakeCancelling; }
  bool UploadActive() const { return current_ == Activity::Uploading || current_ == Activity::UploadEnding; }

  // Exchanges, the handshake and the upload mark themselves busy for their
  // lifetime (they nest); device changes and clicks wait until none is left.
  bool Busy() const { return busyDepth_ > 0; }
  void EnterBusy() { ++busyDepth_; }
  // True when this ended the outermost busy section.
  bool LeaveBusy() {
    if (busyDepth_ > 0) --busyDepth_;
    return busyDepth_ == 0;
  }

  // --- work deferred until the engine is idle ---
  bool DeviceChangePending() const { return deviceChangePending_; }
  void SetDeviceChangePending(bool pending) { deviceChangePending_ = pending; }
  // A button clicked twice meanwhile runs once.
  void DeferClick(ButtonId id) {
    if (std::find(clicks_.begin(), clicks_.end(), id) == clicks_.end()) clicks_.push_back(id);
  }
  bool ClicksPending() const { return !clicks_.empty(); }
  std::vector<ButtonId> TakeClicks() { return std::exchange(clicks_, {}); }

 private:
  Activity current_ = Activity::Idle;
  int busyDepth_ = 0;
  bool deviceChangePending_ = false;
  std::vector<ButtonId> clicks_;
};

}  // namespace quorvel
