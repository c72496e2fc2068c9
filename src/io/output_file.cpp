// SPDX-License-Identifier: Apache-2.0
#include "io/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace quorvel::io {

namespace {

// Temporary names keep the target's name (shortened so the suffix fits in a
// name part) and add six random characters.
constexpr std::size_t kMaxTempBase = 200;
constexpr int kTempAttempts = 64;

std::string DirName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string RandomSuffix() {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937 random{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kChars - 2);
  std::string suffix = ".";
  for (int i = 0; i < 6; ++i) suffix += kChars[pick(random)];
  return suffix;
}

FileIdentity IdentityFrom(const struct stat& st, std::string path) {
  return FileIdentity{true, st.st_dev, st.st_ino, std::move(path)};
}

OutputError SystemError(int err) { return OutputError{err, ErrorText(err)}; }

// Makes sure a rename is on disk too; file systems that cannot sync a folder are not an error.
void SyncFolder(const std::string& file, FileSys& sys) {
  const int fd = sys.Open(DirName(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return;
  sys.Fsync(fd);
  sys.Close(fd);
}

}  // namespace

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  if (a.exists != b.exists) return false;
  return a.exists ? a.device == b.device && a.inode == b.inode : a.path == b.path;
}

std::optional<FileIdentity> IdentityOf(const std::string& path, FileSys& sys) {
  struct stat st {};
  if (sys.Stat(path.c_str(), &st) != 0) return std::nullopt;
  return IdentityFrom(st, sys.RealPath(path.c_str()));
}

std::optional<OutputTarget> ResolveOutput(const std::string& path, OutputError& error, FileSys& sys) {
  const auto fail = [&error](OutputError e) -> std::optional<OutputTarget> {
    error = std::move(e);
    return std::nullopt;
  };
  const auto refuse = [&](const char* why) { return fail(OutputError{0, why}); };
  if (path.empty()) return fail(SystemError(ENOENT));

  OutputTarget target;
  struct stat st {};
  if (sys.Lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return fail(SystemError(errno));
    const std::string base = BaseName(path);
    if (base.empty() || base == "." || base == "..") return refuse("it is a folder");
    const std::string folder = sys.RealPath(DirName(path).c_str());
    if (folder.empty()) return fail(SystemError(errno));
    target.path = (folder == "/" ? folder : folder + "/") + base;
    target.identity.path = target.path;
    return target;
  }
  if (S_ISLNK(st.st_mode) && sys.Stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return refuse("it is a symbolic link to a missing file");
    return fail(SystemError(errno));
  }
  if (S_ISDIR(st.st_mode)) return refuse("it is a folder");
  if (!S_ISREG(st.st_mode)) return refuse("it is not a regular file (a device, FIFO or socket)");
  // Replacing by rename needs only the folder's permission; a file the user
  // may not write stays as protected as writing it in place would leave it.
  if (sys.Access(path.c_str(), W_OK) != 0) return fail(SystemError(errno));
  target.path = sys.RealPath(path.c_str());
  if (target.path.empty()) return fail(SystemError(errno));
  target.identity = IdentityFrom(st, target.path);
  target.existing = st;
  return target;
}

OutputFile::OutputFile(std::string path, FileSys& sys) : path_(std::move(path)), sys_(sys) {}

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Fail(int err) { return Fail(err, ErrorText(err)); }

bool OutputFile::Fail(int err, std::string reason) {
  if (!failed_) error_ = OutputError{err, std::move(reason)};
  failed_ = true;
  Discard();
  return false;
}

bool OutputFile::Open() {
  if (failed_) return false;
  OutputError error;
  auto target = ResolveOutput(path_, error, sys_);
  if (!target) return Fail(error.err, error.reason);
  target_ = std::move(*target);

  const std::string base = target_.path.substr(0, DirName(target_.path).size() + 1 + kMaxTempBase);
  // A new file gets the usual permissions (umask); a replaced one its old ones,
  // set before any data is in it.
  const mode_t mode = target_.identity.exists ? 0600 : 0666;
  for (int attempt = 0; attempt < kTempAttempts && fd_ < 0; ++attempt) {
    const std::string temp = base + RandomSuffix();
    fd_ = sys_.Open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd_ >= 0) {
      temp_ = temp;
    } else if (errno != EEXIST) {
      return Fail(errno);
    }
  }
  if (fd_ < 0) return Fail(EEXIST);
  if (target_.identity.exists) {
    const struct stat& old = target_.existing;
    // Root writing someone else's file keeps it theirs; for anyone else this fails harmlessly.
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) sys_.Fchown(fd_, old.st_uid, old.st_gid);
    if (sys_.Fchmod(fd_, old.st_mode & 07777) != 0) return Fail(errno);
  }
  return true;
}

