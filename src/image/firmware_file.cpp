// SPDX-License-Identifier: Apache-2.0
#include "image/firmware_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image/elf_reader.h"
#include "image/image_builder.h"
#include "image/record_source.h"
#include "io/file_sys.h"
#include "io/input_file.h"

namespace quorvel {

namespace {

// Records never cross a 16-byte boundary: the image builder judges each record by its first address,
// so small aligned records keep its limits as sharp as a linker's HEX output has them.
constexpr std::uint32_t kRecordBytes = 16;
constexpr std::size_t kReadChunk = 1u << 16;
// Enough for the ELF magic and the start of a HEX record.
constexpr std::size_t kHeadBytes = 64;

std::string BaseName(std::string_view path) {
  const auto slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

// Finds a line that starts with ':' in text arriving in runs.
class HexRecordScanner {
 public:
  // True once a record start has been seen.
  bool Feed(std::string_view run) {
    std::size_t i = 0;
    if (first_) {
      // A byte order mark hides nothing from the HEX loader, so it must not here either.
      if (run.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
      first_ = false;
    }
    for (; i < run.size() && !found_; ++i) {
      const char c = run[i];
      if (lineStart_ && c == ':') found_ = true;
      lineStart_ = c == '\r' || c == '\n';
    }
    return found_;
  }
  bool found() const { return found_; }

 private:
  bool first_ = true;
  bool lineStart_ = true;
  bool found_ = false;
};

// Reads the regular file `path` in runs; false when it cannot be opened as one or a read fails.
template <class Consumer>
bool ReadRuns(io::FileSys& sys, const std::string& path, Consumer&& consume) {
  const int fd = sys.Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = sys.Fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  std::vector<char> buffer(kReadChunk);
  while (ok) {
    const ssize_t n = sys.Read(fd, buffer.data(), buffer.size());  // EINTR is retried there
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    if (!consume(std::string_view(buffer.data(), static_cast<std::size_t>(n)))) break;
  }
  sys.Close(fd);  // never retried: the descriptor is gone even on EINTR
  return ok;
}

HexLoadResult Refused(HexLoadStatus status, std::string message) { return {status, std::move(message)}; }

FirmwareLoadResult LoadBytes(std::string_view bytes, FirmwareFormat format, const FirmwareInput& input,
                             const std::string& name, const TBootInfo& info, THexImages& images) {
  FirmwareLoadResult result;
  result.format = format;
  switch (format) {
    case FirmwareFormat::Elf: {
      const ElfReadResult elf = ReadElfPieces(bytes, name, info.McuType);
      if (!elf.ok()) {
        ClearImages(images);
        result.load = Refused(HexLoadStatus::Unreadable, elf.error);
        return result;
      }
      result.load = BuildImagesFromPieces(elf.pieces, name, info, images);
      return result;
    }
    case FirmwareFormat::RawBinary: {
      const std::uint32_t base = *input.base;
      if (bytes.size() > (std::uint64_t{1} << 32) - base) {
        ClearImages(images);
        result.load =
            Refused(HexLoadStatus::Unreadable, "Binary file '" + name + "' (" + std::to_string(bytes.size()) +
                                                   " bytes) at " + Hex32(base) + " would reach beyond 4 GB.");
        return result;
      }
      result.load = BuildImagesFromPieces({{base, bytes}}, name, info, images);
      return result;
    }
    case FirmwareFormat::IntelHex:
    case FirmwareFormat::Unknown:
      break;
  }
  // A forced HEX file is read as the window reads it, records or not.
  if (!input.format && !HasHexRecord(bytes)) {
    result.format = FirmwareFormat::Unknown;
    result.load = Refused(HexLoadStatus::Unreadable,
                          NotFirmwareMessage(input.displayName.empty() ? input.path : input.displayName));
    return result;
  }
  result.load = LoadHexText(bytes, name, info, images);
  return result;
}

FirmwareFormat FormatOf(std::string_view head, const FirmwareInput& input) {
  return input.format ? *input.format : DetectFirmwareFormat(head, input.base.has_value());
}

// A base with a HEX file would flash the file's text: refused unless the user forced the format.
std::optional<FirmwareLoadResult> HexGivenABase(std::string_view head, FirmwareFormat format,
                                                const FirmwareInput& input, const std::string& name,
                                                THexImages& images) {
  if (input.format || format != FirmwareFormat::RawBinary || !LooksLikeIntelHex(head)) return std::nullopt;
  ClearImages(images);
  FirmwareLoadResult result;
  result.format = format;
  result.load = Refused(HexLoadStatus::Unreadable, "'" + name + "' is an Intel HEX file: leave out --base.");
  return result;
}

}  // namespace

std::string_view FirmwareFormatWord(FirmwareFormat format) {
  switch (format) {
    case FirmwareFormat::IntelHex:
      return "HEX";
    case FirmwareFormat::Elf:
      return "ELF";
    case FirmwareFormat::RawBinary:
      return "Binary";
    case FirmwareFormat::Unknown:
      break;
  }
  return "";
}

FirmwareFormat DetectFirmwareFormat(std::string_view head, bool hasBase) {
  if (HasElfMagic(head)) return FirmwareFormat::Elf;
  return hasBase ? FirmwareFormat::RawBinary : FirmwareFormat::IntelHex;
}

bool HasHexRecord(std::string_view text) { return HexRecordScanner().Feed(text); }

bool LooksLikeIntelHex(std::string_view head) {
  if (head.substr(0, 3) == "\xEF\xBB\xBF") head.remove_prefix(3);
  if (head.empty() || head[0] != ':') return false;
  std::size_t digits = 0;
  for (const char c : head.substr(1)) {
    if (c == '\r' || c == '\n') break;
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
    ++digits;
  }
  return digits >= 10;
}

std::string NotFirmwareMessage(std::string_view name) {
  // Appended piece by piece: GCC 12 at -O3 takes "'" + std::string(...) for an overlapping copy.
  std::string text(1, '\'');
  text.append(name);
  text.append("' is not an Intel HEX or ELF file (give --base ADDR for a raw binary)");
  return text;
}

HexLoadResult BuildImagesFromPieces(const FirmwarePieces& pieces, std::string_view displayName,
                                    const TBootInfo& info, THexImages& images) {
  if (info.McuType == 0) return {};
  const std::string name(displayName);
  ClearImages(images);
  ImageBuilder builder(info, images);
  for (const FirmwarePiece& piece : pieces) {
    std::uint64_t address = piece.address;
    std::size_t done = 0;
    while (done < piece.bytes.size()) {
      const auto a = static_cast<std::uint32_t>(address);
      const std::size_t count =
          std::min<std::size_t>(kRecordBytes - (a % kRecordBytes), piece.bytes.size() - done);
      const ByteRecord record(
          a, {reinterpret_cast<const std::uint8_t*>(piece.bytes.data()) + done, count});
      switch (builder.Take(record)) {
        case RecordVerdict::Taken:
          break;
        case RecordVerdict::BelowFlashBase:
          // What was built before it stays, as with a HEX file.
          return Refused(HexLoadStatus::FlashOffset, "'" + name + "' places data at " + Hex32(a) +
                                                         ", below the internal flash offset " +
                                                         Hex32(kStm32Flash) + ".");
        case RecordVerdict::BeyondAnyDevice:
          ClearImages(images);
          return Refused(HexLoadStatus::TooLarge, "'" + name + "' places data at " + Hex32(a) +
                                                      ", beyond the flash of any device. Nothing was loaded.");
        case RecordVerdict::Unreadable:  // bytes in memory are always readable
          break;
      }
      done += count;
      address += count;
    }
  }
  builder.Finish();
  return {HexLoadStatus::Loaded, {}, builder.Dropped()};
}

FirmwareLoadResult LoadFirmware(const FirmwareInput& input, const TBootInfo& info, THexImages& images) {
  return LoadFirmware(input, info, images, io::DefaultFileSys());
}

FirmwareLoadResult LoadFirmware(const FirmwareInput& input, const TBootInfo& info, THexImages& images,
                                io::FileSys& sys) {
  if (info.McuType == 0) return {};
  const std::string name = input.displayName.empty() ? BaseName(input.path) : input.displayName;
  if (input.contents != nullptr) {
    const FirmwareFormat format = FormatOf(*input.contents, input);
    if (auto refused = HexGivenABase(*input.contents, format, input, name, images)) return *refused;
    return LoadBytes(*input.contents, format, input, name, info, images);
  }

  // The head tells the format. Whatever keeps it from being read is left to the HEX loader, which
  // reports a missing, unreadable or odd file in the words the window uses.
  std::string head;
  const bool headRead = ReadRuns(sys, input.path, [&](std::string_view run) {
    head.append(run.substr(0, kHeadBytes - head.size()));
    return head.size() < kHeadBytes;
  });
  FirmwareLoadResult result;
  if (!headRead) {
    result.load = LoadHexFile(input.path, info, images, sys);
    return result;
  }
  result.format = FormatOf(head, input);
  if (auto refused = HexGivenABase(head, result.format, input, name, images)) return *refused;
  if (result.format == FirmwareFormat::IntelHex && input.format) {
    result.load = LoadHexFile(input.path, info, images, sys);
    return result;
  }
  if (result.format == FirmwareFormat::IntelHex) {
    HexRecordScanner scanner;
    const bool scanned = ReadRuns(sys, input.path, [&](std::string_view run) { return !scanner.Feed(run); });
    if (scanned && !scanner.found()) {
      result.format = FirmwareFormat::Unknown;
      result.load = Refused(HexLoadStatus::Unreadable, NotFirmwareMessage(input.path));
      return result;
    }
    result.load = LoadHexFile(input.path, info, images, sys);
    return result;
  }

  const io::FileContents file = io::ReadSmallFile(input.path, kMaxHexFileBytes, sys);
  if (file.check.status != io::InputStatus::Ok) {
    ClearImages(images);
    const std::string word(FirmwareFormatWord(result.format));
    result.load =
        file.check.status == io::InputStatus::TooLarge
            ? Refused(HexLoadStatus::TooLarge, word + " file '" + name +
                                                   "' is longer than any device's flash could need. "
                                                   "Nothing was loaded.")
            : Refused(HexLoadStatus::Unreadable,
                      "Cannot read file '" + input.path + "': " + io::InputProblemText(file.check) + ".");
    return result;
  }
  return LoadBytes(file.data, result.format, input, name, info, images);
}

}  // namespace quorvel
