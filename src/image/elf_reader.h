// SPDX-License-Identifier: Apache-2.0
#pragma once
// ELF files (32- or 64-bit, either byte order), read with libelf the way GNU
// objcopy reads them for `-O binary` or `-O ihex`: the contents of every
// allocated section that has file contents, whatever its type, at its load
// address (the containing PT_LOAD segment's physical address plus the
// section's offset in that segment; a section in no segment at its own
// address). Headers and the padding between sections are never part of it.
//
// Only a linked program (ET_EXEC) for the board's processor is taken: an
// object file, a host program or an ELF for another MCU is refused before any
// of its contents are looked at.
#include <cstdint>
#include <string>
#include <string_view>

#include "image/firmware_pieces.h"

namespace quorvel {

// True when `bytes` starts with the ELF magic.
bool HasElfMagic(std::string_view bytes);

// The ELF machine (e_machine) whose files family `code` takes: EM_ARM for the
// ARM families, EM_MIPS for PIC32, EM_DSPIC30F for the 16-bit PICs; 0 for the
// 8-bit PICs, which take no ELF file; -1 for a code the uploader does not
// know (any machine).
int ElfMachineOfFamily(std::uint8_t code);

struct ElfReadResult {
  FirmwarePieces pieces;  // point into the file's bytes, in address order, never overlapping
  std::string error;      // one line, empty on success; names the file as `fileName`
  bool ok() const { return error.empty(); }
};

// Pieces of the ELF file `bytes` for a board of family `family` (0: any
// machine). A file that is not a linked program for that family, a piece
// outside the file or reaching beyond 4 GB, two sections sharing an address,
// a damaged header or no data at all is an error.
ElfReadResult ReadElfPieces(std::string_view bytes, std::string_view fileName, std::uint8_t family = 0);

}  // namespace quorvel
