// SPDX-License-Identifier: Apache-2.0
#pragma once
// The system calls the Linux HID platform makes, behind one seam so tests can
// put failing fakes in their place. The default implementation retries EINTR
// (never for close: Linux releases the descriptor even when close is
// interrupted, so a retry could close a descriptor another thread just got).
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace quorvel::hid::linux_hid {

class LinuxSys {
 public:
  virtual ~LinuxSys() = default;
  // All return what the system call returns; errno is set on failure.
  virtual int Open(const char* path, int flags);
  virtual int Close(int fd);
  virtual ssize_t Read(int fd, void* buffer, std::size_t size);
  virtual ssize_t Write(int fd, const void* buffer, std::size_t size);
  virtual int Ioctl(int fd, unsigned long request, void* arg);
  virtual int Poll(pollfd* fds, nfds_t count, int timeoutMs);
  virtual int EventFd();  // non-blocking, close-on-exec
  virtual int Flock(int fd, int operation);
  // Reads a whole (sysfs) file; false when it cannot be read.
  virtual bool ReadFile(const std::string& path, std::string& contents);
  // The path with every link resolved; false when it does not exist.
  virtual bool RealPath(const std::string& path, std::string& resolved);
  virtual int Stat(const char* path, struct stat& st);
  // access() with the effective ids, as an open would be checked.
  virtual int Access(const char* path, int mode);
  // False when a udev daemon runs (its monitor then carries processed events).
  virtual bool UdevDaemonRunning();
};

// The real system calls.
LinuxSys& DefaultSys();

}  // namespace quorvel::hid::linux_hid
