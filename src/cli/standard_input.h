// SPDX-License-Identifier: Apache-2.0
#pragma once
// FILE '-': standard input read whole, once, for a one-board upload and for
// the parent of `upload --all` alike. A pipe may stay silent for as long as
// its writer likes, so the read looks up between waits and can be stopped.
#include <cstdint>
#include <functional>
#include <string>

namespace quorvel::cli {

enum class InputRead { Complete, Stopped, TooLarge, Failed };

struct InputReadResult {
  InputRead status = InputRead::Complete;
  int err = 0;  // Failed: errno
};

// Reads `fd` to its end into `out`. Between waits of at most `pollMs`,
// `stopped()` runs (it may process events) and a true answer ends the read.
// More than `limit` bytes end it as TooLarge with `out` emptied, before any
// more memory is taken.
InputReadResult ReadWholeInput(int fd, std::uint64_t limit, int pollMs, std::string& out,
                               const std::function<bool()>& stopped);

// Why a read that was neither complete nor stopped failed, as one sentence.
std::string InputReadProblem(const InputReadResult& read, std::uint64_t limit);

}  // namespace quorvel::cli
