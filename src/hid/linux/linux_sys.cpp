// SPDX-License-Identifier: Apache-2.0
#include "hid/linux/linux_sys.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "io/retry_eintr.h"

namespace quorvel::hid::linux_hid {

using io::RetryEintr;

int LinuxSys::Open(const char* path, int flags) { return RetryEintr([&] { return ::open(path, flags); }); }

int LinuxSys::Close(int fd) { return ::close(fd); }

ssize_t LinuxSys::Read(int fd, void* buffer, std::size_t size) {
  return RetryEintr([&] { return ::read(fd, buffer, size); });
}

ssize_t LinuxSys::Write(int fd, const void* buffer, std::size_t size) {
  return RetryEintr([&] { return ::write(fd, buffer, size); });
}

int LinuxSys::Ioctl(int fd, unsigned long request, void* arg) {
  return RetryEintr([&] { return ::ioctl(fd, request, arg); });
}

int LinuxSys::Poll(pollfd* fds, nfds_t count, int timeoutMs) {
  // An interrupted poll is resumed with what is left of the time-out.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int r = ::poll(fds, count, timeoutMs);
    if (r >= 0 || errno != EINTR) return r;
    if (timeoutMs > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      timeoutMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
  }
}

int LinuxSys::EventFd() { return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

int LinuxSys::Flock(int fd, int operation) {
  return RetryEintr([&] { return ::flock(fd, operation); });
}

bool LinuxSys::ReadFile(const std::string& path, std::string& contents) {
  const int fd = Open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  contents.clear();
  char chunk[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = Read(fd, chunk, sizeof chunk);
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    contents.append(chunk, static_cast<std::size_t>(n));
    if (contents.size() > (1u << 20)) {  // no sysfs attribute of interest is this large
      ok = false;
      break;
    }
  }
  Close(fd);
  return ok;
}

bool LinuxSys::RealPath(const std::string& path, std::string& resolved) {
  char* r = ::realpath(path.c_str(), nullptr);
  if (r == nullptr) return false;
  resolved = r;
  std::free(r);
  return true;
}

int LinuxSys::Stat(const char* path, struct stat& st) { return ::stat(path, &st); }

int LinuxSys::Access(const char* path, int mode) { return ::faccessat(AT_FDCWD, path, mode, AT_EACCESS); }

bool LinuxSys::UdevDaemonRunning() { return ::access("/run/udev/control", F_OK) == 0; }

LinuxSys& DefaultSys() {
  static LinuxSys sys;
  return sys;
}

}  // namespace quorvel::hid::linux_hid
