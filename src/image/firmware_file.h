// SPDX-License-Identifier: Apache-2.0
#pragma once
// Firmware files in any of the formats quorvel-cli takes: Intel HEX, ELF and
// raw binary, from a file or from bytes already read (standard input). Each
// becomes flash images through the same family rules as a HEX file. No UI:
// failures come back as data, like the HEX loader's.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "image/firmware_pieces.h"
#include "image/hex_loader.h"
#include "core/boot_info.h"

namespace quorvel {

namespace io {
class FileSys;
}

enum class FirmwareFormat {
  IntelHex,
  Elf,
  RawBinary,
  Unknown,  // no HEX record, no ELF magic and no base address: refused
};

// The word for the format in messages: "HEX", "ELF", "Binary"; "" for Unknown.
std::string_view FirmwareFormatWord(FirmwareFormat format);

// What to load.
struct FirmwareInput {
  std::string path;                       // as given; used for reading unless `contents` is set
  const std::string* contents = nullptr;  // bytes already read (standard input); not owned
  std::string displayName;                // how messages name the file; empty: the path's last part
  std::optional<std::uint32_t> base;      // a raw binary placed at this address
  // The format the user forces (IntelHex, Elf, RawBinary with `base`); unset: detected. A file
  // that reads as Intel HEX is then refused with a base.
  std::optional<FirmwareFormat> format;
};

struct FirmwareLoadResult {
  HexLoadResult load;
  FirmwareFormat format = FirmwareFormat::IntelHex;
};

// The format `head` (the file's first bytes, at least 4 when the file has them) is read as.
FirmwareFormat DetectFirmwareFormat(std::string_view head, bool hasBase);

// True when some line of `text` starts with ':' (after a UTF-8 byte order mark at the start), so the
// HEX loader has a record to read.
bool HasHexRecord(std::string_view text);

// True when `head`, the first bytes of a file, opens with an Intel HEX record: ':' and at least ten
// hexadecimal digits up to the end of the line or of `head` (after a UTF-8 byte order mark).
bool LooksLikeIntelHex(std::string_view head);

// The refusal of a file that is none of the formats; `name` as the user gave it.
std::string NotFirmwareMessage(std::string_view name);

// Loads `input` for info.McuType and the geometry in `info` into `images`. A HEX file is read as
// LoadHexFile/LoadHexText read it. ELF and binary errors come back as Unreadable, as does an ELF
// file that is not a linked program for the family and, unless the format is forced, a file that
// reads as Intel HEX given with a base (format RawBinary); a file with no HEX record, without a
// base, as Unreadable with format Unknown and NotFirmwareMessage naming the display name, or else
// the path.
FirmwareLoadResult LoadFirmware(const FirmwareInput& input, const TBootInfo& info, THexImages& images);
// The same through the system calls of `sys`.
FirmwareLoadResult LoadFirmware(const FirmwareInput& input, const TBootInfo& info, THexImages& images,
                                io::FileSys& sys);

// Builds the family's images from `pieces` exactly as from a HEX file holding the same bytes at the
// same addresses: the same offsets, acceptance limits, PIC fill and compaction and PIC32 boot flash,
// and the same statuses. Messages name `displayName` and addresses instead of HEX lines.
HexLoadResult BuildImagesFromPieces(const FirmwarePieces& pieces, std::string_view displayName,
                                    const TBootInfo& info, THexImages& images);

}  // namespace quorvel