bool OutputFile::Write(std::string_view data) {
  if (failed_) return false;
  if (fd_ < 0) return Fail(EBADF);
  while (!data.empty()) {
    const ssize_t n = sys_.Write(fd_, data.data(), data.size());
    if (n < 0) return Fail(errno);
    // No progress without an error: the disk has no room left.
    if (n == 0) return Fail(ENOSPC);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool OutputFile::Finish() {
  if (failed_) return false;
  if (fd_ < 0) return !temp_.empty() || Fail(EBADF);
  // Some file systems report a failed write only here, at fsync or at close.
  if (sys_.Fsync(fd_) != 0 && errno != EINVAL) return Fail(errno);
  const int fd = fd_;
  fd_ = -1;
  if (sys_.Close(fd) != 0) return Fail(errno);
  return true;
}

bool OutputFile::Commit() { return CommitTogether({this}); }

void OutputFile::Discard() {
  if (fd_ >= 0) sys_.Close(fd_);
  fd_ = -1;
  if (!temp_.empty()) sys_.Unlink(temp_.c_str());
  temp_.clear();
}

bool CommitTogether(const std::vector<OutputFile*>& files) {
  const auto discardAll = [&files] {
    for (OutputFile* file : files) file->Discard();
  };
  for (OutputFile* file : files) {
    if (!file->Finish()) {
      discardAll();
      return false;
    }
  }

  enum class How { Created, Swapped, Replaced };
  std::vector<std::pair<OutputFile*, How>> done;
  const auto undo = [&] {
    for (auto it = done.rbegin(); it != done.rend(); ++it) {
      OutputFile& file = *it->first;
      if (it->second == How::Swapped) {
        // The temporary name holds the old file: swap back; it then holds the new one.
        file.sys_.Exchange(file.temp_.c_str(), file.target_.path.c_str());
      } else if (it->second == How::Created) {
        file.sys_.Unlink(file.target_.path.c_str());
      }
      file.Discard();
    }
  };

  for (std::size_t i = 0; i < files.size(); ++i) {
    OutputFile& file = *files[i];
    const char* temp = file.temp_.c_str();
    const char* target = file.target_.path.c_str();
    struct stat st {};
    const bool last = i + 1 == files.size();
    How how = file.sys_.Lstat(target, &st) == 0 ? How::Replaced : How::Created;
    // Every file but the last is swapped with its old version, which then
    // stays under the temporary name until all renames have worked.
    if (!last && how == How::Replaced && file.sys_.Exchange(temp, target) == 0) {
      how = How::Swapped;
    } else if (file.sys_.Rename(temp, target) != 0) {
      const int err = errno;
      undo();
      discardAll();
      file.Fail(err);
      return false;
    }
    if (how != How::Swapped) file.temp_.clear();
    done.emplace_back(&file, how);
  }
  for (auto& [file, how] : done) {
    file->Discard();  // removes the old version of a swapped file
    SyncFolder(file->target_.path, file->sys_);
  }
  return true;
}

}  // namespace quorvel::io
