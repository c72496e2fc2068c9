// SPDX-License-Identifier: Apache-2.0
#include "cli/standard_input.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace quorvel::cli {

InputReadResult ReadWholeInput(int fd, std::uint64_t limit, int pollMs, std::string& out,
                               const std::function<bool()>& stopped) {
  std::vector<char> chunk(1u << 16);
  for (;;) {
    if (stopped && stopped()) return {InputRead::Stopped, 0};
    pollfd input{fd, POLLIN, 0};
    const int ready = ::poll(&input, 1, pollMs);
    if (ready < 0 && errno != EINTR) return {InputRead::Failed, errno};
    if (ready <= 0) continue;
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return {InputRead::Failed, errno};
    if (n == 0) return {InputRead::Complete, 0};
    if (out.size() + static_cast<std::uint64_t>(n) > limit) {
      out.clear();
      out.shrink_to_fit();
      return {InputRead::TooLarge, 0};
    }
    out.append(chunk.data(), static_cast<std::size_t>(n));
  }
}

std::string InputReadProblem(const InputReadResult& read, std::uint64_t limit) {
  if (read.status == InputRead::TooLarge) {
    return "Standard input holds more than " + std::to_string(limit) +
           " bytes, more than any device's flash could need. Nothing was loaded.";
  }
  return std::string("Standard input cannot be read: ") + std::strerror(read.err) + ".";
}

}  // namespace quorvel::cli
