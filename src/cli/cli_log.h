// SPDX-License-Identifier: Apache-2.0
#pragma once
// --log FILE: a production record. Every line is appended with one write to
// a file opened O_APPEND, so several quorvel-cli processes (upload --all)
// may share one log without tearing each other's lines.
#include <string>
#include <string_view>

#include "io/file_sys.h"

namespace quorvel::cli {

class CliFrontend;

class CliLog {
 public:
  explicit CliLog(std::string path, io::FileSys& sys = io::DefaultFileSys());
  ~CliLog();
  CliLog(const CliLog&) = delete;
  CliLog& operator=(const CliLog&) = delete;

  // Creates the file when missing; refuses anything but a regular file.
  bool Open();
  // The board's path, put in front of the lines from now on ("" for none).
  void SetBoard(std::string path) { board_ = std::move(path); }
  // Appends "<local time with ms and offset> [board] text". Line breaks in
  // `text` become blanks: one event, one line. Nothing more is tried once a
  // write has failed.
  void Line(std::string_view text);
  // Appends a line with the given timestamp text (tests).
  void LineAt(std::string_view stamp, std::string_view text);

  bool Failed() const { return err_ != 0; }
  int Err() const { return err_; }
  std::string ErrorText() const;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  io::FileSys& sys_;
  int fd_ = -1;
  int err_ = 0;
  bool notRegular_ = false;
  std::string board_;
};

// "2026-03-01T14:05:09.123+0100": now, in local time.
std::string LogTimestamp();

// The end of a run, once its last line (result or summary) has gone through
// `ui`: the --log attached to `ui` that could not be written, then standard
// output that could not, are said, and either turns a success into
// ExitOutput. The log is detached from `ui`. Returns the run's exit code.
int ExitAfterOutputs(int exitCode, CliFrontend& ui);

}  // namespace quorvel::cli
