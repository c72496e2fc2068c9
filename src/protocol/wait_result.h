// SPDX-License-Identifier: Apache-2.0
#pragma once
// How a wait for the bootloader's answer ended.

namespace quorvel {

// Results of WaitResponse.
enum TWaitResult : int {
  WaitAcknowledged = 0,
  WaitDeviceGone = 1,
  WaitTimedOut = 2,
  WaitCancelled = 3,  // the user cancelled a handshake, or gave up waiting; no error line
};

}  // namespace quorvel
