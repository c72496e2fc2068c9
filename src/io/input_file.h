// SPDX-License-Identifier: Apache-2.0
#pragma once
// Reading files the program does not own: the file type is checked before
// anything is opened, so a FIFO or a device never blocks or feeds the
// program without end.
#include <cstddef>
#include <string>

#include "io/file_sys.h"

namespace quorvel::io {

enum class InputStatus {
  Ok,
  Missing,     // no such file
  NotRegular,  // a folder, FIFO, device or socket
  TooLarge,    // more than the caller's limit
  Failed,      // any other failure; see err
};

struct InputCheck {
  InputStatus status = InputStatus::Ok;
  int err = 0;          // errno of a Failed (or Missing) check
  bool folder = false;  // NotRegular: it is a folder
};

// Whether `path` names a regular file this process may read (by opening it
// without blocking).
InputCheck CheckInputFile(const std::string& path, FileSys& sys = DefaultFileSys());

struct FileContents {
  InputCheck check;
  std::string data;  // the whole file when check.status is Ok
};

// Reads a regular file of at most `maxBytes`; never reads more than that.
FileContents ReadSmallFile(const std::string& path, std::size_t maxBytes, FileSys& sys = DefaultFileSys());

// Words for a failed check, e.g. "No such file or directory" or "not a regular file".
std::string InputProblemText(const InputCheck& check);

}  // namespace quorvel::io
