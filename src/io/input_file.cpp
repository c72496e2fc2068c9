// SPDX-License-Identifier: Apache-2.0
#include "io/input_file.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdint>

namespace quorvel::io {

namespace {

InputCheck Failure(InputStatus status, int err = 0) { return InputCheck{status, err, false}; }

InputCheck TypeProblem(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return {};
  return InputCheck{InputStatus::NotRegular, 0, S_ISDIR(st.st_mode)};
}

// Opens a checked path without blocking; the descriptor must still be a regular file.
int OpenChecked(const std::string& path, FileSys& sys, InputCheck& check, struct stat& st) {
  if (sys.Stat(path.c_str(), &st) != 0) {
    const int err = errno;
    check = Failure(err == ENOENT ? InputStatus::Missing : InputStatus::Failed, err);
    return -1;
  }
  check = TypeProblem(st);
  if (check.status != InputStatus::Ok) return -1;
  const int fd = sys.Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
  if (fd < 0) {
    check = Failure(InputStatus::Failed, errno);
    return -1;
  }
  // It may have been replaced by something else between the two looks.
  check = sys.Fstat(fd, &st) == 0 ? TypeProblem(st) : Failure(InputStatus::Failed, errno);
  if (check.status != InputStatus::Ok) {
    sys.Close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

InputCheck CheckInputFile(const std::string& path, FileSys& sys) {
  InputCheck check;
  struct stat st {};
  const int fd = OpenChecked(path, sys, check, st);
  if (fd >= 0) sys.Close(fd);
  return check;
}

FileContents ReadSmallFile(const std::string& path, std::size_t maxBytes, FileSys& sys) {
  FileContents contents;
  struct stat st {};
  const int fd = OpenChecked(path, sys, contents.check, st);
  if (fd < 0) return contents;
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
    sys.Close(fd);
    contents.check = Failure(InputStatus::TooLarge);
    return contents;
  }
  // The size is only a hint (a file may grow meanwhile): the limit holds for what is read.
  char chunk[16384];
  for (;;) {
    const ssize_t n = sys.Read(fd, chunk, sizeof chunk);
    if (n < 0) {
      contents.check = Failure(InputStatus::Failed, errno);
      break;
    }
    if (n == 0) break;
    if (contents.data.size() + static_cast<std::size_t>(n) > maxBytes) {
      contents.check = Failure(InputStatus::TooLarge);
      break;
    }
    contents.data.append(chunk, static_cast<std::size_t>(n));
  }
  sys.Close(fd);
  if (contents.check.status != InputStatus::Ok) contents.data.clear();
  return contents;
}

std::string InputProblemText(const InputCheck& check) {
  switch (check.status) {
    case InputStatus::Ok:
      return {};
    case InputStatus::NotRegular:
      return check.folder ? "it is a folder" : "it is not a regular file (a device, FIFO or socket)";
    case InputStatus::TooLarge:
      return "it is too large";
    case InputStatus::Missing:
    case InputStatus::Failed:
      break;
  }
  return ErrorText(check.err);
}

}  // namespace quorvel::io
