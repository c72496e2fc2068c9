// SPDX-License-Identifier: Apache-2.0
#include "upload/flash_area.h"

#include <algorithm>
#include <cstdio>

namespace quorvel {

namespace {

// Smallest erase block that still holds one input report, as the transfer
// buffer (one erase block) must.
constexpr std::int64_t kMinEraseBlock = 64;
// Data bytes one Write command may announce.
constexpr std::int64_t kMaxWriteCommand = 0x8000;

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

bool SixteenBit(const FamilyFacts& f) { return f.group == FamilyGroup::Pic16Bit; }
bool Sectors(const FamilyFacts& f) { return f.erase == EraseKind::Sectors; }

// Index of the sector starting at `offset`, or -1.
int SectorStartingAt(const FamilyFacts& f, std::int64_t offset) {
  for (std::size_t i = 0; i < f.sectorStarts.size(); ++i) {
    if (f.sectorStarts[i] == offset) return static_cast<int>(i);
  }
  return -1;
}

// The erase unit at image offset `offset` (a sector, or one erase block).
std::int64_t UnitAt(const FamilyFacts& f, std::uint16_t eraseBlock, std::int64_t offset) {
  if (!Sectors(f)) return eraseBlock;
  for (std::size_t i = 0; i + 1 < f.sectorStarts.size(); ++i) {
    if (f.sectorStarts[i] <= offset && offset < f.sectorStarts[i + 1])
      return f.sectorStarts[i + 1] - f.sectorStarts[i];
  }
  return 0;
}

// `end` rounded down to a unit boundary at or above `from` (which is one).
std::int64_t WholeUnitsEnd(const FamilyFacts& f, std::uint16_t eraseBlock, std::int64_t from,
                           std::int64_t end) {
  if (end <= from) return from;
  if (!Sectors(f)) return from + (end - from) / eraseBlock * eraseBlock;
  std::int64_t last = from;
  for (const std::int64_t start : f.sectorStarts) {
    if (start > from && start <= end) last = start;
  }
  return last;
}

// Command address of an image offset within the family's program memory, so
// the result fits 32 bits.
std::uint32_t AddressOf(const FamilyFacts& f, std::int64_t offset) {
  return static_cast<std::uint32_t>(CommandAddress(f, static_cast<std::uint64_t>(offset)));
}

// Program memory in image bytes from image offset 0, as the record gives it.
// McuSize counts image bytes (three per instruction word for the 16-bit PICs,
// as the HEX loader reads it); a PIC32 may give it as an address in program flash.
std::int64_t ReportedProgramBytes(const FamilyFacts& f, std::uint32_t mcuSize) {
  std::uint64_t size = mcuSize;
  if (f.group == FamilyGroup::Pic32) {
    size &= kPhysicalAddressMask;
    if (size >= f.commandBase) size -= f.commandBase;
  }
  return static_cast<std::int64_t>(std::min<std::uint64_t>(size, f.maxProgramBytes));
}

struct Located {
  std::int64_t offset = 0;  // image offset; negative below the family's flash
  std::string problem;
};

// Image offset of an address the record carries (BootStart, ProgramStart), in
// device address units of the family (PIC32: physical or virtual addresses).
// An address between two instruction words is refused here; one outside the
// flash by the callers.
Located ImageOffsetOf(const FamilyFacts& f, std::uint32_t address, const std::string& what) {
  Located out;
  switch (f.group) {
    case FamilyGroup::Pic16Bit:
      if ((address & 1u) != 0) {
        out.problem = "Error: " + what + " " + Hex(address) + " is not an instruction address.";
        return out;
      }
      out.offset = static_cast<std::int64_t>(UnitsToImage(f, address));
      return out;
    case FamilyGroup::Pic32:
      // KSEG0/KSEG1 addresses name the same physical flash.
      out.offset = static_cast<std::int64_t>(address & kPhysicalAddressMask) - f.commandBase;
      return out;
    case FamilyGroup::Pic8:
    case FamilyGroup::Arm:
      break;
  }
  out.offset = address;
  return out;
}

std::string CheckBlocks(const FamilyFacts& f, const TBootInfo& info) {
  const std::int64_t erase = info.EraseBlock;
  const std::int64_t write = info.WriteBlock;
  const std::string eraseText = "Erase block size " + std::to_string(erase);
  const std::string writeText = "write block size " + std::to_string(write);
  if (erase < kMinEraseBlock) return "Error: " + eraseText + " reported by the device is not supported.";
  if (write == 0) return "Error: Write block size 0 reported by the device is not supported.";
  if (write > erase) {
    return "Error: " + eraseText + " and " + writeText +
           " reported by the device are not supported: a write block must not be larger than an erase block.";
  }
  if (erase % write != 0) {
    return "Error: " + eraseText + " and " + writeText +
           " reported by the device are not supported: an erase block must be a whole number of write "
           "blocks.";
  }
  // One chunk is one erase block and must fit one Write command, so the chunk
  // that carries the entry code goes out whole. The boot-flash writer's
  // commands are one write block shorter.
  const std::int64_t command = f.bootFlashBytes != 0 ? kMaxWriteCommand - write : kMaxWriteCommand;
  if (erase > command) {
    return "Error: " + eraseText + " and " + writeText +
           " reported by the device are not supported: an erase block must fit one Write command.";
  }
  // The entry code goes into the chunk that starts one erase block below the
  // bootloader; with sectors that chunk exists only when blocks tile them.
  for (std::size_t i = 1; i < f.sectorStarts.size(); ++i) {
    if ((f.sectorStarts[i] - f.sectorStarts[i - 1]) % erase != 0) {
      return "Error: " + eraseText + " reported by the device does not divide the flash sectors.";
    }
  }
  // Chunk addresses advance two units per three bytes: chunks and commands
  // must be whole instruction words, or every later address would shift.
  if (SixteenBit(f) && erase % f.wordBytes != 0) {
    return "Error: " + eraseText + " reported by the device is not a whole number of instruction words.";
  }
  if (SixteenBit(f) && write % f.wordBytes != 0) {
    return "Error: Write block size " + std::to_string(write) +
           " reported by the device is not a whole number of instruction words.";
  }
  return {};
}

std::string OutsideText(const FamilyFacts& f, std::int64_t flashEnd) {
  return " lies outside the flash (" + Hex(AddressOf(f, 0)) + " to " + Hex(AddressOf(f, flashEnd)) + ").";
}

std::string CheckTop(const FamilyFacts& f, const TBootInfo& info, TFlashArea& area) {
  const auto bootStart = static_cast<std::uint32_t>(info.BootStart);
  const std::string what = "Error: Bootloader start " + Hex(bootStart);
  // Before 0x1200 McuSize is no limit the bootloader vouches for.
  const std::int64_t flashEnd = HasNewGeometry(info) ? ReportedProgramBytes(f, info.McuSize)
                                                     : static_cast<std::int64_t>(f.maxProgramBytes);
  const Located boot = ImageOffsetOf(f, bootStart, "Bootloader start");
  if (!boot.problem.empty()) return boot.problem;
  if (boot.offset < 0 || boot.offset > flashEnd) return what + OutsideText(f, flashEnd);
  const std::int64_t firstUnit = UnitAt(f, info.EraseBlock, 0);
  if (boot.offset < firstUnit) return what + " leaves no room for the application.";
  const std::int64_t last = UnitBelow(f, info.EraseBlock, boot.offset);
  if (last == 0) {
    // The last unit below the bootloader is erased on its own: one reaching
    // above BootStart would erase the bootloader's first bytes.
    return what + (Sectors(f) ? " is not on a sector boundary."
                              : " is not on an erase-block boundary (" + std::to_string(info.EraseBlock) +
                                    " bytes).");
  }
  area.appStart = 0;
  area.appEnd = boot.offset;
  area.appAddress = AddressOf(f, 0);
  area.bootLimit = static_cast<std::uint32_t>(f.commandBase + boot.offset);
  area.lastUnitBytes = last;
  return {};
}

std::string CheckBottom(const FamilyFacts& f, const TBootInfo& info, TFlashArea& area) {
  const auto programStart = static_cast<std::uint32_t>(info.ProgramStart);
  const std::string what = "Error: Program start " + Hex(programStart);
  const std::int64_t flashEnd = ReportedProgramBytes(f, info.McuSize);
  Located app = ImageOffsetOf(f, programStart, "Program start");
  if (!app.problem.empty()) return app.problem;
  // A PIC32 bootloader may give its program start as an offset into program
  // flash, an STM32 one as an address in the 0x08000000 window.
  if (f.group == FamilyGroup::Pic32 && app.offset < 0) app.offset += f.commandBase;
  if (f.hexBase != 0 && f.group == FamilyGroup::Arm && programStart >= f.hexBase) app.offset -= f.hexBase;
  if (app.offset >= flashEnd) return what + OutsideText(f, flashEnd);
  // The bootloader keeps the reset vector below the application.
  if (app.offset == 0) return what + " leaves no room for the bootloader.";
  const bool onBoundary =
      Sectors(f) ? SectorStartingAt(f, app.offset) >= 0 : app.offset % info.EraseBlock == 0;
  if (!onBoundary) {
    // Erasing from there would erase the bootloader's last bytes with the unit that holds them.
    return what + (Sectors(f) ? " is not on a sector boundary."
                              : " is not on an erase-block boundary (" + std::to_string(info.EraseBlock) +
                                    " bytes).");
  }
  const std::int64_t end = WholeUnitsEnd(f, info.EraseBlock, app.offset, flashEnd);
  if (end - app.offset < UnitAt(f, info.EraseBlock, app.offset)) {
    return what + " leaves no room for the application: the flash ends at " + Hex(AddressOf(f, flashEnd)) +
           ".";
  }
  area.appStart = app.offset;
  area.appEnd = end;
  area.appAddress = AddressOf(f, app.offset);
  return {};
}

bool HoldsData(const TByteArray& image, std::uint8_t oddFill, std::int64_t from, std::int64_t to) {
  to = std::min<std::int64_t>(to, static_cast<std::int64_t>(image.size()));
  for (std::int64_t i = std::max<std::int64_t>(from, 0); i < to; ++i) {
    const std::uint8_t erased = (i & 1) != 0 ? oddFill : 0xFF;
    if (image[static_cast<std::size_t>(i)] != erased) return true;
  }
  return false;
}

}  // namespace

std::int64_t UnitBelow(const FamilyFacts& family, std::uint16_t eraseBlock, std::int64_t end) {
  if (Sectors(family)) {
    const int index = SectorStartingAt(family, end);
    return index > 0 ? family.sectorStarts[index] - family.sectorStarts[index - 1] : 0;
  }
  return eraseBlock != 0 && end >= eraseBlock && end % eraseBlock == 0 ? eraseBlock : 0;
}

TGeometryCheck CheckUploadGeometry(const TBootInfo& info) {
  TGeometryCheck check;
  const FamilyFacts* f = FindFamily(info.McuType);
  if (f == nullptr) {
    check.problem =
        "Error: MCU family code " + std::to_string(info.McuType) + " is not supported for uploading.";
    return check;
  }
  check.area.family = f;
  check.area.bottom = BootAtBottom(info);
  check.problem = CheckBlocks(*f, info);
  if (!check.problem.empty()) return check;
  check.problem = check.area.bottom ? CheckBottom(*f, info, check.area) : CheckTop(*f, info, check.area);
  if (f->bootFlashBytes != 0) {
    const std::int64_t blocks = f->bootFlashBytes / info.EraseBlock;
    check.area.bootFlashBytes = std::max<std::int64_t>(blocks - 1, 0) * info.EraseBlock;
  }
  return check;
}

TImageData ImageDataFor(const TFlashArea& area, const TByteArray& flashImage,
                        const TByteArray& bootFlashImage) {
  if (area.family == nullptr) return TImageData::None;
  const FamilyFacts& f = *area.family;
  // At the top, the last bytes below the bootloader take the entry code.
  const std::int64_t end = area.bottom ? area.appEnd : area.appEnd - f.entryStubBytes;
  if (HoldsData(flashImage, f.oddFill, area.appStart, end)) return TImageData::Program;
  if (HoldsData(bootFlashImage, 0xFF, 0, area.bootFlashBytes)) return TImageData::BootFlashOnly;
  return TImageData::None;
}

}  // namespace quorvel
