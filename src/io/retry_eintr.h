// SPDX-License-Identifier: Apache-2.0
#pragma once
// Repeats a system call that a signal interrupted. Not for close: Linux
// releases the descriptor even when close is interrupted, so a retry could
// close a descriptor another thread just got.
#include <cerrno>

namespace quorvel::io {

template <typename Call>
auto RetryEintr(Call call) {
  for (;;) {
    auto r = call();
    if (r >= 0 || errno != EINTR) return r;
  }
}

}  // namespace quorvel::io
