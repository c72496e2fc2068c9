// SPDX-License-Identifier: Apache-2.0
#pragma once
// ELF files (32- or 64-bit, either byte order), read with libelf: the file
// bytes of each PT_LOAD segment at its physical address. An ELF without
// program headers (objcopy from a HEX file makes one) gives its allocated
// PROGBITS sections at their addresses instead.
#include <string>
#include <string_view>

#include "image/firmware_pieces.h"

namespace quorvel {

// True when `bytes` starts with the ELF magic.
bool HasElfMagic(std::string_view bytes);

struct ElfReadResult {
  FirmwarePieces pieces;  // point into the file's bytes
  std::string error;      // one line, empty on success; names the file as `fileName`
  bool ok() const { return error.empty(); }
};

// Pieces of the ELF file `bytes`. A piece outside the file or reaching beyond
// 4 GB, a damaged header or no data at all is an error.
ElfReadResult ReadElfPieces(std::string_view bytes, std::string_view fileName);

}  // namespace quorvel
