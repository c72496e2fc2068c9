// SPDX-License-Identifier: Apache-2.0
#pragma once
// The check every upload passes before anything is erased: the device's
// information record against its family's memory map. It yields the flash
// area the application may occupy, or the reason why uploading to this
// device could damage it (erase the bootloader, write outside the flash, or
// write flash that was never erased).
//
// All arithmetic is 64-bit; every value the record carries is read as the
// unsigned 32-bit number the device sent.
#include <cstdint>
#include <string>

#include "core/boot_info.h"
#include "core/byte_array.h"
#include "core/families.h"

namespace quorvel {

struct TFlashArea {
  const FamilyFacts* family = nullptr;
  bool bottom = false;        // bootloader at the bottom of flash
  std::int64_t appStart = 0;  // image offset of the first application byte (0 at the top)
  // Image offset where the application area ends: the bootloader's start (top
  // layout) or the last whole erase unit below the end of flash (bottom layout).
  std::int64_t appEnd = 0;
  std::uint32_t appAddress = 0;    // command address of appStart
  std::uint32_t bootLimit = 0;     // top: BootStart in image units (physical address for PIC32)
  std::int64_t lastUnitBytes = 0;  // top: the erase unit just below the bootloader
  // PIC32: boot-flash bytes from its start that an image may use: whole erase
  // blocks below the last one, which holds the bootloader's configuration.
  std::int64_t bootFlashBytes = 0;
};

struct TGeometryCheck {
  TFlashArea area;
  std::string problem;  // empty when the record describes flash that is safe to upload to
};

// Checks the record and works out the application area; `problem` is one
// history line ("Error: ...") naming the offending value and the reason.
TGeometryCheck CheckUploadGeometry(const TBootInfo& info);

// Largest erase unit below image offset `end`, for a top-layout bootloader
// starting there: the sector ending at `end` or one erase block. 0 when `end`
// is not on a unit boundary.
std::int64_t UnitBelow(const FamilyFacts& family, std::uint16_t eraseBlock, std::int64_t end);

// What an upload of these images would put on the device.
enum class TImageData {
  None,           // not one byte for the application area or the boot flash
  BootFlashOnly,  // PIC32: boot flash, but nothing for program flash
  Program,        // program flash (and maybe boot flash)
};
// A byte counts when it differs from erased flash (the loader's fill), so an
// image whose data lies only under the bootloader or outside the area counts
// as empty.
TImageData ImageDataFor(const TFlashArea& area, const TByteArray& flashImage,
                        const TByteArray& bootFlashImage);

}  // namespace quorvel
