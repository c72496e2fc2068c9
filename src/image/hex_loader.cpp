// SPDX-License-Identifier: Apache-2.0
#include "image/hex_loader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "image/image_builder.h"
#include "image/intel_hex.h"
#include "io/file_sys.h"

namespace quorvel {

namespace {

std::string BaseName(std::string_view path) {
  const auto slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

HexLoadResult Fail(HexLoadStatus status, std::string message) { return {status, std::move(message)}; }

class FileSource final : public TextSource {
 public:
  FileSource(io::FileSys& sys, int fd, std::string path)
      : sys_(sys), fd_(fd), path_(std::move(path)), buffer_(kRunBytes) {}
  ~FileSource() override { sys_.Close(fd_); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  bool Next(std::string_view& run) override {
    const ssize_t n = sys_.Read(fd_, buffer_.data(), buffer_.size());
    if (n < 0) return SetError("Cannot read file '" + path_ + "': " + std::strerror(errno) + ".");
    run = std::string_view(buffer_.data(), static_cast<std::size_t>(n));
    return true;
  }
  bool Rewind() override {
    if (sys_.Lseek(fd_, 0, SEEK_SET) < 0) return SetError("Cannot read file '" + path_ + "': " + std::strerror(errno) + ".");
    return true;
  }

 private:
  static constexpr std::size_t kRunBytes = 1u << 18;
  bool SetError(std::string text) {
    error_ = std::move(text);
    return false;
  }
  io::FileSys& sys_;
  int fd_;
  std::string path_;
  std::vector<char> buffer_;
};

// Reads the HEX text of `source` into fresh images for info.McuType.
HexLoadResult Load(TextSource& source, std::string_view fileName, const TBootInfo& info, THexImages& images) {
  ClearImages(images);
  ImageBuilder builder(info, images);
  HexLoadResult result = ReadIntelHex(source, fileName, builder);
  if (result.status == HexLoadStatus::Loaded) {
    builder.Finish();
    result.dropped = builder.Dropped();
    return result;
  }
  // A conversion error or an address below the flash leaves what was built before it.
  if (result.status == HexLoadStatus::Unreadable || result.status == HexLoadStatus::TooLarge) ClearImages(images);
  return result;
}

std::string OsError(const std::string& path, int err) {
  return "Cannot read file '" + path + "': " + std::strerror(err) + ".";
}

bool SameFileState(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

HexLoadResult LoadHexText(std::string_view text, std::string_view fileName, const TBootInfo& info,
                          THexImages& images) {
  if (info.McuType == 0) return {};
  const std::string name = BaseName(fileName);
  MemorySource source(text);
  return Load(source, name, info, images);
}

HexLoadResult LoadHexFile(const std::string& path, const TBootInfo& info, THexImages& images) {
  return LoadHexFile(path, info, images, io::DefaultFileSys());
}

HexLoadResult LoadHexFile(const std::string& path, const TBootInfo& info, THexImages& images, io::FileSys& sys) {
  if (info.McuType == 0) return {};
  struct stat before {};
  if (sys.Stat(path.c_str(), &before) != 0 && (errno == ENOENT || errno == ENOTDIR)) return {};

  // O_NONBLOCK: opening a FIFO must not wait for a writer; reads of a regular file ignore it.
  const int fd = sys.Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) {
    const int err = errno;
    ClearImages(images);
    return Fail(HexLoadStatus::Unreadable, OsError(path, err));
  }
  FileSource source(sys, fd, path);
  if (sys.Fstat(fd, &before) != 0) {
    const int err = errno;
    ClearImages(images);
    return Fail(HexLoadStatus::Unreadable, OsError(path, err));
  }
  if (!S_ISREG(before.st_mode)) {
    ClearImages(images);
    return Fail(HexLoadStatus::Unreadable, S_ISDIR(before.st_mode)
                                               ? OsError(path, EISDIR)
                                               : "Cannot read file '" + path + "': not a regular file.");
  }
  if (static_cast<std::uint64_t>(before.st_size) > kMaxHexFileBytes) {
    ClearImages(images);
    return Fail(HexLoadStatus::TooLarge, "HEX file '" + BaseName(path) + "' is " + std::to_string(before.st_size) +
                                             " bytes long, more than any device's flash could need. "
                                             "Nothing was loaded.");
  }
  sys.Fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  const bool wasLoaded = images.HexLoaded;
  const std::uint8_t wasType = images.HexMcuType;
  HexLoadResult result = Load(source, BaseName(path), info, images);

  // Both passes must have seen the same text; a file rewritten in place meanwhile is refused.
  struct stat after {};
  if (sys.Fstat(fd, &after) != 0 || !SameFileState(before, after)) {
    ClearImages(images);
    images.HexLoaded = wasLoaded;
    images.HexMcuType = wasType;
    return Fail(HexLoadStatus::Unreadable,
                "File '" + path + "' changed while it was being read. Nothing was loaded.");
  }
  return result;
}

}  // namespace quorvel
