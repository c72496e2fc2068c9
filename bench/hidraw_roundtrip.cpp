// SPDX-License-Identifier: Apache-2.0
// Round trip of one report through a kernel HID stack: writes an information
// request (report ID 0 + 64 bytes) to a bootloader's hidraw node and times
// until its answer can be read, COUNT times. The VM test runs it against
// quorvel-uhid and quorvel-gadget to see what each stack costs per report.
// Before that it times opening and closing the node while nobody else holds
// it open: the first opener starts the device's input (usbhid also waits
// 50 ms there), which a program pays for every short-lived handle.
//
// Usage: hidraw_roundtrip /dev/hidrawN [COUNT]
// Prints two lines: open and close, then round trips (mean, median, min, max
// in milliseconds).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: hidraw_roundtrip /dev/hidrawN [COUNT]\n");
    return 1;
  }
  const int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
  double openMs = 0;
  constexpr int kOpens = 20;
  for (int i = 0; i < kOpens; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const int probe = ::open(argv[1], O_RDWR | O_CLOEXEC);
    if (probe < 0) break;
    ::close(probe);
    openMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  }
  std::printf("open and close: mean %.2f ms over %d\n", openMs / kOpens, kOpens);
  const int fd = ::open(argv[1], O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "hidraw_roundtrip: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  std::array<std::uint8_t, 65> request{};
  request[1] = 0x0F;  // frame marker
  request[2] = 0x02;  // information request
  std::vector<double> ms;
  ms.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
      std::fprintf(stderr, "hidraw_roundtrip: write: %s\n", std::strerror(errno));
      return 1;
    }
    pollfd p{fd, POLLIN, 0};
    std::array<std::uint8_t, 128> answer{};
    if (::poll(&p, 1, 2000) != 1 || ::read(fd, answer.data(), answer.size()) <= 0) {
      std::fprintf(stderr, "hidraw_roundtrip: no answer to request %d\n", i + 1);
      return 1;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  ::close(fd);
  std::vector<double> sorted = ms;
  std::sort(sorted.begin(), sorted.end());
  const double mean = std::accumulate(ms.begin(), ms.end(), 0.0) / static_cast<double>(ms.size());
  std::printf("round trip over %d reports: mean %.2f ms, median %.2f ms, min %.2f ms, max %.2f ms\n", count,
              mean, sorted[sorted.size() / 2], sorted.front(), sorted.back());
  return 0;
}
