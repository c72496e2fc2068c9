// SPDX-License-Identifier: Apache-2.0
#pragma once
// A broken promise in a fuzz entry ends the run the way libFuzzer reports best.
#include <cstdlib>

namespace quorvel::fuzz {

inline void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace quorvel::fuzz
