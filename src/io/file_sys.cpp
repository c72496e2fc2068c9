// SPDX-License-Identifier: Apache-2.0
#include "io/file_sys.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "io/retry_eintr.h"

namespace quorvel::io {

int FileSys::Open(const char* path, int flags, mode_t mode) {
  return RetryEintr([&] { return ::open(path, flags, mode); });
}

int FileSys::Close(int fd) { return ::close(fd); }

ssize_t FileSys::Read(int fd, void* buffer, std::size_t size) {
  return RetryEintr([&] { return ::read(fd, buffer, size); });
}

ssize_t FileSys::Write(int fd, const void* data, std::size_t size) {
  return RetryEintr([&] { return ::write(fd, data, size); });
}

off_t FileSys::Lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }

int FileSys::Fadvise(int fd, off_t offset, off_t length, int advice) {
  return ::posix_fadvise(fd, offset, length, advice);
}

int FileSys::Fsync(int fd) {
  return RetryEintr([&] { return ::fsync(fd); });
}

int FileSys::Fstat(int fd, struct stat* st) { return ::fstat(fd, st); }

int FileSys::Stat(const char* path, struct stat* st) { return ::stat(path, st); }

int FileSys::Lstat(const char* path, struct stat* st) { return ::lstat(path, st); }

int FileSys::Access(const char* path, int mode) { return ::access(path, mode); }

int FileSys::Fchmod(int fd, mode_t mode) {
  return RetryEintr([&] { return ::fchmod(fd, mode); });
}

int FileSys::Fchown(int fd, uid_t owner, gid_t group) {
  return RetryEintr([&] { return ::fchown(fd, owner, group); });
}

int FileSys::Rename(const char* from, const char* to) { return ::rename(from, to); }

int FileSys::Exchange(const char* a, const char* b) {
  return ::renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE);
}

int FileSys::Unlink(const char* path) { return ::unlink(path); }

std::string FileSys::RealPath(const char* path) {
  char* resolved = ::realpath(path, nullptr);
  if (resolved == nullptr) return {};
  std::string result(resolved);
  std::free(resolved);
  return result;
}

FileSys& DefaultFileSys() {
  static FileSys sys;
  return sys;
}

std::string ErrorText(int err) { return std::strerror(err); }

}  // namespace quorvel::io
