// SPDX-License-Identifier: Apache-2.0
#pragma once
// The file system calls behind the program's own files (outputs, settings,
// input checks), behind one seam so tests can make any of them fail. EINTR is
// retried, except for close: Linux releases the descriptor even when close is
// interrupted, so a retry could close a descriptor another thread just got.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace quorvel::io {

class FileSys {
 public:
  virtual ~FileSys() = default;
  // All return what the system call returns; errno is set on failure.
  virtual int Open(const char* path, int flags, mode_t mode);
  virtual int Close(int fd);
  virtual ssize_t Read(int fd, void* buffer, std::size_t size);
  virtual off_t Lseek(int fd, off_t offset, int whence);
  // posix_fadvise: returns the error number instead of setting errno.
  virtual int Fadvise(int fd, off_t offset, off_t length, int advice);
  virtual ssize_t Write(int fd, const void* data, std::size_t size);
  virtual int Fsync(int fd);
  virtual int Fstat(int fd, struct stat* st);
  virtual int Stat(const char* path, struct stat* st);  // follows symbolic links
  virtual int Lstat(const char* path, struct stat* st);
  virtual int Access(const char* path, int mode);
  virtual int Fchmod(int fd, mode_t mode);
  virtual int Fchown(int fd, uid_t owner, gid_t group);
  virtual int Rename(const char* from, const char* to);
  // Swaps two existing names atomically (renameat2 RENAME_EXCHANGE); fails
  // with EINVAL where the file system cannot do it.
  virtual int Exchange(const char* a, const char* b);
  virtual int Unlink(const char* path);
  // The canonical absolute path (realpath); empty with errno set on failure.
  virtual std::string RealPath(const char* path);
};

// The real system calls.
FileSys& DefaultFileSys();

// strerror's text for `err`.
std::string ErrorText(int err);

}  // namespace quorvel::io
