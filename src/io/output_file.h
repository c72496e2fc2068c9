// SPDX-License-Identifier: Apache-2.0
#pragma once
// Files the program writes for the user: flash images, traces, settings.
//
// A file is written under a temporary name in its own folder, every write
// checked, then flushed to disk, closed and renamed over the old one, so a
// full disk or any failed write leaves the old file as it was. Only regular
// files (or symbolic links to one, whose target is replaced) are written: a
// device node, FIFO or folder named as an output is refused untouched.
#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/file_sys.h"

namespace quorvel::io {

// What a name refers to, to tell whether two names are one file.
struct FileIdentity {
  bool exists = false;
  dev_t device = 0;  // exists
  ino_t inode = 0;   // exists
  std::string path;  // canonical path; for a missing file where it would be created
};

// Same device and inode for existing files, same canonical path otherwise.
bool SameFile(const FileIdentity& a, const FileIdentity& b);

// The identity of an existing file; nullopt (errno set) when it cannot be looked at.
std::optional<FileIdentity> IdentityOf(const std::string& path, FileSys& sys = DefaultFileSys());

struct OutputError {
  int err = 0;         // errno of the failed call; 0 when the name itself is refused
  std::string reason;  // in words: the system's error text, or why the name is refused
};

// Where an output named `path` goes.
struct OutputTarget {
  std::string path;  // the file that will be replaced or created, links resolved
  FileIdentity identity;
  struct stat existing {};  // identity.exists: its mode and owner are kept
};

// The target of `path`, or nullopt with `error` when `path` cannot be written.
std::optional<OutputTarget> ResolveOutput(const std::string& path, OutputError& error,
                                          FileSys& sys = DefaultFileSys());

class OutputFile {
 public:
  explicit OutputFile(std::string path, FileSys& sys = DefaultFileSys());
  ~OutputFile();  // a file never committed leaves no trace
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Resolves the name and creates the temporary file next to its target.
  bool Open();
  // Appends `data`; false once anything has failed (the first error is kept).
  bool Write(std::string_view data);
  // Flushes the data to disk and closes the temporary file.
  bool Finish();
  // Finish, then the rename that replaces the old file.
  bool Commit();
  // Removes the temporary file; the old file stays.
  void Discard();

  bool Failed() const { return failed_; }
  const OutputError& Error() const { return error_; }
  const std::string& Path() const { return path_; }  // as given

 private:
  friend bool CommitTogether(const std::vector<OutputFile*>& files);
  bool Fail(int err);
  bool Fail(int err, std::string reason);

  std::string path_;
  FileSys& sys_;
  OutputTarget target_;
  std::string temp_;  // non-empty while the temporary file exists
  int fd_ = -1;
  bool failed_ = false;
  OutputError error_;
};

// Finishes every file and then renames each over its target. When one cannot
// be finished or renamed (its Error() says why), the files already renamed get
// their old contents back, so either all are replaced or none.
bool CommitTogether(const std::vector<OutputFile*>& files);

}  // namespace quorvel::io
